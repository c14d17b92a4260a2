// The pipe-based runner: mode checks, reading and writing through the pipe,
// Ctrl-C to the child's group, timed runs with their reader thread.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "kit.h"
#include "os/os_system.h"

namespace fs = std::filesystem;

namespace {

// Waits (bounded) until pid has ended, leaving it for os_pclose to reap.
bool wait_exit(int64_t child) {
  const auto pid = static_cast<pid_t>(child);
  for (int i = 0; i < 500; ++i) {
    siginfo_t info{};
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(OsPopen, RejectsBadModesAndNoCommand) {
  for (const char* mode : {"x", "", "rw", "r x", "tb", "wtb"}) {
    errno = 0;
    EXPECT_EQ(os_popen("true", mode), nullptr) << mode;
    EXPECT_EQ(errno, EINVAL) << mode;
  }
  errno = 0;
  EXPECT_EQ(os_popen(nullptr, "r"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(os_popen("true", nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(os_pclose(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(os_popen_run(nullptr, "rt", 100), nullptr);
  EXPECT_EQ(os_system_timed(nullptr, 100), -1);

  os_popen_t* h = os_popen("exit 3", "  r  b ");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os_popen_write(h, "x", 1), -1);  // mode "r" gives the child no input
  ASSERT_TRUE(wait_exit(os_popen_pid(h)));
  EXPECT_EQ(os_pclose(h), 3);
}

TEST(OsPopen, ReadsOutputAndWritesInput) {
  os_popen_t* h = os_popen("printf 'out '; printf 'err' >&2", "r");
  ASSERT_NE(h, nullptr);
  std::string got;
  char buf[64];
  while (got.size() < 7) {
    int n = os_popen_read(h, buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, (size_t)n);
  }
  EXPECT_EQ(got, "out err");
  ASSERT_TRUE(wait_exit(os_popen_pid(h)));
  EXPECT_EQ(os_pclose(h), 0);

  kit::TempDir dir;
  fs::path sink = dir.file("sink");
  std::string cmd = "cat > " + sink.string();
  h = os_popen(cmd.c_str(), "wb");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(os_popen_write(h, "data\n", 5), 5);
  for (int i = 0; i < 500 && kit::read_file(sink).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(kit::read_file(sink), "data\n");
  os_popen_interrupt(h);
  EXPECT_EQ(os_popen_write(h, "more", 4), -1);  // the write end is closed
  ASSERT_TRUE(wait_exit(os_popen_pid(h)));
  EXPECT_EQ(os_pclose(h), 128 + SIGINT);
}

TEST(OsPopen, InterruptReachesTheChildsGroup) {
  os_popen_t* h = os_popen("trap 'exit 7' INT; while :; do sleep 0.05; done", "r");
  ASSERT_NE(h, nullptr);
  // Give the shell time to install its trap; a SIGINT before that ends it
  // with 128 + 2, which would not prove the trap ran.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_NE(os_console_interrupt(os_popen_pid(h)), 0);
  ASSERT_TRUE(wait_exit(os_popen_pid(h)));
  EXPECT_EQ(os_pclose(h), 7);

  // A child that outlives the 10 ms of os_pclose is killed with its group.
  h = os_popen("trap '' INT; sleep 20", "r");
  ASSERT_NE(h, nullptr);
  auto pid = static_cast<pid_t>(os_popen_pid(h));
  EXPECT_EQ(os_pclose(h), -1);
  EXPECT_NE(kill(pid, 0), 0);  // reaped
}

TEST(OsPopenRun, ExitCodesOutputAndTimeOuts) {
  os_popen_run_t* run = os_popen_run("echo one; echo two >&2; exit 3", "rt", 5000);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(os_popen_exit_code(run), 3);
  ASSERT_NE(os_popen_output(run), nullptr);
  EXPECT_EQ(std::string(os_popen_output(run)), "one\ntwo\n");
  EXPECT_EQ(os_popen_free(run), 0);

  // Output beyond one chunk and one buffer step arrives whole.
  char* out = nullptr;
  EXPECT_EQ(os_system_output("head -c 20000 /dev/zero | tr '\\0' x", 5000, &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(strlen(out), 20000u);
  free(out);

  // Success without output gives an empty text, failure gives none.
  EXPECT_EQ(os_system_output("true", 5000, &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "");
  free(out);
  EXPECT_EQ(os_system_output("echo no; exit 2", 5000, &out), 2);
  EXPECT_EQ(out, nullptr);

  EXPECT_EQ(os_system_timed("exit 5", 5000), 5);
  EXPECT_EQ(os_system_timed("sleep 20", 200), -1);
}

TEST(OsPopenRun, StragglerHoldingThePipeDoesNotHoldTheRun) {
  kit::TempDir dir;
  fs::path pidfile = dir.file("pid");
  // A process in a session of its own keeps the pipe open after the child
  // ended; the run must still come back, with what was read.
  std::string pf = pidfile.string();
  std::string cmd = "setsid sh -c 'echo $$ > " + pf + ".new; mv " + pf + ".new " + pf +
                    "; exec sleep 20' & while [ ! -s " + pf + " ]; do sleep 0.01; done; echo early";
  auto start = std::chrono::steady_clock::now();
  os_popen_run_t* run = os_popen_run(cmd.c_str(), "r", 5000);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(os_popen_exit_code(run), 0);
  ASSERT_NE(os_popen_output(run), nullptr);
  EXPECT_EQ(std::string(os_popen_output(run)), "early\n");
  os_popen_free(run);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  std::string pid = kit::read_file(pidfile);
  ASSERT_FALSE(pid.empty());
  kill((pid_t)std::stol(pid), SIGKILL);
}

TEST(OsSystemS, InterruptAllReachesRunningTools) {
  EXPECT_EQ(os_system_interrupt_all(), 0);
  int result = -2;
  std::thread runner([&] { result = os_system_s("sleep 20", 30000); });
  int reached = 0;
  for (int i = 0; i < 500 && reached == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    reached = os_system_interrupt_all();
  }
  runner.join();
  EXPECT_EQ(reached, 1);
  EXPECT_EQ(result, 128 + SIGINT);
  EXPECT_EQ(os_system_interrupt_all(), 0);
}

}  // namespace
