// Non-blocking sockets over loopback: connect, accept, transfer, waits,
// closed and refusing peers, the control codes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tb_init.h"
#include "tb_socket.h"

namespace {

struct Sock {
  tb_socket_ref_t s = nullptr;
  Sock() = default;
  explicit Sock(tb_socket_ref_t r) : s(r) {}
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;
  ~Sock() {
    if (s) tb_socket_exit(s);
  }
  tb_socket_ref_t release() {
    tb_socket_ref_t r = s;
    s = nullptr;
    return r;
  }
};

tb_ipaddr_t loopback(uint16_t port, int family = TB_IPADDR_FAMILY_IPV4) {
  tb_ipaddr_t a;
  tb_ipaddr_clear(&a);
  EXPECT_TRUE(tb_ipaddr_ip_text_set(&a, family == TB_IPADDR_FAMILY_IPV6 ? "::1" : "127.0.0.1",
                                    family));
  tb_ipaddr_port_set(&a, port);
  return a;
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tb_init(nullptr, nullptr, 0, 0)); }

  // A listener on a free loopback port; its address in *addr.
  tb_socket_ref_t listener(tb_ipaddr_t* addr, int family = TB_IPADDR_FAMILY_IPV4) {
    tb_socket_ref_t l = tb_socket_init(TB_SOCKET_TYPE_TCP, family);
    if (!l) return nullptr;
    tb_ipaddr_t any = loopback(0, family);
    if (!tb_socket_bind(l, &any) || !tb_socket_listen(l, 4) || !tb_socket_local(l, addr)) {
      tb_socket_exit(l);
      return nullptr;
    }
    return l;
  }

  // Connects a client to the listener and accepts it; both non-blocking.
  void connect_pair(tb_socket_ref_t l, const tb_ipaddr_t& addr, Sock* client, Sock* server,
                    tb_ipaddr_t* peer = nullptr) {
    client->s = tb_socket_init(TB_SOCKET_TYPE_TCP, addr.family);
    ASSERT_NE(client->s, nullptr);
    long r = tb_socket_connect(client->s, &addr);
    for (int i = 0; r == 0 && i < 100; ++i) {
      ASSERT_GT(tb_socket_wait(client->s, TB_SOCKET_EVENT_CONN, 5000), 0);
      r = tb_socket_connect(client->s, &addr);  // already connected: 1
    }
    ASSERT_EQ(r, 1);
    ASSERT_EQ(tb_socket_wait(l, TB_SOCKET_EVENT_RECV, 5000), TB_SOCKET_EVENT_RECV);
    server->s = tb_socket_accept(l, peer);
    ASSERT_NE(server->s, nullptr);
  }

  // Receives exactly n bytes, waiting in between.
  std::vector<uint8_t> recv_all(tb_socket_ref_t s, size_t n) {
    std::vector<uint8_t> got;
    uint8_t buf[4096];
    for (int i = 0; got.size() < n && i < 10000; ++i) {
      long r = tb_socket_recv(s, buf, std::min(sizeof buf, n - got.size()));
      if (r < 0) break;
      if (r == 0) {
        if (tb_socket_wait(s, TB_SOCKET_EVENT_RECV, 5000) <= 0) break;
        continue;
      }
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
};

TEST_F(SocketTest, ConnectAcceptTransferBothWays) {
  tb_ipaddr_t addr;
  Sock l(listener(&addr));
  ASSERT_NE(l.s, nullptr);
  EXPECT_NE(addr.port, 0);
  Sock c, s;
  tb_ipaddr_t peer;
  tb_ipaddr_clear(&peer);
  ASSERT_NO_FATAL_FAILURE(connect_pair(l.s, addr, &c, &s, &peer));
  char text[80];
  EXPECT_STREQ(tb_ipaddr_ip_text(&peer, text, sizeof text), "127.0.0.1");
  EXPECT_NE(peer.port, 0);

  // Accepted sockets come non-blocking and with TCP_NODELAY on.
  int nodelay = 0;
  ASSERT_TRUE(tb_socket_ctrl(s.s, TB_SOCKET_CTRL_GET_TCP_NODELAY, &nodelay));
  EXPECT_NE(nodelay, 0);
  uint8_t b[16];
  EXPECT_EQ(tb_socket_recv(s.s, b, sizeof b), 0);  // nothing there yet: 0, not a block

  std::vector<uint8_t> data(200000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  size_t sent = 0;
  std::vector<uint8_t> got;
  for (int i = 0; (sent < data.size() || got.size() < data.size()) && i < 100000; ++i) {
    if (sent < data.size()) {
      long r = tb_socket_send(c.s, data.data() + sent, data.size() - sent);
      ASSERT_GE(r, 0);
      sent += static_cast<size_t>(r);
    }
    uint8_t buf[8192];
    long r = tb_socket_recv(s.s, buf, sizeof buf);
    ASSERT_GE(r, 0);
    got.insert(got.end(), buf, buf + r);
    if (r == 0) {
      ASSERT_GE(tb_socket_wait(s.s, TB_SOCKET_EVENT_RECV, 5000), 0);
    }
  }
  EXPECT_EQ(got, data);

  const uint8_t reply[] = "ok";
  ASSERT_EQ(tb_socket_send(s.s, reply, 2), 2);
  EXPECT_EQ(recv_all(c.s, 2), std::vector<uint8_t>({'o', 'k'}));
}

TEST_F(SocketTest, WaitPollsAndClosedPeerReadsZero) {
  tb_ipaddr_t addr;
  Sock l(listener(&addr));
  ASSERT_NE(l.s, nullptr);
  Sock c, s;
  ASSERT_NO_FATAL_FAILURE(connect_pair(l.s, addr, &c, &s));

  EXPECT_EQ(tb_socket_wait(s.s, TB_SOCKET_EVENT_RECV, 0), 0);
  EXPECT_EQ(tb_socket_wait(s.s, TB_SOCKET_EVENT_RECV, 20), 0);
  EXPECT_EQ(tb_socket_wait(l.s, TB_SOCKET_EVENT_RECV, 0), 0);
  EXPECT_EQ(tb_socket_accept(l.s, nullptr), nullptr);  // nobody waiting
  EXPECT_EQ(tb_socket_wait(s.s, TB_SOCKET_EVENT_RECV | TB_SOCKET_EVENT_SEND, 0),
            TB_SOCKET_EVENT_SEND);

  ASSERT_TRUE(tb_socket_exit(c.release()));
  ASSERT_EQ(tb_socket_wait(s.s, TB_SOCKET_EVENT_RECV, 5000), TB_SOCKET_EVENT_RECV);
  uint8_t b[16];
  EXPECT_EQ(tb_socket_recv(s.s, b, sizeof b), 0);
  EXPECT_EQ(tb_socket_recv(s.s, b, 0), 0);

  // Writing into a closed connection fails without a SIGPIPE killing us.
  const uint8_t x[1024] = {};
  long r = 0;
  for (int i = 0; i < 1000 && r >= 0; ++i) {
    r = tb_socket_send(s.s, x, sizeof x);
    if (r >= 0) tb_socket_wait(s.s, TB_SOCKET_EVENT_RECV, 10);
  }
  EXPECT_EQ(r, -1);
}

TEST_F(SocketTest, SendReturnsZeroWhenTheWindowIsFull) {
  tb_ipaddr_t addr;
  Sock l(listener(&addr));
  ASSERT_NE(l.s, nullptr);
  Sock c, s;
  ASSERT_NO_FATAL_FAILURE(connect_pair(l.s, addr, &c, &s));
  ASSERT_TRUE(tb_socket_ctrl(c.s, TB_SOCKET_CTRL_SET_SEND_BUFF_SIZE, 4096));
  std::vector<uint8_t> chunk(65536, 0x5a);
  long r = 1;
  size_t total = 0;
  for (int i = 0; i < 10000 && r > 0; ++i) {
    r = tb_socket_send(c.s, chunk.data(), chunk.size());
    if (r > 0) total += static_cast<size_t>(r);
  }
  EXPECT_EQ(r, 0) << "a full send buffer must not block or fail";
  EXPECT_GT(total, 0u);
  EXPECT_EQ(tb_socket_wait(c.s, TB_SOCKET_EVENT_SEND, 0), 0);
}

TEST_F(SocketTest, RefusedConnectionIsAnError) {
  // Take a free port and close it again, so nobody listens there.
  tb_ipaddr_t addr;
  {
    Sock l(listener(&addr));
    ASSERT_NE(l.s, nullptr);
  }
  Sock c(tb_socket_init(TB_SOCKET_TYPE_TCP, TB_IPADDR_FAMILY_IPV4));
  ASSERT_NE(c.s, nullptr);
  long r = tb_socket_connect(c.s, &addr);
  if (r == 0) {
    errno = 0;
    EXPECT_EQ(tb_socket_wait(c.s, TB_SOCKET_EVENT_CONN, 5000), -1);
    EXPECT_EQ(errno, ECONNREFUSED) << "the pending error must reach errno";
  } else {
    EXPECT_EQ(r, -1);
  }
}

TEST_F(SocketTest, Ipv6Loopback) {
  tb_ipaddr_t addr;
  Sock l(listener(&addr, TB_IPADDR_FAMILY_IPV6));
  if (!l.s) GTEST_SKIP() << "no IPv6 loopback on this host";
  EXPECT_EQ(addr.family, TB_IPADDR_FAMILY_IPV6);
  Sock c, s;
  ASSERT_NO_FATAL_FAILURE(connect_pair(l.s, addr, &c, &s));
  const uint8_t b[] = {1, 2, 3};
  ASSERT_EQ(tb_socket_send(c.s, b, 3), 3);
  EXPECT_EQ(recv_all(s.s, 3), std::vector<uint8_t>({1, 2, 3}));
}

TEST_F(SocketTest, ControlCodes) {
  Sock t(tb_socket_init(TB_SOCKET_TYPE_TCP, TB_IPADDR_FAMILY_IPV4));
  ASSERT_NE(t.s, nullptr);
  int v = -1;
  ASSERT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_SET_RECV_BUFF_SIZE, 65536));
  ASSERT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &v));
  EXPECT_GE(v, 65536);  // the kernel doubles what it is given
  ASSERT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_GET_SEND_BUFF_SIZE, &v));
  EXPECT_GT(v, 0);
  ASSERT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_SET_TCP_NODELAY, 1));
  ASSERT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_GET_TCP_NODELAY, &v));
  EXPECT_NE(v, 0);
  ASSERT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_SET_TCP_NODELAY, 0));
  ASSERT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_GET_TCP_NODELAY, &v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_GET_BLOCK, &v));
  EXPECT_FALSE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_GET_TCP_NODELAY, static_cast<int*>(nullptr)));
  EXPECT_FALSE(tb_socket_ctrl(t.s, 99, 0));
  EXPECT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_SET_BLOCK, 1));
  EXPECT_TRUE(tb_socket_ctrl(t.s, TB_SOCKET_CTRL_SET_BLOCK, 0));

  // A GET on a UDP socket for a TCP option fails and stores 0.
  Sock u(tb_socket_init(TB_SOCKET_TYPE_UDP, TB_IPADDR_FAMILY_IPV4));
  ASSERT_NE(u.s, nullptr);
  v = 5;
  EXPECT_FALSE(tb_socket_ctrl(u.s, TB_SOCKET_CTRL_GET_TCP_NODELAY, &v));
  EXPECT_EQ(v, 0);
}

TEST_F(SocketTest, NullHandlesAndBadArguments) {
  uint8_t b[4];
  tb_ipaddr_t a = loopback(1);
  EXPECT_EQ(tb_socket_init(0x401, 1), nullptr);
  EXPECT_EQ(tb_socket_init(0x104, 1), nullptr);
  EXPECT_EQ(tb_socket_connect(nullptr, &a), -1);
  EXPECT_EQ(tb_socket_recv(nullptr, b, 4), -1);
  EXPECT_EQ(tb_socket_send(nullptr, b, 4), -1);
  EXPECT_EQ(tb_socket_wait(nullptr, TB_SOCKET_EVENT_RECV, 0), -1);
  EXPECT_FALSE(tb_socket_bind(nullptr, &a));
  EXPECT_FALSE(tb_socket_listen(nullptr, 1));
  EXPECT_EQ(tb_socket_accept(nullptr, nullptr), nullptr);
  EXPECT_FALSE(tb_socket_exit(nullptr));
  EXPECT_FALSE(tb_socket_ctrl(nullptr, TB_SOCKET_CTRL_SET_TCP_NODELAY, 1));
  EXPECT_EQ(tb_socket_fd(nullptr), -1);

  Sock t(tb_socket_init(TB_SOCKET_TYPE_TCP, TB_IPADDR_FAMILY_IPV4));
  ASSERT_NE(t.s, nullptr);
  EXPECT_GE(tb_socket_fd(t.s), 0);
  EXPECT_EQ(tb_socket_recv(t.s, nullptr, 4), -1);
  tb_ipaddr_t none;
  tb_ipaddr_clear(&none);
  EXPECT_EQ(tb_socket_connect(t.s, &none), -1);  // no address part
}

}  // namespace
