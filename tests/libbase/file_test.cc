// The file layer: device naming, driver choice, the built-in drivers, the
// registered slot and the local file driver on real files, block devices
// and a stand-in sysfs tree.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kit.h"
#include "os/os_log.h"
#include "tb_file.h"

namespace {

struct Named {
  std::string name, driver;
};

Named device_name(const char* path) {
  char out[4096], drv[16];
  if (!tb_file_device_name(path, out, sizeof out, drv, sizeof drv)) return {"(fail)", ""};
  return {out, drv};
}

// Tests that touch files run in a fresh directory of their own.
using FileTest = kit::TempCwdTest;

// A local name is the file it spells; only the exact device forms and URLs
// have a meaning of their own.
TEST_F(FileTest, NamesAndDrivers) {
  const std::string cwd = dir_;
  struct Row {
    const char* path;
    std::string name;
    const char* driver;
  } rows[] = {
      {"\\dev\\disk0", "\\\\.\\PhysicalDrive0", "file"},
      {"\\dev\\disk12", "\\\\.\\PhysicalDrive12", "file"},
      {"/dev/disk12", "/dev/disk12", "file"},  // only the backslash form counts disks
      {"/dev/disk/by-id/ata-x", "/dev/disk/by-id/ata-x", "file"},
      {"/dev/disk/by-uuid/1-2", "/dev/disk/by-uuid/1-2", "file"},
      {"\\dev\\disk\\by-label\\x", cwd + "/\\dev\\disk\\by-label\\x", "file"},
      {"file:///dev/disk0", "/dev/disk0", "file"},
      {"file:///data//a.img", "/data//a.img", "file"},
      {"file:\\\\\\data\\a.img", "/data/a.img", "file"},
      // A file URL's escapes are the bytes of the name, also a "/" or "\".
      {"file:///data/fu%3F.img", "/data/fu?.img", "file"},
      {"file:///d%c3%A9j%C3%a0/a%2Fb%5cc%25", "/d\xc3\xa9j\xc3\xa0/a/b\\c%", "file"},
      {"file:///dev%2fnull", "/dev/null", "file_null"},
      {"/data/case?2.img", "/data/case?2.img", "file"},
      {"a:/b.img", cwd + "/a:/b.img", "file"},
      {"e:", cwd + "/e:", "file"},
      {"b\\c.img", cwd + "/b\\c.img", "file"},
      {"x#1%&y", cwd + "/x#1%&y", "file"},
      {"\\\\.\\PhysicalDrive1", cwd + "/\\\\.\\PhysicalDrive1", "file"},
      {"/dev/null", "/dev/null", "file_null"},
      {"\\DEV\\ZERO", "\\DEV\\ZERO", "file_zero"},
      {"\\dev\\stdin", "\\dev\\stdin", "file_stdin"},
      {"/dev/stdout", "/dev/stdout", "file_stdout"},
      {"\\dev\\random", "\\dev\\random", "file_random"},
      {"/dev/null/x", "/dev/null/x", "file"},
      {"krp://10.0.0.1/dev/rdisk0s1s2", "krp:\\\\10.0.0.1\\dev\\rdisk0s1s2", "krp"},
      {"KRPS://h//x", "KRPS:\\\\h\\\\x", "krp"},  // remote names stay as they are
      {"krp:x", cwd + "/krp:x", "file"},            // not a URL
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    Named n = device_name(r.path);
    EXPECT_EQ(n.name, r.name);
    EXPECT_EQ(n.driver, r.driver);
  }
  // What cannot be represented is refused, never cut or rewritten.
  for (std::string bad : {std::string(4096, 'a'), std::string(4090, 'a'), std::string("file:///x?y"),
                          std::string("file://"), std::string(""), std::string("file:///a%00b"),
                          std::string("file:///a%"), std::string("file:///a%4"),
                          std::string("file:///a%g1"), std::string("file:///a%%41")}) {
    SCOPED_TRACE(bad.substr(0, 20));
    EXPECT_EQ(device_name(bad.c_str()).name, "(fail)");
  }
  EXPECT_EQ(device_name(nullptr).name, "(fail)");
  char small[6], drv[16];
  EXPECT_FALSE(tb_file_device_name("/dev/random", small, sizeof small, drv, sizeof drv));
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(FileInit, OverlongAndNullPathsAreRefused) {
  errno = 0;
  EXPECT_EQ(tb_file_init(std::string(4096, 'a').c_str(), FILE_MODE_READ), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
  errno = 0;
  EXPECT_EQ(tb_file_init(nullptr, FILE_MODE_READ), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

int g_lines_seen = 0;
std::string g_last_line;
int keep_line(const char* line) {
  ++g_lines_seen;
  g_last_line = line;
  return 0;
}

TEST(FileInit, LogsCallerPathNameAndDriver) {
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_DEBUG);
  // The sinks take lines only when both callbacks are set.
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, keep_line);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, keep_line);
  tb_file_ref_t f = tb_file_init("\\DEV\\ZERO", FILE_MODE_READ);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, static_cast<os_log_callback>(nullptr));
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, static_cast<os_log_callback>(nullptr));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tb_file_close(f), 1);
  ASSERT_GT(g_lines_seen, 0);
  EXPECT_NE(g_last_line.find("[\\DEV\\ZERO] [\\DEV\\ZERO] [file_zero]"), std::string::npos)
      << g_last_line;
}

TEST(FileSpecial, NullZeroAndRandom) {
  tb_file_ref_t null = tb_file_init("/dev/null", FILE_MODE_WRITE);
  ASSERT_NE(null, nullptr);
  EXPECT_EQ(tb_file_write(null, "abc", 3), 3);
  char buf[4099];
  EXPECT_EQ(tb_file_read(null, buf, 1), -1);  // absent
  EXPECT_EQ(tb_file_sync(null), 1);
  EXPECT_EQ(tb_file_size(null), 0);
  EXPECT_EQ(tb_file_close(null), 1);

  tb_file_ref_t zero = tb_file_init("\\DEV\\ZERO", FILE_MODE_READ);
  ASSERT_NE(zero, nullptr);
  std::memset(buf, 0x55, sizeof buf);
  EXPECT_EQ(tb_file_read(zero, buf, sizeof buf), static_cast<long>(sizeof buf));
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
  // Absent operations answer -1, or 0 for those that report success.
  EXPECT_EQ(tb_file_write(zero, "a", 1), -1);
  EXPECT_EQ(tb_file_pread(zero, buf, 1, 0), -1);
  EXPECT_EQ(tb_file_pwrite(zero, buf, 1, 0), -1);
  tb_iovec_t v{buf, 1};
  EXPECT_EQ(tb_file_readv(zero, &v, 1), -1);
  EXPECT_EQ(tb_file_writev(zero, &v, 1), -1);
  EXPECT_EQ(tb_file_preadv(zero, &v, 1, 0), -1);
  EXPECT_EQ(tb_file_pwritev(zero, &v, 1, 0), -1);
  EXPECT_EQ(tb_file_writef(zero, zero, 0, 1), -1);
  EXPECT_EQ(tb_file_sync(zero), 0);
  EXPECT_EQ(tb_file_truncate(zero, 0), 0);
  EXPECT_EQ(tb_file_seek(zero, 100, 0), 0);
  tb_file_devinfo info{};
  ASSERT_EQ(tb_file_ctrl(zero, TB_FILE_CTRL_DEVINFO, &info, sizeof info), 1);
  EXPECT_EQ(info.size, 0);
  EXPECT_EQ(info.sector_bytes, 512);
  EXPECT_EQ(tb_file_ctrl(zero, TB_FILE_CTRL_DEVINFO, &info, 4), 0);  // too small
  EXPECT_EQ(tb_file_close(zero), 1);

  tb_file_ref_t rnd = tb_file_init("/DEV/RANDOM", FILE_MODE_READ);
  ASSERT_NE(rnd, nullptr);
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(tb_file_read(rnd, buf, sizeof buf), static_cast<long>(sizeof buf));
  EXPECT_NE(std::string(buf + 4096, 3), std::string(3, '\0'));  // the tail is filled too
  EXPECT_EQ(tb_file_close(rnd), 1);

  // Null handles never crash.
  EXPECT_EQ(tb_file_close(nullptr), 0);
  EXPECT_EQ(tb_file_read(nullptr, buf, 1), -1);
  EXPECT_EQ(tb_file_ctrl(nullptr, 0, &info, sizeof info), 0);
}

// --- the registered slot ------------------------------------------------

struct Recorded {
  std::string path;
  int mode = -1;
  int closes = 0;
};
Recorded g_rec;
char g_ctx;
void* rec_open(const char* path, int mode) {
  g_rec.path = path;
  g_rec.mode = mode;
  return &g_ctx;
}
int rec_close(void*) { return ++g_rec.closes; }
long rec_read(void*, void* buf, size_t size) {
  std::memset(buf, 'k', size);
  return static_cast<long>(size);
}

TEST_F(FileTest, RemoteNamesGoToTheRegisteredDriver) {
  // Before anything is registered the local driver gets the name and fails,
  // even with a mode that creates: no "krp:" folder appears.
  errno = 0;
  EXPECT_EQ(tb_file_init("krp://10.0.0.1/dev/rdisk0s1s2", 42), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(kit::file_exists(at("krp:")));

  tb_file_driver drv{};
  drv.name = "krp";
  drv.open = rec_open;
  drv.close = rec_close;
  drv.read = rec_read;
  ASSERT_EQ(tb_file_register_driver(&drv), 0);
  EXPECT_EQ(tb_file_register_driver(&drv), -1);
  drv.name = "changed";  // the table keeps its own copy

  tb_file_ref_t f = tb_file_init("krp://10.0.0.1/dev/rdisk0s1s2", FILE_MODE_READ);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(g_rec.path, "krp:\\\\10.0.0.1\\dev\\rdisk0s1s2");
  EXPECT_EQ(g_rec.mode, FILE_MODE_READ);
  char buf[3];
  EXPECT_EQ(tb_file_read(f, buf, 3), 3);
  EXPECT_EQ(buf[2], 'k');
  EXPECT_EQ(tb_file_pread(f, buf, 3, 0), -1);
  EXPECT_EQ(tb_file_size(f), -1);
  EXPECT_EQ(tb_file_ctrl(f, TB_FILE_CTRL_IOERR, buf, 4), 0);
  EXPECT_EQ(tb_file_close(f), 1);
  EXPECT_EQ(g_rec.closes, 1);

  ASSERT_NE(f = tb_file_init("KRPS:\\\\h:7\\x", 10), nullptr);
  EXPECT_EQ(g_rec.path, "KRPS:\\\\h:7\\x");
  EXPECT_EQ(g_rec.mode, 10);
  tb_file_close(f);
}

// --- the local file driver ---------------------------------------------

TEST_F(FileTest, ImageModesCreateOnlyWhenAsked) {
  errno = 0;
  EXPECT_EQ(tb_file_init(at("img.dd").c_str(), 10), nullptr);  // continue: must exist
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(tb_file_init(at("img.dd").c_str(), FILE_MODE_WRITE), nullptr);

  tb_file_ref_t f = tb_file_init(at("img.dd").c_str(), 42);  // new image
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tb_file_write(f, "0123456789", 10), 10);
  EXPECT_EQ(tb_file_close(f), 1);

  ASSERT_NE(f = tb_file_init(at("img.dd").c_str(), 10), nullptr);  // contents kept
  EXPECT_EQ(tb_file_size(f), 10);
  EXPECT_EQ(tb_file_offset(f), 0);
  EXPECT_EQ(tb_file_write(f, "ab", 2), 2);
  tb_file_close(f);
  EXPECT_EQ(kit::read_file(at("img.dd")), "ab23456789");

  ASSERT_NE(f = tb_file_init(at("img.dd").c_str(), 42), nullptr);  // emptied
  EXPECT_EQ(tb_file_size(f), 0);
  tb_file_close(f);

  // Emptying with read access only is refused and loses nothing.
  kit::write_file(at("keep"), "data");
  EXPECT_EQ(tb_file_init(at("keep").c_str(), FILE_MODE_READ | FILE_MODE_TRUNCATE), nullptr);
  ASSERT_NE(f = tb_file_init(at("keep").c_str(), FILE_MODE_WRITE | FILE_MODE_TRUNCATE), nullptr);
  tb_file_close(f);
  EXPECT_EQ(kit::read_file(at("keep")), "");
}

TEST_F(FileTest, RelativeNamesAndMissingFolders) {
  // A relative name is absolute against the cwd; a backslash is part of a
  // name, so "a\\b" is one folder.
  tb_file_ref_t f = tb_file_init("a\\b//c\\img.dd", 42);
  ASSERT_NE(f, nullptr);
  tb_file_close(f);
  EXPECT_TRUE(kit::file_exists(at("a\\b/c\\img.dd")));
  EXPECT_FALSE(kit::file_exists(at("a")));
  ASSERT_NE(f = tb_file_init("a/b//c/img.dd", 42), nullptr);
  tb_file_close(f);
  EXPECT_TRUE(kit::file_exists(at("a/b/c/img.dd")));
  // Without the create bit no folder is made.
  EXPECT_EQ(tb_file_init("x/y/img.dd", FILE_MODE_WRITE | FILE_MODE_TRUNCATE), nullptr);
  EXPECT_FALSE(kit::file_exists(at("x")));
  // The URL form of a local path names the same file.
  ASSERT_NE(f = tb_file_init(("file://" + at("a/b/c/img.dd")).c_str(), FILE_MODE_READ), nullptr);
  tb_file_close(f);
}

TEST_F(FileTest, AppendPositionsAtTheEnd) {
  const int append = FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_APPEND;
  tb_file_ref_t f = tb_file_init(at("log").c_str(), append);  // created, stays at 0
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tb_file_offset(f), 0);
  EXPECT_EQ(tb_file_write(f, "abc", 3), 3);
  tb_file_close(f);
  ASSERT_NE(f = tb_file_init(at("log").c_str(), append), nullptr);
  EXPECT_EQ(tb_file_offset(f), 3);
  EXPECT_EQ(tb_file_write(f, "de", 2), 2);
  tb_file_close(f);
  EXPECT_EQ(kit::read_file(at("log")), "abcde");
}

TEST_F(FileTest, PositionedVectorAndCopyOperations) {
  kit::write_file(at("src"), "0123456789abcdef");
  tb_file_ref_t f = tb_file_init(at("src").c_str(), FILE_MODE_READWRITE);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tb_file_write(f, "XY", 2), 2);  // read-write access
  char buf[32] = {};
  EXPECT_EQ(tb_file_pread(f, buf, 4, 10), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(tb_file_pwrite(f, "ZZ", 2, 14), 2);
  EXPECT_EQ(tb_file_offset(f), 2);  // positioned calls leave the position

  char a[3], b[5];
  tb_iovec_t v[2] = {{a, sizeof a}, {b, sizeof b}};
  EXPECT_EQ(tb_file_readv(f, v, 2), 8);
  EXPECT_EQ(std::string(a, 3) + std::string(b, 5), "2345678" "9");
  EXPECT_EQ(tb_file_preadv(f, v, 2, 12), 4);  // stops at the short item
  EXPECT_EQ(std::string(a, 3), "cdZ");
  tb_iovec_t w[2] = {{const_cast<char*>("pq"), 2}, {const_cast<char*>("rs"), 2}};
  EXPECT_EQ(tb_file_pwritev(f, w, 2, 0), 4);
  EXPECT_EQ(tb_file_seek(f, 0, 2), 16);
  EXPECT_EQ(tb_file_writev(f, w, 2), 4);
  EXPECT_EQ(tb_file_seek(f, -2, 1), 18);
  EXPECT_EQ(tb_file_seek(f, 0, 3), -1);

  tb_file_ref_t dst = tb_file_init(at("dst").c_str(), 42);
  ASSERT_NE(dst, nullptr);
  EXPECT_EQ(tb_file_writef(dst, f, 2, 100), 18);  // up to the end of the source
  EXPECT_EQ(tb_file_writef(dst, nullptr, 0, 1), -1);
  tb_file_close(dst);
  tb_file_close(f);
  EXPECT_EQ(kit::read_file(at("src")), "pqrs456789abcdZZpqrs");
  EXPECT_EQ(kit::read_file(at("dst")), "rs456789abcdZZpqrs");
}

TEST_F(FileTest, WritefCopiesMoreThanOnePiece) {
  std::string big(20000, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  kit::write_file(at("big"), big);
  tb_file_ref_t src = tb_file_init(at("big").c_str(), FILE_MODE_READ);
  tb_file_ref_t dst = tb_file_init(at("copy").c_str(), 42);
  ASSERT_TRUE(src && dst);
  EXPECT_EQ(tb_file_writef(dst, src, 100, 19000), 19000);
  tb_file_close(src);
  tb_file_close(dst);
  EXPECT_EQ(kit::read_file(at("copy")), big.substr(100, 19000));
}

TEST_F(FileTest, TruncateLeavesThePositionAtTheNewLength) {
  kit::write_file(at("t"), "0123456789");
  tb_file_ref_t f = tb_file_init(at("t").c_str(), FILE_MODE_WRITE);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(tb_file_truncate(f, 4), 1);
  EXPECT_EQ(tb_file_offset(f), 4);
  EXPECT_EQ(tb_file_size(f), 4);
  EXPECT_EQ(tb_file_write(f, "x", 1), 1);
  ASSERT_EQ(tb_file_truncate(f, 8), 1);  // growing fills with zeros
  EXPECT_EQ(tb_file_offset(f), 8);
  EXPECT_EQ(tb_file_truncate(f, -1), 0);
  EXPECT_EQ(tb_file_sync(f), 1);
  tb_file_close(f);
  EXPECT_EQ(kit::read_file(at("t")), std::string("0123x\0\0\0", 8));
}

TEST_F(FileTest, ErrorClassesAndDeviceInformation) {
  kit::write_file(at("d"), std::string(1000, 'd'));
  tb_file_ref_t f = tb_file_init(at("d").c_str(), FILE_MODE_READ);
  ASSERT_NE(f, nullptr);
  struct {
    int err;
    int32_t ioerr;
  } rows[] = {{0, IOERR_NONE},   {EIO, IOERR_DATA},  {ENOENT, IOERR_GONE}, {ENXIO, IOERR_GONE},
              {ENODEV, IOERR_GONE}, {EACCES, IOERR_OTHER}, {ETIMEDOUT, IOERR_OTHER}};
  for (const auto& r : rows) {
    int32_t cls = -1;
    errno = r.err;
    ASSERT_EQ(tb_file_ctrl(f, TB_FILE_CTRL_IOERR, &cls, sizeof cls), 1);
    EXPECT_EQ(cls, r.ioerr) << r.err;
  }
  // A failed write on a read-only handle is "other".
  EXPECT_EQ(tb_file_write(f, "x", 1), -1);
  int32_t cls = -1;
  tb_file_ctrl(f, TB_FILE_CTRL_IOERR, &cls, sizeof cls);
  EXPECT_EQ(cls, IOERR_OTHER);

  ASSERT_EQ(tb_file_seek(f, 300, 0), 300);
  tb_file_devinfo info{};
  ASSERT_EQ(tb_file_ctrl(f, TB_FILE_CTRL_DEVINFO, &info, sizeof info), 1);
  EXPECT_EQ(info.size, 1000);
  EXPECT_EQ(info.offset, 300);
  EXPECT_EQ(info.sector_bytes, 512);
  EXPECT_EQ(tb_file_offset(f), 300);
  EXPECT_EQ(tb_file_ctrl(f, 99, &info, sizeof info), 0);
  tb_file_close(f);
}

// A stand-in sysfs: whole disks are counted in name order, loop, ram and
// zram devices skipped.
TEST_F(FileTest, WholeDisksByNumber) {
  ASSERT_EQ(system(("mkdir -p " + at("sys/vdb") + " " + at("sys/loop0") + " " + at("sys/ram0") +
                    " " + at("sys/zram0") + " " + at("sys/sda") + " " + at("dev"))
                       .c_str()),
            0);
  kit::write_file(at("dev/sda"), "first disk");
  kit::write_file(at("dev/vdb"), "second");
  kit::write_file(at("dev/loop0"), "never");
  tb_file_block_roots_set(at("sys").c_str(), at("dev").c_str());
  char buf[32] = {};
  tb_file_ref_t d0 = tb_file_init("\\dev\\disk0", FILE_MODE_READ);
  ASSERT_NE(d0, nullptr);
  EXPECT_EQ(tb_file_read(d0, buf, sizeof buf), 10);
  EXPECT_STREQ(buf, "first disk");
  EXPECT_EQ(tb_file_size(d0), 10);
  tb_file_close(d0);
  tb_file_ref_t d1 = tb_file_init("\\dev\\disk1", FILE_MODE_READ);
  ASSERT_NE(d1, nullptr);
  EXPECT_EQ(tb_file_size(d1), 6);
  tb_file_close(d1);
  for (const char* missing : {"\\dev\\disk2", "\\dev\\disk", "\\dev\\diskx", "e:", "\\\\.\\C:"}) {
    errno = 0;
    EXPECT_EQ(tb_file_init(missing, FILE_MODE_READ), nullptr) << missing;
    EXPECT_EQ(errno, ENOENT) << missing;
  }
  tb_file_block_roots_set(nullptr, nullptr);
}

// A loop device's size is its length, not the 0 that fstat reports.
TEST_F(FileTest, BlockDeviceSizeIsTheDeviceLength) {
  const size_t len = 3 * 1024 * 1024 + 4096;
  {
    std::ofstream out(at("backing"), std::ios::binary);
    out.seekp(static_cast<std::streamoff>(len - 1));
    out.put('\0');
  }
  std::string cmd = "losetup -f --show " + at("backing") + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  char dev[128] = {};
  bool made = p && fgets(dev, sizeof dev, p) != nullptr;
  if (p) pclose(p);
  if (!made || std::strncmp(dev, "/dev/loop", 9) != 0)
    GTEST_SKIP() << "no loop device could be set up here (losetup needs root and /dev/loop*)";
  dev[std::strcspn(dev, "\n")] = 0;

  tb_file_ref_t f = tb_file_init(dev, FILE_MODE_READ);
  int64_t size = f ? tb_file_size(f) : -2;
  tb_file_devinfo info{};
  int ok = f ? tb_file_ctrl(f, TB_FILE_CTRL_DEVINFO, &info, sizeof info) : 0;
  if (f) tb_file_close(f);
  EXPECT_EQ(system(("losetup -d " + std::string(dev)).c_str()), 0);
  ASSERT_NE(f, nullptr) << dev;
  EXPECT_EQ(size, static_cast<int64_t>(len));
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(info.size, static_cast<int64_t>(len));
  EXPECT_EQ(info.sector_bytes, 512);
}

// A character device that stands for a disk tells its size by a seek to
// its end (the screen memory of a virtual console is one that is safe to
// read); \dev\null, \dev\zero (named through links, so that the local
// driver opens them) and a pipe have none. Asking leaves the position.
TEST_F(FileTest, CharacterDeviceSizeIsWhatASeekToItsEndTells) {
  ASSERT_EQ(symlink("/dev/null", at("null").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", at("zero").c_str()), 0);
  ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
  const int writer = open(at("fifo").c_str(), O_RDWR);  // the read open does not wait
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "0123456789", 10), 10);
  const std::string console = "/dev/vcs1";
  const int fd = open(console.c_str(), O_RDONLY);
  const off_t console_size = fd < 0 ? 0 : lseek(fd, 0, SEEK_END);
  if (fd >= 0) close(fd);
  struct {
    std::string path;
    int64_t size;
    long reads;  // of 4 bytes asked, then of 2
  } rows[] = {{at("null"), 0, 0}, {at("zero"), 0, 4}, {at("fifo"), 0, 4}, {console, console_size, 4}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    if (row.size <= 0 && row.path == console) {
      fprintf(stderr, "note: %s cannot be read here: no device with a size\n", console.c_str());
      continue;
    }
    tb_file_ref_t f = tb_file_init(row.path.c_str(), FILE_MODE_READ);
    ASSERT_NE(f, nullptr);
    char head[4];
    ASSERT_EQ(tb_file_read(f, head, sizeof head), row.reads);
    EXPECT_EQ(tb_file_size(f), row.size);
    tb_file_devinfo info{};
    // A pipe has no position, so no device information at all.
    EXPECT_EQ(tb_file_ctrl(f, TB_FILE_CTRL_DEVINFO, &info, sizeof info), row.path != at("fifo"));
    EXPECT_EQ(info.size, row.size);
    char next[2];
    EXPECT_EQ(tb_file_read(f, next, sizeof next), row.reads / 2);  // on from where it was
    if (row.path == at("fifo")) {
      EXPECT_EQ(std::string(next, 2), "45");
    } else if (row.path == console) {
      EXPECT_EQ(tb_file_offset(f), 6);
    }
    tb_file_close(f);
  }
  close(writer);
}

}  // namespace
