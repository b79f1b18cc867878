// vsftpd (Debian's package) as a test peer: anonymous access to a folder of
// its own on 127.0.0.1, uploads allowed into its "up" sub-folder, active and
// passive mode. Started by the test, stopped by PID, every wait bounded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/peer_process.h"

namespace vektest {

class VsftpdPeer {
 public:
  VsftpdPeer();
  ~VsftpdPeer();
  // False with Error naming why (not root, no vsftpd, no "ftp" user ...).
  bool Start(std::string& Error);
  void Stop();
  std::uint16_t Port() const { return port_; }
  // The served folder (read-only for the server) and its writable sub-folder.
  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path Upload() const { return root_ / "up"; }
  std::string Log() const { return process_.Log(); }
  std::string Url(const std::string& Path) const;

 private:
  TempDir work_{"vekvsftpd"};
  std::filesystem::path root_;
  PeerProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace vektest
