// The system's DNS servers on Windows: GetNetworkParams through the
// iphlpapi table.
#include <vector>

#include "platform/tb_sys.h"
#include "platform/windows/tb_win.h"
#include "tb_ipaddr.h"

std::vector<tb_ipaddr_t> tb_sys_dns_read(const char*) {
  std::vector<tb_ipaddr_t> servers;
  auto get = tb_iphlpapi()->GetNetworkParams;
  if (!get) return servers;
  ULONG size = sizeof(FIXED_INFO);
  std::vector<unsigned char> buf(size);
  DWORD rc = get(reinterpret_cast<FIXED_INFO*>(buf.data()), &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buf.resize(size);
    rc = get(reinterpret_cast<FIXED_INFO*>(buf.data()), &size);
  }
  if (rc != ERROR_SUCCESS) return servers;
  const auto* info = reinterpret_cast<const FIXED_INFO*>(buf.data());
  for (const IP_ADDR_STRING* s = &info->DnsServerList; s && servers.size() < TB_SYS_DNS_SERVERS_MAX;
       s = s->Next) {
    tb_ipaddr_t addr;
    tb_ipaddr_clear(&addr);
    if (!tb_ipaddr_ip_text_set(&addr, s->IpAddress.String, TB_IPADDR_FAMILY_NONE)) continue;
    tb_ipaddr_port_set(&addr, 53);
    servers.push_back(addr);
  }
  return servers;
}
