#include "tests/ftp_data/ftp_server_peer.h"

namespace vektest {

FtpServerPeer::FtpServerPeer(const std::string& Prefix) : work_(Prefix), root_(work_.Path() / "root") {}

FtpServerPeer::~FtpServerPeer() { Stop(); }

void FtpServerPeer::Stop() { process_.Stop(); }

bool FtpServerPeer::Launch(const Preparer& Prepare, const std::string& Name, std::string& Error) {
  constexpr int kPasvPorts = 31;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::uint16_t first = FreeLocalPorts(1 + kPasvPorts, address_);
    if (first == 0) {
      Error = "no free ports for " + Name;
      return false;
    }
    const Ports ports{first, static_cast<std::uint16_t>(first + 1), static_cast<std::uint16_t>(first + kPasvPorts)};
    std::vector<std::string> argv;
    if (!Prepare(ports, argv, Error)) return false;
    port_ = ports.control;
    if (!process_.Start(argv, work_.Path() / (Name + ".log"), {}, Error)) return false;
    if (process_.WaitForPort(port_, 5000, address_)) return true;
    Error = Name + " did not start listening: " + process_.Log();
    process_.Stop();
  }
  return false;
}

}  // namespace vektest
