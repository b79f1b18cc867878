// The transfer queues driven from the transfer window: drops between the
// lists, resume and append questions, failures inside a queue, hostile names,
// the representation, the tool bar; against the free-running test server and
// vsftpd and pure-ftpd, every file compared byte for byte.
#include <filesystem>
#include <fstream>

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "controls/status_bar.h"
#include "dirtree/dirtree.h"
#include "session/queue.h"
#include "tests/ftp_data/pureftpd_peer.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/session/window_fixture.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using vektest::Windows;

void Write(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

std::string Pattern(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
  return bytes;
}

// Compares without printing the bytes: sizes and the first difference.
::testing::AssertionResult Holds(const std::string& file, const std::string& expected) {
  const std::string got = ReadFile(file);
  if (got == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << file << ": " << got.size() << " bytes, expected " << expected.size()
                                       << ", first difference at " << at;
}

int RowOf(TFileListView* list, const std::string& caption) {
  for (int i = 0; i < list->Count(); ++i)
    if (list->Row(i).Caption == caption) return i;
  return -1;
}

void Select(TFileListView* list, std::initializer_list<const char*> captions) {
  for (int i = 0; i < list->Count(); ++i) list->SelectRow(i, false);
  for (const char* c : captions) {
    const int row = RowOf(list, c);
    ASSERT_GE(row, 0) << c;
    list->SelectRow(row, true);
  }
}

std::vector<std::string> With(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) found.push_back(l);
  return found;
}

// A connected session: the server's folder, the local folder, the windows.
class Queue : public ::testing::Test {
 protected:
  testsupport::TempFolder remote;
  testsupport::TempFolder local;
  testsupport::TempFolder config;
  std::unique_ptr<vektest::FtpTestServer> server;
  vektest::ServedData data;
  std::unique_ptr<Windows> w;

  void Connect() {
    vektest::FtpServeOptions options;
    options.root = remote.Path();
    options.password = "secret";
    server = std::make_unique<vektest::FtpTestServer>(options);
    data.Install(*server);
    w = std::make_unique<Windows>(config.File("rirarar.ini"));
    w->Login(server->PortText(), "user", "secret", local.Path() + "/");
    ASSERT_TRUE(transfer::Session().Connected);
  }
  TTransferForm& T() { return *w->transferForm; }
  // Remote rows dropped on the local list.
  void DropOnLocal() { T().RemoteListViewDragDrop(T().LocalListView, T().RemoteListView, 0, 0); }
  void DropOnRemote() { T().RemoteListViewDragDrop(T().RemoteListView, T().LocalListView, 0, 0); }
  std::vector<std::string> Verbs(const std::string& verb) const {
    std::vector<std::string> found;
    for (const std::string& c : server->Commands())
      if (c.rfind(verb, 0) == 0) found.push_back(c);
    return found;
  }
};

TEST(QueueSteps, OrderTargetsAndProgress) {
  // From the end of the list towards its start.
  const std::vector<std::string> files = {"A", "B", "C"};
  std::int32_t left = 3;
  std::vector<std::string> taken;
  while (auto e = session::TakeNextEntry(files, left)) taken.push_back(*e);
  EXPECT_EQ(taken, (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_LT(left, 0);

  // Names from a server that must never become local paths.
  for (const char* bad : {"", ".", "..", "../x", "a/b", "lib -> usr/lib.so", "/etc/passwd"})
    EXPECT_FALSE(session::DownloadTarget("/home/u/", bad, false)) << bad;
  EXPECT_EQ(*session::DownloadTarget("/home/u", "README.TXT", true), "/home/u/readme.txt");
  EXPECT_EQ(*session::DownloadTarget("/home/u/", "README.TXT", false), "/home/u/README.TXT");
  EXPECT_EQ(*session::DownloadTarget("/home/u/", std::string("a\0b", 3).substr(0, 1), false), "/home/u/a");
  EXPECT_FALSE(session::DownloadTarget("/home/u/", std::string("a\0b", 3), false));
  // Control bytes would play in the terminal of whoever lists the folder:
  // written as %XX (upper-case hex, lower-casing or not); UTF-8 and "%" stay.
  const struct {
    const char* remote;
    bool lower;
    const char* local;
    bool controls;
  } escaped[] = {
      {"a\x1b[31mb", false, "/home/u/a%1B[31mb", true},
      {"A\x1b]0;T\x07.TXT", true, "/home/u/a%1B]0;t%07.txt", true},
      {"\x01x\x08\x1f\x7f", false, "/home/u/%01x%08%1F%7F", true},
      {"tab\there\r\n", false, "/home/u/tab%09here%0D%0A", true},
      {"100% r\xc3\xa4tt.txt", false, "/home/u/100% r\xc3\xa4tt.txt", false},
      {"%1B.txt", false, "/home/u/%1B.txt", false},
  };
  for (const auto& e : escaped) {
    const auto target = session::DownloadTarget("/home/u/", e.remote, e.lower);
    ASSERT_TRUE(target) << e.local;
    EXPECT_EQ(*target, e.local);
    EXPECT_EQ(session::HoldsControlBytes(e.remote), e.controls) << e.local;
  }
  // The refusals come first: an escaped "/" or ".." is still refused.
  EXPECT_FALSE(session::DownloadTarget("/home/u/", "\x1b/../x", false));

  // A 10-byte file moves the bar on every event, a 1 MB file on every 21st.
  std::int64_t ticks = 0;
  int moves = 0;
  for (int i = 0; i < 42; ++i) moves += session::ProgressDue(10, ticks);
  EXPECT_EQ(moves, 42);
  moves = 0;
  for (int i = 0; i < 42; ++i) moves += session::ProgressDue(1000000, ticks);
  EXPECT_EQ(moves, 2);

  // Rounded halves to even, kept within the bar, never failing on size 0.
  EXPECT_EQ(session::ProgressPercent(1, 200), 0);   // 0.5
  EXPECT_EQ(session::ProgressPercent(3, 200), 2);   // 1.5
  EXPECT_EQ(session::ProgressPercent(5, 2), 100);
  EXPECT_EQ(session::ProgressPercent(5, 0), 0);
  EXPECT_EQ(session::ProgressPercent(std::int64_t{3} << 31, std::int64_t{6} << 31), 50);
}

TEST_F(Queue, DownloadsRunFromTheEndResumeOnYesAndStopOnNo) {
  Write(fs::path(remote.Path()) / "A.bin", Pattern(5000, 'a'));
  Write(fs::path(remote.Path()) / "B.bin", Pattern(1048576, 'b'));
  Write(fs::path(remote.Path()) / "C.bin", Pattern(10, 'c'));
  Write(fs::path(remote.Path()) / "UPPER.TXT", "upper\n");
  Connect();
  int maxBar = 0;
  QObject::connect(T().ProgressBar1, &QProgressBar::valueChanged, [&](int v) { maxBar = std::max(maxBar, v); });

  Select(T().RemoteListView, {"A.bin", "B.bin", "C.bin"});
  DropOnLocal();
  EXPECT_EQ(Verbs("RETR"), (std::vector<std::string>{"RETR C.bin", "RETR B.bin", "RETR A.bin"}));
  EXPECT_EQ(With(Windows::Lines(w->form1->Memo1), "Filenames left: "),
            (std::vector<std::string>{"Filenames left: C.bin", "Filenames left: B.bin", "Filenames left: A.bin"}));
  EXPECT_EQ(With(Windows::Lines(T().Memo1), "Filenames count: "), (std::vector<std::string>{"Filenames count: 3"}));
  for (const char* name : {"A.bin", "B.bin", "C.bin"})
    EXPECT_TRUE(Holds(local.File(name), ReadFile(remote.File(name))));
  EXPECT_GT(maxBar, 0);
  EXPECT_EQ(T().ProgressBar1->value(), 0);
  EXPECT_EQ(T().StatusBar1->PanelText(1), "Connected");
  EXPECT_EQ(Verbs("TYPE").back(), "TYPE I");
  // The dropped rows are in the local list at once, once each.
  EXPECT_GE(RowOf(T().LocalListView, "C.bin"), 0);

  // Lower-case names asked for: the server is asked for the name as listed.
  w->form1->ForceLowerCB->setChecked(true);
  Select(T().RemoteListView, {"UPPER.TXT"});
  DropOnLocal();
  EXPECT_EQ(Verbs("RETR").back(), "RETR UPPER.TXT");
  EXPECT_TRUE(Holds(local.File("upper.txt"), "upper\n"));

  // A partial file and Yes: resumed from its end, and the queue ends there
  // (zz.bin comes last in the list, so it is the first of the queue).
  Write(fs::path(remote.Path()) / "zz.bin", Pattern(1048576, 'z'));
  Write(fs::path(local.Path()) / "zz.bin", Pattern(1048576, 'z').substr(0, 300000));
  T().RemoteTreeViewChange(nullptr, T().RemoteRootNode);
  const std::size_t retrBefore = Verbs("RETR").size();
  Select(T().RemoteListView, {"C.bin", "zz.bin"});
  w->dialogs.AnswerConfirm(true);
  DropOnLocal();
  EXPECT_EQ(w->dialogs.asked().back().text, "File allready exists, do you whant to resume download ? ");
  EXPECT_EQ(Verbs("RETR").size(), retrBefore + 1);
  EXPECT_EQ(Verbs("REST").back(), "REST 300000");
  EXPECT_TRUE(Holds(local.File("zz.bin"), Pattern(1048576, 'z')));
  EXPECT_FALSE(fs::exists(local.File("c.bin")));

  // No: nothing is fetched and the file stays as it was.
  Write(fs::path(local.Path()) / "a.bin", "mine");
  Select(T().RemoteListView, {"A.bin"});
  w->dialogs.AnswerConfirm(false);
  DropOnLocal();
  EXPECT_EQ(Verbs("RETR").size(), retrBefore + 1);
  EXPECT_TRUE(Holds(local.File("a.bin"), "mine"));
}

TEST_F(Queue, FailedAndHostileEntriesAreSkippedAndLeaveNothingBehind) {
  Write(fs::path(remote.Path()) / "good.txt", "good\n");
  Write(fs::path(remote.Path()) / "gone.txt", "soon gone\n");
  data.extraListing =
      "-rw-r--r--   1 ftp      ftp            5 Jan  5 12:30 ..\r\n"
      "-rw-r--r--   1 ftp      ftp            5 Jan  5 12:30 ../../escape.txt\r\n"
      "lrwxrwxrwx   1 ftp      ftp            5 Jan  5 12:30 link -> ../secret.txt\r\n";
  Connect();
  fs::remove(remote.File("gone.txt"));
  w->dialogs.Clear();
  Select(T().RemoteListView, {"good.txt", "gone.txt", "../../escape.txt", "link -> ../secret.txt"});
  DropOnLocal();
  // The failure shows its box, the hostile names are refused in both logs,
  // and the good file still comes.
  ASSERT_FALSE(w->dialogs.Messages().empty());
  EXPECT_EQ(w->dialogs.Messages()[0].rfind("Error: 550", 0), 0u);
  EXPECT_TRUE(Holds(local.File("good.txt"), "good\n"));
  EXPECT_FALSE(fs::exists(local.File("gone.txt")));
  for (TLogMemo* memo : {w->form1->Memo1, T().Memo1})
    EXPECT_EQ(With(Windows::Lines(memo), "! Refused the server's file name").size(), 2u);
  EXPECT_EQ(Verbs("RETR"), (std::vector<std::string>{"RETR good.txt", "RETR gone.txt"}));
  EXPECT_FALSE(fs::exists(fs::path(local.Path()).parent_path() / "escape.txt"));
}

TEST_F(Queue, UploadsUseRealPathsAskBeforeAppendingAndRelistAsText) {
  Write(fs::path(local.Path()) / "README.TXT", Pattern(3000, 'r'));
  Write(fs::path(local.Path()) / "two.bin", Pattern(70000, 't'));
  Write(fs::path(remote.Path()) / "two.bin", "head:");
  Connect();
  TFileListView* localList = T().LocalListView;
  ASSERT_GE(RowOf(localList, "readme.txt"), 0);
  EXPECT_EQ(localList->Row(RowOf(localList, "readme.txt")).Size, "3000");

  // Drops on the list they came from are refused.
  bool accept = true;
  T().RemoteListViewDragOver(localList, localList, 0, 0, accept);
  EXPECT_FALSE(accept);
  T().RemoteListViewDragOver(T().RemoteListView, localList, 0, 0, accept);
  EXPECT_TRUE(accept);

  T().SetRadioGroup1ItemIndex(1);  // text
  Select(localList, {"readme.txt", "two.bin"});
  w->dialogs.AnswerConfirm(true);
  DropOnRemote();
  EXPECT_EQ(w->dialogs.asked().back().text, "File allready exists, do you whant to append upload ? ");
  EXPECT_EQ(Verbs("APPE"), (std::vector<std::string>{"APPE two.bin"}));
  EXPECT_TRUE(localList->SelectedRows().empty());
  // An append ends the queue: readme.txt waits for the next drop.
  EXPECT_TRUE(Verbs("STOR").empty());
  EXPECT_TRUE(Holds(remote.File("two.bin"), "head:" + Pattern(70000, 't')));

  Select(localList, {"readme.txt"});
  DropOnRemote();
  EXPECT_EQ(Verbs("STOR"), (std::vector<std::string>{"STOR readme.txt"}));
  EXPECT_TRUE(Holds(remote.File("readme.txt"), Pattern(3000, 'r')));
  // Text for the transfer (the radio group), and the relisting after it.
  const auto commands = server->Commands();
  const auto stor = std::find(commands.begin(), commands.end(), "STOR readme.txt");
  EXPECT_EQ(*std::find_if(std::make_reverse_iterator(stor), commands.rend(),
                          [](const std::string& c) { return c.rfind("TYPE", 0) == 0; }),
            "TYPE A");
  EXPECT_GE(RowOf(T().RemoteListView, "readme.txt"), 0);

  // Nothing selected: the queue still starts, empty (a directory change, no
  // transfer).
  const std::size_t cwds = Verbs("CWD").size();
  DropOnRemote();
  EXPECT_GT(Verbs("CWD").size(), cwds);
  EXPECT_EQ(Verbs("STOR").size(), 1u);
}

TEST_F(Queue, ToolBarExitNewAndAbortDuringADownload) {
  Write(fs::path(remote.Path()) / "big.bin", Pattern(400000, 'g'));
  fs::create_directories(fs::path(remote.Path()) / "pub");
  Write(fs::path(remote.Path()) / "pub" / "slow.bin", Pattern(400000, 's'));
  Connect();
  T().SpeedButton3Click();
  EXPECT_EQ(w->dialogs.Messages().back(), "Drag and drop file.");

  // Abort in the middle: the session comes back on the directory that was open.
  QTreeWidgetItem* pub = T().RemoteRootNode->child(0);
  ASSERT_EQ(TRemoteTreeView::NodeName(pub), "pub");
  T().RemoteTreeView->setCurrentItem(pub);
  data.slowChunk = 20000;
  data.slowPauseMs = 50;
  QTimer::singleShot(300, T().SpeedButton1, [this] { T().SpeedButton1->click(); });
  Select(T().RemoteListView, {"slow.bin"});
  DropOnLocal();
  data.slowChunk = 0;
  EXPECT_TRUE(transfer::Session().Connected);
  EXPECT_EQ(Verbs("USER").size(), 2u);
  EXPECT_EQ(Verbs("CWD").back(), "CWD /pub");
  EXPECT_FALSE(fs::exists(local.File("slow.bin")));
  EXPECT_GE(RowOf(T().RemoteListView, "slow.bin"), 0);

  // Exit and New while connected: No leaves all as it was.
  w->dialogs.AnswerConfirm(false);
  T().SpeedButton5Click();
  EXPECT_EQ(w->dialogs.asked().back().text, "Exit program ? ");
  w->dialogs.AnswerConfirm(false);
  T().SpeedButton6Click();
  EXPECT_EQ(w->dialogs.asked().back().text, "Exit current session ? ");
  EXPECT_EQ(w->terminations, 0);
  EXPECT_TRUE(T().isVisible());
  // New, Yes: the session is quit and the login window is what is left.
  w->dialogs.AnswerConfirm(true);
  T().SpeedButton6Click();
  EXPECT_FALSE(T().isVisible());
  EXPECT_EQ(Verbs("QUIT").size(), 1u);
  EXPECT_FALSE(transfer::Session().Connected);
  // Without a session: no question.
  const std::size_t asked = w->dialogs.asked().size();
  T().SpeedButton6Click();
  T().SpeedButton5Click();
  EXPECT_EQ(w->dialogs.asked().size(), asked);
  EXPECT_EQ(w->terminations, 1);
}

// Both queues through the window against a real server: files chosen in
// the server's list come down, and a local file goes up into "up".
void DownloadAndUploadAreByteExact(vektest::FtpServerPeer& peer, const std::string& user, const std::string& password) {
  Write(peer.Root() / "one.bin", Pattern(300000, '1'));
  Write(peer.Root() / "two.txt", "two\n");
  testsupport::TempFolder local, config;
  Write(fs::path(local.Path()) / "Up.Bin", Pattern(123457, 'u'));
  Windows w(config.File("rirarar.ini"));
  w.Login(std::to_string(peer.Port()), user, password, local.Path());
  ASSERT_TRUE(transfer::Session().Connected);
  TTransferForm& t = *w.transferForm;
  Select(t.RemoteListView, {"one.bin", "two.txt"});
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  EXPECT_TRUE(Holds(local.File("one.bin"), Pattern(300000, '1')));
  EXPECT_TRUE(Holds(local.File("two.txt"), "two\n"));

  t.RemoteTreeView->setCurrentItem(t.RemoteRootNode->child(0));  // "up", the writable folder
  t.LocalDirTree->SelectPath(local.Path() + "/");
  Select(t.LocalListView, {"up.bin"});
  t.RemoteListViewDragDrop(t.RemoteListView, t.LocalListView, 0, 0);
  EXPECT_TRUE(Holds((peer.Upload() / "up.bin").string(), Pattern(123457, 'u')));
  EXPECT_TRUE(w.dialogs.Messages().empty()) << w.dialogs.Messages()[0];
}

TEST(QueueVsftpd, DownloadAndUploadAreByteExact) {
  vektest::VsftpdPeer peer;
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  DownloadAndUploadAreByteExact(peer, "anonymous", "me@example.org");
}

// pure-ftpd answers every transfer in multi-line replies.
TEST(QueuePureFtpd, DownloadAndUploadAreByteExact) {
  vektest::PureFtpdPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start(error)) << error;
  DownloadAndUploadAreByteExact(peer, "demo", "pw");
}

}  // namespace
