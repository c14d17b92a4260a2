#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_read"

int sd_read_answer(krsd_client* ctx, uint32_t pl, void* buf, int len, int* nread) {
  *nread = 0;
  using A = krp::read::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  int ret = sd_reply(ctx, pl, A::rules, A::count, tb, &stage);
  if (ret != KRSD_OK) {
    if (stage == SD_STAGE_PARSE) KR_LOG(OS_LOG_ERR, "parse data error\n");
    if (stage == SD_STAGE_REMOTE) KR_LOG(OS_LOG_VERBOSE, "ctx->last_error=%d\n", ctx->last_error);
    return ret;
  }
  // The capacity is what was asked for: data that unpacks to more is refused
  // and nothing beyond len is ever written.
  size_t packed = blobmsg_data_len(tb[A::data]);
  int r = sdcomp_unpack(ctx, blobmsg_data(tb[A::data]), int(packed), buf, len);
  if (r < 0) {
    KR_LOG(OS_LOG_DEBUG, "sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", int(packed), len, r);
    return KRSD_ERR_PACK;
  }
  // A "len" other than what the data holds is a daemon whose position may
  // have moved by either: the bytes after it could belong anywhere.
  const int32_t said = int32_t(blobmsg_get_u32(tb[A::len]));
  if (said != r) {
    KR_LOG(OS_LOG_ERR, "read answer error: len=%d but the data holds %d bytes\n", said, r);
    return KRSD_ERR_DATA;
  }
  if (ctx->position >= 0) ctx->position += r;
  *nread = r;
  return KRSD_OK;
}

int cli_read(krsd_client* ctx, void* buf, int len, int* nread) {
  *nread = 0;
  if (len < 0) return KRSD_ERR_DATA;
  if (krp::encode<krp::read::request>(&ctx->req, ctx->fd, len) != 0) return KRSD_ERR_MEMORY;
  uint32_t pl = 0;
  sd_stage stage;
  int ret = sd_transact(ctx, krp::read::command, &pl, &stage);
  if (ret != KRSD_OK) {
    if (stage == SD_STAGE_RECV) KR_LOG(OS_LOG_DEBUG, "client_recv_response ret=%d\n", ret);
    return ret;
  }
  return sd_read_answer(ctx, pl, buf, len, nread);
}

int cli_write(krsd_client* ctx, const void* data, int len, int* nwritten) {
  *nwritten = 0;
  if (len < 0) return KRSD_ERR_DATA;
  size_t bound = zcomp_bound(size_t(len));
  void* payload = nullptr;
  blob_attr* attr = nullptr;
  if (!bound ||
      krp::encode<krp::write::request>(&ctx->req, ctx->fd, 0, len, krp::room{bound, &payload, &attr}) != 0)
    return KRSD_ERR_MEMORY;
  int packed = sdcomp_pack(ctx, data, len, payload, int(bound));
  if (packed < 0) return KRSD_ERR_PACK;
  if (blobmsg_commit(&ctx->req, attr, size_t(packed)) != 0) return KRSD_ERR_PACK;
  using A = krp::write::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  int ret = sd_exchange(ctx, krp::write::command, A::rules, A::count, tb, &stage);
  if (ret != KRSD_OK) return ret;
  // A daemon that claims more than was sent (or a negative count) is not
  // believed: the caller's accounting depends on this count.
  int32_t n = blobmsg_get_u32(tb[A::len]);
  if (n < 0 || n > len) return KRSD_ERR_DATA;
  if (ctx->position >= 0) ctx->position += n;
  *nwritten = n;
  return KRSD_OK;
}
