#include "dlgUnits.h"

#include <QFontMetrics>
#include <QStringList>

DialogUnits::DialogUnits(const QFont& font) {
  QFontMetrics fm(font);
  // The average width over the 52 Latin letters, rounded to whole pixels.
  const int w = fm.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  cx_ = (w / 26 + 1) / 2;
  cy_ = fm.height();
  if (cx_ < 1) cx_ = 1;
  if (cy_ < 1) cy_ = 1;
}

int DialogUnits::mul_div(int a, int b, int c) {
  const long long p = (long long)a * b;
  return int(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}

QRect DialogUnits::rect(int x0, int y0, int w, int h) const {
  const int l = x(x0), t = y(y0), r = x(x0 + w), b = y(y0 + h);
  return QRect(l, t, r - l, b - t);
}

QFont krii_dialog_font() {
  QFont f;
  f.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                 QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("WenQuanYi Zen Hei"),
                 QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans SC"),
                 QStringLiteral("AR PL UMing CN")});
  f.setPointSize(9);
  return f;
}

QFont krii_about_font() {
  QFont f;
  f.setFamilies({QStringLiteral("MS Shell Dlg"), QStringLiteral("Microsoft Sans Serif"),
                 QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Micro Hei")});
  f.setPointSize(9);
  return f;
}
