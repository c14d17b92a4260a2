// Dialog units: the layout unit of the dialog templates. One horizontal unit
// is a quarter of the dialog font's average character width, one vertical
// unit an eighth of its character height, rounded as the template engine
// rounds them.
#pragma once

#include <QFont>
#include <QRect>

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  DialogUnits(int base_x, int base_y) : cx_(base_x), cy_(base_y) {}

  int x(int dlu) const { return mul_div(dlu, cx_, 4); }
  int y(int dlu) const { return mul_div(dlu, cy_, 8); }
  // A template rectangle (x, y, width, height); left/right and top/bottom
  // are converted separately, so adjacent controls stay adjacent.
  QRect rect(int x, int y, int w, int h) const;
  int base_x() const { return cx_; }
  int base_y() const { return cy_; }

 private:
  static int mul_div(int a, int b, int c);
  int cx_;
  int cy_;
};

// The dialog font "宋体" 9 pt, or the nearest CJK font installed.
QFont krii_dialog_font();
// The about box font "MS Shell Dlg" 9 pt, or the system sans font.
QFont krii_about_font();
