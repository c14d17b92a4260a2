// The command runner on Windows: the command processor with " /c ",
// started hidden and suspended until it is in a job of its own, waiting,
// terminating the job, a console Ctrl-C, anonymous pipes, and the pipe
// runner's reader thread.
#include <windows.h>
#include <process.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "os/os_popen_sys.h"
#include "os/os_system.h"

const pal::runner_traits pal::kRunner = {
    "cmd.exe", ';', '\\', /*any_case_names=*/true, /*shell_in_tools=*/true,
    /*search_with_dir=*/true, ""};

namespace {

HANDLE handle_of(pal::sys_handle h) { return h == pal::kNoHandle ? nullptr : reinterpret_cast<HANDLE>(h); }
HANDLE process_of(const pal::child& c) { return static_cast<HANDLE>(c.process); }

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

bool pal::is_program(const std::string& path) {
  DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> pal::environment() {
  std::vector<std::string> env;
  LPCH block = GetEnvironmentStringsA();
  for (const char* e = block; e && *e; e += strlen(e) + 1) env.emplace_back(e);
  if (block) FreeEnvironmentStringsA(block);
  return env;
}

bool pal::spawn(const std::string& processor, const char* command,
                const std::vector<std::string>& env, const child_stdio& io, child* c) {
  std::string line = processor + " /c " + command;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  if (io.in != kNoHandle || io.out != kNoHandle || io.err != kNoHandle) {
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = io.in != kNoHandle ? handle_of(io.in) : GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = io.out != kNoHandle ? handle_of(io.out) : GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = io.err != kNoHandle ? handle_of(io.err) : GetStdHandle(STD_ERROR_HANDLE);
  }
  // A block of NUL-ended entries closed by an empty one.
  std::vector<char> block;
  for (const std::string& e : env) block.insert(block.end(), e.c_str(), e.c_str() + e.size() + 1);
  block.push_back('\0');
  PROCESS_INFORMATION pi{};
  // Suspended until it is in its job: nothing it starts can escape.
  if (!CreateProcessA(processor.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      block.data(), nullptr, &si, &pi)) {
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
  c->pid = pi.dwProcessId;
  c->process = pi.hProcess;
  c->job = job;
  return true;
}

bool pal::child_wait(const child& c, uint32_t limit_ms) {
  return WaitForSingleObject(process_of(c), limit_ms) == WAIT_OBJECT_0;
}

int pal::child_exit_code(const child& c) {
  DWORD code = 0;
  if (!GetExitCodeProcess(process_of(c), &code)) return -1;
  return static_cast<int>(code);
}

// Exit code 1; every listed command counts as ended.
bool pal::child_kill(const child& c) {
  if (!c.job || !TerminateJobObject(static_cast<HANDLE>(c.job), 1))
    TerminateProcess(process_of(c), 1);
  return true;
}

int pal::child_release(child* c) {
  WaitForSingleObject(process_of(*c), INFINITE);
  int code = child_exit_code(*c);
  if (c->process) CloseHandle(process_of(*c));
  // Closing the job ends what is left in it.
  if (c->job) CloseHandle(static_cast<HANDLE>(c->job));
  *c = {};
  return code;
}

int pal::interrupt_process(int64_t pid) {
  if (pid <= 0 || pid > MAXDWORD) return 0;
  return console_ctrl_c(static_cast<DWORD>(pid));
}

unsigned long pal::last_error() { return GetLastError(); }

bool pal::pipe_new(sys_handle ends[2], int parent_end) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) return false;
  SetHandleInformation(parent_end == 0 ? rd : wr, HANDLE_FLAG_INHERIT, 0);
  ends[0] = reinterpret_cast<sys_handle>(rd);
  ends[1] = reinterpret_cast<sys_handle>(wr);
  return true;
}

void pal::handle_private(sys_handle h) { SetHandleInformation(handle_of(h), HANDLE_FLAG_INHERIT, 0); }

void pal::handle_close(sys_handle* h) {
  if (*h != kNoHandle) CloseHandle(handle_of(*h));
  *h = kNoHandle;
}

int pal::handle_read(sys_handle h, void* buf, int size) {
  DWORD got = 0;
  if (!ReadFile(handle_of(h), buf, static_cast<DWORD>(size), &got, nullptr))
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  return static_cast<int>(got);
}

int pal::handle_write(sys_handle h, const void* buf, int size) {
  DWORD put = 0;
  if (!WriteFile(handle_of(h), buf, static_cast<DWORD>(size), &put, nullptr)) {
    errno = EPIPE;
    return -1;
  }
  return static_cast<int>(put);
}

// Anonymous pipes have no timed read: look for output every 20 ms.
int pal::read_within(sys_handle h, char* buf, int size, uint32_t limit_ms) {
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  while (GetTickCount64() < deadline) {
    DWORD avail = 0;
    if (!PeekNamedPipe(handle_of(h), nullptr, 0, nullptr, &avail, nullptr)) return 0;  // writers gone
    if (avail == 0) {
      Sleep(20);
      continue;
    }
    DWORD got = 0;
    if (!ReadFile(handle_of(h), buf, static_cast<DWORD>(size), &got, nullptr)) return 0;
    return static_cast<int>(got);
  }
  return 0;
}

void pal::write_reply(sys_handle h, const std::string& text) {
  DWORD put = 0;
  WriteFile(handle_of(h), text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
}

struct pal::reader {
  sys_handle rd = kNoHandle;
  strbuf* out = nullptr;
  HANDLE thread = nullptr;
};

namespace {

// Reads until the pipe's end or a failure (also a read cancelled by
// reader_stop).
unsigned __stdcall read_all(void* p) {
  auto* r = static_cast<pal::reader*>(p);
  char chunk[512];
  for (;;) {
    int got = pal::handle_read(r->rd, chunk, 511);
    if (got <= 0) break;
    strbuf_append(r->out, chunk, got);
  }
  return 0;
}

}  // namespace

pal::reader* pal::reader_start(sys_handle rd, strbuf* out) {
  auto* r = new reader;
  r->rd = rd;
  r->out = out;
  r->thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, read_all, r, 0, nullptr));
  if (!r->thread) {
    delete r;
    return nullptr;
  }
  return r;
}

bool pal::reader_wait(reader* r, uint32_t limit_ms) {
  return WaitForSingleObject(r->thread, limit_ms) == WAIT_OBJECT_0;
}

void pal::reader_stop(reader* r) {
  if (!r) return;
  // A read that ignores cancellation for a second is ended with its thread:
  // it holds nothing but its own chunk.
  int tries = 0;
  while (WaitForSingleObject(r->thread, 10) == WAIT_TIMEOUT) {
    if (++tries > 100) {
      TerminateThread(r->thread, 1);
      break;
    }
    CancelSynchronousIo(r->thread);
  }
  CloseHandle(r->thread);
  delete r;
}
