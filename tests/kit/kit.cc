#include "kit.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>

namespace kit {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  std::random_device rd;
  // A fresh name: create_directory answers false for one that exists.
  for (int tries = 0; tries < 100 && path_.empty(); ++tries) {
    fs::path p = base / ("krii-test-" + std::to_string(rd()));
    if (fs::create_directory(p, ec)) path_ = p.string();
  }
  if (path_.empty()) ADD_FAILURE() << "no temporary folder in " << base;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempCwdTest::SetUp() {
  tmp_ = std::make_unique<TempDir>();
  ASSERT_FALSE(tmp_->path().empty());
  std::error_code ec;
  old_ = fs::current_path(ec).string();
  ASSERT_FALSE(ec) << ec.message();
  root_ = fs::canonical(tmp_->path()).string();
  fs::path dir = sub_.empty() ? fs::path(root_) : fs::path(root_) / sub_;
  fs::create_directories(dir, ec);
  fs::current_path(dir, ec);
  ASSERT_FALSE(ec) << dir << ": " << ec.message();
  dir_ = fs::current_path().string();
}

void TempCwdTest::TearDown() {
  std::error_code ec;
  if (!old_.empty()) fs::current_path(old_, ec);
  EXPECT_FALSE(ec) << old_ << ": " << ec.message();
  tmp_.reset();
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

bool write_file(const std::string& path, std::string_view data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  f.close();
  if (!f) ADD_FAILURE() << "cannot write " << path;
  return static_cast<bool>(f);
}

bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
  return write_file(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

size_t count_of(std::string_view text, std::string_view what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string_view::npos; p = text.find(what, p + 1)) n++;
  return n;
}

std::string pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  const char text[] = "krii test image text ";
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    size_t region = (i / 4096) % 4;
    if (region == 0) {
      x = x * 1103515245u + 12345u;
      s[i] = static_cast<char>(x >> 16);
    } else if (region == 1) {
      s[i] = 0;
    } else if (region == 2) {
      s[i] = text[i % (sizeof text - 1)];
    } else {
      s[i] = static_cast<char>((i * 7 + seed) & 0xff);
    }
  }
  return s;
}

std::vector<uint8_t> mixed_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  static const char kText[] = "The quick brown fox jumps over the lazy dog. 0123456789\n";
  size_t i = 0;
  int kind = 0;
  while (i < n) {
    size_t run = std::min<size_t>(n - i, 1000 + rng() % 60000);
    for (size_t k = 0; k < run; k++) {
      switch (kind) {
        case 0: v[i + k] = static_cast<uint8_t>(rng()); break;
        case 1: v[i + k] = 0; break;
        default: v[i + k] = static_cast<uint8_t>(kText[(i + k) % (sizeof(kText) - 1)]); break;
      }
    }
    i += run;
    kind = (kind + 1) % 3;
  }
  return v;
}

namespace {

std::mutex g_log_mu;
std::vector<std::string> g_log_lines;  // guarded by g_log_mu

int capture(const char* line) {
  std::lock_guard<std::mutex> lock(g_log_mu);
  g_log_lines.emplace_back(line);
  return 0;
}

}  // namespace

void log_capture_start(int level) {
  log_clear();
  os_log_ctl(OS_LOG_SET_LEVEL, level);
  os_log_ctl(OS_LOG_SET_PREFIX, 0);
  os_log_ctl(OS_LOG_SET_CONSOLE, getenv("KRII_TEST_LOG") ? 1 : 0);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, capture);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, capture);
}

void log_capture_stop() {
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, static_cast<os_log_callback>(nullptr));
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, static_cast<os_log_callback>(nullptr));
}

std::vector<std::string> log_lines() {
  std::lock_guard<std::mutex> lock(g_log_mu);
  return g_log_lines;
}

void log_clear() {
  std::lock_guard<std::mutex> lock(g_log_mu);
  g_log_lines.clear();
}

bool log_has(const std::string& line) {
  auto lines = log_lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool log_contains(const std::string& needle) {
  for (const auto& l : log_lines())
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

int log_count_prefix(const std::string& prefix) {
  int n = 0;
  for (const auto& l : log_lines())
    if (l.rfind(prefix, 0) == 0) ++n;
  return n;
}

std::string log_text() {
  std::string all;
  for (const auto& l : log_lines()) all += l;
  return all;
}

std::string log_dump() {
  std::string all;
  for (const auto& l : log_lines()) all += "  | " + l;
  return all;
}

std::string env_dir(const char* var) {
  const char* d = getenv(var);
  return d ? d : "";
}

std::string bin_path(const std::string& name) {
  const std::string d = env_dir("KRII_BIN_DIR");
  return (d.empty() ? "." : d) + "/" + name;
}

bool read_port_file(const std::string& path, PortFile* out) {
  std::ifstream f(path);
  if (!f) return false;
  std::string key, value;
  bool got_port = false, got_pid = false;
  while (f >> key >> value) {
    long v = strtol(value.c_str(), nullptr, 10);
    if (key == "port") {
      out->port = static_cast<int>(v);
      got_port = true;
    } else if (key == "tls-port") {
      out->tls_port = static_cast<int>(v);
    } else if (key == "pid") {
      out->pid = v;
      got_pid = true;
    } else if (key == "tls-sha256") {
      out->tls_sha256 = value;
    }
  }
  return got_port && got_pid;
}

}  // namespace kit
