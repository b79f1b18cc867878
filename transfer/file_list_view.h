// TFileListView: the report-style file lists of the transfer window (Name,
// Size, Modified), over a model of our own so that a directory of 100,000
// files is shown at once and scrolls without stalls.
//
// Rows stay sorted by caption with the locale's case-sensitive collation.
// Between BeginUpdate and EndUpdate rows are only collected; EndUpdate sorts
// them once, by sort keys made for that sort only, and shows them in one go.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractTableModel>
#include <QCollator>
#include <QStyledItemDelegate>
#include <QTreeView>

struct TListRow {
  std::string Caption;
  std::string Size;
  std::string Date;
  int ImageIndex = -1;        // into plat::ImageList::Shared(); -1: no icon
  std::string Data;           // the real file name, for local rows
  std::int64_t SizeBytes = -1;
  std::int64_t ModifyUtc = -1;  // exact modification time (MLSD), -1 unknown
};

// The comparison both the lists and the remote tree sort by.
class TCaptionOrder {
 public:
  TCaptionOrder();
  QCollatorSortKey Key(const std::string& caption) const;
  // <0, 0, >0; captions the collation finds equal fall back to byte order,
  // so the order is total and the same on every run.
  int Compare(const std::string& a, const std::string& b) const;
  // The order that sorts the captions: a permutation of their indexes,
  // stable, with each caption's key made once and dropped afterwards.
  std::vector<std::size_t> Order(const std::vector<const std::string*>& captions) const;

 private:
  QCollator collator_;
};
TCaptionOrder& CaptionOrder();

// What a list or tree shows for a name from outside: the text as UTF-8
// (bytes that are not UTF-8 as "\xHH"), with control characters, line
// separators and direction overrides
// replaced, so a name can never pose as several lines, carry terminal
// escapes or show its letters in another order.
QString DisplayText(const std::string& name);

// Rows at least as tall as a 16-pixel icon: the views measure one row only
// (uniform heights, for speed), and that row may have no icon.
class TIconRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class TFileListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { colName = 0, colSize = 1, colDate = 2, colCount = 3 };

  explicit TFileListModel(QObject* parent = nullptr);
  ~TFileListModel() override;

  void BeginUpdate();
  void EndUpdate();
  bool Updating() const { return updateCount_ > 0; }
  void Clear();
  // The number of rows shown (rows added inside an update bracket count
  // once the bracket closes).
  int Count() const { return static_cast<int>(rows_.size()); }
  void AddRow(TListRow row);
  const TListRow& Row(int i) const { return rows_[static_cast<std::size_t>(i)]; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;

 private:
  std::vector<TListRow> rows_;
  std::vector<TListRow> pending_;
  int updateCount_ = 0;
};

class TFileListView : public QTreeView {
  Q_OBJECT

 public:
  explicit TFileListView(QWidget* parent = nullptr);

  void BeginUpdate();
  void EndUpdate();
  void Clear();
  int Count() const { return model_->Count(); }
  void AddRow(TListRow row);
  // In the order shown.
  const TListRow& Row(int i) const { return model_->Row(i); }
  // Indexes of the selected rows, ascending.
  std::vector<int> SelectedRows() const;
  void SelectRow(int i, bool on);
  int ColumnWidth(int column) const { return columnWidth(column); }
  TFileListModel* ListModel() const { return model_; }

  // Drag and drop, for the window that owns the lists. A drag starts by
  // itself when rows are pressed and the mouse moves; the drop side is
  // the owner's: OnDragOver says whether a drop here is welcome, OnDragDrop
  // takes it. Source is the list the drag came from (nullptr: elsewhere).
  std::function<void(TFileListView* Sender, TFileListView* Source, QPoint At, bool& Accept)> OnDragOver;
  std::function<void(TFileListView* Sender, TFileListView* Source, QPoint At)> OnDragDrop;
  std::function<void(TFileListView* Sender)> OnDblClick;
  // A folder dragged from a tree: Tree is the tree it came from.
  std::function<bool(TFileListView* Sender, QWidget* Tree)> OnFolderDragOver;
  std::function<void(TFileListView* Sender, QWidget* Tree)> OnFolderDrop;

 protected:
  virtual void DoDragOver(TFileListView* source, QPoint at, bool& accept);
  virtual void DoDragDrop(TFileListView* source, QPoint at);

  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  bool AcceptsDrag(QDropEvent* event);
  // The tree a drag came from (a folder), nullptr for a list or elsewhere.
  static QWidget* FolderSource(QDropEvent* event);

  TFileListModel* model_;
};
