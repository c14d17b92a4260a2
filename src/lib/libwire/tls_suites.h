// The TLS suites both ends of a krps:// session offer and accept: a key
// agreed by ephemeral ECDH, the daemon proven by its certificate, and
// authenticated encryption (AES-GCM or ChaCha20-Poly1305). Every other suite
// the library knows is refused: those that do not encrypt (NULL), broken
// ciphers (RC4, 3DES), no authentication (anonymous DH), a shared key
// (PSK), CBC and CCM suites.
#pragma once

#include <string>

// The TLS 1.2 suites, ':'-separated: the set a session may have. Each end
// offers them in the order of sd_tls12_suites_by_speed.
inline constexpr char SD_TLS12_SUITES[] =
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";

// Whether the suite of this name is one of SD_TLS12_SUITES; with tls13 also
// one of the TLS 1.3 suites of the same kind, which the daemon agrees with a
// client that offers TLS 1.3.
bool sd_tls_suite_allowed(const char* name, bool tls13);

// Whether this processor has AES instructions with carry-less multiplication
// (x86 AES-NI and PCLMULQDQ, the ARMv8 AES and PMULL instructions): then
// AES-GCM is the fastest suite, without them ChaCha20-Poly1305 is.
[[nodiscard]] bool sd_tls_cpu_has_aes();

// SD_TLS12_SUITES, the same set, fastest first: AES-128-GCM, AES-256-GCM,
// ChaCha20-Poly1305 when aes (sd_tls_cpu_has_aes), ChaCha20-Poly1305 first
// otherwise.
[[nodiscard]] std::string sd_tls12_suites_by_speed(bool aes);
