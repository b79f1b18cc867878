// The transfer window and the about window as the user sees them, for
// checking by eye: the root of a real vsftpd listed by the engine into the
// listing file and read into the remote views. Written to
// <build folder>/screenshots/transfer_window<tag>.png and about<tag>.png; the
// tag comes from VEK_SCREENSHOT_TAG (the xvfb run sets "_xvfb").
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QPlainTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include "controls/status_bar.h"
#include "ftp/ftpcli.h"
#include "tests/dirtree/gui_app.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "controls/log_memo.h"
#include "transfer/about.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"
#include "transfer/transferunit.h"

namespace fs = std::filesystem;

namespace {

std::string ShotFile(const std::string& name) {
  const char* tag = std::getenv("VEK_SCREENSHOT_TAG");
  const fs::path folder = VEK_SCREENSHOT_DIR;
  fs::create_directories(folder);
  return (folder / (name + (tag != nullptr ? tag : "") + ".png")).string();
}

void Save(QWidget& widget, const std::string& file) {
  for (TLogMemo* memo : widget.findChildren<TLogMemo*>()) memo->Flush();
  ASSERT_TRUE(widget.grab().save(QString::fromStdString(file), "PNG"));
  EXPECT_GT(fs::file_size(file), 1000u);
  std::printf("screenshot: %s\n", file.c_str());
}

// A server root as a small public FTP site might have it.
void FillServerRoot(const fs::path& root) {
  for (const char* dir : {"pub", "incoming", "Pictures", "mirror"}) fs::create_directories(root / dir);
  const std::pair<const char*, std::size_t> files[] = {
      {"README.txt", 1204},         {"welcome.msg", 312},        {"ls-lR.gz", 845771},
      {"archive 2024.tar.gz", 9321}, {"photo.jpg", 220481},       {"manual.pdf", 1048576},
      {"install.sh", 2048},          {"Changes", 77},             {"index.html", 5120}};
  for (const auto& [name, size] : files) {
    std::ofstream(root / name, std::ios::binary) << std::string(size, 'x');
    fs::permissions(root / name, fs::perms(0644));
  }
  fs::create_symlink("pub", root / "latest");
}

}  // namespace

TEST(Screenshot, TransferWindowWithAServerRootAndTheAboutWindow) {
  GuiApp();
  vektest::VsftpdPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start(error)) << error;
  FillServerRoot(peer.Root());

  // The window's own folder and the listing file go beside the server's.
  const fs::path client = peer.Root().parent_path() / "client";
  fs::create_directories(client);
  fs::permissions(client, fs::perms(0700));
  ::setenv("XDG_RUNTIME_DIR", client.c_str(), 1);
  TTransferForm form;
  ASSERT_EQ(form.TempDir, (client / "vekftp").string() + "/");
  TFtpClient ftp;
  ftp.SetHostName("127.0.0.1");
  ftp.SetPort(std::to_string(peer.Port()));
  ftp.SetUserName("anonymous");
  ftp.SetPassWord("vek@test.com");
  ftp.SetTimeout(20);
  ftp.OnDisplay = [&form](TCustomFtpCli*, std::string& line) {
    form.Memo1->AddLine(line);
  };
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage() << peer.Log();
  ftp.SetHostFileName("");
  ftp.SetLocalFileName(form.ListingFileName());
  ASSERT_TRUE(ftp.Dir()) << ftp.ErrorMessage();
  ftp.Quit();

  form.setWindowTitle("Transfer Files to/from:  127.0.0.1");
  form.StatusBar1->SetPanelText(1, "Connected");
  form.RemoteRootNode = new QTreeWidgetItem(form.RemoteTreeView, QStringList{"127.0.0.1"});
  form.RemoteTreeView->setCurrentItem(form.RemoteRootNode);
  form.RemoteListView->BeginUpdate();
  form.RemoteTreeView->BeginUpdate();
  form.ReadListingFile(form.RemoteRootNode);
  form.RemoteTreeView->EndUpdate();
  form.RemoteListView->EndUpdate();
  form.RemoteRootNode->setExpanded(true);
  form.show();

  // What the server has is what the window shows.
  EXPECT_EQ(form.RemoteListView->Count(), 9);
  std::vector<std::string> nodes;
  for (int i = 0; i < form.RemoteRootNode->childCount(); ++i)
    nodes.push_back(TRemoteTreeView::NodeName(form.RemoteRootNode->child(i)));
  EXPECT_EQ(nodes, (std::vector<std::string>{"incoming", "latest", "mirror", "Pictures", "pub", "up"}));
  form.RemoteListView->SelectRow(2, true);
  Save(form, ShotFile("transfer_window"));

  TAboutForm about;
  about.show();
  Save(about, ShotFile("about"));
}
