// The syslog sink against real loopback collectors (plain BSD sockets).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "os/os_log.h"
#include "os/os_pal_internal.h"

#define KR_LOG_SRC "tests\\libpal\\syslog_test"

namespace {

// A loopback socket bound to an ephemeral port; listening when TCP.
struct Collector {
  explicit Collector(int type) {
    fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    if (type == SOCK_STREAM) listen(fd, 4);
  }
  ~Collector() { close(fd); }
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;
  int fd;
  int port;
};

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// One datagram, or "" after 5 s.
std::string recv_datagram(int fd) {
  if (!readable(fd, 5000)) return "";
  char buf[2048];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// Bytes up to and including the next NUL on a stream, or what came in 5 s.
std::string recv_message(int fd) {
  std::string out;
  char c;
  while (readable(fd, 5000) && recv(fd, &c, 1, 0) == 1) {
    out.push_back(c);
    if (c == '\0') break;
  }
  return out;
}

class SyslogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_VERBOSE);
    os_log_ctl(OS_LOG_SET_PREFIX, 0);
    os_log_ctl(OS_LOG_SET_CONSOLE, 0);
    os_log_ctl(OS_LOG_SET_SYSLOG, 1);
  }
  void TearDown() override { os_log_ctl(OS_LOG_SET_SYSLOG, 0); }
  static std::string target(const char* scheme, int port) {
    return std::string(scheme) + "127.0.0.1:" + std::to_string(port);
  }
};

TEST_F(SyslogTest, UdpDatagramLayout) {
  Collector c(SOCK_DGRAM);
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, target("udp://", c.port).c_str()), 0);
  KR_LOG(OS_LOG_ERR, "disk gone\n");
  std::string d = recv_datagram(c.fd);
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d.back(), '\0');  // sent with its terminating NUL
  d.pop_back();
  EXPECT_EQ(d.find('\0'), std::string::npos);
  std::string tail = " kr.libkrs[" + std::to_string(getpid()) + "]: disk gone\n";
  ASSERT_GT(d.size(), tail.size());
  EXPECT_EQ(d.substr(d.size() - tail.size()), tail);
  // "<11>" then the ctime stamp "Mmm dd hh:mm:ss", a space and the host.
  ASSERT_GT(d.size(), 20u);
  EXPECT_EQ(d.substr(0, 4), "<11>");
  std::string stamp = d.substr(4, 15);
  EXPECT_TRUE(isupper(stamp[0]) && islower(stamp[1]) && islower(stamp[2])) << stamp;
  EXPECT_EQ(stamp[3], ' ');
  EXPECT_TRUE(stamp[4] == ' ' || isdigit(stamp[4])) << stamp;
  EXPECT_EQ(stamp.substr(6, 1) + stamp.substr(9, 1) + stamp.substr(12, 1), " ::") << stamp;
  EXPECT_EQ(d[19], ' ');
  size_t host_end = d.find(' ', 20);
  ASSERT_NE(host_end, std::string::npos);
  EXPECT_GT(host_end, 20u);  // a host name, "host" at the least
  EXPECT_EQ(d.substr(host_end, tail.size()), tail);
}

TEST_F(SyslogTest, PriorityPerLevelAndLongLineCut) {
  Collector c(SOCK_DGRAM);
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, target("", c.port).c_str()), 0);
  // Level 2 would end the process; 8 has no name of its own and goes as debug.
  const int levels[] = {0, 1, 3, 4, 5, 6, 7, 8};
  const char* want[] = {"<8>", "<9>", "<11>", "<12>", "<13>", "<14>", "<15>", "<15>"};
  for (size_t i = 0; i < 8; i++) {
    KR_LOG(levels[i], "x\n");
    EXPECT_EQ(recv_datagram(c.fd).substr(0, strlen(want[i])), want[i]) << levels[i];
  }
  KR_LOG(OS_LOG_INFO, "%s", std::string(1000, 'z').c_str());
  std::string d = recv_datagram(c.fd);
  EXPECT_EQ(d.substr(d.size() - 803), ": " + std::string(800, 'z') + '\0');
}

TEST_F(SyslogTest, EmptyModuleTagAndNullTag) {
  Collector c(SOCK_DGRAM);
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, target("udp://", c.port).c_str()), 0);
  std::string pid = "[" + std::to_string(getpid()) + "]: ";
  os_log_emit(OS_LOG_INFO, "", "trace\n", -1);
  EXPECT_NE(recv_datagram(c.fd).find(" " + pid + "trace\n"), std::string::npos);
  os_log_emit(OS_LOG_INFO, nullptr, "trace\n", -1);
  EXPECT_NE(recv_datagram(c.fd).find(" <someone>" + pid + "trace\n"), std::string::npos);
}

TEST_F(SyslogTest, TargetWithoutPortKeepsCurrentSocket) {
  Collector c(SOCK_DGRAM);
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, target("udp://", c.port).c_str()), 0);
  EXPECT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, "udp://127.0.0.1"), 1);
  EXPECT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, "udp"), 1);
  KR_LOG(OS_LOG_INFO, "still here\n");
  EXPECT_NE(recv_datagram(c.fd).find("still here"), std::string::npos);
}

TEST_F(SyslogTest, TcpTarget) {
  Collector c(SOCK_STREAM);
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, target("tcp://", c.port).c_str()), 0);
  ASSERT_TRUE(readable(c.fd, 5000));
  int conn = accept(c.fd, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  KR_LOG(OS_LOG_WARN, "one\n");
  KR_LOG(OS_LOG_INFO, "two\n");
  std::string m1 = recv_message(conn), m2 = recv_message(conn);
  EXPECT_EQ(m1.substr(0, 4), "<12>");
  EXPECT_EQ(m1.substr(m1.size() - 7), ": one\n" + std::string(1, '\0'));
  EXPECT_EQ(m2.substr(0, 4), "<14>");
  close(conn);
}

TEST_F(SyslogTest, TcpReconnectsOnceAfterCollectorDropped) {
  Collector c(SOCK_STREAM);
  ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, target("tcp://", c.port).c_str()), 0);
  ASSERT_TRUE(readable(c.fd, 5000));
  close(accept(c.fd, nullptr, nullptr));
  // The first send after the close may still succeed; the peer's reset
  // makes a later one fail, and that one reconnects and goes out again.
  int conn = -1;
  for (int i = 0; i < 100 && conn < 0; i++) {
    KR_LOG(OS_LOG_INFO, "line %d\n", i);
    if (readable(c.fd, 20)) conn = accept(c.fd, nullptr, nullptr);
  }
  ASSERT_GE(conn, 0);
  std::string m = recv_message(conn);
  EXPECT_EQ(m.substr(0, 4), "<14>");
  EXPECT_NE(m.find(": line "), std::string::npos);
  close(conn);
}

TEST_F(SyslogTest, ConnectFailuresAreReportedOnStderr) {
  int closed_port;
  {
    Collector gone(SOCK_STREAM);
    closed_port = gone.port;
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, target("tcp://", closed_port).c_str()), 1);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "failed to connect to 127.0.0.1 port " + std::to_string(closed_port));

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(os_log_ctl(OS_LOG_OPEN_SYSLOG, "udp://127.0.0.1:no-such-service"), 1);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("getaddrinfo: "), std::string::npos);
  EXPECT_NE(err.find("failed to resolve name 127.0.0.1 port no-such-service"),
            std::string::npos);

  // With no socket, a line tries the kept target once more, then gives up.
  ::testing::internal::CaptureStderr();
  KR_LOG(OS_LOG_INFO, "lost\n");
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("syslog_write udp://127.0.0.1:no-such-service err\n"), std::string::npos);
}

TEST(SyslogPriority, SelectorTable) {
  EXPECT_EQ(pal::syslog_priority("user.error"), 11);
  EXPECT_EQ(pal::syslog_priority("USER.Err"), 11);
  EXPECT_EQ(pal::syslog_priority("user.warning"), 12);
  EXPECT_EQ(pal::syslog_priority("local7.debug"), 191);
  EXPECT_EQ(pal::syslog_priority("security.crit"), 34);
  EXPECT_EQ(pal::syslog_priority("mark.emerg"), 192);
  EXPECT_EQ(pal::syslog_priority("kern.none"), 0);
  EXPECT_EQ(pal::syslog_priority("info"), 14);  // no facility: user
  EXPECT_EQ(pal::syslog_priority("8.3"), 11);   // decimal codes from the tables
  EXPECT_EQ(pal::syslog_priority("24.6"), 30);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(pal::syslog_priority("bogus.info"), -1);
  EXPECT_EQ(pal::syslog_priority("user.loud"), -1);
  EXPECT_EQ(pal::syslog_priority("3.err"), -1);  // 3 is no facility code
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "unknown facility name: bogus"
            "unknown priority name: loud"
            "unknown facility name: 3");
}

}  // namespace
