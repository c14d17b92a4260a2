#include "IpAddressCtrl.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

CIpAddressCtrl::CIpAddressCtrl(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(1, 0, 1, 0);
  row->setSpacing(0);
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      auto* dot = new QLabel(QStringLiteral("."), this);
      dot->setAlignment(Qt::AlignCenter);
      dot->setBackgroundRole(QPalette::Base);
      row->addWidget(dot);
    }
    auto* f = new QLineEdit(this);
    f->setObjectName(QStringLiteral("octet%1").arg(i));
    f->setFrame(false);
    f->setAlignment(Qt::AlignCenter);
    f->setMaxLength(3);
    f->setValidator(new QIntValidator(0, 255, f));
    f->setTextMargins(0, 0, 0, 0);
    f->setMinimumWidth(1);
    // The whole control is one stop of the focus order; inside it the
    // arrow keys and '.' move between the fields.
    f->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
    f->installEventFilter(this);
    // Leading zeros are not kept: "007" shows as "7".
    connect(f, &QLineEdit::editingFinished, this, [this, i] {
      if (!fields_[i]->text().isEmpty()) fields_[i]->setText(QString::number(octet(i)));
    });
    fields_[i] = f;
    row->addWidget(f, 1);
  }
  setFocusProxy(fields_[0]);
}

int CIpAddressCtrl::octet(int i) const {
  bool ok = false;
  const int v = fields_[i]->text().toInt(&ok);
  // A number above 255 that got past the validator counts as 255.
  return ok ? qBound(0, v, 255) : 0;
}

void CIpAddressCtrl::setAddress(uint32_t address) {
  for (int i = 0; i < 4; ++i)
    fields_[i]->setText(QString::number((address >> (24 - 8 * i)) & 0xff));
}

uint32_t CIpAddressCtrl::address() const {
  uint32_t a = 0;
  for (int i = 0; i < 4; ++i) a = (a << 8) | uint32_t(octet(i));
  return a;
}

QString CIpAddressCtrl::text() const {
  QStringList parts;
  for (int i = 0; i < 4; ++i) parts << QString::number(octet(i));
  return parts.join(QLatin1Char('.'));
}

void CIpAddressCtrl::moveTo(int i, bool at_end) {
  if (i < 0 || i > 3) return;
  fields_[i]->setFocus(Qt::OtherFocusReason);
  if (at_end)
    fields_[i]->end(false);
  else
    fields_[i]->selectAll();
}

bool CIpAddressCtrl::eventFilter(QObject* obj, QEvent* ev) {
  if (ev->type() != QEvent::KeyPress) return QFrame::eventFilter(obj, ev);
  int i = 0;
  while (i < 4 && fields_[i] != obj) ++i;
  if (i == 4) return QFrame::eventFilter(obj, ev);
  auto* k = static_cast<QKeyEvent*>(ev);
  QLineEdit* f = fields_[i];
  switch (k->key()) {
    case Qt::Key_Period:
    case Qt::Key_Space:
      if (!f->text().isEmpty()) moveTo(i + 1, false);
      return true;
    case Qt::Key_Right:
      if (f->cursorPosition() == f->text().size() && i < 3) {
        moveTo(i + 1, false);
        return true;
      }
      break;
    case Qt::Key_Left:
    case Qt::Key_Backspace:
      if (f->cursorPosition() == 0 && !f->hasSelectedText() && i > 0) {
        moveTo(i - 1, true);
        return true;
      }
      break;
    default:
      // A full field passes the next digit on to the following field.
      if (!k->text().isEmpty() && k->text()[0].isDigit() && f->text().size() == 3 &&
          !f->hasSelectedText() && f->cursorPosition() == 3 && i < 3) {
        moveTo(i + 1, false);
        fields_[i + 1]->insert(k->text());
        return true;
      }
      break;
  }
  return QFrame::eventFilter(obj, ev);
}
