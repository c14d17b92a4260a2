// blobmsg_parse over an untrusted payload, with the layout of every answer
// the client parses and every request the daemon parses, then reads every
// attribute it handed out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "blobmsg.h"
#include "krp_msg.h"

namespace {

const blobmsg_rule kAny[] = {{"errno", 0}, {"data", 0}, {nullptr, 0}, {"x", BLOBMSG_TYPE_UNSPEC}};

volatile uint64_t sink;

void touch(const blob_attr* a) {
  const uint8_t* p = static_cast<const uint8_t*>(blobmsg_data(a));
  size_t n = blobmsg_data_len(a);
  uint64_t s = 0;
  for (size_t i = 0; i < n; i++) s += p[i];
  switch (blob_id(a)) {
    case BLOBMSG_TYPE_INT32: s += uint32_t(blobmsg_get_u32(a)); break;
    case BLOBMSG_TYPE_INT64: s += uint64_t(blobmsg_get_u64(a)); break;
    case BLOBMSG_TYPE_STRING: s += strlen(blobmsg_get_string(a)); break;
    default: break;
  }
  s += strlen(blobmsg_name(a));
  sink = s;
}

template <size_t N>
void run(const blobmsg_rule (&rules)[N], const uint8_t* data, size_t size) {
  const blob_attr* tb[N];
  if (blobmsg_parse(rules, int(N), tb, data, size) == 0)
    for (size_t i = 0; i < N; i++)
      if (tb[i]) touch(tb[i]);
  if (blobmsg_parse_msg(rules, int(N), tb, data, size) == 0)
    for (size_t i = 0; i < N; i++)
      if (tb[i]) touch(tb[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> buf(data, data + size);
  run(krp::init::answer::rules, buf.data(), buf.size());
  run(krp::read::answer::rules, buf.data(), buf.size());
  run(krp::write::answer::rules, buf.data(), buf.size());
  run(krp::seek::answer::rules, buf.data(), buf.size());
  run(krp::fd_answer::rules, buf.data(), buf.size());
  run(krp::finfo::answer::rules, buf.data(), buf.size());
  run(krp::init::request::rules, buf.data(), buf.size());
  run(krp::open::request::rules, buf.data(), buf.size());
  run(krp::read::request::rules, buf.data(), buf.size());
  run(krp::write::request::rules, buf.data(), buf.size());
  run(krp::seek::request::rules, buf.data(), buf.size());
  run(krp::truncate::request::rules, buf.data(), buf.size());
  run(krp::ioctl::request::rules, buf.data(), buf.size());
  run(kAny, buf.data(), buf.size());
  return 0;
}
