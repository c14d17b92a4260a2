// The recursive lock, threads and the worker's message queue.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "os/os_msgq.h"
#include "os/os_safe.h"

namespace {

struct LockProbe {
  os_lock* lock;
  std::atomic<bool> entered{false};
};

unsigned enter_once(void* arg) {
  auto* p = static_cast<LockProbe*>(arg);
  os_lock_enter(p->lock);
  p->entered = true;
  os_lock_leave(p->lock);
  return 0;
}

TEST(OsLock, HolderMustLeaveAsOftenAsItEntered) {
  LockProbe p;
  p.lock = os_lock_new();
  ASSERT_NE(p.lock, nullptr);
  EXPECT_TRUE(os_lock_enter(p.lock));
  EXPECT_TRUE(os_lock_enter(p.lock));  // recursion: no deadlock
  os_thread_t t = os_thread_init(&enter_once, &p);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(os_lock_leave(p.lock));
  // Still held once: the other thread must not get in. (A lock that let it
  // in early would be seen here; the wait cannot make a sound lock fail.)
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(p.entered.load());
  EXPECT_TRUE(os_lock_leave(p.lock));
  os_thread_join(t);
  EXPECT_TRUE(p.entered.load());
  os_lock_free(p.lock);
  os_lock_free(nullptr);
  EXPECT_FALSE(os_lock_enter(nullptr));
}

struct IdProbe {
  uint64_t id = 0;
  int arg = 0;
};

unsigned record_id(void* arg) {
  auto* p = static_cast<IdProbe*>(arg);
  p->id = os_thread_id();
  p->arg++;
  return 7;
}

TEST(OsThread, RunsRoutineWithItsArgumentAndOwnId) {
  IdProbe p;
  os_thread_t t = os_thread_init(&record_id, &p);
  ASSERT_NE(t, nullptr);
  os_thread_join(t);
  EXPECT_EQ(p.arg, 1);
  EXPECT_NE(p.id, 0u);
  EXPECT_NE(p.id, os_thread_id());
  EXPECT_EQ(os_thread_id(), static_cast<uint64_t>(syscall(SYS_gettid)));
  EXPECT_EQ(os_thread_init(nullptr, nullptr), nullptr);
}

struct Worker {
  os_msgq* q;
  std::vector<unsigned> got;
};

// The worker's loop as the program runs it: take messages until quit.
unsigned worker_loop(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  for (;;) {
    unsigned m = os_msgq_wait(w->q);
    if (m == OS_MSG_QUIT) return 0;
    w->got.push_back(m);
  }
}

TEST(OsMsgq, MessagePostedBeforeTheWorkerWaitsIsKept) {
  Worker w{os_msgq_new(), {}};
  ASSERT_EQ(os_msgq_post(w.q, OS_MSG_WORK), 0);
  ASSERT_EQ(os_msgq_post(w.q, OS_MSG_QUIT), 0);
  os_thread_t t = os_thread_init(&worker_loop, &w);
  ASSERT_NE(t, nullptr);
  os_thread_join(t);
  EXPECT_EQ(w.got, std::vector<unsigned>{OS_MSG_WORK});
  os_msgq_free(w.q);
  EXPECT_EQ(os_msgq_post(nullptr, OS_MSG_WORK), -1);
}

TEST(OsMsgq, HandOverRacesWithTheStartingWorker) {
  // Each round posts while the new worker may or may not be waiting yet.
  for (int round = 0; round < 200; round++) {
    Worker w{os_msgq_new(), {}};
    os_thread_t t = os_thread_init(&worker_loop, &w);
    ASSERT_NE(t, nullptr);
    os_msgq_post(w.q, OS_MSG_WORK);
    os_msgq_post(w.q, OS_MSG_WORK + 1);
    os_msgq_post(w.q, OS_MSG_QUIT);
    os_thread_join(t);
    ASSERT_EQ(w.got, (std::vector<unsigned>{OS_MSG_WORK, OS_MSG_WORK + 1})) << round;
    os_msgq_free(w.q);
  }
}

TEST(OsMsgq, ManyPostersLoseNothing) {
  Worker w{os_msgq_new(), {}};
  os_thread_t t = os_thread_init(&worker_loop, &w);
  std::vector<std::thread> posters;
  for (unsigned p = 0; p < 4; p++)
    posters.emplace_back([&w, p] {
      for (unsigned i = 0; i < 500; i++) os_msgq_post(w.q, 2000 + p * 1000 + i);
    });
  for (auto& th : posters) th.join();
  os_msgq_post(w.q, OS_MSG_QUIT);
  os_thread_join(t);
  ASSERT_EQ(w.got.size(), 2000u);
  // Each poster's messages arrive in the order it posted them.
  std::vector<unsigned> last(4, 0);
  for (unsigned m : w.got) {
    unsigned p = (m - 2000) / 1000;
    EXPECT_GE(m, last[p]);
    last[p] = m;
  }
  os_msgq_free(w.q);
}

}  // namespace
