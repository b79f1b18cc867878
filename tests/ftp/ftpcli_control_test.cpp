// The control connection: greeting, line cutting, replies and their judging,
// the single-command requests, closing.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/ftp/ftp_fixture.h"
#include "tests/support/peer_process.h"

namespace vektest {
namespace {

bool Has(const std::vector<std::string>& V, const std::string& S) {
  return std::find(V.begin(), V.end(), S) != V.end();
}

// --- greeting --------------------------------------------------------------

TEST_F(FtpScriptedTest, GreetingCutIntoSegmentsGivesOneLine) {
  FtpScript s;
  s.AcceptSilently().Do([](FtpServerSession& ss, const std::string&) {
    for (const char* piece : {"22", "0 Hel", "lo\r", "\n"}) {
      ss.Send(piece);
      ss.Sleep(30);
    }
  });
  Serve(s);
  const auto& d = Run([&] { ftp.OpenAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::OpenAsync);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(rec.display, (Lines{"< 220 Hello"}));
  EXPECT_EQ(rec.Count("connected:0"), 1);
  EXPECT_EQ(ftp.ReplyCode(), 220);
  EXPECT_TRUE(ftp.IsConnected());
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, MultiLineGreetingInOneSegmentCompletesOnceOnItsLastLine) {
  FtpScript s;
  s.AcceptSilently().Raw("220-Welcome\r\n220-second line\r\n220 ready\r\n");
  Serve(s);
  const auto& d = Run([&] { ftp.OpenAsync(); });
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.replyLine, "220 ready");
  EXPECT_EQ(rec.display, (Lines{"< 220-Welcome", "< 220-second line", "< 220 ready"}));
  EXPECT_EQ(rec.responses, 3);
  PumpPending();
  EXPECT_EQ(rec.done.size(), 1u);
  EXPECT_EQ(rec.Count("connected:"), 1);
}

TEST_F(FtpScriptedTest, GreetingOtherThan220ClosesAndFailsWithItsCode) {
  FtpScript s;
  s.Greet("421 Too many users");
  Serve(s);
  const auto& d = Run([&] { ftp.OpenAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::OpenAsync);
  EXPECT_EQ(d.error, 421);
  EXPECT_EQ(d.errorMessage, "421 Too many users");
  EXPECT_FALSE(ftp.IsConnected());
  // The close is reported before the request.
  EXPECT_EQ(rec.events.back(), "done:OpenAsync:421");
  EXPECT_EQ(rec.Count("closed:"), 1);
  EXPECT_EQ(rec.Count("connected:"), 0);
}

// RFC 959: 120 (ready in n minutes) comes before the 220; a 1yz reply to a
// command is followed by its final reply.
TEST_F(FtpScriptedTest, PreliminaryRepliesWaitForTheFinalOne) {
  FtpScript s;
  s.AcceptSilently().Raw("120 ready in 1 minute\r\n").Gap(30).Raw("220 ready now\r\n");
  s.Expect("USER bob", "331 pw").Expect("PASS x", "230 ok");
  s.Expect("RETR nothing-prepared", "150 opening\n550 nothing-prepared: no such file");
  s.Expect("SYST", "215 UNIX");
  Serve(s);
  const auto& d1 = Run([&] { ftp.ConnectAsync(); });
  EXPECT_EQ(d1.error, 0);
  EXPECT_EQ(rec.Count("connected:"), 1);
  ftp.SetLocalFileName("RETR nothing-prepared");
  const auto& d2 = Run([&] { ftp.QuoteAsync(); });
  EXPECT_EQ(d2.error, 550);
  EXPECT_EQ(d2.errorMessage, "550 nothing-prepared: no such file");
  // The next command gets its own reply.
  const auto& d3 = Run([&] { ftp.SystAsync(); });
  EXPECT_EQ(d3.error, 0);
  EXPECT_EQ(d3.replyLine, "215 UNIX");
}

// --- replies ---------------------------------------------------------------

TEST_F(FtpScriptedTest, MultiLineCwdReplyCompletesOnceAndShowsEveryLine) {
  FtpScript s = LoggedIn();
  s.Expect("CWD /pub", "250-This is pub\n250-Read the README\n250 Directory changed");
  Serve(s);
  ConnectLoggedIn();
  rec.display.clear();
  ftp.SetHostDirName("/pub");
  const auto& d = Run([&] { ftp.CwdAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::CwdAsync);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(rec.display,
            (Lines{"> CWD /pub", "< 250-This is pub", "< 250-Read the README", "< 250 Directory changed"}));
  PumpPending();
  EXPECT_EQ(rec.done.size(), 2u);
  // 250 without a quoted path
  EXPECT_EQ(ftp.ReplyPath(), "");
}

TEST_F(FtpScriptedTest, LinesWithoutCodeAndEmptyLinesAreShownAndIgnored) {
  FtpScript s = LoggedIn();
  s.Expect("PWD").Raw("hello there\r\n\r\n-dash\r\n257 \"/\" is cwd\r\n");
  Serve(s);
  ConnectLoggedIn();
  rec.display.clear();
  const auto& d = Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.replyLine, "257 \"/\" is cwd");
  EXPECT_EQ(rec.display, (Lines{"> PWD", "< hello there", "< ", "< -dash", "< 257 \"/\" is cwd"}));
}

TEST_F(FtpScriptedTest, UnsolicitedLinesAreOnlyShown) {
  FtpScript s = LoggedIn();
  s.Expect("NOOP").Raw("200 fine\r\n226 stray\r\n");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetLocalFileName("NOOP");
  EXPECT_EQ(Run([&] { ftp.QuoteAsync(); }).error, 0);
  ASSERT_TRUE(PumpUntil([&] { return Has(rec.display, "< 226 stray"); }));
  PumpPending();
  EXPECT_EQ(rec.done.size(), 2u);
  EXPECT_EQ(ftp.State(), fcsReady);
  EXPECT_EQ(ftp.ResultCode(), 0);
}

TEST_F(FtpScriptedTest, RefusedCwdFailsWithTheLineAndTheFirstErrorStays) {
  FtpScript s = LoggedIn();
  s.Expect("CWD /nope", "550 /nope: No such file or directory")
      .Expect("PWD", "500 PWD not understood")
      .Expect("RNFR a", "350 ready")
      .Expect("RNTO b", "250 renamed");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostDirName("/nope");
  const auto& d1 = Run([&] { ftp.CwdAsync(); });
  EXPECT_EQ(d1.error, 550);
  EXPECT_EQ(d1.errorMessage, "550 /nope: No such file or directory");
  EXPECT_EQ(ftp.State(), fcsReady);

  const auto& d2 = Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(d2.error, 500);
  EXPECT_EQ(d2.replyLine, "500 PWD not understood");
  EXPECT_EQ(d2.errorMessage, "550 /nope: No such file or directory");

  // A chain starts with a clean slate.
  ftp.SetHostFileName("a");
  ftp.SetLocalFileName("b");
  const auto& d3 = Run([&] { ftp.RenAsync(); });
  EXPECT_EQ(d3.request, TFtpRequest::RenAsync);
  EXPECT_EQ(d3.error, 0);
  EXPECT_EQ(d3.errorMessage, "");
}

TEST_F(FtpScriptedTest, NameWithALineBreakIsNeverSent) {
  FtpScript s = LoggedIn();
  s.Expect("PWD", "257 \"/\"");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostDirName("pub\r\nDELE important");
  const auto& d1 = Run([&] { ftp.CwdAsync(); });
  EXPECT_EQ(d1.error, 500);
  EXPECT_EQ(d1.errorMessage, "500 Command refused: it holds a line break or a NUL");
  EXPECT_EQ(ftp.State(), fcsReady);
  // The engine goes on with the next command; the server never saw the first.
  EXPECT_EQ(Run([&] { ftp.PwdAsync(); }).error, 0);
  for (const std::string& c : Commands()) {
    EXPECT_EQ(c.find("DELE"), std::string::npos) << c;
    EXPECT_EQ(c.find("CWD"), std::string::npos) << c;
  }
}

TEST_F(FtpScriptedTest, EmptyAcceptedListTakesEverythingBelow500) {
  FtpScript s = LoggedIn();
  s.Expect("SITE ONE", "350 fine").Expect("SITE TWO", "421 going away").Expect("SITE THREE", "500 no");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetLocalFileName("SITE ONE");
  EXPECT_EQ(Run([&] { ftp.QuoteAsync(); }).error, 0);
  ftp.SetLocalFileName("SITE TWO");
  EXPECT_EQ(Run([&] { ftp.QuoteAsync(); }).error, 0);
  ftp.SetLocalFileName("SITE THREE");
  const auto& d = Run([&] { ftp.QuoteAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::QuoteAsync);
  EXPECT_EQ(d.error, 500);
}

TEST_F(FtpScriptedTest, QuotedPathWithDoubledQuotes) {
  FtpScript s = LoggedIn();
  s.Expect("PWD", "257 \"/a \"\"b\"\" c\" is the current directory")
      .Expect("MKD x", "257 no quotes here")
      .Expect("CDUP", "250   \"/up\"");
  Serve(s);
  ConnectLoggedIn();
  Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(ftp.ReplyPath(), "/a \"b\" c");
  ftp.SetHostFileName("x");
  EXPECT_EQ(Run([&] { ftp.MkdAsync(); }).error, 0);
  EXPECT_EQ(ftp.ReplyPath(), "");
  Run([&] { ftp.CDupAsync(); });
  EXPECT_EQ(ftp.ReplyPath(), "/up");
}

TEST_F(FtpScriptedTest, SizeReplies) {
  FtpScript s = LoggedIn();
  s.Expect("SIZE a.bin", "213 12345")
      .Expect("SIZE b.bin", "213")
      .Expect("SIZE big.iso", "213 5000000000")
      .Expect("SIZE gone", "550 gone: no such file");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("a.bin");
  EXPECT_EQ(Run([&] { ftp.SizeAsync(); }).error, 0);
  EXPECT_EQ(ftp.RemoteSize(), 12345);
  ftp.SetHostFileName("b.bin");
  EXPECT_EQ(Run([&] { ftp.SizeAsync(); }).error, 0);
  EXPECT_EQ(ftp.RemoteSize(), 0);
  // Files beyond 2 GiB keep their size.
  ftp.SetHostFileName("big.iso");
  Run([&] { ftp.SizeAsync(); });
  EXPECT_EQ(ftp.RemoteSize(), 5000000000LL);
  ftp.SetHostFileName("gone");
  EXPECT_EQ(Run([&] { ftp.SizeAsync(); }).error, 550);
  EXPECT_EQ(ftp.RemoteSize(), 0);
}

TEST_F(FtpScriptedTest, RestSendsTheLocalFileSizeOrNothing) {
  TempDir dir;
  const std::string partial = (dir.Path() / "partial.bin").string();
  ASSERT_TRUE(WriteFile(partial, std::string(1000, 'p')));
  FtpScript s = LoggedIn();
  s.Expect("REST 1000", "350 Restarting at 1000");
  Serve(s);
  ConnectLoggedIn();

  ftp.SetLocalFileName((dir.Path() / "absent.bin").string());
  const auto& d1 = Run([&] { ftp.RestAsync(); });
  EXPECT_EQ(d1.request, TFtpRequest::RestAsync);
  EXPECT_EQ(d1.error, 0);
  EXPECT_EQ(ftp.RestartOffset(), -1);

  ftp.SetLocalFileName(partial);
  const auto& d2 = Run([&] { ftp.RestAsync(); });
  EXPECT_EQ(d2.error, 0);
  EXPECT_EQ(ftp.RestartOffset(), 1000);
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "REST 1000"}));
}

TEST_F(FtpScriptedTest, TypeLetterFollowsBinary) {
  FtpScript s = LoggedIn();
  s.Expect("TYPE A", "200 ascii").Expect("TYPE I", "200 binary").Expect("TYPE A", "200 ascii");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetBinary(false);
  EXPECT_FALSE(ftp.Binary());
  EXPECT_EQ(Run([&] { ftp.TypeSetAsync(); }).request, TFtpRequest::TypeSetAsync);
  EXPECT_EQ(Run([&] { ftp.BinaryTypeAsync(); }).request, TFtpRequest::TypeSetAsync);
  EXPECT_TRUE(ftp.Binary());
  Run([&] { ftp.AsciiTypeAsync(); });
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "TYPE A", "TYPE I", "TYPE A"}));
}

TEST_F(FtpScriptedTest, CommandHandlerMayRewriteTheCommand) {
  FtpScript s = LoggedIn();
  s.Expect("CWD /elsewhere", "250 ok");
  Serve(s);
  ConnectLoggedIn();
  ftp.OnCommand = [](TCustomFtpCli*, std::string& Cmd) {
    if (Cmd == "CWD /here") Cmd = "CWD /elsewhere";
  };
  ftp.SetHostDirName("/here");
  EXPECT_EQ(Run([&] { ftp.CwdAsync(); }).error, 0);
  EXPECT_TRUE(Has(rec.display, "> CWD /elsewhere"));
  EXPECT_FALSE(Has(rec.display, "> CWD /here"));
  EXPECT_EQ(Commands().back(), "CWD /elsewhere");
}

TEST_F(FtpScriptedTest, PasswordIsSentAndShownAsGiven) {
  FtpScript s;
  s.Greet("220 hi").Expect("USER bob", "331 pw").Expect("PASS s3 cr#t", "230 in");
  Serve(s);
  ftp.SetPassWord("s3 cr#t");
  EXPECT_EQ(Run([&] { ftp.ConnectAsync(); }).error, 0);
  EXPECT_TRUE(Has(rec.display, "> PASS s3 cr#t"));
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS s3 cr#t"}));
}

TEST_F(FtpScriptedTest, CommandChecksRaiseBeforeSending) {
  FtpScript s = LoggedIn();
  Serve(s);
  // Nothing is connected yet.
  EXPECT_THROW(
      {
        try {
          ftp.PwdAsync();
        } catch (const FtpException& e) {
          EXPECT_STREQ(e.what(), "FTP component not connected");
          throw;
        }
      },
      FtpException);
  ConnectLoggedIn();
  ftp.SetHostDirName("");
  try {
    ftp.CwdAsync();
    ADD_FAILURE() << "no exception";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "HostDirName emtpy");
  }
  EXPECT_EQ(ftp.State(), fcsReady);
  PumpPending();
  EXPECT_EQ(rec.done.size(), 1u);
}

// --- closing ---------------------------------------------------------------

TEST_F(FtpScriptedTest, QuitClosesThenReportsDone) {
  FtpScript s = LoggedIn();
  s.Expect("QUIT", "221 Goodbye");
  Serve(s);
  ConnectLoggedIn();
  rec.events.clear();
  const auto& d = Run([&] { ftp.QuitAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::QuitAsync);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.replyLine, "221 Goodbye");
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(rec.events, (Lines{"display:> QUIT", "display:< 221 Goodbye", "closed:0", "done:QuitAsync:0"}));
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, ServerClosingInsteadOfReplyingFailsTheCommand) {
  FtpScript s = LoggedIn();
  s.Expect("NOOP").ThenClose();
  Serve(s);
  ConnectLoggedIn();
  ftp.SetLocalFileName("NOOP");
  const auto& d = Run([&] { ftp.QuoteAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::QuoteAsync);
  EXPECT_EQ(d.error, 421);
  EXPECT_EQ(d.errorMessage, "421 Control connection closed before the reply");
  EXPECT_EQ(rec.Count("closed:"), 1);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(ftp.State(), fcsReady);
  // Commands need a connection again.
  EXPECT_THROW(ftp.PwdAsync(), FtpException);
}

TEST_F(FtpScriptedTest, OverlongReplyLineClosesTheConnection) {
  FtpScript s = LoggedIn();
  s.Expect("PWD").Raw("257 " + std::string(6000, 'x'));
  Serve(s);
  ConnectLoggedIn();
  Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(rec.Count("closed:"), 1);
  EXPECT_FALSE(ftp.IsConnected());
}

TEST_F(FtpScriptedTest, ReplyLinesUpToTheBufferSizeAndNoFurther) {
  // 4094 characters and CR LF fill the 4096-byte buffer exactly: still a line.
  const std::string longest = "257 \"/" + std::string(4094 - 7, 'd') + "\"";
  FtpScript s = LoggedIn();
  s.Expect("PWD").Raw(longest + "\r\n");
  // A full buffer without a line end is not a reply, even when the server
  // then says nothing more.
  s.Expect("SYST").Raw(std::string(4096, 'x'));
  Serve(s);
  ConnectLoggedIn();
  const auto& d1 = Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(d1.error, 0);
  EXPECT_EQ(ftp.ReplyLine(), longest);
  EXPECT_EQ(ftp.ReplyPath().size(), 4094u - 6);
  const auto& d2 = Run([&] { ftp.SystAsync(); });
  EXPECT_EQ(d2.request, TFtpRequest::SystAsync);
  EXPECT_EQ(d2.error, 421);
  EXPECT_EQ(rec.Count("closed:"), 1);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpScriptedTest, ZeroBytesInRepliesDoNotHideTheLinesBehindThem) {
  // Telnet NUL is a no-operation (RFC 854); it must not stall the parser.
  FtpScript s = LoggedIn();
  s.Expect("PWD").Raw(std::string("257 \"/h\0ome\" is cwd\r\n", 21));
  s.Expect("SYST").Raw(std::string(2, '\0') + "215 UNIX\r\n");
  Serve(s);
  ConnectLoggedIn();
  const auto& d1 = Run([&] { ftp.PwdAsync(); });
  EXPECT_EQ(d1.error, 0);
  EXPECT_EQ(d1.replyLine, "257 \"/home\" is cwd");
  EXPECT_EQ(ftp.ReplyPath(), "/home");
  const auto& d2 = Run([&] { ftp.SystAsync(); });
  EXPECT_EQ(d2.error, 0);
  EXPECT_EQ(d2.replyLine, "215 UNIX");
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "PWD", "SYST"}));
}

// Lines with a code and a hyphen are continuation lines whatever their code;
// the first line with a code and a space ends the reply.
TEST_F(FtpScriptedTest, OddLinesInsideAMultiLineReply) {
  FtpScript s = LoggedIn();
  s.Expect("CWD /a").Raw("250-first\r\n123-inside\r\n 250 padded\r\n250 done\r\n");
  s.Expect("CWD /b").Raw("250-first\r\n550 closed by another code\r\n");
  s.Expect("SYST", "215 UNIX");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostDirName("/a");
  const auto& d1 = Run([&] { ftp.CwdAsync(); });
  EXPECT_EQ(d1.error, 0);
  EXPECT_EQ(d1.replyLine, "250 done");
  ftp.SetHostDirName("/b");
  const auto& d2 = Run([&] { ftp.CwdAsync(); });
  EXPECT_EQ(d2.error, 550);
  EXPECT_EQ(ftp.State(), fcsReady);
  // The connection stays in step: the next reply belongs to the next command.
  const auto& d3 = Run([&] { ftp.SystAsync(); });
  EXPECT_EQ(d3.error, 0);
  EXPECT_EQ(d3.replyLine, "215 UNIX");
}

TEST_F(FtpScriptedTest, ServerClosingAnIdleConnectionLeavesTheEngineReady) {
  FtpScript s = LoggedIn();
  s.ThenClose();
  Serve(s);
  ConnectLoggedIn();
  ASSERT_TRUE(PumpUntil([&] { return rec.Count("closed:") == 1; }));
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(ftp.State(), fcsReady);
  PumpPending();
  EXPECT_EQ(rec.done.size(), 1u);  // nothing ran, nothing to report
}

// --- lookup and connect failures ----------------------------------------------

TEST_F(FtpScriptedTest, UnresolvableHostFailsWithTheLookupCode) {
  ftp.SetHostName("no-such-host.invalid");
  const auto& d = Run([&] { ftp.OpenAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::OpenAsync);
  EXPECT_GE(d.error, 11001);
  EXPECT_LE(d.error, 11004);
  EXPECT_EQ(d.replyLine.rfind("500 ", 0), 0u) << d.replyLine;
  EXPECT_NE(d.replyLine.find("(Winsock error #" + std::to_string(d.error) + ")"), std::string::npos);
  EXPECT_EQ(d.replyCode, 500);
  EXPECT_EQ(d.errorMessage, d.replyLine);
  EXPECT_EQ(ftp.State(), fcsReady);
  // The blocking twin simply fails.
  EXPECT_FALSE(ftp.Connect());
}

TEST_F(FtpScriptedTest, UnusablePortFailsAtOnce) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    rec.done.clear();
    ftp.SetHostName(host);
    ftp.SetPort("no-such-service-name");
    const auto& d = Run([&] { ftp.ConnectAsync(); });
    EXPECT_EQ(d.request, TFtpRequest::ConnectAsync);
    EXPECT_NE(d.error, 0);
    EXPECT_EQ(d.errorMessage.rfind("500 ", 0), 0u) << d.errorMessage;
    EXPECT_EQ(ftp.State(), fcsReady) << host;
    EXPECT_FALSE(ftp.IsConnected());
  }
}

TEST_F(FtpScriptedTest, RefusedPortFailsWith10061) {
  ftp.SetPort(std::to_string(ClosedLocalPort()));
  const auto& d = Run([&] { ftp.ConnectAsync(); });
  EXPECT_EQ(d.request, TFtpRequest::ConnectAsync);
  EXPECT_EQ(d.error, 10061);
  EXPECT_EQ(d.replyLine, "500 Connection refused (Winsock error #10061)");
  // A failed connect leaves ErrorMessage as it was (the chain cleared it).
  EXPECT_EQ(d.errorMessage, "");
  EXPECT_EQ(ftp.State(), fcsReady);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(rec.Count("closed:"), 0);
}

}  // namespace
}  // namespace vektest
