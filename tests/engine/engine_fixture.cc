#include "engine_fixture.h"

#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/hash.h>

namespace kt {
namespace {

std::string hex(const unsigned char* d, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
  }
  return out;
}

}  // namespace

std::string md5_hex(const std::string& data) {
  unsigned char d[WC_MD5_DIGEST_SIZE];
  wc_Md5Hash(reinterpret_cast<const byte*>(data.data()), static_cast<word32>(data.size()), d);
  return hex(d, sizeof d);
}

std::string sha256_hex(const std::string& data) {
  unsigned char d[WC_SHA256_DIGEST_SIZE];
  wc_Sha256Hash(reinterpret_cast<const byte*>(data.data()), static_cast<word32>(data.size()), d);
  return hex(d, sizeof d);
}

}  // namespace kt
