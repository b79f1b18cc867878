// The component's face: names, values at construction, properties, and the
// blocking layer (timeouts, nesting, the MultiThreaded pump).
#include <gtest/gtest.h>

#include <set>

#include "tests/ftp/ftp_fixture.h"
#include "tests/support/peer_process.h"

namespace vektest {
namespace {

TEST(FtpTypes, RequestNamesAsTheApplicationLogsThem) {
  EXPECT_STREQ(FtpRequestName(TFtpRequest::None), "none");
  EXPECT_STREQ(FtpRequestName(TFtpRequest::ConnectAsync), "ConnectAsync");
  EXPECT_STREQ(FtpRequestName(TFtpRequest::RqAbort), "RqAbort");
  EXPECT_STREQ(FtpRequestName(TFtpRequest::CDupAsync), "CDupAsync");
  EXPECT_STREQ(FtpRequestName(TFtpRequest::RestartGetAsync), "RestartGetAsync");
  EXPECT_STREQ(FtpRequestName(TFtpRequest::SetModTimeAsync), "SetModTimeAsync");
  EXPECT_STREQ(FtpRequestName(42), "unknown");
  EXPECT_STREQ(FtpRequestName(static_cast<TFtpRequest>(255)), "unknown");
  EXPECT_STREQ(FtpRequestName(-1), "unknown");
  // Every value has a name of its own, ending in "Async" except the two odd ones.
  std::set<std::string> names;
  for (int v = 0; v <= 39; ++v) {
    const std::string name = FtpRequestName(v);
    names.insert(name);
    if (v != 0 && v != 20) {
      EXPECT_EQ(name.substr(name.size() - 5), "Async") << v;
    }
  }
  EXPECT_EQ(names.size(), 40u);
}

TEST(FtpTypes, ShareModeWordsRoundTrip) {
  TFtpClient ftp;
  EXPECT_EQ(ftp.ShareMode(), ftpShareExclusive);
  for (TFtpShareMode m : {ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone}) {
    ftp.SetShareMode(m);
    EXPECT_EQ(ftp.ShareMode(), m);
  }
  EXPECT_EQ(FtpShareModeWord(ftpShareDenyWrite), 0x20u);
  EXPECT_EQ(FtpShareModeFromWord(0x40), ftpShareDenyNone);
  EXPECT_EQ(FtpShareModeFromWord(0x50), ftpShareExclusive);
}

TEST(FtpTypes, StateAndStepNames) {
  EXPECT_STREQ(FtpClientStateName(fcsNotConnected), "fcsNotConnected");
  EXPECT_STREQ(FtpClientStateName(fcsAwaitingReply), "fcsAwaitingReply");
  EXPECT_STREQ(FtpClientStateName(static_cast<TFtpClientState>(8)), "?");
  EXPECT_STREQ(FtpStepName(fsPort), "fsPort");
  EXPECT_EQ(static_cast<int>(fsPort), 23);
  TFtpStepSet set{fsOpen, fsPort};
  EXPECT_TRUE(set.Contains(fsPort));
  EXPECT_FALSE(set.Contains(fsUser));
  set.Exclude(fsPort);
  EXPECT_EQ(set.Value(), 1u << fsOpen);
}

TEST(FtpComponent, ValuesAtConstruction) {
  TFtpClient ftp;
  EXPECT_EQ(ftp.Timeout(), 15);
  EXPECT_FALSE(ftp.MultiThreaded());
  EXPECT_EQ(ftp.Port(), "ftp");
  EXPECT_TRUE(ftp.Binary());
  EXPECT_FALSE(ftp.DisplayFlag());
  EXPECT_FALSE(ftp.DisplayFileFlag());
  EXPECT_FALSE(ftp.PassiveMode());
  EXPECT_EQ(ftp.State(), fcsReady);
  EXPECT_EQ(ftp.CurrentRequest(), TFtpRequest::None);
  EXPECT_EQ(ftp.HostName(), "");
  EXPECT_EQ(ftp.ErrorMessage(), "");
  EXPECT_EQ(ftp.RemoteSize(), 0);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_NE(ftp.EngineWindow(), 0u);
}

TEST(FtpComponent, TextRoutines) {
  std::int64_t v = -7;
  EXPECT_EQ(TCustomFtpCli::ParseInt(" \t+42x", 0, v), 5u);
  EXPECT_EQ(v, 42);
  EXPECT_EQ(TCustomFtpCli::ParseInt("-17", 0, v), 3u);
  EXPECT_EQ(v, -17);
  EXPECT_EQ(TCustomFtpCli::ParseInt("abc", 0, v), 0u);
  EXPECT_EQ(v, 0);
  // Other control characters are not blanks.
  EXPECT_EQ(TCustomFtpCli::SkipBlanks("\v1", 0), 0u);
  EXPECT_EQ(TCustomFtpCli::ParseQuoted("  \"a\"\"b\" rest", 0), "a\"b");
  EXPECT_EQ(TCustomFtpCli::ParseQuoted("\"unterminated", 0), "unterminated");
  EXPECT_EQ(TCustomFtpCli::ParseQuoted("x \"a\"", 0), "");
}

// --- blocking layer ----------------------------------------------------------

TEST_F(FtpScriptedTest, SilentServerTimesOutAndTheAbortedRequestReportsAfterwards) {
  FtpScript s;
  s.AcceptSilently();
  Serve(s);
  ftp.SetTimeout(1);
  EXPECT_FALSE(ftp.Connect());
  EXPECT_EQ(ftp.ErrorMessage(), "426 Timeout");
  EXPECT_EQ(ftp.ReplyCode(), 426);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(ftp.State(), fcsReady);
  ASSERT_TRUE(rec.WaitDone());
  EXPECT_EQ(rec.done[0].request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done[0].error, 426);
  EXPECT_EQ(rec.done[0].errorMessage, "426 Timeout");
}

TEST_F(FtpScriptedTest, SingleCommandCutOffByTheTimeoutIsNoSuccess) {
  FtpScript s = LoggedIn();
  s.Expect("CWD /slow");  // never answered
  s.Greet("220 again").Expect("USER bob", "331 pw").Expect("PASS x", "230 ok");
  Serve(s);
  ftp.SetTimeout(1);
  ASSERT_TRUE(ftp.Connect());
  ftp.SetHostDirName("/slow");
  EXPECT_FALSE(ftp.Cwd());
  EXPECT_EQ(ftp.ErrorMessage(), "426 Timeout");
  // The caller goes on at once; the late report still names the request that ended.
  ftp.ConnectAsync();
  ASSERT_TRUE(rec.WaitDone(3));
  EXPECT_EQ(rec.done[1].request, TFtpRequest::CwdAsync);
  EXPECT_EQ(rec.done[1].error, 426);
  EXPECT_EQ(rec.done[2].request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done[2].error, 0);
}

// A transfer's progress notifications restart the wait limit: the limit is on
// silence, not on the whole transfer.
class ProgressProbe : public TFtpClient {
 public:
  using TFtpClient::DoProgress;
};

TEST(FtpBlocking, ProgressExtendsTheDeadline) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob", "331 pw").Expect("PASS x", "230 ok").Expect("CWD /long");
  for (int i = 0; i < 5; ++i) s.Raw("still working\r\n");
  s.Gap(300).Raw("250 done\r\n");
  FtpTestServer server(s);
  ProgressProbe ftp;
  ftp.SetHostName("127.0.0.1");
  ftp.SetPort(server.PortText());
  ftp.SetUserName("bob");
  ftp.SetPassWord("x");
  ftp.SetTimeout(1);
  int progress = 0;
  ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t, bool&) { ++progress; };
  ftp.OnResponse = [&](TCustomFtpCli*) { ftp.DoProgress(); };
  ASSERT_TRUE(ftp.Connect());
  ftp.SetHostDirName("/long");
  EXPECT_TRUE(ftp.Cwd()) << ftp.ErrorMessage();
  EXPECT_EQ(ftp.ReplyLine(), "250 done");
  EXPECT_GE(progress, 6);
}

TEST_F(FtpScriptedTest, BlockingCallsAndTheirResults) {
  FtpScript s = LoggedIn();
  s.Expect("CWD /a", "250 ok")
      .Expect("PWD", "257 \"/a\"")
      .Expect("TYPE I", "200 ok")
      .Expect("SIZE f", "213 10")
      .Expect("DELE f", "550 denied")
      .Expect("QUIT", "221 bye");
  Serve(s);
  EXPECT_TRUE(ftp.Connect());
  ftp.SetHostDirName("/a");
  EXPECT_TRUE(ftp.Cwd());
  EXPECT_TRUE(ftp.Pwd());
  EXPECT_EQ(ftp.ReplyPath(), "/a");
  EXPECT_TRUE(ftp.TypeSet());
  ftp.SetHostFileName("f");
  EXPECT_TRUE(ftp.Size());
  EXPECT_EQ(ftp.RemoteSize(), 10);
  EXPECT_FALSE(ftp.Dele());
  EXPECT_EQ(ftp.ErrorMessage(), "550 denied");
  EXPECT_TRUE(ftp.Quit());
  EXPECT_FALSE(ftp.IsConnected());
  // Misuse is a False result and starts nothing.
  ftp.SetHostDirName("");
  EXPECT_FALSE(ftp.Cwd());
  EXPECT_EQ(ftp.LastBlockingException(), "HostDirName emtpy");
  PumpPending();
  EXPECT_EQ(rec.done.size(), 7u);
  EXPECT_TRUE(server->Mismatches().empty());
}

TEST_F(FtpScriptedTest, FollowUpCallsNestInsideTheFirstWait) {
  FtpScript s = LoggedIn();
  s.Expect("CWD /in", "250 ok").Expect("PWD", "500 PWD refused");
  Serve(s);
  ftp.SetHostDirName("/in");
  std::vector<std::string> order;
  rec.onDone = [&](TCustomFtpCli*, TFtpRequest Rq, std::uint16_t) {
    order.push_back(FtpRequestName(Rq));
    if (Rq == TFtpRequest::ConnectAsync) order.push_back(ftp.Cwd() ? "cwd ok" : "cwd failed");
    if (Rq == TFtpRequest::CwdAsync) order.push_back(ftp.Pwd() ? "pwd ok" : "pwd failed");
  };
  // Every call returns its own request's outcome, not that of a request a
  // handler ran inside its wait.
  EXPECT_TRUE(ftp.Connect());
  EXPECT_EQ(order, (Lines{"ConnectAsync", "CwdAsync", "PwdAsync", "pwd failed", "cwd ok"}));
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, MultiThreadedWaitPumpsTheThreadsOwnQueue) {
  FtpScript s = LoggedIn();
  s.Expect("SYST", "215 UNIX Type: L8");
  Serve(s);
  ftp.SetMultiThreaded(true);
  EXPECT_TRUE(ftp.Connect());
  EXPECT_EQ(Run([&] { ftp.SystAsync(); }).error, 0);
  EXPECT_EQ(ftp.ReplyLine(), "215 UNIX Type: L8");
}

TEST_F(FtpScriptedTest, BlockingAbortClosesAnIdleConnection) {
  Serve(LoggedIn());
  ASSERT_TRUE(ftp.Connect());
  EXPECT_TRUE(ftp.Abort());
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(ftp.State(), fcsReady);
  EXPECT_EQ(rec.Count("closed:"), 1);
  PumpPending();
  EXPECT_EQ(rec.done.size(), 1u);  // nothing ran, nothing to report
}

// The application may drop the engine from any of its handlers; the engine
// must not touch itself afterwards (the sanitizer build checks).
TEST(FtpReentrancy, EngineDestroyedFromItsHandlers) {
  for (const std::string where : {"response", "closed", "done", "statechange", "display", "command"}) {
    FtpScript s;
    s.Greet("220 hi").Expect("USER bob", "331 pw").Expect("PASS x", "230 ok");
    s.Expect("QUIT").Raw("221-bye\r\n221-really\r\n221 gone\r\n");
    FtpTestServer server(s);
    auto* ftp = new TFtpClient;
    bool destroyed = false;
    auto drop = [&](TCustomFtpCli* Sender) {
      if (destroyed) return;
      destroyed = true;
      delete Sender;
    };
    ftp->SetHostName("127.0.0.1");
    ftp->SetPort(server.PortText());
    ftp->SetUserName("bob");
    ftp->SetPassWord("x");
    ASSERT_TRUE(ftp->Connect()) << where;
    if (where == "response") ftp->OnResponse = [&](TCustomFtpCli* Sender) { drop(Sender); };
    if (where == "closed") ftp->OnSessionClosed = [&](TCustomFtpCli* Sender, std::uint16_t) { drop(Sender); };
    if (where == "done")
      ftp->OnRequestDone = [&](TCustomFtpCli* Sender, TFtpRequest, std::uint16_t) { drop(Sender); };
    if (where == "statechange") ftp->OnStateChange = [&](TCustomFtpCli* Sender) { drop(Sender); };
    if (where == "display") ftp->OnDisplay = [&](TCustomFtpCli* Sender, std::string&) { drop(Sender); };
    if (where == "command") ftp->OnCommand = [&](TCustomFtpCli* Sender, std::string&) { drop(Sender); };
    // The blocking call, too, must not look at the engine once it is gone.
    const bool ok = ftp->Quit();
    if (where != "done") {
      EXPECT_FALSE(ok) << where;  // the report may come after the wait
    }
    EXPECT_TRUE(PumpUntil([&] { return destroyed; }, 5000)) << where;
    PumpUntil([] { return false; }, 50);  // whatever was still queued for it
    if (!destroyed) delete ftp;
  }
}

TEST_F(FtpScriptedTest, FreeRunningServerAnswersOrdinaryCommands) {
  TempDir root;
  std::filesystem::create_directory(root.Path() / "pub");
  ASSERT_TRUE(WriteFile(root.Path() / "pub" / "a.txt", std::string(321, 'a')));
  FtpServeOptions o;
  o.root = root.Path();
  o.user = "bob";
  o.password = "x";
  server = std::make_unique<FtpTestServer>(o);
  ftp.SetPort(server->PortText());
  ftp.SetTimeout(10);
  ASSERT_TRUE(ftp.Connect());
  ftp.SetHostDirName("pub");
  EXPECT_TRUE(ftp.Cwd());
  EXPECT_TRUE(ftp.Pwd());
  EXPECT_EQ(ftp.ReplyPath(), "/pub");
  ftp.SetHostFileName("a.txt");
  EXPECT_TRUE(ftp.Size());
  EXPECT_EQ(ftp.RemoteSize(), 321);
  ftp.SetHostDirName("../..");
  EXPECT_TRUE(ftp.Cwd());
  EXPECT_TRUE(ftp.Pwd());
  EXPECT_EQ(ftp.ReplyPath(), "/");
  EXPECT_TRUE(ftp.Quit());
  EXPECT_EQ(server->Commands(),
            (Lines{"USER bob", "PASS x", "CWD pub", "PWD", "SIZE a.txt", "CWD ../..", "PWD", "QUIT"}));
}

}  // namespace
}  // namespace vektest
