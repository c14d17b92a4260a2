// The process checks of the kit (not in the Windows build).
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <thread>

#include "kit.h"

namespace kit {

bool process_ended(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  // A zombie has ended; only its parent's wait is missing.
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool wait_process_ended(pid_t pid, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (int i = 0; i < 100000; ++i) {
    if (process_ended(pid)) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

ShellRun run_shell(const std::string& cmd) {
  ShellRun r;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
  return r;
}

}  // namespace kit
