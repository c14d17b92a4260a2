#include "krii_win_log.h"

#include <richedit.h>

namespace {

const wchar_t* const kSelf = L"krii.log";

}  // namespace

void CMyEdit::Attach(HWND edit, const LOGFONTW& font, std::function<bool(const std::wstring&)> confirm) {
  hwnd_ = edit;
  confirm_ = std::move(confirm);
  // Rich edit 2.0 takes 32767 characters unless told otherwise.
  SendMessageW(edit, EM_EXLIMITTEXT, 0, 0x7ffffffe);
  // A line width of 1 turns wrapping off: one log line, one line.
  SendMessageW(edit, EM_SETTARGETDEVICE, 0, 1);
  CHARFORMAT2W cf{};
  cf.cbSize = sizeof cf;
  cf.dwMask = CFM_FACE | CFM_SIZE | CFM_CHARSET;
  lstrcpynW(cf.szFaceName, font.lfFaceName, LF_FACESIZE);
  HDC dc = GetDC(edit);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(edit, dc);
  // Twips from the font's height in pixels.
  cf.yHeight = MulDiv(font.lfHeight < 0 ? -font.lfHeight : font.lfHeight, 1440, dpi > 0 ? dpi : 96);
  cf.bCharSet = font.lfCharSet;
  SendMessageW(edit, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&cf));
  SendMessageW(edit, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&cf));
  SetPropW(edit, kSelf, this);
  base_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
}

void CMyEdit::Replace(LONG from, LONG to, const wchar_t* text) {
  CHARRANGE range{from, to};
  SendMessageW(hwnd_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
  // UTF-16 throughout: text that passes the ANSI code page (EM_REPLACESEL
  // of a narrow control) loses every character the code page lacks.
  SETTEXTEX st{ST_SELECTION, 1200};
  SendMessageW(hwnd_, EM_SETTEXTEX, reinterpret_cast<WPARAM>(&st), reinterpret_cast<LPARAM>(text));
}

void CMyEdit::Append(const std::wstring& text) {
  if (!hwnd_ || text.empty()) return;
  // Paragraphs end in a single CR inside the control; line feeds become
  // paragraph ends on the way in.
  Replace(-1, -1, text.c_str());
  // The last line after the final line break is empty.
  const LRESULT lines = SendMessageW(hwnd_, EM_GETLINECOUNT, 0, 0) - 1;
  if (lines > max_lines_ + max_lines_ / 100) {
    const LRESULT first = SendMessageW(hwnd_, EM_LINEINDEX, static_cast<WPARAM>(lines - max_lines_), 0);
    if (first > 0) Replace(0, static_cast<LONG>(first), L"");
  }
  CHARRANGE end{-1, -1};
  SendMessageW(hwnd_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
  // The view follows the end, the start of an empty line: from the left
  // edge, not where the last long line ended.
  SendMessageW(hwnd_, EM_SCROLLCARET, 0, 0);
  POINT at{};
  SendMessageW(hwnd_, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&at));
  at.x = 0;
  SendMessageW(hwnd_, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&at));
}

void CMyEdit::OnCommand(int id) {
  switch (id) {
    case ID_COPY:
      SendMessageW(hwnd_, WM_COPY, 0, 0);
      break;
    case ID_SELECT_ALL:
      SendMessageW(hwnd_, EM_SETSEL, 0, -1);
      break;
    case ID_CLEAR:
      // The examiner's record of the session: emptied only when asked twice.
      if (confirm_ && confirm_(L"清空日志窗口吗? (镜像旁的日志文件不受影响)")) Replace(0, -1, L"");
      break;
    default:
      break;
  }
}

void CMyEdit::ShowMenu(POINT screen) {
  CHARRANGE sel{};
  SendMessageW(hwnd_, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&sel));
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING | (sel.cpMin == sel.cpMax ? MF_GRAYED : 0), ID_COPY, L"复制(&C)");
  AppendMenuW(menu, MF_STRING, ID_SELECT_ALL, L"全选(&A)");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, ID_CLEAR, L"清空(&L)");
  const int cmd = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN | TPM_TOPALIGN, screen.x,
                                 screen.y, 0, GetParent(hwnd_), nullptr);
  DestroyMenu(menu);
  if (cmd) OnCommand(cmd);
}

LRESULT CALLBACK CMyEdit::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = static_cast<CMyEdit*>(GetPropW(hwnd, kSelf));
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  const WNDPROC base = self->base_;
  switch (msg) {
    case WM_RBUTTONDOWN: {
      // The focus comes here, the menu opens at the pointer; then the press
      // gets the control's own handling.
      SetFocus(hwnd);
      POINT p{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
      ClientToScreen(hwnd, &p);
      self->ShowMenu(p);
      break;
    }
    case WM_CONTEXTMENU:
      // From the keyboard (Shift+F10, the menu key) at the window's corner;
      // the mouse's was shown on the press.
      if (lp == -1) {
        POINT p{0, 0};
        ClientToScreen(hwnd, &p);
        self->ShowMenu(p);
      }
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(base));
      RemovePropW(hwnd, kSelf);
      self->hwnd_ = nullptr;
      break;
    default:
      break;
  }
  return CallWindowProcW(base, hwnd, msg, wp, lp);
}
