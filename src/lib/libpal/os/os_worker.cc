// The worker handshake over the message queue and a thread.
#include "os/os_worker.h"

os_worker::~os_worker() {
  if (!thread_) os_msgq_free(queue_);
}

unsigned os_worker::run(void* self) {
  auto* w = static_cast<os_worker*>(self);
  for (;;) {
    if (os_msgq_wait(w->queue_) == OS_MSG_QUIT) return 0;
    w->last_result_.store(w->job_(w->ctx_));
    w->pending_.fetch_sub(1);  // last: see pending_
  }
}

bool os_worker::start() {
  if (serving()) return true;  // the worker of an earlier start serves on
  if (thread_) {
    // Told to quit: let it take its quit message before a new worker
    // shares the queue.
    os_thread_join(thread_);
    thread_ = nullptr;
  }
  if (!queue_) queue_ = os_msgq_new();
  if (!queue_) return false;
  quit_posted_ = false;
  thread_ = os_thread_init(&os_worker::run, this);
  return thread_ != nullptr;
}

bool os_worker::post() {
  if (!serving()) return false;
  pending_.fetch_add(1);  // busy from the hand-over, not from the worker's start
  if (os_msgq_post(queue_, OS_MSG_WORK) != 0) {
    pending_.fetch_sub(1);
    return false;
  }
  return true;
}

void os_worker::quit() {
  if (!serving()) return;
  os_msgq_post(queue_, OS_MSG_QUIT);
  quit_posted_ = true;
}

void os_worker::join() {
  if (!thread_ || !quit_posted_) return;
  os_thread_join(thread_);
  thread_ = nullptr;
}
