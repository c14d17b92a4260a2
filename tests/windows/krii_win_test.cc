// krii.exe driven through its controls from another process, as an
// examiner's keys and clicks would: the window's controls, texts and
// defaults, a job from the daemon on 127.0.0.1:6688 into a file with a
// Chinese name (stopped while the device is silent, its questions
// answered, resumed to the end), the verification, the settings and the
// window placement in the registry, the keys that end the dialog, the
// system menu by Alt+Space and the log window's menu. The logic behind the
// controls is krii_logic_test's; this checks that the Win32 face carries it.
//
// Run by scripts/win-test.sh under Wine with the daemon serving
// KRII_TEST_SAMPLE (silent once after its first MiB) and these variables:
// KRII_EXE, KRII_TEST_DIR (a folder for the images), KRII_TEST_MD5 and
// KRII_TEST_SHA256 (the sample's), KRII_TEST_SHOT (where the window's
// picture goes, as a bitmap).
#include <windows.h>

#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "krii_ids.h"
#include "krii_product.h"
#include "krii_schema.h"
#include "krii_win_log.h"

namespace {

const wchar_t* const kKey = L"Software\\korin\\krii";

std::wstring env(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  return v ? v : L"";
}

std::string utf8(const std::wstring& w) {
  if (w.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring wide(const std::string& s) {
  if (s.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

std::wstring caption() { return wide(KRII_PRODUCT_TITLE) + L" - V" + wide(KRII_VERSION); }

// Polls cond every 50 ms for at most seconds.
bool wait_for(const std::function<bool()>& cond, int seconds = 30) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return cond();
}

std::wstring window_text(HWND w) {
  std::vector<wchar_t> buf(65536, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG, 10000,
                           &got))
    return L"";
  return std::wstring(buf.data(), std::min<size_t>(got, buf.size()));
}

std::wstring class_of(HWND w) {
  wchar_t c[64] = L"";
  GetClassNameW(w, c, 64);
  return c;
}

// A file's bytes; empty when it cannot be read.
std::string file_bytes(const std::wstring& path) {
  std::string data;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return data;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
  CloseHandle(h);
  return data;
}

std::wstring reg_string(const wchar_t* group, const wchar_t* name) {
  wchar_t buf[4096] = L"";
  DWORD size = sizeof buf;
  const std::wstring key = std::wstring(kKey) + L"\\" + group;
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"<none>";
  return buf;
}

std::string reg_binary(const wchar_t* group, const wchar_t* name) {
  char buf[256];
  DWORD size = sizeof buf, type = 0;
  const std::wstring key = std::wstring(kKey) + L"\\" + group;
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_BINARY, &type, buf, &size) != ERROR_SUCCESS)
    return "<none>";
  return std::string(buf, size);
}

void reg_set(const wchar_t* group, const wchar_t* name, DWORD type, const void* data, size_t size) {
  HKEY key;
  const std::wstring path = std::wstring(kKey) + L"\\" + group;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), DWORD(size));
  RegCloseKey(key);
}

void reg_set_string(const wchar_t* group, const wchar_t* name, const std::wstring& value) {
  reg_set(group, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

void reg_clear() { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }

// Keys and clicks as the system's input: they reach the window in front.
void keys(std::initializer_list<WORD> down_then_up) {
  std::vector<INPUT> in;
  for (WORD k : down_then_up) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = k;
    in.push_back(i);
  }
  for (auto it = down_then_up.end(); it != down_then_up.begin();) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = *--it;
    i.ki.dwFlags = KEYEVENTF_KEYUP;
    in.push_back(i);
  }
  SendInput(UINT(in.size()), in.data(), sizeof(INPUT));
}

void click_at(POINT screen) {
  SetCursorPos(screen.x, screen.y);
  INPUT in[2]{};
  in[0].type = in[1].type = INPUT_MOUSE;
  in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, in, sizeof(INPUT));
}

// Where a window's caption answers HTCLOSE: its close box.
bool close_box_of(HWND w, POINT* at) {
  RECT r;
  GetWindowRect(w, &r);
  for (int y = r.top + 2; y < r.top + 40; y += 2)
    for (int x = r.right - 2; x > r.right - 80; x -= 2) {
      DWORD_PTR hit = 0;
      if (SendMessageTimeoutW(w, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 5000, &hit) && hit == HTCLOSE) {
        *at = {x - 3, y + 3};
        return true;
      }
    }
  return false;
}

// One run of krii.exe.
class Krii {
 public:
  Krii() {
    const std::wstring exe = env(L"KRII_EXE");
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_)) return;
    dlg_ = wait_window([this](HWND w) { return window_text(w) == caption() && !GetWindow(w, GW_OWNER); });
  }
  ~Krii() {
    if (pi_.hProcess) {
      if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 1);
      WaitForSingleObject(pi_.hProcess, 10000);
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
  }
  Krii(const Krii&) = delete;
  Krii& operator=(const Krii&) = delete;

  HWND dlg() const { return dlg_; }
  HWND item(int id) const { return GetDlgItem(dlg_, id); }
  std::wstring text(int id) const { return window_text(item(id)); }
  bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
  void set(int id, const std::wstring& t) const {
    DWORD_PTR r;
    SendMessageTimeoutW(item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.c_str()), SMTO_ABORTIFHUNG, 10000, &r);
  }
  // The focus moves to control id, as a click into it would move it.
  void focus(int id) const {
    DWORD_PTR r;
    SendMessageTimeoutW(dlg_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item(id)), TRUE, SMTO_ABORTIFHUNG, 10000, &r);
  }
  void click(int id) const { PostMessageW(item(id), BM_CLICK, 0, 0); }
  HWND focused() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(pi_.dwThreadId, &info);
    return info.hwndFocus;
  }
  void key_to_focus(WORD vk) const {
    HWND f = focused();
    PostMessageW(f ? f : dlg_, WM_KEYDOWN, vk, 1);
    PostMessageW(f ? f : dlg_, WM_KEYUP, vk, 0xC0000001);
  }
  bool idle() const { return text(IDC_START_STOP) == L"开始镜像(&S)" && enabled(IDC_PATH); }
  bool ended(int seconds = 30) const {
    return pi_.hProcess && WaitForSingleObject(pi_.hProcess, DWORD(seconds) * 1000) == WAIT_OBJECT_0;
  }

  // A top-level window of the process that pred accepts, within 30 s.
  HWND wait_window(const std::function<bool(HWND)>& pred, int seconds = 30) const {
    struct ctx {
      DWORD pid;
      const std::function<bool(HWND)>* pred;
      HWND found;
    } c{pi_.dwProcessId, &pred, nullptr};
    wait_for(
        [&c] {
          EnumWindows(
              [](HWND w, LPARAM l) -> BOOL {
                auto* c = reinterpret_cast<ctx*>(l);
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid != c->pid || !IsWindowVisible(w) || !(*c->pred)(w)) return TRUE;
                c->found = w;
                return FALSE;
              },
              reinterpret_cast<LPARAM>(&c));
          return c.found != nullptr;
        },
        seconds);
    return c.found;
  }
  // A question box over the dialog: the text of its message.
  HWND question(std::wstring* message) const {
    HWND box = wait_window([this](HWND w) {
      return class_of(w) == L"#32770" && GetWindow(w, GW_OWNER) == dlg_ && window_text(w) == caption();
    });
    message->clear();
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
      if (class_of(c) == L"Static" && window_text(c).size() > message->size()) *message = window_text(c);
    return box;
  }
  bool gone(HWND w) const {
    return wait_for([w] { return !IsWindow(w) || !IsWindowVisible(w); });
  }

  // The log window's text, read as UTF-16 from the process's own memory
  // (the system hands another process only the ANSI form of a rich edit).
  std::wstring log() const {
    HWND log = item(IDC_LOG);
    DWORD_PTR len = 0;
    SendMessageTimeoutW(log, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 10000, &len);
    HANDLE proc = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pi_.dwProcessId);
    if (!proc) return L"";
    const size_t chars = len + 1;
    GETTEXTEX gt{};
    gt.cb = DWORD(chars * sizeof(wchar_t));
    gt.flags = GT_DEFAULT;
    gt.codepage = 1200;
    char* remote = static_cast<char*>(VirtualAllocEx(proc, nullptr, sizeof gt + gt.cb, MEM_COMMIT, PAGE_READWRITE));
    std::wstring text(chars, L'\0');
    DWORD_PTR got = 0;
    if (remote && WriteProcessMemory(proc, remote, &gt, sizeof gt, nullptr) &&
        SendMessageTimeoutW(log, EM_GETTEXTEX, reinterpret_cast<WPARAM>(remote),
                            reinterpret_cast<LPARAM>(remote + sizeof gt), SMTO_ABORTIFHUNG, 10000, &got))
      ReadProcessMemory(proc, remote + sizeof gt, text.data(), gt.cb, nullptr);
    text.resize(std::min<size_t>(got, chars));
    if (remote) VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
    CloseHandle(proc);
    for (wchar_t& c : text)
      if (c == L'\r') c = L'\n';
    return text;
  }
  bool logged(const std::wstring& line, int seconds = 30) const {
    return wait_for([&] { return log().find(line) != std::wstring::npos; }, seconds);
  }
  int count(const std::wstring& line) const {
    const std::wstring l = log();
    int n = 0;
    for (size_t at = l.find(line); at != std::wstring::npos; at = l.find(line, at + 1)) ++n;
    return n;
  }
  // Opens the log window's menu with a right press and picks the item of
  // letter c.
  void log_menu(wchar_t c) const {
    RECT r;
    GetClientRect(item(IDC_LOG), &r);
    PostMessageW(item(IDC_LOG), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(20, 20));
    HWND menu = wait_window([](HWND w) { return class_of(w) == L"#32768"; });
    ASSERT_TRUE(menu) << "no menu";
    PostMessageW(menu, WM_CHAR, c, 0);
    ASSERT_TRUE(gone(menu));
  }

  // The window as it is on the screen, as a bitmap file.
  void picture(const std::wstring& path) const {
    RECT r;
    GetWindowRect(dlg_, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = DWORD((w * 3 + 3) & ~3), size = stride * DWORD(h);
    BITMAPFILEHEADER fh{0x4d42, DWORD(sizeof fh + sizeof bi.bmiHeader + size), 0, 0,
                        DWORD(sizeof fh + sizeof bi.bmiHeader)};
    bi.bmiHeader.biSizeImage = size;
    if (FILE* out = _wfopen(path.c_str(), L"wb")) {
      fwrite(&fh, sizeof fh, 1, out);
      fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, out);
      fwrite(bits, size, 1, out);
      fclose(out);
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
  }

 private:
  PROCESS_INFORMATION pi_{};
  HWND dlg_ = nullptr;
};

// A control's rectangle in dialog units, from the pixels of the window and
// the scale of the connection group (7, 3, 334, 40).
RECT dialog_units(const Krii& k, int id) {
  auto client = [&k](int i) {
    RECT r;
    GetWindowRect(k.item(i), &r);
    MapWindowPoints(nullptr, k.dlg(), reinterpret_cast<POINT*>(&r), 2);
    return r;
  };
  const RECT g = client(IDC_GROUP_CONNECTION), r = client(id);
  const double sx = (g.right - g.left) / 334.0, sy = (g.bottom - g.top) / 40.0;
  const double ox = g.left - 7 * sx, oy = g.top - 3 * sy;
  return {LONG((r.left - ox) / sx + 0.5), LONG((r.top - oy) / sy + 0.5), LONG((r.right - r.left) / sx + 0.5),
          LONG((r.bottom - r.top) / sy + 0.5)};
}

std::wstring image_dir() { return env(L"KRII_TEST_DIR"); }

class KriiWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetACP() != 936) GTEST_SKIP() << "needs the Chinese ANSI code page 936 (LANG=zh_CN.UTF-8)";
    ASSERT_FALSE(env(L"KRII_EXE").empty());
  }
};

// Every control of the template with its class, text, place in dialog
// units and state at start; the defaults; the focus order; the about box;
// and Escape, which ends the dialog at once without storing anything.
TEST_F(KriiWindows, ControlsTextsAndDefaults) {
  reg_clear();
  Krii k;
  ASSERT_TRUE(k.dlg()) << "no dialog";
  struct control {
    int id;
    const wchar_t* cls;
    const wchar_t* text;  // nullptr: not looked at
    RECT du;              // x, y, width, height
    bool enabled;
    bool any_height = false;  // a drop-down list is as high as its font makes it
  };
  const control table[] = {
      {IDC_GROUP_CONNECTION, L"Button", L"连接设置", {7, 3, 334, 40}, true},
      {IDC_ADDRESS, L"SysIPAddress32", L"192.168.191.2", {16, 19, 100, 12}, true},
      {IDC_LABEL_USER, L"Static", L"用户名", {121, 21, 26, 10}, true},
      {IDC_USER, L"Edit", L"root", {150, 19, 48, 12}, true},
      {IDC_LABEL_PASSWD, L"Static", L"密码", {204, 21, 21, 10}, true},
      {IDC_PASSWD, L"Edit", nullptr, {227, 19, 58, 12}, true},
      {IDC_LABEL_PORT, L"Static", L"端口", {290, 23, 17, 8}, true},
      {IDC_PORT, L"Edit", L"22", {309, 19, 24, 12}, true},
      {IDC_GROUP_IMAGE, L"Button", L"镜像操作", {7, 46, 334, 70}, true},
      {IDC_PATH, L"Edit", L"", {16, 61, 218, 13}, true},
      {IDC_FORMAT, L"ComboBox", L"RAW (dd)", {238, 61, 72, 13}, true, true},
      {IDC_BROWSE, L"Button", L"..", {314, 61, 20, 13}, true},
      {IDC_CONNECT, L"Button", L"连接(&C)", {16, 84, 46, 20}, true},
      {IDC_START_STOP, L"Button", L"开始镜像(&S)", {88, 84, 107, 20}, true},
      {IDC_VERIFY, L"Button", L"校验镜像(&V)", {200, 84, 60, 20}, true},
      {IDC_GROUP_CASE, L"Button", L"案件信息", {7, 118, 334, 48}, true},
      {IDC_LABEL_CASE, L"Static", L"案件编号", {16, 133, 34, 10}, true},
      {IDC_CASE, L"Edit", L"", {52, 131, 76, 12}, true},
      {IDC_LABEL_EVIDENCE, L"Static", L"检材编号", {134, 133, 34, 10}, true},
      {IDC_EVIDENCE, L"Edit", L"", {170, 131, 70, 12}, true},
      {IDC_LABEL_EXAMINER, L"Static", L"检验人", {246, 133, 26, 10}, true},
      {IDC_EXAMINER, L"Edit", L"", {274, 131, 59, 12}, true},
      {IDC_LABEL_NOTES, L"Static", L"备注", {16, 150, 34, 10}, true},
      {IDC_NOTES, L"Edit", L"", {52, 148, 281, 12}, true},
      {IDC_GROUP_STATE, L"Button", L"运行状态", {7, 168, 334, 150}, true},
      {IDC_PROGRESS, L"msctls_progress32", nullptr, {16, 184, 317, 8}, true},
      {IDC_STATUS, L"Static", L"", {16, 196, 317, 9}, true},
      {IDC_LABEL_MD5, L"Static", L"MD5", {16, 209, 26, 10}, true},
      {IDC_MD5, L"Edit", L"", {44, 207, 148, 12}, true},
      {IDC_COPY_HASHES, L"Button", L"复制哈希(&H)", {198, 206, 64, 14}, false},
      {IDC_OPEN_FOLDER, L"Button", L"打开文件夹(&O)", {269, 206, 64, 14}, false},
      {IDC_LABEL_SHA256, L"Static", L"SHA-256", {16, 223, 26, 10}, true},
      {IDC_SHA256, L"Edit", L"", {44, 221, 289, 12}, true},
      {IDC_LABEL_REPORT, L"Static", L"报告", {16, 237, 26, 10}, true},
      {IDC_REPORT, L"Edit", L"", {44, 235, 289, 12}, true},
      {IDC_LOG, L"RichEdit20W", nullptr, {16, 251, 317, 60}, true},
  };
  for (const control& c : table) {
    SCOPED_TRACE(c.id);
    ASSERT_TRUE(k.item(c.id));
    EXPECT_EQ(utf8(class_of(k.item(c.id))), utf8(c.cls));
    if (c.text) {
      EXPECT_EQ(utf8(k.text(c.id)), utf8(c.text));
    }
    const RECT du = dialog_units(k, c.id);
    EXPECT_NEAR(du.left, c.du.left, 1);
    EXPECT_NEAR(du.top, c.du.top, 1);
    EXPECT_NEAR(du.right, c.du.right, 1);
    if (!c.any_height) {
      EXPECT_NEAR(du.bottom, c.du.bottom, 1);
    }
    EXPECT_EQ(k.enabled(c.id), c.enabled);
  }
  EXPECT_TRUE(GetWindowLongW(k.item(IDC_PASSWD), GWL_STYLE) & ES_PASSWORD);
  EXPECT_TRUE(GetWindowLongW(k.item(IDC_PORT), GWL_STYLE) & ES_NUMBER);
  EXPECT_TRUE(GetWindowLongW(k.item(IDC_MD5), GWL_STYLE) & ES_READONLY);
  EXPECT_TRUE(GetWindowLongW(k.item(IDC_LOG), GWL_STYLE) & ES_READONLY);
  // The client area is 348 x 325 dialog units; the window has a sizing
  // border and both boxes.
  RECT client, group;
  GetClientRect(k.dlg(), &client);
  GetWindowRect(k.item(IDC_GROUP_CONNECTION), &group);
  EXPECT_NEAR(client.right * 334.0 / (group.right - group.left), 348, 1);
  EXPECT_NEAR(client.bottom * 40.0 / (group.bottom - group.top), 325, 2);
  const LONG style = GetWindowLongW(k.dlg(), GWL_STYLE);
  EXPECT_TRUE((style & WS_THICKFRAME) && (style & WS_MINIMIZEBOX) && (style & WS_MAXIMIZEBOX) && (style & WS_SYSMENU));

  // Connect has the focus; Tab visits the controls in this order.
  EXPECT_EQ(k.focused(), k.item(IDC_CONNECT));
  const int order[] = {IDC_CONNECT, IDC_START_STOP, IDC_VERIFY, IDC_PATH, IDC_FORMAT, IDC_BROWSE, IDC_CASE, IDC_EVIDENCE,
                       IDC_EXAMINER, IDC_NOTES, IDC_LOG, IDC_ADDRESS, IDC_USER, IDC_PASSWD, IDC_PORT};
  HWND at = k.item(IDC_CONNECT);
  for (size_t i = 1; i < std::size(order); ++i) {
    at = GetNextDlgTabItem(k.dlg(), at, FALSE);
    // The address control's focus is in its first field.
    if (GetParent(at) == k.item(IDC_ADDRESS)) at = GetParent(at);
    EXPECT_EQ(at, k.item(order[i])) << "after " << order[i - 1];
  }

  // The about box from the system menu: the title and version, the maker,
  // and its button closes it.
  PostMessageW(k.dlg(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = k.wait_window([](HWND w) { return window_text(w) == L"关于"; });
  ASSERT_TRUE(about);
  EXPECT_EQ(utf8(window_text(GetDlgItem(about, 1011))), utf8(caption()));
  EXPECT_EQ(utf8(window_text(GetDlgItem(about, 1012))), KRII_COPYRIGHT);
  EXPECT_EQ(utf8(class_of(GetDlgItem(about, 1013))), "SysLink");
  EXPECT_EQ(utf8(window_text(GetDlgItem(about, IDOK))), "确定");
  PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
  ASSERT_TRUE(k.gone(about));

  // ".." opens the Save-As dialog, no owner, the dialog disabled meanwhile,
  // proposing krii.img among the image files. Cancel changes nothing; a
  // name chosen becomes the path, and a new path clears the case number.
  auto save_as = [&k] {
    k.click(IDC_BROWSE);
    return k.wait_window([](HWND w) { return class_of(w) == L"#32770" && GetDlgItem(w, 0x47c); });
  };
  auto button = [](HWND box, int id) {
    HWND b = nullptr;
    for (HWND c = GetWindow(box, GW_CHILD); c && !b; c = GetWindow(c, GW_HWNDNEXT))
      if (GetDlgCtrlID(c) == id && class_of(c) == L"Button") b = c;
    return b;
  };
  k.set(IDC_CASE, L"X-1");
  HWND save = save_as();
  ASSERT_TRUE(save) << "no Save-As dialog";
  EXPECT_FALSE(GetWindow(save, GW_OWNER));
  EXPECT_FALSE(IsWindowEnabled(k.dlg()));
  EXPECT_EQ(window_text(GetDlgItem(save, 0x47c)), L"krii.img");
  EXPECT_EQ(window_text(GetDlgItem(save, 0x470)), L"Image Files (*.img;*.dd)");
  PostMessageW(button(save, IDCANCEL), BM_CLICK, 0, 0);
  ASSERT_TRUE(k.gone(save));
  EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(k.dlg()) != FALSE; }));
  EXPECT_EQ(k.text(IDC_PATH), L"");
  const std::wstring chosen = image_dir() + L"\\选择的镜像.img";
  save = save_as();
  ASSERT_TRUE(save);
  DWORD_PTR r;
  SendMessageTimeoutW(GetDlgItem(save, 0x47c), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(chosen.c_str()),
                      SMTO_ABORTIFHUNG, 10000, &r);
  PostMessageW(button(save, IDOK), BM_CLICK, 0, 0);
  ASSERT_TRUE(k.gone(save));
  EXPECT_TRUE(wait_for([&] { return k.text(IDC_PATH) == chosen; })) << utf8(k.text(IDC_PATH));
  EXPECT_EQ(k.text(IDC_CASE), L"");

  // Escape ends the dialog at once; nothing is stored.
  k.key_to_focus(VK_ESCAPE);
  ASSERT_TRUE(k.ended());
  EXPECT_EQ(utf8(reg_string(L"config", L"ip")), "<none>");
  EXPECT_EQ(reg_binary(L"CBrowseDialogDlg", L"WindowPlacement"), "<none>");
}

// One job end to end, through its questions and a stop on a silent device,
// then the verification; what the log window, the status line, the hashes,
// the clipboard, the registry and the files show of it.
TEST_F(KriiWindows, ImagesAsksVerifiesAndStores) {
  reg_clear();
  const std::wstring path = image_dir() + L"\\证据 镜像.img";
  DeleteFileW(path.c_str());
  Krii k;
  ASSERT_TRUE(k.dlg());

  // Alt+Space opens the system menu; its debug item is there by its letter.
  SetForegroundWindow(k.dlg());
  ASSERT_TRUE(wait_for([&] { return GetForegroundWindow() == k.dlg(); }));
  keys({VK_MENU, VK_SPACE});
  HWND menu = k.wait_window([](HWND w) { return class_of(w) == L"#32768"; });
  ASSERT_TRUE(menu) << "Alt+Space opened no system menu";
  keys({'D'});
  ASSERT_TRUE(k.gone(menu));

  // The address, the image path (as typed: the focus leaves it) and the
  // case fields; Start.
  SendMessageW(k.item(IDC_ADDRESS), IPM_SETADDRESS, 0, MAKEIPADDRESS(127, 0, 0, 1));
  k.focus(IDC_PATH);
  k.set(IDC_PATH, path);
  k.focus(IDC_CASE);
  k.set(IDC_CASE, L"案-2024-01");
  k.set(IDC_EVIDENCE, L"检材 1");
  k.set(IDC_EXAMINER, L"王五");
  k.click(IDC_START_STOP);
  ASSERT_TRUE(wait_for([&] { return k.text(IDC_START_STOP) == L"停止镜像(&Q)"; }));
  EXPECT_TRUE(k.logged(L"开始镜像[krp://127.0.0.1/dev/rdisk0s1s2] 到 [" + path + L"]"));
  // Debug is on: the client's level-7 lines show.
  EXPECT_TRUE(k.logged(L"ip=127.0.0.1 port=6688"));
  // While it runs only Stop is usable, and has the focus; Enter on it and
  // Escape do nothing (the click after them stops the job, once).
  ASSERT_TRUE(wait_for([&] { return !k.enabled(IDC_VERIFY) && k.focused() == k.item(IDC_START_STOP); }));
  for (int id : {IDC_ADDRESS, IDC_USER, IDC_PASSWD, IDC_PORT, IDC_BROWSE, IDC_CONNECT, IDC_VERIFY, IDC_CASE})
    EXPECT_FALSE(k.enabled(id)) << id;
  EXPECT_TRUE(k.enabled(IDC_START_STOP));
  ASSERT_TRUE(wait_for([&] { return !k.text(IDC_STATUS).empty(); })) << "no status line";
  k.key_to_focus(VK_RETURN);
  k.key_to_focus(VK_ESCAPE);
  k.click(IDC_START_STOP);
  ASSERT_TRUE(wait_for([&] { return k.idle(); }));
  EXPECT_EQ(k.count(L"请求停止镜像"), 1);
  EXPECT_TRUE(IsWindow(k.dlg()));
  const size_t stopped = file_bytes(path).size();
  ASSERT_GT(stopped, 0u);

  // The resume question: three buttons, the image named; Escape is
  // Cancel. No asks once more, two buttons: its close box is No. Neither
  // touches the image.
  std::wstring q;
  k.click(IDC_START_STOP);
  HWND box = k.question(&q);
  ASSERT_TRUE(box);
  EXPECT_NE(q.find(path + L" 存在，是否继续断点镜像"), std::wstring::npos) << utf8(q);
  EXPECT_TRUE(GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO) && GetDlgItem(box, IDCANCEL));
  PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 1);
  ASSERT_TRUE(k.gone(box));
  EXPECT_TRUE(k.logged(L"未开始镜像: 已有镜像保持不变"));
  k.click(IDC_START_STOP);
  box = k.question(&q);
  ASSERT_TRUE(box);
  PostMessageW(GetDlgItem(box, IDNO), BM_CLICK, 0, 0);
  ASSERT_TRUE(k.gone(box));
  box = k.question(&q);
  ASSERT_TRUE(box);
  EXPECT_NE(q.find(L"确定要覆盖已有镜像吗?"), std::wstring::npos) << utf8(q);
  EXPECT_FALSE(GetDlgItem(box, IDCANCEL));
  POINT x;
  ASSERT_TRUE(close_box_of(box, &x));
  click_at(x);
  ASSERT_TRUE(k.gone(box));
  ASSERT_TRUE(wait_for([&] { return k.count(L"未开始镜像: 已有镜像保持不变") == 2; }));
  EXPECT_EQ(file_bytes(path).size(), stopped);

  // Yes continues it to the end: the device's bytes, the report with the
  // case fields, the hashes in the window, a full bar, an empty status.
  k.click(IDC_START_STOP);
  box = k.question(&q);
  ASSERT_TRUE(box);
  PostMessageW(GetDlgItem(box, IDYES), BM_CLICK, 0, 0);
  ASSERT_TRUE(wait_for([&] { return k.idle() && !k.text(IDC_MD5).empty(); }, 60)) << utf8(k.log());
  const std::string sample = file_bytes(env(L"KRII_TEST_SAMPLE"));
  ASSERT_FALSE(sample.empty());
  EXPECT_TRUE(file_bytes(path) == sample) << "the image is not the device's";
  EXPECT_EQ(utf8(k.text(IDC_MD5)), utf8(env(L"KRII_TEST_MD5")));
  EXPECT_EQ(utf8(k.text(IDC_SHA256)), utf8(env(L"KRII_TEST_SHA256")));
  EXPECT_EQ(utf8(k.text(IDC_REPORT)), utf8(path + L".txt"));
  EXPECT_TRUE(k.logged(L"镜像报告: " + path + L".txt"));
  const std::string json = file_bytes(path + L".json");
  EXPECT_NE(json.find(utf8(L"\"case\": \"案-2024-01\"")), std::string::npos) << json;
  EXPECT_NE(json.find(utf8(L"证据 镜像.img")), std::string::npos) << json;
  EXPECT_EQ(SendMessageW(k.item(IDC_PROGRESS), PBM_GETPOS, 0, 0), 100);
  EXPECT_EQ(k.text(IDC_STATUS), L"");
  EXPECT_TRUE(k.enabled(IDC_COPY_HASHES) && k.enabled(IDC_OPEN_FOLDER));

  // Debug off again (for the picture below: the examiner's lines only).
  SetForegroundWindow(k.dlg());
  keys({VK_MENU, VK_SPACE});
  menu = k.wait_window([](HWND w) { return class_of(w) == L"#32768"; });
  ASSERT_TRUE(menu);
  keys({'D'});
  ASSERT_TRUE(k.gone(menu));

  // Verify fills the hashes again from the image.
  k.click(IDC_VERIFY);
  ASSERT_TRUE(k.logged(L"镜像校验一致", 60)) << utf8(k.log());
  ASSERT_TRUE(wait_for([&] { return k.idle() && !k.text(IDC_MD5).empty(); }, 60)) << utf8(k.log());
  EXPECT_EQ(utf8(k.text(IDC_MD5)), utf8(env(L"KRII_TEST_MD5")));
  EXPECT_EQ(utf8(k.text(IDC_SHA256)), utf8(env(L"KRII_TEST_SHA256")));
  // Debug is off: the verification's own opening of the image is not shown.
  const std::wstring log = k.log();
  const size_t verified = log.find(L"校验镜像: " + path);
  ASSERT_NE(verified, std::wstring::npos) << utf8(log);
  EXPECT_EQ(log.find(L"] [file]", verified), std::wstring::npos) << utf8(log);
  if (!env(L"KRII_TEST_SHOT").empty()) k.picture(env(L"KRII_TEST_SHOT"));

  // The hashes to the clipboard.
  k.click(IDC_COPY_HASHES);
  auto clipboard = [] {
    std::wstring t;
    if (!OpenClipboard(nullptr)) return t;
    if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
      if (auto* p = static_cast<const wchar_t*>(GlobalLock(h))) t = p;
      GlobalUnlock(h);
    }
    CloseClipboard();
    return t;
  };
  EXPECT_TRUE(wait_for([&] {
    return clipboard() == L"MD5: " + env(L"KRII_TEST_MD5") + L"\r\nSHA-256: " + env(L"KRII_TEST_SHA256") + L"\r\n";
  })) << utf8(clipboard());

  // The log window's menu: all, then copy (the Chinese texts as they
  // show), then clear, which asks first: No keeps the text, Yes empties it.
  k.log_menu(L'a');
  k.log_menu(L'c');
  EXPECT_TRUE(wait_for([&] { return clipboard().find(L"开始镜像[krp://127.0.0.1") != std::wstring::npos; }));
  k.log_menu(L'l');
  box = k.question(&q);
  ASSERT_TRUE(box);
  EXPECT_NE(q.find(L"清空日志窗口吗?"), std::wstring::npos) << utf8(q);
  PostMessageW(GetDlgItem(box, IDNO), BM_CLICK, 0, 0);
  ASSERT_TRUE(k.gone(box));
  EXPECT_FALSE(k.log().empty());
  k.log_menu(L'l');
  box = k.question(&q);
  ASSERT_TRUE(box);
  PostMessageW(GetDlgItem(box, IDYES), BM_CLICK, 0, 0);
  ASSERT_TRUE(wait_for([&] { return k.log().empty(); }));

  // The close box stores the settings and the placement.
  POINT close;
  ASSERT_TRUE(close_box_of(k.dlg(), &close));
  click_at(close);
  ASSERT_TRUE(k.ended());
  EXPECT_EQ(utf8(reg_string(L"config", L"ip")), "127.0.0.1");
  EXPECT_EQ(utf8(reg_string(L"config", L"LastImgFile")), utf8(path));
  EXPECT_EQ(utf8(reg_string(L"config", L"user")), "root");
  EXPECT_EQ(utf8(reg_string(L"config", L"Examiner")), utf8(L"王五"));
  EXPECT_EQ(reg_binary(L"CBrowseDialogDlg", L"WindowPlacement").size(), 44u);
}

// A stored placement and a stored value longer than its edit takes; the
// anchors when the window grows and its smallest size; Enter outside a
// button, which ends the dialog without storing.
TEST_F(KriiWindows, PlacementLimitsAndResizing) {
  reg_clear();
  const std::wstring user(40, L'u');
  reg_set_string(L"config", L"user", user);
  krii_placement p;
  p.left = 30, p.top = 20, p.right = 30 + 900, p.bottom = 20 + 700;
  const std::string raw = krii_placement_bytes(p);
  reg_set(L"CBrowseDialogDlg", L"WindowPlacement", REG_BINARY, raw.data(), raw.size());
  RECT first;
  {
    Krii k;
    ASSERT_TRUE(k.dlg());
    RECT r;
    GetWindowRect(k.dlg(), &r);
    EXPECT_EQ(r.left, 30);
    EXPECT_EQ(r.top, 20);
    EXPECT_EQ(r.right - r.left, 900);
    EXPECT_EQ(r.bottom - r.top, 700);
    // Shown and kept whole; once shortened, typing stops at 31 again.
    EXPECT_EQ(k.text(IDC_USER), user);
    EXPECT_EQ(SendMessageW(k.item(IDC_USER), EM_GETLIMITTEXT, 0, 0), 40);
    k.set(IDC_USER, L"ab");
    EXPECT_EQ(SendMessageW(k.item(IDC_USER), EM_GETLIMITTEXT, 0, 0), KRII_CREDENTIAL_MAX);
    EXPECT_EQ(SendMessageW(k.item(IDC_PORT), EM_GETLIMITTEXT, 0, 0), KRII_PORT_MAX);
    // Enter in an edit ends the dialog; nothing is stored.
    k.focus(IDC_USER);
    k.key_to_focus(VK_RETURN);
    ASSERT_TRUE(k.ended());
    EXPECT_EQ(reg_string(L"config", L"user"), user);
  }
  // A record of another length is ignored: the first size, centred. Then
  // the window grows: the anchored controls follow, the others stay; it
  // does not get smaller than at first.
  reg_set(L"CBrowseDialogDlg", L"WindowPlacement", REG_BINARY, raw.data(), 43);
  Krii k;
  ASSERT_TRUE(k.dlg());
  GetWindowRect(k.dlg(), &first);
  EXPECT_LT(first.right - first.left, 900);
  auto rect = [&k](int id) {
    RECT r;
    GetWindowRect(k.item(id), &r);
    return r;
  };
  const int ids[] = {IDC_PATH, IDC_BROWSE, IDC_LOG, IDC_GROUP_STATE, IDC_ADDRESS, IDC_USER, IDC_MD5, IDC_SHA256};
  std::vector<RECT> before;
  for (int id : ids) before.push_back(rect(id));
  const int dx = 120, dy = 80;
  SetWindowPos(k.dlg(), nullptr, 0, 0, first.right - first.left + dx, first.bottom - first.top + dy,
               SWP_NOMOVE | SWP_NOZORDER);
  ASSERT_TRUE(wait_for([&] { return rect(IDC_LOG).right - rect(IDC_LOG).left > before[2].right - before[2].left; }));
  // (left, top, right, bottom) moved by these shares of (dx, dy)
  const int moved[][4] = {{0, 0, 1, 0}, {1, 0, 1, 0}, {0, 0, 1, 1}, {0, 0, 1, 1},
                          {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, 0}};
  for (size_t i = 0; i < std::size(ids); ++i) {
    SCOPED_TRACE(ids[i]);
    const RECT a = before[i], b = rect(ids[i]);
    EXPECT_EQ(b.left - a.left, moved[i][0] * dx);
    EXPECT_EQ(b.top - a.top, moved[i][1] * dy);
    EXPECT_EQ(b.right - a.right, moved[i][2] * dx);
    EXPECT_EQ(b.bottom - a.bottom, moved[i][3] * dy);
  }
  SetWindowPos(k.dlg(), nullptr, 0, 0, 200, 150, SWP_NOMOVE | SWP_NOZORDER);
  RECT small;
  GetWindowRect(k.dlg(), &small);
  EXPECT_EQ(small.right - small.left, first.right - first.left);
  EXPECT_EQ(small.bottom - small.top, first.bottom - first.top);
}

// On a system whose code page cannot spell a name, nothing is written under
// another name: the log says why; a stored name stays as it was.
TEST(KriiWindowsCodePage, NameTheCodePageCannotSpell) {
  if (GetACP() == 936 || GetACP() == CP_UTF8) GTEST_SKIP() << "needs a code page without Chinese";
  reg_clear();
  const std::wstring dir = image_dir() + L"\\latin";
  CreateDirectoryW(dir.c_str(), nullptr);
  reg_set_string(L"config", L"LastImgFile", dir + L"\\存储.img");
  {
    Krii stored;
    ASSERT_TRUE(stored.dlg());
    EXPECT_EQ(stored.text(IDC_PATH), dir + L"\\??.img");
    POINT x;
    ASSERT_TRUE(close_box_of(stored.dlg(), &x));
    click_at(x);
    ASSERT_TRUE(stored.ended());
    EXPECT_EQ(utf8(reg_string(L"config", L"LastImgFile")), utf8(dir + L"\\存储.img"));
  }
  Krii k;
  ASSERT_TRUE(k.dlg());
  SendMessageW(k.item(IDC_ADDRESS), IPM_SETADDRESS, 0, MAKEIPADDRESS(127, 0, 0, 1));
  k.set(IDC_PATH, dir + L"\\证据.img");
  k.click(IDC_START_STOP);
  EXPECT_TRUE(k.logged(L"路径中有本系统代码页 (" + std::to_wstring(GetACP()) + L") 无法表示的字符"));
  ASSERT_TRUE(wait_for([&] { return k.idle() && k.count(L"镜像失败") == 1; })) << utf8(k.log());
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*.img*").c_str(), &fd);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "written as " << utf8(fd.cFileName);
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
}

// The main road on the test host (scripts/win-test.sh, KRII_TEST_DEVICE):
// Connect deploys with PuTTY's Windows tools; the device's unknown host key
// is asked about on the deployment's thread and answered by the dialog, No
// then Yes; Start images the device.
TEST(KriiWindowsDevice, ConnectsTrustsTheKeyAndImages) {
  if (env(L"KRII_TEST_DEVICE").empty()) GTEST_SKIP() << "the test host's road (KRII_TEST_DEVICE)";
  reg_clear();
  const std::wstring path = image_dir() + L"\\设备.img";
  Krii k;
  ASSERT_TRUE(k.dlg());
  EXPECT_EQ(k.text(IDC_ADDRESS), L"192.168.191.2");
  for (bool trust : {false, true}) {
    SCOPED_TRACE(trust);
    // While it runs nothing is usable (Start/Stop is the last one set).
    k.click(IDC_CONNECT);
    ASSERT_TRUE(wait_for([&] { return !k.enabled(IDC_START_STOP); }));
    EXPECT_FALSE(k.enabled(IDC_CONNECT));
    EXPECT_FALSE(k.enabled(IDC_PATH));
    std::wstring q;
    HWND box = k.question(&q);
    ASSERT_TRUE(box) << utf8(k.log());
    EXPECT_NE(q.find(L"设备 192.168.191.2 (端口 22) 的 SSH 主机密钥未知, 指纹:"), std::wstring::npos) << utf8(q);
    EXPECT_NE(q.find(L"SHA256:"), std::wstring::npos) << utf8(q);
    EXPECT_FALSE(GetDlgItem(box, IDCANCEL));
    PostMessageW(GetDlgItem(box, trust ? IDYES : IDNO), BM_CLICK, 0, 0);
    ASSERT_TRUE(wait_for([&] { return k.idle(); }, 120)) << utf8(k.log());
    EXPECT_TRUE(k.logged(trust ? L"已信任并保存设备主机密钥: " : L"未信任设备主机密钥")) << utf8(k.log());
  }
  EXPECT_TRUE(k.logged(L"设备初始化完成")) << utf8(k.log());
  k.focus(IDC_PATH);
  k.set(IDC_PATH, path);
  k.focus(IDC_CASE);
  k.click(IDC_START_STOP);
  ASSERT_TRUE(wait_for([&] { return k.idle() && !k.text(IDC_MD5).empty(); }, 120)) << utf8(k.log());
  EXPECT_TRUE(file_bytes(path) == file_bytes(env(L"KRII_TEST_SAMPLE"))) << "the image is not the device's";
  EXPECT_EQ(utf8(k.text(IDC_MD5)), utf8(env(L"KRII_TEST_MD5")));
}

// The log window in this process: a long run keeps the newest lines, whole.
TEST(KriiWindowsLog, KeepsTheNewestLines) {
  ASSERT_TRUE(LoadLibraryW(L"riched20.dll"));
  HWND edit = CreateWindowExW(0, L"RichEdit20W", L"", WS_POPUP | ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_HSCROLL,
                              0, 0, 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(edit);
  LOGFONTW font{};
  font.lfHeight = -12;
  lstrcpyW(font.lfFaceName, L"宋体");
  // The dialog's capacity is 100000 lines; the same code with 1000 here.
  CMyEdit log(1000);
  log.Attach(edit, font, nullptr);
  auto line = [edit](LRESULT n) {
    wchar_t buf[64] = L"";
    *reinterpret_cast<WORD*>(buf) = 63;
    const LRESULT got = SendMessageW(edit, EM_GETLINE, WPARAM(n), reinterpret_cast<LPARAM>(buf));
    return utf8(std::wstring(buf, size_t(got)));
  };
  auto shown = [](int n) { return utf8(L"行 " + std::to_wstring(n) + L" 镜像\r"); };
  int total = 0;
  for (int batch : {1, 999, 5, 7, 300, 1, 1, 2000}) {
    std::wstring text;
    for (int i = 0; i < batch; ++i) text += L"行 " + std::to_wstring(++total) + L" 镜像\n";
    log.Append(text);
    const LRESULT lines = SendMessageW(edit, EM_GETLINECOUNT, 0, 0) - 1;
    SCOPED_TRACE(total);
    EXPECT_GE(lines, std::min(total, 1000));
    EXPECT_LE(lines, 1010);
    EXPECT_EQ(line(0), shown(total - int(lines) + 1));
    EXPECT_EQ(line(lines - 1), shown(total));
  }
  DestroyWindow(edit);
}

}  // namespace
