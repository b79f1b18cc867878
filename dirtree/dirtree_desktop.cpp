// TDirTree and the world outside the tree: device changes (the mount table),
// files dropped from the desktop, the shared-folder overlay, and taking the
// window part down and up again.
#include <algorithm>
#include <utility>

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QUrl>

#include "dirtree/dirtree.h"
#include "platform/qt/image_list.h"
#include "platform/qt/mount_notifier.h"
#include "platform/user_shares.h"

namespace {

// The local files among dropped URLs, in the order given; other URLs name
// nothing the tree's owner could copy from this machine.
std::vector<std::string> LocalFiles(const QMimeData* data) {
  std::vector<std::string> files;
  if (!data || !data->hasUrls()) return files;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile() && !url.toLocalFile().isEmpty()) files.push_back(url.toLocalFile().toStdString());
  return files;
}

TShiftState ShiftOf(Qt::KeyboardModifiers modifiers) {
  TShiftState shift;
  if (modifiers & Qt::ShiftModifier) shift.Include(ssShift);
  if (modifiers & Qt::AltModifier) shift.Include(ssAlt);
  if (modifiers & Qt::ControlModifier) shift.Include(ssCtrl);
  return shift;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

// --- the window part ---

void TDirTree::AttachToDesktop() {
  if (!mountWatch_)
    mountWatch_ = new plat::MountTableNotifier(plat::TheDrives().MountTable(), [this] { DeviceChange(); }, this);
  viewport()->setAcceptDrops(acceptDropFiles_);
}

void TDirTree::DestroyWnd() {
  if (!handleAllocated_) return;
  viewport()->setAcceptDrops(false);   // withdrawn; the property holds for the next window
  pathPending_ = true;
  pendingPath_ = SelectedPath();
  // The tree comes back at once: emptying it is nothing to report.
  --changeLock_;
  ClearTree();
  ++changeLock_;
  if (mountWatch_) {
    mountWatch_->Stop();
    mountWatch_->deleteLater();   // this may run inside its notification
    mountWatch_ = nullptr;
  }
  dropTarget_ = nullptr;
  handleAllocated_ = false;
}

void TDirTree::RecreateWnd() {
  QPointer<TDirTree> self(this);
  DestroyWnd();
  if (self) CreateWnd();
}

// --- device changes ---

void TDirTree::DeviceChange() {
  if (!handleAllocated_ || destroying_) return;
  if (updateDepth_ > 0) {
    // In the middle of a rebuild (a handler ran the event loop): once it is done.
    deviceChangePending_ = true;
    return;
  }
  QPointer<TDirTree> self(this);
  --changeLock_;
  try {
    if (!RefreshDrives() && self) MediaChanged();
  } catch (...) {
    if (self) ++changeLock_;
    throw;
  }
  if (!self) return;
  ++changeLock_;
  Change(currentItem());
}

TTreeNode* TDirTree::DriveNodeByKey(const std::string& drive) const {
  for (int i = 0; i < topLevelItemCount(); ++i)
    if (TDirEntry* e = Entry(topLevelItem(i)); e && e->Path == drive) return topLevelItem(i);
  return nullptr;
}

bool TDirTree::RefreshDrives() {
  QPointer<TDirTree> self(this);
  --changeLock_;
  BeginUpdate();
  bool changed = false;
  const std::vector<std::string> now = AvailableDrives();
  const std::vector<std::string> shown = driveMask_;   // a handler may rebuild the tree meanwhile
  for (const std::string& drive : shown) {
    if (Contains(now, drive)) continue;
    if (TTreeNode* node = DriveNodeByKey(drive)) {
      delete node;
      if (!self) return false;
      changed = true;
    }
  }
  for (const std::string& drive : now) {
    if (Contains(shown, drive)) continue;
    TTreeNode* before = nullptr;
    for (int i = 0; i < topLevelItemCount() && !before; ++i)
      if (TDirEntry* e = Entry(topLevelItem(i)); e && e->Path > drive) before = topLevelItem(i);
    TTreeNode* node = AddDriveNode(drive, before);
    if (!self) return false;
    changed = true;
    if (Alive(node)) ProbeDrive(node, drive);
    if (!self) return false;
  }
  driveMask_ = now;
  ++changeLock_;
  EndUpdate();
  viewport()->update();
  if (changed) Change(currentItem());
  return changed;
}

void TDirTree::MediaChanged() {
  QPointer<TDirTree> self(this);
  const std::vector<std::string> shown = driveMask_;
  for (const std::string& drive : shown) {
    TTreeNode* node = DriveNodeByKey(drive);
    if (!node || CurrentSerial(drive) == DriveSerial(drive)) continue;
    --changeLock_;
    RelabelDrive(node);
    if (!self) return;
    ++changeLock_;
  }
}

// --- dropped files ---

void TDirTree::SetAcceptDropFiles(bool value) {
  acceptDropFiles_ = value;
  if (handleAllocated_) viewport()->setAcceptDrops(value);
}

TTreeNode* TDirTree::DropTargetAt(const QPoint& pos) const {
  if (!viewport()->rect().contains(pos)) return nullptr;
  return itemAt(pos);
}

void TDirTree::dragEnterEvent(QDragEnterEvent* event) {
  if (acceptDropFiles_ && !LocalFiles(event->mimeData()).empty())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TDirTree::dragMoveEvent(QDragMoveEvent* event) {
  TTreeNode* target = nullptr;
  if (acceptDropFiles_ && !LocalFiles(event->mimeData()).empty())
    target = DropTargetAt(event->position().toPoint());
  if (target != dropTarget_) {
    dropTarget_ = target;
    viewport()->update();
  }
  if (target)
    event->acceptProposedAction();
  else
    event->ignore();   // the desktop shows that nothing would happen here
}

void TDirTree::dragLeaveEvent(QDragLeaveEvent* event) {
  dropTarget_ = nullptr;
  viewport()->update();
  event->accept();
}

void TDirTree::dropEvent(QDropEvent* event) {
  const QPoint pos = event->position().toPoint();
  TTreeNode* target = acceptDropFiles_ ? DropTargetAt(pos) : nullptr;
  dropTarget_ = nullptr;
  viewport()->update();
  if (!target) {
    event->ignore();
    return;
  }
  dropFiles_ = LocalFiles(event->mimeData());
  if (dropFiles_.empty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  const TDirEntry* entry = Entry(target);
  // Copies: the handler may run the event loop, and a second drop meanwhile
  // must not change what it is looking at.
  const std::string dropDir = entry ? entry->Path : std::string();
  const std::vector<std::string> files = dropFiles_;
  DoDropFiles(pos.x(), pos.y(), dropDir, files, ShiftOf(event->modifiers()));
}

void TDirTree::paintEvent(QPaintEvent* event) {
  QTreeWidget::paintEvent(event);
  if (!dropTarget_) return;
  // The node the files would be dropped on.
  QPainter painter(viewport());
  painter.setPen(palette().color(QPalette::Highlight));
  painter.drawRect(visualItemRect(dropTarget_).adjusted(0, 0, -1, -1));
}

void TDirTree::DoDropFiles(int x, int y, const std::string& dropDir, const std::vector<std::string>& files,
                           TShiftState shift) {
  if (OnDropFiles) OnDropFiles(this, x, y, dropDir, files, shift);
}

// --- shared folders ---

int TDirTree::ShareOverlay(TTreeNode* node) {
  const TDirEntry* entry = Entry(node);
  return entry && plat::TheUserShares().IsShared(entry->Path) ? plat::ImageList::kSharedOverlay
                                                              : plat::ImageList::kNoOverlay;
}

void TDirTree::SetShowShareOverlay(bool value) {
  if (value == showShareOverlay_) return;
  showShareOverlay_ = value;
  if (topLevelItemCount() == 0) return;
  BeginUpdate();
  for (int i = 0; i < topLevelItemCount(); ++i) MarkShares(topLevelItem(i));
  EndUpdate();
}

void TDirTree::MarkShares(TTreeNode* node) {
  if (!Entry(node)) return;   // a dummy
  SetOverlay(node, showShareOverlay_ ? ShareOverlay(node) : plat::ImageList::kNoOverlay);
  // An unread node has only its dummy below it.
  for (int i = 0; i < node->childCount(); ++i) MarkShares(node->child(i));
}
