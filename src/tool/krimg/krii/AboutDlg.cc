#include "AboutDlg.h"

#include <QDesktopServices>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include "dlgUnits.h"

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void krii_init_resource() { Q_INIT_RESOURCE(krii); }

QString krii_caption() {
  QString s = QString::fromUtf8(KRII_PRODUCT_TITLE) + QStringLiteral(" - V") +
              QString::fromUtf8(KRII_VERSION);
  return s.left(KRII_CAPTION_MAX);
}

QIcon krii_app_icon() {
  static bool loaded = false;
  if (!loaded) {
    krii_init_resource();
    loaded = true;
  }
  return QIcon(QStringLiteral(":/krii/krii.png"));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("关于"));
  setFont(krii_about_font());
  setModal(true);
  const DialogUnits du(font());
  setFixedSize(du.x(230), du.y(81));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  const QRect ir = du.rect(14, 14, 20, 20);
  icon->setGeometry(ir);
  icon->setPixmap(krii_app_icon().pixmap(ir.size()));

  auto* title = new QLabel(krii_caption(), this);
  title->setObjectName(QStringLiteral("1011"));
  title->setGeometry(du.rect(38, 14, 172, 8));

  auto* copyright = new QLabel(QString::fromUtf8(KRII_COPYRIGHT), this);
  copyright->setObjectName(QStringLiteral("1012"));
  copyright->setGeometry(du.rect(38, 29, 172, 8));

  const QString url = QString::fromUtf8(KRII_WEB_ADDRESS);
  auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(url.toHtmlEscaped()), this);
  link->setObjectName(QStringLiteral("1013"));
  link->setTextFormat(Qt::RichText);
  link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  link->setOpenExternalLinks(false);
  link->setGeometry(du.rect(38, 45, 172, 8));
  connect(link, &QLabel::linkActivated, this, &CAboutDlg::openLink);

  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setGeometry(du.rect(173, 60, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();
}

void CAboutDlg::openLink(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }
