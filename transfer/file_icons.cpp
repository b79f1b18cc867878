#include "transfer/file_icons.h"

#include <unordered_map>

#include "platform/qt/image_list.h"

namespace {

constexpr std::size_t kLongestEnding = 16;
constexpr std::size_t kMostEndings = 65536;

}  // namespace

std::string FileEnding(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  std::string ending = name.substr(dot);
  if (ending.size() > kLongestEnding || ending.find(' ') != std::string::npos) return {};
  if (dot >= 5 && name.compare(dot - 4, 4, ".tar") == 0) ending.insert(0, ".tar");
  return ending;
}

int FileIconIndex(const std::string& name) {
  static std::unordered_map<std::string, int> byEnding;
  const std::string ending = FileEnding(name);
  if (const auto known = byEnding.find(ending); known != byEnding.end()) return known->second;
  // "file" stands for every name with that ending.
  const int index = plat::ImageList::Shared().IndexOfFile("file" + ending);
  // A hostile listing of endings all different must not grow the table
  // without bound.
  if (byEnding.size() < kMostEndings) byEnding.emplace(ending, index);
  return index;
}
