#include "zcomp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Z {
  zcomp* z;
  explicit Z(const char* name) : z(zcomp_open(name)) {}
  ~Z() { zcomp_close(z); }
};

TEST(Zcomp, RegistryNamesAreExact) {
  EXPECT_NE(Z("none").z, nullptr);
  EXPECT_NE(Z("lz4").z, nullptr);
  EXPECT_EQ(Z("").z, nullptr);
  EXPECT_EQ(Z("LZ4").z, nullptr);
  EXPECT_EQ(Z("lz").z, nullptr);
  EXPECT_EQ(zcomp_open(nullptr), nullptr);
  zcomp_close(nullptr);
}

TEST(Zcomp, Bound) {
  EXPECT_EQ(zcomp_bound(0), 16u);
  EXPECT_EQ(zcomp_bound(255), 272u);
  EXPECT_EQ(zcomp_bound(0xA00000), 0xA00000u + 0xA00000u / 255 + 16);
  EXPECT_EQ(zcomp_bound(0x7E000000u), 0x7E000000u + 0x7E000000u / 255 + 16);
  EXPECT_EQ(zcomp_bound(0x7E000001u), 0u);
}

TEST(Zcomp, Lz4ZeroRunFitsOnlyItsSize) {
  Z z("lz4");
  std::vector<uint8_t> zeros(4096, 0), packed(zcomp_bound(4096));
  int n = zcomp_compress(z.z, zeros.data(), 4096, packed.data(), int(packed.size()));
  ASSERT_GT(n, 0);
  EXPECT_LT(n, 100);
  std::vector<uint8_t> out(4096, 0xFF);
  EXPECT_EQ(zcomp_decompress(z.z, packed.data(), n, out.data(), 4096), 4096);
  EXPECT_EQ(out, zeros);
  // The same block into a 1000-byte buffer must fail and stay inside it.
  auto small = std::make_unique<uint8_t[]>(1000);
  EXPECT_LT(zcomp_decompress(z.z, packed.data(), n, small.get(), 1000), 0);
}

TEST(Zcomp, Lz4RoundTripsIncompressibleDataWithinBound) {
  Z z("lz4");
  std::vector<uint8_t> in(100000);
  uint32_t x = 12345;
  for (auto& b : in) b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
  std::vector<uint8_t> packed(zcomp_bound(in.size())), out(in.size());
  int n = zcomp_compress(z.z, in.data(), int(in.size()), packed.data(), int(packed.size()));
  ASSERT_GT(n, 0);
  EXPECT_EQ(zcomp_decompress(z.z, packed.data(), n, out.data(), int(out.size())), int(in.size()));
  EXPECT_EQ(out, in);
  // Corrupt input fails instead of producing bytes.
  std::vector<uint8_t> junk(64, 0xF0);
  EXPECT_LT(zcomp_decompress(z.z, junk.data(), int(junk.size()), out.data(), int(out.size())), 0);
}

TEST(Zcomp, NoneCopiesWithinCapacity) {
  Z z("none");
  const char in[] = "abcdef";
  char out[6];
  EXPECT_EQ(zcomp_decompress(z.z, in, 6, out, 6), 6);
  EXPECT_EQ(memcmp(in, out, 6), 0);
  EXPECT_EQ(zcomp_decompress(z.z, in, 7, out, 6), -1);
  EXPECT_EQ(zcomp_compress(z.z, in, 7, out, 6), -1);
  EXPECT_EQ(zcomp_compress(z.z, in, 0, out, 6), 0);
}

}  // namespace
