#include "tls_suites.h"

#include <cstring>
#include <string_view>

#if defined(__arm__) || defined(__aarch64__)
#include <sys/auxv.h>
#endif

bool sd_tls_suite_allowed(const char* name, bool tls13) {
  if (!name || !*name) return false;
  static constexpr const char* kTls13[] = {"TLS13-CHACHA20-POLY1305-SHA256", "TLS13-AES128-GCM-SHA256",
                                           "TLS13-AES256-GCM-SHA384"};
  if (tls13)
    for (const char* s : kTls13)
      if (strcmp(name, s) == 0) return true;
  const std::string_view list(SD_TLS12_SUITES), want(name);
  for (size_t from = 0; from <= list.size();) {
    size_t to = list.find(':', from);
    if (to == std::string_view::npos) to = list.size();
    if (list.substr(from, to - from) == want) return true;
    from = to + 1;
  }
  return false;
}

bool sd_tls_cpu_has_aes() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul");
#elif defined(__arm__) && defined(__linux__)
  // The kernel's HWCAP2_AES and HWCAP2_PMULL of 32-bit ARM.
  const unsigned long want = (1ul << 0) | (1ul << 1);
  return (getauxval(AT_HWCAP2) & want) == want;
#elif defined(__aarch64__) && defined(__linux__)
  // HWCAP_AES and HWCAP_PMULL of 64-bit ARM.
  const unsigned long want = (1ul << 3) | (1ul << 4);
  return (getauxval(AT_HWCAP) & want) == want;
#else
  return false;
#endif
}

std::string sd_tls12_suites_by_speed(bool aes) {
  const std::string chacha = "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
  const std::string aes128 = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";
  const std::string aes256 = "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";
  // With AES instructions AES-256 (14 rounds) still outruns ChaCha20.
  return aes ? aes128 + ":" + aes256 + ":" + chacha : chacha + ":" + aes128 + ":" + aes256;
}
