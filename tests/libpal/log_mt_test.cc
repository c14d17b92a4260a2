// The log from several threads: the lock's first creation and lines that
// never interleave inside a sink.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "os/os_log.h"
#include "os/os_safe.h"

#define KR_LOG_SRC "tests\\libpal\\log_mt_test"

namespace {

std::atomic<int> g_inside{0};
std::atomic<int> g_overlap{0};
std::atomic<int> g_lines{0};
std::atomic<int> g_bad{0};

int check_cb(const char* line) {
  if (g_inside.fetch_add(1) != 0) g_overlap++;
  std::string s(line);
  // Every line is whole: "w<thread> <n> " then 200 'x' and "\n".
  if (s.size() < 202 || s.back() != '\n' || s.compare(s.size() - 201, 200, std::string(200, 'x')))
    g_bad++;
  g_lines++;
  g_inside.fetch_sub(1);
  return 0;
}

void log_lines(int id, int count) {
  for (int i = 0; i < count; i++)
    KR_LOG(OS_LOG_INFO, "w%d %d %s\n", id, i, std::string(200, 'x').c_str());
}

// Runs first in this binary: the log lock does not exist yet, and both
// threads' first lines race to create it.
TEST(LogThreads, FirstLinesOfTwoThreadsAtOnceThenNoInterleaving) {
  os_log_ctl(OS_LOG_SET_CONSOLE, 0);
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_PREFIX_TID);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &check_cb);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, &check_cb);
  std::atomic<bool> go{false};
  std::vector<std::thread> ts;
  for (int id = 0; id < 4; id++)
    ts.emplace_back([&go, id] {
      while (!go.load()) std::this_thread::yield();
      log_lines(id, 300);
    });
  go = true;
  for (auto& t : ts) t.join();
  EXPECT_EQ(g_lines.load(), 1200);
  EXPECT_EQ(g_overlap.load(), 0);
  EXPECT_EQ(g_bad.load(), 0);
}

TEST(LogThreads, ThresholdChangesWhileOthersLog) {
  g_lines = 0;
  std::atomic<bool> stop{false};
  std::thread toggler([&stop] {
    for (int i = 0; i < 200 && !stop; i++) {
      os_log_ctl(OS_LOG_SET_LEVEL, i % 2 ? OS_LOG_INFO : OS_LOG_NOTICE);
      std::this_thread::yield();
    }
  });
  log_lines(9, 500);
  stop = true;
  toggler.join();
  EXPECT_LE(g_lines.load(), 500);
  EXPECT_EQ(g_overlap.load(), 0);
  EXPECT_EQ(g_bad.load(), 0);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, static_cast<os_log_callback>(nullptr));
}

}  // namespace
