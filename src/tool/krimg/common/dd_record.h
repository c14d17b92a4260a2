// The record a job keeps of itself beside the copy: the hashes of the whole
// image (its prefix re-hashed on a resume), the sidecar of piece digests,
// and the facts of the run for the report. The engine calls the hooks
// below at the points named; everything else of the record lives here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dd_hash.h"
#include "dd_sidecar.h"
#include "dd_verify.h"

struct dd_retry {
  std::string time;    // local time with its offset
  int64_t offset = 0;  // where the source is read again
  int result = 0;      // the pass result that was retried
  std::string cause;
};

// What the front end knows of the case; kept for every later job.
struct dd_case_info {
  std::string program;  // "krimg", "krii"
  std::string case_id, evidence, examiner, notes;
  bool verify_after = false;  // krimg acquire --verify
};

// The piece size of the sidecar for later jobs (tests choose small pieces);
// 0 restores DD_PIECE_SIZE.
void dd_piece_size_set(int64_t bytes);
int64_t dd_piece_size();

struct dd_job_record {
  dd_hashing hashing{dd_piece_size()};
  std::unique_ptr<dd_sidecar_writer> sidecar;
  bool records = false;       // sidecar and report beside the image
  int64_t hashed_from = 0;    // the hashes cover the image from here (-1: unknown)
  bool checked = false;       // a resume re-hashed the prefix
  dd_image_check check;
  std::string sidecar_error;  // why the sidecar stopped (or never started)
  bool synced = false;        // the image was synced at the end

  // Facts for the report.
  dd_case_info info;
  int64_t start_s = 0, end_s = 0;  // seconds since 1970
  std::vector<dd_retry> retries;
  std::string cause;  // the failure that ended the last pass
  int32_t sector_bytes = 0;
  std::string peer_sha256;  // the daemon's certificate, krps:// only
  bool complete = false;  // the whole source is in the image
  dd_digests whole;
  std::string run_id;     // names this job's entry in the report
};

// The case fields every later job records (the front end sets them before
// handing over a job).
void dd_case_set(const dd_case_info& info);
dd_case_info dd_case_get();

// Hooks of the engine, all on the job's thread.
// At set-up: a fresh record.
void dd_record_setup();
// Before the first pass: the ring of the hashes, and on a resume the check
// of the image's prefix. DD_DONE, or the job's result when it must not go on.
int dd_record_begin();
// End of the first pass set-up (the image is open and positioned); starts
// the sidecar. DD_DONE, or DD_FAILED when the image is not the one checked.
int dd_record_image_open();
// len bytes of buf are in the image (o_offset moved past them): hashes them
// and tells the sidecar. Returns the ring buffer the copy loop fills next
// when buf was the ring's, else null.
uint8_t* dd_record_block(const uint8_t* buf, int64_t len);
// The reason of a pass that failed (printf-style, for the retry list).
void dd_record_cause(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A retry is about to start.
void dd_record_retry(int result);
// After the passes and the final sync: drains the hashes, records the last
// piece, decides whether the image holds the whole source.
void dd_record_end(int result, bool image_synced);
// After the status lines: writes the report beside the image.
void dd_record_report(int result);

// The text of a job result code.
const char* dd_result_text(int result);
