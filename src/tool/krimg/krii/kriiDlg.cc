#include "kriiDlg.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSettings>
#include <QThread>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <mutex>

#include "AboutDlg.h"
#include "IpAddressCtrl.h"
#include "MyEdit.h"
#include "dlgUnits.h"
#include "krsd-client.h"
#include "krsd_ui.h"
#include "kriiSettings.h"
#include "os/os_log.h"
#include "ssh.h"

#define KR_LOG_SRC "src\\tool\\krimg\\krii\\kriiDlg"

namespace {

// The dialog the engine's hooks act on. The hooks run on the imaging worker:
// they only post the work to the UI thread, under this lock, so a hook that
// arrives after the dialog has detached itself does nothing, and the worker
// never waits for the UI thread (which may itself be waiting for the log
// lock that the worker holds).
std::mutex g_dlg_mu;
CkriiDlg* g_dlg = nullptr;  // guarded by g_dlg_mu

template <typename F>
void post_to_dialog(F f) {
  std::lock_guard<std::mutex> lock(g_dlg_mu);
  if (!g_dlg) return;
  CkriiDlg* d = g_dlg;
  QMetaObject::invokeMethod(d, [d, f] { f(d); }, Qt::QueuedConnection);
}

void hook_set_status(const char* text) {
  const QString s = QString::fromUtf8(text ? text : "");
  post_to_dialog([s](CkriiDlg* d) { d->setStatusText(s); });
}

void hook_set_progress(int percent) {
  post_to_dialog([percent](CkriiDlg* d) { d->setProgress(percent); });
}

void hook_flash_if_disabled() {
  post_to_dialog([](CkriiDlg* d) { d->flashIfDisabled(); });
}

// A question box under the dialog's title, on the UI thread. With a Cancel
// button, Escape and the box's close box are Cancel; without, they are No.
int ask_on_ui_thread(const QString& question, int buttons, int preset) {
  QWidget* parent = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_dlg_mu);
    parent = g_dlg;
  }
  QMessageBox::StandardButtons which = QMessageBox::Yes | QMessageBox::No;
  if (buttons == KRII_ASK_YES_NO_CANCEL) which |= QMessageBox::Cancel;
  QMessageBox box(QMessageBox::Question, krii_caption(), question, which, parent);
  box.setDefaultButton(preset == KRII_YES ? QMessageBox::Yes : preset == KRII_NO ? QMessageBox::No
                                                                                 : QMessageBox::Cancel);
  box.setEscapeButton(buttons == KRII_ASK_YES_NO_CANCEL ? QMessageBox::Cancel : QMessageBox::No);
  switch (box.exec()) {
    case QMessageBox::Yes: return KRII_YES;
    case QMessageBox::No: return KRII_NO;
    default: return buttons == KRII_ASK_YES_NO_CANCEL ? KRII_CANCEL : KRII_NO;
  }
}

// A question asked from another thread: that thread waits for the UI
// thread, which never waits for a worker.
int ask_any_thread(const QString& question, int buttons, int preset) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return KRII_NO;
  if (QThread::currentThread() == app->thread()) return ask_on_ui_thread(question, buttons, preset);
  int answer = KRII_NO;
  QMetaObject::invokeMethod(app, [&answer, question, buttons, preset] {
    answer = ask_on_ui_thread(question, buttons, preset);
  }, Qt::BlockingQueuedConnection);
  return answer;
}

// The engine's own resume question (the dialog asks its own before a job).
int hook_ask_yes_no(const char* question) {
  return ask_any_thread(QString::fromUtf8(question ? question : ""), KRII_ASK_YES_NO, KRII_YES) == KRII_YES;
}

// The deployment worker's question about a host key the SSH tools do not
// know yet. Trusting it is the examiner's decision, so No is the default.
bool hook_trust_hostkey(const char* host, int port, const char* fingerprint) {
  const QString q = QStringLiteral("设备 %1 (端口 %2) 的 SSH 主机密钥未知, 指纹:\n\n%3\n\n"
                                   "请与设备上的指纹核对。信任此密钥并继续连接吗?")
                        .arg(QString::fromUtf8(host), QString::number(port),
                             QString::fromUtf8(fingerprint));
  return ask_any_thread(q, KRII_ASK_YES_NO, KRII_NO) == KRII_YES;
}

const krsd_ui_ops kDialogOps = {hook_set_status, hook_set_progress, hook_flash_if_disabled,
                                hook_ask_yes_no};

// The per-user store: QSettings under the names the application set.
class qt_store : public krii_store {
 public:
  bool get(const char* group, const char* name, std::string* value) override {
    QSettings s;
    s.beginGroup(QString::fromLatin1(group));
    const QVariant v = s.value(QString::fromLatin1(name));
    if (!v.isValid()) return false;
    *value = v.toString().toStdString();
    return true;
  }
  void set(const char* group, const char* name, const std::string& value) override {
    if (!protected_) protected_ = krii_settings_protect() || true;
    QSettings s;
    s.beginGroup(QString::fromLatin1(group));
    s.setValue(QString::fromLatin1(name), QString::fromStdString(value));
  }
  void flush() override { QSettings().sync(); }

 private:
  bool protected_ = false;
};

QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

bool CkriiDlg::debugEnabled() { return CkriiLogic::DebugEnabled(); }

CkriiDlg::CkriiDlg(QWidget* parent)
    : QDialog(parent), store_(std::make_unique<qt_store>()), logic_(this, store_.get()) {
  setObjectName(QStringLiteral("CkriiDlg"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setFont(krii_dialog_font());
  createControls();
  timer_.setInterval(TIMER_PERIOD_MS);
  connect(&timer_, &QTimer::timeout, this, &CkriiDlg::OnTimer);

  // This is the one dialog the hooks and the log sink act on.
  {
    std::lock_guard<std::mutex> lock(g_dlg_mu);
    g_dlg = this;
  }
  ui_log_attach(log_);
  krsd_ui_set(&kDialogOps);
}

CkriiDlg::~CkriiDlg() {
  timer_.stop();
  // Detach before the controls go: a worker still running may log or call a
  // hook at any time; from now on both do nothing.
  {
    std::lock_guard<std::mutex> lock(g_dlg_mu);
    if (g_dlg == this) g_dlg = nullptr;
  }
  ui_log_attach(nullptr);
}

void CkriiDlg::createControls() {
  const DialogUnits du(font());
  auto at = [&du](QWidget* w, int x, int y, int cx, int cy) { w->setGeometry(du.rect(x, y, cx, cy)); };
  auto named = [this](QWidget* w, int id) {
    w->setObjectName(QString::number(id));
    controls_[id] = w;
    return w;
  };
  auto label = [&](const char* text, int id, int x, int y, int cx, int cy) {
    auto* l = new QLabel(QString::fromUtf8(text), this);
    l->setTextFormat(Qt::PlainText);
    named(l, id);
    at(l, x, y, cx, cy);
    return l;
  };
  auto group = [&](const char* text, int id, int x, int y, int cx, int cy) {
    auto* g = new QGroupBox(QString::fromUtf8(text), this);
    g->setFocusPolicy(Qt::NoFocus);
    named(g, id);
    at(g, x, y, cx, cy);
    return g;
  };
  auto edit = [&](int id, int x, int y, int cx, int cy) {
    auto* e = new QLineEdit(this);
    named(e, id);
    at(e, x, y, cx, cy);
    return e;
  };
  // What the examiner reads and copies, but does not type.
  auto shown = [&](int id, int x, int y, int cx, int cy) {
    QLineEdit* e = edit(id, x, y, cx, cy);
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::ClickFocus);
    return e;
  };
  auto button = [&](const char* text, int id, int x, int y, int cx, int cy) {
    auto* b = new QPushButton(QString::fromUtf8(text), this);
    named(b, id);
    at(b, x, y, cx, cy);
    return b;
  };

  // Group boxes first, so that the controls inside them are drawn on top.
  grp_conn_ = group("连接设置", IDC_GROUP_CONNECTION, 7, 3, 334, 40);
  grp_image_ = group("镜像操作", IDC_GROUP_IMAGE, 7, 46, 334, 70);
  grp_case_ = group("案件信息", IDC_GROUP_CASE, 7, 118, 334, 48);
  grp_state_ = group("运行状态", IDC_GROUP_STATE, 7, 168, 334, 150);

  ip_ = new CIpAddressCtrl(this);
  named(ip_, IDC_ADDRESS);
  at(ip_, 16, 19, 100, 12);
  label("用户名", IDC_LABEL_USER, 121, 21, 26, 10);
  QLineEdit* user = edit(IDC_USER, 150, 19, 48, 12);
  label("密码", IDC_LABEL_PASSWD, 204, 21, 21, 10);
  QLineEdit* passwd = edit(IDC_PASSWD, 227, 19, 58, 12);
  passwd->setEchoMode(QLineEdit::Password);
  label("端口", IDC_LABEL_PORT, 290, 23, 17, 8);
  QLineEdit* port = edit(IDC_PORT, 309, 19, 24, 12);
  port->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port));

  path_ = edit(IDC_PATH, 16, 61, 218, 13);
  format_ = new QComboBox(this);
  for (const krii_format& f : krii_formats) format_->addItem(QString::fromUtf8(f.text));
  named(format_, IDC_FORMAT);
  at(format_, 238, 61, 72, 13);
  browse_ = button("..", IDC_BROWSE, 314, 61, 20, 13);
  connect_ = button("连接(&C)", IDC_CONNECT, 16, 84, 46, 20);
  start_ = button("开始镜像(&S)", IDC_START_STOP, 88, 84, 107, 20);
  QPushButton* verify = button("校验镜像(&V)", IDC_VERIFY, 200, 84, 60, 20);

  label("案件编号", IDC_LABEL_CASE, 16, 133, 34, 10);
  QLineEdit* case_id = edit(IDC_CASE, 52, 131, 76, 12);
  label("检材编号", IDC_LABEL_EVIDENCE, 134, 133, 34, 10);
  QLineEdit* evidence = edit(IDC_EVIDENCE, 170, 131, 70, 12);
  label("检验人", IDC_LABEL_EXAMINER, 246, 133, 26, 10);
  QLineEdit* examiner = edit(IDC_EXAMINER, 274, 131, 59, 12);
  label("备注", IDC_LABEL_NOTES, 16, 150, 34, 10);
  QLineEdit* notes = edit(IDC_NOTES, 52, 148, 281, 12);

  progress_ = new QProgressBar(this);
  named(progress_, IDC_PROGRESS);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  at(progress_, 16, 184, 317, 8);
  status_ = label("", IDC_STATUS, 16, 196, 317, 9);
  label("MD5", IDC_LABEL_MD5, 16, 209, 26, 10);
  shown(IDC_MD5, 44, 207, 148, 12);
  QPushButton* copy = button("复制哈希(&H)", IDC_COPY_HASHES, 198, 206, 64, 14);
  QPushButton* open = button("打开文件夹(&O)", IDC_OPEN_FOLDER, 269, 206, 64, 14);
  label("SHA-256", IDC_LABEL_SHA256, 16, 223, 26, 10);
  shown(IDC_SHA256, 44, 221, 289, 12);
  label("报告", IDC_LABEL_REPORT, 16, 237, 26, 10);
  shown(IDC_REPORT, 44, 235, 289, 12);
  log_ = new CMyEdit(this);
  named(log_, IDC_LOG);
  at(log_, 16, 251, 317, 60);

  // The controls that take the focus, in this order.
  QWidget* order[] = {connect_, start_, verify, path_, format_, browse_, case_id, evidence, examiner, notes,
                      log_, ip_, user, passwd, port};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  connect(browse_, &QPushButton::clicked, this, &CkriiDlg::OnBnClickedBrowse);
  connect(connect_, &QPushButton::clicked, this, &CkriiDlg::OnBnClickedConnect);
  connect(start_, &QPushButton::clicked, this, &CkriiDlg::OnBnClickedStartStopWork);
  connect(verify, &QPushButton::clicked, this, &CkriiDlg::OnBnClickedVerify);
  connect(copy, &QPushButton::clicked, this, [this] { logic_.OnCopyHashes(); });
  connect(open, &QPushButton::clicked, this, [this] { logic_.OnOpenFolder(); });
  connect(path_, &QLineEdit::editingFinished, this, [this] { logic_.OnPathEdited(); });
  // Only the examiner's choice: the logic's own set_text does not call back.
  connect(format_, &QComboBox::activated, this, [this] { logic_.OnFormatChosen(); });

  base_size_ = QSize(du.x(348), du.y(325));
  resize(base_size_);

  // The system menu's own items, in a popup. Desktops keep Alt+Space for
  // their own window menu, so the popup has routes of its own: the button
  // "菜单(&M)" at the end of the buttons' row (also Alt+M), F10 (the key that
  // opens an application's menu on Linux desktops), a right click on the
  // background, and Alt+Space where the desktop lets it through.
  sys_menu_ = new QMenu(this);
  debug_action_ = sys_menu_->addAction(QStringLiteral("启用调试(&D)"));
  debug_action_->setObjectName(QString::number(IDM_DEBUG));
  debug_action_->setCheckable(true);
  debug_action_->setChecked(CkriiLogic::DebugEnabled());
  connect(debug_action_, &QAction::triggered, this, [this] { OnSysCommand(IDM_DEBUG); });
  sys_menu_->addSeparator();
  QAction* about = sys_menu_->addAction(QStringLiteral("关于 (&A)..."));
  about->setObjectName(QString::number(IDM_ABOUTBOX));
  connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
  // At the end of the buttons' row, right-aligned with ".." above it, and
  // out of the focus order: its letter and F10 are its keyboard routes.
  menu_button_ = new QPushButton(QStringLiteral("菜单(&M)"), this);
  menu_button_->setObjectName(QStringLiteral("menu"));
  at(menu_button_, 288, 84, 46, 20);
  menu_button_->setToolTip(QStringLiteral("菜单 (F10)"));
  menu_button_->setFocusPolicy(Qt::NoFocus);
  menu_button_->setAutoDefault(false);
  connect(menu_button_, &QPushButton::clicked, this,
          [this] { showSystemMenu(menu_button_->mapToGlobal(QPoint(0, menu_button_->height()))); });
  // The keys open it whichever control has the focus (a button would take
  // the Space for a click, an edit F10 for nothing).
  for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);
}

QWidget* CkriiDlg::control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

std::string CkriiDlg::text(int id) const {
  QWidget* w = control(id);
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
  if (auto* ip = qobject_cast<CIpAddressCtrl*>(w)) return ip->text().toStdString();
  if (auto* b = qobject_cast<QPushButton*>(w)) return b->text().toStdString();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText().toStdString();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
  return "";
}

void CkriiDlg::set_text(int id, const std::string& text) {
  QWidget* w = control(id);
  const QString t = q(text);
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    // A stored value is shown whole and kept so, while typing stops at the
    // limit: the edit's own limit would cut the value on display and the
    // cut value would be stored at close.
    auto lim = limits_.find(id);
    if (lim != limits_.end()) e->setMaxLength(std::max(lim->second, int(t.size())));
    e->setText(t);
    e->setCursorPosition(0);
  } else if (auto* ip = qobject_cast<CIpAddressCtrl*>(w)) {
    ip->setAddress(krii_parse_address(text));
  } else if (auto* b = qobject_cast<QPushButton*>(w)) {
    if (b->text() != t) b->setText(t);
  } else if (auto* c = qobject_cast<QComboBox*>(w)) {
    const int i = c->findText(t);
    if (i >= 0) c->setCurrentIndex(i);
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(t);
  }
}

void CkriiDlg::enable(int id, bool on) {
  if (QWidget* w = control(id)) w->setEnabled(on);
}

void CkriiDlg::set_limit(int id, int chars) {
  auto* e = qobject_cast<QLineEdit*>(control(id));
  if (!e) return;
  const bool first = limits_.find(id) == limits_.end();
  limits_[id] = chars;
  e->setMaxLength(std::max(chars, int(e->text().size())));
  if (!first) return;
  // Once shortened it may not grow again beyond the limit.
  connect(e, &QLineEdit::textChanged, e, [this, e, id](const QString& now) {
    e->setMaxLength(std::max(limits_[id], int(now.size())));
  });
}

void CkriiDlg::set_progress(int percent) { setProgress(percent); }

int CkriiDlg::ask(const std::string& text, int buttons, int preset) {
  return ask_on_ui_thread(q(text), buttons, preset);
}

bool CkriiDlg::choose_image(const std::string& folder, std::string* path) {
  // No owner window; the proposed name is "krii.img", or "krii.E01" while
  // an E01 format is chosen, and the name gets the ending of the chosen
  // filter where it has none.
  const bool e01 = format_->currentIndex() > 0;
  QFileDialog fd(nullptr);
  fd.setDirectory(folder.empty() ? QDir::homePath() : q(folder));
  fd.setAcceptMode(QFileDialog::AcceptSave);
  fd.setFileMode(QFileDialog::AnyFile);
  fd.setNameFilters({QStringLiteral("Image Files (*.img *.dd)"), QStringLiteral("E01 Images (*.E01)"),
                     QStringLiteral("All Files (*)")});
  fd.selectNameFilter(fd.nameFilters().value(e01 ? 1 : 0));
  fd.setDefaultSuffix(e01 ? QStringLiteral("E01") : QStringLiteral("img"));
  fd.selectFile(e01 ? QStringLiteral("krii.E01") : QStringLiteral("krii.img"));
  connect(&fd, &QFileDialog::filterSelected, &fd, [&fd](const QString& filter) {
    if (filter.contains(QStringLiteral("*.E01")))
      fd.setDefaultSuffix(QStringLiteral("E01"));
    else if (filter.contains(QStringLiteral("*.img")))
      fd.setDefaultSuffix(QStringLiteral("img"));
  });
  fd.setOption(QFileDialog::DontConfirmOverwrite, false);
  fd.setWindowModality(Qt::ApplicationModal);
  if (fd.exec() != QDialog::Accepted) return false;
  const QStringList files = fd.selectedFiles();
  if (files.isEmpty() || files.first().isEmpty()) return false;
  *path = files.first().toStdString();
  return true;
}

void CkriiDlg::open_folder(const std::string& folder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(q(folder)).absoluteFilePath()));
}

void CkriiDlg::copy_text(const std::string& text) { QGuiApplication::clipboard()->setText(q(text)); }

void CkriiDlg::end_dialog() {
  if (!closed_) {
    closed_ = true;
    SavePlacement();
  }
  done(QDialog::Rejected);
}

bool CkriiDlg::isMenuKey(const QKeyEvent* k) {
  const Qt::KeyboardModifiers mods = k->modifiers() & ~Qt::KeypadModifier;
  return (k->key() == Qt::Key_Space && mods == Qt::AltModifier) ||
         (k->key() == Qt::Key_F10 && mods == Qt::NoModifier);
}

bool CkriiDlg::eventFilter(QObject* obj, QEvent* ev) {
  // An open menu handles its own keys.
  if (obj != sys_menu_ && (ev->type() == QEvent::KeyPress || ev->type() == QEvent::ShortcutOverride)) {
    auto* k = static_cast<QKeyEvent*>(ev);
    if (isMenuKey(k)) {
      if (ev->type() == QEvent::KeyPress) showSystemMenu(menuKeyPosition());
      ev->accept();
      return true;
    }
    const bool enter = k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter;
    if (ev->type() == QEvent::KeyPress && enter && qobject_cast<QPushButton*>(obj) && !logic_.EnterClicks()) {
      // While work runs the focus is on Stop: Enter must not press it.
      ev->accept();
      return true;
    }
    // A full edit refuses the next character with the usual beep.
    auto* e = qobject_cast<QLineEdit*>(obj);
    if (ev->type() == QEvent::KeyPress && e && !e->isReadOnly() && !k->text().isEmpty() &&
        k->text().at(0).isPrint() && !e->hasSelectedText() && e->text().size() >= e->maxLength())
      QApplication::beep();
  }
  return QDialog::eventFilter(obj, ev);
}

void CkriiDlg::setVisible(bool visible) {
  if (visible && !inited_) {
    inited_ = true;
    OnInitDialog();
  }
  QDialog::setVisible(visible);
}

bool CkriiDlg::OnInitDialog() {
  // The first size is the smallest one; a size grip sits in the corner.
  setMinimumSize(base_size_);
  setSizeGripEnabled(true);
  setWindowIcon(krii_app_icon());
  // Anchors against the first size: (left/top) and (right/bottom) move by
  // these shares of the change in width and height.
  for (int id : {IDC_GROUP_CONNECTION, IDC_PATH, IDC_GROUP_IMAGE, IDC_GROUP_CASE, IDC_NOTES, IDC_STATUS,
                 IDC_PROGRESS, IDC_SHA256, IDC_REPORT})
    addAnchor(control(id), 0, 0, 1, 0);
  addAnchor(format_, 1, 0, 1, 0);
  addAnchor(browse_, 1, 0, 1, 0);
  addAnchor(menu_button_, 1, 0, 1, 0);
  addAnchor(grp_state_, 0, 0, 1, 1);
  addAnchor(log_, 0, 0, 1, 1);
  RestorePlacement();
  setWindowTitle(krii_caption());
  ssh_set_hostkey_question(hook_trust_hostkey);
  logic_.OnInit();
  timer_.start();
  connect_->setFocus(Qt::OtherFocusReason);
  return true;
}

void CkriiDlg::addAnchor(QWidget* w, double l, double t, double r, double b) {
  anchors_.push_back({w, w->geometry(), l, t, r, b});
}

void CkriiDlg::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  const int dx = width() - base_size_.width();
  const int dy = height() - base_size_.height();
  for (const Anchor& a : anchors_) {
    const int left = a.base.x() + int(a.l * dx);
    const int top = a.base.y() + int(a.t * dy);
    const int right = a.base.x() + a.base.width() + int(a.r * dx);
    const int bottom = a.base.y() + a.base.height() + int(a.b * dy);
    a.w->setGeometry(left, top, right - left, bottom - top);
  }
}

void CkriiDlg::RestorePlacement() {
  QSettings s;
  s.beginGroup(QString::fromLatin1(KRII_GROUP_PLACEMENT));
  const QByteArray raw = s.value(QString::fromLatin1(KRII_VALUE_PLACEMENT)).toByteArray();
  s.endGroup();
  krii_placement p;
  if (!krii_placement_decode(raw, &p) || p.length != KRII_PLACEMENT_SIZE) return;
  QRect r(p.left, p.top, p.right - p.left, p.bottom - p.top);
  if (r.width() <= 0 || r.height() <= 0) return;
  r.setSize(r.size().expandedTo(minimumSize()));
  // A position on a screen that is no longer there keeps only the size.
  bool on_screen = false;
  for (QScreen* sc : QGuiApplication::screens())
    if (sc->availableVirtualGeometry().intersects(r)) on_screen = true;
  if (on_screen)
    setGeometry(r);
  else
    resize(r.size());
  // A window closed while minimised comes back as a normal window: an
  // examiner starting the program must see it.
  if (p.show == KRII_SHOW_MAXIMIZED) setWindowState(windowState() | Qt::WindowMaximized);
}

void CkriiDlg::SavePlacement() {
  krii_placement p;
  p.show = isMaximized() ? KRII_SHOW_MAXIMIZED : isMinimized() ? KRII_SHOW_MINIMIZED : KRII_SHOW_NORMAL;
  QRect n = normalGeometry();
  if (!n.isValid()) n = geometry();
  p.left = n.x();
  p.top = n.y();
  p.right = n.x() + n.width();
  p.bottom = n.y() + n.height();
  krii_settings_protect();
  QSettings s;
  s.beginGroup(QString::fromLatin1(KRII_GROUP_PLACEMENT));
  s.setValue(QString::fromLatin1(KRII_VALUE_PLACEMENT), krii_placement_encode(p));
  s.endGroup();
  s.sync();
}

void CkriiDlg::OnBnClickedBrowse() { logic_.OnBrowse(); }
void CkriiDlg::OnBnClickedConnect() { logic_.OnConnect(); }
void CkriiDlg::OnBnClickedStartStopWork() { logic_.OnStartStop(); }
void CkriiDlg::OnBnClickedVerify() { logic_.OnVerify(); }
void CkriiDlg::OnTimer() { logic_.OnTimer(); }

void CkriiDlg::closeEvent(QCloseEvent* e) {
  if (!closed_) {
    if (!logic_.OnClose()) {
      e->ignore();  // kept open, or ends by itself once the job stopped
      return;
    }
    closed_ = true;
    SavePlacement();
  }
  QDialog::closeEvent(e);
}

void CkriiDlg::done(int r) {
  timer_.stop();
  QDialog::done(r);
}

void CkriiDlg::keyPressEvent(QKeyEvent* e) {
  if (isMenuKey(e)) {
    showSystemMenu(menuKeyPosition());
    return;
  }
  const bool plain = (e->modifiers() & ~Qt::KeypadModifier) == 0;
  const bool enter = plain && (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter);
  const bool escape = plain && e->key() == Qt::Key_Escape;
  // While a deployment, job or verification runs, the keys that end the
  // dialog do nothing: ending it would take the job's summary and the log,
  // the examiner's record, with it.
  if ((enter || escape) && !logic_.MayEndByKey()) {
    e->accept();
    return;
  }
  // Enter outside a button ends the dialog at once, as Escape does: nothing
  // is stored and the workers get no quit request.
  if (enter && !qobject_cast<QPushButton*>(focusWidget())) {
    accept();
    return;
  }
  QDialog::keyPressEvent(e);
}

QPoint CkriiDlg::menuKeyPosition() const {
  return menu_button_->mapToGlobal(QPoint(0, menu_button_->height()));
}

void CkriiDlg::OnSysCommand(int id) {
  if ((id & ~0xF) == IDM_ABOUTBOX) {
    CAboutDlg about(this);
    about.exec();
    return;
  }
  if (id == IDM_DEBUG) debug_action_->setChecked(CkriiLogic::ToggleDebug());
}

void CkriiDlg::showSystemMenu(const QPoint& global) {
  debug_action_->setChecked(CkriiLogic::DebugEnabled());
  sys_menu_->popup(global);
}

bool CkriiDlg::onBackground(const QPoint& pos) const {
  QWidget* c = childAt(pos);
  if (!c) return true;
  // Group boxes and static texts let the mouse through to the dialog.
  if (c->parentWidget() != this) return false;
  return qobject_cast<QGroupBox*>(c) || qobject_cast<QLabel*>(c);
}

void CkriiDlg::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && onBackground(e->position().toPoint())) {
    // Dragging the background moves the window as its caption would.
    QWindow* w = window()->windowHandle();
    if (w && w->startSystemMove()) return;
    dragging_ = true;
    drag_offset_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
    return;
  }
  QDialog::mousePressEvent(e);
}

void CkriiDlg::mouseMoveEvent(QMouseEvent* e) {
  if (dragging_ && (e->buttons() & Qt::LeftButton)) {
    move(e->globalPosition().toPoint() - drag_offset_);
    return;
  }
  QDialog::mouseMoveEvent(e);
}

void CkriiDlg::mouseReleaseEvent(QMouseEvent* e) {
  if (dragging_ && e->button() == Qt::LeftButton) {
    dragging_ = false;
    return;
  }
  QDialog::mouseReleaseEvent(e);
}

void CkriiDlg::contextMenuEvent(QContextMenuEvent* e) {
  if (onBackground(e->pos())) {
    showSystemMenu(e->globalPos());
    e->accept();
    return;
  }
  e->ignore();
}

void CkriiDlg::setStatusText(const QString& text) { status_->setText(text); }

void CkriiDlg::setProgress(int percent) { progress_->setValue(qBound(0, percent, 100)); }

void CkriiDlg::flashIfDisabled() {
  QWidget* modal = QApplication::activeModalWidget();
  if (!modal || modal == this) return;
  ++flash_count_;
  QApplication::alert(this, 1000);
}
