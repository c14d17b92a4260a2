// File streams: local paths, file:// and krp:// URLs, all through the file
// API with no cache in between.
#include <cerrno>
#include <new>

#include "stream_types.h"
#include "tb_file.h"

namespace {

struct file_stream final : stream_s {
  file_stream() : stream_s(STREAM_TYPE_FILE) {}
  ~file_stream() override { release(); }

  tb_file_ref_t file = nullptr;
  int mode = FILE_MODE_READ;
  bool borrowed = false;  // the handle is the caller's: never written, never closed
  bool misplaced = false;  // a seek landed elsewhere: no later seek is believed

  bool release() {
    bool ok = true;
    if (file && !borrowed) ok = tb_file_close(file) != 0;
    file = nullptr;
    borrowed = false;
    misplaced = false;
    return ok;
  }

  bool open() override {
    if (file) return true;  // a borrowed handle
    const char* text = tb_url_text(&url);
    if (!text) {
      errno = EINVAL;
      return false;
    }
    file = tb_file_init(text, mode);
    return file != nullptr;
  }

  bool close() override { return release(); }

  long read(void* buf, size_t n) override { return file ? tb_file_read(file, buf, n) : -1; }

  long write(const void* buf, size_t n) override {
    if (borrowed) {
      errno = EBADF;
      return -1;
    }
    return file ? tb_file_write(file, buf, n) : -1;
  }

  bool seek(int64_t target) override {
    if (!file || misplaced) return false;
    const int64_t at = tb_file_seek(file, target, 0);
    if (at >= 0 && at != target) misplaced = true;
    return at == target;
  }
  bool may_read_forward() const override { return !misplaced; }

  bool sync(bool) override { return file && tb_file_sync(file) != 0; }

  int ctrl(size_t code, stream_arg arg) override {
    switch (code) {
      case STREAM_CTRL_GET_SIZE: {
        if (!arg.ptr) return 0;
        int64_t size = file ? tb_file_size(file) : 0;
        *static_cast<int64_t*>(arg.ptr) = size;
        return size >= 0;
      }
      case STREAM_CTRL_GET_MODE:
        if (!arg.ptr) return 0;
        *static_cast<int*>(arg.ptr) = mode;
        return 1;
      case STREAM_CTRL_SET_MODE:
        if (state.load() != STREAM_STATE_CLOSED) return 0;
        mode = static_cast<int>(arg.num);
        return 1;
      case STREAM_CTRL_BORROWED: {
        if (!arg.ptr) return 0;
        release();
        file = static_cast<tb_file_ref_t>(arg.ptr);
        borrowed = true;
        int64_t at = tb_file_offset(file);
        offset = at > 0 ? at : 0;
        return 1;
      }
      case STREAM_CTRL_TRUNCATE: {
        if (!arg.ptr || !file || borrowed) return 0;
        if (!tb_file_truncate(file, *static_cast<int64_t*>(arg.ptr))) return 0;
        // The file now stands at the new length; the stream's count must
        // follow, or a later seek to the old count would be skipped as a
        // no-op and the next write would land at the wrong place.
        int64_t at = tb_file_offset(file);
        if (at >= 0) offset = at;
        return 1;
      }
      case STREAM_CTRL_PEER_SHA256:
        if (!arg.ptr || !file) return 0;
        return tb_file_ctrl(file, TB_FILE_CTRL_PEER_SHA256, arg.ptr, 65) != 0;
      case STREAM_CTRL_IOERR:
        if (!arg.ptr || !file) return 0;
        return tb_file_ctrl(file, TB_FILE_CTRL_IOERR, arg.ptr, sizeof(int32_t)) != 0;
      case STREAM_CTRL_LAST_ERROR:
        if (!arg.ptr || !file) return 0;
        return tb_file_ctrl(file, TB_FILE_CTRL_LAST_ERROR, arg.ptr, STREAM_LAST_ERROR_SIZE) != 0;
      case STREAM_CTRL_WRITEBACK:
        if (!arg.ptr || !file || borrowed) return 0;
        return tb_file_ctrl(file, TB_FILE_CTRL_WRITEBACK, arg.ptr, sizeof(tb_file_range)) != 0;
      case STREAM_CTRL_DEVINFO:
        if (!arg.ptr || !file) return 0;
        return tb_file_ctrl(file, TB_FILE_CTRL_DEVINFO, arg.ptr, sizeof(tb_file_devinfo)) != 0;
      case STREAM_CTRL_READ_DIRECT:
        return arg.ptr && file && read_direct(static_cast<stream_direct_read*>(arg.ptr));
      case STREAM_CTRL_READ_PIECES:
        return arg.ptr && file && read_pieces(static_cast<tb_file_pieces*>(arg.ptr));
      default:
        return 0;
    }
  }

  // The file keeps its own position in step with the count, as after
  // read(); when it cannot, the read counts as failed so that no later read
  // takes bytes from the wrong place.
  bool read_direct(stream_direct_read* d) {
    const long r = tb_file_read_direct(file, d->data, d->size, offset);
    if (r == TB_FILE_NO_DIRECT) return false;
    d->result = r;
    if (r > 0 && tb_file_seek(file, offset + r, 0) != offset + r) d->result = -1;
    if (d->result < 0)
      error = errno;
    else
      offset += r;
    return true;
  }

  bool read_pieces(tb_file_pieces* p) {
    p->offset = offset;
    if (!tb_file_ctrl(file, TB_FILE_CTRL_READ_PIECES, p, sizeof *p)) return false;
    if (p->result < 0)
      error = errno;
    else
      offset = p->position;
    return true;
  }

  // Ready unless reading at the end; writing a file never has to wait.
  long wait(size_t events, long) override {
    if (!file) return -1;
    int64_t size = tb_file_size(file);
    if (size < 0) return -1;
    long ready = static_cast<long>(events & STREAM_WAIT_WRITE);
    if ((events & STREAM_WAIT_READ) && offset < size) ready |= STREAM_WAIT_READ;
    return ready;
  }
};

}  // namespace

stream_s* stream_new_file() { return new (std::nothrow) file_stream(); }
