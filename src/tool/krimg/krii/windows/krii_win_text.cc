#include "krii_win_text.h"

#include <windows.h>

#include <climits>
#include <cstdint>

namespace {

std::wstring decode(unsigned cp, const char* p, size_t n) {
  if (n == 0 || n > INT_MAX) return {};
  const int len = static_cast<int>(n);
  const int w = MultiByteToWideChar(cp, 0, p, len, nullptr, 0);
  if (w <= 0) return std::wstring(n, L'?');
  std::wstring out(static_cast<size_t>(w), L'\0');
  MultiByteToWideChar(cp, 0, p, len, out.data(), w);
  return out;
}

// The length of the UTF-8 sequence of two or more bytes at s[i], or 0 when
// none starts there (overlong forms and surrogates are none).
size_t utf8_sequence(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t v;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2, v = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3, v = c & 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4, v = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xc0) != 0x80) return 0;
    v = (v << 6) | (b & 0x3f);
  }
  if (n == 3 && (v < 0x800 || (v >= 0xd800 && v <= 0xdfff))) return 0;
  if (n == 4 && (v < 0x10000 || v > 0x10ffff)) return 0;
  return n;
}

bool double_byte(unsigned cp) {
  CPINFO info;
  return GetCPInfo(cp, &info) && info.MaxCharSize > 1;
}

}  // namespace

std::wstring krii_wide(std::string_view utf8) { return decode(CP_UTF8, utf8.data(), utf8.size()); }

std::string krii_utf8(std::wstring_view wide) {
  if (wide.empty() || wide.size() > INT_MAX) return {};
  const int len = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring krii_wide_from_narrow(std::string_view narrow, unsigned cp) {
  return decode(cp, narrow.data(), narrow.size());
}

bool krii_narrow_from_wide(std::wstring_view wide, unsigned cp, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  if (wide.size() > INT_MAX) return false;
  if (cp == CP_UTF8) {
    *narrow = krii_utf8(wide);
    return krii_wide(*narrow) == wide;
  }
  const int len = static_cast<int>(wide.size());
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide.data(), len, nullptr, 0, "?", &lossy);
  if (n <= 0) {
    narrow->assign(wide.size(), '?');
    return false;
  }
  narrow->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide.data(), len, narrow->data(), n, "?", &lossy);
  return !lossy;
}

std::wstring krii_wide_mixed(std::string_view text, unsigned cp) {
  if (cp == CP_UTF8) return krii_wide(text);
  const bool dbcs = double_byte(cp);
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t j = i;
    while (j < text.size() && static_cast<unsigned char>(text[j]) < 0x80) ++j;
    for (size_t k = i; k < j; ++k) out += static_cast<wchar_t>(text[k]);
    i = j;
    if (i == text.size()) break;
    while (j < text.size() && static_cast<unsigned char>(text[j]) >= 0x80) ++j;
    // The run [i, j): UTF-8 throughout?
    const std::string_view run = text.substr(0, j);
    bool utf8 = true;
    for (size_t k = i; k < j && utf8;) {
      const size_t n = utf8_sequence(run, k);
      if (n == 0 || (dbcs && n == 2)) utf8 = false;
      k += n;
    }
    if (utf8) {
      out += decode(CP_UTF8, text.data() + i, j - i);
      i = j;
      continue;
    }
    // In the code page; the second byte of a double-byte character may be
    // ASCII, past the run.
    size_t k = i;
    while (k < j) k += (dbcs && k + 1 < text.size() && IsDBCSLeadByteEx(cp, static_cast<BYTE>(text[k]))) ? 2 : 1;
    out += decode(cp, text.data() + i, k - i);
    i = k;
  }
  return out;
}
