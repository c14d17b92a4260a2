// The POSIX side of the file layer: the local file driver (files and block
// devices), standard input and standard output.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/file_driver.h"
#include "platform/posix/cancel_posix.h"
#include "tb_file.h"
#include "tb_path.h"
#include "tb_url.h"

namespace {

std::string g_sys_block = "/sys/block";
std::string g_dev_dir = "/dev";

struct posix_file {
  int fd;
  bool block;  // a block device: size and sector size come from the driver
  bool waits;  // a pipe, terminal or socket: a read may wait for data
  int direct_fd;  // the same device opened O_DIRECT on first use, else -1
  bool direct_refused;  // no direct reads from this device: never tried again
};

int fd_of(void* ctx) { return static_cast<posix_file*>(ctx)->fd; }

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The N-th whole disk in name order, as a path under the device folder.
bool whole_disk_path(const char* digits, std::string* out) {
  if (!*digits || strnlen(digits, 10) > 9) return false;
  size_t n = 0;
  for (const char* p = digits; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + static_cast<size_t>(*p - '0');
  }
  DIR* dir = opendir(g_sys_block.c_str());
  if (!dir) return false;
  std::vector<std::string> disks;
  while (dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' || starts_with(name, "loop") || starts_with(name, "ram") ||
        starts_with(name, "zram"))
      continue;
    disks.emplace_back(name);
  }
  closedir(dir);
  std::sort(disks.begin(), disks.end());
  if (n >= disks.size()) return false;
  *out = g_dev_dir + "/" + disks[n];
  return true;
}

// The system path for a name that device naming gave this driver, or false
// with errno set. Naming has made every local name absolute; anything else
// (a remote name when no remote driver is registered) must not become a
// local file.
bool system_path(const char* path, std::string* out) {
  if (starts_with(path, "\\\\.\\")) {
    // Raw devices: only whole disks have a meaning here; a volume (\\.\X:)
    // has none.
    if (starts_with(path, "\\\\.\\PhysicalDrive") && whole_disk_path(path + 17, out)) return true;
    errno = ENOENT;
    return false;
  }
  if (path[0] != '/') {
    errno = ENOENT;
    return false;
  }
  out->assign(path);
  return true;
}

// Open flags for the mode bits, with the dispositions of the open table.
bool open_flags(int mode, int* flags) {
  int f;
  if (mode & FILE_MODE_READ)
    f = O_RDONLY;
  else if (mode & FILE_MODE_WRITE)
    f = O_WRONLY;
  else if (mode & FILE_MODE_READWRITE)
    f = O_RDWR;
  else
    f = O_RDONLY;
  const bool create = mode & FILE_MODE_CREATE;
  const bool truncate = mode & FILE_MODE_TRUNCATE;
  const bool append = mode & FILE_MODE_APPEND;
  if (create && truncate)
    f |= O_CREAT | O_TRUNC;  // create always
  else if (create && append)
    f |= O_CREAT;  // open always
  else if (!create && truncate) {
    // Emptying an existing file needs write access; a read-only open must
    // never destroy data.
    if ((f & O_ACCMODE) == O_RDONLY) return false;
    f |= O_TRUNC;
  }
  // create alone, or nothing: the file must exist.
  if (mode & FILE_MODE_DIRECT) f |= O_DIRECT;
  *flags = f | O_CLOEXEC;
  return true;
}

// Creates every missing folder on the way to path's last component.
void make_parents(const std::string& path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/' || path[i - 1] == '/') continue;
    std::string prefix = path.substr(0, i);
    struct stat st;
    if (stat(prefix.c_str(), &st) != 0) mkdir(prefix.c_str(), 0777);
  }
}

// A pipe or terminal may hold a read for ever; a stop request of the
// reading thread ends the wait for data instead (ECANCELED).
long read_some(int fd, void* buf, size_t size) {
  for (;;) {
    if (tb_cancel_wait_readable(fd) != 0) return -1;
    ssize_t r = ::read(fd, buf, size);
    if (r >= 0) return static_cast<long>(r);
    if (errno != EINTR) return -1;
  }
}

// Writes everything unless the system refuses; a refusal after some bytes
// reports those bytes (the next call meets the error again).
long write_all(int fd, const void* buf, size_t size) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < size) {
    ssize_t r = ::write(fd, p + done, size - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return done ? static_cast<long>(done) : -1;
    done += static_cast<size_t>(r);
  }
  return static_cast<long>(done);
}

long pwrite_all(int fd, const void* buf, size_t size, int64_t offset) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < size) {
    ssize_t r = ::pwrite(fd, p + done, size - done, offset + static_cast<int64_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return done ? static_cast<long>(done) : -1;
    done += static_cast<size_t>(r);
  }
  return static_cast<long>(done);
}

long pread_some(int fd, void* buf, size_t size, int64_t offset) {
  for (;;) {
    ssize_t r = ::pread(fd, buf, size, offset);
    if (r >= 0) return static_cast<long>(r);
    if (errno != EINTR) return -1;
  }
}

// --- the file driver -----------------------------------------------------

void* file_open(const char* path, int mode) {
  if (!path) {
    errno = EINVAL;
    return nullptr;
  }
  std::string sys;
  if (!system_path(path, &sys)) return nullptr;
  int flags;
  if (!open_flags(mode, &flags)) {
    errno = EINVAL;
    return nullptr;
  }
  // What this program makes (images, their records and reports) is the
  // examiner's and their group's to read, nobody else's.
  int fd = ::open(sys.c_str(), flags, 0640);
  if (fd < 0 && (mode & FILE_MODE_CREATE)) {
    make_parents(sys);
    fd = ::open(sys.c_str(), flags, 0640);
  }
  if (fd < 0) return nullptr;
  if ((mode & FILE_MODE_APPEND) && lseek(fd, 0, SEEK_END) < 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return nullptr;
  }
  struct stat st;
  const bool known = fstat(fd, &st) == 0;
  const bool block = known && S_ISBLK(st.st_mode);
  const bool waits = !known || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
  auto* f = new (std::nothrow) posix_file{fd, block, waits, -1, false};
  if (!f) {
    ::close(fd);
    errno = ENOMEM;
  }
  return f;
}

int file_close(void* ctx) {
  auto* f = static_cast<posix_file*>(ctx);
  int r = ::close(f->fd);
  if (f->direct_fd >= 0) ::close(f->direct_fd);
  delete f;
  return r == 0;
}

long file_read(void* ctx, void* buf, size_t size) {
  if (!size) return 0;
  if (!buf) return -1;
  auto* f = static_cast<posix_file*>(ctx);
  // A file or disk never waits for data: a stop request has nothing to end
  // there, and the job's own records must still be read after one.
  if (!f->waits) {
    for (;;) {
      ssize_t r = ::read(f->fd, buf, size);
      if (r >= 0) return static_cast<long>(r);
      if (errno != EINTR) return -1;
    }
  }
  return read_some(f->fd, buf, size);
}

long file_write(void* ctx, const void* buf, size_t size) {
  if (!size) return 0;
  if (!buf) return -1;
  return write_all(fd_of(ctx), buf, size);
}

long file_pread(void* ctx, void* buf, size_t size, int64_t offset) {
  if (!size) return 0;
  if (!buf || offset < 0) return -1;
  return pread_some(fd_of(ctx), buf, size, offset);
}

long file_pwrite(void* ctx, const void* buf, size_t size, int64_t offset) {
  if (!size) return 0;
  if (!buf || offset < 0) return -1;
  return pwrite_all(fd_of(ctx), buf, size, offset);
}

long file_readv(void* ctx, const tb_iovec_t* list, size_t count) {
  return tb_file_vector_io(list, count,
                   [ctx](const tb_iovec_t& v, long) { return file_read(ctx, v.data, v.size); });
}

long file_writev(void* ctx, const tb_iovec_t* list, size_t count) {
  return tb_file_vector_io(list, count,
                   [ctx](const tb_iovec_t& v, long) { return file_write(ctx, v.data, v.size); });
}

long file_preadv(void* ctx, const tb_iovec_t* list, size_t count, int64_t offset) {
  return tb_file_vector_io(list, count, [ctx, offset](const tb_iovec_t& v, long done) {
    return file_pread(ctx, v.data, v.size, offset + done);
  });
}

long file_pwritev(void* ctx, const tb_iovec_t* list, size_t count, int64_t offset) {
  return tb_file_vector_io(list, count, [ctx, offset](const tb_iovec_t& v, long done) {
    return file_pwrite(ctx, v.data, v.size, offset + done);
  });
}

int64_t file_writef(void* ctx, tb_file_ref_t src, int64_t offset, int64_t size) {
  return tb_file_copy_from(src, offset, size, [ctx](const char* buf, size_t n) {
    return write_all(fd_of(ctx), buf, n);
  });
}

int file_sync(void* ctx) { return fsync(fd_of(ctx)) == 0; }

// The position stays at the new length, as callers of truncate expect.
int file_truncate(void* ctx, int64_t length) {
  if (length < 0) return 0;
  int fd = fd_of(ctx);
  return ftruncate(fd, length) == 0 && lseek(fd, length, SEEK_SET) == length;
}

int64_t file_seek(void* ctx, int64_t offset, int whence) {
  if (whence < 0 || whence > 2) return -1;
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  off_t r = lseek(fd_of(ctx), offset, kWhence[whence]);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t file_offset(void* ctx) {
  off_t r = lseek(fd_of(ctx), 0, SEEK_CUR);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

// A character device that stands for a disk (a raw partition) tells its
// size by a seek to its end, as the daemon asks it; one that cannot (a
// terminal) or answers 0 (\dev\null, \dev\zero and their kin) has none.
// The position is put back; where that fails the size query fails, rather
// than leave the next read at the end.
int64_t seek_size(int fd) {
  const int err = errno;
  const off_t at = lseek(fd, 0, SEEK_CUR);
  const off_t end = at < 0 ? -1 : lseek(fd, 0, SEEK_END);
  if (end >= 0 && lseek(fd, at, SEEK_SET) != at) return -1;
  errno = err;
  return end > 0 ? static_cast<int64_t>(end) : 0;
}

int64_t file_size(void* ctx) {
  auto* f = static_cast<posix_file*>(ctx);
  if (f->block) {
    uint64_t bytes = 0;
    if (ioctl(f->fd, BLKGETSIZE64, &bytes) == 0) return static_cast<int64_t>(bytes);
  }
  struct stat st;
  if (fstat(f->fd, &st) != 0) return -1;
  if (S_ISCHR(st.st_mode) && st.st_size == 0) return seek_size(f->fd);
  return static_cast<int64_t>(st.st_size);
}

// Sector size of a block device: the driver's answer, else the smallest
// read that comes back whole, else 512. The probe reads at the current
// position without moving it.
int32_t sector_bytes(posix_file* f) {
  if (!f->block) return 512;
  int ssz = 0;
  if (ioctl(f->fd, BLKSSZGET, &ssz) == 0 && ssz > 0 && ssz <= 0x1000000) return ssz;
  off_t at = lseek(f->fd, 0, SEEK_CUR);
  if (at >= 0) {
    alignas(4096) char buf[4096];
    for (int n : {512, 1024, 2048, 4096})
      if (pread_some(f->fd, buf, static_cast<size_t>(n), at) == n) return n;
  }
  return 512;
}

// The descriptor for reads around the page cache: the device opened again,
// read-only and O_DIRECT, through /proc so that it is the very device of
// f->fd even when its name has since come to mean another. -1 when it cannot
// be had; then it is not asked for again.
int direct_fd(posix_file* f) {
  if (f->direct_fd >= 0 || f->direct_refused) return f->direct_fd;
  f->direct_refused = true;
  const std::string self = "/proc/self/fd/" + std::to_string(f->fd);
  const int fd = ::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat mine, theirs;
  if (fstat(fd, &mine) != 0 || fstat(f->fd, &theirs) != 0 || !S_ISBLK(mine.st_mode) ||
      mine.st_rdev != theirs.st_rdev) {
    ::close(fd);
    return -1;
  }
  f->direct_fd = fd;
  f->direct_refused = false;
  return fd;
}

// Starts the writeback of a range without waiting for it: with
// SYNC_FILE_RANGE_WRITE alone the pages already on their way are skipped,
// not waited for, and an error of the writeback stays for the next fsync
// of every descriptor of the file to report.
int writeback(int fd, const void* arg, size_t arg_size) {
  if (!arg || arg_size < sizeof(tb_file_range)) return 0;
  const auto* r = static_cast<const tb_file_range*>(arg);
  if (r->offset < 0 || r->size <= 0) return 0;
  const int err = errno;
  const bool ok = sync_file_range(fd, r->offset, r->size, SYNC_FILE_RANGE_WRITE) == 0;
  errno = err;
  return ok ? 1 : 0;
}

int file_ctrl(void* ctx, int code, void* arg, size_t arg_size) {
  if (code == TB_FILE_CTRL_WRITEBACK) return writeback(fd_of(ctx), arg, arg_size);
  return tb_file_local_ctrl(code, arg, arg_size, [ctx](tb_file_devinfo* info) {
    info->offset = file_offset(ctx);
    info->size = file_size(ctx);
    info->sector_bytes = sector_bytes(static_cast<posix_file*>(ctx));
  });
}

}  // namespace

long tb_file_sys_stdin_read(void* buf, size_t size) { return read_some(STDIN_FILENO, buf, size); }

long tb_file_sys_stdout_write(const void* buf, size_t size) {
  return write_all(STDOUT_FILENO, buf, size);
}

// Pipes and terminals have nothing to flush; only a real failure counts.
int tb_file_sys_stdout_sync() {
  return fsync(STDOUT_FILENO) == 0 || errno == EINVAL || errno == EROFS;
}

int tb_file_sys_kind(const char* name) {
  std::string sys;
  struct stat st;
  if (!system_path(name, &sys) || stat(sys.c_str(), &st) != 0) return -1;
  return S_ISREG(st.st_mode) ? 1 : 0;
}

int tb_file_sys_rename(const char* from, const char* to) {
  std::string a, b;
  if (!system_path(from, &a) || !system_path(to, &b)) return -1;
  return ::rename(a.c_str(), b.c_str()) == 0 ? 0 : -1;
}

const tb_file_driver tb_file_driver_file = {
    "file",       file_open,    file_close,   file_read,   file_write,   file_pread,
    file_pwrite,  file_readv,   file_writev,  file_writef, file_preadv,  file_pwritev,
    file_sync,    file_truncate, file_seek,   file_offset, file_size,    file_ctrl,
};


void tb_file_block_roots_set(const char* sys_block, const char* dev_dir) {
  g_sys_block = sys_block ? sys_block : "/sys/block";
  g_dev_dir = dev_dir ? dev_dir : "/dev";
}

bool tb_file_system_path(const char* path, char* out, size_t size) {
  char name[TB_PATH_MAXN], drv[16];
  if (!out || !tb_file_device_name(path, name, sizeof name, drv, sizeof drv)) {
    if (!out) errno = EINVAL;
    return false;
  }
  std::string sys;
  if (std::strcmp(drv, "file") == 0) {
    if (!system_path(name, &sys)) return false;
  } else if (std::strncmp(drv, "file_", 5) == 0) {
    sys = std::string("/dev/") + (drv + 5);  // the system's device of the same meaning
  } else {
    errno = EINVAL;  // a remote name
    return false;
  }
  if (sys.size() >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(out, sys.c_str(), sys.size() + 1);
  return true;
}

// O_DIRECT wants buffer, offset and length on the logical sector grid: the
// sectors the request touches are read into an aligned buffer of their own
// and the asked bytes copied out of it.
long tb_file_sys_read_direct(void* ctx, void* buf, size_t size, int64_t offset) {
  auto* f = static_cast<posix_file*>(ctx);
  if (!f || !f->block) return TB_FILE_NO_DIRECT;
  if (!size) return 0;
  if (!buf || offset < 0 || size > 0x40000000) {
    errno = EINVAL;
    return -1;
  }
  const int fd = direct_fd(f);
  if (fd < 0) return TB_FILE_NO_DIRECT;
  const int64_t sector = sector_bytes(f);
  const int64_t first = offset / sector * sector;
  const int64_t skip = offset - first;
  const auto span = static_cast<size_t>((skip + static_cast<int64_t>(size) + sector - 1) /
                                        sector * sector);
  void* raw = nullptr;
  if (posix_memalign(&raw, std::max<size_t>(static_cast<size_t>(sector), 4096), span) != 0) {
    errno = ENOMEM;
    return -1;
  }
  std::unique_ptr<char, decltype(&std::free)> sectors(static_cast<char*>(raw), &std::free);
  size_t got = 0;
  int err = 0;
  while (got < span) {
    const long r = pread_some(fd, sectors.get() + got, span - got, first + static_cast<int64_t>(got));
    if (r < 0) {
      err = errno;
      break;
    }
    if (r == 0) break;  // the end of the device
    got += static_cast<size_t>(r);
  }
  if (err == EINVAL && got == 0) {
    // The device refuses reads on its own sector grid: reads stay cached.
    ::close(f->direct_fd);
    f->direct_fd = -1;
    f->direct_refused = true;
    return TB_FILE_NO_DIRECT;
  }
  if (got <= static_cast<size_t>(skip)) {
    errno = err;
    return err ? -1 : 0;
  }
  // Bytes before a sector that failed count as read; the next read meets it.
  const size_t n = std::min(size, got - static_cast<size_t>(skip));
  std::memcpy(buf, sectors.get() + skip, n);
  return static_cast<long>(n);
}
