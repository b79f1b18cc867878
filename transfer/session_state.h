// The program-wide state that the login window's controller and the transfer
// window share: one instance for the program, read and written by both.
#pragma once

#include <cstdint>
#include <string>

namespace transfer {

struct TSessionState {
  // The login succeeded and the control connection is open.
  bool Connected = false;
  // The error code of the last request that failed; reset by the remote tree.
  std::uint16_t LastRequestError = 0;
  // A file transfer is running; its size when known (0: unknown) and the
  // number of progress events seen so far.
  bool TransferActive = false;
  std::int64_t ExpectedSize = 0;
  std::int64_t ProgressTicks = 0;
  // A remote directory is being changed to and listed; tree changes wait.
  bool RemoteListing = false;
};

TSessionState& Session();

}  // namespace transfer
