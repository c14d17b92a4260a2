#include "MyEdit.h"

#include <QMessageBox>

#include "AboutDlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPointer>
#include <QScrollBar>
#include <QTextCursor>

#include <mutex>
#include <vector>

namespace {

// Lines handed over by ui_log_append and not yet appended. A drain request
// is posted only when the queue turns non-empty, so a burst costs one event.
struct LogQueue {
  std::mutex mu;
  CMyEdit* edit = nullptr;        // guarded by mu
  std::vector<QString> pending;   // guarded by mu
  bool drain_posted = false;      // guarded by mu
};

LogQueue& queue() {
  static LogQueue q;
  return q;
}

}  // namespace

int ui_log_append(const char* line) {
  if (!line) return 0;
  QString text = QString::fromUtf8(line);
  LogQueue& q = queue();
  std::lock_guard<std::mutex> lock(q.mu);
  if (!q.edit) return 0;
  q.pending.push_back(std::move(text));
  if (!q.drain_posted) {
    q.drain_posted = true;
    // Posting never waits; a request to a window deleted meanwhile is
    // discarded by Qt together with the window.
    QMetaObject::invokeMethod(q.edit, &CMyEdit::drainQueued, Qt::QueuedConnection);
  }
  return 0;
}

void ui_log_attach(CMyEdit* edit) {
  LogQueue& q = queue();
  std::lock_guard<std::mutex> lock(q.mu);
  q.edit = edit;
  q.pending.clear();
  q.drain_posted = false;
}

CMyEdit::CMyEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setTabChangesFocus(true);
  setMaximumBlockCount(kMaxLines);
  setContextMenuPolicy(Qt::DefaultContextMenu);
}

CMyEdit::~CMyEdit() {
  LogQueue& q = queue();
  std::lock_guard<std::mutex> lock(q.mu);
  if (q.edit == this) {
    q.edit = nullptr;
    q.pending.clear();
    q.drain_posted = false;
  }
}

void CMyEdit::drainQueued() {
  std::vector<QString> lines;
  {
    LogQueue& q = queue();
    std::lock_guard<std::mutex> lock(q.mu);
    if (q.edit != this) return;
    lines.swap(q.pending);
    q.drain_posted = false;
  }
  if (lines.empty()) return;
  QString all;
  for (const QString& l : lines) all += l;
  appendLine(all);
}

void CMyEdit::appendLine(const QString& text) {
  QTextCursor c(document());
  c.movePosition(QTextCursor::End);
  c.insertText(text);
  // The insertion point goes to the end, replacing any selection of the
  // user, and the view follows it.
  setTextCursor(c);
  ensureCursorVisible();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

QMenu* CMyEdit::createContextMenu() {
  auto* menu = new QMenu(this);
  QAction* copy = menu->addAction(QStringLiteral("复制(&C)"));
  copy->setObjectName(QString::number(ID_COPY));
  copy->setEnabled(textCursor().hasSelection());
  connect(copy, &QAction::triggered, this, [this] { onCommand(ID_COPY); });
  QAction* all = menu->addAction(QStringLiteral("全选(&A)"));
  all->setObjectName(QString::number(ID_SELECT_ALL));
  connect(all, &QAction::triggered, this, [this] { onCommand(ID_SELECT_ALL); });
  menu->addSeparator();
  QAction* clear = menu->addAction(QStringLiteral("清空(&L)"));
  clear->setObjectName(QString::number(ID_CLEAR));
  connect(clear, &QAction::triggered, this, [this] {
    // The examiner's record of the session: emptied only when asked twice.
    QMessageBox box(QMessageBox::Question, krii_caption(),
                    QStringLiteral("清空日志窗口吗? (镜像旁的日志文件不受影响)"),
                    QMessageBox::Yes | QMessageBox::No, window());
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() == QMessageBox::Yes) onCommand(ID_CLEAR);
  });
  return menu;
}

void CMyEdit::onCommand(int id) {
  switch (id) {
    case ID_COPY:
      copy();
      break;
    case ID_SELECT_ALL:
      selectAll();
      break;
    case ID_CLEAR: {
      QTextCursor c(document());
      c.select(QTextCursor::Document);
      c.removeSelectedText();
      setTextCursor(c);
      break;
    }
    default:
      break;
  }
}

void CMyEdit::contextMenuEvent(QContextMenuEvent* e) {
  setFocus(Qt::MouseFocusReason);
  QPointer<QMenu> menu = createContextMenu();
  menu->exec(e->globalPos());
  delete menu;
  e->accept();
}
