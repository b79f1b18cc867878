#include "transfer/remote_path.h"

namespace transfer {

std::string RemoteDirPath(const std::vector<std::string>& nodeTexts) {
  if (nodeTexts.empty()) return "/";
  std::string path;
  for (const std::string& text : nodeTexts) path += "/" + text;
  return path;
}

}  // namespace transfer
