// The daemon's request loop fed with arbitrary bytes as one connection's
// stream: frames, roots, attributes and every command handler must take
// anything a hostile client sends without reading or writing out of bounds.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "krsd_conn.h"
#include "krsd_file.h"
#include "krsd_opts.h"
#include "os/os_log.h"

namespace {

struct Fixture {
  krsd_opts opts;
  krsd_fs fs;
  std::string root;
  bool ok = false;
  Fixture() {
    // Writes may create files in the root: each is capped, and the root is
    // emptied after every input.
    os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_CRIT);  // the refusals would flood the output
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{16 << 20, 16 << 20};
    setrlimit(RLIMIT_FSIZE, &lim);
    // In memory where there is /dev/shm: the inputs sync files often.
    char dir[] = "/dev/shm/krsd-fuzz-XXXXXX";
    char dir_tmp[] = "/tmp/krsd-fuzz-XXXXXX";
    char* made = mkdtemp(dir);
    if (made == nullptr) made = mkdtemp(dir_tmp);
    if (made == nullptr) return;
    root = std::string(made) + "/root";
    if (mkdir(root.c_str(), 0755) != 0) return;
    std::string img = std::string(made) + "/disk.img";
    FILE* f = fopen(img.c_str(), "wb");
    if (f == nullptr) return;
    for (int i = 0; i < 65536; i++) fputc(i * 7 & 0xff, f);
    fclose(f);
    opts.tls_port = -1;
    opts.read_only = false;  // the write paths are fuzzed too
    opts.root = root;
    opts.maps.push_back({"/dev/rdisk0s1s2", img});
    opts.bad.push_back({4096, 512});
    opts.vanish_at = 60000;
    ok = fs.init(opts) == 0;
  }
  void empty_root() const {
    DIR* d = opendir(root.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
        continue;
      unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fx;
  if (!fx.ok) abort();
  krsd_server_state st;
  st.opts = &fx.opts;
  st.fs = &fx.fs;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  // Threads are dear under the sanitizers: the input goes in and the
  // answers pile up in large socket buffers instead. A full buffer ends the
  // connection after a second rather than hanging it.
  int big = 64 << 20;
  for (int fd : sv) {
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof(big)) != 0)
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
  }
  timeval tv{1, 0};
  setsockopt(sv[1], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  std::thread feed;
  size_t done = 0;
  while (done < size) {
    ssize_t w = send(sv[0], data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  if (done < size) {
    feed = std::thread([&] {  // a long replayed input
      while (done < size) {
        ssize_t w = send(sv[0], data + done, size - done, MSG_NOSIGNAL);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
      }
      shutdown(sv[0], SHUT_WR);
    });
  } else {
    shutdown(sv[0], SHUT_WR);  // the end of the input ends the connection
  }
  krsd_conn_serve(&st, sv[1], false, "fuzz");  // closes sv[1]
  if (feed.joinable()) feed.join();
  close(sv[0]);
  fx.empty_root();
  return 0;
}
