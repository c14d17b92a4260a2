#include "engine_fixture.h"

#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/md5.h>
#include <wolfssl/wolfcrypt/sha256.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "os/os_log.h"

namespace kt {
namespace {

std::mutex g_mu;
std::vector<std::string> g_lines;

int capture(const char* line) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_lines.emplace_back(line);
  return 0;
}

}  // namespace

void log_capture_start() {
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_DEBUG);
  os_log_ctl(OS_LOG_SET_PREFIX, 0);
  os_log_ctl(OS_LOG_SET_CONSOLE, getenv("KRII_TEST_LOG") ? 1 : 0);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, capture);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, capture);
  log_clear();
}

std::vector<std::string> log_lines() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_lines;
}

void log_clear() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_lines.clear();
}

bool log_has(const std::string& text) {
  for (const auto& l : log_lines())
    if (l == text) return true;
  return false;
}

int log_count_prefix(const std::string& prefix) {
  int n = 0;
  for (const auto& l : log_lines())
    if (l.rfind(prefix, 0) == 0) ++n;
  return n;
}

std::string log_dump() {
  std::string all;
  for (const auto& l : log_lines()) all += "  | " + l;
  return all;
}

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  std::random_device rd;
  // A fresh name: create_directory fails on one that exists.
  for (int tries = 0; tries < 100 && dir_.empty(); ++tries) {
    fs::path p = base / ("krii-engine-" + std::to_string(rd()));
    if (fs::create_directory(p, ec)) dir_ = p.string();
  }
  if (dir_.empty()) ADD_FAILURE() << "no temporary folder in " << base;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
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

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(f.good()) << path;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::string md5_hex(const std::string& data) {
  wc_Md5 md5;
  wc_InitMd5(&md5);
  wc_Md5Update(&md5, reinterpret_cast<const byte*>(data.data()), static_cast<word32>(data.size()));
  unsigned char d[WC_MD5_DIGEST_SIZE];
  wc_Md5Final(&md5, d);
  char hex[33];
  for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

std::string sha256_hex(const std::string& data) {
  wc_Sha256 sha;
  wc_InitSha256(&sha);
  wc_Sha256Update(&sha, reinterpret_cast<const byte*>(data.data()), static_cast<word32>(data.size()));
  unsigned char d[WC_SHA256_DIGEST_SIZE];
  wc_Sha256Final(&sha, d);
  char hex[2 * WC_SHA256_DIGEST_SIZE + 1];
  for (int i = 0; i < WC_SHA256_DIGEST_SIZE; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

}  // namespace kt
