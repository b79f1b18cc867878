// What the transfer window's controls do: the local list that follows the
// local tree, drag and drop between the lists (which start the controller's
// queues), the double click, the tool bar and the menu.
#include <dirent.h>
#include <sys/stat.h>

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

// The locale's short date, two blanks, its short time.
std::string LocalTimeText(std::int64_t seconds) {
  const QDateTime when = QDateTime::fromSecsSinceEpoch(seconds);
  const QLocale locale;
  return (locale.toString(when.date(), QLocale::ShortFormat) + "  " +
          locale.toString(when.time(), QLocale::ShortFormat))
      .toStdString();
}

}  // namespace

// ---------------------------------------------------------------------------
// The local list

void TTransferForm::LocalDirTreeChange() { FillLocalList(LocalListView, LocalDirTree); }

void TTransferForm::FillLocalList(TFileListView* List, TDirTree* Tree) {
  List->BeginUpdate();
  List->Clear();
  const std::string dir = Tree->SelectedPath();
  DIR* folder = dir.empty() || dir == "?" ? nullptr : ::opendir(dir.c_str());
  int counted = 0;
  while (folder != nullptr) {
    const dirent* entry = ::readdir(folder);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    struct stat st {};
    // Plain files only (hidden ones included); links count as what they name.
    if (::stat((dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // A long folder must not freeze the window.
    if (++counted % 20 == 0) QApplication::processEvents();
    TListRow row;
    row.Caption = QString::fromStdString(name).toLower().toStdString();
    row.Data = name;
    row.SizeBytes = static_cast<std::int64_t>(st.st_size);
    row.Size = std::to_string(row.SizeBytes);
    row.Date = LocalTimeText(static_cast<std::int64_t>(st.st_mtime));
    row.ImageIndex = FileIconIndex(name);
    List->AddRow(std::move(row));
  }
  if (folder != nullptr) ::closedir(folder);
  List->EndUpdate();
}

// ---------------------------------------------------------------------------
// Drag and drop

void TTransferForm::RemoteListViewDragOver(TFileListView* Sender, TFileListView* Source, int, int, bool& Accept) {
  Accept = Sender != nullptr && Source != Sender;
}

void TTransferForm::RemoteListViewDragDrop(TFileListView* Sender, TFileListView* Source, int, int) {
  if (Sender == nullptr) return;
  try {
    if (Sender == LocalListView) DownloadSelected();
    if (Sender == RemoteListView) UploadSelected();
    if (Source != nullptr) CopySelectedItems(Source, Sender);
  } catch (const std::exception&) {
    plat::TheDialogs().ShowMessage("Error copying file. ");
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
  AppendSlash(LocalDirTree->SelectedPath(), folder);
  // The path is built from the file's real name; the row shows it in lower case.
  for (int row : LocalListView->SelectedRows()) {
    const TListRow& r = LocalListView->Row(row);
    files.push_back(folder + (r.Data.empty() ? r.Caption : r.Data));
    LocalListView->SelectRow(row, false);
  }
  Controller->UploadAll();
}

void TTransferForm::CopySelectedItems(TFileListView* Source, TFileListView* Target) {
  std::vector<TListRow> copies;
  for (int row : Source->SelectedRows()) {
    const TListRow& r = Source->Row(row);
    bool present = false;
    for (int i = 0; i < Target->Count() && !present; ++i) present = Target->Row(i).Caption == r.Caption;
    if (!present && transfer::Session().LastRequestError == 0) copies.push_back(r);
  }
  for (TListRow& r : copies) Target->AddRow(std::move(r));
}

void TTransferForm::LocalListViewDblClick() {
  const std::vector<int> selected = LocalListView->SelectedRows();
  if (selected.empty()) return;
  const TListRow& row = LocalListView->Row(selected.front());
  std::string folder;
  AppendSlash(LocalDirTree->SelectedPath(), folder);
  Controller->OpenDocument(folder + (row.Data.empty() ? row.Caption : row.Data));
}

// ---------------------------------------------------------------------------
// Tool bar and menu

void TTransferForm::SpeedButton1Click() {
  QTreeWidgetItem* node = RemoteTreeView->currentItem();
  FtpClient->Abort();
  LocalDirTree->Reload();
  ProgressBar1->setValue(0);
  FtpClient->Connect();
  if (node != nullptr) {
    RemoteTreeView->setCurrentItem(node);
    RemoteTreeViewChange(this, node);
  }
}

void TTransferForm::SpeedButton2Click() { Controller->OpenDocument(kAuthorSite); }

void TTransferForm::SpeedButton3Click() { plat::TheDialogs().ShowMessage("Drag and drop file."); }

void TTransferForm::SpeedButton4Click() { plat::TheDialogs().ShowMessage("Drag and drop file."); }

void TTransferForm::SpeedButton5Click() {
  if (transfer::Session().Connected) {
    if (!plat::TheDialogs().Confirm("Exit program ? ")) return;
    FtpClient->Quit();
  }
  TerminateProgram();
}

void TTransferForm::SpeedButton6Click() {
  if (transfer::Session().Connected && !plat::TheDialogs().Confirm("Exit current session ? ")) return;
  FtpClient->Quit();
  hide();
}

void TTransferForm::Exit1Click() { TerminateProgram(); }
