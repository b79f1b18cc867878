// FTP over TLS through the windows: the "Encryption" choice of a profile,
// the certificate box (trusted for good, then a changed certificate), the
// encryption panel and log lines, files both ways over vsftpd requiring
// TLS; and a server without TLS when TLS is only wanted if available.
#include <filesystem>
#include <fstream>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "controls/status_bar.h"
#include "dirtree/dirtree.h"
#include "platform/inifile.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/session/window_fixture.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;
using vektest::Windows;

int Count(const std::vector<std::string>& lines, const std::string& prefix) { return Windows::CountStarting(lines, prefix); }

std::vector<std::string> Choices(const plat::ScriptedDialogs& d) {
  std::vector<std::string> texts;
  for (const auto& a : d.asked())
    if (a.kind == plat::ScriptedDialogs::Kind::Choice) texts.push_back(a.text);
  return texts;
}

TEST(FtpsWindow, CertificateTrustedForGoodThenFilesBothWaysThenAChangedCertificateIsRefused) {
  testsupport::TempFolder work, local, config;
  const vektest::TestCertificate cert = vektest::MakeTestCertificate(work.Path(), "vsftpd", {});
  vektest::VsftpdPeer peer({vektest::VsftpdTls::Explicit, cert});
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  WriteFile((peer.Root() / "secret.bin").string(), std::string(200000, 's'));
  WriteFile(local.File("mine.txt"), "local file\n");

  Windows w(config.File("rirarar.ini"));
  TForm1& f = *w.form1;
  const std::string trust = work.File("trusted-certificates");
  f.FtpClient1->SetTrustFile(trust);
  Windows::FillServer(f, std::to_string(peer.Port()), "anonymous", "me@example.org");
  f.EncryptionCB->setCurrentIndex(session::encExplicit);
  f.InitialLocalDirEdit->setText(QString::fromStdString(local.Path() + "/"));
  w.dialogs.AnswerChoice(0);  // Trust always
  f.ConnectBut->click();
  ASSERT_TRUE(transfer::Session().Connected) << f.Memo1->toPlainText().toStdString();
  const auto asked = Choices(w.dialogs);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].rfind("The certificate of 127.0.0.1:" + std::to_string(peer.Port()) + " could not be verified.", 0), 0u);
  EXPECT_NE(asked[0].find("SHA-256 fingerprint: " + cert.fingerprint), std::string::npos) << asked[0];
  EXPECT_NE(ReadFile(trust).find(std::to_string(peer.Port())), std::string::npos);
  TTransferForm& t = *w.transferForm;
  EXPECT_EQ(t.StatusBar1->PanelText(3).rfind("TLSv1.", 0), 0u);
  EXPECT_EQ(f.StatusBar1->PanelText(3), t.StatusBar1->PanelText(3));
  const auto lines = Windows::Lines(t.Memo1);
  EXPECT_EQ(Count(lines, "! TLS TLSv1."), 1);
  EXPECT_EQ(Count(lines, "! Certificate "), 1);
  EXPECT_EQ(Count(lines, "> PROT P"), 1);

  // Both ways through the queue, encrypted.
  t.RemoteListView->selectAll();
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  EXPECT_EQ(ReadFile(local.File("secret.bin")), std::string(200000, 's'));
  t.RemoteTreeView->setCurrentItem(t.RemoteRootNode->child(0));  // "up"
  for (int i = 0; i < t.LocalListView->Count(); ++i)
    t.LocalListView->SelectRow(i, t.LocalListView->Row(i).Caption == "mine.txt");
  t.RemoteListViewDragDrop(t.RemoteListView, t.LocalListView, 0, 0);
  EXPECT_EQ(ReadFile((peer.Upload() / "mine.txt").string()), "local file\n");
  EXPECT_TRUE(w.dialogs.Messages().empty()) << w.dialogs.Messages()[0];

  // Trusted now: a new session asks nothing.
  f.ConnectBut->click();
  ASSERT_TRUE(transfer::Session().Connected);
  EXPECT_EQ(Choices(w.dialogs).size(), 1u);

  // Another certificate for the same server: the box warns, Cancel ends it.
  {
    std::ofstream(trust) << "127.0.0.1:" << peer.Port() << " 00:11:22\n";
  }
  f.ConnectBut->click();
  EXPECT_FALSE(transfer::Session().Connected);
  ASSERT_EQ(Choices(w.dialogs).size(), 2u);
  EXPECT_EQ(Choices(w.dialogs)[1].rfind("WARNING: the certificate of", 0), 0u);
  ASSERT_FALSE(w.dialogs.Messages().empty());
  EXPECT_EQ(w.dialogs.Messages().back().rfind("Error: 500 The server's certificate has changed", 0), 0u)
      << w.dialogs.Messages().back();
  EXPECT_EQ(Count(Windows::Lines(f.Memo1), "> USER"), 0) << "no login after a refused certificate";
}

TEST(FtpsWindow, WithoutTlsAtTheServerOnlyIfAvailableConnectsAndSaysSo) {
  testsupport::TempFolder served, config;
  vektest::FtpServeOptions options;
  options.root = served.Path();
  options.password = "secret";
  vektest::FtpTestServer server(options);
  vektest::ServedData data;
  data.Install(server);
  Windows w(config.File("rirarar.ini"));
  TForm1& f = *w.form1;
  // A first start: TLS if available; the choice is kept with the profile,
  // and implicit TLS brings its own port.
  EXPECT_EQ(f.EncryptionCB->currentIndex(), session::encIfAvailable);
  f.EncryptionCB->setCurrentIndex(session::encImplicit);
  f.EncryptionCBChange();
  EXPECT_EQ(f.PortEdit->text().toStdString(), "990");
  f.EncryptionCB->setCurrentIndex(session::encExplicit);
  f.EncryptionCBChange();
  EXPECT_EQ(f.PortEdit->text().toStdString(), "21");

  Windows::FillServer(f, server.PortText(), "user", "secret");
  f.EncryptionCB->setCurrentIndex(session::encIfAvailable);
  f.ConnectBut->click();
  ASSERT_TRUE(transfer::Session().Connected);
  const auto commands = server.Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[0], "AUTH TLS");
  EXPECT_EQ(commands[1], "AUTH SSL");
  EXPECT_EQ(commands[2], "USER user");
  EXPECT_EQ(Count(Windows::Lines(f.Memo1), "! The server offers no TLS: this session is not encrypted"), 1);
  EXPECT_EQ(w.transferForm->StatusBar1->PanelText(3), "Not encrypted");
  EXPECT_TRUE(w.dialogs.Messages().empty()) << w.dialogs.Messages()[0];

  // Required: the session ends before the login.
  f.EncryptionCB->setCurrentIndex(session::encExplicit);
  f.ConnectBut->click();
  EXPECT_FALSE(transfer::Session().Connected);
  ASSERT_FALSE(w.dialogs.Messages().empty());
  EXPECT_NE(w.dialogs.Messages()[0].find("The server offers no FTP over TLS"), std::string::npos);
  const auto after = server.Commands();
  EXPECT_EQ(std::count(after.begin(), after.end(), "USER user"), 1);

  f.SaveProfileCB->setChecked(true);
  w.dialogs.AnswerInput(std::string("TLS SITE"));
  f.UpdateProfile();
  EXPECT_EQ(plat::IniFile(config.File("rirarar.ini")).ReadString("TLS SITE", "Encryption", ""), "1");
}

}  // namespace
