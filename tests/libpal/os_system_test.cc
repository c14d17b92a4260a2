// The shell runner: exit codes, the time limit killing the whole process
// group, the capture files, the log lines, the PATH tokenizer and the text
// helpers.
#include "os/os_system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit.h"
#include "os/os_log.h"

namespace fs = std::filesystem;

namespace {

class OsSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_ / "tmp";
    fs::create_directory(tmp_);
    const char* old = getenv("TMPDIR");
    old_tmpdir_ = old ? old : "";
    had_tmpdir_ = old != nullptr;
    setenv("TMPDIR", tmp_.c_str(), 1);
    kit::log_capture_start();
  }
  void TearDown() override {
    kit::log_capture_stop();
    if (had_tmpdir_) setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    else unsetenv("TMPDIR");
    unsetenv("COMSPEC");
    os_system_set_tools_dir(nullptr);
  }
  bool tmp_empty() const { return fs::is_empty(tmp_); }

  kit::TempDir scratch_;
  fs::path dir_ = scratch_.path(), tmp_;
  std::string old_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_F(OsSystem, DebugLogsStdoutThenStderrAndKeepsTheExitCode) {
  EXPECT_EQ(os_system_debug("echo abc", 5000), 0);
  EXPECT_EQ(kit::log_lines(), std::vector<std::string>{"> abc\n"});

  kit::log_clear();
  EXPECT_EQ(os_system_debug("{ echo out; echo err >&2; exit 3; }", 5000), 3);
  EXPECT_EQ(kit::log_lines(), (std::vector<std::string>{"> out\n", "> err\n"}));

  // A line each, marked, with what a device may have sent escaped.
  kit::log_clear();
  EXPECT_EQ(os_system_debug("printf 'a\\033]0;x\\007\\n\\nb\\r\\n'", 5000), 0);
  EXPECT_EQ(kit::log_lines(), (std::vector<std::string>{"> a\\x1b]0;x\\x07\n", "> \n", "> b\n"}));

  kit::log_clear();
  EXPECT_EQ(os_system_debug("true", 5000), 0);
  EXPECT_TRUE(kit::log_lines().empty());
  EXPECT_TRUE(tmp_empty());
}

TEST_F(OsSystem, CaptureFilesAreRemovedWhateverTheOutcome) {
  char* out = nullptr;
  char* err = nullptr;
  EXPECT_EQ(os_system_capture("{ printf 'a%.0s' $(seq 1 9000); echo e >&2; }", 5000, &out, &err), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(strlen(out), 9000u);
  EXPECT_EQ(strspn(out, "a"), 9000u);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err, "e\n");
  free(out);
  free(err);
  EXPECT_TRUE(tmp_empty());

  EXPECT_EQ(os_system_capture("exit 7", 5000, &out, &err), 7);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(err, nullptr);
  EXPECT_TRUE(tmp_empty());

  EXPECT_EQ(os_system_capture("{ echo before; sleep 20; }", 200, &out, nullptr), 1);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "before\n");
  free(out);
  EXPECT_TRUE(tmp_empty());
}

TEST_F(OsSystem, TimeOutKillsTheWholeProcessGroup) {
  fs::path pidfile = dir_ / "pid";
  std::string cmd = "sleep 20 & echo $! > " + pidfile.string() + "; wait";
  errno = EDOM;
  EXPECT_EQ(os_system_s(cmd.c_str(), 300), 1);
  EXPECT_EQ(errno, EDOM);
  auto got = kit::log_lines();
  EXPECT_NE(std::find(got.begin(), got.end(), "timeout terminate process\n"), got.end());
  std::string text = kit::read_file(pidfile);
  ASSERT_FALSE(text.empty());
  EXPECT_TRUE(kit::wait_process_ended((pid_t)std::stol(text), 2000)) << "the background tool survived the time-out";
}

TEST_F(OsSystem, RefusesInsteadOfCuttingOrLosingOutput) {
  fs::path marker = dir_ / "ran";
  std::string run = "touch " + marker.string();

  // A wrapped line over 259 characters is not run at all.
  std::string longcmd = run + " #" + std::string(260, 'x');
  EXPECT_EQ(os_system_debug(longcmd.c_str(), 5000), -1);
  EXPECT_FALSE(fs::exists(marker));
  ASSERT_EQ(kit::log_lines().size(), 1u);
  EXPECT_NE(kit::log_lines()[0].find("longer than 259"), std::string::npos);
  EXPECT_TRUE(tmp_empty());

  // No temporary files, no run.
  kit::log_clear();
  setenv("TMPDIR", (dir_ / "missing").c_str(), 1);
  EXPECT_EQ(os_system_debug(run.c_str(), 5000), -1);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(kit::log_lines().size(), 1u);

  errno = 0;
  EXPECT_EQ(os_system_s(nullptr, 100), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(os_system_capture(nullptr, 100, nullptr, nullptr), -1);
}

TEST_F(OsSystem, ShellFromComspecAndToolsFromTheProgramDirectory) {
  setenv("COMSPEC", "sh", 1);  // a bare name is searched along PATH
  EXPECT_EQ(os_system_s("exit 4", 5000), 4);
  setenv("COMSPEC", (dir_ / "nosuchshell").c_str(), 1);
  EXPECT_EQ(os_system_s("exit 0", 5000), -1);
  unsetenv("COMSPEC");

  fs::path tool = dir_ / "kortool.exe";
  std::ofstream(tool) << "#!/bin/sh\necho from-program-dir\n";
  fs::permissions(tool, fs::perms::owner_all);
  os_system_set_tools_dir(dir_.c_str());
  EXPECT_EQ(os_system_debug("kortool.exe", 5000), 0);
  EXPECT_EQ(kit::log_lines(), std::vector<std::string>{"> from-program-dir\n"});
  os_system_set_tools_dir(nullptr);
  EXPECT_NE(os_system_s("kortool.exe 2>/dev/null", 5000), 0);

  // The shell's own signal state is the default one, whatever the caller ignores.
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(os_system_s("kill -PIPE $$", 5000), 128 + SIGPIPE);
  signal(SIGPIPE, SIG_DFL);
}

TEST(OsPathNext, QuotedEntriesAndSeparators) {
  const char* path = ";;C:\\bin;\"C:\\My;Tools\";;D:\\x;";
  char entry[260];
  const char* p = os_path_next(path, entry, sizeof entry);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(entry, "C:\\bin");
  p = os_path_next(p, entry, sizeof entry);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(entry, "C:\\My;Tools");
  p = os_path_next(p, entry, sizeof entry);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(entry, "D:\\x");
  EXPECT_EQ(*p, '\0');
  EXPECT_EQ(os_path_next(p, entry, sizeof entry), nullptr);

  char small[5];
  errno = 0;
  EXPECT_NE(os_path_next("abcd;e", small, sizeof small), nullptr);
  EXPECT_STREQ(small, "abcd");
  EXPECT_EQ(os_path_next("abcde;f", small, sizeof small), nullptr);
  EXPECT_EQ(errno, ERANGE);

  p = os_path_next("/usr/bin:/bin", entry, sizeof entry, ':');
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(entry, "/usr/bin");
}

TEST(OsReadFile, WholeTextOrNothing) {
  char templ[] = "/tmp/osreadXXXXXX";
  int fd = mkstemp(templ);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(os_read_file(templ), nullptr);
  std::string big;
  for (int i = 0; i < 10000; ++i) big += (char)('a' + i % 26);
  std::ofstream(templ) << big;
  char* text = os_read_file(templ);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), big);
  free(text);
  unlink(templ);
  EXPECT_EQ(os_read_file(templ), nullptr);
}

TEST(TextHelpers, FieldsOfCommandOutput) {
  const char list[] = "eth0\0wlan0\0lo\0";
  EXPECT_EQ(text_list_index(list, "lo"), 2);
  EXPECT_EQ(text_list_index(list, "eth1"), -1);
  EXPECT_EQ(text_list_index("", "x"), -1);

  char* t = text_token_at("  a, b,,c ", ", ", 2);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "c");
  free(t);
  EXPECT_EQ(text_token_at("a b", " ", 2), nullptr);

  const char* table = "Name   PID  Mem\r\nkrsd   12   3 MB\r\nsshd  7  1 MB\r\n";
  char* f = text_line_field(table, " ", 0, "sshd", 1);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f, "7");
  free(f);
  f = text_line_field(table, " ", 0, "krsd", 3);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f, "MB");  // trimmed of the line's carriage return
  free(f);
  EXPECT_EQ(text_line_field(table, " ", 0, "init", 1), nullptr);
  EXPECT_EQ(text_line_field(table, " ", 0, "sshd", 9), nullptr);

  f = text_find_line_field("x\nSSH-2.0 server: ready \nz", "server", ":", 1);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f, "ready");
  free(f);
  EXPECT_EQ(text_find_line_field("x\ny", "server", ":", 0), nullptr);

  char* r = text_replace_all("a-b--c", "-", "+=");
  EXPECT_STREQ(r, "a+=b+=+=c");
  free(r);
  r = text_replace_all("aaa", "aa", "a");
  EXPECT_STREQ(r, "aa");
  free(r);
  r = text_replace_all("abc", "", "x");
  EXPECT_STREQ(r, "abc");
  free(r);
}

}  // namespace
