// A worker's message queue: messages are kept in order until taken, so a
// message posted before the worker waits is never lost.
#include "os/os_msgq.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

struct os_msgq {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<unsigned> messages;  // guarded by mutex
};

os_msgq* os_msgq_new() { return new (std::nothrow) os_msgq; }

void os_msgq_free(os_msgq* q) { delete q; }

int os_msgq_post(os_msgq* q, unsigned msg) {
  if (!q) return -1;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->messages.push_back(msg);
  }
  q->ready.notify_one();
  return 0;
}

unsigned os_msgq_wait(os_msgq* q) {
  if (!q) return OS_MSG_QUIT;
  std::unique_lock<std::mutex> lock(q->mutex);
  q->ready.wait(lock, [q] { return !q->messages.empty(); });
  unsigned msg = q->messages.front();
  q->messages.pop_front();
  return msg;
}
