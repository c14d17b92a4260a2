// Address values and their text forms. Everything here is platform-free; the
// system socket addresses and name lookup live in platform/addrinfo.cc and
// platform/<os>/addrinfo_<os>.cc.
#include "tb_ipaddr.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "platform/tb_sys.h"

namespace {

// No address text is longer than this; anything longer is refused before it
// is scanned (host texts come from URLs typed or pasted by the examiner).
constexpr size_t kTextMax = 255;
// Interface names are shorter than IF_NAMESIZE (16) on every system we know.
constexpr size_t kIfNameMax = 15;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool text_fits(const char* text) { return strnlen(text, kTextMax + 1) <= kTextMax; }

// Four components separated by "."; a component is a run of decimal digits,
// an empty one counts as 0, each must be below 256.
bool ipv4_parse(const char* s, uint8_t out[4]) {
  uint8_t parts[4];
  size_t count = 0;
  unsigned value = 0;
  for (;; ++s) {
    char c = *s;
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (value > 255) return false;
    } else if (c == '.' || c == '\0') {
      if (count == 4) return false;
      parts[count++] = static_cast<uint8_t>(value);
      value = 0;
      if (c == '\0') break;
    } else {
      return false;
    }
  }
  if (count != 4) return false;
  memcpy(out, parts, 4);
  return true;
}

bool scope_parse(const char* s, uint32_t* scope) {
  if (*s == '\0') return false;
  bool numeric = true;
  for (const char* p = s; *p; ++p) {
    if (*p < '0' || *p > '9') {
      numeric = false;
      break;
    }
  }
  if (numeric) {
    uint64_t v = 0;
    for (const char* p = s; *p; ++p) {
      v = v * 10 + static_cast<uint64_t>(*p - '0');
      if (v > UINT32_MAX) return false;
    }
    *scope = static_cast<uint32_t>(v);
    return true;
  }
  if (strnlen(s, kIfNameMax + 1) > kIfNameMax) return false;
  uint32_t index = tb_sys_ifname_index(s);
  if (index == 0) return false;
  *scope = index;
  return true;
}

bool ipv6_parse(const char* s, tb_ipv6_t* out) {
  tb_ipv6_t ip{};
  uint8_t v4[4];
  if (strncasecmp(s, "::ffff:", 7) == 0 && ipv4_parse(s + 7, v4)) {
    ip.u8[10] = 0xff;
    ip.u8[11] = 0xff;
    memcpy(ip.u8 + 12, v4, 4);
    *out = ip;
    return true;
  }
  if (s[0] == ':' && s[1] == ':' && ipv4_parse(s + 2, v4)) {
    memcpy(ip.u8 + 12, v4, 4);
    *out = ip;
    return true;
  }

  // Groups before and after the one "::".
  uint16_t head[8], tail[8];
  size_t nhead = 0, ntail = 0;
  bool gap = false;
  const char* p = s;
  if (p[0] == ':') {
    if (p[1] != ':') return false;
    gap = true;
    p += 2;
  }
  bool need_group = !gap;
  for (;;) {
    if (*p == '\0' || *p == '%') {
      if (need_group) return false;
      break;
    }
    unsigned value = 0;
    size_t digits = 0;
    int h;
    while (digits < 5 && (h = hex_value(p[digits])) >= 0) {
      value = value * 16 + static_cast<unsigned>(h);
      ++digits;
    }
    if (digits == 0 || digits > 4) return false;
    if (nhead + ntail >= 8) return false;
    (gap ? tail[ntail++] : head[nhead++]) = static_cast<uint16_t>(value);
    p += digits;
    if (*p == ':') {
      if (p[1] == ':') {
        if (gap) return false;
        gap = true;
        p += 2;
        need_group = false;
      } else {
        ++p;
        need_group = true;
      }
    } else {
      need_group = false;
    }
  }
  // "::" stands for at least one zero group.
  if (gap ? nhead + ntail > 7 : nhead != 8) return false;
  if (*p == '%' && !scope_parse(p + 1, &ip.scope_id)) return false;

  for (size_t i = 0; i < nhead; ++i) {
    ip.u8[2 * i] = static_cast<uint8_t>(head[i] >> 8);
    ip.u8[2 * i + 1] = static_cast<uint8_t>(head[i]);
  }
  for (size_t i = 0; i < ntail; ++i) {
    size_t g = 8 - ntail + i;
    ip.u8[2 * g] = static_cast<uint8_t>(tail[i] >> 8);
    ip.u8[2 * g + 1] = static_cast<uint8_t>(tail[i]);
  }
  *out = ip;
  return true;
}

}  // namespace

bool tb_ipv6_is_linklocal(const tb_ipv6_t* ip) {
  const uint8_t* b = ip->u8;
  return (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) || (b[0] == 0xff && (b[1] & 0x0f) == 2);
}

void tb_ipaddr_clear(tb_ipaddr_t* addr) {
  if (!addr) return;
  addr->family = TB_IPADDR_FAMILY_IPV4;
  addr->have_ip = 0;
  addr->port = 0;
}

void tb_ipaddr_copy(tb_ipaddr_t* dst, const tb_ipaddr_t* src) {
  if (!dst || !src || dst == src) return;
  dst->family = src->family;
  dst->port = src->port;
  if (!src->have_ip) return;  // the destination keeps its own address part
  dst->have_ip = 1;
  if (src->family == TB_IPADDR_FAMILY_IPV4)
    dst->u.ipv4 = src->u.ipv4;
  else
    dst->u = src->u;
}

bool tb_ipaddr_is_equal(const tb_ipaddr_t* a, const tb_ipaddr_t* b) {
  if (!a || !b) return false;
  if (a->family != b->family || a->port != b->port || a->have_ip != b->have_ip) return false;
  if (!a->have_ip) return true;
  if (a->family == TB_IPADDR_FAMILY_IPV4) return a->u.ipv4.u32 == b->u.ipv4.u32;
  if (a->family == TB_IPADDR_FAMILY_IPV6)
    return a->u.ipv6.scope_id == b->u.ipv6.scope_id &&
           memcmp(a->u.ipv6.u8, b->u.ipv6.u8, 16) == 0;
  return true;
}

void tb_ipaddr_port_set(tb_ipaddr_t* addr, uint16_t port) {
  if (addr) addr->port = port;
}

uint16_t tb_ipaddr_port(const tb_ipaddr_t* addr) { return addr ? addr->port : 0; }

bool tb_ipaddr_ip_text_set(tb_ipaddr_t* addr, const char* text, int family) {
  if (!addr) return false;
  if (family != TB_IPADDR_FAMILY_NONE && family != TB_IPADDR_FAMILY_IPV4 &&
      family != TB_IPADDR_FAMILY_IPV6)
    return false;
  if (!text) {
    addr->family = static_cast<uint8_t>(family);
    addr->have_ip = 0;
    return true;
  }
  if (family != TB_IPADDR_FAMILY_IPV6) {
    tb_ipv4_t v4;
    if (tb_ipv4_text_set(&v4, text)) {
      addr->family = TB_IPADDR_FAMILY_IPV4;
      addr->have_ip = 1;
      memset(&addr->u, 0, sizeof addr->u);
      addr->u.ipv4 = v4;
      return true;
    }
    if (family == TB_IPADDR_FAMILY_IPV4) return false;
  }
  tb_ipv6_t v6;
  if (!tb_ipv6_text_set(&v6, text)) return false;
  addr->family = TB_IPADDR_FAMILY_IPV6;
  addr->have_ip = 1;
  addr->u.ipv6 = v6;
  return true;
}

bool tb_ipv4_text_set(tb_ipv4_t* ip, const char* text) {
  if (!ip || !text || !text_fits(text)) return false;
  uint8_t b[4];
  if (!ipv4_parse(text, b)) return false;
  memcpy(&ip->u32, b, 4);  // first component in the lowest-addressed byte
  return true;
}

bool tb_ipv6_text_set(tb_ipv6_t* ip, const char* text) {
  if (!ip || !text || !text_fits(text)) return false;
  return ipv6_parse(text, ip);
}

const char* tb_ipv4_text(const tb_ipv4_t* ip, char* buf, size_t size) {
  if (!ip || !buf || size < 16) return nullptr;
  uint8_t b[4];
  memcpy(b, &ip->u32, 4);
  snprintf(buf, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

const char* tb_ipv6_text(const tb_ipv6_t* ip, char* buf, size_t size) {
  if (!ip || !buf || size < 60) return nullptr;
  unsigned g[8];
  for (size_t i = 0; i < 8; ++i) g[i] = (unsigned{ip->u8[2 * i]} << 8) | ip->u8[2 * i + 1];
  char scope[16] = "";
  if (tb_ipv6_is_linklocal(ip)) snprintf(scope, sizeof scope, "%%%u", ip->scope_id);
  snprintf(buf, size, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x%s", g[0], g[1], g[2], g[3], g[4],
           g[5], g[6], g[7], scope);
  return buf;
}

const char* tb_ipaddr_ip_text(const tb_ipaddr_t* addr, char* buf, size_t size) {
  if (!addr || !buf) return nullptr;
  switch (addr->family) {
    case TB_IPADDR_FAMILY_IPV4:
      if (addr->have_ip) return tb_ipv4_text(&addr->u.ipv4, buf, size);
      if (size < 16) return nullptr;
      snprintf(buf, size, "0.0.0.0");
      return buf;
    case TB_IPADDR_FAMILY_IPV6:
      if (addr->have_ip) return tb_ipv6_text(&addr->u.ipv6, buf, size);
      if (size < 60) return nullptr;
      snprintf(buf, size, "::");
      return buf;
    default:
      return nullptr;
  }
}

const char* tb_ipaddr_text(const tb_ipaddr_t* addr, char* buf, size_t size) {
  if (!addr || !buf || size < 80) return nullptr;
  if (!addr->have_ip) {
    snprintf(buf, size, "0.0.0.0:0");
    return buf;
  }
  char ip[64];
  if (!tb_ipaddr_ip_text(addr, ip, sizeof ip)) return nullptr;
  bool v6 = addr->family == TB_IPADDR_FAMILY_IPV6;
  snprintf(buf, size, "%s%s%s:%u", v6 ? "[" : "", ip, v6 ? "]" : "", unsigned{addr->port});
  return buf;
}
