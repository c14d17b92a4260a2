// The command runner on Windows: the command processor (COMSPEC, else
// cmd.exe) with " /c ", started hidden, a time limit that terminates the
// process, and the pipe-based runner with its reader thread.
#include <windows.h>
#include <process.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "os/os_log.h"
#include "os/os_pal_internal.h"
#include "os/os_safe.h"
#include "os/os_system.h"

#define KR_LOG_SRC "src\\lib\\libpal\\os\\windows\\os_popen"

// The child's process handle and id, and the two ends of the pipe (null once
// closed); input: mode "w", the pipe feeds the child's standard input; job:
// the job that holds the child and everything it starts (null when the
// system refused one).
struct os_popen_t {
  HANDLE process;
  DWORD pid;
  HANDLE job;
  HANDLE rd;
  HANDLE wr;
  bool input;
};

namespace {

// Paths of the runner stay within what the command processor accepts.
constexpr size_t kPathMax = 260;

// A started command: its process and the job that holds it with every
// process it starts, so that ending the command ends the tool as well as
// the command processor (null when the system refused a job).
struct Child {
  HANDLE process = nullptr;
  DWORD pid = 0;
  HANDLE job = nullptr;
};

// Ends the child with everything it started, exit code 1.
void terminate(const Child& c) {
  if (!c.job || !TerminateJobObject(c.job, 1)) TerminateProcess(c.process, 1);
}

void release(Child* c) {
  if (c->process) CloseHandle(c->process);
  // Closing the job ends what is left in it.
  if (c->job) CloseHandle(c->job);
  *c = {};
}

// The commands os_system_s is waiting for, by id, for a front end's Ctrl-C
// and a program on its way out.
std::mutex g_run_mu;
std::map<DWORD, Child> g_running;  // guarded by g_run_mu
bool g_run_closed = false;          // guarded by g_run_mu

bool is_file(const std::string& path) {
  DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// The command processor: COMSPEC when set and not empty, else cmd.exe. A
// name that is not itself a file is searched along PATH, the programs' tool
// folder first. Empty when nothing is found.
std::string find_processor() {
  const char* spec = getenv("COMSPEC");
  std::string name = (spec && *spec) ? spec : "cmd.exe";
  if (is_file(name)) return name;
  std::string path = os_tools_dir();
  if (const char* p = getenv("PATH")) path += ";" + std::string(p);
  const char* rest = path.c_str();
  char entry[kPathMax];
  while ((rest = os_path_next(rest, entry, sizeof entry)) != nullptr) {
    if (!entry[0]) break;
    std::string candidate = entry;
    if (candidate.back() != '\\' && candidate.back() != '/') candidate += '\\';
    if (candidate.size() + name.size() >= kPathMax) break;
    candidate += name;
    if (is_file(candidate)) return candidate;
  }
  return {};
}

// The caller's environment with PATH led by the programs' tool folder, as a
// block of NUL-ended entries closed by an empty one.
std::vector<char> child_env() {
  std::string dir = os_tools_dir();
  std::vector<char> block;
  bool have_path = false;
  LPCH env = GetEnvironmentStringsA();
  for (const char* e = env; e && *e; e += strlen(e) + 1) {
    std::string entry = e;
    if (_strnicmp(e, "PATH=", 5) == 0) {
      have_path = true;
      if (!dir.empty()) entry = "PATH=" + dir + ";" + (e + 5);
    }
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  if (env) FreeEnvironmentStringsA(env);
  if (!have_path && !dir.empty()) {
    std::string entry = "PATH=" + dir;
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

// Starts "<processor> /c <command>" hidden with the given standard handles
// (null: the caller's), in a job of its own. False with errno set.
bool spawn(const char* command, HANDLE in, HANDLE out, HANDLE err, Child* child) {
  std::string processor = find_processor();
  if (processor.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string line = processor + " /c " + command;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  if (in || out || err) {
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = in ? in : GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out ? out : GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = err ? err : GetStdHandle(STD_ERROR_HANDLE);
  }
  std::vector<char> env = child_env();
  PROCESS_INFORMATION pi{};
  // Suspended until it is in its job: nothing it starts can escape.
  if (!CreateProcessA(processor.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      env.data(), nullptr, &si, &pi)) {
    errno = ECHILD;
    return false;
  }
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, pi.hProcess)) {
      // A system without nested jobs: the command runs without one.
      CloseHandle(job);
      job = nullptr;
    }
  }
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  *child = {pi.hProcess, pi.dwProcessId, job};
  return true;
}

int exit_code_of(HANDLE process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return -1;
  return static_cast<int>(code);
}

// Ctrl-C to every process of the console of process id: attach to it, stop
// this process from taking the event itself, send, detach. AttachConsole is
// looked up at run time; without it nothing is sent.
int console_ctrl_c(DWORD pid) {
  // A child on this process's own console (the usual case for a console
  // program) gets the event without leaving the console.
  DWORD list[256];
  DWORD n = GetConsoleProcessList(list, 256);
  for (DWORD i = 0; i < n && n <= 256; ++i) {
    if (list[i] == pid) return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 1 : 0;
  }
  using attach_fn = BOOL(WINAPI*)(DWORD);
  static const auto attach = reinterpret_cast<attach_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "AttachConsole")));
  if (!attach) return 0;
  FreeConsole();
  if (!attach(pid)) return 0;
  SetConsoleCtrlHandler(nullptr, TRUE);
  GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  FreeConsole();
  SetConsoleCtrlHandler(nullptr, FALSE);
  return 1;
}

void close_handle(HANDLE* h) {
  if (*h) CloseHandle(*h);
  *h = nullptr;
}

}  // namespace

std::string os_program_dir() {
  char buf[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return {};
  std::string path(buf, n);
  size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return {};
  return path.substr(0, sep);
}

// The command processor keeps what stands in double quotes together; the
// tools split their command line by the runtime library's rules, where a
// quote inside is written \" and backslashes before a quote are doubled.
std::string os_shell_quote(const char* text) {
  if (!text) return "\"\"";
  bool plain = *text != '\0';
  for (const char* p = text; *p && plain; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    plain = isalnum(c) || strchr("-_.,:/@+=\\", c) != nullptr;
  }
  if (plain) return text;
  std::string q = "\"";
  size_t slashes = 0;
  for (const char* p = text; *p; ++p) {
    if (*p == '\\') {
      ++slashes;
      continue;
    }
    q.append(*p == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    q += *p;
  }
  q.append(slashes * 2, '\\');
  q += '"';
  return q;
}

namespace {

// Starts a command of os_system_s or os_system_answer and lists it, in one
// step, so that os_system_end_all either finds it or keeps it from
// starting, and os_system_interrupt_all reaches it until end_run. False
// with errno set (ECANCELED after os_system_end_all).
bool start_run(const char* command, HANDLE in, HANDLE out, HANDLE err, Child* child) {
  std::lock_guard<std::mutex> lock(g_run_mu);
  if (g_run_closed) {
    errno = ECANCELED;
    return false;
  }
  if (!spawn(command, in, out, err, child)) return false;
  g_running[child->pid] = *child;
  return true;
}

// Waits at most limit_ms for a listed command, ends it with everything it
// started after that, and releases it: its exit code, 1 after the time-out.
int end_run(Child* child, uint32_t limit_ms) {
  int code;
  if (WaitForSingleObject(child->process, limit_ms) == WAIT_OBJECT_0) {
    code = exit_code_of(child->process);
  } else {
    KR_LOG(OS_LOG_DEBUG, "timeout terminate process\n");
    terminate(*child);
    WaitForSingleObject(child->process, INFINITE);
    code = 1;
  }
  {
    std::lock_guard<std::mutex> lock(g_run_mu);
    g_running.erase(child->pid);
  }
  release(child);
  return code;
}

}  // namespace

int os_system_s(const char* command, uint32_t limit_ms) {
  if (!command) {
    errno = EINVAL;
    return -1;
  }
  int saved = errno;
  Child child;
  if (!start_run(command, nullptr, nullptr, nullptr, &child)) {
    if (errno != ECANCELED) errno = saved;
    return -1;
  }
  int code = end_run(&child, limit_ms);
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
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE in_rd = nullptr, in_wr = nullptr, out_rd = nullptr, out_wr = nullptr;
  if (!CreatePipe(&in_rd, &in_wr, &sa, 0)) return -1;
  if (!CreatePipe(&out_rd, &out_wr, &sa, 0)) {
    CloseHandle(in_rd);
    CloseHandle(in_wr);
    return -1;
  }
  // Only the child's ends are inherited.
  SetHandleInformation(in_wr, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_rd, HANDLE_FLAG_INHERIT, 0);
  Child child;
  bool started = start_run(command, in_rd, out_wr, out_wr, &child);
  int e = errno;
  CloseHandle(in_rd);
  CloseHandle(out_wr);
  if (!started) {
    CloseHandle(in_wr);
    CloseHandle(out_rd);
    errno = e == ECANCELED ? e : saved;
    return -1;
  }
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  auto left_ms = [&] {
    ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<uint32_t>(deadline - now) : 0u;
  };
  std::string text;
  HANDLE input = in_wr;
  // Anonymous pipes have no timed read: look for output every 20 ms.
  while (left_ms() > 0) {
    DWORD avail = 0;
    if (!PeekNamedPipe(out_rd, nullptr, 0, nullptr, &avail, nullptr)) break;  // writers gone
    if (avail == 0) {
      Sleep(20);
      continue;
    }
    char chunk[512];
    DWORD got = 0;
    if (!ReadFile(out_rd, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
    text.append(chunk, got);
    std::string reply;
    if (input && answer && answer(text, &reply)) {
      DWORD put = 0;
      WriteFile(input, reply.data(), static_cast<DWORD>(reply.size()), &put, nullptr);
      CloseHandle(input);
      input = nullptr;
    }
  }
  if (input) CloseHandle(input);
  CloseHandle(out_rd);
  int code = end_run(&child, left_ms());
  pal::log_command_output(text);
  if (output) *output = std::move(text);
  errno = saved;
  return code;
}

int pal::end_running_commands() {
  std::lock_guard<std::mutex> lock(g_run_mu);
  g_run_closed = true;
  for (const auto& [pid, child] : g_running) terminate(child);
  return static_cast<int>(g_running.size());
}

int os_system_interrupt_all() {
  std::lock_guard<std::mutex> lock(g_run_mu);
  int n = 0;
  for (const auto& [pid, child] : g_running) n += console_ctrl_c(pid);
  return n;
}

os_popen_t* os_popen(const char* command, const char* mode) {
  bool reading;
  if (!command || !pal::popen_mode(mode, &reading)) {
    errno = EINVAL;
    return nullptr;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) {
    printf("create pipe failed erorr=%lu\n", GetLastError());
    return nullptr;
  }
  // Only the child's end is inherited: no other child keeps the pipe open.
  SetHandleInformation(reading ? rd : wr, HANDLE_FLAG_INHERIT, 0);
  Child child;
  bool ok = reading ? spawn(command, nullptr, wr, wr, &child)
                    : spawn(command, rd, nullptr, nullptr, &child);
  if (!ok) {
    int e = errno;
    CloseHandle(rd);
    CloseHandle(wr);
    errno = e;
    return nullptr;
  }
  SetHandleInformation(reading ? wr : rd, HANDLE_FLAG_INHERIT, 0);
  auto* h = static_cast<os_popen_t*>(safe_malloc(sizeof(os_popen_t)));
  h->process = child.process;
  h->pid = child.pid;
  h->job = child.job;
  h->rd = rd;
  h->wr = wr;
  h->input = !reading;
  return h;
}

int64_t os_popen_pid(const os_popen_t* h) { return h ? static_cast<int64_t>(h->pid) : -1; }

int os_popen_read(os_popen_t* h, void* buf, int size) {
  if (!h || !h->rd || size < 0) {
    errno = EINVAL;
    return -1;
  }
  DWORD got = 0;
  if (!ReadFile(h->rd, buf, static_cast<DWORD>(size), &got, nullptr))
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  return static_cast<int>(got);
}

int os_popen_write(os_popen_t* h, const void* buf, int size) {
  if (!h || !h->wr || size < 0 || (!buf && size)) {
    errno = EINVAL;
    return -1;
  }
  if (!h->input) {
    errno = EBADF;
    return -1;
  }
  DWORD put = 0;
  if (!WriteFile(h->wr, buf, static_cast<DWORD>(size), &put, nullptr)) {
    errno = EPIPE;
    return -1;
  }
  return static_cast<int>(put);
}

int os_console_interrupt(int64_t pid) {
  if (pid <= 0 || pid > MAXDWORD) return 0;
  return console_ctrl_c(static_cast<DWORD>(pid));
}

int os_popen_interrupt(os_popen_t* h) {
  if (!h) return 0;
  console_ctrl_c(h->pid);
  close_handle(&h->wr);
  return 0;
}

int os_pclose(os_popen_t* h) {
  if (!h) {
    errno = EINVAL;
    return -1;
  }
  close_handle(&h->rd);
  close_handle(&h->wr);
  Child child{h->process, h->pid, h->job};
  int result;
  if (WaitForSingleObject(child.process, 10) == WAIT_OBJECT_0) {
    result = exit_code_of(child.process);
  } else {
    terminate(child);
    WaitForSingleObject(child.process, INFINITE);
    result = -1;
  }
  release(&child);
  free(h);
  return result;
}

struct os_popen_run_t {
  os_popen_t* pipe = nullptr;
  strbuf* out = nullptr;
  int exit_code = -1;
  HANDLE reader = nullptr;
};

namespace {

// Reads the pipe in chunks of at most 511 bytes into run->out until its end
// or a failure (also a read cancelled by stop_reader).
unsigned __stdcall popen_reader(void* p) {
  auto* run = static_cast<os_popen_run_t*>(p);
  char chunk[512];
  for (;;) {
    int got = os_popen_read(run->pipe, chunk, 511);
    if (got <= 0) break;
    strbuf_append(run->out, chunk, got);
  }
  return 0;
}

void stop_reader(os_popen_run_t* run) {
  if (!run->reader) return;
  // A read that ignores cancellation for a second is ended with its thread:
  // it holds nothing but its own chunk.
  int tries = 0;
  while (WaitForSingleObject(run->reader, 10) == WAIT_TIMEOUT) {
    if (++tries > 100) {
      TerminateThread(run->reader, 1);
      break;
    }
    CancelSynchronousIo(run->reader);
  }
  CloseHandle(run->reader);
  run->reader = nullptr;
}

}  // namespace

os_popen_run_t* os_popen_run(const char* command, const char* mode, uint32_t limit_ms) {
  os_popen_t* h = os_popen(command, mode);
  if (!h) return nullptr;
  auto* run = new os_popen_run_t;
  run->pipe = h;
  run->out = strbuf_new();
  run->reader = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, popen_reader, run, 0, nullptr));
  if (WaitForSingleObject(h->process, limit_ms) == WAIT_OBJECT_0)
    run->exit_code = exit_code_of(h->process);
  os_popen_interrupt(h);
  if (run->reader && WaitForSingleObject(run->reader, 100) != WAIT_OBJECT_0) {
    // Something still holds the pipe open (a process the child started,
    // typically): keep what was read and stop waiting for more.
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
  delete run;
  return 0;
}
