// The process-wide guards under real threads: the spin lock, the once-only
// loader while a load is in progress, concurrent start-up and DNS reads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tb_init.h"
#include "tb_ipaddr.h"

namespace {

TEST(SpinLockMt, CountsExactlyUnderContention) {
  tb_spinlock_t lock = 0;
  long counter = 0;  // guarded by lock
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        tb_spinlock_enter(&lock);
        long v = counter;
        counter = v + 1;
        tb_spinlock_leave(&lock);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_EQ(lock, 0);
}

struct SlowTable {
  int value = 0;  // written by the loader only, read after tb_load_once
};
std::atomic<bool> g_loading{false};
std::atomic<bool> g_release{false};
std::atomic<int> g_calls{0};

bool slow_loader(void* table, void* priv) {
  g_calls.fetch_add(1);
  g_loading.store(true);
  // Hold the load open until the other thread is known to be waiting;
  // bounded so that a broken protocol cannot hang the test.
  for (int i = 0; i < 200 && !g_release.load(); ++i) tb_msleep(10);
  static_cast<SlowTable*>(table)->value = 99;
  return priv != nullptr;
}

void run_waiter(bool load_succeeds, bool* first_result, bool* second_result, int* seen) {
  int state = TB_ONCE_NONE;
  SlowTable table;
  g_loading = false;
  g_release = false;
  g_calls = 0;
  void* priv = load_succeeds ? &table : nullptr;
  std::thread first([&] { *first_result = tb_load_once(&state, &table, slow_loader, priv); });
  for (int i = 0; i < 500 && !g_loading.load(); ++i) tb_msleep(5);
  ASSERT_TRUE(g_loading.load());
  std::thread second([&] {
    *second_result = tb_load_once(&state, &table, slow_loader, priv);
    *seen = table.value;
  });
  tb_msleep(50);  // let the second caller reach its polling loop
  g_release = true;
  first.join();
  second.join();
  EXPECT_EQ(g_calls.load(), 1);
}

TEST(LoadOnceMt, WaiterSeesTheFinishedTable) {
  bool a = false, b = false;
  int seen = 0;
  run_waiter(true, &a, &b, &seen);
  EXPECT_TRUE(a);
  EXPECT_TRUE(b);
  EXPECT_EQ(seen, 99);
}

TEST(LoadOnceMt, WaiterLearnsOfAFailedLoad) {
  bool a = true, b = true;
  int seen = 0;
  run_waiter(false, &a, &b, &seen);
  EXPECT_FALSE(a);
  EXPECT_FALSE(b);
}

TEST(InitMt, ConcurrentStartAndDnsReads) {
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      if (tb_init(nullptr, nullptr, 0, 0)) ok.fetch_add(1);
      tb_ipaddr_t servers[8];
      for (int i = 0; i < 200; ++i) {
        size_t n = tb_dns_servers(servers, 8);
        for (size_t k = 0; k < n && k < 8; ++k) ASSERT_EQ(servers[k].port, 53);
      }
    });
  }
  for (int i = 0; i < 50; ++i) tb_dns_servers_reload(nullptr);
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), 4);
  EXPECT_EQ(tb_state(), TB_STATE_OK);
}

}  // namespace
