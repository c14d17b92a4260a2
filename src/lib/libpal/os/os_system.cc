// The portable part of the command runner: the capturing runner (a command
// with its standard output and error redirected into two temporary files,
// whose texts are handed back or logged), the pipe mode, the timed runs over
// the pipe-based runner, and the programs' tool folder, which the runner
// searches first. Processes, pipes and files belong to the platform.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "os/os_log.h"
#include "os/os_pal_internal.h"
#include "os/os_safe.h"
#include "os/os_system.h"

#define KR_LOG_SRC "src\\lib\\libpal\\os\\os_system"

namespace {

// The wrapped command line, like every path of the runner, stays within the
// 259 characters the Windows command processor accepted.
constexpr size_t kMaxLine = 259;

std::mutex g_tools_mu;
std::string g_tools_override;    // guarded by g_tools_mu
bool g_tools_overridden = false;  // guarded by g_tools_mu

// The capture files in use, so that os_system_end_all can remove them.
std::mutex g_capture_mu;
std::set<std::string> g_capture_files;  // guarded by g_capture_mu
bool g_capture_closed = false;          // guarded by g_capture_mu

// A capture file, listed from its making to its removal.
struct TempFile {
  std::string name;
  // False with errno set (ECANCELED after os_system_end_all).
  bool make() {
    std::lock_guard<std::mutex> lock(g_capture_mu);
    if (g_capture_closed) {
      errno = ECANCELED;
      return false;
    }
    if (!pal::temp_file_new(&name, kMaxLine)) return false;
    g_capture_files.insert(name);
    return true;
  }
  ~TempFile() {
    if (name.empty()) return;
    std::lock_guard<std::mutex> lock(g_capture_mu);
    if (g_capture_files.erase(name)) pal::temp_file_remove(name);
  }
};

}  // namespace

std::string os_tools_dir() {
  {
    std::lock_guard<std::mutex> lock(g_tools_mu);
    if (g_tools_overridden) return g_tools_override;
  }
  std::string dir = os_program_dir();
  if (dir.empty()) return {};
  std::filesystem::path tools = std::filesystem::path(dir) / KRII_TOOLS_FROM_BIN;
  std::string out = tools.lexically_normal().string();
  // "bin/." normalises to "bin/"
  if (out.size() > 1 && (out.back() == '/' || out.back() == '\\')) out.pop_back();
  return out;
}

void os_system_set_tools_dir(const char* dir) {
  std::lock_guard<std::mutex> lock(g_tools_mu);
  g_tools_overridden = dir != nullptr;
  g_tools_override = dir ? dir : "";
}

void pal::log_command_output(const std::string& text) {
  for (size_t from = 0; from < text.size();) {
    size_t to = text.find('\n', from);
    if (to == std::string::npos) to = text.size();
    std::string line = text.substr(from, to - from);
    from = to + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // part of the line end
    std::vector<char> shown(line.size() * 4 + 1);
    os_printable_copy(shown.data(), shown.size(), line.c_str());
    KR_LOG(OS_LOG_DEBUG, "> %s\n", shown.data());
  }
}

int os_system_end_all() {
  int n = pal::end_running_commands();
  std::lock_guard<std::mutex> lock(g_capture_mu);
  g_capture_closed = true;
  for (const std::string& name : g_capture_files) pal::temp_file_remove(name);
  g_capture_files.clear();
  return n;
}

int os_system_capture(const char* command, uint32_t limit_ms, char** out, char** err) {
  if (out) *out = nullptr;
  if (err) *err = nullptr;
  if (!command) {
    errno = EINVAL;
    return -1;
  }
  TempFile fout, ferr;
  if (!fout.make() || !ferr.make()) {
    // Without the files the tool's messages would be lost: do not run it.
    KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "cannot create a temporary file: ");
    return -1;
  }
  std::string line = std::string(command) + " 1>" + fout.name + " 2>" + ferr.name;
  if (const size_t chars = os_utf8_length(line.c_str()); chars > kMaxLine) {
    // Never cut: a shortened line would run a different command (a password
    // missing its end, a redirection lost).
    KR_LOG(OS_LOG_ERR, "command line of %d characters is longer than %d, not run\n", (int)chars,
           (int)kMaxLine);
    return -1;
  }
  int result = os_system_s(line.c_str(), limit_ms);
  if (out) *out = os_read_file(fout.name.c_str());
  if (err) *err = os_read_file(ferr.name.c_str());
  return result;
}

int os_system_debug(const char* command, uint32_t limit_ms, std::string* output,
                    std::string* errors) {
  char* out = nullptr;
  char* err = nullptr;
  int result = os_system_capture(command, limit_ms, &out, &err);
  if (output) output->clear();
  if (errors) errors->clear();
  for (char* text : {out, err}) {
    if (!text) continue;
    pal::log_command_output(text);
    if (output) output->append(text);
    if (errors && text == err) errors->assign(text);
    free(text);
  }
  return result;
}

int os_system_timed(const char* command, uint32_t limit_ms) {
  os_popen_run_t* run = os_popen_run(command, "rt", limit_ms);
  if (!run) return -1;
  int code = os_popen_exit_code(run);
  os_popen_free(run);
  return code;
}

int os_system_output(const char* command, uint32_t limit_ms, char** out) {
  if (out) *out = nullptr;
  os_popen_run_t* run = os_popen_run(command, "rt", limit_ms);
  if (!run) return -1;
  int code = os_popen_exit_code(run);
  if (code == 0 && out) {
    const char* text = os_popen_output(run);
    *out = safe_strdup(text ? text : "");
  }
  os_popen_free(run);
  return code;
}

bool pal::popen_mode(const char* mode, bool* reading) {
  const char* m = mode;
  if (!m) return false;
  while (*m == ' ') ++m;
  if (*m != 'r' && *m != 'w') return false;
  *reading = *m == 'r';
  ++m;
  while (*m == ' ') ++m;
  if (*m == 't' || *m == 'b') {
    ++m;
    while (*m == ' ') ++m;
  }
  return *m == '\0';
}
