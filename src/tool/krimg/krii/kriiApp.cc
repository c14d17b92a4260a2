#include "kriiApp.h"

#include <QTimer>

#include "AboutDlg.h"
#include "MyEdit.h"
#include "kriiDlg.h"
#include "os/os_log.h"

CkriiApp::CkriiApp(int& argc, char** argv) : QApplication(argc, argv) {}

void CkriiApp::SetRegistryKey() {
  QCoreApplication::setOrganizationName(QStringLiteral("korin"));
  QCoreApplication::setApplicationName(QStringLiteral("krii"));
}

void CkriiApp::ConfigureLogging() {
  os_log_ctl(OS_LOG_SET_LEVEL_NAME, "info");
  os_log_ctl(OS_LOG_SET_PREFIX_NAMES, "time");
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_INFO);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &ui_log_append);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, &ui_log_append);
}

int CkriiApp::InitInstance(bool autostart) {
  SetRegistryKey();
  setWindowIcon(krii_app_icon());
  // Lets the desktop match the window to its menu entry (krii.desktop).
  setDesktopFileName(QStringLiteral("krii"));
  CkriiDlg dlg;
  ConfigureLogging();
  if (autostart)
    QTimer::singleShot(0, &dlg, [&dlg] { dlg.OnBnClickedStartStopWork(); });
  dlg.exec();
  return 0;
}
