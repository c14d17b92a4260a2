#include "cert_fingerprint.h"

#include <openssl/sha.h>

#include <cctype>

bool sd_cert_sha256_hex(const unsigned char* der, size_t len, char out[SD_SHA256_HEX]) {
  out[0] = 0;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  if (!der || !SHA256(der, len, digest)) return false;
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof(digest); i++) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 15];
  }
  out[2 * sizeof(digest)] = 0;
  return true;
}

bool sd_sha256_normalise(const char* text, char out[SD_SHA256_HEX]) {
  out[0] = 0;
  size_t n = 0;
  for (const char* p = text; p && *p; p++) {
    if (*p == ':') continue;
    if (!isxdigit(static_cast<unsigned char>(*p)) || n == SD_SHA256_HEX - 1) return false;
    out[n++] = char(tolower(static_cast<unsigned char>(*p)));
  }
  out[n] = 0;
  if (n == SD_SHA256_HEX - 1) return true;
  out[0] = 0;
  return false;
}
