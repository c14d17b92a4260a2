// The remote file service client: sessions to the device daemon, the file
// operations inside a session and the krp file driver of the file layer.
//
// Errors: the calls on a session return 0 or -1 (a count or a position, or
// -1) and keep the result code of what failed (KRSD_ERR_*, krp_wire.h) as
// the session's last error, which krsd_cli_failure_text puts into words and
// KRSD_IOCTL_IOERR classes. What makes a session returns it, or null with
// the reason logged and, for krsd_file_init and krsd_cli_connect_open, in
// krsd_file_open_error. krsd_cli_exit, which ends the session, returns the
// result code of its send itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "krp_wire.h"
#include "tb_socket.h"

struct tb_file_driver;
struct tb_file_pieces;
// A session to the daemon; its layout is the library's own (sd_session.h).
struct krsd_client;

// Control codes of krsd_cli_ioctl: 0 file information, 1 error class; any
// other code goes to the daemon. KRSD_IOCTL_PACK is also applied locally.
enum {
  KRSD_IOCTL_FINFO = 0,
  KRSD_IOCTL_IOERR = 1,
};

enum {
  KRSD_DEFAULT_BLOCK_SIZE = 0x40000,
  KRSD_DEFAULT_CONNECT_TIMEOUT_MS = 3000,
  KRSD_DEFAULT_READ_TIMEOUT_MS = 30000,
};

// Connection options, filled from the URL query. Texts are zero-terminated.
struct krsd_cli_opts {
  int bssl;
  char cipher[512];  // the TLS suites, whole: a cut list is another list
  char connect_timeout[16];  // seconds, decimal
  char read_timeout[16];     // seconds, decimal
  char user[64];
  char passwd[64];
  char bs[32];  // socket buffer size text with optional unit suffix
  char pack[16];
  // The daemon certificate's SHA-256 the session must find ("ssl-sha256="),
  // as given; empty: any certificate.
  char ssl_sha256[128];
};

// The file information record; its first four fields have the layout of the
// file layer's tb_file_devinfo.
struct krsd_file_info {
  int32_t type;
  int64_t size;
  int64_t offset;
  int32_t sector_bytes;
  char info[128];
};


// Library start-up, once per process after tb_init: registers the krp driver
// and creates the TLS client context. 0, or -1 when the driver slot is taken
// or the TLS context cannot be made.
int krsd_cli_lib_init();
// The krp driver record.
const tb_file_driver* krsd_file_driver();

// A connected, logged-in session with its codec agreed, or null (the reason
// is logged). opts is not changed except that a TLS session with an empty
// cipher text stores the suite the handshake agreed there. A cipher text
// names only suites of SD_TLS12_SUITES; any other is refused before
// anything connects, as is a TLS option of a plain session.
krsd_client* krsd_cli_connect(const char* host, int port, krsd_cli_opts* opts);
// krsd_cli_connect with the file at path opened (mode as krsd_cli_open's):
// the login, the codec, the open and the file's information asked in one
// flight. Null when any of them failed (krsd_file_open_error tells why).
krsd_client* krsd_cli_connect_open(const char* host, int port, krsd_cli_opts* opts, const char* path,
                                   int mode);
// The SHA-256 of the certificate the daemon presented, 64 lower-case hex
// digits; empty for a plain session.
const char* krsd_cli_peer_sha256(const krsd_client* ctx);
// Sends the exit request, closes the connection and releases the session;
// the result of the send.
int krsd_cli_exit(krsd_client* ctx);
// A session context around an already connected socket (taken over), not
// logged in, with no codec: for tests and tools that speak the protocol
// directly. Release with krsd_cli_exit or krsd_cli_free. Null on allocation
// failure.
krsd_client* krsd_cli_attach(tb_socket_ref_t sock, int read_timeout_ms);
// Closes the socket and releases the session without sending anything.
void krsd_cli_free(krsd_client* ctx);

// Why the session's last operation failed, for a log line, into out (size
// bytes, cut to fit): the daemon's errno text, or the transport's (the
// system's words for a reset connection, a time-out, ...); empty when it
// went through. The krp driver answers TB_FILE_CTRL_LAST_ERROR with it.
void krsd_cli_failure_text(const krsd_client* ctx, char* out, size_t size);
// Error class (IOERR_*) of a daemon errno for the daemon's platform.
int krsd_error_class(int32_t os_type, int32_t err);

// Session-level calls; each records its result as the last error.
int krsd_cli_open(krsd_client* ctx, const char* path, int mode);  // 0 or -1
int krsd_cli_close(krsd_client* ctx);                             // 0 or -1
int krsd_cli_sync(krsd_client* ctx);                              // 0 or -1
int64_t krsd_cli_seek(krsd_client* ctx, int64_t offset, int origin);  // position or -1
int krsd_cli_truncate(krsd_client* ctx, int64_t size);            // 0 or -1
// code 1: *(int32_t*)arg = error class, no request; code 0: fills the
// krsd_file_info at arg; else an ioctl request with len bytes of arg. 0 or -1.
int krsd_cli_ioctl(krsd_client* ctx, int code, void* arg, int len);
// Bytes moved, or -1; split into requests of at most 10 MiB. A short
// chunk (the end of the remote data) ends the read. Reads of the same size
// one after another keep further read requests in flight (sd_ahead.cc);
// every other call takes their answers in first.
long krsd_cli_read(krsd_client* ctx, void* buf, size_t size);
long krsd_cli_write(krsd_client* ctx, const void* buf, size_t size);
// The file layer's read in pieces (TB_FILE_CTRL_READ_PIECES): the seek and
// read requests of the pieces, as a seek and a read one at a time would send
// them, are kept in flight together and their answers taken in order. Sets
// p->result: 0, or -1 when the session failed (the error class is then that
// of a lost connection and the session is out of step). false when p does
// not describe such a read (nothing was sent).
bool krsd_cli_read_pieces(krsd_client* ctx, tb_file_pieces* p);

// Copies the value of key (found anywhere in query, letters compared without
// case) up to the next "&" into field, at most size - 1 characters,
// terminated. Not found or empty: field unchanged.
void krsd_url_opt_get(const char* query, const char* key, char* field, size_t size);
// The krp driver's open: a session with the remote file open, or null.
krsd_client* krsd_file_init(const char* path, int mode);
// Why the calling thread's last krsd_file_init failed, in English and in a
// few words ("Connection refused", "Connection timed out", "login refused:
// Permission denied", "No such file or directory", ...), or why the
// thread's last URL was refused by the parser (tb_url_refusal: "invalid
// port: ..."), which no open follows; empty after an open that succeeded,
// and before the first.
const char* krsd_file_open_error();
