// POSIX threads, thread ids, the recursive lock and English error texts.
#include <locale.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "os/os_pal_internal.h"
#include "os/os_safe.h"

struct os_lock {
  std::recursive_mutex mutex;
};

os_lock* os_lock_new() { return new (std::nothrow) os_lock; }

void os_lock_free(os_lock* lock) { delete lock; }

bool os_lock_enter(os_lock* lock) {
  if (!lock) return false;
  lock->mutex.lock();
  return true;
}

bool os_lock_leave(os_lock* lock) {
  if (!lock) return false;
  lock->mutex.unlock();
  return true;
}

struct os_thread_s {
  pthread_t id;
  os_thread_routine routine;
  void* arg;
};

namespace {

void* thread_main(void* p) {
  auto* t = static_cast<os_thread_s*>(p);
  unsigned code = t->routine(t->arg);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

}  // namespace

os_thread_t os_thread_init(os_thread_routine routine, void* arg) {
  if (!routine) return nullptr;
  auto* t = new (std::nothrow) os_thread_s{};
  if (!t) return nullptr;
  t->routine = routine;
  t->arg = arg;
  if (pthread_create(&t->id, nullptr, thread_main, t) != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

void os_thread_join(os_thread_t thread) {
  if (!thread) return;
  pthread_join(thread->id, nullptr);
  delete thread;
}

uint64_t os_thread_id() { return static_cast<uint64_t>(gettid()); }

const char* pal::sys_error_text(int code) {
  // A "C" locale object of our own: the process-wide locale (which the
  // dialog's toolkit sets from the environment) is never consulted.
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (c_locale) return strerror_l(code, c_locale);
  static thread_local char buf[64];
  snprintf(buf, sizeof buf, "Unknown error %d", code);
  return buf;
}
