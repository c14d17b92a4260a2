// The imaging engine: the block copy pass over the job record G, the job with
// its retry policy, the worker thread and the resume question.
#include "krsd-client.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "dd_verify.h"
#include "dd_host.h"
#include "krdd.h"
#include "krii_version.h"
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

// An error line that ends the pass: logged, and kept as the reason of the
// job's outcome (and of a retry).
__attribute__((format(printf, 1, 2))) void fail_line(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  KR_LOGF(OS_LOG_ERR, "krdd_file_work", "%s\n", text);
  dd_record_cause("%s", text);
}

// Writes all of len bytes at o_offset or fails. A short write is not an
// error by itself (the rest is written at once); a write that moves nothing
// or fails ends the job, since the image would otherwise have a hole.
// Returns len, or -1 after the "writing" error line; *done is what reached
// the output either way.
long full_write_or_warn(const uint8_t* buf, int64_t len, const char* name, int64_t* done_out) {
  int64_t& done = *done_out;
  done = 0;
  if (G.ewf) {
    if (!G.ewf->write(buf, len)) {
      snprintf(G.errtext, sizeof G.errtext, "[%s]", G.ewf->error().c_str());
      KR_LOG(OS_LOG_ERR, "writing '%s' error %s\n", name, G.errtext);
      dd_record_cause("writing '%s' error %s", name, G.errtext);
      return -1;
    }
    done = len;
    G.o_offset += len;
    return static_cast<long>(done);
  }
  while (done < len) {
    long w = stream_write(G.out_stream, buf + done, static_cast<size_t>(len - done));
    if (w < 0) {
      KR_LOG(OS_LOG_ERR, "writing '%s' error %s\n", name, krsd_error_text(G.out_kind));
      dd_record_cause("writing '%s' error %s", name, G.errtext);
      return -1;
    }
    if (w == 0) {
      snprintf(G.errtext, sizeof G.errtext, "[nothing written after %lld of %lld bytes]",
               ll(done), ll(len));
      KR_LOG(OS_LOG_ERR, "writing '%s' error %s\n", name, G.errtext);
      dd_record_cause("writing '%s' error %s", name, G.errtext);
      return -1;
    }
    done += w;
    G.o_offset += w;
  }
  return static_cast<long>(done);
}

// The bytes from..to were just written: each piece of the writeback grid
// that they complete goes to the system's writeback now, so that the disk
// writes the image while the copy goes on and the final sync (like the
// record's sync of each 64 MiB piece) finds at most a piece left. A hint
// only: its failure fails nothing, since the final sync reports every error
// the disk had.
void start_writeback(int64_t from, int64_t to) {
  const int64_t grid = G.writeback_bytes;
  if (grid <= 0) return;
  const tb_file_range r{from / grid * grid, to / grid * grid - from / grid * grid};
  if (r.size > 0) stream_ctrl(G.out_stream, STREAM_CTRL_WRITEBACK, &r);
}

// true when the write failed. What reached the image is counted and hashed
// either way, also the part of a block written before the disk was full:
// the summary tells what the image holds.
bool write_and_count(const uint8_t* buf, int64_t len, const char* name) {
  dd_record_compare(buf, len);  // what a resume reads again is compared first
  int64_t w = 0;
  const bool failed = full_write_or_warn(buf, len, name, &w) < 0;
  if (w == 0) return failed;
  // The hashes run beside the loop, which then reads the next block into the
  // next buffer of their ring; they have the block before its writeback is
  // started.
  if (uint8_t* next = dd_record_block(buf, w)) G.ibuf = G.obuf = next;
  start_writeback(G.o_offset - w, G.o_offset);
  if (w == G.obs)
    ++G.out_full;
  else
    ++G.out_part;
  G.total_bytes += w;
  return failed;
}

int write_failed_result() { return G.out_kind == TB_URL_PROTOCOL_FILE ? DD_FAILED : DD_WRITE_FAILED; }

int32_t sector_bytes();

// First pass of an E01 job: the container is made once the source has told
// its size and sector, which fix the container's sector (it holds whole
// sectors only). DD_DONE when it went through, else the pass result.
int first_pass_setup_e01() {
  dd_job_record& R = *G.rec;
  G.in_size = stream_size(G.in_stream);
  if (G.in_size < 0) {
    fail_line("size [%s] error %s", G.in_name.c_str(), krsd_error_text(G.in_kind));
    return DD_FAILED;
  }
  if (G.in_size != 0)
    KR_LOGF(OS_LOG_INFO, "krdd_file_work", "设备存储大小：%lld (%s)\n", ll(G.in_size),
            human_size(ull(G.in_size), 0));
  G.out_size = 0;
  int r = dd_record_source_open();
  if (r != DD_DONE) return r;
  dd_ewf_params p;
  p.bytes_per_sector = dd_ewf_sector_for(G.in_size, sector_bytes());
  p.compress = R.format.compress;
  if (p.compress != DD_COMPRESS_NONE && !dd_ewf_compressible(G.in_size, p.bytes_per_sector)) {
    KR_LOGF(OS_LOG_DEBUG, "krdd_work", "[%s] size=%lld: stored uncompressed (a last chunk under 8 bytes)\n",
            G.outfile.c_str(), ll(G.in_size));
    p.compress = DD_COMPRESS_NONE;
  }
  p.segment_bytes = R.format.segment_bytes;
  p.info.case_number = R.info.case_id;
  p.info.evidence_number = R.info.evidence;
  p.info.examiner = R.info.examiner;
  p.info.notes = R.info.notes;
  p.info.description = dd_source_label(G.infile);
  p.info.software = R.info.program.empty() ? "krii" : R.info.program;
  p.info.version = KRII_VERSION;
  p.info.system = dd_host_system();
  R.ewf_sector = p.bytes_per_sector;
  R.ewf_compress = p.compress;
  std::string error;
  // Segments of an earlier, longer image would be taken for this one's.
  // They go only with the first segment that the examiner agreed to
  // overwrite (a non-empty image is never started without that); beside
  // an empty or missing first segment they may be another set's.
  tb_file_ref_t first = tb_file_init(G.outfile.c_str(), FILE_MODE_READ);
  const int64_t first_size = first ? tb_file_size(first) : 0;
  if (first) tb_file_close(first);
  const std::vector<std::string> later = dd_ewf_later_segments(G.outfile);
  if (first_size <= 0 && !later.empty()) {
    fail_line("[%s] is empty but %s is there: segments of another image; refused error", G.outfile.c_str(),
              later.front().c_str());
    KR_LOGF(OS_LOG_INFO, "krdd_work", "E01 镜像的后续分段已存在, 不是此镜像的; 拒绝镜像, 文件未改动\n");
    return DD_FAILED;
  }
  if (!dd_ewf_remove_later_segments(G.outfile, &error)) {
    fail_line("%s", error.c_str());
    return DD_FAILED;
  }
  G.ewf = std::make_unique<dd_ewf_writer>();
  if (!G.ewf->open(G.outfile, p, &error)) {
    fail_line("%s", error.c_str());
    G.ewf.reset();
    return DD_FAILED;
  }
  return dd_record_image_open();
}

// The end of an E01 job, after the passes: the media's digests and its
// unreadable runs go into the container, which is then closed. false when
// the image is not whole (the job then has not succeeded).
bool finish_e01() {
  G.rec->hashing.drain();
  const bool ok = G.ewf->finish(G.rec->hashing.digests(), G.bad_ranges);
  if (ok) {
    G.rec->sha1 = dd_hex(G.ewf->sha1());
  } else {
    snprintf(G.errtext, sizeof G.errtext, "[%s]", G.ewf->error().c_str());
    KR_LOG(OS_LOG_ERR, "sync [%s] error %s\n", G.outfile.c_str(), G.errtext);
    dd_record_cause("sync [%s] error %s", G.outfile.c_str(), G.errtext);
  }
  G.ewf.reset();
  return ok;
}

enum class seek_outcome { ok, failed, elsewhere };

// Moves s to offset and checks that it got there: a stream without a size
// "succeeds" at the wrong place (it clamps to the size it knows), and
// reading on from there would put other bytes at this offset of the image.
// A failure logs the positioning error line of name.
seek_outcome seek_or_log(stream_ref_t s, int64_t offset, const std::string& name, int kind) {
  const bool moved = stream_seek(s, offset);
  const int64_t at = stream_offset(s);
  // A seek that failed without a reason is one the stream refused (it
  // landed elsewhere before): no error of the source to tell.
  if (!moved && *krsd_error_text(kind)) {
    fail_line("lseek [%s] offset=%lld error %s", name.c_str(), ll(offset), G.errtext);
    return seek_outcome::failed;
  }
  if (moved && at == offset) return seek_outcome::ok;
  fail_line("lseek [%s] offset=%lld position=%lld error:Stream cannot be positioned there", name.c_str(),
            ll(offset), ll(at));
  return seek_outcome::elsewhere;
}

bool seek_ok(stream_ref_t s, int64_t offset, const std::string& name, int kind) {
  return seek_or_log(s, offset, name, kind) == seek_outcome::ok;
}

// The source failed to move while a bad block is read in pieces: a stop, a
// lost connection (which a retry may mend) or a source that cannot be
// positioned (which none can).
int input_seek_failed(seek_outcome o) {
  if (dd_flag(DD_STOP)) return DD_STOPPED;
  if (o == seek_outcome::failed && G.in_kind != TB_URL_PROTOCOL_FILE) return DD_READ_FAILED;
  return DD_FAILED;
}

// First pass only: opens the output and positions both streams. DD_DONE when
// it went through, else the pass result.
int first_pass_setup() {
  if (dd_record_e01()) return first_pass_setup_e01();
  const char* out = G.outfile.c_str();
  int mode = (G.seek == 0 && !dd_flag(DD_KEEP_OUTPUT | DD_RESUME)) ? kModeNewImage : kModeKeepImage;
  G.out_stream = stream_open(out, mode, kOpenTimeoutMs);
  if (!G.out_stream) {
    fail_line("open [%s] error %s", out, krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  if (dd_flag(DD_RESUME)) {
    dd_flags_set(DD_SKIP_BYTES | DD_SEEK_BYTES);
    G.seek = -1;
    G.skip = -1;
  }
  G.out_size = stream_size(G.out_stream);
  if (G.out_size < 0) {
    fail_line("size [%s] error %s", out, krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  G.in_size = stream_size(G.in_stream);
  if (G.in_size < 0) {
    fail_line("size [%s] error %s", G.in_name.c_str(), krsd_error_text(G.in_kind));
    return DD_FAILED;
  }
  if (G.in_size != 0 && G.i_offset == 0)
    KR_LOGF(OS_LOG_INFO, "krdd_file_work", "设备存储大小：%lld (%s)\n", ll(G.in_size),
            human_size(ull(G.in_size), 0));
  if (G.seek == -1) G.seek = G.out_size;
  if (G.skip == -1) {
    G.skip = G.out_size;
    if (G.out_size > G.in_size) {
      fail_line("file [%s] skip=%lld size=%lld error:Offset is larger than file size", out, ll(G.out_size),
                ll(G.in_size));
      return DD_FAILED;
    }
  }
  // A resume goes on from the end of what the image's record vouches for,
  // once the source has shown that it is the image's device.
  int r = dd_record_source_open();
  if (r != DD_DONE) return r;
  const int skip_unit = dd_flag(DD_SKIP_BYTES) ? 1 : G.ibs;
  const int seek_unit = dd_flag(DD_SEEK_BYTES) ? 1 : G.obs;
  // A resume keeps what follows: its old tail is compared as it is read again.
  if (G.seek != 0 && !dd_flag(DD_KEEP_OUTPUT | DD_RESUME)) {
    int64_t length = G.seek * seek_unit;
    if (!stream_ctrl(G.out_stream, STREAM_CTRL_TRUNCATE, &length)) {
      fail_line("truncate [%s] error %s", out, krsd_error_text(G.out_kind));
      return DD_FAILED;
    }
  }
  if (G.skip != 0) {
    G.i_offset = G.skip * skip_unit;
    KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "G.skip: %lld offset=%lld blocksz=%d\n", ll(G.skip),
            ll(G.i_offset), skip_unit);
    if (!seek_ok(G.in_stream, G.i_offset, G.in_name, G.in_kind)) return DD_FAILED;
  }
  if (G.seek != 0) {
    G.o_offset = G.seek * seek_unit;
    KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "G.seek: %lld offset=%lld blocksz=%d\n", ll(G.seek),
            ll(G.o_offset), seek_unit);
    if (!seek_ok(G.out_stream, G.o_offset, G.outfile, G.out_kind)) return DD_FAILED;
  }
  return dd_record_image_open();
}

// Retry pass: the output is still open; both streams go back to the offsets
// of the next byte to read and to write. A source that comes back with
// another size is another source.
int retry_pass_setup() {
  const int64_t size = stream_size(G.in_stream);
  if (G.in_size != 0 && size != G.in_size) {
    fail_line("[%s] size=%lld after the reopen, %lld before: another source error", G.in_name.c_str(), ll(size),
              ll(G.in_size));
    return DD_FAILED;
  }
  KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "i_offset=%lld\n", ll(G.i_offset));
  if (!seek_ok(G.in_stream, G.i_offset, G.in_name, G.in_kind)) return DD_FAILED;
  KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "o_offset=%lld\n", ll(G.o_offset));
  if (G.ewf) {
    // The container only appends: it goes on where the copy stands.
    if (G.ewf->accepted() == G.o_offset) return DD_DONE;
    fail_line("[%s] o_offset=%lld offset=%lld o_offset!=offset error", G.outfile.c_str(), ll(G.o_offset),
              ll(G.ewf->accepted()));
    return DD_FAILED;
  }
  if (!seek_ok(G.out_stream, G.o_offset, G.outfile, G.out_kind)) return DD_FAILED;
  return DD_DONE;
}

// Both streams must stand where G says the next byte goes.
int check_positions() {
  const char* in = G.in_name.c_str();
  const char* out = G.outfile.c_str();
  if (G.ewf) {
    const int64_t p = stream_offset(G.in_stream);
    if (p != 0 && p != G.i_offset) {
      fail_line("[%s] i_offset=%lld offset=%lld i_offset!=offset error", in, ll(G.i_offset), ll(p));
      return DD_FAILED;
    }
    G.out_size = G.ewf->accepted();
    return DD_DONE;
  }
  G.out_size = stream_size(G.out_stream);
  if (G.out_size < 0) {
    fail_line("size [%s] error %s", out, krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  int64_t p = stream_offset(G.in_stream);
  if (p < 0) {
    fail_line("offset [%s] error %s", in, krsd_error_text(G.in_kind));
    return DD_FAILED;
  }
  if (p != 0 && p != G.i_offset) {
    fail_line("[%s] i_offset=%lld offset=%lld i_offset!=offset error", in, ll(G.i_offset), ll(p));
    return DD_FAILED;
  }
  p = stream_offset(G.out_stream);
  if (p < 0) {
    fail_line("offset [%s] error %s", out, krsd_error_text(G.out_kind));
    return DD_FAILED;
  }
  if (p != 0 && p != G.o_offset) {
    fail_line("[%s] o_offset=%lld offset=%lld o_offset!=offset error", out, ll(G.o_offset), ll(p));
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
      fail_line("[%s] count=%lld needs an input of known size error", G.in_name.c_str(), ll(G.count));
      return DD_FAILED;
    }
  } else if (G.in_size != 0) {
    G.count = (G.ibs + G.in_size - G.i_offset) / G.ibs;
  } else {
    G.count = -1;
  }
  if (dd_flag(DD_RESUME) && G.in_size != 0) {
    // The blocks before where this job begins count as done.
    G.off_count = (G.ibs + G.o_offset) / G.ibs;
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
  int32_t n = 512;  // what a disk has when it does not tell
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

int32_t source_ioerr() {
  const int saved = errno;
  int32_t ioerr = IOERR_NONE;
  stream_ctrl(G.in_stream, STREAM_CTRL_IOERR, &ioerr);
  errno = saved;
  return ioerr;
}

// Logs the read error line of a failed read of n bytes at offset (at
// level, the error level unless the failure is only the start of a
// salvage); returns the error class.
int32_t log_read_error(int64_t offset, int64_t n, int32_t ioerr, int level) {
  KR_LOGF(level, "krdd_file_work", "read [%s] offset=%lld bs=%d ioerr=%d error %s\n", G.in_name.c_str(),
          ll(offset), static_cast<int>(n), ioerr, krsd_error_text(G.in_kind));
  dd_record_cause("read [%s] offset=%lld bs=%d ioerr=%d error %s", G.in_name.c_str(), ll(offset),
                  static_cast<int>(n), ioerr, G.errtext);
  return ioerr;
}

// The pieces of a bad block from *pos on, read all at once where the source
// has such a read (a krp:// source keeps them in flight together, so that
// the block costs a round trip rather than one or two per sector). Each
// outcome is taken as salvage_block takes the read of that piece; pieces
// left without one (the source could not be positioned there) are left to
// it, from *pos.
int salvage_at_once(int64_t sector, int64_t begin, int64_t* end, int64_t* pos, std::vector<dd_range>* bad) {
  std::vector<tb_file_piece> outcome(static_cast<size_t>((*end - 1) / sector - *pos / sector + 1));
  tb_file_pieces req{};
  req.data = G.ibuf + (*pos - begin);
  req.size = static_cast<int32_t>(*end - *pos);
  req.grid = static_cast<int32_t>(sector);
  req.piece = outcome.data();
  req.count = static_cast<int32_t>(outcome.size());
  if (!stream_ctrl(G.in_stream, STREAM_CTRL_READ_PIECES, &req)) return DD_DONE;
  if (dd_flag(DD_STOP)) return DD_STOPPED;
  if (req.result < 0) {
    // The connection, not a sector: the job's retry may mend it.
    const int64_t from = req.done == 0 ? *pos : (*pos / sector + req.done) * sector;
    const int64_t to = std::min(*end, (from / sector + 1) * sector);
    return read_failure_result(log_read_error(from, to - from, source_ioerr(), OS_LOG_ERR));
  }
  for (int32_t i = 0; i < req.done && *pos < *end; ++i) {
    const int64_t piece_end = std::min(*end, (*pos / sector + 1) * sector);
    const tb_file_piece& o = outcome[static_cast<size_t>(i)];
    if (o.result >= 0) {
      *pos += o.result;
      if (*pos < piece_end) *end = *pos;  // the source ended here
      continue;
    }
    if (o.ioerr != IOERR_DATA)
      return read_failure_result(log_read_error(*pos, piece_end - *pos, o.ioerr, OS_LOG_ERR));
    KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "read [%s] offset=%lld bs=%lld unreadable\n", G.in_name.c_str(),
            ll(*pos), ll(piece_end - *pos));
    memset(G.ibuf + (*pos - begin), 0, static_cast<size_t>(piece_end - *pos));
    dd_ranges_add(bad, {*pos, piece_end});
    *pos = piece_end;
  }
  return DD_DONE;
}

// A block whose read failed with a data error is read again in pieces of
// the source's sector size (aligned to the sector grid of the source), so
// that only the sectors that really cannot be read become zeros. Fills ibuf
// with the block (n bytes, fewer when the source ends inside it), leaves the
// stream after it and adds the unreadable runs to *bad. DD_DONE, or the
// pass result when the source failed otherwise, was stopped or cannot be
// positioned.
int salvage_block(int64_t n, long* got, std::vector<dd_range>* bad) {
  const int64_t sector = sector_bytes();
  const int64_t begin = G.i_offset;
  int64_t end = begin + n, pos = begin;
  // A source without a size cannot be positioned (a seek clamps to the size
  // it knows): its pieces go one by one, to the positioning error.
  if (G.in_size != 0 && end <= G.in_size && pos < end && stream_offset(G.in_stream) == pos) {
    if (dd_flag(DD_STOP)) return DD_STOPPED;
    const int r = salvage_at_once(sector, begin, &end, &pos, bad);
    if (r != DD_DONE) return r;
  }
  while (pos < end) {
    if (dd_flag(DD_STOP)) return DD_STOPPED;
    const int64_t piece_end = std::min(end, (pos / sector + 1) * sector);
    if (stream_offset(G.in_stream) != pos) {
      const seek_outcome o = seek_or_log(G.in_stream, pos, G.in_name, G.in_kind);
      if (o != seek_outcome::ok) return input_seek_failed(o);
    }
    const long r = read_piece(G.ibuf + (pos - begin), static_cast<long>(piece_end - pos));
    if (r >= 0) {
      pos += r;
      if (pos < piece_end) end = pos;  // the source ended here
      continue;
    }
    if (dd_flag(DD_STOP)) return DD_STOPPED;
    const int64_t at = stream_offset(G.in_stream);  // after what the failed read kept
    const int32_t ioerr = source_ioerr();
    // Unreadable sectors get their run lines; any other failure its own.
    if (ioerr != IOERR_DATA || at < pos || at > piece_end) {
      if (dd_flag(DD_STOP)) return DD_STOPPED;
      const int64_t from = at >= pos && at <= piece_end ? at : pos;
      return read_failure_result(log_read_error(from, piece_end - from, ioerr, OS_LOG_ERR));
    }
    KR_LOGF(OS_LOG_DEBUG, "krdd_file_work", "read [%s] offset=%lld bs=%lld unreadable\n", G.in_name.c_str(),
            ll(at), ll(piece_end - at));
    memset(G.ibuf + (at - begin), 0, static_cast<size_t>(piece_end - at));
    dd_ranges_add(bad, {at, piece_end});
    pos = piece_end;
  }
  if (stream_offset(G.in_stream) != end) {
    const seek_outcome o = seek_or_log(G.in_stream, end, G.in_name, G.in_kind);
    if (o != seek_outcome::ok) return input_seek_failed(o);
  }
  *got = static_cast<long>(end - begin);
  return DD_DONE;
}

// One line per unreadable run, once it can grow no more: a run that reaches
// the end of the bytes read so far may go on in the next block.
void log_bad_ranges(bool all) {
  while (G.bad_logged < G.bad_ranges.size()) {
    const dd_range& b = G.bad_ranges[G.bad_logged];
    if (!all && b.end >= G.i_offset) break;
    KR_LOGF(OS_LOG_ERR, "krdd_file_work",
            "read [%s] offset=%lld end=%lld bytes=%lld unreadable error:written as zeros\n", G.in_name.c_str(),
            ll(b.start), ll(b.end), ll(b.end - b.start));
    ++G.bad_logged;
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
  const char* in = G.in_name.c_str();
  const char* out = G.outfile.c_str();

  G.in_stream = stream_open(G.infile.c_str(), FILE_MODE_READ, kOpenTimeoutMs);
  if (!G.in_stream) {
    if (dd_flag(DD_STOP)) return DD_STOPPED;  // Stop ended the connect
    fail_line("open [%s] error %s", in, krsd_error_text(G.in_kind));
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
      fail_line("wait [%s] error", in);
      result = DD_READ_FAILED;
      break;
    }
    // The daemon tells the size of every device it serves (a raw partition
    // by a seek to its end): one that says 0 and then delivers data is not
    // the device asked for, and its stream would fill the disk.
    if (got > 0 && G.in_size == 0 && G.in_kind == TB_URL_PROTOCOL_KRP) {
      fail_line("[%s] size=0 but the source delivers data: not the device's partition error", in);
      KR_LOGF(OS_LOG_INFO, "krdd_file_work", "设备大小为 0 却送来数据, 不是要镜像的设备; 拒绝镜像, 未写入镜像\n");
      return DD_FAILED;
    }
    bad.clear();
    if (got < 0) {
      if (dd_flag(DD_STOP)) {
        result = DD_STOPPED;
        break;
      }
      const int32_t ioerr = source_ioerr();
      const bool salvage = dd_flag(DD_CONTINUE_ON_ERROR) && ioerr == IOERR_DATA;
      // A bad block is a detail: its unreadable runs get the lines that count.
      log_read_error(G.i_offset, n, ioerr, salvage ? OS_LOG_DEBUG : OS_LOG_ERR);
      if (!salvage) return read_failure_result(ioerr);
      // A bad block: keep every sector of it that reads, zeros for the rest.
      const int r = salvage_block(n, &got, &bad);
      if (r != DD_DONE) return r;
      if (got == 0) {
        result = DD_DONE;  // the source ended where the block began
        break;
      }
    }
    // The zeros go on record before they are written, so that no ending of
    // the job (a full disk, a kill) leaves them in the image unnamed.
    dd_record_unreadable(bad);
    for (const dd_range& b : bad) dd_ranges_add(&G.bad_ranges, b);
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
    log_bad_ranges(false);
    if (!output_block(got)) return write_failed_result();
    if (dd_flag(DD_SYNC_WRITES) && G.out_stream && !stream_sync(G.out_stream, 0)) {
      fail_line("sync [%s] error %s", out, krsd_error_text(G.out_kind));
      return DD_FAILED;
    }
    G.retries = 0;
    if (!dd_flag(DD_NO_STATUS)) dd_show_progress(G.count);
    dd_record_progress();
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
    fail_line("[%s] i_offset=%lld o_offset=%lld size=%lld input ended before its size error", in,
              ll(G.i_offset), ll(G.o_offset), ll(G.in_size));
    return DD_READ_FAILED;
  }
  return result;
}

int krdd_work() {
  const tb_cancel_ref_t watched_before = tb_cancel_watch(job_cancel());
  dd_status_job(true);
  int r = dd_record_begin();
  while (r == DD_DONE) {
    r = krdd_file_work();
    if (G.in_stream) {
      if (!stream_close(G.in_stream)) KR_LOG(OS_LOG_ERR, "close file %s error\n", G.in_name.c_str());
      G.in_stream = nullptr;  // the next pass reopens it
    }
    // Whatever was copied before: a source that was once opened and then
    // failed in a way that may pass gets its retry; one that could never be
    // opened or positioned does not.
    if (dd_flag(DD_STOP) || !G.started || r == DD_DONE || r == DD_FAILED || r == DD_WRITE_FAILED) break;
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
  if (r != DD_DONE && dd_flag(DD_STOP)) r = DD_STOPPED;  // a failure the stop itself caused
  log_bad_ranges(true);
  // What follows reads and writes the image's own files, which the stop
  // request must not cut short.
  tb_cancel_watch(watched_before);
  bool synced = false;
  if (G.ewf) {
    synced = finish_e01();
    if (r == DD_DONE && !synced) r = DD_FAILED;
  } else if (G.out_stream) {
    // The image must be on the medium before the job says it is complete: a
    // write-back error shows up only here and must not end in the success line.
    // A stopped or failed image is synced too, so that its last piece can be
    // recorded for the resume.
    synced = stream_sync(G.out_stream, 1) != 0;
    if (r == DD_DONE && !synced) {
      KR_LOG(OS_LOG_ERR, "sync [%s] error %s\n", G.outfile.c_str(), krsd_error_text(G.out_kind));
      dd_record_cause("sync [%s] error %s", G.outfile.c_str(), G.errtext);
      r = G.out_kind == TB_URL_PROTOCOL_FILE ? DD_FAILED : DD_WRITE_FAILED;
    }
    if (!stream_close(G.out_stream)) KR_LOG(OS_LOG_ERR, "close file %s error\n", G.outfile.c_str());
    G.out_stream = nullptr;
  }
  dd_record_end(r, synced);
  if (!dd_flag(DD_NO_STATUS)) dd_output_status(r);
  dd_record_report(r);
  dd_status_job(false);
  return r;
}

void krsd_free_ctx() {
  G.ewf.reset();
  if (G.in_stream) {
    if (!stream_close(G.in_stream)) KR_LOG(OS_LOG_ERR, "close file %s error\n", G.in_name.c_str());
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
  G.in_name = dd_source_label(G.infile);
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

// What the worker does with the next request: the copy job in G, or a
// verification of an image (the front end's thread sets both before the
// hand-over, which orders them for the worker).
enum class work_kind { copy, verify };
work_kind g_kind = work_kind::copy;
std::string g_verify_image;
std::string g_verify_program;
std::atomic<bool> g_verify_stop{false};
std::mutex g_verify_mu;
dd_verify_result g_verify_result;  // guarded by g_verify_mu

void verify_progress(int64_t done, int64_t total) { dd_status_hash_progress("校验镜像", done, total); }

int verify_job() {
  dd_status_job(true);
  dd_check_hooks hooks{[] { return g_verify_stop.load(); }, verify_progress};
  dd_verify_result r;
  dd_verify_image(g_verify_image, hooks, g_verify_program.c_str(), &r);
  dd_status_show("", r.code == DD_VERIFY_SAME ? 100 : 0);
  dd_status_job(false);
  std::lock_guard<std::mutex> lock(g_verify_mu);
  g_verify_result = r;
  return r.code;
}

// The request on the worker; a job's record is freed before the job counts
// as ended, so that the next hand-over finds G unused.
int krsd_work_job(void*) {
  if (g_kind == work_kind::verify) return verify_job();
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
  g_kind = work_kind::copy;
  if (!g_worker.post()) {
    // None started, or told to quit: the job would count as busy forever.
    KR_LOG(OS_LOG_ERR, "os_thread_init krsd_work_thread error\n");
    krsd_free_ctx();
    return 1;
  }
  return 0;
}

int krsd_verify_file(const char* image, const char* program) {
  if (g_worker.busy()) {
    KR_LOG(OS_LOG_ERR, "a job is running, verification refused\n");
    return 1;
  }
  g_kind = work_kind::verify;
  g_verify_image = image ? image : "";
  g_verify_program = program ? program : "krii";
  g_verify_stop.store(false);
  if (!g_worker.post()) {
    KR_LOG(OS_LOG_ERR, "os_thread_init krsd_work_thread error\n");
    return 1;
  }
  return 0;
}

dd_verify_result krsd_last_verify() {
  std::lock_guard<std::mutex> lock(g_verify_mu);
  return g_verify_result;
}

int krsd_stop() {
  g_verify_stop.store(true);
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
