// The address control: four octet fields in one framed box, rendered as
// dotted text without padding.
#pragma once

#include <QFrame>

#include <cstdint>

class QLineEdit;

class CIpAddressCtrl : public QFrame {
  Q_OBJECT

 public:
  explicit CIpAddressCtrl(QWidget* parent = nullptr);

  // Shows the four bytes of address, packed high to low.
  void setAddress(uint32_t address);
  // The four fields packed high to low; a blank field counts as 0.
  uint32_t address() const;
  // The dotted text as shown, e.g. "192.168.191.2"; a blank field reads "0".
  QString text() const;
  QLineEdit* field(int i) const { return fields_[i]; }

 protected:
  bool eventFilter(QObject* obj, QEvent* ev) override;

 private:
  int octet(int i) const;
  void moveTo(int i, bool at_end);

  QLineEdit* fields_[4];
};
