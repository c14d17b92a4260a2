// Test-only: the parts of a session that the client tests and the fuzz
// target drive or look at, beside the public krsd_client.h. Built as
// krii_krsd_testing; nothing that ships links it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "krsd_client.h"

struct net_conn;

// Single exchanges of a session (one request, its answer): a result code
// (KRSD_OK ...). The library declares them in sd_session.h; the testing
// library sees both, so the two lists cannot drift apart.
int cli_init(krsd_client* ctx, const char* user, const char* passwd);
int cli_open(krsd_client* ctx, const char* path, int mode);
int cli_close(krsd_client* ctx);
int cli_read(krsd_client* ctx, void* buf, int len, int* nread);
int cli_write(krsd_client* ctx, const void* data, int len, int* nwritten);
int cli_seek(krsd_client* ctx, int64_t offset, int origin, int64_t* pos);
int cli_file_info(krsd_client* ctx, krsd_file_info* info);
// Stores code as the session's last result and sets its error text by it.
void krsd_cli_set_last_error(krsd_client* ctx, int code);
// Sends one frame on a bare connection (sd_comm.h).
int send_request(net_conn* conn, int version, int cmd, const void* msg, size_t len);

namespace krsd_testing {

// What a session holds now; the texts and the buffer live as long as the
// session and change with it.
struct state {
  int64_t fd;  // the daemon's handle of the open file
  int last_ret;
  int32_t last_error;
  const char* last_error_str;
  const uint8_t* resp;  // the response buffer and its capacity
  size_t resp_cap;
  int read_timeout_ms;
  int block_size;
  int32_t os_type;
  const char* pack;
  bool has_codec;
  bool tls;  // reads and writes go through the TLS hooks
};
[[nodiscard]] state peek(const krsd_client* ctx);

// Names the session's codec and opens it: 0, or -1 when there is none.
[[nodiscard]] int use_pack(krsd_client* ctx, const char* pack);
// Sets the daemon's handle of the open file, as an open would.
void set_fd(krsd_client* ctx, int64_t fd);
// With a non-null ssl every read and write of the session goes through the
// TLS hooks of libnet (net_set_tls_hooks); null: through the socket.
void set_tls(krsd_client* ctx, void* ssl);

}  // namespace krsd_testing
