// The login window and the session controller against the free-running test
// server (with data connections), scripted servers and vsftpd.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
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

std::string Text(QLineEdit* e) { return e->text().toStdString(); }

std::vector<std::string> DoneLines(TLogMemo* memo) {
  std::vector<std::string> done;
  for (const std::string& l : Windows::Lines(memo))
    if (l.rfind("Done (request=", 0) == 0) done.push_back(l);
  return done;
}

const auto ListCaptions = &Windows::Captions;

std::vector<std::string> ChildTexts(QTreeWidgetItem* node) {
  std::vector<std::string> texts;
  for (int i = 0; i < node->childCount(); ++i) texts.push_back(node->child(i)->text(0).toStdString());
  return texts;
}

QTreeWidgetItem* Child(QTreeWidgetItem* node, const std::string& text) {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0).toStdString() == text) return node->child(i);
  return nullptr;
}

void Fill(TForm1& f, const std::string& port, const std::string& user, const std::string& password,
          const std::string& remoteDir) {
  Windows::FillServer(f, port, user, password);
  f.InitialDirEdit->setText(QString::fromStdString(remoteDir));
}

// A served folder: pub/linux/kernel, pub/readme.txt, file.bin.
struct ServedFolder {
  testsupport::TempFolder root;
  ServedFolder() {
    fs::create_directories(fs::path(root.Path()) / "pub/linux/kernel");
    fs::create_directories(fs::path(root.Path()) / "gone");
    std::ofstream(root.File("pub/readme.txt")) << "read me\n";
    std::ofstream(root.File("file.bin")) << std::string(1000, 'x');
  }
};

class LoginWindow : public ::testing::Test {
 protected:
  testsupport::TempFolder config;
  std::string ini = config.File("rirarar.ini");
};

TEST_F(LoginWindow, ControlsAndTheDefaultsOfAFirstStart) {
  Windows w(ini);
  TForm1& f = *w.form1;
  EXPECT_EQ(f.windowTitle().toStdString(), "Vek\xC2\xB4s FTP Client v. 1.0 Beta - Login ");
  EXPECT_EQ(f.centralWidget()->width(), 524);
  EXPECT_EQ(f.PageControl1->count(), 2);
  EXPECT_EQ(f.PageControl1->tabText(0).toStdString(), "&Login information");
  EXPECT_EQ(f.PageControl1->tabText(1).toStdString(), "&Advanced settings");
  EXPECT_EQ(f.PageControl1->size(), QSize(425, 257));
  EXPECT_EQ(f.Memo1->size(), QSize(425, 73));
  for (const char* name : {"SiteCB", "NewSiteBut", "HostNameEdit", "UserNameEdit", "PasswordEdit", "SaveProfileCB",
                           "Anonymous", "PortEdit", "InitialLocalDirEdit", "InitialDirEdit", "ForceLowerCB",
                           "AutoDirCB", "ConnectBut", "Button2", "ExitBut", "StatusBar1", "Memo1", "Image1"})
    EXPECT_NE(f.findChild<QWidget*>(name), nullptr) << name;
  EXPECT_EQ(f.ConnectBut->text().toStdString(), "&Connect");
  EXPECT_EQ(f.Button2->text().toStdString(), "&Abort");
  EXPECT_EQ(f.ExitBut->text().toStdString(), "&Exit");
  EXPECT_EQ(f.PasswordEdit->echoMode(), QLineEdit::Password);
  EXPECT_EQ(f.StatusBar1->PanelText(0), "Status:");
  EXPECT_EQ(f.StatusBar1->PanelText(1), "Not Connected");
  EXPECT_EQ(f.FtpClient1->Timeout(), 30);
  EXPECT_EQ(f.FtpClient1->Port(), "ftp");
  EXPECT_TRUE(f.FtpClient1->Binary());
  EXPECT_EQ(f.FtpClient1->ShareMode(), ftpShareDenyWrite);

  // No profile file yet: an empty list, the fields' defaults.
  EXPECT_EQ(f.SiteCB->count(), 0);
  EXPECT_EQ(f.SiteCB->currentIndex(), -1);
  EXPECT_EQ(Text(f.HostNameEdit), "");
  EXPECT_EQ(Text(f.InitialLocalDirEdit), session::HomeFolder());
  EXPECT_EQ(Text(f.PortEdit), "21");
  EXPECT_TRUE(f.ForceLowerCB->isChecked());
  EXPECT_TRUE(f.AutoDirCB->isChecked());
  EXPECT_TRUE(f.SaveProfileCB->isChecked());
  EXPECT_FALSE(fs::exists(ini));
}

TEST_F(LoginWindow, ProfilesAreCreatedSavedSortedAndReadBack) {
  const std::string password = "p\xC3\xA4ss word 1";
  {
    Windows w(ini);
    TForm1& f = *w.form1;
    for (const char* name : {"c", "a", "b"}) {
      w.dialogs.AnswerInput(std::string(name));
      f.NewSiteButClick();
    }
    EXPECT_EQ(f.SiteCB->currentText().toStdString(), "B");
    f.HostNameEdit->setText("ftp.example.org");
    f.PasswordEdit->setText(QString::fromStdString(password));
    ASSERT_TRUE(f.UpdateProfile());
    // No session bus here: the password stays in the file, scrambled, and
    // the log says so once however often it is saved.
    ASSERT_TRUE(f.UpdateProfile());
    EXPECT_EQ(Windows::CountStarting(Windows::Lines(f.Memo1),
                                     "No keyring available: the password is stored scrambled in " + ini),
              1);
    EXPECT_EQ(plat::GetPrivateProfileString("B", "PasswordStore", "<missing>", ini), "<missing>");
    EXPECT_NE(plat::GetPrivateProfileString("B", "Password", "", ini), "");

    // A name already in the list, in another case: said, and selected.
    w.dialogs.AnswerInput(std::string("a"));
    f.NewSiteButClick();
    EXPECT_EQ(w.dialogs.Messages().back(), "a already exists");
    EXPECT_EQ(f.SiteCB->currentText().toStdString(), "A");
    EXPECT_EQ(Text(f.HostNameEdit), "");

    // The user's own pick loads that profile.
    f.SiteCB->setCurrentIndex(2);
    emit f.SiteCB->activated(2);
    EXPECT_EQ(Text(f.HostNameEdit), "ftp.example.org");

    // A port that is not a number ends the save with a message.
    f.PortEdit->setText("21x");
    EXPECT_FALSE(f.UpdateProfile());
    EXPECT_EQ(w.dialogs.Messages().back(), "'21x' is not a valid integer value");
    f.PortEdit->setText("21");
  }
  struct stat st {};
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  plat::IniFile file(ini);
  EXPECT_EQ(file.ReadString("Profiles", "Name0", ""), "A");
  EXPECT_EQ(file.ReadString("Profiles", "Name1", ""), "B");
  EXPECT_EQ(file.ReadString("Profiles", "Name2", ""), "C");
  EXPECT_EQ(file.ReadString("LastUsed", "Profile", ""), "1");

  Windows again(ini);
  EXPECT_EQ(again.form1->SiteCB->currentText().toStdString(), "B");
  EXPECT_EQ(again.form1->PasswordEdit->text().toStdString(), password);
  EXPECT_EQ(Text(again.form1->HostNameEdit), "ftp.example.org");
}

TEST_F(LoginWindow, AnonymousBoxPutsTheUserAsideAndBack) {
  Windows w(ini);
  TForm1& f = *w.form1;
  f.UserNameEdit->setText("bob");
  f.Anonymous->click();
  EXPECT_EQ(Text(f.UserNameEdit), "Anonymous");
  EXPECT_FALSE(f.UserNameEdit->isEnabled());
  EXPECT_TRUE(std::regex_match(Text(f.PasswordEdit), std::regex("[a-t]{2}@[a-t]{3}\\.com")));
  f.Anonymous->click();
  EXPECT_EQ(Text(f.UserNameEdit), "bob");
  EXPECT_TRUE(f.PasswordEdit->isEnabled());
}

class Controller : public LoginWindow {
 protected:
  ServedFolder served;
  std::unique_ptr<vektest::FtpTestServer> server;
  vektest::ServedData data;

  void StartServer() {
    vektest::FtpServeOptions options;
    options.root = served.root.Path();
    options.user = "user";
    options.password = "secret";
    server = std::make_unique<vektest::FtpTestServer>(options);
    data.Install(*server);
  }
  std::vector<std::string> Verbs() const {
    std::vector<std::string> verbs;
    for (const std::string& c : server->Commands()) verbs.push_back(c.substr(0, c.find(' ')));
    return verbs;
  }
};

TEST_F(Controller, ConnectLogsInListsAndShowsTheTransferWindowThenTheTreeOpensDirectories) {
  StartServer();
  Windows w(ini);
  TForm1& f = *w.form1;
  Fill(f, server->PortText(), "user", "secret", "/pub");
  f.ConnectBut->click();

  TTransferForm& t = *w.transferForm;
  EXPECT_TRUE(transfer::Session().Connected);
  EXPECT_TRUE(t.isVisible());
  EXPECT_EQ(t.windowTitle().toStdString(), "Transfer Files to/from:  127.0.0.1");
  EXPECT_EQ(t.StatusBar1->PanelText(1), "Connected");

  const std::vector<std::string> expectedDone = {
      "Done (request=ConnectAsync  error code=0)", "Done (request=CwdAsync  error code=0)",
      "Done (request=PwdAsync  error code=0)",     "Done (request=TypeSetAsync  error code=0)",
      "Done (request=DirAsync  error code=0)",     "Done (request=CwdAsync  error code=0)",
      "Done (request=PwdAsync  error code=0)",     "Done (request=DirAsync  error code=0)",
      "Done (request=DirAsync  error code=0)"};
  EXPECT_EQ(DoneLines(f.Memo1), expectedDone);
  EXPECT_EQ(DoneLines(t.Memo1), expectedDone);
  for (TLogMemo* memo : {f.Memo1, t.Memo1}) {
    const auto lines = Windows::Lines(memo);
    EXPECT_EQ(lines.front(), "Connecting to 127.0.0.1 ...");
    EXPECT_EQ(Windows::CountStarting(lines, "> PASS ??????"), 1);
    EXPECT_EQ(Windows::CountStarting(lines, "> PASS secret"), 0);
  }
  EXPECT_EQ(server->Commands()[2], "FEAT");
  EXPECT_EQ(server->Commands()[3], "CWD /pub");

  // The tree opens where the engine stands, the initial folder: the root
  // (the server's name), nodes down to it, that folder selected and listed.
  ASSERT_NE(t.RemoteRootNode, nullptr);
  EXPECT_EQ(t.RemoteRootNode->text(0).toStdString(), "127.0.0.1");
  EXPECT_EQ(ChildTexts(t.RemoteRootNode), (std::vector<std::string>{"pub"}));
  QTreeWidgetItem* pub = Child(t.RemoteRootNode, "pub");
  EXPECT_EQ(t.RemoteTreeView->currentItem(), pub);
  EXPECT_EQ(ChildTexts(pub), (std::vector<std::string>{"linux"}));
  EXPECT_EQ(ListCaptions(t.RemoteListView), (std::vector<std::string>{"readme.txt"}));

  // Opening directories down to level 3, then pub again: no duplicates.
  t.RemoteTreeView->setCurrentItem(Child(pub, "linux"));
  t.RemoteTreeView->setCurrentItem(Child(Child(pub, "linux"), "kernel"));
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1), "fullpath : /pub/linux/kernel"), 1);
  EXPECT_TRUE(ListCaptions(t.RemoteListView).empty());
  t.RemoteTreeView->setCurrentItem(pub);
  EXPECT_EQ(ChildTexts(pub), (std::vector<std::string>{"linux"}));
  EXPECT_EQ(ListCaptions(t.RemoteListView), (std::vector<std::string>{"readme.txt"}));

  // The root: "/" with no path line, its directories, its files.
  const int before = Windows::CountStarting(Windows::Lines(t.Memo1), "fullpath : ");
  t.RemoteTreeView->setCurrentItem(t.RemoteRootNode);
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(t.Memo1), "fullpath : "), before);
  EXPECT_EQ(ChildTexts(t.RemoteRootNode), (std::vector<std::string>{"gone", "pub"}));
  EXPECT_EQ(ListCaptions(t.RemoteListView), (std::vector<std::string>{"file.bin"}));

  // A directory the server no longer has: the box, the old list stays.
  fs::remove(fs::path(served.root.Path()) / "gone");
  w.dialogs.Clear();
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "gone"));
  ASSERT_FALSE(w.dialogs.Messages().empty());
  EXPECT_EQ(w.dialogs.Messages()[0].rfind("Error: 550", 0), 0u) << w.dialogs.Messages()[0];
  EXPECT_EQ(ListCaptions(t.RemoteListView), (std::vector<std::string>{"file.bin"}));

  // Connect while connected: the old session is quit first.
  f.ConnectBut->click();
  const auto verbs = Verbs();
  const auto quit = std::find(verbs.begin(), verbs.end(), "QUIT");
  ASSERT_NE(quit, verbs.end());
  EXPECT_EQ(*(quit + 1), "USER");
  EXPECT_TRUE(transfer::Session().Connected);
}

TEST_F(Controller, AnonymousLoginWithoutDirectoryOrListingsAsksPwdOnly) {
  StartServer();
  // An anonymous server: any user, any password.
  server->AddCommand("PASS", [](vektest::FtpServerSession& s, const std::string&) {
    s.loggedIn = true;
    s.Reply("230 Login successful");
  });
  Windows w(ini);
  TForm1& f = *w.form1;
  Fill(f, server->PortText(), "", "", "");
  f.AutoDirCB->setChecked(false);
  f.ConnectBut->click();

  const auto commands = server->Commands();
  ASSERT_GE(commands.size(), 4u);
  EXPECT_EQ(commands[0], "USER Anonymous");
  EXPECT_TRUE(std::regex_match(commands[1], std::regex("PASS [a-t]{2}@[a-t]{3}\\.com"))) << commands[1];
  EXPECT_EQ(commands[2], "FEAT");
  EXPECT_EQ(commands[3], "PWD");
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(f.Memo1), "> PASS "), 1);
  // No listing from the controller: the one LIST is the remote tree's own.
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "LIST"), 1);
  EXPECT_TRUE(w.transferForm->isVisible());
}

TEST_F(Controller, FailuresAreShownAndStartNothing) {
  // A wrong password: the box, not connected, neither CWD nor PWD.
  {
    vektest::FtpScript script;
    script.Greet("220 hello").Expect("USER bob", "331 pw").Expect("PASS wrong", "530 Login incorrect.").ThenClose();
    vektest::FtpTestServer server(script);
    Windows w(ini);
    Fill(*w.form1, server.PortText(), "bob", "wrong", "/pub");
    w.form1->ConnectBut->click();
    EXPECT_FALSE(transfer::Session().Connected);
    EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER bob", "PASS wrong"}));
    ASSERT_FALSE(w.dialogs.Messages().empty());
    EXPECT_EQ(w.dialogs.Messages()[0], "Error: 530 Login incorrect.");
    // The dispatcher starts nothing after the failed login. The connect
    // step's own CWD fails quietly once the close has arrived, or with its
    // own box when it is sent before: which one depends on the timing.
    const auto done = DoneLines(w.form1->Memo1);
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done[0], "Done (request=ConnectAsync  error code=530)");
    EXPECT_EQ(Windows::CountStarting(done, "Done (request=PwdAsync"), 0);
    EXPECT_EQ(Windows::CountStarting(done, "Done (request=DirAsync"), 0);
    EXPECT_FALSE(w.transferForm->isVisible());
  }
  // An unknown host and a refused port: a box each, never a hang.
  for (const std::string& host : {std::string("host.invalid"), std::string("127.0.0.1")}) {
    Windows w(ini);
    Fill(*w.form1, "1", "bob", "x", "");
    w.form1->HostNameEdit->setText(QString::fromStdString(host));
    w.form1->ConnectBut->click();
    EXPECT_FALSE(transfer::Session().Connected);
    ASSERT_FALSE(w.dialogs.Messages().empty()) << host;
    EXPECT_EQ(w.dialogs.Messages()[0].rfind("Error: ", 0), 0u) << host;
    EXPECT_EQ(w.form1->StatusBar1->PanelText(1), "Not Connected");
  }
  // A port that is not a number ends the Connect before anything is sent.
  {
    Windows w(ini);
    w.form1->PortEdit->setText("2x1");
    w.dialogs.AnswerInput(std::nullopt);
    w.form1->ConnectBut->click();
    EXPECT_EQ(w.form1->SiteCB->currentText().toStdString(), "UNTITLED");
    EXPECT_EQ(w.dialogs.Messages().back(), "'2x1' is not a valid integer value");
    EXPECT_EQ(Windows::CountStarting(Windows::Lines(w.form1->Memo1), "Connecting to"), 0);
  }
}

TEST_F(Controller, AbortEndsASlowListing) {
  StartServer();
  data.listDelayMs = 20000;
  Windows w(ini);
  TForm1& f = *w.form1;
  Fill(f, server->PortText(), "user", "secret", "");
  QTimer::singleShot(300, &f, [&f] { f.Button2->click(); });
  f.ConnectBut->click();
  EXPECT_FALSE(transfer::Session().Connected);
  EXPECT_EQ(f.StatusBar1->PanelText(1), "Not Connected");
  EXPECT_EQ(Windows::CountStarting(Windows::Lines(f.Memo1), "Disconnected"), 1);
}

TEST(ControllerVsftpd, ConnectShowsTheInitialFolderThenTheRoot) {
  vektest::VsftpdPeer peer;
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  fs::create_directories(peer.Root() / "pub" / "linux");
  std::ofstream((peer.Root() / "welcome.txt").string()) << "hello\n";
  testsupport::TempFolder config;
  Windows w(config.File("rirarar.ini"));
  Fill(*w.form1, std::to_string(peer.Port()), "anonymous", "me@home.org", "/pub");
  w.form1->ConnectBut->click();
  EXPECT_TRUE(transfer::Session().Connected) << w.form1->Memo1->toPlainText().toStdString();
  TTransferForm& t = *w.transferForm;
  EXPECT_TRUE(t.isVisible());
  ASSERT_NE(t.RemoteRootNode, nullptr);
  // At the initial folder first, then the root.
  EXPECT_EQ(ChildTexts(t.RemoteRootNode), (std::vector<std::string>{"pub"}));
  EXPECT_EQ(ChildTexts(Child(t.RemoteRootNode, "pub")), (std::vector<std::string>{"linux"}));
  t.RemoteTreeView->setCurrentItem(t.RemoteRootNode);
  EXPECT_EQ(ChildTexts(t.RemoteRootNode), (std::vector<std::string>{"pub", "up"}));
  EXPECT_EQ(ListCaptions(t.RemoteListView), (std::vector<std::string>{"welcome.txt"}));
  EXPECT_TRUE(w.dialogs.Messages().empty());
}

}  // namespace
