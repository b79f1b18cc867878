// TRadioGroup: a framed group of radio buttons of which one (or none) is
// selected, addressed by index.
#pragma once

#include <string>
#include <vector>

#include <QGroupBox>

class QButtonGroup;
class QRadioButton;
class QVBoxLayout;

class TRadioGroup : public QGroupBox {
  Q_OBJECT

 public:
  explicit TRadioGroup(QWidget* parent = nullptr);

  void SetItems(const std::vector<std::string>& items);
  int ItemCount() const { return static_cast<int>(buttons_.size()); }
  std::string Item(int index) const;
  // -1: nothing selected. An index out of range selects nothing.
  int ItemIndex() const;
  void SetItemIndex(int index);
  QRadioButton* Button(int index) const;

 private:
  QButtonGroup* group_;
  QVBoxLayout* layout_;
  std::vector<QRadioButton*> buttons_;
};
