// TStatusBar: a status bar of numbered text panels, each of a given width;
// the last panel takes whatever room is left.
#pragma once

#include <string>
#include <vector>

#include <QStatusBar>

class QLabel;

class TStatusBar : public QStatusBar {
  Q_OBJECT

 public:
  explicit TStatusBar(QWidget* parent = nullptr);

  int PanelCount() const { return static_cast<int>(panels_.size()); }
  // A panel at the right of the others. The text is shown as plain text.
  void AddPanel(int width, const std::string& text);
  // A panel of fixed width at the right end; the panels before it keep
  // their places (the last of them still stretches).
  void AddRightPanel(int width, const std::string& text);
  // Index out of range: nothing is set, "" is read.
  void SetPanelText(int index, const std::string& text);
  std::string PanelText(int index) const;
  int PanelWidth(int index) const;
  QLabel* Panel(int index) const;

 private:
  QLabel* NewPanel(const std::string& text);
  struct Item {
    QLabel* label;
    int width;
  };
  std::vector<Item> panels_;
};
