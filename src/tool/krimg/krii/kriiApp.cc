#include "kriiApp.h"

#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

#include <memory>

#include "AboutDlg.h"
#include "MyEdit.h"
#include "kriiDlg.h"
#include "kriiSettings.h"
#include "os/os_log.h"
#include "os/os_system.h"

namespace {

std::unique_ptr<QTranslator> g_qt_texts;  // the UI thread's

}  // namespace

CkriiApp::CkriiApp(int& argc, char** argv) : QApplication(argc, argv) {}

void CkriiApp::SetRegistryKey() {
  QCoreApplication::setOrganizationName(QStringLiteral("korin"));
  QCoreApplication::setApplicationName(QStringLiteral("krii"));
  krii_settings_protect();
}

bool CkriiApp::LoadTranslations(const QLocale& locale) {
  if (g_qt_texts) QCoreApplication::removeTranslator(g_qt_texts.get());
  g_qt_texts = std::make_unique<QTranslator>();
  if (!g_qt_texts->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    g_qt_texts.reset();
    return false;
  }
  return QCoreApplication::installTranslator(g_qt_texts.get());
}

void CkriiApp::ExitInstance() { os_system_end_all(); }

void CkriiApp::ConfigureLogging() {
  os_log_ctl(OS_LOG_SET_LEVEL_NAME, "info");
  os_log_ctl(OS_LOG_SET_PREFIX_NAMES, "time");
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_INFO);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &ui_log_append);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, &ui_log_append);
}

int CkriiApp::InitInstance(bool autostart) {
  SetRegistryKey();
  LoadTranslations();
  setWindowIcon(krii_app_icon());
  // Lets the desktop match the window to its menu entry (krii.desktop).
  setDesktopFileName(QStringLiteral("krii"));
  {
    CkriiDlg dlg;
    ConfigureLogging();
    if (autostart)
      QTimer::singleShot(0, &dlg, [&dlg] { dlg.OnBnClickedStartStopWork(); });
    dlg.exec();
  }
  ExitInstance();
  return 0;
}
