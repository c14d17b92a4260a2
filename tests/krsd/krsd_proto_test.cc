// The protocol of a real krsd process over loopback, with a minimal client
// that builds its frames from blobmsg: every command and its response
// attributes, errors, hostile frames, injected faults, TLS, concurrency,
// daemonising.
#include <gtest/gtest.h>
#include <lz4.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include <iostream>

#include "krsd_test_util.h"

using krsd_test::Client;
using kit::bin_path;
using krsd_test::Daemon;
using kit::TempDir;

namespace {

class KrsdProto : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = kit::mixed_bytes(3 * 1024 * 1024 + 123, 11);
    img_ = dir_.file("sample.img");
    ASSERT_TRUE(kit::write_file(img_, data_));
  }
  // Starts a daemon serving the sample as /dev/rdisk0s1s2.
  void start(std::vector<std::string> extra = {}) {
    extra.push_back("--map");
    extra.push_back("/dev/rdisk0s1s2=" + img_);
    ASSERT_TRUE(d_.start(extra)) << "krsd did not start";
  }
  // Connects, logs in, agrees the codec, opens the sample; the handle.
  int64_t session(Client* c, const std::string& codec = "lz4", bool tls = false) {
    EXPECT_TRUE(c->connect(tls ? d_.tls_port : d_.port, tls));
    EXPECT_EQ(c->login("", ""), 0);
    EXPECT_EQ(c->pack(codec), 0);
    int64_t fd = 0;
    EXPECT_EQ(c->open("/dev/rdisk0s1s2", 1, &fd), 0);
    return fd;
  }
  std::vector<uint8_t> unlz4(const std::vector<uint8_t>& p, size_t cap) {
    std::vector<uint8_t> out(cap);
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(p.data()),
                                reinterpret_cast<char*>(out.data()), static_cast<int>(p.size()),
                                static_cast<int>(cap));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
  }
  bool same(const std::vector<uint8_t>& got, size_t off) {
    return off + got.size() <= data_.size() &&
           std::equal(got.begin(), got.end(), data_.begin() + static_cast<long>(off));
  }

  TempDir dir_;
  std::vector<uint8_t> data_;
  std::string img_;
  Daemon d_;
};

TEST_F(KrsdProto, LoginCodecOpenReadInfoSeekClose) {
  start();
  Client c;
  ASSERT_TRUE(c.connect(d_.port));
  ASSERT_EQ(c.login("", ""), 0);
  EXPECT_TRUE(c.has_layout<krp::init::answer>());
  EXPECT_NE(c.get("os_type").i(), 1);  // a POSIX daemon
  EXPECT_EQ(c.get("errno_str").s(), "");
  ASSERT_EQ(c.pack("lz4"), 0);
  int64_t fd = 0;
  ASSERT_EQ(c.open("/dev/rdisk0s1s2", 1, &fd), 0);
  EXPECT_NE(fd, 0);

  ASSERT_EQ(c.finfo(fd), 0);
  EXPECT_TRUE(c.has_layout<krp::finfo::answer>());
  EXPECT_EQ(c.get("type").i(), 1);
  EXPECT_EQ(c.get("len").i(), static_cast<int64_t>(data_.size()));
  EXPECT_EQ(c.get("offset").i(), 0);
  EXPECT_EQ(c.get("sector_bytes").i(), 512);

  // Blocks of the engine's size, packed as raw LZ4 blocks; the last one short.
  std::vector<uint8_t> packed;
  size_t off = 0;
  for (int i = 0; i < 40 && off < data_.size(); i++) {
    ASSERT_EQ(c.read(fd, 102400, &packed), 0);
    EXPECT_TRUE(c.has_layout<krp::read::answer>());
    auto plain = unlz4(packed, 102400);
    ASSERT_EQ(static_cast<int64_t>(plain.size()), c.get("len").i());
    ASSERT_TRUE(same(plain, off)) << "block at " << off;
    off += plain.size();
    if (plain.size() < 102400) break;
  }
  EXPECT_EQ(off, data_.size());
  ASSERT_EQ(c.read(fd, 102400, &packed), 0);  // at the end: 0 bytes, no error
  EXPECT_EQ(c.get("len").i(), 0);

  int64_t pos = -1;
  ASSERT_EQ(c.seek(fd, 1000, 0, &pos), 0);
  EXPECT_EQ(pos, 1000);
  ASSERT_EQ(c.seek(fd, 24, 1, &pos), 0);
  EXPECT_EQ(pos, 1024);
  ASSERT_EQ(c.seek(fd, -100, 2, &pos), 0);
  EXPECT_EQ(pos, static_cast<int64_t>(data_.size()) - 100);
  ASSERT_EQ(c.finfo(fd), 0);
  EXPECT_EQ(c.get("offset").i(), pos);
  EXPECT_EQ(c.seek(fd, -1, 0, &pos), EINVAL);
  EXPECT_TRUE(c.has_layout<krp::seek::answer>());

  ASSERT_EQ(c.close_file(fd), 0);
  EXPECT_EQ(c.finfo(fd), EBADF);  // the handle is gone
  EXPECT_TRUE(c.has_layout<krp::finfo::answer>());
  ASSERT_TRUE(c.exit_session());
  EXPECT_TRUE(c.peer_closed());  // no answer to the exit request
}

TEST_F(KrsdProto, CodecNoneAndTenMiBCap) {
  auto big = kit::mixed_bytes(KRSD_MAX_DATA + 5000, 3);
  ASSERT_TRUE(kit::write_file(img_, big));
  data_ = big;
  start();
  Client c;
  int64_t fd = session(&c, "none");
  std::vector<uint8_t> packed;
  ASSERT_EQ(c.read(fd, 0x7fffffff, &packed), 0);  // one answer moves at most 10 MiB
  ASSERT_EQ(packed.size(), KRSD_MAX_DATA);
  EXPECT_TRUE(same(packed, 0));
  ASSERT_EQ(c.read(fd, KRSD_MAX_DATA, &packed), 0);
  ASSERT_EQ(packed.size(), 5000u);
  EXPECT_TRUE(same(packed, KRSD_MAX_DATA));
  ASSERT_EQ(c.read(fd, 0, &packed), 0);
  EXPECT_EQ(c.read(fd, -1, &packed), EINVAL);
  EXPECT_TRUE(c.has_layout<krp::read::answer>());

  // The codec can change within the session: the next read is LZ4.
  ASSERT_EQ(c.pack("lz4"), 0);
  int64_t pos;
  ASSERT_EQ(c.seek(fd, 0, 0, &pos), 0);
  ASSERT_EQ(c.read(fd, KRSD_MAX_DATA, &packed), 0);
  EXPECT_LT(packed.size(), KRSD_MAX_DATA);  // zero and text runs shrink
  EXPECT_TRUE(same(unlz4(packed, KRSD_MAX_DATA), 0));
}

// The daemon prepares the next block while the client takes in the last
// one; whatever happens in between, an answer is never stale or mispacked.
TEST_F(KrsdProto, ReadAheadNeverAnswersStale) {
  std::string root = dir_.file("root");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  std::vector<uint8_t> file(data_.begin(), data_.begin() + 250000);
  ASSERT_TRUE(kit::write_file(root + "/f.img", file));
  start({"--root", root, "--read-write"});
  Client c;
  ASSERT_TRUE(c.connect(d_.port));
  ASSERT_EQ(c.login("", ""), 0);
  ASSERT_EQ(c.pack("none"), 0);
  int64_t fd = 0, wfd = 0, pos = 0;
  ASSERT_EQ(c.open("/f.img", 1, &fd), 0);
  std::vector<uint8_t> p;
  ASSERT_EQ(c.read(fd, 50000, &p), 0);
  ASSERT_EQ(c.read(fd, 60000, &p), 0);  // another length than the one prepared
  EXPECT_TRUE(std::equal(p.begin(), p.end(), file.begin() + 50000));
  ASSERT_EQ(c.pack("lz4"), 0);  // a codec switch: the next answer is packed anew
  ASSERT_EQ(c.read(fd, 60000, &p), 0);
  auto plain = unlz4(p, 60000);
  ASSERT_EQ(plain.size(), 60000u);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), file.begin() + 110000));
  // A write through another handle changes the block that was prepared.
  ASSERT_EQ(c.pack("none"), 0);
  ASSERT_EQ(c.read(fd, 10000, &p), 0);  // 170000..180000, prepares 180000..190000
  ASSERT_EQ(c.open("/f.img", 4, &wfd), 0);
  ASSERT_EQ(c.seek(wfd, 180000, 0, &pos), 0);
  std::vector<uint8_t> patch(10000, 0xAB);
  ASSERT_EQ(c.write(wfd, patch.data(), patch.size(), 10000), 0);
  ASSERT_EQ(c.read(fd, 10000, &p), 0);
  EXPECT_EQ(p, patch);
  std::copy(patch.begin(), patch.end(), file.begin() + 180000);
  // A seek back: the block at the new position, not the prepared one.
  ASSERT_EQ(c.read(fd, 10000, &p), 0);
  ASSERT_EQ(c.seek(fd, 0, 0, &pos), 0);
  ASSERT_EQ(c.read(fd, 10000, &p), 0);
  EXPECT_TRUE(std::equal(p.begin(), p.end(), file.begin()));
  // Near the end only a short block can be prepared, which is not kept: a
  // file that grew meanwhile is read in full.
  ASSERT_EQ(c.seek(fd, 150000, 0, &pos), 0);
  ASSERT_EQ(c.read(fd, 60000, &p), 0);  // 150000..210000; 40000 left after it
  std::vector<uint8_t> more(data_.begin() + 250000, data_.begin() + 400000);
  {
    std::FILE* fh = std::fopen((root + "/f.img").c_str(), "ab");
    ASSERT_NE(fh, nullptr);
    ASSERT_EQ(std::fwrite(more.data(), 1, more.size(), fh), more.size());
    std::fclose(fh);
  }
  file.insert(file.end(), more.begin(), more.end());
  ASSERT_EQ(c.read(fd, 60000, &p), 0);
  ASSERT_EQ(p.size(), 60000u);
  EXPECT_TRUE(std::equal(p.begin(), p.end(), file.begin() + 210000));
}

TEST_F(KrsdProto, RefusedRequestsAnswerEveryAttribute) {
  start();
  Client c;
  ASSERT_TRUE(c.connect(d_.port));
  ASSERT_EQ(c.login("", ""), 0);
  // Unknown codec names (case counts, the empty name is none).
  EXPECT_EQ(c.pack("LZ4"), EINVAL);
  EXPECT_FALSE(c.get("errno_str").s().empty());
  EXPECT_EQ(c.pack(""), EINVAL);
  EXPECT_EQ(c.pack("zstd"), EINVAL);
  // A codec name without its NUL within "len".
  ASSERT_EQ(krp::encode<krp::ioctl::request>(c.req(), 0, KRSD_IOCTL_PACK, 3, krp::bytes{"lz4", 3}), 0);
  ASSERT_TRUE(c.send_request(KRSD_CMD_IOCTL) && c.recv_response());
  EXPECT_EQ(c.get("errno").i(), EINVAL);
  // Another ioctl is not known.
  ASSERT_EQ(krp::encode<krp::ioctl::request>(c.req(), 0, 7, 0, krp::bytes{"", 0}), 0);
  ASSERT_TRUE(c.send_request(KRSD_CMD_IOCTL) && c.recv_response());
  EXPECT_EQ(c.get("errno").i(), ENOTTY);

  int64_t fd = 5;
  EXPECT_EQ(c.open("/no/such/file", 1, &fd), ENOENT);
  EXPECT_EQ(fd, 0);
  EXPECT_EQ(c.get("errno_str").s(), "No such file or directory");
  std::vector<uint8_t> p;
  EXPECT_EQ(c.read(1, 100, &p), EBADF);  // no file open on this connection
  EXPECT_TRUE(c.has_layout<krp::read::answer>());
  EXPECT_EQ(c.simple(KRSD_CMD_SYNC, 1), EBADF);
  EXPECT_TRUE(c.has_layout<krp::fd_answer>());
  EXPECT_EQ(c.write(1, "x", 1, 1), EBADF);
  EXPECT_TRUE(c.has_layout<krp::write::answer>());
  // A request lacking an attribute of its table.
  c.begin();
  ASSERT_EQ(blobmsg_put_u64(c.req(), "fd", 1), 0);
  ASSERT_TRUE(c.send_request(KRSD_CMD_READ) && c.recv_response());
  EXPECT_EQ(c.get("errno").i(), EINVAL);
  EXPECT_TRUE(c.has_layout<krp::read::answer>());
  // The right name with the wrong type does not match either.
  c.begin();
  ASSERT_EQ(blobmsg_put_u32(c.req(), "fd", 1), 0);
  ASSERT_TRUE(c.send_request(KRSD_CMD_FINFO) && c.recv_response());
  EXPECT_EQ(c.get("errno").i(), EINVAL);
  // An unknown command gets an answer and the stream stays in step.
  c.begin();
  ASSERT_TRUE(c.send_request(99) && c.recv_response());  // no such command
  EXPECT_EQ(c.get("errno").i(), ENOSYS);
  // A handle of another connection is not this one's.
  Client other;
  int64_t ofd = session(&other);
  int64_t mine = 0;
  ASSERT_EQ(c.open("/dev/rdisk0s1s2", 1, &mine), 0);
  ASSERT_EQ(c.close_file(mine), 0);
  if (ofd != mine) {
    EXPECT_EQ(c.finfo(ofd), EBADF);
  }
  EXPECT_EQ(other.finfo(ofd), 0);
}

TEST_F(KrsdProto, RequiredCredentials) {
  start({"--user", "root", "--password", "alpine"});
  Client c;
  ASSERT_TRUE(c.connect(d_.port));
  int64_t fd = 0;
  EXPECT_EQ(c.open("/dev/rdisk0s1s2", 1, &fd), EACCES);  // nothing before a login
  EXPECT_EQ(c.login("", ""), EACCES);
  EXPECT_FALSE(c.get("errno_str").s().empty());
  EXPECT_TRUE(c.has_layout<krp::init::answer>());
  EXPECT_EQ(c.login("root", "alpine2"), EACCES);
  EXPECT_EQ(c.login("root", "alpin"), EACCES);
  EXPECT_EQ(c.open("/dev/rdisk0s1s2", 1, &fd), EACCES);
  EXPECT_EQ(c.finfo(1), EACCES);
  EXPECT_TRUE(c.has_layout<krp::finfo::answer>());
  EXPECT_EQ(c.login("root", "alpine"), 0);
  EXPECT_EQ(c.open("/dev/rdisk0s1s2", 1, &fd), 0);
}

// Every kind of file tells its real size: a regular file and a block device
// their length, a character device what a seek to its end answers (a raw
// disk partition is one), 0 when it has none.
TEST_F(KrsdProto, SizeOfEveryKindOfFile) {
  auto seek_end = [](const char* path) -> int64_t {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    off_t end = lseek(fd, 0, SEEK_END);
    ::close(fd);
    return end;
  };
  krsd_test::LoopDevice loop(img_);
  struct Row {
    std::string name, file;
    int64_t size;
    int type;
  };
  std::vector<Row> rows = {{"/dev/a", img_, static_cast<int64_t>(data_.size()), 1},
                           {"/dev/z", "/dev/zero", 0, 3}};
  if (seek_end("/dev/vcs") > 0)
    rows.push_back({"/dev/c", "/dev/vcs", seek_end("/dev/vcs"), 3});
  else
    std::cerr << "no character device that tells its size here (/dev/vcs)\n";
  if (!loop.path().empty())
    rows.push_back({"/dev/b", loop.path(), static_cast<int64_t>(data_.size() / 512 * 512), 2});
  else
    std::cerr << "block device row skipped: " << loop.why() << "\n";
  std::vector<std::string> args;
  for (const Row& r : rows) {
    args.push_back("--map");
    args.push_back(r.name + "=" + r.file);
  }
  start(args);
  Client c;
  ASSERT_TRUE(c.connect(d_.port));
  ASSERT_EQ(c.login("", ""), 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.file);
    int64_t fd = 0;
    ASSERT_EQ(c.open(r.name, 1, &fd), 0);
    ASSERT_EQ(c.finfo(fd), 0);
    EXPECT_EQ(c.get("len").i(), r.size);
    EXPECT_EQ(c.get("type").i(), r.type);
    ASSERT_EQ(c.close_file(fd), 0);
  }
}

TEST_F(KrsdProto, InjectedReadFaults) {
  start({"--bad-range", "204800:1", "--vanish-at", "1m", "-v"});
  Client c;
  int64_t fd = session(&c, "none");
  std::vector<uint8_t> p;
  ASSERT_EQ(c.read(fd, 102400, &p), 0);
  ASSERT_EQ(c.read(fd, 102400, &p), 0);
  EXPECT_EQ(c.read(fd, 102400, &p), EIO);  // touches byte 204800
  EXPECT_EQ(c.get("errno_str").s(), "Input/output error");
  EXPECT_TRUE(c.has_layout<krp::read::answer>());
  EXPECT_EQ(c.get("len").i(), 0);
  // The failure was met by the read ahead; it answers this request and the
  // same request sent again, and the device is tried once.
  EXPECT_EQ(c.read(fd, 102400, &p), EIO);
  const std::string text = kit::read_file(d_.log);
  size_t tries = 0;
  for (size_t at = text.find("read 102400 bytes at 204800: "); at != std::string::npos;
       at = text.find("read 102400 bytes at 204800: ", at + 1))
    tries++;
  EXPECT_EQ(tries, 1u) << text;
  ASSERT_EQ(c.finfo(fd), 0);
  EXPECT_EQ(c.get("offset").i(), 204800);  // a failed read moves nothing
  int64_t pos;
  ASSERT_EQ(c.seek(fd, 307200, 0, &pos), 0);  // the engine skips the block
  ASSERT_EQ(c.read(fd, 102400, &p), 0);
  EXPECT_TRUE(same(p, 307200));
  ASSERT_EQ(c.seek(fd, (1 << 20) - 10, 0, &pos), 0);
  EXPECT_EQ(c.read(fd, 100, &p), ENXIO);
  EXPECT_EQ(c.get("errno_str").s(), "No such device or address");
  ASSERT_EQ(c.finfo(fd), 0);  // the size still answers
}

TEST_F(KrsdProto, WritesThroughTheRootAndReadOnly) {
  std::string root = dir_.file("root");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  start({"--root", root, "--read-write"});
  Client c;
  ASSERT_TRUE(c.connect(d_.port));
  ASSERT_EQ(c.login("", ""), 0);
  ASSERT_EQ(c.pack("lz4"), 0);
  int64_t fd = 0;
  ASSERT_EQ(c.open("/out.img", 42, &fd), 0);
  std::vector<uint8_t> plain(data_.begin(), data_.begin() + 200000);
  std::vector<char> packed(LZ4_compressBound(200000));
  int n = LZ4_compress_default(reinterpret_cast<const char*>(plain.data()), packed.data(), 200000,
                               static_cast<int>(packed.size()));
  ASSERT_GT(n, 0);
  ASSERT_EQ(c.write(fd, packed.data(), static_cast<size_t>(n), 200000), 0);
  EXPECT_EQ(c.get("len").i(), 200000);
  // Packed data that does not unpack to "len" bytes is refused.
  EXPECT_EQ(c.write(fd, packed.data(), static_cast<size_t>(n), 199999), EINVAL);
  EXPECT_EQ(c.write(fd, packed.data(), static_cast<size_t>(n) / 2, 200000), EINVAL);
  ASSERT_EQ(c.simple(KRSD_CMD_SYNC, fd), 0);
  EXPECT_EQ(c.get("fd").i(), fd);
  ASSERT_EQ(krp::encode<krp::truncate::request>(c.req(), fd, 150000), 0);
  ASSERT_TRUE(c.send_request(KRSD_CMD_TRUNCATE) && c.recv_response());
  EXPECT_EQ(c.get("errno").i(), 0);
  EXPECT_TRUE(c.has_layout<krp::fd_answer>());
  ASSERT_EQ(c.close_file(fd), 0);
  auto back = kit::read_bytes(root + "/out.img");
  ASSERT_EQ(back.size(), 150000u);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), plain.begin()));
  EXPECT_EQ(c.open("/../sample.img", 1, &fd), EACCES);
  EXPECT_EQ(c.open(img_, 1, &fd), ENOENT);  // absolute paths stay inside the root

  // Without --read-write nothing changes a file, and each refusal is logged.
  Daemon ro;
  ASSERT_TRUE(ro.start({"--root", root}));
  Client r;
  ASSERT_TRUE(r.connect(ro.port));
  ASSERT_EQ(r.login("", ""), 0);
  EXPECT_EQ(r.open("/out.img", 42, &fd), EROFS);
  EXPECT_EQ(r.get("errno_str").s(), "Read-only file system");
  EXPECT_EQ(r.open("/out.img", 2, &fd), EROFS);
  ASSERT_EQ(r.open("/out.img", 1, &fd), 0);
  EXPECT_EQ(r.write(fd, "x", 1, 1), EROFS);
  ASSERT_EQ(krp::encode<krp::truncate::request>(r.req(), fd, 0), 0);
  ASSERT_TRUE(r.send_request(KRSD_CMD_TRUNCATE) && r.recv_response());
  EXPECT_EQ(r.get("errno").i(), EROFS);
  EXPECT_EQ(r.simple(KRSD_CMD_SYNC, fd), 0);  // the sync of a file read: nothing to refuse
  EXPECT_EQ(kit::read_bytes(root + "/out.img"), back);
  const std::string text = kit::read_file(ro.log);
  for (const char* line : {"open [/out.img] mode=42 from 127.0.0.1:", "write [/out.img] from 127.0.0.1:",
                           "truncate [/out.img] from 127.0.0.1:"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " not in:\n" << text;
}

// Hostile frames close their own connection only; the daemon keeps serving.
TEST_F(KrsdProto, MalformedFramesCloseOnlyTheirConnection) {
  start();
  Client good;
  int64_t fd = session(&good);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"bad magic", {'K', 'X', 1, 1, 0x02, 0, 0, 4}},
      {"bad magic first byte", {'X', 'R', 1, 1, 0x02, 0, 0, 4}},
      {"wrong version", {'K', 'R', 9, 1, 0x02, 0, 0, 4}},
      {"root not a table", {'K', 'R', 1, 1, 0x03, 0, 0, 4}},
      {"named root", {'K', 'R', 1, 1, 0x82, 0, 0, 4}},
      {"root shorter than its header", {'K', 'R', 1, 1, 0x02, 0, 0, 2}},
      {"oversized frame", {'K', 'R', 1, 12, 0x02, 0xff, 0xff, 0xfc}},
      {"body cut short", {'K', 'R', 1, 12, 0x02, 0, 1, 0, 1, 2, 3}},
      {"header cut short", {'K', 'R', 1}},
  };
  for (const auto& k : cases) {
    Client bad;
    ASSERT_TRUE(bad.connect(d_.port)) << k.what;
    ASSERT_TRUE(bad.send_bytes(k.bytes.data(), k.bytes.size())) << k.what;
    bad.shutdown_write();  // a cut frame then ends with the stream
    EXPECT_TRUE(bad.peer_closed()) << k.what;
  }
  // Garbage attributes inside a well-formed frame: answered, not fatal.
  Client junk;
  ASSERT_TRUE(junk.connect(d_.port));
  std::vector<uint8_t> f = {'K', 'R', 1, 10, 0x02, 0, 0, 16, 0x84, 0, 0, 0x0c, 0, 4, 'p', 'a'};
  f.insert(f.end(), {'t', 'h', 'X', 0});  // name not terminated
  ASSERT_TRUE(junk.send_bytes(f.data(), f.size()));
  ASSERT_TRUE(junk.recv_response());
  EXPECT_EQ(junk.get("errno").i(), EINVAL);
  EXPECT_TRUE(junk.has_layout<krp::fd_answer>());

  std::vector<uint8_t> p;
  ASSERT_EQ(good.read(fd, 4096, &p), 0);
  EXPECT_TRUE(same(unlz4(p, 4096), 0));
  Client again;
  EXPECT_GT(session(&again), 0);
}

TEST_F(KrsdProto, DropAfterClosesAtExactlyNBytes) {
  start({"--drop-after", "150000,once"});
  Client c;
  int64_t fd = session(&c, "none");
  // Two reads at once, then count every byte that arrives until the close.
  ASSERT_EQ(krp::encode<krp::read::request>(c.req(), fd, 102400), 0);
  ASSERT_TRUE(c.send_request(KRSD_CMD_READ));
  ASSERT_TRUE(c.send_request(KRSD_CMD_READ));
  std::vector<uint8_t> buf(1 << 16);
  size_t got = 0;
  for (int i = 0; i < 10000; i++) {
    long r = c.recv_some(buf.data(), buf.size(), 5000);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  // With the login, codec and open answers before them the total is N;
  // their sizes come from the same exchanges on a new connection.
  Client probe;
  ASSERT_TRUE(probe.connect(d_.port));
  ASSERT_EQ(probe.login("", ""), 0);
  size_t login = 4 + probe.response_len();
  ASSERT_EQ(probe.pack("none"), 0);
  size_t pack = 4 + probe.response_len();
  int64_t pfd;
  ASSERT_EQ(probe.open("/dev/rdisk0s1s2", 1, &pfd), 0);
  size_t open = 4 + probe.response_len();
  EXPECT_EQ(login + pack + open + got, 150000u);
  // ",once": the connection after the drop is served in full.
  std::vector<uint8_t> p;
  for (int i = 0; i < 3; i++) ASSERT_EQ(probe.read(pfd, 102400, &p), 0);
  EXPECT_TRUE(same(p, 204800));
}

TEST_F(KrsdProto, DropOnEveryConnection) {
  start({"--drop-after", "10"});
  for (int i = 0; i < 2; i++) {
    Client c;
    ASSERT_TRUE(c.connect(d_.port));
    ASSERT_EQ(krp::encode<krp::init::request>(c.req(), "", ""), 0);
    ASSERT_TRUE(c.send_request(KRSD_CMD_INIT));
    uint8_t buf[256];
    size_t got = 0;
    for (int k = 0; k < 100; k++) {
      long r = c.recv_some(buf, sizeof(buf), 5000);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    EXPECT_EQ(got, 10u) << "connection " << i;
  }
}

TEST_F(KrsdProto, StallAfterHoldsTheAnswer) {
  start({"--stall-after", "20:2500,once"});
  Client c;
  ASSERT_TRUE(c.connect(d_.port));
  ASSERT_EQ(krp::encode<krp::init::request>(c.req(), "", ""), 0);
  ASSERT_TRUE(c.send_request(KRSD_CMD_INIT));
  uint8_t buf[256];
  size_t got = 0;
  while (got < 20) {
    long r = c.recv_some(buf + got, 20 - got, 5000);
    ASSERT_GT(r, 0);
    got += static_cast<size_t>(r);
  }
  // Well inside the stall nothing more comes; afterwards the rest does.
  EXPECT_EQ(c.recv_some(buf, sizeof(buf), 300), -1);
  long r = c.recv_some(buf, sizeof(buf), 8000);
  EXPECT_GT(r, 0);
  // The stall was spent: a new connection answers at once.
  Client d;
  EXPECT_GT(session(&d), 0);
}

TEST_F(KrsdProto, TlsSessionsReadTheSameBytes) {
  start();
  Client c;
  int64_t fd = session(&c, "lz4", true);
  std::vector<uint8_t> p;
  ASSERT_EQ(c.read(fd, KRSD_MAX_DATA, &p), 0);  // one answer over many TLS records
  auto plain = unlz4(p, KRSD_MAX_DATA);
  ASSERT_EQ(plain.size(), data_.size());
  EXPECT_TRUE(same(plain, 0));
  ASSERT_EQ(c.pack("none"), 0);
  int64_t pos;
  ASSERT_EQ(c.seek(fd, 5, 0, &pos), 0);
  ASSERT_EQ(c.read(fd, 100, &p), 0);
  EXPECT_TRUE(same(p, 5));
  // A plain client on the TLS port fails its own connection only.
  Client plain_on_tls;
  ASSERT_TRUE(plain_on_tls.connect(d_.tls_port));
  EXPECT_EQ(plain_on_tls.login("", ""), -1000);
  ASSERT_EQ(c.finfo(fd), 0);

  Daemon no_tls;
  ASSERT_TRUE(no_tls.start({"--tls-port", "0"}));
  EXPECT_EQ(no_tls.tls_port, -1);
}

TEST_F(KrsdProto, ConcurrentConnections) {
  start();
  std::atomic<int> good{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; t++) {
    ts.emplace_back([&, t] {
      Client c;
      int64_t fd = session(&c, t % 2 ? "none" : "lz4", t == 3);
      std::vector<uint8_t> p, all;
      for (int i = 0; i < 100; i++) {
        if (c.read(fd, 262144, &p) != 0) return;
        auto plain = t % 2 ? p : unlz4(p, 262144);
        all.insert(all.end(), plain.begin(), plain.end());
        if (plain.size() < 262144) break;
      }
      if (all == data_) good++;
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(good.load(), 4);
}

TEST_F(KrsdProto, ConnectionLimit) {
  start({"--max-conn", "1"});
  Client first;
  int64_t fd = session(&first);
  Client second;
  ASSERT_TRUE(second.connect(d_.port));
  EXPECT_TRUE(second.peer_closed());
  std::vector<uint8_t> p;
  EXPECT_EQ(first.read(fd, 10, &p), 0);
  first.close();
  // The slot comes free once the first connection has ended.
  bool served = false;
  for (int i = 0; i < 100 && !served; i++) {
    Client third;
    served = third.connect(d_.port) && third.login("", "") == 0;
    if (!served) usleep(20000);
  }
  EXPECT_TRUE(served);
}

// -d returns at once, printing the certificate's fingerprint, and keeps
// serving; options can come from KRSD_ARGS; a new instance binds the same
// port again after the old one was killed.
TEST_F(KrsdProto, DaemoniseEnvironmentAndRestart) {
  std::string env = "--map /dev/rdisk0s1s2=" + img_;
  Daemon d;
  ASSERT_TRUE(d.start({"-d"}, env.c_str()));
  // The started process ends with 0 as soon as the detached daemon listens
  // (at the latest after the daemon's own bounded wait).
  if (d.child > 0) {
    int st = 0;
    ASSERT_EQ(waitpid(d.child, &st, 0), d.child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    d.child = -1;
  }
  ASSERT_EQ(d.tls_sha256.size(), 64u);
  // The fingerprint's line, then what the daemon lets whom do and how long
  // it stays: a daemon started with -d ends by itself.
  auto printed = kit::read_bytes(d.out);
  EXPECT_EQ(std::string(printed.begin(), printed.end()),
            "TLS certificate SHA-256: " + d.tls_sha256 + "\nkrsd started: port " +
                std::to_string(d.port) + ", TLS port " + std::to_string(d.tls_port) +
                "; read-only; serving every peer; ends after 30 min without a connection; "
                "certificate SHA-256 " + d.tls_sha256 + "\n");
  EXPECT_GT(d.pid, 0);  // and a detached one serves
  Client c;
  ASSERT_TRUE(c.connect(d.port));
  ASSERT_EQ(c.login("", ""), 0);
  ASSERT_EQ(c.pack("none"), 0);
  int64_t fd;
  ASSERT_EQ(c.open("/dev/rdisk0s1s2", 1, &fd), 0);
  std::vector<uint8_t> p;
  ASSERT_EQ(c.read(fd, 4096, &p), 0);
  EXPECT_TRUE(same(p, 0));
  c.close();  // leaves the port with a closed connection behind

  int port = d.port;
  d.kill_now();
  Daemon again;
  ASSERT_TRUE(again.start({"--port", std::to_string(port), "--tls-port", "0"}))
      << "port " << port << " not bound again";
  EXPECT_EQ(again.port, port);
  Client c2;
  ASSERT_TRUE(c2.connect(port));
  EXPECT_EQ(c2.login("", ""), 0);
}

TEST_F(KrsdProto, HelpAndBadOptions) {
  std::string cmd = kit::bin_path("krsd") + " --help > " + dir_.file("help");
  ASSERT_EQ(system(cmd.c_str()), 0);
  auto help = kit::read_bytes(dir_.file("help"));
  std::string h(help.begin(), help.end());
  for (const char* opt : {"-d", "--listen", "--port", "--tls-port", "--cert", "--key", "--root",
                          "--map", "--user", "--password", "--read-only", "--read-write",
                          "--allow", "--exit-idle", "--login-timeout", "--request-timeout",
                          "--mem-limit", "--bad-range",
                          "--vanish-at", "--drop-after", "--stall-after", "--port-file"})
    EXPECT_NE(h.find(opt), std::string::npos) << opt;
  cmd = kit::bin_path("krsd") + " --bogus 2>/dev/null";
  int st = system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2);
  // A daemon that cannot start says so with status 1 instead of serving.
  const std::vector<std::string> broken = {"--cert /no/cert.pem --key /no/key.pem",
                                           "--root /no/such/dir", "--listen 300.1.2.3",
                                           "--port-file /no/such/dir/ports"};
  for (const auto& args : broken) {
    cmd = kit::bin_path("krsd") + " --port 0 --tls-port any " + args + " 2>/dev/null";
    st = system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << args;
  }
}

}  // namespace

// A daemon that cannot listen is not reported as started: with -d the
// started process ends with 1, so the deployment's start step fails.
TEST(KrsdDaemonise, PortThatCannotBeBoundEndsTheStartWithOne) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 1), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
  ASSERT_EQ(access(bin_path("krsd").c_str(), X_OK), 0) << "no daemon binary";
  Daemon d;
  EXPECT_FALSE(d.start({"-d", "--port", std::to_string(ntohs(a.sin_port)), "--tls-port", "0"}));
  close(s);
}
