// The remote tree: the selected node as a server path, and changing to a
// directory and showing its listing in both remote views.
#include "controls/log_memo.h"
#include <QTreeWidget>

#include "ftp/ftpcli.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_path.h"
#include "transfer/remote_tree_view.h"
#include "transfer/session_state.h"
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
  std::vector<std::string> texts;
  for (QTreeWidgetItem* n = node; n != nullptr && n != RemoteRootNode; n = n->parent())
    texts.insert(texts.begin(), TRemoteTreeView::NodeName(n));
  const std::string path = transfer::RemoteDirPath(texts);
  Memo1->AddLine("fullpath : " + path);
  return path;
}

void TTransferForm::ShowRemoteDir(const std::string& Path, QTreeWidgetItem* Node) {
  transfer::TSessionState& session = transfer::Session();
  session.RemoteListing = true;
  FtpClient->SetHostDirName(Path);
  FtpClient->Cwd();
  FtpClient->SetHostFileName(std::string());
  FtpClient->SetLocalFileName(TempDir + "ftpdir.txt");
  FtpClient->Dir();
  if (session.LastRequestError != 0) {
    session.RemoteListing = false;
    return;
  }
  RemoteListView->BeginUpdate();
  RemoteTreeView->BeginUpdate();
  RemoteListView->Clear();
  ReadListingFile(Node);
  RemoteTreeView->EndUpdate();
  RemoteListView->EndUpdate();
  session.RemoteListing = false;
}

void TTransferForm::RemoteTreeViewChange(QObject* Sender, QTreeWidgetItem*) {
  transfer::TSessionState& session = transfer::Session();
  if (!session.Connected || session.RemoteListing) return;
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
}

void TTransferForm::ListRemoteRoot(const std::string& HostName) {
  RemoteRootNode = new QTreeWidgetItem(RemoteTreeView, QStringList(QString::fromStdString(HostName)));
  TRemoteTreeView::SetNodeName(RemoteRootNode, HostName);
  RemoteTreeView->setCurrentItem(RemoteRootNode);
  ShowRemoteDir("/", RemoteRootNode);
  ExpandAll(RemoteRootNode);
}
