// The main dialog, the Qt face of the dialog's logic (krii_logic.h):
// connection settings, image path, case fields, Connect, Start/Stop and
// Verify, progress, status line, the last job's hashes and report, and the
// log window.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>

#include <map>
#include <memory>
#include <vector>

#include "krii_ids.h"
#include "krii_logic.h"

class CIpAddressCtrl;
class CMyEdit;
class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSizeGrip;

class CkriiDlg : public QDialog, private krii_view {
  Q_OBJECT

 public:
  enum {
    STATE_IDLE = CkriiLogic::STATE_IDLE,
    STATE_CONNECTING = CkriiLogic::STATE_CONNECTING,
    STATE_IMAGING = CkriiLogic::STATE_IMAGING,
    STATE_VERIFYING = CkriiLogic::STATE_VERIFYING,
  };
  enum { TIMER_PERIOD_MS = 500 };
  // System-menu commands.
  static constexpr int IDM_ABOUTBOX = ::IDM_ABOUTBOX;
  static constexpr int IDM_DEBUG = ::IDM_DEBUG;

  explicit CkriiDlg(QWidget* parent = nullptr);
  ~CkriiDlg() override;

  // The first show runs the dialog's set-up (OnInitDialog) before the window
  // appears.
  void setVisible(bool visible) override;
  void done(int r) override;

  int state() const { return logic_.state(); }
  CkriiLogic& logic() { return logic_; }
  // The popup that stands in for the system menu (debug toggle, about box),
  // and the button that opens it.
  QMenu* systemMenu() const { return sys_menu_; }
  QPushButton* menuButton() const { return menu_button_; }
  QAction* debugAction() const { return debug_action_; }
  void OnSysCommand(int id);
  // The process-wide debug flag (never stored).
  static bool debugEnabled();

  // How often ui_flash_if_disabled found a modal box open (for tests).
  int flashCount() const { return flash_count_; }

  // The hooks' work on the UI thread.
  void setStatusText(const QString& text);
  void setProgress(int percent);
  void flashIfDisabled();

 public slots:
  void OnBnClickedBrowse();
  void OnBnClickedConnect();
  void OnBnClickedStartStopWork();
  void OnBnClickedVerify();
  void OnTimer();

 protected:
  bool OnInitDialog();
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  bool eventFilter(QObject* obj, QEvent* ev) override;

 private:
  struct Anchor {
    QWidget* w;
    QRect base;
    double l, t, r, b;  // left/top and right/bottom anchors
  };

  // krii_view.
  std::string text(int id) const override;
  void set_text(int id, const std::string& text) override;
  void enable(int id, bool on) override;
  void set_limit(int id, int chars) override;
  void set_progress(int percent) override;
  int ask(const std::string& text, int buttons, int preset) override;
  bool choose_image(const std::string& folder, std::string* path) override;
  void open_folder(const std::string& folder) override;
  void copy_text(const std::string& text) override;
  void end_dialog() override;

  void createControls();
  QWidget* control(int id) const;
  void RestorePlacement();
  void SavePlacement();
  void addAnchor(QWidget* w, double l, double t, double r, double b);
  bool onBackground(const QPoint& pos) const;
  void showSystemMenu(const QPoint& global);
  // F10 and Alt+Space open the system menu; it then opens below the menu
  // button.
  static bool isMenuKey(const QKeyEvent* k);
  QPoint menuKeyPosition() const;

  std::unique_ptr<krii_store> store_;
  CkriiLogic logic_;
  bool inited_ = false;
  bool closed_ = false;
  int flash_count_ = 0;
  QSize base_size_;
  std::vector<Anchor> anchors_;
  bool dragging_ = false;
  QPoint drag_offset_;
  QTimer timer_;
  std::map<int, QWidget*> controls_;  // by id
  std::map<int, int> limits_;         // typing limits by id

  QGroupBox* grp_conn_ = nullptr;
  CIpAddressCtrl* ip_ = nullptr;
  QGroupBox* grp_image_ = nullptr;
  QLineEdit* path_ = nullptr;
  QComboBox* format_ = nullptr;
  QPushButton* browse_ = nullptr;
  QPushButton* connect_ = nullptr;
  QPushButton* start_ = nullptr;
  QGroupBox* grp_case_ = nullptr;
  QGroupBox* grp_state_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  CMyEdit* log_ = nullptr;
  QPushButton* menu_button_ = nullptr;  // opens sys_menu_
  QMenu* sys_menu_ = nullptr;
  QAction* debug_action_ = nullptr;
};
