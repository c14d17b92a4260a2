#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_log.h"
#include "os/os_safe.h"
#include "sd_internal.h"
#include "sd_ssl.h"
#include "tb_file.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_init"

namespace {

// Written once by krsd_cli_lib_init before any session, read-only after.
void* g_tls_ctx = nullptr;

}  // namespace

void* sd_tls_ctx() { return g_tls_ctx; }

int krsd_cli_lib_init() {
  if (tb_file_register_driver(krsd_file_driver()) != 0) return -1;
  g_tls_ctx = sd_cli_ssl_ctx_new();
  if (!g_tls_ctx) return -1;
  // The response rule tables are constant data; nothing to prepare.
  return 0;
}

int sd_init_request(krsd_client* ctx, const char* user, const char* passwd) {
  if (!user) user = "";
  if (!passwd) passwd = "";
  KR_LOG(OS_LOG_DEBUG, "init user=[%s] passwd=[%s] \n", user, *passwd ? "***" : "");
  if (krp::encode<krp::init::request>(&ctx->req, user, passwd) != 0) return KRSD_ERR_MEMORY;
  return KRSD_OK;
}

int sd_init_answer(krsd_client* ctx) {
  uint32_t pl = 0;
  int ret = client_recv_response(ctx, &pl);
  if (ret != KRSD_OK) {
    KR_LOG(OS_LOG_ERR, "client_recv_response ret=%d\n", ret);
    return ret;
  }
  KR_LOG(OS_LOG_DEBUG, "client_recv_response len=%d\n", int(pl));
  using A = krp::init::answer;
  const blob_attr* tb[A::count];
  int pr = krp::parse_msg<A>(tb, ctx->resp, pl);
  KR_LOG(OS_LOG_DEBUG, "blobmsg_parse ret=%d\n", pr);
  if (pr != 0) return KRSD_ERR_DATA;
  int32_t err = blobmsg_get_u32(tb[A::error]);
  if (err != 0) {
    ctx->last_error = err;
    os_printable_copy(ctx->last_error_str, sizeof(ctx->last_error_str),
                      blobmsg_get_string(tb[A::error_text]));
    return KRSD_ERR_REMOTE;
  }
  ctx->last_error = 0;
  ctx->os_type = blobmsg_get_u32(tb[A::os_type]);
  KR_LOG(OS_LOG_DEBUG, "init ok\n");
  return KRSD_OK;
}

int cli_init(krsd_client* ctx, const char* user, const char* passwd) {
  int ret = sd_init_request(ctx, user, passwd);
  if (ret != KRSD_OK) return ret;
  ret = client_send_reqest(ctx, krp::init::command, ctx->req.bytes, msg_len(&ctx->req));
  KR_LOG(OS_LOG_DEBUG, "client_send_reqest ret=%d\n", ret);
  if (ret != KRSD_OK) return ret;
  return sd_init_answer(ctx);
}
