#include "transfer/file_list_view.h"

#include <algorithm>
#include <cstring>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QTreeWidget>

#include "platform/qt/image_list.h"

namespace {

const char kRowsMime[] = "application/x-vek-file-rows";

}  // namespace

// ---------------------------------------------------------------------------
// Caption order

namespace {

// The user's locale; the C locale (no locale chosen at all) would sort by
// code point and put every capital before "a", so it gets the neutral
// English order instead.
QLocale SortLocale() {
  const QLocale user;
  if (user.language() == QLocale::C) return QLocale(QLocale::English, QLocale::UnitedStates);
  return user;
}

}  // namespace

TCaptionOrder::TCaptionOrder() : collator_(SortLocale()) {
  collator_.setCaseSensitivity(Qt::CaseSensitive);
  collator_.setNumericMode(false);
}

QCollatorSortKey TCaptionOrder::Key(const std::string& caption) const {
  return collator_.sortKey(QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
}

int TCaptionOrder::Compare(const std::string& a, const std::string& b) const {
  const int byLocale = collator_.compare(QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size())),
                                         QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size())));
  if (byLocale != 0) return byLocale;
  return a.compare(b);
}

std::vector<std::size_t> TCaptionOrder::Order(const std::vector<const std::string*>& captions) const {
  std::vector<QCollatorSortKey> keys;
  keys.reserve(captions.size());
  for (const std::string* caption : captions) keys.push_back(Key(*caption));
  std::vector<std::size_t> order(captions.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int byKey = keys[a].compare(keys[b]);
    return byKey != 0 ? byKey < 0 : *captions[a] < *captions[b];
  });
  return order;
}

TCaptionOrder& CaptionOrder() {
  static TCaptionOrder order;
  return order;
}

namespace {

// The length of the UTF-8 sequence at pos, 0 when the bytes there are not one.
std::size_t Utf8SequenceAt(const std::string& bytes, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  const std::size_t length = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
                             : lead >= 0xf0 && lead <= 0xf4                  ? 4
                                                                             : 0;
  if (length == 0 || pos + length > bytes.size()) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(bytes[pos + i]) & 0xc0) != 0x80) return 0;
  // Overlong forms, surrogates and code points beyond U+10FFFF.
  const auto second = static_cast<unsigned char>(bytes[pos + (length > 1 ? 1 : 0)]);
  if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) || (lead == 0xf0 && second < 0x90) ||
      (lead == 0xf4 && second > 0x8f))
    return 0;
  return length;
}

// The name as UTF-8 where it is, its other bytes as "\xHH": the bytes
// themselves stay what commands send, and what is shown tells them apart.
QString Utf8OrEscaped(const std::string& name) {
  QString text;
  text.reserve(static_cast<qsizetype>(name.size()));
  std::size_t run = 0;  // start of the valid bytes not yet appended
  std::size_t pos = 0;
  while (pos < name.size()) {
    const std::size_t length = Utf8SequenceAt(name, pos);
    if (length > 0) {
      pos += length;
      continue;
    }
    text += QString::fromUtf8(name.data() + run, static_cast<qsizetype>(pos - run));
    text += QString::asprintf("\\x%02X", static_cast<unsigned char>(name[pos]));
    run = ++pos;
  }
  text += QString::fromUtf8(name.data() + run, static_cast<qsizetype>(pos - run));
  return text;
}

}  // namespace

QString DisplayText(const std::string& name) {
  QString text = Utf8OrEscaped(name);
  for (QChar& c : text) {
    const char16_t u = c.unicode();
    const bool control = u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0);
    const bool lineBreak = u == 0x2028 || u == 0x2029;
    // Direction overrides would let "txt.exe" pose as "exe.txt".
    const bool bidi = (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069) || u == 0x200e || u == 0x200f;
    if (control || lineBreak || bidi) c = QChar(0xfffd);
  }
  return text;
}

QSize TIconRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setHeight(std::max(size.height(), plat::ImageList::kSmall + 2));
  return size;
}

// ---------------------------------------------------------------------------
// Model

TFileListModel::TFileListModel(QObject* parent) : QAbstractTableModel(parent) {}

TFileListModel::~TFileListModel() = default;

void TFileListModel::BeginUpdate() { ++updateCount_; }

void TFileListModel::EndUpdate() {
  if (updateCount_ == 0 || --updateCount_ > 0 || pending_.empty()) return;
  // One sort of all rows and one reset: the views hear of it once.
  std::vector<TListRow> all = std::move(rows_);
  all.reserve(all.size() + pending_.size());
  for (TListRow& row : pending_) all.push_back(std::move(row));
  pending_.clear();
  pending_.shrink_to_fit();
  std::vector<const std::string*> captions;
  captions.reserve(all.size());
  for (const TListRow& row : all) captions.push_back(&row.Caption);
  const std::vector<std::size_t> order = CaptionOrder().Order(captions);
  beginResetModel();
  rows_.clear();
  rows_.reserve(all.size());
  for (std::size_t i : order) rows_.push_back(std::move(all[i]));
  endResetModel();
}

void TFileListModel::Clear() {
  pending_.clear();
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  rows_.shrink_to_fit();
  endResetModel();
}

void TFileListModel::AddRow(TListRow row) {
  if (Updating()) {
    pending_.push_back(std::move(row));
    return;
  }
  const TCaptionOrder& order = CaptionOrder();
  const auto at = std::upper_bound(rows_.begin(), rows_.end(), row, [&order](const TListRow& a, const TListRow& b) {
    return order.Compare(a.Caption, b.Caption) < 0;
  });
  const int pos = static_cast<int>(at - rows_.begin());
  beginInsertRows(QModelIndex(), pos, pos);
  rows_.insert(at, std::move(row));
  endInsertRows();
}

int TFileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Count();
}

int TFileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : colCount;
}

QVariant TFileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  const TListRow& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case colName: return DisplayText(row.Caption);
        case colSize: return DisplayText(row.Size);
        case colDate: return DisplayText(row.Date);
        default: return {};
      }
    case Qt::DecorationRole:
      if (index.column() == colName && row.ImageIndex >= 0 && row.ImageIndex < plat::ImageList::Shared().Count())
        return plat::ImageList::Shared().Small(row.ImageIndex);
      return {};
    case Qt::TextAlignmentRole:
      if (index.column() == colSize) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default:
      return {};
  }
}

QVariant TFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case colName: return QStringLiteral("Name");
    case colSize: return QStringLiteral("Size");
    case colDate: return QStringLiteral("Modified");
    default: return {};
  }
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList TFileListModel::mimeTypes() const { return {QString::fromLatin1(kRowsMime)}; }

QMimeData* TFileListModel::mimeData(const QModelIndexList& indexes) const {
  // The receiving side reads the selection of the source list itself; the
  // drag only carries the row numbers, so other programs take nothing.
  QByteArray rows;
  for (const QModelIndex& index : indexes)
    if (index.column() == colName) rows += QByteArray::number(index.row()) + '\n';
  auto* mime = new QMimeData;
  mime->setData(QString::fromLatin1(kRowsMime), rows);
  return mime;
}

// ---------------------------------------------------------------------------
// View

TFileListView::TFileListView(QWidget* parent) : QTreeView(parent), model_(new TFileListModel(this)) {
  setModel(model_);
  setItemDelegate(new TIconRowDelegate(this));
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragEnabled(true);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDefaultDropAction(Qt::CopyAction);
  setIconSize(QSize(plat::ImageList::kSmall, plat::ImageList::kSmall));
  header()->setSectionsMovable(false);
  header()->setStretchLastSection(false);
  setColumnWidth(TFileListModel::colName, 350);
  setColumnWidth(TFileListModel::colSize, 130);
  setColumnWidth(TFileListModel::colDate, 140);
}

void TFileListView::BeginUpdate() {
  if (!model_->Updating()) setUpdatesEnabled(false);
  model_->BeginUpdate();
}

void TFileListView::EndUpdate() {
  model_->EndUpdate();
  if (!model_->Updating()) setUpdatesEnabled(true);
}

void TFileListView::Clear() { model_->Clear(); }

void TFileListView::AddRow(TListRow row) { model_->AddRow(std::move(row)); }

std::vector<int> TFileListView::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void TFileListView::SelectRow(int i, bool on) {
  if (i < 0 || i >= Count()) return;
  selectionModel()->select(model_->index(i, 0), (on ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                                                    QItemSelectionModel::Rows);
}

void TFileListView::DoDragOver(TFileListView* source, QPoint at, bool& accept) {
  if (OnDragOver) OnDragOver(this, source, at, accept);
}

void TFileListView::DoDragDrop(TFileListView* source, QPoint at) {
  if (OnDragDrop) OnDragDrop(this, source, at);
}

bool TFileListView::AcceptsDrag(QDropEvent* event) {
  if (QWidget* tree = FolderSource(event)) return OnFolderDragOver && OnFolderDragOver(this, tree);
  bool accept = false;
  DoDragOver(qobject_cast<TFileListView*>(event->source()), event->position().toPoint(), accept);
  return accept;
}

QWidget* TFileListView::FolderSource(QDropEvent* event) {
  QObject* source = event->source();
  if (source == nullptr || qobject_cast<TFileListView*>(source) != nullptr) return nullptr;
  return qobject_cast<QTreeWidget*>(source);
}

void TFileListView::dragEnterEvent(QDragEnterEvent* event) {
  if (AcceptsDrag(event)) event->acceptProposedAction();
  else event->ignore();
}

void TFileListView::dragMoveEvent(QDragMoveEvent* event) {
  if (AcceptsDrag(event)) event->acceptProposedAction();
  else event->ignore();
}

void TFileListView::dropEvent(QDropEvent* event) {
  if (!AcceptsDrag(event)) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  if (QWidget* tree = FolderSource(event)) {
    if (OnFolderDrop) OnFolderDrop(this, tree);
    return;
  }
  DoDragDrop(qobject_cast<TFileListView*>(event->source()), event->position().toPoint());
}

void TFileListView::mouseDoubleClickEvent(QMouseEvent* event) {
  QTreeView::mouseDoubleClickEvent(event);
  if (OnDblClick) OnDblClick(this);
}
