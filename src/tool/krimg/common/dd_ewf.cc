// E01 through libewf. The blocks go to a writer thread of their own through
// a bounded queue; the SHA-1 the container stores is taken there (MD5 and
// SHA-256 are the engine's, on their own threads already). The writer cuts
// the media into chunks and has each batch of them packed (compressed, or
// given its checksum) side by side by itself and a few helper threads
// through libewf's prepare step, then writes the batch in order: packing
// only reads the handle's settings, which no longer change once the image
// is open, and nothing is written while a batch is packed.
#include "dd_ewf.h"

#include <libewf.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>

#include "tb_file.h"
#include "tb_init.h"

namespace {


// Up to this many bytes of media wait for the writer (over half a second of
// a 100 MB/s link), so that a slow stretch of compression does not stop the
// copy.
constexpr size_t kQueueBytes = size_t{64} << 20;
// The container's chunk: 32 KiB, whatever the sector.
constexpr int32_t kChunkBytes = 32768;

// The text of *e, which is freed (and null) after.
std::string ewf_text(libewf_error_t** e) {
  char text[512] = "";
  if (*e) {
    libewf_error_sprint(*e, text, sizeof text);
    libewf_error_free(e);
  }
  text[strcspn(text, "\r\n")] = '\0';
  return text;
}

// The file an image name spells (a file:// URL, a relative name) as the
// file layer opens it: libewf takes system paths only.
std::string system_name(const std::string& image) {
  char buf[4096];
  if (!tb_file_system_path(image.c_str(), buf, sizeof buf)) return image;
  return buf;
}

// The size of the file at system path; -1 with ec when there is none. On
// Windows std::filesystem reads a narrow name in a character set of its own,
// not the ANSI code page: the name goes to it wide there.
int64_t size_of(const std::string& path, std::error_code& ec) {
#ifdef _WIN32
  std::vector<wchar_t> wide(path.size() * 2 + 8);
  if (tb_text_to_wide(wide.data(), path.c_str(), wide.size()) < 0) {
    ec = std::make_error_code(std::errc::illegal_byte_sequence);
    return -1;
  }
  const std::filesystem::path name(wide.data());
#else
  const std::filesystem::path name(path);
#endif
  const auto size = std::filesystem::file_size(name, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

std::string base_of(const std::string& path) { return path.substr(0, path.size() - 4); }

int8_t level_of(int compress) {
  switch (compress) {
    case DD_COMPRESS_NONE: return LIBEWF_COMPRESSION_NONE;
    case DD_COMPRESS_BEST: return LIBEWF_COMPRESSION_BEST;
    default: return LIBEWF_COMPRESSION_FAST;
  }
}

// The segment names of the set at path, as libewf finds them.
std::vector<std::string> segments_of(const std::string& path) {
  std::vector<std::string> out;
  char** names = nullptr;
  int count = 0;
  libewf_error_t* e = nullptr;
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) != 1) {
    libewf_error_free(&e);
    return out;
  }
  for (int i = 0; i < count; ++i) out.emplace_back(names[i]);
  libewf_glob_free(names, count, &e);
  libewf_error_free(&e);
  return out;
}

}  // namespace

bool dd_ewf_available() { return true; }

bool dd_ewf_is_image(const std::string& image) {
  const std::string path = system_name(image);
  if (!dd_ewf_name(path)) return false;
  // A job killed before libewf wrote its first section leaves a first
  // segment too short for the signature: still an E01, never closed, not a
  // raw image of a few bytes (krimg writes no raw image under such a name).
  std::error_code ec;
  const int64_t size = size_of(path, ec);
  if (!ec && size < 8) return true;
  libewf_error_t* e = nullptr;
  const int r = libewf_check_file_signature(path.c_str(), &e);
  libewf_error_free(&e);
  return r == 1;
}

int32_t dd_ewf_sector_for(int64_t size, int32_t source_sector) {
  int32_t s = source_sector > 0 ? source_sector : 512;
  if (size <= 0) return s;
  while (s > 1 && size % s != 0) s /= 2;
  return s;
}

bool dd_ewf_compressible(int64_t size, int32_t sector) {
  const int64_t chunk = int64_t{std::max(1, kChunkBytes / sector)} * sector;
  return size <= 0 || size % chunk == 0 || size % chunk >= 8;
}

std::vector<std::string> dd_ewf_later_segments(const std::string& image) {
  const std::string path = system_name(image);
  std::vector<std::string> later;
  for (const std::string& name : segments_of(path))
    if (name != path) later.push_back(name);
  return later;
}

bool dd_ewf_remove_later_segments(const std::string& path, std::string* error) {
  for (const std::string& name : dd_ewf_later_segments(path)) {
    if (std::remove(name.c_str()) != 0) {
      *error = "remove [" + name + "] error [" + strerror(errno) + "]";
      return false;
    }
  }
  return true;
}

namespace {

// Closes (when it was opened) and frees a handle; what either says is of no use then.
void release_handle(libewf_handle_t** handle, bool opened) {
  libewf_error_t* e = nullptr;
  if (opened) libewf_handle_close(*handle, &e);
  libewf_error_free(&e);
  if (*handle) libewf_handle_free(handle, &e);
  libewf_error_free(&e);
}

// Runs job(0) ... job(n - 1) on the calling thread and its helpers, each
// index once, and returns when all have run.
class batch_pool {
 public:
  batch_pool(int helpers, std::function<void(size_t)> job) : job_(std::move(job)) {
    for (int i = 0; i < helpers; ++i) {
      try {
        threads_.emplace_back([this] { help(); });
      } catch (...) {
        break;  // fewer helpers: the caller packs more itself
      }
    }
  }
  ~batch_pool() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  batch_pool(const batch_pool&) = delete;
  batch_pool& operator=(const batch_pool&) = delete;

  void run(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    n_ = n;
    next_ = 0;
    done_ = 0;
    ++round_;
    cv_.notify_all();
    work(lock);
    done_cv_.wait(lock, [&] { return done_ == n_; });
  }

 private:
  // Takes indices until none is left; called with mu_ held.
  void work(std::unique_lock<std::mutex>& lock) {
    while (next_ < n_) {
      const size_t i = next_++;
      lock.unlock();
      job_(i);
      lock.lock();
      if (++done_ == n_) done_cv_.notify_all();
    }
  }
  void help() {
    std::unique_lock<std::mutex> lock(mu_);
    uint64_t seen = 0;
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || round_ != seen; });
      if (stop_) return;
      seen = round_;
      work(lock);
    }
  }

  const std::function<void(size_t)> job_;
  std::mutex mu_;
  std::condition_variable cv_, done_cv_;
  size_t n_ = 0, next_ = 0, done_ = 0;  // guarded by mu_
  uint64_t round_ = 0;                  // guarded by mu_
  bool stop_ = false;                   // guarded by mu_
  std::vector<std::thread> threads_;
};

// Chunks packed at a time: 2 MiB of media.
constexpr size_t kBatchChunks = 64;

// One chunk of media and what packing made of it. data has room for the
// checksum of an uncompressed chunk right behind the media, so that both
// go to the file in one write.
struct ewf_chunk {
  std::vector<uint8_t> data;
  size_t media = 0;
  std::vector<uint8_t> packed;
  size_t packed_size = 0;
  int8_t compressed = 0;
  int8_t write_checksum = 0;
  uint32_t checksum = 0;
  uint8_t checksum_bytes[4] = {};
  std::string error;
};

}  // namespace

struct dd_ewf_writer::impl {
  libewf_handle_t* handle = nullptr;
  bool opened = false;
  EVP_MD_CTX* sha1 = nullptr;
  size_t chunk_bytes = kChunkBytes;
  std::vector<ewf_chunk> batch;  // the writer thread's
  size_t batch_used = 0;         // chunks of batch filled, the last one maybe in part
  std::unique_ptr<batch_pool> pool;
  ~impl() {
    pool.reset();
    release_handle(&handle, opened);
    EVP_MD_CTX_free(sha1);
  }
  void pack(size_t i) {
    ewf_chunk& c = batch[i];
    libewf_error_t* e = nullptr;
    c.packed_size = c.packed.size();
    const ssize_t r = libewf_handle_prepare_write_chunk(handle, c.data.data(), c.media, c.packed.data(),
                                                        &c.packed_size, &c.compressed, &c.checksum,
                                                        &c.write_checksum, &e);
    if (r < 0) c.error = "pack [E01] error [" + ewf_text(&e) + "]";
    libewf_error_free(&e);
  }
  // Packs the filled chunks and writes them in order; "" or what failed.
  std::string write_batch() {
    const size_t n = batch_used;
    batch_used = 0;
    if (n == 0) return "";
    pool->run(n);
    for (size_t i = 0; i < n; ++i) {
      ewf_chunk& c = batch[i];
      const size_t media = c.media;
      c.media = 0;
      if (!c.error.empty()) return c.error;
      libewf_error_t* e = nullptr;
      const bool packed = c.compressed != 0;
      uint8_t* out = packed ? c.packed.data() : c.data.data();
      const size_t size = packed ? c.packed_size : media;
      uint8_t* sum = packed ? c.checksum_bytes : c.data.data() + media;
      const ssize_t w = libewf_handle_write_chunk(handle, out, size, media, c.compressed, sum, c.checksum,
                                                  c.write_checksum, &e);
      if (w != static_cast<ssize_t>(size)) return "write [E01] error [" + ewf_text(&e) + "]";
      libewf_error_free(&e);
    }
    return "";
  }
  // Takes len bytes of media into the batch, writing a full batch when more
  // media follows it (the last one at a flush); "" or what failed.
  std::string take(const uint8_t* p, size_t len) {
    while (len > 0) {
      if (batch_used == 0 || batch[batch_used - 1].media == chunk_bytes) {
        if (batch_used == batch.size()) {
          std::string why = write_batch();
          if (!why.empty()) return why;
        }
        ++batch_used;
      }
      ewf_chunk& c = batch[batch_used - 1];
      const size_t n = std::min(len, chunk_bytes - c.media);
      memcpy(c.data.data() + c.media, p, n);
      c.media += n;
      p += n;
      len -= n;
    }
    return "";
  }
};

dd_ewf_writer::dd_ewf_writer() = default;

dd_ewf_writer::~dd_ewf_writer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool dd_ewf_writer::open(const std::string& image, const dd_ewf_params& p, std::string* error) {
  const std::string path = system_name(image);
  if (!dd_ewf_name(path)) {
    *error = "[" + path + "] an E01 image's name ends in .E01 error";
    return false;
  }
  path_ = path;
  private_ = std::make_unique<dd_host_private_files>();
  h_ = std::make_unique<impl>();
  h_->sha1 = EVP_MD_CTX_new();
  if (!h_->sha1 || EVP_DigestInit_ex(h_->sha1, EVP_sha1(), nullptr) != 1) {
    *error = "hash init error";
    return false;
  }
  libewf_error_t* e = nullptr;
  auto failed = [&](const char* what) {
    *error = std::string(what) + " [" + path + "] error [" + ewf_text(&e) + "]";
    return false;
  };
  if (libewf_handle_initialize(&h_->handle, &e) != 1) return failed("libewf");
  // libewf names the segments itself: the base name gets .E01, .E02, ...
  const std::string base = base_of(path);
  char* names[] = {const_cast<char*>(base.c_str())};
  if (libewf_handle_open(h_->handle, names, 1, LIBEWF_OPEN_WRITE, &e) != 1) return failed("open");
  h_->opened = true;
  sector_ = p.bytes_per_sector > 0 ? p.bytes_per_sector : 512;
  if (libewf_handle_set_format(h_->handle, LIBEWF_FORMAT_ENCASE6, &e) != 1 ||
      libewf_handle_set_media_type(h_->handle, LIBEWF_MEDIA_TYPE_FIXED, &e) != 1 ||
      libewf_handle_set_bytes_per_sector(h_->handle, static_cast<uint32_t>(sector_), &e) != 1 ||
      libewf_handle_set_sectors_per_chunk(h_->handle, static_cast<uint32_t>(std::max(1, kChunkBytes / sector_)),
                                          &e) != 1 ||
      libewf_handle_set_maximum_segment_size(h_->handle, static_cast<size64_t>(p.segment_bytes), &e) != 1 ||
      libewf_handle_set_compression_values(h_->handle, level_of(p.compress), 0, &e) != 1)
    return failed("media values");
  const std::pair<const char*, const std::string*> values[] = {
      {"case_number", &p.info.case_number},
      {"evidence_number", &p.info.evidence_number},
      {"examiner_name", &p.info.examiner},
      {"notes", &p.info.notes},
      {"description", &p.info.description},
      {"acquiry_software", &p.info.software},
      {"acquiry_software_version", &p.info.version},
      {"acquiry_operating_system", &p.info.system},
  };
  for (const auto& [id, value] : values) {
    if (value->empty()) continue;
    if (libewf_handle_set_utf8_header_value(h_->handle, reinterpret_cast<const uint8_t*>(id), strlen(id),
                                            reinterpret_cast<const uint8_t*>(value->data()), value->size(),
                                            &e) != 1)
      return failed("header value");
  }
  h_->chunk_bytes = static_cast<size_t>(std::max(1, kChunkBytes / sector_)) * static_cast<size_t>(sector_);
  h_->batch.resize(kBatchChunks);
  for (ewf_chunk& c : h_->batch) {
    c.data.resize(h_->chunk_bytes + 4);
    c.packed.resize(2 * h_->chunk_bytes + 1024);  // deflate may grow what it cannot shrink
  }
  // Without compression packing is a checksum: no helper is worth a thread.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const int helpers = p.compress == DD_COMPRESS_NONE ? 0 : std::clamp(cores - 1, 0, 3);
  impl* h = h_.get();
  h_->pool = std::make_unique<batch_pool>(helpers, [h](size_t i) { h->pack(i); });
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    *error = "thread [" + path + "] error";
    return false;
  }
  return true;
}

void dd_ewf_writer::fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mu_);
  if (error_.empty()) error_ = why;
  cv_.notify_all();
}

std::string dd_ewf_writer::error() const {
  std::lock_guard<std::mutex> lock(mu_);
  return error_;
}

bool dd_ewf_writer::write(const uint8_t* data, int64_t len) {
  if (len <= 0) return error().empty();
  std::vector<uint8_t> block(data, data + len);
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return !error_.empty() || queued_bytes_ == 0 || queued_bytes_ + block.size() <= kQueueBytes; });
  if (!error_.empty()) return false;
  queued_bytes_ += block.size();
  queue_.push_back(std::move(block));
  accepted_ += len;
  cv_.notify_all();
  return true;
}

void dd_ewf_writer::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return quit_ || drain_ || !queue_.empty(); });
    if (!error_.empty()) return;
    if (queue_.empty()) {
      // A flush, or the end: the chunks taken so far, the last maybe in part.
      busy_ = true;
      lock.unlock();
      const std::string why = h_->write_batch();
      lock.lock();
      busy_ = false;
      drain_ = false;
      if (!why.empty() && error_.empty()) error_ = why;
      cv_.notify_all();
      if (quit_ || !error_.empty()) return;
      continue;
    }
    std::vector<uint8_t> block = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    EVP_DigestUpdate(h_->sha1, block.data(), block.size());
    const std::string why = h_->take(block.data(), block.size());
    lock.lock();
    busy_ = false;
    queued_bytes_ -= block.size();
    if (!why.empty() && error_.empty()) error_ = why;
    cv_.notify_all();
    if (!error_.empty()) {
      queue_.clear();
      queued_bytes_ = 0;
      return;
    }
  }
}

bool dd_ewf_writer::flush() {
  std::unique_lock<std::mutex> lock(mu_);
  drain_ = true;
  cv_.notify_all();
  cv_.wait(lock, [&] { return !error_.empty() || (queue_.empty() && !busy_ && !drain_); });
  return error_.empty();
}

bool dd_ewf_writer::finish(const dd_digests& d, const std::vector<dd_range>& unreadable) {
  if (!flush()) return false;
  if (accepted_ % sector_ != 0) {
    // The container holds whole sectors: the tail would be lost unnamed.
    fail("[E01] media of " + std::to_string(accepted_) + " bytes is no multiple of its sector of " +
         std::to_string(sector_) + " bytes error");
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  libewf_error_t* e = nullptr;
  auto failed = [&](const char* what) {
    fail(std::string(what) + " [E01] error [" + ewf_text(&e) + "]");
    return false;
  };
  std::array<uint8_t, 16> md5 = d.md5;
  unsigned n = 0;
  if (EVP_DigestFinal_ex(h_->sha1, sha1_.data(), &n) != 1 || n != sha1_.size()) {
    fail("sha1 [E01] error");
    return false;
  }
  std::array<uint8_t, 20> sha = sha1_;
  if (libewf_handle_set_md5_hash(h_->handle, md5.data(), md5.size(), &e) != 1) return failed("md5");
  if (libewf_handle_set_sha1_hash(h_->handle, sha.data(), sha.size(), &e) != 1) return failed("sha1");
  for (const dd_range& r : unreadable) {
    const uint64_t first = static_cast<uint64_t>(r.start / sector_);
    const uint64_t end = static_cast<uint64_t>((r.end + sector_ - 1) / sector_);
    if (libewf_handle_append_acquiry_error(h_->handle, first, end - first, &e) != 1)
      return failed("acquisition error");
  }
  if (libewf_handle_write_finalize(h_->handle, &e) < 0) return failed("finalize");
  h_->opened = false;
  if (libewf_handle_close(h_->handle, &e) != 0) return failed("close");
  private_.reset();
  // The image must be on the medium before the job says it is complete;
  // libewf closes its files without syncing them.
  const std::vector<std::string> segments = segments_of(path_);
  if (segments.empty()) {
    fail("open [" + path_ + "] error [no segment files after the close]");
    return false;
  }
  for (const std::string& name : segments) {
    tb_file_ref_t f = tb_file_init(name.c_str(), FILE_MODE_WRITE);
    const bool synced = f && tb_file_sync(f);
    const int err = errno;
    if (f) tb_file_close(f);
    if (!synced) {
      fail("sync [" + name + "] error [" + strerror(err) + "]");
      return false;
    }
  }
  return true;
}

struct dd_ewf_reader::impl {
  libewf_handle_t* handle = nullptr;
  bool opened = false;
  ~impl() { release_handle(&handle, opened); }
};

dd_ewf_reader::dd_ewf_reader() = default;
dd_ewf_reader::~dd_ewf_reader() = default;

bool dd_ewf_reader::open(const std::string& image, std::string* error) {
  const std::string path = system_name(image);
  const std::vector<std::string> names = segments_of(path);
  std::error_code ec;
  if (size_of(path, ec) < 8 && !ec) {
    *error = "open [" + path + "] error [the E01 image was never closed: its job did not end]";
    return false;
  }
  if (names.empty()) {
    *error = "open [" + path + "] error [no segment files of an E01 image]";
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& n : names) argv.push_back(const_cast<char*>(n.c_str()));
  h_ = std::make_unique<impl>();
  libewf_error_t* e = nullptr;
  size64_t size = 0;
  if (libewf_handle_initialize(&h_->handle, &e) != 1 ||
      libewf_handle_open(h_->handle, argv.data(), static_cast<int>(argv.size()), LIBEWF_OPEN_READ, &e) != 1) {
    *error = "open [" + path + "] error [" + ewf_text(&e) + "]";
    return false;
  }
  h_->opened = true;
  // An image whose job ended before it was closed (killed, a lost power)
  // lacks its closing sections: libewf then reads it as empty.
  const int corrupted = libewf_handle_segment_files_corrupted(h_->handle, &e);
  if (corrupted != 0) {
    *error = "open [" + path + "] error [" +
             (corrupted == 1 ? std::string("the E01 image was never closed: its job did not end") : ewf_text(&e)) +
             "]";
    libewf_error_free(&e);
    return false;
  }
  if (libewf_handle_get_media_size(h_->handle, &size, &e) != 1) {
    *error = "size [" + path + "] error [" + ewf_text(&e) + "]";
    return false;
  }
  size_ = static_cast<int64_t>(size);
  return true;
}

long dd_ewf_reader::read(uint8_t* buf, size_t n, std::string* error) {
  libewf_error_t* e = nullptr;
  const ssize_t r = libewf_handle_read_buffer(h_->handle, buf, n, &e);
  if (r < 0) {
    *error = "[" + ewf_text(&e) + "]";
    return -1;
  }
  libewf_error_free(&e);
  return static_cast<long>(r);
}
