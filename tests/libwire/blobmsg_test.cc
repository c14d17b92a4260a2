#include "blobmsg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Buf {
  blobmsg_buf b{};
  ~Buf() { blobmsg_buf_free(&b); }
  Bytes msg() const { return Bytes(b.bytes, b.bytes + msg_len(&b)); }
};

// Builds one attribute by hand: header word, name header, payload, padding.
Bytes attr(bool named, int type, const std::string& name, const Bytes& payload) {
  size_t h = named ? ((name.size() + 6) & ~size_t{3}) : 0;
  size_t l = 4 + h + payload.size();
  Bytes out(4, 0);
  blob_put_be32(out.data(), (named ? 0x80000000u : 0u) | (uint32_t(type) << 24) | uint32_t(l));
  if (named) {
    out.push_back(uint8_t(name.size() >> 8));
    out.push_back(uint8_t(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    while (out.size() < 4 + h) out.push_back(0);
  }
  out.insert(out.end(), payload.begin(), payload.end());
  while (out.size() % 4) out.push_back(0);
  return out;
}

Bytes be32(uint32_t v) {
  Bytes b(4);
  blob_put_be32(b.data(), v);
  return b;
}
Bytes str(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const blobmsg_rule kLogin[] = {
    {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"os_type", BLOBMSG_TYPE_INT32}};

int parse(const Bytes& payload, const blob_attr** tb) {
  return blobmsg_parse(kLogin, 3, tb, payload.data(), payload.size());
}

TEST(BlobmsgBuild, EmptyMessageAndLenExampleExactBytes) {
  Buf b;
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  EXPECT_EQ(msg_len(&b.b), 4u);
  EXPECT_EQ(b.msg(), (Bytes{0x02, 0x00, 0x00, 0x04}));
  EXPECT_EQ(b.b.capacity, 256u);

  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  ASSERT_EQ(blobmsg_put_u32(&b.b, "len", 4096), 0);
  EXPECT_EQ(b.msg(), (Bytes{0x02, 0x00, 0x00, 0x14, 0x86, 0x00, 0x00, 0x10, 0x00, 0x03, 0x6C, 0x65,
                            0x6E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00}));
}

TEST(BlobmsgBuild, TypesNameHeadersAndPadding) {
  Buf b;
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  ASSERT_EQ(blobmsg_put_u64(&b.b, "fd", 0x0102030405060708ull), 0);
  ASSERT_EQ(blobmsg_put_string(&b.b, "errno_str", "ab"), 0);
  ASSERT_EQ(blobmsg_put(&b.b, BLOBMSG_TYPE_BINARY, nullptr, "\x01", 1), 0);
  Bytes want = cat({be32(0x02000000u | 0), attr(true, 5, "fd", {1, 2, 3, 4, 5, 6, 7, 8}),
                    attr(true, 4, "errno_str", str("ab")), attr(true, 3, "", {1})});
  blob_put_be32(want.data(), 0x02000000u | uint32_t(want.size()));
  EXPECT_EQ(b.msg(), want);
  // The string: L = 4 + 12 + 3 = 19, padded to 20 with a zero byte.
  EXPECT_EQ(blobmsg_name_hdr_len(0), 4u);
  EXPECT_EQ(blobmsg_name_hdr_len(3), 8u);
  EXPECT_EQ(blobmsg_name_hdr_len(5), 8u);
  EXPECT_EQ(blobmsg_name_hdr_len(9), 12u);

  // begin reuses the buffer: a new message starts empty.
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  EXPECT_EQ(b.msg(), (Bytes{0x02, 0x00, 0x00, 0x04}));
}

TEST(BlobmsgBuild, GrowsIn256ByteStepsAndKeepsContent) {
  Buf b;
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  Bytes big(300, 0xAB);
  ASSERT_EQ(blobmsg_put(&b.b, BLOBMSG_TYPE_BINARY, "data", big.data(), big.size()), 0);
  // end of the attribute = 4 + 4 + 8 + 300 = 316; need = 60 -> + 256.
  EXPECT_EQ(b.b.capacity, 512u);
  ASSERT_EQ(blobmsg_put_u32(&b.b, "len", 7), 0);
  const blob_attr* tb[2];
  const blobmsg_rule rules[] = {{"data", BLOBMSG_TYPE_BINARY}, {"len", BLOBMSG_TYPE_INT32}};
  ASSERT_EQ(blobmsg_parse_msg(rules, 2, tb, b.b.bytes, msg_len(&b.b)), 0);
  ASSERT_EQ(blobmsg_data_len(tb[0]), 300u);
  EXPECT_EQ(memcmp(blobmsg_data(tb[0]), big.data(), 300), 0);
  EXPECT_EQ(blobmsg_get_u32(tb[1]), 7);
  // A second begin does not shrink.
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  EXPECT_EQ(b.b.capacity, 512u);
}

// A growth that adds just what is asked for still leaves room for the
// padding the attribute ends with.
TEST(BlobmsgBuild, GrowthCoversThePadding) {
  Buf b;
  b.b.grow = [](blobmsg_buf* buf, size_t need) {
    auto* p = static_cast<uint8_t*>(realloc(buf->bytes, buf->capacity + need));
    if (!p) return -1;
    buf->bytes = p;
    buf->capacity += need;
    return 0;
  };
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  for (size_t n : {1, 2, 3, 5, 255}) {
    Bytes v(n, 0x5A);
    ASSERT_EQ(blobmsg_put(&b.b, BLOBMSG_TYPE_BINARY, "d", v.data(), v.size()), 0);
    EXPECT_LE(msg_len(&b.b), b.b.capacity) << n;
  }
}

TEST(BlobmsgBuild, ReserveCommitShortensAndFixesRoot) {
  Buf b;
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  ASSERT_EQ(blobmsg_put_u32(&b.b, "len", 3), 0);
  void* payload = nullptr;
  blob_attr* a = blobmsg_reserve(&b.b, "data", 1000, &payload);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(msg_len(&b.b), 4u + 16 + 4 + 8 + 1000);
  memset(payload, 0xEE, 1000);  // an earlier message's bytes
  memcpy(payload, "xyz", 3);
  ASSERT_EQ(blobmsg_commit(&b.b, a, 3), 0);
  Bytes want = cat({be32(0), attr(true, 6, "len", be32(3)), attr(true, 3, "data", {'x', 'y', 'z'})});
  blob_put_be32(want.data(), 0x02000000u | uint32_t(want.size()));
  Bytes got = b.msg();
  ASSERT_EQ(got.size(), want.size());
  // The padding after a shortened payload is zeros, not what was there.
  EXPECT_EQ(got, want);
  EXPECT_EQ(blobmsg_commit(&b.b, a, 4), -1);  // beyond the reservation
}

TEST(BlobmsgBuild, RefusesAttributeBeyondTheLengthField) {
  Buf b;
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  void* p;
  EXPECT_EQ(blobmsg_reserve(&b.b, "data", 0x1000000, &p), nullptr);
  EXPECT_EQ(msg_len(&b.b), 4u);
}

TEST(BlobmsgParse, AllRulesFoundAndValuesRead) {
  Bytes m = cat({attr(true, 6, "errno", be32(0xFFFFFFFEu)), attr(true, 4, "errno_str", str("bad")),
                 attr(true, 6, "os_type", be32(1))});
  const blob_attr* tb[3];
  ASSERT_EQ(parse(m, tb), 0);
  EXPECT_EQ(blobmsg_get_u32(tb[0]), -2);
  EXPECT_STREQ(blobmsg_get_string(tb[1]), "bad");
  EXPECT_EQ(blobmsg_get_u32(tb[2]), 1);
}

TEST(BlobmsgParse, MissingOrMistypedRuleFails) {
  const blob_attr* tb[3];
  // os_type absent.
  EXPECT_EQ(parse(cat({attr(true, 6, "errno", be32(0)), attr(true, 4, "errno_str", str(""))}), tb), -1);
  EXPECT_NE(tb[0], nullptr);
  EXPECT_EQ(tb[2], nullptr);
  // errno as int64 does not fill the int32 rule.
  EXPECT_EQ(parse(cat({attr(true, 5, "errno", {0, 0, 0, 0, 0, 0, 0, 0}), attr(true, 4, "errno_str", str("")),
                       attr(true, 6, "os_type", be32(0))}),
                  tb),
            -1);
  EXPECT_EQ(tb[0], nullptr);
}

TEST(BlobmsgParse, MalformedWantedAttributeFailsEvenWithOtherName) {
  const blob_attr* tb[3];
  Bytes good = cat({attr(true, 6, "errno", be32(0)), attr(true, 4, "errno_str", str("x")),
                    attr(true, 6, "os_type", be32(0))});
  // String without its terminator.
  Bytes unterminated = attr(true, 4, "errno_str", {'a', 'b'});
  EXPECT_EQ(parse(cat({unterminated, good}), tb), -1);
  // Same type and name length as "errno" but another name and a bad int32 size.
  EXPECT_EQ(parse(cat({good, attr(true, 6, "other", {1, 2})}), tb), -1);
  // Same attribute with a name length no rule has: skipped without checks.
  EXPECT_EQ(parse(cat({good, attr(true, 6, "xy", {1, 2})}), tb), 0);
  // Unknown type code that matches no rule by type: skipped.
  EXPECT_EQ(parse(cat({attr(true, 42, "errno", {}), good}), tb), 0);
  // Non-zero byte after the name.
  Bytes badterm = attr(true, 6, "errno", be32(0));
  badterm[4 + 2 + 5] = 'z';
  EXPECT_EQ(parse(cat({badterm, good}), tb), -1);
}

TEST(BlobmsgParse, FirstWinsLaterStillValidated) {
  const blob_attr* tb[3];
  Bytes base = cat({attr(true, 6, "errno", be32(5)), attr(true, 4, "errno_str", str("x")),
                    attr(true, 6, "os_type", be32(0))});
  Bytes twice = cat({base, attr(true, 6, "errno", be32(9))});
  ASSERT_EQ(parse(twice, tb), 0);
  EXPECT_EQ(blobmsg_get_u32(tb[0]), 5);
  EXPECT_EQ(parse(cat({base, attr(true, 6, "errno", {9})}), tb), -1);
}

TEST(BlobmsgParse, TruncatedWalkStopsWithoutOverRead) {
  const blob_attr* tb[3];
  Bytes m = cat({attr(true, 6, "errno", be32(0)), attr(true, 4, "errno_str", str("x")),
                 attr(true, 6, "os_type", be32(0))});
  // A trailing fragment shorter than 4 bytes is ignored.
  Bytes frag = cat({m, {0x86, 0x00}});
  EXPECT_EQ(parse(frag, tb), 0);
  // The last attribute cut short: the walk ends before it, os_type missing.
  for (size_t cut = 1; cut < 16; cut++) {
    Bytes shortm(m.begin(), m.end() - long(cut));
    std::vector<uint8_t> exact(shortm);  // exact-size heap copy for ASan
    EXPECT_EQ(parse(exact, tb), -1) << cut;
  }
  // Lengths that claim a name past L are rejected, not followed.
  Bytes tiny = {0x86, 0x00, 0x00, 0x07, 0x00, 0x05, 'e'};
  tiny.push_back(0);
  EXPECT_EQ(parse(cat({tiny, m}), tb), -1);
  Bytes four = {0x86, 0x00, 0x00, 0x04};  // too short to hold a name length
  EXPECT_EQ(parse(four, tb), -1);
  EXPECT_EQ(blobmsg_parse(kLogin, 3, tb, nullptr, 0), -1);
}

TEST(BlobmsgParse, WholeMessageChecksRoot) {
  Buf b;
  ASSERT_EQ(blobmsg_begin(&b.b), 0);
  ASSERT_EQ(blobmsg_put_u32(&b.b, "errno", 0), 0);
  ASSERT_EQ(blobmsg_put_string(&b.b, "errno_str", ""), 0);
  ASSERT_EQ(blobmsg_put_u32(&b.b, "os_type", 2), 0);
  const blob_attr* tb[3];
  Bytes m = b.msg();
  ASSERT_EQ(blobmsg_parse_msg(kLogin, 3, tb, m.data(), m.size()), 0);
  EXPECT_EQ(blobmsg_parse_msg(kLogin, 3, tb, m.data(), m.size() - 4), -1);  // root longer than data
  m[0] = 0x82;
  EXPECT_EQ(blobmsg_parse_msg(kLogin, 3, tb, m.data(), m.size()), -1);  // named root
}

}  // namespace
