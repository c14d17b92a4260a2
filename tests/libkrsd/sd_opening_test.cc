// The opening of a krp file (login, codec, open, file information) goes out
// in one flight and its answers are taken in order: against krsd and against
// the strictly sequential daemon of the test kit, whole and with each step
// failing; the first failure is the one told, and what follows it is as one
// request at a time would leave it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "krsd_client.h"
#include "krsd_test_util.h"
#include "seq_daemon.h"
#include "tb_file.h"
#include "tb_init.h"

namespace {

constexpr int64_t kSize = 300000;

class Opening : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tb_init(nullptr, nullptr, 0, 0);
    krsd_cli_lib_init();
  }
  void SetUp() override {
    img_ = dir_.file("img");
    ASSERT_TRUE(kit::write_file(img_, kit::mixed_bytes(size_t(kSize), 5)));
  }

  kit::TempDir dir_;
  std::string img_;
};

struct Case {
  const char* name;
  int fail_cmd;       // the sequential daemon's failing step; 0: none
  const char* query;  // krsd's failing step: a wrong password, an unknown codec, a missing file
  const char* path;
  const char* open_error;  // empty: the open succeeds
};

const Case kCases[] = {
    {"whole", 0, "?user=u&passwd=pw", "/img", ""},
    {"login", KRSD_CMD_INIT, "?user=u&passwd=wrong", "/img", "login refused: Permission denied"},
    {"codec", KRSD_CMD_IOCTL, "?user=u&passwd=pw&pack=nope", "/img", "codec nope refused: Invalid argument"},
    {"open", KRSD_CMD_OPEN, "?user=u&passwd=pw", "/none", "No such file or directory"},
    {"file information", KRSD_CMD_FINFO, nullptr, "/img", ""},
};

int fail_errno(int cmd) {
  switch (cmd) {
    case KRSD_CMD_INIT: return EACCES;
    case KRSD_CMD_IOCTL: return EINVAL;
    case KRSD_CMD_OPEN: return ENOENT;
    default: return EIO;
  }
}

// Opens url; checks the outcome against c and, for an open that went
// through, that the size came from the answer asked with the open.
void open_as(const Case& c, const std::string& url) {
  SCOPED_TRACE(url);
  tb_file_ref_t f = tb_file_init(url.c_str(), FILE_MODE_READ);
  if (*c.open_error) {
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(std::string(krsd_file_open_error()), c.open_error);
    if (f) tb_file_close(f);
    return;
  }
  ASSERT_NE(f, nullptr) << krsd_file_open_error();
  if (c.fail_cmd == KRSD_CMD_FINFO) {
    EXPECT_EQ(tb_file_size(f), -1);
    char text[128] = "";
    EXPECT_EQ(tb_file_ctrl(f, TB_FILE_CTRL_LAST_ERROR, text, sizeof text), 1);
    EXPECT_STREQ(text, "Input/output error");
    EXPECT_EQ(tb_file_offset(f), -1) << "a later request is asked again";
  } else {
    EXPECT_EQ(tb_file_size(f), kSize);
    EXPECT_EQ(tb_file_offset(f), 0);
    uint8_t buf[4096];
    EXPECT_EQ(tb_file_read(f, buf, sizeof buf), long(sizeof buf));
    EXPECT_EQ(tb_file_offset(f), long(sizeof buf));
  }
  tb_file_close(f);
}

TEST_F(Opening, OneFlightAgainstBothDaemons) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.query) {
      krsd_test::Daemon d;
      ASSERT_TRUE(d.start({"--map", "/img=" + img_, "--user", "u", "--password", "pw"}));
      open_as(c, "krp://127.0.0.1:" + std::to_string(d.port) + c.path + c.query);
      open_as(c, "krps://127.0.0.1:" + std::to_string(d.tls_port) + c.path + c.query + "&ssl-sha256=" +
                     d.tls_sha256);
    }

    krsd_test::Lies lies;
    lies.fail_cmd = c.fail_cmd;
    lies.fail_errno = fail_errno(c.fail_cmd);
    std::vector<krsd_test::SeenRequest> seen;
    {
      krsd_test::SeqDaemon seq(img_, {}, lies);
      open_as(c, "krp://127.0.0.1:" + std::to_string(seq.port()) + c.path + (c.query ? c.query : ""));
      EXPECT_TRUE(seq.wait_closed(5000));
      seen = seq.seen();
    }
    // The four requests in their order, all of them sent before the first
    // answer (after a failed login or codec the daemon may stop reading);
    // the file information with the handle the open then gave.
    const int order[] = {KRSD_CMD_INIT, KRSD_CMD_IOCTL, KRSD_CMD_OPEN, KRSD_CMD_FINFO};
    ASSERT_FALSE(seen.empty());
    for (size_t i = 0; i < std::min<size_t>(4, seen.size()); ++i) EXPECT_EQ(seen[i].cmd, order[i]) << i;
    EXPECT_GT(seen[0].queued, 0) << "the opening waited for the login's answer";
    if (c.fail_cmd == KRSD_CMD_INIT || c.fail_cmd == KRSD_CMD_IOCTL) continue;
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[3].a, 1);
    // The size is the answer asked with the open; the positions ask again.
    int finfos = 0;
    for (const auto& r : seen) finfos += r.cmd == KRSD_CMD_FINFO;
    EXPECT_EQ(finfos, c.fail_cmd == KRSD_CMD_OPEN ? 1 : c.fail_cmd == KRSD_CMD_FINFO ? 2 : 3);
  }
}

}  // namespace
