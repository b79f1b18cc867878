// What servers offer beyond RFC 959, through the windows: exact MLSD times
// in the remote list, names with non-ASCII letters both ways, copies that
// keep the original's time (MFMT on pure-ftpd, MDTM on vsftpd), and the
// keep-alive NOOP that stays out of the log.
#include <fcntl.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

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

using testsupport::MTime;

void SetMTime(const std::string& Path, std::int64_t Seconds) { ASSERT_TRUE(testsupport::SetMTime(Path, Seconds)); }

void Select(TFileListView* list, const std::string& Caption) {
  for (int i = 0; i < list->Count(); ++i) list->SelectRow(i, list->Row(i).Caption == Caption);
}

// Runs the loop until Done or 5 s have passed.
template <typename F>
bool WaitFor(F Done) {
  QElapsedTimer clock;
  clock.start();
  while (!Done() && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  return Done();
}

TEST(ServerFeaturesWindow, ExactTimesAndNamesBothWays) {
  const std::int64_t served = 1577934245;  // 2020-01-02 03:04:05 UTC
  const std::int64_t mine = 1262401445;    // 2010-01-02 03:04:05 UTC
  for (const bool pure : {true, false}) {
    SCOPED_TRACE(pure ? "pure-ftpd" : "vsftpd");
    std::unique_ptr<vektest::FtpServerPeer> peer;
    if (pure)
      peer = std::make_unique<vektest::PureFtpdPeer>();
    else
      peer = std::make_unique<vektest::VsftpdPeer>();
    std::string error;
    if (!peer->Start(error)) GTEST_SKIP() << error;
    fs::create_directories(peer->Upload());
    const std::string theirs = (peer->Upload() / "Zürich été.txt").string();
    WriteFile(theirs, "theirs\n");
    SetMTime(theirs, served);
    testsupport::TempFolder local, config;
    WriteFile(local.File("ünï.txt"), "mine\n");
    SetMTime(local.File("ünï.txt"), mine);

    Windows w(config.File("rirarar.ini"));
    TForm1& f = *w.form1;
    ASSERT_TRUE(f.PreserveTimesCB->isChecked());
    w.Login(std::to_string(peer->Port()), pure ? "demo" : "anonymous", pure ? "pw" : "me@example.org",
            local.Path() + "/");
    ASSERT_TRUE(transfer::Session().Connected) << f.Memo1->toPlainText().toStdString();
    TTransferForm& t = *w.transferForm;
    t.RemoteTreeView->setCurrentItem(t.RemoteRootNode->child(0));  // "up"
    ASSERT_EQ(Windows::Captions(t.RemoteListView), std::vector<std::string>{"Zürich été.txt"});
    if (pure) {
      EXPECT_EQ(t.RemoteListView->Row(0).Date, LocalTimeText(served));
    }

    Select(t.RemoteListView, "Zürich été.txt");
    t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
    EXPECT_EQ(ReadFile(local.File("Zürich été.txt")), "theirs\n");
    EXPECT_EQ(MTime(local.File("Zürich été.txt")), served);

    Select(t.LocalListView, "ünï.txt");
    t.RemoteListViewDragDrop(t.RemoteListView, t.LocalListView, 0, 0);
    EXPECT_EQ(ReadFile((peer->Upload() / "ünï.txt").string()), "mine\n");
    EXPECT_EQ(MTime((peer->Upload() / "ünï.txt").string()), mine);
    EXPECT_TRUE(w.dialogs.Messages().empty()) << w.dialogs.Messages()[0];
  }
}

// After the idle minute (shortened here) a NOOP goes out, the log does not
// show it, and the window is idle again; any command starts the minute anew.
TEST(ServerFeaturesWindow, KeepAliveNoopStaysOutOfTheLog) {
  testsupport::TempFolder root, local, config;
  vektest::FtpServeOptions options;
  options.root = root.Path();
  vektest::FtpTestServer server(options);
  vektest::ServedData data;
  data.Install(server);
  Windows w(config.File("rirarar.ini"));
  TForm1& f = *w.form1;
  ASSERT_TRUE(f.KeepAliveCB->isChecked());
  w.Login(server.PortText(), options.user, options.password, local.Path() + "/");
  ASSERT_TRUE(transfer::Session().Connected);
  f.KeepAliveTimer->setInterval(20);
  f.CommandSent();
  const auto noops = [&] {
    const auto c = server.Commands();
    return std::count(c.begin(), c.end(), "NOOP");
  };
  ASSERT_TRUE(WaitFor([&] { return noops() >= 1; }));
  EXPECT_TRUE(WaitFor([&] { return !transfer::Session().Busy(); }));
  for (const std::string& line : Windows::Lines(f.Memo1)) EXPECT_EQ(line.find("NOOP"), std::string::npos) << line;
  EXPECT_TRUE(w.dialogs.Messages().empty());
}

}  // namespace
