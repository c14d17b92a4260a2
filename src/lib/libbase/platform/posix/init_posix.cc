// Start-up and the small system services on POSIX: clock, sleeps, text
// conversion, library loading and the folders.
#include <dlfcn.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tb_init.h"

namespace {

// Names longer than this are refused by the library loader.
constexpr size_t kLibraryNameMax = 4096;

// One code point from UTF-8 at s; bytes used, or 0 for a malformed sequence
// (overlong forms, surrogates and values beyond U+10FFFF included). Stops at
// the terminating NUL, which is never a continuation byte.
size_t utf8_decode(const unsigned char* s, char32_t* cp) {
  unsigned c = s[0];
  size_t n;
  char32_t v, min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xc2 && c <= 0xdf) {
    n = 2, v = c & 0x1f, min = 0x80;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3, v = c & 0x0f, min = 0x800;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  for (size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xc0) != 0x80) return 0;
    v = (v << 6) | (s[i] & 0x3f);
  }
  if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
  *cp = v;
  return n;
}

size_t utf8_encode(char32_t v, char out[4]) {
  if (v < 0x80) {
    out[0] = static_cast<char>(v);
    return 1;
  }
  if (v < 0x800) {
    out[0] = static_cast<char>(0xc0 | (v >> 6));
    out[1] = static_cast<char>(0x80 | (v & 0x3f));
    return 2;
  }
  if (v < 0x10000) {
    out[0] = static_cast<char>(0xe0 | (v >> 12));
    out[1] = static_cast<char>(0x80 | ((v >> 6) & 0x3f));
    out[2] = static_cast<char>(0x80 | (v & 0x3f));
    return 3;
  }
  out[0] = static_cast<char>(0xf0 | (v >> 18));
  out[1] = static_cast<char>(0x80 | ((v >> 12) & 0x3f));
  out[2] = static_cast<char>(0x80 | ((v >> 6) & 0x3f));
  out[3] = static_cast<char>(0x80 | (v & 0x3f));
  return 4;
}

size_t copy_out(const std::string& text, char* buf, size_t size) {
  if (text.empty() || text.size() >= size) return 0;
  memcpy(buf, text.c_str(), text.size() + 1);
  return text.size();
}

}  // namespace

int64_t tb_clock_ms() {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void tb_msleep(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem;
  // A signal must not cut the sleep short.
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

void tb_sleep(uint32_t seconds) {
  for (; seconds > 0; --seconds) tb_msleep(1000);
}

// The narrow text of this build is UTF-8 whatever the locale says, and wide
// text is UTF-32 in wchar_t; the conversion is done here by hand so that no
// thread ever sees the process-wide locale change under it.
long tb_text_to_wide(wchar_t* wide, const char* text, size_t capacity) {
  if (!wide || !text || capacity == 0) return -1;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  while (*s) {
    char32_t cp;
    size_t used = utf8_decode(s, &cp);
    if (used == 0 || n + 1 >= capacity) return -1;
    wide[n++] = static_cast<wchar_t>(cp);
    s += used;
  }
  wide[n] = L'\0';
  return static_cast<long>(n);
}

long tb_text_from_wide(char* text, const wchar_t* wide, size_t capacity) {
  if (!text || !wide || capacity == 0) return -1;
  size_t n = 0;
  for (; *wide; ++wide) {
    // wchar_t is signed here: a negative value is no code point either.
    auto v = static_cast<int64_t>(*wide);
    if (v < 0 || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return -1;
    char enc[4];
    size_t len = utf8_encode(static_cast<char32_t>(v), enc);
    if (n + len >= capacity) return -1;
    memcpy(text + n, enc, len);
    n += len;
  }
  text[n] = '\0';
  return static_cast<long>(n);
}

void* tb_library_load(const char* name) {
  if (!name || !*name) return nullptr;
  // The name must be valid text of a sane length, as on the wide-text path
  // of other systems.
  std::vector<wchar_t> wide(kLibraryNameMax + 1);
  if (tb_text_to_wide(wide.data(), name, wide.size()) < 0) return nullptr;
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* tb_library_symbol(void* library, const char* name) {
  if (!library || !name || !*name) return nullptr;
  return dlsym(library, name);
}

size_t tb_directory_current(char* buf, size_t size) {
  if (!buf || size == 0) return 0;
  if (!getcwd(buf, size)) return 0;
  return strlen(buf);
}

size_t tb_directory_appdata(char* buf, size_t size) {
  if (!buf || size == 0) return 0;
  // A relative XDG_CONFIG_HOME is invalid and ignored.
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return copy_out(xdg, buf, size);
  std::string home;
  if (const char* h = getenv("HOME"); h && *h) {
    home = h;
  } else {
    passwd pw;
    passwd* found = nullptr;
    std::vector<char> scratch(16384);
    if (getpwuid_r(getuid(), &pw, scratch.data(), scratch.size(), &found) != 0 || !found ||
        !found->pw_dir || !*found->pw_dir)
      return 0;
    home = found->pw_dir;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") home.clear();
  return copy_out(home + "/.config", buf, size);
}
