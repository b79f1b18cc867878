// The queue as a list: one row per file with its direction, both paths, its
// size and what became of it. The rows come from the owner (a model over
// its own queue, so 10,000 rows cost nothing until shown); Refresh says
// they changed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <QAbstractTableModel>
#include <QTreeView>

struct TQueueRowText {
  bool Upload = false;
  std::string Local;
  std::string Remote;
  std::int64_t Size = -1;
  std::string State;  // "waiting", "running", "done", "failed: why" ...
};

class TQueueModel : public QAbstractTableModel {
 public:
  std::function<std::size_t()> RowCount;
  std::function<TQueueRowText(std::size_t Row)> RowAt;

  int rowCount(const QModelIndex& parent) const override;
  int columnCount(const QModelIndex& parent) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void Refresh();
};

class TQueueView : public QTreeView {
 public:
  explicit TQueueView(QWidget* parent = nullptr);
  TQueueModel* Model() const { return model_; }
  // The rows selected, ascending.
  std::vector<std::size_t> SelectedRows() const;

 private:
  TQueueModel* model_;
};
