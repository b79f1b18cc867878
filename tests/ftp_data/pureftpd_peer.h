// pure-ftpd (Debian's package, unpacked by scripts/fetch-pure-ftpd) as a test
// peer: one virtual user "demo" (password "pw") in a folder of its own on
// 127.0.0.1, writable, active and passive mode. It answers data requests with
// multi-line replies ("150-Accepted data connection" / "150 ..."). Started by
// the test, stopped by PID, every wait bounded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/peer_process.h"

namespace vektest {

class PureFtpdPeer {
 public:
  PureFtpdPeer();
  ~PureFtpdPeer();
  // False with Error naming why (not root, not unpacked, no "ftp" user ...).
  bool Start(std::string& Error);
  void Stop();
  std::uint16_t Port() const { return port_; }
  // The user's folder, and a sub-folder, both writable for the server.
  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path Upload() const { return root_ / "up"; }
  std::string Log() const { return process_.Log(); }
  // With the user and password in it.
  std::string Url(const std::string& Path) const;

 private:
  TempDir work_{"vekpureftpd"};
  std::filesystem::path root_;
  PeerProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace vektest
