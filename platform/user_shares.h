// Folders shared on the network: the Samba user shares of the machine.
//
// `net usershare add` keeps one small file per share in the usershare folder
// (/var/lib/samba/usershares), with a "path=" line naming the shared folder;
// `net usershare info` prints the same files. They are read here directly,
// so that asking for every node of a tree starts no process. The list is read
// again only when the folder has changed (shares are written by a rename).
// File times are coarse: a folder changed within the second before the last
// reading may have changed again unseen, so that reading is not trusted.
//
// The folder is a constructor argument and the service replaceable
// (SetUserShares), so that a test can present shares of its own.
#pragma once

#include <ctime>
#include <set>
#include <string>

namespace plat {

class UserShares {
 public:
  static constexpr const char* kUsershareFolder = "/var/lib/samba/usershares";

  explicit UserShares(std::string folder = kUsershareFolder);
  virtual ~UserShares() = default;

  // True when the folder (a trailing "/" allowed) is shared, under this
  // spelling or through the links it follows. False when the machine has no
  // user shares or they cannot be read.
  virtual bool IsShared(const std::string& folder);

 private:
  void Refresh();

  std::string folder_;
  std::set<std::string> shared_;   // folders with a trailing "/", as written and resolved
  bool read_ = false;
  timespec modified_{};
  timespec changed_{};
  timespec readAt_{};
};

UserShares& TheUserShares();
// nullptr puts the machine's own service back. The caller keeps ownership.
void SetUserShares(UserShares* shares);

}  // namespace plat
