// A TCP proxy on loopback that delays every byte by a fixed time in each
// direction without limiting the bandwidth: what it reads is held for the
// delay and then written on, however much is on its way. It stands in for a
// link with a round trip of twice the delay.
//
//   krii_delay_proxy --to PORT --delay MS --port-file FILE
//
// Listens on 127.0.0.1 (a free port, written to FILE as "port N") and
// forwards each connection to 127.0.0.1:PORT until either side closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  Clock::time_point due;
  std::vector<char> bytes;  // empty: the sender closed
};

// One direction: a reader that timestamps what arrives and a writer that
// sends each piece when its time has come.
class Pipe {
 public:
  Pipe(int from, int to, std::chrono::milliseconds delay) : from_(from), to_(to), delay_(delay) {}

  void run() {
    std::thread writer([this] { write_loop(); });
    for (;;) {
      std::vector<char> buf(256 * 1024);
      ssize_t n = recv(from_, buf.data(), buf.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      buf.resize(n > 0 ? size_t(n) : 0);
      bool end = n <= 0;
      {
        std::lock_guard<std::mutex> g(mu_);
        queue_.push_back({Clock::now() + delay_, std::move(buf)});
      }
      cv_.notify_one();
      if (end) break;
    }
    writer.join();
  }

 private:
  void write_loop() {
    for (;;) {
      Chunk c;
      {
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait(l, [this] { return !queue_.empty(); });
        c = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(c.due);
      if (c.bytes.empty()) {
        shutdown(to_, SHUT_WR);
        return;
      }
      size_t done = 0;
      while (done < c.bytes.size()) {
        ssize_t w = send(to_, c.bytes.data() + done, c.bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          shutdown(from_, SHUT_RD);  // the reader ends too
          return;
        }
        done += size_t(w);
      }
    }
  }

  int from_, to_;
  std::chrono::milliseconds delay_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Chunk> queue_;
};

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

void nodelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

int main(int argc, char** argv) {
  int to = -1, delay_ms = -1;
  std::string port_file;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--to") to = atoi(argv[i + 1]);
    if (k == "--delay") delay_ms = atoi(argv[i + 1]);
    if (k == "--port-file") port_file = argv[i + 1];
  }
  if (to <= 0 || delay_ms < 0 || port_file.empty()) {
    fprintf(stderr, "usage: %s --to PORT --delay MS --port-file FILE\n", argv[0]);
    return 2;
  }
  int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 16) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    perror("delay_proxy: listen");
    return 1;
  }
  std::string tmp = port_file + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f || fprintf(f, "port %d\n", ntohs(a.sin_port)) < 0 || fclose(f) != 0 ||
      rename(tmp.c_str(), port_file.c_str()) != 0) {
    perror("delay_proxy: port file");
    return 1;
  }
  const std::chrono::milliseconds delay(delay_ms);
  for (;;) {
    int c = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::thread([c, to, delay] {
      int u = connect_to(to);
      if (u >= 0) {
        nodelay(c);
        nodelay(u);
        Pipe up(c, u, delay), down(u, c, delay);
        std::thread t([&] { up.run(); });
        down.run();
        t.join();
        close(u);
      }
      close(c);
    }).detach();
  }
}
