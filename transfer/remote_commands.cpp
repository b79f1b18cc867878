// The commands on the server's files and folders: the context menu of the
// remote list and tree (Delete, Rename, New folder, Remove folder, Refresh).
// Each runs through the engine's blocking calls, so the login window's
// request-done handler logs it and shows a failure, and the view is listed
// again afterwards.
#include <utility>

#include <QAction>
#include <QMenu>

#include "ftp/ftpcli.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/exception_box.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_path.h"
#include "transfer/remote_tree_view.h"
#include "transfer/session_state.h"
#include "transfer/transfer_controller.h"
#include "transfer/transferunit.h"
#include "transfer/typed_name.h"

namespace {

QAction* MenuAction(QMenu* menu, const char* name, const char* text, const QKeySequence& keys) {
  auto* action = menu->addAction(QString::fromUtf8(text));
  action->setObjectName(QString::fromLatin1(name));
  action->setShortcut(keys);
  action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  return action;
}

}  // namespace

void TTransferForm::CreateRemoteMenu() {
  RemotePopupMenu = new QMenu(this);
  RemotePopupMenu->setObjectName("RemotePopupMenu");
  RemoteDelete1 = MenuAction(RemotePopupMenu, "RemoteDelete1", "Delete", QKeySequence::Delete);
  RemoteRename1 = MenuAction(RemotePopupMenu, "RemoteRename1", "Rename", QKeySequence(Qt::Key_F2));
  RemotePopupMenu->addSeparator();
  RemoteNewFolder1 = MenuAction(RemotePopupMenu, "RemoteNewFolder1", "New folder", QKeySequence());
  RemoteRemoveFolder1 = MenuAction(RemotePopupMenu, "RemoteRemoveFolder1", "Remove folder", QKeySequence());
  RemotePopupMenu->addSeparator();
  RemoteRefresh1 = MenuAction(RemotePopupMenu, "RemoteRefresh1", "Refresh", QKeySequence(Qt::Key_F5));
  connect(RemoteDelete1, &QAction::triggered, this, plat::Guarded([this] { RemoteDeleteClick(); }));
  connect(RemoteRename1, &QAction::triggered, this, plat::Guarded([this] { RemoteRenameClick(); }));
  connect(RemoteNewFolder1, &QAction::triggered, this, plat::Guarded([this] { RemoteNewFolderClick(); }));
  connect(RemoteRemoveFolder1, &QAction::triggered, this, plat::Guarded([this] { RemoteRemoveFolderClick(); }));
  connect(RemoteRefresh1, &QAction::triggered, this, plat::Guarded([this] { RemoteRefreshClick(); }));
  for (QWidget* view : {static_cast<QWidget*>(RemoteListView), static_cast<QWidget*>(RemoteTreeView)}) {
    view->addActions(RemotePopupMenu->actions());
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
      menuOnTree_ = view == RemoteTreeView;
      RemotePopupMenu->popup(view->mapToGlobal(at));
    });
  }
}

std::string TTransferForm::RemotePathOf(QTreeWidgetItem* node) const {
  std::vector<std::string> texts;
  for (QTreeWidgetItem* n = node; n != nullptr && n != RemoteRootNode; n = n->parent())
    texts.insert(texts.begin(), TRemoteTreeView::NodeName(n));
  return transfer::RemoteDirPath(texts);
}

bool TTransferForm::SessionUsable() const {
  return FtpClient != nullptr && (transfer::Session().Connected || FtpClient->SessionLost());
}

bool TTransferForm::RemoteCommandAllowed(const std::string& Command) {
  if (!SessionUsable()) {
    plat::TheDialogs().ShowMessage("Not connected to a server.");
    return false;
  }
  return !Controller->RefusedWhileBusy(Command);
}

// A name the user typed: asked for, checked before anything is sent. Empty
// when the user cancelled or the name was refused (the reason is shown).
std::string TTransferForm::AskRemoteName(const std::string& caption, const std::string& prompt,
                                         const std::string& current) {
  const std::string name = plat::TheDialogs().InputBox(caption, prompt, current);
  if (name.empty() || name == current) return std::string();
  const std::string refusal = transfer::CheckTypedName(name);
  if (!refusal.empty()) {
    plat::TheDialogs().ShowMessage(refusal);
    return std::string();
  }
  return name;
}

void TTransferForm::RemoteRefreshClick() {
  if (!RemoteCommandAllowed("Refresh")) return;
  RefreshRemote();
}

void TTransferForm::RefreshRemote() { RemoteTreeViewChange(this, RemoteTreeView->currentItem()); }

void TTransferForm::RemoteDeleteClick() {
  if (!RemoteCommandAllowed("Delete")) return;
  std::vector<std::string> names;
  for (int row : RemoteListView->SelectedRows()) names.push_back(RemoteListView->Row(row).Caption);
  if (names.empty()) return;
  if (!plat::TheDialogs().Confirm("Delete " + std::to_string(names.size()) + " file(s) on the server?")) return;
  RunBusy(transfer::TActivity::Changing, [&] {
    for (const std::string& name : names) {
      if (transfer::Session().AbortRequested) return;
      FtpClient->SetHostFileName(name);
      FtpClient->Dele();
    }
    RefreshRemote();
  });
}

void TTransferForm::RemoteRenameClick() {
  if (!RemoteCommandAllowed("Rename")) return;
  // The view the menu was opened on (or the focused one, for the key) says
  // what is renamed: a file of the list, or the folder selected in the tree.
  const bool onTree = std::exchange(menuOnTree_, false) || RemoteTreeView->hasFocus();
  if (onTree) {
    QTreeWidgetItem* node = RemoteTreeView->currentItem();
    if (node == nullptr || node == RemoteRootNode) return;
    const std::string old = TRemoteTreeView::NodeName(node);
    const std::string name = AskRemoteName("Rename", "New name of the folder " + old, old);
    if (name.empty()) return;
    const std::string path = RemotePathOf(node);
    RunBusy(transfer::TActivity::Changing, [&] {
      FtpClient->SetHostFileName(path);
      FtpClient->SetLocalFileName(path.substr(0, path.size() - old.size()) + name);
      if (FtpClient->Ren()) ForgetRemoteNode(node);
    });
    return;
  }
  const std::vector<int> rows = RemoteListView->SelectedRows();
  if (rows.empty()) return;
  const std::string old = RemoteListView->Row(rows.front()).Caption;
  const std::string name = AskRemoteName("Rename", "New name of the file " + old, old);
  if (name.empty()) return;
  RunBusy(transfer::TActivity::Changing, [&] {
    FtpClient->SetHostFileName(old);
    FtpClient->SetLocalFileName(name);
    FtpClient->Ren();
    RefreshRemote();
  });
}

void TTransferForm::RemoteNewFolderClick() {
  if (!RemoteCommandAllowed("New folder")) return;
  const std::string name = AskRemoteName("New folder", "Name of the new folder", std::string());
  if (name.empty()) return;
  std::string folder = RemotePathOf(RemoteTreeView->currentItem());
  if (folder.back() != '/') folder += '/';
  RunBusy(transfer::TActivity::Changing, [&] {
    FtpClient->SetHostFileName(folder + name);
    FtpClient->Mkd();
    RefreshRemote();
  });
}

void TTransferForm::RemoteRemoveFolderClick() {
  if (!RemoteCommandAllowed("Remove folder")) return;
  QTreeWidgetItem* node = RemoteTreeView->currentItem();
  if (node == nullptr || node == RemoteRootNode) return;
  RunBusy(transfer::TActivity::Changing, [&] {
    FtpClient->SetHostFileName(RemotePathOf(node));
    if (FtpClient->Rmd()) ForgetRemoteNode(node);
  });
}

// A folder that is gone or renamed: its parent is selected and listed
// again (a new name shows up there), and the old node goes.
void TTransferForm::ForgetRemoteNode(QTreeWidgetItem* node) {
  QTreeWidgetItem* parent = node->parent();
  SelectRemoteNode(parent);
  delete node;
  RefreshRemote();
}
