#include "engine_fixture.h"

#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/md5.h>
#include <wolfssl/wolfcrypt/sha256.h>

#include <cstdio>

namespace kt {

std::string md5_hex(const std::string& data) {
  wc_Md5 md5;
  wc_InitMd5(&md5);
  wc_Md5Update(&md5, reinterpret_cast<const byte*>(data.data()), static_cast<word32>(data.size()));
  unsigned char d[WC_MD5_DIGEST_SIZE];
  wc_Md5Final(&md5, d);
  char hex[33];
  for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

std::string sha256_hex(const std::string& data) {
  wc_Sha256 sha;
  wc_InitSha256(&sha);
  wc_Sha256Update(&sha, reinterpret_cast<const byte*>(data.data()), static_cast<word32>(data.size()));
  unsigned char d[WC_SHA256_DIGEST_SIZE];
  wc_Sha256Final(&sha, d);
  char hex[2 * WC_SHA256_DIGEST_SIZE + 1];
  for (int i = 0; i < WC_SHA256_DIGEST_SIZE; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

}  // namespace kt
