// Deployment of the device daemon: copy dev/armv7/krsd to the device's /tmp
// with pscp.exe, then stop any running instance and start the copy with
// plink.exe, one request at a time on a worker thread of its own.
#include "ssh.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cert_fingerprint.h"
#include "krii_version.h"
#include "os/os_log.h"
#include "os/os_safe.h"
#include "os/os_system.h"
#include "os/os_worker.h"
#include "ssh_cache.h"

#define KR_LOG_SRC "src\\tool\\krimg\\deploy\\ssh"

namespace {

constexpr const char* kBuildDate = "2018-10-10";
constexpr size_t kCommandMax = 511;

// The values as handed over, whole; the worker refuses one that is longer
// than SSH_FIELD_MAX characters with the copy step's outcome line.
struct Request {
  std::string ip;
  int port = 0;
  std::string user;
  std::string password;
};

std::mutex g_req_mu;
Request g_req;  // guarded by g_req_mu

// One deployment per request, on the worker; started, fed and ended on the
// UI thread (the command line's main thread).
constinit os_worker g_worker([](void*) { return ssh_init_dev(); }, nullptr);
std::atomic<unsigned> g_limit_ms{30000};

std::mutex g_hook_mu;
ssh_hostkey_fn g_ask_hostkey;  // guarded by g_hook_mu
std::string g_tls_sha256;      // guarded by g_hook_mu

// A field of the request in the log's two languages.
struct Field {
  const char* name;
  const char* label;
};

// The first field longer than SSH_FIELD_MAX characters (the edits count
// characters, not bytes), or null.
const Field* overlong_field(const Request& r) {
  static const Field kAddress{"address", "地址"}, kUser{"user", "用户名"},
      kPassword{"password", "密码"};
  if (os_utf8_length(r.ip.c_str()) > SSH_FIELD_MAX) return &kAddress;
  if (os_utf8_length(r.user.c_str()) > SSH_FIELD_MAX) return &kUser;
  if (os_utf8_length(r.password.c_str()) > SSH_FIELD_MAX) return &kPassword;
  return nullptr;
}

// What stands for the password in every logged command line: the command
// lines run hold it, no log line does, whatever the level.
constexpr const char* kPasswordShown = "-pw ******";

// The tool's own words for its failure, shown without debug (its whole
// output goes to the debug level only): the last line it wrote to standard
// error, with what a log must not show raw escaped (a device's shell may
// have written it).
void log_tool_reason(const char* tool, const std::string& errors, int rc) {
  size_t end = errors.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) {
    KR_LOG(OS_LOG_INFO, "%s: ended with status %d and no message\n", tool, rc);
    return;
  }
  size_t begin = errors.find_last_of('\n', end);
  begin = begin == std::string::npos ? 0 : begin + 1;
  char line[256];
  os_printable_copy(line, sizeof line, errors.substr(begin, end - begin + 1).c_str());
  KR_LOG(OS_LOG_INFO, "%s: %s\n", tool, line);
}

// "user@address" with each part quoted for the shell only when it needs it.
std::string target_of(const Request& r) {
  return os_shell_quote(r.user.c_str()) + "@" + os_shell_quote(r.ip.c_str());
}

// What PuTTY's tools said when they refused the device's host key.
struct HostKeyRefusal {
  enum Kind { kNone, kUnknown, kChanged } kind = kNone;
  std::string fingerprint;  // "ssh-ed25519 255 SHA256:...", as the tools show it
};

HostKeyRefusal host_key_refusal(const std::string& out) {
  HostKeyRefusal r;
  if (out.find("POTENTIAL SECURITY BREACH") != std::string::npos)
    r.kind = HostKeyRefusal::kChanged;
  else if (out.find("host key is not cached") != std::string::npos)
    r.kind = HostKeyRefusal::kUnknown;
  else
    return r;
  // The line after "... key fingerprint is:" holds it, indented.
  size_t at = out.find("key fingerprint is:");
  size_t from = at == std::string::npos ? at : out.find('\n', at);
  if (from == std::string::npos) return r;
  size_t to = out.find('\n', from + 1);
  std::string line = out.substr(from + 1, to == std::string::npos ? to : to - from - 1);
  size_t b = line.find_first_not_of(" \t\r"), e = line.find_last_not_of(" \t\r");
  if (b == std::string::npos) return r;
  // Shown in the log and asked about: what the device sent must not reach
  // either raw.
  char shown[256];
  os_printable_copy(shown, sizeof shown, line.substr(b, e - b + 1).c_str());
  r.fingerprint = shown;
  return r;
}

// A fingerprint's words, single blanks between them.
std::string words_of(const std::string& text) {
  std::string out;
  size_t at = 0;
  while ((at = text.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
    size_t end = text.find_first_of(" \t\r\n", at);
    if (end == std::string::npos) end = text.size();
    if (!out.empty()) out += ' ';
    out += text.substr(at, end - at);
    at = end;
  }
  return out;
}

void report_changed_key(const HostKeyRefusal& k) {
  KR_LOG(OS_LOG_ERR, "host key error: the device's host key has changed, possibly an attack; "
                     "connection refused (new key %s)\n", k.fingerprint.c_str());
  KR_LOG(OS_LOG_INFO, "设备主机密钥已改变, 可能受到攻击, 已拒绝连接: %s\n", k.fingerprint.c_str());
}

// The tools refused the device's host key. A changed key is reported and
// refused. An unknown one is shown and, when the examiner trusts it, stored
// in the tools' host-key cache by an interactive run of plink.exe that is
// told "y" only when it shows that very key. True when stored.
bool trust_host_key(const Request& r, const std::string& option, const std::string& target,
                    unsigned limit, const std::string& refusal_text) {
  HostKeyRefusal k = host_key_refusal(refusal_text);
  if (k.kind == HostKeyRefusal::kChanged) report_changed_key(k);
  if (k.kind != HostKeyRefusal::kUnknown || k.fingerprint.empty()) return false;
  // The tools call a key of another type than the one they keep for this
  // device "not cached": it is as much a changed key as one of that type.
  const std::vector<std::string> kept = ssh_cached_key_types(r.ip, r.port);
  if (!kept.empty()) {
    std::string types;
    for (const std::string& t : kept) types += (types.empty() ? "" : ", ") + t;
    char shown[128];
    os_printable_copy(shown, sizeof shown, types.c_str());
    KR_LOG(OS_LOG_ERR, "host key error: the tools keep a key of type %s for %s port %d, the device now shows "
           "one of another type\n", shown, r.ip.c_str(), r.port);
    report_changed_key(k);
    return false;
  }
  KR_LOG(OS_LOG_INFO, "设备主机密钥未知, 指纹: %s\n", k.fingerprint.c_str());
  ssh_hostkey_fn ask;
  {
    std::lock_guard<std::mutex> lock(g_hook_mu);
    ask = g_ask_hostkey;
  }
  if (!ask || !ask(r.ip.c_str(), r.port, k.fingerprint.c_str())) {
    KR_LOG(OS_LOG_INFO, "未信任设备主机密钥\n");
    return false;
  }
  char cmd[kCommandMax + 2];
  int n = snprintf(cmd, sizeof cmd, "plink.exe %s -P %d %s exit", option.c_str(), r.port, target.c_str());
  if (n < 0 || (size_t)n > kCommandMax) return false;
  KR_LOG(OS_LOG_DEBUG, "os_system:[plink.exe %s -P %d %s exit]\n",
         option.empty() ? "" : kPasswordShown, r.port, target.c_str());
  bool stored = false;
  std::string out;
  os_system_answer(
      cmd, limit,
      [&](const std::string& text, std::string* reply) {
        // Wait for the question; Return alone abandons the connection.
        if (text.find("(y/n") == std::string::npos) return false;
        HostKeyRefusal now = host_key_refusal(text);
        stored = now.kind == HostKeyRefusal::kUnknown && ssh_same_fingerprint(now.fingerprint, k.fingerprint);
        *reply = stored ? "y\n" : "\n";
        return true;
      },
      &out);
  if (!stored) {
    HostKeyRefusal now = host_key_refusal(out);
    if (now.kind == HostKeyRefusal::kChanged) report_changed_key(now);
    KR_LOG(OS_LOG_ERR, "host key error: the device did not show the trusted key again, nothing stored\n");
    return false;
  }
  KR_LOG(OS_LOG_INFO, "已信任并保存设备主机密钥: %s\n", k.fingerprint.c_str());
  return true;
}

// The daemon's TLS certificate fingerprint in what its start printed
// ("TLS certificate SHA-256: <64 hex digits>"); empty when it printed none.
std::string tls_sha256_in(const std::string& out) {
  size_t at = out.find(SD_CERT_SHA256_TAG);
  if (at == std::string::npos) return {};
  std::string hex = out.substr(at + sizeof SD_CERT_SHA256_TAG - 1, 64);
  if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return {};
  return hex;
}

// The daemon's start-up line in what its start printed (what it lets whom
// do and how long it stays), made safe to log; empty when it printed none.
std::string startup_line_in(const std::string& out) {
  size_t at = out.find(SD_START_TAG);
  if (at == std::string::npos) return {};
  size_t end = out.find_first_of("\r\n", at);
  char line[512];
  os_printable_copy(line, sizeof line, out.substr(at, end == std::string::npos ? end : end - at).c_str());
  return line;
}

}  // namespace

bool ssh_same_fingerprint(const std::string& given, const std::string& shown) {
  const std::string g = words_of(given), line = words_of(shown);
  if (g.empty() || g.find(':') == std::string::npos) return false;
  if (g == line) return true;
  const size_t last = line.rfind(' ');
  return g.find(' ') == std::string::npos && g == line.substr(last == std::string::npos ? 0 : last + 1);
}

void ssh_set_hostkey_question(ssh_hostkey_fn ask) {
  std::lock_guard<std::mutex> lock(g_hook_mu);
  g_ask_hostkey = std::move(ask);
}

std::string ssh_last_tls_sha256() {
  std::lock_guard<std::mutex> lock(g_hook_mu);
  return g_tls_sha256;
}

int ssh_init() {
  // The copy command names the daemon relative to the folder it is
  // delivered in, as the programs' directory was on the workstation.
  std::string dir = os_tools_dir();
  if (dir.empty() || chdir(dir.c_str()) != 0)
    KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "cannot enter the programs' tool folder %s: ", dir.c_str());
  // The worker of an earlier call serves on; one told to quit is followed
  // by a new one.
  g_worker.start();
  return 0;
}

int ssh_request_init_dev(const char* ip, int port, const char* user, const char* password) {
  if (!ip || !user) {
    KR_LOG(OS_LOG_ERR, "the %s is missing, request refused\n", ip ? "user" : "address");
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(g_req_mu);
    g_req = Request{ip, port, user, password ? password : ""};
  }
  if (!g_worker.post()) {
    // None started, or told to quit: the request would read as busy for ever.
    KR_LOG(OS_LOG_ERR, "no deployment worker, request refused\n");
    return -1;
  }
  return 0;
}

int ssh_is_busy() { return g_worker.busy() ? 1 : 0; }

int ssh_exit() {
  g_worker.quit();
  return 0;
}

void ssh_wait_exit() { g_worker.join(); }

int ssh_last_result() { return g_worker.last_result(); }

void ssh_set_step_limit(unsigned limit_ms) { g_limit_ms = limit_ms; }

int ssh_init_dev() {
  Request r;
  {
    std::lock_guard<std::mutex> lock(g_req_mu);
    r = g_req;
  }
  {
    std::lock_guard<std::mutex> lock(g_hook_mu);
    g_tls_sha256.clear();
  }
  KR_LOG(OS_LOG_INFO, "ver: %s (%s)\n", KRII_VERSION, kBuildDate);
  KR_LOG(OS_LOG_INFO, "开始初始化镜像环境...\n");

  // A longer value would have to be cut, and a cut password or address
  // silently logs in elsewhere or fails for no visible reason.
  if (const Field* field = overlong_field(r)) {
    KR_LOG(OS_LOG_ERR, "the %s is longer than %d characters, not used\n", field->name, SSH_FIELD_MAX);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: %s超过 %d 个字符, 未复制文件\n", field->label, SSH_FIELD_MAX);
    return 1;
  }
  // "-pw" and a password of at most 31 characters stay within the option's
  // 63; quoting for the shell adds only what the shell takes away again.
  std::string option, shown;
  if (!r.password.empty()) {
    option = "-pw " + os_shell_quote(r.password.c_str());
    shown = kPasswordShown;
  }
  const std::string target = target_of(r);
  const unsigned limit = g_limit_ms.load();

  // Each command line as it is run and as it is logged.
  char cmd[kCommandMax + 2];
  std::string logged;
  auto build = [&](const char* format) {
    logged.resize(kCommandMax + 2);
    snprintf(logged.data(), logged.size(), format, shown.c_str(), r.port, target.c_str());
    logged.resize(strlen(logged.c_str()));
    int n = snprintf(cmd, sizeof cmd, format, option.c_str(), r.port, target.c_str());
    return n >= 0 && (size_t)n <= kCommandMax;
  };
  if (!build("pscp.exe %s -P %d -batch dev/armv7/krsd %s:/tmp")) {
    KR_LOG(OS_LOG_ERR, "the copy command is longer than %d characters\n", (int)kCommandMax);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 复制命令超过 %d 个字符, 未复制文件\n", (int)kCommandMax);
    return 1;
  }
  KR_LOG(OS_LOG_DEBUG, "os_system:[%s]\n", logged.c_str());
  std::string out, errors;
  int rc = os_system_debug(cmd, limit, &out, &errors);
  // A host key the tools do not know yet: once the examiner trusted it, the
  // same copy runs again.
  if (rc != 0 && trust_host_key(r, option, target, limit, out)) {
    KR_LOG(OS_LOG_DEBUG, "os_system:[%s]\n", logged.c_str());
    rc = os_system_debug(cmd, limit, &out, &errors);
  }
  if (rc != 0) {
    log_tool_reason("pscp.exe", errors, rc);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 复制文件错误\n");
    return 1;
  }

  if (!build("plink.exe %s -P %d -batch %s \"killall krsd; chmod 755 /tmp/krsd; /tmp/krsd -d\"")) {
    KR_LOG(OS_LOG_ERR, "the start command is longer than %d characters\n", (int)kCommandMax);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 启动错误\n");
    return 1;
  }
  KR_LOG(OS_LOG_DEBUG, "os_system:[%s]\n", logged.c_str());
  rc = os_system_debug(cmd, limit, &out, &errors);
  if (rc != 0) {
    HostKeyRefusal k = host_key_refusal(out);
    if (k.kind == HostKeyRefusal::kChanged) report_changed_key(k);
    log_tool_reason("plink.exe", errors, rc);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 启动错误\n");
    return 1;
  }
  // The daemon's certificate as it reported it over the channel the examiner
  // trusts: what a krps:// URL pins.
  std::string sha256 = tls_sha256_in(out);
  if (!sha256.empty()) {
    KR_LOG(OS_LOG_INFO, "设备 TLS 证书 SHA-256: %s\n", sha256.c_str());
    std::lock_guard<std::mutex> lock(g_hook_mu);
    g_tls_sha256 = sha256;
  }
  const std::string started = startup_line_in(out);
  if (!started.empty()) KR_LOG(OS_LOG_INFO, "设备守护进程: %s\n", started.c_str());
  KR_LOG(OS_LOG_INFO, "设备初始化完成\n");
  return 0;
}
