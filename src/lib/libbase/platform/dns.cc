// The DNS server list of the base layer, read from the system at start-up
// (tb_sys_dns_read) and guarded by its own spin lock.
#include <vector>

#include "platform/tb_sys.h"
#include "tb_init.h"
#include "tb_ipaddr.h"

namespace {

tb_spinlock_t g_lock = 0;
std::vector<tb_ipaddr_t>* g_servers = nullptr;  // guarded by g_lock; null until loaded

// Swaps the list in; the system was asked without holding the lock.
void install(std::vector<tb_ipaddr_t>* list) {
  tb_spinlock_enter(&g_lock);
  std::vector<tb_ipaddr_t>* old = g_servers;
  g_servers = list;
  tb_spinlock_leave(&g_lock);
  delete old;
}

}  // namespace

void tb_sys_dns_load(const char* path) {
  install(new std::vector<tb_ipaddr_t>(tb_sys_dns_read(path)));
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
