// The log window: the dialog's rich edit control (read-only, both scroll
// bars, no wrapping) that the log's lines are appended to, with the copy /
// select-all / clear context menu.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class CMyEdit {
 public:
  enum { ID_CLEAR = 1100, ID_COPY = 1101, ID_SELECT_ALL = 1102 };
  // The window keeps the newest this many lines; older ones leave at the
  // top, so that a long run never grows without bound. They leave a
  // hundredth of the lines at a time: each removal at the top costs as much
  // as the whole text.
  static constexpr int kMaxLines = 100000;

  explicit CMyEdit(int max_lines = kMaxLines) : max_lines_(max_lines) {}

  // Takes over the control: face and size of font (the rich edit shows
  // Chinese only in a face that has it), no length limit of its own, no
  // wrapping, the context menu. confirm asks the clear question.
  void Attach(HWND edit, const LOGFONTW& font, std::function<bool(const std::wstring&)> confirm);
  HWND hwnd() const { return hwnd_; }
  // Appends text at the end, replacing any selection of the user with the
  // insertion point there, and follows the end. UI thread.
  void Append(const std::wstring& text);
  // Command 1101, 1102 or 1100 (which asks first).
  void OnCommand(int id);

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void ShowMenu(POINT screen);
  void Replace(LONG from, LONG to, const wchar_t* text);

  const int max_lines_;
  HWND hwnd_ = nullptr;
  WNDPROC base_ = nullptr;
  std::function<bool(const std::wstring&)> confirm_;
};
