#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_seek"

int cli_sync(krsd_client* ctx) {
  if (krp::encode<krp::sync::request>(&ctx->req, ctx->fd) != 0) return KRSD_ERR_MEMORY;
  using A = krp::sync::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  return sd_exchange(ctx, krp::sync::command, A::rules, A::count, tb, &stage);
}

int cli_seek(krsd_client* ctx, int64_t offset, int origin, int64_t* pos) {
  KR_LOG(OS_LOG_DEBUG, "offset=%llu mode=%d\n", (unsigned long long)offset, origin);
  if (krp::encode<krp::seek::request>(&ctx->req, ctx->fd, offset, origin) != 0) return KRSD_ERR_MEMORY;
  using A = krp::seek::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  int ret = sd_exchange(ctx, krp::seek::command, A::rules, A::count, tb, &stage);
  if (ret != KRSD_OK) return ret;
  *pos = blobmsg_get_u64(tb[A::offset]);
  ctx->position = *pos;
  return KRSD_OK;
}

int cli_truncate(krsd_client* ctx, int64_t size) {
  if (krp::encode<krp::truncate::request>(&ctx->req, ctx->fd, size) != 0) return KRSD_ERR_MEMORY;
  using A = krp::truncate::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  return sd_exchange(ctx, krp::truncate::command, A::rules, A::count, tb, &stage);
}
