// Plain-path helpers: absolute test, making a path absolute against the
// current directory, and the in-place normaliser.
#include "tb_path.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "tb_init.h"
#include "tb_url.h"

namespace {

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Device names that are used as they are, never normalised.
bool is_raw_name(const char* text) {
  return starts_with(text, "\\\\.\\") || starts_with(text, "\\dev\\");
}

// Length of the part that ".." never removes: "X:" plus its separator, or
// the leading separator of a rooted path.
size_t root_length(const std::string& p) {
  if (p.size() >= 2 && tb_path_is_alpha(p[0]) && p[1] == ':')
    return (p.size() >= 3 && tb_path_is_sep(p[2])) ? 3 : 2;
  if (!p.empty() && tb_path_is_sep(p[0])) return 1;
  return 0;
}

}  // namespace

bool tb_path_is_absolute(const char* text) {
  if (!text || !text[0]) return false;
  if (text[0] == '/' || text[0] == '~') return true;
  if (tb_path_is_alpha(text[0]) && text[1] == ':') return true;
  return is_raw_name(text) || starts_with(text, "/dev/");
}

size_t tb_path_normalise(char* buf, size_t size) {
  if (!buf || !size) return 0;
  size_t len = strnlen(buf, size);
  if (len == size) return 0;  // not terminated inside its buffer
  std::string src(buf, len);
  if (tb_path_prefix_ci(buf, "file:")) {
    src.erase(0, 5);
  } else if (!src.empty() && src[0] == '~') {
    char home[TB_PATH_MAXN];
    size_t n = tb_directory_appdata(home, sizeof home);
    if (!n || n >= sizeof home) return 0;
    src = std::string(home, n) + src.substr(1);
  }
  std::string out;
  out.reserve(src.size() + 1);
  for (char c : src) {
    if (tb_path_is_sep(c)) {
      if (out.empty() || out.back() != TB_PATH_SEP) out += TB_PATH_SEP;
    } else {
      out += c;
    }
  }
  if (out.size() > 1 && out.back() == TB_PATH_SEP) out.pop_back();
  if (out.size() >= 2 && tb_path_is_alpha(out[0]) && out[1] == ':') {
    out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
    if (out.size() == 2) out += TB_PATH_SEP;
  }
  if (out.size() + 1 > size) return 0;  // buffer left as it was
  std::memcpy(buf, out.c_str(), out.size() + 1);
  return out.size();
}

char* tb_path_absolute(const char* text, char* buf, size_t size) {
  if (!text || !buf || !size) return nullptr;
  size_t len = strnlen(text, TB_PATH_MAXN);
  if (len >= TB_PATH_MAXN) return nullptr;

  if (tb_path_is_absolute(text)) {
    if (len + 1 > size) return nullptr;
    std::memcpy(buf, text, len + 1);
    if (!is_raw_name(text) && !tb_path_normalise(buf, size)) return nullptr;
    return buf;
  }

  char cwd[TB_PATH_MAXN];
  size_t n = tb_directory_current(cwd, sizeof cwd);
  if (!n || n >= sizeof cwd) return nullptr;
  if (!tb_path_normalise(cwd, sizeof cwd)) return nullptr;
  std::string out(cwd);
  const size_t root = root_length(out);

  const char* p = text;
  const char* end = text + len;
  while (p < end) {
    const char* q = p;
    while (q < end && !tb_path_is_sep(*q)) ++q;
    std::string comp(p, q);
    p = (q < end) ? q + 1 : q;
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      if (out.size() <= root) continue;
      size_t at = out.find_last_of("/\\");
      out.resize((at == std::string::npos || at < root) ? root : at);
      continue;
    }
    if (!out.empty() && !tb_path_is_sep(out.back())) out += TB_PATH_SEP;
    out += comp;
    if (out.size() >= TB_PATH_MAXN) return nullptr;
  }
  if (out.size() == 2 && tb_path_is_alpha(out[0]) && out[1] == ':') out += TB_PATH_SEP;
  if (out.size() + 1 > size) return nullptr;
  std::memcpy(buf, out.c_str(), out.size() + 1);
  return buf;
}

bool tb_path_disk_form(const char* text) {
  if (!text || !starts_with(text, "\\dev\\disk")) return false;
  const char* digits = text + 9;
  size_t n = 0;
  for (; digits[n]; ++n)
    if (n >= 9 || digits[n] < '0' || digits[n] > '9') return false;
  return n > 0;
}

bool tb_path_device_form(const char* text) {
  if (!text) return false;
  if (tb_path_disk_form(text)) return true;
  for (const char* name : {"stdin", "stdout", "null", "zero", "random"}) {
    const std::string back = std::string("\\dev\\") + name, slash = std::string("/dev/") + name;
    if (tb_path_equal_ci(text, back.c_str()) || tb_path_equal_ci(text, slash.c_str())) return true;
  }
  return false;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char l = tb_path_lower(c);
  return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

}  // namespace

bool tb_path_percent_decode(std::string* text) {
  std::string out;
  out.reserve(text->size());
  for (size_t i = 0; i < text->size(); ++i) {
    if ((*text)[i] != '%') {
      out += (*text)[i];
      continue;
    }
    const bool two = i + 2 < text->size();
    const int h = two ? hex_value((*text)[i + 1]) : -1;
    const int l = two ? hex_value((*text)[i + 2]) : -1;
    if (h < 0 || l < 0 || (h == 0 && l == 0)) {
      errno = EINVAL;
      return false;
    }
    out += static_cast<char>(h * 16 + l);
    i += 2;
  }
  *text = std::move(out);
  return true;
}

bool tb_path_name_length(const char* text, size_t* len) {
  if (!text || !*text) {
    errno = EINVAL;
    return false;
  }
  *len = strnlen(text, TB_PATH_MAXN);
  if (*len >= TB_PATH_MAXN) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}
