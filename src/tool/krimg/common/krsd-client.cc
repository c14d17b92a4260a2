// The imaging engine: the block copy pass over the job record G, the job with
// its retry policy, the worker thread and the resume question.
#include "krsd-client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "krdd.h"
#include "krsd_client.h"
#include "krsd_ui.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "os/os_safe.h"
#include "os/os_worker.h"
#include "stream.h"
#include "tb_cancel.h"
#include "tb_file.h"
#include "tb_init.h"
#include "tb_url.h"

#define KR_LOG_SRC "src\\tool\\krimg\\common\\krsd-client"

dd_job G;

namespace {

constexpr int kOpenTimeoutMs = 2000;

// The job's stop request: Stop raises it beside DD_STOP, so that a read
// waiting on a silent daemon or pipe ends at once instead of after its
// time-out. The job's thread watches it while the job runs.
tb_cancel_ref_t job_cancel() {
  static const tb_cancel_ref_t cancel = tb_cancel_init();
  return cancel;
}
constexpr int kModeNewImage = FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_TRUNCATE;  // 42
constexpr int kModeKeepImage = FILE_MODE_CREATE | FILE_MODE_WRITE;                       // 10

long long ll(int64_t v) { return static_cast<long long>(v); }
unsigned long long ull(int64_t v) { return static_cast<unsigned long long>(v); }

// Writes all of len bytes at o_offset or fails. A short write is not an
// error by itself (the rest is written at once); a write that moves nothing
// or fails ends the job, since the image would otherwise have a hole.
// Returns len, or -1 after the "writing" error line; *done is what reached
// the output either way.
long full_write_or_warn(const uint8_t* buf, int64_t len, const char* name, int64_t* done_out) {
  int64_t& done = *done_out;
  done = 0;
  while (done < len) {
    long w = stream_write(G.out_stream, buf + done, static_cast<size_t>(len - done));
    if (w < 0) {
      KR_LOG(OS_LOG_ERR, "writing '%s' error %s\n", name, krsd_error_text(G.out_kind));
      return -1;
    }
    if (w == 0) {
      snprintf(G.errtext, sizeof G.errtext, "[nothing written after %lld of %lld bytes]",
               ll(done), ll(len));
      KR_LOG(OS_LOG_ERR, "writing '%s' error %s\n", name, G.errtext);
      return -1;
    }
    done += w;
    G.o_offset += w;
  }
  return static_cast<long>(done);
}

// true when the write failed. What reached the image is counted and hashed
// either way, also the part of a block written before the disk was full:
// the summary tells what the image holds.
bool write_and_count(const uint8_t* buf, int64_t len, const char* name) {
  int64_t w = 0;
  const bool failed = full_write_or_warn(buf, len, name, &w) < 0;
  if (w == 0) return failed;
  // The hashes run beside the loop, which then reads the next block into the
  // next buffer of their ring.
  if (uint8_t* next = dd_record_block(buf, w)) G.ibuf = G.obuf = next;
  if (w == G.obs)
    ++G.out_full;
  else
    ++G.out_part;
  G.total_bytes += w;
  return failed;
}

int write_failed_result() { return G.out_kind == TB_URL_PROTOCOL_FILE ? DD_FAILED : DD_WRITE_FAILED; }

// Moves s to offset and checks that it got there: a stream without a size
// "succeeds" at the wrong place (it clamps to the size it knows), and
// reading on from there would put other bytes at this offset of the image.
// A failure logs the positioning error line of name.
bool seek_or_log(stream_ref_t s, int64_t offset, const std::string& name, int kind) {
  if (!stream_seek(s, offset)) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "lseek [%s] offset=%lld error %s\n", name.c_str(),
            ll(offset), krsd_error_text(kind));
    return false;
  }
  const int64_t at = stream_offset(s);
  if (at == offset) return true;
  KR_LOGF(OS_LOG_ERR, "krdd_file_work",
          "lseek [%s] offset=%lld position=%lld error:Stream cannot be positioned there\n",
          name.c_str(), ll(offset), ll(at));
  return false;
}

// First pass only: opens the output and positions both streams. DD_DONE when
// it went through, else the pass result.
int first_pass_setup() {
  const char* in = G.infile.c_str();
  const char* out = G.outfile.c_str();
  int mode = (G.seek == 0 && !dd_flag(DD_KEEP_OUTPUT | DD_RESUME)) ? kModeNewImage : kModeKeepImage;
  G.out_stream = stream_open(out, mode, kOpenTimeoutMs);
  if (!G.out_stream) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "open [%s] error %s\n", out, krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  if (dd_flag(DD_RESUME)) {
    dd_flags_set(DD_SKIP_BYTES | DD_SEEK_BYTES);
    G.seek = -1;
    G.skip = -1;
  }
  G.out_size = stream_size(G.out_stream);
  if (G.out_size < 0) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "size [%s] error %s\n", out, krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  G.in_size = stream_size(G.in_stream);
  if (G.in_size < 0) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "size [%s] error %s\n", in, krsd_error_text(G.in_kind));
    return DD_FAILED;
  }
  if (G.in_size != 0 && G.i_offset == 0)
    KR_LOGF(OS_LOG_INFO, "krdd_file_work", "设备存储大小：%lld (%s)\n", ll(G.in_size),
            human_size(ull(G.in_size), 0));
  if (G.seek == -1) G.seek = G.out_size;
  if (G.skip == -1) {
    G.skip = G.out_size;
    if (G.out_size > G.in_size) {
      KR_LOGF(OS_LOG_ERR, "krdd_file_work",
              "file [%s] skip=%lld size=%lld error:Offset is larger than file size\n", out,
              ll(G.out_size), ll(G.in_size));
      return DD_FAILED;
    }
  }
  const int skip_unit = dd_flag(DD_SKIP_BYTES) ? 1 : G.ibs;
  const int seek_unit = dd_flag(DD_SEEK_BYTES) ? 1 : G.obs;
  if (G.seek != 0 && !dd_flag(DD_KEEP_OUTPUT)) {
    int64_t length = G.seek * seek_unit;
    if (!stream_ctrl(G.out_stream, STREAM_CTRL_TRUNCATE, &length)) {
      KR_LOGF(OS_LOG_ERR, "krdd_file_work", "truncate [%s] error %s\n", out,
              krsd_error_text(G.out_kind));
      return DD_FAILED;
    }
  }
  if (G.skip != 0) {
    G.i_offset = G.skip * skip_unit;
    KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "G.skip: %lld offset=%lld blocksz=%d\n", ll(G.skip),
            ll(G.i_offset), skip_unit);
    if (!seek_or_log(G.in_stream, G.i_offset, G.infile, G.in_kind)) return DD_FAILED;
  }
  if (G.seek != 0) {
    G.o_offset = G.seek * seek_unit;
    KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "G.seek: %lld offset=%lld blocksz=%d\n", ll(G.seek),
            ll(G.o_offset), seek_unit);
    if (!seek_or_log(G.out_stream, G.o_offset, G.outfile, G.out_kind)) return DD_FAILED;
  }
  return dd_record_image_open();
}

// Retry pass: the output is still open; both streams go back to the offsets
// of the next byte to read and to write.
int retry_pass_setup() {
  KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "i_offset=%lld\n", ll(G.i_offset));
  if (!seek_or_log(G.in_stream, G.i_offset, G.infile, G.in_kind)) return DD_FAILED;
  KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "o_offset=%lld\n", ll(G.o_offset));
  if (!seek_or_log(G.out_stream, G.o_offset, G.outfile, G.out_kind)) return DD_FAILED;
  return DD_DONE;
}

// Both streams must stand where G says the next byte goes.
int check_positions() {
  const char* in = G.infile.c_str();
  const char* out = G.outfile.c_str();
  G.out_size = stream_size(G.out_stream);
  if (G.out_size < 0) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "size [%s] error %s\n", out, krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  int64_t p = stream_offset(G.in_stream);
  if (p < 0) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "offset [%s] error %s\n", in, krsd_error_text(G.in_kind));
    return DD_FAILED;
  }
  if (p != 0 && p != G.i_offset) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "[%s] i_offset=%lld offset=%lld i_offset!=offset error\n",
            in, ll(G.i_offset), ll(p));
    return DD_FAILED;
  }
  p = stream_offset(G.out_stream);
  if (p < 0) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "offset [%s] error %s\n", out,
            krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  if (p != 0 && p != G.o_offset) {
    KR_LOGF(OS_LOG_ERR, "krdd_file_work", "[%s] o_offset=%lld offset=%lld o_offset!=offset error\n",
            out, ll(G.o_offset), ll(p));
    return DD_FAILED;
  }
  return DD_DONE;
}

// First pass only: how many blocks this job copies.
int compute_count() {
  if (dd_flag(DD_COUNT_PRESET)) {
    // Without an input size the block count cannot be turned into read
    // sizes; refuse instead of "copying" nothing and calling it done.
    if (G.in_size == 0) {
      KR_LOGF(OS_LOG_ERR, "krdd_file_work",
              "[%s] count=%lld needs an input of known size error\n", G.infile.c_str(),
              ll(G.count));
      return DD_FAILED;
    }
  } else if (G.in_size != 0) {
    G.count = (G.ibs + G.in_size - G.i_offset) / G.ibs;
  } else {
    G.count = -1;
  }
  if (dd_flag(DD_RESUME) && G.in_size != 0) {
    G.off_count = (G.ibs + G.out_size) / G.ibs;
    if (G.count != -1) G.all_count = G.off_count + G.count;
    KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "G.count: %lld all_count=%lld off_count=%lld\n",
            ll(G.count), ll(G.all_count), ll(G.off_count));
  }
  G.started = 1;
  if (G.max_retries == 0) G.max_retries = 1;
  return DD_DONE;
}

// Hands r bytes of ibuf to the output. false when the write failed.
bool output_block(long r) {
  if (!dd_flag(DD_TWO_BUFFERS)) return !write_and_count(G.ibuf, r, G.outfile.c_str());
  long done = 0;
  while (done < r) {
    long piece = std::min<long>(r - done, G.obs - G.ofill);
    memcpy(G.obuf + G.ofill, G.ibuf + done, static_cast<size_t>(piece));
    G.ofill += static_cast<int32_t>(piece);
    done += piece;
    if (G.ofill == G.obs) {
      if (write_and_count(G.obuf, G.obs, G.outfile.c_str())) return false;
      G.ofill = 0;
    }
  }
  return true;
}

// The source's sector size, asked once per job: the unit of salvage.
int32_t sector_bytes() {
  if (G.sector_bytes > 0) return G.sector_bytes;
  tb_file_devinfo info{};
  int32_t n = 512;  // when the source cannot tell
  if (stream_ctrl(G.in_stream, STREAM_CTRL_DEVINFO, &info) && info.sector_bytes > 0 &&
      info.sector_bytes <= G.ibs)
    n = info.sector_bytes;
  G.sector_bytes = n;
  return n;
}

// Reads one piece of a bad block, up to len bytes at the stream's position,
// into buf: len, fewer when the source ended, or -1 (errno kept) when a read
// failed. Around the system's cache where the source has such a read (a
// local block device): a cached read fails for the whole page that holds a
// bad sector, and would lose the good sectors beside it.
long read_piece(uint8_t* buf, long len) {
  long done = 0;
  while (done < len) {
    stream_direct_read direct{buf + done, static_cast<size_t>(len - done), 0};
    long r = stream_ctrl(G.in_stream, STREAM_CTRL_READ_DIRECT, &direct)
                 ? direct.result
                 : stream_read(G.in_stream, buf + done, static_cast<size_t>(len - done));
    if (r < 0) return -1;
    if (r == 0) break;
    done += r;
  }
  return done;
}

// The result for a failed read of the source (after its line was logged):
// a vanished device ends the job, anything but a data error may pass.
int read_failure_result(int32_t ioerr) {
  if (!dd_flag(DD_CONTINUE_ON_ERROR)) return ioerr == IOERR_NONE ? DD_READ_FAILED : DD_FAILED;
  return ioerr == IOERR_GONE ? DD_FAILED : DD_READ_FAILED;
}

// Logs the read error line of a failed read of n bytes at offset; the
// error class.
int32_t log_read_error(int64_t offset, int64_t n) {
  const int saved = errno;
  int32_t ioerr = IOERR_NONE;
  stream_ctrl(G.in_stream, STREAM_CTRL_IOERR, &ioerr);
  errno = saved;
  KR_LOGF(OS_LOG_ERR, "krdd_file_work", "read [%s] offset=%lld bs=%d ioerr=%d error %s\n",
          G.infile.c_str(), ll(offset), static_cast<int>(n), ioerr, krsd_error_text(G.in_kind));
  dd_record_cause("read offset=%lld bs=%d ioerr=%d error %s", ll(offset), static_cast<int>(n), ioerr,
                  G.errtext);
  return ioerr;
}

// A block whose read failed with a data error is read again in pieces of
// the source's sector size (aligned to the sector grid of the source), so
// that only the sectors that really cannot be read become zeros. Fills ibuf
// with the block (n bytes, fewer when the source ends inside it), leaves the
// stream after it and adds the unreadable runs to *bad. DD_DONE, or the
// pass result when the source failed otherwise or cannot be positioned.
int salvage_block(int64_t n, long* got, std::vector<dd_range>* bad) {
  const int64_t sector = sector_bytes();
  const int64_t begin = G.i_offset;
  int64_t end = begin + n, pos = begin;
  while (pos < end) {
    if (dd_flag(DD_STOP)) return DD_STOPPED;
    const int64_t piece_end = std::min(end, (pos / sector + 1) * sector);
    if (stream_offset(G.in_stream) != pos && !seek_or_log(G.in_stream, pos, G.infile, G.in_kind))
      return DD_FAILED;
    const long r = read_piece(G.ibuf + (pos - begin), static_cast<long>(piece_end - pos));
    if (r >= 0) {
      pos += r;
      if (pos < piece_end) end = pos;  // the source ended here
      continue;
    }
    if (dd_flag(DD_STOP)) return DD_STOPPED;
    const int64_t at = stream_offset(G.in_stream);  // after what the failed read kept
    const int saved = errno;
    int32_t ioerr = IOERR_NONE;
    stream_ctrl(G.in_stream, STREAM_CTRL_IOERR, &ioerr);
    errno = saved;
    // Unreadable sectors get their run lines below; any other failure its own.
    if (ioerr != IOERR_DATA) return read_failure_result(log_read_error(at, piece_end - at));
    memset(G.ibuf + (at - begin), 0, static_cast<size_t>(piece_end - at));
    if (!bad->empty() && bad->back().end == at)
      bad->back().end = piece_end;
    else
      bad->push_back({at, piece_end});
    pos = piece_end;
  }
  if (stream_offset(G.in_stream) != end && !seek_or_log(G.in_stream, end, G.infile, G.in_kind))
    return DD_FAILED;
  for (const dd_range& b : *bad)
    KR_LOGF(OS_LOG_ERR, "krdd_file_work",
            "read [%s] offset=%lld end=%lld bytes=%lld unreadable error:written as zeros\n",
            G.infile.c_str(), ll(b.start), ll(b.end), ll(b.end - b.start));
  *got = static_cast<long>(end - begin);
  return DD_DONE;
}

// Keeps the unreadable runs of a block that reached the image, merged with
// the runs before it.
void record_bad(const std::vector<dd_range>& bad) {
  for (const dd_range& b : bad) {
    if (!G.bad_ranges.empty() && G.bad_ranges.back().end == b.start)
      G.bad_ranges.back().end = b.end;
    else
      G.bad_ranges.push_back(b);
  }
}

}  // namespace

const char* krsd_error_text(int kind) {
  if (kind == TB_URL_PROTOCOL_FILE) {
    int code = errno;
    char text[200];
    os_error_text(code, text, sizeof text);
    snprintf(G.errtext, sizeof G.errtext, "[%s]", text);
  } else if (kind == TB_URL_PROTOCOL_KRP) {
    // The session's words for its last failure (the daemon's errno text, a
    // reset connection, a time-out); else, right after a failed open, why
    // (refused, timed out, login refused, no such file, ...), which is
    // empty again once an open succeeded.
    char why[STREAM_LAST_ERROR_SIZE] = "";
    for (stream_ref_t s : {G.in_kind == kind ? G.in_stream : nullptr,
                           G.out_kind == kind ? G.out_stream : nullptr})
      if (!*why && s && !stream_ctrl(s, STREAM_CTRL_LAST_ERROR, why)) why[0] = '\0';
    if (!*why) snprintf(why, sizeof why, "%s", krsd_file_open_error());
    if (*why)
      snprintf(G.errtext, sizeof G.errtext, "[%s]", why);
    else
      G.errtext[0] = '\0';
  } else {
    G.errtext[0] = '\0';
  }
  return G.errtext;
}

int krdd_file_work() {
  const char* in = G.infile.c_str();
  const char* out = G.outfile.c_str();

  G.in_stream = stream_open(in, FILE_MODE_READ, kOpenTimeoutMs);
  if (!G.in_stream) {
    if (dd_flag(DD_STOP)) return DD_STOPPED;  // Stop ended the connect
    KR_LOG(OS_LOG_ERR, "open [%s] error %s\n", in, krsd_error_text(G.in_kind));
    dd_record_cause("open [%s] error %s", in, G.errtext);
    return DD_OPEN_FAILED;
  }
  int r = G.started ? retry_pass_setup() : first_pass_setup();
  if (r != DD_DONE) return r;
  r = check_positions();
  if (r != DD_DONE) return r;
  if (!G.started) {
    r = compute_count();
    if (r != DD_DONE) return r;
  }
  KR_LOG(OS_LOG_DEBUG, "infile size: %llu (%s) offset: %llu\n", ull(G.in_size),
         human_size(ull(G.in_size), 0), ull(G.i_offset));
  KR_LOG(OS_LOG_DEBUG, "outfile size: %llu (%s) offset: %llu\n", ull(G.out_size),
         human_size(ull(G.out_size), 0), ull(G.o_offset));
  KR_LOG(OS_LOG_DEBUG, "G.count: %lld\n", ll(G.count));

  // With a known size the copy goes on until the input offset reaches it: a
  // short read (the bytes before a bad sector) must not use up a block of
  // the count.
  const bool until_size = G.in_size != 0 && !dd_flag(DD_COUNT_PRESET);
  std::vector<dd_range> bad;
  int result;
  for (;;) {
    if (G.count != -1 &&
        (until_size ? G.i_offset >= G.in_size : G.in_full + G.in_part == G.count)) {
      result = DD_DONE;
      break;
    }
    if (dd_flag(DD_STOP)) {
      result = DD_STOPPED;
      break;
    }
    int64_t n = G.ibs;
    if (G.count != -1) n = std::min<int64_t>(G.ibs, G.in_size - G.i_offset);
    if (n < 0) n = 0;  // never ask for a negative size
    long got = stream_read(G.in_stream, G.ibuf, static_cast<size_t>(n));
    if (got == 0) {
      if (stream_type(G.in_stream) == STREAM_TYPE_FILE) {
        result = DD_DONE;
        break;
      }
      long w = stream_wait(G.in_stream, STREAM_WAIT_READ, stream_timeout(G.in_stream));
      if (w > 0 && (w & STREAM_WAIT_READ)) continue;
      if (w == 0) {
        result = DD_DONE;
        break;
      }
      KR_LOG(OS_LOG_ERR, "wait [%s] error\n", in);
      dd_record_cause("wait [%s] error", in);
      result = DD_READ_FAILED;
      break;
    }
    bad.clear();
    if (got < 0) {
      if (dd_flag(DD_STOP)) {
        result = DD_STOPPED;
        break;
      }
      const int32_t ioerr = log_read_error(G.i_offset, n);
      if (!dd_flag(DD_CONTINUE_ON_ERROR) || ioerr != IOERR_DATA) return read_failure_result(ioerr);
      // A bad block: keep every sector of it that reads, zeros for the rest.
      const int r = salvage_block(n, &got, &bad);
      if (r != DD_DONE) return r;
      if (got == 0) {
        result = DD_DONE;  // the source ended where the block began
        break;
      }
    }
    G.i_offset += got;
    if (dd_flag(DD_SWAB)) {
      // An odd byte stays where it is; this is worth a line, not the process.
      if (got & 1) KR_LOG(OS_LOG_ERR, "can't swab %llu byte buffer\n", ull(got));
      for (long i = 0; i + 1 < got; i += 2) std::swap(G.ibuf[i], G.ibuf[i + 1]);
    }
    if (got == G.ibs) {
      ++G.in_full;
    } else {
      ++G.in_part;
      if (dd_flag(DD_PAD_BLOCKS)) {
        memset(G.ibuf + got, 0, static_cast<size_t>(G.ibs - got));
        got = G.ibs;
      }
    }
    if (!output_block(got)) return write_failed_result();
    record_bad(bad);
    if (dd_flag(DD_SYNC_WRITES) && !stream_sync(G.out_stream, 0)) {
      KR_LOG(OS_LOG_ERR, "sync [%s] error %s\n", out, krsd_error_text(G.out_kind));
      return DD_FAILED;
    }
    G.retries = 0;
    if (!dd_flag(DD_NO_STATUS)) dd_show_progress(G.count);
  }

  if (G.ofill != 0) {
    if (write_and_count(G.obuf, G.ofill, out)) return write_failed_result();
    G.ofill = 0;
  }
  // An input that told its size and then ended before it is not a complete
  // copy: a read of 0 bytes too early, or the block count used up by short
  // reads. Give it the retry of a read error instead of calling it done.
  if (result == DD_DONE && G.in_size != 0 && !dd_flag(DD_COUNT_PRESET) &&
      G.i_offset < G.in_size) {
    KR_LOG(OS_LOG_ERR, "[%s] i_offset=%lld o_offset=%lld size=%lld input ended before its size error\n",
           in, ll(G.i_offset), ll(G.o_offset), ll(G.in_size));
    dd_record_cause("input ended at %lld before its size %lld", ll(G.i_offset), ll(G.in_size));
    return DD_READ_FAILED;
  }
  return result;
}

int krdd_work() {
  const tb_cancel_ref_t watched_before = tb_cancel_watch(job_cancel());
  int r = dd_record_begin();
  while (r == DD_DONE) {
    r = krdd_file_work();
    if (G.in_stream) {
      if (!stream_close(G.in_stream)) KR_LOG(OS_LOG_ERR, "close file %s error\n", G.infile.c_str());
      G.in_stream = nullptr;  // the next pass reopens it
    }
    if (dd_flag(DD_STOP) || G.total_bytes == 0 || r == DD_DONE || r == DD_FAILED ||
        r == DD_WRITE_FAILED)
      break;
    if (++G.retries > G.max_retries) break;
    KR_LOG(OS_LOG_DEBUG, "retry %d after %d s, result %d\n", G.retries, G.retry_pause, r);
    dd_record_retry(r);
    // A stop during the pause is honoured at once rather than after another
    // open of the input.
    for (int i = 0; i < G.retry_pause * 10 && !dd_flag(DD_STOP); ++i) tb_msleep(100);
    if (dd_flag(DD_STOP)) {
      r = DD_STOPPED;
      break;
    }
    r = DD_DONE;  // go on with the next pass
  }
  bool synced = false;
  if (G.out_stream) {
    // The image must be on the medium before the job says it is complete: a
    // write-back error shows up only here and must not end in the success line.
    // A stopped or failed image is synced too, so that its last piece can be
    // recorded for the resume.
    synced = stream_sync(G.out_stream, 1) != 0;
    if (r == DD_DONE && !synced) {
      KR_LOG(OS_LOG_ERR, "sync [%s] error %s\n", G.outfile.c_str(), krsd_error_text(G.out_kind));
      r = G.out_kind == TB_URL_PROTOCOL_FILE ? DD_FAILED : DD_WRITE_FAILED;
    }
    if (!stream_close(G.out_stream)) KR_LOG(OS_LOG_ERR, "close file %s error\n", G.outfile.c_str());
    G.out_stream = nullptr;
  }
  dd_record_end(r, synced);
  if (!dd_flag(DD_NO_STATUS)) dd_output_status(r);
  dd_record_report(r);
  tb_cancel_watch(watched_before);
  return r;
}

void krsd_free_ctx() {
  if (G.in_stream) {
    if (!stream_close(G.in_stream)) KR_LOG(OS_LOG_ERR, "close file %s error\n", G.infile.c_str());
    G.in_stream = nullptr;
  }
  if (G.out_stream) {
    if (!stream_close(G.out_stream)) KR_LOG(OS_LOG_ERR, "close file %s error\n", G.outfile.c_str());
    G.out_stream = nullptr;
  }
  if (G.obuf != G.ibuf) delete[] G.obuf;
  delete[] G.ibuf;
  G.obuf = nullptr;
  G.ibuf = nullptr;
  G.infile.clear();
  G.infile.shrink_to_fit();
  G.outfile.clear();
  G.outfile.shrink_to_fit();
}

int krsd_job_setup(const char* source, const char* target, int resume) {
  G = dd_job{};
  tb_cancel_clear(job_cancel());
  G.begin_ms = dd_clock_ms();
  G.count = -1;
  G.ibs = G.obs = DD_BLOCK_SIZE;
  G.retry_pause = 2;
  dd_record_setup();
  G.infile = source ? source : "\\dev\\stdin";
  G.outfile = target ? target : "";
  G.flags = resume ? DD_RESUME : 0;
  G.ibuf = new (std::nothrow) uint8_t[G.ibs];
  if (!G.ibuf) {
    KR_LOGF(OS_LOG_ERR, "krsd_get_file", "malloc [%d] fail\n", G.ibs);
    return 1;
  }
  G.obuf = G.ibuf;
  if (G.ibs != G.obs) {
    G.flags |= DD_TWO_BUFFERS;
    G.obuf = new (std::nothrow) uint8_t[G.obs];
    if (!G.obuf) {
      KR_LOGF(OS_LOG_ERR, "krsd_get_file", "malloc [%d] fail\n", G.obs);
      krsd_free_ctx();
      return 1;
    }
  }
  G.flags |= DD_CONTINUE_ON_ERROR;
  G.in_kind = tb_url_protocol_probe(G.infile.c_str());
  G.out_kind = tb_url_protocol_probe(G.outfile.c_str());
  ui_set_progress(0);
  ui_set_status("");
  return 0;
}

namespace {

// The job in G, on the worker; its record is freed before the job counts as
// ended, so that the next hand-over finds G unused.
int krsd_work_job(void*) {
  int r = krdd_work();
  krsd_free_ctx();
  return r;
}

// One job at a time, on the worker; started, fed and ended on the front
// end's thread.
constinit os_worker g_worker(krsd_work_job, nullptr);
bool g_started = false;  // the front end's thread

}  // namespace

int krsd_init() {
  if (g_started) return 0;  // one worker per process
  g_started = true;
  if (!tb_init(nullptr, nullptr, 0, 0)) KR_LOG(OS_LOG_ERR, "tb_init error\n");
  krsd_cli_lib_init();  // registers the krp driver; its result is not needed here
  if (!g_worker.start()) KR_LOG(OS_LOG_ERR, "os_thread_init krsd_work_thread error\n");
  return 0;
}

int krsd_get_file(const char* source, const char* target, int resume) {
  if (g_worker.busy()) {
    // G belongs to the running job; filling it now would corrupt that job.
    KR_LOG(OS_LOG_ERR, "a job is running, new job refused\n");
    return 1;
  }
  if (krsd_job_setup(source, target, resume) != 0) return 1;
  if (!g_worker.post()) {
    // None started, or told to quit: the job would count as busy forever.
    KR_LOG(OS_LOG_ERR, "os_thread_init krsd_work_thread error\n");
    krsd_free_ctx();
    return 1;
  }
  return 0;
}

int krsd_stop() {
  dd_flags_set(DD_STOP);
  tb_cancel_raise(job_cancel());
  return 0;
}

int krsd_is_busy() { return g_worker.busy() ? 1 : 0; }

int krsd_exit() {
  g_worker.quit();
  return 0;
}

void krsd_join() { g_worker.join(); }

int krsd_last_result() { return g_worker.last_result(); }

int krsd_outfile_ask_continue(const char* target) {
  if (!target) return 0;
  tb_file_ref_t file = tb_file_init(target, FILE_MODE_WRITE);
  if (!file) return 0;
  int64_t size = tb_file_size(file);
  tb_file_close(file);
  if (size <= 0) return 0;  // an empty (or unsized) file is simply overwritten
  char question[512];
  snprintf(question, sizeof question, "%s 存在，是否继续断点镜像\n", target);
  if (ui_ask_yes_no(question) != 1) return 0;
  KR_LOG(OS_LOG_INFO, "偏移文件: %lld (%s)\n", ll(size), human_size(ull(size), 0));
  return 1;
}
