// vsftpd (Debian's package) as a test peer: anonymous access to a folder of
// its own on 127.0.0.1 (or ::1), uploads allowed into its "up" sub-folder,
// active and passive mode.
#pragma once

#include "tests/ftp_data/ftp_server_peer.h"
#include "tests/support/tls_test_peer.h"

namespace vektest {

// FTP over TLS: the certificate, and TLS from the first byte or after AUTH.
// Either way logins and data must be encrypted and every data connection
// must resume the control connection's session (require_ssl_reuse).
struct VsftpdTls {
  enum Mode { None, Explicit, Implicit } mode = None;
  TestCertificate certificate;
};

class VsftpdPeer : public FtpServerPeer {
 public:
  explicit VsftpdPeer(VsftpdTls Tls = {}) : FtpServerPeer("vekvsftpd"), tls_(std::move(Tls)) {}
  bool Start(std::string& Error) override;
  // Anonymous: no user in it.
  std::string Url(const std::string& Path) const override;
  // More lines of vsftpd.conf ("pasv_address=127.0.0.2\n"); before Start.
  void AddConfig(const std::string& Lines) { extra_ += Lines; }
  // Listen on ::1 instead of 127.0.0.1 (EPSV and EPRT then); before Start.
  void ListenIpv6() { address_ = "::1"; }
  // vsftpd's own log (with TLS: its OpenSSL diagnostics).
  std::string ServerLog() const;

 private:
  VsftpdTls tls_;
  std::string extra_;
};

}  // namespace vektest
