// A worker thread that carries out requests one at a time, handed to it
// through a message queue: the hand-over, the busy word, the result of the
// last request, the quit request and the wait for the end, written once for
// every worker of the program.
//
// One controlling thread (the front end's) calls start, post, quit and join;
// busy and last_result may be read on any thread.
#pragma once

#include <atomic>

#include "os/os_msgq.h"
#include "os/os_safe.h"

class os_worker {
 public:
  // Carries out one request on the worker thread; what it returns becomes
  // last_result.
  using job_fn = int (*)(void* ctx);

  constexpr os_worker(job_fn job, void* ctx) noexcept : job_(job), ctx_(ctx) {}
  // Frees the queue when no worker is left to take from it. A worker never
  // joined keeps it: it ends with the process.
  ~os_worker();
  os_worker(const os_worker&) = delete;
  os_worker& operator=(const os_worker&) = delete;

  // Starts the worker; true when one serves afterwards. A worker that
  // serves already goes on. One told to quit is waited for first, so that it
  // takes its quit message before a new worker shares the queue.
  bool start();
  // Hands one request (OS_MSG_WORK) to the worker; busy from here, not from
  // the worker's start, until the request has ended. False, and nothing
  // pending, without a worker that serves (none started, or told to quit):
  // such a request would read as busy for ever.
  [[nodiscard]] bool post();
  // Requests handed over and not yet ended.
  bool busy() const { return pending_.load() != 0; }
  // The result of the last request that ended; -1 before the first.
  int last_result() const { return last_result_.load(); }
  // Posts the quit message behind the requests already handed over, without
  // waiting; once per worker.
  void quit();
  // After quit: waits until the worker has ended (after the requests handed
  // over before the quit). Returns at once without a worker or before quit.
  void join();

 private:
  static unsigned run(void* self);
  bool serving() const { return thread_ && !quit_posted_; }

  const job_fn job_;
  void* const ctx_;
  // Made by the first start and kept for every later worker; the worker
  // reads it, written only while no worker runs.
  os_msgq* queue_ = nullptr;
  os_thread_t thread_ = nullptr;  // the controlling thread's
  bool quit_posted_ = false;      // the controlling thread's
  // Requests handed over and not yet ended: raised by post, lowered by the
  // worker after it stored the request's result, so that a reader that sees
  // no request pending sees that result too.
  std::atomic<int> pending_{0};
  std::atomic<int> last_result_{-1};
};
