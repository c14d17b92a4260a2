// Address text parsers over arbitrary bytes: parse in every family, print
// back, and check that a printed address parses again to the same value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tb_ipaddr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');

  for (int family = 0; family <= 3; ++family) {
    tb_ipaddr_t addr;
    tb_ipaddr_clear(&addr);
    tb_ipaddr_port_set(&addr, 6688);
    if (!tb_ipaddr_ip_text_set(&addr, text.data(), family)) continue;
    if (addr.port != 6688 || !addr.have_ip) abort();
    char full[80], ip[64];
    if (!tb_ipaddr_text(&addr, full, sizeof full)) abort();
    if (!tb_ipaddr_ip_text(&addr, ip, sizeof ip)) abort();
    tb_ipaddr_t again;
    tb_ipaddr_clear(&again);
    tb_ipaddr_port_set(&again, 6688);
    if (!tb_ipaddr_ip_text_set(&again, ip, addr.family)) abort();
    // The scope of an address that is not link-local is not printed.
    if (addr.family == TB_IPADDR_FAMILY_IPV6 && !tb_ipv6_is_linklocal(&addr.u.ipv6))
      again.u.ipv6.scope_id = addr.u.ipv6.scope_id;
    if (!tb_ipaddr_is_equal(&addr, &again)) abort();
  }

  tb_ipv4_t v4;
  char buf4[16];
  if (tb_ipv4_text_set(&v4, text.data()) && !tb_ipv4_text(&v4, buf4, sizeof buf4)) abort();
  tb_ipv6_t v6;
  char buf6[60];
  if (tb_ipv6_text_set(&v6, text.data()) && !tb_ipv6_text(&v6, buf6, sizeof buf6)) abort();
  return 0;
}
