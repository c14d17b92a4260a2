// System socket addresses and name lookup on POSIX.
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "os/os_log.h"
#include "platform/tb_sys.h"
#include "tb_ipaddr.h"

#define KR_LOG_SRC "src\\lib\\libbase\\platform\\addrinfo"

namespace {

// The longest host name DNS can carry is 253 characters.
constexpr size_t kNameMax = 255;

// The layer's own resolver: address texts and "localhost" are answered
// without any query; every other name goes to the system resolver.
bool looker_done(const char* name, tb_ipaddr_t* addr) {
  if (tb_ipaddr_ip_text_set(addr, name, TB_IPADDR_FAMILY_NONE)) return true;
  if (strcasecmp(name, "localhost") == 0)
    return tb_ipaddr_ip_text_set(addr, "127.0.0.1", TB_IPADDR_FAMILY_IPV4);
  return false;
}

}  // namespace

uint32_t tb_sys_ifname_index(const char* name) { return name ? if_nametoindex(name) : 0; }

size_t tb_sockaddr_from_ipaddr(sockaddr_storage* saddr, const tb_ipaddr_t* addr) {
  if (!saddr || !addr) return 0;
  if (addr->family == TB_IPADDR_FAMILY_IPV4) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(addr->port);
    // No address part (or 0.0.0.0) is the "any" address; both are 0.
    sin.sin_addr.s_addr = addr->have_ip ? addr->u.ipv4.u32 : INADDR_ANY;
    memset(saddr, 0, sizeof *saddr);
    memcpy(saddr, &sin, sizeof sin);
    return sizeof sin;
  }
  if (addr->family == TB_IPADDR_FAMILY_IPV6) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(addr->port);
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
    addr->port = ntohs(sin.sin_port);
    memset(&addr->u, 0, sizeof addr->u);
    addr->u.ipv4.u32 = sin.sin_addr.s_addr;
    return sizeof sin;
  }
  if (saddr->ss_family == AF_INET6) {
    sockaddr_in6 sin6;
    memcpy(&sin6, saddr, sizeof sin6);
    addr->family = TB_IPADDR_FAMILY_IPV6;
    addr->have_ip = 1;
    addr->port = ntohs(sin6.sin6_port);
    memcpy(addr->u.ipv6.u8, sin6.sin6_addr.s6_addr, 16);
    addr->u.ipv6.scope_id = tb_ipv6_is_linklocal(&addr->u.ipv6) ? sin6.sin6_scope_id : 0;
    return sizeof sin6;
  }
  return 0;
}

bool tb_addrinfo_addr(const char* name, tb_ipaddr_t* addr) {
  if (!name || !addr || !*name || strnlen(name, kNameMax + 1) > kNameMax) return false;
  const uint16_t port = addr->port;

  if (addr->family != TB_IPADDR_FAMILY_IPV6) {
    if (looker_done(name, addr)) {
      KR_LOG(OS_LOG_DEBUG, "tb_dns_looker_done ==>\n");
      return true;
    }
  } else if (tb_ipaddr_ip_text_set(addr, name, TB_IPADDR_FAMILY_IPV6)) {
    return true;
  }

  addrinfo hints{};
  hints.ai_family = addr->family == TB_IPADDR_FAMILY_IPV4   ? AF_INET
                    : addr->family == TB_IPADDR_FAMILY_IPV6 ? AF_INET6
                                                            : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  char service[8];
  snprintf(service, sizeof service, "%u", unsigned{port});
  addrinfo* answer = nullptr;
  if (getaddrinfo(name, port ? service : nullptr, &hints, &answer) != 0 || !answer) return false;

  bool ok = false;
  for (const addrinfo* ai = answer; ai && !ok; ai = ai->ai_next) {
    if (!ai->ai_addr || ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    sockaddr_storage ss{};
    memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
    tb_ipaddr_t found = *addr;
    if (tb_sockaddr_to_ipaddr(&ss, &found)) {
      found.port = port;
      *addr = found;
      ok = true;
    }
  }
  freeaddrinfo(answer);
  return ok;
}
