// krimg as a program: exit status, the log on standard error, standard
// input as a source, the refusal to overwrite and Ctrl-C as stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <cctype>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine_fixture.h"
#include "krii_version.h"

namespace {

struct run_result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

  // Starts krimg with args; standard input is a pipe whose write end is
  // returned in *stdin_fd (or /dev/null when stdin_fd is null).
  pid_t start(const std::vector<std::string>& args, int* stdin_fd) {
    int in[2] = {-1, -1};
    if (stdin_fd && pipe(in) != 0) return -1;
    const std::string out = tmp_.file("stdout"), err = tmp_.file("stderr");
    pid_t pid = fork();
    if (pid == 0) {
      if (!cwd_.empty() && chdir(cwd_.c_str()) != 0) _exit(126);
      int fd_in = stdin_fd ? in[0] : open("/dev/null", O_RDONLY);
      dup2(fd_in, 0);
      if (stdin_fd) {
        close(in[0]);
        close(in[1]);
      }
      int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fo, 1);
      dup2(fe, 2);
      std::vector<char*> argv;
      std::string prog = kit::bin_path("krimg");
      argv.push_back(prog.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(prog.c_str(), argv.data());
      _exit(127);
    }
    if (stdin_fd) {
      close(in[0]);
      *stdin_fd = in[1];
    }
    return pid;
  }

  run_result finish(pid_t pid) {
    run_result r;
    int st = 0;
    if (waitpid(pid, &st, 0) == pid)
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = kit::read_file(tmp_.file("stdout"));
    r.err = kit::read_file(tmp_.file("stderr"));
    return r;
  }

  run_result run(const std::vector<std::string>& args) { return finish(start(args, nullptr)); }

  kit::TempDir tmp_;
  std::string cwd_;  // the child's current folder when set
  std::string src_ = tmp_.file("device.bin");
  std::string img_ = tmp_.file("image.dd");
};

bool has_line(const std::string& err, const std::string& text) {
  // Every log line starts with the time, "HH:MM:SS ".
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    const std::string line = err.substr(start, end - start);
    start = end + 1;
    if (line.size() < 9 || line.compare(9, std::string::npos, text) != 0) continue;
    bool time_ok = line[2] == ':' && line[5] == ':' && line[8] == ' ';
    for (int i : {0, 1, 3, 4, 6, 7}) time_ok = time_ok && isdigit(static_cast<unsigned char>(line[i]));
    if (time_ok) return true;
  }
  return false;
}

TEST_F(CliTest, HelpTexts) {
  auto r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("acquire"), std::string::npos);
  EXPECT_NE(r.out.find("deploy"), std::string::npos);
  r = run({"acquire", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--resume"), std::string::npos);
  r = run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("krimg ") + KRII_VERSION + "\n");
}

// A command line that cannot be understood ends with 2 before anything is
// opened; 1 stays "failed".
TEST_F(CliTest, UsageErrorsExitWithTwo) {
  kit::write_file(src_, kit::pattern(1000));
  const std::vector<std::vector<std::string>> lines = {
      {},
      {"bogus"},
      {"acquire", "--source", src_},
      {"acquire", "--source", src_, "--image", img_, "--bogus"},
      {"acquire", "--source", src_, "--image"},
      {"acquire", "--ip", "127.0.0.1", "--source", src_, "--image", img_},
      {"acquire", "--source", src_, "--image", img_, "--resume", "--restart"},
      {"acquire", "--ip", "1.2.3.4/x", "--image", img_},
      {"acquire", "--source", "", "--image", img_},
      {"acquire", "--source", src_, "--image", "krp://127.0.0.1/x.img"},
      {"acquire", "--source", src_, "--image="},
      {"acquire", "--sources", src_, "--image", img_},
      {"acquire", "--source", src_, "--image", img_, "--verify=yes"},
      {"acquire", "--source", src_, "--image", img_, "--format", "tiff"},
  };
  for (const auto& args : lines) {
    std::string text;
    for (const auto& a : args) text += "'" + a + "' ";
    SCOPED_TRACE(text);
    auto r = run(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_FALSE(kit::file_exists(img_));
  }
}

// The build folder is laid out as the installation: krimg in bin/ finds the
// daemon and the tools in the private folder beside it.
TEST_F(CliTest, DeployUsesTheBuildsToolFolder) {
  const std::string tools = kit::env_dir("KRII_TOOLS_DIR");
  ASSERT_FALSE(tools.empty());
  auto r = run({"deploy", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(" " + std::filesystem::canonical(tools).string() + "\n"), std::string::npos) << r.out;
}

TEST_F(CliTest, CopiesALocalFileAndReportsItsMd5) {
  const std::string data = kit::pattern(3 * 102400 + 5);
  kit::write_file(src_, data);
  auto r = run({"acquire", "--source", src_, "--image", img_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kit::read_file(img_), data);
  EXPECT_TRUE(has_line(r.err, "md5: " + kt::md5_hex(data))) << r.err;
  EXPECT_TRUE(has_line(r.err, "镜像文件成功完成!")) << r.err;
  // No debug lines without --debug.
  EXPECT_EQ(r.err.find("G.count"), std::string::npos);
  r = run({"acquire", "--source=" + src_, "--image=" + tmp_.file("b.dd"), "--debug"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("G.count: 4\n"), std::string::npos) << r.err;
}

// A character device that tells its size by a seek to its end (a raw disk
// partition does; a virtual console's screen memory is one that is safe to
// read here) is imaged whole, with its digests.
TEST_F(CliTest, ACharacterDeviceWithASizeIsImagedWhole) {
  const std::string dev = "/dev/vcs1";
  const int fd = open(dev.c_str(), O_RDONLY);
  const off_t size = fd < 0 ? 0 : lseek(fd, 0, SEEK_END);
  if (fd >= 0) close(fd);
  if (size <= 0) GTEST_SKIP() << dev << " cannot be read here or tells no size";
  auto r = run({"acquire", "--source", dev, "--image", img_});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string image = kit::read_file(img_);
  EXPECT_EQ(image.size(), static_cast<size_t>(size));
  EXPECT_NE(r.err.find("设备存储大小：" + std::to_string(size) + " ("), std::string::npos) << r.err;
  EXPECT_TRUE(has_line(r.err, "md5: " + kt::md5_hex(image))) << r.err;
  EXPECT_TRUE(has_line(r.err, "sha256: " + kt::sha256_hex(image))) << r.err;
}

TEST_F(CliTest, StandardInputFromAPipeIsCopiedToItsEnd) {
  const std::string data = kit::pattern(300001, 4);
  int fd = -1;
  pid_t pid = start({"acquire", "--source", "\\dev\\stdin", "--image", img_}, &fd);
  ASSERT_GT(pid, 0);
  size_t off = 0;
  while (off < data.size()) {
    ssize_t w = write(fd, data.data() + off, std::min<size_t>(65536, data.size() - off));
    ASSERT_GT(w, 0);
    off += static_cast<size_t>(w);
  }
  close(fd);
  auto r = finish(pid);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kit::read_file(img_), data);
  EXPECT_EQ(r.err.find("md5: "), std::string::npos) << r.err;  // no size: no digest
  EXPECT_TRUE(has_line(r.err, "镜像文件成功完成!")) << r.err;
}

TEST_F(CliTest, NonEmptyImageIsNeverOverwrittenSilently) {
  const std::string data = kit::pattern(500000);
  kit::write_file(src_, data);
  const std::string old = kit::pattern(204800, 8);
  kit::write_file(img_, old);
  auto r = run({"acquire", "--source", src_, "--image", img_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--resume"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--restart"), std::string::npos);
  EXPECT_EQ(kit::read_file(img_), old);

  r = run({"acquire", "--source", src_, "--image", img_, "--restart"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kit::read_file(img_), data);
  EXPECT_TRUE(has_line(r.err, "md5: " + kt::md5_hex(data))) << r.err;
}

TEST_F(CliTest, ResumeContinuesAtTheImageEnd) {
  const std::string data = kit::pattern(700000, 6);
  kit::write_file(src_, data);
  kit::write_file(img_, data.substr(0, 204800));
  auto r = run({"acquire", "--source", src_, "--image", img_, "--resume"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kit::read_file(img_), data);
  EXPECT_TRUE(has_line(r.err, "偏移文件: 204800 (200.0k)")) << r.err;
  EXPECT_TRUE(has_line(r.err, "镜像文件成功完成!"));
  // An image without its record is read again from the source and compared:
  // the digests are the whole image's.
  EXPECT_TRUE(has_line(r.err, "md5: " + kt::md5_hex(data))) << r.err;
  EXPECT_TRUE(has_line(r.err, "sha256: " + kt::sha256_hex(data))) << r.err;
  EXPECT_TRUE(has_line(r.err, "已有数据 204800 (200.0k) 无记录, 将从设备重新读取并比对")) << r.err;
  EXPECT_TRUE(has_line(r.err, "已从设备重新读取 0 - 204800: 与镜像原有数据一致")) << r.err;

  // On a missing image --resume simply starts a new one.
  const std::string fresh = tmp_.file("fresh.dd");
  r = run({"acquire", "--source", src_, "--image", fresh, "--resume"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kit::read_file(fresh), data);
  EXPECT_TRUE(has_line(r.err, "md5: " + kt::md5_hex(data))) << r.err;

  // An image larger than the source is refused by the engine.
  kit::write_file(img_, data + "x");
  r = run({"acquire", "--source", src_, "--image", img_, "--resume"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(kit::read_file(img_), data + "x");
}

// Continuing needs a source that can be positioned at the image's size:
// one without a size is refused and the image left as it was.
TEST_F(CliTest, ResumeFromASourceWithoutSizeIsRefused) {
  const std::string old = kit::pattern(204800, 8);
  for (const std::string source : {"\\dev\\stdin", "/proc/version"}) {
    SCOPED_TRACE(source);
    kit::write_file(img_, old);
    int fd = -1;
    pid_t pid = start({"acquire", "--source", source, "--image", img_, "--resume"}, &fd);
    ASSERT_GT(pid, 0);
    const std::string data = kit::pattern(300000, 2);
    if (write(fd, data.data(), data.size()) < 0) {
      // krimg may already have gone without reading.
    }
    close(fd);
    auto r = finish(pid);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("has no size"), std::string::npos) << r.err;
    EXPECT_EQ(kit::read_file(img_), old);
  }
}

TEST_F(CliTest, TheImageMustNotBeTheSource) {
  const std::string data = kit::pattern(1000);
  kit::write_file(src_, data);
  auto r = run({"acquire", "--source", src_, "--image", src_, "--restart"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is the source itself"), std::string::npos) << r.err;
  const std::string link = tmp_.file("link.dd");
  ASSERT_EQ(symlink(src_.c_str(), link.c_str()), 0);
  r = run({"acquire", "--source", "file://" + src_, "--image", link, "--restart"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(kit::read_file(src_), data);
}

// A file:// URL's percent escapes are the bytes of its name, for the source,
// the image and the files beside it, and in the report; an escape that
// names no byte, or byte 0, is refused before anything is opened.
TEST_F(CliTest, FileUrlsNameTheFilesTheirEscapesSpell) {
  const std::string data = kit::pattern(150000, 3);
  kit::write_file(tmp_.file("s r?.bin"), data);
  const std::string source = "file://" + tmp_.file("s%20r%3f.bin");
  auto r = run({"acquire", "--source", source, "--image", "file://" + tmp_.file("fu%3F.img")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kit::read_file(tmp_.file("fu?.img")), data);
  EXPECT_FALSE(kit::file_exists(tmp_.file("fu%3F.img")));
  const auto report = nlohmann::json::parse(kit::read_file(tmp_.file("fu?.img.json")), nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << r.err;
  EXPECT_EQ(report["runs"][0]["source"]["given"], source);
  EXPECT_EQ(report["runs"][0]["source"]["resolved"], tmp_.file("s r?.bin"));
  EXPECT_TRUE(kit::file_exists(tmp_.file("fu?.img.krii")));
  for (const std::string bad : {"a%00b.img", "a%.img", "a%4.img", "a%g1.img"}) {
    SCOPED_TRACE(bad);
    for (bool as_image : {true, false}) {
      const std::string url = "file://" + tmp_.file(bad);
      r = run({"acquire", "--source", as_image ? source : url, "--image",
               as_image ? url : tmp_.file("b.img")});
      EXPECT_EQ(r.status, 2) << r.err;
      EXPECT_NE(r.err.find(url + " cannot be used as a file name: Invalid argument"), std::string::npos)
          << r.err;
    }
  }
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(tmp_.file(""))) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"fu?.img", "fu?.img.json", "fu?.img.krii", "fu?.img.log", "fu?.img.txt",
                                             "s r?.bin", "stderr", "stdout"}));
}

// A local image name is the file it spells: "?", ":", "\\", "#", "%" and "&"
// are ordinary characters. The file the old naming would have written
// instead (a decoy) stays as it was, and a resume finds the same file.
TEST_F(CliTest, ImageNamesAreTheFilesTheySpell) {
  const std::string data = kit::pattern(250000, 7);
  kit::write_file(src_, data);
  cwd_ = tmp_.file("");
  ASSERT_EQ(mkdir(tmp_.file("b").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(tmp_.file("A:").c_str(), 0700), 0);
  struct Row {
    const char* image;
    const char* decoy;  // relative to the folder; "" for none
  } rows[] = {
      {"case?2.img", "case"},
      {"a:/b.img", "A:/b.img"},
      {"b\\c.img", "b/c.img"},
      {"x#1%20&y.img", ""},
      {"~t.img", ""},
  };
  const std::string old = "evidence that must stay";
  for (const Row& r : rows) {
    SCOPED_TRACE(r.image);
    if (*r.decoy) kit::write_file(tmp_.file(r.decoy), old);
    auto res = run({"acquire", "--source", src_, "--image", r.image});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(kit::read_file(tmp_.file(r.image)), data);
    if (*r.decoy) {
      EXPECT_EQ(kit::read_file(tmp_.file(r.decoy)), old);
    }
    // Resuming the same name continues that file, not another one.
    // (Cut by hand, so its piece record is removed too, or the resume would
    // rightly refuse an image shorter than its record.)
    kit::write_file(tmp_.file(r.image), data.substr(0, 102400));
    std::remove((tmp_.file(r.image) + ".krii").c_str());
    res = run({"acquire", "--source", src_, "--image", r.image, "--resume"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_TRUE(has_line(res.err, "偏移文件: 102400 (100.0k)")) << res.err;
    EXPECT_EQ(kit::read_file(tmp_.file(r.image)), data);
    // Read as a source, the report names that very file.
    res = run({"acquire", "--source", r.image, "--image", "copy.img", "--restart"});
    EXPECT_EQ(res.status, 0) << res.err;
    const auto rep = nlohmann::json::parse(kit::read_file(tmp_.file("copy.img.json")), nullptr, false);
    EXPECT_EQ(rep["runs"].back()["source"]["resolved"], tmp_.file(r.image)) << rep.dump(2);
  }
  // A name that cannot be represented is refused before anything is opened.
  for (const std::string& bad : {std::string(4090, 'n'), std::string("file:///x?y.img")}) {
    auto res = run({"acquire", "--source", src_, "--image", bad});
    EXPECT_EQ(res.status, 2) << res.err;
    EXPECT_NE(res.err.find("cannot be used as a file name"), std::string::npos) << res.err;
  }
}

TEST_F(CliTest, ExitStatusIsTheJobResult) {
  auto r = run({"acquire", "--source", tmp_.file("missing"), "--image", img_});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err.find("镜像文件成功完成!"), std::string::npos);
}

TEST_F(CliTest, CtrlCStopsTheCopyWithFive) {
  int fd = -1;
  pid_t pid = start({"acquire", "--source", "/dev/stdin", "--image", img_}, &fd);
  ASSERT_GT(pid, 0);
  const std::string chunk = kit::pattern(65536, 2);
  ASSERT_EQ(write(fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
  struct stat st{};
  for (int i = 0; i < 1000 && (stat(img_.c_str(), &st) != 0 || st.st_size == 0); ++i) usleep(10000);
  ASSERT_GT(st.st_size, 0);
  kill(pid, SIGINT);
  // Keep feeding a little, so that a read waiting for data returns and the
  // copy loop sees the stop.
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 500 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i) {
    if (write(fd, chunk.data(), 512) < 0) break;
    usleep(20000);
  }
  close(fd);
  run_result r = done == pid ? run_result{} : finish(pid);
  if (done == pid) {
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = kit::read_file(tmp_.file("stderr"));
  }
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_NE(r.err.find(" copied, ["), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("镜像文件成功完成!"), std::string::npos);
}

// The case fields reach the report; verify re-reads the image alone and
// tells by its exit status whether it matches its record.
TEST_F(CliTest, VerifyComparesTheImageWithItsRecord) {
  const std::string data = kit::pattern(400000, 8);
  kit::write_file(src_, data);
  auto r = run({"acquire", "--source", src_, "--image", img_, "--case", "2026-117", "--examiner", "Wang Fang",
                "--notes", "seized at the scene", "--verify"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.err, "镜像校验一致: 与报告的 MD5 和 SHA-256 相同")) << r.err;
  const std::string text = kit::read_file(img_ + ".txt");
  for (const char* want : {"Case:             2026-117", "Examiner:         Wang Fang",
                           "Notes:            seized at the scene"})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;

  std::remove(src_.c_str());  // verification never needs the source
  struct Step {
    const char* name;
    std::function<void()> change;
    int status;
  } steps[] = {
      {"unchanged", [] {}, 0},
      {"one byte changed",
       [&] {
         std::string img = kit::read_file(img_);
         img[300001] ^= 0x10;
         kit::write_file(img_, img);
       },
       1},
      {"no record beside it",
       [&] {
         std::remove((img_ + ".json").c_str());
         std::remove((img_ + ".krii").c_str());
       },
       3},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    r = run({"verify", img_});
    EXPECT_EQ(r.status, step.status) << r.err;
  }
}

}  // namespace
