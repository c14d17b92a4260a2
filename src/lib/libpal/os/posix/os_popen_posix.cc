// The command runner on POSIX: /bin/sh -c in a process group of its own
// with the default signal state, waiting without reaping, SIGKILL and
// SIGINT to the group, pipes, and the pipe runner's reader thread.
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
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/os_popen_sys.h"
#include "os/os_system.h"

extern char** environ;

const pal::runner_traits pal::kRunner = {
    "/bin/sh", ':', '/', /*any_case_names=*/false, /*shell_in_tools=*/false,
    /*search_with_dir=*/false, "/usr/bin:/bin"};

namespace {

using Clock = std::chrono::steady_clock;

pid_t pid_of(const pal::child& c) { return static_cast<pid_t>(c.pid); }

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

// Has pid ended? Leaves it unreaped (the zombie keeps its process group id
// from being reused while we may still signal the group).
bool has_ended(pid_t pid, siginfo_t* info) {
  *info = {};
  if (waitid(P_PID, (id_t)pid, info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
  return info->si_pid == pid;
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

bool pal::is_program(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

std::vector<std::string> pal::environment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
  return env;
}

bool pal::spawn(const std::string& processor, const char* command,
                const std::vector<std::string>& env, const child_stdio& io, child* c) {
  SpawnAttr sa;
  if (io.null_input) posix_spawn_file_actions_addopen(&sa.actions, 0, "/dev/null", O_RDONLY, 0);
  if (io.in != kNoHandle) posix_spawn_file_actions_adddup2(&sa.actions, int(io.in), 0);
  if (io.out != kNoHandle) posix_spawn_file_actions_adddup2(&sa.actions, int(io.out), 1);
  if (io.err != kNoHandle) posix_spawn_file_actions_adddup2(&sa.actions, int(io.err), 2);
  std::vector<std::string> entries = env;
  std::vector<char*> envp;
  for (auto& e : entries) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string arg0 = processor, arg1 = "-c", arg2 = command;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, processor.c_str(), &sa.actions, &sa.attr, argv, envp.data());
  if (rc != 0) {
    errno = rc;
    return false;
  }
  *c = {};
  c->pid = pid;
  return true;
}

bool pal::child_wait(const child& c, uint32_t limit_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  auto step = std::chrono::microseconds(200);
  siginfo_t info;
  for (;;) {
    if (has_ended(pid_of(c), &info)) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    std::this_thread::sleep_for(std::min(step, left));
    if (step < std::chrono::milliseconds(5)) step *= 2;
  }
}

int pal::child_exit_code(const child& c) {
  siginfo_t info;
  if (waitid(P_PID, (id_t)pid_of(c), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid != pid_of(c))
    return -1;
  return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

bool pal::child_kill(const child& c) { return kill(-pid_of(c), SIGKILL) == 0; }

int pal::child_release(child* c) {
  int status = 0;
  while (waitpid(pid_of(*c), &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int pal::interrupt_process(int64_t pid) {
  if (pid <= 0 || pid > INT_MAX) return 0;
  return kill(-(pid_t)pid, SIGINT) == 0 ? 1 : 0;
}

unsigned long pal::last_error() { return (unsigned long)errno; }

bool pal::pipe_new(sys_handle ends[2], int) {
  // Close-on-exec for both: the child gets its end through the spawn's
  // duplication, no other child gets either.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  ends[0] = fds[0];
  ends[1] = fds[1];
  return true;
}

void pal::handle_private(sys_handle) {}

void pal::handle_close(sys_handle* h) {
  if (*h != kNoHandle) close(int(*h));
  *h = kNoHandle;
}

int pal::handle_read(sys_handle h, void* buf, int size) {
  ssize_t n;
  do {
    n = read(int(h), buf, (size_t)size);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int)n;
}

int pal::handle_write(sys_handle h, const void* buf, int size) {
  ssize_t n;
  do {
    n = write(int(h), buf, (size_t)size);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int)n;
}

int pal::read_within(sys_handle h, char* buf, int size, uint32_t limit_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int wait_ms = left.count() > 0 ? int(std::min<int64_t>(left.count(), INT_MAX)) : 0;
    pollfd p = {int(h), POLLIN, 0};
    int n = poll(&p, 1, wait_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;  // the time is up
    ssize_t got = read(int(h), buf, (size_t)size);
    if (got < 0 && errno == EINTR) continue;
    return got < 0 ? 0 : int(got);
  }
}

// No SIGPIPE reaches the process: it is blocked for this thread and a
// pending one is taken back.
void pal::write_reply(sys_handle h, const std::string& text) {
  sigset_t pipe_only, old;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
  bool broken = false;
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(int(h), text.data() + done, text.size() - done);
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

// The reader polls the pipe and a stop pipe, written to tell a late reader
// to give up.
struct pal::reader {
  sys_handle rd = kNoHandle;
  strbuf* out = nullptr;
  int stop[2] = {-1, -1};
  std::thread thread;
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;  // guarded by mu
};

namespace {

void read_all(pal::reader* r) {
  char chunk[512];
  pollfd fds[2] = {{int(r->rd), POLLIN, 0}, {r->stop[0], POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & (POLLIN | POLLHUP)) || (fds[0].revents & POLLNVAL)) break;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    int got = pal::handle_read(r->rd, chunk, 511);
    if (got <= 0) break;
    strbuf_append(r->out, chunk, got);
  }
  std::lock_guard<std::mutex> lock(r->mu);
  r->done = true;
  r->cv.notify_all();
}

}  // namespace

pal::reader* pal::reader_start(sys_handle rd, strbuf* out) {
  auto* r = new reader;
  r->rd = rd;
  r->out = out;
  if (pipe2(r->stop, O_CLOEXEC) != 0) {
    delete r;
    return nullptr;
  }
  r->thread = std::thread(read_all, r);
  return r;
}

bool pal::reader_wait(reader* r, uint32_t limit_ms) {
  std::unique_lock<std::mutex> lock(r->mu);
  return r->cv.wait_for(lock, std::chrono::milliseconds(limit_ms), [r] { return r->done; });
}

void pal::reader_stop(reader* r) {
  if (!r) return;
  char c = 1;
  ssize_t ignored = write(r->stop[1], &c, 1);
  (void)ignored;
  r->thread.join();
  for (int fd : r->stop) close(fd);
  delete r;
}
