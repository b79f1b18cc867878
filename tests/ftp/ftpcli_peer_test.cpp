// End to end against a real server from Debian's packages (pyftpdlib),
// started here on 127.0.0.1 with a temporary user, password and root folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/ftp/ftp_test_util.h"
#include "tests/support/peer_process.h"

namespace vektest {
namespace {

class PyFtpdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(root.Path() / "sub dir");
    ASSERT_TRUE(WriteFile(root.Path() / "sub dir" / "data.bin", std::string(4321, '\x5a')));
    std::string error;
    // A peer that cannot start fails the test: it must not pass unseen.
    ASSERT_TRUE(peer.Start(error)) << error;
    rec.Attach(ftp);
    ftp.SetHostName("127.0.0.1");
    ftp.SetPort(peer.PortText());
    ftp.SetUserName("vek");
    ftp.SetTimeout(20);
  }

  TempDir root{"vekpeerroot"};
  PyFtpdPeer peer{"vek", "pass word!", root.Path()};
  TFtpClient ftp;
  FtpRecorder rec;
};

TEST_F(PyFtpdTest, LogInChangeDirectoryAskSizeAndQuit) {
  ftp.SetPassWord("pass word!");
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage() << "\n" << peer.Log();
  EXPECT_EQ(ftp.ReplyCode(), 230);
  ftp.SetHostDirName("/sub dir");
  ASSERT_TRUE(ftp.Cwd()) << ftp.ErrorMessage();
  ASSERT_TRUE(ftp.Pwd()) << ftp.ErrorMessage();
  EXPECT_EQ(ftp.ReplyPath(), "/sub dir");
  ASSERT_TRUE(ftp.TypeSet()) << ftp.ErrorMessage();
  ftp.SetHostFileName("data.bin");
  ASSERT_TRUE(ftp.Size()) << ftp.ErrorMessage();
  EXPECT_EQ(ftp.RemoteSize(), 4321);
  ftp.SetHostFileName("missing.bin");
  EXPECT_FALSE(ftp.Size());
  EXPECT_EQ(ftp.ReplyCode(), 550);
  EXPECT_TRUE(ftp.Quit()) << ftp.ErrorMessage();
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(rec.Count("closed:"), 1);
}

TEST_F(PyFtpdTest, WrongPasswordIsRefused) {
  ftp.SetPassWord("wrong");
  EXPECT_FALSE(ftp.Connect());
  EXPECT_EQ(ftp.ReplyCode(), 530);
  EXPECT_EQ(ftp.ErrorMessage().rfind("530 ", 0), 0u) << ftp.ErrorMessage();
  ASSERT_FALSE(rec.done.empty());
  EXPECT_EQ(rec.done.back().request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done.back().error, 530);
}

// A real server's transfers, both modes, while handlers of the engine's
// events let pending events run, as the windows do: the files stay exact.
TEST_F(PyFtpdTest, TransfersStayExactWhileHandlersRunTheLoop) {
  std::string payload(700000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7919 % 251);
  ASSERT_TRUE(WriteFile(root.Path() / "big.bin", payload));
  TempDir local{"vekpeerlocal"};
  ASSERT_TRUE(WriteFile(local.Path() / "up.bin", payload.substr(1000)));
  const auto runLoop = [] { plat::Application::Instance().ProcessMessages(); };
  ftp.OnDisplay = [&](TCustomFtpCli*, std::string&) { runLoop(); };
  ftp.OnResponse = [&](TCustomFtpCli*) { runLoop(); };
  ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t, bool&) { runLoop(); };
  ftp.OnStateChange = [&](TCustomFtpCli*) { runLoop(); };
  ftp.OnCommand = [&](TCustomFtpCli*, std::string&) { runLoop(); };
  ftp.SetPassWord("pass word!");
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage() << "\n" << peer.Log();
  ASSERT_TRUE(ftp.TypeSet()) << ftp.ErrorMessage();  // binary
  for (const bool passive : {true, false}) {
    ftp.SetPassiveMode(passive);
    ftp.SetHostFileName("big.bin");
    ftp.SetLocalFileName((local.Path() / "big.bin").string());
    ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
    EXPECT_TRUE(ReadFile(local.Path() / "big.bin") == payload) << (passive ? "passive" : "active");
    ftp.SetHostFileName(passive ? "up-passive.bin" : "up-active.bin");
    ftp.SetLocalFileName((local.Path() / "up.bin").string());
    ASSERT_TRUE(ftp.Put()) << ftp.ErrorMessage();
    EXPECT_TRUE(ReadFile(root.Path() / ftp.HostFileName()) == payload.substr(1000)) << ftp.HostFileName();
  }
  EXPECT_TRUE(ftp.Quit()) << ftp.ErrorMessage();
}

}  // namespace
}  // namespace vektest
