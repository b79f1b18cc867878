// A keyring that keeps profile passwords out of the profile file: the
// desktop's Secret Service (or KWallet) in the program, a stand-in in tests.
// Qt-free, so that the profile store can use one without the windows.
#pragma once

#include <string>

namespace session {

// What one keyring operation came to. Reason is the keyring's own words for a
// failure; no field but Password ever holds the password.
struct TKeyringResult {
  enum TStatus {
    NotAsked,   // the keyring was not needed
    Done,       // stored, found or removed
    NotFound,   // no entry for that profile
    NoService,  // no keyring to ask: no D-Bus session, no Secret Service
    Refused,    // locked, denied, failed or no answer in time
  };
  TStatus Status = NotAsked;
  std::string Password;
  std::string Reason;
};

// One entry per profile, named after the program and the profile. Every call
// comes back, within a bounded time at worst.
class TPasswordKeyring {
 public:
  virtual ~TPasswordKeyring() = default;
  virtual TKeyringResult Read(const std::string& profile) = 0;
  virtual TKeyringResult Write(const std::string& profile, const std::string& password) = 0;
  virtual TKeyringResult Remove(const std::string& profile) = 0;
};

}  // namespace session
