// Portable text helpers of the command runner: the growable text, reading a
// whole file, the PATH tokenizer and the helpers that pick fields out of
// command output.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/os_safe.h"
#include "os/os_system.h"

namespace {

constexpr int kGrow = 4096;

// Splits one line at any of delims, strtok style (empty fields are skipped).
std::vector<std::string> split(const std::string& line, const char* delims) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    pos = line.find_first_not_of(delims, pos);
    if (pos == std::string::npos) break;
    size_t end = line.find_first_of(delims, pos);
    out.push_back(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) break;
    pos = end;
  }
  return out;
}

char* trimmed_copy(const std::string& field) {
  char* copy = safe_strdup(field.c_str());
  return os_strtrim(copy);
}

// Calls f(line) for each line of text until it returns true.
template <typename F>
void for_each_line(const char* text, F f) {
  const char* p = text;
  while (*p) {
    const char* nl = strchr(p, '\n');
    std::string line = nl ? std::string(p, (size_t)(nl - p)) : std::string(p);
    if (f(line)) return;
    if (!nl) return;
    p = nl + 1;
  }
}

}  // namespace

strbuf* strbuf_new() {
  auto* sb = static_cast<strbuf*>(safe_malloc(sizeof(strbuf)));
  sb->text = static_cast<char*>(safe_malloc(kGrow));
  sb->len = 0;
  sb->cap = kGrow;
  return sb;
}

void strbuf_free(strbuf* sb) {
  if (!sb) return;
  free(sb->text);
  free(sb);
}

int strbuf_append(strbuf* sb, const char* text, int len) {
  if (!sb || !text) return 0;
  if (len < 0) len = (int)strlen(text);
  while (sb->cap < sb->len + len + 1) {
    sb->text = static_cast<char*>(safe_realloc(sb->text, sb->cap + kGrow));
    sb->cap += kGrow;
  }
  memcpy(sb->text + sb->len, text, (size_t)len);
  sb->len += len;
  sb->text[sb->len] = '\0';
  return 0;
}

int strbuf_appendf(strbuf* sb, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n > 0) {
    auto* tmp = static_cast<char*>(safe_malloc(n + 1));
    vsnprintf(tmp, (size_t)n + 1, fmt, ap2);
    strbuf_append(sb, tmp, n);
    free(tmp);
  }
  va_end(ap2);
  return 0;
}

const char* strbuf_get(const strbuf* sb) { return (sb && sb->len > 0) ? sb->text : nullptr; }

char* os_read_file(const char* path) {
  if (!path) return nullptr;
  FILE* f = fopen(path, "r");
  if (!f) return nullptr;
  strbuf* sb = strbuf_new();
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, 511, f)) > 0) {
    chunk[n] = '\0';
    strbuf_append(sb, chunk, (int)n);
  }
  fclose(f);
  const char* text = strbuf_get(sb);
  char* copy = text ? safe_strdup(text) : nullptr;
  strbuf_free(sb);
  return copy;
}

const char* os_path_next(const char* src, char* dst, size_t maxlen, char sep) {
  if (!src || !dst || maxlen == 0) return nullptr;
  const char* p = src;
  while (*p == sep) ++p;
  if (!*p) return nullptr;
  size_t n = 0;
  bool quoted = false;
  bool fits = true;
  for (; *p && (quoted || *p != sep); ++p) {
    if (*p == '"') {
      quoted = !quoted;
      continue;
    }
    if (n + 1 < maxlen) dst[n++] = *p;
    else fits = false;
  }
  dst[n] = '\0';
  if (!fits) {
    dst[0] = '\0';
    errno = ERANGE;
    return nullptr;
  }
  while (*p == sep) ++p;
  return p;
}

int text_list_index(const char* list, const char* text) {
  if (!list || !text) return -1;
  int i = 0;
  for (const char* p = list; *p; p += strlen(p) + 1, ++i) {
    if (strcmp(p, text) == 0) return i;
  }
  return -1;
}

char* text_token_at(const char* text, const char* delims, int n) {
  if (!text || !delims || n < 0) return nullptr;
  std::vector<std::string> tokens = split(text, delims);
  if ((size_t)n >= tokens.size()) return nullptr;
  return safe_strdup(tokens[(size_t)n].c_str());
}

char* text_line_field(const char* text, const char* delims, int key_index, const char* key,
                      int want_index) {
  if (!text || !delims || !key || key_index < 0 || want_index < 0) return nullptr;
  char* result = nullptr;
  for_each_line(text, [&](const std::string& line) {
    std::vector<std::string> fields = split(line, delims);
    if ((size_t)key_index >= fields.size()) return false;
    char* k = trimmed_copy(fields[(size_t)key_index]);
    bool match = strcmp(k, key) == 0;
    free(k);
    if (!match) return false;
    if ((size_t)want_index < fields.size()) result = trimmed_copy(fields[(size_t)want_index]);
    return true;
  });
  return result;
}

char* text_find_line_field(const char* text, const char* needle, const char* delims, int index) {
  if (!text || !needle || !delims || index < 0) return nullptr;
  char* result = nullptr;
  for_each_line(text, [&](const std::string& line) {
    if (line.find(needle) == std::string::npos) return false;
    std::vector<std::string> fields = split(line, delims);
    if ((size_t)index < fields.size()) result = trimmed_copy(fields[(size_t)index]);
    return true;
  });
  return result;
}

char* text_replace_all(const char* text, const char* pattern, const char* replacement) {
  if (!text) return nullptr;
  std::string s = text;
  if (pattern && *pattern) {
    std::string pat = pattern, rep = replacement ? replacement : "";
    std::string out;
    size_t pos = 0, hit;
    while ((hit = s.find(pat, pos)) != std::string::npos) {
      out.append(s, pos, hit - pos);
      out += rep;
      pos = hit + pat.size();
    }
    out.append(s, pos, std::string::npos);
    s = out;
  }
  return safe_strdup(s.c_str());
}
