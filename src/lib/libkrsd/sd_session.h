// The session context and its exchanges: the library's own, behind the
// opaque krsd_client of krsd_client.h. Tests reach the few parts they look
// at through krsd_client_testing.h, never through this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blobmsg.h"
#include "krsd_client.h"
#include "libnet.h"
#include "sd_comm.h"
#include "sd_pack.h"

struct sd_ahead;

// The session context. The transport head comes first, so the context is
// also its net_conn.
struct krsd_client {
  net_conn conn;
  int bssl;
  char* cipher;  // owned copy of the cipher list
  int block_size;
  int32_t os_type;  // 1: a Windows daemon, else POSIX
  int64_t fd;       // the daemon's handle of the open file, 0 before an open
  // Where the daemon's answers put its position: 0 after the open, what a
  // seek answered, moved on by every read and write that went through; -1
  // while not known. A seek the client makes on its own (the read-ahead's
  // way back) must land where this says.
  int64_t position;
  int last_ret;
  int32_t last_error;  // the daemon's errno of the last operation, 0 on success
  // The daemon's errno text of the last failure (control characters
  // escaped), or the session's own text for it.
  char last_error_str[256];
  blobmsg_buf req;      // the request builder, reused
  uint8_t* resp;        // the last response message, root first
  size_t resp_cap;
  zcomp* codec;
  char pack[16];
  int tls_expired;  // the time budget of the running TLS call is spent
  char peer_sha256[65];  // the daemon certificate's SHA-256 (hex); empty without TLS
  sd_ahead* ahead;  // pipelined reads (sd_ahead.cc); null until the first read
  // A receive failed with answers of reads sent ahead still to come, or
  // what was read ahead could not be given back: every later exchange fails
  // at once instead of reading those answers as its own, or reading from a
  // position the caller does not know.
  int out_of_step;
  // The last answer did not come (whole): recv_errno is the receive's errno
  // then (ETIMEDOUT when the read time-out ran out), cut_short set when part
  // of it came.
  int recv_errno;
  int cut_short;
  // The file information the opening asked right behind the open, kept for
  // the first cli_file_info while no other request went out since: its
  // result code, the errno of a failure and the record.
  int finfo_ready;
  int finfo_ret;
  int32_t finfo_errno;
  krsd_file_info finfo;
  // The round trip of the opening's requests (microseconds), 0 when not
  // measured: where the read-ahead's window starts.
  double opening_rtt_us;
};

// Stores code in last_ret and sets last_error_str by code.
void krsd_cli_set_last_error(krsd_client* ctx, int code);

// Exchanges: each returns a result code (KRSD_OK ...).
int cli_init(krsd_client* ctx, const char* user, const char* passwd);
int cli_open(krsd_client* ctx, const char* path, int mode);
int cli_close(krsd_client* ctx);
// *nread: the unpacked byte count (at most len).
int cli_read(krsd_client* ctx, void* buf, int len, int* nread);
// *nwritten: the daemon's count (checked to lie within 0..len).
int cli_write(krsd_client* ctx, const void* data, int len, int* nwritten);
int cli_sync(krsd_client* ctx);
int cli_seek(krsd_client* ctx, int64_t offset, int origin, int64_t* pos);
int cli_truncate(krsd_client* ctx, int64_t size);
int cli_file_info(krsd_client* ctx, krsd_file_info* info);
int cli_file_ioctl(krsd_client* ctx, int code, const void* data, int len);
int cli_ioctl_imp(krsd_client* ctx, int code, const void* data, int len);
