// blobmsg_parse over an untrusted response payload, with every rule table
// the client uses, then reads every attribute it handed out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "blobmsg.h"

namespace {

const blobmsg_rule kInfo[] = {
    {"errno", BLOBMSG_TYPE_INT32},        {"errno_str", BLOBMSG_TYPE_STRING}, {"type", BLOBMSG_TYPE_INT32},
    {"len", BLOBMSG_TYPE_INT64},          {"offset", BLOBMSG_TYPE_INT64},
    {"sector_bytes", BLOBMSG_TYPE_INT32}, {"info", BLOBMSG_TYPE_STRING},
};
const blobmsg_rule kRead[] = {
    {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"len", BLOBMSG_TYPE_INT32},
    {"flags", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_BINARY},
};
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
  run(kInfo, buf.data(), buf.size());
  run(kRead, buf.data(), buf.size());
  run(kAny, buf.data(), buf.size());
  return 0;
}
