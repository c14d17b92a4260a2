// The system's DNS servers: the nameserver lines of /etc/resolv.conf.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/tb_sys.h"
#include "tb_init.h"
#include "tb_ipaddr.h"

namespace {

constexpr const char* kResolvConf = "/etc/resolv.conf";
// More servers than this are not worth asking one after the other.
constexpr size_t kServersMax = 64;

tb_spinlock_t g_lock = 0;
std::vector<tb_ipaddr_t>* g_servers = nullptr;  // guarded by g_lock; null until loaded

std::vector<tb_ipaddr_t> read_servers(const char* path) {
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
    if (servers.size() < kServersMax) servers.push_back(addr);
  }
  fclose(f);
  return servers;
}

// Swaps the list in; the file was read without holding the lock.
void install(std::vector<tb_ipaddr_t>* list) {
  tb_spinlock_enter(&g_lock);
  std::vector<tb_ipaddr_t>* old = g_servers;
  g_servers = list;
  tb_spinlock_leave(&g_lock);
  delete old;
}

}  // namespace

void tb_sys_dns_load(const char* path) {
  install(new std::vector<tb_ipaddr_t>(read_servers(path ? path : kResolvConf)));
}

void tb_sys_dns_clear() { install(nullptr); }

size_t tb_dns_servers(tb_ipaddr_t* out, size_t max) {
  tb_spinlock_enter(&g_lock);
  bool loaded = g_servers != nullptr;
  tb_spinlock_leave(&g_lock);
  // A start-up that stopped half-way left no list: read it now.
  if (!loaded) tb_sys_dns_load(nullptr);

  tb_spinlock_enter(&g_lock);
  size_t count = g_servers ? g_servers->size() : 0;
  for (size_t i = 0; out && i < count && i < max; ++i) out[i] = (*g_servers)[i];
  tb_spinlock_leave(&g_lock);
  return count;
}

size_t tb_dns_servers_reload(const char* path) {
  tb_sys_dns_load(path);
  return tb_dns_servers(nullptr, 0);
}
