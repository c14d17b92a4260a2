// Pipelined reads of a session. While the caller reads a file block after
// block, further read requests of the same size are kept in flight, so that
// a link's round trip is paid once per window rather than once per block.
// The daemon answers in request order, one request at a time; each answer is
// handed to the read that would have sent that very request, so the caller
// sees exactly what one request at a time gives, failures included. Any
// other call (a read of another size, a seek, a write, any other request)
// first takes in the answers still on their way, discards them and moves
// the daemon back to where the caller stands.
//
// The window is bounded in bytes and follows the link: twice the pace at
// which answers come in times the shortest round trip seen. The pace of an
// answer is what was delivered while its request was on its way, over that
// time, so a window too small for the link doubles every round trip, while
// on loopback (round trip about one block's service time) it stays a few
// blocks. It only grows during a session.
//
// A block that cannot be read is read again in pieces of a sector
// (sd_ahead_pieces): the seek and read requests of all its pieces go out
// together and their answers are taken in order, so a bad block costs about
// a round trip instead of one or two per sector. The reads the read-ahead
// still had in flight are answered before them and discarded (every piece
// is positioned on its own), and reads of the next blocks follow them, so
// that the copy streams on at once after the block.
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "sd_internal.h"
#include "tb_file.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_ahead"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxInflight = 256;
// Larger reads pay the round trip seldom enough; they go one at a time.
constexpr int kMaxAheadRead = 1 << 20;
// Fills a 100 ms round trip at 2.5 Gbit/s (32 MiB: 256 requests of the
// engine's 128 KiB). The bytes in flight wait in the socket buffers and on
// the link, not in this process.
constexpr int64_t kMaxWindow = 32 << 20;
constexpr int kStartBlocks = 4;
// Where the window starts on a link whose round trip the opening measured:
// what a link of 100 MB/s carries in that round trip (a gigabit link or
// less is what stands between an examiner and a device), at least
// kStartBlocks; the answers' pace then takes it on. Bytes per microsecond.
constexpr double kStartRate = 100;
// A read of at least this much from the start of the file begins a pass
// over it (smaller ones are looks at a header, a partition table).
constexpr int kMinPassRead = 64 << 10;
constexpr int kFrameMax = 64;  // a read request frame is 40 bytes
// Request bytes a salvage keeps in flight: the seek and read requests of all
// 200 pieces of a block of 512-byte sectors (23 KB) go out in one write, and
// the socket buffers of both ends take that in as the system sizes them,
// also while the daemon waits for the answers it sent to be taken in.
constexpr size_t kMaxPieceRequests = 32 << 10;

using SeekAnswer = krp::seek::answer;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

}  // namespace

struct sd_ahead {
  ~sd_ahead() {
    blobmsg_buf_free(&req);
    blobmsg_buf_free(&piece_req);
    free(scratch);
  }

  blobmsg_buf req{};  // builds the read request, and the seek back
  blobmsg_buf piece_req{};  // builds the requests of a salvage
  // The frame of one read request of `size` bytes for handle `fd`, sent as
  // often as there are requests in flight.
  uint8_t frame[kFrameMax] = {};
  size_t frame_len = 0;
  int64_t fd = 0;
  int32_t size = -1;
  // The requests in flight, oldest first (a ring): when each was sent and
  // how many bytes had been delivered by then.
  struct Sent {
    Clock::time_point at;
    int64_t delivered;
  } sent[kMaxInflight];
  int first = 0, count = 0;
  // The last call was a read of `size` bytes that came back whole, and
  // nothing else went out since: the next one is most likely the same.
  bool streaming = false;
  // A read has gone out on the session: before it, a read from the start of
  // the file is the beginning of a pass over it.
  bool started = false;
  uint8_t* scratch = nullptr;  // `size` bytes for the answers that are discarded
  int32_t scratch_size = 0;
  uint8_t batch[kMaxInflight * kFrameMax];

  int64_t window = 0;     // bytes to keep in flight
  double rtt_us = 0;      // the shortest round trip seen
  int64_t delivered = 0;  // bytes of whole answers handed to the caller
};

namespace {

sd_ahead* ahead_of(krsd_client* ctx) {
  if (!ctx->ahead) ctx->ahead = new (std::nothrow) sd_ahead;
  return ctx->ahead;
}

// The frame of a read of len bytes on the session's open file.
bool set_frame(krsd_client* ctx, sd_ahead* a, int32_t len) {
  if (a->size == len && a->fd == ctx->fd && a->frame_len) return true;
  a->frame_len = 0;
  if (krp::encode<krp::read::request>(&a->req, ctx->fd, len) != 0) return false;
  size_t n = msg_len(&a->req);
  if (n < 4 || n + KRSD_FRAME_HEAD_LEN - 4 > sizeof(a->frame)) return false;
  sd_frame_head_encode(a->frame, KRSD_FRAME_VERSION, krp::read::command, a->req.bytes);
  memcpy(a->frame + KRSD_FRAME_HEAD_LEN, a->req.bytes + 4, n - 4);
  a->frame_len = n + KRSD_FRAME_HEAD_LEN - 4;
  a->size = len;
  a->fd = ctx->fd;
  return true;
}

// Room for n bytes in a->scratch, for answers that are discarded.
bool scratch_for(sd_ahead* a, int32_t n) {
  if (a->scratch_size >= n) return true;
  free(a->scratch);
  a->scratch = static_cast<uint8_t*>(malloc(size_t(n > 0 ? n : 1)));
  a->scratch_size = a->scratch ? n : 0;
  return a->scratch != nullptr;
}

// Sends read requests until `want` are in flight, in one write.
int top_up(krsd_client* ctx, sd_ahead* a, int want) {
  int more = want - a->count;
  if (more <= 0) return KRSD_OK;
  for (int i = 0; i < more; ++i) memcpy(a->batch + size_t(i) * a->frame_len, a->frame, a->frame_len);
  size_t total = size_t(more) * a->frame_len;
  ctx->finfo_ready = 0;
  if (net_write(&ctx->conn, a->batch, total) != long(total)) {
    int e = errno;
    char text[256];
    KR_LOG(OS_LOG_DEBUG, "tb_socket_send error [%d] [%s]\n", e, os_error_text(e, text, sizeof(text)));
    errno = e;
    bool behind = a->count > 0;
    a->count = 0;
    return behind ? sd_lose_step(ctx, KRSD_ERR_SYS) : KRSD_ERR_SYS;
  }
  const sd_ahead::Sent now{Clock::now(), a->delivered};
  for (int i = 0; i < more; ++i) a->sent[(a->first + a->count + i) % kMaxInflight] = now;
  a->count += more;
  return KRSD_OK;
}

// The first window of the session: the opening's round trip at kStartRate,
// within kStartBlocks of len and kMaxWindow; that round trip is also the
// first one seen.
void start_window(const krsd_client* ctx, sd_ahead* a, int32_t len) {
  const double rtt = ctx->opening_rtt_us;
  if (rtt <= 0) return;
  if (a->rtt_us == 0 || rtt < a->rtt_us) a->rtt_us = rtt;
  double w = rtt * kStartRate;
  if (w > double(kMaxWindow)) w = double(kMaxWindow);
  a->window = std::max<int64_t>(int64_t(w), int64_t(kStartBlocks) * len);
}

// The window in requests of `size` bytes.
int window_requests(const sd_ahead* a) {
  int64_t n = a->window / a->size;
  if (n < 1) n = 1;
  return n > kMaxInflight ? kMaxInflight : int(n);
}

// A whole answer of n bytes came in for a request sent as `sent` tells.
void pace(sd_ahead* a, const sd_ahead::Sent& sent, int32_t n) {
  double lifetime = micros(Clock::now() - sent.at);
  if (lifetime < 1) lifetime = 1;
  if (a->rtt_us == 0 || lifetime < a->rtt_us) a->rtt_us = lifetime;
  a->delivered += n;
  double rate = double(a->delivered - sent.delivered) / lifetime;  // bytes per microsecond
  double w = 2 * rate * a->rtt_us;
  if (w > double(kMaxWindow)) w = double(kMaxWindow);
  if (int64_t(w) > a->window) a->window = int64_t(w);
}

// Receives the oldest answer in flight into buf (capacity len).
int take_answer(krsd_client* ctx, sd_ahead* a, void* buf, int len, int* nread, sd_ahead::Sent* sent) {
  *nread = 0;
  *sent = a->sent[a->first];
  a->first = (a->first + 1) % kMaxInflight;
  a->count--;
  uint32_t pl = 0;
  int ret = client_recv_response(ctx, &pl);
  if (ret != KRSD_OK) {
    KR_LOG(OS_LOG_DEBUG, "client_recv_response ret=%d\n", ret);
    // The answers of the requests behind it are still to come.
    bool behind = a->count > 0;
    a->count = 0;
    return behind ? sd_lose_step(ctx, ret) : ret;
  }
  return sd_read_answer(ctx, pl, buf, len, nread);
}

// Puts the daemon's position back by `moved` bytes, with the seek request of
// a->req (ctx->req may hold the request that is waiting to go out).
int seek_back(krsd_client* ctx, sd_ahead* a, int64_t moved) {
  a->frame_len = 0;  // the builder is reused
  if (krp::encode<krp::seek::request>(&a->req, ctx->fd, -moved, 1) != 0)
    return sd_lose_step(ctx, KRSD_ERR_MEMORY);
  int ret = client_send_reqest(ctx, krp::seek::command, a->req.bytes, msg_len(&a->req));
  uint32_t pl = 0;
  if (ret == KRSD_OK) ret = client_recv_response(ctx, &pl);
  if (ret != KRSD_OK) return sd_lose_step(ctx, ret);
  const blob_attr* tb[SeekAnswer::count];
  sd_stage stage;
  ret = sd_reply(ctx, pl, SeekAnswer::rules, SeekAnswer::count, tb, &stage);
  // A daemon that cannot go back leaves the session at a position the
  // caller does not know: nothing more may be read from it.
  if (ret != KRSD_OK) {
    KR_LOG(OS_LOG_ERR, "read-ahead: seek back by %lld error=%d\n", (long long)moved, ret);
    return sd_lose_step(ctx, ret);
  }
  // Landed elsewhere (and said so): the caller's next bytes would come from
  // another place of the file.
  const int64_t want = ctx->position >= 0 ? ctx->position - moved : -1;
  const int64_t at = int64_t(blobmsg_get_u64(tb[SeekAnswer::offset]));
  ctx->position = at;
  if (want >= 0 && at != want) {
    KR_LOG(OS_LOG_ERR, "read-ahead: seek back by %lld landed at %lld, not at %lld\n", (long long)moved,
           (long long)at, (long long)want);
    return sd_lose_step(ctx, KRSD_ERR_DATA);
  }
  KR_LOG(OS_LOG_VERBOSE, "read-ahead: %lld bytes read ahead given back\n", (long long)moved);
  return KRSD_OK;
}

}  // namespace

namespace {

// sd_ahead_drain, with `moved` bytes of answers read ahead already taken in.
int drain(krsd_client* ctx, sd_ahead* a, bool realign, int64_t moved) {
  while (a->count > 0) {
    int n = 0;
    sd_ahead::Sent sent;
    int ret = take_answer(ctx, a, a->scratch, a->size, &n, &sent);
    if (ret == KRSD_OK) {
      moved += n;
    } else if (ret != KRSD_ERR_REMOTE) {
      // Out of step, or an answer that could not be read: how far it moved
      // the daemon is unknown.
      a->count = 0;
      return sd_lose_step(ctx, ret);
    }
  }
  ctx->last_error = 0;
  if (!realign || moved == 0) return KRSD_OK;
  return seek_back(ctx, a, moved);
}

// A read shorter than those in flight, of the same file at the caller's
// position (the end of the file, most often): the oldest answer is this
// read's own answer when it holds no more than len bytes (a read of len
// there gives the same bytes and moves the daemon as far), and the answers
// behind it are of the end. Otherwise all of them are given back and the
// read goes out on its own. *taken: the answer was the caller's.
int take_short(krsd_client* ctx, sd_ahead* a, void* buf, int len, int* nread, bool* taken) {
  *taken = false;
  int n = 0;
  sd_ahead::Sent sent;
  int ret = take_answer(ctx, a, a->scratch, a->size, &n, &sent);
  if (ret != KRSD_OK && ret != KRSD_ERR_REMOTE) {
    a->count = 0;
    return sd_lose_step(ctx, ret);
  }
  if (ret == KRSD_OK && n <= len) {
    memcpy(buf, a->scratch, size_t(n));
    *nread = n;
    *taken = true;
    a->streaming = false;
    return KRSD_OK;
  }
  return drain(ctx, a, true, ret == KRSD_OK ? n : 0);
}

}  // namespace

int sd_ahead_drain(krsd_client* ctx, bool realign) {
  if (ctx->out_of_step) return sd_out_of_step(ctx);
  sd_ahead* a = ctx->ahead;
  if (!a) return KRSD_OK;
  a->streaming = false;
  if (a->count == 0) return KRSD_OK;
  if (!scratch_for(a, a->size)) {
    a->count = 0;
    return sd_lose_step(ctx, KRSD_ERR_MEMORY);
  }
  return drain(ctx, a, realign, 0);
}

int sd_ahead_read(krsd_client* ctx, void* buf, int len, int* nread) {
  *nread = 0;
  if (len < 0 || len > kMaxAheadRead) return cli_read(ctx, buf, len, nread);
  sd_ahead* a = ahead_of(ctx);
  if (!a) return cli_read(ctx, buf, len, nread);
  if (ctx->out_of_step) return sd_out_of_step(ctx);
  ctx->last_error = 0;
  if (a->count > 0 && len < a->size && ctx->fd == a->fd && scratch_for(a, a->size)) {
    bool taken = false;
    int ret = take_short(ctx, a, buf, len, nread, &taken);
    if (ret != KRSD_OK || taken) return ret;
  }
  // A read the requests in flight did not foresee goes out on its own.
  if (a->count > 0 && (len != a->size || ctx->fd != a->fd)) {
    int ret = sd_ahead_drain(ctx, true);
    if (ret != KRSD_OK) return ret;
  }
  const bool first_pass = !a->started && ctx->position == 0 && len >= kMinPassRead;
  a->started = true;
  bool ahead = a->streaming && len == a->size && ctx->fd == a->fd;
  if (a->count == 0 && !set_frame(ctx, a, len)) return KRSD_ERR_MEMORY;
  // A pass over the file from its start streams from its first read.
  ahead = ahead || first_pass;
  if (ahead && a->window == 0) start_window(ctx, a, len);
  if (ahead && a->window < int64_t(kStartBlocks) * len) a->window = int64_t(kStartBlocks) * len;
  int ret = top_up(ctx, a, ahead ? window_requests(a) : 1);
  if (ret != KRSD_OK) return ret;
  sd_ahead::Sent sent;
  ret = take_answer(ctx, a, buf, len, nread, &sent);
  // Only whole answers go on: after a short one (the end of the data) or a
  // failure the requests in flight are answered but no more are sent.
  a->streaming = ret == KRSD_OK && *nread == len && len > 0;
  if (a->streaming) pace(a, sent, len);
  return ret;
}

namespace {

// One read in pieces (sd_ahead_pieces) while its requests and answers are on
// their way.
struct Flight {
  Flight(krsd_client* c, sd_ahead* ahead, tb_file_pieces* pieces) : ctx(c), a(ahead), p(pieces) {}
  krsd_client* ctx;
  sd_ahead* a;
  tb_file_pieces* p;
  int64_t end = 0;      // of the range
  int64_t first = 0;    // the grid index of the first piece
  int32_t total = 0;    // pieces to read
  int32_t sent = 0;     // pieces whose requests are out
  bool closed = false;  // the seek to the end of the pieces is out
  int ahead = 0;        // reads of the next blocks sent after that seek
  size_t piece_bytes = 0;  // the two requests of a piece
  size_t in_flight = 0;    // request bytes of the pieces not yet answered
  std::vector<uint8_t> batch;
  int64_t at = 0;  // the daemon's position, as the answers tell it

  int64_t start_of(int32_t i) const { return i == 0 ? p->offset : (first + i) * p->grid; }
  int64_t end_of(int32_t i) const {
    const int64_t e = (first + i + 1) * p->grid;
    return e < end ? e : end;
  }
};

// Appends the message built in a->piece_req to the batch as a request cmd.
bool add_request(Flight& f, int cmd) { return sd_frame_append(&f.batch, cmd, &f.a->piece_req); }

// The requests of cli_seek (from the start) and cli_read, byte for byte.
bool add_seek(Flight& f, int64_t to) {
  blobmsg_buf* b = &f.a->piece_req;
  return krp::encode<krp::seek::request>(b, f.ctx->fd, to, 0) == 0 && add_request(f, krp::seek::command);
}

bool add_read(Flight& f, int64_t len) {
  blobmsg_buf* b = &f.a->piece_req;
  return krp::encode<krp::read::request>(b, f.ctx->fd, len) == 0 && add_request(f, krp::read::command);
}

// Sends the requests of further pieces while they fit in kMaxPieceRequests;
// with the last piece, the seek to the end of the pieces and the reads of the
// next blocks.
int send_more(Flight& f) {
  f.batch.clear();
  while (f.sent < f.total && (f.in_flight == 0 || f.in_flight + f.piece_bytes <= kMaxPieceRequests)) {
    const size_t before = f.batch.size();
    const int64_t start = f.start_of(f.sent);
    if (!add_seek(f, start) || !add_read(f, f.end_of(f.sent) - start)) return KRSD_ERR_MEMORY;
    f.piece_bytes = f.batch.size() - before;
    f.in_flight += f.piece_bytes;
    f.sent++;
  }
  const bool closing = f.sent == f.total && !f.closed;
  if (closing) {
    if (!add_seek(f, f.end_of(f.total - 1))) return KRSD_ERR_MEMORY;
    for (int i = 0; i < f.ahead; ++i) f.batch.insert(f.batch.end(), f.a->frame, f.a->frame + f.a->frame_len);
    f.closed = true;
  }
  if (f.batch.empty()) return KRSD_OK;
  if (const int ret = sd_frames_send(f.ctx, f.batch); ret != KRSD_OK) return ret;
  if (closing && f.ahead > 0) {
    // Read-ahead requests from now on, answered after the pieces.
    sd_ahead* a = f.a;
    const sd_ahead::Sent now{Clock::now(), a->delivered};
    for (int i = 0; i < f.ahead; ++i) a->sent[(a->first + a->count + i) % kMaxInflight] = now;
    a->count += f.ahead;
  }
  return KRSD_OK;
}

// Takes in the answer of a seek to `want`: *landed tells whether the daemon
// is there now. A seek the daemon refused has not moved it.
int take_seek(Flight& f, int64_t want, bool* landed) {
  *landed = false;
  uint32_t pl = 0;
  int ret = client_recv_response(f.ctx, &pl);
  if (ret != KRSD_OK) return ret;
  const blob_attr* tb[SeekAnswer::count];
  sd_stage stage;
  ret = sd_reply(f.ctx, pl, SeekAnswer::rules, SeekAnswer::count, tb, &stage);
  if (ret == KRSD_ERR_REMOTE) return KRSD_OK;
  if (ret != KRSD_OK) return ret;
  f.at = int64_t(blobmsg_get_u64(tb[SeekAnswer::offset]));
  f.ctx->position = f.at;
  *landed = f.at == want;
  return KRSD_OK;
}

// Answers are still on their way: nothing more may be read on the session.
int lose(Flight& f, int code) {
  f.a->count = 0;
  f.ctx->last_error = 0;  // the transfer failed, not the file
  return sd_lose_step(f.ctx, code);
}

}  // namespace

int sd_ahead_pieces(krsd_client* ctx, tb_file_pieces* p) {
  p->done = 0;
  p->position = p->offset;
  if (ctx->out_of_step) return sd_out_of_step(ctx);
  sd_ahead* a = ahead_of(ctx);
  if (!a) return KRSD_ERR_MEMORY;
  ctx->last_error = 0;
  a->streaming = false;
  Flight f(ctx, a, p);
  f.end = p->offset + p->size;
  f.first = p->offset / p->grid;
  f.at = p->offset;
  const int64_t pieces = p->size > 0 ? (f.end - 1) / p->grid - f.first + 1 : 0;
  f.total = int32_t(pieces < p->count ? pieces : p->count);
  if (f.total <= 0) return KRSD_OK;
  // The reads the read-ahead sent are answered first, into the scratch; so
  // is the read of a piece the daemon could not be positioned for.
  const int old = a->count;
  const int64_t piece_max = p->grid < p->size ? p->grid : p->size;
  if (!scratch_for(a, int32_t(old > 0 && a->size > piece_max ? a->size : piece_max))) return KRSD_ERR_MEMORY;
  // A block of the caller's stream of blocks: the next ones are most likely
  // read next, and go out behind the pieces.
  if (f.total == pieces && a->size == p->size && a->fd == ctx->fd && set_frame(ctx, a, a->size)) {
    if (a->window < int64_t(kStartBlocks) * a->size) a->window = int64_t(kStartBlocks) * a->size;
    f.ahead = window_requests(a);
    if (f.ahead > kMaxInflight - old) f.ahead = kMaxInflight - old;
  }
  int ret = send_more(f);
  if (ret != KRSD_OK) return lose(f, ret);
  // Every piece is positioned on its own: where these reads moved the daemon
  // does not matter, only that it is known.
  for (int i = 0; i < old; ++i) {
    int n = 0;
    sd_ahead::Sent sent;
    ret = take_answer(ctx, a, a->scratch, a->size, &n, &sent);
    if (ret == KRSD_OK)
      f.at += n;
    else if (ret != KRSD_ERR_REMOTE)
      return lose(f, ret);
  }
  bool stuck = false;  // a piece could not be positioned: no outcomes from it on
  bool told = false;   // a failure other than an unreadable sector was logged
  for (int32_t i = 0; i < f.total; ++i) {
    const int64_t start = f.start_of(i);
    const int len = int(f.end_of(i) - start);
    bool landed = false;
    ret = take_seek(f, start, &landed);
    if (ret != KRSD_OK) return lose(f, ret);
    stuck = stuck || !landed;
    uint8_t* into = stuck ? a->scratch : static_cast<uint8_t*>(p->data) + (start - p->offset);
    uint32_t pl = 0;
    int n = 0;
    ret = client_recv_response(ctx, &pl);
    if (ret == KRSD_OK) ret = sd_read_answer(ctx, pl, into, len, &n);
    if (ret == KRSD_OK) {
      f.at += n;
      if (!stuck) p->piece[p->done++] = {n, IOERR_NONE};
    } else if (ret == KRSD_ERR_REMOTE) {
      // The daemon's words, at the level of their class; the caller ends the
      // block at the first failure that is not an unreadable sector, and so
      // does its log.
      const int cls = krsd_error_class(ctx->os_type, ctx->last_error);
      if (!told) krsd_cli_set_last_error(ctx, ret);
      told = told || cls != IOERR_DATA;
      if (!stuck) p->piece[p->done++] = {-1, cls};
    } else {
      return lose(f, ret);
    }
    f.in_flight -= f.piece_bytes;
    if (f.sent < f.total && f.in_flight <= kMaxPieceRequests / 2) {
      ret = send_more(f);
      if (ret != KRSD_OK) return lose(f, ret);
    }
  }
  bool landed = false;
  ret = take_seek(f, f.end_of(f.total - 1), &landed);
  if (ret != KRSD_OK) return lose(f, ret);
  p->position = f.at;
  ctx->last_error = 0;
  a->streaming = f.ahead > 0;
  return KRSD_OK;
}

void sd_ahead_free(krsd_client* ctx) {
  delete ctx->ahead;
  ctx->ahead = nullptr;
}
