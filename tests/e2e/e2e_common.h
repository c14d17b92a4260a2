// End to end: krimg acquire against a real krsd on loopback, through the
// client library, the engine and the image file. The fixture shared by the
// end-to-end test programs.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "engine_fixture.h"
#include "krsd_test_util.h"

using krsd_test::Daemon;
using kit::TempDir;

namespace e2e {

inline std::string as_text(const std::vector<uint8_t>& d) { return std::string(d.begin(), d.end()); }
inline std::string md5_hex(const std::vector<uint8_t>& d) { return kt::md5_hex(as_text(d)); }
inline std::string sha256_hex(const std::vector<uint8_t>& d) { return kt::sha256_hex(as_text(d)); }

struct ToolRun {
  int status = -1;  // exit status, -1 when killed at the time limit
  std::string log;  // standard error
};

// krimg running in the background: standard error to log_path, standard
// input from stdin_fd (or /dev/null, so that krimg never asks).
class KrimgProcess {
 public:
  KrimgProcess(const std::vector<std::string>& args, const std::string& log_path, int stdin_fd = -1)
      : log_path_(log_path) {
    std::vector<std::string> argv = {kit::bin_path("krimg")};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int nul = open("/dev/null", O_RDWR);
      if (fd >= 0) dup2(fd, 2);
      dup2(stdin_fd >= 0 ? stdin_fd : nul, 0);
      if (nul >= 0) dup2(nul, 1);
      std::vector<char*> c;
      for (auto& a : argv) c.push_back(const_cast<char*>(a.c_str()));
      c.push_back(nullptr);
      execv(c[0], c.data());
      _exit(127);
    }
  }
  ~KrimgProcess() { wait(0); }
  KrimgProcess(const KrimgProcess&) = delete;
  KrimgProcess& operator=(const KrimgProcess&) = delete;

  void signal(int sig) { kill(pid_, sig); }
  // Waits for the end, killing krimg after limit_s seconds at the latest.
  ToolRun wait(int limit_s = 60) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    int st = 0;
    while (pid_ > 0) {
      pid_t w = waitpid(pid_, &st, WNOHANG);
      if (w == pid_) {
        run_.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        pid_ = -1;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run_.log = kit::read_file(log_path_);
    return run_;
  }

 private:
  std::string log_path_;
  pid_t pid_ = -1;
  ToolRun run_;
};

// Runs krimg with the arguments; killed after 60 s at the latest.
inline ToolRun krimg(const std::vector<std::string>& args, const std::string& log_path) {
  return KrimgProcess(args, log_path).wait();
}

// A loopback port that nothing listens on (bound once, then let go).
inline int unused_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// A loopback listener that never accepts, its queue filled at once, so that
// the system drops every further connection attempt unanswered: a connect
// to it runs into its time-out.
struct Listener {
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 0) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port = ntohs(a.sin_port);
    for (int& f : fillers) {
      f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);  // in progress or queued
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~Listener() {
    for (int f : fillers) close(f);
    close(fd);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int fd = -1, port = -1;
  int fillers[3] = {-1, -1, -1};
};

class E2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kit::bin_path("krimg").c_str(), X_OK) != 0)
      GTEST_SKIP() << "krimg is not built";
    img_ = dir_.file("device.img");
    out_ = dir_.file("out.img");
  }
  void device(size_t size, uint32_t seed = 1) {
    data_ = kit::mixed_bytes(size, seed);
    ASSERT_TRUE(kit::write_file(img_, data_));
  }
  void serve(std::vector<std::string> extra = {}) {
    extra.push_back("--map");
    extra.push_back("/dev/rdisk0s1s2=" + img_);
    ASSERT_TRUE(d_.start(extra)) << "krsd did not start";
  }
  std::string url(const std::string& query = "", bool tls = false,
                  const std::string& path = "/dev/rdisk0s1s2") {
    std::string u = std::string(tls ? "krps" : "krp") + "://127.0.0.1:" +
                    std::to_string(tls ? d_.tls_port : d_.port) + path;
    return query.empty() ? u : u + "?" + query;
  }
  ToolRun acquire(const std::string& source, const std::string& mode = "--restart") {
    return krimg({"acquire", "--source", source, "--image", out_, mode}, dir_.file("krimg.log"));
  }
  // The image equals the device and the log reports its MD5 and success.
  void expect_identical(const ToolRun& r, const std::vector<uint8_t>& want) {
    EXPECT_EQ(r.status, 0) << r.log;
    auto got = kit::read_bytes(out_);
    ASSERT_EQ(got.size(), want.size()) << r.log;
    EXPECT_TRUE(got == want) << "image differs from the device";
    EXPECT_NE(r.log.find("md5: " + md5_hex(want) + "\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("sha256: " + sha256_hex(want) + "\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
  }

  TempDir dir_;
  std::string img_, out_;
  std::vector<uint8_t> data_;
  Daemon d_;
};

}  // namespace e2e
