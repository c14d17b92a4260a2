// The record a job keeps of itself beside the copy: the hashes of the whole
// image (its verified prefix re-hashed on a resume), the sidecar of piece
// digests and unreadable runs, the job's log beside the image, and the facts
// of the run for the report. The engine calls the hooks below at the points
// named; everything else of the record lives here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dd_ewf.h"
#include "dd_hash.h"
#include "dd_host.h"
#include "dd_sidecar.h"
#include "dd_verify.h"
#include "tb_file.h"

struct dd_retry {
  std::string time;    // local time with its offset
  int64_t offset = 0;  // where the source is read again
  int result = 0;      // the pass result that was retried
  std::string cause;
};

// What the front end knows of the case; kept for every later job. The
// texts are UTF-8 (the front end converts what the system gave it).
struct dd_case_info {
  std::string program;  // "krimg", "krii"
  std::string case_id, evidence, examiner, notes;
  bool verify_after = false;  // krimg acquire --verify
};

// The piece size of the sidecar for later jobs (tests choose small pieces);
// 0 restores DD_PIECE_SIZE.
void dd_piece_size_set(int64_t bytes);
int64_t dd_piece_size();

// How a resume found the source against the image it continues.
struct dd_source_sample {
  int blocks = 0;     // sample blocks read from both
  int compared = 0;   // of them, blocks that tell devices apart (not zeros in the image)
  int differing = 0;  // of those, blocks whose bytes differ
};

struct dd_job_record {
  dd_hashing hashing{dd_piece_size()};
  std::unique_ptr<dd_sidecar_writer> sidecar;
  bool records = false;       // sidecar, report and log beside the image
  bool checked = false;       // a resume re-hashed the verified prefix
  dd_image_check check;
  std::string sidecar_error;  // why the sidecar stopped (or never started)
  bool synced = false;        // the image was synced at the end
  dd_image_lock lock;         // held for the whole job
  bool created_for_lock = false;
  bool image_opened = false;  // the job went on to write the image: its run is in the history

  // A resume starts at resume_from, the end of what the record vouches for;
  // the bytes up to reread_to (the image's size then) are read from the
  // source again and compared with what the image held.
  int64_t resume_from = 0, reread_to = 0;
  tb_file_ref_t compare = nullptr;  // the image, read, while its old tail is read again
  int64_t reread_done = 0;          // bytes of the old tail read again so far
  std::vector<dd_range> rewritten;  // sectors of the old tail that held other bytes
  bool reread_logged = false;
  std::vector<dd_range> history_unreadable;  // earlier runs' unreadable runs below resume_from
  bool history_known = true;                 // ... all of them are known
  int64_t earlier_source_size = 0;           // the source's size in earlier runs, 0 unknown
  dd_source_sample sample;
  bool source_seen = false;  // the source was opened and its size asked

  // Facts for the report.
  dd_case_info info;
  dd_image_format format;    // as the front end chose it
  int32_t ewf_sector = 0;    // E01: the container's bytes per sector
  int ewf_compress = 0;      // ... and the compression it got
  std::string sha1;          // ... and the SHA-1 of its media, once stored
  int64_t start_s = 0, end_s = 0;  // seconds since 1970
  std::vector<dd_retry> retries;
  std::string cause;    // the failure that ended the last pass
  std::string outcome;  // the job's last line for the examiner
  int32_t sector_bytes = 0;
  std::string peer_sha256;  // the daemon's certificate, krps:// only
  bool complete = false;  // the whole source is in the image
  dd_digests whole;
  std::string run_id;     // names this job's entry in the report
  int64_t report_ms = 0;  // when the report was last written
  tb_file_ref_t log = nullptr;  // the job's log beside the image
  bool log_created = false;     // ... made by this job

  dd_job_record() = default;
  ~dd_job_record();
  dd_job_record(const dd_job_record&) = delete;
  dd_job_record& operator=(const dd_job_record&) = delete;
};

// Whether the job in G writes an E01 image.
bool dd_record_e01();

// The case fields every later job records (the front end sets them before
// handing over a job).
void dd_case_set(const dd_case_info& info);
dd_case_info dd_case_get();

// Hooks of the engine, all on the job's thread.
// At set-up: a fresh record.
void dd_record_setup();
// Before the first pass: refuses an image that lies in the source, takes
// the image's lock, and on a resume checks the image's prefix against its
// record. DD_DONE, or the job's result when it must not go on.
int dd_record_begin();
// First pass of a resume, once the source's size is known and before
// anything is written: refuses another source than the earlier runs' (its
// size, a sample of blocks of the verified prefix) and sets where the copy
// goes on. DD_DONE or DD_FAILED.
int dd_record_source_open();
// End of the first pass set-up (the image is open and positioned); starts
// the sidecar and the report. DD_DONE, or DD_FAILED when the image is not
// the one checked.
int dd_record_image_open();
// len bytes of buf are about to be written at o_offset: compared with what
// the image holds there when that is the old tail of a resume.
void dd_record_compare(const uint8_t* buf, int64_t len);
// Zeros of these unreadable runs are about to be written: they go on record
// first.
void dd_record_unreadable(const std::vector<dd_range>& runs);
// len bytes of buf are in the image (o_offset moved past them): hashes them
// and tells the sidecar. Returns the ring buffer the copy loop fills next
// when buf was the ring's, else null.
uint8_t* dd_record_block(const uint8_t* buf, int64_t len);
// A block went through: the report is brought up to date now and then, so
// that a killed job leaves a report near the truth.
void dd_record_progress();
// The reason of a pass that failed (printf-style, for the retry list and
// the outcome line).
void dd_record_cause(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A retry is about to start.
void dd_record_retry(int result);
// After the passes and the final sync: drains the hashes, records the last
// piece, decides whether the image holds the whole source.
void dd_record_end(int result, bool image_synced);
// After the status lines: writes the report beside the image, ends the
// job's log and lets go of the image.
void dd_record_report(int result);

// The text of a job result code.
const char* dd_result_text(int result);
// A source name fit for a log line or a report: a password in a URL's
// query ("passwd=...") is replaced by "***".
std::string dd_source_label(const std::string& source);

// The last job's outcome, for the front ends (after the job ended).
struct dd_job_summary {
  int result = -1;
  bool complete = false;
  dd_digests whole;
  int64_t image_bytes = 0;
  int64_t unreadable_bytes = 0;
  std::string report_path;  // the text report, "" when none was written
  std::string outcome;
};
dd_job_summary dd_last_job();
