// Pictures of the login window on both pages and of the transfer window
// after connecting to vsftpd, into build/screenshots/ (offscreen, and under a
// real X server when the xvfb run sets VEK_SCREENSHOT_TAG).
#include <cstdio>
#include <filesystem>
#include <regex>
#include <fstream>

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
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
  std::string busy, status, running;
  QTimer::singleShot(500, &t, [&] {
    barSeen = t.ProgressBar1->value();
    busy = t.StatusBar1->PanelText(0);
    status = t.StatusBar1->PanelText(1);
    for (std::size_t i = 0; i < w.form1->QueueRows(); ++i)
      if (w.form1->QueueRow(i).State.find("% at ") != std::string::npos) running = w.form1->QueueRow(i).State;
    Shoot(t, "transfer_queue_running");
  });
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  EXPECT_GT(barSeen, 0);
  EXPECT_EQ(busy, "Busy:");
  EXPECT_EQ(status.rfind("Downloading : ", 0), 0u) << status;
  // The queue pane's row of that file: its percentage and rate.
  EXPECT_TRUE(std::regex_match(running, std::regex("[0-9]+% at [0-9.]+ [KM]B/s"))) << running;
  EXPECT_EQ(testsupport::ReadFile(local.File("ubuntu-notes.iso")), bytes);
  EXPECT_EQ(t.StatusBar1->PanelText(1), "3 files transferred, 1 skipped, 0 failed");
  QApplication::processEvents();
  Shoot(t, "transfer_queue_summary");
}

// Connected to vsftpd over TLS after "Trust this time": the box as it was
// asked, and the transfer window with its encryption panel.
TEST(Screenshot, CertificateBoxAndTheTransferWindowOverTls) {
  testsupport::TempFolder work, config;
  const vektest::TestCertificate cert = vektest::MakeTestCertificate(work.Path(), "vsftpd", {});
  vektest::VsftpdPeer peer({vektest::VsftpdTls::Explicit, cert});
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  std::ofstream((peer.Root() / "README.TXT").string()) << "Welcome\n";
  fs::create_directories(peer.Root() / "pub");
  vektest::Windows w(config.File("rirarar.ini"));
  TForm1& f = *w.form1;
  f.FtpClient1->SetTrustFile(work.File("trusted"));
  vektest::Windows::FillServer(f, std::to_string(peer.Port()), "anonymous", "me@example.org");
  f.EncryptionCB->setCurrentIndex(session::encExplicit);
  fs::create_directories(work.File("local"));
  std::ofstream(work.File("local/report.pdf")) << "report";
  f.InitialLocalDirEdit->setText(QString::fromStdString(work.File("local")));
  w.dialogs.AnswerChoice(1);
  f.ConnectBut->click();
  ASSERT_TRUE(transfer::Session().Connected) << f.Memo1->toPlainText().toStdString();
  TTransferForm& t = *w.transferForm;
  EXPECT_EQ(t.StatusBar1->PanelText(3).rfind("TLSv1.", 0), 0u);
  QApplication::processEvents();
  Shoot(t, "transfer_connected_tls");

  const std::string question =
      TForm1::CertificateQuestion("127.0.0.1:" + std::to_string(peer.Port()), f.FtpClient1->TlsInfo(), false);
  std::unique_ptr<QMessageBox> box = plat::ChoiceBox(question, TForm1::CertificateChoices(), "Certificate");
  box->show();
  QApplication::processEvents();
  Shoot(*box, "certificate_box");
}

}  // namespace
