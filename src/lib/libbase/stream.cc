// The generic stream: creation by URL kind, state, the stream's own offset,
// positioning with its fallbacks, and the control codes every type shares.
#include "stream.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "stream_types.h"
#include "tb_url.h"

namespace {

bool is_live(const stream_s* s) {
  int st = s->state.load();
  return st == STREAM_STATE_OPENED || st == STREAM_STATE_KILLING;
}

// A stream already open counts as opened; one that is not closed fails.
bool stream_open_state(stream_s* s) {
  int st = s->state.load();
  if (st == STREAM_STATE_OPENED) return true;
  if (st != STREAM_STATE_CLOSED) {
    errno = EBUSY;
    return false;
  }
  s->offset = 0;
  s->error = 0;
  if (!s->open()) {
    s->error = errno;
    return false;
  }
  int expected = STREAM_STATE_CLOSED;
  if (!s->state.compare_exchange_strong(expected, STREAM_STATE_OPENED)) {
    int err = errno;
    s->close();
    errno = err;
    return false;
  }
  return true;
}

bool is_closed(const stream_s* s) { return s->state.load() == STREAM_STATE_CLOSED; }

}  // namespace

stream_ref_t stream_open(const char* url, int mode, long timeout_ms) {
  if (!url) {
    errno = EINVAL;
    return nullptr;
  }
  int kind = tb_url_protocol_probe(url);
  stream_s* s = nullptr;
  switch (kind) {
    case TB_URL_PROTOCOL_FILE:
    case TB_URL_PROTOCOL_KRP:
      s = stream_new_file();
      break;
    case TB_URL_PROTOCOL_SOCK:
      s = stream_new_sock();
      break;
    case TB_URL_PROTOCOL_HTTP:
      s = stream_new_http();
      break;
    case TB_URL_PROTOCOL_DATA:
      s = stream_new_data();
      break;
    default:
      errno = EPROTONOSUPPORT;
      return nullptr;
  }
  if (!s) {
    errno = ENOMEM;
    return nullptr;
  }
  bool ok;
  if (kind == TB_URL_PROTOCOL_FILE || kind == TB_URL_PROTOCOL_KRP) {
    stream_ctrl(s, STREAM_CTRL_NO_CACHE);
    ok = stream_ctrl(s, STREAM_CTRL_SET_URL, url);
    if (ok && mode) ok = stream_ctrl(s, STREAM_CTRL_SET_MODE, mode);
  } else {
    ok = stream_ctrl(s, STREAM_CTRL_SET_URL, url);
  }
  if (ok && (kind == TB_URL_PROTOCOL_SOCK || kind == TB_URL_PROTOCOL_KRP))
    ok = stream_ctrl(s, STREAM_CTRL_SET_TIMEOUT, timeout_ms);
  if (ok) ok = stream_open_state(s);
  if (!ok) {
    int err = errno;
    delete s;
    errno = err;
    return nullptr;
  }
  return s;
}

int stream_close(stream_ref_t s) {
  if (!s) return 0;
  int err = errno;
  if (is_live(s)) {
    s->close();
    s->state.store(STREAM_STATE_CLOSED);
    s->offset = 0;
  }
  delete s;
  errno = err;
  return 1;
}

long stream_read(stream_ref_t s, void* buf, size_t n) {
  if (!s) return -1;
  if (!n) return 0;
  if (!buf || !is_live(s)) return -1;
  long r = s->read(buf, n);
  if (r < 0) {
    s->error = errno;
    return -1;
  }
  s->offset += r;
  return r;
}

long stream_write(stream_ref_t s, const void* buf, size_t n) {
  if (!s) return -1;
  if (!n) return 0;
  if (!buf || !is_live(s)) return -1;
  long r = s->write(buf, n);
  if (r < 0) {
    s->error = errno;
    return -1;
  }
  s->offset += r;
  return r;
}

int stream_seek(stream_ref_t s, int64_t target) {
  if (!s || s->state.load() != STREAM_STATE_OPENED || target < 0) return 0;
  int64_t size = stream_size(s);
  if (size >= 0 && target > size) target = size;
  if (target == s->offset) return 1;
  if (s->seek(target)) {
    s->offset = target;
    return 1;
  }
  if (!s->may_read_forward()) return 0;
  // No seek, or it failed: a stream that only goes forward is read up to
  // the target.
  if (target > s->offset) {
    char buf[8192];
    while (s->offset < target) {
      int64_t left = target - s->offset;
      size_t n = left < static_cast<int64_t>(sizeof buf) ? static_cast<size_t>(left) : sizeof buf;
      if (stream_read(s, buf, n) <= 0) break;
    }
  }
  return s->offset == target;
}

int64_t stream_size(stream_ref_t s) {
  int64_t size = -1;
  if (!stream_ctrl(s, STREAM_CTRL_GET_SIZE, &size)) return -1;
  return size;
}

int64_t stream_offset(stream_ref_t s) { return s ? s->offset : -1; }

int stream_ctrl(stream_ref_t s, size_t code, ...) {
  if (!s) return 0;
  stream_arg arg;
  va_list ap;
  va_start(ap, code);
  switch (code) {
    case STREAM_CTRL_GET_TIMEOUT:
    case STREAM_CTRL_GET_SIZE:
    case STREAM_CTRL_GET_OFFSET:
    case STREAM_CTRL_SET_URL:
    case STREAM_CTRL_GET_MODE:
    case STREAM_CTRL_BORROWED:
    case STREAM_CTRL_TRUNCATE:
    case STREAM_CTRL_IOERR:
    case STREAM_CTRL_DEVINFO:
    case STREAM_CTRL_PEER_SHA256:
    case STREAM_CTRL_READ_DIRECT:
    case STREAM_CTRL_READ_PIECES:
    case STREAM_CTRL_LAST_ERROR:
    case STREAM_CTRL_WRITEBACK:
      arg.ptr = va_arg(ap, void*);
      break;
    case STREAM_CTRL_SET_TIMEOUT:
      arg.num = va_arg(ap, long);
      break;
    case STREAM_CTRL_SET_MODE:
      arg.num = va_arg(ap, int);
      break;
    default:
      break;
  }
  va_end(ap);

  switch (code) {
    case STREAM_CTRL_GET_TIMEOUT:
      if (!arg.ptr) return 0;
      *static_cast<long*>(arg.ptr) = s->timeout;
      return 1;
    case STREAM_CTRL_GET_OFFSET:
      if (!arg.ptr) return 0;
      *static_cast<int64_t*>(arg.ptr) = s->offset;
      return 1;
    case STREAM_CTRL_SET_URL:
      if (!arg.ptr || !is_closed(s)) return 0;
      if (!tb_url_text_set(&s->url, static_cast<const char*>(arg.ptr))) {
        errno = EINVAL;
        return 0;
      }
      return 1;
    case STREAM_CTRL_SET_TIMEOUT:
      if (!is_closed(s)) return 0;
      s->timeout = arg.num ? arg.num : 10000;
      return 1;
    case STREAM_CTRL_NO_CACHE:
      return 1;  // no stream type here keeps a cache
    default:
      return s->ctrl(code, arg);
  }
}

long stream_wait(stream_ref_t s, size_t events, long timeout_ms) {
  if (!s || !is_live(s)) return -1;
  return s->wait(events, timeout_ms);
}

long stream_timeout(stream_ref_t s) { return s ? s->timeout : -1; }

int stream_type(stream_ref_t s) { return s ? s->type : STREAM_TYPE_NONE; }

int stream_sync(stream_ref_t s, int closing) {
  if (!s || !is_live(s)) return 0;
  return s->sync(closing != 0) ? 1 : 0;
}
