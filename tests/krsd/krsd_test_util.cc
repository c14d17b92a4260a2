#include "krsd_test_util.h"

#include <wolfssl/wolfcrypt/ecc.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "krp_msg.h"

namespace krsd_test {


namespace {

// The data extents [start, end) of an open file of the given size.
void data_extents(int fd, off_t size, std::vector<std::pair<off_t, off_t>>* out) {
  off_t pos = 0;
  while (pos < size) {
    off_t data = lseek(fd, pos, SEEK_DATA);
    if (data < 0) break;
    off_t hole = lseek(fd, data, SEEK_HOLE);
    if (hole < 0) hole = size;
    out->emplace_back(data, hole);
    pos = hole;
  }
}

}  // namespace

bool same_bytes(const std::string& a, const std::string& b, std::string* why) {
  int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC), fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat sa {}, sb {};
  bool same = fa >= 0 && fb >= 0 && fstat(fa, &sa) == 0 && fstat(fb, &sb) == 0;
  if (!same) {
    *why = "cannot open " + a + " or " + b;
  } else if (sa.st_size != sb.st_size) {
    same = false;
    *why = "sizes " + std::to_string(sa.st_size) + " and " + std::to_string(sb.st_size);
  } else {
    std::vector<std::pair<off_t, off_t>> extents;
    data_extents(fa, sa.st_size, &extents);
    data_extents(fb, sb.st_size, &extents);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (size_t i = 0; same && i < extents.size(); i++) {
      for (off_t pos = extents[i].first; same && pos < extents[i].second;) {
        size_t n = static_cast<size_t>(std::min<off_t>(extents[i].second - pos, off_t(ba.size())));
        ssize_t ra = pread(fa, ba.data(), n, pos), rb = pread(fb, bb.data(), n, pos);
        if (ra != ssize_t(n) || rb != ssize_t(n)) {
          same = false;
          *why = "short read at " + std::to_string(pos);
        } else if (memcmp(ba.data(), bb.data(), n) != 0) {
          size_t k = 0;
          while (ba[k] == bb[k]) k++;
          same = false;
          *why = "first difference at byte " + std::to_string(pos + off_t(k));
        }
        pos += off_t(n);
      }
    }
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return same;
}

// ---- Daemon ------------------------------------------------------------------

LoopDevice::LoopDevice(const std::string& backing, int sector_bytes) {
  if (geteuid() != 0) return;
  std::string cmd = "losetup -f --show ";
  if (sector_bytes > 0) cmd += "--sector-size " + std::to_string(sector_bytes) + " ";
  cmd += "'" + backing + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return;
  char dev[128] = {};
  if (fgets(dev, sizeof dev, p) && strncmp(dev, "/dev/loop", 9) == 0) {
    dev[strcspn(dev, "\n")] = 0;
    path_ = dev;
  }
  pclose(p);
}

LoopDevice::~LoopDevice() {
  if (!path_.empty() && system(("losetup -d " + path_).c_str()) != 0)
    fprintf(stderr, "losetup -d %s failed\n", path_.c_str());
}

std::string LoopDevice::why() const {
  return geteuid() != 0 ? "loop devices need root" : "no loop device could be set up (losetup, /dev/loop*)";
}

BadSectorDisk::BadSectorDisk(const std::string& backing, const std::vector<int64_t>& bad,
                             int sector_bytes) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
    why_ = "a device with bad sectors needs root and /dev/fuse";
    return;
  }
  std::vector<std::string> args = {KRII_BAD_SECTOR_FS, backing, mount_.path()};
  for (int64_t b : bad) args.push_back(std::to_string(b));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  server_ = fork();
  if (server_ == 0) {
    int nul = open("/dev/null", O_WRONLY);
    if (nul >= 0) dup2(nul, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const std::string disk = mount_.file("disk");
  struct stat st;
  for (int i = 0; i < 1000 && stat(disk.c_str(), &st) != 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (stat(disk.c_str(), &st) != 0) {
    why_ = "the fault file system did not come up (FUSE)";
    return;
  }
  loop_ = std::make_unique<LoopDevice>(disk, sector_bytes);
  if (loop_->path().empty()) why_ = loop_->why();
}

BadSectorDisk::~BadSectorDisk() {
  loop_.reset();  // the loop device holds the file: it goes first
  if (server_ <= 0) return;
  ::kill(server_, SIGTERM);  // the server unmounts on its way out
  int st;
  pid_t w = 0;
  for (int i = 0; i < 500 && (w = waitpid(server_, &st, WNOHANG)) == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (w == 0) {
    // Killed before it could unmount: the mount point must not stay behind.
    ::kill(server_, SIGKILL);
    waitpid(server_, &st, 0);
    if (system(("umount -l '" + mount_.path() + "'").c_str()) != 0)
      fprintf(stderr, "umount %s failed\n", mount_.path().c_str());
  }
}

std::string armv7_daemon(std::string* why) {
  const char* tools = getenv("KRII_TOOLS_DIR");
  const char* src = getenv("KRII_SOURCE_DIR");
  const std::string path = std::string(tools ? tools : "") + "/dev/armv7/krsd";
  std::vector<uint8_t> head = kit::read_bytes(path);
  // e_machine 40: an ARM program, not the host build delivered in its place.
  if (!tools || !src || head.size() < 20 || head[18] != 40 || head[19] != 0) {
    *why = path + " is not an ARMv7 program (the host build is delivered)";
    return "";
  }
  const std::string emu = std::string(src) + "/scripts/arm-emulation.sh '" + path + "' 2>&1";
  if (system((emu + " >/dev/null").c_str()) != 0) {
    *why = shell_output(emu);
    return "";
  }
  return path;
}

long vm_kib(pid_t pid, const std::string& field) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value;
  while (f >> key) {
    if (key == field + ":" && f >> value) return value;
    f.ignore(1 << 20, '\n');
  }
  return -1;
}

std::string shell_output(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

Daemon::~Daemon() { kill_now(); }

void Daemon::kill_now() {
  if (pid > 0) ::kill(pid, SIGKILL);
  if (child > 0 && child != pid) ::kill(child, SIGKILL);
  if (child > 0) {
    int st;
    waitpid(child, &st, 0);
  }
  if (pid > 0 && pid != child) {
    // A daemonised instance is not our child: wait until it is gone.
    for (int i = 0; i < 200 && ::kill(pid, 0) == 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid = child = -1;
}

bool Daemon::start(const std::vector<std::string>& args, const char* env_args) {
  std::string pf = dir_.file("ports");
  ::unlink(pf.c_str());  // a daemon started before must not be taken for this one
  log = dir_.file("krsd.log");
  out = dir_.file("stdout");
  std::vector<std::string> argv = {program.empty() ? kit::bin_path("krsd") : program,
                                   "--listen", "127.0.0.1", "--port", "0", "--tls-port", "any",
                                   "--port-file", pf, "--log", log};
  argv.insert(argv.end(), args.begin(), args.end());
  child = fork();
  if (child < 0) return false;
  if (child == 0) {
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 1);
    if (env_args) setenv("KRSD_ARGS", env_args, 1); else unsetenv("KRSD_ARGS");
    // A race found in a sanitizer build ends the daemon, which fails the test.
    setenv("TSAN_OPTIONS", "halt_on_error=1", 0);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  for (int i = 0; i < 1000; i++) {
    kit::PortFile ports;
    if (kit::read_port_file(pf, &ports)) {
      port = ports.port;
      tls_port = ports.tls_port;
      pid = static_cast<pid_t>(ports.pid);
      tls_sha256 = ports.tls_sha256;
      return true;
    }
    int st;
    if (waitpid(child, &st, WNOHANG) == child) {
      child = -1;
      // With -d the first process ends at once; the daemon writes the file.
      if (!(WIFEXITED(st) && WEXITSTATUS(st) == 0)) return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int Daemon::wait_exit() {
  if (child <= 0) return -1;
  for (int i = 0; i < 1000; i++) {
    int st;
    if (waitpid(child, &st, WNOHANG) == child) {
      child = -1;
      pid = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// ---- Attr --------------------------------------------------------------------

int64_t Attr::i() const {
  int64_t v = 0;
  for (uint8_t b : data) v = (v << 8) | b;
  if (data.size() == 4) v = static_cast<int32_t>(static_cast<uint32_t>(v));
  return v;
}

std::string Attr::s() const {
  if (data.empty()) return "";
  return std::string(data.begin(), data.end() - 1);
}

// ---- Client ------------------------------------------------------------------

Client::~Client() {
  close();
  blobmsg_buf_free(&req_);
}

void Client::close() {
  if (ssl_) {
    wolfSSL_free(ssl_);
    ssl_ = nullptr;
    wc_ecc_fp_free();  // the TLS library's per-thread point cache
  }
  if (ctx_) {
    wolfSSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Client::shutdown_write() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

bool Client::connect(int port, bool tls, const std::string& host, const char* suites) {
  close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return false;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return false;
  timeval tv{10, 0};  // no test waits longer for a response
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (!tls) return true;
  static std::once_flag once;
  std::call_once(once, [] { wolfSSL_Init(); });
  ctx_ = wolfSSL_CTX_new(wolfSSLv23_client_method());
  if (!ctx_) return false;
  wolfSSL_CTX_set_verify(ctx_, WOLFSSL_VERIFY_NONE, nullptr);
  if (suites) {
    if (wolfSSL_CTX_set_cipher_list(ctx_, suites) != WOLFSSL_SUCCESS) return false;
    if (!strstr(suites, "TLS13-")) wolfSSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
  }
  ssl_ = wolfSSL_new(ctx_);
  if (!ssl_ || wolfSSL_set_fd(ssl_, fd_) != WOLFSSL_SUCCESS) return false;
  return wolfSSL_connect(ssl_) == WOLFSSL_SUCCESS;
}

long Client::raw_recv(void* p, size_t n) {
  if (ssl_) {
    int r = wolfSSL_read(ssl_, p, static_cast<int>(n));
    if (r > 0) return r;
    return wolfSSL_get_error(ssl_, r) == WOLFSSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
  return ::recv(fd_, p, n, 0);
}

bool Client::recv_exact(void* p, size_t n) {
  auto* b = static_cast<uint8_t*>(p);
  size_t got = 0;
  while (got < n) {
    long r = raw_recv(b + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool Client::send_bytes(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  while (n > 0) {
    long w = ssl_ ? wolfSSL_write(ssl_, b, static_cast<int>(n))
                  : ::send(fd_, b, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    b += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void Client::begin() {
  if (blobmsg_begin(&req_) != 0) abort();
}

bool Client::send_request(int cmd) {
  uint8_t pre[4] = {'K', 'R', 1, static_cast<uint8_t>(cmd)};
  std::vector<uint8_t> frame(pre, pre + 4);
  frame.insert(frame.end(), req_.bytes, req_.bytes + msg_len(&req_));
  return send_bytes(frame.data(), frame.size());
}

bool Client::recv_response() {
  uint8_t h[8];
  resp_.clear();
  if (!recv_exact(h, 8)) return false;
  if (h[0] != 'K' || h[1] != 'R' || h[3] != 255) return false;
  uint32_t word = blob_get_be32(h + 4);
  size_t len = word & 0xffffff;
  size_t padded = (len + 3) & ~size_t(3);
  if (len < 4) return false;
  resp_.assign(h + 4, h + 8);
  resp_.resize(padded);
  return recv_exact(resp_.data() + 4, padded - 4);
}

long Client::recv_some(void* p, size_t n, int timeout_ms) {
  if (!ssl_ || wolfSSL_pending(ssl_) == 0) {
    pollfd pf{fd_, POLLIN, 0};
    if (poll(&pf, 1, timeout_ms) <= 0) return -1;
  }
  long r = raw_recv(p, n);
  return r < 0 ? 0 : r;
}

bool Client::peer_closed() {
  uint8_t b[4096];
  for (int i = 0; i < 1000; i++) {
    long r = recv_some(b, sizeof(b), 5000);
    if (r == 0) return true;
    if (r < 0) return false;
  }
  return false;
}

Attr Client::get(const std::string& name) const {
  Attr out;
  if (resp_.size() < 4) return out;
  size_t root = blob_get_be32(resp_.data()) & 0xffffff;
  size_t pos = 4;
  while (pos + 4 <= root && pos + 4 <= resp_.size()) {
    const uint8_t* a = resp_.data() + pos;
    uint32_t w = blob_get_be32(a);
    size_t l = w & 0xffffff;
    if (l < 4 || pos + l > resp_.size()) break;
    if ((w & 0x80000000u) && l >= 6) {
      size_t nl = (size_t(a[4]) << 8) | a[5];
      size_t h = blobmsg_name_hdr_len(nl);
      if (6 + nl <= l && 4 + h <= l &&
          std::string(reinterpret_cast<const char*>(a + 6), nl) == name) {
        out.type = static_cast<int>((w >> 24) & 0x7f);
        out.data.assign(a + 4 + h, a + l);
        return out;
      }
    }
    pos += (l + 3) & ~size_t(3);
  }
  return out;
}

int Client::call(int cmd) {
  if (!send_request(cmd) || !recv_response()) return -1000;
  if (!has_layout<krp::answer_head>()) return -1000;
  return static_cast<int>(get("errno").i());
}

int Client::login(const std::string& user, const std::string& pass) {
  if (krp::encode<krp::init::request>(&req_, user, pass)) abort();
  return call(krp::init::command);
}

int Client::pack(const std::string& name) {
  const size_t n = name.size() + 1;
  if (krp::encode<krp::ioctl::request>(&req_, 0, KRSD_IOCTL_PACK, n, krp::bytes{name.c_str(), n})) abort();
  return call(krp::ioctl::command);
}

int Client::open(const std::string& path, int64_t mode, int64_t* fd) {
  if (krp::encode<krp::open::request>(&req_, path, mode)) abort();
  int e = call(krp::open::command);
  if (fd) *fd = get("fd").i();
  return e;
}

int Client::read(int64_t fd, int32_t len, std::vector<uint8_t>* packed) {
  if (krp::encode<krp::read::request>(&req_, fd, len)) abort();
  int e = call(krp::read::command);
  if (packed) *packed = get("data").data;
  return e;
}

int Client::write(int64_t fd, const void* packed, size_t packed_len, int32_t plain_len) {
  if (krp::encode<krp::write::request>(&req_, fd, 0, plain_len, krp::bytes{packed, packed_len})) abort();
  return call(krp::write::command);
}

int Client::seek(int64_t fd, int64_t off, int64_t origin, int64_t* pos) {
  if (krp::encode<krp::seek::request>(&req_, fd, off, origin)) abort();
  int e = call(krp::seek::command);
  if (pos) *pos = get("offset").i();
  return e;
}

int Client::simple(int cmd, int64_t fd) {
  if (krp::encode<krp::fd_request>(&req_, fd)) abort();
  return call(cmd);
}

int Client::finfo(int64_t fd) { return simple(krp::finfo::command, fd); }
int Client::close_file(int64_t fd) { return simple(krp::close::command, fd); }

bool Client::exit_session() {
  if (krp::encode<krp::exit::request>(&req_)) abort();
  return send_request(krp::exit::command);
}

}  // namespace krsd_test
