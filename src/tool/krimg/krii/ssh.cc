// Deployment of the device daemon: copy dev/armv7/krsd to the device's /tmp
// with pscp.exe, then stop any running instance and start the copy with
// plink.exe, one request at a time on a worker thread of its own.
#include "ssh.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "os/os_log.h"
#include "os/os_msgq.h"
#include "os/os_safe.h"
#include "krii_version.h"
#include "os/os_system.h"

#define KR_LOG_SRC "src\\tool\\krimg\\krii\\ssh"

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

os_msgq* g_queue = nullptr;       // set by ssh_init on the UI thread
os_thread_t g_thread = nullptr;   // likewise
bool g_quit_posted = false;       // likewise
// Requests handed over and not yet finished: busy from the hand-over to the
// end of the deployment, so a request just posted never reads as done.
std::atomic<int> g_pending{0};
std::atomic<int> g_last_result{-1};
std::atomic<unsigned> g_limit_ms{30000};

unsigned ssh_work_thread(void* arg) {
  auto* queue = static_cast<os_msgq*>(arg);
  for (;;) {
    unsigned msg = os_msgq_wait(queue);
    if (msg == OS_MSG_QUIT) return 0;
    g_last_result = ssh_init_dev();
    g_pending.fetch_sub(1);
  }
}

// The first field longer than SSH_FIELD_MAX characters (the edits count
// characters, not bytes), or null.
const char* overlong_field(const Request& r) {
  if (os_utf8_length(r.ip.c_str()) > SSH_FIELD_MAX) return "address";
  if (os_utf8_length(r.user.c_str()) > SSH_FIELD_MAX) return "user";
  if (os_utf8_length(r.password.c_str()) > SSH_FIELD_MAX) return "password";
  return nullptr;
}

// "user@address" with each part quoted for the shell only when it needs it.
std::string target_of(const Request& r) {
  return os_shell_quote(r.user.c_str()) + "@" + os_shell_quote(r.ip.c_str());
}

}  // namespace

int ssh_init() {
  // The copy command names the daemon relative to the folder it is
  // delivered in, as the programs' directory was on the workstation.
  std::string dir = os_tools_dir();
  if (dir.empty() || chdir(dir.c_str()) != 0)
    KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "cannot enter the programs' tool folder %s: ", dir.c_str());
  if (g_thread && !g_quit_posted) return 0;  // the worker of an earlier call serves on
  if (g_thread) {
    // Told to quit: let it take its quit message before a new worker
    // shares the queue.
    os_thread_join(g_thread);
    g_thread = nullptr;
  }
  if (!g_queue) g_queue = os_msgq_new();
  g_quit_posted = false;
  g_thread = os_thread_init(ssh_work_thread, g_queue);
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
  if (!g_thread || g_quit_posted) {
    // Without a worker the request would read as busy for ever.
    KR_LOG(OS_LOG_ERR, "no deployment worker, request refused\n");
    return -1;
  }
  g_pending.fetch_add(1);
  if (os_msgq_post(g_queue, OS_MSG_WORK) != 0) {
    g_pending.fetch_sub(1);
    return -1;
  }
  return 0;
}

int ssh_is_busy() { return g_pending.load() != 0 ? 1 : 0; }

int ssh_exit() {
  if (g_queue && g_thread && !g_quit_posted) {
    os_msgq_post(g_queue, OS_MSG_QUIT);
    g_quit_posted = true;
  }
  return 0;
}

void ssh_wait_exit() {
  if (!g_thread || !g_quit_posted) return;
  os_thread_join(g_thread);
  g_thread = nullptr;
}

int ssh_last_result() { return g_last_result.load(); }

void ssh_set_step_limit(unsigned limit_ms) { g_limit_ms = limit_ms; }

int ssh_init_dev() {
  Request r;
  {
    std::lock_guard<std::mutex> lock(g_req_mu);
    r = g_req;
  }
  KR_LOG(OS_LOG_INFO, "ver: %s (%s)\n", KRII_VERSION, kBuildDate);
  KR_LOG(OS_LOG_INFO, "开始初始化镜像环境...\n");

  // A longer value would have to be cut, and a cut password or address
  // silently logs in elsewhere or fails for no visible reason.
  if (const char* field = overlong_field(r)) {
    KR_LOG(OS_LOG_ERR, "the %s is longer than %d characters, not used\n", field, SSH_FIELD_MAX);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 复制文件错误\n");
    return 1;
  }
  // "-pw" and a password of at most 31 characters stay within the option's
  // 63; quoting for the shell adds only what the shell takes away again.
  std::string option;
  if (!r.password.empty()) option = "-pw " + os_shell_quote(r.password.c_str());
  const std::string target = target_of(r);
  const unsigned limit = g_limit_ms.load();

  char cmd[kCommandMax + 2];
  int n = snprintf(cmd, sizeof cmd, "pscp.exe %s -P %d -batch dev/armv7/krsd %s:/tmp", option.c_str(),
                   r.port, target.c_str());
  if (n < 0 || (size_t)n > kCommandMax) {
    KR_LOG(OS_LOG_ERR, "the copy command is longer than %d characters\n", (int)kCommandMax);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 复制文件错误\n");
    return 1;
  }
  KR_LOG(OS_LOG_DEBUG, "os_system:[%s]\n", cmd);
  if (os_system_debug(cmd, limit) != 0) {
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 复制文件错误\n");
    return 1;
  }

  n = snprintf(cmd, sizeof cmd,
               "plink.exe %s -P %d -batch %s \"killall krsd; chmod 755 /tmp/krsd; /tmp/krsd -d\"",
               option.c_str(), r.port, target.c_str());
  if (n < 0 || (size_t)n > kCommandMax) {
    KR_LOG(OS_LOG_ERR, "the start command is longer than %d characters\n", (int)kCommandMax);
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 启动错误\n");
    return 1;
  }
  KR_LOG(OS_LOG_DEBUG, "os_system:[%s]\n", cmd);
  if (os_system_debug(cmd, limit) != 0) {
    KR_LOG(OS_LOG_INFO, "初始化设备环境: 启动错误\n");
    return 1;
  }
  KR_LOG(OS_LOG_INFO, "设备初始化完成\n");
  return 0;
}
