// A queued file whose name is taken where it goes: the question names both
// files and offers Resume (Append), Overwrite, Rename and Skip, and "the same
// for the rest" answers the later files of the run. Against pure-ftpd, on the
// browsing connection and on connections of the queue's own.
#include <filesystem>
#include <memory>

#include <QMessageBox>
#include <QSpinBox>
#include <gtest/gtest.h>

#include "controls/status_bar.h"
#include "dirtree/dirtree.h"
#include "tests/ftp_data/pureftpd_peer.h"
#include "tests/session/window_fixture.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;
using vektest::Windows;

constexpr int kResume = 0, kOverwrite = 1, kRename = 2, kSkip = 3, kNotAsked = -1;

// A file of the drop: what its destination holds before, the answer (with
// "the same for the rest" ticked or not), what the destination holds after
// and, for a rename, the name it arrives under. The rows run in the queue's
// order, the reverse of the list's.
struct Row {
  const char* name;
  std::string source;
  std::string before;
  int answer;
  bool same;
  std::string after;
  const char* renamed;
};

std::string Pattern(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
  return bytes;
}

void Answer(Windows& w, const std::vector<Row>& rows) {
  for (const Row& r : rows)
    if (r.answer != kNotAsked) w.dialogs.AnswerCheckedChoice(r.answer, r.same);
}

QTreeWidgetItem* Child(QTreeWidgetItem* node, const std::string& name) {
  for (int i = 0; i < node->childCount(); ++i)
    if (TRemoteTreeView::NodeName(node->child(i)) == name) return node->child(i);
  return nullptr;
}

bool HoldsTempFiles(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().find(".vekftp-") != std::string::npos) return true;
  return false;
}

void ShootBox(const plat::ScriptedDialogs::Asked& asked) {
  std::vector<std::string> buttons;
  for (std::size_t at = 0, bar; at <= asked.defaultValue.size(); at = bar + 1) {
    bar = asked.defaultValue.find('|', at);
    if (bar == std::string::npos) bar = asked.defaultValue.size();
    buttons.push_back(asked.defaultValue.substr(at, bar - at));
  }
  const std::unique_ptr<QMessageBox> box =
      plat::ChoiceBoxWithCheck(asked.text, buttons, asked.checkText, false, asked.caption);
  box->show();
  QApplication::processEvents();
  const fs::path file = fs::path(VEK_SCREENSHOT_DIR) / "file_exists_box.png";
  fs::create_directories(file.parent_path());
  ASSERT_TRUE(box->grab().save(QString::fromStdString(file.string()), "PNG"));
  std::printf("screenshot: %s\n", file.c_str());
}

void ExistingFilesMeetTheChoices(int transfers) {
  vektest::PureFtpdPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start(error)) << error;
  testsupport::TempFolder local, out, config;
  const fs::path dl = peer.Root() / "dl";
  fs::create_directories(dl);
  const std::vector<Row> downloads = {
      {"6-resume.bin", Pattern(5000, 'r'), Pattern(5000, 'r').substr(0, 2000), kResume, false, Pattern(5000, 'r'), nullptr},
      {"5-overwrite.bin", "new", "old and longer", kOverwrite, false, "new", nullptr},
      {"4-rename.txt", "theirs", "mine", kRename, false, "mine", "4-rename (2).txt"},
      {"3-skip.bin", "server", "kept", kSkip, false, "kept", nullptr},
      {"2-same.bin", "second", "2", kOverwrite, true, "second", nullptr},
      // Gone from the server after the listing: the overwrite fails and
      // the old file stays as it was.
      {"1-gone.bin", "", "1", kNotAsked, false, "1", nullptr},
  };
  for (const Row& r : downloads) {
    WriteFile((dl / r.name).string(), r.source);
    WriteFile(local.File(r.name), r.before);
  }
  WriteFile(local.File("4-rename (1).txt"), "one");
  const std::vector<Row> uploads = {
      {"6-append.bin", Pattern(30, 'a'), "head:", kResume, false, "head:" + Pattern(30, 'a'), nullptr},
      {"5-overwrite.bin", "new", "old and longer", kOverwrite, false, "new", nullptr},
      {"4-rename.txt", "mine", "theirs", kRename, false, "theirs", "4-rename (2).txt"},
      {"3-skip.bin", "local", "server", kSkip, false, "server", nullptr},
      {"2-same.bin", "second", "2", kRename, true, "2", "2-same (1).bin"},
      {"1-same.bin", "first", "1", kNotAsked, false, "1", "1-same (1).bin"},
  };
  for (const Row& r : uploads) {
    WriteFile(out.File(r.name), r.source);
    WriteFile((peer.Upload() / r.name).string(), r.before);
    // The server's own user writes to them.
    fs::permissions(peer.Upload() / r.name, fs::perms::others_write, fs::perm_options::add);
  }
  WriteFile((peer.Upload() / "4-rename (1).txt").string(), "one");

  Windows w(config.File("rirarar.ini"));
  TForm1& f = *w.form1;
  Windows::FillServer(f, std::to_string(peer.Port()), "demo", "pw");
  f.TransfersSE->setValue(transfers);
  f.InitialLocalDirEdit->setText(QString::fromStdString(local.Path() + "/"));
  f.ConnectBut->click();
  ASSERT_TRUE(transfer::Session().Connected);
  TTransferForm& t = *w.transferForm;

  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "dl"));
  fs::remove(dl / "1-gone.bin");
  Answer(w, downloads);
  t.RemoteListView->selectAll();
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  for (const Row& r : downloads) {
    EXPECT_EQ(ReadFile(local.File(r.name)), r.after) << r.name;
    if (r.renamed != nullptr) {
      EXPECT_EQ(ReadFile(local.File(r.renamed)), r.source) << r.renamed;
    }
  }
  EXPECT_EQ(ReadFile(local.File("4-rename (1).txt")), "one");
  EXPECT_FALSE(HoldsTempFiles(local.Path()));
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1), "4 files transferred, 1 skipped, 1 failed"), 1);

  // Five questions for six files; each names both files with size and time.
  const auto& asked = w.dialogs.asked();
  ASSERT_EQ(std::count_if(asked.begin(), asked.end(),
                          [](const auto& a) { return a.kind == plat::ScriptedDialogs::Kind::CheckedChoice; }),
            5);
  const auto& first = asked.front();
  EXPECT_EQ(first.defaultValue, "Resume|Overwrite|Rename|Skip");
  EXPECT_EQ(first.checkText, "Do the same for the rest of this queue");
  const std::string resume = "File allready exists, do you whant to resume download ? \n\nLocal file: " +
                             local.File("6-resume.bin") + "\n2000 bytes, modified ";
  EXPECT_EQ(first.text.rfind(resume, 0), 0u) << first.text;
  EXPECT_NE(first.text.find("\n\nServer file: /dl/6-resume.bin\n5000 bytes, modified "), std::string::npos)
      << first.text;
  if (transfers == 1) ShootBox(first);

  w.dialogs.Clear();
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "up"));
  t.LocalDirTree->SelectPath(out.Path() + "/");
  Answer(w, uploads);
  t.LocalListView->selectAll();
  t.RemoteListViewDragDrop(t.RemoteListView, t.LocalListView, 0, 0);
  for (const Row& r : uploads) {
    EXPECT_EQ(ReadFile((peer.Upload() / r.name).string()), r.after) << r.name;
    if (r.renamed != nullptr) {
      EXPECT_EQ(ReadFile((peer.Upload() / r.renamed).string()), r.source) << r.renamed;
    }
  }
  EXPECT_EQ(ReadFile((peer.Upload() / "4-rename (1).txt").string()), "one");
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1), "5 files transferred, 1 skipped, 0 failed"), 1);
  ASSERT_EQ(w.dialogs.asked().size(), 5u);
  EXPECT_EQ(w.dialogs.asked()[0].defaultValue, "Append|Overwrite|Rename|Skip");
  EXPECT_EQ(w.dialogs.asked()[0].text.rfind("File allready exists, do you whant to append upload ? \n\nServer file: "
                                            "/up/6-append.bin\n5 bytes, modified ",
                                            0),
            0u)
      << w.dialogs.asked()[0].text;
}

TEST(FileExists, ChoicesOnTheBrowsingConnection) { ExistingFilesMeetTheChoices(1); }

TEST(FileExists, ChoicesOnConnectionsOfTheQueuesOwn) { ExistingFilesMeetTheChoices(2); }

}  // namespace
