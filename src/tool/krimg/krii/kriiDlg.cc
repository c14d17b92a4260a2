#include "kriiDlg.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
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

const char* const kStartStopFunc = "CkriiDlg::OnBnClickedStartStopWork";

// Mirrors the tick of "启用调试(&D)"; off at start, never stored.
bool g_debug = false;

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

int ask_on_ui_thread(const QString& question, QMessageBox::StandardButton preset) {
  QWidget* parent = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_dlg_mu);
    parent = g_dlg;
  }
  QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), question,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(preset);
  return box.exec() == QMessageBox::Yes ? 1 : 0;
}

// A question box on the dialog thread; asked from another thread, that
// thread waits for the UI thread, which never waits for a worker.
int ask_yes_no(const QString& question, QMessageBox::StandardButton preset) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return 0;
  if (QThread::currentThread() == app->thread()) return ask_on_ui_thread(question, preset);
  int answer = 0;
  QMetaObject::invokeMethod(app, [&answer, question, preset] {
    answer = ask_on_ui_thread(question, preset);
  }, Qt::BlockingQueuedConnection);
  return answer;
}

// The resume question.
int hook_ask_yes_no(const char* question) {
  return ask_yes_no(QString::fromUtf8(question ? question : ""), QMessageBox::Yes);
}

// The deployment worker's question about a host key the SSH tools do not
// know yet. Trusting it is the examiner's decision, so No is the default.
bool hook_trust_hostkey(const char* host, int port, const char* fingerprint) {
  const QString q = QStringLiteral("设备 %1 (端口 %2) 的 SSH 主机密钥未知, 指纹:\n\n%3\n\n"
                                   "请与设备上的指纹核对。信任此密钥并继续连接吗?")
                        .arg(QString::fromUtf8(host), QString::number(port),
                             QString::fromUtf8(fingerprint));
  return ask_yes_no(q, QMessageBox::No) == 1;
}

const krsd_ui_ops kDialogOps = {hook_set_status, hook_set_progress, hook_flash_if_disabled,
                                hook_ask_yes_no};

QByteArray utf8(const QString& s) { return s.toUtf8(); }

// Shows a stored value whole and keeps it so, while typing stops at limit
// characters: an edit's own limit would cut the value on display and the
// cut value would be stored at close.
void set_limited_text(QLineEdit* e, const QString& text, int limit) {
  e->setMaxLength(std::max(limit, int(text.size())));
  e->setText(text);
  // Once shortened it may not grow again beyond the limit.
  QObject::connect(e, &QLineEdit::textChanged, e, [e, limit](const QString& now) {
    e->setMaxLength(std::max(limit, int(now.size())));
  });
}

}  // namespace

bool CkriiDlg::debugEnabled() { return g_debug; }

CkriiDlg::CkriiDlg(QWidget* parent) : QDialog(parent) {
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
  auto label = [this, &at](const char* text, const char* id, int x, int y, int cx, int cy) {
    auto* l = new QLabel(QString::fromUtf8(text), this);
    l->setObjectName(QString::fromLatin1(id));
    l->setTextFormat(Qt::PlainText);
    at(l, x, y, cx, cy);
    return l;
  };
  auto group = [this, &at](const char* text, const char* id, int x, int y, int cx, int cy) {
    auto* g = new QGroupBox(QString::fromUtf8(text), this);
    g->setObjectName(QString::fromLatin1(id));
    g->setFocusPolicy(Qt::NoFocus);
    at(g, x, y, cx, cy);
    return g;
  };
  auto edit = [this, &at](const char* id, int x, int y, int cx, int cy) {
    auto* e = new QLineEdit(this);
    e->setObjectName(QString::fromLatin1(id));
    at(e, x, y, cx, cy);
    return e;
  };
  auto button = [this, &at](const char* text, const char* id, int x, int y, int cx, int cy) {
    auto* b = new QPushButton(QString::fromUtf8(text), this);
    b->setObjectName(QString::fromLatin1(id));
    at(b, x, y, cx, cy);
    return b;
  };

  // Group boxes first, so that the controls inside them are drawn on top.
  grp_conn_ = group("连接设置", "1021", 7, 3, 334, 40);
  grp_image_ = group("镜像操作", "1009", 7, 46, 334, 70);
  grp_state_ = group("运行状态", "1010", 7, 117, 334, 112);

  ip_ = new CIpAddressCtrl(this);
  ip_->setObjectName(QStringLiteral("1014"));
  at(ip_, 16, 19, 100, 12);
  label("用户名", "1019", 121, 21, 26, 10);
  user_ = edit("1015", 150, 19, 48, 12);
  label("密码", "1018", 204, 21, 21, 10);
  passwd_ = edit("1016", 227, 19, 58, 12);
  passwd_->setEchoMode(QLineEdit::Password);
  label("端口", "1020", 290, 23, 17, 8);
  port_ = edit("1017", 309, 19, 24, 12);
  port_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port_));

  path_ = edit("1000", 16, 61, 288, 13);
  browse_ = button("..", "1001", 314, 61, 20, 13);
  connect_ = button("连接(&C)", "1002", 16, 84, 46, 20);
  start_ = button("开始镜像(&S)", "1003", 88, 84, 107, 20);

  progress_ = new QProgressBar(this);
  progress_->setObjectName(QStringLiteral("1006"));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  at(progress_, 16, 135, 317, 8);
  status_ = label("", "1008", 16, 147, 317, 9);
  log_ = new CMyEdit(this);
  log_->setObjectName(QStringLiteral("1005"));
  at(log_, 16, 159, 317, 63);

  // The controls that take the focus, in this order.
  QWidget* order[] = {connect_, start_, path_, browse_, log_, ip_, user_, passwd_, port_};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  connect(browse_, &QPushButton::clicked, this, &CkriiDlg::OnBnClickedBrowse);
  connect(connect_, &QPushButton::clicked, this, &CkriiDlg::OnBnClickedConnect);
  connect(start_, &QPushButton::clicked, this, &CkriiDlg::OnBnClickedStartStopWork);

  base_size_ = QSize(du.x(348), du.y(236));
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
  debug_action_->setChecked(g_debug);
  connect(debug_action_, &QAction::triggered, this, [this] { OnSysCommand(IDM_DEBUG); });
  sys_menu_->addSeparator();
  QAction* about = sys_menu_->addAction(QStringLiteral("关于 (&A)..."));
  about->setObjectName(QString::number(IDM_ABOUTBOX));
  connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
  // At the end of the buttons' row, right-aligned with ".." above it, and
  // out of the focus order: its letter and F10 are its keyboard routes.
  menu_button_ = button("菜单(&M)", "menu", 288, 84, 46, 20);
  menu_button_->setToolTip(QStringLiteral("菜单 (F10)"));
  menu_button_->setFocusPolicy(Qt::NoFocus);
  menu_button_->setAutoDefault(false);
  connect(menu_button_, &QPushButton::clicked, this,
          [this] { showSystemMenu(menu_button_->mapToGlobal(QPoint(0, menu_button_->height()))); });
  // The keys open it whichever control has the focus (a button would take
  // the Space for a click, an edit F10 for nothing).
  for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);
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
  addAnchor(grp_conn_, 0, 0, 1, 0);
  addAnchor(path_, 0, 0, 1, 0);
  addAnchor(browse_, 1, 0, 1, 0);
  addAnchor(menu_button_, 1, 0, 1, 0);
  addAnchor(grp_image_, 0, 0, 1, 0);
  addAnchor(grp_state_, 0, 0, 1, 1);
  addAnchor(status_, 0, 0, 1, 0);
  addAnchor(progress_, 0, 0, 1, 0);
  addAnchor(log_, 0, 0, 1, 1);
  RestorePlacement();
  LoadSettings();
  setWindowTitle(krii_caption());
  // The deployment worker (it also makes the program's folder the current
  // one), then the imaging engine and its worker; then the polling timer.
  ssh_set_hostkey_question(hook_trust_hostkey);
  ssh_init();
  krsd_init();
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

void CkriiDlg::LoadSettings() {
  QSettings s;
  s.beginGroup(QString::fromLatin1(KRII_GROUP_CONFIG));
  const QString ip = s.value(QStringLiteral("ip"), QString::fromLatin1(KRII_DEFAULT_IP)).toString();
  const QString user = s.value(QStringLiteral("user"), QString::fromLatin1(KRII_DEFAULT_USER)).toString();
  const QString passwd =
      s.value(QStringLiteral("passwd"), QString::fromLatin1(KRII_DEFAULT_PASSWD)).toString();
  const QString port = s.value(QStringLiteral("port"), QString::fromLatin1(KRII_DEFAULT_PORT)).toString();
  const QString path = s.value(QStringLiteral("LastImgFile"), QString()).toString();
  s.endGroup();

  ip_->setAddress(krii_parse_address(utf8(ip).toStdString()));
  // User and password take as many characters as the deployment carries.
  set_limited_text(user_, user, SSH_FIELD_MAX);
  set_limited_text(passwd_, passwd, SSH_FIELD_MAX);
  set_limited_text(port_, port, KRII_PORT_MAX);
  path_->setText(path);
}

void CkriiDlg::SaveSettings() {
  krii_settings_protect();
  QSettings s;
  s.beginGroup(QString::fromLatin1(KRII_GROUP_CONFIG));
  // An empty control keeps what was stored before. The path is stored
  // whole: cut short it would name another file at the next start.
  auto put = [&s](const char* name, const QString& value) {
    if (!value.isEmpty()) s.setValue(QString::fromLatin1(name), value);
  };
  put("LastImgFile", path_->text());
  put("ip", ip_->text());
  put("user", user_->text());
  put("passwd", passwd_->text());
  put("port", port_->text());
  s.endGroup();
  s.sync();
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

void CkriiDlg::UpdateControlState() {
  const bool idle = state_ == STATE_IDLE;
  for (QWidget* w : {static_cast<QWidget*>(ip_), static_cast<QWidget*>(user_),
                     static_cast<QWidget*>(passwd_), static_cast<QWidget*>(port_),
                     static_cast<QWidget*>(path_), static_cast<QWidget*>(browse_),
                     static_cast<QWidget*>(connect_)})
    w->setEnabled(idle);
  start_->setEnabled(state_ != STATE_CONNECTING);
  const QString caption = state_ == STATE_IMAGING ? QStringLiteral("停止镜像(&Q)") : QStringLiteral("开始镜像(&S)");
  if (start_->text() != caption) start_->setText(caption);
}

void CkriiDlg::OnBnClickedBrowse() {
  // No owner window; the proposed name is always "krii.img". It opens in the
  // folder of the last image, else the home folder: never in the current
  // folder, which the deployment worker made the program's own.
  QString folder = QDir::homePath();
  if (!path_->text().isEmpty()) {
    const QFileInfo last(path_->text());
    if (last.absoluteDir().exists()) folder = last.absolutePath();
  }
  QFileDialog fd(nullptr);
  fd.setDirectory(folder);
  fd.setAcceptMode(QFileDialog::AcceptSave);
  fd.setFileMode(QFileDialog::AnyFile);
  fd.setNameFilters({QStringLiteral("Image Files (*.img *.dd)"), QStringLiteral("All Files (*)")});
  fd.setDefaultSuffix(QStringLiteral("img"));
  fd.selectFile(QStringLiteral("krii.img"));
  fd.setOption(QFileDialog::DontConfirmOverwrite, false);
  fd.setWindowModality(Qt::ApplicationModal);
  if (fd.exec() != QDialog::Accepted) return;
  const QStringList files = fd.selectedFiles();
  if (!files.isEmpty() && !files.first().isEmpty()) path_->setText(files.first());
}

void CkriiDlg::OnBnClickedConnect() {
  const QByteArray ip = utf8(ip_->text());
  const int port = krii_port_from_text(utf8(port_->text()).toStdString());
  // Handed on whole, also a longer stored value: a credential cut short
  // would only fail the login; the deployment refuses it with its outcome
  // line instead.
  const QByteArray user = utf8(user_->text());
  const QByteArray passwd = utf8(passwd_->text());
  ssh_request_init_dev(ip.constData(), port, user.constData(), passwd.constData());
  state_ = STATE_CONNECTING;
  UpdateControlState();
}

void CkriiDlg::OnBnClickedStartStopWork() {
  if (state_ != STATE_IDLE) {
    KR_LOGF(OS_LOG_INFO, kStartStopFunc, "请求停止镜像\n");
    krsd_stop();
    UpdateControlState();
    return;
  }
  // The path is used whole: cut short it would name another file.
  const QByteArray path = utf8(path_->text());
  if (path.isEmpty()) {
    KR_LOGF(OS_LOG_INFO, kStartStopFunc, "请选择镜像文件的存放路径\n");
    return;
  }
  const QByteArray url = "krp://" + utf8(ip_->text()) + "/dev/rdisk0s1s2";
  KR_LOGF(OS_LOG_INFO, kStartStopFunc, "开始镜像[%s] 到 [%s]\n", url.constData(), path.constData());
  const int resume = krsd_outfile_ask_continue(path.constData());
  krsd_get_file(url.constData(), path.constData(), resume);
  state_ = STATE_IMAGING;
  UpdateControlState();
}

void CkriiDlg::OnTimer() {
  const int busy = state_ == STATE_CONNECTING ? ssh_is_busy() : krsd_is_busy();
  if (busy == 0) state_ = STATE_IDLE;
  UpdateControlState();
}

void CkriiDlg::closeEvent(QCloseEvent* e) {
  if (!closed_) {
    closed_ = true;
    // The workers are told to quit but not waited for; a running job or
    // deployment ends with the process.
    ssh_exit();
    krsd_exit();
    SaveSettings();
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
  // While a deployment or a job runs, the keys that end the dialog do
  // nothing: ending it would take the job's summary and the log, the
  // examiner's record, with it.
  if ((enter || escape) && state_ != STATE_IDLE) {
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
  if (id == IDM_DEBUG) {
    g_debug = !g_debug;
    debug_action_->setChecked(g_debug);
    os_log_ctl(OS_LOG_SET_LEVEL, g_debug ? OS_LOG_DEBUG : OS_LOG_INFO);
  }
}

void CkriiDlg::showSystemMenu(const QPoint& global) {
  debug_action_->setChecked(g_debug);
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
