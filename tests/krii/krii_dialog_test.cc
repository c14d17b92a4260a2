// The main dialog without a job: defaults and stored settings, the controls,
// the focus order, resizing, the placement record, the keys that end it, the
// background drag, the system menu, Save-As and the about box.
#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <functional>
#include <memory>

#include "AboutDlg.h"
#include "IpAddressCtrl.h"
#include "MyEdit.h"
#include "krii_test_env.h"
#include "kriiApp.h"
#include "kriiDlg.h"
#include "kriiSettings.h"
#include "krsd-client.h"
#include "ssh.h"

namespace {

QString stored(const char* name) {
  QSettings s;
  return s.value(QStringLiteral("config/") + QString::fromLatin1(name)).toString();
}

void store(const char* name, const QString& v) {
  QSettings s;
  s.setValue(QStringLiteral("config/") + QString::fromLatin1(name), v);
  s.sync();
}

// The permission bits of a file or folder; 0 when it is missing.
unsigned mode_of(const QString& path) {
  struct stat st {};
  return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs f once a modal widget other than the dialog is open.
void whenModal(QWidget* owner, std::function<void(QWidget*)> f) {
  auto* t = new QTimer(owner);
  QObject::connect(t, &QTimer::timeout, owner, [t, owner, f] {
    QWidget* m = QApplication::activeModalWidget();
    if (m && m != owner) {
      t->stop();
      t->deleteLater();
      f(m);
    }
  });
  t->start(20);
}

}  // namespace

// Receives the URLs that would go to the system's browser.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QUrl opened;
  Q_INVOKABLE void open(const QUrl& url) { opened = url; }
};

class DialogTest : public QObject {
  Q_OBJECT

  std::unique_ptr<CkriiDlg> dlg_;

  CkriiDlg* open() {
    dlg_ = std::make_unique<CkriiDlg>();
    dlg_->show();
    return dlg_.get();
  }
  template <typename T>
  T* c(int id) {
    T* w = krii_child<T>(dlg_.get(), id);
    if (!w) qFatal("no control %d", id);
    return w;
  }

 private slots:
  void init() { krii_clear_settings(); }
  void cleanup() {
    if (dlg_ && dlg_->isVisible()) dlg_->close();
    dlg_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(krii_open_windows(), 0);
  }

  void firstStartShowsDefaults() {
    open();
    QCOMPARE(dlg_->windowTitle(), QStringLiteral("KORIN-IOS镜像取证工具 - V1.1.3.398"));
    QCOMPARE(c<CIpAddressCtrl>(IDC_ADDRESS)->text(), QStringLiteral("192.168.191.2"));
    QCOMPARE(c<QLineEdit>(IDC_USER)->text(), QStringLiteral("root"));
    QCOMPARE(c<QLineEdit>(IDC_PASSWD)->text(), QStringLiteral("tazmok"));
    QCOMPARE(c<QLineEdit>(IDC_PASSWD)->echoMode(), QLineEdit::Password);
    QCOMPARE(c<QLineEdit>(IDC_PORT)->text(), QStringLiteral("22"));
    QCOMPARE(c<QLineEdit>(IDC_PATH)->text(), QString());
    QCOMPARE(c<QPushButton>(IDC_START_STOP)->text(), QStringLiteral("开始镜像(&S)"));
    QCOMPARE(c<QPushButton>(IDC_CONNECT)->text(), QStringLiteral("连接(&C)"));
    QCOMPARE(c<QGroupBox>(IDC_GROUP_CONNECTION)->title(), QStringLiteral("连接设置"));
    QCOMPARE(c<QLabel>(IDC_LABEL_USER)->text(), QStringLiteral("用户名"));
    QCOMPARE(c<QProgressBar>(IDC_PROGRESS)->maximum(), 100);
    QVERIFY(c<CMyEdit>(IDC_LOG)->isReadOnly());
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_IDLE));
    // Nothing is written before the dialog is closed.
    QVERIFY(QSettings().allKeys().isEmpty());
  }

  void portTakesDigitsOnly() {
    open();
    auto* port = c<QLineEdit>(IDC_PORT);
    port->clear();
    port->setFocus();
    QTest::keyClicks(port, "2a2-b2x");
    QCOMPARE(port->text(), QStringLiteral("222"));
    QTest::keyClicks(port, "3456");
    QCOMPARE(port->text(), QStringLiteral("22234"));
  }

  void focusOrderAndFirstFocus() {
    open();
    QCOMPARE(dlg_->focusWidget(), c<QWidget>(IDC_CONNECT));
    const int order[] = {IDC_CONNECT, IDC_START_STOP, IDC_VERIFY, IDC_PATH, IDC_FORMAT,
                         IDC_BROWSE, IDC_CASE, IDC_EVIDENCE, IDC_EXAMINER, IDC_NOTES,
                         IDC_LOG, IDC_ADDRESS, IDC_USER, IDC_PASSWD, IDC_PORT, IDC_CONNECT};
    QWidget* w = c<QWidget>(order[0]);
    for (size_t i = 1; i < std::size(order); ++i) {
      // The next widget of the chain that takes the Tab focus.
      QWidget* next = w->nextInFocusChain();
      while (!(next->focusPolicy() & Qt::TabFocus) || !next->isEnabled() || !next->isVisibleTo(dlg_.get()))
        next = next->nextInFocusChain();
      QWidget* want = c<QWidget>(order[i]);
      if (want->focusProxy()) want = want->focusProxy();
      QCOMPARE(next, want);
      w = next;
    }
  }

  void clearedFieldKeepsStoredValue() {
    store("user", QStringLiteral("alice"));
    store("passwd", QStringLiteral("old"));
    open();
    QCOMPARE(c<QLineEdit>(IDC_USER)->text(), QStringLiteral("alice"));
    c<QLineEdit>(IDC_USER)->clear();
    c<QLineEdit>(IDC_PASSWD)->setText(QStringLiteral("new"));
    c<QLineEdit>(IDC_PATH)->setText(QStringLiteral("/evidence/a.img"));
    QCOMPARE(stored("ImageFormat"), QString());
    dlg_->close();
    QCOMPARE(stored("ImageFormat"), QStringLiteral("raw"));
    QCOMPARE(stored("user"), QStringLiteral("alice"));
    QCOMPARE(stored("passwd"), QStringLiteral("new"));
    QCOMPARE(stored("LastImgFile"), QStringLiteral("/evidence/a.img"));
    QCOMPARE(stored("ip"), QStringLiteral("192.168.191.2"));
    QCOMPARE(stored("port"), QStringLiteral("22"));
  }

  // Typing stops at the limit (user and password: what the deployment
  // carries); a longer stored value is shown and stored whole.
  void editLimitsStopTypingOnly_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("limit");
    QTest::newRow("user") << int(IDC_USER) << "user" << "u" << 31;
    QTest::newRow("password") << int(IDC_PASSWD) << "passwd" << "p" << 31;
    QTest::newRow("port") << int(IDC_PORT) << "port" << "2" << 5;
  }
  void editLimitsStopTypingOnly() {
    QFETCH(int, id);
    QFETCH(QString, name);
    QFETCH(QString, typed);
    QFETCH(int, limit);
    const QString storedValue = typed.repeated(limit + 9);
    store(qPrintable(name), storedValue);
    open();
    auto* e = c<QLineEdit>(id);
    QCOMPARE(e->text(), storedValue);
    e->setFocus();
    e->end(false);
    QTest::keyClicks(e, typed);
    QCOMPARE(e->text(), storedValue);
    dlg_->close();
    QCOMPARE(stored(qPrintable(name)), storedValue);

    dlg_.reset();
    open();
    e = c<QLineEdit>(id);
    e->clear();
    e->setFocus();
    QTest::keyClicks(e, typed.repeated(limit + 3));
    QCOMPARE(e->text(), typed.repeated(limit));
  }

  void addressRoundTrip_data() {
    QTest::addColumn<QString>("storedIp");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "10.0.0.7" << "10.0.0.7";
    QTest::newRow("zero padded") << "010.001.000.007" << "10.1.0.7";
    QTest::newRow("unreadable") << "not an address" << "0.0.0.0";
    QTest::newRow("partly readable") << "172.16.x.1" << "172.16.0.0";
    QTest::newRow("wraps") << "266.1.2.3" << "10.1.2.3";
  }
  void addressRoundTrip() {
    QFETCH(QString, storedIp);
    QFETCH(QString, shown);
    store("ip", storedIp);
    open();
    QCOMPARE(c<CIpAddressCtrl>(IDC_ADDRESS)->text(), shown);
    dlg_->close();
    QCOMPARE(stored("ip"), shown);
  }

  void longStoredPathIsKeptWhole() {
    const QString path = QStringLiteral("/evidence/") + QString(300, QLatin1Char('p')) + QStringLiteral(".img");
    store("LastImgFile", path);
    open();
    QCOMPARE(c<QLineEdit>(IDC_PATH)->text(), path);
    dlg_->close();
    QCOMPARE(stored("LastImgFile"), path);
  }

  void escapeAndEnterEndWithoutStoring() {
    open();
    c<QLineEdit>(IDC_USER)->setText(QStringLiteral("bob"));
    QTest::keyClick(dlg_.get(), Qt::Key_Escape);
    QVERIFY(!dlg_->isVisible());
    QCOMPARE(dlg_->result(), int(QDialog::Rejected));
    QVERIFY(QSettings().allKeys().isEmpty());
    // The workers got no quit request; the next dialog starts them again.
    ssh_exit();
    krsd_exit();

    open();
    auto* path = c<QLineEdit>(IDC_PATH);
    path->setFocus();
    QTest::keyClick(path, Qt::Key_Return);
    QVERIFY(!dlg_->isVisible());
    QCOMPARE(dlg_->result(), int(QDialog::Accepted));
    QVERIFY(QSettings().allKeys().isEmpty());
    ssh_exit();
    krsd_exit();
  }

  void enterOnButtonPressesIt() {
    open();
    auto* start = c<QPushButton>(IDC_START_STOP);
    start->setFocus();
    QTest::keyClick(start, Qt::Key_Return);
    // Start with an empty path: only a log line, the dialog stays.
    QVERIFY(dlg_->isVisible());
    QVERIFY(krii_wait_log(dlg_.get(), QStringLiteral("请选择镜像文件的存放路径"), 5000));
  }

  void resizeFollowsAnchors() {
    open();
    const QSize base = dlg_->size();
    QCOMPARE(dlg_->minimumSize(), base);
    const int all[] = {IDC_GROUP_CONNECTION, IDC_ADDRESS, IDC_LABEL_USER, IDC_USER, IDC_LABEL_PASSWD, IDC_PASSWD, IDC_LABEL_PORT, IDC_PORT, IDC_GROUP_IMAGE,
                         IDC_PATH, IDC_BROWSE, IDC_CONNECT, IDC_START_STOP, IDC_GROUP_STATE, IDC_PROGRESS, IDC_STATUS, IDC_LOG};
    std::map<int, QRect> before;
    for (int id : all) before[id] = c<QWidget>(id)->geometry();

    const int dx = 120, dy = 80;
    dlg_->resize(base + QSize(dx, dy));
    QTRY_COMPARE(dlg_->size(), base + QSize(dx, dy));

    auto widened = [](QRect r, int dx) { return r.adjusted(0, 0, dx, 0); };
    std::map<int, QRect> want = before;
    for (int id : {IDC_GROUP_CONNECTION, IDC_PATH, IDC_GROUP_IMAGE, IDC_STATUS, IDC_PROGRESS}) want[id] = widened(before[id], dx);
    want[IDC_BROWSE] = before[IDC_BROWSE].translated(dx, 0);
    want[IDC_GROUP_STATE] = before[IDC_GROUP_STATE].adjusted(0, 0, dx, dy);
    want[IDC_LOG] = before[IDC_LOG].adjusted(0, 0, dx, dy);
    for (int id : all) {
      if (c<QWidget>(id)->geometry() != want[id]) qWarning("control %d", id);
      QCOMPARE(c<QWidget>(id)->geometry(), want[id]);
    }

    // Back to the first size restores the first layout; smaller is refused.
    dlg_->resize(base - QSize(50, 50));
    QTRY_COMPARE(dlg_->size(), base);
    for (int id : all) QCOMPARE(c<QWidget>(id)->geometry(), before[id]);
  }

  void placementSavedAndRestored() {
    open();
    const QSize base = dlg_->size();
    const QRect r(QPoint(40, 30), base + QSize(60, 25));
    dlg_->setGeometry(r);
    QTRY_COMPARE(dlg_->geometry(), r);
    dlg_->close();

    QSettings s;
    const QByteArray raw = s.value(QStringLiteral("CBrowseDialogDlg/WindowPlacement")).toByteArray();
    QCOMPARE(raw.size(), 44);
    krii_placement p;
    QVERIFY(krii_placement_decode(raw, &p));
    QCOMPARE(p.length, 44);
    QCOMPARE(p.show, int(KRII_SHOW_NORMAL));
    QCOMPARE(QRect(QPoint(p.left, p.top), QPoint(p.right - 1, p.bottom - 1)), r);

    dlg_.reset();
    open();
    QCOMPARE(dlg_->geometry(), r);
    // The anchored controls follow the restored size.
    QCOMPARE(c<QWidget>(IDC_LOG)->width(), krii_child<QWidget>(dlg_.get(), IDC_PROGRESS)->width());
    dlg_->close();
    dlg_.reset();

    // A record of another length is ignored: the first size comes back.
    s.setValue(QStringLiteral("CBrowseDialogDlg/WindowPlacement"), raw.left(43));
    s.sync();
    open();
    QCOMPARE(dlg_->size(), base);
  }

  void backgroundDragMovesWindow() {
    open();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    const QPoint start = dlg_->pos();
    // A point inside the lower group box, left of the buttons' row: background.
    auto* grp = c<QWidget>(IDC_GROUP_IMAGE);
    const QPoint bg = grp->geometry().bottomRight() - QPoint(20, 8);
    QVERIFY(dlg_->childAt(bg) == grp);
    QTest::mousePress(dlg_.get(), Qt::LeftButton, {}, bg);
    QTest::mouseMove(dlg_.get(), bg + QPoint(30, 20));
    QTest::mouseRelease(dlg_.get(), Qt::LeftButton, {}, bg + QPoint(30, 20));
    QTRY_COMPARE(dlg_->pos(), start + QPoint(30, 20));

    // Pressing a control does not move the window.
    auto* browse = c<QWidget>(IDC_BROWSE);
    const QPoint now = dlg_->pos();
    QTest::mousePress(browse, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseMove(browse, QPoint(40, 40));
    QTest::mouseRelease(browse, Qt::LeftButton, {}, QPoint(40, 40));
    QCOMPARE(dlg_->pos(), now);
  }

  void systemMenuFromBackground() {
    open();
    QMenu* menu = dlg_->systemMenu();
    QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->text(), QStringLiteral("启用调试(&D)"));
    QVERIFY(actions[0]->isCheckable());
    QVERIFY(actions[1]->isSeparator());
    QCOMPARE(actions[2]->text(), QStringLiteral("关于 (&A)..."));

    const QPoint bg = c<QWidget>(IDC_GROUP_CONNECTION)->geometry().bottomRight() - QPoint(5, 3);
    QContextMenuEvent ev(QContextMenuEvent::Mouse, bg, dlg_->mapToGlobal(bg));
    QApplication::sendEvent(dlg_.get(), &ev);
    QTRY_VERIFY(menu->isVisible());
    menu->hide();

    // Not from a control.
    QWidget* btn = c<QWidget>(IDC_CONNECT);
    QContextMenuEvent ev2(QContextMenuEvent::Mouse, QPoint(2, 2), btn->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(btn, &ev2);
    QVERIFY(!menu->isVisible());

    QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
    QTest::keyClick(dlg_->windowHandle(), Qt::Key_Space, Qt::AltModifier);
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
  }

  // Routes a person finds (the menu button beside the buttons) and a
  // keyboard reaches whatever has the focus (its letter, F10).
  void systemMenuButtonAndF10_data() {
    QTest::addColumn<int>("focus");
    QTest::newRow("Connect") << int(IDC_CONNECT);
    QTest::newRow("path") << int(IDC_PATH);
    QTest::newRow("log") << int(IDC_LOG);
    QTest::newRow("password") << int(IDC_PASSWD);
  }
  void systemMenuButtonAndF10() {
    QFETCH(int, focus);
    open();
    QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
    QMenu* menu = dlg_->systemMenu();
    QPushButton* button = dlg_->menuButton();
    QVERIFY(button->isVisible());
    QVERIFY(!button->toolTip().isEmpty());
    // Beside the buttons' row, right-aligned with "..".
    QCOMPARE(button->geometry().right(), c<QWidget>(IDC_BROWSE)->geometry().right());
    QCOMPARE(button->geometry().top(), c<QWidget>(IDC_CONNECT)->geometry().top());
    QCOMPARE(button->text(), QStringLiteral("菜单(&M)"));
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY(menu->isVisible());
    menu->hide();

    c<QWidget>(focus)->setFocus();
    QTest::keyClick(c<QWidget>(focus), Qt::Key_M, Qt::AltModifier);
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
    QTest::keyClick(dlg_->windowHandle(), Qt::Key_F10);
    QTRY_VERIFY(menu->isVisible());
    QTest::keyClick(menu, Qt::Key_D);  // the item's letter toggles debugging
    QTRY_VERIFY(!menu->isVisible());
    QVERIFY(CkriiDlg::debugEnabled());
    dlg_->OnSysCommand(CkriiDlg::IDM_DEBUG);
    QVERIFY(!CkriiDlg::debugEnabled());
  }

  void saveAsCancelAndConfirm() {
    open();
    auto* path = c<QLineEdit>(IDC_PATH);
    path->setText(QStringLiteral("/keep/me.img"));
    QString offered;
    whenModal(dlg_.get(), [&offered](QWidget* m) {
      auto* fd = qobject_cast<QFileDialog*>(m);
      QVERIFY(fd);
      offered = fd->selectedFiles().value(0);
      QCOMPARE(fd->defaultSuffix(), QStringLiteral("img"));
      QCOMPARE(fd->nameFilters().value(0), QStringLiteral("Image Files (*.img *.dd)"));
      QCOMPARE(fd->nameFilters().value(1), QStringLiteral("E01 Images (*.E01)"));
      fd->reject();
    });
    dlg_->OnBnClickedBrowse();
    QCOMPARE(path->text(), QStringLiteral("/keep/me.img"));
    QVERIFY(offered.endsWith(QStringLiteral("/krii.img")));
    QVERIFY(!offered.startsWith(QStringLiteral("/keep")));

    const QString target = krii_test_dir() + QStringLiteral("/case7");
    whenModal(dlg_.get(), [target](QWidget* m) {
      auto* fd = qobject_cast<QFileDialog*>(m);
      QVERIFY(fd);
      auto* name = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      QVERIFY(name);
      name->setText(target);
      QMetaObject::invokeMethod(fd, "accept");
    });
    dlg_->OnBnClickedBrowse();
    QCOMPARE(path->text(), target + QStringLiteral(".img"));

    // E01 chosen beside the path: the name follows, and Save-As offers an
    // E01 name and gives a typed name the E01 ending.
    auto* format = c<QComboBox>(IDC_FORMAT);
    format->setCurrentIndex(2);
    emit format->activated(2);
    QCOMPARE(path->text(), target + QStringLiteral(".E01"));
    whenModal(dlg_.get(), [target](QWidget* m) {
      auto* fd = qobject_cast<QFileDialog*>(m);
      QVERIFY(fd);
      QCOMPARE(fd->defaultSuffix(), QStringLiteral("E01"));
      QCOMPARE(fd->selectedNameFilter(), QStringLiteral("E01 Images (*.E01)"));
      auto* name = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      QVERIFY(name);
      name->setText(target + QStringLiteral("b"));
      QMetaObject::invokeMethod(fd, "accept");
    });
    dlg_->OnBnClickedBrowse();
    QCOMPARE(path->text(), target + QStringLiteral("b.E01"));
    QCOMPARE(format->currentIndex(), 2);
  }

  // Save-As opens in the folder of the last image, else in the home folder,
  // never in the current folder (the program's own, made so by the
  // deployment worker).
  void saveAsStartsInTheLastImageFolder_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("folder");
    const QString cases = krii_test_dir() + QStringLiteral("/cases");
    QDir().mkpath(cases);
    QTest::newRow("last image's folder") << cases + QStringLiteral("/a.img") << cases;
    QTest::newRow("folder gone") << QStringLiteral("/no/such/folder/a.img") << QDir::homePath();
    QTest::newRow("no image yet") << QString() << QDir::homePath();
  }
  void saveAsStartsInTheLastImageFolder() {
    QFETCH(QString, path);
    QFETCH(QString, folder);
    store("LastImgFile", path);
    open();
    QVERIFY(QDir::currentPath() != folder);
    QString shown;
    whenModal(dlg_.get(), [&shown](QWidget* m) {
      auto* fd = qobject_cast<QFileDialog*>(m);
      QVERIFY(fd);
      shown = fd->directory().absolutePath();
      fd->reject();
    });
    dlg_->OnBnClickedBrowse();
    QCOMPARE(shown, folder);
  }

  // The settings hold the device password: folder and file are the user's
  // alone, whether they are made now or were left open by an earlier run.
  void settingsAreTheUsersAlone_data() {
    QTest::addColumn<bool>("existing");
    QTest::newRow("made now") << false;
    QTest::newRow("left open") << true;
  }
  void settingsAreTheUsersAlone() {
    QFETCH(bool, existing);
    const QString file = QSettings().fileName();
    const QString folder = QFileInfo(file).absolutePath();
    QFile::remove(file);
    QDir().rmdir(folder);
    if (existing) {
      QDir().mkpath(folder);
      QFile f(file);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("[config]\npasswd=secret\n");
      f.close();
      QFile::setPermissions(folder, QFile::Permissions(0x7755));
      QFile::setPermissions(file, QFile::Permissions(0x6644));
      CkriiApp::SetRegistryKey();  // start-up tightens it at once
      QCOMPARE(mode_of(file), 0600u);
    }
    open();
    c<QLineEdit>(IDC_PASSWD)->setText(QStringLiteral("s3cret"));
    dlg_->close();
    QCOMPARE(stored("passwd"), QStringLiteral("s3cret"));
    QCOMPARE(mode_of(folder), 0700u);
    QCOMPARE(mode_of(file), 0600u);
  }

  void aboutBox() {
    open();
    QString title, line, button;
    UrlCatcher handler;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &handler, "open");
    whenModal(dlg_.get(), [&](QWidget* m) {
      title = m->windowTitle();
      line = krii_child<QLabel>(m, "1011")->text();
      auto* link = krii_child<QLabel>(m, "1013");
      QMetaObject::invokeMethod(link, "linkActivated", Q_ARG(QString, QString::fromUtf8(KRII_WEB_ADDRESS)));
      auto* ok = krii_child<QPushButton>(m, "1");
      button = ok->text();
      ok->click();
    });
    dlg_->OnSysCommand(CkriiDlg::IDM_ABOUTBOX | 0x3);  // the low 4 bits do not count
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(title, QStringLiteral("关于"));
    QCOMPARE(line, QStringLiteral("KORIN-IOS镜像取证工具 - V1.1.3.398"));
    QCOMPARE(button, QStringLiteral("确定"));
    QCOMPARE(handler.opened, QUrl(QString::fromUtf8(KRII_WEB_ADDRESS)));
    QVERIFY(dlg_->isVisible());
  }

  // The program's own run: the dialog is closed while the copy tool runs.
  // At exit the tool's whole process group is ended (its command line holds
  // the password) and its capture files are gone. Last: from then on the
  // process runs no command.
  void closingDuringADeploymentEndsTheTool() {
    const QString pids = krii_tool_log() + QStringLiteral(".pids");
    QFile::remove(pids);
    qputenv("KRII_TOOL_SLEEP", "60");
    QString err;
    QTimer::singleShot(0, this, [&err, pids] {
      CkriiDlg* d = nullptr;
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* cd = qobject_cast<CkriiDlg*>(w)) d = cd;
      if (!d) {
        err = QStringLiteral("no dialog");
        return;
      }
      krii_child<QPushButton>(d, IDC_CONNECT)->click();
      QElapsedTimer t;
      t.start();
      while (!QFileInfo(pids).size() && t.elapsed() < 20000) QTest::qWait(20);
      // Closing while work runs asks first; Yes closes.
      whenModal(d, [](QWidget* m) {
        if (auto* box = qobject_cast<QMessageBox*>(m)) box->button(QMessageBox::Yes)->click();
      });
      d->close();
    });
    CkriiApp::InitInstance(false);  // start-up, the modal run, the exit
    qunsetenv("KRII_TOOL_SLEEP");
    QVERIFY2(err.isEmpty(), qPrintable(err));
    QFile f(pids);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> ids = f.readAll().trimmed().split(' ');
    QCOMPARE(ids.size(), 2);
    for (const QByteArray& id : ids) QVERIFY2(krii_process_gone(pid_t(id.toInt()), 5000), id.constData());
    QVERIFY(QDir(krii_test_dir() + QStringLiteral("/tmp")).entryList({QStringLiteral("kor*")}, QDir::Files).isEmpty());
  }
};

KRII_TEST_MAIN(DialogTest)
#include "krii_dialog_test.moc"
