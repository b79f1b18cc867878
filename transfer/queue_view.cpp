#include "transfer/queue_view.h"

#include <QHeaderView>

#include <algorithm>

#include "transfer/file_list_view.h"

namespace {

enum Column { colDirection, colLocal, colRemote, colSize, colState, colCount };

}  // namespace

int TQueueModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !RowCount ? 0 : static_cast<int>(RowCount());
}

int TQueueModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : colCount; }

QVariant TQueueModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || !RowAt || role != Qt::DisplayRole) {
    if (role == Qt::TextAlignmentRole && index.column() == colSize)
      return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    return {};
  }
  const TQueueRowText row = RowAt(static_cast<std::size_t>(index.row()));
  switch (index.column()) {
    case colDirection: return row.Upload ? QStringLiteral("up") : QStringLiteral("down");
    case colLocal: return DisplayText(row.Local);
    case colRemote: return DisplayText(row.Remote);
    case colSize: return row.Size >= 0 ? QString::number(row.Size) : QString();
    case colState: return DisplayText(row.State);
    default: return {};
  }
}

QVariant TQueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[] = {"", "Local file", "Server file", "Size", "State"};
  return section >= 0 && section < colCount ? QString::fromUtf8(kTitles[section]) : QVariant();
}

void TQueueModel::Refresh() {
  beginResetModel();
  endResetModel();
}

TQueueView::TQueueView(QWidget* parent) : QTreeView(parent), model_(new TQueueModel) {
  model_->setParent(this);
  setModel(model_);
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  header()->resizeSection(colDirection, 44);
  header()->resizeSection(colLocal, 300);
  header()->resizeSection(colRemote, 240);
  header()->resizeSection(colSize, 80);
}

std::vector<std::size_t> TQueueView::SelectedRows() const {
  std::vector<std::size_t> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(static_cast<std::size_t>(index.row()));
  std::sort(rows.begin(), rows.end());
  return rows;
}
