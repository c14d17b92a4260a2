// krimg deploy: one deployment of the device daemon with the dialog's
// defaults, through the same worker the dialog's Connect button uses.
#include "krimg_deploy.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "krimg_sys.h"
#include "os/os_log.h"
#include "os/os_system.h"
#include "ssh.h"

namespace {

// The deployment's question about an unknown host key: answered by
// --hostkey, else on a terminal, else no.
bool ask_hostkey(const std::string& given, const char* host, int port, const char* fingerprint) {
  if (!given.empty()) {
    if (ssh_same_fingerprint(given, fingerprint)) return true;
    fprintf(stderr, "krimg deploy: the device's host key %s is not the one given with --hostkey (%s)\n",
            fingerprint, given.c_str());
    return false;
  }
  if (!krimg_stdin_is_terminal() || !krimg_stderr_is_terminal()) {
    fprintf(stderr,
            "krimg deploy: the host key of %s is not known; compare its fingerprint with the "
            "device's and trust it with --hostkey \"%s\"\n",
            host, fingerprint);
    return false;
  }
  fprintf(stderr, "设备 %s (端口 %d) 的主机密钥未知, 指纹:\n  %s\n信任此密钥并继续连接? (y/n) ", host,
          port, fingerprint);
  std::string answer;
  bool yes = krimg_read_answer(&answer) && (answer == "y" || answer == "yes");
  if (!yes) fputc('\n', stderr);
  return yes;
}

void usage(FILE* to) {
  fprintf(to,
          "usage: krimg deploy [--ip ADDR] [--port N] [--user U]\n"
          "                    [--password-file FILE | --password - | --password P]\n"
          "                    [--hostkey FINGERPRINT] [--debug]\n"
          "  Copies dev/armv7/krsd to the device's /tmp with pscp.exe and starts it\n"
          "  with plink.exe, from the folder %s\n"
          "  (the tools, when not there, from PATH).\n"
          "  Prints the krps:// URL that accepts only the started daemon's TLS\n"
          "  certificate on standard output.\n"
          "  --ip ADDR      device address (192.168.191.2)\n"
          "  --port N       SSH port (22)\n"
          "  --user U       SSH user (root)\n"
          "  --password-file FILE  SSH password: the first line of FILE\n"
          "  --password -   SSH password: a line of standard input (on a terminal,\n"
          "                 typed without echo)\n"
          "  --password P   SSH password P; an empty text sends none. Every user of\n"
          "                 this machine sees P in the process list (ps): use one\n"
          "                 of the two above. Default: tazmok\n"
          "                 (The tools' own command lines show the password to\n"
          "                 local users while each step runs, up to 30 s.)\n"
          "  --hostkey FP   trust the device's SSH host key with this fingerprint\n"
          "                 (SHA256:..., or the whole line the tools show) when the\n"
          "                 tools do not know it yet; without it a terminal asks,\n"
          "                 anything else refuses the key\n"
          "  --debug        also log the command lines and the tools' output\n"
          "  The tools keep the host keys they trust in %s;\n"
          "  a key that differs from the one kept there is refused: remove that entry\n"
          "  once you know why the device's key changed.\n"
          "  Exit status: 0 when the device was prepared and its daemon's certificate\n"
          "  fingerprint printed, 1 when not, 2 for a usage error.\n",
          os_tools_dir().c_str(), krimg_hostkey_store());
}

// The first line of path, without its line end: a password kept in a file
// of the examiner's, out of every process list. Returns why it cannot be
// taken, empty when it was: a file without a single byte is an error (a
// password file not written yet, or the wrong one), as is a folder; a line
// that is empty is the empty password.
std::string read_first_line(const char* path, std::string* line) {
  FILE* f = fopen(path, "rb");
  if (!f) return strerror(errno);
  line->clear();
  errno = 0;
  int c = 0;
  bool any = false;
  while ((c = fgetc(f)) != EOF && c != '\n') {
    *line += char(c);
    any = true;
  }
  any = any || c == '\n';
  const int err = ferror(f) ? (errno ? errno : EIO) : 0;
  fclose(f);
  if (err) return strerror(err);
  if (!any) return "the file is empty";
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return {};
}

bool parse_port(const char* text, int* port) {
  if (!text || !*text) return false;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (*end != '\0' || v < 0 || v > 65535) return false;
  *port = (int)v;
  return true;
}

}  // namespace

int krimg_deploy_main(int argc, char** argv) {
  std::string ip = "192.168.191.2", user = "root", password = "tazmok", hostkey;
  const char* password_from = nullptr;  // "--password" or "--password-file"
  std::string password_file;
  int port = 22;
  bool debug = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "krimg deploy: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (!strcmp(a, "--ip") || !strcmp(a, "--user") || !strcmp(a, "--password") ||
        !strcmp(a, "--password-file") || !strcmp(a, "--port") || !strcmp(a, "--hostkey")) {
      const char* v = value(a);
      if (!v) return 2;
      const bool secret = !strcmp(a, "--password") || !strcmp(a, "--password-file");
      if (secret && password_from && strcmp(password_from, a)) {
        fprintf(stderr, "krimg deploy: --password and --password-file exclude each other\n");
        return 2;
      }
      if (secret) password_from = !strcmp(a, "--password") ? "--password" : "--password-file";
      if (!strcmp(a, "--ip")) ip = v;
      else if (!strcmp(a, "--hostkey")) hostkey = v;
      else if (!strcmp(a, "--user")) user = v;
      else if (!strcmp(a, "--password")) password = v;
      else if (!strcmp(a, "--password-file")) password_file = v;
      else if (!parse_port(v, &port)) {
        fprintf(stderr, "krimg deploy: bad port \"%s\"\n", v);
        return 2;
      }
    } else if (!strcmp(a, "--debug")) {
      debug = true;
    } else if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
      usage(stdout);
      return 0;
    } else {
      fprintf(stderr, "krimg deploy: unknown argument \"%s\"\n", a);
      usage(stderr);
      return 2;
    }
  }

  os_log_ctl(OS_LOG_SET_CONSOLE, 1);
  os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_PREFIX_TIME);
  os_log_ctl(OS_LOG_SET_LEVEL, debug ? OS_LOG_DEBUG : OS_LOG_INFO);

  // Ctrl-C, SIGTERM and SIGHUP (a closed terminal) end the running tool (it
  // sits in a process group of its own) and every later one, so the
  // deployment fails at once instead of leaving a tool behind with the
  // password on its command line, or its output files.
  krimg_interrupt_catch(true);

  if (password_from && !strcmp(password_from, "--password-file")) {
    if (const std::string why = read_first_line(password_file.c_str(), &password); !why.empty()) {
      fprintf(stderr, "krimg deploy: cannot read the password file %s: %s\n", password_file.c_str(), why.c_str());
      krimg_interrupt_release();
      return 2;
    }
  } else if (password_from && password == "-") {
    if (krimg_stdin_is_terminal()) fprintf(stderr, "%s@%s 的密码: ", user.c_str(), ip.c_str());
    if (!krimg_read_secret(&password)) {
      fprintf(stderr, "krimg deploy: %s\n", krimg_interrupted() ? "interrupted" : "no password on standard input");
      krimg_interrupt_release();
      return krimg_interrupted() ? 1 : 2;
    }
  } else if (password_from && !password.empty()) {
    fprintf(stderr, "krimg deploy: warning: every user of this machine can read a password given with "
                    "--password in the process list; use --password-file FILE or --password -\n");
  }

  ssh_set_hostkey_question([hostkey](const char* host, int port, const char* fingerprint) {
    return ask_hostkey(hostkey, host, port, fingerprint);
  });
  ssh_init();
  int rc = 1;
  if (ssh_request_init_dev(ip.c_str(), port, user.c_str(), password.c_str()) == 0) {
    // Both steps are bounded by their time limits; the worker clears the
    // busy word when the deployment has ended, whatever its outcome.
    while (ssh_is_busy()) {
      if (krimg_interrupted()) os_system_interrupt_all();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    rc = ssh_last_result() == 0 ? 0 : 1;
  }
  ssh_exit();
  ssh_wait_exit();
  ssh_set_hostkey_question(nullptr);
  krimg_interrupt_release();
  std::string sha256 = ssh_last_tls_sha256();
  if (rc == 0 && sha256.empty()) {
    // An unpinned URL would accept any daemon that answers on that address.
    fprintf(stderr, "krimg deploy: the started daemon reported no TLS certificate fingerprint, so no "
                    "krps:// URL can accept only it; deploy again, or see the log with --debug\n");
    rc = 1;
  } else if (rc == 0) {
    fprintf(stderr, "krimg deploy: add ?ssl-sha256=%s to a krps:// URL of this device to accept "
                    "only this daemon\n", sha256.c_str());
    printf("krps://%s/dev/rdisk0s1s2?ssl-sha256=%s\n", ip.c_str(), sha256.c_str());
  }
  if (krimg_interrupted() && rc != 0) fprintf(stderr, "krimg deploy: interrupted\n");
  return rc;
}
