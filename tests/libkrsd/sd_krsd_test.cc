// The client against the project's own daemon krsd on loopback: plain and
// TLS sessions, both codecs, the 10 MiB split, writes; and TLS set-up
// against peers that stall or talk nonsense.
#include <random>

#include "client_fixture.h"
#include "krsd_test_util.h"
#include "tb_file.h"
#include "tls_suites.h"

using namespace clienttest;
using testpeer::LogCapture;
using testpeer::Peer;

namespace {

Bytes sample(size_t n) {
  Bytes v(n);
  std::mt19937 rng(7);
  for (size_t i = 0; i < n; i++) v[i] = (i / 65536) % 2 ? uint8_t(rng()) : uint8_t(i % 13 == 0 ? i : 0);
  return v;
}

class KrsdTest : public ClientTest {
 protected:
  static void SetUpTestSuite() {
    tb_init(nullptr, nullptr, 0, 0);
    ASSERT_EQ(krsd_cli_lib_init(), 0);
  }
};

// Reads the whole remote file through the file layer: once in engine-sized
// blocks, once as one large read that the session splits.
void read_back(const std::string& url, const Bytes& want) {
  tb_file_ref_t f = tb_file_init(url.c_str(), FILE_MODE_READ);
  ASSERT_NE(f, nullptr) << url;
  EXPECT_EQ(tb_file_size(f), int64_t(want.size()));
  Bytes got;
  Bytes block(102400);
  for (;;) {
    long n = tb_file_read(f, block.data(), block.size());
    ASSERT_GE(n, 0);
    if (n == 0) break;
    got.insert(got.end(), block.begin(), block.begin() + n);
  }
  EXPECT_TRUE(got == want) << url;
  ASSERT_EQ(tb_file_seek(f, 0, 0), 0);
  Bytes all(want.size() + 4096);
  EXPECT_EQ(tb_file_read(f, all.data(), all.size()), long(want.size()));
  all.resize(want.size());
  EXPECT_TRUE(all == want) << url;
  EXPECT_NE(tb_file_close(f), 0);
}

TEST_F(KrsdTest, PlainAndTlsReadsMatchSource) {
  Bytes data = sample(12 * 1024 * 1024 + 777);
  krsd_test::Daemon d;
  ASSERT_TRUE(d.start({}));
  ASSERT_GT(d.port, 0);
  ASSERT_GT(d.tls_port, 0);
  kit::TempDir dir;
  kit::write_file(dir.file("img"), data);
  // krsd serves the mapped file for the requested device path.
  krsd_test::Daemon m;
  ASSERT_TRUE(m.start({"--map", "/dev/rdisk0s1s2=" + dir.file("img")}));
  ASSERT_GT(m.port, 0);
  std::string host = "127.0.0.1:";
  read_back("krp://" + host + std::to_string(m.port) + "/dev/rdisk0s1s2", data);
  read_back("krp://" + host + std::to_string(m.port) + "/dev/rdisk0s1s2?pack=none", data);
  read_back("krps://" + host + std::to_string(m.tls_port) + "/dev/rdisk0s1s2", data);
}

TEST_F(KrsdTest, WriteSeekTruncateOverTls) {
  kit::TempDir dir;
  kit::write_file(dir.file("w"), Bytes(10, 0));
  krsd_test::Daemon m;
  ASSERT_TRUE(m.start({"--map", "/w=" + dir.file("w"), "--read-write"}));
  ASSERT_GT(m.tls_port, 0);
  krsd_cli_opts opts{};
  opts.bssl = 1;
  krsd_client* ctx = krsd_cli_connect("127.0.0.1", m.tls_port, &opts);
  ASSERT_NE(ctx, nullptr);
  ctx_ = ctx;
  // The suite agreed, for an empty text: this processor's fastest.
  EXPECT_STREQ(opts.cipher, sd_tls_cpu_has_aes() ? "ECDHE-ECDSA-AES128-GCM-SHA256" : "ECDHE-ECDSA-CHACHA20-POLY1305");
  ASSERT_EQ(krsd_cli_open(ctx, "/w", FILE_MODE_READWRITE), 0);
  Bytes data = sample(11 * 1024 * 1024);
  EXPECT_EQ(krsd_cli_write(ctx, data.data(), data.size()), long(data.size()));
  EXPECT_EQ(krsd_cli_seek(ctx, 0, 0), 0);
  Bytes back(data.size());
  EXPECT_EQ(krsd_cli_read(ctx, back.data(), back.size()), long(back.size()));
  EXPECT_TRUE(back == data);
  EXPECT_EQ(krsd_cli_truncate(ctx, 100), 0);
  krsd_file_info info{};
  ASSERT_EQ(krsd_cli_ioctl(ctx, KRSD_IOCTL_FINFO, &info, sizeof(info)), 0);
  EXPECT_EQ(info.size, 100);
  EXPECT_EQ(krsd_cli_close(ctx), 0);
  EXPECT_EQ(krsd_cli_exit(ctx), KRSD_OK);
  ctx_ = nullptr;
}

TEST_F(KrsdTest, TlsHandshakeWithSilentOrGarbledPeerEnds) {
  for (bool garbage : {false, true}) {
    LogCapture log;
    Peer peer;
    std::atomic<bool> done{false};
    peer.serve([&](int fd) {
      testpeer::read_n(fd, 5, 2000);  // the start of the client hello
      if (garbage) testpeer::write_all(fd, Bytes(64, 'x'));
      while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    krsd_cli_opts opts{};
    opts.bssl = 1;
    snprintf(opts.read_timeout, sizeof(opts.read_timeout), "1");
    EXPECT_EQ(krsd_cli_connect("127.0.0.1", peer.port(), &opts), nullptr);
    EXPECT_TRUE(log.has("ssl_ret=")) << log.all();
    done = true;
  }
}

// A daemon that stops answering inside TLS: the read ends after the read
// time-out as a time-out or short response, not as a socket error, and the
// TLS layer does not wait again.
TEST_F(KrsdTest, StalledTlsDaemonHitsReadTimeout) {
  kit::TempDir dir;
  kit::write_file(dir.file("img"), sample(1 << 20));
  krsd_test::Daemon m;
  ASSERT_TRUE(m.start({"--map", "/img=" + dir.file("img"), "--stall-after", "1000:4000"}));
  ASSERT_GT(m.tls_port, 0);
  krsd_cli_opts opts{};
  opts.bssl = 1;
  snprintf(opts.read_timeout, sizeof(opts.read_timeout), "1");
  snprintf(opts.pack, sizeof(opts.pack), "none");
  krsd_client* ctx = krsd_cli_connect("127.0.0.1", m.tls_port, &opts);
  ASSERT_NE(ctx, nullptr);
  ctx_ = ctx;
  ASSERT_EQ(krsd_cli_open(ctx, "/img", FILE_MODE_READ), 0);
  Bytes buf(1 << 20);
  EXPECT_EQ(krsd_cli_read(ctx, buf.data(), buf.size()), -1);
  const int ret = peek(ctx).last_ret;
  EXPECT_TRUE(ret == KRSD_ERR_TIMEOUT || ret == KRSD_ERR_DATA) << ret;
}

}  // namespace
