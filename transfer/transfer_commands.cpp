// What the transfer window's controls do: the local list that follows the
// local tree, drag and drop between the lists (which start the controller's
// queues), the double click, the tool bar and the menu.
#include <dirent.h>
#include <sys/stat.h>

#include <unordered_map>

#include <QApplication>
#include <QDateTime>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>

#include "dirtree/dirtree.h"
#include "ftp/ftpcli.h"
#include "platform/qt/dialogs.h"
#include "transfer/about.h"
#include "transfer/file_icons.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"
#include "transfer/session_state.h"
#include "transfer/transfer_controller.h"
#include "transfer/transferunit.h"

namespace {

// The author's site, opened by the "Vek´s" button.
constexpr const char* kAuthorSite = "http://www.vekftp.example.org";

// Files whose names differ only in letter case would show as the same row:
// those rows show their real names, so the user can tell them apart (and
// an upload sends each under its own).
void ShowRealNamesWhereCaptionsClash(std::vector<TListRow>& rows) {
  std::unordered_map<std::string, int> uses;
  for (const TListRow& row : rows) ++uses[row.Caption];
  for (TListRow& row : rows)
    if (uses[row.Caption] > 1) row.Caption = row.Data;
}

}  // namespace

// The locale's short date (with the year), two blanks, its short time.
std::string LocalTimeText(std::int64_t seconds) {
  const QDateTime when = QDateTime::fromSecsSinceEpoch(seconds);
  const QLocale locale;
  return (locale.toString(when.date(), QLocale::ShortFormat) + "  " +
          locale.toString(when.time(), QLocale::ShortFormat))
      .toStdString();
}

// ---------------------------------------------------------------------------
// The local list

void TTransferForm::LocalDirTreeChange() { FillLocalList(LocalListView, LocalDirTree); }

void TTransferForm::FillLocalList(TFileListView* List, TDirTree* Tree) {
  const int fill = ++fillGeneration_;
  List->BeginUpdate();
  List->Clear();
  const std::string dir = Tree->SelectedPath();
  if (List == LocalListView) localListFolder_ = dir;
  DIR* folder = dir.empty() || dir == "?" ? nullptr : ::opendir(dir.c_str());
  std::vector<TListRow> rows;
  int counted = 0;
  while (folder != nullptr) {
    const dirent* entry = ::readdir(folder);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    struct stat st {};
    // Plain files only (hidden ones included); links count as what they name.
    if (::stat((dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // A long folder must not freeze the window. A click on another folder
    // meanwhile starts a newer fill, which this one leaves the list to.
    if (++counted % 20 == 0) {
      QApplication::processEvents();
      if (fill != fillGeneration_) {
        ::closedir(folder);
        List->EndUpdate();
        return;
      }
    }
    TListRow row;
    row.Caption = QString::fromStdString(name).toLower().toStdString();
    row.Data = name;
    row.SizeBytes = static_cast<std::int64_t>(st.st_size);
    row.Size = std::to_string(row.SizeBytes);
    row.Date = LocalTimeText(static_cast<std::int64_t>(st.st_mtime));
    row.ImageIndex = FileIconIndex(name);
    rows.push_back(std::move(row));
  }
  if (folder != nullptr) ::closedir(folder);
  ShowRealNamesWhereCaptionsClash(rows);
  for (TListRow& row : rows) List->AddRow(std::move(row));
  List->EndUpdate();
}

// ---------------------------------------------------------------------------
// Drag and drop

void TTransferForm::RemoteListViewDragOver(TFileListView* Sender, TFileListView* Source, int, int, bool& Accept) {
  Accept = Sender != nullptr && Source != Sender;
}

void TTransferForm::RemoteListViewDragDrop(TFileListView* Sender, TFileListView*, int, int) {
  if (Sender == nullptr) return;
  // The destination list is read again when the queue has run, from the
  // disk or the server: rows copied from the source would show files that
  // never arrived.
  try {
    if (Sender == LocalListView) DownloadSelected();
    if (Sender == RemoteListView) UploadSelected();
  } catch (const std::exception&) {
    plat::TheDialogs().ShowMessage("Error copying file. ");
  }
}

void TTransferForm::FolderDropped(TFileListView* Sender, QWidget* Tree) {
  if (Sender == LocalListView && Tree == RemoteTreeView) {
    QTreeWidgetItem* node = RemoteTreeView->currentItem();
    // The whole server is not one folder to copy.
    if (node == nullptr || node == RemoteRootNode) return;
    Controller->DownloadFolder(RemoteDirPath(), TRemoteTreeView::NodeName(node));
  } else if (Sender == RemoteListView && Tree == LocalDirTree) {
    const std::string folder = LocalDirTree->SelectedPath();
    if (!folder.empty()) Controller->UploadFolder(folder);
  }
}

void TTransferForm::DownloadSelected() {
  std::vector<std::string>& files = Controller->QueueFiles();
  files.clear();
  for (int row : RemoteListView->SelectedRows()) files.push_back(RemoteListView->Row(row).Caption);
  if (!files.empty()) Controller->DownloadAll();
}

void TTransferForm::UploadSelected() {
  std::vector<std::string>& files = Controller->QueueFiles();
  files.clear();
  std::string folder;
  AppendSlash(localListFolder_, folder);
  // The path is built from the file's real name; the row shows it in lower case.
  for (int row : LocalListView->SelectedRows()) {
    const TListRow& r = LocalListView->Row(row);
    files.push_back(folder + (r.Data.empty() ? r.Caption : r.Data));
    LocalListView->SelectRow(row, false);
  }
  Controller->UploadAll();
}

void TTransferForm::LocalListViewDblClick() {
  const std::vector<int> selected = LocalListView->SelectedRows();
  if (selected.empty()) return;
  const TListRow& row = LocalListView->Row(selected.front());
  std::string folder;
  AppendSlash(localListFolder_, folder);
  Controller->OpenDocument(folder + (row.Data.empty() ? row.Caption : row.Data));
}

// ---------------------------------------------------------------------------
// Tool bar and menu

void TTransferForm::SpeedButton1Click() {
  // What runs stops at once; the session comes back once it has wound down.
  Controller->AbortRunning([this] { ReconnectAfterAbort(); });
}

void TTransferForm::ReconnectAfterAbort() {
  QTreeWidgetItem* node = RemoteTreeView->currentItem();
  LocalDirTree->Reload();
  ProgressBar1->setValue(0);
  FtpClient->Connect();
  if (node != nullptr) {
    SelectRemoteNode(node);
    RemoteTreeViewChange(this, node);
  }
}

void TTransferForm::SpeedButton2Click() { Controller->OpenDocument(kAuthorSite); }

void TTransferForm::SpeedButton3Click() { plat::TheDialogs().ShowMessage("Drag and drop file."); }

void TTransferForm::SpeedButton4Click() { plat::TheDialogs().ShowMessage("Drag and drop file."); }

void TTransferForm::SpeedButton5Click() {
  if (transfer::Session().Connected) {
    if (!plat::TheDialogs().Confirm("Exit program ? ")) return;
    Controller->StopBusy();
    FtpClient->Quit();
  }
  TerminateProgram();
}

void TTransferForm::SpeedButton6Click() {
  if (Controller->RefusedWhileTransferring("New")) return;
  if (transfer::Session().Connected && !plat::TheDialogs().Confirm("Exit current session ? ")) return;
  FtpClient->Quit();
  hide();
}

void TTransferForm::Exit1Click() {
  Controller->StopBusy();
  TerminateProgram();
}
