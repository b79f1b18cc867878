// Request chains: step order, skipped steps, the report of a chain that ends
// with QUIT, failures and aborts inside a chain.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/ftp/ftp_fixture.h"

namespace vektest {
namespace {

TEST_F(FtpScriptedTest, ConnectSendsNoPasswordWhenUserIsEnough) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob", "230 logged in without password");
  Serve(s);
  const auto& d = Run([&] { ftp.ConnectAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(Commands(), (Lines{"USER bob"}));
  EXPECT_EQ(rec.Count("connected:0"), 1);
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, ServerClosingBeforeTheGreetingEndsConnectAtOnce) {
  FtpScript s;
  s.AcceptSilently().ThenClose();
  Serve(s);
  ftp.SetTimeout(30);
  EXPECT_FALSE(ftp.Connect());
  EXPECT_EQ(ftp.ErrorMessage(), "421 Control connection closed before the reply");
  ASSERT_FALSE(rec.done.empty());
  EXPECT_EQ(rec.done[0].request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done[0].error, 421);
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, WrongPasswordEndsConnectAndKeepsTheConnection) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob", "331 pw").Expect("PASS x", "530 Login incorrect.");
  Serve(s);
  const auto& d = Run([&] { ftp.ConnectAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(d.error, 530);
  EXPECT_EQ(d.errorMessage, "530 Login incorrect.");
  EXPECT_EQ(d.replyLine, "530 Login incorrect.");
  EXPECT_TRUE(ftp.IsConnected());
  try {
    ftp.ConnectAsync();
    ADD_FAILURE() << "no exception";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "FTP component already connected");
  }
  // The blocking twin says False and starts nothing.
  EXPECT_FALSE(ftp.Connect());
  EXPECT_EQ(ftp.LastBlockingException(), "FTP component already connected");
  PumpPending();
  EXPECT_EQ(rec.done.size(), 1u);
}

TEST_F(FtpScriptedTest, ChainEndingWithQuitReportsTheReplyBeforeQuit) {
  FtpScript s;
  s.Greet("220 hi")
      .Expect("USER bob", "331 pw")
      .Expect("PASS x", "230 ok")
      .Expect("CWD /pub", "250 ok")
      .Expect("SIZE f.bin", "213 777")
      .Expect("QUIT", "221 bye");
  Serve(s);
  ftp.SetHostDirName("/pub");
  ftp.SetHostFileName("f.bin");
  const auto& d = Run([&] { ftp.FileSizeAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::FileSizeAsync);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.replyLine, "213 777");
  EXPECT_EQ(d.replyCode, 213);
  EXPECT_EQ(ftp.RemoteSize(), 777);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "CWD /pub", "SIZE f.bin", "QUIT"}));
  // One report for the whole chain, after the close.
  EXPECT_EQ(rec.Count("done:"), 1);
  EXPECT_EQ(rec.events.back(), "done:FileSizeAsync:0");
  EXPECT_EQ(rec.Count("closed:"), 1);
}

TEST_F(FtpScriptedTest, FailingStepEndsTheChainWithoutQuit) {
  FtpScript s;
  s.Greet("220 hi")
      .Expect("USER bob", "331 pw")
      .Expect("PASS x", "230 ok")
      .Expect("CWD /missing", "550 /missing: no such directory");
  Serve(s);
  ftp.SetHostDirName("/missing");
  ftp.SetHostFileName("new");
  const auto& d = Run([&] { ftp.MkdirAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::MkdirAsync);
  EXPECT_EQ(d.error, 550);
  EXPECT_EQ(d.errorMessage, "550 /missing: no such directory");
  EXPECT_TRUE(ftp.IsConnected());
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "CWD /missing"}));
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, StepsRunInTheFixedOrderAndCwdIsSkippedWithoutDirectory) {
  FtpScript s;
  s.Greet("220 hi")
      .Expect("USER bob", "331 pw")
      .Expect("PASS x", "230 ok")
      .Expect("RNFR old", "350 go on")
      .Expect("RNTO new", "250 renamed")
      .Expect("QUIT", "221 bye");
  Serve(s);
  ftp.SetHostFileName("old");
  ftp.SetLocalFileName("new");
  const auto& d = Run([&] { ftp.RenameAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::RenameAsync);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.replyLine, "250 renamed");
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "RNFR old", "RNTO new", "QUIT"}));
  EXPECT_TRUE(server->Mismatches().empty());
}

TEST_F(FtpScriptedTest, MkdirChainKeepsThePathOfItsMkdReply) {
  FtpScript s;
  s.Greet("220 hi")
      .Expect("USER bob", "331 pw")
      .Expect("PASS x", "230 ok")
      .Expect("CWD /up", "250 ok")
      .Expect("MKD new", "257 \"/up/new\" created")
      .Expect("QUIT", "221 bye");
  Serve(s);
  ftp.SetHostDirName("/up");
  ftp.SetHostFileName("new");
  const auto& d = Run([&] { ftp.MkdirAsync(); });
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(ftp.ReplyPath(), "/up/new");
}

TEST_F(FtpScriptedTest, TransmitFailingAtPassReportsTransmit) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob", "331 pw").Expect("PASS x", "530 no");
  Serve(s);
  ftp.SetLocalFileName("/nonexistent/never-read");
  ftp.SetHostFileName("up.bin");
  const auto& d = Run([&] { ftp.TransmitAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::TransmitAsync);
  EXPECT_EQ(d.error, 530);
}

// No CWD without a directory: TYPE follows PASS, and a refused PORT ends the
// chain before RETR.
TEST_F(FtpScriptedTest, ReceiveWithoutDirectorySkipsCwdAndStopsAtTheDataStep) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob", "331 pw").Expect("PASS x", "230 ok").Expect("TYPE I", "200 binary");
  s.Expect("PORT *", "500 no data connections today");
  Serve(s);
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName("f.bin");
  const auto& d = Run([&] { ftp.ReceiveAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::ReceiveAsync);
  EXPECT_EQ(d.error, 500);
  EXPECT_EQ(d.errorMessage, "500 no data connections today");
  const Lines cmds = Commands();
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(Lines(cmds.begin(), cmds.begin() + 3), (Lines{"USER bob", "PASS x", "TYPE I"}));
  EXPECT_EQ(cmds[3].rfind("PORT 127,0,0,1,", 0), 0u) << cmds[3];
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, FirstStepRaisingLeavesNoStepsBehind) {
  FtpScript s;
  s.Greet("220 hi");
  Serve(s);
  // Port is the first step and needs a connection.
  try {
    ftp.GetAsync();
    ADD_FAILURE() << "no exception";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "FTP component not connected");
  }
  EXPECT_EQ(ftp.State(), fcsReady);
  // A later single request reports itself and runs no left-over Get step.
  const auto& d = Run([&] { ftp.OpenAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::OpenAsync);
  EXPECT_EQ(d.error, 0);
  PumpPending();
  EXPECT_EQ(rec.done.size(), 1u);
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(ftp.State(), fcsReady);
}

// A step that refuses to start once the chain runs (no password for a server
// that asks for one) ends the chain there, instead of leaving it waiting for a
// reply to a command never sent.
TEST_F(FtpScriptedTest, LaterStepRaisingEndsTheChain) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob", "331 pw please").Expect("PWD", "257 \"/\"");
  Serve(s);
  ftp.SetPassWord("");
  ftp.SetTimeout(20);
  EXPECT_FALSE(ftp.Connect());
  EXPECT_EQ(ftp.ErrorMessage(), "500 Password emtpy");
  EXPECT_EQ(ftp.State(), fcsReady);
  ASSERT_TRUE(rec.WaitDone());
  EXPECT_EQ(rec.done[0].request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done[0].error, 500);
  EXPECT_EQ(rec.done[0].errorMessage, "500 Password emtpy");
  EXPECT_TRUE(ftp.IsConnected());
  // Nothing of that chain runs behind the next request.
  const auto& d = Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::PwdAsync);
  EXPECT_EQ(d.error, 0);
  PumpPending();
  EXPECT_EQ(rec.done.size(), 2u);
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PWD"}));
}

TEST_F(FtpScriptedTest, FailedChainLeavesNoStepsForTheNextCommand) {
  FtpScript s;
  s.Greet("220 hi")
      .Expect("USER bob", "331 pw")
      .Expect("PASS x", "230 ok")
      .Expect("RNFR a", "550 a: no such file")
      .Expect("PWD", "257 \"/\"");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("a");
  ftp.SetLocalFileName("b");
  EXPECT_EQ(Run([&] { ftp.RenAsync(); }).error, 550);
  const auto& d = Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::PwdAsync);
  EXPECT_EQ(d.error, 0);
  PumpPending();
  EXPECT_EQ(rec.done.size(), 3u);
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "RNFR a", "PWD"}));
}

TEST_F(FtpScriptedTest, AbortDuringAChainReports426) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob");  // no answer
  Serve(s);
  ftp.ConnectAsync();
  ASSERT_TRUE(PumpUntil([&] { return ftp.State() == fcsAwaitingReply; }));
  ftp.AbortAsync();
  EXPECT_EQ(ftp.State(), fcsReady);
  EXPECT_FALSE(ftp.IsConnected());
  ASSERT_TRUE(rec.WaitDone());
  EXPECT_EQ(rec.done[0].request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done[0].error, 426);
  EXPECT_EQ(rec.done[0].errorMessage, "426 Operation aborted.");
  EXPECT_EQ(rec.Count("closed:"), 1);
}

TEST_F(FtpScriptedTest, AbortDuringTheLookupReports10004) {
  // A name (not a dotted address) is looked up in the background.
  ftp.SetHostName("localhost");
  ftp.SetPort("21");
  ftp.ConnectAsync();
  ASSERT_EQ(ftp.State(), fcsResolving);
  ftp.AbortAsync();
  EXPECT_EQ(ftp.State(), fcsReady);
  ASSERT_TRUE(rec.WaitDone());
  EXPECT_EQ(rec.done[0].request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done[0].error, 10004);
  // The late answer of the resolver changes nothing.
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(rec.done.size(), 1u);
  EXPECT_EQ(ftp.State(), fcsReady);
}

// A queue that moves on as soon as the engine is ready: the request started
// from OnStateChange is a request of its own, with its own report.
TEST_F(FtpScriptedTest, RequestStartedWhenTheStateTurnsReadyIsAFreshRequest) {
  FtpScript s = LoggedIn();
  s.Expect("PWD", "257 \"/home\"");
  Serve(s);
  bool started = false;
  ftp.OnStateChange = [&](TCustomFtpCli* Sender) {
    if (Sender->State() != fcsReady || started) return;
    started = true;
    Sender->PwdAsync();
  };
  ftp.ConnectAsync();
  ASSERT_TRUE(rec.WaitDone(2));
  EXPECT_EQ(rec.done[0].request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(rec.done[0].error, 0);
  EXPECT_EQ(rec.done[1].request, TFtpRequest::PwdAsync);
  EXPECT_EQ(rec.done[1].error, 0);
  EXPECT_EQ(ftp.ReplyPath(), "/home");
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "PWD"}));
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, SecondRequestWhileOneRunsIsRefused) {
  FtpScript s = LoggedIn();
  s.Expect("SIZE f.bin", "213 4242");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("f.bin");
  ftp.SetHostDirName("/a");
  ftp.SizeAsync();
  try {
    ftp.PwdAsync();
    ADD_FAILURE() << "no exception";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "FTP component not ready");
  }
  EXPECT_THROW(ftp.SizeAsync(), FtpException);
  EXPECT_THROW(ftp.CwdAsync(), FtpException);
  EXPECT_THROW(ftp.ConnectAsync(), FtpException);
  // The running request still takes its number from its reply.
  ASSERT_TRUE(rec.WaitDone(2));
  EXPECT_EQ(rec.done[1].request, TFtpRequest::SizeAsync);
  EXPECT_EQ(rec.done[1].error, 0);
  EXPECT_EQ(ftp.RemoteSize(), 4242);
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "SIZE f.bin"}));
}

// A window handler runs while a request is under way (user input is handled
// inside the engine's events). Changing a property then would change the
// running request halfway: a later step sending another name, or a download
// written to another file. Every setter refuses until the request has ended;
// from OnRequestDone on they work again.
TEST_F(FtpScriptedTest, PropertiesRefuseChangesWhileARequestRuns) {
  FtpScript s;
  s.Greet("220 hi")
      .Expect("USER bob", "331 pw")
      .Expect("PASS x", "230 ok")
      .Expect("CWD /pub", "250 ok")
      .Expect("RNFR old", "350 go on")
      .Expect("RNTO new", "250 renamed")
      .Expect("QUIT", "221 bye");
  Serve(s);
  ftp.SetHostDirName("/pub");
  ftp.SetHostFileName("old");
  ftp.SetLocalFileName("new");

  struct Setter {
    const char* name;
    std::function<void(TCustomFtpCli&)> set;
  };
  const std::vector<Setter> setters = {
      {"HostName", [](TCustomFtpCli& F) { F.SetHostName("elsewhere.invalid"); }},
      {"Port", [](TCustomFtpCli& F) { F.SetPort("2121"); }},
      {"UserName", [](TCustomFtpCli& F) { F.SetUserName("mallory"); }},
      {"PassWord", [](TCustomFtpCli& F) { F.SetPassWord("other"); }},
      {"HostDirName", [](TCustomFtpCli& F) { F.SetHostDirName("/elsewhere"); }},
      {"HostFileName", [](TCustomFtpCli& F) { F.SetHostFileName("other-old"); }},
      {"LocalFileName", [](TCustomFtpCli& F) { F.SetLocalFileName("other-new"); }},
      {"Binary", [](TCustomFtpCli& F) { F.SetBinary(false); }},
      {"PassiveMode", [](TCustomFtpCli& F) { F.SetPassiveMode(true); }},
      {"ShareMode", [](TCustomFtpCli& F) { F.SetShareMode(ftpShareDenyNone); }},
      {"DisplayFlag", [](TCustomFtpCli& F) { F.SetDisplayFlag(true); }},
      {"DisplayFileFlag", [](TCustomFtpCli& F) { F.SetDisplayFileFlag(true); }},
  };
  auto values = [](const TCustomFtpCli& F) {
    return Lines{F.HostName(),
                 F.Port(),
                 F.UserName(),
                 F.PassWord(),
                 F.HostDirName(),
                 F.HostFileName(),
                 F.LocalFileName(),
                 F.Binary() ? "I" : "A",
                 F.PassiveMode() ? "passive" : "active",
                 std::to_string(F.ShareMode()),
                 F.DisplayFlag() ? "display" : "-",
                 F.DisplayFileFlag() ? "displayfile" : "-"};
  };
  const Lines before = values(ftp);
  const Lines changed = {"elsewhere.invalid", "2121", "mallory", "other", "/elsewhere", "other-old", "other-new",
                         "A", "passive", std::to_string(ftpShareDenyNone), "display", "displayfile"};

  // Where a setter went through, or refused with another text: "<where> <setter>".
  Lines wrong;
  int tries = 0;
  int stepTries = 0;
  auto tryAll = [&](TCustomFtpCli* Sender, const std::string& Where) {
    ++tries;
    for (const Setter& st : setters) {
      try {
        st.set(*Sender);
        wrong.push_back(Where + " " + st.name + " accepted");
      } catch (const FtpException& e) {
        if (std::string(e.what()) != "FTP component not ready") wrong.push_back(Where + " " + st.name + " " + e.what());
      }
    }
  };
  auto recorded = ftp.OnDisplay;
  ftp.OnDisplay = [&, recorded](TCustomFtpCli* Sender, std::string& Msg) {
    recorded(Sender, Msg);
    tryAll(Sender, Msg);
  };
  // Between two steps of the chain the request still runs.
  ftp.OnStateChange = [&](TCustomFtpCli* Sender) {
    if (Sender->State() != fcsStepReady) return;
    ++stepTries;
    tryAll(Sender, "step");
  };
  Lines inDone;
  std::string doneWhy;
  rec.onDone = [&](TCustomFtpCli* Sender, TFtpRequest, std::uint16_t) {
    inDone = values(*Sender);
    try {
      for (const Setter& st : setters) st.set(*Sender);
    } catch (const FtpException& e) {
      doneWhy = e.what();
    }
  };

  const auto& d = Run([&] { ftp.RenameAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::RenameAsync);
  EXPECT_EQ(d.error, 0) << d.errorMessage;
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "CWD /pub", "RNFR old", "RNTO new", "QUIT"}));
  EXPECT_TRUE(server->Mismatches().empty());
  EXPECT_EQ(wrong, Lines{});
  // A command and its reply per step at least, and a pause between steps.
  EXPECT_GE(tries, 12);
  EXPECT_GE(stepTries, 5);
  EXPECT_EQ(inDone, before);
  EXPECT_EQ(doneWhy, "");
  EXPECT_EQ(values(ftp), changed);
}

TEST_F(FtpScriptedTest, EmptyHostNameFailsWithoutWedgingTheEngine) {
  Serve(LoggedIn());
  ftp.SetHostName("");
  EXPECT_FALSE(ftp.Connect());
  EXPECT_FALSE(ftp.LastBlockingException().empty());
  EXPECT_EQ(ftp.State(), fcsReady);
  // The next attempt, with a host, runs normally.
  ftp.SetHostName("127.0.0.1");
  EXPECT_TRUE(ftp.Connect()) << ftp.LastBlockingException();
  PumpPending();
  EXPECT_EQ(rec.done.size(), 1u);
}

// FEAT after the login: what the server answers decides what follows, and
// no answer of a server that merely declines fails the connect.
TEST_F(FtpScriptedTest, FeatAnswersDecideOptsAndNeverFailTheConnect) {
  struct Case {
    std::string feat;      // the reply to FEAT
    std::string opts;      // the reply to OPTS UTF8 ON; empty: not expected
    Lines commands;        // after USER and PASS
    bool utf8, mlsd;
    int error;
  };
  const Case cases[] = {
      {"502 Command not implemented", "", {"FEAT"}, false, false, 0},
      {"211-Features:\n MDTM\n MLST type*;size*;modify*;\n SIZE\n211 End", "", {"FEAT"}, false, true, 0},
      {"211-Extensions supported:\n UTF8\n mfmt\n211 End.", "504 Unknown command", {"FEAT", "OPTS UTF8 ON"}, true,
       false, 0},
      {"211-Features:\n UTF8\n211 End", "501 Invalid argument", {"FEAT", "OPTS UTF8 ON"}, true, false, 0},
      {"211 no features", "", {"FEAT"}, false, false, 0},
      {"421 Too many users", "", {"FEAT"}, false, false, 421},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.feat);
    FtpScript s = LoggedIn();
    s.Expect("FEAT", c.feat);
    if (!c.opts.empty()) s.Expect("OPTS UTF8 ON", c.opts);
    s.Expect("QUIT", "221 bye");
    Serve(s);
    rec.done.clear();
    ftp.SetUseFeatures(true);
    ftp.SetUseMlsd(true);
    const auto& d = Run([&] { ftp.ConnectAsync(); });
    EXPECT_EQ(d.error, c.error);
    Lines expected{"USER bob", "PASS x"};
    expected.insert(expected.end(), c.commands.begin(), c.commands.end());
    EXPECT_EQ(Commands(), expected);
    EXPECT_EQ(ftp.Utf8(), c.utf8);
    EXPECT_EQ(ftp.ListsMachineReadable(), c.mlsd);
    EXPECT_TRUE(ftp.Quit());
    server.reset();
  }
}

}  // namespace
}  // namespace vektest
