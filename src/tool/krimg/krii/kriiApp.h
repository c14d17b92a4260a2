// The application object: names the per-user settings, configures logging
// into the log window and runs the main dialog modally.
#pragma once

#include <QApplication>

class CkriiApp : public QApplication {
  Q_OBJECT

 public:
  CkriiApp(int& argc, char** argv);

  // Start-up and the modal run of the main dialog; returns the exit code.
  // With autostart the dialog presses Start once it is shown (a hidden
  // switch for demonstrations and screenshots).
  int InitInstance(bool autostart);

  // The per-user settings area "korin"/"krii".
  static void SetRegistryKey();
  // Threshold "info", the time prefix, threshold 6, and the log window as
  // the sink of both callback slots.
  static void ConfigureLogging();
};
