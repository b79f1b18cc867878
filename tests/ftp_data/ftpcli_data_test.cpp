// The data connection against the scripted server: completion order, local
// files, resume offsets, aborts, uploads and the hostile-server cases.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "tests/ftp/ftp_fixture.h"
#include "tests/ftp_data/server_data.h"
#include "tests/support/peer_process.h"

namespace vektest {
namespace {

std::string RandomBytes(std::size_t N, unsigned Seed = 7) {
  std::mt19937 gen(Seed);
  std::string s(N, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

class FtpDataTest : public FtpScriptedTest {
 protected:
  std::string Local(const std::string& Name) const { return (dir.Path() / Name).string(); }

  // PORT answered 200, its address remembered for the RETR/STOR actions.
  void ActivePort(FtpScript& S) {
    auto d = data;
    S.Expect("PORT *", "200 PORT ok").Do([d](FtpServerSession&, const std::string& Cmd) { d->TakePort(Cmd); });
  }
  void PassivePort(FtpScript& S) {
    auto d = data;
    S.Expect("PASV").Do([d](FtpServerSession& Session, const std::string&) { Session.Reply(d->Pasv()); });
  }

  // A transfer answered as pure-ftpd does: "150-" and "150 " in two writes,
  // the data, then a multi-line 226.
  static constexpr const char* kPure226 =
      "226-File successfully transferred\n226 0.001 seconds (measured here), 9.8 Mbytes per second";
  void PureDownload(FtpScript& S, const std::string& Command, const std::string& Bytes,
                    const std::string& Final = kPure226) {
    auto d = data;
    S.Expect(Command, "150-Accepted data connection")
        .Reply("150 1024.0 kbytes to download")
        .Do([d, Bytes, Final](FtpServerSession& Session, const std::string&) {
          d->Open();
          d->Send(Bytes);
          d->Close();
          Session.Reply(Final);
        });
  }
  void PureUpload(FtpScript& S, const std::string& Command, std::shared_ptr<std::string> Got) {
    auto d = data;
    S.Expect(Command, "150-Accepted data connection")
        .Reply("150 Ok to send data")
        .Do([d, Got](FtpServerSession& Session, const std::string&) {
          d->Open();
          *Got = d->ReceiveAll();
          d->Close();
          Session.Reply(kPure226);
        });
  }

  std::size_t EventIndex(const std::string& Prefix) const {
    for (std::size_t i = 0; i < rec.events.size(); ++i)
      if (rec.events[i].rfind(Prefix, 0) == 0) return i;
    return std::string::npos;
  }

  TempDir dir{"vekftpdata"};
  std::shared_ptr<ServerData> data = std::make_shared<ServerData>();
};

// --- completion order ------------------------------------------------------

void ExpectOneCompletionAfterStats(const FtpDataTest& T, const FtpRecorder& Rec, std::size_t Bytes) {
  const std::string stats = "display:! " + std::to_string(Bytes) + " bytes received/sent in ";
  EXPECT_EQ(Rec.Count(stats), 1);
  EXPECT_EQ(Rec.Count("done:"), 2);  // ConnectAsync, then the transfer
  (void)T;
  std::size_t statsAt = std::string::npos, doneAt = std::string::npos;
  for (std::size_t i = 0; i < Rec.events.size(); ++i) {
    if (Rec.events[i].rfind(stats, 0) == 0) statsAt = i;
    if (Rec.events[i] == "done:GetAsync:0") doneAt = i;
  }
  ASSERT_NE(statsAt, std::string::npos);
  ASSERT_NE(doneAt, std::string::npos);
  EXPECT_LT(statsAt, doneAt);
}

TEST_F(FtpDataTest, DownloadWhose226ComesBeforeTheCloseCompletesOnce) {
  const std::string payload = RandomBytes(100000);
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 here it comes").Do([d, payload](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(payload);
    Session.Reply("226 done");
    Session.Sleep(150);
    d->Close();
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_EQ(done.replyLine, "226 done");
  PumpPending();
  ExpectOneCompletionAfterStats(*this, rec, payload.size());
  EXPECT_TRUE(ReadFile(Local("f.bin")) == payload) << "the local file differs";
}

TEST_F(FtpDataTest, DownloadWhoseCloseComesBeforeThe226CompletesOnce) {
  const std::string payload = RandomBytes(100000);
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 here it comes").Do([d, payload](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(payload);
    d->Close();
    Session.Sleep(150);
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  PumpPending();
  ExpectOneCompletionAfterStats(*this, rec, payload.size());
  EXPECT_TRUE(ReadFile(Local("f.bin")) == payload) << "the local file differs";
}

// A server that dies mid-file resets the data connection; its 226 (or a
// proxy's) must not turn the short file into a success.
TEST_F(FtpDataTest, DownloadCutByAResetFailsWhateverTheFinalReply) {
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 here it comes").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(RandomBytes(20000));
    Session.Sleep(100);
    d->Reset();
    Session.Sleep(100);
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_NE(done.error, 0) << done.errorMessage;
}

// A server that drops the control connection in the middle of a transfer
// never said 226: the transfer failed.
TEST_F(FtpDataTest, ControlConnectionLostDuringATransferFailsIt) {
  FtpScript s = LoggedIn();
  PassivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 here it comes").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(RandomBytes(20000));
    Session.Close();
    Session.Sleep(200);
    d->Close();
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  EXPECT_FALSE(ftp.Get());
  EXPECT_EQ(ftp.ResultCode(), 421);
  EXPECT_EQ(ftp.ErrorMessage(), "421 Control connection closed before the reply");
}

// pyftpdlib connects as soon as it has answered PORT, before RETR is sent;
// that accept notification comes once and must not be lost.
TEST_F(FtpDataTest, ServerConnectingRightAfterPortIsAcceptedForTheTransfer) {
  const std::string payload = RandomBytes(20000);
  FtpScript s = LoggedIn();
  auto d = data;
  s.Expect("PORT *").Do([d](FtpServerSession& Session, const std::string& Cmd) {
    d->TakePort(Cmd);
    d->Open();
    Session.Sleep(100);  // the client sees the connection well before the reply
    Session.Reply("200 Active data connection established.");
  });
  s.Expect("RETR f.bin", "125 Data connection already open. Transfer starting.")
      .Do([d, payload](FtpServerSession& Session, const std::string&) {
        d->Send(payload);
        d->Close();
        Session.Reply("226 Transfer complete.");
      });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_TRUE(ReadFile(Local("f.bin")) == payload) << "the local file differs";
}

// --- local files and resume ------------------------------------------------

TEST_F(FtpDataTest, DownloadIntoAnExistingFileEmptiesItFirst) {
  ASSERT_TRUE(WriteFile(Local("f.txt"), "OLD CONTENT THAT IS MUCH LONGER"));
  FtpScript s = LoggedIn();
  PassivePort(s);
  auto d = data;
  s.Expect("RETR f.txt", "150 ok").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send("new");
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("f.txt");
  ftp.SetLocalFileName(Local("f.txt"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_EQ(ReadFile(Local("f.txt")), "new");
}

TEST_F(FtpDataTest, RestAcceptedWith350KeepsTheFirstBytesAndCountsFromTheOffset) {
  const std::string payload = RandomBytes(50000);
  ASSERT_TRUE(WriteFile(Local("r.bin"), payload.substr(0, 1000)));
  FtpScript s = LoggedIn();
  ActivePort(s);
  s.Expect("REST 1000", "350 Restarting at 1000");
  auto d = data;
  s.Expect("RETR r.bin", "150 ok").Do([d, payload](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(payload.substr(1000));
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  std::vector<std::int64_t> counts;
  ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t Count, bool&) { counts.push_back(Count); };
  ftp.SetHostFileName("r.bin");
  ftp.SetLocalFileName(Local("r.bin"));
  const auto& done = Run([&] { ftp.RestGetAsync(); });
  EXPECT_EQ(done.request, TFtpRequest::RestGetAsync);
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_TRUE(ReadFile(Local("r.bin")) == payload) << "the local file differs";
  ASSERT_FALSE(counts.empty());
  EXPECT_GE(counts.front(), 1000);
  EXPECT_EQ(ftp.RestartOffset(), 0);
}

TEST_F(FtpDataTest, ResumeBeyondFourGiBSendsTheFullOffsetAndWritesThere) {
  const std::int64_t offset = (std::int64_t{5} << 30) + 3;  // past 2^32 and 2^31
  {
    const int fd = ::open(Local("big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, offset), 0);  // sparse: no disk space used
    ::close(fd);
  }
  FtpScript s = LoggedIn();
  ActivePort(s);
  s.Expect("REST " + std::to_string(offset), "350 Restarting");
  auto d = data;
  s.Expect("RETR big.bin", "150 ok").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send("tail");
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  std::int64_t lastCount = -1;
  ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t Count, bool&) { lastCount = Count; };
  ftp.SetHostFileName("big.bin");
  ftp.SetLocalFileName(Local("big.bin"));
  const auto& done = Run([&] { ftp.RestGetAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_TRUE(server->Mismatches().empty()) << server->Mismatches().front();
  EXPECT_EQ(TCustomFtpCli::LocalFileSize(Local("big.bin")), offset + 4);
  EXPECT_GE(lastCount, offset);
  const int fd = ::open(Local("big.bin").c_str(), O_RDONLY);
  char tail[4] = {};
  EXPECT_EQ(::pread(fd, tail, 4, offset), 4);
  ::close(fd);
  EXPECT_EQ(std::string(tail, 4), "tail");
  EXPECT_EQ(rec.Count("display:! 4 bytes received/sent in "), 1);
}

// A server may answer REST with 200 and still honour it: a resume then sends
// "REST 0" so that every server starts from the beginning, and the partial
// file ends whole either way.
TEST_F(FtpDataTest, ResumeAfterARestAnswered200EndsRightWhicheverWayTheServerTookIt) {
  const std::string payload = RandomBytes(200000);
  auto offset = std::make_shared<std::int64_t>(0);
  auto d = data;
  FtpScript s = LoggedIn();
  for (const bool honours : {false, true}) {
    ActivePort(s);
    for (const std::string rest : {"REST 50000", "REST 0"})
      s.Expect(rest, "200 REST ok").Do([offset, honours](FtpServerSession&, const std::string& Cmd) {
        *offset = honours ? std::stoll(Cmd.substr(5)) : 0;
      });
    s.Expect("RETR r.bin", "150 ok").Do([d, payload, offset](FtpServerSession& Session, const std::string&) {
      d->Open();
      d->Send(payload.substr(static_cast<std::size_t>(*offset)));
      d->Close();
      Session.Reply("226 done");
    });
  }
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("r.bin");
  ftp.SetLocalFileName(Local("r.bin"));
  for (const char* kind : {"ignores REST", "honours REST"}) {
    ASSERT_TRUE(WriteFile(Local("r.bin"), payload.substr(0, 50000)));
    EXPECT_TRUE(ftp.RestGet()) << kind << ": " << ftp.ErrorMessage();
    EXPECT_TRUE(ReadFile(Local("r.bin")) == payload) << kind << ": the local file differs";
  }
  EXPECT_TRUE(server->Mismatches().empty()) << server->Mismatches().front();
}

// A binary download whose size is known (SIZE just before, or "(N bytes)" in
// the 150 reply) fails when the local file ends at another size, resumed too.
TEST_F(FtpDataTest, DownloadOfAKnownSizeThatEndsOtherwiseFails) {
  const std::string payload = RandomBytes(200000);
  auto d = data;
  auto send = [d](const std::string& Bytes) {
    return [d, Bytes](FtpServerSession& Session, const std::string&) {
      d->Open();
      d->Send(Bytes);
      d->Close();
      Session.Reply("226 Transfer complete.");
    };
  };
  const std::string announced = "150 Opening BINARY mode data connection for f.bin (200000 bytes).";
  FtpScript s = LoggedIn();
  ActivePort(s);
  s.Expect("RETR f.bin", announced).Do(send(payload.substr(0, 150000)));  // cut short
  s.Expect("SIZE f.bin", "213 200000");
  ActivePort(s);
  s.Expect("RETR f.bin", "150 ok").Do(send(payload + "x"));  // one byte too many
  ActivePort(s);
  s.Expect("REST 50000", "350 Restarting");
  s.Expect("RETR f.bin", announced).Do(send(payload.substr(50000)));  // a good resume
  s.Expect("SIZE f.bin", "213 200000");
  ActivePort(s);
  s.Expect("REST 50000", "350 Restarting");
  s.Expect("RETR f.bin", "150 ok").Do(send(payload));  // took the offset, sent it all
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const std::string local = Local("f.bin");

  EXPECT_FALSE(ftp.Get());
  EXPECT_EQ(ftp.ErrorMessage(), "Download incomplete: " + local + " has 150000 bytes, the server's file 200000");
  EXPECT_TRUE(ftp.Size()) << ftp.ErrorMessage();
  EXPECT_FALSE(ftp.Get());
  EXPECT_EQ(ftp.ErrorMessage(), "Download incomplete: " + local + " has 200001 bytes, the server's file 200000");

  ASSERT_TRUE(WriteFile(local, payload.substr(0, 50000)));
  EXPECT_TRUE(ftp.RestGet()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local) == payload) << "the local file differs";

  ASSERT_TRUE(WriteFile(local, payload.substr(0, 50000)));
  EXPECT_TRUE(ftp.Size()) << ftp.ErrorMessage();
  EXPECT_FALSE(ftp.RestGet());
  EXPECT_EQ(ftp.ErrorMessage(), "Download incomplete: " + local + " has 250000 bytes, the server's file 200000");
  EXPECT_EQ(ftp.ReplyCode(), 550);
  EXPECT_TRUE(server->Mismatches().empty()) << server->Mismatches().front();
}

// An exception from a handler reached through a socket's data event goes to
// the application's exception handler, as from every other event, and the
// engine goes on: the reply is still acted on, the data still written.
TEST_F(FtpDataTest, ExceptionsFromHandlersOfDataEventsReachTheApplication) {
  const std::string payload = RandomBytes(40000);
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 ok").Do([d, payload](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(payload);
    d->Close();
    Session.Reply("226 done");
  });
  s.Expect("SYST", "215 UNIX Type: L8");
  Serve(s);
  ConnectLoggedIn();
  std::vector<std::string> caught;
  plat::Application::Instance().SetExceptionHandler([&](std::exception_ptr Error) {
    try {
      std::rethrow_exception(Error);
    } catch (const std::exception& e) {
      caught.push_back(e.what());
    }
  });
  ftp.OnResponse = [](TCustomFtpCli* Sender) {
    if (Sender->ReplyLine() == "150 ok") throw FtpException("response handler failed");
  };
  bool thrown = false;
  ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t, bool&) {
    if (thrown) return;
    thrown = true;
    throw FtpException("progress handler failed");
  };
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  EXPECT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  plat::Application::Instance().SetExceptionHandler(nullptr);
  EXPECT_EQ(caught, (Lines{"response handler failed", "progress handler failed"}));
  EXPECT_TRUE(ReadFile(Local("f.bin")) == payload) << "the local file differs";
  const auto& next = Run([&] { ftp.SystAsync(); });
  EXPECT_EQ(next.error, 0) << next.errorMessage;
}

// A REST refused ends its chain with the offset still set; the next upload
// must still send the whole file.
TEST_F(FtpDataTest, UploadAfterARefusedRestSendsTheWholeFile) {
  const std::string payload = RandomBytes(3000);
  ASSERT_TRUE(WriteFile(Local("x.bin"), payload));
  FtpScript s = LoggedIn();
  ActivePort(s);
  s.Expect("REST 3000", "502 REST not implemented");
  ActivePort(s);
  auto d = data;
  auto got = std::make_shared<std::string>();
  s.Expect("STOR x.bin", "150 ok").Do([d, got](FtpServerSession& Session, const std::string&) {
    d->Open();
    *got = d->ReceiveAll();
    Session.Reply("226 stored");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("x.bin");
  ftp.SetLocalFileName(Local("x.bin"));
  EXPECT_EQ(Run([&] { ftp.RestGetAsync(); }).error, 502);
  EXPECT_TRUE(ReadFile(Local("x.bin")) == payload) << "the local file differs";  // untouched by the failed resume
  const auto& done = Run([&] { ftp.PutAsync(); });
  EXPECT_EQ(done.request, TFtpRequest::PutAsync);
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_TRUE(*got == payload) << "the server received other bytes";
}

// Another transfer reading the file (an upload holds a read lock) keeps a
// download out, and the refused download must not have emptied the file.
TEST_F(FtpDataTest, ShareModeLockHeldElsewhereRefusesTheDownloadWithoutEmptyingTheFile) {
  ASSERT_TRUE(WriteFile(Local("held.txt"), "precious"));
  const int holder = ::open(Local("held.txt").c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  struct flock fl {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &fl), 0);

  FtpScript s = LoggedIn();
  ActivePort(s);
  Serve(s);
  ConnectLoggedIn();
  ftp.SetShareMode(ftpShareDenyWrite);
  ftp.SetHostFileName("held.txt");
  ftp.SetLocalFileName(Local("held.txt"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 550);
  EXPECT_EQ(done.errorMessage, "Unable to open local file " + Local("held.txt"));
  EXPECT_EQ(ReadFile(Local("held.txt")), "precious");
  EXPECT_EQ(Commands().back().rfind("PORT ", 0), 0u);  // no RETR
  ::close(holder);
}

TEST_F(FtpDataTest, FailedLocalWriteEndsTheDownloadWithAnError) {
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 ok").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(RandomBytes(10000));
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetShareMode(ftpShareCompat);
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName("/dev/full");  // every write fails with ENOSPC
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_NE(done.error, 0);
  EXPECT_EQ(done.errorMessage.rfind("Error writing local file /dev/full: ", 0), 0u) << done.errorMessage;
  EXPECT_EQ(rec.Count("display:! Error writing local file"), 1);
}

// The blocking wait's limit is on silence during a transfer: data that keeps
// coming keeps the request alive past Timeout.
TEST_F(FtpDataTest, BlockingGetOutlivesTheTimeoutWhileDataFlows) {
  const std::string payload = RandomBytes(5000);
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR slow.bin", "150 ok").Do([d, payload](FtpServerSession& Session, const std::string&) {
    d->Open();
    for (int i = 0; i < 5; ++i) {
      d->Send(payload.substr(static_cast<std::size_t>(i) * 1000, 1000));
      Session.Sleep(450);  // five pieces: well past the one-second limit in all
    }
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetTimeout(1);
  ftp.SetHostFileName("slow.bin");
  ftp.SetLocalFileName(Local("slow.bin"));
  EXPECT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(Local("slow.bin")) == payload) << "the local file differs";
}

// --- abort and display -----------------------------------------------------

TEST_F(FtpDataTest, AbortFromOnProgressEndsWithTheServersFinalReply) {
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 ok").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send(RandomBytes(65536));
    d->ReceiveAll(5000);  // returns when the client drops the connection
    d->Close();
    Session.Reply("426 Connection closed; transfer aborted.");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.OnProgress = [](TCustomFtpCli*, std::int64_t, bool& Abort) { Abort = true; };
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 426);
  EXPECT_EQ(done.errorMessage, "426 Connection closed; transfer aborted.");
  EXPECT_EQ(rec.Count("display:! Abort requested"), 1);
  EXPECT_EQ(rec.Count("display:! RETR/LIST/NLST Failed"), 1);
}

// The application may drop the engine when it is told of the abort; closing
// the data connection afterwards would touch freed memory (the sanitizer
// build checks).
TEST_F(FtpDataTest, EngineDroppedOnTheAbortMessageIsNotTouchedAgain) {
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("RETR f.bin", "150 ok").Do([d](FtpServerSession&, const std::string&) {
    d->Open();
    d->Send(RandomBytes(65536));
    d->ReceiveAll(5000);
    d->Close();
  });
  FtpTestServer peer(s);
  auto* engine = new TFtpClient;
  engine->SetHostName("127.0.0.1");
  engine->SetPort(peer.PortText());
  engine->SetUserName("bob");
  engine->SetPassWord("x");
  ASSERT_TRUE(engine->Connect());
  bool destroyed = false;
  engine->OnProgress = [](TCustomFtpCli*, std::int64_t, bool& Abort) { Abort = true; };
  engine->OnDisplay = [&](TCustomFtpCli* Sender, std::string& Msg) {
    if (destroyed || Msg != "! Abort requested") return;
    destroyed = true;
    delete Sender;
  };
  engine->SetHostFileName("f.bin");
  engine->SetLocalFileName(Local("f.bin"));
  EXPECT_FALSE(engine->Get());
  EXPECT_TRUE(PumpUntil([&] { return destroyed; }, 5000));
  PumpUntil([] { return false; }, 50);  // whatever was still queued for it
  if (!destroyed) delete engine;
}

TEST_F(FtpDataTest, DisplayFileFlagShowsTheListingLineByLine) {
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("LIST", "150 listing").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->Send("first\r\nsecond\r\n\r\nthird");
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  std::vector<std::string> lines;
  ftp.OnDisplayFile = [&](TCustomFtpCli*, std::string& Msg) { lines.push_back(Msg); };
  ftp.SetDisplayFileFlag(true);
  ftp.SetLocalFileName("");
  ftp.SetHostFileName("");
  const auto& done = Run([&] { ftp.DirAsync(); });
  EXPECT_EQ(done.request, TFtpRequest::DirAsync);
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_EQ(lines, (Lines{"first", "second", "third"}));
}

// pure-ftpd answers every transfer with multi-line replies, the 150 cut
// into two writes here; each is one reply.
TEST_F(FtpDataTest, PureFtpdStyleMultiLineRepliesOnEveryDataRequest) {
  const std::string file = RandomBytes(50000);
  const std::string listing = "-rw-r--r-- 1 a a 50000 Dec 8 f.bin\r\n";
  const std::string names = "f.bin\r\ng.bin\r\n";
  const std::string up = RandomBytes(30000, 9);
  ASSERT_TRUE(WriteFile(Local("up.bin"), up));
  FtpScript s = LoggedIn();
  ActivePort(s);
  PureDownload(s, "RETR f.bin", file);
  PassivePort(s);
  PureDownload(s, "LIST", listing, "226-Options: -l\n226 1 matches total");
  ActivePort(s);
  PureDownload(s, "NLST", names, "226-Options: -a\n226 2 matches total");
  auto stored = std::make_shared<std::string>();
  auto appended = std::make_shared<std::string>();
  PassivePort(s);
  PureUpload(s, "STOR up.bin", stored);
  ActivePort(s);
  PureUpload(s, "APPE up.bin", appended);
  Serve(s);
  ConnectLoggedIn();

  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  EXPECT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_EQ(ftp.ReplyLine(), "226 0.001 seconds (measured here), 9.8 Mbytes per second");
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("");
  ftp.SetLocalFileName(Local("list.txt"));
  EXPECT_TRUE(ftp.Dir()) << ftp.ErrorMessage();
  ftp.SetPassiveMode(false);
  ftp.SetLocalFileName(Local("names.txt"));
  EXPECT_EQ(Run([&] { ftp.LsAsync(); }).error, 0) << ftp.ErrorMessage();
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("up.bin");
  ftp.SetLocalFileName(Local("up.bin"));
  EXPECT_TRUE(ftp.Put()) << ftp.ErrorMessage();
  ftp.SetPassiveMode(false);
  EXPECT_TRUE(ftp.Append()) << ftp.ErrorMessage();

  EXPECT_TRUE(ReadFile(Local("f.bin")) == file) << "the local file differs";
  EXPECT_EQ(ReadFile(Local("list.txt")), listing);
  EXPECT_EQ(ReadFile(Local("names.txt")), names);
  EXPECT_TRUE(*stored == up && *appended == up) << "the server received other bytes";
  EXPECT_TRUE(server->Mismatches().empty()) << server->Mismatches().front();
}

// The windows let pending events run from inside the engine's events (every
// progress chunk, every log line) and call blocking requests from there. A
// handler of each event runs the loop here, through a download, an upload, a
// listing and the close; the greeting's second line arrives while the first
// one's OnResponse handler runs the loop.
TEST_F(FtpDataTest, HandlersRunningTheLoopFromEveryEventLeaveEverythingExact) {
  const std::string file = RandomBytes(300000);
  const std::string up = RandomBytes(100000, 11);
  std::string listing;
  for (int i = 0; i < 400; ++i) listing += "-rw-r--r-- 1 a a " + std::to_string(i) + " Dec 8 file" + std::to_string(i) + "\r\n";
  ASSERT_TRUE(WriteFile(Local("up.bin"), up));
  FtpScript s;
  s.Greet("220-Welcome").Reply("220 ready").Gap(300);
  s.Expect("USER bob", "331 pw please").Expect("PASS x", "230 ok");
  ActivePort(s);
  PureDownload(s, "RETR f.bin", file);
  PassivePort(s);
  auto stored = std::make_shared<std::string>();
  PureUpload(s, "STOR up.bin", stored);
  ActivePort(s);
  PureDownload(s, "LIST", listing, "226-Options: -l\n226 400 matches total");
  s.Expect("QUIT", "221 bye").ThenClose();
  Serve(s);

  std::map<std::string, int> seen;
  std::vector<std::string> shown;
  auto runLoop = [&](const char* Event) {
    ++seen[Event];
    plat::Application::Instance().ProcessMessages();
  };
  // Watches the control connection's data event from outside the engine.
  bool controlData = false;
  auto engineHandler = ftp.ControlSocket()->OnDataAvailable;
  ftp.ControlSocket()->OnDataAvailable = [&, engineHandler](TCustomWSocket* Socket, std::uint16_t Error) {
    controlData = true;
    engineHandler(Socket, Error);
  };
  ftp.OnResponse = [&](TCustomFtpCli* Sender) {
    if (Sender->ReplyLine() == "220-Welcome") {
      controlData = false;
      EXPECT_TRUE(PumpUntil([&] { return controlData; }, 5000));
    }
    runLoop("response");
  };
  ftp.OnDisplay = [&](TCustomFtpCli*, std::string&) { runLoop("display"); };
  ftp.OnCommand = [&](TCustomFtpCli*, std::string&) { runLoop("command"); };
  ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t, bool&) { runLoop("progress"); };
  ftp.OnSessionConnected = [&](TCustomFtpCli*, std::uint16_t) { runLoop("connected"); };
  ftp.OnSessionClosed = [&](TCustomFtpCli*, std::uint16_t) { runLoop("closed"); };
  ftp.OnStateChange = [&](TCustomFtpCli*) { runLoop("state"); };
  ftp.OnRequestDone = [&](TCustomFtpCli*, TFtpRequest, std::uint16_t) { runLoop("done"); };
  ftp.OnDisplayFile = [&](TCustomFtpCli*, std::string& Line) {
    shown.push_back(Line);
    runLoop("file");
  };

  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  EXPECT_EQ(ftp.ReplyCode(), 230);
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  EXPECT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("up.bin");
  ftp.SetLocalFileName(Local("up.bin"));
  EXPECT_TRUE(ftp.Put()) << ftp.ErrorMessage();
  ftp.SetPassiveMode(false);
  ftp.SetDisplayFileFlag(true);
  ftp.SetHostFileName("");
  ftp.SetLocalFileName("");
  EXPECT_TRUE(ftp.Dir()) << ftp.ErrorMessage();
  EXPECT_TRUE(ftp.Quit()) << ftp.ErrorMessage();
  PumpPending();

  EXPECT_TRUE(ReadFile(Local("f.bin")) == file) << "the local file differs";
  EXPECT_TRUE(*stored == up) << "the server received other bytes";
  // A line cut by a chunk boundary comes in two pieces: compared without line ends.
  std::string joined, expected;
  for (const std::string& line : shown) joined += line;
  for (char c : listing)
    if (c != '\r' && c != '\n') expected += c;
  EXPECT_TRUE(joined == expected) << "the listing lines differ";
  EXPECT_TRUE(server->Mismatches().empty()) << server->Mismatches().front();
  for (const char* event :
       {"response", "display", "command", "progress", "connected", "closed", "state", "done", "file"})
    EXPECT_GT(seen[event], 0) << event;
}

// --- uploads -----------------------------------------------------------------

TEST_F(FtpDataTest, CancelInOnReadyToTransmitSendsNoStor) {
  ASSERT_TRUE(WriteFile(Local("u.bin"), "data"));
  FtpScript s = LoggedIn();
  ActivePort(s);
  Serve(s);
  ConnectLoggedIn();
  ftp.OnReadyToTransmit = [](TCustomFtpCli*, bool& Cancel) { Cancel = true; };
  ftp.SetHostFileName("u.bin");
  ftp.SetLocalFileName(Local("u.bin"));
  const auto& done = Run([&] { ftp.PutAsync(); });
  EXPECT_EQ(done.request, TFtpRequest::PutAsync);
  EXPECT_EQ(done.error, 426);
  EXPECT_EQ(done.errorMessage, "426 Transmit cancelled by application");
  EXPECT_EQ(rec.Count("display:! 426 Transmit cancelled by application"), 1);
  EXPECT_EQ(Commands().back().rfind("PORT ", 0), 0u);
}

TEST_F(FtpDataTest, EmptyFileUploadCompletesWithAZeroByteStatistic) {
  ASSERT_TRUE(WriteFile(Local("empty.bin"), ""));
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  auto got = std::make_shared<std::string>("not run");
  s.Expect("STOR empty.bin", "150 ok").Do([d, got](FtpServerSession& Session, const std::string&) {
    d->Open();
    *got = d->ReceiveAll();
    Session.Reply("226 stored");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("empty.bin");
  ftp.SetLocalFileName(Local("empty.bin"));
  const auto& done = Run([&] { ftp.PutAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_EQ(*got, "");
  EXPECT_EQ(rec.Count("display:! 0 bytes received/sent in 0 seconds"), 1);
}

// The server sees a short (here empty) file and says 226; the upload still
// failed and must say so.
TEST_F(FtpDataTest, FailedLocalReadEndsTheUploadWithAnError) {
  ::mkdir(Local("folder").c_str(), 0755);  // opens, but reading it fails (EISDIR)
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  s.Expect("STOR folder", "150 ok").Do([d](FtpServerSession& Session, const std::string&) {
    d->Open();
    d->ReceiveAll();
    Session.Reply("226 stored");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("folder");
  ftp.SetLocalFileName(Local("folder"));
  const auto& done = Run([&] { ftp.PutAsync(); });
  EXPECT_EQ(done.error, 426);
  EXPECT_EQ(done.errorMessage.rfind("426 Error reading local file " + Local("folder") + ": ", 0), 0u)
      << done.errorMessage;
  EXPECT_EQ(rec.Count("display:! Error reading file"), 1);
}

// In active mode the 150 may arrive before the server's connection: nothing
// may be read from the file (and lost) until the connection is there.
TEST_F(FtpDataTest, ActiveUploadWhose150PrecedesTheConnectionLosesNoBytes) {
  const std::string payload = RandomBytes(200000);
  ASSERT_TRUE(WriteFile(Local("u.bin"), payload));
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  auto got = std::make_shared<std::string>();
  s.Expect("STOR u.bin", "150 ok").Do([d, got](FtpServerSession& Session, const std::string&) {
    Session.Sleep(200);
    d->Open();
    *got = d->ReceiveAll();
    Session.Reply("226 stored");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("u.bin");
  ftp.SetLocalFileName(Local("u.bin"));
  const auto& done = Run([&] { ftp.PutAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_EQ(got->size(), payload.size());
  EXPECT_TRUE(*got == payload);
}

TEST_F(FtpDataTest, PassiveAppendSendsTheFileAfterTheConnectionIsUp) {
  const std::string payload = RandomBytes(70000);
  ASSERT_TRUE(WriteFile(Local("a.bin"), payload));
  FtpScript s = LoggedIn();
  PassivePort(s);
  auto d = data;
  auto got = std::make_shared<std::string>();
  s.Expect("APPE a.bin", "150 ok").Do([d, got](FtpServerSession& Session, const std::string&) {
    d->Open();
    *got = d->ReceiveAll();
    Session.Reply("226 appended");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("a.bin");
  ftp.SetLocalFileName(Local("a.bin"));
  const auto& done = Run([&] { ftp.AppendAsync(); });
  EXPECT_EQ(done.request, TFtpRequest::AppendAsync);
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_TRUE(*got == payload);
}

// --- hostile or broken servers ---------------------------------------------

TEST_F(FtpDataTest, ActiveConnectionFromAnotherHostIsRefusedAndTheServersIsUsed) {
  const std::string payload = RandomBytes(30000);
  FtpScript s = LoggedIn();
  ActivePort(s);
  auto d = data;
  auto intruderClosed = std::make_shared<std::atomic<bool>>(false);
  s.Expect("RETR f.bin", "150 ok").Do([d, payload, intruderClosed](FtpServerSession& Session, const std::string&) {
    const int intruder = d->ConnectExtra("127.0.0.2");
    if (intruder >= 0) {
      ::send(intruder, "EVIL", 4, MSG_NOSIGNAL);
      *intruderClosed = ServerData::PeerClosed(intruder, 3000);
      ::close(intruder);
    }
    d->Open();
    d->Send(payload);
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ConnectLoggedIn();
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 0) << done.errorMessage;
  EXPECT_TRUE(intruderClosed->load());
  EXPECT_TRUE(ReadFile(Local("f.bin")) == payload) << "the local file differs";
  std::string refused;
  for (const std::string& line : rec.display)
    if (line.rfind("! Data connection from 127.0.0.2:", 0) == 0) refused = line;
  EXPECT_NE(refused.find("refused: not the server's address 127.0.0.1"), std::string::npos) << refused;
}

TEST_F(FtpDataTest, PasvReplyWithoutItsNumbersEndsTheRequestAtOnce) {
  FtpScript s = LoggedIn();
  s.Expect("PASV", "227 Entering Passive Mode 127,0,0,1,4,5");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.request, TFtpRequest::GetAsync);
  EXPECT_EQ(done.error, 550);
  EXPECT_EQ(done.errorMessage, "227 Entering Passive Mode 127,0,0,1,4,5");
  EXPECT_EQ(Commands().back(), "PASV");
  EXPECT_EQ(TCustomFtpCli::LocalFileSize(Local("f.bin")), -1);  // never created
  EXPECT_EQ(ftp.State(), fcsReady);
}

TEST_F(FtpDataTest, PassiveConnectionRefusedEndsWith550) {
  const std::uint16_t closed = ClosedLocalPort();
  FtpScript s = LoggedIn();
  s.Expect("PASV", "227 Entering Passive Mode (127,0,0,1," + std::to_string(closed / 256) + "," +
                       std::to_string(closed % 256) + ")");
  // The server's late answer to RETR belongs to RETR, not to the SYST after it.
  s.Expect("RETR f.bin", "425 Could not open data connection").Delay(200);
  s.Expect("SYST", "215 UNIX Type: L8");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  const auto& done = Run([&] { ftp.GetAsync(); });
  EXPECT_EQ(done.error, 550);
  EXPECT_EQ(done.errorMessage, "Unable to establish data connection, error #10061");
  const auto& next = Run([&] { ftp.SystAsync(); });
  EXPECT_EQ(next.error, 0) << next.errorMessage;
  EXPECT_EQ(next.replyLine, "215 UNIX Type: L8");
}

// A server that never answers the transfer command holds the request only
// for the blocking call's Timeout, and the connection stays usable.
TEST_F(FtpDataTest, RefusedPassiveConnectionWithoutALateReplyEndsAtTheTimeout) {
  const std::uint16_t closed = ClosedLocalPort();
  FtpScript s = LoggedIn();
  s.Expect("PASV", "227 Entering Passive Mode (127,0,0,1," + std::to_string(closed / 256) + "," +
                       std::to_string(closed % 256) + ")");
  s.Expect("RETR f.bin");
  s.Expect("NOOP", "200 still here");
  Serve(s);
  ConnectLoggedIn();
  ftp.SetTimeout(1);
  ftp.SetPassiveMode(true);
  ftp.SetHostFileName("f.bin");
  ftp.SetLocalFileName(Local("f.bin"));
  EXPECT_FALSE(ftp.Get());
  EXPECT_EQ(ftp.ErrorMessage(), "Unable to establish data connection, error #10061");
  EXPECT_TRUE(ftp.IsConnected());
  PumpPending();  // the Get's OnRequestDone
  ftp.SetLocalFileName("NOOP");
  EXPECT_EQ(Run([&] { ftp.QuoteAsync(); }).replyLine, "200 still here");
}

// --- text routines -----------------------------------------------------------

TEST(FtpDataText, PortCommandSplitsThePortInTwoBytes) {
  EXPECT_EQ(TCustomFtpCli::PortCommand("127.0.0.1", ::inet_addr("127.0.0.1"), 5001), "PORT 127,0,0,1,19,137");
  EXPECT_EQ(TCustomFtpCli::PortCommand("ftp.example.org", ::inet_addr("192.168.7.9"), 5001),
            "PORT 192,168,7,9,19,137");
  EXPECT_EQ(TCustomFtpCli::PortCommand("10.0.0.1", ::inet_addr("10.0.0.2"), 65535), "PORT 10,0,0,2,255,255");
}

TEST(FtpDataText, PasvPortNeedsTheParenthesesAndSixNumbers) {
  std::uint16_t port = 0;
  EXPECT_TRUE(TCustomFtpCli::ParsePasvPort("227 Entering Passive Mode (127,0,0,1,19,137).", port));
  EXPECT_EQ(port, 5001);
  EXPECT_TRUE(TCustomFtpCli::ParsePasvPort("227 =( 10, 0, 0, 1, 0, 21 )", port));
  EXPECT_EQ(port, 21);
  EXPECT_FALSE(TCustomFtpCli::ParsePasvPort("227 Entering Passive Mode 127,0,0,1,19,137", port));
  EXPECT_FALSE(TCustomFtpCli::ParsePasvPort("227 (127,0,0,1,19)", port));
  EXPECT_FALSE(TCustomFtpCli::ParsePasvPort("227 (127,0,0,1,19,256)", port));
  EXPECT_FALSE(TCustomFtpCli::ParsePasvPort("227 (127,0,0,1,19,1377)", port));
  EXPECT_FALSE(TCustomFtpCli::ParsePasvPort("227 (127,0,0,1,19,137", port));
}

TEST(FtpDataText, DisplayLinesCutAtRunsOfCrAndLf) {
  auto cut = [](const std::string& s) { return TCustomFtpCli::DisplayFileLines(s.data(), s.size()); };
  EXPECT_EQ(cut("a\r\nb\r\n"), (Lines{"a", "b"}));
  EXPECT_EQ(cut("\r\nnext"), (Lines{"", "next"}));
  EXPECT_EQ(cut("a\n\n\r\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(cut("cut in the mid"), (Lines{"cut in the mid"}));
  EXPECT_EQ(cut(""), Lines{});
}

TEST(FtpDataText, StatisticsTextStaysRightForLargeCounts) {
  EXPECT_EQ(TCustomFtpCli::TransferStatsText(1000, 250), "1000 bytes received/sent in 0 seconds (4000 Bytes/sec)");
  EXPECT_EQ(TCustomFtpCli::TransferStatsText(100000, 3000),
            "100000 bytes received/sent in 3 seconds (33000 Bytes/sec)");
  EXPECT_EQ(TCustomFtpCli::TransferStatsText(0, 0), "0 bytes received/sent in 0 seconds");
  const std::int64_t six = std::int64_t{6} << 30;  // 6 GiB in 4 seconds
  EXPECT_EQ(TCustomFtpCli::TransferStatsText(six, 4000),
            "6442450944 bytes received/sent in 4 seconds (1610612000 Bytes/sec)");
}

}  // namespace
}  // namespace vektest
