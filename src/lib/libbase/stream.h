// URL-addressed streams: file, socket, HTTP and data streams with their own
// byte offset. The copy engine reads and writes through these only.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
  STREAM_TYPE_NONE = 0,
  STREAM_TYPE_FILE = 1,
  STREAM_TYPE_SOCK = 2,
  STREAM_TYPE_HTTP = 3,
  STREAM_TYPE_DATA = 4,
};

enum {
  STREAM_WAIT_READ = 1,
  STREAM_WAIT_WRITE = 2,
};

enum {
  STREAM_CTRL_GET_TIMEOUT = 6,     // long*
  STREAM_CTRL_GET_SIZE = 7,        // int64_t*
  STREAM_CTRL_GET_OFFSET = 8,      // int64_t*
  STREAM_CTRL_SET_URL = 11,        // const char*; only while closed
  STREAM_CTRL_SET_TIMEOUT = 16,    // long; only while closed; 0 means 10000
  STREAM_CTRL_NO_CACHE = 17,
  STREAM_CTRL_GET_MODE = 0x10001,  // int*
  STREAM_CTRL_SET_MODE = 0x10002,  // int
  STREAM_CTRL_BORROWED = 0x10003,  // tb_file_ref_t; the stream then refuses writes
  STREAM_CTRL_TRUNCATE = 0x10004,  // int64_t* length
  STREAM_CTRL_IOERR = 0x10005,     // int32_t* error class
  STREAM_CTRL_DEVINFO = 0x10006,   // tb_file_devinfo* (file layer control code 0)
  STREAM_CTRL_PEER_SHA256 = 0x10007,  // char[65]: the TLS peer certificate's SHA-256
  STREAM_CTRL_READ_DIRECT = 0x10008,  // stream_direct_read*
  STREAM_CTRL_READ_PIECES = 0x10009,  // tb_file_pieces* (file layer control code 3)
  STREAM_CTRL_LAST_ERROR = 0x1000A,   // char[STREAM_LAST_ERROR_SIZE]
  STREAM_CTRL_WRITEBACK = 0x1000B,    // const tb_file_range* (file layer control code 5)
};

// STREAM_CTRL_LAST_ERROR: why the stream's last operation failed, in the
// words of its file driver (TB_FILE_CTRL_LAST_ERROR), empty when it went
// through. The control fails (0) for streams whose failures errno tells.
enum { STREAM_LAST_ERROR_SIZE = 200 };

// STREAM_CTRL_READ_DIRECT: a read at the stream's position that goes around
// the system's cache (tb_file_read_direct), for reading a damaged device
// sector by sector. result is what stream_read would return; the position
// moves past the bytes read. The control fails (0) when the stream has no
// such read: the caller then uses stream_read.
struct stream_direct_read {
  void* data;
  size_t size;
  long result;
};

// STREAM_CTRL_READ_PIECES: the file layer's read in pieces (tb_file_pieces,
// tb_file.h) at the stream's position, which the stream fills in as offset;
// the stream's position then follows the file's. The control fails (0) when
// the file has no such read: the caller then reads piece by piece.

// STREAM_CTRL_WRITEBACK: the file layer's writeback hint (tb_file.h) for a
// range of bytes written through the stream. 0 where there is none (any
// stream but a file's, a borrowed handle, a driver without it); only
// stream_sync ever says that the bytes are on the medium.

struct stream_s;
typedef stream_s* stream_ref_t;

// Open stream or null.
stream_ref_t stream_open(const char* url, int mode, long timeout_ms);
// 1 (0 for null); closes and releases.
int stream_close(stream_ref_t s);
// Bytes moved; 0 for n = 0 or at the end; -1 on error or when not open.
long stream_read(stream_ref_t s, void* buf, size_t n);
long stream_write(stream_ref_t s, const void* buf, size_t n);
// 1 on success, 0 on failure; clamps to a known size.
int stream_seek(stream_ref_t s, int64_t offset);
int64_t stream_size(stream_ref_t s);    // -1 when the query fails
int64_t stream_offset(stream_ref_t s);  // counted by the stream
// 1 on success, 0 on failure.
int stream_ctrl(stream_ref_t s, size_t code, ...);
// Ready events, 0 at time-out or end, negative on error.
long stream_wait(stream_ref_t s, size_t events, long timeout_ms);
long stream_timeout(stream_ref_t s);
int stream_type(stream_ref_t s);
int stream_sync(stream_ref_t s, int closing);
