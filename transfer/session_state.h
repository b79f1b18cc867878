// The program-wide state that the login window's controller and the transfer
// window share: one instance for the program, read and written by both.
#pragma once

#include <cstdint>
#include <functional>

namespace transfer {

// What the engine is doing for the user. One thing at a time: while it is
// not Idle, no click, key or drop may start other engine work (a drop joins
// a running queue instead).
enum class TActivity { Idle, Connecting, Listing, Transferring, Changing, Reconnecting, KeepingAlive };
// "Idle", "Connecting" ...; "?" out of range.
const char* ActivityName(TActivity Activity);
// What the user reads: "connecting", "listing a folder", "transferring files" ...
const char* ActivityText(TActivity Activity);

struct TSessionState {
  // The login succeeded and the control connection is open.
  bool Connected = false;
  // The error code of the last request that failed; reset by the remote tree.
  std::uint16_t LastRequestError = 0;

  TActivity Activity = TActivity::Idle;
  // Abort was pressed during the current activity: its remaining steps stop.
  bool AbortRequested = false;
  bool Busy() const { return Activity != TActivity::Idle; }
  // The one place the activity moves; VEK_FTP_TRACE=1 prints "busy: OLD -> NEW".
  void SetActivity(TActivity NewActivity);
  // Told after every move (the windows' cursor and status bar).
  std::function<void()> OnActivityChange;
};

TSessionState& Session();

}  // namespace transfer
