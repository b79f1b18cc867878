// vsftpd (Debian's package) as a test peer: anonymous access to a folder of
// its own on 127.0.0.1, uploads allowed into its "up" sub-folder, active and
// passive mode.
#pragma once

#include "tests/ftp_data/ftp_server_peer.h"

namespace vektest {

class VsftpdPeer : public FtpServerPeer {
 public:
  VsftpdPeer() : FtpServerPeer("vekvsftpd") {}
  bool Start(std::string& Error) override;
  // Anonymous: no user in it.
  std::string Url(const std::string& Path) const override;
};

}  // namespace vektest
