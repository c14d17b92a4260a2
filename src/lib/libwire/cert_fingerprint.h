// The daemon's certificate fingerprint as both sides write it: the daemon
// prints it at start, a krps:// URL pins it ("ssl-sha256=").
#pragma once

#include <cstddef>

// What the daemon prints before its fingerprint when it starts; the
// deployment reads the fingerprint after it.
inline constexpr char SD_CERT_SHA256_TAG[] = "TLS certificate SHA-256: ";
// How the daemon's start-up line begins, printed after the fingerprint's: what
// it lets whom do and how long it stays. The deployment logs it.
inline constexpr char SD_START_TAG[] = "krsd started: ";

// A certificate fingerprint: SHA-256 of its DER form as 64 lower-case hex
// digits and the terminator.
enum { SD_SHA256_HEX = 65 };

// The SHA-256 fingerprint of a DER certificate into out; false when the
// hash fails (out is then empty).
bool sd_cert_sha256_hex(const unsigned char* der, size_t len, char out[SD_SHA256_HEX]);
// A fingerprint as an examiner may write it (hex digits of any case, pairs
// optionally separated by ':') as 64 lower-case hex digits; false when the
// text is not a SHA-256 fingerprint.
bool sd_sha256_normalise(const char* text, char out[SD_SHA256_HEX]);
