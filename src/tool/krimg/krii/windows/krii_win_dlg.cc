#include "krii_win_dlg.h"

#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <mutex>

#include "krii_ids.h"
#include "krii_product.h"
#include "krii_res.h"
#include "krii_schema.h"
#include "krii_win_queue.h"
#include "krii_win_text.h"
#include "krsd_ui.h"
#include "os/os_log.h"
#include "ssh.h"

#define KR_LOG_SRC "src\\tool\\krimg\\krii\\kriiDlg"

namespace {

// The queue's work for the UI thread, a question from another thread, and
// the autostart.
constexpr UINT WM_KRII_DRAIN = WM_APP + 1;
constexpr UINT WM_KRII_ASK = WM_APP + 2;
constexpr UINT WM_KRII_AUTOSTART = WM_APP + 3;

// The dialog a question from another thread goes to, and the UI thread.
std::mutex g_ask_mu;
HWND g_ask_hwnd = nullptr;  // guarded by g_ask_mu
DWORD g_ui_thread = 0;      // guarded by g_ask_mu

// The dialog the queued work acts on: set and read on the UI thread only,
// while the queue is attached.
CkriiDlg* g_dlg = nullptr;

struct ask_request {
  std::string text;
  int buttons, preset;
  int answer = KRII_NO;
};

std::wstring caption() {
  std::wstring s = krii_wide(KRII_PRODUCT_TITLE) + L" - V" + krii_wide(KRII_VERSION);
  if (s.size() > static_cast<size_t>(KRII_CAPTION_MAX)) s.resize(KRII_CAPTION_MAX);
  return s;
}

std::wstring window_text(HWND w) {
  const int n = GetWindowTextLengthW(w);
  if (n <= 0) return {};
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(w, s.data(), n + 1);
  s.resize(static_cast<size_t>(std::max(got, 0)));
  return s;
}

bool is_file_name(int id) { return id == IDC_PATH || id == IDC_REPORT; }

// --- the question box --------------------------------------------------------

// A message box with Yes and No has no Cancel: the system ignores Escape
// and greys the close box. Both are No here, as in every other face: the
// box is subclassed when it is activated.
const wchar_t* const kBoxProp = L"krii.box";
thread_local HHOOK t_box_hook = nullptr;

LRESULT CALLBACK box_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  const auto base = reinterpret_cast<WNDPROC>(GetPropW(h, kBoxProp));
  if (m == WM_COMMAND && LOWORD(w) == IDCANCEL && !GetDlgItem(h, IDCANCEL)) {
    EndDialog(h, IDNO);
    return 0;
  }
  if (m == WM_NCDESTROY) {
    SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(base));
    RemovePropW(h, kBoxProp);
  }
  return CallWindowProcW(base, h, m, w, l);
}

LRESULT CALLBACK box_hook(int code, WPARAM w, LPARAM l) {
  const HHOOK hook = t_box_hook;
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(w);
    wchar_t cls[8] = L"";
    if (GetClassNameW(box, cls, 8) && std::wcscmp(cls, L"#32770") == 0 && !GetPropW(box, kBoxProp)) {
      SetPropW(box, kBoxProp, reinterpret_cast<HANDLE>(GetWindowLongPtrW(box, GWLP_WNDPROC)));
      SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&box_proc));
      if (!GetDlgItem(box, IDCANCEL)) EnableMenuItem(GetSystemMenu(box, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
      UnhookWindowsHookEx(hook);
      t_box_hook = nullptr;
    }
  }
  return CallNextHookEx(hook, code, w, l);
}

// A modal question under the dialog's title, on the UI thread.
int ask_box(HWND owner, const std::wstring& text, int buttons, int preset) {
  const bool three = buttons == KRII_ASK_YES_NO_CANCEL;
  UINT type = MB_ICONQUESTION | (three ? MB_YESNOCANCEL : MB_YESNO);
  type |= preset == KRII_YES ? MB_DEFBUTTON1 : preset == KRII_NO || !three ? MB_DEFBUTTON2 : MB_DEFBUTTON3;
  t_box_hook = SetWindowsHookExW(WH_CBT, &box_hook, nullptr, GetCurrentThreadId());
  const int r = MessageBoxW(owner, text.c_str(), caption().c_str(), type);
  if (t_box_hook) UnhookWindowsHookEx(t_box_hook);
  t_box_hook = nullptr;
  if (r == IDYES) return KRII_YES;
  if (r == IDNO || !three) return KRII_NO;
  return KRII_CANCEL;
}

// --- the engine's and the deployment's hooks ------------------------------------

// They run on the workers and only post the work to the UI thread: a hook
// that arrives after the dialog detached itself does nothing.
void hook_set_status(const char* text) {
  std::string s = text ? text : "";
  ui_queue::instance().post([s] {
    if (g_dlg) g_dlg->SetStatus(s);
  });
}

void hook_set_progress(int percent) {
  ui_queue::instance().post([percent] {
    if (g_dlg) g_dlg->SetProgress(percent);
  });
}

void hook_flash_if_disabled() {
  ui_queue::instance().post([] {
    if (g_dlg) g_dlg->FlashIfDisabled();
  });
}

// The engine's own resume question (the dialog asks its own before a job).
int hook_ask_yes_no(const char* question) {
  return CkriiDlg::AskAnyThread(question ? question : "", KRII_ASK_YES_NO, KRII_YES) == KRII_YES;
}

// The deployment worker's question about a host key the SSH tools do not
// know yet. Trusting it is the examiner's decision, so No is the default.
bool hook_trust_hostkey(const char* host, int port, const char* fingerprint) {
  const std::string q = std::string("设备 ") + (host ? host : "") + " (端口 " + std::to_string(port) +
                        ") 的 SSH 主机密钥未知, 指纹:\n\n" + (fingerprint ? fingerprint : "") +
                        "\n\n请与设备上的指纹核对。信任此密钥并继续连接吗?";
  return CkriiDlg::AskAnyThread(q, KRII_ASK_YES_NO, KRII_NO) == KRII_YES;
}

const krsd_ui_ops kDialogOps = {hook_set_status, hook_set_progress, hook_flash_if_disabled, hook_ask_yes_no};

// --- the about box ------------------------------------------------------------------

INT_PTR CALLBACK about_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_INITDIALOG: {
      SetDlgItemTextW(h, IDC_ABOUT_TITLE, caption().c_str());
      SetDlgItemTextW(h, IDC_ABOUT_COPYRIGHT, krii_wide(KRII_COPYRIGHT).c_str());
      const std::wstring url = krii_wide(KRII_WEB_ADDRESS);
      SetDlgItemTextW(h, IDC_ABOUT_LINK, (L"<a href=\"" + url + L"\">" + url + L"</a>").c_str());
      return TRUE;
    }
    case WM_NOTIFY: {
      const auto* n = reinterpret_cast<const NMHDR*>(l);
      if (n->idFrom == IDC_ABOUT_LINK && (n->code == NM_CLICK || n->code == NM_RETURN)) {
        const auto* link = reinterpret_cast<const NMLINK*>(l);
        ShellExecuteW(h, L"open", link->item.szUrl, nullptr, nullptr, SW_SHOWNORMAL);
        return TRUE;
      }
      break;
    }
    case WM_COMMAND:
      if (LOWORD(w) == IDOK || LOWORD(w) == IDCANCEL) {
        EndDialog(h, LOWORD(w));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

void krii_configure_logging() {
  os_log_ctl(OS_LOG_SET_LEVEL_NAME, "info");
  os_log_ctl(OS_LOG_SET_PREFIX_NAMES, "time");
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_INFO);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &ui_log_append);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, &ui_log_append);
}

CkriiDlg::CkriiDlg() : logic_(this, &store_) {}

CkriiDlg::~CkriiDlg() = default;

void CkriiDlg::DoModal(HINSTANCE instance, bool autostart) {
  instance_ = instance;
  autostart_ = autostart;
  if (DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_KRII_DIALOG), nullptr, &Proc, reinterpret_cast<LPARAM>(this)) ==
      -1) {
    // Without its window the program would end without a word.
    const std::wstring why = L"无法创建对话框 (错误 " + std::to_wstring(GetLastError()) + L")";
    MessageBoxW(nullptr, why.c_str(), caption().c_str(), MB_ICONERROR | MB_OK);
  }
}

int CkriiDlg::AskAnyThread(const std::string& text, int buttons, int preset) {
  HWND hwnd;
  DWORD ui;
  {
    std::lock_guard<std::mutex> lock(g_ask_mu);
    hwnd = g_ask_hwnd;
    ui = g_ui_thread;
  }
  if (!hwnd) return KRII_NO;
  if (GetCurrentThreadId() == ui) return ask_box(hwnd, krii_wide_mixed(text, GetACP()), buttons, preset);
  // The UI thread answers while it handles its messages, also inside its
  // modal loops; a window destroyed meanwhile answers 0 at once.
  ask_request req{text, buttons, preset};
  if (!SendMessageW(hwnd, WM_KRII_ASK, 0, reinterpret_cast<LPARAM>(&req))) return KRII_NO;
  return req.answer;
}

INT_PTR CALLBACK CkriiDlg::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CkriiDlg*>(lp);
    SetWindowLongPtrW(hwnd, DWLP_USER, lp);
    self->hwnd_ = hwnd;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CkriiDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  return self ? self->OnMessage(msg, wp, lp) : FALSE;
}

INT_PTR CkriiDlg::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wp), HIWORD(wp));
      return TRUE;
    case WM_SYSCOMMAND:
      return OnSysCommand(wp);
    case WM_TIMER:
      if (wp == TIMER_ID) {
        logic_.OnTimer();
        // Everything that had the focus may have been disabled meanwhile.
        if (hwnd_ && !GetFocus() && GetActiveWindow() == hwnd_) SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
      }
      return TRUE;
    case WM_CLOSE:
      OnCloseBox();
      return TRUE;
    case WM_SIZE:
      OnSize();
      return FALSE;
    case WM_GETMINMAXINFO:
      if (min_window_.cx > 0) {
        auto* mm = reinterpret_cast<MINMAXINFO*>(lp);
        mm->ptMinTrackSize.x = min_window_.cx;
        mm->ptMinTrackSize.y = min_window_.cy;
      }
      return TRUE;
    case WM_KRII_DRAIN:
      ui_queue::instance().drain([this](const std::string& lines) {
        log_.Append(krii_wide_mixed(lines, GetACP()));
      });
      return TRUE;
    case WM_KRII_ASK: {
      auto* req = reinterpret_cast<ask_request*>(lp);
      req->answer = ask(req->text, req->buttons, req->preset);
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 1);
      return TRUE;
    }
    case WM_KRII_AUTOSTART:
      logic_.OnStartStop();
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    default:
      return FALSE;
  }
}

BOOL CkriiDlg::OnInitDialog() {
  // The first size is the smallest one; a size grip sits in the corner.
  RECT client, window;
  GetClientRect(hwnd_, &client);
  GetWindowRect(hwnd_, &window);
  base_client_ = {client.right, client.bottom};
  min_window_ = {window.right - window.left, window.bottom - window.top};
  const int gx = GetSystemMetrics(SM_CXVSCROLL), gy = GetSystemMetrics(SM_CYHSCROLL);
  grip_ = CreateWindowExW(0, L"SCROLLBAR", nullptr, WS_CHILD | WS_VISIBLE | SBS_SIZEGRIP | SBS_SIZEBOXBOTTOMRIGHTALIGN,
                          client.right - gx, client.bottom - gy, gx, gy, hwnd_, nullptr, instance_, nullptr);
  // The format list's entries; the logic chooses one from the settings.
  for (const krii_format& f : krii_formats)
    SendMessageW(item(IDC_FORMAT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(krii_wide(f.text).c_str()));
  SendMessageW(item(IDC_FORMAT), CB_SETCURSEL, 0, 0);

  // The system menu's own items, when the about text is there.
  wchar_t about[64] = L"";
  if (LoadStringW(instance_, IDS_ABOUTBOX, about, 64) > 0) {
    HMENU sys = GetSystemMenu(hwnd_, FALSE);
    AppendMenuW(sys, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(sys, MF_STRING | (CkriiLogic::DebugEnabled() ? MF_CHECKED : 0), IDM_DEBUG, L"启用调试(&D)");
    AppendMenuW(sys, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(sys, MF_STRING, IDM_ABOUTBOX, about);
  }
  HICON big = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  HICON small = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

  // Anchors against the first size: (left/top) and (right/bottom) move by
  // these shares of the change in width and height.
  for (int id : {IDC_GROUP_CONNECTION, IDC_PATH, IDC_GROUP_IMAGE, IDC_GROUP_CASE, IDC_NOTES, IDC_STATUS,
                 IDC_PROGRESS, IDC_SHA256, IDC_REPORT})
    AddAnchor(id, 0, 0, 1, 0);
  AddAnchor(IDC_FORMAT, 1, 0, 1, 0);
  AddAnchor(IDC_BROWSE, 1, 0, 1, 0);
  AddAnchor(IDC_GROUP_STATE, 0, 0, 1, 1);
  AddAnchor(IDC_LOG, 0, 0, 1, 1);
  RECT g;
  GetWindowRect(grip_, &g);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&g), 2);
  anchors_.push_back({grip_, g, 1, 1, 1, 1});
  RestorePlacement();

  // The log window in the dialog's face, and this dialog as the one the
  // log, the hooks and the questions of other threads act on.
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)), sizeof font, &font);
  log_.Attach(item(IDC_LOG), font,
              [this](const std::wstring& q) { return ask_box(hwnd_, q, KRII_ASK_YES_NO, KRII_NO) == KRII_YES; });
  g_dlg = this;
  ui_queue::instance().attach(hwnd_, WM_KRII_DRAIN);
  {
    std::lock_guard<std::mutex> lock(g_ask_mu);
    g_ask_hwnd = hwnd_;
    g_ui_thread = GetCurrentThreadId();
  }
  krsd_ui_set(&kDialogOps);
  ssh_set_hostkey_question(hook_trust_hostkey);
  enter_filter_ = SetWindowsHookExW(WH_MSGFILTER, &EnterFilter, nullptr, GetCurrentThreadId());

  SetWindowTextW(hwnd_, caption().c_str());
  logic_.OnInit();
  SetTimer(hwnd_, TIMER_ID, TIMER_PERIOD_MS, nullptr);
  if (autostart_) PostMessageW(hwnd_, WM_KRII_AUTOSTART, 0, 0);
  // The focus starts on Connect.
  SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item(IDC_CONNECT)), TRUE);
  return FALSE;
}

void CkriiDlg::OnDestroy() {
  KillTimer(hwnd_, TIMER_ID);
  // Detached before the controls go: a worker still running may log or
  // call a hook at any time; from now on both do nothing.
  {
    std::lock_guard<std::mutex> lock(g_ask_mu);
    g_ask_hwnd = nullptr;
  }
  ui_queue::instance().attach(nullptr, 0);
  g_dlg = nullptr;
  ssh_set_hostkey_question(nullptr);
  if (enter_filter_) UnhookWindowsHookEx(enter_filter_);
  enter_filter_ = nullptr;
}

LRESULT CALLBACK CkriiDlg::EnterFilter(int code, WPARAM wp, LPARAM lp) {
  // While work runs the focus is on Stop: Enter must not press it, nor any
  // other button.
  const auto* m = reinterpret_cast<const MSG*>(lp);
  if (code == MSGF_DIALOGBOX && g_dlg && (m->message == WM_KEYDOWN || m->message == WM_KEYUP) &&
      m->wParam == VK_RETURN && GetParent(m->hwnd) == g_dlg->hwnd_ && !g_dlg->logic_.EnterClicks()) {
    wchar_t cls[8] = L"";
    if (GetClassNameW(m->hwnd, cls, 8) && _wcsicmp(cls, L"Button") == 0) return 1;
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

void CkriiDlg::OnCommand(int id, int code) {
  switch (id) {
    case IDOK:
    case IDCANCEL:
      // Enter outside a button and Escape end the dialog at once, without
      // the close steps, but only while nothing runs: ending it would take
      // the job's summary and the log, the examiner's record, with it.
      if (logic_.MayEndByKey()) {
        KillTimer(hwnd_, TIMER_ID);
        EndDialog(hwnd_, id);
      }
      return;
    case IDC_BROWSE:
      if (code == BN_CLICKED) logic_.OnBrowse();
      return;
    case IDC_FORMAT:
      // Only the examiner's choice: CB_SETCURSEL does not notify.
      if (code == CBN_SELCHANGE) logic_.OnFormatChosen();
      return;
    case IDC_CONNECT:
      if (code == BN_CLICKED) logic_.OnConnect();
      return;
    case IDC_START_STOP:
      if (code == BN_CLICKED) logic_.OnStartStop();
      return;
    case IDC_VERIFY:
      if (code == BN_CLICKED) logic_.OnVerify();
      return;
    case IDC_COPY_HASHES:
      if (code == BN_CLICKED) logic_.OnCopyHashes();
      return;
    case IDC_OPEN_FOLDER:
      if (code == BN_CLICKED) logic_.OnOpenFolder();
      return;
    default:
      break;
  }
  if (id == IDC_PATH && code == EN_KILLFOCUS) logic_.OnPathEdited();
  auto lim = limits_.find(id);
  if (lim == limits_.end()) return;
  if (code == EN_CHANGE) {
    // A longer stored value is kept whole; once shortened, it may not grow
    // again beyond the limit.
    const int len = GetWindowTextLengthW(item(id));
    SendMessageW(item(id), EM_LIMITTEXT, static_cast<WPARAM>(std::max(lim->second, len)), 0);
  } else if (code == EN_MAXTEXT) {
    // A full edit refuses the next character with the usual beep.
    MessageBeep(MB_OK);
  }
}

bool CkriiDlg::OnSysCommand(WPARAM cmd) {
  if ((cmd & 0xFFF0) == IDM_ABOUTBOX) {
    ShowAbout();
    return true;
  }
  if (cmd == IDM_DEBUG) {
    const bool on = CkriiLogic::ToggleDebug();
    CheckMenuItem(GetSystemMenu(hwnd_, FALSE), IDM_DEBUG, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
    return true;
  }
  return false;  // move, size, minimise, close ...: the system's
}

void CkriiDlg::ShowAbout() {
  DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd_, &about_proc, 0);
}

void CkriiDlg::OnCloseBox() {
  if (!closed_) {
    if (!logic_.OnClose()) return;  // kept open, or ends by itself once the job stopped
    closed_ = true;
    SavePlacement();
  }
  KillTimer(hwnd_, TIMER_ID);
  EndDialog(hwnd_, IDCANCEL);
}

void CkriiDlg::AddAnchor(int id, float l, float t, float r, float b) {
  HWND w = item(id);
  if (!w) return;
  RECT rc;
  GetWindowRect(w, &rc);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rc), 2);
  anchors_.push_back({w, rc, l, t, r, b});
}

void CkriiDlg::OnSize() {
  if (anchors_.empty()) return;
  RECT client;
  GetClientRect(hwnd_, &client);
  const int dx = client.right - base_client_.cx, dy = client.bottom - base_client_.cy;
  HDWP defer = BeginDeferWindowPos(static_cast<int>(anchors_.size()));
  for (const Anchor& a : anchors_) {
    const int left = a.base.left + static_cast<int>(a.l * dx), top = a.base.top + static_cast<int>(a.t * dy);
    const int right = a.base.right + static_cast<int>(a.r * dx), bottom = a.base.bottom + static_cast<int>(a.b * dy);
    if (defer)
      defer = DeferWindowPos(defer, a.w, nullptr, left, top, right - left, bottom - top,
                             SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (defer) EndDeferWindowPos(defer);
  ShowWindow(grip_, IsZoomed(hwnd_) ? SW_HIDE : SW_SHOW);
  // Group boxes and labels leave their old frames behind otherwise.
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void CkriiDlg::RestorePlacement() {
  std::string raw;
  krii_placement p;
  if (!win_store::get_binary(KRII_GROUP_PLACEMENT, KRII_VALUE_PLACEMENT, &raw) || !krii_placement_parse(raw, &p) ||
      p.length != KRII_PLACEMENT_SIZE)
    return;
  RECT r{p.left, p.top, p.right, p.bottom};
  if (r.right <= r.left || r.bottom <= r.top) return;
  r.right = std::max(r.right, r.left + min_window_.cx);
  r.bottom = std::max(r.bottom, r.top + min_window_.cy);
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  GetWindowPlacement(hwnd_, &wp);
  // A position on a screen that is no longer there keeps only the size.
  if (MonitorFromRect(&r, MONITOR_DEFAULTTONULL)) {
    wp.rcNormalPosition = r;
  } else {
    wp.rcNormalPosition.right = wp.rcNormalPosition.left + (r.right - r.left);
    wp.rcNormalPosition.bottom = wp.rcNormalPosition.top + (r.bottom - r.top);
  }
  // A window closed while minimised comes back as a normal window: an
  // examiner starting the program must see it.
  wp.showCmd = p.show == KRII_SHOW_MAXIMIZED ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
  wp.flags = 0;
  SetWindowPlacement(hwnd_, &wp);
}

void CkriiDlg::SavePlacement() {
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  if (!GetWindowPlacement(hwnd_, &wp)) return;
  krii_placement p;
  p.length = KRII_PLACEMENT_SIZE;
  p.flags = static_cast<int32_t>(wp.flags);
  p.show = wp.showCmd == SW_SHOWMAXIMIZED ? KRII_SHOW_MAXIMIZED
           : wp.showCmd == SW_SHOWMINIMIZED ? KRII_SHOW_MINIMIZED
                                            : KRII_SHOW_NORMAL;
  p.min_x = wp.ptMinPosition.x, p.min_y = wp.ptMinPosition.y;
  p.max_x = wp.ptMaxPosition.x, p.max_y = wp.ptMaxPosition.y;
  p.left = wp.rcNormalPosition.left, p.top = wp.rcNormalPosition.top;
  p.right = wp.rcNormalPosition.right, p.bottom = wp.rcNormalPosition.bottom;
  win_store::set_binary(KRII_GROUP_PLACEMENT, KRII_VALUE_PLACEMENT, krii_placement_bytes(p));
}

// --- the hooks' work -------------------------------------------------------------------

void CkriiDlg::SetStatus(const std::string& text) {
  SetDlgItemTextW(hwnd_, IDC_STATUS, krii_wide_mixed(text, GetACP()).c_str());
}

void CkriiDlg::SetProgress(int percent) {
  SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(std::clamp(percent, 0, 100)), 0);
}

void CkriiDlg::FlashIfDisabled() {
  // A modal box (a question, the Save-As dialog) keeps the dialog disabled.
  if (IsWindowEnabled(hwnd_)) return;
  FLASHWINFO f{sizeof f, hwnd_, FLASHW_ALL, 3, 0};
  FlashWindowEx(&f);
}

// --- krii_view ---------------------------------------------------------------------------

std::string CkriiDlg::text(int id) const {
  HWND w = item(id);
  if (!w) return "";
  if (id == IDC_ADDRESS) {
    DWORD a = 0;
    SendMessageW(w, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&a));
    return krii_address_text(a);
  }
  const std::wstring t = window_text(w);
  if (!is_file_name(id)) return krii_utf8(t);
  // A file name as the engine opens it; one the code page cannot spell
  // cannot open any file (krii_narrow_from_wide), and the examiner is told.
  std::string narrow;
  if (!krii_narrow_from_wide(t, GetACP(), &narrow) && t != unspellable_) {
    unspellable_ = t;
    KR_LOGF(OS_LOG_ERR, "CkriiDlg::GetDlgItemText", "路径中有本系统代码页 (%u) 无法表示的字符, 不能以此名字打开: %s\n",
            GetACP(), krii_utf8(t).c_str());
  }
  return narrow;
}

void CkriiDlg::set_text(int id, const std::string& text) {
  HWND w = item(id);
  if (!w) return;
  if (id == IDC_ADDRESS) {
    SendMessageW(w, IPM_SETADDRESS, 0, static_cast<LPARAM>(krii_parse_address(text)));
    return;
  }
  const std::wstring t = is_file_name(id) ? krii_wide_from_narrow(text, GetACP()) : krii_wide(text);
  if (window_text(w) == t) return;
  if (id == IDC_FORMAT) {
    const LRESULT i = SendMessageW(w, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(t.c_str()));
    if (i != CB_ERR) SendMessageW(w, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
    return;
  }
  // A stored value is shown whole and kept so, while typing stops at the
  // limit: the edit's own limit would cut the value on display, and the cut
  // value would be stored at close.
  auto lim = limits_.find(id);
  if (lim != limits_.end())
    SendMessageW(w, EM_LIMITTEXT, static_cast<WPARAM>(std::max(lim->second, static_cast<int>(t.size()))), 0);
  SetWindowTextW(w, t.c_str());
}

void CkriiDlg::enable(int id, bool on) {
  HWND w = item(id);
  if (!w || (IsWindowEnabled(w) != FALSE) == on) return;
  const bool had_focus = GetFocus() == w;
  EnableWindow(w, on);
  // The focus goes on to the next control that takes it (Stop, while a job
  // runs), not nowhere.
  if (!on && had_focus) SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
}

void CkriiDlg::set_limit(int id, int chars) {
  HWND w = item(id);
  if (!w) return;
  limits_[id] = chars;
  SendMessageW(w, EM_LIMITTEXT, static_cast<WPARAM>(std::max(chars, GetWindowTextLengthW(w))), 0);
}

void CkriiDlg::set_progress(int percent) { SetProgress(percent); }

int CkriiDlg::ask(const std::string& text, int buttons, int preset) {
  // A question may name a file: its name is narrow, the rest UTF-8.
  return ask_box(hwnd_, krii_wide_mixed(text, GetACP()), buttons, preset);
}

bool CkriiDlg::choose_image(const std::string& folder, std::string* path) {
  std::wstring dir = krii_wide_from_narrow(folder, GetACP());
  if (dir.empty()) {
    wchar_t home[MAX_PATH] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, home))) dir = home;
  }
  // The proposed name and the filter follow the format chosen beside the
  // path; a typed name without an ending gets the chosen filter's.
  const bool e01 = SendMessageW(item(IDC_FORMAT), CB_GETCURSEL, 0, 0) > 0;
  std::wstring file(32768, L'\0');
  const std::wstring proposed = e01 ? L"krii.E01" : L"krii.img";
  std::copy(proposed.begin(), proposed.end(), file.begin());
  std::wstring filter = L"Image Files (*.img;*.dd)|*.img; *.dd|E01 Images (*.E01)|*.E01|All Files (*.*)|*.*||";
  std::replace(filter.begin(), filter.end(), L'|', L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = nullptr;  // no owner window; the dialog is disabled meanwhile
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
  ofn.nFilterIndex = e01 ? 2 : 1;
  ofn.lpstrDefExt = e01 ? L"E01" : L"img";
  // The current folder is the program's own (the deployment's tools are
  // found there): choosing a file must not move it.
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  EnableWindow(hwnd_, FALSE);
  const BOOL ok = GetSaveFileNameW(&ofn);
  EnableWindow(hwnd_, TRUE);
  SetForegroundWindow(hwnd_);
  if (!ok) return false;
  const std::wstring chosen = file.c_str();
  if (chosen.empty()) return false;
  if (!krii_narrow_from_wide(chosen, GetACP(), path)) {
    KR_LOGF(OS_LOG_ERR, "CkriiDlg::OnBnClickedBrowse", "路径中有本系统代码页 (%u) 无法表示的字符, 不能以此名字打开: %s\n",
            GetACP(), krii_utf8(chosen).c_str());
    return false;
  }
  return true;
}

void CkriiDlg::open_folder(const std::string& folder) {
  ShellExecuteW(hwnd_, L"open", krii_wide_from_narrow(folder, GetACP()).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void CkriiDlg::copy_text(const std::string& text) {
  std::wstring t;
  for (wchar_t c : krii_wide(text)) {
    if (c == L'\n') t += L'\r';
    t += c;
  }
  // Another program may hold the clipboard for a moment.
  bool open = false;
  for (int i = 0; i < 20 && !(open = OpenClipboard(hwnd_)); ++i) Sleep(25);
  if (!open) return;
  EmptyClipboard();
  const size_t bytes = (t.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* p = GlobalLock(mem)) {
      memcpy(p, t.c_str(), bytes);
      GlobalUnlock(mem);
      if (!SetClipboardData(CF_UNICODETEXT, mem)) GlobalFree(mem);
    } else {
      GlobalFree(mem);
    }
  }
  CloseClipboard();
}

void CkriiDlg::end_dialog() {
  if (!closed_) {
    closed_ = true;
    SavePlacement();
  }
  KillTimer(hwnd_, TIMER_ID);
  EndDialog(hwnd_, IDCANCEL);
}
