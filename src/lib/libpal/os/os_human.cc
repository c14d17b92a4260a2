// Sizes, speeds, durations and size texts as the tool shows them.
#include "os/os_human.h"

#include <cstdarg>
#include <cstdio>
#include <strings.h>

#include "os/os_pal_internal.h"
#include "os/os_safe.h"

namespace {

char g_size_text[21];

// Appends to buf at *len, cutting at its end; the text stays terminated.
__attribute__((format(printf, 4, 5))) void append(char* buf, size_t size,
                                                  size_t* len, const char* fmt, ...) {
  if (*len + 1 >= size) return;
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(buf + *len, size - *len, fmt, ap);
  va_end(ap);
  if (r < 0) return;
  *len += static_cast<size_t>(r);
  if (*len > size - 1) *len = size - 1;
}

struct Suffix {
  const char* text;
  uint64_t factor;
};

// Searched from the top, without regard to case: the first suffix that
// begins the remaining text wins, so "kb" is 1000 and "k" 1024.
constexpr Suffix kSizeSuffixes[] = {
    {"c", 1},
    {"w", 2},
    {"b", 512},
    {"kB", 1000},
    {"kD", 1000},
    {"k", 1024},
    {"KB", 1000},
    {"KD", 1000},
    {"K", 1024},
    {"MB", 1000000},
    {"MD", 1000000},
    {"M", 1048576},
    {"GB", 1000000000},
    {"GD", 1000000000},
    {"G", 1073741824},
    {"TB", 1000000000000ULL},
    {"T", 1099511627776ULL},
};

constexpr uint64_t kInt64Max = 0x7fffffffffffffffULL;

}  // namespace

const char* human_size(uint64_t value, uint32_t divisor) {
  char* buf = g_size_text;
  if (value == 0) {
    snprintf(buf, sizeof g_size_text, "0");
  } else if (divisor != 0) {
    // Rounded to nearest without the overflow of value + divisor / 2.
    uint64_t q = value / divisor, r = value % divisor;
    if (r + divisor / 2 >= divisor) q++;
    snprintf(buf, sizeof g_size_text, "%llu", static_cast<unsigned long long>(q));
  } else if (value < 1024) {
    snprintf(buf, sizeof g_size_text, "%llu", static_cast<unsigned long long>(value));
  } else {
    static const char kUnits[] = "kMGT";
    int digit = 0;
    int unit = -1;
    while (unit < 3) {
      digit = static_cast<int>(((value % 1024) * 10 + 512) / 1024);
      value /= 1024;
      unit++;
      if (value < 1024) break;
    }
    // The carry of a rounded-up digit stays in this unit: 1048575 is 1024.0k.
    if (digit == 10) {
      value++;
      digit = 0;
    }
    snprintf(buf, sizeof g_size_text, "%llu.%d%c",
             static_cast<unsigned long long>(value), digit, kUnits[unit]);
  }
  return buf;
}

char* human_speed(double x, char* buf, size_t size) {
  if (!buf || size == 0) return buf;
  if (x > 1073741824.0)
    snprintf(buf, size, "%0.2f GB/S", x * 9.313225746154785e-10);
  else if (x > 1048576.0)
    snprintf(buf, size, "%0.2f MB/S", x * 9.5367431640625e-07);
  else if (x > 1024.0)
    snprintf(buf, size, "%0.1f KB/S", x * 0.0009765625);
  else
    snprintf(buf, size, "%0.0f B/S", x);
  return buf;
}

char* human_duration(int64_t s, char* buf, size_t size) {
  if (!buf || size == 0) return buf;
  // A negative duration has no text; an empty one is safer to print than
  // whatever the buffer held before.
  buf[0] = '\0';
  size_t len = 0;
  if (s >= 86400) {
    int64_t d = s / 86400;
    append(buf, size, &len, "%lld day%s ", static_cast<long long>(d), d > 1 ? "s" : "");
    s -= d * 86400;
  }
  if (s < 0) return buf;
  if (s >= 3600) {
    int64_t h = s / 3600;
    append(buf, size, &len, "%lld hour%s ", static_cast<long long>(h), h > 1 ? "s" : "");
    s -= h * 3600;
  }
  if (s >= 60) {
    int64_t m = s / 60;
    append(buf, size, &len, "%lld minute%s", static_cast<long long>(m), m > 1 ? "s" : "");
    return buf;
  }
  append(buf, size, &len, "%lld second%s", static_cast<long long>(s), s > 1 ? "s" : "");
  return buf;
}

int64_t parse_size(const char* text) {
  if (!text) return 0;
  const char c0 = *text;
  if (c0 == '-' || c0 == '+' || c0 == ' ' || (c0 >= '\t' && c0 <= '\r')) return 0;
  if (c0 < '0' || c0 > '9') return 0;
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; text++) {
    uint64_t d = static_cast<uint64_t>(*text - '0');
    // A size that does not fit is no size, rather than a wrapped one.
    if (value > (kInt64Max - d) / 10) return 0;
    value = value * 10 + d;
  }
  while (*text) {
    const Suffix* hit = nullptr;
    size_t n = 0;
    for (const Suffix& s : kSizeSuffixes) {
      n = 0;
      while (s.text[n]) n++;
      if (strncasecmp(text, s.text, n) == 0) {
        hit = &s;
        break;
      }
    }
    if (!hit) return 0;
    if (value != 0 && hit->factor > kInt64Max / value) return 0;
    value *= hit->factor;
    text += n;
  }
  return static_cast<int64_t>(value);
}

char* os_error_text(int code, char* buf, size_t size) {
  if (!buf || size == 0) return buf;
  snprintf(buf, size, "%s", code == 0 ? "ok" : pal::sys_error_text(code));
  return os_strtrim(buf);
}
