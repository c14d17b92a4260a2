// Stop requests on Windows: a flag for the quick check, and the watching
// thread, whose blocked read (a pipe, the console) is cancelled when the
// request is raised. Socket waits look at the flag between short selects.
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

#include "platform/windows/cancel_windows.h"
#include "platform/windows/tb_win.h"
#include "tb_cancel.h"

struct tb_cancel_s {
  std::atomic<bool> raised{false};
  std::mutex mu;
  HANDLE thread = nullptr;  // guarded by mu: the thread watching it, if any
};

namespace {

thread_local tb_cancel_s* t_watched = nullptr;

void set_thread(tb_cancel_s* c, HANDLE thread) {
  std::lock_guard<std::mutex> lock(c->mu);
  if (c->thread) CloseHandle(c->thread);
  c->thread = thread;
}

}  // namespace

tb_cancel_ref_t tb_cancel_init() {
  auto* c = new (std::nothrow) tb_cancel_s;
  if (!c) errno = ENOMEM;
  return c;
}

void tb_cancel_exit(tb_cancel_ref_t cancel) {
  if (!cancel) return;
  set_thread(cancel, nullptr);
  delete cancel;
}

void tb_cancel_raise(tb_cancel_ref_t cancel) {
  if (!cancel) return;
  cancel->raised.store(true);
  std::lock_guard<std::mutex> lock(cancel->mu);
  if (cancel->thread) CancelSynchronousIo(cancel->thread);
}

void tb_cancel_clear(tb_cancel_ref_t cancel) {
  if (cancel) cancel->raised.store(false);
}

bool tb_cancel_raised(tb_cancel_ref_t cancel) { return cancel && cancel->raised.load(); }

tb_cancel_ref_t tb_cancel_watch(tb_cancel_ref_t cancel) {
  tb_cancel_s* before = t_watched;
  if (before) set_thread(before, nullptr);
  t_watched = cancel;
  if (cancel) {
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    set_thread(cancel, self);
  }
  return before;
}

bool tb_cancel_watched_raised() { return t_watched && t_watched->raised.load(); }
