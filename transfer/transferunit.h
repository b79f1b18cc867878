// TTransferForm: the two-pane transfer window. The server side (remote
// tree and list) above, the local side (folder tree and list) below, the
// command bar down the left edge, the log, banner place, progress bar and
// status bar at the bottom.
//
// The remote views are filled from the listing file (TempDir + "ftpdir.txt")
// by ReadListingFile; changing directory and deciding which node receives a
// listing is the remote tree logic (katalogstyrning.cpp).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QPixmap>

#include "transfer/listing.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class TQueueView;
class QProgressBar;
class QSplitter;
class QToolButton;
class QTreeWidgetItem;
class QWidget;
class TDirTree;
class TFileListView;
class TFtpClient;
class TRadioGroup;
class TRemoteTreeView;
class TStatusBar;
class TLogMemo;
class TTransferController;
class QPoint;
namespace plat {
class ImageList;
}
namespace transfer {
enum class TActivity;
}

// A file time (seconds since 1970) as both lists show it: the locale's
// short date and time, in local time.
std::string LocalTimeText(std::int64_t seconds);

class TTransferForm : public QMainWindow {
  Q_OBJECT

 public:
  explicit TTransferForm(QWidget* parent = nullptr);
  ~TTransferForm() override;

  // --- controls, by their names ---
  QFrame* Panel1 = nullptr;          // command bar, highlight colour
  QLabel* Image2 = nullptr;
  QLabel* Image1 = nullptr;
  QToolButton* SpeedButton1 = nullptr;  // Abort
  QToolButton* SpeedButton2 = nullptr;  // Vek´s
  QToolButton* SpeedButton3 = nullptr;  // Download
  QToolButton* SpeedButton4 = nullptr;  // Upload
  QToolButton* SpeedButton5 = nullptr;  // Exit
  QToolButton* SpeedButton6 = nullptr;  // New
  QWidget* Panel10 = nullptr;        // main area
  QSplitter* Splitter1 = nullptr;    // remote pane above, local pane below
  QWidget* Panel15 = nullptr;        // remote pane
  QSplitter* Splitter3 = nullptr;
  QWidget* Panel14 = nullptr;
  QLabel* Label1 = nullptr;          // "Remote"
  TRemoteTreeView* RemoteTreeView = nullptr;
  QWidget* Panel17 = nullptr;
  TFileListView* RemoteListView = nullptr;
  QWidget* Panel16 = nullptr;        // local pane
  QSplitter* Splitter2 = nullptr;
  QWidget* Panel18 = nullptr;
  QLabel* Label2 = nullptr;          // "Local"
  TDirTree* LocalDirTree = nullptr;
  QWidget* Panel19 = nullptr;
  TFileListView* LocalListView = nullptr;
  QWidget* Panel2 = nullptr;         // bottom strip
  TLogMemo* Memo1 = nullptr;         // log
  QWidget* QueuePanel = nullptr;     // the queue, under the log
  TQueueView* QueueListView = nullptr;
  QPushButton* RemoveQueueBut = nullptr;
  QPushButton* RetryFailedBut = nullptr;
  QPushButton* ClearFinishedBut = nullptr;
  QLabel* QueueTotalsLabel = nullptr;
  QLabel* AdImage1 = nullptr;        // banner place, 468 x 60, left empty
  QProgressBar* ProgressBar1 = nullptr;
  TStatusBar* StatusBar1 = nullptr;
  TRadioGroup* RadioGroup1 = nullptr;  // transfer mode; covered by the main area
  QMenu* File1 = nullptr;
  QAction* Exit1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* About1 = nullptr;
  // The context menu of the remote list and tree.
  QMenu* RemotePopupMenu = nullptr;
  QAction* RemoteDelete1 = nullptr;
  QAction* RemoteRename1 = nullptr;
  QAction* RemoteNewFolder1 = nullptr;
  QAction* RemoteRemoveFolder1 = nullptr;
  QAction* RemoteRefresh1 = nullptr;

  // 0 "Binary", 1 "Text".
  int RadioGroup1ItemIndex() const;
  void SetRadioGroup1ItemIndex(int index);

  // --- image lists ---
  // The program's shared file icon lists (16 x 16 and 32 x 32 sizes of one
  // plat::ImageList): row image indexes point into them.
  plat::ImageList* ImageListSmall = nullptr;
  plat::ImageList* ImageListLarge = nullptr;
  // "SmallImages": 0 closed folder, 1 open folder, for the remote tree.
  std::vector<QPixmap> TreeImageList;

  // --- state ---
  // The private folder of this user for the listing file; ends with "/".
  std::string TempDir;
  // The last line parsed.
  transfer::TListingEntry ListingEntry;
  // The root of the remote tree, made at every connect.
  QTreeWidgetItem* RemoteRootNode = nullptr;
  // The login window's engine and the login window itself, set by it.
  TFtpClient* FtpClient = nullptr;
  TTransferController* Controller = nullptr;
  // Ends the program (the application's quit; tests put a recorder here).
  std::function<void()> TerminateProgram;

  // --- creation and showing ---
  void FormCreate();
  void FormShow();
  // Result := Path, with "/" appended when Path is not empty and does not
  // end with one.
  static void AppendSlash(const std::string& Path, std::string& Result);
  std::string ListingFileName() const { return TempDir + "ftpdir.txt"; }

  // --- the listing file ---
  // Every usable entry of the listing file: files into RemoteListView,
  // directories as children of node. A missing file adds nothing.
  void ReadListingFile(QTreeWidgetItem* node);
  // Splits one line into ListingEntry.
  void ParseDirEntry(const std::string& line);
  // Places ListingEntry under node (directory) or into RemoteListView (file).
  void AddListingEntry(QTreeWidgetItem* node);

  // --- the remote tree (katalogstyrning.cpp) ---
  std::string RemoteDirPath();
  void ShowRemoteDir(const std::string& Path, QTreeWidgetItem* Node);
  void RemoteTreeViewChange(QObject* Sender, QTreeWidgetItem* Node);
  // The user moved the tree's selection: listed, or refused while busy.
  void RemoteTreeViewSelect(QTreeWidgetItem* Current, QTreeWidgetItem* Previous);
  // The program's own selection: no listing follows.
  void SelectRemoteNode(QTreeWidgetItem* Node);
  // The node of a server path, nullptr when the tree has none.
  QTreeWidgetItem* FindRemoteNode(const std::string& Path) const;
  // The connect step: a root node for the server, nodes down to StartPath
  // (where the engine stands), that node selected and listed; at "/" the
  // tree is expanded.
  void ListRemoteRoot(const std::string& HostName, const std::string& StartPath = "/");
  // Both remote views empty, before a new session.
  void ClearRemoteViews();
  // The server folder whose files the remote list shows, and the local
  // folder whose files the local list shows (or is being filled with): a
  // drop takes its folders from here, whatever the trees select meanwhile.
  const std::string& RemoteListFolder() const { return remoteListFolder_; }
  const std::string& LocalListFolder() const { return localListFolder_; }
  // Through the controller's busy state (directly without a controller).
  void RunBusy(transfer::TActivity Activity, const std::function<void()>& Work);

  // --- commands ---
  // The local list follows the local tree.
  void LocalDirTreeChange();
  void FillLocalList(TFileListView* List, TDirTree* Tree);
  // Both lists: a drop is welcome only on the other list.
  void RemoteListViewDragOver(TFileListView* Sender, TFileListView* Source, int X, int Y, bool& Accept);
  // The folder selected in Tree dropped on the list Sender.
  void FolderDropped(TFileListView* Sender, QWidget* Tree);
  void RemoteListViewDragDrop(TFileListView* Sender, TFileListView* Source, int X, int Y);
  void DownloadSelected();
  void UploadSelected();
  void LocalListViewDblClick();
  void SpeedButton1Click();
  // Abort's second half, once the engine is free: the session again, on the
  // folder that was open.
  void ReconnectAfterAbort();
  void SpeedButton2Click();
  void SpeedButton3Click();
  void SpeedButton4Click();
  void SpeedButton5Click();
  void SpeedButton6Click();
  void Exit1Click();
  // --- the server's files and folders (remote_commands.cpp) ---
  void RemoteDeleteClick();
  void RemoteRenameClick();
  void RemoteNewFolderClick();
  void RemoteRemoveFolderClick();
  void RemoteRefreshClick();
  // The selected remote folder listed again (no busy check: a step of a
  // command or a queue).
  void RefreshRemote();
  // The server path of a node of the remote tree, without a log line.
  std::string RemotePathOf(QTreeWidgetItem* node) const;
  void About1Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void CreateControls();
  QWidget* CreateCommandBar();
  QWidget* CreateMainArea();
  QWidget* CreateBottomStrip();
  void CreateMenu();
  void CreateRemoteMenu();
  bool RemoteCommandAllowed(const std::string& Command);
  // Connected, or the server closed the session and the next command
  // connects again.
  bool SessionUsable() const;
  std::string AskRemoteName(const std::string& caption, const std::string& prompt, const std::string& current);
  void ForgetRemoteNode(QTreeWidgetItem* node);
  bool menuOnTree_ = false;
  void ConfigureLocalDirTree();
  QWidget* CreateQueuePanel();
  void LoadSystemImageLists();
  void SetupListViews();

  std::string freshTempDir_;  // TempDir when it was made for this run only
  std::string remoteListFolder_ = "/";
  std::string localListFolder_;
  // The program selects a node: the tree's change is not the user's.
  bool selectingNode_ = false;
  // Counts local list fills: a fill that lets events run stops when a
  // newer one started meanwhile.
  int fillGeneration_ = 0;
};

// The program's transfer window, set by whoever creates it.
extern TTransferForm* TransferForm;
