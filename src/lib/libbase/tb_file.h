// The file API: a handle pairs a driver context with a driver record.
// Device naming, driver choice by name, six built-in drivers and one slot
// for a driver registered at run time (the krp driver).
#pragma once

#include <cstddef>
#include <cstdint>

enum {
  FILE_MODE_READ = 0x1,
  FILE_MODE_WRITE = 0x2,
  FILE_MODE_READWRITE = 0x4,
  FILE_MODE_CREATE = 0x8,
  FILE_MODE_APPEND = 0x10,
  FILE_MODE_TRUNCATE = 0x20,
  FILE_MODE_DIRECT = 0x40,
};

enum { IOERR_NONE = 0, IOERR_DATA = 1, IOERR_GONE = 2, IOERR_OTHER = 3 };

// Control codes of the ctrl operation.
// TB_FILE_CTRL_PEER_SHA256: the SHA-256 of the peer's TLS certificate as 64
// hexadecimal digits and a NUL (65 bytes); drivers without one answer 0.
// TB_FILE_CTRL_READ_PIECES: a tb_file_pieces (below); drivers without such a
// read answer 0.
// TB_FILE_CTRL_LAST_ERROR: why the file's last operation failed, in a few
// English words for a log line, NUL-terminated and cut to arg_size bytes;
// empty when it went through. Drivers whose failures errno tells answer 0.
// TB_FILE_CTRL_WRITEBACK: a tb_file_range (below) of bytes written: the
// system may start writing them to the medium now, without waiting for it.
// A hint only: 1 when it was given, and nothing is promised either way;
// only a sync tells that the bytes are on the medium. errno stays as it
// was. Drivers without such a hint answer 0.
enum {
  TB_FILE_CTRL_DEVINFO = 0,
  TB_FILE_CTRL_IOERR = 1,
  TB_FILE_CTRL_PEER_SHA256 = 2,
  TB_FILE_CTRL_READ_PIECES = 3,
  TB_FILE_CTRL_LAST_ERROR = 4,
  TB_FILE_CTRL_WRITEBACK = 5,
};

struct tb_file_range {
  int64_t offset;
  int64_t size;
};

struct tb_file_devinfo {
  int32_t ioerr;
  int64_t size;
  int64_t offset;
  int32_t sector_bytes;
};

// What the read of one piece of a tb_file_pieces gave: result bytes (fewer
// than the piece where the file ends), or result -1 with the error class of
// the failure (IOERR_DATA: the piece cannot be read).
struct tb_file_piece {
  int32_t result;
  int32_t ioerr;
};

// TB_FILE_CTRL_READ_PIECES: reads size bytes from offset into data in pieces
// that end at the multiples of grid (and at offset + size), each positioned
// and read on its own, so that a piece that fails costs only its own bytes;
// a driver that talks to a remote file keeps the pieces in flight together.
// piece[i] gets the outcome of the i-th piece; done counts the pieces with
// an outcome, from the first: fewer than there are when the file could not
// be positioned at piece done (its caller reads on one piece at a time
// there), or when count had no room for more. position is where the file
// stands afterwards. result is 0, or -1 when the read failed as a whole (a
// lost connection; errno and the file's error class tell why): the file's
// position is then unknown. The control itself fails (0) when the driver has
// no such read.
struct tb_file_pieces {
  void* data;
  int64_t offset;
  int32_t size;
  int32_t grid;
  tb_file_piece* piece;
  int32_t count;
  int32_t done;
  int64_t position;
  int32_t result;
};

struct tb_iovec_t {
  void* data;
  size_t size;
};

struct tb_file_s;
typedef tb_file_s* tb_file_ref_t;

// One driver; every operation gets the driver's context first and may be
// null (absent).
struct tb_file_driver {
  const char* name;
  void* (*open)(const char* path, int mode);
  int (*close)(void* ctx);  // non-zero on success
  long (*read)(void* ctx, void* buf, size_t size);
  long (*write)(void* ctx, const void* buf, size_t size);
  long (*pread)(void* ctx, void* buf, size_t size, int64_t offset);
  long (*pwrite)(void* ctx, const void* buf, size_t size, int64_t offset);
  long (*readv)(void* ctx, const tb_iovec_t* list, size_t count);
  long (*writev)(void* ctx, const tb_iovec_t* list, size_t count);
  int64_t (*writef)(void* ctx, tb_file_ref_t src, int64_t offset, int64_t size);
  long (*preadv)(void* ctx, const tb_iovec_t* list, size_t count, int64_t offset);
  long (*pwritev)(void* ctx, const tb_iovec_t* list, size_t count, int64_t offset);
  int (*sync)(void* ctx);
  int (*truncate)(void* ctx, int64_t length);
  int64_t (*seek)(void* ctx, int64_t offset, int whence);
  int64_t (*offset)(void* ctx);
  int64_t (*size)(void* ctx);
  int (*ctrl)(void* ctx, int code, void* arg, size_t arg_size);
};

// Handle or null (the reason is errno).
tb_file_ref_t tb_file_init(const char* path, int mode);
int tb_file_close(tb_file_ref_t file);  // also releases the handle
long tb_file_read(tb_file_ref_t file, void* buf, size_t size);
long tb_file_write(tb_file_ref_t file, const void* buf, size_t size);
long tb_file_pread(tb_file_ref_t file, void* buf, size_t size, int64_t offset);
long tb_file_pwrite(tb_file_ref_t file, const void* buf, size_t size, int64_t offset);
long tb_file_readv(tb_file_ref_t file, const tb_iovec_t* list, size_t count);
long tb_file_writev(tb_file_ref_t file, const tb_iovec_t* list, size_t count);
int64_t tb_file_writef(tb_file_ref_t file, tb_file_ref_t src, int64_t offset, int64_t size);
long tb_file_preadv(tb_file_ref_t file, const tb_iovec_t* list, size_t count, int64_t offset);
long tb_file_pwritev(tb_file_ref_t file, const tb_iovec_t* list, size_t count, int64_t offset);
int tb_file_sync(tb_file_ref_t file);
int tb_file_truncate(tb_file_ref_t file, int64_t length);
int64_t tb_file_seek(tb_file_ref_t file, int64_t offset, int whence);
int64_t tb_file_offset(tb_file_ref_t file);
int64_t tb_file_size(tb_file_ref_t file);
int tb_file_ctrl(tb_file_ref_t file, int code, void* arg, size_t arg_size);

// For names the local file driver serves (after device naming): 1 for a
// regular file, 0 for anything else that exists (a disk, a folder), -1 when
// nothing is there; -2 for a name of another driver.
int tb_file_local_kind(const char* path);
// Renames the local file from to to, replacing to in one step; 0, or -1
// with errno set (also for names of other drivers).
int tb_file_rename(const char* from, const char* to);

// What tb_file_read_direct returns for a file that has no such read.
enum { TB_FILE_NO_DIRECT = -2 };

// Reads up to size bytes at offset around the system's cache, so that a read
// fails only for the sectors it spans: a cached read of a device fails for
// the whole page around one bad sector. buf, offset and size need no
// alignment; the position is left alone and nothing is written. The bytes
// read (fewer, as with read, at the end of the device or before a sector
// that does not read), -1 with errno set when the read failed, or
// TB_FILE_NO_DIRECT when the file has no direct read (anything but a local
// block device, or a device that refuses one): the caller then reads as
// usual.
long tb_file_read_direct(tb_file_ref_t file, void* buf, size_t size, int64_t offset);

// 0, or -1 when the slot is already taken.
int tb_file_register_driver(const tb_file_driver* driver);

// Device naming: writes the name the driver opens into out and the driver
// name into driver (16 bytes). A local name is the file it spells (see
// tb_path_local_name), a file:// URL its path with the percent escapes
// decoded (an invalid escape or %00 is EINVAL), "\dev\diskN" the N-th whole
// disk, the device forms their drivers; krp:// and krps:// URLs go to the
// registered driver unchanged. false with errno set when the name cannot be
// represented (EINVAL, ENAMETOOLONG; also when it does not fit out): nothing
// may then be opened under it.
bool tb_file_device_name(const char* path, char* out, size_t out_size,
                         char* driver, size_t driver_size);

// The system path that opening path through the file layer reaches: the
// local name, /dev/NAME of a whole disk, "/dev/null" for \dev\null and its
// kin. For callers that must look at the very file the engine opens (the
// command line's checks). false with errno set for a name that cannot be
// represented, a remote URL (EINVAL) or a disk that does not exist (ENOENT).
bool tb_file_system_path(const char* path, char* out, size_t size);

// Where the local file driver looks for whole disks when it opens
// \\.\PhysicalDriveN (the name device naming gives \dev\diskN): the N-th
// entry, in name order, of sys_block (default "/sys/block"), loop, ram and
// zram devices skipped, opened as dev_dir/NAME (default "/dev"). Null
// restores a default. For tests; not safe while another thread opens files.
void tb_file_block_roots_set(const char* sys_block, const char* dev_dir);
