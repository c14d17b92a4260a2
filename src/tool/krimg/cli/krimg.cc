// krimg: the imaging engine from the command line.
//   krimg acquire [--ip ADDR | --source URL] --image PATH [--resume | --restart] [--debug]
//                 [--case T] [--evidence T] [--examiner T] [--notes T] [--verify]
//                 [--format raw|e01] [--compress none|fast|best] [--segment-size N]
//   krimg verify IMAGE [--debug]
//   krimg deploy ...
//   krimg --version
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "krii_version.h"
#include "dd_ewf.h"
#include "dd_host.h"
#include "dd_record.h"
#include "dd_verify.h"
#include "krimg_deploy.h"
#include "krsd-client.h"
#include "krimg_sys.h"
#include "krsd_ui.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "stream.h"
#include "tb_file.h"
#include "tb_init.h"
#include "tb_url.h"

namespace {

constexpr const char* kDefaultIp = "192.168.191.2";
constexpr const char* kSourceFormat = "krp://%s/dev/rdisk0s1s2";

// Exit status of a refusal before any job ran (a set-up failure), and of a
// command line that cannot be understood (as Linux tools do).
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: krimg <command> [options]\n"
    "\n"
    "commands:\n"
    "  acquire   copy a device (or any file) block by block into a raw or E01 image\n"
    "  verify    re-hash an image and compare it with its report and piece record\n"
    "  deploy    copy the file-service daemon to the device and start it\n"
    "\n"
    "'krimg <command> --help' shows the options of a command;\n"
    "'krimg --version' prints the version.\n";

const char kAcquireUsage[] =
    "usage: krimg acquire [--ip ADDR | --source URL] --image PATH\n"
    "                     [--resume | --restart] [--debug]\n"
    "                     [--case T] [--evidence T] [--examiner T] [--notes T] [--verify]\n"
    "                     [--format raw|e01] [--compress none|fast|best] [--segment-size N]\n"
    "\n"
    "  --ip ADDR      device address (default 192.168.191.2); the source is\n"
    "                 krp://ADDR/dev/rdisk0s1s2\n"
    "  --source URL   krp://, krps:// URL, a local file or a device such as\n"
    "                 /dev/sdb; \\dev\\stdin reads standard input\n"
    "  --image PATH   the image to write (with --format e01 a name ending in .E01;\n"
    "                 later segments are PATH's .E02, .E03, ...)\n"
    "  --resume       continue a non-empty image from its end (a missing or\n"
    "                 empty image is simply started)\n"
    "  --restart      overwrite a non-empty image from byte 0\n"
    "  --debug        log details (level 7)\n"
    "  --case T, --evidence T, --examiner T, --notes T\n"
    "                 stored in the report beside the image (IMAGE.txt, IMAGE.json)\n"
    "  --verify       after a successful copy, re-read the image and compare it\n"
    "                 with its report (as krimg verify)\n"
    "  --format F     raw (default): the bytes as they are; e01: the Expert Witness\n"
    "                 format, with the case fields, MD5, SHA-1 and unreadable\n"
    "                 sectors inside; an E01 image is not continued (--resume)\n"
    "  --compress C   E01 compression: none, fast (default) or best\n"
    "  --segment-size N  E01 segment size (default 2G; units k, M, G)\n"
    "\n"
    "Without a terminal a non-empty image needs --resume or --restart.\n"
    "Ctrl-C stops the copy; the image can be resumed later.\n"
    "Exit status: 0 success; 1 failed; 2 a usage error, or the source could\n"
    "not be opened; 3 read error; 4 write error on a remote output; 5 stopped;\n"
    "6 the copy succeeded but --verify found the image different.\n";

const char kVerifyUsage[] =
    "usage: krimg verify IMAGE [--debug]\n"
    "\n"
    "Re-reads IMAGE (only the image, never the source) and compares its MD5 and\n"
    "SHA-256 with the report beside it (IMAGE.json) and its pieces with the\n"
    "piece record (IMAGE.krii).\n"
    "Exit status: 0 the image matches; 1 it differs; 2 a usage error; 3 nothing\n"
    "to compare with, or the image could not be read.\n";

// Exit status of acquire --verify when the copy succeeded and the image then
// differed from its record.
constexpr int kExitVerifyFailed = 6;

// The status line on a terminal. With a known window height it lives on
// the bottom row, outside a scrolling region that holds the log lines, so
// that the two never overwrite each other; otherwise it is redrawn in place
// at the start of the current line.
bool g_have_percent = false;
int g_percent = 0;
int g_rows = 0;  // terminal rows while the bottom row is reserved, else 0

void tty_status_end() {
  if (!g_rows) return;
  fprintf(stderr, "\0337\033[r\033[%d;1H\033[K\0338", g_rows);
  fflush(stderr);
  g_rows = 0;
}

void tty_status_begin() {
  int rows = krimg_terminal_rows();
  if (rows < 3) return;
  g_rows = rows;
  // Make room when the cursor is on the bottom row, then keep the log
  // above it.
  fprintf(stderr, "\n\033[A\0337\033[1;%dr\0338", g_rows - 1);
  fflush(stderr);
  atexit(tty_status_end);  // also when a critical line ends the process
}

void tty_set_progress(int percent) {
  g_percent = percent;
  g_have_percent = true;
}

void tty_draw(const char* line) {
  if (g_rows)
    fprintf(stderr, "\0337\033[%d;1H\033[K%s\0338", g_rows, line);
  else
    fprintf(stderr, "\r\033[K%s\r", line);  // the cursor stays at column 0
  fflush(stderr);
}

void tty_set_status(const char* text) {
  if (!*text) {
    g_have_percent = false;
    tty_draw("");
    return;
  }
  char line[200];
  if (g_have_percent) {
    constexpr int kWidth = 30;
    char bar[kWidth + 3];
    int p = g_percent < 0 ? 0 : g_percent > 100 ? 100 : g_percent;
    int filled = p * kWidth / 100;
    bar[0] = '[';
    for (int i = 0; i < kWidth; ++i) bar[1 + i] = i < filled ? '#' : '.';
    bar[kWidth + 1] = ']';
    bar[kWidth + 2] = '\0';
    snprintf(line, sizeof line, "%s %s", bar, text);
  } else {
    snprintf(line, sizeof line, "%s", text);
  }
  tty_draw(line);
}

int answer_yes(const char*) { return 1; }

bool read_yes(const char* prompt) {
  // The question may end in a line break; the answer goes on its line.
  fwrite(prompt, 1, strcspn(prompt, "\n"), stderr);
  fputs(" [y/N] ", stderr);
  fflush(stderr);
  char line[64];
  if (!fgets(line, sizeof line, stdin)) return false;
  line[strcspn(line, "\r\n")] = '\0';
  return strcasecmp(line, "y") == 0 || strcasecmp(line, "yes") == 0;
}

int ask_terminal(const char* question) { return read_yes(question) ? 1 : 0; }

bool is_stdin_name(const std::string& s) {
  return strcasecmp(s.c_str(), "\\dev\\stdin") == 0 || strcasecmp(s.c_str(), "/dev/stdin") == 0 ||
         s == "-";
}

// The system path that the engine opens for a local source or image text,
// named by the file layer itself, so that these checks look at the very
// file the job will write; "" with errno set when there is none.
std::string system_path(const std::string& text) {
  if (tb_url_protocol_probe(text.c_str()) != TB_URL_PROTOCOL_FILE) {
    errno = EINVAL;
    return "";
  }
  char buf[4096];
  if (!tb_file_system_path(text.c_str(), buf, sizeof buf)) return "";
  return buf;
}

// A name the file layer refuses can never be opened: say so before anything is.
bool unrepresentable(int err) { return err == EINVAL || err == ENAMETOOLONG; }

// Whether the source tells its size, asked as the engine will ask it. A pipe
// or socket is not opened for this (it would take from another program's
// stream) and standard input never has one. -1 when the source cannot be
// opened: the job itself will say why.
int source_size_known(const std::string& source, bool is_stdin, const std::string& local) {
  if (is_stdin) return 0;
  if (!local.empty() && krimg_is_pipe(local)) return 0;
  stream_ref_t s = stream_open(source.c_str(), FILE_MODE_READ, 2000);
  if (!s) return -1;
  const int64_t size = stream_size(s);
  stream_close(s);
  return size > 0 ? 1 : 0;
}

// --format, --compress and --segment-size into f; false after the usage
// line.
bool parse_format(const std::string& format, const std::string& compress, const std::string& segment,
                  const std::string& image, dd_image_format* f) {
  if (format == "raw" || format.empty()) {
    f->kind = DD_FORMAT_RAW;
  } else if (strcasecmp(format.c_str(), "e01") == 0) {
    f->kind = DD_FORMAT_E01;
  } else {
    fprintf(stderr, "krimg acquire: --format is raw or e01, not '%s'\n", format.c_str());
    return false;
  }
  if (compress == "none") {
    f->compress = DD_COMPRESS_NONE;
  } else if (compress == "fast" || compress.empty()) {
    f->compress = DD_COMPRESS_FAST;
  } else if (compress == "best") {
    f->compress = DD_COMPRESS_BEST;
  } else {
    fprintf(stderr, "krimg acquire: --compress is none, fast or best, not '%s'\n", compress.c_str());
    return false;
  }
  if (!segment.empty()) {
    // The container's own bounds: a segment holds at least a few chunks and
    // its offsets are 64-bit.
    const int64_t n = parse_size(segment.c_str());
    if (n < (int64_t{1} << 20)) {
      fprintf(stderr, "krimg acquire: --segment-size '%s' is no size of at least 1M\n", segment.c_str());
      return false;
    }
    f->segment_bytes = n;
  }
  if (f->kind == DD_FORMAT_RAW && (!compress.empty() || !segment.empty())) {
    fputs("krimg acquire: --compress and --segment-size are for --format e01\n", stderr);
    return false;
  }
  if (f->kind == DD_FORMAT_E01 && !dd_ewf_name(image)) {
    fprintf(stderr, "krimg acquire: an E01 image's name ends in .E01: %s\n", image.c_str());
    return false;
  }
  if (f->kind == DD_FORMAT_RAW && dd_ewf_name(image)) {
    // verify would read such a file as a container.
    fprintf(stderr, "krimg acquire: a raw image's name must not end in .E01: %s\n", image.c_str());
    return false;
  }
  if (f->kind == DD_FORMAT_E01 && !dd_ewf_available()) {
    fputs("krimg acquire: this krimg was built without E01 support\n", stderr);
    return false;
  }
  return true;
}

// What acquire's command line asks for.
struct AcquireArgs {
  std::string ip, source, image;
  std::string format, compress, segment;
  std::string case_id, evidence, examiner, notes;
  bool have_ip = false, have_source = false, have_image = false;
  bool resume = false, restart = false, debug = false, verify = false;
};

// acquire's options: a value ("--name value" or "--name=value") is kept in
// text, and given records that it came; a switch (the name alone) sets given.
struct AcquireOption {
  const char* name;
  std::string AcquireArgs::*text;
  bool AcquireArgs::*given;
};

const AcquireOption kAcquireOptions[] = {
    {"--case", &AcquireArgs::case_id, nullptr},
    {"--evidence", &AcquireArgs::evidence, nullptr},
    {"--examiner", &AcquireArgs::examiner, nullptr},
    {"--notes", &AcquireArgs::notes, nullptr},
    {"--format", &AcquireArgs::format, nullptr},
    {"--compress", &AcquireArgs::compress, nullptr},
    {"--segment-size", &AcquireArgs::segment, nullptr},
    {"--ip", &AcquireArgs::ip, &AcquireArgs::have_ip},
    {"--source", &AcquireArgs::source, &AcquireArgs::have_source},
    {"--image", &AcquireArgs::image, &AcquireArgs::have_image},
    {"--verify", nullptr, &AcquireArgs::verify},
    {"--resume", nullptr, &AcquireArgs::resume},
    {"--restart", nullptr, &AcquireArgs::restart},
    {"--debug", nullptr, &AcquireArgs::debug},
};

// Goes on to the next step of acquire; any other value is its exit status.
constexpr int kGoOn = -1;

// Reads the command line into a: kGoOn, or the exit status after the help
// or a usage line.
int parse_acquire(int argc, char** argv, AcquireArgs* a) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      fputs(kAcquireUsage, stdout);
      return 0;
    }
    const AcquireOption* found = nullptr;
    const char* inline_value = nullptr;
    for (const AcquireOption& o : kAcquireOptions) {
      const size_t n = strlen(o.name);
      if (strncmp(arg, o.name, n) != 0) continue;
      if (arg[n] == '\0' || (o.text && arg[n] == '=')) {
        found = &o;
        if (arg[n] == '=') inline_value = arg + n + 1;
        break;
      }
    }
    if (!found) {
      fprintf(stderr, "krimg acquire: unknown argument '%s'\n%s", arg, kAcquireUsage);
      return kExitUsage;
    }
    if (found->text) {
      if (!inline_value && i + 1 >= argc) {
        fprintf(stderr, "krimg acquire: %s needs a value\n", found->name);
        return kExitUsage;
      }
      a->*found->text = inline_value ? inline_value : argv[++i];
    }
    if (found->given) a->*found->given = true;
  }
  return kGoOn;
}

// The image, the format and which options go together: kGoOn, or the
// status after the usage line.
int check_options(const AcquireArgs& a, dd_image_format* format) {
  if (!a.have_image || a.image.empty()) {
    fprintf(stderr, "krimg acquire: --image is required\n%s", kAcquireUsage);
    return kExitUsage;
  }
  if (!parse_format(a.format, a.compress, a.segment, a.image, format)) return kExitUsage;
  if (a.have_ip && a.have_source) {
    fputs("krimg acquire: give --ip or --source, not both\n", stderr);
    return kExitUsage;
  }
  if (a.resume && a.restart) {
    fputs("krimg acquire: give --resume or --restart, not both\n", stderr);
    return kExitUsage;
  }
  return kGoOn;
}

// What a checked command line copies from where to where.
struct AcquirePlan {
  std::string source, image;
  bool source_is_stdin = false;
  std::string source_path, image_path;  // the files the engine opens; source's "" when none
};

// The source (the device address's URL without --source): kGoOn, or the
// status after the usage line.
int settle_source(const AcquireArgs& a, AcquirePlan* plan) {
  plan->source = a.source;
  if (!a.have_source) {
    const std::string ip = a.have_ip ? a.ip : kDefaultIp;
    if (ip.empty() || ip.find_first_of("/?#@ ") != std::string::npos) {
      fprintf(stderr, "krimg acquire: '%s' is not a device address\n", ip.c_str());
      return kExitUsage;
    }
    char url[300];
    snprintf(url, sizeof url, kSourceFormat, ip.c_str());
    plan->source = url;
  }
  if (plan->source.empty()) {
    fputs("krimg acquire: the source is empty\n", stderr);
    return kExitUsage;
  }
  plan->source_is_stdin = is_stdin_name(plan->source);
  if (plan->source == "-") plan->source = "\\dev\\stdin";
  return kGoOn;
}

// The files behind the image and a local source, and that the image is not
// the source: kGoOn, or the status after an error line.
int settle_paths(AcquirePlan* plan) {
  const std::string& image = plan->image;
  if (tb_url_protocol_probe(image.c_str()) != TB_URL_PROTOCOL_FILE) {
    fprintf(stderr, "krimg acquire: the image must be a local path: %s\n", image.c_str());
    return kExitUsage;
  }
  plan->image_path = system_path(image);
  if (plan->image_path.empty()) {
    const int err = errno;
    fprintf(stderr, "krimg acquire: the image %s cannot be used as a file name: %s\n",
            image.c_str(), strerror(err));
    return unrepresentable(err) ? kExitUsage : kExitRefused;
  }
  const std::string& source = plan->source;
  if (!plan->source_is_stdin && tb_url_protocol_probe(source.c_str()) == TB_URL_PROTOCOL_FILE) {
    plan->source_path = system_path(source);
    if (plan->source_path.empty() && unrepresentable(errno)) {
      fprintf(stderr, "krimg acquire: the source %s cannot be used as a file name: %s\n",
              source.c_str(), strerror(errno));
      return kExitUsage;
    }
  }
  std::string why;
  if (!plan->source_path.empty() &&
      dd_host_image_in_source(plan->source_path, plan->image_path, &why)) {
    fprintf(stderr, "krimg acquire: the image %s is the source itself (%s); refused\n", image.c_str(),
            why.c_str());
    return kExitRefused;
  }
  return kGoOn;
}

// Ends the engine before acquire returns status.
int end_engine(int status) {
  krsd_exit();
  krsd_join();
  return status;
}

// Whether a non-empty image is continued (*want_resume) or overwritten,
// asked on the terminal unless --resume or --restart said: kGoOn, or
// kExitRefused with the image left as it was (the engine ended).
int choose_resume(const AcquireArgs& a, const AcquirePlan& plan, krsd_ui_ops* ops,
                  int* want_resume) {
  const char* image = plan.image.c_str();
  // Continuing reads the source from the image's size on: a source without
  // a size cannot be positioned there. That is settled before the image is
  // opened.
  const bool sized = source_size_known(plan.source, plan.source_is_stdin, plan.source_path) != 0;
  if (!sized && a.resume) {
    fprintf(stderr,
            "krimg acquire: the source %s has no size (standard input, a pipe or a device that "
            "does not tell its size), so %s cannot be continued from it; image left as it was\n",
            plan.source.c_str(), image);
    return end_engine(kExitRefused);
  }
  if (sized) {
    ops->ask_yes_no = a.resume ? answer_yes : ask_terminal;
    krsd_ui_set(ops);
    *want_resume = krsd_outfile_ask_continue(image);
  } else {
    fprintf(stderr, "krimg acquire: the source %s has no size; %s cannot be continued from it\n",
            plan.source.c_str(), image);
  }
  if (!*want_resume && a.resume) {
    fprintf(stderr, "krimg acquire: %s cannot be opened to continue it; image left as it was\n",
            image);
    return end_engine(kExitRefused);
  }
  if (!*want_resume) {
    // No to continuing is not yet a yes to destroying the image.
    char q[600];
    snprintf(q, sizeof q, "%s will be overwritten from byte 0. Overwrite?", image);
    if (!read_yes(q)) {
      fputs("krimg acquire: image left as it was\n", stderr);
      return end_engine(kExitRefused);
    }
  }
  return kGoOn;
}

// Runs the copy until its end, passing a Ctrl-C on as a stop: the job's
// result, or kExitRefused when it could not start.
int run_copy(const AcquirePlan& plan, const krsd_ui_ops& ops, int want_resume) {
  if (krsd_get_file(plan.source.c_str(), plan.image.c_str(), want_resume) != 0)
    return end_engine(kExitRefused);
  if (ops.set_status) tty_status_begin();
  bool stop_sent = false;
  while (krsd_is_busy()) {
    if (krimg_interrupted() && !stop_sent) {
      krsd_stop();
      stop_sent = true;
    }
    if (ops.set_status) krsd_status_tick();
    // Short naps: the job's end is seen within 10 ms (a job of a few MiB
    // takes a few tenths of a second, and waiting longer would show in it).
    tb_msleep(10);
  }
  end_engine(0);
  tty_status_end();
  return krsd_last_result();
}

int acquire_main(int argc, char** argv) {
  AcquireArgs a;
  if (int status = parse_acquire(argc, argv, &a); status != kGoOn) return status;
  dd_case_info info;
  info.program = "krimg";
  // The report is UTF-8; the command line is in the system's character set
  // (code page 936 on the examiners' Windows workstations).
  info.case_id = dd_host_utf8(a.case_id);
  info.evidence = dd_host_utf8(a.evidence);
  info.examiner = dd_host_utf8(a.examiner);
  info.notes = dd_host_utf8(a.notes);
  dd_image_format image_format;
  if (int status = check_options(a, &image_format); status != kGoOn) return status;
  AcquirePlan plan;
  plan.image = a.image;
  if (int status = settle_source(a, &plan); status != kGoOn) return status;
  if (int status = settle_paths(&plan); status != kGoOn) return status;

  os_log_ctl(OS_LOG_SET_LEVEL, a.debug ? OS_LOG_DEBUG : OS_LOG_INFO);
  os_log_ctl(OS_LOG_SET_PREFIX_NAMES, "time");
  os_log_ctl(OS_LOG_SET_CONSOLE, 1);

  const bool interactive =
      !plan.source_is_stdin && krimg_stdin_is_terminal() && krimg_stderr_is_terminal();
  const int64_t existing = krimg_image_size(plan.image_path);
  if (existing > 0 && !a.resume && !a.restart && !interactive) {
    fprintf(stderr,
            "krimg acquire: %s exists and is not empty; give --resume to continue it or "
            "--restart to overwrite it\n",
            plan.image.c_str());
    return kExitRefused;
  }

  krsd_ui_ops ops{};
  if (krimg_stderr_is_terminal()) {
    ops.set_status = tty_set_status;
    ops.set_progress = tty_set_progress;
  }
  krsd_init();
  dd_case_set(info);
  dd_format_set(image_format);
  int want_resume = 0;
  if (existing > 0 && !a.restart) {
    if (int status = choose_resume(a, plan, &ops, &want_resume); status != kGoOn) return status;
  }
  ops.ask_yes_no = nullptr;
  krsd_ui_set(&ops);
  krimg_interrupt_catch(true);

  const int result = run_copy(plan, ops, want_resume);
  if (result == 0 && a.verify) {
    if (tb_file_local_kind(plan.image.c_str()) != 1) {
      // A disk or /dev/null keeps no record to compare with.
      fprintf(stderr, "krimg acquire: %s is not a regular file; verification skipped\n",
              plan.image.c_str());
      return 0;
    }
    dd_check_hooks hooks{[] { return krimg_interrupted(); }, {}};
    if (dd_verify_image(plan.image, hooks, "krimg") != DD_VERIFY_SAME) return kExitVerifyFailed;
  }
  return result < 0 ? kExitRefused : result;
}

int verify_main(int argc, char** argv) {
  std::string image;
  bool debug = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kVerifyUsage, stdout);
      return 0;
    }
    if (strcmp(argv[i], "--debug") == 0) {
      debug = true;
    } else if (image.empty() && argv[i][0] != '\0' && strncmp(argv[i], "--", 2) != 0) {
      image = argv[i];
    } else {
      fprintf(stderr, "krimg verify: unknown argument '%s'\n%s", argv[i], kVerifyUsage);
      return kExitUsage;
    }
  }
  if (image.empty()) {
    fprintf(stderr, "krimg verify: IMAGE is required\n%s", kVerifyUsage);
    return kExitUsage;
  }
  os_log_ctl(OS_LOG_SET_LEVEL, debug ? OS_LOG_DEBUG : OS_LOG_INFO);
  os_log_ctl(OS_LOG_SET_PREFIX_NAMES, "time");
  os_log_ctl(OS_LOG_SET_CONSOLE, 1);
  tb_init(nullptr, nullptr, 0, 0);
  krimg_interrupt_catch(true);
  dd_check_hooks hooks{[] { return krimg_interrupted(); }, {}};
  return dd_verify_image(image, hooks, "krimg");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  const char* cmd = argv[1];
  if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (strcmp(cmd, "--version") == 0) {
    printf("krimg %s\n", KRII_VERSION);
    return 0;
  }
  if (strcmp(cmd, "acquire") == 0) return acquire_main(argc - 1, argv + 1);
  if (strcmp(cmd, "deploy") == 0) return krimg_deploy_main(argc - 1, argv + 1);
  if (strcmp(cmd, "verify") == 0) return verify_main(argc - 1, argv + 1);
  fprintf(stderr, "krimg: unknown command '%s'\n%s", cmd, kUsage);
  return kExitUsage;
}
