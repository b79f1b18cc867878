// Three hundred user actions from a fixed seed, fired while queues of
// downloads and uploads run against a slow server: clicks in the server's
// tree, F5, drops both ways, local folder clicks, the server's menu
// commands (answered as a careful user would), Abort and Connect.
// Afterwards every dropped file is whole at its destination or named in the
// log as skipped or failed, every file that was there before is still there
// unchanged, and every node of the server's tree holds only sub-folders of
// its own folder.
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include <QAction>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include "controls/status_bar.h"
#include "dirtree/dirtree.h"
#include "platform/application.h"
#include "platform/qt/exception_box.h"
#include "tests/session/window_fixture.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Resume or skip at random, never append (an append after a cut upload
// would not make a copy), No to every other question, Cancel to every name
// asked for.
class CarefulUser : public plat::Dialogs {
 public:
  explicit CarefulUser(std::mt19937& rng) : rng_(rng) {}
  void ShowMessage(const std::string& text, const std::string&) override { messages.push_back(text); }
  bool Confirm(const std::string&, const std::string&) override { return false; }
  int ChooseWithCheck(const std::string& text, const std::vector<std::string>& buttons, const std::string&, bool&,
                      const std::string&) override {
    const bool download = text.rfind("File allready exists, do you whant to resume download ? ", 0) == 0;
    return download && rng_() % 2 == 0 ? 0 : static_cast<int>(buttons.size()) - 1;
  }
  std::string InputBox(const std::string&, const std::string&, const std::string& defaultValue) override {
    return defaultValue;
  }
  int Choose(const std::string&, const std::vector<std::string>& buttons, const std::string&) override {
    return static_cast<int>(buttons.size()) - 1;
  }
  std::vector<std::string> messages;

 private:
  std::mt19937& rng_;
};

// A dropped file: where it came from, where it must arrive, and how the
// queue names it in the log.
struct Copy {
  std::string source;
  std::string destination;
  std::string text;
};

std::string Bytes(std::mt19937& rng, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

std::string Joined(const std::string& folder, const std::string& name) {
  return folder + (!folder.empty() && folder.back() == '/' ? "" : "/") + name;
}

std::vector<QTreeWidgetItem*> Nodes(QTreeWidgetItem* node) {
  std::vector<QTreeWidgetItem*> all;
  if (node == nullptr) return all;
  all.push_back(node);
  for (int i = 0; i < node->childCount(); ++i)
    for (QTreeWidgetItem* n : Nodes(node->child(i))) all.push_back(n);
  return all;
}

class Storm {
 public:
  Storm(vektest::Windows& w, const fs::path& served, std::mt19937& rng) : w_(w), t_(*w.transferForm), served_(served), rng_(rng) {}

  int left = 300;
  int duringDownloads = 0;
  int duringUploads = 0;
  int duringQueues = 0;
  std::vector<Copy> copies;
  // The files there at the start, by folder: remote folders as the server
  // names them, local folders ending in "/".
  std::map<std::string, std::set<std::string>> remoteFiles, localFiles;
  std::vector<std::string> localFolders;

  // One action now; the next is already timed, so it can land inside a
  // transfer this one starts.
  void Fire() {
    if (left <= 0) return;
    --left;
    QTimer::singleShot(static_cast<int>(4 + rng_() % 16), &t_, [this] { Fire(); });
    const std::string status = t_.StatusBar1->PanelText(1);
    duringDownloads += status.rfind("Downloading : ", 0) == 0;
    duringUploads += status.rfind("Uploading : ", 0) == 0;
    duringQueues += transfer::Session().Activity == transfer::TActivity::Transferring;
    const unsigned roll = rng_() % 100;
    if (roll < 18)
      SelectTreeNode();
    else if (roll < 26)
      t_.RemoteRefresh1->trigger();
    else if (roll < 46)
      DropDownloads();
    else if (roll < 62)
      DropUploads();
    else if (roll < 74)
      t_.LocalDirTree->SelectPath(localFolders[rng_() % localFolders.size()]);
    else if (roll < 92)
      MenuCommand();
    else if (roll < 96)
      t_.SpeedButton1->click();
    else
      Connect();
  }

  // The log before a connect cleared it.
  std::vector<std::string> earlierLog;

 private:
  void SelectTreeNode() {
    const auto nodes = Nodes(t_.RemoteRootNode);
    if (!nodes.empty()) t_.RemoteTreeView->setCurrentItem(nodes[rng_() % nodes.size()]);
  }

  // Rows of the files that were there at the start, a few picked.
  std::vector<int> Pick(TFileListView* list, const std::set<std::string>& known) {
    std::vector<int> rows;
    for (int i = 0; i < list->Count(); ++i)
      if (known.count(list->Row(i).Caption) != 0) rows.push_back(i);
    std::shuffle(rows.begin(), rows.end(), rng_);
    rows.resize(std::min<std::size_t>(rows.size(), 1 + rng_() % 3));
    list->clearSelection();
    for (int row : rows) list->SelectRow(row, true);
    return rows;
  }

  void DropDownloads() {
    const std::string folder = t_.RemoteListFolder();
    for (int row : Pick(t_.RemoteListView, remoteFiles[folder])) {
      const std::string name = t_.RemoteListView->Row(row).Caption;
      const std::string target = Joined(t_.LocalListFolder(), name);
      copies.push_back({(served_ / Joined(folder, name).substr(1)).string(), target, Joined(folder, name) + " -> " + target});
    }
    t_.RemoteListViewDragDrop(t_.LocalListView, t_.RemoteListView, 0, 0);
  }

  void DropUploads() {
    const std::string folder = t_.LocalListFolder();
    const std::string remote = t_.RemoteListFolder();
    for (int row : Pick(t_.LocalListView, localFiles[folder])) {
      const std::string name = t_.LocalListView->Row(row).Caption;
      copies.push_back({Joined(folder, name), (served_ / Joined(remote, name).substr(1)).string(),
                        Joined(folder, name) + " -> " + Joined(remote, name)});
    }
    t_.RemoteListViewDragDrop(t_.RemoteListView, t_.LocalListView, 0, 0);
  }

  void Connect() {
    for (const std::string& line : vektest::Windows::Lines(t_.Memo1)) earlierLog.push_back(line);
    w_.form1->ConnectBut->click();
  }

  void MenuCommand() {
    if (t_.RemoteListView->Count() > 0) t_.RemoteListView->SelectRow(static_cast<int>(rng_() % t_.RemoteListView->Count()), true);
    QAction* commands[] = {t_.RemoteDelete1, t_.RemoteRename1, t_.RemoteNewFolder1, t_.RemoteRemoveFolder1};
    commands[rng_() % 4]->trigger();
  }

  vektest::Windows& w_;
  TTransferForm& t_;
  fs::path served_;
  std::mt19937& rng_;
};

TEST(InteractionStorm, ThreeHundredActionsDuringQueuesLoseNothing) {
  std::mt19937 rng(20261209);
  testsupport::TempFolder served, local, config;
  const fs::path root = served.Path();
  std::map<std::string, std::string> before;  // every file there at the start, and its bytes
  std::map<std::string, std::set<std::string>> remoteFiles, localFiles;
  auto place = [&](const fs::path& file, std::size_t size) {
    fs::create_directories(file.parent_path());
    before[file.string()] = Bytes(rng, size);
    WriteFile(file.string(), before[file.string()]);
  };
  const std::map<std::string, int> remoteFolders = {{"/", 2}, {"/pub", 5}, {"/pub/sub", 3}, {"/incoming", 1}};
  for (const auto& [folder, count] : remoteFolders)
    for (int i = 0; i < count; ++i) {
      const std::string name = "r" + std::to_string(remoteFiles.size()) + "-" + std::to_string(i) + ".bin";
      place(root / Joined(folder, name).substr(1), 20000 + rng() % 130000);
      remoteFiles[folder].insert(name);
    }
  for (const char* folder : {"one", "two"})
    for (int i = 0; i < 4; ++i) {
      const std::string name = std::string("l") + folder + "-" + std::to_string(i) + ".bin";
      place(fs::path(local.Path()) / folder / name, 10000 + rng() % 90000);
      localFiles[local.Path() + "/" + folder + "/"].insert(name);
    }

  vektest::FtpServeOptions options;
  options.root = root;
  options.password = "secret";
  vektest::FtpTestServer server(options, std::chrono::seconds(110));
  vektest::ServedData data;
  data.Install(server);
  vektest::Windows w(config.File("rirarar.ini"));
  CarefulUser user(rng);
  plat::ScopedDialogs answers(&user);
  // As in the program: an exception a handler raised is shown in a box.
  plat::InstallExceptionMessageBox(plat::Application::Instance());
  struct Uninstall {
    ~Uninstall() { plat::Application::Instance().SetExceptionHandler(nullptr); }
  } uninstall;
  w.Login(server.PortText(), "user", "secret", local.Path() + "/one/");
  ASSERT_TRUE(transfer::Session().Connected);
  w.transferForm->show();
  data.slowChunk = 8192;
  data.slowPauseMs = 8;
  data.storePauseMs = 60;

  Storm storm(w, root, rng);
  storm.remoteFiles = remoteFiles;
  storm.localFiles = localFiles;
  for (const auto& entry : localFiles) storm.localFolders.push_back(entry.first);
  storm.Fire();
  QElapsedTimer clock;
  clock.start();
  while ((storm.left > 0 || transfer::Session().Busy()) && clock.elapsed() < 90000)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  QCoreApplication::processEvents();
  ASSERT_EQ(storm.left, 0) << "the storm did not end in time";
  ASSERT_FALSE(transfer::Session().Busy());
  EXPECT_GT(storm.duringDownloads, 0);
  EXPECT_GT(storm.duringUploads, 0);
  ASSERT_FALSE(storm.copies.empty());

  // Nothing the user did reached the engine while it was busy: its refusal
  // would have shown as a box.
  for (const std::string& m : user.messages) EXPECT_EQ(m.find("not ready"), std::string::npos) << m;

  // Every file that was there is there unchanged.
  for (const auto& [file, bytes] : before) EXPECT_TRUE(ReadFile(file) == bytes) << file << " changed or is gone";

  // Every dropped file is a whole copy, or the log says why it is not; what
  // is there is never anything but the start of its source.
  std::vector<std::string> log = storm.earlierLog;
  for (const std::string& line : vektest::Windows::Lines(w.transferForm->Memo1)) log.push_back(line);
  auto named = [&log](const std::string& text) {
    for (const std::string& line : log)
      if ((line.rfind("! Skipped " + text + ": ", 0) == 0) || (line.rfind("! Failed " + text + ": ", 0) == 0)) return true;
    return false;
  };
  int whole = 0;
  for (const Copy& c : storm.copies) {
    const std::string source = ReadFile(c.source);
    const bool exists = fs::exists(c.destination);
    const std::string got = exists ? ReadFile(c.destination) : std::string();
    if (exists && got == source) {
      ++whole;
      continue;
    }
    EXPECT_TRUE(named(c.text)) << c.text << ": " << (exists ? std::to_string(got.size()) + " bytes" : "missing")
                               << " and not named in the log";
    EXPECT_TRUE(source.compare(0, got.size(), got) == 0) << c.destination << " holds other bytes";
  }
  EXPECT_GT(whole, 0);
  if (std::getenv("VEK_STORM_LOG"))
    std::fprintf(stderr, "copies %zu whole %d, actions during queues %d (downloads %d, uploads %d)\n",
                 storm.copies.size(), whole, storm.duringQueues, storm.duringDownloads, storm.duringUploads);
  if (::testing::Test::HasFailure() && std::getenv("VEK_STORM_LOG"))
    for (const std::string& line : log) std::fprintf(stderr, "%s\n", line.c_str());

  // The server's tree: each node's children are sub-folders of its folder.
  for (QTreeWidgetItem* node : Nodes(w.transferForm->RemoteRootNode)) {
    const std::string path = w.transferForm->RemotePathOf(node);
    for (int i = 0; i < node->childCount(); ++i) {
      const fs::path folder = root / Joined(path, TRemoteTreeView::NodeName(node->child(i))).substr(1);
      EXPECT_TRUE(fs::is_directory(folder)) << folder << " shown under " << path;
    }
  }
}

}  // namespace
