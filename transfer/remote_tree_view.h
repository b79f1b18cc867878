// TRemoteTreeView: the tree of remote directories. Each node's children stay
// sorted by name (the lists' caption order); selecting a node expands it and
// collapses the branch that was selected before, unless the new node lies
// inside it.
//
// A node keeps the name exactly as the server sent it (NodeName); its text
// is that name made safe to show (DisplayText). Adding a child checks the
// node's existing children by exact name through a per-node index, so a
// directory of 100,000 sub-directories is merged without a scan per entry.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <QIcon>
#include <QPixmap>
#include <QTreeWidget>

class TRemoteTreeView : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TRemoteTreeView(QWidget* parent = nullptr);
  ~TRemoteTreeView() override;

  // Inside the bracket new children are collected and placed, sorted, when
  // the outermost EndUpdate runs.
  void BeginUpdate();
  void EndUpdate();

  // The tree's pictures: image 0 a closed folder, image 1 an open one.
  void SetImages(const std::vector<QPixmap>& images);
  const QIcon& FolderIcon() const { return folderIcon_; }

  // A child named `name` under `node` with the closed/open folder pictures,
  // unless `node` already has a child of exactly that name. Returns the new
  // child, or nullptr when there was one.
  QTreeWidgetItem* AddChildNode(QTreeWidgetItem* node, const std::string& name);
  // The name a node was added with (its text for nodes made elsewhere).
  static std::string NodeName(const QTreeWidgetItem* node);
  static void SetNodeName(QTreeWidgetItem* node, const std::string& name);

 private:
  using NameSet = std::unordered_set<std::string>;
  NameSet& ChildNames(QTreeWidgetItem* node);
  void InsertSorted(QTreeWidgetItem* node, QTreeWidgetItem* child);
  void PlacePending(QTreeWidgetItem* node, std::vector<QTreeWidgetItem*>& children);
  void AutoExpand(QTreeWidgetItem* current, QTreeWidgetItem* previous);
  void NodesRemoved(const QModelIndex& parent, int first, int last);
  void DropPending();

  QIcon folderIcon_;  // one icon shared by every node
  int updateCount_ = 0;
  bool placing_ = false;
  std::unordered_map<QTreeWidgetItem*, NameSet> childNames_;
  std::vector<std::pair<QTreeWidgetItem*, std::vector<QTreeWidgetItem*>>> pending_;
  std::unordered_map<QTreeWidgetItem*, std::size_t> pendingSlot_;
};
