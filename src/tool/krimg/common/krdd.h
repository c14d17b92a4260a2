// The copy engine's job record and its passes, for the job code, the status
// output and the tests. The front ends use krsd-client.h only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dd_ewf.h"
#include "dd_record.h"
#include "stream.h"

enum {
  DD_KEEP_OUTPUT = 0x1,
  DD_PAD_BLOCKS = 0x2,
  DD_CONTINUE_ON_ERROR = 0x4,
  DD_SYNC_WRITES = 0x8,
  DD_SWAB = 0x10,
  DD_RESUME = 0x20,
  DD_SKIP_BYTES = 0x100,
  DD_SEEK_BYTES = 0x1000,
  DD_TWO_BUFFERS = 0x10000,
  DD_COUNT_PRESET = 0x20000,
  DD_NO_STATUS = 0x40000,
  DD_QUIET = 0x80000,
  DD_STOP = 0x100000,
};

// Results of one pass (and of a job).
enum {
  DD_DONE = 0,         // the input ended or count blocks were copied
  DD_FAILED = 1,       // set-up, local output, positioning, fatal read, sync
  DD_OPEN_FAILED = 2,  // the input could not be opened (retried)
  DD_READ_FAILED = 3,  // a read or wait error that may pass (retried)
  DD_WRITE_FAILED = 4, // write error on an output that is not a local file
  DD_STOPPED = 5,      // DD_STOP was seen
};

enum { DD_BLOCK_SIZE = 102400 };
// The image is handed to the system's writeback in pieces of this size as
// the copy goes.
enum : int64_t { DD_WRITEBACK_BYTES = int64_t{4} << 20 };

// The one job record. Filled by the job set-up on the front end's thread
// while the worker is idle; owned by the worker during a job. The front end
// writes only the DD_STOP bit of flags during a job, hence the atomic access
// (dd_flags_*); every other field is plain.
struct dd_job {
  std::string infile;
  std::string outfile;
  std::string in_name;  // infile as log lines show it (a password masked)
  uint8_t* ibuf = nullptr;  // ibs bytes
  uint8_t* obuf = nullptr;  // obs bytes; == ibuf unless DD_TWO_BUFFERS
  int32_t ibs = 0;
  int32_t obs = 0;
  int64_t seek = 0;
  int64_t skip = 0;
  int32_t flags = 0;  // access through dd_flags_* while a job may run
  int32_t started = 0;
  int64_t i_offset = 0;
  int64_t o_offset = 0;
  int64_t in_size = 0;
  int64_t out_size = 0;
  int32_t ofill = 0;
  int64_t count = 0;
  int64_t all_count = 0;
  int64_t off_count = 0;
  int64_t total_bytes = 0;
  int64_t out_full = 0, out_part = 0;
  int64_t in_full = 0, in_part = 0;
  int64_t begin_ms = 0;
  // MD5 and SHA-256 of the image, the sidecar and the facts of the report
  // (the engine's MD5 context of old, grown); made by the job set-up.
  std::unique_ptr<dd_job_record> rec;
  int32_t max_retries = 0;
  int32_t retry_pause = 0;
  int32_t retries = 0;
  char errtext[256] = {};
  int32_t in_kind = 0;
  int32_t out_kind = 0;
  stream_ref_t in_stream = nullptr;
  stream_ref_t out_stream = nullptr;
  // An E01 image is written through this instead of out_stream.
  std::unique_ptr<dd_ewf_writer> ewf;
  // Salvage of bad blocks: the source's sector size (0 until a bad block
  // asked for it), and every unreadable run written as zeros, in source
  // order, adjacent runs merged. The job's report reads them.
  int32_t sector_bytes = 0;
  std::vector<dd_range> bad_ranges;
  size_t bad_logged = 0;  // bad_ranges that have had their log line
  // Each piece of the output on this grid is handed to the system's
  // writeback once written; 0: never (tests choose small pieces).
  int64_t writeback_bytes = DD_WRITEBACK_BYTES;
};

extern dd_job G;

inline int32_t dd_flags_get() {
  return std::atomic_ref<int32_t>(G.flags).load(std::memory_order_relaxed);
}
inline bool dd_flag(int32_t bit) { return (dd_flags_get() & bit) != 0; }
inline void dd_flags_set(int32_t bits) {
  std::atomic_ref<int32_t>(G.flags).fetch_or(bits, std::memory_order_relaxed);
}

// One pass of the copy engine over G (result DD_*). Opens in_stream every
// time, out_stream on the first pass only; leaves both open.
int krdd_file_work();
// A whole job: passes with the retry policy, the final status; the result of
// the last pass. Leaves G for krsd_free_ctx.
int krdd_work();
// Closes the streams and frees buffers and names of G.
void krsd_free_ctx();
// Fills G for a job without handing it to the worker (krsd_get_file does
// this, then posts). 0, or 1 when a buffer could not be allocated.
int krsd_job_setup(const char* source, const char* target, int resume);
// "[system message]" for a local file (kind 1); for a krp source whose
// open has just failed on this thread, "[reason]"; "" otherwise. Kept in
// G.errtext.
const char* krsd_error_text(int kind);

// Status output (at most one progress line a second; the final summary and
// the job's outcome line).
void dd_show_progress(int64_t count);
void dd_output_status(int result);
// A job's thread is about to begin, or has ended, its copy: what the front
// end's timer asks (krsd_status_tick) follows it.
void dd_status_job(bool running);
// A status line of the job's thread (percent -1: the bar stays as it is).
void dd_status_show(const char* text, int percent);
// The status line of a re-hash of an image ("<caption>: N bytes (size), P%"),
// at most once a second and always at the end.
void dd_status_hash_progress(const char* caption, int64_t done, int64_t total);

// The clock of the progress and status output (tb_clock_ms unless a test
// installs another; null restores it). Also forgets the last progress time.
void dd_clock_set(int64_t (*clock_ms)());
int64_t dd_clock_ms();
