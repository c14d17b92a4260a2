#include "krii_test_env.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <cstdlib>
#include <memory>

#include "MyEdit.h"
#include "kit.h"
#include "kriiApp.h"
#include "kriiDlg.h"
#include "os/os_system.h"

namespace {
QString g_dir;
}

QString krii_test_dir() { return g_dir; }
QString krii_tool_log() { return g_dir + QStringLiteral("/tools.log"); }

int krii_test_main(int argc, char** argv, QObject* (*make_test)()) {
  // Before anything reads the settings path.
  char tmpl[] = "/tmp/krii-test-XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  g_dir = QString::fromLocal8Bit(tmpl);
  const QByteArray config = (g_dir + QStringLiteral("/config")).toLocal8Bit();
  QDir().mkpath(QString::fromLocal8Bit(config));
  setenv("XDG_CONFIG_HOME", config.constData(), 1);
  setenv("HOME", tmpl, 1);
  if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The command runner's capture files go to a folder of this run.
  QDir().mkpath(g_dir + QStringLiteral("/tmp"));
  setenv("TMPDIR", (g_dir + QStringLiteral("/tmp")).toLocal8Bit().constData(), 1);
  // Stand-ins for the SSH tools fill the tool folder and lead PATH, so that
  // no test ever reaches out to a device address (the build's folder holds
  // the real tools). They record their command line, print KRII_TOOL_SAY,
  // wait KRII_TOOL_SLEEP seconds in a child (writing their own and the
  // child's process id to <tool log>.pids first) and exit with KRII_TOOL_RC.
  const QString tools = g_dir + QStringLiteral("/tools");
  QDir().mkpath(tools);
  for (const char* name : {"pscp.exe", "plink.exe"}) {
    QFile f(tools + QLatin1Char('/') + QString::fromLatin1(name));
    if (!f.open(QIODevice::WriteOnly)) return 2;
    f.write("#!/bin/sh\n"
            "echo \"$(basename \"$0\") $*\" >> \"$KRII_TOOL_LOG\"\n"
            "printf '%s' \"$KRII_TOOL_SAY\" >&2\n"
            "sleep \"${KRII_TOOL_SLEEP:-0}\" & echo \"$$ $!\" > \"$KRII_TOOL_LOG.pids\"; wait\n"
            "exit \"${KRII_TOOL_RC:-0}\"\n");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
  const QByteArray path = (tools + QLatin1Char(':')).toLocal8Bit() + qgetenv("PATH");
  setenv("PATH", path.constData(), 1);
  os_system_set_tools_dir(tools.toLocal8Bit().constData());
  setenv("KRII_TOOL_LOG", krii_tool_log().toLocal8Bit().constData(), 1);
  int rc = 0;
  {
    QApplication app(argc, argv);
    CkriiApp::SetRegistryKey();
    CkriiApp::ConfigureLogging();
    std::unique_ptr<QObject> test(make_test());
    rc = QTest::qExec(test.get(), argc, argv);
  }
  QDir(g_dir).removeRecursively();
  return rc;
}

void krii_clear_settings() {
  QSettings s;
  s.clear();
  s.sync();
}

QString krii_log_text(CkriiDlg* dlg) {
  auto* log = dlg->findChild<CMyEdit*>(QString::number(IDC_LOG));
  return log ? log->toPlainText() : QString();
}

bool krii_wait_log(CkriiDlg* dlg, const QString& needle, int ms) {
  QElapsedTimer t;
  t.start();
  while (!krii_log_text(dlg).contains(needle)) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(20);
  }
  return true;
}

int krii_open_windows() {
  return int(QApplication::topLevelWidgets().size());
}

bool krii_process_gone(pid_t pid, int ms) {
  QElapsedTimer t;
  t.start();
  for (;;) {
    if (kit::process_ended(pid)) return true;
    if (t.elapsed() > ms) return false;
    QTest::qWait(20);
  }
}
