// The dialog's logic without any toolkit: a recording face, an in-memory
// store, the real engine and deployment worker. The question cases and the
// state cases as tables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <map>
#include <tuple>
#include <thread>

#include "dd_ewf.h"
#include "engine_fixture.h"
#include "krii_logic.h"
#include "krii_schema.h"
#include "krsd-client.h"
#include "ssh.h"
#include "tb_init.h"

namespace {

// Records what the logic does to the controls and answers its questions
// from a script.
class RecordingView : public krii_view {
 public:
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::map<int, int> limits;
  std::vector<std::string> asked;
  std::deque<int> answers;  // next answers; an empty script answers No
  std::string chosen;       // the Save-As dialog's answer ("" cancels)
  std::string copied, opened;
  int ended = 0;

  std::string text(int id) const override {
    auto it = texts.find(id);
    return it == texts.end() ? "" : it->second;
  }
  void set_text(int id, const std::string& t) override { texts[id] = t; }
  void enable(int id, bool on) override { enabled[id] = on; }
  void set_limit(int id, int chars) override { limits[id] = chars; }
  void set_progress(int) override {}
  int ask(const std::string& t, int, int) override {
    asked.push_back(t);
    if (answers.empty()) return KRII_NO;
    const int a = answers.front();
    answers.pop_front();
    return a;
  }
  bool choose_image(const std::string&, std::string* path) override {
    *path = chosen;
    return !chosen.empty();
  }
  void open_folder(const std::string& f) override { opened = f; }
  void copy_text(const std::string& t) override { copied = t; }
  void end_dialog() override { ++ended; }
};

class MemoryStore : public krii_store {
 public:
  std::map<std::string, std::string> values;
  bool get(const char* g, const char* n, std::string* v) override {
    auto it = values.find(std::string(g) + "/" + n);
    if (it == values.end()) return false;
    *v = it->second;
    return true;
  }
  void set(const char* g, const char* n, const std::string& v) override { values[std::string(g) + "/" + n] = v; }
  void flush() override {}
};

class LogicTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tb_init(nullptr, nullptr, 0, 0); }
  // A close tells the workers to quit; they end before the process does.
  static void TearDownTestSuite() {
    ssh_exit();
    krsd_exit();
    ssh_wait_exit();
    krsd_join();
  }
  void SetUp() override {
    kit::log_capture_start();
    data_ = kit::pattern(700001, 4);
    kit::write_file(tmp_.file("dev-127.0.0.1"), data_);
    store_.values["config/ip"] = "127.0.0.1";
    store_.values["config/LastImgFile"] = img_;
    logic_.set_source_format(tmp_.file("dev-%s"));
    logic_.OnInit();
  }
  // Ticks the timer until the work ended (at most 20 s).
  void wait_idle() {
    for (int i = 0; i < 2000 && logic_.state() != CkriiLogic::STATE_IDLE; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      logic_.OnTimer();
    }
    ASSERT_EQ(logic_.state(), CkriiLogic::STATE_IDLE) << kit::log_dump();
  }

  kit::TempDir tmp_;
  std::string img_ = tmp_.file("phone.dd");
  std::string data_;
  RecordingView view_;
  MemoryStore store_;
  CkriiLogic logic_{&view_, &store_};
};

// What is done with an image that already holds data: continued on Yes;
// overwritten only after a second, explicit Yes; anything else (Escape, the
// box closed, No twice) changes nothing and starts nothing.
TEST_F(LogicTest, AnImageThatHoldsDataIsOverwrittenOnlyWhenAskedTwice) {
  struct Case {
    const char* name;
    std::vector<int> answers;
    bool starts;
    const char* line;  // logged
  } cases[] = {
      {"continue", {KRII_YES}, true, "偏移文件: "},
      {"Escape", {KRII_CANCEL}, false, "未开始镜像: 已有镜像保持不变\n"},
      {"No, then No", {KRII_NO, KRII_NO}, false, "未开始镜像: 已有镜像保持不变\n"},
      {"No, then Yes", {KRII_NO, KRII_YES}, true, "覆盖已有镜像: "},
  };
  const std::string part = data_.substr(0, 204800);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kit::write_file(img_, part);
    view_.asked.clear();
    view_.answers.assign(c.answers.begin(), c.answers.end());
    kit::log_clear();
    logic_.OnStartStop();
    ASSERT_EQ(view_.asked.size(), c.answers.size());
    // The question names the image's size and how much its record covers;
    // the second one what would be lost.
    EXPECT_EQ(view_.asked[0].rfind(img_ + " 存在，是否继续断点镜像\n", 0), 0u) << view_.asked[0];
    EXPECT_NE(view_.asked[0].find("镜像 204800 字节 (200.0k)"), std::string::npos) << view_.asked[0];
    if (c.answers.size() > 1) {
      EXPECT_NE(view_.asked[1].find("大小: 204800 字节"), std::string::npos);
    }
    EXPECT_EQ(kit::log_count_prefix(c.line), 1) << kit::log_dump();
    if (!c.starts) {
      EXPECT_EQ(logic_.state(), CkriiLogic::STATE_IDLE);
      EXPECT_EQ(kit::read_file(img_), part);
      continue;
    }
    EXPECT_EQ(logic_.state(), CkriiLogic::STATE_IMAGING);
    wait_idle();
    EXPECT_EQ(kit::read_file(img_), data_);
  }
  // A complete image says so; no image, or an empty one, is simply begun.
  view_.asked.clear();
  view_.answers = {KRII_CANCEL};
  logic_.OnStartStop();
  ASSERT_EQ(view_.asked.size(), 1u);
  EXPECT_NE(view_.asked[0].find("此镜像已完整 (MD5 " + kt::md5_hex(data_) + ")"), std::string::npos)
      << view_.asked[0];
  for (const char* prepare : {"missing", "empty"}) {
    SCOPED_TRACE(prepare);
    std::remove(img_.c_str());
    if (std::string(prepare) == "empty") kit::write_file(img_, "");
    view_.asked.clear();
    logic_.OnStartStop();
    EXPECT_TRUE(view_.asked.empty());
    wait_idle();
    EXPECT_EQ(kit::read_file(img_), data_);
  }
}

// The work state decides what can be used; the end of a job or a
// verification shows its hashes and report.
TEST_F(LogicTest, WorkStatesAndTheirControls) {
  const int inputs[] = {IDC_ADDRESS, IDC_PATH, IDC_BROWSE, IDC_CONNECT, IDC_CASE, IDC_VERIFY};
  struct Step {
    const char* name;
    std::function<void()> act;
    int state;
    const char* caption;
    bool start_enabled;
  } steps[] = {
      {"start", [&] { logic_.OnStartStop(); }, CkriiLogic::STATE_IMAGING, "停止镜像(&Q)", true},
      {"verify", [&] { logic_.OnVerify(); }, CkriiLogic::STATE_VERIFYING, "停止校验(&Q)", true},
      {"connect", [&] {
         view_.texts[IDC_PORT] = "1";  // nothing listens there: it fails at once
         logic_.OnConnect();
       },
       CkriiLogic::STATE_CONNECTING, "开始镜像(&S)", false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.act();
    EXPECT_EQ(logic_.state(), s.state);
    for (int id : inputs) EXPECT_FALSE(view_.enabled[id]) << id;
    EXPECT_EQ(view_.enabled[IDC_START_STOP], s.start_enabled);
    EXPECT_EQ(view_.texts[IDC_START_STOP], s.caption);
    // Nothing ends the dialog by a key meanwhile, and Enter presses nothing.
    EXPECT_FALSE(logic_.MayEndByKey());
    EXPECT_FALSE(logic_.EnterClicks());
    wait_idle();
    for (int id : inputs) EXPECT_TRUE(view_.enabled[id]) << id;
    EXPECT_EQ(view_.texts[IDC_START_STOP], "开始镜像(&S)");
    if (s.state == CkriiLogic::STATE_CONNECTING) continue;
    EXPECT_EQ(view_.texts[IDC_MD5], kt::md5_hex(data_));
    EXPECT_EQ(view_.texts[IDC_SHA256], kt::sha256_hex(data_));
    EXPECT_EQ(view_.texts[IDC_REPORT], img_ + ".txt");
    logic_.OnCopyHashes();
    EXPECT_EQ(view_.copied, "MD5: " + kt::md5_hex(data_) + "\nSHA-256: " + kt::sha256_hex(data_) + "\n");
    logic_.OnOpenFolder();
    EXPECT_EQ(view_.opened, img_.substr(0, img_.rfind('/')));
  }
  EXPECT_EQ(kit::log_count_prefix("镜像校验一致: "), 1) << kit::log_dump();
  // Start with an empty path says so, once, and nothing else happens.
  view_.texts[IDC_PATH] = "";
  kit::log_clear();
  logic_.OnStartStop();
  EXPECT_EQ(kit::log_lines(), std::vector<std::string>{"请选择镜像文件的存放路径\n"});
  EXPECT_EQ(logic_.state(), CkriiLogic::STATE_IDLE);
}

// The format list and the image's name agree whichever of them the
// examiner changes last; the name is never left saying another format.
TEST_F(LogicTest, TheFormatListAndTheNameFollowEachOther) {
  const char* raw = krii_formats[0].text;
  const char* fast = krii_formats[1].text;
  const char* best = krii_formats[2].text;
  struct Case {
    const char* format;  // shown before
    const char* path;    // typed, or there before a choice
    const char* chosen;  // chosen from the list afterwards, or nullptr
    const char* want_path;
    const char* want_format;
  } cases[] = {
      {raw, "/cases/phone.E01", nullptr, "/cases/phone.E01", fast},
      {raw, "/cases/phone.e01", nullptr, "/cases/phone.E01", fast},
      {best, "/cases/phone.E01", nullptr, "/cases/phone.E01", best},
      {fast, "/cases/phone.img", nullptr, "/cases/phone.img", raw},
      {fast, "/cases/.e01", nullptr, "/cases/.e01", raw},
      {raw, "/cases/phone.dd", best, "/cases/phone.E01", best},
      {raw, "/cases/phone", fast, "/cases/phone.E01", fast},
      {raw, "/cases/v1.2/case.2026", fast, "/cases/v1.2/case.2026.E01", fast},
      {fast, "/cases/phone.E01", raw, "/cases/phone.img", raw},
      {raw, "", fast, "", fast},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.chosen ? std::string(" then ") + c.chosen : ""));
    view_.texts[IDC_CASE] = "2026-117";
    view_.texts[IDC_FORMAT] = c.format;
    view_.texts[IDC_PATH] = c.path;
    logic_.OnPathEdited();
    view_.texts[IDC_CASE] = "2026-117";
    if (c.chosen) {
      view_.texts[IDC_FORMAT] = c.chosen;
      logic_.OnFormatChosen();
      EXPECT_EQ(view_.texts[IDC_CASE], "2026-117");  // the same image, other format
    }
    EXPECT_EQ(view_.texts[IDC_PATH], c.want_path);
    EXPECT_EQ(view_.texts[IDC_FORMAT], c.want_format);
  }
  // A stored choice that disagrees with the stored name gives way to it.
  for (const auto& [stored, path, want] : {std::tuple{"e01-best", "/c/phone.E01", best},
                                          std::tuple{"e01-best", "/c/phone.dd", raw},
                                          std::tuple{"bogus", "/c/phone.E01", fast}}) {
    store_.values["config/ImageFormat"] = stored;
    store_.values["config/LastImgFile"] = path;
    RecordingView view;
    CkriiLogic logic(&view, &store_);
    logic.OnInit();
    EXPECT_EQ(view.texts[IDC_FORMAT], want) << stored << " " << path;
  }
}

// A name ending in .E01 makes an E01 image with the list's compression,
// then a raw one again for another name; verify reads the E01's media.
TEST_F(LogicTest, TheImagesNameChoosesItsFormat) {
  const std::string e01 = tmp_.file("phone.E01");
  for (const std::string& path : {e01, img_}) {
    SCOPED_TRACE(path);
    view_.texts[IDC_FORMAT] = krii_formats[2].text;
    view_.texts[IDC_PATH] = path;
    logic_.OnStartStop();
    wait_idle();
    EXPECT_EQ(dd_format_get().kind, path == e01 ? DD_FORMAT_E01 : DD_FORMAT_RAW);
    EXPECT_EQ(dd_format_get().compress, path == e01 ? DD_COMPRESS_BEST : DD_COMPRESS_FAST);
    EXPECT_EQ(dd_ewf_is_image(path), path == e01);
    EXPECT_EQ(view_.texts[IDC_MD5], kt::md5_hex(data_));
  }
  view_.texts[IDC_PATH] = e01;
  kit::log_clear();
  logic_.OnVerify();
  wait_idle();
  EXPECT_EQ(kit::log_count_prefix("镜像校验一致: "), 1) << kit::log_dump();
}

// Closing while a job runs asks first; Yes stops the job, which writes its
// record, and the dialog ends after it. The settings are stored once.
TEST_F(LogicTest, CloseWhileAJobRunsAsksAndEndsAfterTheStop) {
  view_.texts[IDC_CASE] = "2026-117";
  view_.texts[IDC_EXAMINER] = "王芳";
  // A source that keeps silent: the job waits until it is stopped.
  const std::string fifo = tmp_.file("dev-127.0.0.1");
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  logic_.OnStartStop();
  ASSERT_EQ(logic_.state(), CkriiLogic::STATE_IMAGING);
  view_.answers = {KRII_NO};
  EXPECT_FALSE(logic_.OnClose());
  EXPECT_EQ(view_.asked.size(), 1u);
  EXPECT_NE(view_.asked[0].find("以后可以继续断点镜像"), std::string::npos);
  EXPECT_EQ(view_.ended, 0);
  view_.answers = {KRII_YES};
  EXPECT_FALSE(logic_.OnClose());
  EXPECT_TRUE(logic_.closing());
  EXPECT_FALSE(view_.enabled[IDC_START_STOP]);
  for (int i = 0; i < 2000 && !view_.ended; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    logic_.OnTimer();
  }
  EXPECT_EQ(view_.ended, 1);
  EXPECT_EQ(logic_.state(), CkriiLogic::STATE_IDLE);
  EXPECT_EQ(kit::log_count_prefix("镜像已停止: "), 1) << kit::log_dump();
  EXPECT_EQ(store_.values["config/CaseNumber"], "2026-117");
  EXPECT_EQ(store_.values["config/Examiner"], "王芳");
  EXPECT_TRUE(logic_.OnClose());  // after the end, a close does nothing more
  EXPECT_EQ(view_.ended, 1);
  close(writer);
}

// The settings in and out: defaults, limits, the case fields, and a new
// image path that clears the numbers of the last case.
TEST_F(LogicTest, SettingsAndCaseFields) {
  EXPECT_EQ(view_.texts[IDC_ADDRESS], "127.0.0.1");
  EXPECT_EQ(view_.texts[IDC_USER], KRII_DEFAULT_USER);
  EXPECT_EQ(view_.texts[IDC_PASSWD], KRII_DEFAULT_PASSWD);
  EXPECT_EQ(view_.texts[IDC_PORT], KRII_DEFAULT_PORT);
  EXPECT_EQ(view_.limits[IDC_PASSWD], KRII_CREDENTIAL_MAX);
  EXPECT_EQ(view_.limits[IDC_PORT], KRII_PORT_MAX);
  view_.texts[IDC_CASE] = "A-1";
  view_.texts[IDC_EVIDENCE] = "E-1";
  view_.texts[IDC_EXAMINER] = "Wang";
  view_.chosen = tmp_.file("other.dd");
  logic_.OnBrowse();
  EXPECT_EQ(view_.texts[IDC_PATH], tmp_.file("other.dd"));
  EXPECT_EQ(view_.texts[IDC_CASE], "");
  EXPECT_EQ(view_.texts[IDC_EVIDENCE], "");
  EXPECT_EQ(view_.texts[IDC_EXAMINER], "Wang");
  // A cancelled Save-As changes nothing.
  view_.chosen.clear();
  logic_.OnBrowse();
  EXPECT_EQ(view_.texts[IDC_PATH], tmp_.file("other.dd"));
  // An emptied user keeps what was stored; an emptied case field is stored empty.
  view_.texts[IDC_USER] = "";
  store_.values["config/user"] = "examiner";
  EXPECT_TRUE(logic_.OnClose());
  EXPECT_EQ(store_.values["config/user"], "examiner");
  EXPECT_EQ(store_.values["config/LastImgFile"], tmp_.file("other.dd"));
  EXPECT_EQ(store_.values["config/CaseNumber"], "");
}

}  // namespace
