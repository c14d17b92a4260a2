#include <cerrno>

#include "krsd_client.h"
#include "os/os_log.h"
#include "os/os_safe.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_finfo"

namespace {

const blobmsg_rule kInfoRules[] = {
    {"errno", BLOBMSG_TYPE_INT32},        {"errno_str", BLOBMSG_TYPE_STRING}, {"type", BLOBMSG_TYPE_INT32},
    {"len", BLOBMSG_TYPE_INT64},          {"offset", BLOBMSG_TYPE_INT64},
    {"sector_bytes", BLOBMSG_TYPE_INT32}, {"info", BLOBMSG_TYPE_STRING},
};

}  // namespace

int sd_finfo_request(krsd_client* ctx) {
  // The handle once, in hex ("%p" would add its own "0x" on this C library).
  KR_LOG(OS_LOG_DEBUG, "fd=0x%llx\n", static_cast<unsigned long long>(ctx->fd));
  if (blobmsg_begin(&ctx->req) != 0 || blobmsg_put_u64(&ctx->req, "fd", uint64_t(ctx->fd)) != 0)
    return KRSD_ERR_MEMORY;
  return KRSD_OK;
}

namespace {

int informed(int ret, const blob_attr* const* tb, krsd_file_info* info) {
  if (ret != KRSD_OK) return ret;
  info->type = blobmsg_get_u32(tb[2]);
  info->size = blobmsg_get_u64(tb[3]);
  info->offset = blobmsg_get_u64(tb[4]);
  info->sector_bytes = blobmsg_get_u32(tb[5]);
  os_printable_copy(info->info, sizeof(info->info), blobmsg_get_string(tb[6]));  // the daemon's words
  return KRSD_OK;
}

}  // namespace

int sd_finfo_answer(krsd_client* ctx, krsd_file_info* info) {
  const blob_attr* tb[7];
  sd_stage stage;
  return informed(sd_answer(ctx, kInfoRules, 7, tb, &stage), tb, info);
}

int cli_file_info(krsd_client* ctx, krsd_file_info* info) {
  if (ctx->finfo_ready) {
    // Asked behind the open, and nothing went out since: the daemon's answer
    // to this very request.
    ctx->finfo_ready = 0;
    if (ctx->finfo_ret == KRSD_OK) {
      ctx->last_error = 0;
      *info = ctx->finfo;
    } else if (ctx->finfo_ret == KRSD_ERR_REMOTE) {
      ctx->last_error = ctx->finfo_errno;
    } else {
      errno = ctx->finfo_errno;
    }
    return ctx->finfo_ret;
  }
  int ret = sd_finfo_request(ctx);
  if (ret != KRSD_OK) return ret;
  const blob_attr* tb[7];
  sd_stage stage;
  return informed(sd_exchange(ctx, KRSD_CMD_FINFO, kInfoRules, 7, tb, &stage), tb, info);
}
