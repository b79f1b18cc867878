#include "controls/urllabel.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPointer>

#include "platform/qt/resources.h"
#include "platform/qt/shell.h"

TURLLabel::TURLLabel(QWidget* parent) : QLabel(parent) {
  // The caption is text, not markup: "<b>" shows as typed and no picture
  // named in it is loaded.
  setTextFormat(Qt::PlainText);
  SetFontColor(urlColStd_);
  SetUnderline(true);
  setCursor(plat::HandPointCursor());
}

void TURLLabel::SetFontColor(const QColor& color) {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, color);
  setPalette(p);
}

QColor TURLLabel::FontColor() const { return palette().color(QPalette::WindowText); }

void TURLLabel::SetUnderline(bool on) {
  QFont f = font();
  f.setUnderline(on);
  setFont(f);
}

// --- properties ---

void TURLLabel::SetLabelType(TLabelType value) {
  if (value == labelType_) return;
  labelType_ = value;
  SetUnderline(!(labelType_ == hmCUSTOM || effect98_));
  update();
}

void TURLLabel::SetEffect98(bool value) {
  if (value == effect98_) return;
  effect98_ = value;
  if (effect98_)
    SetUnderline(false);
  else
    SetUnderline(labelType_ != hmCUSTOM);
  update();
}

void TURLLabel::SetURLColStd(const QColor& value) {
  if (value == urlColStd_) return;
  urlColStd_ = value;
  SetFontColor(urlColStd_);
  update();
}

void TURLLabel::SetURLColPre(const QColor& value) {
  if (value == urlColPre_) return;
  urlColPre_ = value;
  update();
}

void TURLLabel::SetAllowDown(bool value) {
  if (value == allowDown_) return;
  allowDown_ = value;
  update();
}

void TURLLabel::SetFont(const QFont& font, const QColor& color) {
  setFont(font);
  SetFontColor(color);
  urlColStd_ = color;
  update();
}

// --- mouse ---

void TURLLabel::MouseEnter() {
  if (!effect98_) return;
  SetFontColor(urlColPre_);
  if (labelType_ != hmCUSTOM) SetUnderline(true);
  update();
}

void TURLLabel::MouseLeave() {
  if (!effect98_) return;
  SetFontColor(urlColStd_);
  if (labelType_ != hmCUSTOM) SetUnderline(false);
  update();
}

void TURLLabel::MouseDown(Qt::MouseButton button) {
  if (button != Qt::LeftButton) return;
  if (allowDown_) move(x(), y() + 1);
  SetFontColor(urlColPre_);
}

void TURLLabel::MouseUp(Qt::MouseButton button) {
  // With Effect98 the pressed colour stays until the mouse leaves.
  if (!effect98_) SetFontColor(urlColStd_);
  if (allowDown_ && button == Qt::LeftButton) move(x(), y() - 1);
}

void TURLLabel::enterEvent(QEnterEvent* event) {
  QLabel::enterEvent(event);
  MouseEnter();
}

void TURLLabel::leaveEvent(QEvent* event) {
  QLabel::leaveEvent(event);
  MouseLeave();
}

void TURLLabel::mousePressEvent(QMouseEvent* event) {
  QLabel::mousePressEvent(event);
  if (event->button() == Qt::LeftButton) leftPressed_ = true;
  MouseDown(event->button());
}

void TURLLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  QPointer<TURLLabel> self(this);
  const Qt::MouseButton button = event->button();
  // A click is a left press and release on the label, as a button's is.
  if (button == Qt::LeftButton && leftPressed_) {
    leftPressed_ = false;
    if (rect().contains(event->position().toPoint())) Click();
    if (!self) return;
  }
  MouseUp(button);
}

// --- click ---

std::string TURLLabel::Address() const {
  // The prefixes as the Windows desktop takes them; the shell turns "\\" into "//".
  switch (labelType_) {
    case hmHTTP: return "http:\\\\" + Caption();
    case hmFTP: return "ftp:\\\\" + Caption();
    case hmMAIL: return "mailto:" + Caption();
    case hmCUSTOM: break;
  }
  return std::string();
}

void TURLLabel::Click() {
  QPointer<TURLLabel> self(this);
  DoClick();
  if (!self || labelType_ == hmCUSTOM) return;   // the application handles the click itself
  // The answer is not looked at: a link that does not open is not an error here.
  plat::TheShell().OpenDocument(Address());
}

void TURLLabel::DoClick() {
  if (OnClick) OnClick(this);
}
