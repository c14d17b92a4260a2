// End to end on the namespaced test host (scripts/testhost.sh): krimg deploy
// with the defaults copies the daemon with PuTTY's real pscp and starts it
// with plink through a real sshd; krimg acquire with the default URL then
// images the device's /dev/rdisk0s1s2. The delivered daemon is the ARMv7
// program, which the device runs through the user-mode emulator. Needs root
// and network namespaces, and for an ARMv7 daemon the emulator; without
// them every test is skipped with the reason.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "krsd_test_util.h"

namespace fs = std::filesystem;

namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

class TestHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* bin = getenv("KRII_BIN_DIR");
    const char* tools = getenv("KRII_TOOLS_DIR");
    const char* script = getenv("KRII_TESTHOST");
    if (!bin || !tools || !script) {
      skip_ = "KRII_BIN_DIR, KRII_TOOLS_DIR or KRII_TESTHOST not set (run through ctest)";
      return;
    }
    bin_ = bin;
    tools_ = tools;
    script_ = script;
    if (geteuid() != 0) {
      skip_ = "the test host needs root (network, PID and mount namespaces)";
      return;
    }
    std::string probe = "krii-probe-" + std::to_string(getpid());
    if (kit::run_shell("ip netns add " + probe).status != 0) {
      skip_ = "this machine cannot make network namespaces (ip netns add failed)";
      return;
    }
    kit::run_shell("ip netns del " + probe);
    if (kit::run_shell("command -v sshd pscp plink ssh-agent >/dev/null || test -x /usr/sbin/sshd").status != 0) {
      skip_ = "openssh-server or putty-tools missing (scripts/install-deps.sh)";
      return;
    }
    for (const fs::path& f : {bin_ / "krimg", tools_ / "dev/armv7/krsd", tools_ / "pscp.exe",
                              tools_ / "plink.exe"}) {
      if (!fs::exists(f)) {
        skip_ = "not built: " + f.string();
        return;
      }
    }
    // An ARMv7 daemon (ELF machine 40) runs on the device only through the
    // emulator (registered here when needed).
    std::string head = kit::read_file(tools_ / "dev/armv7/krsd").substr(0, 20);
    if (head.size() == 20 && head[18] == 40 && head[19] == 0) {
      const char* src = getenv("KRII_SOURCE_DIR");
      kit::ShellRun emu = kit::run_shell(q(std::string(src ? src : ".") + "/scripts/arm-emulation.sh") + " " +
                       q((tools_ / "dev/armv7/krsd").string()));
      if (emu.status != 0) {
        skip_ = "the delivered daemon is an ARMv7 program this machine cannot run: " + trim(emu.output);
        return;
      }
    } else {
      fprintf(stderr, "note: the delivered daemon is not an ARMv7 program (the host build)\n");
    }

    // Not under /tmp: the device has a /tmp of its own, and its images are
    // bound from here.
    char templ[] = "/var/tmp/sshe2eXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    // Not a whole number of 102400-byte blocks, so the last block is short.
    std::vector<char> data(3 * 1024 * 1024 + 12345);
    std::mt19937 rng(7);
    for (auto& c : data) c = (char)(rng() & 0xff);
    for (size_t i = 1024 * 1024; i < 1536 * 1024; ++i) data[i] = 0;
    std::ofstream(dir_ / "device.img", std::ios::binary).write(data.data(), (std::streamsize)data.size());
    md5_ = kit::run_shell("md5sum " + q((dir_ / "device.img").string()) + " | cut -d' ' -f1").output;
    md5_ = trim(md5_);

    kit::ShellRun up = kit::run_shell("timeout 60 " + q(script_) + " up --image " + q((dir_ / "device.img").string()));
    if (up.status == 77) {
      skip_ = trim(up.output);
      return;
    }
    ASSERT_EQ(up.status, 0) << up.output;
    up_ = true;
    // PuTTY's tools find the agent and their host-key cache through these.
    kit::ShellRun env = kit::run_shell(q(script_) + " env");
    ASSERT_EQ(env.status, 0) << env.output;
    std::istringstream lines(env.output);
    std::string line;
    if (const char* h = getenv("HOME")) old_home_ = h;
    while (std::getline(lines, line)) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
  }
  static void TearDownTestSuite() {
    if (up_) kit::run_shell(q(script_) + " down");
    up_ = false;
    if (!old_home_.empty()) setenv("HOME", old_home_.c_str(), 1);
    unsetenv("SSH_AUTH_SOCK");
    if (!dir_.empty()) {
      std::error_code ec;
      fs::remove_all(dir_, ec);
    }
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  static kit::ShellRun krimg(const std::string& args) {
    return kit::run_shell("timeout 90 " + q((bin_ / "krimg").string()) + " " + args);
  }
  static kit::ShellRun device(const std::string& cmd) {
    return kit::run_shell("timeout 20 " + q(script_) + " exec sh -c " + q(cmd));
  }
  // The pids of the daemons running on the device.
  static std::vector<std::string> daemons() {
    std::vector<std::string> out;
    std::istringstream in(device("pgrep -x krsd || true").output);
    std::string pid;
    while (in >> pid) out.push_back(pid);
    return out;
  }

  // The daemon returns to the shell before it listens: wait (bounded) until
  // the device's port takes connections, as an examiner's Start would.
  static bool serving() {
    return kit::run_shell("for i in $(seq 1 100); do timeout 1 bash -c 'exec 3<>/dev/tcp/192.168.191.2/6688' "
               "2>/dev/null && exit 0; sleep 0.1; done; exit 1")
               .status == 0;
  }
  // Waits (bounded) until exactly one daemon runs that is not `old`.
  static std::vector<std::string> one_daemon_besides(const std::string& old) {
    std::vector<std::string> pids;
    for (int i = 0; i < 50; ++i) {
      pids = daemons();
      if (pids.size() == 1 && pids[0] != old) break;
      usleep(200 * 1000);
    }
    return pids;
  }

  static std::string skip_;
  static fs::path bin_, tools_, script_, dir_;
  static std::string md5_, old_home_;
  static bool up_;
};
std::string TestHost::skip_, TestHost::md5_, TestHost::old_home_;
fs::path TestHost::bin_, TestHost::tools_, TestHost::script_, TestHost::dir_;
bool TestHost::up_ = false;

TEST_F(TestHost, DeployThenAcquireWithTheDefaults) {
  kit::ShellRun dep = krimg("deploy");
  ASSERT_EQ(dep.status, 0) << dep.output;
  EXPECT_NE(dep.output.find("设备初始化完成\n"), std::string::npos) << dep.output;
  EXPECT_EQ(dep.output.find("错误"), std::string::npos) << dep.output;

  // The daemon was copied byte for byte to the device's /tmp and runs from
  // there, started with -d.
  kit::ShellRun same = kit::run_shell(q(script_) + " exec cat /tmp/krsd | cmp - " + q((tools_ / "dev/armv7/krsd").string()));
  EXPECT_EQ(same.status, 0) << same.output;
  std::vector<std::string> pids = one_daemon_besides("");
  ASSERT_EQ(pids.size(), 1u) << "daemons running: " << pids.size();
  ASSERT_TRUE(serving()) << "the daemon does not listen on 192.168.191.2:6688";
  // (Through the emulator, its path and arguments follow the emulator's.)
  std::string cmdline = trim(device("xargs -0 echo < /proc/" + pids[0] + "/cmdline").output);
  EXPECT_TRUE(cmdline.ends_with("/tmp/krsd -d")) << cmdline;

  fs::path image = dir_ / "out.img";
  kit::ShellRun acq = krimg("acquire --image " + q(image.string()) + " --restart");
  ASSERT_EQ(acq.status, 0) << acq.output;
  EXPECT_TRUE(kit::read_file(image) == kit::read_file(dir_ / "device.img")) << "the image differs from the device";
  EXPECT_NE(acq.output.find(md5_), std::string::npos) << "MD5 " << md5_ << " not in:\n" << acq.output;

  // The URL the deployment printed pins the started daemon's certificate:
  // the device's TLS serves through it.
  size_t at = dep.output.find("krps://192.168.191.2/dev/rdisk0s1s2?ssl-sha256=");
  ASSERT_NE(at, std::string::npos) << dep.output;
  std::string pinned = dep.output.substr(at, dep.output.find('\n', at) - at);
  kit::ShellRun tls = krimg("acquire --source " + q(pinned) + " --image " + q(image.string()) + " --restart");
  ASSERT_EQ(tls.status, 0) << tls.output;
  EXPECT_TRUE(kit::read_file(image) == kit::read_file(dir_ / "device.img")) << "the image over TLS differs";

  // A second deployment stops the running daemon and starts a fresh one.
  kit::ShellRun again = krimg("deploy --debug");
  ASSERT_EQ(again.status, 0) << again.output;
  // The command lines logged with --debug show no password.
  EXPECT_NE(again.output.find("os_system:[pscp.exe -pw ****** -P 22 -batch dev/armv7/krsd "
                              "root@192.168.191.2:/tmp]"),
            std::string::npos)
      << again.output;
  EXPECT_EQ(again.output.find("tazmok"), std::string::npos) << again.output;
  std::vector<std::string> now = one_daemon_besides(pids[0]);
  ASSERT_EQ(now.size(), 1u) << "daemons running: " << now.size();
  EXPECT_NE(now[0], pids[0]) << "the old daemon still serves";
  ASSERT_TRUE(serving());

  // And it serves: a second image, resumed from nothing, matches too.
  fs::path image2 = dir_ / "out2.img";
  kit::ShellRun acq2 = krimg("acquire --ip 192.168.191.2 --image " + q(image2.string()) + " --resume");
  ASSERT_EQ(acq2.status, 0) << acq2.output;
  EXPECT_TRUE(kit::read_file(image2) == kit::read_file(dir_ / "device.img"));
}

// A device whose host key PuTTY's tools have not cached (a fresh HOME): the
// deployment shows the fingerprint and stops; with that fingerprint trusted
// it stores the key and goes on; later the key is known. A changed key is
// refused as a possible attack and the cache stays as it was, as is the key
// when the cache holds one of another type for the device.
TEST_F(TestHost, FirstConnectTrustsAShownHostKeyAndRefusesAChangedOne) {
  fs::path home = dir_ / "fresh-home";
  fs::create_directories(home / ".putty");
  const std::string as_new = "HOME=" + q(home.string()) + " ";
  const fs::path cache = home / ".putty" / "sshhostkeys";

  kit::ShellRun first = kit::run_shell(as_new + "timeout 90 " + q((bin_ / "krimg").string()) + " deploy </dev/null");
  EXPECT_EQ(first.status, 1) << first.output;
  EXPECT_NE(first.output.find("初始化设备环境: 复制文件错误\n"), std::string::npos) << first.output;
  const std::string tag = "设备主机密钥未知, 指纹: ";
  size_t at = first.output.find(tag);
  ASSERT_NE(at, std::string::npos) << first.output;
  const std::string fp = first.output.substr(at + tag.size(), first.output.find('\n', at) - at - tag.size());
  EXPECT_EQ(fp.rfind("ssh-ed25519 255 SHA256:", 0), 0u) << fp;
  EXPECT_FALSE(fs::exists(cache)) << "a key was stored without trust";

  kit::ShellRun trusted = kit::run_shell(as_new + "timeout 90 " + q((bin_ / "krimg").string()) + " deploy --hostkey " +
                       q(fp.substr(fp.rfind(' ') + 1)) + " </dev/null");
  ASSERT_EQ(trusted.status, 0) << trusted.output;
  EXPECT_NE(trusted.output.find("已信任并保存设备主机密钥: " + fp + "\n"), std::string::npos)
      << trusted.output;
  const std::string stored = kit::read_file(cache);
  EXPECT_NE(stored.find("ssh-ed25519@22:192.168.191.2 "), std::string::npos) << stored;

  kit::ShellRun known = kit::run_shell(as_new + "timeout 90 " + q((bin_ / "krimg").string()) + " deploy </dev/null");
  EXPECT_EQ(known.status, 0) << known.output;
  EXPECT_EQ(known.output.find("指纹"), std::string::npos) << known.output;

  // The device now shows another key than the cached one.
  std::string changed = stored;
  size_t hex = changed.find(" 0x") + 3;
  changed[hex] = changed[hex] == '1' ? '2' : '1';
  std::ofstream(cache, std::ios::trunc) << changed;
  kit::ShellRun attack = kit::run_shell(as_new + "timeout 90 " + q((bin_ / "krimg").string()) + " deploy --hostkey " +
                      q(fp) + " </dev/null");
  EXPECT_EQ(attack.status, 1) << attack.output;
  EXPECT_NE(attack.output.find("可能受到攻击"), std::string::npos) << attack.output;
  EXPECT_NE(attack.output.find("初始化设备环境: 复制文件错误\n"), std::string::npos) << attack.output;
  EXPECT_EQ(kit::read_file(cache), changed) << "the changed key was accepted";

  // Only a key of another type is kept: the tools call the device's key
  // unknown, which it is not.
  const std::string other = "ssh-rsa@22:192.168.191.2 0x10001,0xc0ffee\n";
  std::ofstream(cache, std::ios::trunc) << other;
  kit::ShellRun other_type = kit::run_shell(as_new + "timeout 90 " + q((bin_ / "krimg").string()) + " deploy --hostkey " +
                          q(fp) + " </dev/null");
  EXPECT_EQ(other_type.status, 1) << other_type.output;
  EXPECT_NE(other_type.output.find("设备主机密钥已改变, 可能受到攻击, 已拒绝连接: " + fp + "\n"), std::string::npos)
      << other_type.output;
  EXPECT_EQ(kit::read_file(cache), other) << "a key was stored beside the one of another type";
}

// The 32-bit daemon serves a source larger than 4 GiB: an image whose prefix
// ends a few MiB below 4 GiB is resumed through the deployed daemon, so that
// only the last MiBs, across the boundary, cross it. Every size and offset
// above 4 GiB must be right: the size it reports, the bytes around 4 GiB and
// the whole image.
TEST_F(TestHost, ResumesAcrossFourGiBThroughTheDeployedDaemon) {
  const int64_t k4G = int64_t(4) << 30, size = k4G + (3 << 20) + 12345, prefix = k4G - (5 << 20);
  const fs::path big = dir_ / "big.img", image = dir_ / "big-out.img";
  // Sparse, with distinct data in its first MiB and from 6 MiB below 4 GiB
  // to its end; the image holds the source's first `prefix` bytes.
  std::mt19937 rng(11);
  std::vector<char> data(size - (k4G - (6 << 20)));
  for (auto& c : data) c = char(rng());
  int src = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int img = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(src, 0);
  ASSERT_GE(img, 0);
  ASSERT_EQ(ftruncate(src, size), 0);
  ASSERT_EQ(ftruncate(img, prefix), 0);
  ASSERT_EQ(pwrite(src, data.data(), 1 << 20, 0), 1 << 20);
  ASSERT_EQ(pwrite(img, data.data(), 1 << 20, 0), 1 << 20);
  ASSERT_EQ(pwrite(src, data.data(), data.size(), k4G - (6 << 20)), ssize_t(data.size()));
  ASSERT_EQ(pwrite(img, data.data(), 1 << 20, k4G - (6 << 20)), 1 << 20);
  close(src);
  close(img);
  // The image's record vouches for its prefix, as a job that stopped there
  // leaves it: only what follows is read through the daemon.
  kit::ShellRun sums = kit::run_shell("md5sum <" + q(image.string()) + " | cut -c1-32; sha256sum <" + q(image.string()) +
                    " | cut -c1-64");
  ASSERT_EQ(sums.status, 0) << sums.output;
  ASSERT_EQ(sums.output.size(), 32u + 1 + 64 + 1) << sums.output;
  std::ofstream(image.string() + ".krii", std::ios::trunc)
      << "krii-pieces 2\nsource " << size << "\n"
      << prefix << " " << sums.output.substr(0, 32) << " " << sums.output.substr(33, 64) << "\n";

  kit::ShellRun served = kit::run_shell(q(script_) + " image " + q(big.string()));
  ASSERT_EQ(served.status, 0) << served.output;
  struct Restore {
    ~Restore() {
      kit::run_shell(q(script_) + " image " + q((dir_ / "device.img").string()));
      fs::remove(dir_ / "big.img");
      fs::remove(dir_ / "big-out.img");
      for (const char* ext : {".krii", ".json", ".txt", ".log"}) fs::remove(dir_ / ("big-out.img" + std::string(ext)));
    }
  } restore;
  kit::ShellRun dep = krimg("deploy");
  ASSERT_EQ(dep.status, 0) << dep.output;
  ASSERT_TRUE(serving());
  kit::ShellRun acq = krimg("acquire --image " + q(image.string()) + " --resume");
  ASSERT_EQ(acq.status, 0) << acq.output;
  for (const std::string& line : {"偏移文件: " + std::to_string(prefix) + " (",
                                  "设备存储大小：" + std::to_string(size) + " (",
                                  " " + std::to_string(size - prefix) + " bytes ("})
    EXPECT_NE(acq.output.find(line), std::string::npos) << line << " not in:\n" << acq.output;

  ASSERT_EQ(int64_t(fs::file_size(image)), size);
  std::string around;
  {
    std::ifstream in(image, std::ios::binary);
    in.seekg(k4G - (1 << 20));
    around.resize(2 << 20);
    in.read(around.data(), std::streamsize(around.size()));
  }
  EXPECT_TRUE(around == std::string(data.data() + (5 << 20), 2 << 20)) << "bytes around 4 GiB differ";
  std::string why;
  EXPECT_TRUE(krsd_test::same_bytes(big, image, &why)) << why;
}

// A copy that fails is a copy error, and the log says why in the tool's
// own words without --debug.
TEST_F(TestHost, FailedCopiesSayWhy) {
  struct Row {
    std::string args, reason;
  } rows[] = {
      {"--user nosuchuser", "pscp.exe: FATAL ERROR: No supported authentication methods available"},
      // Nothing listens on this port of the device: the copy fails at once.
      {"--port 2", "pscp.exe: FATAL ERROR: Connection refused\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    kit::ShellRun dep = krimg("deploy " + row.args);
    EXPECT_EQ(dep.status, 1) << dep.output;
    EXPECT_NE(dep.output.find(row.reason), std::string::npos) << dep.output;
    EXPECT_NE(dep.output.find("初始化设备环境: 复制文件错误\n"), std::string::npos) << dep.output;
    EXPECT_EQ(dep.output.find("启动错误"), std::string::npos) << dep.output;
    EXPECT_EQ(dep.output.find("设备初始化完成"), std::string::npos) << dep.output;
  }
}

// Who may do what with the daemon as the deployment starts it from the
// examiner's SSH session: the examiner's address images over both ports and
// changes nothing; another machine of the device's network is turned away
// on both ports. The daemon logs every refusal.
TEST_F(TestHost, OnlyTheExaminerReadsAndNothingWrites) {
  kit::ShellRun dep = krimg("deploy");
  ASSERT_EQ(dep.status, 0) << dep.output;
  EXPECT_NE(dep.output.find("设备守护进程: krsd started: port 6688, TLS port 6686; read-only; serving only "
                            "192.168.191.1 (the SSH session's address); ends after 30 min without a "
                            "connection; certificate SHA-256 "),
            std::string::npos)
      << dep.output;
  ASSERT_TRUE(serving());
  size_t at = dep.output.find("krps://192.168.191.2/dev/rdisk0s1s2?ssl-sha256=");
  ASSERT_NE(at, std::string::npos) << dep.output;
  const std::string pinned = dep.output.substr(at, dep.output.find('\n', at) - at);
  kit::ShellRun peer = kit::run_shell(q(script_) + " peer true");
  if (peer.status == 77) GTEST_SKIP() << trim(peer.output);
  ASSERT_EQ(peer.status, 0) << peer.output;

  struct Row {
    const char* who;
    std::string on;  // the command's prefix that puts it on that machine
    std::string source;
    bool served;
  } rows[] = {
      {"examiner, plain", "", "krp://192.168.191.2/dev/rdisk0s1s2", true},
      {"examiner, TLS", "", pinned, true},
      {"another machine, plain", q(script_) + " peer ", "krp://192.168.191.2/dev/rdisk0s1s2", false},
      {"another machine, TLS", q(script_) + " peer ", pinned, false},
  };
  const fs::path image = dir_ / "who.img";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.who);
    fs::remove(image);
    kit::ShellRun acq = kit::run_shell(row.on + "timeout 90 " + q((bin_ / "krimg").string()) + " acquire --source " +
                     q(row.source) + " --image " + q(image.string()) + " --restart");
    if (row.served) {
      EXPECT_EQ(acq.status, 0) << acq.output;
      EXPECT_TRUE(kit::read_file(image) == kit::read_file(dir_ / "device.img")) << "the image differs from the device";
    } else {
      EXPECT_NE(acq.status, 0) << acq.output;
      EXPECT_TRUE(kit::read_file(image).empty()) << "another machine read the device";
    }
  }

  // Nothing the examiner asks changes the device either.
  krsd_test::Client c;
  ASSERT_TRUE(c.connect(6688, false, "192.168.191.2"));
  ASSERT_EQ(c.login("", ""), 0);
  int64_t fd = 0;
  for (int64_t mode : {2, 4, 2 | 8 | 0x20, 1 | 0x20}) EXPECT_EQ(c.open("/dev/rdisk0s1s2", mode, &fd), EROFS) << mode;
  ASSERT_EQ(c.open("/dev/rdisk0s1s2", 1, &fd), 0);
  EXPECT_EQ(c.write(fd, "x", 1, 1), EROFS);
  c.close();
  EXPECT_EQ(trim(kit::run_shell("md5sum " + q((dir_ / "device.img").string()) + " | cut -d' ' -f1").output), md5_);
  const std::string log = device("cat /tmp/krsd.log").output;
  for (const char* line : {"192.168.191.3:", "refused: not an address this daemon serves",
                           "open [/dev/rdisk0s1s2] mode=2 from ", "write [/dev/rdisk0s1s2] from "})
    EXPECT_NE(log.find(line), std::string::npos) << line << " not in the daemon's log:\n" << log;
}

// A daemon left alone ends by itself once it has served no connection for
// its idle time (shortened here through the sessions' daemon options); a
// connection held open longer than that keeps it.
TEST_F(TestHost, TheDeployedDaemonEndsAfterTheIdleTime) {
  kit::ShellRun args = kit::run_shell(q(script_) + " daemon-args --exit-idle 5");
  ASSERT_EQ(args.status, 0) << args.output;
  struct Restore {
    ~Restore() { kit::run_shell(q(script_) + " daemon-args"); }
  } restore;
  kit::ShellRun dep = krimg("deploy");
  ASSERT_EQ(dep.status, 0) << dep.output;
  EXPECT_NE(dep.output.find("; ends after 5 s without a connection;"), std::string::npos) << dep.output;
  krsd_test::Client c;
  ASSERT_TRUE(c.connect(6688, false, "192.168.191.2"));
  ASSERT_EQ(c.login("", ""), 0);
  ASSERT_EQ(c.pack("none"), 0);
  int64_t fd = 0;
  ASSERT_EQ(c.open("/dev/rdisk0s1s2", 1, &fd), 0);
  std::vector<uint8_t> block;
  ASSERT_EQ(c.read(fd, 4096, &block), 0);
  sleep(7);
  ASSERT_EQ(c.read(fd, 4096, &block), 0) << "the daemon ended while serving";
  EXPECT_EQ(daemons().size(), 1u);
  c.close();
  std::vector<std::string> left = daemons();
  for (int i = 0; i < 300 && !left.empty(); ++i) {
    usleep(200 * 1000);
    left = daemons();
  }
  EXPECT_TRUE(left.empty()) << "the daemon still runs";
  EXPECT_NE(device("cat /tmp/krsd.log").output.find("krsd: no connection for 5 s, ending"), std::string::npos);
}

}  // namespace
