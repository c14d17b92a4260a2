// The main dialog, the Win32 face of the dialog's logic (krii_logic.h):
// the template of krii.rc (connection settings, image path, case fields,
// Connect, Start/Stop and Verify, progress, status line, the last job's
// hashes and report, the log window), the system menu's debug and about
// items, resizing by anchors, the window placement and the settings in the
// registry, and the engine's and the deployment's hooks.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "krii_logic.h"
#include "krii_win_log.h"
#include "krii_win_store.h"

class CkriiDlg : private krii_view {
 public:
  enum { TIMER_ID = 1, TIMER_PERIOD_MS = 500 };

  CkriiDlg();
  ~CkriiDlg() override;
  CkriiDlg(const CkriiDlg&) = delete;
  CkriiDlg& operator=(const CkriiDlg&) = delete;

  // Runs the dialog modally until it ends. With autostart it presses Start
  // once it is up (a hidden switch for demonstrations).
  void DoModal(HINSTANCE instance, bool autostart);

  // A question under the dialog's title from any thread (the engine's resume
  // question, the deployment's host key): the asking thread waits for the UI
  // thread, which never waits for a worker. KRII_NO without a dialog.
  static int AskAnyThread(const std::string& text, int buttons, int preset);

  // The hooks' work on the UI thread.
  void SetStatus(const std::string& text);
  void SetProgress(int percent);
  void FlashIfDisabled();

 private:
  struct Anchor {
    HWND w;
    RECT base;  // in client coordinates at the first size
    float l, t, r, b;
  };

  static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  INT_PTR OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  BOOL OnInitDialog();
  void OnCommand(int id, int code);
  bool OnSysCommand(WPARAM cmd);
  void OnSize();
  void OnCloseBox();
  void OnDestroy();
  void AddAnchor(int id, float l, float t, float r, float b);
  void RestorePlacement();
  void SavePlacement();
  void ShowAbout();
  static LRESULT CALLBACK EnterFilter(int code, WPARAM wp, LPARAM lp);
  HWND item(int id) const { return GetDlgItem(hwnd_, id); }

  // krii_view
  std::string text(int id) const override;
  void set_text(int id, const std::string& text) override;
  void enable(int id, bool on) override;
  void set_limit(int id, int chars) override;
  void set_progress(int percent) override;
  int ask(const std::string& text, int buttons, int preset) override;
  bool choose_image(const std::string& folder, std::string* path) override;
  void open_folder(const std::string& folder) override;
  void copy_text(const std::string& text) override;
  void end_dialog() override;

  HINSTANCE instance_ = nullptr;
  HWND hwnd_ = nullptr;
  HWND grip_ = nullptr;
  HHOOK enter_filter_ = nullptr;
  bool autostart_ = false;
  bool closed_ = false;  // the close steps are done
  SIZE base_client_{};   // the first client size
  SIZE min_window_{};    // the first window size, the smallest one
  std::vector<Anchor> anchors_;
  std::map<int, int> limits_;  // what typing may reach, by edit id
  // A path the code page cannot spell, told once in the log.
  mutable std::wstring unspellable_;
  win_store store_;
  CMyEdit log_;
  CkriiLogic logic_;
};

// Threshold "info", the time prefix, threshold 6, and the log window as the
// sink of both callback slots.
void krii_configure_logging();
