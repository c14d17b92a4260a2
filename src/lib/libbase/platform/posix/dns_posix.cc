// The system's DNS servers on POSIX: the nameserver lines of
// /etc/resolv.conf.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/tb_sys.h"
#include "tb_ipaddr.h"

namespace {

constexpr const char* kResolvConf = "/etc/resolv.conf";

}  // namespace

std::vector<tb_ipaddr_t> tb_sys_dns_read(const char* path) {
  if (!path) path = kResolvConf;
  std::vector<tb_ipaddr_t> servers;
  FILE* f = fopen(path, "re");
  if (!f) return servers;
  char line[1024];
  while (fgets(line, sizeof line, f)) {
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] != '\n' && !feof(f)) {
      // An overlong line is no nameserver line: skip it to its end.
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
      continue;
    }
    char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (strncmp(p, "nameserver", 10) != 0 || (p[10] != ' ' && p[10] != '\t')) continue;
    p += 10;
    while (*p == ' ' || *p == '\t') ++p;
    char* end = p;
    while (*end && !isspace(static_cast<unsigned char>(*end)) && *end != '#' && *end != ';') ++end;
    *end = '\0';
    tb_ipaddr_t addr;
    tb_ipaddr_clear(&addr);
    if (!tb_ipaddr_ip_text_set(&addr, p, TB_IPADDR_FAMILY_NONE)) continue;  // not an address
    tb_ipaddr_port_set(&addr, 53);
    if (servers.size() < TB_SYS_DNS_SERVERS_MAX) servers.push_back(addr);
  }
  fclose(f);
  return servers;
}
