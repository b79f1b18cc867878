// What the real FTP servers the tests start have in common: a private
// folder with the served root in it, the server's process and its port.
// Started by the test, stopped by PID (at the latest on destruction), every
// wait bounded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/peer_process.h"

namespace vektest {

class FtpServerPeer {
 public:
  explicit FtpServerPeer(const std::string& Prefix);
  virtual ~FtpServerPeer();
  FtpServerPeer(const FtpServerPeer&) = delete;
  FtpServerPeer& operator=(const FtpServerPeer&) = delete;

  // False with Error naming why (not root, not installed ...).
  virtual bool Start(std::string& Error) = 0;
  void Stop();
  std::uint16_t Port() const { return port_; }
  // The served folder and its sub-folder the server may write into.
  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path Upload() const { return root_ / "up"; }
  std::string Log() const { return process_.Log(); }
  // An ftp:// URL of Path on the server, with what a login needs.
  virtual std::string Url(const std::string& Path) const = 0;

 protected:
  // The ports of one start: the control port and a passive range.
  struct Ports {
    std::uint16_t control;
    std::uint16_t pasvMin;
    std::uint16_t pasvMax;
  };
  // Picks free ports, has Prepare make the command line for them, starts it
  // with its output in Name.log and waits until the control port accepts
  // connections. A port another program took meanwhile fails a start, so
  // there are three, each on fresh ports; false with Error set otherwise.
  using Preparer = std::function<bool(const Ports&, std::vector<std::string>& Argv, std::string& Error)>;
  bool Launch(const Preparer& Prepare, const std::string& Name, std::string& Error);

  TempDir work_;
  // Where the server listens, its ports picked and waited for: 127.0.0.1 or ::1.
  std::string address_ = "127.0.0.1";
  std::filesystem::path root_;
  PeerProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace vektest
