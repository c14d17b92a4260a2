// The main dialog: connection settings, image path, Connect and Start/Stop,
// progress, status line and the log window.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>

#include <vector>

class CIpAddressCtrl;
class CMyEdit;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSizeGrip;

class CkriiDlg : public QDialog {
  Q_OBJECT

 public:
  enum { STATE_IDLE = 0, STATE_CONNECTING = 1, STATE_IMAGING = 2 };
  // System-menu commands.
  enum { IDM_ABOUTBOX = 16, IDM_DEBUG = 1020 };
  enum { TIMER_PERIOD_MS = 500 };

  explicit CkriiDlg(QWidget* parent = nullptr);
  ~CkriiDlg() override;

  // The first show runs the dialog's set-up (OnInitDialog) before the window
  // appears.
  void setVisible(bool visible) override;
  void done(int r) override;

  int state() const { return state_; }
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

  void createControls();
  void UpdateControlState();
  void LoadSettings();
  void SaveSettings();
  void RestorePlacement();
  void SavePlacement();
  void addAnchor(QWidget* w, double l, double t, double r, double b);
  bool onBackground(const QPoint& pos) const;
  void showSystemMenu(const QPoint& global);
  // F10 and Alt+Space open the system menu; it then opens below the menu
  // button.
  static bool isMenuKey(const QKeyEvent* k);
  QPoint menuKeyPosition() const;

  int state_ = STATE_IDLE;
  bool inited_ = false;
  bool closed_ = false;
  int flash_count_ = 0;
  QSize base_size_;
  std::vector<Anchor> anchors_;
  bool dragging_ = false;
  QPoint drag_offset_;
  QTimer timer_;

  QGroupBox* grp_conn_ = nullptr;   // 1021
  CIpAddressCtrl* ip_ = nullptr;    // 1014
  QLineEdit* user_ = nullptr;       // 1015
  QLineEdit* passwd_ = nullptr;     // 1016
  QLineEdit* port_ = nullptr;       // 1017
  QGroupBox* grp_image_ = nullptr;  // 1009
  QLineEdit* path_ = nullptr;       // 1000
  QPushButton* browse_ = nullptr;   // 1001
  QPushButton* connect_ = nullptr;  // 1002
  QPushButton* start_ = nullptr;    // 1003
  QGroupBox* grp_state_ = nullptr;  // 1010
  QProgressBar* progress_ = nullptr;  // 1006
  QLabel* status_ = nullptr;        // 1008
  CMyEdit* log_ = nullptr;          // 1005
  QSizeGrip* grip_ = nullptr;
  QPushButton* menu_button_ = nullptr;  // opens sys_menu_
  QMenu* sys_menu_ = nullptr;
  QAction* debug_action_ = nullptr;
};
