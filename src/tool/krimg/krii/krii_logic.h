// The dialog's logic, whatever draws it: the work state and which controls
// it allows, the handlers of every button and of the timer, the settings
// with their names, defaults and limits, the questions before an image is
// continued or overwritten and before the window closes, and the hand-over
// to the imaging engine and the deployment worker. A face (Qt on Linux,
// Win32 on Windows) draws the controls and implements krii_view; it calls
// the handlers below on its UI thread.
#pragma once

#include <cstdint>
#include <string>

#include "krii_ids.h"

// The entries of the format list (IDC_FORMAT), in their order: its text
// is the entry's text, set_text chooses the entry of that text. The first
// is a raw image; the others are E01 images with their compression. The
// format and the path's name agree: an E01 image's name ends in ".E01".
struct krii_format {
  const char* text;   // what the list shows
  const char* value;  // what the settings store (KRII_VALUE_FORMAT)
  bool e01;
  int compress;  // DD_COMPRESS_*
};
extern const krii_format krii_formats[4];

// Answers of krii_view::ask.
enum { KRII_CANCEL = -1, KRII_NO = 0, KRII_YES = 1 };
// The buttons of a question.
enum { KRII_ASK_YES_NO = 0, KRII_ASK_YES_NO_CANCEL = 1 };

// What the logic asks of a face; every call on the UI thread. Texts are
// UTF-8, except the names of files, which are the names the engine opens:
// the system's narrow names (UTF-8 on Linux, the ANSI code page on
// Windows). Those are the texts of IDC_PATH and IDC_REPORT, choose_image's
// folder and path, and open_folder's folder; a question or a log line that
// names a file carries the name in that form. Ids are those of krii_ids.h.
class krii_view {
 public:
  virtual ~krii_view() = default;
  virtual std::string text(int id) const = 0;
  virtual void set_text(int id, const std::string& text) = 0;
  virtual void enable(int id, bool on) = 0;
  // Typing stops at chars characters; a longer text set by the logic is
  // shown and kept whole.
  virtual void set_limit(int id, int chars) = 0;
  virtual void set_progress(int percent) = 0;
  // A modal question under the dialog's title. KRII_YES or KRII_NO; with
  // KRII_ASK_YES_NO_CANCEL, KRII_CANCEL for its third button, Escape and
  // the box's close box (with two buttons those are No).
  virtual int ask(const std::string& text, int buttons, int preset) = 0;
  // The Save-As dialog for an image, opened in folder; false when cancelled.
  virtual bool choose_image(const std::string& folder, std::string* path) = 0;
  virtual void open_folder(const std::string& folder) = 0;
  virtual void copy_text(const std::string& text) = 0;
  // Ends the dialog once the logic has done its close steps.
  virtual void end_dialog() = 0;
};

// The per-user store behind the settings (the registry, or its stand-in).
// The image path (KRII_VALUE_PATH) is a narrow name (krii_view), every
// other value UTF-8.
class krii_store {
 public:
  virtual ~krii_store() = default;
  virtual bool get(const char* group, const char* name, std::string* value) = 0;
  virtual void set(const char* group, const char* name, const std::string& value) = 0;
  virtual void flush() = 0;
};

class CkriiLogic {
 public:
  enum { STATE_IDLE = 0, STATE_CONNECTING = 1, STATE_IMAGING = 2, STATE_VERIFYING = 3 };

  CkriiLogic(krii_view* view, krii_store* store) : view_(view), store_(store) {}
  CkriiLogic(const CkriiLogic&) = delete;
  CkriiLogic& operator=(const CkriiLogic&) = delete;

  int state() const { return state_; }
  // A close was asked for while work ran: the dialog ends once it stopped.
  bool closing() const { return closing_; }

  // The dialog's set-up: the settings into the controls, then the
  // deployment worker and the imaging engine.
  void OnInit();
  void OnBrowse();
  void OnConnect();
  void OnStartStop();
  void OnVerify();
  void OnTimer();
  // The path was edited: a new image path clears the case and evidence
  // numbers, which belong to one image. The format then follows the name:
  // a name ending in ".E01" (in any case) chooses E01, any other raw.
  void OnPathEdited();
  // Another entry of the format list was chosen: the path gets the
  // format's ending, ".E01" for an E01 image, ".img" for a raw one where it
  // ended in ".E01".
  void OnFormatChosen();
  void OnCopyHashes();
  void OnOpenFolder();
  // The close box (or Alt+F4). True when the dialog may end now: the quit
  // requests are made and the settings stored. False when it must not: the
  // examiner kept the window, or the running job is being stopped and the
  // dialog ends by itself (end_dialog) once it has.
  bool OnClose();
  // Enter outside a button and Escape end the dialog at once, without the
  // close steps, but only while nothing runs.
  bool MayEndByKey() const { return state_ == STATE_IDLE && !closing_; }
  // Enter on a button is a click of it, but only while nothing runs: the
  // focus is on Stop while a job runs.
  bool EnterClicks() const { return state_ == STATE_IDLE; }
  // The system menu's debug item; the new state of the process-wide flag.
  static bool ToggleDebug();
  static bool DebugEnabled();

  void UpdateControlState();
  // Where a job reads from: "krp://%s/dev/rdisk0s1s2" with the address for
  // %s (tests point it elsewhere).
  void set_source_format(const std::string& format) { source_format_ = format; }

 private:
  // Asks before an image that holds data is continued or written anew.
  // false when nothing is to start; else *resume.
  bool AskResume(const std::string& path, int* resume);
  void Finished(int state);
  void ShowOutcome(bool have, const std::string& md5, const std::string& sha256, const std::string& report);
  // The entry of krii_formats shown; 0 (raw) for any other text.
  int FormatIndex() const;
  // Makes the format follow the path's name (a ".e01" ending becomes
  // ".E01").
  void FormatFromPath();
  void LoadSettings();
  void SaveSettings();
  void CloseSteps();

  krii_view* const view_;
  krii_store* const store_;
  int state_ = STATE_IDLE;
  bool closing_ = false;
  bool closed_ = false;
  int64_t close_deadline_ms_ = 0;
  std::string last_path_;
  std::string report_;  // the text report of the last job
  std::string source_format_ = "krp://%s/dev/rdisk0s1s2";
};
