// Pictures of the login window on both pages and of the transfer window
// after connecting to vsftpd, into build/screenshots/ (offscreen, and under a
// real X server when the xvfb run sets VEK_SCREENSHOT_TAG).
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QProgressBar>
#include <QTabWidget>
#include <QTimer>

#include "controls/status_bar.h"
#include "transfer/file_list_view.h"
#include <gtest/gtest.h>

#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/session/window_fixture.h"

namespace {

namespace fs = std::filesystem;

void Shoot(QWidget& widget, const std::string& name) {
  const char* tag = std::getenv("VEK_SCREENSHOT_TAG");
  const fs::path folder = VEK_SCREENSHOT_DIR;
  fs::create_directories(folder);
  const std::string file = (folder / (name + (tag != nullptr ? tag : "") + ".png")).string();
  for (TLogMemo* memo : widget.window()->findChildren<TLogMemo*>()) memo->Flush();
  ASSERT_TRUE(widget.window()->grab().save(QString::fromStdString(file), "PNG"));
  EXPECT_GT(fs::file_size(file), 1000u);
  std::printf("screenshot: %s\n", file.c_str());
}

TEST(Screenshot, LoginWindowPagesAndTheTransferWindowOnVsftpd) {
  vektest::VsftpdPeer peer;
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  fs::create_directories(peer.Root() / "pub" / "docs");
  fs::create_directories(peer.Root() / "incoming");
  std::ofstream((peer.Root() / "README.TXT").string()) << "Welcome\n";
  std::ofstream((peer.Root() / "pub" / "notes.txt").string()) << "notes\n";
  std::ofstream((peer.Root() / "pub" / "data.bin").string()) << std::string(70000, 'd');

  testsupport::TempFolder config;
  vektest::Windows w(config.File("rirarar.ini"));
  TForm1& f = *w.form1;
  w.dialogs.AnswerInput(std::string("vsftpd"));
  f.NewSiteButClick();
  f.HostNameEdit->setText("127.0.0.1");
  f.UserNameEdit->setText("anonymous");
  f.PasswordEdit->setText("guest@example.org");
  f.PortEdit->setText(QString::number(peer.Port()));
  f.InitialDirEdit->setText("/pub");
  f.show();
  QApplication::processEvents();
  Shoot(f, "login_page1");
  f.PageControl1->setCurrentIndex(1);
  QApplication::processEvents();
  Shoot(f, "login_page2");
  f.PageControl1->setCurrentIndex(0);

  f.ConnectBut->click();
  ASSERT_TRUE(transfer::Session().Connected) << f.Memo1->toPlainText().toStdString();
  QApplication::processEvents();
  Shoot(*w.transferForm, "transfer_connected_vsftpd");
}

// A queue of four files, one of them here already (the resume question is
// answered No): in the middle, the busy status and the file that moves; at
// the end, the summary and the file that was left out.
TEST(Screenshot, TransferWindowDuringAQueueAndAtItsEnd) {
  testsupport::TempFolder remote, local, config;
  const std::string bytes(600000, 'x');
  for (const char* name : {"ubuntu-notes.iso", "photos-2026.zip", "report.pdf", "readme.txt"})
    std::ofstream(remote.File(name), std::ios::binary) << bytes;
  std::ofstream(local.File("readme.txt"), std::ios::binary) << "mine";
  vektest::FtpServeOptions options;
  options.root = remote.Path();
  options.password = "secret";
  vektest::FtpTestServer server(options);
  vektest::ServedData data;
  data.Install(server);
  vektest::Windows w(config.File("rirarar.ini"));
  w.Login(server.PortText(), "user", "secret", local.Path());
  ASSERT_TRUE(transfer::Session().Connected);
  TTransferForm& t = *w.transferForm;
  t.show();
  t.RemoteListView->selectAll();
  data.slowChunk = 20000;
  data.slowPauseMs = 25;
  int barSeen = 0;
  std::string busy, status;
  QTimer::singleShot(500, &t, [&] {
    barSeen = t.ProgressBar1->value();
    busy = t.StatusBar1->PanelText(0);
    status = t.StatusBar1->PanelText(1);
    Shoot(t, "transfer_queue_running");
  });
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  EXPECT_GT(barSeen, 0);
  EXPECT_EQ(busy, "Busy:");
  EXPECT_EQ(status.rfind("Downloading : ", 0), 0u) << status;
  EXPECT_EQ(testsupport::ReadFile(local.File("ubuntu-notes.iso")), bytes);
  EXPECT_EQ(t.StatusBar1->PanelText(1), "3 files transferred, 1 skipped, 0 failed");
  QApplication::processEvents();
  Shoot(t, "transfer_queue_summary");
}

}  // namespace
