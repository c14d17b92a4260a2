// Windows threads, thread ids, the recursive lock (a critical section) and
// the runtime library's English error texts.
#include <windows.h>
#include <process.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "os/os_human.h"
#include "os/os_pal_internal.h"
#include "os/os_safe.h"

struct os_lock {
  CRITICAL_SECTION cs;
};

os_lock* os_lock_new() {
  auto* lock = new (std::nothrow) os_lock;
  if (lock) InitializeCriticalSection(&lock->cs);
  return lock;
}

void os_lock_free(os_lock* lock) {
  if (!lock) return;
  DeleteCriticalSection(&lock->cs);
  delete lock;
}

bool os_lock_enter(os_lock* lock) {
  if (!lock) return false;
  EnterCriticalSection(&lock->cs);
  return true;
}

bool os_lock_leave(os_lock* lock) {
  if (!lock) return false;
  LeaveCriticalSection(&lock->cs);
  return true;
}

struct os_thread_s {
  HANDLE handle;
};

os_thread_t os_thread_init(os_thread_routine routine, void* arg) {
  if (!routine) return nullptr;
  auto* t = new (std::nothrow) os_thread_s{};
  if (!t) return nullptr;
  // The runtime library's own start: the routine may use it freely.
  uintptr_t h = _beginthreadex(nullptr, 0, routine, arg, 0, nullptr);
  if (h == 0) {
    delete t;
    return nullptr;
  }
  t->handle = reinterpret_cast<HANDLE>(h);
  return t;
}

void os_thread_join(os_thread_t thread) {
  if (!thread) return;
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  delete thread;
}

uint64_t os_thread_id() { return static_cast<uint64_t>(GetCurrentThreadId()); }

const char* pal::sys_error_text(int code) {
  // The runtime library's texts are English whatever the user's language;
  // its buffer belongs to the calling thread.
  return strerror(code);
}
