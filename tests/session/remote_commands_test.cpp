// What users expect beyond the basic windows: passive mode per site, the
// commands on the server's files and folders, and the rate panel; against
// the free-running test server and vsftpd.
#include <filesystem>
#include <fstream>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include "controls/status_bar.h"
#include "platform/inifile.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/session/window_fixture.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace {

namespace fs = std::filesystem;
using vektest::Windows;

const auto Captions = &Windows::Captions;

std::vector<std::string> Children(QTreeWidgetItem* node) {
  std::vector<std::string> names;
  for (int i = 0; i < node->childCount(); ++i) names.push_back(TRemoteTreeView::NodeName(node->child(i)));
  return names;
}

QTreeWidgetItem* Child(QTreeWidgetItem* node, const std::string& name) {
  for (int i = 0; i < node->childCount(); ++i)
    if (TRemoteTreeView::NodeName(node->child(i)) == name) return node->child(i);
  return nullptr;
}

class Extras : public ::testing::Test {
 protected:
  testsupport::TempFolder remote, local, config;
  std::unique_ptr<vektest::FtpTestServer> server;
  vektest::ServedData data;
  std::unique_ptr<Windows> w;

  void Connect(bool passive) {
    vektest::FtpServeOptions options;
    options.root = remote.Path();
    options.password = "secret";
    w.reset();  // one set of windows at a time: they are the program's
    server = std::make_unique<vektest::FtpTestServer>(options);
    data.Install(*server);
    w = std::make_unique<Windows>(config.File("rirarar.ini"));
    w->Login(server->PortText(), "user", "secret", local.Path(), passive);
    ASSERT_TRUE(transfer::Session().Connected);
  }
  TTransferForm& T() { return *w->transferForm; }
  std::size_t Count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const std::string& c : server->Commands()) n += c.rfind(prefix, 0) == 0;
    return n;
  }
};

TEST_F(Extras, PassiveModeComesFromTheSiteAndIsStored) {
  std::ofstream(remote.File("a.txt")) << "a";
  EXPECT_TRUE(Windows(config.File("fresh.ini")).form1->PassiveCB->isChecked());
  Connect(true);
  EXPECT_GT(Count("PASV"), 0u);
  EXPECT_EQ(Count("PORT"), 0u);
  Connect(false);
  EXPECT_GT(Count("PORT"), 0u);
  EXPECT_EQ(Count("PASV"), 0u);

  // Stored as "Passive", "1" when missing; checked on a first start.
  TForm1& f = *w->form1;
  w->dialogs.AnswerInput(std::string("site"));
  f.NewSiteButClick();
  EXPECT_TRUE(f.PassiveCB->isChecked());
  f.PassiveCB->setChecked(false);
  ASSERT_TRUE(f.UpdateProfile());
  EXPECT_EQ(plat::IniFile(config.File("rirarar.ini")).ReadString("SITE", "Passive", ""), "0");
  plat::IniFile ini(config.File("rirarar.ini"));
  ini.EraseSection("SITE");
  ini.WriteString("SITE", "HostName", "old.example.org");
  f.ReadProfile("SITE");
  EXPECT_TRUE(f.PassiveCB->isChecked());
}

TEST_F(Extras, FilesAndFoldersOnTheServerChangeAndTheViewsFollow) {
  std::ofstream(remote.File("one.txt")) << "1";
  std::ofstream(remote.File("two.txt")) << "2";
  std::ofstream(remote.File("three.txt")) << "3";
  fs::create_directories(fs::path(remote.Path()) / "full" / "inside");
  Connect(true);
  TTransferForm& t = T();

  // Delete two files, after the question.
  t.RemoteListView->SelectRow(0, true);  // one.txt
  t.RemoteListView->SelectRow(1, true);  // three.txt
  w->dialogs.AnswerConfirm(true);
  t.RemoteDelete1->trigger();
  EXPECT_EQ(w->dialogs.asked().back().text, "Delete 2 file(s) on the server?");
  EXPECT_EQ(Captions(t.RemoteListView), (std::vector<std::string>{"two.txt"}));
  EXPECT_FALSE(fs::exists(remote.File("one.txt")));

  // Rename a file; a name with "/" is refused before anything is sent; a
  // rename the server refuses shows its box.
  t.RemoteListView->setFocus();
  t.RemoteListView->SelectRow(0, true);
  w->dialogs.AnswerInput(std::string("deux.txt"));
  t.RemoteRename1->trigger();
  EXPECT_EQ(Captions(t.RemoteListView), (std::vector<std::string>{"deux.txt"}));
  const std::size_t renames = Count("RNFR");
  t.RemoteListView->SelectRow(0, true);
  w->dialogs.AnswerInput(std::string("../evil.txt"));
  t.RemoteRename1->trigger();
  EXPECT_EQ(Count("RNFR"), renames);
  EXPECT_NE(w->dialogs.Messages().back().find("/"), std::string::npos) << w->dialogs.Messages().back();
  fs::remove(remote.File("deux.txt"));  // gone behind the window's back
  t.RemoteListView->SelectRow(0, true);
  w->dialogs.AnswerInput(std::string("drei.txt"));
  t.RemoteRename1->trigger();
  EXPECT_EQ(w->dialogs.Messages().back().rfind("Error: 550", 0), 0u) << w->dialogs.Messages().back();
  EXPECT_TRUE(Captions(t.RemoteListView).empty());

  // A new folder shows in the tree; removing it takes its node away; a
  // folder that is not empty is refused with the server's word.
  w->dialogs.AnswerInput(std::string("new folder"));
  t.RemoteNewFolder1->trigger();
  EXPECT_TRUE(fs::is_directory(fs::path(remote.Path()) / "new folder"));
  EXPECT_EQ(Children(t.RemoteRootNode), (std::vector<std::string>{"full", "new folder"}));
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "new folder"));
  t.RemoteRemoveFolder1->trigger();
  EXPECT_FALSE(fs::exists(fs::path(remote.Path()) / "new folder"));
  EXPECT_EQ(Children(t.RemoteRootNode), (std::vector<std::string>{"full"}));
  EXPECT_EQ(t.RemoteTreeView->currentItem(), t.RemoteRootNode);
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "full"));
  w->dialogs.Clear();
  t.RemoteRemoveFolder1->trigger();
  ASSERT_FALSE(w->dialogs.Messages().empty());
  EXPECT_EQ(w->dialogs.Messages()[0].rfind("Error: 550", 0), 0u);
  EXPECT_NE(Child(t.RemoteRootNode, "full"), nullptr);

  // Every request was completed as any other: one "Done" line each.
  const auto lines = w->form1->Memo1->Lines();
  EXPECT_EQ(Windows::CountStarting(lines, "Done (request=DeleAsync"), 2);
  EXPECT_EQ(Windows::CountStarting(lines, "Done (request=MkdAsync"), 1);
  EXPECT_EQ(Windows::CountStarting(lines, "Done (request=RmdAsync"), 2);

  // Screenshot: the context menu over the remote list.
  t.show();
  t.RemoteTreeView->setCurrentItem(t.RemoteRootNode);
  t.RemotePopupMenu->popup(t.RemoteListView->viewport()->mapToGlobal(QPoint(120, 30)));
  QApplication::processEvents();
  t.Memo1->Flush();
  QPixmap shot = t.grab();
  {
    QPainter painter(&shot);
    painter.drawPixmap(t.mapFromGlobal(t.RemotePopupMenu->pos()), t.RemotePopupMenu->grab());
  }
  t.RemotePopupMenu->hide();
  const fs::path folder = VEK_SCREENSHOT_DIR;
  fs::create_directories(folder);
  EXPECT_TRUE(shot.save(QString::fromStdString((folder / "remote_context_menu.png").string()), "PNG"));
}

TEST_F(Extras, TheRatePanelMovesDuringATransferAndClearsAfterIt) {
  std::ofstream(remote.File("slow.bin"), std::ios::binary) << std::string(300000, 's');
  Connect(true);
  TTransferForm& t = T();
  data.slowChunk = 20000;
  data.slowPauseMs = 40;
  std::vector<std::string> seen;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] { seen.push_back(t.StatusBar1->PanelText(2)); });
  sampler.start(100);
  t.RemoteListView->SelectRow(0, true);
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  sampler.stop();
  std::vector<std::string> texts;
  for (const std::string& s : seen)
    if (!s.empty() && (texts.empty() || texts.back() != s)) texts.push_back(s);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_NE(texts.front().find(" of "), std::string::npos) << texts.front();
  EXPECT_EQ(t.StatusBar1->PanelText(2), "");
  EXPECT_EQ(w->form1->StatusBar1->PanelText(2), "");
  EXPECT_EQ(Windows::CountStarting(w->form1->Memo1->Lines(), "slow.bin: 300000 bytes in "), 1);
}

}  // namespace
