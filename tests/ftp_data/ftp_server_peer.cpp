#include "tests/ftp_data/ftp_server_peer.h"

namespace vektest {

FtpServerPeer::FtpServerPeer(const std::string& Prefix) : work_(Prefix), root_(work_.Path() / "root") {}

FtpServerPeer::~FtpServerPeer() { Stop(); }

void FtpServerPeer::Stop() { process_.Stop(); }

bool FtpServerPeer::Launch(const std::vector<std::string>& Argv, const std::string& Name, std::string& Error) {
  if (!process_.Start(Argv, work_.Path() / (Name + ".log"), {}, Error)) return false;
  if (!process_.WaitForPort(port_, 5000)) {
    Error = Name + " did not start listening: " + process_.Log();
    process_.Stop();
    return false;
  }
  return true;
}

}  // namespace vektest
