#include "dd_text.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at p (at most n bytes), 0 when there
// is none: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_seq(const unsigned char* p, size_t n) {
  const unsigned c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned min;
  if ((c & 0xe0) == 0xc0) {
    len = 2, min = 0x80;
  } else if ((c & 0xf0) == 0xe0) {
    len = 3, min = 0x800;
  } else if ((c & 0xf8) == 0xf0) {
    len = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (n < len) return 0;
  unsigned v = c & (0x7fu >> len);
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    v = v << 6 | (p[i] & 0x3f);
  }
  if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
  return len;
}

}  // namespace

bool dd_utf8_valid(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    const size_t n = utf8_seq(p + i, s.size() - i);
    if (!n) return false;
    i += n;
  }
  return true;
}

std::string dd_utf8_escape(std::string_view s, bool controls) {
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    const size_t n = utf8_seq(p + i, s.size() - i);
    const bool control = n == 1 && (p[i] < 0x20 || p[i] == 0x7f);
    if (n && !(controls && control)) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    }
    switch (controls ? p[i] : 0x100) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char esc[8];
        snprintf(esc, sizeof esc, "\\x%02X", p[i]);
        out += esc;
      }
    }
    ++i;
  }
  return out;
}
