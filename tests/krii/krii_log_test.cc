// The log window and the hooks: lines in call order with their time stamps,
// the debug toggle, the context menu, lines from worker threads while the UI
// thread logs, and calls that arrive after the dialog has gone.
#include <QAction>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

#include "MyEdit.h"
#include "krii_test_env.h"
#include "kriiDlg.h"
#include "krsd_ui.h"
#include "os/os_log.h"

#define KR_LOG_SRC "tests\\krii\\krii_log_test"

class LogTest : public QObject {
  Q_OBJECT

  std::unique_ptr<CkriiDlg> dlg_;
  CMyEdit* log_ = nullptr;

  QAction* menuAction(QMenu* m, int id) {
    return m->findChild<QAction*>(QString::number(id));
  }

 private slots:
  void init() {
    krii_clear_settings();
    dlg_ = std::make_unique<CkriiDlg>();
    dlg_->show();
    log_ = krii_child<CMyEdit>(dlg_.get(), IDC_LOG);
    QVERIFY(log_);
    // Lines of the dialog's start-up (none are expected) are not part of a test.
    QTest::qWait(50);
    log_->onCommand(CMyEdit::ID_CLEAR);
  }
  void cleanup() {
    if (CkriiDlg::debugEnabled()) dlg_->OnSysCommand(CkriiDlg::IDM_DEBUG);
    dlg_->close();
    dlg_.reset();
    log_ = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(krii_open_windows(), 0);
  }

  void threeLinesInOrderWithTimeStamps() {
    KR_LOG(OS_LOG_INFO, "first %d\n", 1);
    KR_LOG(OS_LOG_ERR, "second\n");
    KR_LOG(OS_LOG_INFO, "third\n");
    QTRY_VERIFY(log_->toPlainText().count(QLatin1Char('\n')) == 3);
    const QRegularExpression re(QStringLiteral(
        "^\\d\\d:\\d\\d:\\d\\d first 1\\n\\d\\d:\\d\\d:\\d\\d second\\n\\d\\d:\\d\\d:\\d\\d third\\n$"));
    QVERIFY2(re.match(log_->toPlainText()).hasMatch(), qPrintable(log_->toPlainText()));
  }

  void debugToggleShowsLevel7() {
    QAction* item = dlg_->debugAction();
    QVERIFY(!item->isChecked());
    KR_LOG(OS_LOG_DEBUG, "hidden detail\n");
    KR_LOG(OS_LOG_INFO, "marker one\n");
    QVERIFY(krii_wait_log(dlg_.get(), QStringLiteral("marker one"), 5000));
    QVERIFY(!log_->toPlainText().contains(QStringLiteral("hidden detail")));

    dlg_->OnSysCommand(CkriiDlg::IDM_DEBUG);
    QVERIFY(item->isChecked());
    QVERIFY(CkriiDlg::debugEnabled());
    KR_LOG(OS_LOG_DEBUG, "shown detail\n");
    QVERIFY(krii_wait_log(dlg_.get(), QStringLiteral("shown detail"), 5000));

    // Through the menu item itself: the second use removes the tick.
    item->trigger();
    QVERIFY(!item->isChecked());
    QVERIFY(!CkriiDlg::debugEnabled());
    KR_LOG(OS_LOG_DEBUG, "hidden again\n");
    KR_LOG(OS_LOG_INFO, "marker two\n");
    QVERIFY(krii_wait_log(dlg_.get(), QStringLiteral("marker two"), 5000));
    QVERIFY(!log_->toPlainText().contains(QStringLiteral("hidden again")));
  }

  void contextMenuCopySelectAllClear() {
    log_->appendLine(QStringLiteral("alpha\nbeta\n"));
    std::unique_ptr<QMenu> menu(log_->createContextMenu());
    QList<QAction*> a = menu->actions();
    QCOMPARE(a.size(), 4);
    QCOMPARE(a[0]->text(), QStringLiteral("复制(&C)"));
    QCOMPARE(a[1]->text(), QStringLiteral("全选(&A)"));
    QVERIFY(a[2]->isSeparator());
    // Its own letter: 复制 has C.
    QCOMPARE(a[3]->text(), QStringLiteral("清空(&L)"));
    QVERIFY(!menuAction(menu.get(), CMyEdit::ID_COPY)->isEnabled());
    QVERIFY(menuAction(menu.get(), CMyEdit::ID_SELECT_ALL)->isEnabled());
    QVERIFY(menuAction(menu.get(), CMyEdit::ID_CLEAR)->isEnabled());

    menuAction(menu.get(), CMyEdit::ID_SELECT_ALL)->trigger();
    menu.reset(log_->createContextMenu());
    QAction* copy = menuAction(menu.get(), CMyEdit::ID_COPY);
    QVERIFY(copy->isEnabled());
    QApplication::clipboard()->clear();
    copy->trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("alpha\nbeta\n"));

    // Clearing the examiner's record asks first: No keeps it, Yes clears.
    for (auto [button, cleared] : {std::pair{QMessageBox::No, false}, std::pair{QMessageBox::Yes, true}}) {
      QTimer::singleShot(50, this, [button = button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box) box->button(button)->click();
      });
      menuAction(menu.get(), CMyEdit::ID_CLEAR)->trigger();
      QCOMPARE(log_->toPlainText().isEmpty(), cleared);
    }
    KR_LOG(OS_LOG_INFO, "after clear\n");
    QTRY_VERIFY(!log_->toPlainText().isEmpty());
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d after clear\\n$"))
                .match(log_->toPlainText()).hasMatch());
  }

  void readOnlyAndSelectionGivesWayToNewLine() {
    log_->appendLine(QStringLiteral("one\n"));
    log_->setFocus();
    QTest::keyClicks(log_, "typed");
    QCOMPARE(log_->toPlainText(), QStringLiteral("one\n"));
    log_->selectAll();
    QVERIFY(log_->textCursor().hasSelection());
    KR_LOG(OS_LOG_INFO, "two\n");
    QTRY_VERIFY(log_->toPlainText().contains(QStringLiteral("two")));
    QVERIFY(!log_->textCursor().hasSelection());
    QCOMPARE(log_->textCursor().position(), log_->toPlainText().size());
  }

  void workerLinesNeverWaitForTheUiThread() {
    // A worker logs while the UI thread, which the worker never waits for,
    // logs too. Every line arrives, and each thread's lines keep their order.
    constexpr int kWorker = 3000, kUi = 300;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      for (int i = 0; i < kWorker; ++i) KR_LOG(OS_LOG_INFO, "w %d\n", i);
      done = true;
    });
    for (int i = 0; i < kUi; ++i) KR_LOG(OS_LOG_INFO, "u %d\n", i);
    // The UI thread has not run its event loop yet: the worker finished anyway.
    for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    QVERIFY(done.load());
    worker.join();
    QTRY_VERIFY_WITH_TIMEOUT(log_->toPlainText().count(QLatin1Char('\n')) == kWorker + kUi, 10000);
    int nextW = 0, nextU = 0;
    const QStringList lines = log_->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& l : lines) {
      const QStringList f = l.split(QLatin1Char(' '));
      QCOMPARE(f.size(), 3);
      if (f[1] == QStringLiteral("w")) QCOMPARE(f[2].toInt(), nextW++);
      else QCOMPARE(f[2].toInt(), nextU++);
    }
    QCOMPARE(nextW, kWorker);
    QCOMPARE(nextU, kUi);
  }

  void hooksFromTheWorker() {
    auto* status = krii_child<QLabel>(dlg_.get(), IDC_STATUS);
    auto* bar = krii_child<QProgressBar>(dlg_.get(), IDC_PROGRESS);
    std::thread worker([] {
      ui_set_progress(42);
      ui_set_status("52428800 bytes (50.0M), 12.50 MB/S, 3 minutes, 7%");
      ui_flash_if_disabled();
    });
    worker.join();
    QTRY_COMPARE(bar->value(), 42);
    QTRY_COMPARE(status->text(), QStringLiteral("52428800 bytes (50.0M), 12.50 MB/S, 3 minutes, 7%"));
    QTest::qWait(20);
    QCOMPARE(dlg_->flashCount(), 0);  // no modal box: nothing to draw attention to
    std::thread([] { ui_set_status(""); }).join();
    QTRY_COMPARE(status->text(), QString());
  }

  void flashWhileModalBoxIsOpen() {
    int flashes = -1;
    auto* t = new QTimer(dlg_.get());
    connect(t, &QTimer::timeout, dlg_.get(), [&, t] {
      QWidget* m = QApplication::activeModalWidget();
      if (!m || m == dlg_.get()) return;
      t->stop();
      std::thread([] { ui_flash_if_disabled(); }).join();
      QTRY_COMPARE(dlg_->flashCount(), 1);
      flashes = dlg_->flashCount();
      krii_child<QPushButton>(m, "1")->click();
    });
    t->start(20);
    dlg_->OnSysCommand(CkriiDlg::IDM_ABOUTBOX);
    QCOMPARE(flashes, 1);
  }

  void lateCallsAfterTheDialogIsGone() {
    dlg_->close();
    dlg_.reset();
    log_ = nullptr;
    // A worker still running logs and reports after the window went away.
    std::thread([] {
      KR_LOG(OS_LOG_INFO, "too late\n");
      ui_set_status("too late");
      ui_set_progress(50);
      ui_flash_if_disabled();
    }).join();
    QTest::qWait(50);
    QCoreApplication::processEvents();
    // For cleanup().
    dlg_ = std::make_unique<CkriiDlg>();
    dlg_->show();
    QTest::qWait(50);
    QVERIFY(!krii_log_text(dlg_.get()).contains(QStringLiteral("too late")));
  }
};

KRII_TEST_MAIN(LogTest)
#include "krii_log_test.moc"
