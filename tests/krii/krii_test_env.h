// What every dialog test binary shares: a private settings folder, the
// application's names and logging, and a few look-ups on the dialog.
#pragma once

#include <QApplication>
#include <QString>
#include <QWidget>

#include <sys/types.h>

#include "krii_ids.h"

class CkriiDlg;
class QObject;

// Runs the QtTest object test under a QApplication named as krii names it,
// with XDG_CONFIG_HOME and HOME in a temporary folder (removed at the end)
// and the start-up's logging configuration.
int krii_test_main(int argc, char** argv, QObject* (*make_test)());

// The temporary folder of this run.
QString krii_test_dir();
// The command lines the stand-in pscp.exe / plink.exe were run with, one a
// line (the stand-ins lead PATH in every test binary).
QString krii_tool_log();
// Removes every stored setting.
void krii_clear_settings();
// The text of the log window.
QString krii_log_text(CkriiDlg* dlg);
// Processes events until the log window holds needle or ms passed.
bool krii_wait_log(CkriiDlg* dlg, const QString& needle, int ms);
// The top-level widgets still open (the leak check of each test).
int krii_open_windows();
// Processes events until the process has ended (kit::process_ended) or ms
// passed; whether it has.
bool krii_process_gone(pid_t pid, int ms);

// A control of the dialog by its id (krii_ids.h), or another child by its
// object name.
template <typename T>
T* krii_child(QWidget* w, int id) {
  return w->findChild<T*>(QString::number(id));
}
template <typename T>
T* krii_child(QWidget* w, const char* name) {
  return w->findChild<T*>(QString::fromLatin1(name));
}

#define KRII_TEST_MAIN(Class)                                                     \
  int main(int argc, char** argv) {                                               \
    return krii_test_main(argc, argv, []() -> QObject* { return new Class; });    \
  }
