// The worker handshake: which hand-overs are taken in each state of the
// worker's life, and busy from the hand-over until the request ended.
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "os/os_worker.h"

namespace {

// Each request waits for a pass through the gate, then counts itself and
// returns its number (1, 2, ...).
struct Gate {
  std::mutex mu;
  std::condition_variable opened;
  int passes = 1000;  // guarded by mu
  int runs = 0;       // guarded by mu

  void let_through(int n) {
    {
      std::lock_guard<std::mutex> lock(mu);
      passes += n;
    }
    opened.notify_all();
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu);
    return runs;
  }
};

int gated_job(void* ctx) {
  auto* g = static_cast<Gate*>(ctx);
  std::unique_lock<std::mutex> lock(g->mu);
  g->opened.wait(lock, [g] { return g->passes > 0; });
  --g->passes;
  return ++g->runs;
}

// Steps: s start, p a hand-over that must be taken, r one that must be
// refused (and leave nothing pending), q quit, j join. Every script ends
// with quit and join, after which all taken requests have run.
struct Script {
  const char* steps;
  int runs;
};

TEST(OsWorker, HandOversTakenInEachStateOfTheWorkersLife) {
  const Script scripts[] = {
      {"r", 0},         // never started
      {"spp", 2},       //
      {"ssp", 1},       // a second start keeps the one worker
      {"sqrj", 0},      // refused once told to quit, also before it ended
      {"sqqj", 0},      // one quit message however often asked
      {"sjp", 1},       // join before quit returns and the worker serves on
      {"spqjsp", 2},    // a new start after the end: a new worker
      {"spqsp", 2},     // a start right after quit waits for the old one
      {"sqjrsp", 1},    // ended: refused until started again
  };
  for (const Script& sc : scripts) {
    SCOPED_TRACE(sc.steps);
    Gate gate;
    os_worker w(gated_job, &gate);
    EXPECT_EQ(w.last_result(), -1);
    for (const char* c = sc.steps; *c; ++c) {
      switch (*c) {
        case 's': EXPECT_TRUE(w.start()); break;
        case 'p': EXPECT_TRUE(w.post()); break;
        case 'r':
          EXPECT_FALSE(w.post());
          EXPECT_FALSE(w.busy()) << "a refused request reads as busy";
          break;
        case 'q': w.quit(); break;
        case 'j': w.join(); break;
      }
    }
    w.quit();
    w.join();
    EXPECT_FALSE(w.busy());
    EXPECT_EQ(gate.count(), sc.runs);
    EXPECT_EQ(w.last_result(), sc.runs == 0 ? -1 : sc.runs);
  }
}

TEST(OsWorker, BusyFromTheHandOverUntilTheLastRequestEnded) {
  // Rounds race the hand-over against the new worker's first wait.
  for (int round = 0; round < 50; ++round) {
    Gate gate;
    gate.passes = 0;
    os_worker w(gated_job, &gate);
    ASSERT_TRUE(w.start());
    ASSERT_TRUE(w.post());
    EXPECT_TRUE(w.busy()) << round;  // even before the worker has taken it
    ASSERT_TRUE(w.post());
    w.quit();  // returns while both requests are held
    EXPECT_TRUE(w.busy()) << round;
    EXPECT_EQ(w.last_result(), -1);
    gate.let_through(1);
    while (w.last_result() != 1) std::this_thread::yield();
    EXPECT_TRUE(w.busy()) << round << ": the second request still waits";
    gate.let_through(1);
    w.join();
    EXPECT_FALSE(w.busy());
    EXPECT_EQ(w.last_result(), 2);
  }
}

}  // namespace
