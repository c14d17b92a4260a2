// End to end: images of every size class, codecs, TLS and refused sessions,
// krimg acquire against a real krsd on loopback.
#include "e2e_common.h"

namespace e2e {
namespace {

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

TEST_F(E2e, CodecsAndTls) {
  device((1 << 20) + 4096 * 3 + 17, 5);
  serve();
  for (const auto& [q, tls] : std::vector<std::pair<std::string, bool>>{
           {"pack=none", false}, {"pack=lz4", false}, {"", true}, {"pack=none", true}}) {
    SCOPED_TRACE(q + (tls ? " over TLS" : ""));
    expect_identical(acquire(url(q, tls)), data_);
  }
}

TEST_F(E2e, RefusedLoginUnknownCodecAndMissingFileAreNotRetried) {
  device(300000);
  serve({"--user", "root", "--password", "alpine"});
  ToolRun r = acquire(url("user=root&passwd=wrong"));
  EXPECT_EQ(r.status, 2) << r.log;  // the source could not be opened
  EXPECT_NE(r.log.find("Permission denied"), std::string::npos) << r.log;
  EXPECT_EQ(count_of(r.log, "镜像文件成功完成!"), 0u);
  r = acquire(url("user=root&passwd=alpine&pack=zstd"));
  EXPECT_EQ(r.status, 2) << r.log;
  r = acquire(url("user=root&passwd=alpine", false, "/dev/rdisk9"));
  EXPECT_EQ(r.status, 2) << r.log;
  std::string dlog = slurp(d_.log);
  EXPECT_EQ(count_of(dlog, "open [/dev/rdisk9]"), 1u) << "a missing file is not retried";
  EXPECT_EQ(count_of(dlog, "unknown codec [zstd]"), 1u);
  // The right pair images the device.
  expect_identical(acquire(url("user=root&passwd=alpine")), data_);
}

}  // namespace
}  // namespace e2e
