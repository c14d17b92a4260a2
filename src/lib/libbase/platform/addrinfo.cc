// System socket addresses and name lookup: the conversions between the
// layer's addresses and the system's socket addresses (whose layout both
// systems share; the system header comes from the platform's folder), and
// the lookup order of tb_addrinfo_addr.
#include <cstdio>
#include <cstring>

#include "os/os_log.h"
#include "platform/tb_sys.h"
#include "sys_net.h"
#include "tb_ipaddr.h"

#define KR_LOG_SRC "src\\lib\\libbase\\platform\\addrinfo"

namespace {

// The longest host name DNS can carry is 253 characters.
constexpr size_t kNameMax = 255;

// Network byte order without the socket library (which Windows resolves at
// run time).
uint16_t net16(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  uint16_t out;
  memcpy(&out, b, 2);
  return out;
}

uint16_t host16(uint16_t v) {
  uint8_t b[2];
  memcpy(b, &v, 2);
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

// The layer's own resolver: address texts and "localhost" are answered
// without any query; every other name goes to the system resolver.
bool looker_done(const char* name, tb_ipaddr_t* addr) {
  if (tb_ipaddr_ip_text_set(addr, name, TB_IPADDR_FAMILY_NONE)) return true;
  if (strcasecmp(name, "localhost") == 0)
    return tb_ipaddr_ip_text_set(addr, "127.0.0.1", TB_IPADDR_FAMILY_IPV4);
  return false;
}

}  // namespace

size_t tb_sockaddr_from_ipaddr(sockaddr_storage* saddr, const tb_ipaddr_t* addr) {
  if (!saddr || !addr) return 0;
  if (addr->family == TB_IPADDR_FAMILY_IPV4) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = net16(addr->port);
    // No address part (or 0.0.0.0) is the "any" address; both are 0.
    sin.sin_addr.s_addr = addr->have_ip ? addr->u.ipv4.u32 : 0;
    memset(saddr, 0, sizeof *saddr);
    memcpy(saddr, &sin, sizeof sin);
    return sizeof sin;
  }
  if (addr->family == TB_IPADDR_FAMILY_IPV6) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = net16(addr->port);
    if (addr->have_ip) {
      memcpy(sin6.sin6_addr.s6_addr, addr->u.ipv6.u8, 16);
      if (tb_ipv6_is_linklocal(&addr->u.ipv6)) sin6.sin6_scope_id = addr->u.ipv6.scope_id;
    }
    memset(saddr, 0, sizeof *saddr);
    memcpy(saddr, &sin6, sizeof sin6);
    return sizeof sin6;
  }
  return 0;
}

size_t tb_sockaddr_to_ipaddr(const sockaddr_storage* saddr, tb_ipaddr_t* addr) {
  if (!saddr || !addr) return 0;
  if (saddr->ss_family == AF_INET) {
    sockaddr_in sin;
    memcpy(&sin, saddr, sizeof sin);
    addr->family = TB_IPADDR_FAMILY_IPV4;
    addr->have_ip = 1;
    addr->port = host16(sin.sin_port);
    memset(&addr->u, 0, sizeof addr->u);
    addr->u.ipv4.u32 = sin.sin_addr.s_addr;
    return sizeof sin;
  }
  if (saddr->ss_family == AF_INET6) {
    sockaddr_in6 sin6;
    memcpy(&sin6, saddr, sizeof sin6);
    addr->family = TB_IPADDR_FAMILY_IPV6;
    addr->have_ip = 1;
    addr->port = host16(sin6.sin6_port);
    memcpy(addr->u.ipv6.u8, sin6.sin6_addr.s6_addr, 16);
    addr->u.ipv6.scope_id = tb_ipv6_is_linklocal(&addr->u.ipv6) ? sin6.sin6_scope_id : 0;
    return sizeof sin6;
  }
  return 0;
}

bool tb_addrinfo_addr(const char* name, tb_ipaddr_t* addr) {
  if (!name || !addr || !*name || strnlen(name, kNameMax + 1) > kNameMax) return false;
  if (addr->family != TB_IPADDR_FAMILY_IPV6) {
    if (looker_done(name, addr)) {
      KR_LOG(OS_LOG_DEBUG, "tb_dns_looker_done ==>\n");
      return true;
    }
  } else if (tb_ipaddr_ip_text_set(addr, name, TB_IPADDR_FAMILY_IPV6)) {
    return true;
  }
  tb_ipaddr_t found = *addr;
  if (!tb_sys_name_lookup(name, &found)) return false;
  found.port = addr->port;
  *addr = found;
  return true;
}
