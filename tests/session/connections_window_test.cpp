// The window's connections: a queue over connections of its own while the
// tree stays usable (and a server that takes fewer than asked), and a
// session the server closed for idleness that the next click opens again.
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>

#include "controls/log_memo.h"
#include "controls/status_bar.h"
#include "tests/ftp_data/pureftpd_peer.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/session/window_fixture.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;
using vektest::Windows;

QTreeWidgetItem* Child(QTreeWidgetItem* Node, const std::string& Name) {
  for (int i = 0; i < Node->childCount(); ++i)
    if (Node->child(i)->text(0).toStdString() == Name) return Node->child(i);
  return nullptr;
}

void Select(TFileListView* List, const std::vector<std::string>& Captions) {
  for (int i = 0; i < List->Count(); ++i)
    List->SelectRow(i, std::find(Captions.begin(), Captions.end(), List->Row(i).Caption) != Captions.end());
}

void Shoot(QWidget& Window, const std::string& Name) {
  const fs::path folder = VEK_SCREENSHOT_DIR;
  fs::create_directories(folder);
  for (TLogMemo* memo : Window.findChildren<TLogMemo*>()) memo->Flush();
  EXPECT_TRUE(Window.grab().save(QString::fromStdString((folder / (Name + ".png")).string()), "PNG"));
}

void Connect(Windows& w, std::uint16_t Port, const std::string& User, const std::string& Password,
             const std::string& Local, int Transfers) {
  TForm1& f = *w.form1;
  Windows::FillServer(f, std::to_string(Port), User, Password);
  f.TransfersSE->setValue(Transfers);
  f.ForceLowerCB->setChecked(false);
  f.InitialLocalDirEdit->setText(QString::fromStdString(Local + "/"));
  f.ConnectBut->click();
}

// 40 files down and up over four connections (pure-ftpd), or over what a
// server limited to two per address takes (vsftpd): all byte-exact, and a
// tree click during the queue is served by the browsing connection.
TEST(ConnectionsWindow, QueueOverConnectionsOfItsOwnWhileTheTreeWorks) {
  for (const bool limited : {false, true}) {
    SCOPED_TRACE(limited ? "vsftpd, two connections per address" : "pure-ftpd");
    std::unique_ptr<vektest::FtpServerPeer> peer;
    if (limited) {
      auto vsftpd = std::make_unique<vektest::VsftpdPeer>();
      vsftpd->AddConfig("max_per_ip=2\n");
      peer = std::move(vsftpd);
    } else {
      peer = std::make_unique<vektest::PureFtpdPeer>();
    }
    std::string error;
    if (!peer->Start(error)) GTEST_SKIP() << error;
    fs::create_directories(peer->Root() / "pub");
    fs::create_directories(peer->Root() / "other");
    WriteFile((peer->Root() / "other" / "o.txt").string(), "o\n");
    std::map<std::string, std::string> files;
    for (int i = 0; i < 40; ++i) {
      const std::string name = "f" + std::to_string(100 + i) + ".bin";
      files[name] = std::string(static_cast<std::size_t>(i) * 997, static_cast<char>('a' + i % 26));
      WriteFile((peer->Root() / "pub" / name).string(), files[name]);
    }
    testsupport::TempFolder local, config;
    Windows w(config.File("rirarar.ini"));
    const bool pure = !limited;
    Connect(w, peer->Port(), pure ? "demo" : "anonymous", pure ? "pw" : "me@example.org", local.Path(), 4);
    ASSERT_TRUE(transfer::Session().Connected);
    TTransferForm& t = *w.transferForm;
    t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "pub"));
    ASSERT_EQ(t.RemoteListView->Count(), 40);

    // Once the queue runs, the user opens another folder and takes the
    // last file out of the queue; the pane is photographed.
    bool clicked = false;
    QTimer::singleShot(0, [&] {
      t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "other"));
      w.form1->QueueRemove({w.form1->QueueRows() - 1});
      w.form1->QueueRefreshTimerTimer();
      if (pure) Shoot(t, "transfer_queue_pane");
      clicked = true;
    });
    t.RemoteListView->selectAll();
    t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
    EXPECT_TRUE(clicked);
    EXPECT_EQ(Windows::Captions(t.RemoteListView), std::vector<std::string>{"o.txt"});
    // The pane keeps the run: 39 done, the one taken out skipped, and so
    // the log says; that file never came.
    ASSERT_EQ(w.form1->QueueRows(), 40u);
    const TQueueRowText removed = w.form1->QueueRow(39);
    EXPECT_EQ(removed.State, "skipped: removed from the queue");
    EXPECT_FALSE(fs::exists(removed.Local));
    for (std::size_t i = 0; i < 39; ++i) EXPECT_EQ(w.form1->QueueRow(i).State, "done");
    for (const auto& [name, bytes] : files) {
      if (local.File(name) == removed.Local) continue;
      EXPECT_TRUE(ReadFile(local.File(name)) == bytes) << name;
    }
    const auto lines = Windows::Lines(t.Memo1);
    EXPECT_EQ(Windows::CountStarting(lines, "39 files transferred, 1 skipped, 0 failed"), 1);
    // "Clear finished" empties the pane; "Retry failed" runs a file that
    // failed once it can.
    w.form1->QueueClearFinished();
    EXPECT_EQ(w.form1->QueueRows(), 0u);
    t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "pub"));
    Select(t.RemoteListView, {"f100.bin"});
    fs::rename(peer->Root() / "pub" / "f100.bin", peer->Root() / "pub" / "gone.bin");
    fs::remove(local.File("f100.bin"));
    t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
    ASSERT_EQ(w.form1->QueueRows(), 1u);
    EXPECT_EQ(w.form1->QueueRow(0).State.rfind("failed: ", 0), 0u) << w.form1->QueueRow(0).State;
    fs::rename(peer->Root() / "pub" / "gone.bin", peer->Root() / "pub" / "f100.bin");
    w.form1->QueueRetryFailed();
    ASSERT_EQ(w.form1->QueueRows(), 1u);
    EXPECT_EQ(w.form1->QueueRow(0).State, "done");
    EXPECT_TRUE(ReadFile(local.File("f100.bin")) == files["f100.bin"]);
    w.form1->QueueClearFinished();
    w.dialogs.Clear();
    // Two per address, the browsing one among them: one of the four is taken.
    EXPECT_EQ(Windows::CountStarting(lines, "! The server refused connection "), limited ? 3 : 0);
    EXPECT_EQ(Windows::CountStarting(lines, "Refused"), 0);

    t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "up"));
    QCoreApplication::processEvents();
    t.LocalListView->selectAll();
    t.RemoteListViewDragDrop(t.RemoteListView, t.LocalListView, 0, 0);
    for (const auto& [name, bytes] : files) EXPECT_TRUE(ReadFile((peer->Upload() / name).string()) == bytes) << name;
    EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1), "40 files transferred, 0 skipped, 0 failed"), 1);
    EXPECT_TRUE(w.dialogs.Messages().empty()) << w.dialogs.Messages()[0];
  }
}

// A folder dragged from the server's tree onto the local list, and a local
// folder sent up, with one and with four connections: the trees arrive
// byte for byte, empty folders and odd names included.
TEST(ConnectionsWindow, FoldersCopiedBothWays) {
  for (const bool pure : {true, false}) {
    for (const int transfers : {1, 4}) {
      SCOPED_TRACE(std::string(pure ? "pure-ftpd" : "vsftpd") + ", " + std::to_string(transfers));
      std::unique_ptr<vektest::FtpServerPeer> peer;
      if (pure)
        peer = std::make_unique<vektest::PureFtpdPeer>();
      else
        peer = std::make_unique<vektest::VsftpdPeer>();
      std::string error;
      if (!peer->Start(error)) GTEST_SKIP() << error;
      testsupport::MakeTree(peer->Root() / "tree");
      fs::create_directories(peer->Upload());
      testsupport::TempFolder local, config;
      Windows w(config.File("rirarar.ini"));
      Connect(w, peer->Port(), pure ? "demo" : "anonymous", pure ? "pw" : "me@example.org", local.Path(), transfers);
      ASSERT_TRUE(transfer::Session().Connected);
      TTransferForm& t = *w.transferForm;
      t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "tree"));
      t.FolderDropped(t.LocalListView, t.RemoteTreeView);
      QCoreApplication::processEvents();
      const auto original = testsupport::TreeOf(peer->Root() / "tree");
      EXPECT_TRUE(testsupport::TreeOf(fs::path(local.Path()) / "tree") == original);

      t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "up"));
      w.form1->UploadFolder(local.Path() + "/tree/");
      EXPECT_TRUE(testsupport::TreeOf(peer->Upload() / "tree") == original);
      EXPECT_TRUE(w.dialogs.Messages().empty()) << w.dialogs.Messages()[0];
    }
  }
}

// Abort while four connections move files: every file is whole or not
// there, no temporary file is left, and the log accounts for all 40.
TEST(ConnectionsWindow, AbortDuringAQueueOverFourConnectionsLeavesNoPartialFile) {
  vektest::PureFtpdPeer peer;
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  fs::create_directories(peer.Root() / "pub");
  const std::string bytes(300000, 'z');
  for (int i = 0; i < 40; ++i) WriteFile((peer.Root() / "pub" / ("f" + std::to_string(i))).string(), bytes);
  testsupport::TempFolder local, config;
  Windows w(config.File("rirarar.ini"));
  Connect(w, peer.Port(), "demo", "pw", local.Path(), 4);
  TTransferForm& t = *w.transferForm;
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "pub"));
  QTimer::singleShot(0, [&] { t.SpeedButton1->click(); });
  t.RemoteListView->selectAll();
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  int whole = 0;
  for (const auto& entry : fs::directory_iterator(local.Path())) {
    EXPECT_TRUE(ReadFile(entry.path().string()) == bytes) << entry.path();
    ++whole;
  }
  EXPECT_LT(whole, 40);
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1),
                                   std::to_string(whole) + " files transferred, "),
            1);
  EXPECT_TRUE(transfer::Session().Connected);
}

// pyftpdlib as well, and a tree of 5,000 files in 500 folders both ways
// over four connections, byte for byte.
TEST(ConnectionsWindow, LargeTreeBothWaysOnPyftpdlib) {
  testsupport::TempFolder served, local, config;
  const fs::path root(served.Path());
  for (int d = 0; d < 500; ++d) {
    const fs::path folder = root / "big" / ("d" + std::to_string(d / 50)) / ("e" + std::to_string(d));
    fs::create_directories(folder);
    for (int f = 0; f < 10; ++f) WriteFile((folder / ("f" + std::to_string(f))).string(), std::to_string(d * 10 + f));
  }
  fs::create_directories(root / "up");
  vektest::PyFtpdPeer peer("vek", "pw", root);
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  Windows w(config.File("rirarar.ini"));
  Connect(w, peer.Port(), "vek", "pw", local.Path(), 4);
  ASSERT_TRUE(transfer::Session().Connected);
  TTransferForm& t = *w.transferForm;
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "big"));
  t.FolderDropped(t.LocalListView, t.RemoteTreeView);
  const auto original = testsupport::TreeOf(root / "big");
  ASSERT_EQ(original.size(), 5510u);  // 5,000 files, 500 + 10 folders
  EXPECT_TRUE(testsupport::TreeOf(fs::path(local.Path()) / "big") == original);
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "up"));
  w.form1->UploadFolder(local.Path() + "/big/");
  EXPECT_TRUE(testsupport::TreeOf(root / "up" / "big") == original);
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1), "5000 files transferred, 0 skipped, 0 failed"), 2);
}

// vsftpd closes an idle session after two seconds: the window says
// "Disconnected", and the next click connects again and lists the folder.
TEST(ConnectionsWindow, TheNextClickOpensASessionTheServerClosed) {
  vektest::VsftpdPeer peer;
  peer.AddConfig("idle_session_timeout=2\n");
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  fs::create_directories(peer.Root() / "pub");
  WriteFile((peer.Root() / "pub" / "p.txt").string(), "p\n");
  testsupport::TempFolder local, config;
  Windows w(config.File("rirarar.ini"));
  Connect(w, peer.Port(), "anonymous", "me@example.org", local.Path(), 1);
  ASSERT_TRUE(transfer::Session().Connected);
  TTransferForm& t = *w.transferForm;
  QElapsedTimer clock;
  clock.start();
  while (transfer::Session().Connected && clock.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  ASSERT_FALSE(transfer::Session().Connected);

  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "pub"));
  EXPECT_TRUE(transfer::Session().Connected);
  EXPECT_EQ(Windows::Captions(t.RemoteListView), std::vector<std::string>{"p.txt"});
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1), "! The server closed the connection: connecting again"), 1);
  EXPECT_EQ(t.StatusBar1->PanelText(1), "Connected");
}

}  // namespace
