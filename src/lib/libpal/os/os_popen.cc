// The portable command runner: the list of running commands that a front
// end's Ctrl-C and a program on its way out reach, the search for the
// command processor, the child's environment with the tool folder first,
// the time-limited runs, and the pipe runner. Starting, waiting for and
// ending processes, and their pipes, are the system's (os_popen_sys.h).
#include <cerrno>
#include <chrono>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "os/os_log.h"
#include "os/os_pal_internal.h"
#include "os/os_popen_sys.h"
#include "os/os_system.h"

#define KR_LOG_SRC "src\\lib\\libpal\\os\\os_popen"

// The child and the two ends of its pipe (kNoHandle once closed); input:
// mode "w", the pipe feeds the child's standard input.
struct os_popen_t {
  pal::child child;
  pal::sys_handle rd = pal::kNoHandle;
  pal::sys_handle wr = pal::kNoHandle;
  bool input = false;
};

struct os_popen_run_t {
  os_popen_t* pipe = nullptr;
  strbuf* out = nullptr;
  int exit_code = -1;
  pal::reader* reader = nullptr;
};

namespace {

using Clock = std::chrono::steady_clock;
using pal::kRunner;

// Paths of the runner stay within what the Windows command processor accepts.
constexpr size_t kPathMax = 260;

// The commands os_system_s and os_system_answer are waiting for, by process
// id, so that a front end's Ctrl-C reaches tools that run in groups of their
// own and a program on its way out can end them.
std::mutex g_run_mu;
std::map<int64_t, pal::child> g_running;  // guarded by g_run_mu
bool g_run_closed = false;                // guarded by g_run_mu: no command starts any more

// The command processor: $COMSPEC when set and not empty, else the system's.
// A name that is not itself a file is searched along PATH (after the tool
// folder where the system looks there first). Empty when nothing is found.
std::string find_processor() {
  const char* spec = getenv("COMSPEC");
  std::string name = (spec && *spec) ? spec : kRunner.shell;
  if (pal::is_program(name)) return name;
  if (!kRunner.search_with_dir && name.find('/') != std::string::npos) return {};
  std::string path;
  if (kRunner.shell_in_tools) path = os_tools_dir() + kRunner.list_sep;
  if (const char* p = getenv("PATH")) path += p;
  const char* rest = path.c_str();
  char entry[kPathMax];
  while ((rest = os_path_next(rest, entry, sizeof entry, kRunner.list_sep)) != nullptr) {
    if (!entry[0]) break;
    std::string candidate = entry;
    if (candidate.back() != '/' && candidate.back() != '\\') candidate += kRunner.dir_sep;
    if (candidate.size() + name.size() >= kPathMax) break;
    candidate += name;
    if (pal::is_program(candidate)) return candidate;
  }
  return {};
}

bool is_path_entry(const std::string& e) {
  if (e.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i) {
    char c = kRunner.any_case_names ? char(toupper((unsigned char)e[i])) : e[i];
    if (c != "PATH="[i]) return false;
  }
  return true;
}

// The caller's environment with PATH led by the programs' tool folder.
std::vector<std::string> child_env() {
  std::vector<std::string> env = pal::environment();
  std::string dir = os_tools_dir();
  std::string lead = dir.empty() ? "" : dir + kRunner.list_sep;
  bool have_path = false;
  for (std::string& e : env) {
    if (!is_path_entry(e)) continue;
    have_path = true;
    if (!dir.empty()) e = "PATH=" + lead + e.substr(5);
  }
  if (!have_path) {
    std::string path = *kRunner.default_path ? lead + kRunner.default_path : dir;
    if (!path.empty()) env.push_back("PATH=" + path);
  }
  return env;
}

// Starts "<processor> -c|/c <command>"; false with errno set.
bool spawn_command(const char* command, const pal::child_stdio& io, pal::child* c) {
  std::string processor = find_processor();
  if (processor.empty()) {
    errno = ENOENT;
    return false;
  }
  return pal::spawn(processor, command, child_env(), io, c);
}

// Starts a command of os_system_s or os_system_answer and lists it, in one
// step, so that os_system_end_all either finds it or keeps it from
// starting, and os_system_interrupt_all reaches it until end_run. False
// with errno set (ECANCELED after os_system_end_all).
bool start_run(const char* command, const pal::child_stdio& io, pal::child* c) {
  std::lock_guard<std::mutex> lock(g_run_mu);
  if (g_run_closed) {
    errno = ECANCELED;
    return false;
  }
  if (!spawn_command(command, io, c)) return false;
  g_running[c->pid] = *c;
  return true;
}

// Waits at most limit_ms for a listed command, ends it with everything it
// started after that, and releases it: its exit code, 1 after the time-out.
int end_run(pal::child* c, uint32_t limit_ms) {
  bool ended = pal::child_wait(*c, limit_ms);
  if (!ended) {
    KR_LOG(OS_LOG_DEBUG, "timeout terminate process\n");
    pal::child_kill(*c);
  }
  {
    // Out of the list before the release frees the id for reuse.
    std::lock_guard<std::mutex> lock(g_run_mu);
    g_running.erase(c->pid);
  }
  int code = pal::child_release(c);
  return ended ? code : 1;
}

}  // namespace

int os_system_s(const char* command, uint32_t limit_ms) {
  if (!command) {
    errno = EINVAL;
    return -1;
  }
  int saved = errno;
  pal::child c;
  pal::child_stdio io;
  io.null_input = true;
  if (!start_run(command, io, &c)) {
    if (errno != ECANCELED) errno = saved;
    return -1;
  }
  int code = end_run(&c, limit_ms);
  errno = saved;
  return code;
}

int os_system_answer(const char* command, uint32_t limit_ms, const os_answer_fn& answer,
                     std::string* output) {
  if (output) output->clear();
  if (!command) {
    errno = EINVAL;
    return -1;
  }
  int saved = errno;
  pal::sys_handle in[2], out[2];
  if (!pal::pipe_new(in, 1)) return -1;
  if (!pal::pipe_new(out, 0)) {
    pal::handle_close(&in[0]);
    pal::handle_close(&in[1]);
    return -1;
  }
  pal::child c;
  bool started = start_run(command, {in[0], out[1], out[1], false}, &c);
  int e = errno;
  pal::handle_close(&in[0]);
  pal::handle_close(&out[1]);
  if (!started) {
    pal::handle_close(&in[1]);
    pal::handle_close(&out[0]);
    errno = e == ECANCELED ? e : saved;
    return -1;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  auto left_ms = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? uint32_t(std::min<int64_t>(left.count(), INT_MAX)) : 0u;
  };
  std::string text;
  pal::sys_handle input = in[1];
  for (;;) {
    char chunk[512];
    int got = pal::read_within(out[0], chunk, sizeof chunk, left_ms());
    if (got <= 0) break;  // the time is up, or every writer has gone
    text.append(chunk, size_t(got));
    std::string reply;
    if (input != pal::kNoHandle && answer && answer(text, &reply)) {
      pal::write_reply(input, reply);
      pal::handle_close(&input);
    }
  }
  pal::handle_close(&input);
  pal::handle_close(&out[0]);
  int code = end_run(&c, left_ms());
  pal::log_command_output(text);
  if (output) *output = std::move(text);
  errno = saved;
  return code;
}

int pal::end_running_commands() {
  std::lock_guard<std::mutex> lock(g_run_mu);
  g_run_closed = true;
  int n = 0;
  for (const auto& [pid, c] : g_running) n += pal::child_kill(c) ? 1 : 0;
  return n;
}

int os_system_interrupt_all() {
  std::lock_guard<std::mutex> lock(g_run_mu);
  int n = 0;
  for (const auto& [pid, c] : g_running) n += pal::interrupt_process(pid);
  return n;
}

int os_console_interrupt(int64_t pid) { return pal::interrupt_process(pid); }

os_popen_t* os_popen(const char* command, const char* mode) {
  bool reading;
  if (!command || !pal::popen_mode(mode, &reading)) {
    errno = EINVAL;
    return nullptr;
  }
  // Only the child gets its end, so no other child keeps the pipe open.
  pal::sys_handle ends[2];
  if (!pal::pipe_new(ends, reading ? 0 : 1)) {
    printf("create pipe failed erorr=%lu\n", pal::last_error());
    return nullptr;
  }
  pal::child_stdio io;
  if (reading) io.out = io.err = ends[1];
  else io.in = ends[0];
  pal::child c;
  if (!spawn_command(command, io, &c)) {
    int e = errno;
    pal::handle_close(&ends[0]);
    pal::handle_close(&ends[1]);
    errno = e;
    return nullptr;
  }
  pal::handle_private(ends[reading ? 1 : 0]);
  auto* h = new os_popen_t;
  h->child = c;
  h->rd = ends[0];
  h->wr = ends[1];
  h->input = !reading;
  return h;
}

int64_t os_popen_pid(const os_popen_t* h) { return h ? h->child.pid : -1; }

int os_popen_read(os_popen_t* h, void* buf, int size) {
  if (!h || h->rd == pal::kNoHandle || size < 0) {
    errno = EINVAL;
    return -1;
  }
  return pal::handle_read(h->rd, buf, size);
}

int os_popen_write(os_popen_t* h, const void* buf, int size) {
  if (!h || h->wr == pal::kNoHandle || size < 0 || (!buf && size)) {
    errno = EINVAL;
    return -1;
  }
  // In mode "r" the pipe carries the child's output: nothing to write to.
  if (!h->input) {
    errno = EBADF;
    return -1;
  }
  return pal::handle_write(h->wr, buf, size);
}

int os_popen_interrupt(os_popen_t* h) {
  if (!h) return 0;
  pal::interrupt_process(h->child.pid);
  pal::handle_close(&h->wr);
  return 0;
}

int os_pclose(os_popen_t* h) {
  if (!h) {
    errno = EINVAL;
    return -1;
  }
  pal::handle_close(&h->rd);
  pal::handle_close(&h->wr);
  int result;
  if (pal::child_wait(h->child, 10)) {
    result = pal::child_release(&h->child);
  } else {
    pal::child_kill(h->child);
    pal::child_release(&h->child);
    result = -1;
  }
  delete h;
  return result;
}

os_popen_run_t* os_popen_run(const char* command, const char* mode, uint32_t limit_ms) {
  os_popen_t* h = os_popen(command, mode);
  if (!h) return nullptr;
  auto* run = new os_popen_run_t;
  run->pipe = h;
  run->out = strbuf_new();
  run->reader = pal::reader_start(h->rd, run->out);
  if (pal::child_wait(h->child, limit_ms)) run->exit_code = pal::child_exit_code(h->child);
  os_popen_interrupt(h);
  if (run->reader && !pal::reader_wait(run->reader, 100)) {
    // Something still holds the pipe open (a process that left the child's
    // group or that the child started, typically): keep what was read and
    // stop waiting for more.
    KR_LOG(OS_LOG_DEBUG, "reader thread still running, stopped\n");
  }
  pal::reader_stop(run->reader);
  run->reader = nullptr;
  return run;
}

int os_popen_exit_code(const os_popen_run_t* run) { return run ? run->exit_code : -1; }

const char* os_popen_output(const os_popen_run_t* run) { return run ? strbuf_get(run->out) : nullptr; }

int os_popen_free(os_popen_run_t* run) {
  if (!run) return 0;
  pal::reader_stop(run->reader);
  strbuf_free(run->out);
  os_pclose(run->pipe);
  delete run;
  return 0;
}
