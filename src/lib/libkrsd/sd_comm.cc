#include "sd_comm.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "krsd_client.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_comm"

int send_request(net_conn* conn, int version, int cmd, const void* msg, size_t len) {
  if (len < 4) {
    KR_LOG(OS_LOG_DEBUG, "reqest len >= 4 [%d]\n", int(len));
    return KRSD_ERR_DATA;
  }
  uint8_t head[KRSD_FRAME_HEAD_LEN];
  sd_frame_head_encode(head, uint8_t(version), uint8_t(cmd), msg);
  bool ok = net_write(conn, head, sizeof(head)) == long(sizeof(head));
  if (ok && len > 4) ok = net_write(conn, static_cast<const uint8_t*>(msg) + 4, len - 4) == long(len - 4);
  if (!ok) {
    int e = errno;
    char text[256];
    KR_LOG(OS_LOG_DEBUG, "tb_socket_send error [%d] [%s]\n", e, os_error_text(e, text, sizeof(text)));
    errno = e;
    return KRSD_ERR_SYS;
  }
  return KRSD_OK;
}

int client_send_reqest(krsd_client* ctx, int cmd, const void* msg, size_t len) {
  ctx->finfo_ready = 0;  // the answer kept from the opening is no longer the latest
  return send_request(&ctx->conn, KRSD_FRAME_VERSION, cmd, msg, len);
}

bool sd_frame_append(std::vector<uint8_t>* out, int cmd, const blobmsg_buf* msg) {
  const size_t n = msg_len(msg);
  if (n < 4) return false;
  const size_t at = out->size();
  out->resize(at + KRSD_FRAME_HEAD_LEN + n - 4);
  sd_frame_head_encode(out->data() + at, KRSD_FRAME_VERSION, uint8_t(cmd), msg->bytes);
  memcpy(out->data() + at + KRSD_FRAME_HEAD_LEN, msg->bytes + 4, n - 4);
  return true;
}

int sd_frames_send(krsd_client* ctx, const std::vector<uint8_t>& frames) {
  ctx->finfo_ready = 0;
  if (frames.empty()) return KRSD_OK;
  if (net_write(&ctx->conn, frames.data(), frames.size()) == long(frames.size())) return KRSD_OK;
  int e = errno;
  char text[256];
  KR_LOG(OS_LOG_DEBUG, "tb_socket_send error [%d] [%s]\n", e, os_error_text(e, text, sizeof(text)));
  errno = e;
  return KRSD_ERR_SYS;
}

int recv_request_len(net_conn* conn, uint8_t* cmd, uint32_t* root_word, uint32_t* padded_len,
                     bool* cut_short) {
  uint8_t head[KRSD_FRAME_HEAD_LEN];
  long r = net_read(conn, head, sizeof(head));
  if (r < 0) return KRSD_ERR_SYS;
  if (r == 0) return KRSD_ERR_TIMEOUT;
  if (r != long(sizeof(head))) {
    if (cut_short) *cut_short = true;
    KR_LOG(OS_LOG_DEBUG, "tb_socket_recv head_data len=%d need=%d\n", int(r), int(sizeof(head)));
    return KRSD_ERR_DATA;
  }
  if (head[0] != KRSD_FRAME_MAGIC0 || head[1] != KRSD_FRAME_MAGIC1) {
    KR_LOG(OS_LOG_DEBUG, "magic error %02x %02x\n", head[0], head[1]);
    return KRSD_ERR_DATA;
  }
  return sd_frame_head_decode(head, cmd, root_word, padded_len);
}

int client_recv_response(krsd_client* ctx, uint32_t* padded_len) {
  uint32_t word = 0, pl = 0;
  bool cut = false;
  ctx->recv_errno = 0;
  int ret = recv_request_len(&ctx->conn, nullptr, &word, &pl, &cut);
  ctx->cut_short = cut;
  if (ret != KRSD_OK) {
    ctx->recv_errno = errno;
    return ret;
  }
  // pl is at most 0x1000000 (the 24-bit length), so the buffer stays bounded
  // whatever the daemon claims.
  size_t need = size_t(pl) + 4;
  if (ctx->resp_cap < need) {
    free(ctx->resp);
    ctx->resp = static_cast<uint8_t*>(malloc(need));
    if (!ctx->resp) {
      KR_LOG(OS_LOG_ERR, "malloc [%d] erorr\n", int(pl));
      ctx->resp_cap = 0;
      return KRSD_ERR_MEMORY;
    }
    ctx->resp_cap = need;
  }
  long r = net_read(&ctx->conn, ctx->resp + 4, pl - 4);
  if (r < 0) return KRSD_ERR_SYS;
  if (r != long(pl - 4)) {
    ctx->cut_short = 1;
    ctx->recv_errno = errno;
    KR_LOG(OS_LOG_DEBUG, "recv_data len=%d need=%d\n", int(r), int(pl - 4));
    return KRSD_ERR_DATA;
  }
  blob_put_be32(ctx->resp, word);
  if (padded_len) *padded_len = pl;
  return KRSD_OK;
}
