// Timeout 0 waits without limit, yet the wait ends when the application
// terminates. Its own program: termination cannot be undone for later tests.
#include <gtest/gtest.h>

#include "tests/ftp/ftp_fixture.h"

namespace vektest {
namespace {

TEST_F(FtpScriptedTest, UnlimitedWaitEndsWhenTheApplicationTerminates) {
  FtpScript s;
  // A greeting that never ends: continuation lines only.
  s.AcceptSilently().Raw("220-please wait\r\n").Delay(100);
  Serve(s);
  ftp.SetTimeout(0);
  ftp.OnResponse = [](TCustomFtpCli*) { plat::Application::Instance().Terminate(); };
  EXPECT_FALSE(ftp.Connect());
  EXPECT_EQ(ftp.ErrorMessage(), "426 Timeout");
  EXPECT_EQ(ftp.ReplyCode(), 426);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(ftp.State(), fcsReady);
}

}  // namespace
}  // namespace vektest
