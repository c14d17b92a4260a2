// Internal pieces shared by the client modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sd_session.h"

// Where an exchange stopped, for the callers' own log lines.
enum sd_stage {
  SD_STAGE_BUILD,   // the request could not be built (memory)
  SD_STAGE_SEND,
  SD_STAGE_RECV,
  SD_STAGE_PARSE,
  SD_STAGE_REMOTE,  // the daemon answered with a non-zero errno
  SD_STAGE_DONE,
};

// Sends the request built in ctx->req with cmd, receives the response and
// parses its root payload with rules (whose first two are "errno" and
// "errno_str") into tb. On a non-zero errno stores it and its text and
// returns KRSD_ERR_REMOTE; on success last_error becomes 0. last_error is
// cleared first, so the error class always describes this exchange. Reads
// still in flight are answered and discarded first (sd_ahead_drain).
int sd_exchange(krsd_client* ctx, int cmd, const blobmsg_rule* rules, int n, const blob_attr** tb,
                sd_stage* stage);
// The first half of sd_exchange: drain, send, receive; *pl is the padded
// length of the response now in ctx->resp.
int sd_transact(krsd_client* ctx, int cmd, uint32_t* pl, sd_stage* stage);
// The second half: parses the response in ctx->resp as sd_exchange does.
int sd_reply(krsd_client* ctx, uint32_t pl, const blobmsg_rule* rules, int n, const blob_attr** tb,
             sd_stage* stage);
// Receives the next answer and parses it as sd_reply does: for requests
// that were sent together (sd_frames_send), taken in the order they went.
int sd_answer(krsd_client* ctx, const blobmsg_rule* rules, int n, const blob_attr** tb, sd_stage* stage);

// Requests sent in one write: each appended as client_send_reqest frames it.
// false when msg is shorter than a message's root (nothing appended).
[[nodiscard]] bool sd_frame_append(std::vector<uint8_t>* out, int cmd, const blobmsg_buf* msg);
// Sends what sd_frame_append gathered in one write: KRSD_OK or KRSD_ERR_SYS.
int sd_frames_send(krsd_client* ctx, const std::vector<uint8_t>& frames);

// The halves of the opening exchanges: each *_request builds its request in
// ctx->req (KRSD_OK or KRSD_ERR_MEMORY), each *_answer takes in and parses
// the next answer as that request's.
int sd_init_request(krsd_client* ctx, const char* user, const char* passwd);
int sd_init_answer(krsd_client* ctx);
int sd_ioctl_request(krsd_client* ctx, int code, const void* data, int len);
int sd_ioctl_answer(krsd_client* ctx, int code, const void* data, int len);
int sd_open_request(krsd_client* ctx, const char* path, int mode);
int sd_open_answer(krsd_client* ctx);
int sd_finfo_request(krsd_client* ctx);
int sd_finfo_answer(krsd_client* ctx, krsd_file_info* info);

// Marks the session out of step (see krsd_client) and returns code.
int sd_lose_step(krsd_client* ctx, int code);
// The result of any exchange on a session out of step: KRSD_ERR_SYS with
// errno ENOTCONN.
int sd_out_of_step(krsd_client* ctx);

// The read answer now in ctx->resp (padded length pl): parsed, its errno
// stored, its data unpacked into buf (capacity len). The result code as
// cli_read gives it, with *nread.
int sd_read_answer(krsd_client* ctx, uint32_t pl, void* buf, int len, int* nread);

// Pipelined reads (sd_ahead.cc). sd_ahead_read reads len bytes at the
// caller's position as cli_read does, with the same results, keeping more
// requests in flight while the caller reads block after block.
int sd_ahead_read(krsd_client* ctx, void* buf, int len, int* nread);
// Takes in the answers of the reads still in flight and discards them; with
// realign the daemon's position is then moved back to the caller's. KRSD_OK,
// or a failure code (the session is then out of step).
int sd_ahead_drain(krsd_client* ctx, bool realign);
void sd_ahead_free(krsd_client* ctx);
// The read in pieces of the file layer (tb_file_pieces), its arguments
// checked: the seek and read requests of the pieces kept in flight together,
// the outcomes filled in; result is left to the caller. KRSD_OK, or the
// failure code (the session is then out of step).
int sd_ahead_pieces(krsd_client* ctx, tb_file_pieces* p);

// Copies text into dst (size bytes), cut to size - 1 and terminated.
void sd_copy_text(char* dst, size_t size, const char* text);

// Records why the connect or open of krsd_file_init failed on this thread
// (printf format); an empty format clears it.
void sd_open_failed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The process-wide TLS client context (created by krsd_cli_lib_init).
void* sd_tls_ctx();
