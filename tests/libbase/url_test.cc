// URL parsing, rebuilding and the scheme probe, run in a test directory so
// that relative paths have a known base.
#include <gtest/gtest.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "kit.h"
#include "tb_ipaddr.h"
#include "tb_url.h"

namespace {

// A tb_url_t that is always released.
struct Url {
  tb_url_t u;
  Url() { tb_url_init(&u); }
  ~Url() { tb_url_exit(&u); }
  bool set(const char* text) { return tb_url_text_set(&u, text); }
  std::string text() {
    const char* t = tb_url_text(&u);
    return t ? t : "(null)";
  }
  std::string path() const { return tb_url_path(&u) ? tb_url_path(&u) : ""; }
  std::string host() const { return tb_url_host(&u) ? tb_url_host(&u) : ""; }
  std::string args() const { return tb_url_args(&u) ? tb_url_args(&u) : ""; }
};

// Each test runs in <tmp>/data/case and returns to where it was.
class UrlTest : public kit::TempCwdTest {
 protected:
  UrlTest() : kit::TempCwdTest("data/case") {}
};

TEST(UrlProbe, SchemesInAnyCaseAndUnknownTextsAreFiles) {
  EXPECT_EQ(tb_url_protocol_probe(nullptr), TB_URL_PROTOCOL_NONE);
  EXPECT_EQ(tb_url_protocol_probe("krp://192.168.191.2/dev/rdisk0s1s2"), TB_URL_PROTOCOL_KRP);
  EXPECT_EQ(tb_url_protocol_probe("KRPS://h/x"), TB_URL_PROTOCOL_KRP);
  EXPECT_EQ(tb_url_protocol_probe("https://h/"), TB_URL_PROTOCOL_HTTP);
  EXPECT_EQ(tb_url_protocol_probe("Socks://h:1"), TB_URL_PROTOCOL_SOCK);
  EXPECT_EQ(tb_url_protocol_probe("data://abc"), TB_URL_PROTOCOL_DATA);
  EXPECT_EQ(tb_url_protocol_probe("rtsp://h"), TB_URL_PROTOCOL_RTSP);
  EXPECT_EQ(tb_url_protocol_probe("sql://h"), TB_URL_PROTOCOL_SQL);
  EXPECT_EQ(tb_url_protocol_probe("ftp://h/x"), TB_URL_PROTOCOL_FILE);
  EXPECT_EQ(tb_url_protocol_probe("krp:/h"), TB_URL_PROTOCOL_FILE);  // "//" missing
  EXPECT_EQ(tb_url_protocol_probe(""), TB_URL_PROTOCOL_FILE);
}

// The example table of the URL syntax, with the test directory as base.
TEST_F(UrlTest, ExampleTable) {
  struct Row {
    const char* text;
    int protocol;
    bool secure;
    const char* host;
    uint16_t port;
    const char* path;
    const char* args;
    const char* rebuilt;
  } rows[] = {
      {"krp://192.168.191.2/dev/rdisk0s1s2", TB_URL_PROTOCOL_KRP, false, "192.168.191.2", 6688,
       "/dev/rdisk0s1s2", "", "krp://192.168.191.2:6688/dev/rdisk0s1s2"},
      {"KRPS://10.0.0.1:7000/a\\b?user=x&pack=lz4", TB_URL_PROTOCOL_KRP, true, "10.0.0.1", 7000,
       "/a/b", "user=x&pack=lz4", "krps://10.0.0.1:7000/a/b?user=x&pack=lz4"},
      {"https://h:443/p", TB_URL_PROTOCOL_HTTP, true, "h", 443, "/p", "", "https://h/p"},
      {"http://h:8080/p?q", TB_URL_PROTOCOL_HTTP, false, "h", 8080, "/p", "q", "http://h:8080/p?q"},
      {"sock://127.0.0.1:9/", TB_URL_PROTOCOL_SOCK, false, "127.0.0.1", 9, "/", "",
       "sock://127.0.0.1:9/"},
      {"sql://db/t", TB_URL_PROTOCOL_SQL, false, "db", 0, "/t", "", "sql://db/t"},
      {"krp://[::1]:7/x", TB_URL_PROTOCOL_KRP, false, "::1", 7, "/x", "", "krp://[::1]:7/x"},
      // Brackets that hold no address are kept where the text needs them
      // to be read back with the same port.
      {"krp://[a:b]/x", TB_URL_PROTOCOL_KRP, false, "a:b", 6688, "/x", "", "krp://[a:b]:6688/x"},
      {"file:///data/x.img", TB_URL_PROTOCOL_FILE, false, "", 0, "/data/x.img", "",
       "file:///data/x.img"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    Url u;
    ASSERT_TRUE(u.set(r.text));
    EXPECT_EQ(tb_url_protocol(&u.u), r.protocol);
    EXPECT_EQ(tb_url_ssl(&u.u), r.secure);
    EXPECT_EQ(u.host(), r.host);
    EXPECT_EQ(tb_url_port(&u.u), r.port);
    EXPECT_EQ(u.path(), r.path);
    EXPECT_EQ(u.args(), r.args);
    EXPECT_EQ(u.text(), r.rebuilt);
  }
}

TEST_F(UrlTest, NumericHostsSetTheAddress) {
  Url u;
  ASSERT_TRUE(u.set("krp://192.168.191.2/dev/rdisk0s1s2"));
  const tb_ipaddr_t* a = tb_url_addr(&u.u);
  EXPECT_TRUE(a->have_ip);
  EXPECT_EQ(a->family, TB_IPADDR_FAMILY_IPV4);
  Url n;
  ASSERT_TRUE(n.set("krp://device.local/x"));
  EXPECT_FALSE(tb_url_addr(&n.u)->have_ip);
  EXPECT_EQ(n.text(), "krp://device.local:6688/x");
}

TEST_F(UrlTest, DefaultPorts) {
  struct Row {
    const char* text;
    uint16_t port;
  } rows[] = {
      {"krp://h/x", 6688},     {"KRP://H/X", 6688},     {"krps://h/x", 6686},
      {"http://h/", 80},       {"https://h/", 443},     {"sock://h/", 0},
      {"rtsp://h/", 0},        {"krp://h:1/x", 1},      {"krp://h:65535/x", 65535},
      {"krp://h:00000000000000000007123/x", 7123},  // leading zeros: still decimal
      {"krp://h:7000?user=a", 7000},              {"krp://h:7000", 7000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    Url u;
    ASSERT_TRUE(u.set(r.text));
    EXPECT_EQ(tb_url_port(&u.u), r.port);
    EXPECT_STREQ(tb_url_refusal(), "");
  }
}

// A port that is not a decimal number from 1 to 65535 names no port the
// examiner meant: refused, with the reason, instead of a guess.
TEST_F(UrlTest, InvalidPortsAreRefused) {
  for (const char* text : {"krp://h:/x", "krp://h:0/x", "krp://h:-1/x", "krp://h:abc/x",
                           "krp://h:65536/x", "krp://h:65537/x", "krp://h:70000/x",
                           "krp://h:6688x/x", "krps://h:-1/x", "krps://h:0/x", "sock://h:0/",
                           "sql://h:/", "http://h:99999999999999999999/", "krp://[::1]:+7/x",
                           "krp://h:7000&user=a"}) {
    SCOPED_TRACE(text);
    Url u;
    ASSERT_TRUE(u.set("krp://h/x"));
    errno = 0;
    EXPECT_FALSE(u.set(text));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(tb_url_protocol(&u.u), TB_URL_PROTOCOL_NONE);
    EXPECT_STREQ(tb_url_refusal(), "invalid port: not a decimal number from 1 to 65535");
  }
}

TEST_F(UrlTest, MissingPartsRebuildToNull) {
  Url empty_host;
  ASSERT_TRUE(empty_host.set("krp:///dev/rdisk0s1s2"));
  EXPECT_EQ(tb_url_port(&empty_host.u), 6688);
  EXPECT_EQ(empty_host.path(), "/dev/rdisk0s1s2");
  EXPECT_EQ(tb_url_text(&empty_host.u), nullptr);
  Url no_port;
  ASSERT_TRUE(no_port.set("sock://h/x"));
  EXPECT_EQ(tb_url_text(&no_port.u), nullptr);
  Url none;
  EXPECT_EQ(tb_url_text(&none.u), nullptr);
}

TEST_F(UrlTest, FailuresClearTheUrl) {
  Url u;
  ASSERT_TRUE(u.set("krp://h/x?a=1"));
  EXPECT_FALSE(u.set("krp://"));  // nothing after the scheme
  EXPECT_EQ(tb_url_protocol(&u.u), TB_URL_PROTOCOL_NONE);
  EXPECT_EQ(tb_url_host(&u.u), nullptr);
  EXPECT_EQ(tb_url_args(&u.u), nullptr);
  EXPECT_FALSE(u.set("file:///data/case?2.img"));  // a file URL names one file, without a query
  for (const char* bad : {"file:///a%00b", "file:///a%", "file:///a%4", "file:///a%g1"}) {
    EXPECT_FALSE(u.set(bad)) << bad;
    EXPECT_NE(std::string(tb_url_refusal()).find("escape"), std::string::npos) << bad;
  }
  ASSERT_TRUE(u.set("file:///data/fu%3F.img"));  // decoded where it is opened
  EXPECT_EQ(u.text(), "file:///data/fu%3F.img");
  EXPECT_FALSE(u.set(""));
  EXPECT_FALSE(u.set(nullptr));
  EXPECT_FALSE(tb_url_text_set(nullptr, "x"));
}

// A local name (no scheme) is the file it spells: made absolute against the
// current folder and otherwise kept as written, so that the stream opens
// exactly that file; only the device forms keep their meaning.
TEST_F(UrlTest, LocalNamesAreTheFilesTheySpell) {
  struct Row {
    const char* text;
    std::string name;  // path and rebuilt text alike
  } rows[] = {
      {"krii.img", dir_ + "/krii.img"},
      {"./krii.img", dir_ + "/./krii.img"},
      {"/data/case?2.img", "/data/case?2.img"},  // no query in a local name
      {"a:/b.img", dir_ + "/a:/b.img"},          // no drive letters
      {"E:", dir_ + "/E:"},
      {"b\\c.img", dir_ + "/b\\c.img"},          // a backslash is part of the name
      {"\\\\.\\PhysicalDrive1", dir_ + "/\\\\.\\PhysicalDrive1"},
      {"#1 %20 &x", dir_ + "/#1 %20 &x"},
      {"~/a.img", dir_ + "/~/a.img"},            // the shell expands "~", not the name
      {"ftp://h/x", dir_ + "/ftp://h/x"},        // an unknown scheme is only a name
      {"\\dev\\disk1", "\\dev\\disk1"},          // device forms as they are
      {"\\DEV\\ZERO", "\\DEV\\ZERO"},
      {"\\dev\\disks", dir_ + "/\\dev\\disks"},
      {"/dev/disk/by-id/usb-x", "/dev/disk/by-id/usb-x"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    Url u;
    ASSERT_TRUE(u.set(r.text));
    EXPECT_EQ(tb_url_protocol(&u.u), TB_URL_PROTOCOL_FILE);
    EXPECT_EQ(u.path(), r.name);
    EXPECT_EQ(u.text(), r.name);
    EXPECT_EQ(u.args(), "");
  }
  // A file URL keeps the URL syntax.
  Url f;
  ASSERT_TRUE(f.set("file:///data\\x.img"));
  EXPECT_EQ(f.path(), "/data/x.img");
  EXPECT_EQ(f.text(), "file:///data/x.img");
}

TEST_F(UrlTest, DataUrlsKeepTheirTextInTheCache) {
  Url u;
  ASSERT_TRUE(u.set("data:// hello world"));
  EXPECT_EQ(tb_url_protocol(&u.u), TB_URL_PROTOCOL_DATA);
  EXPECT_EQ(u.text(), "hello");
  EXPECT_EQ(tb_url_path(&u.u), nullptr);
}

TEST_F(UrlTest, OverlongTextsAreCut) {
  std::string text = "krp://h/" + std::string(5000, 'a');
  Url u;
  ASSERT_TRUE(u.set(text.c_str()));
  EXPECT_EQ(u.path().size(), 4095u - 7u);
  // A local name is never cut: one that does not fit once absolute fails.
  std::string rel(4090, 'b');
  Url r;
  EXPECT_FALSE(r.set(rel.c_str()));
}

TEST_F(UrlTest, SettersEmptyTheCache) {
  Url u;
  ASSERT_TRUE(u.set("krp://10.0.0.1/dev/x"));
  EXPECT_EQ(u.text(), "krp://10.0.0.1:6688/dev/x");
  tb_url_port_set(&u.u, 7000);
  EXPECT_EQ(u.text(), "krp://10.0.0.1:7000/dev/x");
  tb_url_host_set(&u.u, "[::1]");
  EXPECT_EQ(u.host(), "::1");
  EXPECT_EQ(tb_url_port(&u.u), 7000);  // the port stays with a new host
  EXPECT_EQ(u.text(), "krp://[::1]:7000/dev/x");
  tb_url_path_set(&u.u, "a\\b");
  tb_url_args_set(&u.u, "??user=r");
  EXPECT_EQ(u.text(), "krp://[::1]:7000/a/b?user=r");
  tb_url_ssl_set(&u.u, true);  // leaves the cached text
  EXPECT_EQ(u.text(), "krp://[::1]:7000/a/b?user=r");
  tb_url_path_set(&u.u, "/c");
  EXPECT_EQ(u.text(), "krps://[::1]:7000/c?user=r");

  Url a;
  ASSERT_TRUE(a.set("sock:///x"));
  tb_ipaddr_t addr;
  tb_ipaddr_clear(&addr);
  ASSERT_TRUE(tb_ipaddr_ip_text_set(&addr, "127.0.0.1", 0));
  tb_ipaddr_port_set(&addr, 9);
  tb_url_addr_set(&a.u, &addr);
  EXPECT_EQ(a.host(), "127.0.0.1");
  EXPECT_EQ(a.text(), "sock://127.0.0.1:9/x");
}

TEST(UrlNames, ProtocolTexts) {
  tb_url_t u;
  tb_url_init(&u);
  EXPECT_EQ(tb_url_protocol_text(&u), nullptr);
  ASSERT_TRUE(tb_url_text_set(&u, "krps://h/x"));
  EXPECT_STREQ(tb_url_protocol_text(&u), "krp");
  ASSERT_TRUE(tb_url_text_set(&u, "socks://h:1/x"));
  EXPECT_STREQ(tb_url_protocol_text(&u), "sock");
  EXPECT_STREQ(tb_url_text(&u), "socks://h:1/x");
  tb_url_exit(&u);
}

}  // namespace
