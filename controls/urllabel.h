// TURLLabel: a text label that behaves like a hyperlink. Drawn in the link
// colour, underlined, with the program's hand cursor; it changes colour while
// pressed (or hovered, with Effect98) and, when clicked, asks the desktop to
// open the address made of a scheme prefix and its own text.
#pragma once

#include <functional>
#include <string>

#include <QColor>
#include <QLabel>

class QEnterEvent;
class QMouseEvent;

enum TLabelType { hmHTTP, hmMAIL, hmFTP, hmCUSTOM };

class TURLLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TURLLabel(QWidget* parent = nullptr);

  TLabelType LabelType() const { return labelType_; }
  void SetLabelType(TLabelType value);
  QColor URLColStd() const { return urlColStd_; }
  void SetURLColStd(const QColor& value);
  QColor URLColPre() const { return urlColPre_; }
  void SetURLColPre(const QColor& value);
  bool AllowDown() const { return allowDown_; }
  void SetAllowDown(bool value);
  bool Effect98() const { return effect98_; }
  void SetEffect98(bool value);

  std::string Caption() const { return text().toStdString(); }
  void SetCaption(const std::string& value) { setText(QString::fromStdString(value)); }
  // The font assignment: a font and its colour, which becomes URLColStd.
  void SetFont(const QFont& font, const QColor& color);
  QColor FontColor() const;
  bool Underlined() const { return font().underline(); }

  // The address a click opens ("" for hmCUSTOM): the prefix and the caption.
  std::string Address() const;

  std::function<void(TURLLabel* Sender)> OnClick;

 protected:
  virtual void Click();
  virtual void DoClick();
  virtual void MouseEnter();
  virtual void MouseLeave();
  virtual void MouseDown(Qt::MouseButton button);
  virtual void MouseUp(Qt::MouseButton button);

  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void SetFontColor(const QColor& color);
  void SetUnderline(bool on);

  TLabelType labelType_ = hmHTTP;
  QColor urlColStd_{0, 0, 255};
  QColor urlColPre_{255, 0, 0};
  bool allowDown_ = false;
  bool effect98_ = false;
  bool leftPressed_ = false;
};
