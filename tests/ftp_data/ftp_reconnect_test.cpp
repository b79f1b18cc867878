// A lost connection, against real servers: a session vsftpd closed for
// idleness is connected again by the next operation, in the same folder; a
// download cut mid-file by pyftpdlib is finished by a resumed retry, and
// neither a refusal nor an aborted transfer runs again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ftp/ftpcli.h"
#include "tests/ftp/ftp_test_util.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/support/peer_process.h"
#include "tests/support/temp_folder.h"

namespace vektest {
namespace {

namespace fs = std::filesystem;

using testsupport::Pattern;
std::string Bytes(std::size_t Size, char Seed) { return Pattern(Size, Seed); }

int CountLines(const std::vector<std::string>& Log, const std::string& Prefix) {
  return static_cast<int>(
      std::count_if(Log.begin(), Log.end(), [&](const std::string& l) { return l.rfind(Prefix, 0) == 0; }));
}

struct Recorder {
  std::vector<std::string> log, done;
  int closed = 0;
  void Attach(TFtpClient& ftp) {
    ftp.OnDisplay = [this](TCustomFtpCli*, std::string& line) { log.push_back(line); };
    ftp.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest r, std::uint16_t e) {
      done.push_back(std::string(FtpRequestName(r)) + " " + std::to_string(e));
    };
    ftp.OnSessionClosed = [this](TCustomFtpCli*, std::uint16_t) { ++closed; };
  }
};

void Configure(TFtpClient& ftp, std::uint16_t Port, const std::string& User, const std::string& Password) {
  ftp.SetHostName("127.0.0.1");
  ftp.SetPort(std::to_string(Port));
  ftp.SetUserName(User);
  ftp.SetPassWord(Password);
  ftp.SetTimeout(20);
  ftp.SetPassiveMode(true);
  ftp.SetAutoReconnect(true);
  ftp.SetRetryDelayMs(50);
}

// vsftpd ends a session idle for two seconds (421 and a close). The next
// download connects again, goes back to the folder and type of the session
// and fetches the file by its bare name; only its own outcome is reported.
// After Quit nothing connects again; when the server is gone, the download
// fails with the reason the connect failed.
TEST(Reconnect, ASessionTheServerClosedWhileIdleIsConnectedAgainInItsFolder) {
  VsftpdPeer peer;
  peer.AddConfig("idle_session_timeout=2\n");
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  fs::create_directories(peer.Root() / "pub");
  const std::string payload = Bytes(200000, 'i');
  ASSERT_TRUE(WriteFile(peer.Root() / "pub" / "i.bin", payload));
  testsupport::TempFolder local;
  TFtpClient ftp;
  Configure(ftp, peer.Port(), "anonymous", "me@example.org");
  Recorder rec;
  rec.Attach(ftp);

  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  ftp.SetHostDirName("pub");
  ASSERT_TRUE(ftp.Cwd());
  ftp.SetBinary(true);
  ASSERT_TRUE(ftp.TypeSet());
  ASSERT_TRUE(PumpUntil([&] { return rec.closed > 0; }, 30000)) << "vsftpd kept the idle session";
  EXPECT_FALSE(ftp.IsConnected());

  rec.done.clear();
  ftp.SetHostFileName("i.bin");
  ftp.SetLocalFileName(local.File("i.bin"));
  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("i.bin")) == payload);
  EXPECT_EQ(rec.done, std::vector<std::string>{"GetAsync 0"});
  EXPECT_EQ(CountLines(rec.log, "! The server closed the connection: connecting again"), 1);
  EXPECT_EQ(CountLines(rec.log, "> USER"), 2);
  EXPECT_EQ(CountLines(rec.log, "> CWD pub"), 2);
  EXPECT_EQ(CountLines(rec.log, "> TYPE I"), 2);
  EXPECT_EQ(ftp.HostDirName(), "pub");
  ASSERT_TRUE(ftp.Pwd());
  EXPECT_EQ(ftp.ReplyPath(), "/pub");

  EXPECT_TRUE(ftp.Quit());
  EXPECT_FALSE(ftp.Get());
  EXPECT_EQ(CountLines(rec.log, "> USER"), 2);

  // A server that is gone: the download fails with the reason, reported once.
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  const int closedBefore = rec.closed;
  peer.Stop();
  ASSERT_TRUE(PumpUntil([&] { return rec.closed > closedBefore; }, 30000));
  rec.done.clear();
  EXPECT_FALSE(ftp.Get());
  EXPECT_EQ(ftp.ErrorMessage(), "500 Connection refused (Winsock error #10061)");
  EXPECT_EQ(rec.done, std::vector<std::string>{"GetAsync 10061"});
  EXPECT_EQ(CountLines(rec.log, "! The server closed the connection: connecting again"), 2);
}

// Downloads from pyftpdlib, each case on a server of its own: one the
// server cuts mid-file runs again from the bytes that arrived (REST) and
// ends byte-exact with a single report; a refusal on a live connection, and
// a download the user aborts (by AbortAsync, or by OnProgress's flag), run
// once and report their failure once.
TEST(Reconnect, OnlyATransferCutByALostConnectionRunsAgain) {
  enum Abort { kNoAbort, kAbortAsync, kProgressFlag };
  const struct Case {
    const char* name;
    std::int64_t cutAt;  // the server drops the session after these bytes of the first RETR
    bool missing;        // the file is not there: 550
    Abort abort;
    bool ok;
    int retrs;
  } cases[] = {
      {"cut mid-file", 100000, false, kNoAbort, true, 2},
      {"refused", 0, true, kNoAbort, false, 1},
      {"aborted", 0, false, kAbortAsync, false, 1},
      {"aborted by OnProgress", 0, false, kProgressFlag, false, 1},
  };
  const std::string payload = Bytes(4 << 20, 'c');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder local, served;
    fs::create_directories(fs::path(served.Path()) / "pub");
    if (!c.missing) {
      ASSERT_TRUE(WriteFile(fs::path(served.Path()) / "pub" / "c.bin", payload));
    }
    PyFtpdPeer peer("vek", "pw", served.Path());
    if (c.cutAt > 0) peer.CutFirstRetr(c.cutAt);
    std::string error;
    ASSERT_TRUE(peer.Start(error)) << error;
    TFtpClient ftp;
    Configure(ftp, peer.Port(), "vek", "pw");
    Recorder rec;
    rec.Attach(ftp);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ftp.SetHostDirName("/pub");
    ASSERT_TRUE(ftp.Cwd());
    ftp.SetBinary(true);
    ASSERT_TRUE(ftp.TypeSet());
    bool aborted = false;
    ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t count, bool& abort) {
      if (count == 0 || c.abort == kNoAbort || aborted) return;
      aborted = true;
      if (c.abort == kProgressFlag)
        abort = true;
      else
        ftp.AbortAsync();
    };
    rec.done.clear();
    ftp.SetHostFileName("c.bin");
    ftp.SetLocalFileName(local.File("c.bin"));

    EXPECT_EQ(ftp.Get(), c.ok) << ftp.ErrorMessage();
    EXPECT_EQ(CountLines(rec.log, "> RETR c.bin"), c.retrs);
    EXPECT_EQ(CountLines(rec.log, "> REST "), c.retrs - 1);
    EXPECT_EQ(rec.done.size(), 1u);
    EXPECT_EQ(aborted, c.abort != kNoAbort);
    if (c.ok) {
      EXPECT_TRUE(ReadFile(local.File("c.bin")) == payload);
      EXPECT_EQ(rec.done, std::vector<std::string>{"GetAsync 0"});
      EXPECT_EQ(CountLines(rec.log, "> REST 100000"), 1);
      EXPECT_EQ(CountLines(rec.log, "! The connection was lost: connecting again"), 1);
      EXPECT_EQ(CountLines(rec.log, "> CWD /pub"), 2);
    }
  }
}

}  // namespace
}  // namespace vektest
