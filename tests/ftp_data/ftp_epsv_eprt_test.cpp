// The extended data connection commands (RFC 2428): the 229 reply and the
// EPRT text, EPSV where a server refuses PASV, the active data connection
// over IPv6, and vsftpd on ::1 in both modes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <string>

#include "tests/ftp/ftp_fixture.h"
#include "tests/ftp_data/server_data.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/support/loopback6.h"
#include "tests/support/peer_process.h"
#include "tests/support/temp_folder.h"

namespace vektest {
namespace {

std::string RandomBytes(std::size_t N, unsigned Seed) {
  std::mt19937 gen(Seed);
  std::string s(N, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

TEST(FtpExtendedText, EpsvReplies) {
  struct Row {
    const char* Reply;
    int Port;  // -1: refused
  };
  const Row Rows[] = {
      {"229 Entering Extended Passive Mode (|||6446|)", 6446},
      {"229 Entering Extended Passive Mode (|||6446|).", 6446},
      {"229 (!!!21!)", 21},  // another delimiter
      {"229 ok (###65535#) more text", 65535},
      {"229 (|||00021|)", 21},
      {"229 Entering Extended Passive Mode |||6446|", -1},  // no parentheses
      {"229 (|||6446)", -1},                               // no closing delimiter
      {"229 (|||6446|", -1},
      {"229 (|||6446!)", -1},  // the delimiter changes
      {"229 (||||)", -1},      // no port
      {"229 (|||0|)", -1},
      {"229 (|||65536|)", -1},
      {"229 (|||123456|)", -1},
      {"229 (|||64a6|)", -1},
      {"229 (|2|::1|6446|)", -1},  // an address, which a 229 must not name
      {"229 (1116446111)", -1},    // a digit cannot delimit
      {"229 ( ||6446|)", -1},
      {"229 (", -1},
      {"229 Entering Extended Passive Mode", -1},
  };
  for (const Row& R : Rows) {
    std::uint16_t port = 0;
    const bool ok = TCustomFtpCli::ParseEpsvPort(R.Reply, port);
    EXPECT_EQ(ok, R.Port >= 0) << R.Reply;
    if (ok) {
      EXPECT_EQ(port, R.Port) << R.Reply;
    }
  }
  EXPECT_EQ(TCustomFtpCli::EprtCommand("::1", 5001), "EPRT |2|::1|5001|");
  EXPECT_EQ(TCustomFtpCli::EprtCommand("fe80::1%eth0", 21), "EPRT |2|fe80::1|21|");
  EXPECT_EQ(TCustomFtpCli::EprtCommand("127.0.0.1", 65535), "EPRT |1|127.0.0.1|65535|");
}

class FtpExtendedTest : public FtpScriptedTest {
 protected:
  std::string Local(const std::string& Name) const { return (dir.Path() / Name).string(); }

  // Answers Command with 150, moves Bytes over the data connection, then 226.
  void Download(FtpScript& S, const std::string& Command, const std::string& Bytes) {
    auto d = data;
    S.Expect(Command, "150 here it comes").Do([d, Bytes](FtpServerSession& Session, const std::string&) {
      d->Open();
      d->Send(Bytes);
      d->Close();
      Session.Reply("226 done");
    });
  }
  void Upload(FtpScript& S, const std::string& Command, std::shared_ptr<std::string> Got) {
    auto d = data;
    S.Expect(Command, "150 go ahead").Do([d, Got](FtpServerSession& Session, const std::string&) {
      d->Open();
      *Got = d->ReceiveAll();
      d->Close();
      Session.Reply("226 stored");
    });
  }
  void Epsv(FtpScript& S) {
    auto d = data;
    S.Expect("EPSV").Do([d](FtpServerSession& Session, const std::string&) { Session.Reply(d->Epsv()); });
  }

  TempDir dir{"vekftpext"};
  std::shared_ptr<ServerData> data = std::make_shared<ServerData>();
};

// Refused PASV: EPSV once in its place. Taken, it stays for the connection
// (no PASV before it again); the next connection starts with PASV.
TEST_F(FtpExtendedTest, RefusedPasvIsFollowedByEpsvForTheRestOfTheConnection) {
  const std::string first = RandomBytes(70000, 1), second = RandomBytes(50000, 2);
  auto stored = std::make_shared<std::string>();
  FtpScript s = LoggedIn();
  s.Expect("PASV", "500 PASV not understood").Expect("EPSV", "502 EPSV not implemented either");
  s.Expect("PASV", "500 PASV not understood");
  Epsv(s);
  Download(s, "RETR a.bin", first);
  Epsv(s);
  Upload(s, "STOR b.bin", stored);
  s.Expect("QUIT", "221 bye");
  s.Greet("220 again").Expect("USER bob", "331 pw please").Expect("PASS x", "230 ok");
  auto d = data;
  s.Expect("PASV").Do([d](FtpServerSession& Session, const std::string&) { Session.Reply(d->Pasv()); });
  Download(s, "RETR c.bin", "third");
  Serve(s);
  ftp.SetPassiveMode(true);
  ASSERT_TRUE(ftp.Connect());

  ftp.SetHostFileName("a.bin");
  ftp.SetLocalFileName(Local("a.bin"));
  EXPECT_FALSE(ftp.Get());
  EXPECT_EQ(ftp.ResultCode(), 502);
  EXPECT_EQ(ftp.ErrorMessage(), "500 PASV not understood");  // the first refusal

  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_EQ(ftp.ErrorMessage(), "");  // the refused PASV is forgotten once EPSV works
  EXPECT_TRUE(ReadFile(Local("a.bin")) == first) << "the local file differs";
  WriteFile(Local("b.bin"), second);
  ftp.SetHostFileName("b.bin");
  ftp.SetLocalFileName(Local("b.bin"));
  ASSERT_TRUE(ftp.Put()) << ftp.ErrorMessage();
  EXPECT_TRUE(*stored == second) << "the stored file differs";
  EXPECT_EQ(std::count(rec.display.begin(), rec.display.end(),
                       "! The server refused PASV and took EPSV: passive data connections use EPSV on this connection"),
            1);
  ASSERT_TRUE(ftp.Quit());

  ASSERT_TRUE(ftp.Connect());
  ftp.SetHostFileName("c.bin");
  ftp.SetLocalFileName(Local("c.bin"));
  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_EQ(ReadFile(Local("c.bin")), "third");
  EXPECT_EQ(Commands(), (Lines{"USER bob", "PASS x", "PASV", "EPSV", "PASV", "EPSV", "RETR a.bin", "EPSV",
                               "STOR b.bin", "QUIT", "USER bob", "PASS x", "PASV", "RETR c.bin"}));
  EXPECT_EQ(server->Mismatches(), Lines{});
}

// Over IPv6 the active data connection is taken from the server's address
// only: an IPv4 host racing it to the client's listener (which takes IPv4
// hosts too, where the system allows it, as Linux does by default) is
// turned away.
TEST_F(FtpExtendedTest, EprtTakesTheDataConnectionFromTheServerOnly) {
  VEK_REQUIRE_LOOPBACK6();
  const std::string bytes = RandomBytes(60000, 4);
  auto intruderTurnedAway = std::make_shared<std::atomic<int>>(-1);
  FtpScript s = LoggedIn();
  s.ListenOn("::1");
  auto d = data;
  s.Expect("EPRT |2|::1|*", "200 EPRT ok").Do([d](FtpServerSession&, const std::string& Cmd) { d->TakeEprt(Cmd); });
  s.Expect("RETR a.bin", "150 here it comes").Do([d, bytes, intruderTurnedAway](FtpServerSession& Session,
                                                                                  const std::string&) {
    const int intruder = d->ConnectExtra("127.0.0.1");
    if (intruder >= 0) {
      *intruderTurnedAway = ServerData::PeerClosed(intruder, 5000) ? 1 : 0;
      ::close(intruder);
    }
    d->Open();
    d->Send(bytes);
    d->Close();
    Session.Reply("226 done");
  });
  Serve(s);
  ftp.SetHostName("[::1]");
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  ftp.SetHostFileName("a.bin");
  ftp.SetLocalFileName(Local("a.bin"));
  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(Local("a.bin")) == bytes) << "the local file differs";
  if (*intruderTurnedAway >= 0) {
    EXPECT_EQ(*intruderTurnedAway, 1);
    EXPECT_TRUE(std::any_of(rec.display.begin(), rec.display.end(), [](const std::string& Line) {
      return Line.rfind("! Data connection from 127.0.0.1:", 0) == 0 &&
             Line.find(" refused: not the server's address ::1") != std::string::npos;
    }));
  }
  EXPECT_EQ(server->Mismatches(), Lines{});
}

// vsftpd listening on ::1 only: a listing, a download and an upload,
// byte for byte, in passive (EPSV) and active (EPRT) mode.
TEST(FtpIpv6Peer, VsftpdOverLoopbackInBothModes) {
  VEK_REQUIRE_LOOPBACK6();
  for (const bool passiveMode : {true, false}) {
    SCOPED_TRACE(passiveMode ? "passive" : "active");
    VsftpdPeer peer;
    peer.ListenIpv6();
    std::string error;
    if (!peer.Start(error)) GTEST_SKIP() << error;
    const std::string served = RandomBytes(300000, 5), upload = RandomBytes(200000, 6);
    ASSERT_TRUE(WriteFile(peer.Root() / "served.bin", served));
    testsupport::TempFolder local;

    TFtpClient ftp;
    ftp.SetHostName(passiveMode ? "::1" : "[::1]");
    ftp.SetPort(std::to_string(peer.Port()));
    ftp.SetUserName("anonymous");
    ftp.SetPassWord("x");
    ftp.SetTimeout(20);
    ftp.SetPassiveMode(passiveMode);
    std::vector<std::string> log;
    ftp.OnDisplay = [&log](TCustomFtpCli*, std::string& Line) { log.push_back(Line); };
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    EXPECT_EQ(ftp.ControlSocket()->GetPeerName(), "::1");
    ASSERT_TRUE(ftp.TypeSet());

    ftp.SetHostFileName("");
    ftp.SetLocalFileName(local.File("listing.txt"));
    ASSERT_TRUE(ftp.Dir()) << ftp.ErrorMessage();
    EXPECT_NE(ReadFile(local.File("listing.txt")).find("served.bin"), std::string::npos);

    ftp.SetHostFileName("served.bin");
    ftp.SetLocalFileName(local.File("served.bin"));
    ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
    EXPECT_TRUE(ReadFile(local.File("served.bin")) == served) << "the download differs";

    ASSERT_TRUE(WriteFile(local.File("up.bin"), upload));
    ftp.SetHostFileName("up/up.bin");
    ftp.SetLocalFileName(local.File("up.bin"));
    ASSERT_TRUE(ftp.Put()) << ftp.ErrorMessage();
    EXPECT_TRUE(ReadFile(peer.Upload() / "up.bin") == upload) << "the upload differs";
    EXPECT_TRUE(ftp.Quit());

    const auto sent = [&log](const std::string& Prefix) {
      return std::count_if(log.begin(), log.end(), [&](const std::string& L) { return L.rfind(Prefix, 0) == 0; });
    };
    EXPECT_EQ(sent(passiveMode ? "> EPSV" : "> EPRT |2|::1|"), 3);
    EXPECT_EQ(sent("> PASV") + sent("> PORT"), 0);
  }
}

}  // namespace
}  // namespace vektest
