// End to end: E01 images that krimg writes, checked by the field's own tools
// (ewf-tools) rather than by krii: ewfverify verifies the image and stores
// the source's MD5 (as md5sum prints it), ewfinfo shows the case fields and
// the unreadable sectors, ewfexport gives back the source (zeros where the
// device could not be read), the Sleuth Kit's img_stat opens it; krimg
// verify agrees.
#include <cstdio>
#include <filesystem>

#include "e2e_common.h"

namespace e2e {
namespace {

bool have_ewf_tools() {
  return kit::run_shell("command -v ewfverify ewfinfo ewfexport md5sum").status == 0;
}

std::string field(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return "";
  const size_t from = text.find_first_not_of(" \t", at + label.size());
  return text.substr(from, text.find('\n', from) - from);
}

struct Row {
  const char* name;
  size_t size;
  bool remote;                     // through krp:// from krsd, else the file itself
  std::vector<std::string> faults;  // krsd's fault options
  std::vector<std::string> extra;   // krimg's options beside --format e01
  std::vector<std::pair<size_t, size_t>> zeros;  // what the device cannot give
  int min_segments = 1;
};

TEST_F(E2e, E01CheckedByTheFieldsTools) {
  if (!have_ewf_tools()) GTEST_SKIP() << "ewf-tools are not installed";
  // The Sleuth Kit's check is added where it is installed (install-deps.sh
  // installs it); its absence must not skip the others.
  const bool have_img_stat = kit::run_shell("command -v img_stat").status == 0;
  const Row rows[] = {
      {"empty", 0, false, {}, {}, {}},
      {"one byte", 1, false, {}, {"--compress", "best"}, {}},
      {"511 bytes", 511, false, {}, {}, {}},
      {"one sector", 512, true, {}, {"--compress", "none"}, {}},
      {"off the chunk grid", 3 * 32768 + 1000, true, {}, {}, {}},
      {"several segments", 3 << 20, true, {}, {"--segment-size", "1M", "--compress", "none"}, {}, 3},
      {"bad sectors", 1000448, true, {"--bad-range", "250000:10"}, {}, {{249856, 250368}}},
      {"whole chunks unreadable", 3 << 20, true, {"--bad-range", "65536:65536"}, {}, {{65536, 131072}}},
      {"dropped connection", (2 << 20) + 1024, true, {"--drop-after", "1000000,once"}, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string src = dir.file("device.img"), image = dir.file("out.E01");
    const std::vector<uint8_t> data = kit::mixed_bytes(row.size, 7);
    ASSERT_TRUE(kit::write_file(src, data));
    std::vector<uint8_t> want = data;
    for (auto [from, to] : row.zeros) std::fill(want.begin() + from, want.begin() + to, 0);
    const std::string want_file = dir.file("want.bin");
    ASSERT_TRUE(kit::write_file(want_file, want));

    Daemon d;
    std::string source = src;
    if (row.remote) {
      std::vector<std::string> args = row.faults;
      args.insert(args.end(), {"--map", "/dev/rdisk0s1s2=" + src});
      ASSERT_TRUE(d.start(args)) << "krsd did not start";
      source = "krp://127.0.0.1:" + std::to_string(d.port) + "/dev/rdisk0s1s2";
    }
    std::vector<std::string> args = {"acquire", "--source", source, "--image", image, "--format", "e01",
                                     "--case", "C-23", "--evidence", "EV 7", "--examiner", "Li Ming",
                                     "--notes", "seized 2026"};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    const ToolRun r = krimg(args, dir.file("krimg.log"));
    ASSERT_EQ(r.status, 0) << r.log;

    const kit::ShellRun verify = kit::run_shell("ewfverify -q '" + image + "'");
    EXPECT_EQ(verify.status, 0) << verify.output;
    const kit::ShellRun md5sum = kit::run_shell("md5sum < '" + want_file + "'");
    EXPECT_EQ(field(verify.output, "MD5 hash stored in file:"), md5sum.output.substr(0, 32)) << verify.output;

    const kit::ShellRun info = kit::run_shell("ewfinfo '" + image + "'");
    EXPECT_EQ(field(info.output, "Case number:"), "C-23") << info.output;
    EXPECT_EQ(field(info.output, "Evidence number:"), "EV 7");
    EXPECT_EQ(field(info.output, "Examiner name:"), "Li Ming");
    EXPECT_EQ(field(info.output, "Notes:"), "seized 2026");
    if (!row.zeros.empty()) {
      // Each unreadable run is an acquisition error, in sectors of 512 bytes.
      const std::string first = std::to_string(row.zeros[0].first / 512);
      EXPECT_NE(info.output.find("at sector(s): " + first), std::string::npos) << info.output;
    }

    const kit::ShellRun exported = kit::run_shell("ewfexport -q -u -f raw -t '" + dir.file("back") + "' '" + image + "'");
    EXPECT_EQ(exported.status, 0) << exported.output;
    EXPECT_TRUE(kit::read_bytes(dir.file("back.raw")) == want) << "ewfexport differs from the device";

    if (have_img_stat) {
      const kit::ShellRun stat = kit::run_shell("img_stat -i ewf '" + image + "'");
      EXPECT_EQ(stat.status, 0) << stat.output;
      EXPECT_EQ(field(stat.output, "Size of data in bytes:"), std::to_string(row.size)) << stat.output;
      EXPECT_EQ(field(stat.output, "MD5 hash of data:"), md5sum.output.substr(0, 32)) << stat.output;
    }

    int segments = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      if (e.path().filename().string().rfind("out.E", 0) != 0 || e.path().extension().string().size() != 4)
        continue;
      ++segments;
      // Evidence is for the examiner's user and group, as the raw image is.
      EXPECT_EQ(e.status().permissions() & std::filesystem::perms::others_all, std::filesystem::perms::none)
          << e.path();
    }
    EXPECT_GE(segments, row.min_segments);

    const ToolRun v = krimg({"verify", image}, dir.file("verify.log"));
    EXPECT_EQ(v.status, 0) << v.log;
  }
}

// What an E01 job refuses before it writes anything: a resume (an E01 is
// begun again), a name that is not the first segment's, segments of some
// other image, a device.
TEST_F(E2e, E01RefusesResumeAndOtherNames) {
  device(100000);
  const std::string image = dir_.file("x.E01");
  ToolRun r = krimg({"acquire", "--source", img_, "--image", image, "--format", "e01"}, dir_.file("a.log"));
  ASSERT_EQ(r.status, 0) << r.log;
  const std::vector<uint8_t> before = kit::read_bytes(image);
  r = krimg({"acquire", "--source", img_, "--image", image, "--format", "e01", "--resume"}, dir_.file("b.log"));
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_NE(r.log.find("E01 镜像不能断点镜像, 镜像未改动; 请重新镜像"), std::string::npos) << r.log;
  EXPECT_TRUE(kit::read_bytes(image) == before);
  r = krimg({"acquire", "--source", img_, "--image", dir_.file("x.img"), "--format", "e01"}, dir_.file("c.log"));
  EXPECT_EQ(r.status, 2) << r.log;
  EXPECT_NE(r.log.find("ends in .E01"), std::string::npos) << r.log;
  // Later segments beside a missing first one may be another image's: kept.
  const std::vector<uint8_t> junk = {'j'};
  ASSERT_TRUE(kit::write_file(dir_.file("y.E02"), junk));
  r = krimg({"acquire", "--source", img_, "--image", dir_.file("y.E01"), "--format", "e01"}, dir_.file("e.log"));
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_TRUE(kit::read_bytes(dir_.file("y.E02")) == junk);
  // A device is no file to hold segments.
  const std::string dev = dir_.file("dev.E01");
  ASSERT_EQ(symlink("/dev/null", dev.c_str()), 0);
  r = krimg({"acquire", "--source", img_, "--image", dev, "--format", "e01", "--restart"}, dir_.file("d.log"));
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_NE(r.log.find("E01 镜像只能写入文件, 不能写入磁盘或设备; 拒绝镜像"), std::string::npos) << r.log;
}

// A disk that fills up under an E01 job (a file size limit stands in for
// it): the job fails with libewf's reason, cleanly, and never says success.
TEST_F(E2e, E01OntoAFullDiskFails) {
  TempDir dir;
  const std::string src = dir.file("device.img"), image = dir.file("full.E01");
  ASSERT_TRUE(kit::write_file(src, kit::mixed_bytes(8 << 20, 3)));
  const kit::ShellRun r = kit::run_shell("trap '' XFSZ; ulimit -f 1024; '" + kit::bin_path("krimg") + "' acquire --source '" + src +
                        "' --image '" + image + "' --format e01 --compress none");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("E01] error ["), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("镜像文件成功完成"), std::string::npos) << r.output;
}

// A job killed while the source stalls leaves an E01 that was never closed:
// verify says so instead of hashing what libewf makes of it, and a resume
// is refused; a restart then writes it whole.
TEST_F(E2e, E01KilledMidwayIsNoImage) {
  // The writer packs 2 MiB of chunks at a time: the stall comes after more.
  device(6 << 20);
  serve({"--stall-after", "3000000:30000,once"});
  const std::string image = dir_.file("k.E01");
  {
    KrimgProcess job({"acquire", "--source", url("pack=none"), "--image", image, "--format", "e01"},
                     dir_.file("k.log"));
    // Killed once the stall began and libewf has put data into the image.
    for (int i = 0; i < 1000 && (kit::read_file(d_.log).find("fault: stalling") == std::string::npos ||
                                 kit::read_file(image).size() < 65536);
         i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    job.signal(SIGKILL);
    job.wait();
  }
  ToolRun v = krimg({"verify", image}, dir_.file("v.log"));
  EXPECT_EQ(v.status, 3) << v.log;
  EXPECT_NE(v.log.find("never closed"), std::string::npos) << v.log;
  ToolRun r = krimg({"acquire", "--source", url(), "--image", image, "--format", "e01", "--resume"},
                    dir_.file("r.log"));
  EXPECT_EQ(r.status, 1) << r.log;
  r = krimg({"acquire", "--source", url(), "--image", image, "--format", "e01", "--restart"}, dir_.file("s.log"));
  EXPECT_EQ(r.status, 0) << r.log;
  v = krimg({"verify", image}, dir_.file("w.log"));
  EXPECT_EQ(v.status, 0) << v.log;
}

}  // namespace
}  // namespace e2e
