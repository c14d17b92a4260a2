// Test helpers shared by the daemon tests and the end-to-end tests: a krsd
// process on loopback that is killed on every path, devices with bad
// sectors, and a minimal protocol client built from blobmsg over a socket.
#pragma once

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "blobmsg.h"
#include "kit.h"
#include "krp_msg.h"

namespace krsd_test {

// A krsd on loopback with free ports. Killed (SIGKILL) and reaped by the
// destructor, whatever the test did.
class Daemon {
 public:
  Daemon() = default;
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Starts krsd --listen 127.0.0.1 --port 0 --tls-port any --port-file ...
  // plus args, with KRSD_ARGS = env_args when it is not null; waits at most
  // 10 s for the port file. False when it did not come up.
  bool start(const std::vector<std::string>& args, const char* env_args = nullptr);
  void kill_now();
  // Exit status once the process ended by itself (waits at most 10 s); -1
  // when it is still running.
  int wait_exit();

  int port = -1, tls_port = -1;
  std::string program;  // the daemon to run; empty: $KRII_BIN_DIR/krsd
  std::string tls_sha256;  // the certificate's fingerprint (port file)
  pid_t pid = -1;     // the serving process (from the port file)
  pid_t child = -1;   // the process started (differs with -d)
  std::string log;    // the daemon's log file
  std::string out;    // the file that holds its standard output

 private:
  kit::TempDir dir_;
};

// A loop device over a file (losetup; needs root), detached at
// destruction; sector_bytes > 0 sets its logical sector size. path is empty
// when none could be set up; why() says why.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& backing, int sector_bytes = 0);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& path() const { return path_; }
  std::string why() const;

 private:
  std::string path_;
};

// A block device whose bad sectors fail to read with EIO, through the
// kernel's block layer and page cache like a damaged disk: a loop device
// (logical sectors of sector_bytes) over the file of krii_bad_sector_fs,
// which serves backing and fails every read that touches the 512-byte
// sector of an offset in bad. Needs root and FUSE; path() is empty when it
// could not be set up, why() says why. Loop device, file system and its
// server are gone after destruction.
class BadSectorDisk {
 public:
  BadSectorDisk(const std::string& backing, const std::vector<int64_t>& bad, int sector_bytes);
  ~BadSectorDisk();
  BadSectorDisk(const BadSectorDisk&) = delete;
  BadSectorDisk& operator=(const BadSectorDisk&) = delete;
  std::string path() const { return loop_ ? loop_->path() : ""; }
  const std::string& why() const { return why_; }

 private:
  kit::TempDir mount_;
  pid_t server_ = -1;
  std::unique_ptr<LoopDevice> loop_;
  std::string why_;
};

// The delivered ARMv7 daemon ($KRII_TOOLS_DIR/dev/armv7/krsd) when this
// machine runs it (through the emulator, scripts/arm-emulation.sh), else
// empty with the reason in *why.
std::string armv7_daemon(std::string* why);
// A "Vm..." field of /proc/PID/status in KiB (VmRSS, VmHWM), -1 when none.
long vm_kib(pid_t pid, const std::string& field);

// The output of a shell command (standard output only).
std::string shell_output(const std::string& command);
// Whether two files hold the same bytes. Only what either file holds as
// data is read (holes of sparse files are zeros), so multi-GiB sparse
// images compare in the time of their data. *why names the first
// difference.
bool same_bytes(const std::string& a, const std::string& b, std::string* why);

// One attribute of a response, picked by its name.
struct Attr {
  int type = -1;
  std::vector<uint8_t> data;
  int64_t i() const;           // int32 / int64 value
  std::string s() const;       // string value
};

// A raw protocol client, plain or TLS; over loopback unless told an IPv4
// address.
class Client {
 public:
  Client() = default;
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // With suites, a TLS client that offers only those (TLS 1.2 at most unless
  // one of them is a TLS 1.3 suite).
  bool connect(int port, bool tls = false, const std::string& host = "127.0.0.1",
               const char* suites = nullptr);
  void close();
  void shutdown_write();
  // Sends one frame: "KR", version, cmd and the message built in req_.
  bool send_request(int cmd);
  // Sends any bytes (malformed frames).
  bool send_bytes(const void* p, size_t n);
  // Receives one response frame; false on close, time-out or a bad frame.
  bool recv_response();
  // True when the peer closed the connection (reads 0 bytes) within ~5 s.
  bool peer_closed();
  // Receives up to n bytes with a time-out; the count (0 at close, -1 on
  // time-out with nothing read).
  long recv_some(void* p, size_t n, int timeout_ms);

  // The request builder (begin() starts it) and the last response.
  blobmsg_buf* req() { return &req_; }
  void begin();
  // The attribute of the last response, or type -1.
  Attr get(const std::string& name) const;
  // Whether it holds every attribute of message M, each of its type.
  template <class M>
  bool has_layout() const {
    for (const blobmsg_rule& r : M::rules)
      if (get(r.name).type != r.type) return false;
    return true;
  }
  size_t response_len() const { return resp_.size(); }

  // Exchanges; each returns the response errno, or -1000 on a transport
  // failure.
  int login(const std::string& user, const std::string& pass);
  int pack(const std::string& name);
  int open(const std::string& path, int64_t mode, int64_t* fd);
  int read(int64_t fd, int32_t len, std::vector<uint8_t>* packed);
  int write(int64_t fd, const void* packed, size_t packed_len, int32_t plain_len);
  int seek(int64_t fd, int64_t off, int64_t origin, int64_t* pos);
  int finfo(int64_t fd);
  int close_file(int64_t fd);
  int simple(int cmd, int64_t fd);  // sync, close, or any fd-only request
  bool exit_session();

 private:
  long raw_recv(void* p, size_t n);
  bool recv_exact(void* p, size_t n);
  int call(int cmd);

  int fd_ = -1;
  WOLFSSL_CTX* ctx_ = nullptr;
  WOLFSSL* ssl_ = nullptr;
  blobmsg_buf req_{};
  std::vector<uint8_t> resp_;
};

}  // namespace krsd_test
