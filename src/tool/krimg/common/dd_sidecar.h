// The piece record beside an image (phone.dd.krii): the MD5 and SHA-256 of
// the image from byte 0 to the end of every piece written so far, and every
// run of bytes the source could not give (zeros in the image), appended and
// synced while the job runs. A piece's record follows the sync of the image
// up to its end; an unreadable run is on record before its zeros are
// written. A resume re-hashes the image and compares.
//
//   krii-pieces 2
//   # ...
//   source 150000000
//   67108864 1f3c...  9ab0...
//   unreadable 149504 150528
//   resume 100663296
//
// Lines: "<end> <md5> <sha256>", a record of bytes 0 .. end-1 (strictly
// increasing); "unreadable <from> <to>", bytes [from, to) are zeros the
// source could not give; "source <bytes>", the source's size; "resume
// <offset>", a later job wrote the image again from offset on, so that
// unreadable runs from there on no longer count. Lines starting with "#"
// are comments; an unfinished last line (a crash in the middle of an
// append) is ignored, and cut off before the next append. Version 1 files
// hold records only: what was unreadable in them is not known.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dd_hash.h"
#include "tb_file.h"

struct dd_piece_record {
  int64_t end = 0;
  dd_digests d;
};

// A run of image bytes [start, end).
struct dd_range {
  int64_t start = 0;
  int64_t end = 0;
  bool operator==(const dd_range&) const = default;
};

// Adds r to ranges (sorted, disjoint), merging what overlaps or touches.
void dd_ranges_add(std::vector<dd_range>* ranges, dd_range r);
// The ranges cut to [0, end).
std::vector<dd_range> dd_ranges_below(const std::vector<dd_range>& ranges, int64_t end);
int64_t dd_ranges_bytes(const std::vector<dd_range>& ranges);

struct dd_sidecar_data {
  int version = 0;
  std::vector<dd_piece_record> records;
  std::vector<dd_range> unreadable;  // as the lines stand, resumes applied
  int64_t source_size = 0;                // 0: not on record
  int64_t complete_bytes = 0;             // the text up to its last complete line
  std::string error;                      // empty when the text was understood
  // Whether the unreadable runs of the bytes on record are all known.
  bool unreadable_known() const { return version >= 2; }
};

// The sidecar's name for an image name.
std::string dd_sidecar_path(const std::string& image);
// Parses a sidecar's text.
dd_sidecar_data dd_sidecar_parse(std::string_view text);
// Reads and parses the sidecar of image. false when there is none (or it
// cannot be read: then *error tells why).
bool dd_sidecar_load(const std::string& image, dd_sidecar_data* out, std::string* error);
std::string dd_sidecar_header();
std::string dd_sidecar_line(const dd_piece_record& r);

// Appends the record of a running job. A thread of its own waits for the
// copy loop to pass a piece boundary, syncs the image (a record covers
// only bytes on the medium; the copy loop has started their writeback
// already, so the sync is short), then appends the records of every piece boundary up to the synced end and
// syncs the sidecar. A crash thus loses at most the pieces written since
// the last sync. After the first failure nothing more is recorded, so that
// no record ever covers bytes whose unreadable runs are not on record.
class dd_sidecar_writer {
 public:
  dd_sidecar_writer(std::string image, dd_hashing* hashing);
  ~dd_sidecar_writer();
  dd_sidecar_writer(const dd_sidecar_writer&) = delete;
  dd_sidecar_writer& operator=(const dd_sidecar_writer&) = delete;

  struct start_args {
    bool fresh = true;          // a new sidecar (an old one is replaced once this one is written)
    int64_t source_size = 0;    // fresh: recorded when known
    int64_t recorded = 0;       // appending: the end of the last record kept
    int64_t keep_bytes = 0;     // appending: the sidecar's text up to its last complete line
    int64_t written = 0;        // the image holds this many bytes of this job's copy
  };
  // Starts a new sidecar or appends to the existing one (after a "resume"
  // line at written). false with *error when the files cannot be opened or
  // written.
  [[nodiscard]] bool start(const start_args& a, std::string* error);
  // The copy loop: the image holds every byte below end.
  void written(int64_t end);
  // The copy loop, before it writes the zeros of these runs: on record and
  // synced when true is returned.
  [[nodiscard]] bool unreadable(const std::vector<dd_range>& runs, std::string* error);
  // Ends the thread; when the image was synced up to end, also records the
  // prefix that ends there (the last, partial piece). false when a record
  // could not be written (*error tells).
  bool finish(int64_t end, bool image_synced, std::string* error);

 private:
  void run();
  bool append(int64_t end, std::string* error);  // waits for the digests
  bool write_line(const std::string& line, std::string* error);  // holds file_mu_
  bool sync_side(std::string* error);
  void fail(const std::string& error);

  const std::string image_;
  dd_hashing* const hashing_;
  tb_file_ref_t image_file_ = nullptr;  // a handle of its own, for the syncs
  tb_file_ref_t side_ = nullptr;
  int64_t recorded_ = 0;  // end of the last record; the writer's thread

  std::mutex file_mu_;  // one writer of side_ at a time: the thread or the copy loop
  std::mutex mu_;
  std::condition_variable cv_;
  int64_t written_ = 0;  // guarded by mu_
  bool quit_ = false;    // guarded by mu_
  std::string failure_;  // guarded by mu_: the first failed sync or append
  std::thread thread_;
};
