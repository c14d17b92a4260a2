// The system menu on a real desktop: a window manager (openbox on a private
// X server, tests/krii/with_wm.sh) takes Alt+Space for its own window menu
// before the program sees it. Real key presses and clicks through the X
// server show that the dialog's menu is reached by F10 and by its button.
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "krii_test_env.h"
#include "kriiDlg.h"

class WmTest : public QObject {
  Q_OBJECT

  std::unique_ptr<CkriiDlg> dlg_;

  static bool xdotool(const QStringList& args) {
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
  }

 private slots:
  void initTestCase() {
    QVERIFY2(qgetenv("QT_QPA_PLATFORM") == "xcb" && !qgetenv("DISPLAY").isEmpty(),
             "needs an X server with a window manager: run it under tests/krii/with_wm.sh");
    krii_clear_settings();
    dlg_ = std::make_unique<CkriiDlg>();
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
  }
  void cleanupTestCase() {
    dlg_->close();
    dlg_.reset();
  }

  // The desktop's own key last: what it opens is closed with Escape.
  void routes_data() {
    QTest::addColumn<QString>("route");
    QTest::addColumn<bool>("reaches");
    QTest::newRow("F10") << "F10" << true;
    QTest::newRow("menu button") << "button" << true;
    QTest::newRow("its letter") << "alt+m" << true;
    QTest::newRow("Alt+Space, the desktop's") << "alt+space" << false;
  }
  void routes() {
    QFETCH(QString, route);
    QFETCH(bool, reaches);
    QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
    QMenu* menu = dlg_->systemMenu();
    QVERIFY(!menu->isVisible());
    if (route == QStringLiteral("button")) {
      QPushButton* b = dlg_->menuButton();
      const QPoint p = b->mapToGlobal(b->rect().center());
      QVERIFY(xdotool({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()),
                       QStringLiteral("click"), QStringLiteral("1")}));
    } else {
      QVERIFY(xdotool({QStringLiteral("key"), route}));
    }
    if (reaches) {
      QTRY_VERIFY(menu->isVisible());
      menu->hide();
    } else {
      QTest::qWait(500);
      QVERIFY(!menu->isVisible());
      QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
    }
  }
};

KRII_TEST_MAIN(WmTest)
#include "krii_wm_test.moc"
