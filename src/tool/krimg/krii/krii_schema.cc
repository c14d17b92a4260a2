#include "krii_schema.h"

#include <climits>

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One "%d" conversion: optional white space, optional sign, digits. Only the
// low 8 bits of the value are kept, so the value is accumulated modulo 256
// and no digit string can overflow. False when no digit follows.
bool scan_int_low8(std::string_view s, size_t* pos, uint32_t* out) {
  size_t i = *pos;
  while (i < s.size() && is_space(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  if (i >= s.size() || !is_digit(s[i])) return false;
  uint32_t v = 0;
  while (i < s.size() && is_digit(s[i])) {
    v = (v * 10 + uint32_t(s[i] - '0')) & 0xff;
    ++i;
  }
  if (neg) v = (0x100 - v) & 0xff;
  *pos = i;
  *out = v;
  return true;
}

void put_le32(char* p, int32_t v) {
  uint32_t u = uint32_t(v);
  for (int i = 0; i < 4; ++i) p[i] = char((u >> (8 * i)) & 0xff);
}

int32_t get_le32(const char* p) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= uint32_t(uint8_t(p[i])) << (8 * i);
  return int32_t(u);
}

}  // namespace

uint32_t krii_parse_address(std::string_view text) {
  uint32_t b[4] = {0, 0, 0, 0};
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') break;
      ++pos;
    }
    if (!scan_int_low8(text, &pos, &b[i])) break;
  }
  return (b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

int krii_port_from_text(std::string_view text) {
  long long v = 0;
  for (char c : text) {
    if (!is_digit(c)) break;
    v = v * 10 + (c - '0');
    if (v > INT_MAX) return INT_MAX;
  }
  return int(v);
}

std::string krii_address_text(uint32_t packed) {
  return std::to_string(packed >> 24) + "." + std::to_string((packed >> 16) & 0xff) + "." +
         std::to_string((packed >> 8) & 0xff) + "." + std::to_string(packed & 0xff);
}

std::string krii_placement_bytes(const krii_placement& p) {
  const int32_t f[11] = {p.length, p.flags, p.show, p.min_x, p.min_y, p.max_x,
                         p.max_y, p.left, p.top, p.right, p.bottom};
  std::string raw(KRII_PLACEMENT_SIZE, '\0');
  for (int i = 0; i < 11; ++i) put_le32(raw.data() + 4 * i, f[i]);
  return raw;
}

bool krii_placement_parse(std::string_view raw, krii_placement* out) {
  if (raw.size() != KRII_PLACEMENT_SIZE) return false;
  int32_t f[11];
  for (int i = 0; i < 11; ++i) f[i] = get_le32(raw.data() + 4 * i);
  *out = {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10]};
  return true;
}

