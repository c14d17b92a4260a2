// The sidecar beside an image (phone.dd.krii): the MD5 and SHA-256 of the
// image from byte 0 to the end of every piece written so far, one line per
// record, appended and synced while the job runs, after the image itself
// was synced up to that end. A resume re-hashes the image and compares.
//
//   krii-pieces 1
//   # <end> <md5> <sha256> of the image's bytes 0 .. end-1
//   67108864 1f3c...  9ab0...
//
// Records are strictly increasing; an unfinished last line (a crash in the
// middle of an append) is ignored.
#pragma once

#include <atomic>
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

struct dd_sidecar_data {
  std::vector<dd_piece_record> records;
  std::string error;  // empty when the text was understood
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

// Appends the records of a running job. A thread of its own waits for the
// copy loop to pass a piece boundary, syncs the image (so the image is
// written back while the copy goes on, and the final sync is short), then
// appends the records of every piece boundary up to the synced end and
// syncs the sidecar. A crash thus loses at most the pieces written since
// the last sync.
class dd_sidecar_writer {
 public:
  dd_sidecar_writer(std::string image, dd_hashing* hashing);
  ~dd_sidecar_writer();
  dd_sidecar_writer(const dd_sidecar_writer&) = delete;
  dd_sidecar_writer& operator=(const dd_sidecar_writer&) = delete;

  // Starts a new sidecar (fresh) or appends to the existing one after its
  // last record, which ends at recorded; the image holds written bytes
  // already. false with *error when the files cannot be opened.
  bool start(bool fresh, int64_t recorded, int64_t written, std::string* error);
  // The copy loop: the image holds every byte below end.
  void written(int64_t end);
  // Ends the thread; when the image was synced up to end, also records the
  // prefix that ends there (the last, partial piece). false when a record
  // could not be written (*error tells).
  bool finish(int64_t end, bool image_synced, std::string* error);

 private:
  void run();
  bool append(int64_t end, std::string* error);  // waits for the digests

  const std::string image_;
  dd_hashing* const hashing_;
  tb_file_ref_t image_file_ = nullptr;  // a handle of its own, for the syncs
  tb_file_ref_t side_ = nullptr;
  int64_t recorded_ = 0;  // end of the last record; the writer's thread

  std::mutex mu_;
  std::condition_variable cv_;
  int64_t written_ = 0;  // guarded by mu_
  bool quit_ = false;    // guarded by mu_
  std::string failure_;  // guarded by mu_: the first failed sync or append
  std::thread thread_;
};
