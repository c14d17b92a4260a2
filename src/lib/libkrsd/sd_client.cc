#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>
#include <type_traits>

#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "os/os_safe.h"
#include "sd_internal.h"
#include "sd_ssl.h"
#include "tb_file.h"
#include "tb_ipaddr.h"
#include "tb_url.h"
#include "tls_suites.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_client"

namespace {

// A time-out option in seconds as milliseconds: the value of its leading
// decimal number; 0 (the default then) when there is none or it is not
// above 0. A value beyond what milliseconds can hold saturates at 2147483 s
// instead of wrapping into the default.
int timeout_ms(const char* text) {
  char* end = nullptr;
  long long seconds = strtoll(text, &end, 10);  // saturates at LLONG_MAX itself
  if (seconds <= 0) return 0;
  if (seconds > INT_MAX / 1000) seconds = INT_MAX / 1000;
  return int(seconds * 1000);
}

thread_local char t_open_error[256];

// A cipher list of the examiner's: every suite in it must be one that
// encrypts and authenticates, or the session would run on it unnoticed.
// The first suite that is not, or empty.
std::string refused_suite(const char* list) {
  std::string all = list ? list : "";
  for (size_t from = 0; from <= all.size();) {
    size_t to = all.find(':', from);
    if (to == std::string::npos) to = all.size();
    const std::string name = all.substr(from, to - from);
    if (!sd_tls_suite_allowed(name.c_str(), false)) return name.empty() ? "(an empty name)" : name;
    from = to + 1;
  }
  return {};
}

}  // namespace

void sd_open_failed(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(t_open_error, sizeof t_open_error, fmt, ap);
  va_end(ap);
}

// A krp URL that the parser refused never reaches krsd_file_init (the
// stream layer parses it first): the refusal is then the newest reason.
const char* krsd_file_open_error() {
  return *tb_url_refusal() ? tb_url_refusal() : t_open_error;
}

void sd_copy_text(char* dst, size_t size, const char* text) {
  if (!size) return;
  size_t n = text ? strnlen(text, size - 1) : 0;
  if (n) memcpy(dst, text, n);
  dst[n] = 0;
}

void krsd_cli_failure_text(const krsd_client* ctx, char* out, size_t size) {
  if (!size) return;
  const char* text = "";
  char own[128];
  switch (ctx->last_ret) {
    case KRSD_OK:
      break;
    case KRSD_ERR_REMOTE:
      // The daemon's words, stored escaped.
      text = ctx->last_error_str;
      if (!*text) {
        snprintf(own, sizeof own, "errno %d", static_cast<int>(ctx->last_error));
        text = own;
      }
      break;
    case KRSD_ERR_SYS:
      text = ctx->last_error_str;  // the system's words for the transport's failure
      break;
    case KRSD_ERR_TIMEOUT:
    case KRSD_ERR_DATA: {
      // Nothing, or part of an answer came: the read time-out ran out, or
      // the wait for it failed (a reset connection, a stop request).
      const bool came_short = ctx->last_ret == KRSD_ERR_TIMEOUT || ctx->cut_short;
      if (came_short && ctx->recv_errno != 0 && ctx->recv_errno != ETIMEDOUT)
        text = os_error_text(ctx->recv_errno, own, sizeof own);
      else if (came_short)
        text = ctx->cut_short ? "the answer did not come whole within the read time-out"
                              : "no answer within the read time-out";
      else
        text = "the daemon's answer is malformed";
      break;
    }
    case KRSD_ERR_MEMORY:
      text = "out of memory";
      break;
    case KRSD_ERR_PACK:
      text = "the daemon's data does not unpack";
      break;
    default:
      snprintf(own, sizeof own, "failure %d", ctx->last_ret);
      text = own;
      break;
  }
  os_printable_copy(out, size, text);  // cut between characters
}

int sd_lose_step(krsd_client* ctx, int code) {
  ctx->out_of_step = 1;
  return code;
}

int sd_out_of_step(krsd_client* ctx) {
  (void)ctx;
  errno = ENOTCONN;
  return KRSD_ERR_SYS;
}

int sd_transact(krsd_client* ctx, int cmd, uint32_t* pl, sd_stage* stage) {
  ctx->last_error = 0;
  *stage = SD_STAGE_SEND;
  // Answers of reads sent ahead come first on the connection; a close needs
  // no position afterwards.
  int ret = sd_ahead_drain(ctx, cmd != KRSD_CMD_CLOSE);
  if (ret != KRSD_OK) return ret;
  ret = client_send_reqest(ctx, cmd, ctx->req.bytes, msg_len(&ctx->req));
  if (ret != KRSD_OK) return ret;
  *stage = SD_STAGE_RECV;
  return client_recv_response(ctx, pl);
}

int sd_reply(krsd_client* ctx, uint32_t pl, const blobmsg_rule* rules, int n, const blob_attr** tb,
             sd_stage* stage) {
  *stage = SD_STAGE_PARSE;
  if (blobmsg_parse_msg(rules, n, tb, ctx->resp, pl) != 0) return KRSD_ERR_DATA;
  int32_t err = blobmsg_get_u32(tb[krp::answer_head::error]);
  if (err != 0) {
    *stage = SD_STAGE_REMOTE;
    ctx->last_error = err;
    os_printable_copy(ctx->last_error_str, sizeof(ctx->last_error_str),
                      blobmsg_get_string(tb[krp::answer_head::error_text]));
    return KRSD_ERR_REMOTE;
  }
  ctx->last_error = 0;
  *stage = SD_STAGE_DONE;
  return KRSD_OK;
}

int sd_answer(krsd_client* ctx, const blobmsg_rule* rules, int n, const blob_attr** tb, sd_stage* stage) {
  *stage = SD_STAGE_RECV;
  uint32_t pl = 0;
  int ret = client_recv_response(ctx, &pl);
  if (ret != KRSD_OK) return ret;
  return sd_reply(ctx, pl, rules, n, tb, stage);
}

int sd_exchange(krsd_client* ctx, int cmd, const blobmsg_rule* rules, int n, const blob_attr** tb,
                sd_stage* stage) {
  uint32_t pl = 0;
  int ret = sd_transact(ctx, cmd, &pl, stage);
  if (ret != KRSD_OK) return ret;
  return sd_reply(ctx, pl, rules, n, tb, stage);
}

krsd_client* krsd_cli_attach(tb_socket_ref_t sock, int read_timeout_ms) {
  krsd_client* ctx = static_cast<krsd_client*>(calloc(1, sizeof(krsd_client)));
  if (!ctx) return nullptr;
  ctx->conn.sock = sock;
  ctx->conn.timeout = read_timeout_ms;
  ctx->block_size = KRSD_DEFAULT_BLOCK_SIZE;
  ctx->position = -1;
  return ctx;
}

void krsd_cli_free(krsd_client* ctx) {
  if (!ctx) return;
  if (ctx->conn.sock) tb_socket_exit(ctx->conn.sock);
  ctx->conn.sock = nullptr;
  if (ctx->conn.ssl) sd_ssl_free(ctx->conn.ssl);
  ctx->conn.ssl = nullptr;
  sd_ahead_free(ctx);
  sdcomp_close(ctx);
  blobmsg_buf_free(&ctx->req);
  free(ctx->resp);
  free(ctx->cipher);
  free(ctx);
}

namespace {

// The handle the daemon gives the first file a session opens: the file
// information asked behind the open carries it. Against a daemon that
// gives another, that answer is dropped and the first request for the file
// information goes out again with the handle given.
constexpr int64_t kFirstHandle = 1;

// The outcome of the file information asked behind the open, for the first
// cli_file_info: its record, or its failure with the daemon's errno (its
// text stays in last_error_str) or the system's.
void keep_finfo(krsd_client* ctx, int ret, const krsd_file_info& info) {
  ctx->finfo_ready = 1;
  ctx->finfo_ret = ret;
  ctx->finfo_errno = ret == KRSD_ERR_REMOTE ? ctx->last_error : errno;
  ctx->finfo = info;
}

enum class opened { yes, no, file_refused };

// The opening's exchanges after the connect (and handshake): the login, the
// codec and, with a path, the open of the file and its file information.
// Their requests go out in one write and the answers are taken in order:
// the daemon serves them one after another, each as if it had waited for
// the one before (after a refused login it refuses the others), so only the
// round trips between them go. The first failure is the one told.
opened opening(krsd_client* ctx, krsd_cli_opts* opts, const char* host, int port, const char* path,
               int mode) {
  // The pack name travels with its terminator.
  char pack[16];
  sd_copy_text(pack, sizeof(pack), ctx->pack);
  const int pack_len = int(strlen(pack) + 1);
  std::vector<uint8_t> frames;
  int ret = sd_init_request(ctx, opts->user, opts->passwd);
  if (ret == KRSD_OK && !sd_frame_append(&frames, KRSD_CMD_INIT, &ctx->req)) ret = KRSD_ERR_MEMORY;
  if (ret == KRSD_OK) ret = sd_ioctl_request(ctx, KRSD_IOCTL_PACK, pack, pack_len);
  if (ret == KRSD_OK && !sd_frame_append(&frames, KRSD_CMD_IOCTL, &ctx->req)) ret = KRSD_ERR_MEMORY;
  if (ret != KRSD_OK) {
    krsd_cli_set_last_error(ctx, ret);
    sd_open_failed("%s", ctx->last_error_str);
    return opened::no;
  }
  // A name that cannot go out fails the open after the login, as it would
  // one request at a time.
  int open_built = KRSD_OK;
  const size_t before_open = frames.size();
  if (path) {
    open_built = sd_open_request(ctx, path, mode);
    if (open_built == KRSD_OK && !sd_frame_append(&frames, KRSD_CMD_OPEN, &ctx->req)) open_built = KRSD_ERR_MEMORY;
    if (open_built == KRSD_OK) {
      ctx->fd = kFirstHandle;
      if (sd_finfo_request(ctx) != KRSD_OK || !sd_frame_append(&frames, KRSD_CMD_FINFO, &ctx->req))
        open_built = KRSD_ERR_MEMORY;
      ctx->fd = 0;
    }
    if (open_built != KRSD_OK) frames.resize(before_open);  // the login and codec still go
  }
  const auto sent_at = std::chrono::steady_clock::now();
  ret = sd_frames_send(ctx, frames);
  if (ret == KRSD_OK) ret = sd_init_answer(ctx);
  if (ret != KRSD_OK) {
    KR_LOG(OS_LOG_DEBUG, "cli_init ret=%d\n", ret);
    if (ret == KRSD_ERR_REMOTE) {
      KR_LOG(OS_LOG_ERR, "%s\n", ctx->last_error_str);
      sd_open_failed("login refused: %s", ctx->last_error_str);
    } else {
      krsd_cli_set_last_error(ctx, ret);
      sd_open_failed("no answer to the login: %s", ctx->last_error_str);
    }
    return opened::no;
  }
  ctx->opening_rtt_us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent_at).count();
  // The password is never logged, whatever the level: logs are kept beside images.
  KR_LOG(OS_LOG_DEBUG, "ip=%s port=%d user=[%s] passwd=[%s] block_size=%d\n", host, port, opts->user,
         opts->passwd[0] ? "***" : "", ctx->block_size);
  const int connect_timeout = timeout_ms(opts->connect_timeout);
  KR_LOG(OS_LOG_DEBUG, "connect_timeout=%d read_timeout=%d\n",
         connect_timeout > 0 ? connect_timeout : int(KRSD_DEFAULT_CONNECT_TIMEOUT_MS), ctx->conn.timeout);
  KR_LOG(OS_LOG_DEBUG, "bssl=%d cipher=%s\n", ctx->bssl, ctx->cipher);
  KR_LOG(OS_LOG_DEBUG, "pack=%s\n", ctx->pack);

  ret = sd_ioctl_answer(ctx, KRSD_IOCTL_PACK, pack, pack_len);
  krsd_cli_set_last_error(ctx, ret);
  if (ret != KRSD_OK) {
    KR_LOG(OS_LOG_ERR, "krsd_cli_ioctl KRSD_IOCTL_PACK %s error=%d\n", pack, -1);
    sd_open_failed("codec %s refused: %s", pack, ctx->last_error_str);
    return opened::no;
  }
  if (!path) return opened::yes;
  ret = open_built == KRSD_OK ? sd_open_answer(ctx) : open_built;
  krsd_cli_set_last_error(ctx, ret);
  if (ret != KRSD_OK) {
    sd_open_failed("%s", ctx->last_error_str);
    return opened::file_refused;
  }
  // An answer that did not come whole leaves the session out of step (the
  // rest of it may still arrive); the first file information is told why.
  krsd_file_info info{};
  ret = sd_finfo_answer(ctx, &info);
  const bool whole = ret == KRSD_OK || ret == KRSD_ERR_REMOTE || (ret == KRSD_ERR_DATA && !ctx->cut_short);
  if (!whole) {
    keep_finfo(ctx, ret, info);
    sd_lose_step(ctx, ret);
  } else if (ctx->fd == kFirstHandle) {
    keep_finfo(ctx, ret, info);
  }
  ctx->last_error = 0;  // the open is the caller's last operation
  return opened::yes;
}

// A connected session as far as opening() takes it, or null.
krsd_client* connect_session(const char* host, int port, krsd_cli_opts* opts, const char* path, int mode) {
  int block_size = int(parse_size(opts->bs));
  if (block_size <= 0) block_size = KRSD_DEFAULT_BLOCK_SIZE;
  int connect_timeout = timeout_ms(opts->connect_timeout);
  if (connect_timeout <= 0) connect_timeout = KRSD_DEFAULT_CONNECT_TIMEOUT_MS;

  // Suites are chosen, and a pinned certificate is checked, before anything
  // is asked of the daemon; without TLS there is nothing to apply them to.
  if (opts->cipher[0]) {
    if (!opts->bssl) {
      KR_LOG(OS_LOG_ERR, "ssl-cipher error: TLS suites need a krps:// URL\n");
      sd_open_failed("ssl-cipher needs a krps:// URL");
      return nullptr;
    }
    const std::string refused = refused_suite(opts->cipher);
    if (!refused.empty()) {
      KR_LOG(OS_LOG_ERR,
             "ssl-cipher error: [%s] is not a suite that encrypts and authenticates (ECDHE with "
             "AES-GCM or ChaCha20-Poly1305), connection refused\n",
             refused.c_str());
      sd_open_failed("ssl-cipher %s refused: it does not encrypt and authenticate", refused.c_str());
      return nullptr;
    }
  }
  char pin[SD_SHA256_HEX] = "";
  if (opts->ssl_sha256[0]) {
    if (!opts->bssl) {
      KR_LOG(OS_LOG_ERR, "ssl-sha256 error: a pinned certificate needs a krps:// URL\n");
      sd_open_failed("ssl-sha256 needs a krps:// URL");
      return nullptr;
    }
    if (!sd_sha256_normalise(opts->ssl_sha256, pin)) {
      KR_LOG(OS_LOG_ERR, "ssl-sha256 error: [%s] is not a SHA-256 fingerprint (64 hex digits)\n",
             opts->ssl_sha256);
      sd_open_failed("ssl-sha256 is not a SHA-256 fingerprint");
      return nullptr;
    }
  } else if (opts->bssl) {
    KR_LOG(OS_LOG_WARN,
           "ssl-sha256 warning: no pinned certificate, the daemon at %s:%d is not authenticated: "
           "anyone on the way to it can pose as it and read and change the data; pin it with the "
           "ssl-sha256= that krimg deploy prints\n",
           host ? host : "", port);
  }

  tb_ipaddr_t addr;
  tb_ipaddr_clear(&addr);
  if (!host || !tb_addrinfo_addr(host, &addr)) {
    KR_LOG(OS_LOG_ERR, "tb_addrinfo_addr %s error\n", host ? host : "");
    sd_open_failed("the host %s is not known", host ? host : "");
    return nullptr;
  }
  tb_ipaddr_port_set(&addr, uint16_t(port));
  // Without bs= the system sizes the socket buffers itself: a fixed 256 KiB
  // receive buffer would cap a link at 256 KiB per round trip, whatever the
  // reads kept in flight.
  tb_socket_ref_t sock = sock_connect(&addr, opts->bs[0] ? block_size : 0, connect_timeout);
  if (!sock) {
    // Refused, unreachable, timed out: the system's words for it.
    char text[200];
    sd_open_failed("%s", os_error_text(errno, text, sizeof text));
    return nullptr;
  }

  int read_timeout = timeout_ms(opts->read_timeout);
  if (read_timeout <= 0) read_timeout = KRSD_DEFAULT_READ_TIMEOUT_MS;
  krsd_client* ctx = krsd_cli_attach(sock, read_timeout);
  if (!ctx) {
    tb_socket_exit(sock);
    return nullptr;
  }
  if (opts->bssl) {
    ctx->bssl = 1;
    ctx->conn.ssl = sd_cli_ssl_connect(sd_tls_ctx(), ctx, opts->cipher, connect_timeout);
    if (!ctx->conn.ssl) {
      sd_open_failed("TLS handshake failed");
      krsd_cli_free(ctx);
      return nullptr;
    }
    // What the handshake agreed, whatever the library did with the list.
    const char* suite = sd_ssl_suite(ctx->conn.ssl);
    if (!sd_tls_suite_allowed(suite, false)) {
      KR_LOG(OS_LOG_ERR, "ssl-cipher error: the handshake agreed [%s], connection refused\n", suite);
      sd_open_failed("TLS suite %s refused", suite);
      krsd_cli_free(ctx);
      return nullptr;
    }
    if (sd_ssl_check_peer(ctx, pin) != 0) {
      sd_open_failed("the daemon's certificate is not the pinned one");
      krsd_cli_free(ctx);
      return nullptr;
    }
    // Recorded for the log line: the suite in use.
    if (!opts->cipher[0]) sd_copy_text(opts->cipher, sizeof(opts->cipher), suite);
  }
  ctx->block_size = block_size;
  ctx->cipher = strdup(opts->cipher);
  sd_copy_text(ctx->pack, sizeof(ctx->pack), opts->pack[0] ? opts->pack : "lz4");
  if (!ctx->cipher) {
    krsd_cli_free(ctx);
    return nullptr;
  }

  switch (opening(ctx, opts, host, port, path, mode)) {
    case opened::yes:
      return ctx;
    case opened::no:
      krsd_cli_free(ctx);
      return nullptr;
    case opened::file_refused:
      krsd_cli_exit(ctx);
      return nullptr;
  }
  return nullptr;
}

}  // namespace

krsd_client* krsd_cli_connect(const char* host, int port, krsd_cli_opts* opts) {
  return connect_session(host, port, opts, nullptr, 0);
}

krsd_client* krsd_cli_connect_open(const char* host, int port, krsd_cli_opts* opts, const char* path, int mode) {
  return connect_session(host, port, opts, path ? path : "", mode);
}

const char* krsd_cli_peer_sha256(const krsd_client* ctx) { return ctx ? ctx->peer_sha256 : ""; }

int krsd_cli_exit(krsd_client* ctx) {
  if (!ctx) return KRSD_ERR_SYS;
  KR_LOG(OS_LOG_DEBUG, "==>\n");
  int ret = KRSD_ERR_MEMORY;
  if (krp::encode<krp::exit::request>(&ctx->req) == 0)
    ret = client_send_reqest(ctx, krp::exit::command, ctx->req.bytes, msg_len(&ctx->req));
  krsd_cli_free(ctx);
  return ret;
}

void krsd_cli_set_last_error(krsd_client* ctx, int code) {
  ctx->last_ret = code;
  switch (code) {
    case KRSD_OK:
      break;
    case KRSD_ERR_SYS: {
      char text[256];
      sd_copy_text(ctx->last_error_str, sizeof(ctx->last_error_str), os_error_text(errno, text, sizeof(text)));
      break;
    }
    case KRSD_ERR_DATA:
      sd_copy_text(ctx->last_error_str, sizeof(ctx->last_error_str), "client recv data error");
      break;
    case KRSD_ERR_TIMEOUT:
      sd_copy_text(ctx->last_error_str, sizeof(ctx->last_error_str), "read data timeout error");
      break;
    case KRSD_ERR_REMOTE:
      // A sector the device cannot read is told once, by the engine's line for
      // its whole run; each failed piece read of it is a detail.
      KR_LOG(krsd_error_class(ctx->os_type, ctx->last_error) == IOERR_DATA ? OS_LOG_DEBUG : OS_LOG_ERR,
             "errno=%d [%s]\n", ctx->last_error, ctx->last_error_str);
      break;
    case KRSD_ERR_MEMORY:
      sd_copy_text(ctx->last_error_str, sizeof(ctx->last_error_str), "memory error");
      break;
    default:
      sd_copy_text(ctx->last_error_str, sizeof(ctx->last_error_str), "unkown error");
      break;
  }
}

int krsd_error_class(int32_t os_type, int32_t err) {
  if (err == 0) return IOERR_NONE;
  if (os_type == KRSD_OS_TYPE_WINDOWS) {
    if (err == 23) return IOERR_DATA;
    if (err == 2 || err == 55 || err == 1117) return IOERR_GONE;
    return IOERR_OTHER;
  }
  if (err == 5) return IOERR_DATA;
  if (err == 6) return IOERR_GONE;
  return IOERR_OTHER;
}

// The session's transfer loop: requests of at most 10 MiB until size bytes
// moved or one request moved fewer than asked (the end of the remote data).
// exchange is cli_read or cli_write; -1 after a failed request.
template <typename Byte, typename Exchange>
long transfer(krsd_client* ctx, Byte* buf, size_t size, Exchange exchange) {
  size_t done = 0, remaining = size;
  for (;;) {
    size_t chunk = remaining <= KRSD_MAX_DATA ? remaining : KRSD_MAX_DATA;
    int n = 0;
    int ret = exchange(ctx, buf + done, int(chunk), &n);
    ctx->last_ret = ret;
    if (ret != KRSD_OK) {
      krsd_cli_set_last_error(ctx, ret);
      return -1;
    }
    done += size_t(n);
    if (remaining == chunk || size_t(n) < chunk) {
      KR_LOGF(OS_LOG_VERBOSE, std::is_const_v<Byte> ? "krsd_cli_write" : "krsd_cli_read",
              "data=%p size=%llu r_size=%llu\n", static_cast<const void*>(buf),
              (unsigned long long)size, (unsigned long long)done);
      return long(done);
    }
    remaining -= chunk;
  }
}

long krsd_cli_read(krsd_client* ctx, void* buf, size_t size) {
  return transfer(ctx, static_cast<uint8_t*>(buf), size, sd_ahead_read);
}

long krsd_cli_write(krsd_client* ctx, const void* buf, size_t size) {
  return transfer(ctx, static_cast<const uint8_t*>(buf), size, cli_write);
}

bool krsd_cli_read_pieces(krsd_client* ctx, tb_file_pieces* p) {
  // A piece longer than one answer carries would look like the end of the file.
  if (!p->data || !p->piece || p->offset < 0 || p->size < 0 || p->grid <= 0 || p->count < 0 ||
      size_t(p->grid < p->size ? p->grid : p->size) > KRSD_MAX_DATA)
    return false;
  int ret = sd_ahead_pieces(ctx, p);
  krsd_cli_set_last_error(ctx, ret);
  p->result = ret == KRSD_OK ? 0 : -1;
  return true;
}

int krsd_cli_open(krsd_client* ctx, const char* path, int mode) {
  int ret = cli_open(ctx, path, mode);
  krsd_cli_set_last_error(ctx, ret);
  return ret == KRSD_OK ? 0 : -1;
}

int krsd_cli_close(krsd_client* ctx) {
  int ret = cli_close(ctx);
  krsd_cli_set_last_error(ctx, ret);
  return ret == KRSD_OK ? 0 : -1;
}

int krsd_cli_sync(krsd_client* ctx) {
  int ret = cli_sync(ctx);
  krsd_cli_set_last_error(ctx, ret);
  return ret == KRSD_OK ? 0 : -1;
}

int64_t krsd_cli_seek(krsd_client* ctx, int64_t offset, int origin) {
  int64_t pos = -1;
  int ret = cli_seek(ctx, offset, origin, &pos);
  krsd_cli_set_last_error(ctx, ret);
  if (ret != KRSD_OK) return -1;
  return pos < 0 ? -1 : pos;
}

int krsd_cli_truncate(krsd_client* ctx, int64_t size) {
  int ret = cli_truncate(ctx, size);
  if (ret != KRSD_OK) {
    krsd_cli_set_last_error(ctx, ret);
    return -1;
  }
  int64_t pos = -1;
  ret = cli_seek(ctx, 0, 1, &pos);
  krsd_cli_set_last_error(ctx, ret);
  return (ret != KRSD_OK || pos == -1) ? -1 : 0;
}

int krsd_cli_ioctl(krsd_client* ctx, int code, void* arg, int len) {
  if (code == KRSD_IOCTL_IOERR) {
    if (arg) *static_cast<int32_t*>(arg) = krsd_error_class(ctx->os_type, ctx->last_error);
    return 0;
  }
  int ret;
  if (code == KRSD_IOCTL_FINFO)
    ret = arg ? cli_file_info(ctx, static_cast<krsd_file_info*>(arg)) : KRSD_ERR_SYS;
  else
    ret = cli_file_ioctl(ctx, code, arg, len);
  krsd_cli_set_last_error(ctx, ret);
  return ret == KRSD_OK ? 0 : -1;
}
