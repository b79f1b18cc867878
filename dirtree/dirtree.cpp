#include "dirtree/dirtree.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <QApplication>
#include <QCollator>
#include <QCoreApplication>
#include <QPointer>
#include <QShowEvent>

#include "platform/qt/image_list.h"
#include "platform/qt/mount_notifier.h"
#include "platform/qt/resources.h"

namespace {

constexpr int kImageIndexRole = Qt::UserRole + 1;
constexpr int kSelectedIndexRole = Qt::UserRole + 2;
constexpr int kOverlayRole = Qt::UserRole + 3;

// The hourglass while the tree reads the disk.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

QString Text(const std::string& bytes) { return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())); }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() ? a == b || Text(a).compare(Text(b), Qt::CaseInsensitive) == 0
                              : Text(a).compare(Text(b), Qt::CaseInsensitive) == 0;
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  return Text(text).startsWith(Text(prefix), Qt::CaseInsensitive);
}

std::string Lower(const std::string& text) { return Text(text).toLower().toStdString(); }

// "//", "/./" and "x/../" name no level of their own; a level per separator
// must be a level per folder.
std::string NormalizedPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  if (!out.empty() && out[0] == '/') out = std::filesystem::path(out).lexically_normal().string();
  return plat::AppendSlash(out);
}

// Where "marker" (lower case) ends in the lower-case path, 0 when absent.
std::size_t MarkerEnd(const std::string& lowerPath, const std::string& marker) {
  const std::size_t p = lowerPath.find(marker);
  return p == std::string::npos ? 0 : p + marker.size();
}

// ".trash-1000/" and the like, the per-user trash folder of a mount.
std::size_t UserTrashEnd(const std::string& lowerPath) {
  for (std::size_t p = lowerPath.find("/.trash-"); p != std::string::npos; p = lowerPath.find("/.trash-", p + 1)) {
    std::size_t q = p + 8;
    while (q < lowerPath.size() && lowerPath[q] >= '0' && lowerPath[q] <= '9') ++q;
    if (q > p + 8 && q < lowerPath.size() && lowerPath[q] == '/') return q + 1;
  }
  return 0;
}

}  // namespace

// Every node of the tree; a dummy node has no entry. Its deletion is reported
// to the tree however it comes about (ClearTree, a refresh, Qt itself).
class TDirNode : public QTreeWidgetItem {
 public:
  explicit TDirNode(TDirTree* tree) : tree_(tree) { tree_->live_.insert(this); }
  ~TDirNode() override {
    entry.reset();
    tree_->live_.erase(this);
    tree_->NodeDeleted(this);
  }
  TDirNode(const TDirNode&) = delete;
  TDirNode& operator=(const TDirNode&) = delete;

  std::unique_ptr<TDirEntry> entry;
  // False when the enumeration said the folder is no symbolic link, which
  // spares the loop check a look at the disk.
  bool mayBeLink = true;

 private:
  TDirTree* tree_;
};

// --- construction ---

TDirTree::TDirTree(QWidget* parent) : QTreeWidget(parent) {
  plat::ImageList& images = plat::ImageList::Shared();
  folderIcon_ = images.FolderIndex();
  openFolderIcon_ = images.OpenFolderIndex();
  setIconSize(QSize(plat::ImageList::kSmall, plat::ImageList::kSmall));

  plat::Drives& drives = plat::TheDrives();
  initialDirectory_ = drives.CurrentFolder();
  try {
    const std::string cwd = drives.CurrentFolder();
    for (const plat::MountEntry& m : drives.List()) kinds_[m.path] = m.kind;
    const std::string drive = DriveOf(cwd);
    if (!drive.empty()) lastDir_[drive] = cwd;
  } catch (...) {
    // Only a convenience for the first selection on that drive.
  }

  setColumnCount(1);
  setHeaderHidden(true);
  setSortingEnabled(false);   // children are inserted already sorted
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformRowHeights(true);
  SetHideSelection(false);
  changeLock_ = 0;

  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
    Change(current);
  });
  connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem*, int) { Click(); });
  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) {
    QPointer<TDirTree> self(this);
    if (!CanExpand(node) && self && Alive(node)) collapseItem(node);
  });
}

TDirTree::~TDirTree() {
  destroying_ = true;
  if (mountWatch_) mountWatch_->Stop();
  changeLock_ = 0;
  ClearTree();
}

void TDirTree::SetHideSelection(bool value) {
  hideSelection_ = value;
  // Keep the selection visible while another control has the focus.
  QPalette p = palette();
  if (!value) {
    p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Active, QPalette::Highlight));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Active, QPalette::HighlightedText));
  } else {
    p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Inactive, QPalette::Base));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Inactive, QPalette::Text));
  }
  setPalette(p);
}

// --- window creation and loading ---

void TDirTree::CreateWnd() {
  handleAllocated_ = true;
  QPointer<TDirTree> self(this);
  AttachToDesktop();
  if (readOnStart_) ReadDrives();
  if (!self) return;
  if (pathPending_) {
    pathPending_ = false;
    // "" (a dummy was selected) and "?" (nothing was) are no folder to go back to.
    if (!pendingPath_.empty() && pendingPath_ != "?") SelectPath(pendingPath_);
  }
}

void TDirTree::HandleNeeded() {
  if (!handleAllocated_) CreateWnd();
}

void TDirTree::showEvent(QShowEvent* event) {
  QTreeWidget::showEvent(event);
  HandleNeeded();
}

void TDirTree::Loaded() {
  plat::Drives& drives = plat::TheDrives();
  if (!initialDirectory_.empty() && drives.Exists(initialDirectory_))
    SelectPath(initialDirectory_);
  else
    SelectPath(drives.CurrentFolder());
}

// --- properties ---

void TDirTree::SetDirTypes(TDirTypes value) {
  if (value == dirTypes_) return;
  dirTypes_ = value;
  if (handleAllocated_) Reload();
}

void TDirTree::SetGoBelowRecycleBin(bool value) {
  if (value == goBelowRecycleBin_) return;
  goBelowRecycleBin_ = value;
  if (handleAllocated_) Reload();
}

void TDirTree::SetDriveTypes(TDriveTypes value) {
  if (value == driveTypes_) return;
  driveTypes_ = value;
  if (handleAllocated_) RefreshDrives();
}

std::string TDirTree::LastDir(const std::string& drive) const {
  const auto it = lastDir_.find(drive);
  return it == lastDir_.end() ? drive : it->second;
}

std::int32_t TDirTree::DriveSerial(const std::string& drive) const {
  const auto it = driveSerial_.find(drive);
  return it == driveSerial_.end() ? 0 : it->second;
}

// --- nodes ---

TDirEntry* TDirTree::Entry(TTreeNode* node) {
  auto* n = dynamic_cast<TDirNode*>(node);
  return n ? n->entry.get() : nullptr;
}

int TDirTree::ImageIndex(TTreeNode* node) { return node ? node->data(0, kImageIndexRole).toInt() : -1; }

int TDirTree::SelectedIndex(TTreeNode* node) { return node ? node->data(0, kSelectedIndexRole).toInt() : -1; }

int TDirTree::OverlayIndex(TTreeNode* node) {
  const QVariant overlay = node ? node->data(0, kOverlayRole) : QVariant();
  return overlay.isValid() ? overlay.toInt() : plat::ImageList::kNoOverlay;
}

void TDirTree::ApplyOverlay(TTreeNode* node) {
  if (showShareOverlay_) node->setData(0, kOverlayRole, ShareOverlay(node));
}

void TDirTree::SetOverlay(TTreeNode* node, int overlay) {
  if (!node || OverlayIndex(node) == overlay) return;
  node->setData(0, kOverlayRole, overlay);
  node->setIcon(0, plat::ImageList::Shared().Icon(ImageIndex(node), SelectedIndex(node), overlay));
}

void TDirTree::NodeDeleted(TTreeNode* node) {
  if (node == dropTarget_) dropTarget_ = nullptr;
  DoDeleteItem(node);
}

void TDirTree::AddDummy(TTreeNode* node) { node->addChild(new TDirNode(this)); }

void TDirTree::DeleteChildren(TTreeNode* node) {
  // One at a time, so that each deleted node is still in the tree when it reports.
  while (node->childCount() > 0) delete node->child(node->childCount() - 1);
}

TTreeNode* TDirTree::DriveNodeOf(TTreeNode* node) const {
  while (node && node->parent()) node = node->parent();
  return node;
}

void TDirTree::BeginUpdate() {
  if (updateDepth_++ == 0) setUpdatesEnabled(false);
}

void TDirTree::EndUpdate() {
  if (--updateDepth_ != 0) return;
  setUpdatesEnabled(true);
  if (deviceChangePending_) {
    deviceChangePending_ = false;
    QMetaObject::invokeMethod(this, [this] { DeviceChange(); }, Qt::QueuedConnection);
  }
}

// --- drives ---

plat::DriveKind TDirTree::KindOf(const std::string& drive) const {
  const auto it = kinds_.find(drive);
  return it == kinds_.end() ? plat::DriveKind::NoRoot : it->second;
}

std::string TDirTree::DriveOf(const std::string& path) const {
  std::string best;
  for (const auto& [drive, kind] : kinds_)
    if (path.compare(0, drive.size(), drive) == 0 && drive.size() > best.size()) best = drive;
  return best;
}

std::vector<std::string> TDirTree::AvailableDrives() {
  std::vector<std::string> drives;
  kinds_.clear();
  for (const plat::MountEntry& m : plat::TheDrives().List()) {
    kinds_[m.path] = m.kind;
    bool shown = true;
    switch (m.kind) {
      case plat::DriveKind::Unknown: shown = driveTypes_.Contains(drtUnknown); break;
      case plat::DriveKind::Removable: shown = driveTypes_.Contains(drtRemovable); break;
      case plat::DriveKind::Fixed: shown = driveTypes_.Contains(drtFixed); break;
      case plat::DriveKind::Remote: shown = driveTypes_.Contains(drtRemote); break;
      case plat::DriveKind::CDRom: shown = driveTypes_.Contains(drtCDRom); break;
      case plat::DriveKind::RamDisk: shown = driveTypes_.Contains(drtRamDisk); break;
      case plat::DriveKind::NoRoot: break;   // no root folder: always kept
    }
    if (shown) drives.push_back(m.path);
  }
  return drives;
}

std::string TDirTree::DriveLabel(const std::string& drive) {
  // The mount path names the drive as a letter would; "/media/u/STICK", not ".../".
  const std::string shown = plat::RemoveSlash(drive);
  std::string label;
  std::int32_t serial = -1;
  if (plat::TheDrives().VolumeInformation(drive, label, serial)) {
    driveSerial_[drive] = serial;
    // Also without a label: the blank in front tells a readable volume from
    // a drive without a medium.
    return label + " (" + shown + ")";
  }
  driveSerial_[drive] = -1;
  return "(" + shown + ")";
}

std::int32_t TDirTree::CurrentSerial(const std::string& drive) {
  std::string label;
  std::int32_t serial = -1;
  if (!plat::TheDrives().VolumeInformation(drive, label, serial)) return -1;
  return serial;
}

TTreeNode* TDirTree::AddDriveNode(const std::string& drive, TTreeNode* before) {
  auto* node = new TDirNode(this);
  const int at = before ? indexOfTopLevelItem(before) : -1;
  if (at >= 0)
    insertTopLevelItem(at, node);
  else
    addTopLevelItem(node);
  node->setText(0, Text(DriveLabel(drive)));
  node->entry = std::make_unique<TDirEntry>(TDirEntry{drive, false, nullptr});
  ApplyOverlay(node);
  const char* icon = "drive-harddisk";
  switch (KindOf(drive)) {
    case plat::DriveKind::Removable: icon = "drive-removable-media"; break;
    case plat::DriveKind::Remote: icon = "folder-remote"; break;
    case plat::DriveKind::CDRom: icon = "media-optical"; break;
    default: break;
  }
  SetNodeIcons(node, plat::ImageList::Shared().IndexOfThemeIcon(icon, plat::siClosedFolder));
  return node;
}

void TDirTree::ReadDrives() {
  if (!handleAllocated_) return;
  QPointer<TDirTree> self(this);
  --changeLock_;
  {
    WaitCursor wait;
    BeginUpdate();
    ClearTree();
    // Let the repaint and the notifications of the cleared tree through before
    // the drives are probed.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (!self) return;
    driveMask_ = AvailableDrives();
    for (const std::string& drive : driveMask_) {
      const bool accepted = AcceptFolder(drive);
      if (!self) return;
      if (!accepted) continue;
      TTreeNode* node = AddDriveNode(drive, nullptr);
      if (!self) return;
      if (!Alive(node)) continue;   // the icon event cleared the tree
      ProbeDrive(node, drive);
      if (!self) return;
    }
    ++changeLock_;
    EndUpdate();
    if (currentItem()) scrollToItem(currentItem());
  }
}

void TDirTree::ProbeDrive(TTreeNode* node, const std::string& drive) {
  const plat::DriveKind kind = KindOf(drive);
  // Removable media and CD-ROMs are not probed: no waiting for a medium.
  if (!fastLoad_ && kind >= plat::DriveKind::Fixed && kind != plat::DriveKind::CDRom)
    HasSubfolders(node);
  else
    AddDummy(node);
}

// --- folders ---

bool TDirTree::AcceptFolder(const std::string& path) {
  bool accept = true;
  if (!goBelowRecycleBin_) {
    // The trash folders stand for the recycle bin: shown, but nothing below them.
    const std::string lower = Lower(path);
    for (std::size_t end : {MarkerEnd(lower, "/.local/share/trash/"), MarkerEnd(lower, "/.trash/"),
                            UserTrashEnd(lower)}) {
      if (end > 0 && end < lower.size()) accept = false;
    }
  }
  if (accept) DoAddDir(path, accept);
  return accept;
}

bool TDirTree::DirTypeAccepted(std::uint32_t attr) const {
  if (dirTypes_.Contains(dtAll)) return true;
  if ((attr & plat::faHidden) && !dirTypes_.Contains(dtHidden)) return false;
  if ((attr & plat::faSystem) && !dirTypes_.Contains(dtSystem)) return false;
  if ((attr & plat::faArchive) && !dirTypes_.Contains(dtArchive)) return false;
  return dirTypes_.Contains(dtNormal) || (attr & (plat::faHidden | plat::faSystem | plat::faArchive)) != 0;
}

bool TDirTree::SubfolderCounts(const std::string& folder, const TDirRec& rec) {
  if (!(rec.Attr & plat::faDirectory) || rec.Name == "." || rec.Name == ".." || rec.Name.empty() ||
      rec.Name.find('/') != std::string::npos)
    return false;
  return AcceptFolder(folder + rec.Name + "/") && DirTypeAccepted(rec.Attr);
}

bool TDirTree::EnumerateSubfolders(const std::string& folder, const std::function<bool(const TDirRec&)>& visit) {
  QPointer<TDirTree> self(this);
  if (OnFindDir) {
    TDirRec rec;
    int result = 0;
    DoFindDir(folder, rec, result, true);
    while (self && result == 0) {
      const bool counts = SubfolderCounts(folder, rec);
      if (!self) return false;
      if (counts && !visit(rec)) return true;
      rec = TDirRec();
      DoFindDir(folder, rec, result, false);
    }
    return static_cast<bool>(self);
  }
  plat::FolderEnumerator find;
  TDirRec rec;
  rec.FindHandle = &find;
  for (bool ok = find.First(folder, rec.FindData); ok; ok = find.Next(rec.FindData)) {
    rec.Attr = rec.FindData.attr;
    rec.Name = rec.FindData.name;
    const bool counts = SubfolderCounts(folder, rec);
    if (!self) return false;
    if (counts && !visit(rec)) break;
  }
  return true;
}

int TDirTree::FolderIconOf(const std::string& path) const {
  plat::ImageList& images = plat::ImageList::Shared();
  if (path == plat::TheDrives().HomeFolder()) return images.IndexOfThemeIcon("user-home", plat::siClosedFolder);
  const std::string lower = Lower(path);
  if (lower.size() >= 7 && (lower.ends_with("/.local/share/trash/") || lower.ends_with("/.trash/") ||
                            UserTrashEnd(lower) == lower.size()))
    return images.IndexOfThemeIcon("user-trash", plat::siClosedFolder);
  return folderIcon_;
}

TTreeNode* TDirTree::AddFolderNode(TTreeNode* parent, const std::string& name, bool mayBeLink) {
  TDirEntry* parentEntry = Entry(parent);
  if (!parentEntry) return nullptr;
  const std::string path = parentEntry->Path + name + "/";
  auto* node = new TDirNode(this);
  parent->addChild(node);
  node->setText(0, Text(name));
  node->entry = std::make_unique<TDirEntry>(TDirEntry{path, false, parentEntry->Data});
  node->mayBeLink = mayBeLink;
  ApplyOverlay(node);
  SetNodeIcons(node, FolderIconOf(path));
  return node;
}

bool TDirTree::LeadsBackUp(TTreeNode* node) const {
  TDirEntry* entry = Entry(node);
  auto* n = dynamic_cast<TDirNode*>(node);
  if (!entry || !node->parent() || (n && !n->mayBeLink) || !plat::IsSymbolicLink(entry->Path)) return false;
  const std::string target = plat::RealFolder(entry->Path);
  if (target.empty()) return false;   // a dangling link reads as empty anyway
  // An ancestor on disk ("up" -> "/"), or a folder already open above it in
  // the tree (a -> b/, b/back -> a/).
  if (plat::RealFolder(Entry(node->parent())->Path).starts_with(target)) return true;
  for (TTreeNode* up = node->parent()->parent(); up; up = up->parent())
    if (TDirEntry* e = Entry(up); e && plat::RealFolder(e->Path) == target) return true;
  return false;
}

void TDirTree::ReadChildren(TTreeNode* node) {
  TDirEntry* entry = Entry(node);
  if (!entry || entry->Read) return;
  QPointer<TDirTree> self(this);
  DeleteChildren(node);
  entry->Read = true;
  if (LeadsBackUp(node)) return;
  const std::string folder = entry->Path;
  struct Found {
    std::string name;
    bool mayBeLink;
  };
  std::vector<Found> found;
  if (!EnumerateSubfolders(folder, [&](const TDirRec& rec) {
        found.push_back({rec.Name, rec.FindHandle == nullptr || rec.FindData.link});
        return true;
      }) ||
      !Alive(node))
    return;   // the tree went away, or the filter's handler rebuilt it
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  std::sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
    const int c = collator.compare(Text(a.name), Text(b.name));
    return c != 0 ? c < 0 : a.name < b.name;   // "Docs" and "docs" may both exist here
  });
  for (const Found& f : found) {
    AddFolderNode(node, f.name, f.mayBeLink);
    if (!self || !Alive(node)) return;
  }
}

bool TDirTree::HasSubfolders(TTreeNode* node) {
  TDirEntry* entry = Entry(node);
  if (!entry || entry->Read) return false;
  // Probed already: the dummy is there; a second one would only pile up.
  if (node->childCount() > 0) return true;
  if (LeadsBackUp(node)) return false;
  bool found = false;
  if (!EnumerateSubfolders(entry->Path, [&](const TDirRec&) {
        found = true;
        return false;
      }) ||
      !Alive(node))
    return false;
  if (found) AddDummy(node);
  return found;
}

void TDirTree::ProbeChildren(TTreeNode* node) {
  if (!node) return;
  QPointer<TDirTree> self(this);
  for (int i = 0; i < node->childCount(); ++i) {
    HasSubfolders(node->child(i));
    if (!self || !Alive(node)) return;
  }
}

bool TDirTree::CanExpand(TTreeNode* node) {
  QPointer<TDirTree> self(this);
  {
    WaitCursor wait;
    ReadChildren(node);
    if (!self) return false;
    if (!Alive(node)) return true;   // nothing left to close
    // Every expansion: a child that has gained a sub-folder since gets its button.
    ProbeChildren(node);
    if (!self) return false;
    if (!Alive(node)) return true;
  }
  // Nothing below after all (the folders went away): not left open on an
  // empty branch, where a dummy added by a later refresh would show as a blank row.
  return node->childCount() > 0;
}

void TDirTree::RefreshNode(TTreeNode* node) {
  TDirEntry* entry = Entry(node);
  if (!entry) return;
  node->setExpanded(false);   // back to unread: the next expansion reads it again
  DeleteChildren(node);
  entry->Read = false;
  HasSubfolders(node);
}

void TDirTree::ClearTree() {
  --changeLock_;
  BeginUpdate();
  clear();
  ++changeLock_;
  if (changeLock_ >= 0) {
    changeLock_ = 0;
    Change(currentItem());
  }
  EndUpdate();
}

void TDirTree::SetNodeIcons(TTreeNode* node, int icon) {
  if (!node) return;
  const int selected = icon == folderIcon_ ? openFolderIcon_ : icon;   // other icons have no open state
  node->setData(0, kImageIndexRole, icon);
  node->setData(0, kSelectedIndexRole, selected);
  node->setIcon(0, plat::ImageList::Shared().Icon(icon, selected, OverlayIndex(node)));
  DoGetIcon(node);
}

// --- finding and selecting ---

TTreeNode* TDirTree::MatchDrive(const std::string& path, bool exact) const {
  // The drive whose mount path is the longest prefix: "/home/u/" lies on
  // "/home/" when that is mounted, not on "/".
  TTreeNode* best = nullptr;
  std::size_t bestSize = 0;
  for (int i = 0; i < topLevelItemCount(); ++i) {
    TTreeNode* node = topLevelItem(i);
    TDirEntry* e = Entry(node);
    if (!e || e->Path.size() <= bestSize) continue;
    const bool prefix = exact ? path.compare(0, e->Path.size(), e->Path) == 0 : StartsWithIgnoringCase(path, e->Path);
    if (prefix) {
      best = node;
      bestSize = e->Path.size();
    }
  }
  return best;
}

TTreeNode* TDirTree::MatchChild(TTreeNode* parent, const std::string& part, bool exact) const {
  for (int i = 0; i < parent->childCount(); ++i) {
    TDirEntry* e = Entry(parent->child(i));
    if (e && (exact ? e->Path == part : SameIgnoringCase(e->Path, part))) return parent->child(i);
  }
  return nullptr;
}

TTreeNode* TDirTree::FindNode(const std::string& path) const {
  const std::string p = NormalizedPath(path);
  TTreeNode* node = MatchDrive(p, true);
  if (!node) return nullptr;
  std::size_t end = Entry(node)->Path.size();
  while (end < p.size()) {
    end = p.find('/', end) + 1;
    node = MatchChild(node, p.substr(0, end), true);
    if (!node) return nullptr;
  }
  return node;
}

bool TDirTree::PathExists(const std::string& path, std::string& realPath) const {
  plat::Drives& drives = plat::TheDrives();
  realPath = path;
  if (drives.Exists(path)) return true;   // relative ones from the current folder; no node matches them
  if (path.empty() || path[0] != '/') return false;
  // Not under this spelling; the same folder in another letter case counts,
  // since the comparison below ignores case when the exact one fails.
  std::string resolved = "/";
  std::size_t start = 1;
  while (start < path.size()) {
    const std::size_t end = path.find('/', start);
    const std::string name = path.substr(start, end - start);
    if (drives.Exists(resolved + name)) {
      resolved += name + "/";
    } else {
      plat::FolderEnumerator find;
      plat::FolderEntry e;
      bool found = false;
      for (bool ok = find.First(resolved, e); ok && !found; ok = find.Next(e)) {
        if (e.name != "." && e.name != ".." && SameIgnoringCase(e.name, name)) {
          resolved += e.name + "/";
          found = true;
        }
      }
      if (!found) return false;
    }
    start = end + 1;
  }
  realPath = resolved;
  return true;
}

void TDirTree::SelectPath(const std::string& path) {
  if (path.empty()) throw std::runtime_error("Invalid Path Name");
  if (path == "?") return;
  HandleNeeded();
  QPointer<TDirTree> self(this);
  std::string p = NormalizedPath(path);
  std::string real;
  if (!PathExists(p, real)) {
    const std::string cwd = plat::TheDrives().CurrentFolder();
    p = DriveOf(cwd);
    if (p.empty()) p = plat::AppendSlash(std::string());   // no drive holds it: the root
  }
  WaitCursor wait;
  BeginUpdate();
  TTreeNode* node = MatchDrive(p, true);
  if (!node) node = MatchDrive(p, false);
  if (!node) {
    EndUpdate();
    return;
  }
  // Reading runs the filter and icon handlers, which may rebuild the tree:
  // then the walk stops as if the level had not been found.
  const auto readIfUnread = [&](TTreeNode* n) {
    if (!Entry(n)->Read) ReadChildren(n);
    return self && Alive(n);
  };
  if (!readIfUnread(node)) {
    if (self) EndUpdate();
    return;
  }
  std::size_t end = Entry(node)->Path.size();
  while (end < p.size()) {
    end = p.find('/', end) + 1;
    const std::string part = p.substr(0, end);
    TTreeNode* child = MatchChild(node, part, true);
    if (!child) child = MatchChild(node, part, false);
    if (!child) {
      EndUpdate();
      return;
    }
    node = child;
    if (!readIfUnread(node)) {
      if (self) EndUpdate();
      return;
    }
  }
  // Opening the levels above probes their children (handlers again).
  std::vector<TTreeNode*> above;
  for (TTreeNode* up = node->parent(); up; up = up->parent()) above.push_back(up);
  for (TTreeNode* up : above) {
    if (Alive(up)) up->setExpanded(true);
    if (!self) return;
  }
  if (!Alive(node)) {
    EndUpdate();
    return;
  }
  setCurrentItem(node);
  if (!self) return;
  if (Alive(node)) scrollToItem(node);
  EndUpdate();
}

std::string TDirTree::SelectedPath() const {
  TTreeNode* node = currentItem();
  if (!node) return "?";
  TDirEntry* e = Entry(node);
  return e ? e->Path : std::string();
}

void TDirTree::Reload() {
  QPointer<TDirTree> self(this);
  if (!handleAllocated_) {
    handleAllocated_ = true;   // the rebuild below is the window's first build
    AttachToDesktop();
  }
  const std::string remembered = SelectedPath();
  ReadDrives();
  if (!self) return;
  if (!remembered.empty()) SelectPath(remembered);   // "" (a dummy was selected) is no path to go back to
  if (!self) return;
  if (topLevelItemCount() > 0 && !currentItem() && remembered != "?" && !remembered.empty()) {
    const std::string drive = DriveOf(remembered);
    if (!drive.empty()) SelectPath(drive);
    if (!self) return;
  }
  if (topLevelItemCount() > 0 && !currentItem()) {
    try {
      // The current folder's drive, else the first one.
      TTreeNode* driveNode = MatchDrive(plat::TheDrives().CurrentFolder(), true);
      if (!driveNode) driveNode = topLevelItem(0);
      const std::string key = Entry(driveNode)->Path;
      SelectPath(LastDir(key));
      if (!self) return;
      if (SelectedPath() != LastDir(key) && FindNode(key)) {
        // Selecting notifies once, and Change once more for the drive node.
        driveNode = FindNode(key);
        setCurrentItem(driveNode);
        if (!self) return;
        if (Alive(driveNode)) Change(driveNode);
      }
    } catch (...) {
      // Only a starting point; the tree is usable without a selection.
    }
  }
}

// --- notifications ---

bool TDirTree::RelabelDrive(TTreeNode* driveNode) {
  const std::string drive = Entry(driveNode)->Path;
  QPointer<TDirTree> self(this);
  RefreshNode(driveNode);
  if (!self || !Alive(driveNode)) return false;   // a handler of the probe rebuilt the tree
  driveNode->setText(0, Text(DriveLabel(drive)));
  if (DriveSerial(drive) != -1 && driveNode->childCount() == 0) AddDummy(driveNode);
  return true;
}

TTreeNode* TDirTree::MediumChanged(TTreeNode* driveNode) {
  QPointer<TDirTree> self(this);
  --changeLock_;
  const bool alive = RelabelDrive(driveNode);
  if (!self) return nullptr;
  if (alive) setCurrentItem(driveNode);
  ++changeLock_;
  return alive ? driveNode : nullptr;
}

void TDirTree::Change(TTreeNode* node) {
  if (destroying_ || changeLock_ != 0) return;
  if (TDirEntry* e = Entry(node)) {
    TTreeNode* driveNode = DriveNodeOf(node);
    const std::string drive = Entry(driveNode) ? Entry(driveNode)->Path : std::string();
    if (!drive.empty() && CurrentSerial(drive) != DriveSerial(drive)) {
      // Another medium in the drive: what was read of the old one is stale.
      node = MediumChanged(driveNode);
      if (!node) return;   // the tree went away or was rebuilt meanwhile
      e = Entry(node);
    }
    lastDir_[drive] = e->Path;
  }
  DoChange(node);
}

void TDirTree::Click() {
  TTreeNode* node = currentItem();
  TDirEntry* e = Entry(node);
  if (!e) return;
  TTreeNode* driveNode = DriveNodeOf(node);
  const std::string drive = Entry(driveNode) ? Entry(driveNode)->Path : std::string();
  if (CurrentSerial(drive) == DriveSerial(drive))
    DoClick();
  else
    Change(node);
}

void TDirTree::DoAddDir(const std::string& fileName, bool& doAdd) {
  if (OnAddDir) OnAddDir(this, fileName, doAdd);
}

void TDirTree::DoFindDir(const std::string& path, TDirRec& rec, int& result, bool first) {
  if (OnFindDir)
    OnFindDir(this, path, rec, result, first);
  else
    result = 1;
}

void TDirTree::DoGetIcon(TTreeNode* node) {
  if (OnGetIcon) OnGetIcon(this, node);
}

void TDirTree::DoDeleteItem(TTreeNode* node) {
  if (OnDeleteItem) OnDeleteItem(this, node);
}

void TDirTree::DoChange(TTreeNode* node) {
  if (OnChange) OnChange(this, node);
}

void TDirTree::DoClick() {
  if (OnClick) OnClick(this);
}
