#include "tests/support/tls_test_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace vektest {

namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

EVP_PKEY* LoadKey(const std::string& file) {
  FILE* f = std::fopen(file.c_str(), "r");
  Check(f != nullptr, "cannot read the issuer's key");
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  Check(key != nullptr, "bad issuer key");
  return key;
}

X509* LoadCertificate(const std::string& file) {
  FILE* f = std::fopen(file.c_str(), "r");
  Check(f != nullptr, "cannot read the issuer's certificate");
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  Check(cert != nullptr, "bad issuer certificate");
  return cert;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "bad extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

std::string FingerprintOf(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  X509_digest(cert, EVP_sha256(), digest, &len);
  std::string text;
  char hex[4];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof(hex), i == 0 ? "%02X" : ":%02X", digest[i]);
    text += hex;
  }
  return text;
}

}  // namespace

TestCertificate MakeTestCertificate(const std::string& Folder, const std::string& Stem, const CertificateRequest& Wanted,
                                    const TestCertificate* Issuer) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  Check(key != nullptr, "no key");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  static long serial = 1000;
  ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), Wanted.validFromSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), Wanted.validToSeconds);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("vek tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(Wanted.name.c_str()), -1,
                             -1, 0);
  X509* issuerCert = Issuer != nullptr ? LoadCertificate(Issuer->certFile) : cert;
  EVP_PKEY* issuerKey = Issuer != nullptr ? LoadKey(Issuer->keyFile) : key;
  X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
  in6_addr probe{};
  const bool address = inet_pton(AF_INET, Wanted.name.c_str(), &probe) == 1;
  AddExtension(cert, issuerCert, NID_subject_alt_name, (address ? "IP:" : "DNS:") + Wanted.name);
  AddExtension(cert, issuerCert, NID_basic_constraints, Wanted.authority ? "critical,CA:TRUE" : "CA:FALSE");
  if (Wanted.authority) AddExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  Check(X509_sign(cert, issuerKey, EVP_sha256()) > 0, "cannot sign");

  TestCertificate out;
  out.certFile = Folder + "/" + Stem + ".crt";
  out.keyFile = Folder + "/" + Stem + ".key";
  FILE* f = std::fopen(out.certFile.c_str(), "w");
  Check(f != nullptr && PEM_write_X509(f, cert) == 1, "cannot write the certificate");
  std::fclose(f);
  f = std::fopen(out.keyFile.c_str(), "w");
  Check(f != nullptr && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "cannot write the key");
  std::fclose(f);
  out.fingerprint = FingerprintOf(cert);
  if (Issuer != nullptr) {
    X509_free(issuerCert);
    EVP_PKEY_free(issuerKey);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

// ---------------------------------------------------------------------------
// TlsTestServer

TlsTestServer::TlsTestServer(const TestCertificate& Certificate, Options Opts) : opts_(Opts) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  Check(ctx != nullptr, "no server context");
  Check(SSL_CTX_use_certificate_file(ctx, Certificate.certFile.c_str(), SSL_FILETYPE_PEM) == 1, "server certificate");
  Check(SSL_CTX_use_PrivateKey_file(ctx, Certificate.keyFile.c_str(), SSL_FILETYPE_PEM) == 1, "server key");
  if (opts_.minVersion != 0) SSL_CTX_set_min_proto_version(ctx, opts_.minVersion);
  if (opts_.maxVersion != 0) SSL_CTX_set_max_proto_version(ctx, opts_.maxVersion);
  SSL_CTX_set_session_id_context(ctx, reinterpret_cast<const unsigned char*>("vektest"), 7);
  context_ = ctx;

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Check(::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0, "bind");
  Check(::listen(listenFd_, 8) == 0, "listen");
  socklen_t len = sizeof(addr);
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  Check(::pipe(wake_) == 0, "pipe");
  thread_ = std::thread([this] { Run(); });
}

TlsTestServer::~TlsTestServer() {
  stopping_ = true;
  const char byte = 0;
  if (::write(wake_[1], &byte, 1) < 0) {
  }
  if (thread_.joinable()) thread_.join();
  ::close(listenFd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

std::vector<TlsTestServer::Connection> TlsTestServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::vector<TlsTestServer::Connection> TlsTestServer::WaitForConnections(std::size_t Count, int TimeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [&] { return connections_.size() >= Count; });
  return connections_;
}

void TlsTestServer::Run() {
  // At most a minute, whatever the test does.
  for (int rounds = 0; rounds < 600 && !stopping_; ++rounds) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, 100) <= 0 || (fds[1].revents & POLLIN) != 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    Serve(fd);
    ::close(fd);
  }
}

void TlsTestServer::Serve(int Fd) {
  Connection seen;
  if (opts_.mode == Mode::Garbage) {
    char hello[512];
    if (::recv(Fd, hello, sizeof(hello), 0) < 0) {
    }
    const char text[] = "220 this is no TLS at all\r\n";
    if (::send(Fd, text, sizeof(text) - 1, MSG_NOSIGNAL) < 0) {
    }
  } else if (opts_.mode == Mode::CloseInHandshake) {
    char hello[512];
    if (::recv(Fd, hello, sizeof(hello), 0) < 0) {
    }
  } else {
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    SSL_set_fd(ssl, Fd);
    if (SSL_accept(ssl) == 1) {
      seen.handshake = true;
      seen.resumed = SSL_session_reused(ssl) == 1;
      seen.version = SSL_get_version(ssl);
      char buffer[16384];
      for (;;) {
        const int n = SSL_read(ssl, buffer, sizeof(buffer));
        if (n <= 0) {
          seen.closeNotify = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
          break;
        }
        seen.bytes += static_cast<std::size_t>(n);
        if (SSL_write(ssl, buffer, n) <= 0) break;
      }
      if (seen.closeNotify) SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ERR_clear_error();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.push_back(seen);
  ended_.notify_all();
}

}  // namespace vektest
