// krsd: the file-service daemon the acquisition tool reads the device
// through. See krsd --help and the README.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cert_fingerprint.h"
#include "krsd_file.h"
#include "krsd_opts.h"
#include "krsd_server.h"
#include "os/os_log.h"

#define KR_LOG_SRC "src\\tool\\krsd\\krsd_main"

namespace {

// Relative paths of the options are taken from the start directory; the
// daemonised process runs in "/", so they are made absolute first.
void make_absolute(std::string* path) {
  if (path->empty() || (*path)[0] == '/') return;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) != nullptr) *path = std::string(cwd) + "/" + *path;
}

// The child's report to the started process: one byte (1 = listening), then
// the lines to print (the TLS certificate's fingerprint when TLS is on, the
// start-up line), or 0 and the reason it cannot start; then the end of the
// pipe.
std::string read_report(int fd) {
  std::string report;
  char buf[512];
  struct pollfd p = {fd, POLLIN, 0};
  // Bounded: the child retries a port still held for at most 5 s.
  while (report.size() < 4096 && poll(&p, 1, 8000) == 1) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    report.append(buf, size_t(n));
  }
  return report;
}

// Forks the daemon. The parent returns to the shell as soon as the child
// reports that it listens (or failed), so a client started right after "-d"
// finds the port open and a daemon that cannot start is not reported as
// started. It prints the certificate's fingerprint and the start-up line on
// standard output, where the deployment that started it over SSH reads
// them, or why the daemon cannot start on standard error, which the
// deployment logs. Returns the write end of the report pipe in the child, -1
// on error.
int daemonize() {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    close(report[1]);
    std::string r = read_report(report[0]);
    if (r.empty()) {
      fputs("krsd: the daemon ended or did not answer before it listened\n", stderr);
      _exit(1);
    }
    if (r[0] != 1) {
      fprintf(stderr, "krsd: %s\n", r.size() > 1 ? r.c_str() + 1 : "cannot start");
      _exit(1);
    }
    // The daemon listens whether or not the lines can be written.
    fwrite(r.data() + 1, 1, r.size() - 1, stdout);
    fflush(stdout);
    _exit(0);
  }
  close(report[0]);
  setsid();
  int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
  }
  if (chdir("/") != 0) {
    std::string why = std::string("cannot change to /: ") + krsd_errno_text(errno);
    if (write(report[1], "", 1) != 1 || write(report[1], why.data(), why.size()) < 0) {
      // The parent is gone; nothing to tell.
    }
    close(report[1]);
    return -1;
  }
  return report[1];
}

// ok: the lines to print; else the reason the daemon cannot start.
void report_started(int fd, bool ok, const std::string& text) {
  if (fd < 0) return;
  std::string r(1, ok ? 1 : 0);
  r += text;
  if (write(fd, r.data(), r.size()) != ssize_t(r.size())) {
    // The parent is gone; nothing to tell.
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a peer that went away is an error result, not a signal
  // Large buffers come from the system and go back to it when freed, so
  // that what the connections hold (--mem-limit) is what the process holds:
  // glibc would otherwise raise this bound after the first large free and
  // keep later buffers in heaps that it seldom returns.
  mallopt(M_MMAP_THRESHOLD, 256 << 10);
  krsd_opts opts;
  std::string err;
  int rc = krsd_opts_parse(argc, argv, getenv("KRSD_ARGS"), &opts, &err);
  if (rc == 1) {
    fputs(err.c_str(), stdout);
    return 0;
  }
  if (rc != 0) {
    fprintf(stderr, "krsd: %s\n", err.c_str());
    return 2;
  }

  if (krsd_opts_settle(&opts, getenv("SSH_CONNECTION"), getenv("SSH_CLIENT"), &err) != 0) {
    fprintf(stderr, "krsd: %s\n", err.c_str());
    return 1;
  }

  os_log_ctl(OS_LOG_SET_LEVEL, opts.verbose ? OS_LOG_DEBUG : OS_LOG_INFO);
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_PREFIX_TIME);
  if (!opts.log_file.empty()) {
    make_absolute(&opts.log_file);
    if (os_log_ctl(OS_LOG_OPEN_FILE, opts.log_file.c_str()) == 0)
      os_log_ctl(OS_LOG_SET_FILE, 1);
  }

  int report_fd = -1;
  if (opts.daemonize) {
    make_absolute(&opts.root);
    make_absolute(&opts.port_file);
    make_absolute(&opts.cert);
    make_absolute(&opts.key);
    for (auto& m : opts.maps) make_absolute(&m.file);
    report_fd = daemonize();
    if (report_fd < 0) {
      fprintf(stderr, "krsd: cannot daemonise\n");
      return 1;
    }
    os_log_ctl(OS_LOG_SET_CONSOLE, 0);
  }

  // Lives until the process ends: its connection threads are detached.
  auto* server = new krsd_server();
  // A daemon started right after "killall krsd" may find its ports still
  // held for a moment by the instance that is ending.
  if (server->init(opts, opts.daemonize ? 5000 : 0, &err) != 0) {
    KR_LOG(OS_LOG_ERR, "krsd: %s\n", err.c_str());
    if (!opts.daemonize) fprintf(stderr, "krsd: %s\n", err.c_str());
    report_started(report_fd, false, err);
    return 1;
  }
  std::string lines;
  if (!server->tls_fingerprint().empty())
    lines = SD_CERT_SHA256_TAG + server->tls_fingerprint() + "\n";
  lines += server->startup_line() + "\n";
  report_started(report_fd, true, lines);
  // Connection threads may still be winding down: no destructors run.
  if (server->run() == 0) _exit(0);
  KR_LOG(OS_LOG_ERR, "krsd: accept loop failed, ending\n");
  _exit(1);
}
