// TLS for the tests: certificates made at test time (self-signed, or signed
// by a test authority; valid, expired, for another name), and a small TLS
// server on 127.0.0.1 on its own thread, which echoes what it is sent. Every
// wait is bounded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vektest {

struct TestCertificate {
  std::string certFile;  // PEM
  std::string keyFile;   // PEM
  std::string fingerprint;  // SHA-256, "AB:CD:..."
};

struct CertificateRequest {
  std::string name = "127.0.0.1";  // common name and subject alternative name (IP or DNS)
  long validFromSeconds = -3600;   // relative to now
  long validToSeconds = 30L * 24 * 3600;
  bool authority = false;          // may sign others
};

// Writes Stem.crt and Stem.key into Folder. Issuer null: self-signed.
TestCertificate MakeTestCertificate(const std::string& Folder, const std::string& Stem, const CertificateRequest& Wanted,
                                    const TestCertificate* Issuer = nullptr);

class TlsTestServer {
 public:
  enum class Mode {
    Echo,                 // the handshake, then every byte back until the client's close_notify
    Garbage,              // no TLS at all: a line of text, then the close
    CloseInHandshake,     // reads the client's hello, then closes
  };
  struct Options {
    Mode mode = Mode::Echo;
    int minVersion = 0;  // TLS1_2_VERSION ...; 0: the library's bound
    int maxVersion = 0;
  };
  TlsTestServer(const TestCertificate& Certificate, Options Opts);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  std::uint16_t Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }

  struct Connection {
    bool handshake = false;
    bool resumed = false;
    std::string version;
    std::size_t bytes = 0;          // received (and echoed)
    bool closeNotify = false;       // the client said goodbye properly
  };
  std::vector<Connection> Connections() const;
  // Waits (at most TimeoutMs) until Count connections have ended.
  std::vector<Connection> WaitForConnections(std::size_t Count, int TimeoutMs = 5000) const;

 private:
  void Run();
  void Serve(int Fd);

  Options opts_;
  void* context_ = nullptr;  // SSL_CTX*
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable ended_;
  std::vector<Connection> connections_;
  std::thread thread_;
};

}  // namespace vektest
