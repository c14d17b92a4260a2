// Addresses: text forms, parsing of untrusted text, copy semantics, system
// socket addresses and name lookup without a query.
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tb_init.h"
#include "tb_ipaddr.h"

namespace {

std::string ip_text(const tb_ipaddr_t& a) {
  char buf[80];
  const char* r = tb_ipaddr_ip_text(&a, buf, sizeof buf);
  return r ? r : "(null)";
}

std::string full_text(const tb_ipaddr_t& a) {
  char buf[80];
  const char* r = tb_ipaddr_text(&a, buf, sizeof buf);
  return r ? r : "(null)";
}

tb_ipaddr_t parsed(const char* text, int family = TB_IPADDR_FAMILY_NONE) {
  tb_ipaddr_t a;
  tb_ipaddr_clear(&a);
  EXPECT_TRUE(tb_ipaddr_ip_text_set(&a, text, family)) << text;
  return a;
}

TEST(Ipv4Text, ComponentRules) {
  struct {
    const char* text;
    const char* expect;  // null: refused
  } cases[] = {
      {"1.2.3.4", "1.2.3.4"},
      {"1..2.3", "1.0.2.3"},
      {"1.2.3.", "1.2.3.0"},
      {"...", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"001.02.0003.4", "1.2.3.4"},
      {"0000000000000000000000001.2.3.4", "1.2.3.4"},
      {"256.1.1.1", nullptr},
      {"1.2.3.256", nullptr},
      {"99999999999999999999.1.1.1", nullptr},
      {"1.2.3", nullptr},
      {"1.2.3.4.5", nullptr},
      {"1.2.3.4.", nullptr},
      {"", nullptr},
      {" 1.2.3.4", nullptr},
      {"1.2.3.4 ", nullptr},
      {"1.2.3.x", nullptr},
      {"-1.2.3.4", nullptr},
      {"0x1.2.3.4", nullptr},
  };
  for (const auto& c : cases) {
    tb_ipv4_t ip{0xdeadbeef};
    bool ok = tb_ipv4_text_set(&ip, c.text);
    if (!c.expect) {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_EQ(ip.u32, 0xdeadbeefu) << "a failed parse changed the value: " << c.text;
      continue;
    }
    ASSERT_TRUE(ok) << c.text;
    char buf[16];
    ASSERT_NE(tb_ipv4_text(&ip, buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, c.expect) << c.text;
  }
}

TEST(Ipv4Text, NetworkByteOrderAndBufferSize) {
  tb_ipv4_t ip;
  ASSERT_TRUE(tb_ipv4_text_set(&ip, "10.20.30.40"));
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip.u32);
  EXPECT_EQ(b[0], 10);
  EXPECT_EQ(b[3], 40);
  char buf[16];
  EXPECT_EQ(tb_ipv4_text(&ip, buf, 15), nullptr);
  EXPECT_EQ(tb_ipv4_text(&ip, buf, 16), buf);
}

std::string v6(const char* text) {
  tb_ipv6_t ip;
  memset(&ip, 0xab, sizeof ip);
  if (!tb_ipv6_text_set(&ip, text)) return "(refused)";
  char buf[60];
  const char* r = tb_ipv6_text(&ip, buf, sizeof buf);
  return r ? r : "(null)";
}

TEST(Ipv6Text, GroupsAndGap) {
  EXPECT_EQ(v6("::"), "0000:0000:0000:0000:0000:0000:0000:0000");
  EXPECT_EQ(v6("::1"), "0000:0000:0000:0000:0000:0000:0000:0001");
  EXPECT_EQ(v6("1::"), "0001:0000:0000:0000:0000:0000:0000:0000");
  EXPECT_EQ(v6("2001:DB8::aB:1"), "2001:0db8:0000:0000:0000:0000:00ab:0001");
  EXPECT_EQ(v6("1:2:3:4:5:6:7:8"), "0001:0002:0003:0004:0005:0006:0007:0008");
  EXPECT_EQ(v6("1:2:3:4:5:6::8"), "0001:0002:0003:0004:0005:0006:0000:0008");
  EXPECT_EQ(v6("::2:3:4:5:6:7:8"), "0000:0002:0003:0004:0005:0006:0007:0008");
  for (const char* bad :
       {"", ":", ":::", "1:2", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1::2::3", ":1::", "1::2:",
        "12345::", "1:2:3:4:5:6:7::8", "::1:2:3:4:5:6:7:8", "g::", "1:2:3:4:5:6:1.2.3.4",
        "::1%", "fe80::1%nosuchif0", "::1%99999999999", "1.2.3.4", " ::1"}) {
    EXPECT_EQ(v6(bad), "(refused)") << bad;
  }
}

TEST(Ipv6Text, EmbeddedIpv4Forms) {
  // The mapped form prints as plain groups, never in dotted form.
  EXPECT_EQ(v6("::ffff:10.0.0.1"), "0000:0000:0000:0000:0000:ffff:0a00:0001");
  EXPECT_EQ(v6("::FFFF:10.0.0.1"), "0000:0000:0000:0000:0000:ffff:0a00:0001");
  EXPECT_EQ(v6("::10.0.0.1"), "0000:0000:0000:0000:0000:0000:0a00:0001");
  EXPECT_EQ(v6("::ffff:1..2.3"), "0000:0000:0000:0000:0000:ffff:0100:0203");
  EXPECT_EQ(v6("::ffff:256.0.0.1"), "(refused)");
  EXPECT_EQ(v6("::ffff:1.2.3"), "(refused)");
}

TEST(Ipv6Text, ScopeOnlyPrintedForLinkLocal) {
  EXPECT_EQ(v6("fe80::1%3"), "fe80:0000:0000:0000:0000:0000:0000:0001%3");
  EXPECT_EQ(v6("febf::1%7"), "febf:0000:0000:0000:0000:0000:0000:0001%7");
  EXPECT_EQ(v6("fe80::1"), "fe80:0000:0000:0000:0000:0000:0000:0001%0");
  EXPECT_EQ(v6("ff02::1%4"), "ff02:0000:0000:0000:0000:0000:0000:0001%4");
  EXPECT_EQ(v6("ff12::1%4"), "ff12:0000:0000:0000:0000:0000:0000:0001%4");
  EXPECT_EQ(v6("ff05::1%4"), "ff05:0000:0000:0000:0000:0000:0000:0001");
  EXPECT_EQ(v6("fec0::1%4"), "fec0:0000:0000:0000:0000:0000:0000:0001");
  EXPECT_EQ(v6("2001::1%4294967295"), "2001:0000:0000:0000:0000:0000:0000:0001");
  EXPECT_EQ(v6("fe80::1%4294967295"), "fe80:0000:0000:0000:0000:0000:0000:0001%4294967295");
}

TEST(Ipv6Text, InterfaceNameScope) {
  unsigned lo = if_nametoindex("lo");
  if (lo == 0) GTEST_SKIP() << "no loopback interface named lo";
  tb_ipv6_t ip;
  ASSERT_TRUE(tb_ipv6_text_set(&ip, "fe80::1%lo"));
  EXPECT_EQ(ip.scope_id, lo);
  EXPECT_FALSE(tb_ipv6_text_set(&ip, "fe80::1%abcdefghijklmnopqrstuvwxyz"));
}

TEST(Ipv6Text, BufferSize) {
  tb_ipv6_t ip;
  ASSERT_TRUE(tb_ipv6_text_set(&ip, "fe80::1%4294967295"));
  char buf[60];
  EXPECT_EQ(tb_ipv6_text(&ip, buf, 59), nullptr);
  EXPECT_EQ(tb_ipv6_text(&ip, buf, 60), buf);
}

TEST(IpaddrText, FamilySelectionAndFailedParse) {
  tb_ipaddr_t a = parsed("10.0.0.1");
  EXPECT_EQ(a.family, TB_IPADDR_FAMILY_IPV4);
  a = parsed("::ffff:10.0.0.1");
  EXPECT_EQ(a.family, TB_IPADDR_FAMILY_IPV6);

  tb_ipaddr_t b = parsed("1.2.3.4");
  tb_ipaddr_port_set(&b, 6688);
  tb_ipaddr_t before = b;
  EXPECT_FALSE(tb_ipaddr_ip_text_set(&b, "::1", TB_IPADDR_FAMILY_IPV4));
  EXPECT_FALSE(tb_ipaddr_ip_text_set(&b, "1.2.3.4", TB_IPADDR_FAMILY_IPV6));
  EXPECT_FALSE(tb_ipaddr_ip_text_set(&b, "host.example", TB_IPADDR_FAMILY_NONE));
  EXPECT_FALSE(tb_ipaddr_ip_text_set(&b, "1.2.3.4", 3));
  EXPECT_EQ(memcmp(&b, &before, sizeof b), 0);

  // The port survives a parse; a null text only sets the family.
  ASSERT_TRUE(tb_ipaddr_ip_text_set(&b, "::1", TB_IPADDR_FAMILY_IPV6));
  EXPECT_EQ(full_text(b), "[0000:0000:0000:0000:0000:0000:0000:0001]:6688");
  ASSERT_TRUE(tb_ipaddr_ip_text_set(&b, nullptr, TB_IPADDR_FAMILY_IPV4));
  EXPECT_EQ(b.family, TB_IPADDR_FAMILY_IPV4);
  EXPECT_EQ(b.have_ip, 0);
  EXPECT_EQ(b.port, 6688);
}

TEST(IpaddrText, OverlongTextRefused) {
  std::string zeros(300, '0');
  tb_ipaddr_t a;
  tb_ipaddr_clear(&a);
  EXPECT_FALSE(tb_ipaddr_ip_text_set(&a, (zeros + "1.2.3.4").c_str(), 0));
  EXPECT_FALSE(tb_ipaddr_ip_text_set(&a, ("::" + zeros).c_str(), 0));
  EXPECT_EQ(a.have_ip, 0);
}

TEST(IpaddrText, TextForms) {
  tb_ipaddr_t a;
  tb_ipaddr_clear(&a);
  char buf[80];
  EXPECT_EQ(tb_ipaddr_text(&a, buf, 64), nullptr);
  EXPECT_EQ(full_text(a), "0.0.0.0:0");
  EXPECT_EQ(ip_text(a), "0.0.0.0");
  a.family = TB_IPADDR_FAMILY_IPV6;
  EXPECT_EQ(ip_text(a), "::");
  EXPECT_EQ(full_text(a), "0.0.0.0:0");

  a = parsed("192.168.191.2");
  tb_ipaddr_port_set(&a, 6688);
  EXPECT_EQ(full_text(a), "192.168.191.2:6688");
  EXPECT_EQ(ip_text(a), "192.168.191.2");
  EXPECT_EQ(tb_ipaddr_port(&a), 6688);

  // The longest text there is still fits the 80 bytes.
  a = parsed("fe80::1%4294967295");
  tb_ipaddr_port_set(&a, 65535);
  EXPECT_EQ(full_text(a), "[fe80:0000:0000:0000:0000:0000:0000:0001%4294967295]:65535");
}

TEST(Ipaddr, ClearAndCopy) {
  tb_ipaddr_t a;
  memset(&a, 0xff, sizeof a);
  tb_ipaddr_clear(&a);
  EXPECT_EQ(a.family, TB_IPADDR_FAMILY_IPV4);
  EXPECT_EQ(a.have_ip, 0);
  EXPECT_EQ(a.port, 0);

  // Copying an address without an address part copies family and port only.
  tb_ipaddr_t dst = parsed("10.1.2.3");
  tb_ipaddr_t src;
  tb_ipaddr_clear(&src);
  src.family = TB_IPADDR_FAMILY_IPV6;
  tb_ipaddr_port_set(&src, 80);
  tb_ipaddr_copy(&dst, &src);
  EXPECT_EQ(dst.family, TB_IPADDR_FAMILY_IPV6);
  EXPECT_EQ(dst.port, 80);
  EXPECT_EQ(dst.have_ip, 1);
  dst.family = TB_IPADDR_FAMILY_IPV4;
  EXPECT_EQ(ip_text(dst), "10.1.2.3");

  // An IPv4 copy takes the four bytes and leaves the rest of the area.
  dst = parsed("fe80::1%9");
  src = parsed("1.2.3.4");
  tb_ipaddr_port_set(&src, 22);
  tb_ipaddr_copy(&dst, &src);
  EXPECT_EQ(full_text(dst), "1.2.3.4:22");
  EXPECT_EQ(dst.u.ipv6.u8[15], 1);  // untouched tail of the IPv6 area

  // An IPv6 copy takes everything, scope included.
  src = parsed("fe80::2%5");
  tb_ipaddr_copy(&dst, &src);
  EXPECT_TRUE(tb_ipaddr_is_equal(&dst, &src));
  EXPECT_EQ(dst.u.ipv6.scope_id, 5u);
}

TEST(Ipaddr, Equality) {
  tb_ipaddr_t a = parsed("1.2.3.4"), b = parsed("1.2.3.4");
  EXPECT_TRUE(tb_ipaddr_is_equal(&a, &b));
  tb_ipaddr_port_set(&b, 1);
  EXPECT_FALSE(tb_ipaddr_is_equal(&a, &b));
  b = parsed("::ffff:1.2.3.4");
  EXPECT_FALSE(tb_ipaddr_is_equal(&a, &b));
  tb_ipaddr_t c = parsed("fe80::1%1"), d = parsed("fe80::1%2");
  EXPECT_FALSE(tb_ipaddr_is_equal(&c, &d));
}

TEST(Sockaddr, RoundTripAndAny) {
  sockaddr_storage ss;
  tb_ipaddr_t a = parsed("10.0.0.1");
  tb_ipaddr_port_set(&a, 6688);
  ASSERT_EQ(tb_sockaddr_from_ipaddr(&ss, &a), 16u);
  auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
  EXPECT_EQ(sin->sin_family, AF_INET);
  EXPECT_EQ(ntohs(sin->sin_port), 6688);
  EXPECT_EQ(ntohl(sin->sin_addr.s_addr), 0x0a000001u);
  tb_ipaddr_t back;
  tb_ipaddr_clear(&back);
  ASSERT_EQ(tb_sockaddr_to_ipaddr(&ss, &back), 16u);
  EXPECT_TRUE(tb_ipaddr_is_equal(&a, &back));

  // No address part: the "any" address, whatever the area holds.
  a.have_ip = 0;
  ASSERT_EQ(tb_sockaddr_from_ipaddr(&ss, &a), 16u);
  EXPECT_EQ(sin->sin_addr.s_addr, 0u);

  a = parsed("2001:db8::1");
  a.u.ipv6.scope_id = 7;  // not link-local: the scope is not passed on
  ASSERT_EQ(tb_sockaddr_from_ipaddr(&ss, &a), 28u);
  EXPECT_EQ(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_scope_id, 0u);
  a = parsed("fe80::1%7");
  tb_ipaddr_port_set(&a, 53);
  ASSERT_EQ(tb_sockaddr_from_ipaddr(&ss, &a), 28u);
  EXPECT_EQ(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_scope_id, 7u);
  ASSERT_EQ(tb_sockaddr_to_ipaddr(&ss, &back), 28u);
  EXPECT_TRUE(tb_ipaddr_is_equal(&a, &back));

  a.family = TB_IPADDR_FAMILY_NONE;
  EXPECT_EQ(tb_sockaddr_from_ipaddr(&ss, &a), 0u);
  ss.ss_family = AF_UNIX;
  EXPECT_EQ(tb_sockaddr_to_ipaddr(&ss, &back), 0u);
}

TEST(Addrinfo, AddressTextsAndLocalhostWithoutQuery) {
  ASSERT_TRUE(tb_init(nullptr, nullptr, 0, 0));
  tb_ipaddr_t a;
  tb_ipaddr_clear(&a);
  tb_ipaddr_port_set(&a, 6688);
  ASSERT_TRUE(tb_addrinfo_addr("localhost", &a));
  EXPECT_EQ(full_text(a), "127.0.0.1:6688");

  tb_ipaddr_clear(&a);
  ASSERT_TRUE(tb_addrinfo_addr("192.168.191.2", &a));
  EXPECT_EQ(full_text(a), "192.168.191.2:0");
  ASSERT_TRUE(tb_addrinfo_addr("::1", &a));
  EXPECT_EQ(a.family, TB_IPADDR_FAMILY_IPV6);

  tb_ipaddr_t before = a;
  EXPECT_FALSE(tb_addrinfo_addr("", &a));
  EXPECT_FALSE(tb_addrinfo_addr(std::string(300, 'a').c_str(), &a));
  EXPECT_FALSE(tb_addrinfo_addr(nullptr, &a));
  EXPECT_EQ(memcmp(&a, &before, sizeof a), 0);
}

TEST(DnsServers, NameserverLinesOfResolvConf) {
  char path[] = "/tmp/krii_resolv_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char text[] =
      "# comment\n"
      "search example.org\n"
      "nameserver 10.0.0.53\n"
      "  nameserver\t::1 # local\n"
      "nameserver dns.example.org\n"
      "nameserverx 1.1.1.1\n"
      "nameserver 256.1.1.1\n"
      "nameserver 192.168.1.1";
  ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  close(fd);
  ASSERT_EQ(tb_dns_servers_reload(path), 3u);
  tb_ipaddr_t out[4];
  ASSERT_EQ(tb_dns_servers(out, 2), 3u);
  EXPECT_EQ(full_text(out[0]), "10.0.0.53:53");
  EXPECT_EQ(full_text(out[1]), "[0000:0000:0000:0000:0000:0000:0000:0001]:53");
  ASSERT_EQ(tb_dns_servers(out, 4), 3u);
  EXPECT_EQ(full_text(out[2]), "192.168.1.1:53");
  unlink(path);
  EXPECT_EQ(tb_dns_servers_reload(path), 0u);  // a missing file: empty, no failure
}

}  // namespace
