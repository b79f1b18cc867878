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
  QLabel* AdImage1 = nullptr;        // banner place, 468 x 60, left empty
  QProgressBar* ProgressBar1 = nullptr;
  TStatusBar* StatusBar1 = nullptr;
  TRadioGroup* RadioGroup1 = nullptr;  // transfer mode; covered by the main area
  QMenu* File1 = nullptr;
  QAction* Exit1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* About1 = nullptr;

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
  // The connect step: a root node for the server, selected, "/" listed into
  // both views, the tree expanded.
  void ListRemoteRoot(const std::string& HostName);

  // --- commands ---
  // The local list follows the local tree.
  void LocalDirTreeChange();
  void FillLocalList(TFileListView* List, TDirTree* Tree);
  // Both lists: a drop is welcome only on the other list.
  void RemoteListViewDragOver(TFileListView* Sender, TFileListView* Source, int X, int Y, bool& Accept);
  void RemoteListViewDragDrop(TFileListView* Sender, TFileListView* Source, int X, int Y);
  void DownloadSelected();
  void UploadSelected();
  void CopySelectedItems(TFileListView* Source, TFileListView* Target);
  void LocalListViewDblClick();
  void SpeedButton1Click();
  void SpeedButton2Click();
  void SpeedButton3Click();
  void SpeedButton4Click();
  void SpeedButton5Click();
  void SpeedButton6Click();
  void Exit1Click();
  void About1Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void CreateControls();
  QWidget* CreateCommandBar();
  QWidget* CreateMainArea();
  QWidget* CreateBottomStrip();
  void CreateMenu();
  void ConfigureLocalDirTree();
  void LoadSystemImageLists();
  void SetupListViews();

  std::string freshTempDir_;  // TempDir when it was made for this run only
};

// The program's transfer window, set by whoever creates it.
extern TTransferForm* TransferForm;
