// Data streams (data://text): the text of the URL as an in-memory file that
// can be read, overwritten and extended.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "stream_types.h"

namespace {

struct data_stream final : stream_s {
  data_stream() : stream_s(STREAM_TYPE_DATA) {}

  std::string data;

  bool open() override {
    data = url.cache;  // the parser keeps a data URL's text there
    return true;
  }

  bool close() override {
    data.clear();
    return true;
  }

  long read(void* buf, size_t n) override {
    const size_t at = static_cast<size_t>(offset);
    if (at >= data.size()) return 0;
    size_t k = std::min(n, data.size() - at);
    std::memcpy(buf, data.data() + at, k);
    return static_cast<long>(k);
  }

  long write(const void* buf, size_t n) override {
    const size_t at = static_cast<size_t>(offset);
    if (data.size() < at + n) data.resize(at + n);
    std::memcpy(data.data() + at, buf, n);
    return static_cast<long>(n);
  }

  bool seek(int64_t target) override {
    return target >= 0 && static_cast<uint64_t>(target) <= data.size();
  }

  int ctrl(size_t code, stream_arg arg) override {
    if (code == STREAM_CTRL_GET_SIZE && arg.ptr) {
      *static_cast<int64_t*>(arg.ptr) = static_cast<int64_t>(data.size());
      return 1;
    }
    return 0;
  }

  long wait(size_t events, long) override {
    long ready = static_cast<long>(events & STREAM_WAIT_WRITE);
    if ((events & STREAM_WAIT_READ) && static_cast<uint64_t>(offset) < data.size())
      ready |= STREAM_WAIT_READ;
    return ready;
  }
};

}  // namespace

stream_s* stream_new_data() { return new (std::nothrow) data_stream(); }
