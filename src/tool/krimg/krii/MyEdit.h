// The log window: a read-only text view that every log line is appended to,
// with the copy / select-all / clear context menu.
#pragma once

#include <QPlainTextEdit>

class QMenu;

class CMyEdit : public QPlainTextEdit {
  Q_OBJECT

 public:
  enum { ID_CLEAR = 1100, ID_COPY = 1101, ID_SELECT_ALL = 1102 };
  // Capacity: the window keeps the newest this many lines; older ones are
  // dropped from the top so that a very long run never grows without bound
  // or slows the program down. Every line also goes to standard error.
  static constexpr int kMaxLines = 100000;

  explicit CMyEdit(QWidget* parent = nullptr);
  ~CMyEdit() override;

  // Appends text at the end, collapses any selection there and follows the
  // end. UI thread only.
  void appendLine(const QString& text);
  // The context menu as it would open now (built anew each time; the caller
  // owns it). Its actions carry the command ids as object names.
  QMenu* createContextMenu();
  // Command 1101, 1102 or 1100.
  void onCommand(int id);

  // Takes the lines queued by ui_log_append and appends them (UI thread).
  void drainQueued();

 protected:
  void contextMenuEvent(QContextMenuEvent* e) override;
};

// The log sink for both callback slots of the logging facility. Any thread;
// never waits for the UI thread: the line is queued and appended when the UI
// thread next handles its events, in the order of the calls. Lines arriving
// while no log window is attached are dropped. Returns 0.
int ui_log_append(const char* line);
// Records the log window lines go to; nullptr detaches it (pending lines are
// dropped). UI thread.
void ui_log_attach(CMyEdit* edit);
