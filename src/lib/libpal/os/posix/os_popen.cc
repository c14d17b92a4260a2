// The shell runner with its time limit, and the pipe-based runner.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/os_log.h"
#include "os/os_pal_internal.h"
#include "os/os_safe.h"
#include "os/os_system.h"

#define KR_LOG_SRC "src\\lib\\libpal\\os\\posix\\os_popen"

extern char** environ;

// process is the child's process group (its own), pid the child; rd and wr
// are the two ends of the pipe (-1 once closed); input: mode "w", the pipe
// feeds the child's standard input.
struct os_popen_t {
  pid_t process;
  pid_t pid;
  int rd;
  int wr;
  bool input;
};

namespace {

using Clock = std::chrono::steady_clock;

// Process groups of the commands os_system_s is waiting for, so that a
// front end's Ctrl-C can reach tools that run in groups of their own.
std::mutex g_run_mu;
std::set<pid_t> g_running;  // guarded by g_run_mu
bool g_run_closed = false;  // guarded by g_run_mu: no command starts any more

bool is_file(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// The shell: $COMSPEC when set and not empty, else /bin/sh. A name that is
// not itself a file is searched along PATH. Empty when nothing is found.
std::string find_shell() {
  const char* spec = getenv("COMSPEC");
  std::string name = (spec && *spec) ? spec : "/bin/sh";
  if (is_file(name)) return name;
  if (name.find('/') != std::string::npos) return {};
  const char* path = getenv("PATH");
  char entry[260];
  while (path && (path = os_path_next(path, entry, sizeof entry, ':')) != nullptr) {
    if (!entry[0]) break;
    std::string candidate = entry;
    if (candidate.back() != '/' && candidate.back() != '\\') candidate += '/';
    if (candidate.size() + name.size() >= 260) break;
    candidate += name;
    if (is_file(candidate)) return candidate;
  }
  return {};
}

// The caller's environment with PATH led by the programs' tool folder.
std::vector<std::string> child_env() {
  std::vector<std::string> env;
  std::string dir = os_tools_dir();
  bool have_path = false;
  for (char** e = environ; e && *e; ++e) {
    if (strncmp(*e, "PATH=", 5) == 0) {
      have_path = true;
      env.push_back(dir.empty() ? std::string(*e) : "PATH=" + dir + ":" + (*e + 5));
    } else {
      env.emplace_back(*e);
    }
  }
  if (!have_path) env.push_back("PATH=" + (dir.empty() ? "" : dir + ":") + "/usr/bin:/bin");
  return env;
}

struct SpawnAttr {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  SpawnAttr() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
    // Own process group (a time-out or Ctrl-C reaches the tool and the
    // shell together) and the default signal state, whatever the caller
    // ignores or blocks.
    sigset_t def, none;
    sigemptyset(&def);
    for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGTTIN, SIGTTOU})
      sigaddset(&def, s);
    sigemptyset(&none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttr() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
};

// Starts "<shell> -c <command>"; the child's pid, or -1 with errno set.
pid_t spawn_shell(const char* command, SpawnAttr& sa) {
  std::string shell = find_shell();
  if (shell.empty()) {
    errno = ENOENT;
    return -1;
  }
  std::vector<std::string> env = child_env();
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string arg0 = shell, arg1 = "-c", arg2 = command;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, shell.c_str(), &sa.actions, &sa.attr, argv, envp.data());
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Has pid ended? Leaves it unreaped (the zombie keeps its process group id
// from being reused while we may still signal the group).
bool has_ended(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
  return info.si_pid == pid;
}

// Waits at most limit_ms for pid to end, without reaping it.
bool wait_ended(pid_t pid, uint32_t limit_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  auto step = std::chrono::microseconds(200);
  for (;;) {
    if (has_ended(pid)) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    std::this_thread::sleep_for(std::min(step, left));
    if (step < std::chrono::milliseconds(5)) step *= 2;
  }
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return exit_code_of(status);
}

// Starts a command of os_system_s or os_system_answer and lists it, in one
// step, so that os_system_end_all either finds its group or keeps it from
// starting, and os_system_interrupt_all reaches it until end_run. The pid,
// or -1 with errno set (ECANCELED after os_system_end_all).
pid_t start_run(const char* command, SpawnAttr& sa) {
  std::lock_guard<std::mutex> lock(g_run_mu);
  if (g_run_closed) {
    errno = ECANCELED;
    return -1;
  }
  pid_t pid = spawn_shell(command, sa);
  if (pid >= 0) g_running.insert(pid);
  return pid;
}

// Waits at most limit_ms for a listed command, kills its group after that,
// and reaps it: its exit code, 1 after the time-out.
int end_run(pid_t pid, uint32_t limit_ms) {
  bool ended = wait_ended(pid, limit_ms);
  if (!ended) {
    KR_LOG(OS_LOG_DEBUG, "timeout terminate process\n");
    kill(-pid, SIGKILL);
  }
  {
    // Out of the list before the reap frees the id for reuse.
    std::lock_guard<std::mutex> lock(g_run_mu);
    g_running.erase(pid);
  }
  int code = reap(pid);
  return ended ? code : 1;
}

}  // namespace

std::string os_program_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, (size_t)n);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string os_shell_quote(const char* text) {
  if (!text) return "''";
  bool plain = *text != '\0';
  for (const char* p = text; *p && plain; ++p) {
    unsigned char c = (unsigned char)*p;
    plain = isalnum(c) || strchr("-_.,:/@%+=", c) != nullptr;
  }
  if (plain) return text;
  std::string q = "'";
  for (const char* p = text; *p; ++p) {
    if (*p == '\'') q += "'\\''";
    else q += *p;
  }
  q += "'";
  return q;
}

int os_system_s(const char* command, uint32_t limit_ms) {
  if (!command) {
    errno = EINVAL;
    return -1;
  }
  int saved = errno;
  SpawnAttr sa;
  // Hidden and detached from the terminal: a tool that reads standard input
  // gets its end at once instead of stopping the process group.
  posix_spawn_file_actions_addopen(&sa.actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = start_run(command, sa);
  if (pid < 0) {
    if (errno != ECANCELED) errno = saved;
    return -1;
  }
  int code = end_run(pid, limit_ms);
  errno = saved;
  return code;
}

int pal::end_running_commands() {
  std::lock_guard<std::mutex> lock(g_run_mu);
  g_run_closed = true;
  int n = 0;
  for (pid_t pg : g_running) {
    if (kill(-pg, SIGKILL) == 0) ++n;
  }
  return n;
}

namespace {

// Writes text to a pipe whose reader may be gone: no SIGPIPE reaches the
// process (it is blocked for this thread and a pending one is taken back).
void write_unsignalled(int fd, const std::string& text) {
  sigset_t pipe_only, old;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
  bool broken = false;
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken = errno == EPIPE;
      break;
    }
    done += size_t(n);
  }
  if (broken) {
    struct timespec none = {0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &none) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

int os_system_answer(const char* command, uint32_t limit_ms, const os_answer_fn& answer,
                     std::string* output) {
  if (output) output->clear();
  if (!command) {
    errno = EINVAL;
    return -1;
  }
  int saved = errno;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  SpawnAttr sa;
  posix_spawn_file_actions_adddup2(&sa.actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&sa.actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&sa.actions, out[1], 2);
  pid_t pid = start_run(command, sa);
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    int e = errno;
    close(in[1]);
    close(out[0]);
    errno = e == ECANCELED ? e : saved;
    return -1;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  auto left_ms = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(std::min<int64_t>(left.count(), INT_MAX)) : 0;
  };
  std::string text;
  int input = in[1];
  for (;;) {
    pollfd p = {out[0], POLLIN, 0};
    int n = poll(&p, 1, left_ms());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the time is up
    char chunk[512];
    ssize_t got = read(out[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // every writer has gone
    text.append(chunk, size_t(got));
    std::string reply;
    if (input >= 0 && answer && answer(text, &reply)) {
      write_unsignalled(input, reply);
      close(input);
      input = -1;
    }
  }
  if (input >= 0) close(input);
  close(out[0]);
  int code = end_run(pid, uint32_t(left_ms()));
  pal::log_command_output(text);
  if (output) *output = std::move(text);
  errno = saved;
  return code;
}

int os_system_interrupt_all() {
  std::lock_guard<std::mutex> lock(g_run_mu);
  int n = 0;
  for (pid_t pg : g_running) {
    if (kill(-pg, SIGINT) == 0) ++n;
  }
  return n;
}

os_popen_t* os_popen(const char* command, const char* mode) {
  bool reading;
  if (!command || !pal::popen_mode(mode, &reading)) {
    errno = EINVAL;
    return nullptr;
  }
  int fds[2];
  // Close-on-exec here: only the child gets its end, through the spawn's
  // duplication, so no other child keeps the pipe open.
  if (pipe2(fds, O_CLOEXEC) != 0) {
    printf("create pipe failed erorr=%d\n", errno);
    return nullptr;
  }
  SpawnAttr sa;
  if (reading) {
    posix_spawn_file_actions_adddup2(&sa.actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&sa.actions, fds[1], 2);
  } else {
    posix_spawn_file_actions_adddup2(&sa.actions, fds[0], 0);
  }
  pid_t pid = spawn_shell(command, sa);
  if (pid < 0) {
    int e = errno;
    close(fds[0]);
    close(fds[1]);
    errno = e;
    return nullptr;
  }
  auto* h = static_cast<os_popen_t*>(safe_malloc(sizeof(os_popen_t)));
  h->process = pid;
  h->pid = pid;
  h->rd = fds[0];
  h->wr = fds[1];
  h->input = !reading;
  return h;
}

int os_popen_read(os_popen_t* h, void* buf, int size) {
  if (!h || h->rd < 0 || size < 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t n;
  do {
    n = read(h->rd, buf, (size_t)size);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int)n;
}

int64_t os_popen_pid(const os_popen_t* h) { return h ? h->pid : -1; }

int os_popen_write(os_popen_t* h, const void* buf, int size) {
  if (!h || h->wr < 0 || size < 0 || (!buf && size)) {
    errno = EINVAL;
    return -1;
  }
  // In mode "r" the pipe carries the child's output: nothing to write to.
  if (!h->input) {
    errno = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = write(h->wr, buf, (size_t)size);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int)n;
}

int os_console_interrupt(int64_t pid) {
  if (pid <= 0 || pid > INT_MAX) return 0;
  return kill(-(pid_t)pid, SIGINT) == 0 ? 1 : 0;
}

int os_popen_interrupt(os_popen_t* h) {
  if (!h) return 0;
  kill(-h->process, SIGINT);
  if (h->wr >= 0) {
    close(h->wr);
    h->wr = -1;
  }
  return 0;
}

int os_pclose(os_popen_t* h) {
  if (!h) {
    errno = EINVAL;
    return -1;
  }
  if (h->rd >= 0) close(h->rd);
  if (h->wr >= 0) close(h->wr);
  int result;
  if (wait_ended(h->pid, 10)) {
    result = reap(h->pid);
  } else {
    kill(-h->process, SIGKILL);
    reap(h->pid);
    result = -1;
  }
  free(h);
  return result;
}

struct os_popen_run_t {
  os_popen_t* pipe = nullptr;
  strbuf* out = nullptr;
  int exit_code = -1;
  std::thread reader;
  int stop[2] = {-1, -1};  // written to tell a late reader to give up
  std::mutex mu;
  std::condition_variable cv;
  bool reader_done = false;  // guarded by mu
};

namespace {

// Reads the pipe in chunks of at most 511 bytes into run->out until its end,
// a failure, or a word on the stop pipe.
void popen_reader(os_popen_run_t* run) {
  char chunk[512];
  pollfd fds[2] = {{run->pipe->rd, POLLIN, 0}, {run->stop[0], POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & (POLLIN | POLLHUP)) || (fds[0].revents & POLLNVAL)) break;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    int got = os_popen_read(run->pipe, chunk, 511);
    if (got <= 0) break;
    strbuf_append(run->out, chunk, got);
  }
  std::lock_guard<std::mutex> lock(run->mu);
  run->reader_done = true;
  run->cv.notify_all();
}

void stop_reader(os_popen_run_t* run) {
  if (!run->reader.joinable()) return;
  if (run->stop[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(run->stop[1], &c, 1);
    (void)ignored;
  }
  run->reader.join();
}

}  // namespace

os_popen_run_t* os_popen_run(const char* command, const char* mode, uint32_t limit_ms) {
  os_popen_t* h = os_popen(command, mode);
  if (!h) return nullptr;
  auto* run = new os_popen_run_t;
  run->pipe = h;
  run->out = strbuf_new();
  if (pipe2(run->stop, O_CLOEXEC) != 0) {
    run->stop[0] = run->stop[1] = -1;
  } else {
    run->reader = std::thread(popen_reader, run);
  }
  if (wait_ended(h->pid, limit_ms)) {
    siginfo_t info{};
    if (waitid(P_PID, (id_t)h->pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == h->pid)
      run->exit_code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  }
  os_popen_interrupt(h);
  bool done;
  {
    std::unique_lock<std::mutex> lock(run->mu);
    done = run->cv.wait_for(lock, std::chrono::milliseconds(100), [run] { return run->reader_done; });
  }
  if (!done) {
    // Something still holds the pipe open (a process that left the child's
    // group, typically): keep what was read and stop waiting for more.
    KR_LOG(OS_LOG_DEBUG, "reader thread still running, stopped\n");
  }
  stop_reader(run);
  return run;
}

int os_popen_exit_code(const os_popen_run_t* run) { return run ? run->exit_code : -1; }

const char* os_popen_output(const os_popen_run_t* run) { return run ? strbuf_get(run->out) : nullptr; }

int os_popen_free(os_popen_run_t* run) {
  if (!run) return 0;
  stop_reader(run);
  strbuf_free(run->out);
  os_pclose(run->pipe);
  for (int fd : run->stop) {
    if (fd >= 0) close(fd);
  }
  delete run;
  return 0;
}
