// krimg's system services on POSIX.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "krimg_sys.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
struct sigaction g_old_int, g_old_term, g_old_hup;
bool g_terminate = false;

void on_interrupt(int) { g_interrupted = 1; }

}  // namespace

bool krimg_stdin_is_terminal() { return isatty(STDIN_FILENO); }
bool krimg_stderr_is_terminal() { return isatty(STDERR_FILENO); }

int krimg_terminal_rows() {
  struct winsize ws {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) != 0) return 0;
  return ws.ws_row;
}

void krimg_interrupt_catch(bool terminate) {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &g_old_int);
  g_terminate = terminate;
  if (terminate) {
    // A closed terminal or SSH session ends the job as Ctrl-C does, with
    // its record written, rather than killing it mid-block.
    sigaction(SIGTERM, &sa, &g_old_term);
    sigaction(SIGHUP, &sa, &g_old_hup);
    signal(SIGPIPE, SIG_IGN);
  }
}

bool krimg_interrupted() { return g_interrupted != 0; }

void krimg_interrupt_release() {
  sigaction(SIGINT, &g_old_int, nullptr);
  if (g_terminate) {
    sigaction(SIGTERM, &g_old_term, nullptr);
    sigaction(SIGHUP, &g_old_hup, nullptr);
  }
}

bool krimg_read_answer(std::string* line) {
  line->clear();
  for (;;) {
    if (g_interrupted) return false;
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char c;
    if (read(STDIN_FILENO, &c, 1) != 1) return false;
    if (c == '\n') return true;
    *line += c;
  }
}

bool krimg_read_secret(std::string* line) {
  termios old{};
  const bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
  if (tty) {
    termios quiet = old;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = krimg_read_answer(line) || (!g_interrupted && !line->empty());
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    fputc('\n', stderr);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return ok;
}

int64_t krimg_image_size(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  if (S_ISREG(st.st_mode)) return st.st_size;
  if (S_ISBLK(st.st_mode)) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;  // cannot tell: treat as holding data
    off_t end = lseek(fd, 0, SEEK_END);
    close(fd);
    return end < 0 ? 1 : end;
  }
  return 0;  // character devices, pipes: nothing to overwrite
}

bool krimg_is_pipe(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}
const char* krimg_hostkey_store() { return "~/.putty/sshhostkeys"; }
