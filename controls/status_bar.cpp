#include "controls/status_bar.h"

#include <QLabel>

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
  // Panels only: no size grip drawn over the last one's text, and no
  // temporary messages hiding them.
  setSizeGripEnabled(false);
}

QLabel* TStatusBar::NewPanel(const std::string& text) {
  auto* label = new QLabel(this);
  label->setTextFormat(Qt::PlainText);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setText(QString::fromStdString(text));
  return label;
}

void TStatusBar::AddPanel(int width, const std::string& text) {
  // The panel before the new one stops stretching and keeps its width.
  if (!panels_.empty()) {
    Item& last = panels_.back();
    removeWidget(last.label);
    last.label->setFixedWidth(last.width);
    addWidget(last.label, 0);
    last.label->show();
  }
  QLabel* label = NewPanel(text);
  label->setMinimumWidth(width);
  addWidget(label, 1);
  panels_.push_back({label, width});
}

void TStatusBar::AddRightPanel(int width, const std::string& text) {
  QLabel* label = NewPanel(text);
  label->setFixedWidth(width);
  addPermanentWidget(label, 0);
  panels_.push_back({label, width});
}

void TStatusBar::SetPanelText(int index, const std::string& text) {
  if (QLabel* label = Panel(index)) label->setText(QString::fromStdString(text));
}

std::string TStatusBar::PanelText(int index) const {
  QLabel* label = Panel(index);
  return label ? label->text().toStdString() : std::string();
}

int TStatusBar::PanelWidth(int index) const {
  return index >= 0 && index < PanelCount() ? panels_[index].width : 0;
}

QLabel* TStatusBar::Panel(int index) const {
  return index >= 0 && index < PanelCount() ? panels_[index].label : nullptr;
}
