// The application object: names the per-user settings, configures logging
// into the log window and runs the main dialog modally.
#pragma once

#include <QApplication>
#include <QLocale>

class CkriiApp : public QApplication {
  Q_OBJECT

 public:
  CkriiApp(int& argc, char** argv);

  // Start-up and the modal run of the main dialog; returns the exit code.
  // With autostart the dialog presses Start once it is shown (a hidden
  // switch for demonstrations and screenshots).
  static int InitInstance(bool autostart);

  // What the process does after the dialog has ended, before it exits
  // without waiting for its workers: a deployment tool still running is
  // ended with its process group (its command line holds the password) and
  // its capture files are removed.
  static void ExitInstance();

  // The per-user settings area "korin"/"krii"; an existing settings file is
  // made the user's alone at once (it holds the device password).
  static void SetRegistryKey();
  // Qt's own texts (file dialog, Yes/No, edit menus) in the language of the
  // locale, from Qt's translations; replaces an earlier call's. False when
  // there are none for it (Qt's texts stay English). The dialog's own texts
  // are Chinese, so the program loads Chinese whatever the locale.
  static bool LoadTranslations(const QLocale& locale = QLocale(QLocale::Chinese, QLocale::China));
  // Threshold "info", the time prefix, threshold 6, and the log window as
  // the sink of both callback slots.
  static void ConfigureLogging();
};
