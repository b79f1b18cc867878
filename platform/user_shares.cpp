#include "platform/user_shares.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <sstream>
#include <utility>

#include "platform/drives.h"

namespace plat {

namespace {

// A share file holds a handful of short lines; anything longer is not one.
constexpr std::streamsize kMaxShareFile = 64 * 1024;

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// `stamp` lies a whole second before `now`: a change after it shows as a new stamp.
bool WellBefore(const timespec& stamp, const timespec& now) {
  return stamp.tv_sec + 1 < now.tv_sec || (stamp.tv_sec + 1 == now.tv_sec && stamp.tv_nsec < now.tv_nsec);
}

UserShares* g_shares = nullptr;

}  // namespace

UserShares::UserShares(std::string folder) : folder_(std::move(folder)) {}

void UserShares::Refresh() {
  struct stat st {};
  if (::stat(folder_.c_str(), &st) != 0) {
    shared_.clear();
    read_ = false;
    return;
  }
  if (read_ && SameTime(st.st_mtim, modified_) && SameTime(st.st_ctim, changed_) && WellBefore(modified_, readAt_) &&
      WellBefore(changed_, readAt_))
    return;
  read_ = true;
  modified_ = st.st_mtim;
  changed_ = st.st_ctim;
  ::clock_gettime(CLOCK_REALTIME, &readAt_);
  shared_.clear();
  DIR* dir = ::opendir(folder_.c_str());
  if (dir == nullptr) return;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    // Only plain files: opening a pipe someone left there would never return.
    const std::string file = AppendSlash(folder_) + name;
    struct stat fileStat {};
    if (::lstat(file.c_str(), &fileStat) != 0 || !S_ISREG(fileStat.st_mode)) continue;
    std::ifstream in(file);
    std::string text(static_cast<std::size_t>(kMaxShareFile), '\0');
    in.read(text.data(), kMaxShareFile);
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("path=", 0) != 0 || line.size() <= 5 || line[5] != '/') continue;
      const std::string path = AppendSlash(line.substr(5));
      shared_.insert(path);
      if (const std::string real = RealFolder(path); !real.empty()) shared_.insert(real);
    }
  }
  ::closedir(dir);
}

bool UserShares::IsShared(const std::string& folder) {
  Refresh();
  if (shared_.empty() || folder.empty()) return false;
  const std::string path = AppendSlash(folder);
  if (shared_.count(path)) return true;
  const std::string real = RealFolder(path);
  return !real.empty() && shared_.count(real) != 0;
}

UserShares& TheUserShares() {
  static UserShares machine;
  return g_shares ? *g_shares : machine;
}

void SetUserShares(UserShares* shares) { g_shares = shares; }

}  // namespace plat
