// TDirTree: the local drives and their folders as a tree, read lazily.
//
// Top-level nodes are the drives (mount points, see platform/drives.h), the
// nodes below them folders. A node's sub-folders are read when it is first
// expanded (or passed through by SelectPath); every node shows an expand
// button only when it has at least one sub-folder that passes the filters,
// which it learns by a probe that stops at the first one found.
//
// Paths end with "/" and keep the letter case of the file system. The key of
// a drive (where a drive letter would be) is its mount path.
//
// The world outside: the drive level follows the mount table (a mount or
// unmount is a device change), files dragged from the desktop are reported
// with the folder they were dropped on, and folders shared as Samba user
// shares can carry the "shared" overlay.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include <QTreeWidget>

#include "platform/drives.h"

class QDragEnterEvent;
class QDragLeaveEvent;
class QDragMoveEvent;
class QDropEvent;
class QPaintEvent;
class QShowEvent;

namespace plat {
class MountTableNotifier;
}

// A set of enumeration values, bit n for value n.
template <typename E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) bits_ |= Bit(e);
  }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr TSet& Include(E e) { bits_ |= Bit(e); return *this; }
  constexpr TSet& Exclude(E e) { bits_ &= ~Bit(e); return *this; }
  constexpr std::uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(E e) { return 1u << static_cast<unsigned>(e); }
  std::uint32_t bits_ = 0;
};

enum TDriveType { drtUnknown, drtRemovable, drtFixed, drtRemote, drtCDRom, drtRamDisk };
using TDriveTypes = TSet<TDriveType>;

enum TDirType { dtReadOnly, dtHidden, dtSystem, dtArchive, dtNormal, dtAll };
using TDirTypes = TSet<TDirType>;

// The keys and buttons held during an input event.
enum TShiftStateItem { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
using TShiftState = TSet<TShiftStateItem>;

// What every real node owns; dummy nodes have none.
struct TDirEntry {
  std::string Path;       // full path with a trailing "/", as the file system spells it
  bool Read = false;      // the sub-folders have been read into real child nodes
  void* Data = nullptr;   // the application's; a folder node inherits its parent's
};

// One entry found in a folder, as handed to OnFindDir. The control reads only
// Attr and Name.
struct TDirRec {
  std::uint32_t Attr = 0;   // plat::faDirectory, faHidden, ...
  std::string Name;
  plat::FolderEnumerator* FindHandle = nullptr;   // the system enumeration when it is the one running
  plat::FolderEntry FindData;                     // its raw entry
  std::uint32_t ExcludeAttr = 0;                  // always 0
};

class TDirTree;
using TTreeNode = QTreeWidgetItem;

using TAddFileEvent = std::function<void(TDirTree* Sender, const std::string& AFileName, bool& DoAdd)>;
using TFindDirEvent =
    std::function<void(TDirTree* Sender, const std::string& APath, TDirRec& ARec, int& AResult, bool AFirst)>;
using TTVExpandedEvent = std::function<void(TDirTree* Sender, TTreeNode* Node)>;
using TTVChangedEvent = std::function<void(TDirTree* Sender, TTreeNode* Node)>;
using TNotifyEvent = std::function<void(TDirTree* Sender)>;
// X, Y: the drop point in the tree's client (viewport) coordinates; aDropDir:
// the Path of the node dropped on ("" for a node without entry); aDropFiles:
// the full paths in the order the desktop gave them.
using TDropFilesEvent = std::function<void(TDirTree* Sender, int X, int Y, const std::string& aDropDir,
                                           const std::vector<std::string>& aDropFiles, TShiftState Shift)>;

class TDirTree : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TDirTree(QWidget* parent = nullptr);
  ~TDirTree() override;

  // --- published properties ---
  bool ReadOnStart() const { return readOnStart_; }
  void SetReadOnStart(bool value) { readOnStart_ = value; }
  TDirTypes DirTypes() const { return dirTypes_; }
  void SetDirTypes(TDirTypes value);                 // reloads
  bool GoBelowRecycleBin() const { return goBelowRecycleBin_; }
  void SetGoBelowRecycleBin(bool value);             // reloads
  bool FastLoad() const { return fastLoad_; }
  void SetFastLoad(bool value) { fastLoad_ = value; }
  const std::string& InitialDirectory() const { return initialDirectory_; }
  void SetInitialDirectory(const std::string& value) { initialDirectory_ = value; }
  TDriveTypes DriveTypes() const { return driveTypes_; }
  void SetDriveTypes(TDriveTypes value);             // rebuilds the drive level
  bool ShowShareOverlay() const { return showShareOverlay_; }
  void SetShowShareOverlay(bool value);              // marks or unmarks the nodes there are
  bool AcceptDropFiles() const { return acceptDropFiles_; }
  void SetAcceptDropFiles(bool value);
  bool HideSelection() const { return hideSelection_; }
  void SetHideSelection(bool value);

  // --- events ---
  TAddFileEvent OnAddDir;          // veto for each folder or drive before it is shown
  TFindDirEvent OnFindDir;         // replaces the file-system enumeration
  TTVExpandedEvent OnGetIcon;      // after a node's icons are set
  TTVExpandedEvent OnDeleteItem;   // a node is deleted (its entry already released)
  TTVChangedEvent OnChange;        // the selection changed
  TNotifyEvent OnClick;
  TDropFilesEvent OnDropFiles;     // local files were dropped on a node

  // --- operations ---
  // The selected node's Path; "" when it has no entry; "?" when nothing is selected.
  std::string SelectedPath() const;
  // Selects the folder's node, reading the nodes on the way. "" raises
  // "Invalid Path Name"; "?" does nothing; a path that does not exist selects
  // the root of the current folder's drive.
  void SelectPath(const std::string& path);
  // Rebuilds the drive level and selects again what was selected.
  void Reload();
  // After the owner has set the properties: selects InitialDirectory (or the
  // current folder), building the drive level on the way.
  void Loaded();

  // --- the world outside ---
  // A device change (the mount table changed): the drive level is brought up
  // to date, or else the drives' media are checked; then one change
  // notification of the selection, whatever changed.
  void DeviceChange();
  // Adds the nodes of new mounts in order and deletes those of gone ones;
  // true when the drive level changed.
  bool RefreshDrives();
  // Refreshes every shown drive whose file-system id is not the one seen
  // when its label was read (another medium, another device at that path).
  void MediaChanged();
  // The overlay for a node: ImageList::kSharedOverlay when its folder is a
  // user share, else kNoOverlay.
  int ShareOverlay(TTreeNode* node);
  // The paths of the last drop.
  const std::vector<std::string>& DropFiles() const { return dropFiles_; }
  // Destroys and creates the window part again: the tree is rebuilt and the
  // selection, the drop registration and the device watch are kept.
  void RecreateWnd();

  // --- state ---
  int ChangeLock() const { return changeLock_; }
  void SetChangeLock(int value) { changeLock_ = value; }
  // The last selected path on a drive (its key when none yet).
  std::string LastDir(const std::string& drive) const;
  // The serial seen when the drive's label was last read; -1 when no volume
  // could be read, 0 for a drive never read.
  std::int32_t DriveSerial(const std::string& drive) const;
  // The drives shown, by key, in order.
  const std::vector<std::string>& DriveMask() const { return driveMask_; }
  int FolderIcon() const { return folderIcon_; }
  int OpenFolderIcon() const { return openFolderIcon_; }

  // --- nodes ---
  static TDirEntry* Entry(TTreeNode* node);
  static int ImageIndex(TTreeNode* node);
  static int SelectedIndex(TTreeNode* node);
  static int OverlayIndex(TTreeNode* node);   // -1: none
  TTreeNode* Selected() const { return currentItem(); }

  // --- the internal operations (public for the device handling and tests) ---
  void ReadDrives();
  void ReadChildren(TTreeNode* node);
  void ProbeChildren(TTreeNode* node);
  // Adds a dummy child when the node's folder has a sub-folder that counts.
  bool HasSubfolders(TTreeNode* node);
  // The node of a path (exact comparison, nothing read); nullptr when none.
  TTreeNode* FindNode(const std::string& path) const;
  void RefreshNode(TTreeNode* node);
  void ClearTree();
  // The keys of the drives present whose kind DriveTypes accepts.
  std::vector<std::string> AvailableDrives();
  bool AcceptFolder(const std::string& path);
  bool DirTypeAccepted(std::uint32_t attr) const;
  // The drive node's text; records DriveSerial of the drive.
  std::string DriveLabel(const std::string& drive);
  void SetNodeIcons(TTreeNode* node, int icon);
  // The key of the drive a path lies on (the longest mount path that is a
  // prefix of it); "" when none.
  std::string DriveOf(const std::string& path) const;

 protected:
  // The window-creation step: builds the drive level when ReadOnStart.
  // Runs once, on first show or when the nodes are first asked for.
  virtual void CreateWnd();
  // Takes the window part down: the selection is remembered for the next
  // CreateWnd, the tree cleared, drops and the device watch withdrawn.
  virtual void DestroyWnd();
  bool HandleAllocated() const { return handleAllocated_; }
  void HandleNeeded();

  virtual void Change(TTreeNode* node);
  virtual void Click();
  virtual bool CanExpand(TTreeNode* node);

  virtual void DoAddDir(const std::string& fileName, bool& doAdd);
  virtual void DoFindDir(const std::string& path, TDirRec& rec, int& result, bool first);
  virtual void DoGetIcon(TTreeNode* node);
  virtual void DoDeleteItem(TTreeNode* node);
  virtual void DoChange(TTreeNode* node);
  virtual void DoClick();
  virtual void DoDropFiles(int x, int y, const std::string& dropDir, const std::vector<std::string>& files,
                           TShiftState shift);

  void showEvent(QShowEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

  // Node building, shared with the device handling.
  TTreeNode* AddDriveNode(const std::string& drive, TTreeNode* before);
  TTreeNode* AddFolderNode(TTreeNode* parent, const std::string& name, bool mayBeLink = true);
  void AddDummy(TTreeNode* node);
  void DeleteChildren(TTreeNode* node);
  TTreeNode* DriveNodeOf(TTreeNode* node) const;
  plat::DriveKind KindOf(const std::string& drive) const;
  // The drive's serial now, without recording it (-1: no volume).
  std::int32_t CurrentSerial(const std::string& drive);
  // Refreshes the drive node of a changed medium; the drive node.
  TTreeNode* MediumChanged(TTreeNode* driveNode);
  // Refreshes a drive node for its current medium and reads its label
  // again; false when a handler took the node away meanwhile.
  bool RelabelDrive(TTreeNode* driveNode);
  // The top-level node whose Path is the drive's key.
  TTreeNode* DriveNodeByKey(const std::string& drive) const;
  // Gives a new drive node its expand button: probed where that costs no
  // waiting for a medium, a dummy otherwise.
  void ProbeDrive(TTreeNode* node, const std::string& drive);

  void BeginUpdate();
  void EndUpdate();

 private:
  // The device watch and the drop registration, present while the window part is.
  void AttachToDesktop();
  void SetOverlay(TTreeNode* node, int overlay);
  void MarkShares(TTreeNode* node);
  void ApplyOverlay(TTreeNode* node);
  TTreeNode* DropTargetAt(const QPoint& pos) const;
  friend class TDirNode;
  void NodeDeleted(TTreeNode* node);
  // The node has not been deleted meanwhile: user handlers may rebuild the
  // tree under an operation that holds a node.
  bool Alive(TTreeNode* node) const { return live_.count(node) != 0; }
  // Calls visit with the entry of every sub-folder of `folder` that counts,
  // until it returns false. False when the tree went away meanwhile.
  bool EnumerateSubfolders(const std::string& folder, const std::function<bool(const TDirRec&)>& visit);
  bool SubfolderCounts(const std::string& folder, const TDirRec& rec);
  int FolderIconOf(const std::string& path) const;
  // A folder link that leads back to one of the folders above it: shown, but
  // never read, so that neither a probe nor "expand all" goes round forever.
  bool LeadsBackUp(TTreeNode* node) const;
  bool PathExists(const std::string& path, std::string& realPath) const;
  TTreeNode* MatchChild(TTreeNode* parent, const std::string& part, bool exact) const;
  TTreeNode* MatchDrive(const std::string& path, bool exact) const;

  bool readOnStart_ = true;
  TDirTypes dirTypes_{dtNormal, dtAll};
  bool goBelowRecycleBin_ = false;
  bool fastLoad_ = false;
  std::string initialDirectory_;
  TDriveTypes driveTypes_{drtUnknown, drtRemovable, drtFixed, drtRemote, drtCDRom, drtRamDisk};
  bool showShareOverlay_ = false;
  bool acceptDropFiles_ = false;
  bool hideSelection_ = false;

  int folderIcon_ = 0;
  int openFolderIcon_ = 0;
  std::map<std::string, std::string> lastDir_;
  std::map<std::string, std::int32_t> driveSerial_;
  std::vector<std::string> driveMask_;
  std::map<std::string, plat::DriveKind> kinds_;   // every drive of the last listing
  int changeLock_ = 0;
  int updateDepth_ = 0;
  bool handleAllocated_ = false;
  bool destroying_ = false;
  plat::MountTableNotifier* mountWatch_ = nullptr;   // a child of the tree
  bool deviceChangePending_ = false;                 // arrived during a rebuild
  std::vector<std::string> dropFiles_;
  TTreeNode* dropTarget_ = nullptr;                   // the node under a drag
  bool pathPending_ = false;                          // the selection across DestroyWnd/CreateWnd
  std::string pendingPath_;
  std::unordered_set<const TTreeNode*> live_;   // every node not yet deleted
};
