// The kit every test links: a temporary folder, whole files, test byte
// patterns, captured log lines, the paths of the built programs, process
// checks and the daemon's port file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/os_log.h"

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace kit {

// A fresh folder under the system's temporary folder ($TMPDIR), removed
// with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder itself and a name inside it.
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A fixture whose tests run in a fresh folder (sub below it, when given)
// made the current folder, and return to where they were.
class TempCwdTest : public ::testing::Test {
 protected:
  explicit TempCwdTest(std::string sub = "") : sub_(std::move(sub)) {}
  void SetUp() override;
  void TearDown() override;
  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;   // the current folder of the test, as the system names it
  std::string root_;  // the temporary folder

 private:
  std::string sub_, old_;
  std::unique_ptr<TempDir> tmp_;
};

// Whole files: read_file is "" and read_bytes empty when the file is
// missing; write_file replaces the file and records a test failure (and
// answers false) when it cannot.
std::string read_file(const std::string& path);
std::vector<uint8_t> read_bytes(const std::string& path);
bool write_file(const std::string& path, std::string_view data);
bool write_file(const std::string& path, const std::vector<uint8_t>& data);
bool file_exists(const std::string& path);
// How often what stands in text.
size_t count_of(std::string_view text, std::string_view what);

// Deterministic test bytes. pattern: 4 KiB regions in turn of noise, zeros,
// text and a counter. mixed_bytes: runs of 1 to 61 kB of noise, zeros and
// text.
std::string pattern(size_t size, uint32_t seed = 1);
std::vector<uint8_t> mixed_bytes(size_t n, uint32_t seed);

// Log capture: from log_capture_start on, every line of both log callbacks
// is kept (up to level, no prefix, console off unless KRII_TEST_LOG is
// set); log_capture_stop takes the callbacks away. Lines keep their "\n".
void log_capture_start(int level = OS_LOG_DEBUG);
void log_capture_stop();
std::vector<std::string> log_lines();
void log_clear();
bool log_has(const std::string& line);         // some line is exactly line
bool log_contains(const std::string& needle);  // some line holds needle
int log_count_prefix(const std::string& prefix);
std::string log_text();  // the lines joined
std::string log_dump();  // the lines, each behind "  | ", for a failure message

// Captures while alive (every level unless told).
struct LogCapture {
  explicit LogCapture(int level = OS_LOG_VERBOSE) { log_capture_start(level); }
  ~LogCapture() { log_capture_stop(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  bool has(const std::string& needle) const { return log_contains(needle); }
  std::string all() const { return log_text(); }
};

// The built programs: $KRII_BIN_DIR/name (the current folder without it).
std::string bin_path(const std::string& name);
// A folder named by the environment (KRII_TOOLS_DIR, KRII_SOURCE_DIR); ""
// when unset.
std::string env_dir(const char* var);

// The daemon's port file: "port", "tls-port", "pid" and, when there,
// "tls-sha256"; false without a port and a pid.
struct PortFile {
  int port = -1, tls_port = -1;
  long pid = -1;
  std::string tls_sha256;
};
bool read_port_file(const std::string& path, PortFile* out);

#ifndef _WIN32
// Whether the process has ended: gone, or a zombie waiting for its parent.
bool process_ended(pid_t pid);
// Waits up to ms for process_ended.
bool wait_process_ended(pid_t pid, int ms = 3000);

// A shell command line's exit status (128 + the signal when one ended it)
// and its output, standard error joined to standard output.
struct ShellRun {
  int status = -1;
  std::string output;
};
ShellRun run_shell(const std::string& cmd);
#endif

}  // namespace kit
