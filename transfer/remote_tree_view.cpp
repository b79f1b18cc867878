#include "transfer/remote_tree_view.h"

#include <algorithm>

#include "platform/qt/image_list.h"
#include "platform/qt/resources.h"
#include "transfer/file_list_view.h"

namespace {

constexpr int kNameRole = Qt::UserRole + 1;

}  // namespace

TRemoteTreeView::TRemoteTreeView(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setIndentation(19);
  setUniformRowHeights(true);
  setItemDelegate(new TIconRowDelegate(this));
  setSortingEnabled(false);  // the order is kept by AddChildNode
  setIconSize(QSize(plat::ImageList::kSmall, plat::ImageList::kSmall));
  SetImages(plat::SmallImages());
  connect(this, &QTreeWidget::currentItemChanged, this, &TRemoteTreeView::AutoExpand);
  // The name indexes hold node pointers: any removal may free one, and a
  // new node could get its address, so they are rebuilt on demand.
  connect(model(), &QAbstractItemModel::rowsAboutToBeRemoved, this, &TRemoteTreeView::NodesRemoved);
  connect(model(), &QAbstractItemModel::modelAboutToBeReset, this, &TRemoteTreeView::DropPending);
}

TRemoteTreeView::~TRemoteTreeView() {
  // The base class removes every node after this part is gone; its signals
  // must not reach it then.
  disconnect(model(), nullptr, this, nullptr);
  disconnect(this, nullptr, this, nullptr);
  DropPending();
}

void TRemoteTreeView::NodesRemoved(const QModelIndex& parent, int first, int last) {
  childNames_.clear();
  if (placing_ || pending_.empty()) return;
  // Children waiting for a node that goes away go with it.
  QTreeWidgetItem* under = parent.isValid() ? itemFromIndex(parent) : invisibleRootItem();
  for (auto& [node, children] : pending_) {
    for (QTreeWidgetItem* up = node; up != nullptr; up = up->parent()) {
      const int row = under->indexOfChild(up);
      if (up->parent() == (parent.isValid() ? under : nullptr) && row >= first && row <= last) {
        qDeleteAll(children);
        children.clear();
        break;
      }
    }
  }
}

void TRemoteTreeView::DropPending() {
  childNames_.clear();
  for (auto& entry : pending_) qDeleteAll(entry.second);
  pending_.clear();
  pendingSlot_.clear();
}

void TRemoteTreeView::SetImages(const std::vector<QPixmap>& images) {
  folderIcon_ = QIcon();
  if (images.size() < 2) return;
  folderIcon_.addPixmap(images[0], QIcon::Normal);
  folderIcon_.addPixmap(images[1], QIcon::Selected);
}

void TRemoteTreeView::BeginUpdate() {
  if (updateCount_++ == 0) setUpdatesEnabled(false);
}

void TRemoteTreeView::EndUpdate() {
  if (updateCount_ == 0 || --updateCount_ > 0) return;
  auto pending = std::move(pending_);
  pending_.clear();
  pendingSlot_.clear();
  placing_ = true;
  for (auto& [node, children] : pending)
    if (!children.empty()) PlacePending(node, children);
  placing_ = false;
  setUpdatesEnabled(true);
}

std::string TRemoteTreeView::NodeName(const QTreeWidgetItem* node) {
  const QVariant name = node->data(0, kNameRole);
  if (name.isValid()) return name.toByteArray().toStdString();
  return node->text(0).toStdString();
}

void TRemoteTreeView::SetNodeName(QTreeWidgetItem* node, const std::string& name) {
  const QString text = DisplayText(name);
  node->setText(0, text);
  // The exact bytes are kept apart only when the text shown differs from
  // them; usually the text is the name.
  if (text.toUtf8() != QByteArray::fromRawData(name.data(), static_cast<qsizetype>(name.size())))
    node->setData(0, kNameRole, QByteArray(name.data(), static_cast<qsizetype>(name.size())));
}

TRemoteTreeView::NameSet& TRemoteTreeView::ChildNames(QTreeWidgetItem* node) {
  auto found = childNames_.find(node);
  if (found != childNames_.end()) return found->second;
  NameSet& names = childNames_[node];
  names.reserve(static_cast<std::size_t>(node->childCount()));
  for (int i = 0; i < node->childCount(); ++i) names.insert(NodeName(node->child(i)));
  // Children still waiting for the end of the update count as well.
  if (const auto slot = pendingSlot_.find(node); slot != pendingSlot_.end())
    for (QTreeWidgetItem* child : pending_[slot->second].second) names.insert(NodeName(child));
  return names;
}

QTreeWidgetItem* TRemoteTreeView::AddChildNode(QTreeWidgetItem* node, const std::string& name) {
  if (node == nullptr) return nullptr;
  if (!ChildNames(node).insert(name).second) return nullptr;
  auto* child = new QTreeWidgetItem;
  SetNodeName(child, name);
  child->setIcon(0, folderIcon_);
  if (updateCount_ > 0) {
    auto slot = pendingSlot_.find(node);
    if (slot == pendingSlot_.end()) {
      slot = pendingSlot_.emplace(node, pending_.size()).first;
      pending_.push_back({node, {}});
    }
    pending_[slot->second].second.push_back(child);
  } else {
    InsertSorted(node, child);
  }
  return child;
}

void TRemoteTreeView::InsertSorted(QTreeWidgetItem* node, QTreeWidgetItem* child) {
  const std::string name = NodeName(child);
  int lo = 0, hi = node->childCount();
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (CaptionOrder().Compare(NodeName(node->child(mid)), name) <= 0) lo = mid + 1;
    else hi = mid;
  }
  node->insertChild(lo, child);
}

namespace {

constexpr std::size_t kFewChildren = 64;

bool IsBelow(const QTreeWidgetItem* item, const QTreeWidgetItem* node) {
  for (const QTreeWidgetItem* up = item ? item->parent() : nullptr; up != nullptr; up = up->parent())
    if (up == node) return true;
  return false;
}

// The expanded nodes below node, to open again after its children were
// taken out and put back.
void CollectExpanded(QTreeWidgetItem* node, std::vector<QTreeWidgetItem*>& expanded) {
  for (int i = 0; i < node->childCount(); ++i) {
    QTreeWidgetItem* child = node->child(i);
    if (!child->isExpanded()) continue;
    expanded.push_back(child);
    CollectExpanded(child, expanded);
  }
}

}  // namespace

void TRemoteTreeView::PlacePending(QTreeWidgetItem* node, std::vector<QTreeWidgetItem*>& children) {
  if (node->childCount() > 0 && (children.size() <= kFewChildren || IsBelow(currentItem(), node))) {
    // A few new ones among many, or the selection lies below: each goes to
    // its place and nothing already there moves out of the view.
    for (QTreeWidgetItem* child : children) InsertSorted(node, child);
  } else {
    // All children sorted once and put back in one call; inserting each at
    // its place would move the node's child list once per child.
    std::vector<QTreeWidgetItem*> expanded;
    CollectExpanded(node, expanded);
    QList<QTreeWidgetItem*> all = node->takeChildren();
    all.reserve(all.size() + static_cast<qsizetype>(children.size()));
    for (QTreeWidgetItem* child : children) all.push_back(child);
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(all.size()));
    for (QTreeWidgetItem* item : all) names.push_back(NodeName(item));
    std::vector<const std::string*> captions;
    captions.reserve(names.size());
    for (const std::string& name : names) captions.push_back(&name);
    QList<QTreeWidgetItem*> sorted;
    sorted.reserve(all.size());
    for (std::size_t i : CaptionOrder().Order(captions)) sorted.push_back(all[static_cast<qsizetype>(i)]);
    node->addChildren(sorted);
    for (QTreeWidgetItem* item : expanded) item->setExpanded(true);
  }
  if (node == currentItem()) node->setExpanded(true);
}

void TRemoteTreeView::AutoExpand(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
  // Collapse the old branch up to where it meets the new node's ancestors.
  for (QTreeWidgetItem* item = previous; item != nullptr; item = item->parent()) {
    bool onNewPath = false;
    for (QTreeWidgetItem* up = current; up != nullptr; up = up->parent())
      if (up == item) onNewPath = true;
    if (onNewPath) break;
    item->setExpanded(false);
  }
  if (current != nullptr) current->setExpanded(true);
}
