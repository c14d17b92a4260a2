// The system menu on a real desktop: a window manager (openbox on a private
// X server, tests/krii/with_wm.sh) takes Alt+Space for its own window menu
// before the program sees it. Real key presses and clicks through the X
// server show that the dialog's menu is reached by F10 and by its button.
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
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

  // At the smallest size, idle and after a verification has filled the
  // hashes and the report: every control lies inside the window and its
  // group, none covers another, and every text fits. The screenshots are
  // kept in the build folder (krii-idle.png, krii-finished.png).
  void everythingShowsWholeAtTheSmallestSize() {
    dlg_->resize(dlg_->minimumSize());
    QTest::qWait(200);
    checkLayout(QStringLiteral("krii-idle.png"));
    // A finished state: an image made by krimg, verified from the dialog.
    const QString dir = krii_test_dir();
    QFile src(dir + QStringLiteral("/device.bin"));
    QVERIFY(src.open(QIODevice::WriteOnly));
    src.write(QByteArray(3 << 20, 'k'));
    src.close();
    const QString img = dir + QStringLiteral("/shot.dd");
    QCOMPARE(QProcess::execute(qEnvironmentVariable("KRII_BIN_DIR") + QStringLiteral("/krimg"),
                               {QStringLiteral("acquire"), QStringLiteral("--source"), src.fileName(),
                                QStringLiteral("--image"), img, QStringLiteral("--restart")}),
             0);
    krii_child<QLineEdit>(dlg_.get(), IDC_PATH)->setText(img);
    krii_child<QPushButton>(dlg_.get(), IDC_VERIFY)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!krii_child<QLineEdit>(dlg_.get(), IDC_SHA256)->text().isEmpty(), 20000);
    QTRY_COMPARE(dlg_->state(), int(CkriiDlg::STATE_IDLE));
    checkLayout(QStringLiteral("krii-finished.png"));
  }

 private:
  void checkLayout(const QString& shot) {
    dlg_->grab().save(qEnvironmentVariable("KRII_BIN_DIR") + QStringLiteral("/../tests/") + shot);
    const QRect client = dlg_->rect();
    QList<QWidget*> items;
    QList<QGroupBox*> groups;
    for (QWidget* w : dlg_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (!w->isVisible() || w->objectName().isEmpty() || qobject_cast<QMenu*>(w)) continue;
      if (auto* g = qobject_cast<QGroupBox*>(w)) groups << g;
      else items << w;
    }
    for (QWidget* w : items) {
      const QByteArray id = w->objectName().toLatin1();
      QVERIFY2(client.contains(w->geometry()), id.constData());
      bool framed = w->objectName() == QStringLiteral("menu");
      for (QGroupBox* g : groups) framed = framed || g->geometry().contains(w->geometry());
      QVERIFY2(framed, id.constData());
      for (QWidget* o : items)
        QVERIFY2(o == w || !o->geometry().intersects(w->geometry()),
                 qPrintable(QStringLiteral("%1 covers %2").arg(o->objectName(), w->objectName())));
      const QFontMetrics fm(w->font());
      QString text;
      int room = w->width();
      if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
      if (auto* b = qobject_cast<QPushButton*>(w)) {
        text = b->text().remove(QLatin1Char('&'));
        room -= 6;  // the button's frame
      }
      if (auto* e = qobject_cast<QLineEdit*>(w); e && e->isReadOnly()) {
        text = e->text();
        room = e->contentsRect().width() - 4;
      }
      QVERIFY2(fm.horizontalAdvance(text) <= room, qPrintable(QStringLiteral("%1: %2").arg(w->objectName(), text)));
    }
    for (QGroupBox* g : groups) {
      const QByteArray id = g->objectName().toLatin1();
      QVERIFY2(client.contains(g->geometry()), id.constData());
      QVERIFY2(QFontMetrics(g->font()).horizontalAdvance(g->title()) < g->width(), id.constData());
    }
  }
};

KRII_TEST_MAIN(WmTest)
#include "krii_wm_test.moc"
