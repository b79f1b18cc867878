#include "transfer/remote_path.h"

namespace transfer {

std::string RemoteDirPath(const std::vector<std::string>& nodeTexts) {
  if (nodeTexts.empty()) return "/";
  std::string path;
  for (const std::string& text : nodeTexts) path += "/" + text;
  return path;
}

std::vector<std::string> RemotePathNames(const std::string& path) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) names.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return names;
}

}  // namespace transfer
