// FTP over TLS against vsftpd, which demands encrypted logins and data and
// refuses a data connection that does not resume the control connection's
// session: explicit and implicit TLS, TLS 1.2 and 1.3, passive and active;
// listing, download, resume, upload and append, byte for byte.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <tuple>

#include "ftp/ftpcli.h"
#include "tests/ftp_data/pureftpd_peer.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/support/ftp_test_server.h"
#include "tests/support/peer_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/tls_test_peer.h"

namespace vektest {
namespace {

namespace fs = std::filesystem;

using testsupport::Pattern;
std::string Bytes(std::size_t Size, char Seed) { return Pattern(Size, Seed); }

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A connected engine does one of everything over TLS: a listing, a
// download, a resumed download, an upload and an append, byte for byte.
// Root is the server's folder, Up its writable sub-folder "up".
void RoundTrips(TFtpClient& ftp, const fs::path& Root, const testsupport::TempFolder& local) {
  const std::string download = Bytes(300000, 'd');
  ASSERT_TRUE(WriteFile(Root / "a.bin", download));
  ftp.SetHostFileName("");
  ftp.SetLocalFileName(local.File("listing.txt"));
  ASSERT_TRUE(ftp.Dir()) << ftp.ErrorMessage();
  EXPECT_NE(ReadFile(local.File("listing.txt")).find("a.bin"), std::string::npos);

  ftp.SetBinary(true);
  ASSERT_TRUE(ftp.TypeSet());
  ftp.SetHostFileName("a.bin");
  ftp.SetLocalFileName(local.File("a.bin"));
  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("a.bin")) == download);

  ASSERT_TRUE(WriteFile(local.File("part.bin"), download.substr(0, 123457)));
  ftp.SetLocalFileName(local.File("part.bin"));
  ASSERT_TRUE(ftp.RestGet()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("part.bin")) == download);

  const std::string upload = Bytes(250001, 'u');
  ASSERT_TRUE(WriteFile(local.File("up.bin"), upload));
  ftp.SetHostFileName("up/up.bin");
  ftp.SetLocalFileName(local.File("up.bin"));
  ASSERT_TRUE(ftp.Put()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(Root / "up" / "up.bin") == upload) << ReadFile(Root / "up" / "up.bin").size();
  ASSERT_TRUE(ftp.Append()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(Root / "up" / "up.bin") == upload + upload);
  EXPECT_TRUE(ftp.Quit());
}

void Configure(TFtpClient& ftp, std::uint16_t Port, const std::string& User, const std::string& Password,
               TFtpEncryption Encryption, int Version, bool Passive, const testsupport::TempFolder& local) {
  ftp.SetHostName("127.0.0.1");
  ftp.SetPort(std::to_string(Port));
  ftp.SetUserName(User);
  ftp.SetPassWord(Password);
  ftp.SetTimeout(20);
  ftp.SetPassiveMode(Passive);
  ftp.SetEncryption(Encryption);
  ftp.SetTlsVersions(Version, Version);
  ftp.SetTrustFile(local.File("trusted"));
  ftp.OnVerifyCertificate = [](TCustomFtpCli*, const TTlsInfo&, bool, TFtpTrust& trust) { trust = ftpTrustOnce; };
}

using Params = std::tuple<VsftpdTls::Mode, int, bool>;

class Ftps : public ::testing::TestWithParam<Params> {};

TEST_P(Ftps, RoundTripsAreByteExactAndEveryDataConnectionResumesTheSession) {
  const auto [mode, version, passive] = GetParam();
  testsupport::TempFolder local;
  const TestCertificate cert = MakeTestCertificate(local.Path(), "server", {});
  VsftpdPeer peer({mode, cert});
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  TFtpClient ftp;
  Configure(ftp, peer.Port(), "anonymous", "secret@example.org",
            mode == VsftpdTls::Implicit ? ftpEncImplicit : ftpEncExplicit, version, passive, local);
  std::vector<std::string> log;
  ftp.OnDisplay = [&log](TCustomFtpCli*, std::string& line) { log.push_back(line); };
  int asked = 0;
  ftp.OnVerifyCertificate = [&](TCustomFtpCli*, const TTlsInfo& info, bool changed, TFtpTrust& trust) {
    ++asked;
    EXPECT_EQ(info.Fingerprint, cert.fingerprint);
    EXPECT_FALSE(changed);
    trust = ftpTrustOnce;
  };

  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage() << "\n" << peer.ServerLog();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(ftp.Encrypted());
  EXPECT_TRUE(ftp.DataEncrypted());
  EXPECT_EQ(ftp.TlsInfo().Version, version == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2");
  // Nothing of the login before the handshake.
  const auto tls = std::find_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("! TLS ", 0) == 0; });
  const auto user = std::find_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("> USER", 0) == 0; });
  EXPECT_LT(tls, user);

  RoundTrips(ftp, peer.Root(), local);

  // vsftpd's own account: a new session for the control connection, and
  // each of the five data connections resumed it.
  const std::string serverLog = peer.ServerLog();
  EXPECT_EQ(Count(serverLog, "\"SSL version: "), 6) << serverLog;
  EXPECT_EQ(Count(serverLog, ", not reused,"), 1) << serverLog;
}

INSTANTIATE_TEST_SUITE_P(Vsftpd, Ftps,
                         ::testing::Combine(::testing::Values(VsftpdTls::Explicit, VsftpdTls::Implicit),
                                            ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                                            ::testing::Values(true, false)));

// Abort in the middle of an encrypted download drops both connections at
// once (no goodbye awaited), so the session can start again at once.
TEST(FtpsAbort, AnAbortedDownloadLeavesTheEngineReadyToConnectAgain) {
  testsupport::TempFolder local;
  const TestCertificate cert = MakeTestCertificate(local.Path(), "server", {});
  VsftpdPeer peer({VsftpdTls::Explicit, cert});
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  const std::string big = Bytes(8 << 20, 'b');
  ASSERT_TRUE(WriteFile(peer.Root() / "big.bin", big));
  TFtpClient ftp;
  Configure(ftp, peer.Port(), "anonymous", "me@example.org", ftpEncExplicit, 0, true, local);
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  ftp.SetBinary(true);
  ASSERT_TRUE(ftp.TypeSet());
  bool aborted = false;
  ftp.OnProgress = [&](TCustomFtpCli*, std::int64_t count, bool&) {
    if (aborted || count == 0) return;
    aborted = true;
    ftp.Abort();
  };
  ftp.SetHostFileName("big.bin");
  ftp.SetLocalFileName(local.File("big.bin"));
  EXPECT_FALSE(ftp.Get());
  EXPECT_TRUE(aborted);
  EXPECT_FALSE(ftp.IsConnected());
  ftp.OnProgress = nullptr;
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  ASSERT_TRUE(ftp.TypeSet());
  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("big.bin")) == big);
}

// A server that refuses a data connection for want of a resumed session
// (522): the engine connects again, in the same folder, and the download
// runs once more; only its outcome is reported, and a certificate taken
// "this time" is not asked about again.
TEST(FtpsRetry, A522BringsAFreshSessionAndOneMoreTry) {
  testsupport::TempFolder local, served;
  const TestCertificate cert = MakeTestCertificate(local.Path(), "server", {});
  fs::create_directories(fs::path(served.Path()) / "pub");
  const std::string payload = Bytes(100000, 'r');
  ASSERT_TRUE(WriteFile(fs::path(served.Path()) / "pub" / "r.bin", payload));
  PyFtpdPeer peer("vek", "pw", served.Path());
  peer.UseTls(cert.certFile, cert.keyFile);
  peer.RefuseFirstRetr();
  std::string error;
  ASSERT_TRUE(peer.Start(error)) << error;
  TFtpClient ftp;
  Configure(ftp, peer.Port(), "vek", "pw", ftpEncExplicit, 0, true, local);
  int asked = 0;
  ftp.OnVerifyCertificate = [&asked](TCustomFtpCli*, const TTlsInfo&, bool, TFtpTrust& trust) {
    ++asked;
    trust = ftpTrustOnce;
  };
  std::vector<std::string> log, done, sessions;
  ftp.OnDisplay = [&log](TCustomFtpCli*, std::string& line) { log.push_back(line); };
  ftp.OnRequestDone = [&done](TCustomFtpCli*, TFtpRequest r, std::uint16_t e) {
    done.push_back(std::string(FtpRequestName(r)) + " " + std::to_string(e));
  };
  ftp.OnSessionClosed = [&sessions](TCustomFtpCli*, std::uint16_t) { sessions.push_back("closed"); };
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  ftp.SetHostDirName("/pub");
  ASSERT_TRUE(ftp.Cwd());
  ftp.SetBinary(true);
  ASSERT_TRUE(ftp.TypeSet());
  done.clear();
  ftp.SetHostFileName("r.bin");
  ftp.SetLocalFileName(local.File("r.bin"));
  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_TRUE(ReadFile(local.File("r.bin")) == payload);
  EXPECT_EQ(done, std::vector<std::string>{"GetAsync 0"});
  EXPECT_TRUE(sessions.empty());
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("> USER", 0) == 0; }), 2);
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l == "> CWD /pub"; }), 2);
  EXPECT_EQ(ftp.HostFileName(), "r.bin");
  EXPECT_EQ(ftp.HostDirName(), "/pub");
}

// pure-ftpd demanding TLS for the login (-Y 2) and for the data too (-Y 3),
// and pyftpdlib's TLS handler (which resets a data connection whose
// handshake comes before its command), on TLS 1.2 and 1.3.
class FtpsPeers : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(FtpsPeers, RoundTripsAreByteExact) {
  const auto [server, version] = GetParam();
  testsupport::TempFolder local;
  const TestCertificate cert = MakeTestCertificate(local.Path(), "server", {});
  TFtpClient ftp;
  std::string error;
  if (server == 0) {
    testsupport::TempFolder served;
    std::filesystem::create_directories(fs::path(served.Path()) / "up");
    PyFtpdPeer peer("vek", "pw", served.Path());
    peer.UseTls(cert.certFile, cert.keyFile);
    ASSERT_TRUE(peer.Start(error)) << error;
    Configure(ftp, peer.Port(), "vek", "pw", ftpEncExplicit, version, true, local);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage() << "\n" << peer.Log();
    EXPECT_TRUE(ftp.DataEncrypted());
    RoundTrips(ftp, served.Path(), local);
    return;
  }
  PureFtpdPeer peer({server, cert});
  ASSERT_TRUE(peer.Start(error)) << error;
  Configure(ftp, peer.Port(), "demo", "pw", ftpEncExplicit, version, true, local);
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage() << "\n" << peer.Log();
  EXPECT_TRUE(ftp.DataEncrypted());
  RoundTrips(ftp, peer.Root(), local);
}

// A server that agrees to PROT P and then sends a listing in clear: the
// request fails at once, saying so, and the session stays usable.
TEST(FtpsBroken, DataInClearAfterProtPEndsTheRequest) {
  testsupport::TempFolder local, served;
  const TestCertificate cert = MakeTestCertificate(local.Path(), "server", {});
  PyFtpdPeer peer("vek", "pw", served.Path());
  peer.UseTls(cert.certFile, cert.keyFile, true);
  std::string error;
  ASSERT_TRUE(peer.Start(error)) << error;
  TFtpClient ftp;
  Configure(ftp, peer.Port(), "vek", "pw", ftpEncExplicit, 0, true, local);
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  ftp.SetHostFileName("");
  ftp.SetLocalFileName(local.File("listing.txt"));
  EXPECT_FALSE(ftp.Dir());
  EXPECT_NE(ftp.ErrorMessage().find("TLS handshake failed"), std::string::npos) << ftp.ErrorMessage();
  EXPECT_TRUE(ftp.IsConnected());
  ftp.SetHostDirName("/");
  EXPECT_TRUE(ftp.Pwd()) << ftp.ErrorMessage();
}

INSTANTIATE_TEST_SUITE_P(PyFtpdAndPureFtpd, FtpsPeers,
                         ::testing::Combine(::testing::Values(0, 2, 3),
                                            ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION)));

// A server that answers AUTH TLS and then breaks the handshake (it closes,
// or answers the hello with text, or slips a reply in clear behind its 234):
// the connect fails at once with why, and nothing of the login is sent.
TEST(FtpsScripted, ABrokenHandshakeEndsTheConnectBeforeTheLogin) {
  auto garbageAfterHello = [](FtpServerSession& s, const std::string&) {
    pollfd p{s.Fd(), POLLIN, 0};
    char hello[1024];
    if (::poll(&p, 1, 3000) == 1 && ::recv(s.Fd(), hello, sizeof(hello), 0) > 0)
      s.Send("HTTP/1.0 400 Bad Request\r\n\r\n");
    s.Close();
  };
  for (int shape = 0; shape < 3; ++shape) {
    SCOPED_TRACE(shape);
    FtpScript script;
    script.Greet("220 hi");
    if (shape == 0) script.Expect("AUTH TLS", "234 go ahead").ThenClose();
    if (shape == 1) script.Expect("AUTH TLS", "234 go ahead").Do(garbageAfterHello);
    // In the same segment as the 234, so it is read before TLS starts.
    if (shape == 2) script.Expect("AUTH TLS").Raw("234 go ahead\r\n230 logged in, no TLS needed\r\n").Do(garbageAfterHello);
    FtpTestServer server(script);
    TFtpClient ftp;
    ftp.SetHostName("127.0.0.1");
    ftp.SetPort(server.PortText());
    ftp.SetUserName("bob");
    ftp.SetPassWord("secret");
    ftp.SetTimeout(10);
    ftp.SetEncryption(ftpEncExplicit);
    std::vector<std::string> shown;
    ftp.OnDisplay = [&shown](TCustomFtpCli*, std::string& line) { shown.push_back(line); };
    EXPECT_FALSE(ftp.Connect());
    for (const std::string& line : shown) EXPECT_EQ(line.find("230"), std::string::npos) << "taken from clear text: " << line;
    EXPECT_EQ(ftp.ErrorMessage().rfind("500 TLS handshake failed: ", 0), 0u) << ftp.ErrorMessage();
    EXPECT_FALSE(ftp.Encrypted());
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"AUTH TLS"});
  }
}



}  // namespace
}  // namespace vektest
