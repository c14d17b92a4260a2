// Connecting, logging in, agreeing the codec and the krp driver, against a
// scripted peer that plays the daemon's side of the exchanges.
#include <algorithm>

#include "client_fixture.h"
#include "tb_file.h"

using namespace clienttest;
using testpeer::LogCapture;
using testpeer::Peer;

namespace {

class ConnectTest : public ClientTest {
 protected:
  static void SetUpTestSuite() {
    tb_init(nullptr, nullptr, 0, 0);
    ASSERT_EQ(krsd_cli_lib_init(), 0);
  }
};

// Plays login and codec agreement; records both requests.
void handshake(int fd, Request* login, Request* ioctl, int32_t login_errno = 0) {
  *login = read_request(fd);
  if (login_errno) {
    testpeer::write_all(fd, answer<krp::init::answer>(login_errno, "login refused", 0));
    return;
  }
  testpeer::write_all(fd, answer<krp::init::answer>(0, "", KRSD_OS_TYPE_POSIX));
  *ioctl = read_request(fd);
  testpeer::write_all(fd, ok_frame());
}

TEST_F(ConnectTest, SecondLibraryStartFindsSlotTaken) { EXPECT_EQ(krsd_cli_lib_init(), -1); }

TEST_F(ConnectTest, EmptyOptionsUseDefaults) {
  LogCapture log;
  Peer peer;
  Request login, ioctl;
  peer.serve([&](int fd) { handshake(fd, &login, &ioctl); });
  krsd_cli_opts opts{};
  krsd_client* ctx = krsd_cli_connect("127.0.0.1", peer.port(), &opts);
  ASSERT_NE(ctx, nullptr) << log.all();
  ctx_ = ctx;
  peer.join();
  EXPECT_EQ(peek(ctx).read_timeout_ms, 30000);
  EXPECT_EQ(peek(ctx).block_size, 262144);
  EXPECT_EQ(peek(ctx).os_type, 2);
  EXPECT_STREQ(peek(ctx).pack, "lz4");
  EXPECT_TRUE(peek(ctx).has_codec);
  EXPECT_FALSE(peek(ctx).tls);
  EXPECT_EQ(login.cmd, KRSD_CMD_INIT);
  EXPECT_EQ(login.str("user"), "");
  EXPECT_EQ(login.str("passwd"), "");
  EXPECT_EQ(ioctl.cmd, KRSD_CMD_IOCTL);
  EXPECT_EQ(ioctl.num("fd"), 0);
  EXPECT_EQ(ioctl.num("cmd"), KRSD_IOCTL_PACK);
  EXPECT_EQ(ioctl.num("len"), 4);
  EXPECT_EQ(*ioctl.get("data"), (Bytes{'l', 'z', '4', 0}));
  std::string port = std::to_string(peer.port());
  EXPECT_TRUE(log.has("ip=127.0.0.1 port=" + port + " user=[] passwd=[] block_size=262144\n")) << log.all();
  EXPECT_TRUE(log.has("connect_timeout=3000 read_timeout=30000\n"));
  EXPECT_TRUE(log.has("bssl=0 cipher=\n"));
  EXPECT_TRUE(log.has("pack=lz4\n"));
}

TEST_F(ConnectTest, OptionTextsAreParsed) {
  for (auto [ct, want] : {std::pair<const char*, int>{"7", 7000}, {"0", 3000}, {"-5", 3000}}) {
    LogCapture log;
    Peer peer;
    Request login, ioctl;
    peer.serve([&](int fd) { handshake(fd, &login, &ioctl); });
    krsd_cli_opts opts{};
    snprintf(opts.connect_timeout, sizeof(opts.connect_timeout), "%s", ct);
    snprintf(opts.read_timeout, sizeof(opts.read_timeout), "2");
    snprintf(opts.bs, sizeof(opts.bs), "64k");
    snprintf(opts.pack, sizeof(opts.pack), "none");
    snprintf(opts.user, sizeof(opts.user), "root");
    krsd_client* ctx = krsd_cli_connect("127.0.0.1", peer.port(), &opts);
    ASSERT_NE(ctx, nullptr) << log.all();
    peer.join();
    EXPECT_TRUE(log.has("connect_timeout=" + std::to_string(want) + " read_timeout=2000\n")) << log.all();
    EXPECT_EQ(peek(ctx).block_size, 65536);
    EXPECT_STREQ(peek(ctx).pack, "none");
    EXPECT_EQ(login.str("user"), "root");
    EXPECT_EQ(*ioctl.get("data"), (Bytes{'n', 'o', 'n', 'e', 0}));
    krsd_cli_free(ctx);
  }
}

TEST_F(ConnectTest, RefusedLoginAndUnknownCodecFail) {
  {
    LogCapture log;
    Peer peer;
    Request login, ioctl;
    peer.serve([&](int fd) { handshake(fd, &login, &ioctl, 13); });
    krsd_cli_opts opts{};
    EXPECT_EQ(krsd_cli_connect("127.0.0.1", peer.port(), &opts), nullptr);
    EXPECT_TRUE(log.has("cli_init ret=4\n")) << log.all();
    EXPECT_TRUE(log.has("login refused\n"));
  }
  {
    LogCapture log;
    Peer peer;
    Request login, ioctl;
    peer.serve([&](int fd) { handshake(fd, &login, &ioctl); });
    krsd_cli_opts opts{};
    snprintf(opts.pack, sizeof(opts.pack), "LZ4");
    EXPECT_EQ(krsd_cli_connect("127.0.0.1", peer.port(), &opts), nullptr);
    EXPECT_TRUE(log.has("krsd_cli_ioctl KRSD_IOCTL_PACK LZ4 error=-1\n")) << log.all();
  }
}

TEST_F(ConnectTest, DriverOpensReadsSizesAndCloses) {
  LogCapture log;
  Peer peer;
  Request login, ioctl, open;
  std::vector<int> cmds;
  std::vector<int64_t> fds;
  peer.serve([&](int fd) {
    handshake(fd, &login, &ioctl);
    open = read_request(fd);
    testpeer::write_all(fd, answer<krp::open::answer>(0, "", 3));
    for (;;) {
      Request r = read_request(fd);
      if (r.cmd < 0) break;
      cmds.push_back(r.cmd);
      if (r.cmd != KRSD_CMD_EXIT) fds.push_back(r.num("fd"));
      if (r.cmd == KRSD_CMD_FINFO)
        testpeer::write_all(fd, answer<krp::finfo::answer>(0, "", 2, 8192, 512, 4096, "disk"));
      else if (r.cmd == KRSD_CMD_READ)
        testpeer::write_all(fd, answer<krp::read::answer>(6, "Device not configured", 0, 0, krp::bytes{nullptr, 0}));
      else if (r.cmd == KRSD_CMD_CLOSE)
        testpeer::write_all(fd, ok_frame());
      else if (r.cmd == KRSD_CMD_EXIT)
        break;
    }
  });
  std::string url = "krp://127.0.0.1:" + std::to_string(peer.port()) + "/dev/rdisk0s1s2?USER=root&pack=none";
  tb_file_ref_t f = tb_file_init(url.c_str(), FILE_MODE_READ);
  ASSERT_NE(f, nullptr) << log.all();
  EXPECT_EQ(tb_file_size(f), 8192);
  EXPECT_EQ(tb_file_offset(f), 512);
  tb_file_devinfo dev{};
  EXPECT_EQ(tb_file_ctrl(f, TB_FILE_CTRL_DEVINFO, &dev, sizeof(dev)), 1);
  EXPECT_EQ(dev.size, 8192);
  EXPECT_EQ(dev.sector_bytes, 4096);
  uint8_t buf[16];
  EXPECT_EQ(tb_file_read(f, buf, sizeof(buf)), -1);
  int32_t cls = -1;
  EXPECT_EQ(tb_file_ctrl(f, TB_FILE_CTRL_IOERR, &cls, sizeof(cls)), 1);
  EXPECT_EQ(cls, IOERR_GONE);
  EXPECT_EQ(tb_file_pread(f, buf, 1, 0), -1);  // absent operation
  EXPECT_NE(tb_file_close(f), 0);
  peer.join();
  EXPECT_EQ(login.str("user"), "root");
  EXPECT_EQ(*ioctl.get("data"), (Bytes{'n', 'o', 'n', 'e', 0}));
  EXPECT_EQ(open.str("path"), "/dev/rdisk0s1s2");
  EXPECT_EQ(open.num("mode"), 1);
  // The first file information went out with the open, for the handle a
  // session's first open gets from krsd; with this peer's handle it is asked
  // again.
  EXPECT_EQ(cmds, (std::vector<int>{KRSD_CMD_FINFO, KRSD_CMD_FINFO, KRSD_CMD_FINFO, KRSD_CMD_FINFO,
                                    KRSD_CMD_READ, KRSD_CMD_CLOSE, KRSD_CMD_EXIT}));
  EXPECT_EQ(fds.front(), 1);
  EXPECT_EQ(std::count(fds.begin(), fds.end(), 3), 5);
}

TEST_F(ConnectTest, DriverOpenFailuresReturnNone) {
  LogCapture log;
  Peer peer;
  Request login, ioctl;
  bool exited = false;
  peer.serve([&](int fd) {
    handshake(fd, &login, &ioctl);
    read_request(fd);
    testpeer::write_all(fd, answer<krp::open::answer>(2, "No such file or directory", 0));
    // The file information sent behind the open comes first.
    for (int cmd = 0; cmd >= 0 && !exited;) exited = (cmd = read_request(fd).cmd) == KRSD_CMD_EXIT;
  });
  std::string url = "krp://127.0.0.1:" + std::to_string(peer.port()) + "/nope";
  EXPECT_EQ(tb_file_init(url.c_str(), FILE_MODE_READ), nullptr);
  peer.join();
  EXPECT_TRUE(exited);
  EXPECT_TRUE(log.has("errno=2 [No such file or directory]\n"));
}

}  // namespace
