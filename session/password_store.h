// The desktop keyring through QtKeychain: the freedesktop Secret Service
// (gnome-keyring, KeePassXC, ...) by libsecret, or KWallet on Plasma.
//
// Each entry has the service "RiraRAR" and the profile's name as its key;
// QtKeychain offers no other attributes. Its plain-text fallback stays off:
// without a keyring the profile store keeps the scrambled password itself.
#pragma once

#include <string>

#include "session/keyring.h"

namespace session {

class TDesktopKeyring : public TPasswordKeyring {
 public:
  // timeoutMs bounds each operation: an unlock prompt nobody answers, or a
  // keyring that never replies, ends as Refused instead of a hang.
  explicit TDesktopKeyring(std::string service = "RiraRAR", int timeoutMs = 30000);

  TKeyringResult Read(const std::string& profile) override;
  TKeyringResult Write(const std::string& profile, const std::string& password) override;
  TKeyringResult Remove(const std::string& profile) override;

 private:
  std::string service_;
  int timeoutMs_;
};

// The keyring the login window uses: the desktop's unless one was set.
TPasswordKeyring& TheKeyring();
// nullptr: the desktop's again.
void SetKeyring(TPasswordKeyring* keyring);

}  // namespace session
