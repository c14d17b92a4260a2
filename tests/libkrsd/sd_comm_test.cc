#include "client_fixture.h"

using namespace clienttest;
using testpeer::LogCapture;
using testpeer::Peer;

namespace {

using FramingTest = ClientTest;

TEST_F(FramingTest, ExitAndCloseRequestsExactBytes) {
  Peer peer;
  Request close_req, exit_req;
  peer.serve([&](int fd) {
    close_req = read_request(fd);
    testpeer::write_all(fd, ok_frame());
    exit_req = read_request(fd);
  });
  krsd_client* ctx = attach(peer);
  krsd_testing::set_fd(ctx, 1);
  EXPECT_EQ(cli_close(ctx), KRSD_OK);
  EXPECT_EQ(krsd_cli_exit(ctx), KRSD_OK);
  ctx_ = nullptr;
  peer.join();
  EXPECT_EQ(close_req.raw, (Bytes{0x4B, 0x52, 0x01, 0x0B, 0x02, 0x00, 0x00, 0x18, 0x85, 0x00,
                                  0x00, 0x14, 0x00, 0x02, 0x66, 0x64, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(exit_req.raw, (Bytes{0x4B, 0x52, 0x01, 0x02, 0x02, 0x00, 0x00, 0x04}));
}

TEST_F(FramingTest, ShortRequestRefused) {
  net_conn c{};
  LogCapture log;
  uint8_t m[3] = {2, 0, 0};
  EXPECT_EQ(send_request(&c, 1, 2, m, 3), KRSD_ERR_DATA);
  EXPECT_TRUE(log.has("reqest len >= 4 [3]\n"));
}

TEST_F(FramingTest, BadMagicEitherByteIsDataError) {
  for (auto magic : {std::pair<uint8_t, uint8_t>{'K', 'X'}, {'X', 'R'}, {'k', 'r'}}) {
    LogCapture log;
    Peer peer;
    peer.serve([&](int fd) {
      read_request(fd);
      Bytes f = ok_frame();
      f[0] = magic.first;
      f[1] = magic.second;
      testpeer::write_all(fd, f);
    });
    krsd_client* ctx = attach(peer);
    EXPECT_EQ(cli_close(ctx), KRSD_ERR_DATA);
    char want[64];
    snprintf(want, sizeof(want), "magic error %02x %02x\n", magic.first, magic.second);
    EXPECT_TRUE(log.has(want)) << log.all();
    peer.join();
    TearDown();
  }
}

TEST_F(FramingTest, NoResponseIsTimeoutShortBodyIsDataError) {
  LogCapture log;
  Peer peer;
  std::atomic<bool> done{false};
  peer.serve([&](int fd) {
    read_request(fd);  // no answer at all
    read_request(fd);
    Bytes f = ok_frame();
    testpeer::write_all(fd, f.data(), f.size() - 4);  // body stops short
    read_request(fd);
    testpeer::write_all(fd, f.data(), 5);  // head cut short
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  krsd_client* ctx = attach(peer, 300);
  EXPECT_EQ(cli_close(ctx), KRSD_ERR_TIMEOUT);
  krsd_cli_set_last_error(ctx, KRSD_ERR_TIMEOUT);
  EXPECT_STREQ(peek(ctx).last_error_str, "read data timeout error");
  EXPECT_EQ(cli_close(ctx), KRSD_ERR_DATA);
  EXPECT_TRUE(log.has("recv_data len=")) << log.all();
  EXPECT_EQ(cli_close(ctx), KRSD_ERR_DATA);
  EXPECT_TRUE(log.has("tb_socket_recv head_data len=5 need=8\n")) << log.all();
  done = true;
}

TEST_F(FramingTest, AbsurdLengthFailsCleanly) {
  Peer peer;
  std::atomic<bool> done{false};
  peer.serve([&](int fd) {
    read_request(fd);
    // Claims the largest message there is and sends a little of it.
    Bytes head = {'K', 'R', 1, 255, 0x02, 0xFF, 0xFF, 0xFF, 0x86, 0, 0, 0x10};
    testpeer::write_all(fd, head);
    read_request(fd, 2000);
    // A root length below 4.
    testpeer::write_all(fd, Bytes{'K', 'R', 1, 255, 0x02, 0x00, 0x00, 0x00});
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  krsd_client* ctx = attach(peer, 300);
  EXPECT_EQ(cli_close(ctx), KRSD_ERR_DATA);
  EXPECT_EQ(cli_close(ctx), KRSD_ERR_DATA);
  done = true;
}

TEST_F(FramingTest, ResponseBufferGrowsOnceAndIsReused) {
  Peer peer;
  peer.serve([&](int fd) {
    read_request(fd);
    testpeer::write_all(fd, ok_frame());
    read_request(fd);
    testpeer::write_all(fd, ok_frame({s("pad", std::string(5000, 'p'))}));
    read_request(fd);
    testpeer::write_all(fd, ok_frame());
  });
  krsd_client* ctx = attach(peer);
  ASSERT_EQ(cli_close(ctx), KRSD_OK);
  size_t small = peek(ctx).resp_cap;
  ASSERT_EQ(cli_close(ctx), KRSD_OK);
  size_t large = peek(ctx).resp_cap;
  const uint8_t* buf = peek(ctx).resp;
  EXPECT_GT(large, small);
  EXPECT_GE(large, 5000u);
  ASSERT_EQ(cli_close(ctx), KRSD_OK);
  EXPECT_EQ(peek(ctx).resp_cap, large);
  EXPECT_EQ(peek(ctx).resp, buf);
}

TEST_F(FramingTest, RemoteErrorKeepsStreamInStep) {
  LogCapture log;
  Peer peer;
  peer.serve([&](int fd) {
    read_request(fd);
    testpeer::write_all(fd, answer<krp::close::answer>(5, "Input/output error"));
    read_request(fd);
    testpeer::write_all(fd, ok_frame());
  });
  krsd_client* ctx = attach(peer);
  EXPECT_EQ(cli_close(ctx), KRSD_ERR_REMOTE);
  EXPECT_EQ(peek(ctx).last_error, 5);
  EXPECT_STREQ(peek(ctx).last_error_str, "Input/output error");
  krsd_cli_set_last_error(ctx, KRSD_ERR_REMOTE);
  EXPECT_TRUE(log.has("errno=5 [Input/output error]\n"));
  EXPECT_EQ(cli_close(ctx), KRSD_OK);
  EXPECT_EQ(peek(ctx).last_error, 0);
}

}  // namespace
