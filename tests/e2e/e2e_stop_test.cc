// Stop (Ctrl-C) takes effect at once also while a read waits for data that
// does not come: from a stalled daemon (also inside the pieces of a bad
// block), a FIFO whose writer is silent, or a silent standard input.
// Without that it waits out the read time-out (30 s by default) or, for a
// pipe, for ever.
#include <sys/stat.h>

#include "e2e_common.h"

namespace e2e {
namespace {

TEST_F(E2e, StopEndsAReadThatWaits) {
  device(2000000);
  serve({"--stall-after", "300000:60000"});
  // Stalls 70000 bytes into the answers of the pieces of block 5 (without
  // a codec, about 670 bytes a piece).
  Daemon salvage;
  ASSERT_TRUE(salvage.start({"--map", "/dev/rdisk0s1s2=" + img_, "--bad-range", "512300:10", "--stall-after",
                             std::to_string(5 * 102400 + 70000) + ":60000"}));
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int fifo_writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // does not wait for a reader
  int stdin_pipe[2];
  ASSERT_EQ(pipe2(stdin_pipe, O_CLOEXEC), 0);
  const std::vector<uint8_t> some(100000, 0x5A);
  struct Case {
    const char* name;
    std::string source;
    int stdin_fd;
    int writer;  // sends `some` first, then stays silent
    const Daemon* stalled;
  };
  const Case cases[] = {
      {"stalled daemon", url(), -1, -1, &d_},
      {"stalled daemon inside a salvage",
       "krp://127.0.0.1:" + std::to_string(salvage.port) + "/dev/rdisk0s1s2?pack=none", -1, -1, &salvage},
      {"silent FIFO", fifo, -1, fifo_writer, nullptr},
      {"silent standard input", "\\dev\\stdin", stdin_pipe[0], stdin_pipe[1], nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KrimgProcess p({"acquire", "--source", c.source, "--image", out_, "--restart"},
                   dir_.file("krimg.log"), c.stdin_fd);
    // Wait until the read in question waits: the daemon holds its answer, or
    // what the writer sent is in the image.
    if (c.writer >= 0) {
      ASSERT_EQ(write(c.writer, some.data(), some.size()), ssize_t(some.size()));
    }
    for (int i = 0; i < 1000; i++) {
      bool waiting = c.writer >= 0 ? kit::read_bytes(out_).size() == some.size()
                                   : kit::read_file(c.stalled->log).find("fault: stalling") != std::string::npos;
      if (waiting) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto t0 = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    ToolRun r = p.wait(20);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.status, 5) << r.log;
    EXPECT_LT(seconds, 10.0) << "a generous bound: the read time-out is 30 s";
    EXPECT_EQ(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
    // Stopped in the pieces of block 5: the block is not in the image.
    if (c.stalled == &salvage) {
      EXPECT_EQ(kit::read_bytes(out_).size(), size_t(5 * 102400)) << r.log;
    }
  }
  close(fifo_writer);
  close(stdin_pipe[0]);
  close(stdin_pipe[1]);
}

}  // namespace
}  // namespace e2e
