// The transfer queues driven from the transfer window: drops between the
// lists, resume and append questions, failures inside a queue, hostile names,
// the representation, the tool bar; against the free-running test server and
// vsftpd and pure-ftpd, every file compared byte for byte.
#include <filesystem>
#include <fstream>

#include <QAction>
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

TEST(QueueSteps, TargetsAndProgress) {
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

TEST_F(Queue, DownloadsRunFromTheEndAndTheQueueGoesOnAfterResumeAndSkip) {
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
  // The end of the queue: what became of it, and the local list read again
  // from the disk.
  EXPECT_EQ(T().StatusBar1->PanelText(1), "3 files transferred, 0 skipped, 0 failed");
  EXPECT_EQ(With(Windows::Lines(w->form1->Memo1), "3 files transferred").size(), 1u);
  EXPECT_EQ(Verbs("TYPE").back(), "TYPE I");
  EXPECT_GE(RowOf(T().LocalListView, "c.bin"), 0);

  // Lower-case names asked for: the server is asked for the name as listed.
  w->form1->ForceLowerCB->setChecked(true);
  Select(T().RemoteListView, {"UPPER.TXT"});
  DropOnLocal();
  EXPECT_EQ(Verbs("RETR").back(), "RETR UPPER.TXT");
  EXPECT_TRUE(Holds(local.File("upper.txt"), "upper\n"));

  // Four files, two of them here already: Resume for the first, Skip leaves
  // the second as it is, and the queue goes on with the others. zz.bin
  // comes last in the list, so it is the first of the queue; the rate panel
  // says nothing of the file before while a question is up.
  w->form1->ForceLowerCB->setChecked(false);
  Write(fs::path(remote.Path()) / "zz.bin", Pattern(1048576, 'z'));
  Write(fs::path(remote.Path()) / "D.bin", Pattern(777, 'd'));
  Write(fs::path(remote.Path()) / "E.bin", Pattern(6, 'e'));
  Write(fs::path(remote.Path()) / "F.bin", Pattern(60, 'f'));
  Write(fs::path(local.Path()) / "zz.bin", Pattern(1048576, 'z').substr(0, 300000));
  Write(fs::path(local.Path()) / "D.bin", "mine");
  T().RemoteTreeViewChange(nullptr, T().RemoteRootNode);
  const std::size_t retrBefore = Verbs("RETR").size();
  struct Asking : plat::ScriptedDialogs {
    TTransferForm* t = nullptr;
    std::vector<std::string> ratePanels;
    int ChooseWithCheck(const std::string& text, const std::vector<std::string>& buttons,
                        const std::string& checkText, bool& checked, const std::string& caption) override {
      ratePanels.push_back(t->StatusBar1->PanelText(2));
      return ScriptedDialogs::ChooseWithCheck(text, buttons, checkText, checked, caption);
    }
  } asking;
  asking.t = &T();
  plat::ScopedDialogs scoped(&asking);
  asking.AnswerCheckedChoice(0, false);  // Resume
  asking.AnswerCheckedChoice(3, false);  // Skip
  Select(T().RemoteListView, {"D.bin", "E.bin", "F.bin", "zz.bin"});
  DropOnLocal();
  const std::string resume = "File allready exists, do you whant to resume download ? ";
  ASSERT_EQ(asking.asked().size(), 2u);
  for (const auto& question : asking.asked()) EXPECT_EQ(question.text.rfind(resume, 0), 0u);
  EXPECT_EQ(asking.ratePanels, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(Verbs("REST").back(), "REST 300000");
  EXPECT_TRUE(Holds(local.File("zz.bin"), Pattern(1048576, 'z')));
  EXPECT_TRUE(Holds(local.File("E.bin"), Pattern(6, 'e')));
  EXPECT_TRUE(Holds(local.File("F.bin"), Pattern(60, 'f')));
  EXPECT_TRUE(Holds(local.File("D.bin"), "mine"));
  EXPECT_EQ(Verbs("RETR").size(), retrBefore + 3);
  EXPECT_EQ(With(Windows::Lines(T().Memo1), "! Skipped "),
            std::vector<std::string>{"! Skipped /D.bin -> " + local.File("D.bin") +
                                     ": the file exists: Skip was chosen"});
  EXPECT_EQ(T().StatusBar1->PanelText(1), "3 files transferred, 1 skipped, 0 failed");
}

TEST_F(Queue, FailedAndHostileEntriesAreSkippedAndLeaveNothingBehind) {
  Write(fs::path(remote.Path()) / "good.txt", "good\n");
  Write(fs::path(remote.Path()) / "gone.txt", "soon gone\n");
  // Terminal escapes in a name: a later "ls" of the folder must not run them.
  const std::string escaping = "red\x1b[31m\x07\x7f.txt";
  Write(fs::path(remote.Path()) / escaping, "red\n");
  data.extraListing =
      "-rw-r--r--   1 ftp      ftp            5 Jan  5 12:30 ..\r\n"
      "-rw-r--r--   1 ftp      ftp            5 Jan  5 12:30 ../../escape.txt\r\n"
      "lrwxrwxrwx   1 ftp      ftp            5 Jan  5 12:30 link -> ../secret.txt\r\n";
  Connect();
  fs::remove(remote.File("gone.txt"));
  w->dialogs.Clear();
  Select(T().RemoteListView, {"good.txt", "gone.txt", "../../escape.txt", "link -> ../secret.txt", escaping.c_str()});
  DropOnLocal();
  // The failure shows its box, the hostile names are refused in both logs,
  // and the good files still come.
  ASSERT_FALSE(w->dialogs.Messages().empty());
  EXPECT_EQ(w->dialogs.Messages()[0].rfind("Error: 550", 0), 0u) << w->dialogs.Messages()[0];
  EXPECT_TRUE(Holds(local.File("good.txt"), "good\n"));
  EXPECT_TRUE(Holds(local.File("red%1B[31m%07%7F.txt"), "red\n"));
  EXPECT_FALSE(fs::exists(local.File("gone.txt")));
  for (TLogMemo* memo : {w->form1->Memo1, T().Memo1}) {
    const auto lines = Windows::Lines(memo);
    EXPECT_EQ(With(lines, "! Refused the server's file name").size(), 2u);
    EXPECT_EQ(With(lines, "! The server's file name holds control characters: stored as " +
                              local.File("red%1B[31m%07%7F.txt"))
                  .size(),
              1u);
  }
  EXPECT_EQ(Verbs("RETR"), (std::vector<std::string>{"RETR " + escaping, "RETR good.txt", "RETR gone.txt"}));
  EXPECT_FALSE(fs::exists(fs::path(local.Path()).parent_path() / "escape.txt"));
  // The end names each file left out, and why; the local list holds only
  // what arrived.
  const auto lines = Windows::Lines(T().Memo1);
  EXPECT_EQ(With(lines, "! Failed /gone.txt -> " + local.File("gone.txt") + ": 550").size(), 1u);
  EXPECT_EQ(With(lines, "! Skipped /../../escape.txt: the server's name cannot be a local file name").size(), 1u);
  EXPECT_EQ(T().StatusBar1->PanelText(1), "2 files transferred, 2 skipped, 1 failed");
  EXPECT_EQ(RowOf(T().LocalListView, "gone.txt"), -1);
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
  w->dialogs.AnswerCheckedChoice(0, false);  // Append
  DropOnRemote();
  EXPECT_EQ(w->dialogs.asked().back().text.rfind("File allready exists, do you whant to append upload ? ", 0), 0u);
  EXPECT_EQ(Verbs("APPE"), (std::vector<std::string>{"APPE two.bin"}));
  EXPECT_TRUE(localList->SelectedRows().empty());
  // The queue goes on after the append.
  EXPECT_EQ(Verbs("STOR"), (std::vector<std::string>{"STOR readme.txt"}));
  EXPECT_TRUE(Holds(remote.File("two.bin"), "head:" + Pattern(70000, 't')));
  EXPECT_TRUE(Holds(remote.File("readme.txt"), Pattern(3000, 'r')));
  // Text for the transfer (the radio group), and the relisting after it.
  const auto commands = server->Commands();
  const auto stor = std::find(commands.begin(), commands.end(), "STOR readme.txt");
  EXPECT_EQ(*std::find_if(std::make_reverse_iterator(stor), commands.rend(),
                          [](const std::string& c) { return c.rfind("TYPE", 0) == 0; }),
            "TYPE A");
  EXPECT_GE(RowOf(T().RemoteListView, "readme.txt"), 0);

  // Nothing selected: nothing starts.
  const std::size_t sent = server->Commands().size();
  DropOnRemote();
  EXPECT_EQ(server->Commands().size(), sent);
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
  Write(fs::path(remote.Path()) / "pub" / "after.bin", "after");
  T().RefreshRemote();
  QTimer::singleShot(300, T().SpeedButton1, [this] { T().SpeedButton1->click(); });
  Select(T().RemoteListView, {"after.bin", "slow.bin"});
  DropOnLocal();
  data.slowChunk = 0;
  EXPECT_TRUE(transfer::Session().Connected);
  EXPECT_EQ(Verbs("USER").size(), 2u);
  EXPECT_EQ(Verbs("CWD").back(), "CWD /pub");
  EXPECT_FALSE(fs::exists(local.File("slow.bin")));
  EXPECT_GE(RowOf(T().RemoteListView, "slow.bin"), 0);
  // The rest of the queue is left, and the log says so.
  EXPECT_FALSE(fs::exists(local.File("after.bin")));
  const auto lines = Windows::Lines(T().Memo1);
  EXPECT_EQ(With(lines, "! Failed /pub/slow.bin -> ").size(), 1u);
  EXPECT_EQ(With(lines, "! Skipped /pub/after.bin -> " + local.File("after.bin") + ": the queue was aborted").size(), 1u);
  EXPECT_EQ(With(lines, "0 files transferred, 1 skipped, 1 failed").size(), 1u);

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

// The engine's first progress in a transfer runs Action once, as a click
// that the window's event processing would deliver then.
void OnFirstProgress(TForm1& f, std::function<void()> Action) {
  auto inner = f.FtpClient1->OnProgress;
  auto fired = std::make_shared<bool>(false);
  f.FtpClient1->OnProgress = [inner, fired, Action](TCustomFtpCli* s, std::int64_t count, bool& abort) {
    inner(s, count, abort);
    if (*fired || count == 0) return;
    *fired = true;
    Action();
  };
}

// While a download runs, nothing the user does reaches the engine: a tree
// click, F5, a command of the server's menu, New and Connect are refused
// with a line in the status bar, a drop joins the queue, and the file that
// runs arrives whole.
TEST_F(Queue, WhileADownloadRunsOtherCommandsAreRefusedAndDropsJoinTheQueue) {
  fs::create_directories(fs::path(remote.Path()) / "pub" / "sub");
  Write(fs::path(remote.Path()) / "big.bin", Pattern(300000, 'g'));
  Write(fs::path(remote.Path()) / "x.txt", "x\n");
  Write(fs::path(remote.Path()) / "y.txt", "y\n");
  Connect();
  data.slowChunk = 16384;
  data.slowPauseMs = 10;
  std::vector<std::string> refusals;
  OnFirstProgress(*w->form1, [&] {
    T().RemoteTreeView->setCurrentItem(T().RemoteRootNode->child(0));
    refusals.push_back(T().StatusBar1->PanelText(1));
    T().RemoteRefresh1->trigger();
    refusals.push_back(T().StatusBar1->PanelText(1));
    T().RemoteNewFolder1->trigger();
    refusals.push_back(T().StatusBar1->PanelText(1));
    T().SpeedButton6->click();
    refusals.push_back(T().StatusBar1->PanelText(1));
    w->form1->ConnectBut->click();
    refusals.push_back(w->form1->StatusBar1->PanelText(1));
    EXPECT_EQ(T().StatusBar1->PanelText(0), "Busy:");
    Select(T().RemoteListView, {"x.txt", "y.txt"});
    DropOnLocal();
  });
  Select(T().RemoteListView, {"big.bin"});
  DropOnLocal();
  QCoreApplication::processEvents();  // the refused tree click is undone

  const char* busy = ": busy transferring files. Wait, or press Abort.";
  EXPECT_EQ(refusals, (std::vector<std::string>{std::string("Refused \"Open /pub\"") + busy,
                                                std::string("Refused \"Refresh\"") + busy,
                                                std::string("Refused \"New folder\"") + busy,
                                                std::string("Refused \"New\"") + busy,
                                                std::string("Refused \"Connect\"") + busy}));
  EXPECT_TRUE(w->dialogs.asked().empty());
  EXPECT_EQ(Verbs("RETR"), (std::vector<std::string>{"RETR big.bin", "RETR y.txt", "RETR x.txt"}));
  EXPECT_TRUE(Holds(local.File("big.bin"), Pattern(300000, 'g')));
  EXPECT_TRUE(Holds(local.File("x.txt"), "x\n"));
  EXPECT_TRUE(Holds(local.File("y.txt"), "y\n"));
  EXPECT_TRUE(With(Windows::Lines(T().Memo1), "! Removed").empty());
  EXPECT_EQ(T().StatusBar1->PanelText(1), "3 files transferred, 0 skipped, 0 failed");
  EXPECT_EQ(T().StatusBar1->PanelText(0), "Status:");
  // The tree shows what it showed, and "pub" holds no folders but its own.
  EXPECT_EQ(T().RemoteTreeView->currentItem(), T().RemoteRootNode);
  EXPECT_EQ(T().RemoteRootNode->child(0)->childCount(), 0);
  EXPECT_EQ(Verbs("CWD"), std::vector<std::string>{"CWD /"});
}

// Files whose names differ only in letter case show apart, and one never
// replaces the other on the server.
TEST_F(Queue, LocalNamesThatDifferOnlyInLetterCaseNeverReplaceEachOther) {
  Write(fs::path(local.Path()) / "Report 2026.PDF", Pattern(300000, 'R'));
  Write(fs::path(local.Path()) / "report 2026.pdf", Pattern(1000, 'r'));
  Write(fs::path(local.Path()) / "Other.TXT", "other");
  Connect();
  TFileListView* list = T().LocalListView;
  EXPECT_EQ(Windows::Captions(list), (std::vector<std::string>{"other.txt", "report 2026.pdf", "Report 2026.PDF"}));

  // Lower case forced: both would be "report 2026.pdf". The second asks
  // first, and Skip leaves the first whole.
  w->form1->ForceLowerCB->setChecked(true);
  Select(list, {"Report 2026.PDF", "report 2026.pdf"});
  DropOnRemote();
  ASSERT_EQ(w->dialogs.asked().size(), 1u);
  EXPECT_EQ(w->dialogs.asked()[0].text.rfind("File allready exists, do you whant to append upload ? ", 0), 0u);
  const std::string stored = ReadFile(remote.File("report 2026.pdf"));
  EXPECT_TRUE(stored == Pattern(300000, 'R') || stored == Pattern(1000, 'r')) << stored.size();
  EXPECT_EQ(T().StatusBar1->PanelText(1), "1 file transferred, 1 skipped, 0 failed");

  // Not forced: each under its own name.
  fs::remove(remote.File("report 2026.pdf"));
  w->form1->ForceLowerCB->setChecked(false);
  T().RefreshRemote();
  Select(list, {"Report 2026.PDF", "report 2026.pdf"});
  DropOnRemote();
  EXPECT_TRUE(Holds(remote.File("Report 2026.PDF"), Pattern(300000, 'R')));
  EXPECT_TRUE(Holds(remote.File("report 2026.pdf"), Pattern(1000, 'r')));
  EXPECT_EQ(w->dialogs.asked().size(), 1u);
}

// A folder clicked while a long one is still being read: the list holds
// that folder's files only, and an upload takes them from there.
TEST_F(Queue, AFolderClickedWhileAnotherIsReadShowsOnlyItsOwnFiles) {
  const fs::path many = fs::path(local.Path()) / "many";
  const fs::path few = fs::path(local.Path()) / "few";
  fs::create_directories(many);
  fs::create_directories(few);
  for (int i = 0; i < 200; ++i) Write(many / ("m" + std::to_string(i) + ".txt"), "many");
  for (const char* name : {"a.txt", "b.txt"}) Write(few / name, std::string("few ") + name);
  Connect();
  // The fill lets events run every 20 files; the click is the first of them.
  QTimer::singleShot(0, T().LocalDirTree, [&] { T().LocalDirTree->SelectPath(few.string() + "/"); });
  T().LocalDirTree->SelectPath(many.string() + "/");
  QCoreApplication::processEvents();
  EXPECT_EQ(Windows::Captions(T().LocalListView), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(T().LocalListFolder(), few.string() + "/");
  Select(T().LocalListView, {"a.txt", "b.txt"});
  DropOnRemote();
  EXPECT_TRUE(Holds(remote.File("a.txt"), "few a.txt"));
  EXPECT_TRUE(Holds(remote.File("b.txt"), "few b.txt"));
}

// A long queue runs file after file from one loop: the request-done
// handler is entered at the same stack depth for the last file as for the
// first, where a queue that started each file from the previous one's
// completion went one level deeper per file.
TEST_F(Queue, TenThousandFilesRunAtOneStackDepth) {
  constexpr int kFiles = 10000;
  for (int i = 0; i < kFiles; ++i) Write(fs::path(remote.Path()) / ("f" + std::to_string(i)), std::to_string(i));
  Connect();
  ASSERT_EQ(T().RemoteListView->Count(), kFiles);
  auto inner = w->form1->FtpClient1->OnRequestDone;
  int depth = 0, deepest = 0;
  std::uintptr_t lowest = UINTPTR_MAX, highest = 0;
  w->form1->FtpClient1->OnRequestDone = [&](TCustomFtpCli* s, TFtpRequest r, std::uint16_t e) {
    const char here = 0;
    const auto at = reinterpret_cast<std::uintptr_t>(&here);
    lowest = std::min(lowest, at);
    highest = std::max(highest, at);
    deepest = std::max(deepest, ++depth);
    inner(s, r, e);
    --depth;
  };
  T().RemoteListView->selectAll();
  DropOnLocal();
  EXPECT_EQ(T().StatusBar1->PanelText(1), std::to_string(kFiles) + " files transferred, 0 skipped, 0 failed");
  EXPECT_EQ(T().LocalListView->Count(), kFiles);
  for (int i : {0, 1, kFiles / 2, kFiles - 1}) EXPECT_TRUE(Holds(local.File("f" + std::to_string(i)), std::to_string(i)));
  EXPECT_EQ(deepest, 1);
  EXPECT_LT(highest - lowest, 64u * 1024u);
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
