// Hostile clients against a real daemon, the host's build and, where this
// machine runs it, the delivered ARMv7 program: each may lose its own
// connection, but none may keep the daemon's slots, make it hold more
// memory than its bound, guess logins at full speed or empty a file through
// a read; and a well-behaved client is served after each.
#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

#include "krsd_test_util.h"

using krsd_test::Client;
using krsd_test::Daemon;

namespace {

constexpr int kLogin = 1, kRead = 12, kWrite = 13;
constexpr int kConns = 16;          // the daemon's default --max-conn
constexpr int32_t kBig = KRSD_MAX_DATA;  // the most one read answers and one write carries
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the daemon's memory is the sanitizer's
#else
constexpr bool kSanitized = false;
#endif

// The frame of the request in c's builder.
std::vector<uint8_t> frame(Client& c, int cmd) {
  std::vector<uint8_t> f = {'K', 'R', 1, static_cast<uint8_t>(cmd)};
  f.insert(f.end(), c.req()->bytes, c.req()->bytes + msg_len(c.req()));
  return f;
}

// Sends a frame a byte at a time, gap_ms apart; true when the daemon closed
// the connection before the frame was whole.
bool dropped_while_trickling(Client* c, const std::vector<uint8_t>& f, int gap_ms) {
  uint8_t b;
  for (uint8_t byte : f)
    if (!c->send_bytes(&byte, 1) || c->recv_some(&b, 1, gap_ms) == 0) return true;
  return false;
}

void read_request(Client* c, int64_t fd, int32_t len) {
  if (krp::encode<krp::read::request>(c->req(), fd, len)) abort();
}

void at_once(int n, const std::function<void()>& client) {
  std::vector<std::thread> ts;
  for (int i = 0; i < n; i++) ts.emplace_back(client);
  for (auto& t : ts) t.join();
}

class KrsdHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    // A full block of data, then a hole: a read of the block has another
    // one to prepare behind it.
    data_ = kit::mixed_bytes(kBig, 5);
    img_ = dir_.file("sample.img");
    ASSERT_TRUE(kit::write_file(img_, data_));
    ASSERT_EQ(truncate(img_.c_str(), 3 * kBig), 0);
  }
  // Logs in the way the client does, switches to the codec, opens the sample.
  static bool session(Daemon& d, Client* c, const std::string& codec, int64_t* fd,
                      const std::string& user = "", const std::string& pass = "") {
    return c->connect(d.port) && c->login(user, pass) == 0 && c->pack(codec) == 0 &&
           c->open("/dev/rdisk0s1s2", 1, fd) == 0;
  }
  // A client reads the data block whole with lz4: 1, 0 when the daemon
  // refused it for memory (errno 12), -1 on any other outcome.
  int read_block(Daemon& d) {
    Client c;
    int64_t fd = 0;
    std::vector<uint8_t> p;
    if (!session(d, &c, "lz4", &fd)) return -1;
    const int e = c.read(fd, kBig, &p);
    if (e != 0) return e == ENOMEM ? 0 : -1;
    std::vector<uint8_t> plain(kBig);
    const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(p.data()),
                                      reinterpret_cast<char*>(plain.data()), static_cast<int>(p.size()), kBig);
    return n == kBig && plain == data_ ? 1 : -1;
  }
  // A well-behaved client reads the first bytes.
  bool served(Daemon& d, const std::string& user = "", const std::string& pass = "") {
    Client c;
    int64_t fd = 0;
    std::vector<uint8_t> p;
    return session(d, &c, "none", &fd, user, pass) && c.read(fd, 4096, &p) == 0 &&
           p.size() == 4096 && std::equal(p.begin(), p.end(), data_.begin());
  }

  kit::TempDir dir_;
  std::vector<uint8_t> data_;
  std::string img_;
};

TEST_F(KrsdHostile, NoClientTakesTheDaemonAway) {
  struct Row {
    const char* what;
    std::vector<std::string> args;
    std::function<void(Daemon&)> run;
  };
  const std::vector<Row> rows = {
      {"a login trickled in beside a silent TLS handshake", {"--max-conn", "2", "--login-timeout", "2"},
       [&](Daemon& d) {
         // Both slots taken: the login time ends both, then a client is served.
         Client trickler, silent;
         ASSERT_TRUE(trickler.connect(d.port) && silent.connect(d.tls_port));
         ASSERT_EQ(krp::encode<krp::init::request>(trickler.req(), "", ""), 0);
         std::thread t([&] { EXPECT_TRUE(dropped_while_trickling(&trickler, frame(trickler, kLogin), 250)); });
         EXPECT_TRUE(silent.peer_closed());
         t.join();
         EXPECT_TRUE(served(d));
       }},
      {"a request trickled in", {"--request-timeout", "1"},
       [&](Daemon& d) {
         Client c;
         int64_t fd = 0;
         ASSERT_TRUE(session(d, &c, "none", &fd));
         // A pause between requests longer than a request's time is no fault.
         std::this_thread::sleep_for(std::chrono::milliseconds(1500));
         std::vector<uint8_t> p;
         ASSERT_EQ(c.read(fd, 100, &p), 0);
         read_request(&c, fd, 100);
         EXPECT_TRUE(dropped_while_trickling(&c, frame(c, kRead), 200));
         EXPECT_TRUE(served(d));
       }},
      {"answers never taken in", {"--request-timeout", "1", "--max-conn", "1", "--sock-buf", "64k"},
       [&](Daemon& d) {
         Client c;
         int64_t fd = 0;
         ASSERT_TRUE(session(d, &c, "none", &fd));
         read_request(&c, fd, 1 << 20);
         for (int i = 0; i < 20; i++) ASSERT_TRUE(c.send_request(kRead));
         // Not a byte read: the answer that does not go out ends its
         // connection, and the one slot comes free.
         bool free = false;
         for (int i = 0; i < 50 && !free; i++) {
           std::this_thread::sleep_for(std::chrono::milliseconds(200));
           free = served(d);
         }
         EXPECT_TRUE(free);
       }},
      {"largest write bodies from every connection", {},
       [&](Daemon& d) {
         Client w;
         const std::vector<uint8_t> body(kBig, 0x5a);
         const krp::bytes data{body.data(), body.size()};
         ASSERT_EQ(krp::encode<krp::write::request>(w.req(), 1, 0, kBig, data), 0);
         const std::vector<uint8_t> f = frame(w, kWrite);
         std::atomic<int> sender{0}, answered{0};
         at_once(kConns, [&] {
           // Every other client goes away halfway through its body.
           const bool quits = sender++ % 2;
           Client c;
           if (!c.connect(d.port) || c.login("", "") != 0 ||
               !c.send_bytes(f.data(), quits ? f.size() / 2 : f.size()) || quits || !c.recv_response())
             return;
           // No file is open: EBADF once the body was held, ENOMEM when it was not.
           const int64_t e = c.get("errno").i();
           answered += (e == EBADF || e == ENOMEM) && c.has_layout<krp::write::answer>();
         });
         EXPECT_EQ(answered.load(), kConns / 2);
         EXPECT_EQ(read_block(d), 1) << "the memory of the bodies was not given back";
       }},
      {"largest lz4 reads from every connection", {},
       [&](Daemon& d) {
         std::atomic<int> whole{0}, refused{0};
         at_once(kConns, [&] {
           const int r = read_block(d);
           whole += r == 1;
           refused += r == 0;
         });
         // They wait their turns for memory; one that waited too long is
         // refused, never answered with other bytes.
         EXPECT_EQ(whole.load() + refused.load(), kConns);
         EXPECT_GT(whole.load(), kConns / 2);
         EXPECT_TRUE(served(d));
       }},
      {"wrong logins in a row", {"--user", "root", "--password", "alpine"},
       [&](Daemon& d) {
         Client guesser, owner;
         ASSERT_TRUE(guesser.connect(d.port) && owner.connect(d.port));
         // Answered 0.25 s, 0.5 s and 1 s after one another.
         for (const char* guess : {"toor", "admin", ""}) EXPECT_EQ(guesser.login("root", guess), EACCES);
         // The next wrong one is answered 2 s later; the right one from the
         // same address, on another connection, at once.
         ASSERT_EQ(krp::encode<krp::init::request>(guesser.req(), "root", "123456"), 0);
         ASSERT_TRUE(guesser.send_request(kLogin));
         EXPECT_EQ(owner.login("root", "alpine"), 0);
         uint8_t b;
         EXPECT_EQ(guesser.recv_some(&b, 1, 0), -1) << "a wrong login answered at full speed";
         ASSERT_TRUE(guesser.recv_response());
         EXPECT_EQ(guesser.get("errno").i(), EACCES);
         EXPECT_TRUE(served(d, "root", "alpine"));
       }},
      {"a read that asks to truncate, on a writable daemon", {"--read-write"},
       [&](Daemon& d) {
         Client c;
         ASSERT_TRUE(c.connect(d.port));
         ASSERT_EQ(c.login("", ""), 0);
         for (int64_t mode : {0x21, 0x29}) {
           int64_t fd = 0;
           EXPECT_EQ(c.open("/dev/rdisk0s1s2", mode, &fd), EINVAL) << mode;
         }
         struct stat st {};
         ASSERT_EQ(stat(img_.c_str(), &st), 0);
         EXPECT_EQ(st.st_size, 3 * kBig);
         EXPECT_TRUE(served(d));
       }},
      {"a second daemon started with -d on the same ports", {},
       [&](Daemon& d) {
         // What the deployment logs beside its start-up error.
         const std::string port = std::to_string(d.port);
         const std::string out = krsd_test::shell_output(
             "'" + d.program + "' -d --listen 127.0.0.1 --port " + port +
             " --tls-port 0 2>&1 >/dev/null; echo \"exit $?\"");
         EXPECT_EQ(out, "krsd: bind port " + port + ": Address already in use\nexit 1\n");
         EXPECT_TRUE(served(d));
       }},
  };
  std::string why;
  const std::vector<std::string> daemons = {kit::bin_path("krsd"), krsd_test::armv7_daemon(&why)};
  if (daemons[1].empty()) fprintf(stderr, "note: not through the ARMv7 daemon: %s\n", why.c_str());
  for (const std::string& program : daemons) {
    if (program.empty()) continue;
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.what) + " against " + program);
      Daemon d;
      d.program = program;
      std::vector<std::string> args = row.args;
      args.insert(args.end(), {"--map", "/dev/rdisk0s1s2=" + img_});
      ASSERT_TRUE(d.start(args));
      const long before = krsd_test::vm_kib(d.pid, "VmRSS");
      row.run(d);
      // Whatever the clients did, the daemon held no more than its bound
      // for bodies and answers (64 MiB, and 512 KiB a connection) beyond
      // what it took to start, with room for the rest of its life.
      const long peak = krsd_test::vm_kib(d.pid, "VmHWM");
      if (!kSanitized) {
        EXPECT_LT(peak - before, (64 + kConns / 2 + 24) << 10) << "KiB at the peak, " << before << " at the start";
      }
    }
  }
}

}  // namespace
