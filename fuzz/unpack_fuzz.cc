// The pack layer on untrusted packed data: both codecs, several output
// capacities; the output must never be written past its capacity.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zcomp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static zcomp* lz4 = zcomp_open("lz4");
  static zcomp* none = zcomp_open("none");
  if (size < 2) return 0;
  // The first two bytes choose the capacity, the rest is the packed data.
  size_t cap = (size_t(data[0]) << 8 | data[1]) % 70000;
  std::vector<uint8_t> in(data + 2, data + size);
  std::vector<uint8_t> out(cap);
  int r = zcomp_decompress(lz4, in.data(), int(in.size()), out.data(), int(cap));
  if (r > int(cap)) __builtin_trap();
  r = zcomp_decompress(none, in.data(), int(in.size()), out.data(), int(cap));
  if (r > int(cap)) __builtin_trap();
  // What was unpacked packs again within the bound and round-trips.
  if (r > 0) {
    std::vector<uint8_t> packed(zcomp_bound(size_t(r)));
    int n = zcomp_compress(lz4, out.data(), r, packed.data(), int(packed.size()));
    if (n <= 0) __builtin_trap();
    std::vector<uint8_t> back(static_cast<size_t>(r));
    if (zcomp_decompress(lz4, packed.data(), n, back.data(), r) != r) __builtin_trap();
    if (back != std::vector<uint8_t>(out.begin(), out.begin() + r)) __builtin_trap();
  }
  return 0;
}
