// The login window with a real desktop keyring: run under dbus-run-session,
// the test starts a gnome-keyring of its own in a fresh home, unlocked with a
// test password, and looks into it with secret-tool.
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/inifile.h"
#include "session/scramble.h"
#include "tests/session/window_fixture.h"

namespace {

namespace fs = std::filesystem;
using vektest::Windows;

constexpr int kWaitMs = 20000;
const QString kSecrets = QStringLiteral("org.freedesktop.secrets");

std::string Text(QLineEdit* e) { return e->text().toStdString(); }

// The keyring daemon, its home and why the suite cannot run (empty: it can).
struct Keyring {
  std::unique_ptr<testsupport::TempFolder> home;
  std::unique_ptr<QProcess> daemon;
  std::string skip;
};
Keyring* keyring = nullptr;

void StartKeyring(Keyring& k) {
  // A fresh home: the daemon makes a new login keyring there, with the
  // password it reads on its standard input.
  k.home = std::make_unique<testsupport::TempFolder>();
  for (const char* dir : {"data", "config", "runtime"}) fs::create_directories(k.home->File(dir));
  fs::permissions(k.home->File("runtime"), fs::perms::owner_all);
  ::setenv("HOME", k.home->Path().c_str(), 1);
  ::setenv("XDG_DATA_HOME", k.home->File("data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", k.home->File("config").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", k.home->File("runtime").c_str(), 1);
  vektest::KeepSessionBus() = true;
  vektest::GuiApp();

  if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
    k.skip = "no D-Bus session: the test runs under dbus-run-session";
    return;
  }
  const QString program = QStandardPaths::findExecutable("gnome-keyring-daemon");
  if (program.isEmpty() || QStandardPaths::findExecutable("secret-tool").isEmpty()) {
    k.skip = "gnome-keyring-daemon or secret-tool is not installed";
    return;
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    k.skip = "the session bus cannot be reached: " + bus.lastError().message().toStdString();
    return;
  }
  QDBusServiceWatcher watcher(kSecrets, bus, QDBusServiceWatcher::WatchForRegistration);
  QEventLoop loop;
  QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
  k.daemon = std::make_unique<QProcess>();
  k.daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QObject::connect(k.daemon.get(), &QProcess::finished, &loop, &QEventLoop::quit);
  k.daemon->start(program, {"--foreground", "--unlock", "--components=secrets"});
  if (!k.daemon->waitForStarted(kWaitMs)) {
    k.skip = "gnome-keyring-daemon did not start: " + k.daemon->errorString().toStdString();
    return;
  }
  k.daemon->write("keyring test password");
  k.daemon->closeWriteChannel();
  QTimer::singleShot(kWaitMs, &loop, &QEventLoop::quit);
  if (!bus.interface()->isServiceRegistered(kSecrets)) loop.exec();
  if (!bus.interface()->isServiceRegistered(kSecrets))
    k.skip = "gnome-keyring-daemon did not offer the Secret Service on the session bus";
}

// secret-tool ARGS: its output and exit status (-1: no end in time).
struct ToolRun {
  int status = -1;
  std::string out;
};
ToolRun SecretTool(const QStringList& args) {
  QProcess tool;
  tool.start("secret-tool", args);
  ToolRun run;
  if (!tool.waitForFinished(kWaitMs)) {
    tool.kill();
    tool.waitForFinished(kWaitMs);
    return run;
  }
  run.status = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
  run.out = tool.readAllStandardOutput().toStdString();
  return run;
}

// The entry of a profile, as QtKeychain names it for libsecret: the program
// as the "server", the profile as the "user".
ToolRun Lookup(const std::string& profile) {
  return SecretTool({"lookup", "server", "RiraRAR", "user", QString::fromStdString(profile)});
}

class KeyringSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keyring = new Keyring;
    StartKeyring(*keyring);
  }
  static void TearDownTestSuite() {
    if (keyring->daemon && keyring->daemon->state() != QProcess::NotRunning) {
      keyring->daemon->terminate();
      if (!keyring->daemon->waitForFinished(kWaitMs)) keyring->daemon->kill();
      keyring->daemon->waitForFinished(kWaitMs);
    }
    delete keyring;
    keyring = nullptr;
  }
  void SetUp() override {
    if (!keyring->skip.empty()) GTEST_SKIP() << keyring->skip;
    // Each test starts with no entry of the program (clear fails when
    // there is none to clear).
    SecretTool({"clear", "server", "RiraRAR"});
  }

  // A server that takes user "bob" with the password below, and data.
  void StartServer() {
    vektest::FtpServeOptions options;
    options.root = served.Path();
    options.user = "bob";
    options.password = password;
    server = std::make_unique<vektest::FtpTestServer>(options);
    data.Install(*server);
  }
  static void FillSite(TForm1& f, const std::string& port, const std::string& pw) {
    Windows::FillServer(f, port, "bob", pw);
    f.SaveProfileCB->setChecked(true);
    f.InitialLocalDirEdit->setText(QString::fromStdString(keyring->home->Path()));
  }
  std::string Key(const std::string& key) const { return plat::GetPrivateProfileString("SITE", key, "<missing>", ini); }
  static bool LogHolds(TForm1& f, const std::string& text) {
    for (const std::string& line : Windows::Lines(f.Memo1))
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  testsupport::TempFolder config;
  std::string ini = config.File("rirarar.ini");
  testsupport::TempFolder served;
  std::unique_ptr<vektest::FtpTestServer> server;
  vektest::ServedData data;
  const std::string password = "k\xC3\xA9yring pass 1";
};

TEST_F(KeyringSession, APasswordSavedGoesToTheKeyringReadsBackAndLogsIn) {
  StartServer();
  {
    Windows w(ini);
    TForm1& f = *w.form1;
    w.dialogs.AnswerInput(std::string("site"));
    f.NewSiteButClick();
    FillSite(f, server->PortText(), password);
    f.ConnectBut->click();
    ASSERT_TRUE(transfer::Session().Connected);
    EXPECT_FALSE(LogHolds(f, "keyring")) << "a keyring that works needs no word";
  }
  EXPECT_EQ(Key("Password"), "<missing>");
  EXPECT_EQ(Key("PasswordStore"), "keyring");
  EXPECT_EQ(testsupport::ReadFile(ini).find(session::Base64Encode(session::StrEncrypt(password))), std::string::npos);
  const ToolRun found = Lookup("SITE");
  EXPECT_EQ(found.status, 0);
  EXPECT_EQ(found.out, password);

  // A new start reads it from the keyring and logs in with it; neither log
  // shows it.
  Windows again(ini);
  TForm1& f = *again.form1;
  EXPECT_EQ(Text(f.PasswordEdit), password);
  f.ConnectBut->click();
  ASSERT_TRUE(transfer::Session().Connected);
  EXPECT_EQ(server->Commands()[1], "PASS " + password);
  for (TLogMemo* memo : {f.Memo1, again.transferForm->Memo1})
    for (const std::string& line : Windows::Lines(memo)) EXPECT_EQ(line.find(password), std::string::npos) << line;
}

TEST_F(KeyringSession, AScrambledPasswordMovesToTheKeyringOnSaveAndAnEmptiedOneIsRemoved) {
  // A profile file from before the keyring.
  session::TSiteProfile old = session::DefaultProfile();
  old.HostName = "ftp.example.org";
  old.UserName = "bob";
  old.Password = password;
  session::TProfileStore(ini).WriteProfile(0, "SITE", old);
  ASSERT_NE(Key("Password"), "<missing>");

  Windows w(ini);
  TForm1& f = *w.form1;
  EXPECT_EQ(Text(f.PasswordEdit), password);
  EXPECT_NE(Lookup("SITE").status, 0);
  ASSERT_TRUE(f.UpdateProfile());
  EXPECT_EQ(Key("Password"), "<missing>");
  EXPECT_EQ(Key("PasswordStore"), "keyring");
  EXPECT_EQ(Lookup("SITE").out, password);

  // The field emptied and saved: the entry is gone, the file says so.
  f.PasswordEdit->clear();
  ASSERT_TRUE(f.UpdateProfile());
  EXPECT_NE(Lookup("SITE").status, 0);
  EXPECT_EQ(Key("Password"), "");
  EXPECT_EQ(Key("PasswordStore"), "<missing>");
  EXPECT_FALSE(LogHolds(f, "keyring"));
  // A password typed again goes back to the keyring.
  f.PasswordEdit->setText("second");
  ASSERT_TRUE(f.UpdateProfile());
  EXPECT_EQ(Lookup("SITE").out, "second");
}

TEST_F(KeyringSession, ALockedKeyringLeavesTheFieldEmptySaysWhyAndTheTypedPasswordLogsIn) {
  StartServer();
  {
    Windows w(ini);
    w.dialogs.AnswerInput(std::string("site"));
    w.form1->NewSiteButClick();
    FillSite(*w.form1, server->PortText(), password);
    ASSERT_TRUE(w.form1->UpdateProfile());
  }
  // Locked as a desktop locks it: the Secret Service's own Lock, which needs no prompt.
  QDBusMessage lock = QDBusMessage::createMethodCall(kSecrets, "/org/freedesktop/secrets",
                                                     "org.freedesktop.Secret.Service", "Lock");
  lock << QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
  const QDBusMessage locked = QDBusConnection::sessionBus().call(lock, QDBus::Block, kWaitMs);
  ASSERT_EQ(locked.type(), QDBusMessage::ReplyMessage) << locked.errorMessage().toStdString();
  Windows w(ini);
  TForm1& f = *w.form1;
  EXPECT_EQ(Text(f.PasswordEdit), "");
  EXPECT_TRUE(LogHolds(f, "The keyring did not give the password of SITE (the keyring is locked): type it to connect"));
  EXPECT_TRUE(f.isEnabled() && f.centralWidget()->isEnabled());

  // Typed and saved on Connect: the locked keyring does not take it, so the
  // file keeps it scrambled, and the login goes on.
  f.PasswordEdit->setText(QString::fromStdString(password));
  f.ConnectBut->click();
  EXPECT_TRUE(transfer::Session().Connected);
  EXPECT_TRUE(LogHolds(f, "The keyring did not take the password"));
  EXPECT_TRUE(LogHolds(f, ": it is stored scrambled in " + ini));
  EXPECT_EQ(Key("Password"), session::Base64Encode(session::StrEncrypt(password)));
  EXPECT_EQ(Key("PasswordStore"), "<missing>");
}

}  // namespace
