// The files and devices that krsd serves: where a requested path leads
// (--root, --map), how the client's open mode becomes an open(2), and the
// operations on an open file with the injected faults of the options.
//
// Errors of the file layer: every operation that can fail returns 0 or an
// errno value (positive, never -errno, never a bool) and hands its results
// back through pointers; it never throws. The words for an errno value,
// wherever the daemon puts them into an answer or a message, are
// krsd_errno_text's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "krp_wire.h"
#include "krsd_opts.h"

// Where requests lead: the options plus the opened root directory. Made once
// at start-up, then shared read-only by every connection.
class krsd_fs {
 public:
  // 0, or an errno value when the root directory cannot be opened.
  [[nodiscard]] int init(const krsd_opts& opts);
  ~krsd_fs();
  krsd_fs() = default;
  krsd_fs(const krsd_fs&) = delete;
  krsd_fs& operator=(const krsd_fs&) = delete;

  const krsd_opts& opts() const { return *opts_; }
  // Opens the requested path with open(2) flags: 0 and the descriptor in
  // *fd, or an errno value.
  [[nodiscard]] int open_path(const std::string& path, int flags, int* fd) const;

 private:
  int open_in_root(const std::string& path, int flags, int* fd) const;
  const krsd_opts* opts_ = nullptr;
  int root_fd_ = -1;
  std::string root_real_;  // canonical root, for the fallback without openat2
};

// What the daemon tells of an open file (its own layout: the client keeps
// another, krsd_file_info, for what it was told).
struct krsd_file_facts {
  int32_t type = 0;
  int64_t size = 0;
  int64_t offset = 0;
  int32_t sector_bytes = 512;
  std::string info;
};

class krsd_file {
 public:
  ~krsd_file();
  krsd_file(const krsd_file&) = delete;
  krsd_file& operator=(const krsd_file&) = delete;

  // Opens `path` for the client's `mode` bits. 0 and *out, or an errno value.
  [[nodiscard]] static int open(const krsd_fs& fs, const std::string& path, int64_t mode,
                                std::unique_ptr<krsd_file>* out);

  // Reads up to len bytes at the current position into buf; fewer only at
  // the end of the data. The position advances by *got on success and stays
  // on failure (a failed read never reports part of its data). A block
  // device's read that fails is read again around the page cache, which
  // fails a whole read-ahead window for one bad sector: only a read that
  // touches an unreadable sector fails.
  [[nodiscard]] int read(uint8_t* buf, size_t len, size_t* got);
  // The same at a given offset, without moving the position.
  [[nodiscard]] int read_at(int64_t off, uint8_t* buf, size_t len, size_t* got) const;
  void advance(size_t n) { pos_ += static_cast<int64_t>(n); }
  [[nodiscard]] int write(const uint8_t* buf, size_t len, size_t* put);
  // origin 0 start, 1 current, 2 end. A negative result position is EINVAL.
  [[nodiscard]] int seek(int64_t offset, int64_t origin, int64_t* pos);
  // Write, truncate and the sync of a file opened for writing are EROFS on
  // a read-only daemon; the sync of a file opened for reading is 0 there
  // without touching the file.
  [[nodiscard]] int truncate(int64_t len);
  [[nodiscard]] int sync();
  [[nodiscard]] int info(krsd_file_facts* out);
  int64_t position() const { return pos_; }
  const std::string& path() const { return path_; }
  // n, or fewer when the file's size says that fewer bytes are left, so
  // that a read near the end allocates only what it can return.
  size_t clamp_read(size_t n) const;

 private:
  krsd_file() = default;
  int size(int64_t* out) const;
  int fault(int64_t off, size_t len) const;
  int read_cached(int64_t off, uint8_t* buf, size_t len, size_t* got) const;
  int read_direct(int64_t off, uint8_t* buf, size_t len, size_t* got) const;
  int direct_fd() const;

  const krsd_fs* fs_ = nullptr;
  int fd_ = -1;
  // The block device opened again with O_DIRECT on the first failed read;
  // -2 while not tried, -1 when it cannot be had.
  mutable int direct_fd_ = -2;
  int type_ = KRSD_FTYPE_OTHER;
  bool can_write_ = false;
  int64_t pos_ = 0;
  std::string path_;
};

// The system's words for an errno value ("No such file or directory").
std::string krsd_errno_text(int err);

// The open(2) flags for the client's mode bits; the file layer's mapping.
// -1 for read with truncate, which no open serves.
int krsd_mode_flags(int64_t mode);
// True when the mode asks for any change of the file.
bool krsd_mode_writes(int64_t mode);
