// Name lookup and interface names on Windows, through the ws2_32 and
// iphlpapi tables.
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/os_log.h"
#include "platform/tb_sys.h"
#include "platform/windows/tb_win.h"
#include "tb_init.h"
#include "tb_ipaddr.h"

#define KR_LOG_SRC "src\\lib\\libbase\\platform\\windows\\addrinfo"

uint32_t tb_sys_ifname_index(const char* name) {
  auto get = tb_iphlpapi()->GetAdaptersAddresses;
  if (!name || !*name || !get) return 0;
  ULONG size = 16384;
  std::vector<unsigned char> buf;
  ULONG rc;
  for (int tries = 0; tries < 3; ++tries) {
    buf.resize(size);
    rc = get(AF_INET6, 0, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
    if (rc != ERROR_BUFFER_OVERFLOW) break;
  }
  if (rc != NO_ERROR) return 0;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
    char friendly[256];
    bool named = a->AdapterName && strcmp(a->AdapterName, name) == 0;
    if (!named && a->FriendlyName && tb_text_from_wide(friendly, a->FriendlyName, sizeof friendly) > 0)
      named = strcmp(friendly, name) == 0;
    if (named) return a->Ipv6IfIndex;
  }
  return 0;
}

bool tb_sys_name_lookup(const char* name, tb_ipaddr_t* addr) {
  const tb_ws2_32_t* ws = tb_ws2_32();
  if (ws->getaddrinfo && ws->freeaddrinfo) {
    addrinfo hints{};
    hints.ai_family = addr->family == TB_IPADDR_FAMILY_IPV4   ? AF_INET
                      : addr->family == TB_IPADDR_FAMILY_IPV6 ? AF_INET6
                                                              : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    snprintf(service, sizeof service, "%u", unsigned{addr->port});
    addrinfo* answer = nullptr;
    if (ws->getaddrinfo(name, addr->port ? service : nullptr, &hints, &answer) != 0 || !answer)
      return false;
    bool ok = false;
    for (const addrinfo* ai = answer; ai && !ok; ai = ai->ai_next) {
      if (!ai->ai_addr || ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
      sockaddr_storage ss{};
      memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
      ok = tb_sockaddr_to_ipaddr(&ss, addr) != 0;
    }
    ws->freeaddrinfo(answer);
    return ok;
  }
  if (ws->gethostbyname) {
    if (addr->family == TB_IPADDR_FAMILY_IPV6) return false;
    const hostent* h = ws->gethostbyname(name);
    if (!h || h->h_addrtype != AF_INET || !h->h_addr_list || !h->h_addr_list[0]) return false;
    addr->family = TB_IPADDR_FAMILY_IPV4;
    addr->have_ip = 1;
    memcpy(&addr->u.ipv4.u32, h->h_addr_list[0], 4);
    return true;
  }
  KR_LOG(OS_LOG_ERR, "not implemented error\n");
  return false;
}
