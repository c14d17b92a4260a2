// The work state with the real workers: a deployment through stand-in SSH
// tools, and imaging from the dialog against the project's own daemon on
// loopback. One dialog serves the whole binary, as in the program: the
// imaging worker lives once per process.
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "IpAddressCtrl.h"
#include "MyEdit.h"
#include "kit.h"
#include "krii_test_env.h"
#include "kriiDlg.h"

namespace {

constexpr qint64 kImageSize = 32ll << 20;
const int kInputs[] = {IDC_ADDRESS, IDC_USER, IDC_PASSWD, IDC_PORT, IDC_PATH, IDC_BROWSE, IDC_CONNECT};

bool loopback_port_free(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

QByteArray file_bytes(const QString& path) {
  return QByteArray::fromStdString(kit::read_file(QFile::encodeName(path).toStdString()));
}

}  // namespace

class StateTest : public QObject {
  Q_OBJECT

  std::unique_ptr<CkriiDlg> dlg_;
  QProcess daemon_;
  QString daemon_skip_;  // why imaging cannot be tested here, if it cannot
  QString image_;
  QByteArray image_md5_;
  // What the status line and the bar showed while a job ran.
  bool saw_status_ = false;
  int max_progress_ = 0;
  QTimer watch_;

  template <typename T>
  T* c(int id) {
    T* w = krii_child<T>(dlg_.get(), id);
    if (!w) qFatal("no control %d", id);
    return w;
  }
  QPushButton* startButton() { return c<QPushButton>(IDC_START_STOP); }
  QString log() { return krii_log_text(dlg_.get()); }
  void clearLog() { c<CMyEdit>(IDC_LOG)->onCommand(CMyEdit::ID_CLEAR); }
  void waitIdle(int ms) {
    QTRY_COMPARE_WITH_TIMEOUT(dlg_->state(), int(CkriiDlg::STATE_IDLE), ms);
    QTRY_COMPARE_WITH_TIMEOUT(startButton()->text(), QStringLiteral("开始镜像(&S)"), 2000);
  }
  // Clicks the given button of the next question box as soon as it shows,
  // keeping its text and its preset button.
  // QMessageBox::Escape presses the Escape key instead of a button.
  void answerNextBox(QMessageBox::StandardButton button, QString* text,
                     QMessageBox::StandardButton* preset = nullptr, QString* title = nullptr) {
    auto* t = new QTimer(dlg_.get());
    connect(t, &QTimer::timeout, dlg_.get(), [=, this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || box == static_cast<QWidget*>(dlg_.get())) return;
      t->stop();
      t->deleteLater();
      *text = box->text();
      if (title) *title = box->windowTitle();
      if (preset) *preset = box->standardButton(box->defaultButton());
      if (button == QMessageBox::Escape)
        QTest::keyClick(box, Qt::Key_Escape);
      else
        box->button(button)->click();
    });
    t->start(20);
  }
  void checkOnlyStopUsable() {
    for (int id : kInputs) QVERIFY2(!c<QWidget>(id)->isEnabled(), qPrintable(QString::number(id)));
    QVERIFY(startButton()->isEnabled());
    QCOMPARE(startButton()->text(), QStringLiteral("停止镜像(&Q)"));
  }

  void startDaemon() {
    const QString bin = qEnvironmentVariable("KRII_BIN_DIR") + QStringLiteral("/krsd");
    if (!QFile::exists(bin)) {
      daemon_skip_ = QStringLiteral("the daemon %1 is not built").arg(bin);
      return;
    }
    // The dialog's URL names no port: the daemon must answer on 6688.
    if (!loopback_port_free(6688)) {
      daemon_skip_ = QStringLiteral("127.0.0.1:6688 is in use; the dialog's URL implies that port");
      return;
    }
    image_ = krii_test_dir() + QStringLiteral("/device.img");
    QByteArray data(kImageSize, Qt::Uninitialized);
    QRandomGenerator gen(20181010);
    gen.fillRange(reinterpret_cast<quint32*>(data.data()), int(data.size() / 4));
    QFile f(image_);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), kImageSize);
    f.close();
    image_md5_ = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    const QString port_file = krii_test_dir() + QStringLiteral("/krsd.ports");
    // Each connection pauses 1.5 s after 8 MiB, so that the status line and
    // the bar are seen moving and Stop lands in a running job.
    daemon_.start(bin, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                        QStringLiteral("6688"), QStringLiteral("--tls-port"), QStringLiteral("0"),
                        QStringLiteral("--map"), QStringLiteral("/dev/rdisk0s1s2=") + image_,
                        QStringLiteral("--port-file"), port_file, QStringLiteral("--stall-after"),
                        QStringLiteral("8m:1500")});
    QVERIFY(daemon_.waitForStarted(5000));
    kit::PortFile ports;
    const std::string ports_path = QFile::encodeName(port_file).toStdString();
    for (int i = 0; i < 250 && !kit::read_port_file(ports_path, &ports); ++i) QTest::qWait(20);
    if (ports.port != 6688) {
      daemon_skip_ = QStringLiteral("the daemon did not come up on 127.0.0.1:6688: ") +
                     QString::fromLocal8Bit(daemon_.readAllStandardError());
      daemon_.kill();
      daemon_.waitForFinished(2000);
    }
  }

  void startJob(const QString& path) {
    c<CIpAddressCtrl>(IDC_ADDRESS)->setAddress(0x7F000001);
    c<QLineEdit>(IDC_PATH)->setText(path);
    saw_status_ = false;
    max_progress_ = 0;
    startButton()->click();
  }

 private slots:
  void initTestCase() {
    krii_clear_settings();
    dlg_ = std::make_unique<CkriiDlg>();
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    connect(&watch_, &QTimer::timeout, this, [this] {
      if (!c<QLabel>(IDC_STATUS)->text().isEmpty()) saw_status_ = true;
      max_progress_ = std::max(max_progress_, c<QProgressBar>(IDC_PROGRESS)->value());
    });
    watch_.start(10);
    startDaemon();
  }

  void cleanupTestCase() {
    watch_.stop();
    dlg_->close();
    dlg_.reset();
    if (daemon_.state() != QProcess::NotRunning) {
      daemon_.kill();
      daemon_.waitForFinished(5000);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(krii_open_windows(), 0);
  }

  void connectDisablesEverythingUntilTheDeploymentEnds() {
    QFile::remove(krii_tool_log());
    qputenv("KRII_TOOL_SLEEP", "1");
    c<CIpAddressCtrl>(IDC_ADDRESS)->setAddress(0x0A010203);
    c<QLineEdit>(IDC_USER)->setText(QStringLiteral("examiner"));
    c<QLineEdit>(IDC_PORT)->setText(QStringLiteral("2200"));
    clearLog();
    c<QPushButton>(IDC_CONNECT)->click();
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_CONNECTING));
    for (int id : kInputs) QVERIFY2(!c<QWidget>(id)->isEnabled(), qPrintable(QString::number(id)));
    QVERIFY(!startButton()->isEnabled());
    // Timer ticks during the deployment keep everything disabled.
    QTest::qWait(1200);
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_CONNECTING));
    QVERIFY(!startButton()->isEnabled());
    waitIdle(20000);
    qunsetenv("KRII_TOOL_SLEEP");
    for (int id : kInputs) QVERIFY2(c<QWidget>(id)->isEnabled(), qPrintable(QString::number(id)));
    QVERIFY(startButton()->isEnabled());
    QVERIFY(log().contains(QStringLiteral("设备初始化完成\n")));
    // The request carried the controls' values, the address as rendered.
    const QString tools = QString::fromLocal8Bit(file_bytes(krii_tool_log()));
    QVERIFY2(tools.contains(QStringLiteral("pscp.exe -pw tazmok -P 2200 -batch dev/armv7/krsd examiner@10.1.2.3:/tmp")),
             qPrintable(tools));
    QVERIFY2(tools.contains(QStringLiteral("plink.exe -pw tazmok -P 2200 -batch examiner@10.1.2.3")), qPrintable(tools));
  }

  // While a deployment runs, the keys that end an idle dialog do nothing:
  // the dialog, its log and the running work stay.
  void endingKeysDoNothingWhileBusy_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 0;
    QTest::newRow("Return") << int(Qt::Key_Return) << 0;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
  }
  void endingKeysDoNothingWhileBusy() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    qputenv("KRII_TOOL_SLEEP", "1");
    c<QPushButton>(IDC_CONNECT)->click();
    qunsetenv("KRII_TOOL_SLEEP");
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_CONNECTING));
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : dlg_.get();
    QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTest::keyClick(dlg_.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QVERIFY(dlg_->isVisible());
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_CONNECTING));
    waitIdle(20000);
    QVERIFY(log().contains(QStringLiteral("设备初始化完成\n")));
  }

  // A host key the SSH tools do not know: the question shows its
  // fingerprint with No preset, and No ends the Connect with the copy error.
  void unknownHostKeyIsAskedAboutWithNoPreset() {
    qputenv("KRII_TOOL_SAY", "The host key is not cached for this server:\n"
                             "The server's ssh-ed25519 key fingerprint is:\n"
                             "  ssh-ed25519 255 SHA256:Abc1\nConnection abandoned.\n");
    qputenv("KRII_TOOL_RC", "1");
    QString question;
    QMessageBox::StandardButton preset = QMessageBox::NoButton;
    answerNextBox(QMessageBox::No, &question, &preset);
    clearLog();
    c<QPushButton>(IDC_CONNECT)->click();
    waitIdle(20000);
    qunsetenv("KRII_TOOL_SAY");
    qunsetenv("KRII_TOOL_RC");
    QVERIFY2(question.contains(QStringLiteral("ssh-ed25519 255 SHA256:Abc1")), qPrintable(question));
    QCOMPARE(preset, QMessageBox::No);
    QVERIFY2(log().contains(QStringLiteral("未信任设备主机密钥\n")), qPrintable(log()));
    QVERIFY(log().endsWith(QStringLiteral("初始化设备环境: 复制文件错误\n")));
  }

  // A failed Connect shows the SSH tool's own reason without debug, and no
  // line ever shows the password, with debug or without; a stored user
  // longer than the deployment carries is named, and nothing was copied.
  void connectSaysWhyAndNeverShowsThePassword_data() {
    QTest::addColumn<bool>("debug");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("shown");    // a line the log holds
    QTest::addColumn<QString>("outcome");  // the log's last line
    const QString copy = QStringLiteral("初始化设备环境: 复制文件错误\n");
    const QString reason = QStringLiteral("pscp.exe: FATAL ERROR: Network error: No route to host\n");
    QTest::newRow("reason") << false << "root" << reason << copy;
    QTest::newRow("reason, debug") << true << "root" << reason << copy;
    QTest::newRow("overlong user") << true << QString(40, QLatin1Char('u'))
                                   << "the user is longer than 31 characters, not used\n"
                                   << "初始化设备环境: 用户名超过 31 个字符, 未复制文件\n";
  }
  void connectSaysWhyAndNeverShowsThePassword() {
    QFETCH(bool, debug);
    QFETCH(QString, user);
    QFETCH(QString, shown);
    QFETCH(QString, outcome);
    qputenv("KRII_TOOL_SAY", "Access denied\nFATAL ERROR: Network error: No route to host\n");
    qputenv("KRII_TOOL_RC", "1");
    if (debug != CkriiDlg::debugEnabled()) dlg_->OnSysCommand(CkriiDlg::IDM_DEBUG);
    auto* u = c<QLineEdit>(IDC_USER);
    u->setMaxLength(std::max(31, int(user.size())));  // as a stored value is shown
    u->setText(user);
    c<QLineEdit>(IDC_PASSWD)->setText(QStringLiteral("tazmok"));
    clearLog();
    c<QPushButton>(IDC_CONNECT)->click();
    waitIdle(20000);
    qunsetenv("KRII_TOOL_SAY");
    qunsetenv("KRII_TOOL_RC");
    if (CkriiDlg::debugEnabled()) dlg_->OnSysCommand(CkriiDlg::IDM_DEBUG);
    u->setText(QStringLiteral("root"));
    const QString text = log();
    QVERIFY2(text.contains(shown), qPrintable(text));
    QVERIFY2(text.endsWith(outcome), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("tazmok")), qPrintable(text));
    QCOMPARE(text.contains(QStringLiteral("-pw ****** -P ")), debug && user.size() <= 31);
    if (user.size() > 31) QVERIFY(!text.contains(QStringLiteral("复制文件错误")));
  }

  void startWithEmptyPathLogsOneLine() {
    c<QLineEdit>(IDC_PATH)->clear();
    clearLog();
    startButton()->click();
    QTRY_VERIFY(!log().isEmpty());
    QTest::qWait(600);
    const QStringList lines = log().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].mid(9), QStringLiteral("请选择镜像文件的存放路径"));
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_IDLE));
    QCOMPARE(startButton()->text(), QStringLiteral("开始镜像(&S)"));
    QVERIFY(c<QWidget>(IDC_CONNECT)->isEnabled());
  }

  void imagingAgainstLocalDaemon() {
    if (!daemon_skip_.isEmpty()) QSKIP(qPrintable(daemon_skip_));
    const QString out = krii_test_dir() + QStringLiteral("/full.img");
    clearLog();
    startJob(out);
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_IMAGING));
    checkOnlyStopUsable();
    QVERIFY2(krii_wait_log(dlg_.get(), QStringLiteral("镜像文件成功完成!"), 60000), qPrintable(log()));
    waitIdle(5000);
    const QString text = log();
    QVERIFY2(text.contains(QStringLiteral("开始镜像[krp://127.0.0.1/dev/rdisk0s1s2] 到 [%1]\n").arg(out)),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("设备存储大小：%1 (").arg(kImageSize)), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("%1 bytes (").arg(kImageSize)), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral(") copied, [")));
    QVERIFY2(text.contains(QStringLiteral("md5: ") + QString::fromLatin1(image_md5_) + QLatin1Char('\n')),
             qPrintable(text));
    QVERIFY(saw_status_);
    QVERIFY(max_progress_ > 0);
    // At the end the status line is empty; a finished job keeps its full bar.
    QTRY_COMPARE(c<QLabel>(IDC_STATUS)->text(), QString());
    QCOMPARE(c<QProgressBar>(IDC_PROGRESS)->value(), 100);
    QCOMPARE(QCryptographicHash::hash(file_bytes(out), QCryptographicHash::Md5).toHex(), image_md5_);
  }

  void stopEndsTheJobAndResumeFinishesIt() {
    if (!daemon_skip_.isEmpty()) QSKIP(qPrintable(daemon_skip_));
    const QString out = krii_test_dir() + QStringLiteral("/part.img");
    clearLog();
    startJob(out);
    // Stop once the first blocks are in the image; the daemon's pause at
    // 8 MiB keeps the job running meanwhile. (The status line is no signal
    // here: it is refreshed at most once a second across jobs, so on a fast
    // machine it may first move after the pause, when the job is all but done.)
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(out).size() >= (1 << 20), 20000);
    // While the job runs, Enter on the focused Stop button presses nothing,
    // and the close box asks first: No keeps the window and the job.
    startButton()->setFocus();
    QTest::keyClick(startButton(), Qt::Key_Return);
    QString close_question, close_title;
    answerNextBox(QMessageBox::No, &close_question, nullptr, &close_title);
    dlg_->close();
    QVERIFY(dlg_->isVisible());
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_IMAGING));
    QVERIFY(!log().contains(QStringLiteral("请求停止镜像\n")));
    QVERIFY2(close_question.contains(QStringLiteral("以后可以继续断点镜像")), qPrintable(close_question));
    QCOMPARE(close_title, dlg_->windowTitle());
    startButton()->click();
    startButton()->click();
    QTRY_COMPARE(log().count(QStringLiteral("请求停止镜像\n")), 2);
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_IMAGING));
    checkOnlyStopUsable();
    waitIdle(30000);
    QVERIFY2(krii_wait_log(dlg_.get(), QStringLiteral(") copied, ["), 5000), qPrintable(log()));
    QTest::qWait(100);
    QVERIFY(!log().contains(QStringLiteral("md5: ")));
    QVERIFY(!log().contains(QStringLiteral("镜像文件成功完成!")));
    const qint64 part = QFileInfo(out).size();
    QVERIFY(part > 0);
    QVERIFY(part < kImageSize);

    // Escape on the question changes nothing and starts nothing.
    QString question;
    answerNextBox(QMessageBox::Escape, &question);
    startJob(out);
    QCOMPARE(dlg_->state(), int(CkriiDlg::STATE_IDLE));
    QCOMPARE(QFileInfo(out).size(), part);
    QVERIFY2(krii_wait_log(dlg_.get(), QStringLiteral("未开始镜像: 已有镜像保持不变\n"), 5000), qPrintable(log()));
    // Start again on the partial image: the question, Yes, and the rest.
    answerNextBox(QMessageBox::Yes, &question);
    clearLog();
    startJob(out);
    QVERIFY2(question.startsWith(QStringLiteral("%1 存在，是否继续断点镜像\n").arg(out)), qPrintable(question));
    QVERIFY2(question.contains(QStringLiteral("镜像 %1 字节").arg(part)), qPrintable(question));
    QVERIFY2(krii_wait_log(dlg_.get(), QStringLiteral("镜像文件成功完成!"), 60000), qPrintable(log()));
    waitIdle(5000);
    QVERIFY2(log().contains(QStringLiteral("偏移文件: %1 (").arg(part)), qPrintable(log()));
    // The prefix was hashed again from the image: the digest is the whole image's.
    QVERIFY2(log().contains(QStringLiteral("md5: ") + QString::fromLatin1(image_md5_) + QLatin1Char('\n')),
             qPrintable(log()));
    QCOMPARE(QCryptographicHash::hash(file_bytes(out), QCryptographicHash::Md5).toHex(), image_md5_);
    // The dialog's jobs leave their report beside the image too.
    QVERIFY(QFileInfo::exists(out + QStringLiteral(".json")));
    QVERIFY(QFileInfo::exists(out + QStringLiteral(".txt")));
  }
};

KRII_TEST_MAIN(StateTest)
#include "krii_state_test.moc"
