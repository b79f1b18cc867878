// TLS over the event-driven socket against a TLS server of the tests: the
// handshake, a large echo both ways, session resumption through the jar,
// close_notify both ways, failed handshakes, and the certificate check.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string>

#include "socket_test_util.h"
#include "tests/support/temp_folder.h"
#include "tests/support/tls_test_peer.h"

using namespace sockettest;

namespace {

// One client session: connect, TLS, send Payload, read the echo, close.
struct Session {
  TWSocket s;
  int tlsDone = -1;
  std::string echo;
  bool closed = false;

  void Run(const std::string& Port, const std::string& Payload, std::shared_ptr<TTlsSessionJar> Jar) {
    s.SetAddr("127.0.0.1");
    s.SetPort(Port);
    s.OnSessionConnected = [this, Jar](TCustomWSocket*, std::uint16_t Error) {
      if (Error == 0) s.StartTls("127.0.0.1", Jar);
    };
    s.OnTlsDone = [this, Payload](TCustomWSocket*, std::uint16_t Error) {
      tlsDone = Error;
      if (Error == 0 && !Payload.empty()) s.Send(Payload.data(), static_cast<int>(Payload.size()));
      if (Error != 0) s.Close();
    };
    s.OnDataAvailable = [this, Payload](TCustomWSocket*, std::uint16_t) {
      char buffer[3000];  // not a record's size: records arrive split and joined
      const int n = s.Receive(buffer, sizeof(buffer));
      if (n > 0) echo.append(buffer, static_cast<std::size_t>(n));
      if (!Payload.empty() && echo.size() == Payload.size()) s.Close();
    };
    s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) { closed = true; };
    s.Connect();
    RunUntil([this] { return closed; });
  }
};

class Tls : public ::testing::Test {
 protected:
  testsupport::TempFolder folder;
};

TEST_F(Tls, HandshakeEchoResumptionAndCloseNotifyOnTls12And13) {
  const vektest::TestCertificate cert = vektest::MakeTestCertificate(folder.Path(), "server", {});
  const std::string payload = Pattern(1 << 20);
  for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SCOPED_TRACE(version);
    vektest::TlsTestServer server(cert, {vektest::TlsTestServer::Mode::Echo, version, version});
    auto jar = std::make_shared<TTlsSessionJar>();
    for (int round = 0; round < 2; ++round) {
      Session c;
      c.Run(server.PortText(), payload, jar);
      ASSERT_EQ(c.tlsDone, 0) << c.s.TlsError();
      EXPECT_TRUE(c.echo == payload) << c.echo.size();
      const TTlsInfo& info = c.s.TlsInfo();
      EXPECT_EQ(info.Version, version == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2");
      EXPECT_FALSE(info.Cipher.empty());
      EXPECT_EQ(info.Resumed, round == 1);
      EXPECT_EQ(info.Fingerprint, cert.fingerprint);
      // Self-signed: the system's store does not know it.
      EXPECT_EQ(info.VerifyCode, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT) << info.VerifyText;
      EXPECT_NE(info.Subject.find("127.0.0.1"), std::string::npos) << info.Subject;
    }
    EXPECT_GT(jar->Kept(), 0);
    const auto seen = server.WaitForConnections(2);
    ASSERT_EQ(seen.size(), 2u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_TRUE(seen[i].handshake);
      EXPECT_EQ(seen[i].resumed, i == 1);
      EXPECT_EQ(seen[i].bytes, payload.size());
      EXPECT_TRUE(seen[i].closeNotify) << "the client closed without close_notify";
    }
  }
}

TEST_F(Tls, AFailedHandshakeSaysWhyAndDeliversNothing) {
  const vektest::TestCertificate cert = vektest::MakeTestCertificate(folder.Path(), "server", {});
  for (const auto mode : {vektest::TlsTestServer::Mode::Garbage, vektest::TlsTestServer::Mode::CloseInHandshake}) {
    vektest::TlsTestServer server(cert, {mode, 0, 0});
    Session c;
    c.Run(server.PortText(), "hello", nullptr);
    EXPECT_EQ(c.tlsDone, WSOCKET_TLS_FAILED);
    EXPECT_FALSE(c.s.TlsError().empty());
    EXPECT_TRUE(c.echo.empty()) << c.echo;
    EXPECT_TRUE(c.closed);
  }
}

// With a test authority trusted: a certificate it signed for this address
// passes; one for another name, or expired, fails with the reason.
TEST_F(Tls, TheCertificateIsCheckedAgainstTheTrustedAuthoritiesAndTheName) {
  vektest::CertificateRequest authority;
  authority.name = "vek test authority";
  authority.authority = true;
  const vektest::TestCertificate ca = vektest::MakeTestCertificate(folder.Path(), "ca", authority);
  std::string error;
  ASSERT_TRUE(WSocketTrustCertificates(ca.certFile, error)) << error;
  EXPECT_FALSE(WSocketTrustCertificates(folder.File("missing.pem"), error));
  EXPECT_NE(error.find("missing.pem"), std::string::npos);

  vektest::CertificateRequest other;
  other.name = "other.example.org";
  vektest::CertificateRequest expired;
  expired.validFromSeconds = -7200;
  expired.validToSeconds = -3600;
  const struct {
    const char* stem;
    vektest::CertificateRequest wanted;
    long code;
  } cases[] = {
      {"good", {}, X509_V_OK},
      {"other", other, X509_V_ERR_IP_ADDRESS_MISMATCH},
      {"expired", expired, X509_V_ERR_CERT_HAS_EXPIRED},
  };
  for (const auto& c : cases) {
    const vektest::TestCertificate cert = vektest::MakeTestCertificate(folder.Path(), c.stem, c.wanted, &ca);
    vektest::TlsTestServer server(cert, {});
    Session s;
    s.Run(server.PortText(), "x", nullptr);
    ASSERT_EQ(s.tlsDone, 0) << c.stem << ": " << s.s.TlsError();
    EXPECT_EQ(s.s.TlsInfo().VerifyCode, c.code) << c.stem << ": " << s.s.TlsInfo().VerifyText;
  }
}

}  // namespace
