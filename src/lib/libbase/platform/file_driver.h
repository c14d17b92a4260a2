// Private to libbase: the built-in file drivers. The portable ones (null,
// zero, random) and the tables of standard input and output live in
// platform/file.cc; the local file driver and what reaches the system's
// standard input and output have one implementation per OS under
// platform/<os>/.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "tb_file.h"

extern const tb_file_driver tb_file_driver_file;
extern const tb_file_driver tb_file_driver_stdout;
extern const tb_file_driver tb_file_driver_stdin;

// The error class of an errno value (the platform files translate their
// system's codes into errno so that the classes come out right).
int tb_file_ioerr_class(int err);

// Operations of the drivers without a device behind them: close and sync
// succeed, truncate succeeds, seek, offset and size are 0; ctrl gives
// devinfo with zero offset and size and 512-byte sectors, error class
// IOERR_NONE.
int tb_file_stub_close(void* ctx);
int tb_file_stub_one(void* ctx);
int tb_file_stub_truncate(void* ctx, int64_t length);
int64_t tb_file_stub_seek(void* ctx, int64_t offset, int whence);
int64_t tb_file_stub_zero(void* ctx);
int tb_file_stub_ctrl(void* ctx, int code, void* arg, size_t arg_size);

// The system side of tb_file_local_kind and tb_file_rename, on names that
// device naming gave to the local file driver.
int tb_file_sys_kind(const char* name);
int tb_file_sys_rename(const char* from, const char* to);

// Standard input and output of the system, for the file_stdin and
// file_stdout drivers: bytes read (0 at the end) or written, or -1; sync
// gives 1, also where there is nothing to flush (pipes, terminals), or 0.
long tb_file_sys_stdin_read(void* buf, size_t size);
long tb_file_sys_stdout_write(const void* buf, size_t size);
int tb_file_sys_stdout_sync();

// ctrl of the local file driver, on every system: the error class of the
// caller's last error (errno as this call found it), and devinfo, whose
// offset, size and sector size fill(info) writes. 1; 0 for another code or
// an argument too small, and for devinfo whose offset or size failed.
template <typename Fill>
int tb_file_local_ctrl(int code, void* arg, size_t arg_size, Fill fill) {
  const int err = errno;
  if (!arg) return 0;
  if (code == TB_FILE_CTRL_IOERR) {
    if (arg_size < sizeof(int32_t)) return 0;
    *static_cast<int32_t*>(arg) = tb_file_ioerr_class(err);
    return 1;
  }
  if (code == TB_FILE_CTRL_DEVINFO) {
    if (arg_size < sizeof(tb_file_devinfo)) return 0;
    auto* info = static_cast<tb_file_devinfo*>(arg);
    info->ioerr = tb_file_ioerr_class(err);
    fill(info);
    errno = err;
    return info->offset >= 0 && info->size >= 0;
  }
  return 0;
}

// tb_file_read_direct of the local file driver (ctx is its context): on
// Linux a second descriptor opened O_DIRECT on first use; on Windows the
// unbuffered handle's read belongs here. Same results as tb_file_read_direct.
long tb_file_sys_read_direct(void* ctx, void* buf, size_t size, int64_t offset);

// One transfer per item, stopping at the first item not moved whole: the
// bytes so far, or -1 when nothing moved and the item failed. op(item,
// bytes before it) transfers one item.
template <typename Op>
long tb_file_vector_io(const tb_iovec_t* list, size_t count, Op op) {
  if (!list && count) return -1;
  long total = 0;
  for (size_t i = 0; i < count; ++i) {
    long r = op(list[i], total);
    if (r < 0) return total ? total : -1;
    total += r;
    if (static_cast<size_t>(r) != list[i].size) break;
  }
  return total;
}

// writef: copies size bytes of src from offset on, in pieces of 8192 bytes,
// through put(buf, n) (bytes written or -1). The count, or -1 when a write
// fell short or nothing could be read.
template <typename Put>
int64_t tb_file_copy_from(tb_file_ref_t src, int64_t offset, int64_t size, Put put) {
  if (!src || offset < 0 || size < 0) return -1;
  char buf[8192];
  int64_t done = 0;
  while (done < size) {
    size_t n = static_cast<size_t>(size - done < 8192 ? size - done : 8192);
    long r = tb_file_pread(src, buf, n, offset + done);
    if (r < 0) return done ? done : -1;
    if (r == 0) break;
    if (put(buf, static_cast<size_t>(r)) != r) return -1;
    done += r;
  }
  return done;
}
