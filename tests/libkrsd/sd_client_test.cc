#include <lz4.h>

#include "client_fixture.h"
#include "tb_file.h"

using namespace clienttest;
using testpeer::LogCapture;
using testpeer::Peer;

namespace {

using OpsTest = ClientTest;

Bytes lz4_block(const Bytes& plain) {
  Bytes out(size_t(LZ4_compressBound(int(plain.size()))));
  int n = LZ4_compress_default(reinterpret_cast<const char*>(plain.data()), reinterpret_cast<char*>(out.data()),
                               int(plain.size()), int(out.size()));
  out.resize(size_t(n));
  return out;
}

// "len" is the plain length of the data, as the daemon sends it.
Bytes read_reply(Bytes data, int32_t plain = -1) {
  if (plain < 0) plain = int32_t(data.size());
  return answer<krp::read::answer>(0, "", plain, 0, krp::bytes{data.data(), data.size()});
}

TEST_F(OpsTest, ReadUnpacksLz4WithinCapacity) {
  Peer peer;
  Request req;
  Bytes block = lz4_block(Bytes(4096, 0));
  peer.serve([&](int fd) {
    req = read_request(fd);
    testpeer::write_all(fd, read_reply(block, 4096));
    read_request(fd);
    testpeer::write_all(fd, read_reply(block, 4096));
  });
  krsd_client* ctx = attach(peer, 5000, "lz4");
  krsd_testing::set_fd(ctx, 7);
  Bytes buf(4096, 0xEE);
  int n = -1;
  ASSERT_EQ(cli_read(ctx, buf.data(), 4096, &n), KRSD_OK);
  EXPECT_EQ(n, 4096);
  EXPECT_EQ(buf, Bytes(4096, 0));
  EXPECT_EQ(req.cmd, KRSD_CMD_READ);
  EXPECT_EQ(req.num("fd"), 7);
  EXPECT_EQ(req.num("len"), 4096);
  EXPECT_EQ(req.types, (std::vector<int>{BLOBMSG_TYPE_INT64, BLOBMSG_TYPE_INT32}));
  // The same block against a request for 1000 bytes does not fit.
  LogCapture log;
  auto small = std::make_unique<uint8_t[]>(1000);
  EXPECT_EQ(cli_read(ctx, small.get(), 1000, &n), KRSD_ERR_PACK);
  EXPECT_TRUE(log.has("sdcomp_unpack pack_len=" + std::to_string(block.size()) + " buf_len=1000 ret=-1\n"))
      << log.all();
}

TEST_F(OpsTest, ReadWithNoneAndMalformedReplies) {
  Peer peer;
  peer.serve([&](int fd) {
    read_request(fd);
    testpeer::write_all(fd, read_reply(Bytes{1, 2, 3}));
    read_request(fd);
    testpeer::write_all(fd, read_reply(Bytes(9, 1)));  // more than asked
    read_request(fd);
    testpeer::write_all(fd, ok_frame({i32("len", 3), bin("data", {1, 2, 3})}));  // no "flags"
    read_request(fd);
    testpeer::write_all(fd, answer<krp::read::answer>(5, "bad block", 0, 0, krp::bytes{nullptr, 0}));
  });
  krsd_client* ctx = attach(peer);
  uint8_t buf[8];
  int n = -1;
  ASSERT_EQ(cli_read(ctx, buf, 8, &n), KRSD_OK);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(cli_read(ctx, buf, 8, &n), KRSD_ERR_PACK);
  LogCapture log;
  EXPECT_EQ(cli_read(ctx, buf, 8, &n), KRSD_ERR_DATA);
  EXPECT_TRUE(log.has("parse data error\n"));
  EXPECT_EQ(cli_read(ctx, buf, 8, &n), KRSD_ERR_REMOTE);
  EXPECT_EQ(peek(ctx).last_error, 5);
  int32_t cls = -1;
  ASSERT_EQ(krsd_cli_ioctl(ctx, KRSD_IOCTL_IOERR, &cls, 4), 0);
  EXPECT_EQ(cls, IOERR_DATA);
}

TEST_F(OpsTest, SessionReadSplitsAt10MiBAndStopsAtShortChunk) {
  Peer peer;
  std::vector<int64_t> asked;
  const size_t kMiB = 1 << 20;
  peer.serve([&](int fd) {
    for (int i = 0; i < 2; i++) {
      Request r = read_request(fd);
      asked.push_back(r.num("len"));
      size_t give = i == 0 ? size_t(r.num("len")) : kMiB;
      testpeer::write_all(fd, read_reply(Bytes(give, uint8_t(0x10 + i))));
    }
  });
  krsd_client* ctx = attach(peer);
  std::vector<uint8_t> buf(25 * kMiB);
  EXPECT_EQ(krsd_cli_read(ctx, buf.data(), buf.size()), long(11 * kMiB));
  peer.join();
  EXPECT_EQ(asked, (std::vector<int64_t>{10 * (1 << 20), 10 * (1 << 20)}));
  EXPECT_EQ(buf[10 * kMiB - 1], 0x10);
  EXPECT_EQ(buf[10 * kMiB], 0x11);
  EXPECT_EQ(peek(ctx).last_ret, KRSD_OK);
}

TEST_F(OpsTest, SessionReadOfZeroStillAsksAndFailureSetsText) {
  Peer peer;
  int64_t asked = -1;
  std::atomic<bool> done{false};
  peer.serve([&](int fd) {
    asked = read_request(fd).num("len");
    testpeer::write_all(fd, read_reply({}));
    read_request(fd);  // then silence, connection kept open
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  krsd_client* ctx = attach(peer, 300);
  uint8_t b[4];
  EXPECT_EQ(krsd_cli_read(ctx, b, 0), 0);
  EXPECT_EQ(krsd_cli_read(ctx, b, 4), -1);
  EXPECT_EQ(peek(ctx).last_ret, KRSD_ERR_TIMEOUT);
  EXPECT_STREQ(peek(ctx).last_error_str, "read data timeout error");
  done = true;
  peer.join();
  EXPECT_EQ(asked, 0);
}

TEST_F(OpsTest, WritePacksIntoReservedDataAndChecksCount) {
  Peer peer;
  Request req;
  Bytes plain(70000);
  for (size_t i = 0; i < plain.size(); i++) plain[i] = uint8_t(i % 251 < 100 ? 0 : i);
  peer.serve([&](int fd) {
    req = read_request(fd);
    testpeer::write_all(fd, answer<krp::write::answer>(0, "", plain.size()));
    read_request(fd);
    testpeer::write_all(fd, answer<krp::write::answer>(0, "", plain.size() + 1));  // claims too much
  });
  krsd_client* ctx = attach(peer, 5000, "lz4");
  int n = -1;
  ASSERT_EQ(cli_write(ctx, plain.data(), int(plain.size()), &n), KRSD_OK);
  EXPECT_EQ(n, int(plain.size()));
  EXPECT_EQ(req.cmd, KRSD_CMD_WRITE);
  EXPECT_EQ(req.num("flags"), 0);
  EXPECT_EQ(req.num("len"), int64_t(plain.size()));
  const Bytes* data = req.get("data");
  ASSERT_NE(data, nullptr);
  EXPECT_LT(data->size(), plain.size());
  Bytes back(plain.size());
  EXPECT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(data->data()), reinterpret_cast<char*>(back.data()),
                                int(data->size()), int(back.size())),
            int(plain.size()));
  EXPECT_EQ(back, plain);
  EXPECT_EQ(cli_write(ctx, plain.data(), int(plain.size()), &n), KRSD_ERR_DATA);
}

TEST_F(OpsTest, OpenSeekTruncateInfoIoctlRequests) {
  Peer peer;
  std::vector<Request> reqs;
  peer.serve([&](int fd) {
    reqs.push_back(read_request(fd));  // open
    testpeer::write_all(fd, answer<krp::open::answer>(0, "", 0x100000001));
    reqs.push_back(read_request(fd));  // seek
    testpeer::write_all(fd, answer<krp::seek::answer>(0, "", 1 << 20));
    reqs.push_back(read_request(fd));  // truncate
    testpeer::write_all(fd, answer<krp::truncate::answer>(0, "", 1));
    reqs.push_back(read_request(fd));  // the seek by 0 after it
    testpeer::write_all(fd, answer<krp::seek::answer>(0, "", -1));
    reqs.push_back(read_request(fd));  // file info
    testpeer::write_all(fd, answer<krp::finfo::answer>(0, "", 2, 1000, 24, 512, std::string(200, 'i')));
    reqs.push_back(read_request(fd));  // unknown ioctl, accepted by the daemon
    testpeer::write_all(fd, ok_frame());
    reqs.push_back(read_request(fd));  // sync
    testpeer::write_all(fd, ok_frame());  // lacks "fd"
  });
  krsd_client* ctx = attach(peer);
  ASSERT_EQ(krsd_cli_open(ctx, "/dev/\xE7\xA3\x81\xE7\x9B\x98", FILE_MODE_READ), 0);
  EXPECT_EQ(peek(ctx).fd, 0x100000001);
  EXPECT_EQ(krsd_cli_seek(ctx, 1 << 20, 0), 1 << 20);
  EXPECT_EQ(krsd_cli_truncate(ctx, 5), -1);  // position -1 after it
  krsd_file_info info{};
  ASSERT_EQ(krsd_cli_ioctl(ctx, KRSD_IOCTL_FINFO, &info, sizeof(info)), 0);
  EXPECT_EQ(info.type, 2);
  EXPECT_EQ(info.size, 1000);
  EXPECT_EQ(info.offset, 24);
  EXPECT_EQ(info.sector_bytes, 512);
  EXPECT_EQ(strlen(info.info), 127u);
  LogCapture log;
  uint8_t arg[3] = {1, 2, 3};
  EXPECT_EQ(krsd_cli_ioctl(ctx, 77, arg, 3), -1);
  EXPECT_TRUE(log.has("cmd=77 error: unsupported command\n"));
  EXPECT_EQ(peek(ctx).last_ret, 1);
  EXPECT_EQ(krsd_cli_sync(ctx), -1);
  EXPECT_EQ(peek(ctx).last_ret, KRSD_ERR_DATA);
  peer.join();
  ASSERT_EQ(reqs.size(), 7u);
  EXPECT_EQ(reqs[0].cmd, KRSD_CMD_OPEN);
  EXPECT_EQ(reqs[0].str("path"), "/dev/\xE7\xA3\x81\xE7\x9B\x98");
  EXPECT_EQ(reqs[0].num("mode"), 1);
  EXPECT_EQ(reqs[0].types, (std::vector<int>{BLOBMSG_TYPE_STRING, BLOBMSG_TYPE_INT64}));
  EXPECT_EQ(reqs[1].num("fd"), 0x100000001);
  EXPECT_EQ(reqs[1].num("offset"), 1 << 20);
  EXPECT_EQ(reqs[1].num("mode"), 0);
  EXPECT_EQ(reqs[2].cmd, KRSD_CMD_TRUNCATE);
  EXPECT_EQ(reqs[2].num("len"), 5);
  EXPECT_EQ(reqs[3].cmd, KRSD_CMD_SEEK);
  EXPECT_EQ(reqs[3].num("mode"), 1);
  EXPECT_EQ(reqs[4].cmd, KRSD_CMD_FINFO);
  EXPECT_EQ(reqs[5].cmd, KRSD_CMD_IOCTL);
  EXPECT_EQ(reqs[5].num("cmd"), 77);
  EXPECT_EQ(reqs[5].num("len"), 3);
  EXPECT_EQ(*reqs[5].get("data"), (Bytes{1, 2, 3}));
  EXPECT_EQ(reqs[6].cmd, KRSD_CMD_SYNC);
}

TEST_F(OpsTest, OverlongPathFailsWithoutRequest) {
  net_conn none{};
  (void)none;
  krsd_client* ctx = krsd_cli_attach(nullptr, 100);
  ctx_ = ctx;
  std::string path(5000, 'a');
  EXPECT_EQ(krsd_cli_open(ctx, path.c_str(), 1), -1);
  EXPECT_EQ(peek(ctx).last_ret, KRSD_ERR_SYS);
}

// The pieces of a read in pieces go out as the seeks and reads of one piece
// at a time, byte for byte; a piece the daemon could not be positioned for
// ends the outcomes there (its read came from elsewhere), and the position
// is the daemon's.
TEST_F(OpsTest, PiecesStopWhereTheDaemonCouldNotBePositioned) {
  Peer peer;
  std::vector<Request> got;
  auto seek_reply = [](int32_t err, int64_t at) {
    return answer<krp::seek::answer>(err, err ? "Invalid argument" : "", at);
  };
  peer.serve([&](int fd) {
    const Bytes answers[] = {seek_reply(0, 0),    read_reply(Bytes(512, 1)), seek_reply(22, 0),
                             read_reply(Bytes(512, 2)), seek_reply(0, 1024), read_reply(Bytes(100, 3)),
                             seek_reply(0, 1124), seek_reply(0, 512),      read_reply(Bytes(512, 4))};
    for (const Bytes& a : answers) {
      got.push_back(read_request(fd));
      testpeer::write_all(fd, a);
    }
  });
  krsd_client* ctx = attach(peer);
  krsd_testing::set_fd(ctx, 3);
  Bytes buf(1124, 0xEE);
  tb_file_piece out[3] = {};
  tb_file_pieces p{buf.data(), 0, 1124, 512, out, 3, 0, 0, -5};
  ASSERT_TRUE(krsd_cli_read_pieces(ctx, &p));
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.done, 1);
  EXPECT_EQ(out[0].result, 512);
  EXPECT_EQ(out[0].ioerr, IOERR_NONE);
  EXPECT_EQ(p.position, 1124);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 512), Bytes(512, 1));
  EXPECT_EQ(Bytes(buf.begin() + 512, buf.begin() + 1024), Bytes(512, 0xEE)) << "bytes of another place";
  int64_t pos = -1;
  int n = 0;
  ASSERT_EQ(cli_seek(ctx, 512, 0, &pos), KRSD_OK);
  ASSERT_EQ(cli_read(ctx, buf.data(), 512, &n), KRSD_OK);
  peer.join();
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[2].raw, got[7].raw);  // the seek to 512
  EXPECT_EQ(got[3].raw, got[8].raw);  // the read of 512
  EXPECT_EQ(got[6].cmd, KRSD_CMD_SEEK);
  EXPECT_EQ(got[6].num("offset"), 1124);
}

// What the krp driver tells of the last failure of a session: the daemon's
// errno text with its control characters as visible escapes (no real daemon
// sends such a text), or the transport's own words; empty after a success.
TEST_F(OpsTest, LastFailureTextNamesTheCause) {
  Peer peer;
  const Bytes half = read_reply(Bytes(4000, 7));
  peer.serve([&](int fd) {
    read_request(fd);
    testpeer::write_all(fd, answer<krp::read::answer>(5, "bad\x1b[2J\r\nblock\xc2\x9b\xff caf\xc3\xa9", 0, 0,
                                                      krp::bytes{nullptr, 0}));
    read_request(fd);
    testpeer::write_all(fd, answer<krp::read::answer>(5, "", 0, 0, krp::bytes{nullptr, 0}));
    read_request(fd);
    testpeer::write_all(fd, read_reply({1, 2}));
    read_request(fd);  // never answered
    read_request(fd);
    testpeer::write_all(fd, Bytes(half.begin(), half.begin() + 100));  // then silence
    read_request(fd);  // and the connection closed unanswered
  });
  krsd_client* ctx = attach(peer, 300);
  const tb_file_driver* drv = krsd_file_driver();
  auto failure = [&] {
    char text[200] = "x";
    EXPECT_EQ(drv->ctrl(ctx, TB_FILE_CTRL_LAST_ERROR, text, sizeof text), 1);
    return std::string(text);
  };
  uint8_t b[4000];
  const std::vector<std::string> want = {
      "bad\\x1b[2J\\r\\nblock\\xc2\\x9b\\xff caf\xc3\xa9", "errno 5", "",
      "no answer within the read time-out",
      "the answer did not come whole within the read time-out"};
  for (const std::string& w : want) {
    SCOPED_TRACE(w);
    EXPECT_EQ(krsd_cli_read(ctx, b, w.empty() ? 2 : 4000), w.empty() ? 2 : -1);
    EXPECT_EQ(failure(), w);
  }
  EXPECT_EQ(krsd_cli_read(ctx, b, 4), -1);
  EXPECT_EQ(failure(), "Connection reset by peer");
  peer.join();
  // A positioning tells its failure the same way.
  EXPECT_EQ(krsd_cli_seek(ctx, 0, 0), -1);
  EXPECT_TRUE(failure() == "Broken pipe" || failure() == "Connection reset by peer") << failure();
}

TEST(ErrorClass, WindowsAndPosixTables) {
  EXPECT_EQ(krsd_error_class(2, 0), IOERR_NONE);
  EXPECT_EQ(krsd_error_class(2, 5), IOERR_DATA);
  EXPECT_EQ(krsd_error_class(2, 6), IOERR_GONE);
  EXPECT_EQ(krsd_error_class(2, 2), IOERR_OTHER);
  EXPECT_EQ(krsd_error_class(0, 23), IOERR_OTHER);
  EXPECT_EQ(krsd_error_class(1, 0), IOERR_NONE);
  EXPECT_EQ(krsd_error_class(1, 23), IOERR_DATA);
  EXPECT_EQ(krsd_error_class(1, 2), IOERR_GONE);
  EXPECT_EQ(krsd_error_class(1, 55), IOERR_GONE);
  EXPECT_EQ(krsd_error_class(1, 1117), IOERR_GONE);
  EXPECT_EQ(krsd_error_class(1, 5), IOERR_OTHER);
}

TEST(LastError, TextsByCode) {
  krsd_client* ctx = krsd_cli_attach(nullptr, 100);
  krsd_cli_set_last_error(ctx, KRSD_ERR_DATA);
  EXPECT_STREQ(peek(ctx).last_error_str, "client recv data error");
  krsd_cli_set_last_error(ctx, KRSD_OK);
  EXPECT_STREQ(peek(ctx).last_error_str, "client recv data error");
  EXPECT_EQ(peek(ctx).last_ret, 0);
  krsd_cli_set_last_error(ctx, KRSD_ERR_MEMORY);
  EXPECT_STREQ(peek(ctx).last_error_str, "memory error");
  krsd_cli_set_last_error(ctx, 6);
  EXPECT_STREQ(peek(ctx).last_error_str, "unkown error");
  errno = ECONNRESET;
  krsd_cli_set_last_error(ctx, KRSD_ERR_SYS);
  EXPECT_STREQ(peek(ctx).last_error_str, "Connection reset by peer");
  krsd_cli_free(ctx);
}

TEST(UrlOpt, FindsValuesWithoutCaseAndCuts) {
  char f[64] = "";
  krsd_url_opt_get("user=root&pack=none", "pack=", f, sizeof(f));
  EXPECT_STREQ(f, "none");
  krsd_url_opt_get("user=root&pack=none", "user=", f, sizeof(f));
  EXPECT_STREQ(f, "root");
  char u[64] = "";
  krsd_url_opt_get("USER=Admin", "user=", u, sizeof(u));
  EXPECT_STREQ(u, "Admin");
  char e[16] = "";
  krsd_url_opt_get("user=&bs=1M", "user=", e, sizeof(e));
  EXPECT_STREQ(e, "");
  krsd_url_opt_get("bs=1M", "user=", e, sizeof(e));
  EXPECT_STREQ(e, "");
  // Found inside a longer key as well: "xpack=" holds "pack=".
  char p[16] = "";
  krsd_url_opt_get("xpack=lz4&pack=none", "pack=", p, sizeof(p));
  EXPECT_STREQ(p, "lz4");
  std::string longuser = "user=" + std::string(100, 'u');
  char cut[64] = "";
  krsd_url_opt_get(longuser.c_str(), "user=", cut, sizeof(cut));
  EXPECT_EQ(std::string(cut), std::string(63, 'u'));
}

}  // namespace
