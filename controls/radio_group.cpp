#include "controls/radio_group.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>

TRadioGroup::TRadioGroup(QWidget* parent)
    : QGroupBox(parent), group_(new QButtonGroup(this)), layout_(new QVBoxLayout(this)) {
  group_->setExclusive(true);
}

void TRadioGroup::SetItems(const std::vector<std::string>& items) {
  for (QRadioButton* button : buttons_) delete button;
  buttons_.clear();
  for (const std::string& text : items) {
    auto* button = new QRadioButton(QString::fromStdString(text), this);
    group_->addButton(button, static_cast<int>(buttons_.size()));
    layout_->addWidget(button);
    buttons_.push_back(button);
  }
}

std::string TRadioGroup::Item(int index) const {
  QRadioButton* button = Button(index);
  return button ? button->text().toStdString() : std::string();
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
  if (QRadioButton* button = Button(index)) {
    button->setChecked(true);
    return;
  }
  // An exclusive group never unchecks its last button by itself.
  group_->setExclusive(false);
  for (QRadioButton* button : buttons_) button->setChecked(false);
  group_->setExclusive(true);
}

QRadioButton* TRadioGroup::Button(int index) const {
  return index >= 0 && index < ItemCount() ? buttons_[index] : nullptr;
}
