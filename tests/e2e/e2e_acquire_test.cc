// End to end: images of every size class, codecs, TLS and refused sessions,
// krimg acquire against a real krsd on loopback.
#include <nlohmann/json.hpp>

#include <cstring>

#include "e2e_common.h"
#include "tls_suites.h"

namespace e2e {
namespace {

// The suite a krii client and the daemon on this host agree by themselves:
// both put this processor's fastest first.
const std::string fastest =
    sd_tls_cpu_has_aes() ? "ECDHE-ECDSA-AES128-GCM-SHA256" : "ECDHE-ECDSA-CHACHA20-POLY1305";

TEST_F(E2e, ImagesAroundBlockBoundaries) {
  // Empty, one byte, around one block of the engine (102400 bytes), a short
  // last block, and more than the client's socket buffer at once.
  const size_t sizes[] = {0, 1, 102399, 102400, 3 * 102400 + 1, (2 << 20) + 1};
  device(1);
  serve();
  for (size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    device(size, static_cast<uint32_t>(size));  // the daemon opens the file anew
    expect_identical(acquire(url()), data_);
  }
}

// Each option of a krp/krps URL, read from the query and applied: the image
// is the device's, the client's debug lines show the value in force, and the
// daemon's log the TLS version and suite. Time-outs beyond what milliseconds
// hold saturate; a list of TLS 1.2 suites connects over TLS 1.2.
TEST_F(E2e, EachUrlOptionTakesEffect) {
  struct Row {
    std::string query;
    bool tls;
    std::vector<std::string> daemon;  // extra daemon options
    std::string client_line;          // a debug line of krimg, or ""
    std::string daemon_line;          // a line of the daemon's log, or ""
  };
  const std::vector<Row> rows = {
      {"user=root&passwd=alpine", false, {"--user", "root", "--password", "alpine"},
       "user=[root] passwd=[***] block_size=262144\n", ""},
      {"bs=64k", false, {}, "block_size=65536\n", ""},
      {"pack=none", false, {}, "pack=none\n", ""},
      {"pack=lz4", false, {}, "pack=lz4\n", ""},
      {"connect-timeout=7&read-timeout=9", false, {}, "connect_timeout=7000 read_timeout=9000\n", ""},
      {"connect-timeout=99999999999&read-timeout=99999999999", false, {},
       "connect_timeout=2147483000 read_timeout=2147483000\n", ""},
      {"", true, {}, "bssl=1 cipher=" + fastest + "\n", ": TLSv1.2 " + fastest + "\n"},
      {"pack=none", true, {}, "pack=none\n", ": TLSv1.2 "},
      {"ssl-cipher=ECDHE-ECDSA-AES128-GCM-SHA256", true, {},
       "bssl=1 cipher=ECDHE-ECDSA-AES128-GCM-SHA256\n", ": TLSv1.2 ECDHE-ECDSA-AES128-GCM-SHA256\n"},
      {"ssl-cipher=ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384", true, {}, "",
       ": TLSv1.2 ECDHE-ECDSA-CHACHA20-POLY1305\n"},
  };
  device((1 << 20) + 4096 * 3 + 17, 5);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.query + (row.tls ? " over TLS" : ""));
    std::vector<std::string> args = row.daemon;
    args.push_back("-v");
    serve(args);
    ToolRun r = krimg({"acquire", "--source", url(row.query, row.tls), "--image", out_, "--restart",
                       "--debug"},
                      dir_.file("krimg.log"));
    expect_identical(r, data_);
    EXPECT_NE(r.log.find(row.client_line), std::string::npos) << r.log;
    // The daemon's handle, printed once.
    EXPECT_NE(r.log.find(" fd=0x1\n"), std::string::npos) << r.log;
    EXPECT_NE(kit::read_file(d_.log).find(row.daemon_line), std::string::npos) << kit::read_file(d_.log);
    // The report names the daemon's certificate of a TLS session.
    auto report = nlohmann::json::parse(kit::read_file(out_ + ".json"), nullptr, false);
    ASSERT_TRUE(report.contains("runs")) << kit::read_file(out_ + ".json");
    const auto& fp = report["runs"].back()["source"]["server_certificate_sha256"];
    EXPECT_EQ(fp.is_string() && fp.get<std::string>().size() == 64, row.tls) << fp;
    d_.kill_now();
  }
}

// A session that cannot be had ends with 2 and the open line says why; what
// the daemon refused is not asked again.
TEST_F(E2e, RefusedSessionsSayWhyAndAreNotRetried) {
  device(300000);
  serve({"--user", "root", "--password", "alpine"});
  Listener full;  // its queue is full: a connect to it is never answered
  struct Row {
    std::string source, reason;
  };
  const std::vector<Row> rows = {
      {"krp://127.0.0.1:" + std::to_string(unused_port()) + "/dev/rdisk0s1s2", "Connection refused"},
      {"krp://127.0.0.1:" + std::to_string(full.port) + "/dev/rdisk0s1s2?connect-timeout=1",
       "Connection timed out"},
      {url("user=root&passwd=wrong"), "login refused: Permission denied"},
      {url("user=root&passwd=alpine&pack=zstd"), "codec zstd refused: Invalid argument"},
      {url("user=root&passwd=alpine", false, "/dev/rdisk9"), "No such file or directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.source);
    ToolRun r = acquire(row.source);
    EXPECT_EQ(r.status, 2) << r.log;  // the source could not be opened
    // The password never reaches a log line.
    std::string shown = row.source;
    for (const char* pw : {"wrong", "alpine"})
      if (size_t at = shown.find(pw); at != std::string::npos) shown.replace(at, strlen(pw), "***");
    EXPECT_NE(r.log.find("open [" + shown + "] error [" + row.reason + "]\n"), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("wrong"), std::string::npos) << r.log;
    EXPECT_EQ(kit::count_of(r.log, "镜像文件成功完成!"), 0u);
  }
  std::string dlog = kit::read_file(d_.log);
  EXPECT_EQ(kit::count_of(dlog, "open [/dev/rdisk9]"), 1u) << "a missing file is not retried";
  EXPECT_EQ(kit::count_of(dlog, "unknown codec [zstd]"), 1u);
  // The right pair images the device.
  expect_identical(acquire(url("user=root&passwd=alpine")), data_);
}

// A port that is no decimal number from 1 to 65535 is refused before
// anything connects: no guess at what was meant (the low 16 bits, the
// digits before a letter, the scheme's web port) reaches another source.
TEST_F(E2e, InvalidPortsAreRefusedBeforeAnythingConnects) {
  device(1000);
  serve({"-v"});
  const std::string port = std::to_string(d_.port);
  const std::string host = "krp://127.0.0.1:";
  for (const std::string& source :
       {host + port + "x/dev/rdisk0s1s2", host + std::to_string(d_.port + 65536) + "/dev/rdisk0s1s2",
        host + "/dev/rdisk0s1s2", host + "0/dev/rdisk0s1s2", host + "-1/dev/rdisk0s1s2",
        host + "abc/dev/rdisk0s1s2", host + "99999999999999999999" + port + "/dev/rdisk0s1s2",
        std::string("krps://127.0.0.1:-1/dev/rdisk0s1s2"), host + port + "+1/dev/rdisk0s1s2"}) {
    SCOPED_TRACE(source);
    ToolRun r = acquire(source);
    EXPECT_EQ(r.status, 2) << r.log;
    EXPECT_NE(r.log.find("open [" + source +
                         "] error [invalid port: not a decimal number from 1 to 65535]\n"),
              std::string::npos)
        << r.log;
  }
  EXPECT_EQ(kit::count_of(kit::read_file(d_.log), " connected"), 0u) << kit::read_file(d_.log);
  // Leading zeros are still a decimal number.
  expect_identical(acquire(host + "000" + port + "/dev/rdisk0s1s2"), data_);
}

// A krps:// URL that pins the daemon's certificate reaches that daemon only:
// another daemon (another certificate) is refused before any request, as is
// a pin on a plain URL or one that is no fingerprint.
TEST_F(E2e, PinnedCertificateRefusesAnyOther) {
  device(300000, 9);
  serve();
  Daemon other;
  ASSERT_TRUE(other.start({"-v", "--map", "/dev/rdisk0s1s2=" + img_}));
  ASSERT_EQ(d_.tls_sha256.size(), 64u);
  ASSERT_NE(other.tls_sha256, d_.tls_sha256);
  const std::string pin = "ssl-sha256=" + d_.tls_sha256;
  std::string upper = d_.tls_sha256;
  for (char& c : upper) c = char(toupper(c));

  expect_identical(acquire(url(pin, true)), data_);
  expect_identical(acquire(url("pack=none&ssl-sha256=" + upper, true)), data_);
  const std::string refused = "is not the pinned " + d_.tls_sha256 + ", connection refused";
  const std::string other_url = "krps://127.0.0.1:" + std::to_string(other.tls_port) +
                                "/dev/rdisk0s1s2?" + pin;
  for (const auto& [source, line] : std::vector<std::pair<std::string, std::string>>{
           {other_url, "certificate " + other.tls_sha256 + " " + refused},
           {url(pin), "a pinned certificate needs a krps:// URL"},
           {url("ssl-sha256=" + d_.tls_sha256.substr(2), true), "is not a SHA-256 fingerprint"}}) {
    SCOPED_TRACE(source);
    ToolRun r = acquire(source);
    EXPECT_EQ(r.status, 2) << r.log;
    EXPECT_NE(r.log.find("ssl-sha256 error: "), std::string::npos) << r.log;
    EXPECT_NE(r.log.find(line), std::string::npos) << r.log;
  }
  // The other daemon was reached (-v logs the handshake) and asked nothing.
  EXPECT_NE(kit::read_file(other.log).find("TLSv1"), std::string::npos) << kit::read_file(other.log);
  EXPECT_EQ(kit::count_of(kit::read_file(other.log), "cmd="), 0u) << kit::read_file(other.log);
}

// The TLS options of a URL: only suites that encrypt and authenticate are
// offered; a named suite outside them, a TLS option on a plain URL, an
// empty, repeated or misspelt one is refused before anything connects; an
// unpinned session says that the daemon is not authenticated. The daemon,
// the host's and the ARMv7 one, accepts none of the other suites from any
// client.
TEST_F(E2e, TlsOptionsAcceptOnlyAuthenticatedEncryption) {
  device(300000, 4);
  serve({"-v"});
  const std::string pin = d_.tls_sha256, wrong(64, 'a');
  const std::string unpinned = "ssl-sha256 warning: no pinned certificate, the daemon at 127.0.0.1:" +
                               std::to_string(d_.tls_port) + " is not authenticated";
  struct Row {
    std::string query;
    bool tls;
    std::string line;         // in krimg's log; for a refusal, the reason of its open line
    std::string daemon_line;  // in the daemon's log (a session)
  };
  const std::vector<Row> rows = {
      {"", true, unpinned, ": TLSv1.2 " + fastest + "\n"},
      {"SSL-SHA256=" + pin + "&ssl-cipher=ECDHE-ECDSA-AES128-GCM-SHA256", true, "",
       ": TLSv1.2 ECDHE-ECDSA-AES128-GCM-SHA256\n"},
      {"ssl-cipher=ECDHE-ECDSA-NULL-SHA", true, "ssl-cipher ECDHE-ECDSA-NULL-SHA refused: it does not encrypt and authenticate", ""},
      {"ssl-cipher=ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-RC4-SHA", true,
       "ssl-cipher ECDHE-ECDSA-RC4-SHA refused: it does not encrypt and authenticate", ""},
      {"ssl-cipher=ECDHE-ECDSA-AES128-GCM-SHA256", false, "ssl-cipher needs a krps:// URL", ""},
      {"ssl-sha256=&pack=none", true, "ssl-sha256 has no value", ""},
      {"ssl-sha256=" + pin + "&ssl-sha256=" + wrong, true, "ssl-sha256 is given more than once", ""},
      {"ssl_sha256=" + pin, true, "ssl_sha256 is no option of a krp URL", ""},
      {"pack=none&x=ssl-sha256=" + pin, true, "x is no option of a krp URL", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.query + (row.tls ? " over TLS" : ""));
    const size_t sessions = kit::count_of(kit::read_file(d_.log), " connected");
    ToolRun r = acquire(url(row.query, row.tls));
    if (!row.daemon_line.empty()) {
      expect_identical(r, data_);
      EXPECT_EQ(r.log.find(unpinned) != std::string::npos, row.line == unpinned) << r.log;
      EXPECT_NE(kit::read_file(d_.log).find(row.daemon_line), std::string::npos) << kit::read_file(d_.log);
      continue;
    }
    EXPECT_EQ(r.status, 2) << r.log;
    EXPECT_NE(r.log.find("open [" + url(row.query, row.tls) + "] error [" + row.line + "]\n"), std::string::npos)
        << r.log;
    EXPECT_EQ(kit::count_of(kit::read_file(d_.log), " connected"), sessions) << "it connected";
  }
  // A client offering nothing else gets no session from the daemon.
  std::string why_arm;
  const std::string arm = krsd_test::armv7_daemon(&why_arm);
  if (arm.empty()) fprintf(stderr, "note: not against the ARMv7 daemon: %s\n", why_arm.c_str());
  Daemon arm_daemon;
  arm_daemon.program = arm;
  ASSERT_TRUE(arm.empty() || arm_daemon.start({})) << arm;
  for (const int port : {d_.tls_port, arm.empty() ? -1 : arm_daemon.tls_port}) {
    for (const char* suites : {"ECDHE-ECDSA-NULL-SHA", "ECDHE-ECDSA-RC4-SHA", "ECDHE-ECDSA-DES-CBC3-SHA",
                               "ECDHE-ECDSA-AES128-SHA256", "TLS13-SHA256-SHA256", "TLS13-AES128-GCM-SHA256",
                               "ECDHE-ECDSA-AES256-GCM-SHA384"}) {
      if (port < 0) continue;
      SCOPED_TRACE(std::string(suites) + (port == d_.tls_port ? "" : " (ARMv7)"));
      krsd_test::Client raw;
      const bool aead = strstr(suites, "GCM") != nullptr;
      EXPECT_EQ(raw.connect(port, true, "127.0.0.1", suites), aead);
      if (aead) {
        EXPECT_EQ(raw.login("", ""), 0);
      }
    }
  }
}

}  // namespace
}  // namespace e2e
