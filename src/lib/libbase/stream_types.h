// Private to libbase: the stream object and its types. stream.cc holds the
// generic part (state, offset, time-out, URL, the control codes every type
// shares); each stream_<type>.cc adds one type.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "stream.h"
#include "tb_url.h"

enum {
  STREAM_STATE_CLOSED = 0,
  STREAM_STATE_OPENED = 1,
  STREAM_STATE_KILLING = 2,
  STREAM_STATE_KILLED = 3,
};

// The one argument of a control code, taken from the variadic list by the
// code's documented type.
struct stream_arg {
  void* ptr = nullptr;
  long num = 0;
};

struct stream_s {
  explicit stream_s(int stream_type) : type(stream_type) { tb_url_init(&url); }
  virtual ~stream_s() { tb_url_exit(&url); }
  stream_s(const stream_s&) = delete;
  stream_s& operator=(const stream_s&) = delete;

  const int type;
  std::atomic<int> state{STREAM_STATE_CLOSED};
  tb_url_t url;
  long timeout = 10000;
  int error = 0;        // errno of the last failure
  int64_t offset = 0;   // counted here, never asked of the file

  // The type's operations. open and close run only in the right state;
  // failures leave errno set.
  virtual bool open() = 0;
  virtual bool close() = 0;
  virtual long read(void* buf, size_t n) = 0;
  virtual long write(const void* buf, size_t n) = 0;
  virtual bool seek(int64_t target) { return false; }  // false: read forward instead
  // Whether a failed seek may be made good by reading forward: not once the
  // stream landed somewhere else than asked (its position is not what the
  // count says, and reading on would give other bytes for these).
  virtual bool may_read_forward() const { return true; }
  virtual bool sync(bool closing) { return true; }
  // Codes of the type (GET_SIZE and the file codes); 1 or 0.
  virtual int ctrl(size_t code, stream_arg arg) { return 0; }
  // Ready events, 0 at time-out or end, negative on error.
  virtual long wait(size_t events, long timeout_ms) = 0;
};

stream_s* stream_new_file();
stream_s* stream_new_sock();
stream_s* stream_new_http();
stream_s* stream_new_data();
