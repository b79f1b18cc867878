// A test fixture: one engine against one scripted server on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ftp/ftpcli.h"
#include "tests/ftp/ftp_test_util.h"
#include "tests/support/ftp_test_server.h"

namespace vektest {

class FtpScriptedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rec.Attach(ftp);
    ftp.SetHostName("127.0.0.1");
    ftp.SetUserName("bob");
    ftp.SetPassWord("x");
  }

  void Serve(const FtpScript& Script) {
    server = std::make_unique<FtpTestServer>(Script);
    ftp.SetPort(server->PortText());
  }

  // Runs an asynchronous request and waits for its OnRequestDone.
  template <typename F>
  const FtpRecorder::Done& Run(F&& Request) {
    const std::size_t before = rec.done.size();
    Request();
    EXPECT_TRUE(rec.WaitDone(before + 1)) << "no OnRequestDone";
    static const FtpRecorder::Done none{TFtpRequest::None, 0xFFFF, "", -1, ""};
    return rec.done.size() > before ? rec.done[before] : none;
  }

  // Greeting plus USER/PASS, so a test starts on a logged-in connection.
  static FtpScript LoggedIn() {
    FtpScript s;
    s.Greet("220 test server").Expect("USER bob", "331 pw please").Expect("PASS x", "230 ok");
    return s;
  }
  void ConnectLoggedIn() {
    const auto& d = Run([&] { ftp.ConnectAsync(); });
    ASSERT_EQ(d.request, TFtpRequest::ConnectAsync);
    ASSERT_EQ(d.error, 0);
  }

  std::vector<std::string> Commands() const { return server->Commands(); }

  std::unique_ptr<FtpTestServer> server;
  TFtpClient ftp;
  FtpRecorder rec;
};

using Lines = std::vector<std::string>;

}  // namespace vektest
