// Placeholder for the remote tree logic, so that the window links; replaced
// by the real remote tree operations.
#include "transfer/transferunit.h"

std::string TTransferForm::RemoteDirPath() { return "/"; }

void TTransferForm::ShowRemoteDir(const std::string&, QTreeWidgetItem*) {}

void TTransferForm::RemoteTreeViewChange(QObject*, QTreeWidgetItem*) {}
