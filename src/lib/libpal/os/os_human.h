// Human-readable sizes, speeds, durations, size texts and system error texts.
#pragma once

#include <cstddef>
#include <cstdint>

// "0", "%lld" or "%lld.%d%c" (units k, M, G, T of 1024); divisor 0 selects
// units automatically, otherwise the rounded quotient is printed. The text
// lives in one process-wide 21-byte buffer overwritten by every call.
const char* human_size(uint64_t value, uint32_t divisor);

// "%0.2f GB/S", "%0.2f MB/S", "%0.1f KB/S" or "%0.0f B/S"; returns buf.
char* human_speed(double bytes_per_second, char* buf, size_t size);

// "1 day 1 hour 1 minute", "45 seconds", ...; returns buf.
char* human_duration(int64_t seconds, char* buf, size_t size);

// Decimal number with optional multiplying suffixes (k, M, kB, b, ...);
// 0 when the text is not a size.
int64_t parse_size(const char* text);

// "ok" for 0, else the system's English message, trimmed; returns buf.
char* os_error_text(int code, char* buf, size_t size);
