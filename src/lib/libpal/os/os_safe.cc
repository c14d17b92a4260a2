// Allocation wrappers that end the process instead of returning null, and
// the in-place trim.
#include "os/os_safe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os_log.h"
#include "os/os_pal_internal.h"

#define KR_LOG_SRC "src\\lib\\libpal\\os\\os_safe"

namespace {

// The log ends the process at level 2; should a threshold below 2 filter
// the line out, the wrapper still must not return null.
[[noreturn]] void bail_out() {
  fflush(stdout);
  fflush(stderr);
  _Exit(1);
}

}  // namespace

void* safe_malloc(int size) {
  void* p = nullptr;
  if (size >= 0) p = calloc(1, size > 0 ? static_cast<size_t>(size) : 1);
  else errno = ENOMEM;
  if (!p) {
    KR_LOGF(OS_LOG_CRIT, "safe_malloc",
            "Failed to malloc %d bytes of memory: %s.  Bailing out\n", size,
            pal::sys_error_text(errno));
    bail_out();
  }
  return p;
}

void* safe_realloc(void* ptr, int size) {
  void* p = nullptr;
  // Size 0 keeps a (one-byte) block: realloc(p, 0) would free it and return
  // null, which is not a failure to bail out on.
  if (size >= 0) p = realloc(ptr, size > 0 ? static_cast<size_t>(size) : 1);
  else errno = ENOMEM;
  if (!p) {
    KR_LOGF(OS_LOG_CRIT, "safe_realloc",
            "Failed to realloc buffer to %d bytes of memory: %s. Bailing out\n",
            size, pal::sys_error_text(errno));
    bail_out();
  }
  return p;
}

char* safe_strdup(const char* text) {
  if (!text) {
    KR_LOGF(OS_LOG_CRIT, "safe_strdup",
            "safe_strdup called with NULL which would have crashed strdup. Bailing out\n");
    bail_out();
  }
  char* p = strdup(text);
  if (!p) {
    KR_LOGF(OS_LOG_CRIT, "safe_strdup", "Failed to duplicate a string: %s.  Bailing out\n",
            pal::sys_error_text(errno));
    bail_out();
  }
  return p;
}

char* os_strtrim(char* text) {
  if (!text || !*text) return text;
  // Only ASCII white space: bytes from 0x80 up start or continue a
  // multi-byte character and are kept.
  auto is_space = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  size_t len = strlen(text);
  while (len > 0 && is_space(static_cast<unsigned char>(text[len - 1]))) text[--len] = '\0';
  size_t lead = 0;
  while (lead < len && is_space(static_cast<unsigned char>(text[lead]))) lead++;
  if (lead) memmove(text, text + lead, len - lead + 1);
  return text;
}

size_t os_utf8_length(const char* text) {
  size_t n = 0;
  for (const char* p = text; p && *p; ++p) n += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
  return n;
}

namespace {

// The length of the UTF-8 sequence at p that a log may show as it is: 0
// for a control character (C0, DEL, C1), for the line and paragraph
// separators (U+2028, U+2029: a new line in the dialog's log) and the
// direction overrides and isolates (U+202A..U+202E, U+2066..U+2069: they
// reorder what follows on screen), or for a byte that starts no whole
// sequence.
size_t printable_at(const unsigned char* p) {
  if (*p >= 0x20 && *p < 0x7f) return 1;
  size_t n = 0;
  if (*p >= 0xc2 && *p <= 0xdf)
    n = 2;
  else if (*p >= 0xe0 && *p <= 0xef)
    n = 3;
  else if (*p >= 0xf0 && *p <= 0xf4)
    n = 4;
  for (size_t i = 1; i < n; ++i)
    if ((p[i] & 0xc0) != 0x80) return 0;
  if (n == 2 && *p == 0xc2 && p[1] < 0xa0) return 0;  // U+0080..U+009F
  if (n == 3 && *p == 0xe2 && ((p[1] == 0x80 && p[2] >= 0xa8 && p[2] <= 0xae) ||
                               (p[1] == 0x81 && p[2] >= 0xa6 && p[2] <= 0xa9)))
    return 0;
  return n;
}

}  // namespace

void os_printable_copy(char* dst, size_t size, const char* text) {
  if (!size) return;
  size_t out = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text ? text : "");
  while (*p) {
    char esc[8];
    size_t n = printable_at(p);
    const char* piece = reinterpret_cast<const char*>(p);
    if (n == 0) {
      switch (*p) {
        case '\n': snprintf(esc, sizeof esc, "\\n"); break;
        case '\r': snprintf(esc, sizeof esc, "\\r"); break;
        case '\t': snprintf(esc, sizeof esc, "\\t"); break;
        default: snprintf(esc, sizeof esc, "\\x%02x", *p); break;
      }
      piece = esc;
      n = strlen(esc);
      ++p;
    } else {
      p += n;
    }
    if (out + n > size - 1) break;  // never half an escape or a character
    memcpy(dst + out, piece, n);
    out += n;
  }
  dst[out] = 0;
}
