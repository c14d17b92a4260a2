// The daemon's option parser and file layer, in-process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <thread>

#include "krsd_file.h"
#include "krsd_opts.h"
#include "krsd_test_util.h"
#include "krsd_tls.h"
#include "tls_suites.h"

using kit::TempDir;

namespace {

int parse(std::vector<const char*> args, const char* env, krsd_opts* o, std::string* err) {
  args.insert(args.begin(), "krsd");
  return krsd_opts_parse(static_cast<int>(args.size()), args.data(), env, o, err);
}

TEST(KrsdOpts, DefaultsAndEveryOption) {
  krsd_opts o;
  std::string err;
  ASSERT_EQ(parse({}, nullptr, &o, &err), 0);
  EXPECT_EQ(o.port, 6688);
  EXPECT_EQ(o.tls_port, 6686);
  EXPECT_FALSE(o.daemonize);
  EXPECT_FALSE(o.require_login);
  EXPECT_EQ(o.drop_after, -1);
  EXPECT_EQ(o.vanish_at, -1);
  EXPECT_TRUE(o.read_only);  // writing must be asked for
  EXPECT_TRUE(o.allow.empty());

  ASSERT_EQ(parse({"-d", "--listen", "127.0.0.1", "--port=7000", "--tls-port", "0", "--root",
                   "/srv", "--map", "/dev/rdisk0s1s2=/tmp/a=b.img", "--map=/x=/y", "--user",
                   "root", "--password", "alpine", "--read-write", "--read-only", "--allow",
                   "10.0.0.7", "--allow=[fe80::1%eth0]", "--exit-idle", "0", "--bad-range", "1m:4k",
                   "--bad-range", "0x200:512", "--vanish-at", "2g", "--drop-after", "100k,once",
                   "--stall-after", "5:1500", "--port-file", "p", "--login-timeout", "5",
                   "--request-timeout", "7", "--mem-limit", "32m", "-v", "--idle-timeout", "9",
                   "--max-conn", "3", "--sock-buf", "64k", "--log", "l", "--cert", "c", "--key=k"},
                  nullptr, &o, &err),
            0)
      << err;
  EXPECT_TRUE(o.daemonize);
  EXPECT_EQ(o.listen, "127.0.0.1");
  EXPECT_EQ(o.port, 7000);
  EXPECT_EQ(o.tls_port, -1);  // 0 turns TLS off
  ASSERT_EQ(o.maps.size(), 2u);
  EXPECT_EQ(o.maps[0].path, "/dev/rdisk0s1s2");
  EXPECT_EQ(o.maps[0].file, "/tmp/a=b.img");  // split at the first '='
  EXPECT_EQ(o.maps[1].path, "/x");
  EXPECT_TRUE(o.require_login);
  EXPECT_EQ(o.password, "alpine");
  EXPECT_TRUE(o.read_only);  // the last of --read-write and --read-only wins
  EXPECT_EQ(o.allow, (std::vector<std::string>{"10.0.0.7", "[fe80::1%eth0]"}));
  EXPECT_EQ(o.exit_idle_s, 0);
  ASSERT_EQ(o.bad.size(), 2u);
  EXPECT_EQ(o.bad[0].off, 1 << 20);
  EXPECT_EQ(o.bad[0].len, 4096);
  EXPECT_EQ(o.bad[1].off, 0x200);
  EXPECT_EQ(o.vanish_at, 2LL << 30);
  EXPECT_EQ(o.drop_after, 100 * 1024);
  EXPECT_TRUE(o.drop_once);
  EXPECT_EQ(o.stall_after, 5);
  EXPECT_EQ(o.stall_ms, 1500);
  EXPECT_FALSE(o.stall_once);
  EXPECT_EQ(o.login_timeout_s, 5);
  EXPECT_EQ(o.request_timeout_s, 7);
  EXPECT_EQ(o.mem_limit, 32 << 20);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.idle_timeout_s, 9);
  EXPECT_EQ(o.max_conn, 3);
  EXPECT_EQ(o.sock_buf, 64 << 10);
  EXPECT_EQ(o.port_file, "p");
  EXPECT_EQ(o.log_file, "l");
  EXPECT_EQ(o.cert, "c");
  EXPECT_EQ(o.key, "k");

  ASSERT_EQ(parse({"--tls-port", "any"}, nullptr, &o, &err), 0);
  EXPECT_EQ(o.tls_port, 0);
}

TEST(KrsdOpts, EnvironmentComesFirstAndTheCommandLineWins) {
  krsd_opts o;
  std::string err;
  ASSERT_EQ(parse({"-d", "--port", "2"}, "  --map /a=/b\t--port 1 ", &o, &err), 0) << err;
  EXPECT_EQ(o.port, 2);
  ASSERT_EQ(o.maps.size(), 1u);
  EXPECT_EQ(o.maps[0].file, "/b");
  EXPECT_TRUE(o.daemonize);
}

TEST(KrsdOpts, RefusesBadValues) {
  krsd_opts o;
  std::string err;
  const std::vector<std::vector<const char*>> bad = {
      {"--port", "70000"},      {"--port", "12x"},          {"--port"},
      {"--bad-range", "100"},   {"--bad-range", "1:0"},     {"--bad-range", "-1:5"},
      {"--stall-after", "10"},  {"--stall-after", "10:0"},  {"--drop-after", "many"},
      {"--map", "noequal"},     {"--map", "=/file"},        {"--cert", "c.pem"},
      {"--vanish-at", "1t"},    {"--frobnicate"},           {"--max-conn", "0"},
      {"--allow", "device.lan"}, {"--allow", "192.168.191"}, {"--exit-idle", "-1"},
      {"--exit-idle", "30m"},   {"--mem-limit", "16m"},     {"--request-timeout", "0"},
  };
  for (const auto& args : bad) {
    EXPECT_EQ(parse(args, nullptr, &o, &err), -1) << args[0];
    EXPECT_FALSE(err.empty());
  }
  // The reason names the option as it was spelled, without its value.
  const std::pair<std::vector<const char*>, std::string> reasons[] = {
      {{"--port=12x"}, "bad value for --port: '12x'"},
      {{"--idle-timeout"}, "option --idle-timeout needs a value"},
      {{"--frobnicate=1"}, "unknown option '--frobnicate' (see krsd --help)"},
      {{"--key", "k.pem"}, "--cert and --key go together"},
  };
  for (const auto& [args, reason] : reasons) {
    EXPECT_EQ(parse(args, nullptr, &o, &err), -1) << args[0];
    EXPECT_EQ(err, reason);
  }
  EXPECT_EQ(parse({"--help"}, nullptr, &o, &err), 1);
  EXPECT_NE(err.find("--drop-after"), std::string::npos);
  EXPECT_NE(err.find("KRSD_ARGS"), std::string::npos);
}

// Whom a daemon serves and how long it stays follow from how it was
// started: from an SSH session only that session's address, unless the
// command line names the peers or a listen address.
TEST(KrsdOpts, TheStartDecidesThePeersAndTheIdleExit) {
  const char* kConn = "192.168.191.1 50022 192.168.191.2 22";
  struct Row {
    std::vector<const char*> args;
    const char *ssh_connection, *ssh_client;
    std::vector<std::string> allow;
    bool from_session;
    int exit_idle_s;
  } rows[] = {
      {{}, nullptr, nullptr, {}, false, 0},
      {{"-d"}, nullptr, nullptr, {}, false, 1800},
      {{"-d"}, kConn, "192.168.191.1 50022 22", {"192.168.191.1"}, true, 1800},
      {{"-d"}, "", "10.1.2.3 50022 22", {"10.1.2.3"}, true, 1800},
      {{}, "fe80::1%eth0 50022 fe80::2 22", nullptr, {"fe80::1%eth0"}, true, 0},
      {{"-d", "--listen", "0.0.0.0"}, kConn, nullptr, {}, false, 1800},
      {{"-d", "--allow", "10.0.0.9"}, kConn, nullptr, {"10.0.0.9"}, false, 1800},
      {{"-d", "--exit-idle", "5"}, kConn, nullptr, {"192.168.191.1"}, true, 5},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.ssh_connection ? r.ssh_connection : "-") + " " +
                 std::to_string(r.args.size()));
    krsd_opts o;
    std::string err;
    ASSERT_EQ(parse(r.args, nullptr, &o, &err), 0) << err;
    ASSERT_EQ(krsd_opts_settle(&o, r.ssh_connection, r.ssh_client, &err), 0) << err;
    EXPECT_EQ(o.allow, r.allow);
    EXPECT_EQ(o.allow_from_session, r.from_session);
    EXPECT_EQ(o.exit_idle_s, r.exit_idle_s);
  }
  // A session whose address cannot be read does not fall back to everyone.
  krsd_opts o;
  std::string err;
  ASSERT_EQ(parse({"-d"}, nullptr, &o, &err), 0);
  EXPECT_EQ(krsd_opts_settle(&o, "unknown 50022 192.168.191.2 22", nullptr, &err), -1);
  EXPECT_NE(err.find("--allow"), std::string::npos) << err;
  // A dual-stack listener sees IPv4 peers as mapped IPv6 addresses.
  krsd_addr v4, mapped;
  ASSERT_TRUE(krsd_parse_addr("192.168.191.1", &v4));
  ASSERT_TRUE(krsd_parse_addr("::ffff:192.168.191.1", &mapped));
  EXPECT_EQ(v4, mapped);
}

TEST(KrsdOpts, SizeTexts) {
  EXPECT_EQ(krsd_parse_size("0"), 0);
  EXPECT_EQ(krsd_parse_size("10k"), 10240);
  EXPECT_EQ(krsd_parse_size("3M"), 3 << 20);
  EXPECT_EQ(krsd_parse_size("0x10"), 16);
  EXPECT_EQ(krsd_parse_size(""), -1);
  EXPECT_EQ(krsd_parse_size("k"), -1);
  EXPECT_EQ(krsd_parse_size("1kb"), -1);
  EXPECT_EQ(krsd_parse_size("-5"), -1);
  EXPECT_EQ(krsd_parse_size("99999999999g"), -1);  // overflows int64
}

TEST(KrsdMode, FileLayerMapping) {
  const int base = O_CLOEXEC | O_NOCTTY;
  EXPECT_EQ(krsd_mode_flags(1), O_RDONLY | base);
  EXPECT_EQ(krsd_mode_flags(1 | 2 | 4), O_RDONLY | base);  // read wins
  EXPECT_EQ(krsd_mode_flags(2), O_WRONLY | base);
  EXPECT_EQ(krsd_mode_flags(4), O_RDWR | base);
  EXPECT_EQ(krsd_mode_flags(0), O_RDONLY | base);
  EXPECT_EQ(krsd_mode_flags(42), O_WRONLY | O_CREAT | O_TRUNC | base);  // new image
  EXPECT_EQ(krsd_mode_flags(10), O_WRONLY | base);  // continue: the file must exist
  EXPECT_EQ(krsd_mode_flags(2 | 8 | 0x10), O_WRONLY | O_CREAT | base);
  EXPECT_EQ(krsd_mode_flags(2 | 0x20), O_WRONLY | O_TRUNC | base);
  EXPECT_FALSE(krsd_mode_writes(1));
  EXPECT_FALSE(krsd_mode_writes(1 | 2));
  EXPECT_TRUE(krsd_mode_writes(2));
  EXPECT_TRUE(krsd_mode_writes(4));
  EXPECT_TRUE(krsd_mode_writes(1 | 0x20));
}

class KrsdFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = kit::mixed_bytes(300000, 7);
    ASSERT_TRUE(kit::write_file(dir_.file("img"), data_));
  }
  int open(const std::string& path, int64_t mode, std::unique_ptr<krsd_file>* f) {
    return krsd_file::open(fs_, path, mode, f);
  }
  int init() { return fs_.init(opts_); }

  TempDir dir_;
  std::vector<uint8_t> data_;
  krsd_opts opts_;
  krsd_fs fs_;
};

TEST_F(KrsdFileTest, ReadSeekInfoAndEnd) {
  ASSERT_EQ(init(), 0);
  std::unique_ptr<krsd_file> f;
  ASSERT_EQ(open(dir_.file("img"), 1, &f), 0);
  std::vector<uint8_t> buf(200000);
  size_t got = 0;
  ASSERT_EQ(f->read(buf.data(), buf.size(), &got), 0);
  ASSERT_EQ(got, 200000u);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data_.begin()));
  ASSERT_EQ(f->read(buf.data(), buf.size(), &got), 0);  // short only at the end
  EXPECT_EQ(got, 100000u);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100000, data_.begin() + 200000));
  ASSERT_EQ(f->read(buf.data(), buf.size(), &got), 0);
  EXPECT_EQ(got, 0u);

  int64_t pos = 0;
  EXPECT_EQ(f->seek(-10, 2, &pos), 0);
  EXPECT_EQ(pos, 299990);
  EXPECT_EQ(f->seek(-90, 1, &pos), 0);
  EXPECT_EQ(pos, 299900);
  EXPECT_EQ(f->seek(-1, 0, &pos), EINVAL);
  EXPECT_EQ(f->seek(0, 3, &pos), EINVAL);
  EXPECT_EQ(f->position(), 299900);  // a refused seek moves nothing
  EXPECT_EQ(f->seek(INT64_MAX, 1, &pos), EINVAL);

  krsd_file_facts fi;
  ASSERT_EQ(f->info(&fi), 0);
  EXPECT_EQ(fi.type, KRSD_FTYPE_REGULAR);
  EXPECT_EQ(fi.size, 300000);
  EXPECT_EQ(fi.offset, 299900);
  EXPECT_EQ(fi.sector_bytes, 512);
  EXPECT_NE(fi.info.find("regular file"), std::string::npos);

  // A read-only daemon (the default): no write, no truncate, a sync that
  // touches nothing.
  size_t put = 0;
  EXPECT_EQ(f->write(buf.data(), 10, &put), EROFS);
  EXPECT_EQ(f->truncate(0), EROFS);
  EXPECT_EQ(f->sync(), 0);

  std::unique_ptr<krsd_file> z;
  ASSERT_EQ(open("/dev/zero", 1, &z), 0);
  ASSERT_EQ(z->info(&fi), 0);
  EXPECT_EQ(fi.type, KRSD_FTYPE_CHAR);
  EXPECT_EQ(fi.size, 0);
  EXPECT_EQ(open(dir_.file("missing"), 1, &z), ENOENT);
  EXPECT_EQ(open("", 1, &z), ENOENT);
}

TEST_F(KrsdFileTest, InjectedFaultsFailWholeReadsAndKeepThePosition) {
  opts_.bad.push_back({100000, 1});
  opts_.vanish_at = 250000;
  ASSERT_EQ(init(), 0);
  std::unique_ptr<krsd_file> f;
  ASSERT_EQ(open(dir_.file("img"), 1, &f), 0);
  std::vector<uint8_t> buf(102400);
  size_t got = 1;
  int64_t pos;
  ASSERT_EQ(f->seek(90000, 0, &pos), 0);
  EXPECT_EQ(f->read(buf.data(), 10000, &got), 0);  // ends right before the bad byte
  EXPECT_EQ(got, 10000u);
  EXPECT_EQ(f->read(buf.data(), 1, &got), EIO);  // the bad byte itself
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(f->position(), 100000);
  ASSERT_EQ(f->seek(100001, 0, &pos), 0);  // right after it reads again
  EXPECT_EQ(f->read(buf.data(), 1000, &got), 0);
  EXPECT_EQ(got, 1000u);
  EXPECT_EQ(f->read(buf.data(), 0, &got), 0);  // nothing asked, nothing touched
  ASSERT_EQ(f->seek(249000, 0, &pos), 0);
  EXPECT_EQ(f->read(buf.data(), 1000, &got), 0);
  EXPECT_EQ(f->read(buf.data(), 1, &got), ENXIO);  // at the vanishing point
  EXPECT_EQ(f->position(), 250000);
  ASSERT_EQ(f->seek(0, 0, &pos), 0);
  EXPECT_EQ(f->read(buf.data(), 100000, &got), 0);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100000, data_.begin()));
}

TEST_F(KrsdFileTest, WritesTruncateAppendAndReadOnly) {
  opts_.read_only = false;
  ASSERT_EQ(init(), 0);
  std::unique_ptr<krsd_file> f;
  std::string out = dir_.file("out");
  EXPECT_EQ(open(out, 10, &f), ENOENT);  // create+write needs an existing file
  ASSERT_EQ(open(out, 42, &f), 0);
  size_t put = 0;
  ASSERT_EQ(f->write(data_.data(), 5000, &put), 0);
  EXPECT_EQ(put, 5000u);
  ASSERT_EQ(f->truncate(3000), 0);
  ASSERT_EQ(f->sync(), 0);
  f.reset();
  ASSERT_EQ(open(out, 2 | 8 | 0x10, &f), 0);  // append: positioned at the end
  EXPECT_EQ(f->position(), 3000);
  ASSERT_EQ(f->write(data_.data() + 3000, 10, &put), 0);
  f.reset();
  auto back = kit::read_bytes(out);
  ASSERT_EQ(back.size(), 3010u);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data_.begin()));
  ASSERT_EQ(open(out, 42, &f), 0);  // a new image empties the file
  f.reset();
  EXPECT_EQ(kit::read_bytes(out).size(), 0u);
  ASSERT_EQ(open(out, 1, &f), 0);  // opened for reading
  EXPECT_EQ(f->write(data_.data(), 10, &put), EBADF);
  EXPECT_EQ(f->truncate(0), EBADF);

  krsd_opts ro = opts_;
  ro.read_only = true;
  krsd_fs rofs;
  ASSERT_EQ(rofs.init(ro), 0);
  EXPECT_EQ(krsd_file::open(rofs, out, 42, &f), EROFS);
  EXPECT_EQ(krsd_file::open(rofs, out, 2, &f), EROFS);
  EXPECT_EQ(krsd_file::open(rofs, out, 1 | 0x20, &f), EROFS);
  EXPECT_EQ(krsd_file::open(rofs, out, 1, &f), 0);
}

TEST_F(KrsdFileTest, RootKeepsEveryRequestInside) {
  std::string root = dir_.file("root");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/dev").c_str(), 0755), 0);
  ASSERT_TRUE(kit::write_file(root + "/dev/disk", {1, 2, 3}));
  ASSERT_TRUE(kit::write_file(dir_.file("secret"), {9, 9}));
  ASSERT_EQ(symlink("/dev/disk", (root + "/abs-inside").c_str()), 0);
  ASSERT_EQ(symlink(dir_.file("secret").c_str(), (root + "/abs-out").c_str()), 0);
  ASSERT_EQ(symlink("../../secret", (root + "/dev/rel-out").c_str()), 0);
  opts_.root = root;
  opts_.read_only = false;
  opts_.maps.push_back({"/dev/rdisk0s1s2", dir_.file("img")});
  ASSERT_EQ(init(), 0);

  std::unique_ptr<krsd_file> f;
  ASSERT_EQ(open("/dev/disk", 1, &f), 0);
  ASSERT_EQ(open("dev/disk", 1, &f), 0);
  ASSERT_EQ(open("/abs-inside", 1, &f), 0);  // a link is read as if the root were "/"
  krsd_file_facts fi;
  ASSERT_EQ(f->info(&fi), 0);
  EXPECT_EQ(fi.size, 3);
  EXPECT_EQ(open("/../secret", 1, &f), EACCES);
  EXPECT_EQ(open("/dev/../../secret", 1, &f), EACCES);
  EXPECT_EQ(open("..", 1, &f), EACCES);
  // Links that point outside resolve inside the root, where nothing is.
  EXPECT_EQ(open("/abs-out", 1, &f), ENOENT);
  EXPECT_EQ(open("/dev/rel-out", 1, &f), ENOENT);
  EXPECT_EQ(open(dir_.file("secret"), 1, &f), ENOENT);
  // A mapped path is served from its file, inside the root or not.
  ASSERT_EQ(open("/dev/rdisk0s1s2", 1, &f), 0);
  ASSERT_EQ(f->info(&fi), 0);
  EXPECT_EQ(fi.size, 300000);
  // Files made through the root stay inside it.
  ASSERT_EQ(open("/new.img", 42, &f), 0);
  f.reset();
  EXPECT_EQ(access((root + "/new.img").c_str(), F_OK), 0);
}

TEST(KrsdTls, LoadsGivenCertificateFilesAndRefusesBadOnes) {
  TempDir dir;
  std::vector<unsigned char> cert, key;
  std::string err;
  ASSERT_EQ(krsd_tls_make_self_signed(&cert, &key, &err), 0) << err;
  ASSERT_TRUE(kit::write_file(dir.file("cert.der"), {cert.begin(), cert.end()}));
  ASSERT_TRUE(kit::write_file(dir.file("key.der"), {key.begin(), key.end()}));
  ASSERT_TRUE(kit::write_file(dir.file("junk"), {1, 2, 3, 4}));
  krsd_opts o;
  o.cert = dir.file("cert.der");
  o.key = dir.file("key.der");
  // The fingerprint a client pins is the SHA-256 of the certificate as loaded.
  const std::string sha256 = krsd_test::shell_output("sha256sum " + o.cert).substr(0, 64);
  {
    krsd_tls_server t;
    EXPECT_EQ(t.init(o, &err), 0) << err;
    EXPECT_EQ(t.fingerprint(), sha256);
  }
  // And a daemon given them serves TLS with them.
  krsd_test::Daemon d;
  ASSERT_TRUE(d.start({"--cert", o.cert, "--key", o.key}));
  EXPECT_EQ(d.tls_sha256, sha256);
  krsd_test::Client c;
  ASSERT_TRUE(c.connect(d.tls_port, true));
  EXPECT_EQ(c.login("", ""), 0);
  o.key = dir.file("junk");
  {
    krsd_tls_server t;
    EXPECT_EQ(t.init(o, &err), -1);
    EXPECT_NE(err.find("key"), std::string::npos);
  }
  o.cert = dir.file("junk");
  {
    krsd_tls_server t;
    EXPECT_EQ(t.init(o, &err), -1);
    EXPECT_NE(err.find("certificate"), std::string::npos);
  }
}

// Whichever end has AES instructions, the two agree a suite of the set: the
// daemon's fastest, or ChaCha20-Poly1305 for a client that asks for it first
// (one without them); a client offering none of the set gets no session.
TEST(KrsdTls, AgreedSuiteFollowsBothOrdersWithinTheSet) {
  signal(SIGPIPE, SIG_IGN);  // an alert to a client that gave up
  const std::string aes = sd_tls12_suites_by_speed(true), chacha = sd_tls12_suites_by_speed(false);
  struct Row {
    bool daemon_aes;
    std::string offer;   // the client's suites, its order
    std::string agreed;  // as the daemon logs it; "" = no session
  };
  const std::vector<Row> rows = {
      {true, aes, "ECDHE-ECDSA-AES128-GCM-SHA256"},
      {false, aes, "ECDHE-ECDSA-CHACHA20-POLY1305"},
      {true, chacha, "ECDHE-ECDSA-CHACHA20-POLY1305"},
      {false, chacha, "ECDHE-ECDSA-CHACHA20-POLY1305"},
      {false, "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384"},
      {true, "TLS13-AES256-GCM-SHA384:TLS13-CHACHA20-POLY1305-SHA256", "TLS13-AES256-GCM-SHA384"},
      {false, "TLS13-AES256-GCM-SHA384:TLS13-CHACHA20-POLY1305-SHA256", "TLS13-CHACHA20-POLY1305-SHA256"},
      {true, "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-NULL-SHA", ""},
      {false, "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-NULL-SHA", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.offer + (row.daemon_aes ? " to a daemon with AES" : " to a daemon without AES"));
    krsd_tls_server t;
    std::string err;
    ASSERT_EQ(t.init(krsd_opts{}, row.daemon_aes, &err), 0) << err;
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    std::string agreed = "(no connection)";
    std::thread daemon([&] {
      const int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      std::string why;
      auto* ssl = t.accept(fd, krsd_clock::now() + std::chrono::seconds(10), &why);
      agreed = ssl ? krsd_tls_cipher(ssl) : "";
      krsd_tls_free(ssl);
      close(fd);
    });
    {
      krsd_test::Client c;
      EXPECT_EQ(c.connect(ntohs(a.sin_port), true, "127.0.0.1", row.offer.c_str()), !row.agreed.empty());
    }
    daemon.join();
    close(lfd);
    EXPECT_EQ(agreed, row.agreed);
    EXPECT_TRUE(agreed.empty() || sd_tls_suite_allowed(agreed.c_str(), true)) << agreed;
  }
}

// A block device answers its size from the device (a loop device over the
// test image; skipped where loop devices cannot be made).
TEST_F(KrsdFileTest, BlockDeviceSizeAndSector) {
  std::string cmd = "losetup -f --show " + dir_.file("img") + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  char dev[64] = "";
  if (p) {
    if (!fgets(dev, sizeof(dev), p)) dev[0] = '\0';
    pclose(p);
  }
  std::string d = dev;
  while (!d.empty() && (d.back() == '\n' || d.back() == ' ')) d.pop_back();
  if (d.empty()) GTEST_SKIP() << "no loop device available (needs root and losetup)";
  ASSERT_EQ(init(), 0);
  std::unique_ptr<krsd_file> f;
  int e = open(d, 1, &f);
  krsd_file_facts fi;
  int ie = e == 0 ? f->info(&fi) : e;
  f.reset();
  std::string detach = "losetup -d " + d;
  EXPECT_EQ(system(detach.c_str()), 0);
  ASSERT_EQ(e, 0);
  ASSERT_EQ(ie, 0);
  EXPECT_EQ(fi.type, KRSD_FTYPE_BLOCK);
  EXPECT_EQ(fi.size, 300000 / 512 * 512);  // a loop device ends on a sector
  EXPECT_GE(fi.sector_bytes, 512);
}

}  // namespace
