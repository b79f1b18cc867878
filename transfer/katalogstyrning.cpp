// The remote tree: the selected node as a server path, and changing to a
// directory and showing its listing in both remote views.
#include "controls/log_memo.h"
#include <QTreeWidget>

#include "ftp/ftpcli.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_path.h"
#include "transfer/remote_tree_view.h"
#include "transfer/session_state.h"
#include "transfer/transfer_controller.h"
#include "transfer/transferunit.h"

namespace {

bool HoldsMoreThanOneNode(const QTreeWidget* tree) {
  const int top = tree->topLevelItemCount();
  return top > 1 || (top == 1 && tree->topLevelItem(0)->childCount() > 0);
}

void ExpandAll(QTreeWidgetItem* node) {
  node->setExpanded(true);
  for (int i = 0; i < node->childCount(); ++i) ExpandAll(node->child(i));
}

}  // namespace

std::string TTransferForm::RemoteDirPath() {
  QTreeWidgetItem* node = RemoteTreeView->currentItem();
  if (node == nullptr || node == RemoteRootNode) return "/";
  const std::string path = RemotePathOf(node);
  Memo1->AddLine("fullpath : " + path);
  return path;
}

void TTransferForm::ShowRemoteDir(const std::string& Path, QTreeWidgetItem* Node) {
  const transfer::TSessionState& session = transfer::Session();
  FtpClient->SetHostDirName(Path);
  FtpClient->Cwd();
  // Abort was pressed meanwhile: nothing more is asked of the engine.
  if (session.AbortRequested) return;
  FtpClient->SetHostFileName(std::string());
  FtpClient->SetLocalFileName(ListingFileName());
  const bool listed = FtpClient->Dir();
  // A refused request, or one that could not start at all (the connection
  // is gone): the listing file holds some earlier folder, so the views keep
  // what they show.
  if (!listed || session.LastRequestError != 0 || session.AbortRequested) return;
  RemoteListView->BeginUpdate();
  RemoteTreeView->BeginUpdate();
  RemoteListView->Clear();
  ReadListingFile(Node);
  RemoteTreeView->EndUpdate();
  RemoteListView->EndUpdate();
  remoteListFolder_ = Path;
}

void TTransferForm::RemoteTreeViewChange(QObject* Sender, QTreeWidgetItem*) {
  transfer::TSessionState& session = transfer::Session();
  if (!SessionUsable()) return;
  RunBusy(transfer::TActivity::Listing, [&] {
    session.LastRequestError = 0;
    QTreeWidgetItem* selected = RemoteTreeView->currentItem();
    // A lone root is listed by the connect step itself; but a refresh asked
    // for directly (after an upload, after Abort) must list it too, or the
    // uploaded files never show on a server without sub-directories.
    const bool refresh = Sender != RemoteTreeView;
    if ((HoldsMoreThanOneNode(RemoteTreeView) || refresh) && selected != nullptr) {
      const std::string path = RemoteDirPath();
      ShowRemoteDir(path, selected);
    }
  });
}

void TTransferForm::RemoteTreeViewSelect(QTreeWidgetItem* Current, QTreeWidgetItem* Previous) {
  // While the engine works for something else, a click must not start a
  // listing: it is refused and the selection goes back, once the click
  // itself has been handled by the view.
  if (Controller != nullptr && Current != nullptr && Controller->RefusedWhileBusy("Open " + RemotePathOf(Current))) {
    const std::string back = Previous != nullptr ? RemotePathOf(Previous) : std::string("/");
    QMetaObject::invokeMethod(
        this, [this, back] { SelectRemoteNode(FindRemoteNode(back)); }, Qt::QueuedConnection);
    return;
  }
  RemoteTreeViewChange(RemoteTreeView, Current);
}

void TTransferForm::SelectRemoteNode(QTreeWidgetItem* Node) {
  if (Node == nullptr || Node == RemoteTreeView->currentItem()) return;
  selectingNode_ = true;
  RemoteTreeView->setCurrentItem(Node);
  selectingNode_ = false;
}

QTreeWidgetItem* TTransferForm::FindRemoteNode(const std::string& Path) const {
  QTreeWidgetItem* node = RemoteRootNode;
  for (const std::string& name : transfer::RemotePathNames(Path)) {
    if (node == nullptr) break;
    QTreeWidgetItem* child = nullptr;
    for (int i = 0; i < node->childCount() && child == nullptr; ++i)
      if (TRemoteTreeView::NodeName(node->child(i)) == name) child = node->child(i);
    node = child;
  }
  return node;
}

void TTransferForm::ListRemoteRoot(const std::string& HostName, const std::string& StartPath) {
  RemoteRootNode = new QTreeWidgetItem(RemoteTreeView, QStringList(QString::fromStdString(HostName)));
  TRemoteTreeView::SetNodeName(RemoteRootNode, HostName);
  // The engine stands in the start folder: the tree opens there, its nodes
  // made down to it.
  QTreeWidgetItem* start = RemoteRootNode;
  for (const std::string& name : transfer::RemotePathNames(StartPath)) {
    QTreeWidgetItem* child = RemoteTreeView->AddChildNode(start, name);
    start = child != nullptr ? child : start;
  }
  SelectRemoteNode(start);
  if (start == RemoteRootNode) {
    ShowRemoteDir("/", RemoteRootNode);
    ExpandAll(RemoteRootNode);
    return;
  }
  ShowRemoteDir(RemotePathOf(start), start);
  RemoteTreeView->scrollToItem(start);
}

void TTransferForm::RunBusy(transfer::TActivity Activity, const std::function<void()>& Work) {
  if (Controller != nullptr)
    Controller->RunBusy(Activity, Work);
  else
    Work();
}

void TTransferForm::ClearRemoteViews() {
  selectingNode_ = true;
  RemoteTreeView->clear();
  selectingNode_ = false;
  RemoteRootNode = nullptr;
  RemoteListView->Clear();
  remoteListFolder_ = "/";
}
