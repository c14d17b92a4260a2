// The client's receive path fed from a buffer: a session whose transport is
// a memory stream (through the TLS hooks of libnet) runs exchanges against
// untrusted response bytes: framing, parsing, unpacking.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "krsd_client_testing.h"
#include "libnet.h"

namespace {

const uint8_t* g_in;
size_t g_left;

long mem_read(net_conn*, void* buf, size_t len) {
  size_t n = len < g_left ? len : g_left;
  if (n) memcpy(buf, g_in, n);
  g_in += n;
  g_left -= n;
  return long(n);
}
long mem_write(net_conn*, const void*, size_t len) { return long(len); }

int marker;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  net_set_tls_hooks(mem_read, mem_write);
  std::vector<uint8_t> stream(data + 1, data + size);
  g_in = stream.data();
  g_left = stream.size();
  krsd_client* ctx = krsd_cli_attach(nullptr, 0);
  if (!ctx) return 0;
  krsd_testing::set_tls(ctx, &marker);  // route every read and write through the hooks
  if (krsd_testing::use_pack(ctx, (data[0] & 1) ? "lz4" : "none") == 0) {
    std::vector<uint8_t> buf(4096 + (data[0] >> 1) * 13);
    for (int i = 0; i < 8 && g_left; i++) {
      int n = 0;
      int ret;
      switch ((data[0] + i) % 5) {
        case 0: ret = cli_read(ctx, buf.data(), int(buf.size()), &n); break;
        case 1: {
          krsd_file_info info;
          ret = cli_file_info(ctx, &info);
          break;
        }
        case 2: ret = cli_open(ctx, "/dev/rdisk0s1s2", 1); break;
        case 3: ret = cli_init(ctx, "", ""); break;
        default: {
          int64_t pos;
          ret = cli_seek(ctx, 0, 1, &pos);
          break;
        }
      }
      if (n < 0 || size_t(n) > buf.size()) __builtin_trap();
      krsd_cli_set_last_error(ctx, ret);
    }
  }
  krsd_testing::set_tls(ctx, nullptr);
  krsd_cli_free(ctx);
  return 0;
}
