#include "transfer/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace transfer {

namespace {

// A real folder (not a link to one) owned by us that nobody else can enter.
bool IsPrivateFolder(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

std::string RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/' || !IsPrivateFolder(runtime)) return {};
  std::string folder = std::string(runtime) + "/vekftp";
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return IsPrivateFolder(folder) ? folder + "/" : std::string();
}

std::string FreshTempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  pattern += "/vekftp-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("Cannot create a temporary folder: " + std::string(std::strerror(errno)));
  return pattern + "/";
}

}  // namespace

std::string PrivateTempDir(bool* fresh) {
  std::string folder = RuntimeFolder();
  if (fresh != nullptr) *fresh = folder.empty();
  return folder.empty() ? FreshTempFolder() : folder;
}

void RemoveFreshTempDir(const std::string& folder, const std::string& file) {
  if (folder.empty()) return;
  ::unlink((folder + file).c_str());
  ::rmdir(folder.c_str());
}

}  // namespace transfer
