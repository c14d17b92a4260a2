// Streams over real files, a loopback socket, data texts and a recording
// remote driver registered as "krp".
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "kit.h"
#include "stream.h"
#include "tb_file.h"

namespace {

// The remote driver stand-in: a 100000-byte file of 'k' without seek, whose
// reads stop at kBadFrom and fail there with a data error.
struct Remote {
  std::string path;
  int mode = -1;
  int64_t pos = 0;
  int reads = 0;
  size_t largest = 0;
};
Remote g_remote;
constexpr int64_t kRemoteSize = 100000;
constexpr int64_t kBadFrom = 90000;
char g_ctx;

void* remote_open(const char* path, int mode) {
  g_remote = Remote{};
  g_remote.path = path;
  g_remote.mode = mode;
  return &g_ctx;
}
int remote_close(void*) { return 1; }
long remote_read(void*, void* buf, size_t size) {
  ++g_remote.reads;
  g_remote.largest = std::max(g_remote.largest, size);
  if (g_remote.pos >= kBadFrom) {
    errno = EIO;
    return -1;
  }
  int64_t n = std::min<int64_t>(static_cast<int64_t>(size), kBadFrom - g_remote.pos);
  std::memset(buf, 'k', static_cast<size_t>(n));
  g_remote.pos += n;
  return static_cast<long>(n);
}
int64_t remote_size(void*) { return kRemoteSize; }
int remote_ctrl(void*, int code, void* arg, size_t size) {
  if (code != TB_FILE_CTRL_IOERR || size != 4) return 0;
  *static_cast<int32_t*>(arg) = IOERR_DATA;
  return 1;
}

class StreamTest : public kit::TempCwdTest {
 protected:
  static void SetUpTestSuite() {
    static tb_file_driver drv{};
    drv.name = "krp";
    drv.open = remote_open;
    drv.close = remote_close;
    drv.read = remote_read;
    drv.size = remote_size;
    drv.ctrl = remote_ctrl;
    tb_file_register_driver(&drv);
  }
};

TEST_F(StreamTest, FileStreamWritesReadsAndCountsItsOffset) {
  stream_ref_t out = stream_open("krii.img", 42, 2000);  // relative: joins the cwd
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(stream_type(out), STREAM_TYPE_FILE);
  EXPECT_EQ(stream_write(out, "0123456789", 10), 10);
  EXPECT_EQ(stream_write(out, "x", 0), 0);
  EXPECT_EQ(stream_write(out, nullptr, 3), -1);
  EXPECT_EQ(stream_offset(out), 10);
  EXPECT_EQ(stream_size(out), 10);
  EXPECT_EQ(stream_sync(out, 0), 1);
  EXPECT_EQ(stream_wait(out, STREAM_WAIT_WRITE, 0), STREAM_WAIT_WRITE);
  EXPECT_EQ(stream_close(out), 1);
  EXPECT_EQ(kit::read_file(at("krii.img")), "0123456789");

  stream_ref_t in = stream_open(("file://" + at("krii.img")).c_str(), 0, 0);  // default mode 1
  ASSERT_NE(in, nullptr);
  int mode = 0;
  ASSERT_EQ(stream_ctrl(in, STREAM_CTRL_GET_MODE, &mode), 1);
  EXPECT_EQ(mode, FILE_MODE_READ);
  EXPECT_EQ(stream_write(in, "no", 2), -1);
  char buf[16];
  EXPECT_EQ(stream_wait(in, STREAM_WAIT_READ, 1000), STREAM_WAIT_READ);
  EXPECT_EQ(stream_read(in, buf, 4), 4);
  EXPECT_EQ(stream_read(in, buf, 16), 6);
  EXPECT_EQ(stream_offset(in), 10);
  EXPECT_EQ(stream_read(in, buf, 16), 0);  // the end
  EXPECT_EQ(stream_wait(in, STREAM_WAIT_READ, 1000), 0);
  EXPECT_EQ(stream_close(in), 1);
  EXPECT_EQ(stream_close(nullptr), 0);
  EXPECT_EQ(stream_read(nullptr, buf, 1), -1);
}

TEST_F(StreamTest, SeekClampsToTheKnownSize) {
  std::ofstream(at("ten"), std::ios::binary) << "0123456789";
  stream_ref_t s = stream_open(at("ten").c_str(), FILE_MODE_READ, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(stream_seek(s, 4), 1);
  EXPECT_EQ(stream_offset(s), 4);
  char c;
  EXPECT_EQ(stream_read(s, &c, 1), 1);
  EXPECT_EQ(c, '4');
  EXPECT_EQ(stream_seek(s, 1000), 1);  // success, but at the size
  EXPECT_EQ(stream_offset(s), 10);
  EXPECT_EQ(stream_seek(s, -1), 0);
  EXPECT_EQ(stream_seek(s, 0), 1);
  EXPECT_EQ(stream_read(s, &c, 1), 1);
  EXPECT_EQ(c, '0');
  stream_close(s);
}

TEST_F(StreamTest, ControlCodesAndTheirStates) {
  stream_ref_t s = stream_open(at("c.img").c_str(), 42, 0);
  ASSERT_NE(s, nullptr);
  long timeout = 0;
  ASSERT_EQ(stream_ctrl(s, STREAM_CTRL_GET_TIMEOUT, &timeout), 1);
  EXPECT_EQ(timeout, 10000);
  EXPECT_EQ(stream_timeout(s), 10000);
  // Configuration only while closed.
  EXPECT_EQ(stream_ctrl(s, STREAM_CTRL_SET_URL, "other.img"), 0);
  EXPECT_EQ(stream_ctrl(s, STREAM_CTRL_SET_TIMEOUT, 5L), 0);
  EXPECT_EQ(stream_ctrl(s, STREAM_CTRL_SET_MODE, 1), 0);
  EXPECT_EQ(stream_ctrl(s, STREAM_CTRL_NO_CACHE), 1);
  EXPECT_EQ(stream_ctrl(s, 12345), 0);

  EXPECT_EQ(stream_write(s, "0123456789", 10), 10);
  int64_t len = 4;
  ASSERT_EQ(stream_ctrl(s, STREAM_CTRL_TRUNCATE, &len), 1);
  int64_t size = -1, offset = -1;
  ASSERT_EQ(stream_ctrl(s, STREAM_CTRL_GET_SIZE, &size), 1);
  ASSERT_EQ(stream_ctrl(s, STREAM_CTRL_GET_OFFSET, &offset), 1);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(offset, 4);  // the count follows the file to its new end
  // Going back to 0 must really move the file, or this write lands at 4.
  ASSERT_EQ(stream_seek(s, 0), 1);
  EXPECT_EQ(stream_write(s, "ab", 2), 2);

  // A failed read reports its error class: EBADF on a write-only file.
  char buf[4];
  EXPECT_EQ(stream_read(s, buf, sizeof buf), -1);
  int32_t ioerr = -1;
  ASSERT_EQ(stream_ctrl(s, STREAM_CTRL_IOERR, &ioerr), 1);
  EXPECT_EQ(ioerr, IOERR_OTHER);
  stream_close(s);
  EXPECT_EQ(kit::read_file(at("c.img")), "ab23");
}

TEST_F(StreamTest, BorrowedHandlesAreReadOnlyAndStayOpen) {
  std::ofstream(at("b"), std::ios::binary) << "borrowed";
  tb_file_ref_t f = tb_file_init(at("b").c_str(), FILE_MODE_READWRITE);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(tb_file_seek(f, 2, 0), 2);
  stream_ref_t s = stream_open("/dev/null", FILE_MODE_WRITE, 0);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(stream_ctrl(s, STREAM_CTRL_BORROWED, f), 1);
  EXPECT_EQ(stream_offset(s), 2);
  EXPECT_EQ(stream_write(s, "x", 1), -1);
  int64_t len = 0;
  EXPECT_EQ(stream_ctrl(s, STREAM_CTRL_TRUNCATE, &len), 0);
  char buf[8] = {};
  EXPECT_EQ(stream_read(s, buf, 3), 3);
  EXPECT_STREQ(buf, "rro");
  EXPECT_EQ(stream_size(s), 8);
  stream_close(s);
  EXPECT_EQ(tb_file_read(f, buf, 3), 3);  // still open
  tb_file_close(f);
  EXPECT_EQ(kit::read_file(at("b")), "borrowed");
}

TEST_F(StreamTest, OpenFailuresKeepTheSystemError) {
  errno = 0;
  EXPECT_EQ(stream_open(at("missing.img").c_str(), 10, 0), nullptr);  // continue: must exist
  EXPECT_EQ(errno, ENOENT);
  stream_ref_t s = stream_open(at("new.img").c_str(), 42, 0);
  ASSERT_NE(s, nullptr);
  stream_close(s);
  // A bare drive does not parse; a volume has no meaning here.
  EXPECT_EQ(stream_open("e:", 1, 0), nullptr);
  EXPECT_EQ(stream_open("rtsp://h:1/x", 1, 0), nullptr);
  EXPECT_EQ(stream_open("http://127.0.0.1:1/x", 1, 0), nullptr);
  EXPECT_EQ(stream_open(nullptr, 1, 0), nullptr);
  // A stream on \\.\PhysicalDrive1 names the relative path \.\PhysicalDrive1.
  errno = 0;
  EXPECT_EQ(stream_open("\\\\.\\PhysicalDrive1", 1, 0), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

// The URL text of \dev\disk0 (file:///dev/disk0) still names the first
// whole disk; a stand-in sysfs tree provides it.
TEST_F(StreamTest, WholeDiskThroughItsUrlText) {
  ASSERT_EQ(system(("mkdir -p " + at("sys/vda") + " " + at("sys/loop0") + " " + at("dev")).c_str()),
            0);
  std::ofstream(at("dev/vda"), std::ios::binary) << "disk zero";
  tb_file_block_roots_set(at("sys").c_str(), at("dev").c_str());
  stream_ref_t s = stream_open("\\dev\\disk0", FILE_MODE_READ, 0);
  tb_file_block_roots_set(nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  char buf[16] = {};
  EXPECT_EQ(stream_read(s, buf, sizeof buf), 9);
  EXPECT_STREQ(buf, "disk zero");
  stream_close(s);
}

TEST_F(StreamTest, SpecialDevicesAsStreams) {
  stream_ref_t null = stream_open("/dev/null", 42, 0);
  ASSERT_NE(null, nullptr);
  EXPECT_EQ(stream_write(null, "gone", 4), 4);
  EXPECT_EQ(stream_sync(null, 0), 1);
  stream_close(null);
  stream_ref_t zero = stream_open("\\DEV\\ZERO", 1, 0);
  ASSERT_NE(zero, nullptr);
  char buf[8] = {1};
  EXPECT_EQ(stream_read(zero, buf, sizeof buf), 8);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(stream_size(zero), 0);
  stream_close(zero);
}

TEST_F(StreamTest, RemoteUrlsCarryTheirPortAndReadForward) {
  stream_ref_t s = stream_open("krp://10.0.0.1/dev/rdisk0s1s2", 1, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(g_remote.path, "krp:\\\\10.0.0.1:6688\\dev\\rdisk0s1s2");
  EXPECT_EQ(g_remote.mode, 1);
  EXPECT_EQ(stream_type(s), STREAM_TYPE_FILE);
  EXPECT_EQ(stream_timeout(s), 10000);  // 0 means 10000
  EXPECT_EQ(stream_size(s), kRemoteSize);
  // No seek in the driver: the stream reads up to the target.
  ASSERT_EQ(stream_seek(s, 50000), 1);
  EXPECT_EQ(stream_offset(s), 50000);
  EXPECT_EQ(g_remote.pos, 50000);
  EXPECT_LE(g_remote.largest, 8192u);
  // Reading forward into the bad range stops short and fails.
  EXPECT_EQ(stream_seek(s, 95000), 0);
  EXPECT_EQ(stream_offset(s), kBadFrom);
  char buf[16];
  EXPECT_EQ(stream_read(s, buf, sizeof buf), -1);
  int32_t ioerr = -1;
  ASSERT_EQ(stream_ctrl(s, STREAM_CTRL_IOERR, &ioerr), 1);
  EXPECT_EQ(ioerr, IOERR_DATA);
  // Going back needs a seek the driver does not have.
  EXPECT_EQ(stream_seek(s, 0), 0);
  stream_close(s);

  stream_ref_t t = stream_open("krps://10.0.0.1/x?user=root", 1, 2000);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(g_remote.path, "krps:\\\\10.0.0.1:6686\\x?user=root");
  EXPECT_EQ(stream_timeout(t), 2000);
  stream_close(t);
  // An empty host rebuilds to nothing: no stream.
  EXPECT_EQ(stream_open("krp:///dev/rdisk0s1s2", 1, 0), nullptr);
}

TEST_F(StreamTest, DataStreams) {
  stream_ref_t s = stream_open("data://hello", 0, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(stream_type(s), STREAM_TYPE_DATA);
  EXPECT_EQ(stream_size(s), 5);
  char buf[8] = {};
  EXPECT_EQ(stream_wait(s, STREAM_WAIT_READ, 0), STREAM_WAIT_READ);
  EXPECT_EQ(stream_read(s, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(stream_wait(s, STREAM_WAIT_READ, 0), 0);
  EXPECT_EQ(stream_write(s, "!!", 2), 2);
  EXPECT_EQ(stream_size(s), 7);
  ASSERT_EQ(stream_seek(s, 4), 1);
  EXPECT_EQ(stream_read(s, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "o!!");
  stream_close(s);
}

// A listening socket on loopback: the connection completes in the kernel's
// backlog, so one thread can play both sides.
class SockStream : public ::testing::Test {
 protected:
  void SetUp() override {
    lfd_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lfd_, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd_, 4), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port_ = ntohs(a.sin_port);
  }
  void TearDown() override { close(lfd_); }
  int lfd_ = -1;
  int port_ = 0;
};

TEST_F(SockStream, OpenReadWriteWaitAndEnd) {
  std::string url = "sock://127.0.0.1:" + std::to_string(port_);
  stream_ref_t s = stream_open(url.c_str(), 0, 2000);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(stream_type(s), STREAM_TYPE_SOCK);
  EXPECT_EQ(stream_timeout(s), 2000);
  int peer = accept(lfd_, nullptr, nullptr);
  ASSERT_GE(peer, 0);

  char buf[16] = {};
  EXPECT_EQ(stream_read(s, buf, sizeof buf), 0);  // nothing yet
  EXPECT_EQ(stream_wait(s, STREAM_WAIT_READ, 0), 0);
  ASSERT_EQ(send(peer, "ping", 4, 0), 4);
  EXPECT_EQ(stream_wait(s, STREAM_WAIT_READ, 2000), STREAM_WAIT_READ);
  EXPECT_EQ(stream_read(s, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "ping");
  EXPECT_EQ(stream_write(s, "pong", 4), 4);
  EXPECT_EQ(stream_offset(s), 8);
  char got[4];
  ASSERT_EQ(recv(peer, got, 4, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(got, 4), "pong");
  EXPECT_EQ(stream_size(s), 0);

  // The peer leaves: one more ready, an empty read, then the end.
  close(peer);
  EXPECT_GT(stream_wait(s, STREAM_WAIT_READ, 2000), 0);
  EXPECT_EQ(stream_read(s, buf, sizeof buf), 0);
  EXPECT_EQ(stream_wait(s, STREAM_WAIT_READ, 2000), 0);
  stream_close(s);
}

TEST_F(SockStream, RefusedAndIncompleteAddresses) {
  close(lfd_);  // nobody listens on the port any more
  lfd_ = -1;
  errno = 0;
  std::string url = "sock://127.0.0.1:" + std::to_string(port_);
  EXPECT_EQ(stream_open(url.c_str(), 0, 2000), nullptr);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_EQ(stream_open("sock://127.0.0.1/", 0, 2000), nullptr);  // no port
  EXPECT_EQ(stream_open("socks://127.0.0.1:1/", 0, 2000), nullptr);
}

}  // namespace
