// Re-hashing an image from its file: before a resume continues it, and when
// the examiner verifies a finished image. Only the image is read: the source
// is a live device whose contents move on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "dd_hash.h"
#include "dd_sidecar.h"

// What re-hashing the image found, compared with its sidecar.
struct dd_image_check {
  int64_t size = 0;           // the image file's bytes
  int64_t hashed = 0;         // bytes 0 .. hashed-1 went through the hashes
  bool have_record = false;   // a sidecar was there and understood
  std::string record_error;   // why a sidecar that is there was not understood
  int64_t verified = 0;       // bytes 0 .. verified-1 match their records
  int bad_piece = 0;          // the piece (1-based) where the first record that differs begins, or 0
  int64_t bad_from = 0, bad_to = 0;  // the bytes of that record
  dd_digests whole;           // of the bytes hashed
  int records = 0;            // records compared
  dd_sidecar_data side;       // the sidecar as read
  bool differs() const { return bad_piece != 0; }
};

// Hooks of a long re-hash: stop() is asked between blocks; progress gets
// bytes done and the total, at every block.
struct dd_check_hooks {
  std::function<bool()> stop;
  std::function<void(int64_t, int64_t)> progress;
};

enum { DD_CHECK_OK = 0, DD_CHECK_READ_ERROR = 1, DD_CHECK_STOPPED = 2 };

// Reads the image from byte 0 through hashing (fresh, or with its threads
// running over the ring that starts at *buf, which then names the ring's
// current buffer; block is the ring's buffer size) and compares the prefix
// digests with the sidecar's records. With prefix_only, reading ends where
// the last record ends (when the image reaches it): what lies beyond is for
// the caller to read again from the source. DD_CHECK_*; *error on a read
// error.
int dd_check_image(const std::string& image, dd_hashing& hashing, uint8_t** buf, int32_t block,
                   dd_image_check* out, std::string* error, const dd_check_hooks& hooks = {},
                   bool prefix_only = false);

enum { DD_VERIFY_SAME = 0, DD_VERIFY_DIFFERS = 1, DD_VERIFY_NOTHING = 3 };

// The outcome of a verification, for the front ends.
struct dd_verify_result {
  int code = DD_VERIFY_NOTHING;
  int64_t size = 0;
  dd_digests digests;
  bool hashed = false;  // digests hold the image's
};

// krimg verify: re-hashes image and compares with the whole-image hashes of
// its report and with the records of its sidecar; logs the digests, what
// the record says of unreadable bytes and the outcome, and adds the
// verification to the report. DD_VERIFY_SAME when it matches and something
// was compared, DD_VERIFY_DIFFERS when a hash or a piece differs,
// DD_VERIFY_NOTHING when there was nothing to compare with, the image could
// not be read or a job is writing it. program names the caller in the
// report ("krimg", "krii").
int dd_verify_image(const std::string& image, const dd_check_hooks& hooks = {},
                    const char* program = "krimg", dd_verify_result* result = nullptr);

// What the record beside an image says of it, without reading the image:
// for the front ends' question before an image is continued or overwritten.
struct dd_image_facts {
  bool exists = false;
  int64_t size = 0;        // bytes (a disk: its length)
  bool record = false;     // a piece record that can be read
  int64_t recorded = 0;    // the bytes its records cover (at most size)
  bool report = false;     // a report that can be read
  std::string started;     // when the image was begun (its first writing run)
  std::string source;      // the source of its last writing run, as given
  bool complete = false;   // the report's summary: the whole source is in it
  std::string md5;         // ... and its MD5 then
};
dd_image_facts dd_image_facts_of(const std::string& image);
