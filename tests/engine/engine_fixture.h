// Shared helpers of the engine tests: a scratch folder, captured log lines,
// file contents and MD5 texts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kt {

// Captures every log line (both callbacks) from now on; level 7, no prefix,
// console off.
void log_capture_start();
std::vector<std::string> log_lines();
void log_clear();
// true when some captured line equals text exactly.
bool log_has(const std::string& text);
// Number of captured lines that begin with prefix.
int log_count_prefix(const std::string& prefix);
std::string log_dump();

// A fresh folder under $TMPDIR, removed with its files at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// Deterministic mixed bytes: a counter pattern with runs of zeros and text.
std::string pattern(size_t size, uint32_t seed = 1);
void write_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);  // "" when missing
bool file_exists(const std::string& path);
// Digests by the TLS library's own implementation, a reference independent
// of the engine's hash library.
std::string md5_hex(const std::string& data);
std::string sha256_hex(const std::string& data);

}  // namespace kt
