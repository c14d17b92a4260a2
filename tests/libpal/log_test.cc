// Filtering, composition, options and the local sinks of the log.
#include "os/os_log.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kit.h"
#include "os/os_safe.h"

#define KR_LOG_SRC "tests\\libpal\\log_test"

namespace {

std::vector<std::string> g_info;
std::vector<std::string> g_alert;

int info_cb(const char* line) {
  g_info.emplace_back(line);
  return 0;
}
int alert_cb(const char* line) {
  g_alert.emplace_back(line);
  return 0;
}

// True when text starts with a "hh:mm:ss " time prefix.
bool starts_with_time(const std::string& t) {
  if (t.size() < 9) return false;
  for (int i : {0, 1, 3, 4, 6, 7})
    if (t[i] < '0' || t[i] > '9') return false;
  return t[2] == ':' && t[5] == ':' && t[8] == ' ';
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_DEBUG);
    os_log_ctl(OS_LOG_SET_PREFIX, 0);
    os_log_ctl(OS_LOG_SET_CONSOLE, 0);
    os_log_ctl(OS_LOG_SET_FILE, 0);
    os_log_ctl(OS_LOG_SET_SYSLOG, 0);
    os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &info_cb);
    os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, &alert_cb);
    g_info.clear();
    g_alert.clear();
    char tmpl[] = "/tmp/pal_log_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override {
    os_log_ctl(OS_LOG_SET_INFO_CALLBACK, static_cast<os_log_callback>(nullptr));
    os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, static_cast<os_log_callback>(nullptr));
    os_log_ctl(OS_LOG_SET_FILE, 0);
    unlink(path_.c_str());
  }
  std::vector<std::string> all() const {
    std::vector<std::string> v = g_alert;
    v.insert(v.end(), g_info.begin(), g_info.end());
    return v;
  }
  std::string path_;
};

TEST_F(LogTest, ThresholdFiltersBeforeAnySink) {
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_INFO);
  EXPECT_EQ(KR_LOG(OS_LOG_DEBUG, "detail %d\n", 1), 0);
  EXPECT_TRUE(all().empty());
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_DEBUG);
  EXPECT_EQ(KR_LOG(OS_LOG_DEBUG, "detail %d\n", 1), 9);
  ASSERT_EQ(g_info.size(), 1u);
  EXPECT_EQ(g_info[0], "detail 1\n");
}

TEST_F(LogTest, PrefixesInOrderTimeLevelTidFunc) {
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_PREFIX_TIME | OS_LOG_PREFIX_LEVEL |
                                    OS_LOG_PREFIX_TID | OS_LOG_PREFIX_FUNC);
  int n = KR_LOGF(OS_LOG_ERR, "CkriiDlg::OnTimer", "open %s failed\n", "x.img");
  ASSERT_EQ(g_alert.size(), 1u);
  const std::string& line = g_alert[0];
  EXPECT_EQ(n, static_cast<int>(line.size()));
  EXPECT_TRUE(starts_with_time(line)) << line;
  EXPECT_EQ(line.substr(9), "ERROR: [" + std::to_string(os_thread_id()) +
                                "] CkriiDlg::OnTimer(): open x.img failed\n");
}

TEST_F(LogTest, LevelPrefixTexts) {
  os_log_ctl(OS_LOG_SET_LEVEL, 255);
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_PREFIX_LEVEL);
  // Level 2 would end the process: the death test covers its prefix.
  std::vector<std::string> want_alert = {"m", "m", "ERROR: m", "WARNING: m"};
  std::vector<std::string> want_info = {"NOTICE: m", "INFO: m", "DEBUG: m", "VERBOSE: m", "m"};
  for (int lv : {0, 1, 3, 4, 5, 6, 7, 8, 9}) KR_LOG(lv, "m");
  EXPECT_EQ(g_alert, want_alert);
  EXPECT_EQ(g_info, want_info);
}

TEST_F(LogTest, SysErrAppendsEnglishTextAndKeepsErrno) {
  errno = 0;
  int n = KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "tb_socket_init error: ");
  EXPECT_EQ(n, 22);
  errno = ENOENT;
  n = KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "open %s: ", "a");
  EXPECT_EQ(n, 8);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(g_alert.size(), 2u);
  EXPECT_EQ(g_alert[0], "tb_socket_init error: ok\n");
  EXPECT_EQ(g_alert[1], "open a: No such file or directory\n");
  // Filtered lines leave errno alone too.
  os_log_ctl(OS_LOG_SET_LEVEL, 1);
  errno = EIO;
  EXPECT_EQ(KR_LOG(OS_LOG_ERR, "x\n"), 0);
  EXPECT_EQ(errno, EIO);
}

TEST_F(LogTest, LongMessageIsCutAndTerminated) {
  std::string big(5000, 'a');
  int n = KR_LOG(OS_LOG_INFO, "%s", big.c_str());
  EXPECT_EQ(n, 4095);
  ASSERT_EQ(g_info.size(), 1u);
  EXPECT_EQ(g_info[0], std::string(4095, 'a'));
  // The error text has no room left and is cut as well.
  errno = EIO;
  n = KR_LOG(OS_LOG_INFO | OS_LOG_SYSERR, "%s", std::string(4090, 'b').c_str());
  EXPECT_EQ(n, 4090);
  ASSERT_EQ(g_info.size(), 2u);
  EXPECT_EQ(g_info[1], std::string(4090, 'b') + "Input");
}

TEST_F(LogTest, CallbacksOnlyWhenBothAreSet) {
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, static_cast<os_log_callback>(nullptr));
  for (int lv : {0, 1, 3, 4, 5, 6, 7}) KR_LOG(lv, "x\n");
  EXPECT_TRUE(all().empty());
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, &alert_cb);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, static_cast<os_log_callback>(nullptr));
  KR_LOG(OS_LOG_ERR, "x\n");
  EXPECT_TRUE(all().empty());
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &info_cb);
  KR_LOG(OS_LOG_WARN, "warn\n");
  KR_LOG(OS_LOG_NOTICE, "notice\n");
  EXPECT_EQ(g_alert, std::vector<std::string>{"warn\n"});
  EXPECT_EQ(g_info, std::vector<std::string>{"notice\n"});
}

TEST_F(LogTest, ConsoleTakesLevelsTwoToEightOnly) {
  os_log_ctl(OS_LOG_SET_CONSOLE, 1);
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_COLOR);
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_VERBOSE);
  ::testing::internal::CaptureStderr();
  KR_LOG(0, "panic\n");
  KR_LOG(1, "alert\n");
  KR_LOG(OS_LOG_ERR, "err\n");
  KR_LOG(OS_LOG_VERBOSE, "verb\n");
  // Standard error is no terminal here: no colour sequences.
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "err\nverb\n");
  // Levels 0 and 1 still reach the other sinks.
  EXPECT_EQ(g_alert, (std::vector<std::string>{"panic\n", "alert\n", "err\n"}));
}

TEST_F(LogTest, ConsoleColoursOnlyOnATerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);  // no "\r\n" for "\n"
  tcsetattr(slave, TCSANOW, &tio);
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  dup2(slave, STDERR_FILENO);
  os_log_ctl(OS_LOG_SET_CONSOLE, 1);
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_COLOR);
  KR_LOG(OS_LOG_ERR, "red\n");
  KR_LOG(OS_LOG_INFO, "plain\n");
  os_log_ctl(OS_LOG_SET_PREFIX, 0);
  KR_LOG(OS_LOG_ERR, "uncoloured\n");
  dup2(saved, STDERR_FILENO);
  close(saved);
  const std::string want = "\033[31mred\n\033[0mplain\nuncoloured\n";
  std::string got;
  pollfd p{master, POLLIN, 0};
  char buf[256];
  while (got.size() < want.size() && poll(&p, 1, 5000) == 1) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, want);
  close(slave);
  close(master);
}

TEST_F(LogTest, FileSinkAppendsAndFailedOpenLeavesNoFile) {
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_FILE, path_.c_str()), 0);
  KR_LOG(OS_LOG_INFO, "one\n");  // sink still off
  os_log_ctl(OS_LOG_SET_FILE, 1);
  errno = EACCES;
  KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "two: ");
  EXPECT_EQ(kit::read_file(path_), "two: Permission denied\n");  // flushed per line
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_FILE, path_.c_str()), 0);
  KR_LOG(OS_LOG_INFO, "three\n");
  EXPECT_EQ(kit::read_file(path_), "two: Permission denied\nthree\n");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(os_log_ctl(OS_LOG_OPEN_FILE, "/nonexistent/dir/x.log"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "fopen /nonexistent/dir/x.log err\n");
  KR_LOG(OS_LOG_INFO, "four\n");
  EXPECT_EQ(kit::read_file(path_), "two: Permission denied\nthree\n");
  EXPECT_EQ(g_info.back(), "four\n");
}

TEST_F(LogTest, EmitTakesTextUpToItsNul) {
  os_log_emit(OS_LOG_INFO, "", "[tb]: trace\n", -1);
  os_log_emit(OS_LOG_INFO, nullptr, "short\n", 2);
  EXPECT_EQ(g_info, (std::vector<std::string>{"[tb]: trace\n", "short\n"}));
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_NOTICE);
  os_log_emit(OS_LOG_INFO, "", "dropped\n", -1);
  EXPECT_EQ(g_info.size(), 2u);
}

TEST_F(LogTest, LevelKeywords) {
  const struct {
    const char* word;
    int passes;  // highest level that still passes
  } cases[] = {{"verb", 8}, {"dbg", 7}, {"info", 6}, {"noti", 5},
               {"warn", 4}, {"err", 3}, {"crit", 2}};
  for (const auto& c : cases) {
    EXPECT_EQ(os_log_ctl(OS_LOG_SET_LEVEL_NAME, c.word), 0);
    g_info.clear();
    g_alert.clear();
    // A level-2 line would end the process; for "crit" only the filter on
    // level 3 is seen.
    if (c.passes > 2) KR_LOG(c.passes, "in\n");
    if (c.passes < 8) KR_LOG(c.passes + 1, "out\n");
    EXPECT_EQ(all(), c.passes > 2 ? std::vector<std::string>{"in\n"}
                                  : std::vector<std::string>{})
        << c.word;
  }
}

TEST_F(LogTest, UnknownLevelKeywordMeansErrors) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(os_log_ctl(OS_LOG_SET_LEVEL_NAME, "debug"), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "error: invalid level param\n");
  KR_LOG(OS_LOG_WARN, "w\n");
  KR_LOG(OS_LOG_ERR, "e\n");
  EXPECT_EQ(all(), std::vector<std::string>{"e\n"});
}

TEST_F(LogTest, PrefixKeywords) {
  os_log_ctl(OS_LOG_SET_PREFIX_NAMES, "tid,time");
  KR_LOG(OS_LOG_INFO, "m\n");
  ASSERT_EQ(g_info.size(), 1u);
  EXPECT_TRUE(starts_with_time(g_info[0])) << g_info[0];
  EXPECT_EQ(g_info[0].substr(9), "[" + std::to_string(os_thread_id()) + "] m\n");

  // "file" and "line" set their bits but print nothing; an empty text is
  // colour only.
  for (const char* words : {"", "file line", "nothing known"}) {
    os_log_ctl(OS_LOG_SET_PREFIX_NAMES, words);
    g_info.clear();
    KR_LOG(OS_LOG_INFO, "m\n");
    EXPECT_EQ(g_info, std::vector<std::string>{"m\n"}) << words;
  }
  os_log_ctl(OS_LOG_SET_PREFIX_NAMES, "prefix func");
  g_info.clear();
  KR_LOGF(OS_LOG_INFO, "ssh_init_dev", "m\n");
  EXPECT_EQ(g_info, std::vector<std::string>{"INFO: ssh_init_dev(): m\n"});
}

// The tee (a job's log beside its image) gets every line that passes the
// threshold, whatever its level, and none once it is removed.
std::vector<std::string> g_tee;
int tee(const char* line) {
  g_tee.push_back(line);
  return 0;
}

TEST_F(LogTest, TeeGetsEveryLineUntilRemoved) {
  os_log_ctl(OS_LOG_SET_TEE_CALLBACK, tee);
  KR_LOG(OS_LOG_ERR, "a\n");
  KR_LOG(OS_LOG_INFO, "b\n");
  KR_LOG(OS_LOG_VERBOSE, "filtered\n");
  os_log_ctl(OS_LOG_SET_TEE_CALLBACK, static_cast<os_log_callback>(nullptr));
  KR_LOG(OS_LOG_INFO, "after\n");
  EXPECT_EQ(g_tee, (std::vector<std::string>{"a\n", "b\n"}));
}

TEST_F(LogTest, InvalidOptionCode) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(os_log_ctl(99, 0), -1);
  EXPECT_EQ(os_log_ctl(0, 0), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Invalid command code\nInvalid command code\n");
}

int relog_cb(const char* line) {
  // A callback that logs on its own thread must not deadlock on the lock.
  if (std::string(line) == "outer\n") KR_LOG(OS_LOG_INFO, "inner\n");
  g_info.emplace_back(line);
  return 0;
}

TEST_F(LogTest, CallbackMayLogAgain) {
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &relog_cb);
  KR_LOG(OS_LOG_INFO, "outer\n");
  EXPECT_EQ(g_info, (std::vector<std::string>{"inner\n", "outer\n"}));
}

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, CriticalLineReachesFileThenExitsOne) {
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_FILE, path_.c_str()), 0);
  os_log_ctl(OS_LOG_SET_FILE, 1);
  os_log_ctl(OS_LOG_SET_CONSOLE, 1);
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_PREFIX_LEVEL);
  EXPECT_EXIT(KR_LOG(OS_LOG_CRIT, "cannot go on\n"), ::testing::ExitedWithCode(1),
              "CRITICAL: cannot go on");
  EXPECT_EQ(kit::read_file(path_), "CRITICAL: cannot go on\n");
}

TEST_F(LogDeathTest, FilteredCriticalLineDoesNothing) {
  os_log_ctl(OS_LOG_SET_LEVEL, 1);
  EXPECT_EQ(KR_LOG(OS_LOG_CRIT, "cannot go on\n"), 0);
  EXPECT_TRUE(all().empty());
}

}  // namespace
