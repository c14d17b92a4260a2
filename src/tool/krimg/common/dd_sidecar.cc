#include "dd_sidecar.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "os/os_human.h"

namespace {

constexpr char kMagic[] = "krii-pieces 1";
constexpr int64_t kMaxSidecar = int64_t{64} << 20;  // a million records at most

std::string errno_text(int code) {
  char text[200];
  os_error_text(code, text, sizeof text);
  return text;
}

bool parse_record(std::string_view line, dd_piece_record* r) {
  const size_t a = line.find(' ');
  if (a == std::string_view::npos) return false;
  const size_t b = line.find(' ', a + 1);
  if (b == std::string_view::npos) return false;
  std::string_view end = line.substr(0, a);
  auto [p, ec] = std::from_chars(end.data(), end.data() + end.size(), r->end);
  if (ec != std::errc() || p != end.data() + end.size() || r->end <= 0) return false;
  return dd_unhex(line.substr(a + 1, b - a - 1), r->d.md5) &&
         dd_unhex(line.substr(b + 1), r->d.sha256);
}

bool write_all(tb_file_ref_t f, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    long w = tb_file_write(f, text.data() + done, text.size() - done);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::string dd_sidecar_path(const std::string& image) { return image + ".krii"; }

std::string dd_sidecar_header() {
  return std::string(kMagic) + "\n# <end> <md5> <sha256> of the image's bytes 0 .. end-1\n";
}

std::string dd_sidecar_line(const dd_piece_record& r) {
  return std::to_string(r.end) + " " + dd_hex(r.d.md5) + " " + dd_hex(r.d.sha256) + "\n";
}

dd_sidecar_data dd_sidecar_parse(std::string_view text) {
  dd_sidecar_data out;
  size_t pos = 0;
  int line_no = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) break;  // an unfinished append
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++line_no;
    if (line_no == 1) {
      if (line != kMagic) {
        out.error = "not a piece record (first line)";
        break;
      }
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    dd_piece_record r;
    if (!parse_record(line, &r)) {
      out.error = "line " + std::to_string(line_no) + " is not a record";
      break;
    }
    if (!out.records.empty() && r.end <= out.records.back().end) {
      out.error = "line " + std::to_string(line_no) + " does not follow the record before it";
      break;
    }
    out.records.push_back(r);
  }
  if (line_no == 0 && out.error.empty()) out.error = "not a piece record (empty)";
  if (!out.error.empty()) out.records.clear();
  return out;
}

bool dd_sidecar_load(const std::string& image, dd_sidecar_data* out, std::string* error) {
  const std::string path = dd_sidecar_path(image);
  if (tb_file_local_kind(path.c_str()) < 0) return false;
  tb_file_ref_t f = tb_file_init(path.c_str(), FILE_MODE_READ);
  if (!f) {
    *error = "[" + errno_text(errno) + "]";
    return false;
  }
  std::string text;
  int64_t size = tb_file_size(f);
  if (size < 0 || size > kMaxSidecar) {
    tb_file_close(f);
    *error = "[size " + std::to_string(size) + "]";
    return false;
  }
  text.resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < text.size()) {
    long r = tb_file_read(f, text.data() + done, text.size() - done);
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  tb_file_close(f);
  text.resize(done);
  *out = dd_sidecar_parse(text);
  return true;
}

dd_sidecar_writer::dd_sidecar_writer(std::string image, dd_hashing* hashing)
    : image_(std::move(image)), hashing_(hashing) {}

dd_sidecar_writer::~dd_sidecar_writer() {
  std::string ignored;
  finish(0, false, &ignored);
}

bool dd_sidecar_writer::start(bool fresh, int64_t recorded, int64_t written, std::string* error) {
  const std::string path = dd_sidecar_path(image_);
  image_file_ = tb_file_init(image_.c_str(), FILE_MODE_WRITE);
  if (!image_file_) {
    *error = "open [" + image_ + "] error [" + errno_text(errno) + "]";
    return false;
  }
  if (fresh) {
    // Written whole beside it and put in place in one step: an old record
    // stays until the new one is complete.
    const std::string tmp = path + ".tmp";
    tb_file_ref_t t = tb_file_init(tmp.c_str(), FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_TRUNCATE);
    bool ok = t && write_all(t, dd_sidecar_header()) && tb_file_sync(t);
    int err = errno;
    if (t) tb_file_close(t);
    if (!ok || tb_file_rename(tmp.c_str(), path.c_str()) != 0) {
      *error = "write [" + path + "] error [" + errno_text(ok ? errno : err) + "]";
      return false;
    }
    recorded = 0;
  }
  side_ = tb_file_init(path.c_str(), FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_APPEND);
  if (!side_) {
    *error = "open [" + path + "] error [" + errno_text(errno) + "]";
    return false;
  }
  recorded_ = recorded;
  written_ = written;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    *error = "thread [" + path + "] error";
    return false;
  }
  return true;
}

void dd_sidecar_writer::written(int64_t end) {
  const int64_t piece = hashing_->piece();
  bool crossed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    crossed = end / piece != written_ / piece;
    written_ = end;
  }
  if (crossed) cv_.notify_all();
}

void dd_sidecar_writer::run() {
  const int64_t piece = hashing_->piece();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return quit_ || written_ / piece > recorded_ / piece; });
    if (quit_) return;
    const int64_t upto = written_ / piece * piece;
    lock.unlock();
    // Everything written before the sync starts is on the medium after it.
    std::string error;
    bool ok = tb_file_sync(image_file_) != 0;
    if (!ok) error = "sync [" + image_ + "] error [" + errno_text(errno) + "]";
    for (int64_t end = (recorded_ / piece + 1) * piece; ok && end <= upto; end += piece)
      ok = append(end, &error);
    if (ok && !tb_file_sync(side_)) {
      ok = false;
      error = "sync [" + dd_sidecar_path(image_) + "] error [" + errno_text(errno) + "]";
    }
    lock.lock();
    if (!ok) {
      // Nothing more is recorded in this run; the job itself goes on and the
      // report tells where the record ends.
      failure_ = error;
      return;
    }
  }
}

bool dd_sidecar_writer::append(int64_t end, std::string* error) {
  dd_piece_record r;
  r.end = end;
  // The end of a job is no mark: everything hashed is then the prefix.
  bool have = hashing_->mark(end, &r.d, true);
  if (!have && hashing_->hashed() == end) {
    r.d = hashing_->digests();
    have = true;
  }
  if (!have) {
    *error = "digest [" + std::to_string(end) + "] missing error";
    return false;
  }
  if (!write_all(side_, dd_sidecar_line(r))) {
    *error = "write [" + dd_sidecar_path(image_) + "] error [" + errno_text(errno) + "]";
    return false;
  }
  recorded_ = end;
  return true;
}

bool dd_sidecar_writer::finish(int64_t end, bool image_synced, std::string* error) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  bool ok = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!failure_.empty()) {
      *error = failure_;
      ok = false;
    }
  }
  if (ok && side_ && image_synced) {
    const int64_t piece = hashing_->piece();
    // The boundaries the thread had no time for, then the end itself.
    for (int64_t b = (recorded_ / piece + 1) * piece; ok && b <= end; b += piece) ok = append(b, error);
    if (ok && end > recorded_) ok = append(end, error);
    if (ok && !tb_file_sync(side_)) {
      ok = false;
      *error = "sync [" + dd_sidecar_path(image_) + "] error [" + errno_text(errno) + "]";
    }
  }
  if (side_) tb_file_close(side_);
  if (image_file_) tb_file_close(image_file_);
  side_ = image_file_ = nullptr;
  return ok;
}
