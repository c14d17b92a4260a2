#include "libnet.h"

#include <gtest/gtest.h>

#include "tb_init.h"
#include "test_peer.h"

using testpeer::Bytes;
using testpeer::LogCapture;
using testpeer::Peer;

namespace {

struct Conn {
  net_conn c{};
  Conn(uint16_t port, int timeout) {
    tb_ipaddr_t a;
    tb_ipaddr_clear(&a);
    tb_ipaddr_ip_text_set(&a, "127.0.0.1", TB_IPADDR_FAMILY_IPV4);
    tb_ipaddr_port_set(&a, port);
    c.sock = sock_connect(&a, 0x40000, 3000);
    c.timeout = timeout;
  }
  ~Conn() {
    if (c.sock) tb_socket_exit(c.sock);
  }
};

class LibnetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tb_init(nullptr, nullptr, 0, 0); }
};

TEST_F(LibnetTest, ZeroLengthReadTouchesNothing) {
  net_conn c{};  // no socket at all
  uint8_t b;
  EXPECT_EQ(sock_read(&c, &b, 0), 0);
}

TEST_F(LibnetTest, ReadGathersPiecesAndWriteSendsAll) {
  Peer peer;
  Bytes got;
  peer.serve([&](int fd) {
    for (int i = 0; i < 20; i++) {
      Bytes piece(50, uint8_t(i));
      testpeer::write_all(fd, piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    got = testpeer::read_n(fd, 3 << 20);
  });
  Conn conn(peer.port(), 5000);
  ASSERT_NE(conn.c.sock, nullptr);
  Bytes buf(1000);
  ASSERT_EQ(sock_read(&conn.c, buf.data(), buf.size()), 1000);
  for (size_t i = 0; i < buf.size(); i++) ASSERT_EQ(buf[i], uint8_t(i / 50)) << i;
  // A write larger than the socket buffers goes out whole.
  Bytes big(3 << 20);
  for (size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i * 7);
  EXPECT_EQ(sock_write(&conn.c, big.data(), big.size()), long(big.size()));
  peer.join();
  EXPECT_EQ(got, big);
}

TEST_F(LibnetTest, StalledPeerGivesShortCountAfterBudget) {
  Peer peer;
  std::atomic<bool> done{false};
  peer.serve([&](int fd) {
    testpeer::write_all(fd, Bytes(10, 1));
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  Conn conn(peer.port(), 300);
  Bytes buf(100);
  EXPECT_EQ(sock_read(&conn.c, buf.data(), buf.size()), 10);
  // Nothing at all within the budget: 0.
  EXPECT_EQ(sock_read(&conn.c, buf.data(), buf.size()), 0);
  done = true;
}

TEST_F(LibnetTest, ClosedPeerEndsWithTooManyPasses) {
  LogCapture log;
  Peer peer;
  peer.serve([&](int fd) { testpeer::write_all(fd, Bytes(5, 1)); });
  Conn conn(peer.port(), 20000);
  peer.join();
  Bytes buf(100);
  EXPECT_EQ(sock_read(&conn.c, buf.data(), buf.size()), -1);
  EXPECT_TRUE(log.has("Read too many times\n"));
}

TEST_F(LibnetTest, ConnectFailures) {
  LogCapture log;
  tb_ipaddr_t a;
  tb_ipaddr_clear(&a);
  tb_ipaddr_ip_text_set(&a, "127.0.0.1", TB_IPADDR_FAMILY_IPV4);
  {
    // A port nobody listens on refuses at once.
    Peer gone;
    tb_ipaddr_port_set(&a, gone.port());
  }
  EXPECT_EQ(sock_connect(&a, 0x40000, 1000), nullptr);
  EXPECT_TRUE(log.has("connect")) << log.all();

  // A listener whose accept queue is full does not answer: time-out.
  Peer full(0);
  std::vector<int> fillers;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(full.port());
  for (int i = 0; i < 8; i++) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  tb_ipaddr_port_set(&a, full.port());
  tb_socket_ref_t s = sock_connect(&a, 0x40000, 300);
  if (s) {
    tb_socket_exit(s);
    GTEST_SKIP() << "the system accepted past the backlog";
  }
  char text[128];
  std::string want = std::string("connect [") + tb_ipaddr_text(&a, text, sizeof(text)) + "] timeout\n";
  EXPECT_TRUE(log.has(want)) << log.all();
  for (int fd : fillers) close(fd);
}

long fake_read(net_conn*, void* buf, size_t len) {
  memset(buf, 'T', len);
  return long(len);
}
long fake_write(net_conn*, const void*, size_t len) { return long(len) - 1; }

TEST_F(LibnetTest, TlsSwitchUsesHooksOnlyWithSsl) {
  net_conn c{};
  c.ssl = &c;  // any non-null session
  uint8_t b[4] = {};
  EXPECT_EQ(net_read(&c, b, 4), -1);  // no hooks yet: refused, socket untouched
  net_set_tls_hooks(fake_read, fake_write);
  EXPECT_EQ(net_read(&c, b, 4), 4);
  EXPECT_EQ(b[3], 'T');
  EXPECT_EQ(net_write(&c, b, 4), 3);
  net_set_tls_hooks(nullptr, nullptr);
}

}  // namespace
