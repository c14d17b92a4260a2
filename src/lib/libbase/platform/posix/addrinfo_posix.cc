// Name lookup and interface names on POSIX: the system resolver.
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "platform/tb_sys.h"
#include "tb_ipaddr.h"

uint32_t tb_sys_ifname_index(const char* name) { return name ? if_nametoindex(name) : 0; }

bool tb_sys_name_lookup(const char* name, tb_ipaddr_t* addr) {
  const uint16_t port = addr->port;
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
    ok = tb_sockaddr_to_ipaddr(&ss, addr) != 0;
  }
  freeaddrinfo(answer);
  return ok;
}
