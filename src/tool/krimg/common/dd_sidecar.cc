#include "dd_sidecar.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "os/os_human.h"

namespace {

constexpr char kMagic1[] = "krii-pieces 1";
constexpr char kMagic2[] = "krii-pieces 2";
constexpr int64_t kMaxSidecar = int64_t{64} << 20;  // a million records at most

std::string errno_text(int code) {
  char text[200];
  os_error_text(code, text, sizeof text);
  return text;
}

bool parse_int(std::string_view text, int64_t* out) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && p == text.data() + text.size() && !text.empty();
}

// "<word> <a> [<b>]" with non-negative numbers; false for anything else.
bool parse_numbers(std::string_view rest, int64_t* a, int64_t* b) {
  const size_t sp = rest.find(' ');
  if (!b) return sp == std::string_view::npos && parse_int(rest, a) && *a >= 0;
  if (sp == std::string_view::npos) return false;
  return parse_int(rest.substr(0, sp), a) && parse_int(rest.substr(sp + 1), b) && *a >= 0 && *b > *a;
}

bool parse_record(std::string_view line, dd_piece_record* r) {
  const size_t a = line.find(' ');
  if (a == std::string_view::npos) return false;
  const size_t b = line.find(' ', a + 1);
  if (b == std::string_view::npos) return false;
  if (!parse_int(line.substr(0, a), &r->end) || r->end <= 0) return false;
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

void dd_ranges_add(std::vector<dd_range>* ranges, dd_range r) {
  if (r.end <= r.start) return;
  auto& v = *ranges;
  // Most runs come in order, after the last one.
  if (v.empty() || v.back().end < r.start) {
    v.push_back(r);
    return;
  }
  v.push_back(r);
  std::sort(v.begin(), v.end(), [](const dd_range& x, const dd_range& y) { return x.start < y.start; });
  std::vector<dd_range> merged;
  for (const dd_range& x : v) {
    if (!merged.empty() && x.start <= merged.back().end)
      merged.back().end = std::max(merged.back().end, x.end);
    else
      merged.push_back(x);
  }
  v = std::move(merged);
}

std::vector<dd_range> dd_ranges_below(const std::vector<dd_range>& ranges, int64_t end) {
  std::vector<dd_range> out;
  for (const dd_range& r : ranges) {
    if (r.start >= end) break;
    out.push_back({r.start, std::min(r.end, end)});
  }
  return out;
}

int64_t dd_ranges_bytes(const std::vector<dd_range>& ranges) {
  int64_t n = 0;
  for (const dd_range& r : ranges) n += r.end - r.start;
  return n;
}

std::string dd_sidecar_path(const std::string& image) { return image + ".krii"; }

std::string dd_sidecar_header() {
  return std::string(kMagic2) +
         "\n# <end> <md5> <sha256>: the digests of the image's bytes 0 .. end-1;"
         " unreadable <from> <to>: zeros the source could not give;"
         " source <bytes>: the source's size; resume <offset>: written again from offset on\n";
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
    const std::string bad = "line " + std::to_string(line_no) + " is not a record";
    if (line_no == 1) {
      out.version = line == kMagic2 ? 2 : line == kMagic1 ? 1 : 0;
      if (out.version == 0) {
        out.error = "not a piece record (first line)";
        break;
      }
      out.complete_bytes = static_cast<int64_t>(pos);
      continue;
    }
    out.complete_bytes = static_cast<int64_t>(pos);
    if (line.empty() || line[0] == '#') continue;
    int64_t a = 0, b = 0;
    if (line.starts_with("unreadable ")) {
      if (!parse_numbers(line.substr(11), &a, &b)) {
        out.error = bad;
        break;
      }
      dd_ranges_add(&out.unreadable, {a, b});
      continue;
    }
    if (line.starts_with("source ")) {
      if (!parse_numbers(line.substr(7), &a, nullptr)) {
        out.error = bad;
        break;
      }
      if (out.source_size == 0) out.source_size = a;
      continue;
    }
    if (line.starts_with("resume ")) {
      // A record beyond the offset would vouch for bytes written again.
      if (!parse_numbers(line.substr(7), &a, nullptr) ||
          (!out.records.empty() && out.records.back().end > a)) {
        out.error = bad;
        break;
      }
      out.unreadable = dd_ranges_below(out.unreadable, a);
      continue;
    }
    dd_piece_record r;
    if (!parse_record(line, &r)) {
      out.error = bad;
      break;
    }
    if (!out.records.empty() && r.end <= out.records.back().end) {
      out.error = "line " + std::to_string(line_no) + " does not follow the record before it";
      break;
    }
    out.records.push_back(r);
  }
  if (line_no == 0 && out.error.empty()) out.error = "not a piece record (empty)";
  if (!out.error.empty()) {
    out.records.clear();
    out.unreadable.clear();
  }
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
    if (r < 0) {
      const int err = errno;
      tb_file_close(f);
      *error = "read [" + path + "] error [" + errno_text(err) + "]";
      return false;
    }
    if (r == 0) break;
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

bool dd_sidecar_writer::start(const start_args& a, std::string* error) {
  const std::string path = dd_sidecar_path(image_);
  image_file_ = tb_file_init(image_.c_str(), FILE_MODE_WRITE);
  if (!image_file_) {
    *error = "open [" + image_ + "] error [" + errno_text(errno) + "]";
    return false;
  }
  int64_t recorded = a.recorded;
  if (a.fresh) {
    // Written whole beside it and put in place in one step: an old record
    // stays until the new one is complete.
    const std::string tmp = path + ".tmp";
    std::string head = dd_sidecar_header();
    if (a.source_size > 0) head += "source " + std::to_string(a.source_size) + "\n";
    tb_file_ref_t t = tb_file_init(tmp.c_str(), FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_TRUNCATE);
    bool ok = t && write_all(t, head) && tb_file_sync(t);
    int err = errno;
    if (t) tb_file_close(t);
    if (!ok || tb_file_rename(tmp.c_str(), path.c_str()) != 0) {
      if (ok) err = errno;
      std::remove(tmp.c_str());
      *error = "write [" + path + "] error [" + errno_text(err) + "]";
      return false;
    }
    recorded = 0;
  }
  side_ = tb_file_init(path.c_str(), FILE_MODE_WRITE);
  if (!side_) {
    *error = "open [" + path + "] error [" + errno_text(errno) + "]";
    return false;
  }
  if (a.fresh) {
    if (tb_file_seek(side_, 0, SEEK_END) < 0) {
      *error = "lseek [" + path + "] error [" + errno_text(errno) + "]";
      return false;
    }
  } else {
    // A line torn by a crash is cut off: appended to, it would make every
    // later reading of the record fail.
    if (!tb_file_truncate(side_, a.keep_bytes) || tb_file_seek(side_, a.keep_bytes, SEEK_SET) != a.keep_bytes) {
      *error = "truncate [" + path + "] error [" + errno_text(errno) + "]";
      return false;
    }
    if (!write_line("resume " + std::to_string(a.written) + "\n", error) || !sync_side(error))
      return false;
  }
  recorded_ = recorded;
  written_ = a.written;
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

bool dd_sidecar_writer::write_line(const std::string& line, std::string* error) {
  std::lock_guard<std::mutex> lock(file_mu_);
  if (write_all(side_, line)) return true;
  *error = "write [" + dd_sidecar_path(image_) + "] error [" + errno_text(errno) + "]";
  return false;
}

bool dd_sidecar_writer::sync_side(std::string* error) {
  std::lock_guard<std::mutex> lock(file_mu_);
  if (tb_file_sync(side_)) return true;
  *error = "sync [" + dd_sidecar_path(image_) + "] error [" + errno_text(errno) + "]";
  return false;
}

void dd_sidecar_writer::fail(const std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failure_.empty()) failure_ = error;
}

bool dd_sidecar_writer::unreadable(const std::vector<dd_range>& runs, std::string* error) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!failure_.empty()) {
      *error = failure_;
      return false;
    }
  }
  std::string text;
  for (const dd_range& r : runs)
    text += "unreadable " + std::to_string(r.start) + " " + std::to_string(r.end) + "\n";
  if (write_line(text, error) && sync_side(error)) return true;
  fail(*error);
  return false;
}

void dd_sidecar_writer::run() {
  const int64_t piece = hashing_->piece();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return quit_ || !failure_.empty() || written_ / piece > recorded_ / piece; });
    if (quit_ || !failure_.empty()) return;
    const int64_t upto = written_ / piece * piece;
    lock.unlock();
    // Everything written before the sync starts is on the medium after it.
    std::string error;
    bool ok = tb_file_sync(image_file_) != 0;
    if (!ok) error = "sync [" + image_ + "] error [" + errno_text(errno) + "]";
    for (int64_t end = (recorded_ / piece + 1) * piece; ok && end <= upto; end += piece)
      ok = append(end, &error);
    if (ok) ok = sync_side(&error);
    lock.lock();
    if (!ok) {
      // Nothing more is recorded in this run; the job itself goes on and the
      // report tells where the record ends.
      if (failure_.empty()) failure_ = error;
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
  if (!write_line(dd_sidecar_line(r), error)) return false;
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
    if (ok) ok = sync_side(error);
  }
  if (side_) tb_file_close(side_);
  if (image_file_) tb_file_close(image_file_);
  side_ = image_file_ = nullptr;
  return ok;
}
