#include "krsd_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Splits a path at '/' and tells whether any component is "..".
bool has_dotdot(const std::string& path) {
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (path.compare(i, j - i, "..") == 0 && j - i == 2) return true;
    i = j + 1;
  }
  return false;
}

int open_retry(const char* path, int flags, int* fd) {
  do {
    *fd = ::open(path, flags, 0644);
  } while (*fd < 0 && errno == EINTR);
  return *fd < 0 ? errno : 0;
}

}  // namespace

std::string krsd_errno_text(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof(buf));  // GNU form: returns the text
}

int krsd_mode_flags(int64_t mode) {
  // Read wins over the write bits, so a read open never empties a file
  // either: asked to, it is refused, as the file layer refuses it.
  if ((mode & KRSD_MODE_READ) && (mode & KRSD_MODE_TRUNCATE)) return -1;
  int flags;
  if (mode & KRSD_MODE_READ)
    flags = O_RDONLY;  // read wins over the write bits
  else if (mode & KRSD_MODE_WRITE)
    flags = O_WRONLY;
  else if (mode & KRSD_MODE_READWRITE)
    flags = O_RDWR;
  else
    flags = O_RDONLY;
  bool create = mode & KRSD_MODE_CREATE, trunc = mode & KRSD_MODE_TRUNCATE,
       append = mode & KRSD_MODE_APPEND;
  // create+truncate: always a new empty file; create+append: open or make;
  // create alone: the file must exist; truncate alone: an existing file emptied.
  if (create && trunc)
    flags |= O_CREAT | O_TRUNC;
  else if (create && append)
    flags |= O_CREAT;
  else if (trunc)
    flags |= O_TRUNC;
  return flags | O_CLOEXEC | O_NOCTTY;
}

bool krsd_mode_writes(int64_t mode) {
  if (mode & (KRSD_MODE_CREATE | KRSD_MODE_APPEND | KRSD_MODE_TRUNCATE)) return true;
  return !(mode & KRSD_MODE_READ) && (mode & (KRSD_MODE_WRITE | KRSD_MODE_READWRITE));
}

// ---- krsd_fs ----------------------------------------------------------------

int krsd_fs::init(const krsd_opts& opts) {
  opts_ = &opts;
  if (opts.root.empty()) return 0;
  root_fd_ = ::open(opts.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) return errno;
  char buf[PATH_MAX];
  if (realpath(opts.root.c_str(), buf) == nullptr) return errno;
  root_real_ = buf;
  return 0;
}

krsd_fs::~krsd_fs() {
  if (root_fd_ >= 0) ::close(root_fd_);
}

int krsd_fs::open_in_root(const std::string& path, int flags, int* fd) const {
  // ".." is refused outright; symlinks are resolved by the kernel as if DIR
  // were "/", so no link can point the open out of the root either.
  if (has_dotdot(path)) return EACCES;
  std::string rel = path;
  while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
  if (rel.empty()) rel = ".";
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & O_CREAT) ? 0644 : 0;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    long got = syscall(SYS_openat2, root_fd_, rel.c_str(), &how, sizeof(how));
    if (got >= 0) {
      *fd = static_cast<int>(got);
      return 0;
    }
    if (errno == EINTR || errno == EAGAIN) continue;
    if (errno != ENOSYS) return errno;
    break;
  }
  // Kernels without openat2: resolve the full path (or its folder when the
  // file is to be made) and accept it only inside the canonical root.
  std::string full = root_real_ + "/" + rel;
  char buf[PATH_MAX];
  std::string checked;
  if (realpath(full.c_str(), buf) != nullptr) {
    checked = buf;
  } else if (errno == ENOENT && (flags & O_CREAT)) {
    size_t slash = full.rfind('/');
    std::string dir = full.substr(0, slash);
    if (realpath(dir.c_str(), buf) == nullptr) return errno;
    checked = std::string(buf) + full.substr(slash);
  } else {
    return errno;
  }
  if (checked != root_real_ && checked.rfind(root_real_ + "/", 0) != 0) return EACCES;
  return open_retry(checked.c_str(), flags | O_NOFOLLOW, fd);
}

int krsd_fs::open_path(const std::string& path, int flags, int* fd) const {
  for (const auto& m : opts_->maps) {
    if (m.path == path) return open_retry(m.file.c_str(), flags, fd);
  }
  if (root_fd_ >= 0) return open_in_root(path, flags, fd);
  return open_retry(path.c_str(), flags, fd);
}

// ---- krsd_file --------------------------------------------------------------

krsd_file::~krsd_file() {
  if (fd_ >= 0) ::close(fd_);
  if (direct_fd_ >= 0) ::close(direct_fd_);
}

int krsd_file::open(const krsd_fs& fs, const std::string& path, int64_t mode,
                    std::unique_ptr<krsd_file>* out) {
  if (path.empty()) return ENOENT;
  if (fs.opts().read_only && krsd_mode_writes(mode)) return EROFS;
  int flags = krsd_mode_flags(mode);
  if (flags < 0) return EINVAL;
  int fd = -1;
  const int e = fs.open_path(path, flags, &fd);
  if (e != 0) return e;
  std::unique_ptr<krsd_file> f(new krsd_file());
  f->fs_ = &fs;
  f->fd_ = fd;
  f->path_ = path;
  f->can_write_ = (flags & O_ACCMODE) != O_RDONLY;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (S_ISREG(st.st_mode))
    f->type_ = KRSD_FTYPE_REGULAR;
  else if (S_ISBLK(st.st_mode))
    f->type_ = KRSD_FTYPE_BLOCK;
  else if (S_ISCHR(st.st_mode))
    f->type_ = KRSD_FTYPE_CHAR;
  else
    f->type_ = KRSD_FTYPE_OTHER;
  if (mode & KRSD_MODE_APPEND) {
    // Positioned at the end, as the file layer does it; O_APPEND is not used
    // because it would make every positioned write land at the end.
    int64_t sz = 0;
    int e = f->size(&sz);
    if (e != 0) return e;
    f->pos_ = sz;
  }
  *out = std::move(f);
  return 0;
}

int krsd_file::size(int64_t* out) const {
  if (type_ == KRSD_FTYPE_BLOCK) {
    uint64_t n = 0;
    if (ioctl(fd_, BLKGETSIZE64, &n) != 0) return errno;
    *out = static_cast<int64_t>(n);
    return 0;
  }
  if (type_ == KRSD_FTYPE_CHAR) {
    // A raw disk partition is a character device: it tells its size by a
    // seek to its end. One that cannot (a stream of bytes) has none, 0.
    off_t end = lseek(fd_, 0, SEEK_END);
    *out = end > 0 ? static_cast<int64_t>(end) : 0;
    return 0;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) return errno;
  *out = type_ == KRSD_FTYPE_REGULAR ? st.st_size : 0;
  return 0;
}

size_t krsd_file::clamp_read(size_t n) const {
  if (type_ != KRSD_FTYPE_REGULAR && type_ != KRSD_FTYPE_BLOCK) return n;
  int64_t sz = 0;
  if (size(&sz) != 0) return n;  // the read itself will tell
  if (pos_ >= sz) return 0;
  return static_cast<uint64_t>(sz - pos_) < n ? static_cast<size_t>(sz - pos_) : n;
}

int krsd_file::fault(int64_t off, size_t len) const {
  if (len == 0) return 0;
  const krsd_opts& o = fs_->opts();
  int64_t end = off + static_cast<int64_t>(len);  // len is at most 10 MiB
  if (o.vanish_at >= 0 && end > o.vanish_at) return ENXIO;
  for (const auto& r : o.bad) {
    if (off < r.off + r.len && r.off < end) return EIO;
  }
  return 0;
}

int krsd_file::read_cached(int64_t off, uint8_t* buf, size_t len, size_t* got) const {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd_, buf + done, len - done, off + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      // A device that went away reads as ENODEV on some drivers: report it as
      // gone, the class the client acts on.
      return errno == ENODEV ? ENXIO : errno;
    }
    if (n == 0) break;  // end of the data
    done += static_cast<size_t>(n);
  }
  *got = done;
  return 0;
}

// Through /proc, so that it is the very device of fd_ even when its name has
// since come to mean another; read-only, whatever fd_ was opened for.
int krsd_file::direct_fd() const {
  if (direct_fd_ != -2) return direct_fd_;
  direct_fd_ = -1;
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  int fd = -1;
  if (open_retry(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC | O_NOCTTY, &fd) != 0) return -1;
  struct stat mine, theirs;
  if (fstat(fd, &mine) != 0 || fstat(fd_, &theirs) != 0 || !S_ISBLK(mine.st_mode) ||
      mine.st_rdev != theirs.st_rdev) {
    ::close(fd);
    return -1;
  }
  direct_fd_ = fd;
  return fd;
}

// O_DIRECT wants buffer, offset and length on the device's logical sector
// grid: the sectors the range touches are read into an aligned buffer and
// the asked bytes copied out. 0 with all of them (fewer only at the end of
// the device), else an errno value.
int krsd_file::read_direct(int64_t off, uint8_t* buf, size_t len, size_t* got) const {
  const int fd = direct_fd();
  if (fd < 0) return EBADF;
  int ss = 0;
  if (ioctl(fd_, BLKSSZGET, &ss) != 0 || ss <= 0 || ss > (1 << 24)) ss = 512;
  const auto sector = static_cast<int64_t>(ss);
  const int64_t first = off / sector * sector;
  const auto skip = static_cast<size_t>(off - first);
  const auto span = static_cast<size_t>((static_cast<int64_t>(skip + len) + sector - 1) / sector * sector);
  void* raw = nullptr;
  if (posix_memalign(&raw, std::max<size_t>(static_cast<size_t>(sector), 4096), span) != 0) return ENOMEM;
  std::unique_ptr<uint8_t, decltype(&std::free)> sectors(static_cast<uint8_t*>(raw), &std::free);
  size_t done = 0;
  while (done < span) {
    ssize_t n = ::pread(fd, sectors.get() + done, span - done, first + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;  // the end of the device
    done += static_cast<size_t>(n);
  }
  *got = done > skip ? std::min(len, done - skip) : 0;
  if (*got) std::memcpy(buf, sectors.get() + skip, *got);
  return 0;
}

int krsd_file::read_at(int64_t off, uint8_t* buf, size_t len, size_t* got) const {
  *got = 0;
  if (off < 0 || off > INT64_MAX - static_cast<int64_t>(len)) return EINVAL;
  int e = fault(off, len);
  if (e != 0) return e;
  e = read_cached(off, buf, len, got);
  if (e == 0 || type_ != KRSD_FTYPE_BLOCK || e == ENXIO || len == 0) return e;
  // The cache reads a bad sector's whole neighbourhood in one go and fails
  // it all; the device itself tells sector by sector. Where it cannot be
  // read so either, the first answer stands: a device's own error for a bad
  // sector (ENODATA, ...) is no class the client knows, EIO is.
  size_t direct = 0;
  if (read_direct(off, buf, len, &direct) != 0) {
    *got = 0;
    return e;
  }
  *got = direct;
  return 0;
}

int krsd_file::read(uint8_t* buf, size_t len, size_t* got) {
  int e = read_at(pos_, buf, len, got);
  if (e == 0) pos_ += static_cast<int64_t>(*got);
  return e;
}

int krsd_file::write(const uint8_t* buf, size_t len, size_t* put) {
  *put = 0;
  if (fs_->opts().read_only) return EROFS;
  if (!can_write_) return EBADF;
  if (pos_ < 0 || pos_ > INT64_MAX - static_cast<int64_t>(len)) return EINVAL;
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pwrite(fd_, buf + done, len - done, pos_ + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done == 0) return errno;
      break;  // the bytes that made it are reported
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  pos_ += static_cast<int64_t>(done);
  *put = done;
  return 0;
}

int krsd_file::seek(int64_t offset, int64_t origin, int64_t* pos) {
  int64_t base;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = pos_; break;
    case 2: {
      int e = size(&base);
      if (e != 0) return e;
      break;
    }
    default: return EINVAL;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return EINVAL;
  pos_ = base + offset;
  *pos = pos_;
  return 0;
}

int krsd_file::truncate(int64_t len) {
  if (len < 0) return EINVAL;
  if (fs_->opts().read_only) return EROFS;
  if (!can_write_) return EBADF;
  if (ftruncate(fd_, len) != 0) return errno;
  return 0;
}

int krsd_file::sync() {
  // Nothing was written through a read-only daemon, and a sync of a device
  // is a command to it (a cache flush): the evidence gets none.
  if (fs_->opts().read_only) return can_write_ ? EROFS : 0;
  if (fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) return errno;
  return 0;
}

int krsd_file::info(krsd_file_facts* out) {
  out->type = type_;
  out->offset = pos_;
  out->sector_bytes = 512;
  int e = size(&out->size);
  if (e != 0) return e;
  const char* kind = "file";
  switch (type_) {
    case KRSD_FTYPE_REGULAR: kind = "regular file"; break;
    case KRSD_FTYPE_BLOCK: {
      kind = "block device";
      int ss = 0;
      if (ioctl(fd_, BLKSSZGET, &ss) == 0 && ss > 0) out->sector_bytes = ss;
      break;
    }
    case KRSD_FTYPE_CHAR: kind = "character device"; break;
    default: kind = "other file"; break;
  }
  out->info = std::string(kind) + " " + path_;
  return 0;
}
