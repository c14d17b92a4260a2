#include <cerrno>

#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_log.h"
#include "os/os_safe.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_finfo"

namespace {

using Answer = krp::finfo::answer;

}  // namespace

int sd_finfo_request(krsd_client* ctx) {
  // The handle once, in hex ("%p" would add its own "0x" on this C library).
  KR_LOG(OS_LOG_DEBUG, "fd=0x%llx\n", static_cast<unsigned long long>(ctx->fd));
  if (krp::encode<krp::finfo::request>(&ctx->req, ctx->fd) != 0) return KRSD_ERR_MEMORY;
  return KRSD_OK;
}

namespace {

int informed(int ret, const blob_attr* const* tb, krsd_file_info* info) {
  if (ret != KRSD_OK) return ret;
  info->type = blobmsg_get_u32(tb[Answer::type]);
  info->size = blobmsg_get_u64(tb[Answer::len]);
  info->offset = blobmsg_get_u64(tb[Answer::offset]);
  info->sector_bytes = blobmsg_get_u32(tb[Answer::sector_bytes]);
  // The daemon's words.
  os_printable_copy(info->info, sizeof(info->info), blobmsg_get_string(tb[Answer::info]));
  return KRSD_OK;
}

}  // namespace

int sd_finfo_answer(krsd_client* ctx, krsd_file_info* info) {
  const blob_attr* tb[Answer::count];
  sd_stage stage;
  return informed(sd_answer(ctx, Answer::rules, Answer::count, tb, &stage), tb, info);
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
  const blob_attr* tb[Answer::count];
  sd_stage stage;
  return informed(sd_exchange(ctx, krp::finfo::command, Answer::rules, Answer::count, tb, &stage), tb, info);
}
