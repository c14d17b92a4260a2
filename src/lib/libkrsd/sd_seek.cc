#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_seek"

namespace {

const blobmsg_rule kFdRules[] = {
    {"errno", BLOBMSG_TYPE_INT32},
    {"errno_str", BLOBMSG_TYPE_STRING},
    {"fd", BLOBMSG_TYPE_INT64},
};
const blobmsg_rule kSeekRules[] = {
    {"errno", BLOBMSG_TYPE_INT32},
    {"errno_str", BLOBMSG_TYPE_STRING},
    {"offset", BLOBMSG_TYPE_INT64},
};

}  // namespace

int cli_sync(krsd_client* ctx) {
  if (blobmsg_begin(&ctx->req) != 0 || blobmsg_put_u64(&ctx->req, "fd", uint64_t(ctx->fd)) != 0)
    return KRSD_ERR_MEMORY;
  const blob_attr* tb[3];
  sd_stage stage;
  return sd_exchange(ctx, KRSD_CMD_SYNC, kFdRules, 3, tb, &stage);
}

int cli_seek(krsd_client* ctx, int64_t offset, int origin, int64_t* pos) {
  KR_LOG(OS_LOG_DEBUG, "offset=%llu mode=%d\n", (unsigned long long)offset, origin);
  if (blobmsg_begin(&ctx->req) != 0 || blobmsg_put_u64(&ctx->req, "fd", uint64_t(ctx->fd)) != 0 ||
      blobmsg_put_u64(&ctx->req, "offset", uint64_t(offset)) != 0 ||
      blobmsg_put_u64(&ctx->req, "mode", uint64_t(int64_t(origin))) != 0)
    return KRSD_ERR_MEMORY;
  const blob_attr* tb[3];
  sd_stage stage;
  int ret = sd_exchange(ctx, KRSD_CMD_SEEK, kSeekRules, 3, tb, &stage);
  if (ret != KRSD_OK) return ret;
  *pos = blobmsg_get_u64(tb[2]);
  ctx->position = *pos;
  return KRSD_OK;
}

int cli_truncate(krsd_client* ctx, int64_t size) {
  if (blobmsg_begin(&ctx->req) != 0 || blobmsg_put_u64(&ctx->req, "fd", uint64_t(ctx->fd)) != 0 ||
      blobmsg_put_u64(&ctx->req, "len", uint64_t(size)) != 0)
    return KRSD_ERR_MEMORY;
  const blob_attr* tb[3];
  sd_stage stage;
  return sd_exchange(ctx, KRSD_CMD_TRUNCATE, kFdRules, 3, tb, &stage);
}
