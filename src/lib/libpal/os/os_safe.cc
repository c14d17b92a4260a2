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
