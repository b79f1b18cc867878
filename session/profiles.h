// Site profiles in the profile file.
//
// Layout: section "Profiles" with "Name0", "Name1", ... (numbered from 0, no
// gaps); section "LastUsed" with "Profile" (index into that list); one section
// per profile, named like the profile, with "HostName", "InitialLocalDir",
// "InitialDir", "UserName", "Password" (scrambled, then Base64), "Port",
// "ForceLower", "AutoDir" and "Passive" ("1" / "0"; a profile without
// "Passive" uses passive mode), and "Encryption" (a TEncryptionChoice
// number; a profile without it, or with a number out of range, uses
// encryption when the server offers it), "KeepAlive", "PreserveTimes" (both
// on when missing), "UsePasvAddress" (off when missing) and "Transfers"
// (1 to 10; 2 when missing or out of range). A profile
// whose password is in the
// desktop keyring has "PasswordStore=keyring" and no "Password". Profile
// names compare without regard to letter case; profile sections are never
// removed.
//
// The store keeps nothing between calls: every operation opens the file.
// Failures of the file are plat::EIniFileException ("Unable to write to ...").
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/inifile.h"
#include "session/keyring.h"

namespace session {

// A text that is not a decimal integer where one is needed:
// "'21x' is not a valid integer value".
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Optional sign and decimal digits within the range of int, else EConvertError.
int StrToInt(const std::string& text);

// The user's home folder with a trailing "/": the default local folder.
std::string HomeFolder();

// The folder of the running program (from /proc/self/exe), with no trailing "/".
std::string ProgramFolder();

// Where the profile file lives: "rirarar.ini" in programDir when that folder is
// writable, else in xdgConfigHome + "/rirarar/" (when set and absolute) or
// home + "/.config/rirarar/". The fallback folder is created with mode 0700
// when missing (a failure shows up at the first write).
std::string IniFileName(const std::string& programDir, const std::string& xdgConfigHome,
                        const std::string& home);
// The same with $XDG_CONFIG_HOME and the home folder of this user.
std::string IniFileName(const std::string& programDir);

// The choices of the login window's "Encryption" box, in its order.
enum TEncryptionChoice {
  encIfAvailable,  // "Use explicit FTP over TLS if available"
  encExplicit,     // "Require explicit FTP over TLS"
  encImplicit,     // "Require implicit FTP over TLS"
  encPlain,        // "Only use plain FTP (insecure)"
};

// The fields of the login window that a profile holds. Password is in clear;
// Port is the text of the port field.
struct TSiteProfile {
  std::string HostName;
  std::string InitialLocalDir;
  std::string InitialDir;
  std::string UserName;
  std::string Password;
  std::string Port = "21";
  bool ForceLower = true;
  bool AutoDir = true;
  // Data connections by PASV; the default, since active mode cannot work
  // from behind a home router.
  bool Passive = true;
  TEncryptionChoice Encryption = encIfAvailable;
  // NOOP after a minute without a command, so that routers and servers do
  // not drop an idle session.
  bool KeepAlive = true;
  // Copies keep the original's modification time.
  bool PreserveTimes = true;
  // Passive data connections go to the address a 227 reply names.
  bool UsePasvAddress = false;
  // Files a queue moves at once, each over a connection of its own (1 to
  // 10); with 1 the queue runs on the browsing connection.
  int Transfers = 2;
};

// The fields of a profile that is not in the file (and of a new one).
TSiteProfile DefaultProfile();

struct TProfileList {
  std::vector<std::string> Names;
  int Selected = -1;  // -1: nothing selected
};

// Position of name in names (an exact match first, then without regard to
// case), -1 when it is not there.
int IndexOfProfile(const std::vector<std::string>& names, const std::string& name);

// The index a profile is saved at: its position in the list, or the number of
// names when it is not there.
int ProfileSaveIndex(const std::vector<std::string>& names, const std::string& name);

// A name typed into the "New FTP Site" box as the list holds it: upper case
// (ASCII letters), "UNTITLED" when empty.
std::string ProfileNameFromAnswer(const std::string& answer);

class TProfileStore {
 public:
  explicit TProfileStore(std::string iniFileName) : ini_(std::move(iniFileName)) {}
  const std::string& FileName() const { return ini_.FileName(); }

  // "Name0", "Name1", ... up to the first one that is missing or empty, and the
  // "LastUsed" index (an index outside the list selects nothing).
  TProfileList LoadProfileList() const;

  // The profile's values, the defaults for what is missing; an empty name
  // gives the defaults. A password the file leaves to the keyring is read
  // from `keyring`, and is empty when there is none or it fails; `lookup`
  // gets the keyring's answer (NotAsked when the file holds the password).
  TSiteProfile ReadProfile(const std::string& name, TPasswordKeyring* keyring = nullptr,
                           TKeyringResult* lookup = nullptr) const;

  // Saves the fields as profile `name` at `index` of the list, in this order:
  // "Profiles"/"Name"+index, "HostName", "InitialLocalDir", "InitialDir",
  // "UserName", "Password", "Port", "ForceLower", "AutoDir", "LastUsed".
  // A port text that is not an integer throws EConvertError when "Port" is
  // reached: the keys before it stay written, the rest are not. A name that is
  // empty, that the file cannot hold (a line break) or that is "Profiles" (in
  // any case; the list rewrite would erase its section) throws
  // plat::EIniFileException before anything is written.
  // With a keyring, a password that is not empty goes there and the file
  // gets "PasswordStore=keyring" in its place; when the keyring has no
  // service or refuses, the password is stored scrambled as without one. An
  // empty password removes the keyring entry the file pointed to. Returns
  // the keyring's answer (NotAsked when it was not needed).
  TKeyringResult WriteProfile(int index, const std::string& name, const TSiteProfile& profile,
                              TPasswordKeyring* keyring = nullptr);

  // Whether the file leaves the profile's password to the keyring.
  bool PasswordInKeyring(const std::string& name) const;

  // The end-of-program rewrite: erase "Profiles", write the names sorted without
  // regard to case, "LastUsed" := position of `selected` in that order or 0.
  // All of it is one replacement of the file: on a crash or a name the file
  // cannot hold (plat::EIniFileException) the file keeps the old list.
  // Returns the sorted list with the position of `selected` (-1 when absent).
  TProfileList SaveProfileList(const std::vector<std::string>& names, const std::string& selected);

 private:
  plat::IniFile ini_;
};

}  // namespace session
