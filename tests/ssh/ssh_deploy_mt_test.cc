// The deployment worker with stand-in pscp.exe/plink.exe in a temporary
// program directory: exact command lines, the arguments the tools receive,
// the log lines of every outcome, the time limit and the busy word; and
// krimg deploy itself over the same stand-ins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit.h"
#include "os/os_log.h"
#include "os/os_system.h"
#include "ssh.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// The arguments a stand-in received, as it recorded them (NUL-separated).
Lines args_of(const fs::path& p) {
  Lines out;
  std::string text = kit::read_file(p);
  size_t pos = 0, nul;
  while ((nul = text.find('\0', pos)) != std::string::npos) {
    out.push_back(text.substr(pos, nul - pos));
    pos = nul + 1;
  }
  return out;
}

// Records its pid (NAME.pid) and arguments, prints one line on each stream,
// then behaves as the files beside it say: NAME.rc (exit code), NAME.hang
// (sleep in a child and record both pids), NAME.wait (hold until the file
// "go" appears, at most 10 s),
// NAME.out (printed too), NAME.err (printed on standard error instead of
// the warning). As PuTTY's tools do with a host key they have not
// cached ("hostkey" holds what they say then, "known" stands for the cache):
// with -batch they give up, else they ask and a "y" caches the key.
const char* kStandIn = R"(#!/bin/sh
d=$(dirname "$0"); t=$(basename "$0")
echo $$ > "$d/$t.pid"
if [ -f "$d/$t.wait" ]; then
  i=0; while [ ! -f "$d/go" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done
fi
: > "$d/$t.args"
for a in "$@"; do printf '%s\0' "$a" >> "$d/$t.args"; done
if [ -f "$d/hostkey" ] && [ ! -f "$d/known" ]; then
  cat "$d/hostkey" >&2
  case " $* " in *" -batch "*) echo "Connection abandoned." >&2; exit 1;; esac
  printf 'Store key in cache? (y/n, Return cancels connection) ' >&2
  read a && [ "$a" = y ] && : > "$d/known"
  exit 0
fi
echo "$t says hello"
if [ -f "$d/$t.err" ]; then cat "$d/$t.err" >&2; else echo "$t warns" >&2; fi
if [ -f "$d/$t.out" ]; then cat "$d/$t.out"; fi
if [ -f "$d/$t.hang" ]; then
  sleep 60 & echo "$$ $!" > "$d/$t.pids"; wait
fi
exit $(cat "$d/$t.rc" 2>/dev/null || echo 0)
)";

const std::string kStart = "\"killall krsd; chmod 755 /tmp/krsd; /tmp/krsd -d\"";
const std::string kRemote = "killall krsd; chmod 755 /tmp/krsd; /tmp/krsd -d";

class SshDeploy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char templ[] = "/tmp/sshdeployXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    fs::create_directory(dir_ / "tmp");
    for (const char* tool : {"pscp.exe", "plink.exe"}) {
      std::ofstream(dir_ / tool) << kStandIn;
      fs::permissions(dir_ / tool, fs::perms::owner_all);
    }
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    // The tools' host-key cache: ~/.putty/sshhostkeys of a home of its own.
    fs::create_directories(dir_ / "home" / ".putty");
    setenv("HOME", (dir_ / "home").c_str(), 1);
    for (const char* v : {"XDG_CONFIG_HOME", "PUTTYDIR", "PUTTYSSHHOSTKEYS"}) unsetenv(v);
    os_system_set_tools_dir(dir_.c_str());
    kit::log_capture_start();
    ssh_init();
  }
  static void TearDownTestSuite() {
    ssh_exit();
    ssh_wait_exit();
    kit::log_capture_stop();
    os_system_set_tools_dir(nullptr);
    unsetenv("TMPDIR");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override {
    ASSERT_EQ(fs::current_path(), dir_) << "ssh_init enters the tool folder";
    for (const char* f : {"pscp.exe.args", "plink.exe.args", "pscp.exe.rc", "plink.exe.rc",
                          "pscp.exe.hang", "pscp.exe.wait", "pscp.exe.pids", "go",
                          "plink.exe.out", "pscp.exe.err", "plink.exe.err", "hostkey", "known",
                          "pscp.exe.pid", "home/.putty/sshhostkeys"})
      fs::remove(dir_ / f);
    kit::log_clear();
  }
  void TearDown() override {
    ssh_set_step_limit(30000);
    ssh_set_hostkey_question(nullptr);
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "capture files left behind";
  }
  static void touch(const char* name) { std::ofstream(dir_ / name) << "1"; }
  static bool wait_idle() {
    for (int i = 0; i < 2000 && ssh_is_busy(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !ssh_is_busy();
  }
  // The log of one successful run of both stand-ins.
  static Lines success_lines(const std::string& copy, const std::string& start) {
    return {"ver: 1.1.3.398 (2018-10-10)\n",
            "开始初始化镜像环境...\n",
            "os_system:[" + copy + "]\n",
            "> pscp.exe says hello\n",
            "> pscp.exe warns\n",
            "os_system:[" + start + "]\n",
            "> plink.exe says hello\n",
            "> plink.exe warns\n",
            "设备初始化完成\n"};
  }

  static fs::path dir_;
};
fs::path SshDeploy::dir_;

TEST_F(SshDeploy, DefaultsWithoutPasswordKeepTheEmptyOption) {
  touch("pscp.exe.wait");
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
  // Handed over and held inside the copy step: busy, whatever the timing.
  EXPECT_TRUE(ssh_is_busy());
  touch("go");
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_result(), 0);
  EXPECT_EQ(kit::log_lines(), success_lines("pscp.exe  -P 22 -batch dev/armv7/krsd root@192.168.191.2:/tmp",
                                   "plink.exe  -P 22 -batch root@192.168.191.2 " + kStart));
  EXPECT_EQ(args_of(dir_ / "pscp.exe.args"),
            (Lines{"-P", "22", "-batch", "dev/armv7/krsd", "root@192.168.191.2:/tmp"}));
  EXPECT_EQ(args_of(dir_ / "plink.exe.args"),
            (Lines{"-P", "22", "-batch", "root@192.168.191.2", kRemote}));
}

TEST_F(SshDeploy, PasswordOptionStandsBetweenToolAndPort) {
  ASSERT_EQ(ssh_request_init_dev("10.0.0.7", 2222, "mobile", "s3cret"), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_result(), 0);
  // The command lines run hold the password, the logged ones never do.
  EXPECT_EQ(kit::log_lines(),
            success_lines("pscp.exe -pw ****** -P 2222 -batch dev/armv7/krsd mobile@10.0.0.7:/tmp",
                          "plink.exe -pw ****** -P 2222 -batch mobile@10.0.0.7 " + kStart));
  EXPECT_EQ(args_of(dir_ / "pscp.exe.args"),
            (Lines{"-pw", "s3cret", "-P", "2222", "-batch", "dev/armv7/krsd", "mobile@10.0.0.7:/tmp"}));
  EXPECT_EQ(args_of(dir_ / "plink.exe.args"),
            (Lines{"-pw", "s3cret", "-P", "2222", "-batch", "mobile@10.0.0.7", kRemote}));
}

TEST_F(SshDeploy, PasswordWithShellCharactersReachesTheToolsUnchanged) {
  const std::string pw = "a b;$(touch pwned)'\"`x`&|>";
  ASSERT_LE(pw.size(), 31u);
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", pw.c_str()), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_result(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "pwned")) << "the password ran as a command";
  EXPECT_EQ(args_of(dir_ / "pscp.exe.args"),
            (Lines{"-pw", pw, "-P", "22", "-batch", "dev/armv7/krsd", "root@192.168.191.2:/tmp"}));
  EXPECT_EQ(args_of(dir_ / "plink.exe.args"),
            (Lines{"-pw", pw, "-P", "22", "-batch", "root@192.168.191.2", kRemote}));
}

TEST_F(SshDeploy, CopyFailureLogsOneErrorAndSkipsTheStart) {
  std::ofstream(dir_ / "pscp.exe.rc") << "1";
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_NE(ssh_last_result(), 0);
  EXPECT_EQ(kit::log_lines(), (Lines{"ver: 1.1.3.398 (2018-10-10)\n", "开始初始化镜像环境...\n",
                            "os_system:[pscp.exe  -P 22 -batch dev/armv7/krsd root@192.168.191.2:/tmp]\n",
                            "> pscp.exe says hello\n", "> pscp.exe warns\n",
                            "pscp.exe: pscp.exe warns\n", "初始化设备环境: 复制文件错误\n"}));
  EXPECT_FALSE(fs::exists(dir_ / "plink.exe.args"));
}

// A failed step shows the tool's own reason without debug: the last line it
// wrote to standard error, escaped where a device's shell may have written
// it. No line shows the password, with debug on as here, whatever path the
// deployment takes.
TEST_F(SshDeploy, FailuresShowTheToolsReasonAndNeverThePassword) {
  const std::string unknown_key =
      "The host key is not cached for this server:\n"
      "The server's ssh-ed25519 key fingerprint is:\n  ssh-ed25519 255 SHA256:Abc1\n";
  struct Row {
    const char* name;
    const char* tool;      // the one that fails
    std::string err;       // what it writes to standard error
    std::string reason;    // the line shown
    std::string outcome;
    bool key;              // an unknown host key, trusted first
  } rows[] = {
      {"refused", "pscp.exe", "Access denied\r\nFATAL ERROR: Configured password was not accepted\r\n",
       "pscp.exe: FATAL ERROR: Configured password was not accepted\n", "初始化设备环境: 复制文件错误\n",
       false},
      {"no route", "pscp.exe", "FATAL ERROR: Network error: No route to host\n",
       "pscp.exe: FATAL ERROR: Network error: No route to host\n", "初始化设备环境: 复制文件错误\n", false},
      {"silent", "pscp.exe", "", "pscp.exe: ended with status 1 and no message\n",
       "初始化设备环境: 复制文件错误\n", false},
      {"shell", "plink.exe", "sh: /tmp/krsd: \x1b[2Jnot found\n\n",
       "plink.exe: sh: /tmp/krsd: \\x1b[2Jnot found\n", "初始化设备环境: 启动错误\n", false},
      {"trusted key", "plink.exe", "FATAL ERROR: Server unexpectedly closed network connection\n",
       "plink.exe: FATAL ERROR: Server unexpectedly closed network connection\n",
       "初始化设备环境: 启动错误\n", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    std::ofstream(dir_ / (std::string(row.tool) + ".rc")) << "1";
    std::ofstream(dir_ / (std::string(row.tool) + ".err")) << row.err;
    if (row.key) std::ofstream(dir_ / "hostkey") << unknown_key;
    ssh_set_hostkey_question([](const char*, int, const char*) { return true; });
    ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", "s3cret"), 0);
    ASSERT_TRUE(wait_idle());
    EXPECT_NE(ssh_last_result(), 0);
    Lines got = kit::log_lines();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2], row.reason);
    EXPECT_EQ(got.back(), row.outcome);
    size_t logged = 0;
    for (const std::string& l : got) {
      EXPECT_EQ(l.find("s3cret"), std::string::npos) << l;
      logged += l.find("-pw ****** -P 22 ") != std::string::npos;
    }
    EXPECT_EQ(logged, row.key ? 4u : std::string(row.tool) == "pscp.exe" ? 1u : 2u);
    EXPECT_EQ(args_of(dir_ / (std::string(row.tool) + ".args"))[1], "s3cret");
  }
}

TEST_F(SshDeploy, StartFailureIsReportedAsSuch) {
  std::ofstream(dir_ / "plink.exe.rc") << "127";
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_NE(ssh_last_result(), 0);
  Lines got = kit::log_lines();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), "初始化设备环境: 启动错误\n");
  EXPECT_EQ(std::count(got.begin(), got.end(), "设备初始化完成\n"), 0);
}

TEST_F(SshDeploy, HangingToolIsKilledWithItsGroupAtTheLimit) {
  ssh_set_step_limit(500);
  touch("pscp.exe.hang");
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_NE(ssh_last_result(), 0);
  Lines got = kit::log_lines();
  EXPECT_NE(std::find(got.begin(), got.end(), "timeout terminate process\n"), got.end());
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), "初始化设备环境: 复制文件错误\n");
  EXPECT_FALSE(fs::exists(dir_ / "plink.exe.args"));
  std::ifstream pids(dir_ / "pscp.exe.pids");
  pid_t shell = 0, child = 0;
  ASSERT_TRUE(pids >> shell >> child);
  EXPECT_TRUE(kit::wait_process_ended(shell));
  EXPECT_TRUE(kit::wait_process_ended(child)) << "a process of the tool's group survived the time-out";
}

// The start step's output carries the daemon's certificate fingerprint and
// its start-up line, which the device wrote: logged with escapes.
TEST_F(SshDeploy, TheStartedDaemonsFingerprintIsLoggedAndKept) {
  const std::string hex(64, 'c');
  const std::string started = "krsd started: port 6688, TLS port 6686; read-only; ends after 30 min";
  std::ofstream(dir_ / "plink.exe.out") << "TLS certificate SHA-256: " << hex << "\n"
                                        << started << "\x1b[2J\r\n";
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_tls_sha256(), hex);
  Lines got = kit::log_lines();
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got[got.size() - 3], "设备 TLS 证书 SHA-256: " + hex + "\n");
  EXPECT_EQ(got[got.size() - 2], "设备守护进程: " + started + "\\x1b[2J\n");
  EXPECT_EQ(got.back(), "设备初始化完成\n");
  fs::remove(dir_ / "plink.exe.out");
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_tls_sha256(), "") << "a fingerprint of an earlier daemon";
}

// A host key the tools refuse: an unknown one is shown (escaped: the device
// sent it) and stored only when the examiner trusts it and the tools show
// that very key again; a changed one is never asked about, nor one the tools
// call unknown while they keep a key of another type for that address and
// port.
TEST_F(SshDeploy, HostKeysTheToolsRefuse) {
  const std::string unknown =
      "The host key is not cached for this server:\n  192.168.191.2 (port 22)\n"
      "You have no guarantee that the server is the computer you\nthink it is.\n"
      "The server's ssh-ed25519 key fingerprint is:\n  ssh-ed25519 255 SHA256:";
  const std::string changed =
      "WARNING - POTENTIAL SECURITY BREACH!\nThe host key does not match the one PSCP has cached "
      "for this\nserver:\n  192.168.191.2 (port 22)\nThe new ssh-ed25519 key fingerprint is:\n"
      "  ssh-ed25519 255 SHA256:";
  const std::string rsa_unknown =
      "The host key is not cached for this server:\n  192.168.191.2 (port 22)\n"
      "The server's ssh-rsa key fingerprint is:\n  ssh-rsa 3072 SHA256:Rsa1\n";
  const std::string asked = "192.168.191.2:22 ssh-ed25519 255 SHA256:Abc1";
  struct Case {
    const char* name;
    std::string said;    // what the tools say about the key
    std::string cached;  // the tools' cache
    int answer;          // 0: No; 1: Yes; 2: Yes, and the key changes meanwhile
    std::string asked;   // the question's host, port and fingerprint; empty: not asked
    bool done;
    const char* line;    // a line the log must hold
  };
  const Case cases[] = {
      {"no", unknown + "Abc1\n", "", 0, asked, false, "未信任设备主机密钥\n"},
      {"yes", unknown + "Abc1\n", "", 1, asked, true, "已信任并保存设备主机密钥: ssh-ed25519 255 SHA256:Abc1\n"},
      {"swapped", unknown + "Abc1\n", "", 2, asked, false, "nothing stored"},
      {"changed", changed + "Xyz9\n", "", 1, "", false, "可能受到攻击"},
      {"another type kept", rsa_unknown, "ssh-ed25519@22:192.168.191.2 0x1,0x2\n", 1, "", false,
       "设备主机密钥已改变, 可能受到攻击, 已拒绝连接: ssh-rsa 3072 SHA256:Rsa1\n"},
      {"kept for another port and address", unknown + "Abc1\n",
       "ssh-ed25519@2222:192.168.191.2 0x1,0x2\nssh-ed25519@22:192.168.191.20 0x1,0x2\n", 1, asked, true,
       "已信任并保存设备主机密钥"},
      {"escaped", unknown + "Abc1\x1b]0;owned\x07\n", "", 0, asked + "\\x1b]0;owned\\x07", false,
       "设备主机密钥未知, 指纹: ssh-ed25519 255 SHA256:Abc1\\x1b]0;owned\\x07\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::ofstream(dir_ / "hostkey") << c.said;
    if (!c.cached.empty()) std::ofstream(dir_ / "home/.putty/sshhostkeys") << c.cached;
    std::string question;
    ssh_set_hostkey_question([&](const char* host, int port, const char* fingerprint) {
      question = std::string(host) + ":" + std::to_string(port) + " " + fingerprint;
      if (c.answer == 2) std::ofstream(dir_ / "hostkey") << unknown << "Other\n";
      return c.answer > 0;
    });
    ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(question, c.asked);
    EXPECT_EQ(fs::exists(dir_ / "known"), c.done);
    EXPECT_EQ(ssh_last_result() == 0, c.done);
    Lines got = kit::log_lines();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), c.done ? "设备初始化完成\n" : "初始化设备环境: 复制文件错误\n");
    EXPECT_TRUE(std::any_of(got.begin(), got.end(),
                            [&](const std::string& l) { return l.find(c.line) != std::string::npos; }));
    if (c.done) {
      // The copy ran again with its command line unchanged.
      EXPECT_EQ(args_of(dir_ / "pscp.exe.args"),
                (Lines{"-P", "22", "-batch", "dev/armv7/krsd", "root@192.168.191.2:/tmp"}));
    }
  }
}

// A value longer than the dialog's edits take is never cut: the deployment
// fails with an outcome line that names it and says that nothing was
// copied, and runs no tool. 31 characters, also of several bytes each, go
// through whole.
TEST_F(SshDeploy, OverlongFieldsFailWithTheOutcomeLineNotCut) {
  const std::string longer(32, 'p');
  struct Row {
    std::string ip, user, password, error, outcome;
  };
  const Row rows[] = {
      {"192.168.191.2", "root", longer, "the password is longer than 31 characters, not used\n",
       "初始化设备环境: 密码超过 31 个字符, 未复制文件\n"},
      {"192.168.191.2", longer, "", "the user is longer than 31 characters, not used\n",
       "初始化设备环境: 用户名超过 31 个字符, 未复制文件\n"},
      {longer + ".1", "root", "", "the address is longer than 31 characters, not used\n",
       "初始化设备环境: 地址超过 31 个字符, 未复制文件\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.error);
    SetUp();
    ASSERT_EQ(ssh_request_init_dev(r.ip.c_str(), 22, r.user.c_str(), r.password.c_str()), 0);
    ASSERT_TRUE(wait_idle());
    EXPECT_NE(ssh_last_result(), 0);
    EXPECT_EQ(kit::log_lines(), (Lines{"ver: 1.1.3.398 (2018-10-10)\n", "开始初始化镜像环境...\n", r.error,
                              r.outcome}));
    EXPECT_FALSE(fs::exists(dir_ / "pscp.exe.args"));
  }
  EXPECT_EQ(ssh_request_init_dev(nullptr, 22, "root", ""), -1);
  EXPECT_FALSE(ssh_is_busy());

  std::string wide;  // 31 characters of three bytes each
  for (int i = 0; i < 31; ++i) wide += "密";
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", wide.c_str()), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_result(), 0);
  EXPECT_EQ(args_of(dir_ / "pscp.exe.args")[1], wide);
}

// krimg deploy over the same stand-ins: a copy of krimg in a bin/ beside a
// lib/krii/ that is their folder. The password comes from a file or
// standard input, out of the process list (the tools still get it with
// -pw); given on the command line it still works, with a warning. A
// --hostkey must be one whole fingerprint. Without the daemon's certificate
// fingerprint no URL is printed and the deployment fails. SIGTERM and
// SIGHUP end the running tool and leave no capture file, as Ctrl-C does.
TEST_F(SshDeploy, KrimgDeploy) {
  ASSERT_FALSE(kit::env_dir("KRII_BIN_DIR").empty()) << "run through ctest";
  const fs::path root = dir_ / "root";
  fs::create_directories(root / "bin");
  fs::create_directories(root / "lib");
  fs::copy_file(kit::bin_path("krimg"), root / "bin" / "krimg", fs::copy_options::overwrite_existing);
  fs::remove(root / "lib" / "krii");
  fs::create_directory_symlink(dir_, root / "lib" / "krii");
  const std::string pw_file = (dir_ / "pw").string(), fp(64, 'c');
  std::ofstream(pw_file) << "s3cret\n";
  std::ofstream(pw_file + ".empty").flush();
  const std::string unknown_key =
      "The host key is not cached for this server:\n"
      "The server's ssh-ed25519 key fingerprint is:\n  ssh-ed25519 255 SHA256:Abc1\n";
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string input;     // standard input
    int signal;            // sent while the copy runs
    bool key;              // the tools do not know the host key yet
    bool fingerprint;      // the start prints the daemon's certificate fingerprint
    int status;
    std::string password;  // what the copy got after -pw; "-": not looked at
    std::string line;      // in krimg's standard error
  };
  const Row rows[] = {
      {"password file", {"--password-file", pw_file}, "", 0, false, true, 0, "s3cret", "设备初始化完成\n"},
      {"password on standard input", {"--password", "-"}, "s3cret\n", 0, false, true, 0, "s3cret", "设备初始化完成\n"},
      {"password on the command line", {"--password", "s3cret"}, "", 0, false, true, 0, "s3cret",
       "warning: every user of this machine can read a password given with --password"},
      {"empty password file", {"--password-file", pw_file + ".empty"}, "", 0, false, true, 2, "-",
       "cannot read the password file " + pw_file + ".empty: the file is empty"},
      {"a folder as password file", {"--password-file", dir_.string()}, "", 0, false, true, 2, "-",
       "cannot read the password file " + dir_.string() + ": Is a directory"},
      {"no fingerprint", {"--password", ""}, "", 0, false, false, 1, "", "reported no TLS certificate fingerprint"},
      {"words before the right hash", {"--password", "", "--hostkey", "garbage SHA256:Abc1"}, "", 0, true, true, 1,
       "-", "is not the one given with --hostkey"},
      {"the hash", {"--password", "", "--hostkey", "SHA256:Abc1"}, "", 0, true, true, 0, "", "已信任并保存设备主机密钥"},
      {"SIGTERM", {"--password-file", pw_file}, "", SIGTERM, false, true, 1, "-", "krimg deploy: interrupted\n"},
      {"SIGHUP", {"--password-file", pw_file}, "", SIGHUP, false, true, 1, "-", "krimg deploy: interrupted\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    if (row.key) std::ofstream(dir_ / "hostkey") << unknown_key;
    if (row.fingerprint) std::ofstream(dir_ / "plink.exe.out") << "TLS certificate SHA-256: " << fp << "\n";
    if (row.signal) touch("pscp.exe.wait");
    std::ofstream(dir_ / "in") << row.input;
    pid_t pid = fork();
    if (pid == 0) {
      dup2(open((dir_ / "in").c_str(), O_RDONLY), 0);
      dup2(open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      dup2(open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      std::vector<std::string> argv = {(root / "bin" / "krimg").string(), "deploy"};
      argv.insert(argv.end(), row.args.begin(), row.args.end());
      std::vector<char*> c;
      for (auto& a : argv) c.push_back(a.data());
      c.push_back(nullptr);
      execv(c[0], c.data());
      _exit(127);
    }
    if (row.signal) {
      // The copy is running (held by its .wait file) once it wrote its pid;
      // krimg's capture files come before the tool, and a slow start (a
      // sanitizer build) would see the signal before there is a tool.
      for (int i = 0; i < 500 && kit::read_file(dir_ / "pscp.exe.pid").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      kill(pid, row.signal);
    }
    int st = 0;
    for (int i = 0; i < 2000 && waitpid(pid, &st, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (kill(pid, 0) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
    }
    const std::string err = kit::read_file(dir_ / "err"), out = kit::read_file(dir_ / "out");
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), row.status) << err;
    EXPECT_NE(err.find(row.line), std::string::npos) << err;
    EXPECT_EQ(out, row.status == 0 ? "krps://192.168.191.2/dev/rdisk0s1s2?ssl-sha256=" + fp + "\n" : "") << err;
    if (row.password != "-") {
      const Lines args = args_of(dir_ / "pscp.exe.args");
      EXPECT_EQ(args.size() > 1 && args[0] == "-pw" ? args[1] : "", row.password);
    }
    if (row.signal) {
      std::ifstream pid_file(dir_ / "pscp.exe.pid");
      pid_t tool = 0;
      EXPECT_TRUE(pid_file >> tool && kit::wait_process_ended(tool)) << "the tool outlived krimg";
      EXPECT_FALSE(fs::exists(dir_ / "plink.exe.args")) << "the start ran after the signal";
    }
    EXPECT_EQ(err.find("s3cret"), std::string::npos) << err;
  }
}

TEST_F(SshDeploy, TwoRequestsRunTwoCompleteDeployments) {
  touch("pscp.exe.wait");
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "first", ""), 0);
  // The first is held in its copy step; the second waits in the queue and
  // runs with its own values afterwards.
  for (int i = 0; i < 500 && kit::log_lines().size() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "second", ""), 0);
  touch("go");
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_result(), 0);
  Lines got = kit::log_lines();
  EXPECT_EQ(std::count(got.begin(), got.end(), "设备初始化完成\n"), 2);
  EXPECT_NE(std::find(got.begin(), got.end(),
                      "os_system:[plink.exe  -P 22 -batch first@192.168.191.2 " + kStart + "]\n"),
            got.end());
  EXPECT_EQ(args_of(dir_ / "plink.exe.args")[3], "second@192.168.191.2");
}

TEST_F(SshDeploy, WorkerLifecycle) {
  ssh_init();  // a second start keeps the one worker
  ssh_exit();
  EXPECT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), -1) << "accepted after ssh_exit";
  EXPECT_FALSE(ssh_is_busy());
  ssh_wait_exit();
  ssh_init();
  ASSERT_EQ(ssh_request_init_dev("192.168.191.2", 22, "root", ""), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(ssh_last_result(), 0);
}

}  // namespace
