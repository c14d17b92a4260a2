// Base layer start-up, the once-only protocol, spin locks and the trace.
#include "tb_init.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "os/os_log.h"
#include "platform/tb_sys.h"

#define KR_LOG_SRC "src\\lib\\libbase\\tb_init"

namespace {

std::atomic<int> g_state{TB_STATE_END};
tb_spinlock_t g_trace_lock = 0;

constexpr tb_version_t kVersion = {0, 0, 3, 0};

// The processor's pause instruction: tells a hyper-threaded core that this
// is a spin-wait, without giving up the time slice.
inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace

bool tb_init(void* priv, void* allocator, size_t mode, uint64_t build) {
  (void)priv;
  (void)allocator;
  (void)build;
  int expected = TB_STATE_END;
  if (!g_state.compare_exchange_strong(expected, TB_STATE_OK, std::memory_order_acq_rel)) {
    // Already started (or started half-way: a failed start is not retried);
    // a layer that is shutting down cannot be started.
    return expected == TB_STATE_OK;
  }
  tb_spinlock_leave(&g_trace_lock);
  if (mode & (TB_MODE_DEBUG | TB_MODE_SMALL)) return false;

  // Memory comes from the C++ run-time; there is no private heap to make.
  if (!tb_sys_socket_init()) return false;
  tb_sys_dns_load(nullptr);
  return true;
}

void tb_exit() {
  int expected = TB_STATE_OK;
  if (!g_state.compare_exchange_strong(expected, TB_STATE_EXITING, std::memory_order_acq_rel))
    return;
  tb_sys_dns_clear();
  tb_sys_socket_exit();
  g_state.store(TB_STATE_END, std::memory_order_release);
}

int tb_state() { return g_state.load(std::memory_order_acquire); }

const tb_version_t* tb_version() { return &kVersion; }

bool tb_load_once(int* state, void* table, tb_loader_t loader, void* priv) {
  if (!state || !loader) return false;
  std::atomic_ref<int> st(*state);
  int expected = TB_ONCE_NONE;
  if (st.compare_exchange_strong(expected, TB_ONCE_LOADING, std::memory_order_acq_rel)) {
    bool ok = loader(table, priv);
    st.store(ok ? TB_ONCE_LOADED : TB_ONCE_FAILED, std::memory_order_release);
    return ok;
  }
  // Another thread is loading: wait for it, at most 5 s. A load that failed
  // is not retried and answers at once.
  for (int i = 0; i < 50 && expected == TB_ONCE_LOADING; ++i) {
    tb_msleep(100);
    expected = st.load(std::memory_order_acquire);
  }
  return expected == TB_ONCE_LOADED;
}

void tb_spinlock_enter(tb_spinlock_t* lock) {
  std::atomic_ref<int> word(*lock);
  for (unsigned failed = 0;;) {
    int expected = 0;
    if (word.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                   std::memory_order_relaxed))
      return;
    if (++failed % 5 == 0) cpu_pause();
  }
}

void tb_spinlock_leave(tb_spinlock_t* lock) {
  std::atomic_ref<int>(*lock).store(0, std::memory_order_release);
}

void tb_trace(int level, const char* prefix, const char* module, const char* fmt, ...) {
  if (level > OS_LOG_INFO || !fmt) return;
  char line[4096];
  int n = snprintf(line, sizeof line, "[%s]: [%s]: ", prefix ? prefix : "",
                   module ? module : "");
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof line) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + n, sizeof line - static_cast<size_t>(n), fmt, ap);
    va_end(ap);
  }
  // The log lock orders the lines; holding a spin lock across it could only
  // make a sink that traces spin for ever.
  os_log_emit(level, "", line, -1);
}
