// The about box, opened from the main dialog's system menu.
#pragma once

#include <QDialog>

#include "krii_product.h"

class QLabel;

// "%s - V%s" with the product title and the version (at most 259 characters).
QString krii_caption();
// The application icon (icon resource 128).
QIcon krii_app_icon();

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

 private:
  void openLink(const QString& url);
};
