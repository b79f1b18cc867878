// pure-ftpd (Debian's package, unpacked by scripts/fetch-pure-ftpd) as a test
// peer: one virtual user "demo" (password "pw") in a folder of its own on
// 127.0.0.1, writable, active and passive mode. It answers data requests with
// multi-line replies ("150-Accepted data connection" / "150 ...").
#pragma once

#include "tests/ftp_data/ftp_server_peer.h"
#include "tests/support/tls_test_peer.h"

namespace vektest {

// FTP over TLS (explicit only): level 2 demands it for the login, level 3
// for the data connections too (pure-ftpd's -Y).
struct PureFtpdTls {
  int level = 0;
  TestCertificate certificate;
};

class PureFtpdPeer : public FtpServerPeer {
 public:
  explicit PureFtpdPeer(PureFtpdTls Tls = {}) : FtpServerPeer("vekpureftpd"), tls_(std::move(Tls)) {}
  bool Start(std::string& Error) override;
  // With the user and password in it.
  std::string Url(const std::string& Path) const override;

 private:
  PureFtpdTls tls_;
};

}  // namespace vektest
