// Shared pieces of the client tests: a session attached to a scripted
// loopback peer, and helpers that build frames the way a daemon would.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <variant>

#include "../libnet/test_peer.h"
#include "blobmsg.h"
#include "krp_msg.h"
#include "krsd_client_testing.h"
#include "libnet.h"
#include "tb_init.h"

namespace clienttest {

using krsd_testing::peek;
using testpeer::Bytes;

// One attribute of a scripted message.
struct A {
  std::string name;
  int type;
  Bytes payload;
};
inline A i32(const std::string& n, int32_t v) {
  Bytes b(4);
  blob_put_be32(b.data(), uint32_t(v));
  return {n, BLOBMSG_TYPE_INT32, b};
}
inline A i64(const std::string& n, int64_t v) {
  Bytes b(8);
  blob_put_be32(b.data(), uint32_t(uint64_t(v) >> 32));
  blob_put_be32(b.data() + 4, uint32_t(v));
  return {n, BLOBMSG_TYPE_INT64, b};
}
inline A s(const std::string& n, const std::string& v) {
  Bytes b(v.begin(), v.end());
  b.push_back(0);
  return {n, BLOBMSG_TYPE_STRING, b};
}
inline A bin(const std::string& n, Bytes v) { return {n, BLOBMSG_TYPE_BINARY, std::move(v)}; }

// The message in b framed with cmd (255: a response); frees b.
inline Bytes framed(blobmsg_buf* b, uint8_t cmd = 255) {
  size_t n = msg_len(b);
  Bytes out(8);
  sd_frame_head_encode(out.data(), 1, cmd, b->bytes);
  out.insert(out.end(), b->bytes + 4, b->bytes + n);
  blobmsg_buf_free(b);
  return out;
}
// A response frame (command byte 255) holding the attributes in order.
inline Bytes frame(const std::vector<A>& attrs, uint8_t cmd = 255) {
  blobmsg_buf b{};
  EXPECT_EQ(blobmsg_begin(&b), 0);
  for (auto& a : attrs)
    EXPECT_EQ(blobmsg_put(&b, a.type, a.name.c_str(), a.payload.data(), a.payload.size()), 0);
  return framed(&b, cmd);
}
// The answer M as the daemon frames it: errno err, its text, the values v.
template <class M, class... V>
Bytes answer(int err, const std::string& text, const V&... v) {
  blobmsg_buf b{};
  EXPECT_EQ(krp::encode<M>(&b, err, text, v...), 0);
  return framed(&b);
}
inline Bytes ok_frame(std::vector<A> more = {}) {
  std::vector<A> attrs = {i32("errno", 0), s("errno_str", "")};
  attrs.insert(attrs.end(), more.begin(), more.end());
  return frame(attrs);
}

// A received request: command byte and the parsed attributes by name.
struct Request {
  int cmd = -1;
  Bytes raw;  // the whole frame
  std::vector<std::pair<std::string, Bytes>> attrs;
  std::vector<int> types;
  const Bytes* get(const std::string& n) const {
    for (auto& a : attrs)
      if (a.first == n) return &a.second;
    return nullptr;
  }
  int64_t num(const std::string& n) const {
    const Bytes* b = get(n);
    if (!b) return -999;
    if (b->size() == 4) return int32_t(blob_get_be32(b->data()));
    if (b->size() == 8) return int64_t((uint64_t(blob_get_be32(b->data())) << 32) | blob_get_be32(b->data() + 4));
    return -998;
  }
  std::string str(const std::string& n) const {
    const Bytes* b = get(n);
    if (!b || b->empty()) return "<none>";
    return std::string(b->begin(), b->end() - 1);
  }
};

// Reads one request frame from the client (flat messages only).
inline Request read_request(int fd, int ms = 5000) {
  Request r;
  Bytes head = testpeer::read_n(fd, 8, ms);
  if (head.size() != 8) return r;
  uint32_t l = blob_get_be32(head.data() + 4) & 0xffffff;
  uint32_t pl = (l + 3) & ~3u;
  Bytes body = testpeer::read_n(fd, pl - 4, ms);
  if (body.size() != pl - 4) return r;
  r.cmd = head[3];
  r.raw = head;
  r.raw.insert(r.raw.end(), body.begin(), body.end());
  size_t pos = 0, end = l - 4;
  while (pos + 4 <= end) {
    const blob_attr* a = reinterpret_cast<const blob_attr*>(body.data() + pos);
    const uint8_t* d = static_cast<const uint8_t*>(blobmsg_data(a));
    r.attrs.emplace_back(std::string(blobmsg_name(a)), Bytes(d, d + blobmsg_data_len(a)));
    r.types.push_back(blob_id(a));
    pos += blob_pad_len(a);
  }
  return r;
}

class ClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tb_init(nullptr, nullptr, 0, 0); }
  void TearDown() override {
    if (ctx_) krsd_cli_free(ctx_);
    ctx_ = nullptr;
  }
  // A session attached to the peer, not logged in, with the given codec.
  krsd_client* attach(testpeer::Peer& peer, int timeout_ms = 5000, const char* pack = "none") {
    tb_ipaddr_t a;
    tb_ipaddr_clear(&a);
    tb_ipaddr_ip_text_set(&a, "127.0.0.1", TB_IPADDR_FAMILY_IPV4);
    tb_ipaddr_port_set(&a, peer.port());
    tb_socket_ref_t sock = sock_connect(&a, 0x40000, 3000);
    EXPECT_NE(sock, nullptr);
    ctx_ = krsd_cli_attach(sock, timeout_ms);
    EXPECT_EQ(krsd_testing::use_pack(ctx_, pack), 0);
    return ctx_;
  }
  krsd_client* ctx_ = nullptr;
};

}  // namespace clienttest
