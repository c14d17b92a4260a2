#include "krii_logic.h"

#include <cstdio>
#include <iterator>

#include "dd_ewf.h"
#include "dd_hash.h"
#include "dd_record.h"
#include "dd_verify.h"
#include "krii_schema.h"
#include "krsd-client.h"
#include "os/os_log.h"
#include "ssh.h"
#include "tb_file.h"
#include "tb_init.h"

#define KR_LOG_SRC "src\\tool\\krimg\\krii\\kriiDlg"

namespace {

const char* const kStartStopFunc = "CkriiDlg::OnBnClickedStartStopWork";
const char* const kStart = "开始镜像(&S)";
const char* const kStop = "停止镜像(&Q)";
const char* const kStopVerify = "停止校验(&Q)";
// How long a close waits for a stopped job to write its record.
constexpr int64_t kCloseWaitMs = 15000;

// Mirrors the tick of "启用调试(&D)"; off at start, never stored.
bool g_debug = false;

// "1.5M" and the like, without the process-wide buffer of the log's
// formatter (the worker may be using it).
std::string size_text(int64_t n) {
  const char* units = "kMGT";
  double v = static_cast<double>(n);
  int u = -1;
  while (v >= 1024.0 && u < 3) {
    v /= 1024.0;
    ++u;
  }
  char buf[32];
  if (u < 0)
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n));
  else
    snprintf(buf, sizeof buf, "%.1f%c", v, units[u]);
  return buf;
}

std::string bytes_text(int64_t n) { return std::to_string(n) + " 字节 (" + size_text(n) + ")"; }

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string trimmed(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

const int kInputs[] = {IDC_ADDRESS, IDC_USER,     IDC_PASSWD,   IDC_PORT,  IDC_PATH,
                       IDC_BROWSE,  IDC_CONNECT,  IDC_CASE,     IDC_EVIDENCE, IDC_EXAMINER,
                       IDC_NOTES,   IDC_VERIFY,   IDC_FORMAT};

// Where the name of the file at path starts.
size_t name_start(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

// Whether path's name ends in ".E01" in any case, with a name before it.
bool e01_ending_any_case(const std::string& path) {
  if (path.size() < name_start(path) + 5) return false;
  const char* e = path.c_str() + path.size() - 4;
  return e[0] == '.' && (e[1] == 'E' || e[1] == 'e') && e[2] == '0' && e[3] == '1';
}

// path with the ending of an image in the other format: a raw image's
// ending (".img", ".dd", ".raw") or none becomes ".E01"; ".E01" becomes
// ".img". Any other ending stays, and the new one follows it.
std::string with_ending(const std::string& path, bool e01) {
  const size_t dot = path.find_last_of('.');
  std::string stem = path;
  if (dot != std::string::npos && dot > name_start(path)) {
    std::string end = path.substr(dot);
    for (char& c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (end == ".img" || end == ".dd" || end == ".raw" || end == ".e01") stem = path.substr(0, dot);
  }
  return stem + (e01 ? ".E01" : ".img");
}

struct field {
  int id;
  const char* name;
  const char* fallback;
  int limit;
};
// The settings of the group "config", in the order they are read.
const field kFields[] = {
    {IDC_USER, KRII_VALUE_USER, KRII_DEFAULT_USER, KRII_CREDENTIAL_MAX},
    {IDC_PASSWD, KRII_VALUE_PASSWD, KRII_DEFAULT_PASSWD, KRII_CREDENTIAL_MAX},
    {IDC_PORT, KRII_VALUE_PORT, KRII_DEFAULT_PORT, KRII_PORT_MAX},
    {IDC_PATH, KRII_VALUE_PATH, "", 0},
    {IDC_CASE, KRII_VALUE_CASE, "", KRII_CASE_FIELD_MAX},
    {IDC_EVIDENCE, KRII_VALUE_EVIDENCE, "", KRII_CASE_FIELD_MAX},
    {IDC_EXAMINER, KRII_VALUE_EXAMINER, "", KRII_CASE_FIELD_MAX},
    {IDC_NOTES, KRII_VALUE_NOTES, "", KRII_NOTES_MAX},
};

}  // namespace

const krii_format krii_formats[4] = {
    {"RAW (dd)", "raw", false, DD_COMPRESS_FAST},
    {"E01 快速压缩", "e01-fast", true, DD_COMPRESS_FAST},
    {"E01 最佳压缩", "e01-best", true, DD_COMPRESS_BEST},
    {"E01 不压缩", "e01-none", true, DD_COMPRESS_NONE},
};

bool CkriiLogic::ToggleDebug() {
  g_debug = !g_debug;
  os_log_ctl(OS_LOG_SET_LEVEL, g_debug ? OS_LOG_DEBUG : OS_LOG_INFO);
  return g_debug;
}

bool CkriiLogic::DebugEnabled() { return g_debug; }

void CkriiLogic::OnInit() {
  LoadSettings();
  // The deployment worker (it also makes the program's folder the current
  // one), then the imaging engine and its worker.
  ssh_init();
  krsd_init();
  UpdateControlState();
}

void CkriiLogic::LoadSettings() {
  std::string ip;
  if (!store_->get(KRII_GROUP_CONFIG, KRII_VALUE_IP, &ip)) ip = KRII_DEFAULT_IP;
  view_->set_text(IDC_ADDRESS, krii_address_text(krii_parse_address(ip)));
  for (const field& f : kFields) {
    std::string value;
    if (!store_->get(KRII_GROUP_CONFIG, f.name, &value)) value = f.fallback;
    if (f.limit) view_->set_limit(f.id, f.limit);
    view_->set_text(f.id, value);
  }
  std::string format;
  store_->get(KRII_GROUP_CONFIG, KRII_VALUE_FORMAT, &format);
  const krii_format* shown = &krii_formats[0];
  for (const krii_format& f : krii_formats)
    if (format == f.value) shown = &f;
  view_->set_text(IDC_FORMAT, shown->text);
  FormatFromPath();
  last_path_ = view_->text(IDC_PATH);
}

int CkriiLogic::FormatIndex() const {
  const std::string shown = view_->text(IDC_FORMAT);
  for (int i = 0; i < static_cast<int>(std::size(krii_formats)); ++i)
    if (shown == krii_formats[i].text) return i;
  return 0;
}

void CkriiLogic::FormatFromPath() {
  std::string path = view_->text(IDC_PATH);
  if (path.empty()) return;
  const bool e01 = e01_ending_any_case(path);
  if (e01 && !dd_ewf_name(path)) {
    // libewf names the later segments after the first one's ending, and an
    // E01 image is known by ".E01".
    path = with_ending(path, true);
    view_->set_text(IDC_PATH, path);
  }
  if (e01 != krii_formats[FormatIndex()].e01) view_->set_text(IDC_FORMAT, krii_formats[e01 ? 1 : 0].text);
}

void CkriiLogic::OnFormatChosen() {
  const std::string path = view_->text(IDC_PATH);
  if (path.empty()) return;
  const bool e01 = krii_formats[FormatIndex()].e01;
  if (e01 == e01_ending_any_case(path)) return;
  // The same image in the other format: its case fields stay.
  last_path_ = with_ending(path, e01);
  view_->set_text(IDC_PATH, last_path_);
}

void CkriiLogic::SaveSettings() {
  // An empty control keeps what was stored before. The path is stored
  // whole: cut short it would name another file at the next start.
  auto put = [this](const char* name, int id) {
    const std::string v = view_->text(id);
    if (!v.empty()) store_->set(KRII_GROUP_CONFIG, name, v);
  };
  put(KRII_VALUE_PATH, IDC_PATH);
  put(KRII_VALUE_IP, IDC_ADDRESS);
  put(KRII_VALUE_USER, IDC_USER);
  put(KRII_VALUE_PASSWD, IDC_PASSWD);
  put(KRII_VALUE_PORT, IDC_PORT);
  store_->set(KRII_GROUP_CONFIG, KRII_VALUE_FORMAT, krii_formats[FormatIndex()].value);
  // The case fields as they stand: emptied on purpose, they stay empty.
  for (const field& f : kFields)
    if (f.id == IDC_CASE || f.id == IDC_EVIDENCE || f.id == IDC_EXAMINER || f.id == IDC_NOTES)
      store_->set(KRII_GROUP_CONFIG, f.name, view_->text(f.id));
  store_->flush();
}

void CkriiLogic::UpdateControlState() {
  const bool idle = state_ == STATE_IDLE && !closing_;
  for (int id : kInputs) view_->enable(id, idle);
  view_->enable(IDC_START_STOP, state_ != STATE_CONNECTING && !closing_);
  view_->set_text(IDC_START_STOP, state_ == STATE_IMAGING     ? kStop
                                  : state_ == STATE_VERIFYING ? kStopVerify
                                                              : kStart);
  view_->enable(IDC_COPY_HASHES, !view_->text(IDC_MD5).empty());
  view_->enable(IDC_OPEN_FOLDER, !report_.empty());
}

void CkriiLogic::OnBrowse() {
  // It opens in the folder of the last image (else the face's home folder):
  // never in the current folder, which the deployment worker made the
  // program's own.
  std::string folder = folder_of(view_->text(IDC_PATH));
  if (!folder.empty() && tb_file_local_kind(folder.c_str()) != 0) folder.clear();
  std::string chosen;
  if (!view_->choose_image(folder, &chosen) || chosen.empty()) return;
  view_->set_text(IDC_PATH, chosen);
  OnPathEdited();
}

void CkriiLogic::OnPathEdited() {
  FormatFromPath();
  const std::string path = view_->text(IDC_PATH);
  if (path == last_path_) return;
  last_path_ = path;
  view_->set_text(IDC_CASE, "");
  view_->set_text(IDC_EVIDENCE, "");
}

void CkriiLogic::OnConnect() {
  const std::string ip = view_->text(IDC_ADDRESS);
  const int port = krii_port_from_text(view_->text(IDC_PORT));
  // Handed on whole, also a longer stored value: a credential cut short
  // would only fail the login; the deployment refuses it with its outcome
  // line instead.
  const std::string user = view_->text(IDC_USER), passwd = view_->text(IDC_PASSWD);
  ssh_request_init_dev(ip.c_str(), port, user.c_str(), passwd.c_str());
  state_ = STATE_CONNECTING;
  UpdateControlState();
}

bool CkriiLogic::AskResume(const std::string& path, int* resume) {
  *resume = 0;
  const dd_image_facts f = dd_image_facts_of(path);
  if (!f.exists || f.size <= 0) return true;  // an empty file is simply written
  std::string q = path + " 存在，是否继续断点镜像\n\n镜像 " + bytes_text(f.size);
  if (f.record)
    q += ", 分段记录覆盖其中 " + bytes_text(f.recorded) + (f.recorded < f.size ? "; 其余部分将从设备重新读取并比对" : "");
  else
    q += ", 没有分段记录: 全部数据将从设备重新读取并比对";
  if (f.complete) q += "\n此镜像已完整 (MD5 " + f.md5 + ")";
  q += "\n\n是: 继续断点镜像    否: 覆盖重新镜像    取消: 不做任何操作";
  const int a = view_->ask(q, KRII_ASK_YES_NO_CANCEL, KRII_YES);
  if (a == KRII_YES) {
    KR_LOGF(OS_LOG_INFO, "krsd_outfile_ask_continue", "偏移文件: %lld (%s)\n", static_cast<long long>(f.size),
            size_text(f.size).c_str());
    *resume = 1;
    return true;
  }
  if (a == KRII_NO) {
    // Overwriting destroys what an earlier job acquired: asked once more,
    // with what would be lost, and No is the preset.
    const std::string started = f.started.empty() ? "未知" : f.started;
    const std::string source = f.source.empty() ? "未知" : f.source;
    const std::string q2 = "确定要覆盖已有镜像吗? 其中的数据将丢失。\n\n" + path + "\n大小: " + bytes_text(f.size) +
                           "\n开始于: " + started + "\n源: " + source;
    if (view_->ask(q2, KRII_ASK_YES_NO, KRII_NO) == KRII_YES) {
      KR_LOGF(OS_LOG_INFO, kStartStopFunc, "覆盖已有镜像: %s (%lld 字节, 开始于 %s)\n", path.c_str(),
              static_cast<long long>(f.size), started.c_str());
      return true;
    }
  }
  KR_LOGF(OS_LOG_INFO, kStartStopFunc, "未开始镜像: 已有镜像保持不变\n");
  return false;
}

void CkriiLogic::OnStartStop() {
  if (state_ != STATE_IDLE) {
    if (state_ == STATE_IMAGING || state_ == STATE_VERIFYING) {
      KR_LOGF(OS_LOG_INFO, kStartStopFunc, state_ == STATE_IMAGING ? "请求停止镜像\n" : "请求停止校验\n");
      krsd_stop();
    }
    UpdateControlState();
    return;
  }
  if (view_->text(IDC_PATH).empty()) {
    KR_LOGF(OS_LOG_INFO, kStartStopFunc, "请选择镜像文件的存放路径\n");
    return;
  }
  OnPathEdited();  // which may give an E01 name its ".E01"
  const std::string path = view_->text(IDC_PATH);
  char url[300];
  snprintf(url, sizeof url, source_format_.c_str(), view_->text(IDC_ADDRESS).c_str());
  KR_LOGF(OS_LOG_INFO, kStartStopFunc, "开始镜像[%s] 到 [%s]\n", url, path.c_str());
  int resume = 0;
  if (!AskResume(path, &resume)) return;
  dd_case_info info;
  info.program = "krii";
  info.case_id = trimmed(view_->text(IDC_CASE));
  info.evidence = trimmed(view_->text(IDC_EVIDENCE));
  info.examiner = trimmed(view_->text(IDC_EXAMINER));
  info.notes = view_->text(IDC_NOTES);
  dd_case_set(info);
  // The name decides the format (OnPathEdited made the list follow it), the
  // list the compression; the segment size is the default.
  const krii_format& chosen = krii_formats[FormatIndex()];
  dd_image_format format;
  format.kind = dd_ewf_name(path) ? DD_FORMAT_E01 : DD_FORMAT_RAW;
  format.compress = chosen.e01 ? chosen.compress : DD_COMPRESS_FAST;
  dd_format_set(format);
  ShowOutcome(false, "", "", "");
  krsd_get_file(url, path.c_str(), resume);
  state_ = STATE_IMAGING;
  UpdateControlState();
}

void CkriiLogic::OnVerify() {
  if (state_ != STATE_IDLE) return;
  const std::string path = view_->text(IDC_PATH);
  if (path.empty()) {
    KR_LOGF(OS_LOG_INFO, kStartStopFunc, "请选择镜像文件的存放路径\n");
    return;
  }
  ShowOutcome(false, "", "", "");
  if (krsd_verify_file(path.c_str(), "krii") != 0) return;
  state_ = STATE_VERIFYING;
  UpdateControlState();
}

void CkriiLogic::ShowOutcome(bool have, const std::string& md5, const std::string& sha256,
                             const std::string& report) {
  view_->set_text(IDC_MD5, have ? md5 : "");
  view_->set_text(IDC_SHA256, have ? sha256 : "");
  report_ = report;
  view_->set_text(IDC_REPORT, report);
}

void CkriiLogic::Finished(int state) {
  if (state == STATE_IMAGING) {
    const dd_job_summary s = dd_last_job();
    ShowOutcome(s.complete, dd_hex(s.whole.md5), dd_hex(s.whole.sha256), s.report_path);
  } else if (state == STATE_VERIFYING) {
    const dd_verify_result v = krsd_last_verify();
    const std::string path = view_->text(IDC_PATH);
    ShowOutcome(v.hashed, dd_hex(v.digests.md5), dd_hex(v.digests.sha256),
                tb_file_local_kind((path + ".txt").c_str()) == 1 ? path + ".txt" : "");
  }
}

void CkriiLogic::OnTimer() {
  if (state_ != STATE_IDLE) {
    const int busy = state_ == STATE_CONNECTING ? ssh_is_busy() : krsd_is_busy();
    if (busy == 0) {
      Finished(state_);
      state_ = STATE_IDLE;
    } else if (state_ == STATE_IMAGING) {
      krsd_status_tick();
    }
  }
  UpdateControlState();
  if (closing_ && !closed_ && (state_ == STATE_IDLE || tb_clock_ms() > close_deadline_ms_)) {
    CloseSteps();
    view_->end_dialog();
  }
}

void CkriiLogic::OnCopyHashes() {
  const std::string md5 = view_->text(IDC_MD5);
  if (md5.empty()) return;
  view_->copy_text("MD5: " + md5 + "\nSHA-256: " + view_->text(IDC_SHA256) + "\n");
}

void CkriiLogic::OnOpenFolder() {
  if (!report_.empty()) view_->open_folder(folder_of(report_).empty() ? "." : folder_of(report_));
}

void CkriiLogic::CloseSteps() {
  if (closed_) return;
  closed_ = true;
  // The workers are told to quit but not waited for; what still runs ends
  // with the process.
  ssh_exit();
  krsd_exit();
  SaveSettings();
}

bool CkriiLogic::OnClose() {
  if (closed_) return true;
  if (closing_) return false;  // the job is being stopped; the timer ends the dialog
  if (state_ != STATE_IDLE) {
    const char* q = state_ == STATE_CONNECTING
                        ? "设备正在初始化。关闭窗口将结束初始化。\n\n确定要关闭吗?"
                    : state_ == STATE_VERIFYING
                        ? "镜像正在校验。关闭窗口将停止校验, 镜像不受影响。\n\n确定要关闭吗?"
                        : "镜像正在进行。关闭窗口将停止镜像; 已写入的数据和记录会保留, 以后可以继续断点镜像。\n\n确定要关闭吗?";
    if (view_->ask(q, KRII_ASK_YES_NO, KRII_NO) != KRII_YES) return false;
    if (state_ != STATE_CONNECTING) {
      // The job ends at its next block and writes its record; the dialog
      // ends after it, or after a while in any case.
      KR_LOGF(OS_LOG_INFO, kStartStopFunc, state_ == STATE_IMAGING ? "请求停止镜像\n" : "请求停止校验\n");
      krsd_stop();
      closing_ = true;
      close_deadline_ms_ = tb_clock_ms() + kCloseWaitMs;
      UpdateControlState();
      return false;
    }
  }
  CloseSteps();
  return true;
}
