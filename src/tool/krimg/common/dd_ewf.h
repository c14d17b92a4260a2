// E01 images: the media written into, and read back from, the segment files
// of the Expert Witness format through libewf. The engine hands the writer
// its blocks in media order; compression and the segment files are the
// writer thread's, so that the copy loop never waits on them while the
// queue has room.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dd_hash.h"
#include "dd_host.h"
#include "dd_sidecar.h"

enum { DD_FORMAT_RAW = 0, DD_FORMAT_E01 = 1 };
enum { DD_COMPRESS_NONE = 0, DD_COMPRESS_FAST = 1, DD_COMPRESS_BEST = 2 };
enum : int64_t { DD_SEGMENT_BYTES = int64_t{2} << 30 };

// What the front end chose for the images of later jobs.
struct dd_image_format {
  int kind = DD_FORMAT_RAW;
  int compress = DD_COMPRESS_FAST;
  int64_t segment_bytes = DD_SEGMENT_BYTES;
};
void dd_format_set(const dd_image_format& f);
dd_image_format dd_format_get();

// Whether this program was built with E01 support.
bool dd_ewf_available();
// Whether path names the first segment of an E01 image (it ends in ".E01").
bool dd_ewf_name(const std::string& path);
// Whether path is the first segment of an E01 image: its name and its
// signature say so.
bool dd_ewf_is_image(const std::string& path);

// The header values krii puts into an image.
struct dd_ewf_case {
  std::string case_number, evidence_number, examiner, notes, description;
  std::string software, version, system;
};

struct dd_ewf_params {
  int compress = DD_COMPRESS_FAST;
  int64_t segment_bytes = DD_SEGMENT_BYTES;
  int32_t bytes_per_sector = 512;
  dd_ewf_case info;
};

// The bytes per sector an image of a source of size bytes (0 unknown) can
// hold exactly: the container keeps whole sectors only, so a size that the
// source's sector does not divide gets the largest power of two that does.
int32_t dd_ewf_sector_for(int64_t size, int32_t source_sector);
// Whether an image of size bytes (0 unknown) and that sector can be
// compressed: libewf cannot pack a compressed last chunk of fewer than 8
// bytes, so such an image is stored uncompressed.
bool dd_ewf_compressible(int64_t size, int32_t sector);

// The segments of the image set at path after its first, by name.
std::vector<std::string> dd_ewf_later_segments(const std::string& path);
// Removes the segments of the image set at path after its first (path
// itself is written over by the next job, which holds its lock). false with
// *error when one stays.
bool dd_ewf_remove_later_segments(const std::string& path, std::string* error);

class dd_ewf_writer {
 public:
  dd_ewf_writer();
  ~dd_ewf_writer();
  dd_ewf_writer(const dd_ewf_writer&) = delete;
  dd_ewf_writer& operator=(const dd_ewf_writer&) = delete;

  // Creates the image set whose first segment is path (ending in ".E01")
  // and starts the writer thread. false with *error.
  [[nodiscard]] bool open(const std::string& path, const dd_ewf_params& p, std::string* error);
  // Queues a copy of len bytes of media; waits only while the queue is
  // full. false when the writer failed (error() says why): nothing after
  // that failure reaches the image.
  [[nodiscard]] bool write(const uint8_t* data, int64_t len);
  // Media bytes accepted by write.
  int64_t accepted() const { return accepted_; }
  // Waits until everything queued is in the image's files, the last chunk
  // maybe in part (or the writer failed; false then). Only finish follows.
  [[nodiscard]] bool flush();
  // After flush: stores the digests of the media and its unreadable runs
  // (byte ranges, stored as sectors), writes the closing sections, closes
  // the files and syncs every segment to the medium. false with error().
  [[nodiscard]] bool finish(const dd_digests& d, const std::vector<dd_range>& unreadable);
  std::string error() const;
  // The SHA-1 of the media, stored by finish.
  const std::array<uint8_t, 20>& sha1() const { return sha1_; }

 private:
  struct impl;
  void run();
  void fail(const std::string& why);

  std::unique_ptr<dd_host_private_files> private_;  // while segments are made
  std::unique_ptr<impl> h_;
  std::string path_;
  int32_t sector_ = 512;
  int64_t accepted_ = 0;  // the copy loop's thread
  std::array<uint8_t, 20> sha1_{};

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::vector<uint8_t>> queue_;  // guarded by mu_
  size_t queued_bytes_ = 0;                 // guarded by mu_
  bool busy_ = false;                       // guarded by mu_: a block is being written
  bool quit_ = false;                       // guarded by mu_
  bool drain_ = false;                      // guarded by mu_: a flush waits
  std::string error_;                       // guarded by mu_
  std::thread thread_;
};

// The media of an E01 image, read in order.
class dd_ewf_reader {
 public:
  dd_ewf_reader();
  ~dd_ewf_reader();
  dd_ewf_reader(const dd_ewf_reader&) = delete;
  dd_ewf_reader& operator=(const dd_ewf_reader&) = delete;

  // Opens every segment of the set whose first segment is path. false with
  // *error.
  [[nodiscard]] bool open(const std::string& path, std::string* error);
  int64_t media_size() const { return size_; }
  // Up to n bytes of media from the position on; 0 at the end, -1 with
  // *error.
  long read(uint8_t* buf, size_t n, std::string* error);

 private:
  struct impl;
  std::unique_ptr<impl> h_;
  int64_t size_ = 0;
};
