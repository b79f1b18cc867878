#include "session/queue.h"

#include <cmath>

#include "transfer/listing.h"

namespace session {

std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LowerCaseName(const std::string& name) {
  std::string lower = name;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

namespace {

bool IsControlByte(char c) { return (c >= 1 && c <= 31) || c == 127; }

}  // namespace

bool HoldsControlBytes(const std::string& name) {
  for (char c : name)
    if (IsControlByte(c)) return true;
  return false;
}

std::optional<std::string> DownloadTarget(const std::string& folder, const std::string& remoteName,
                                          bool forceLower) {
  if (!transfer::IsSafeLocalName(remoteName) || remoteName.find(" -> ") != std::string::npos) return std::nullopt;
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  static const char kHex[] = "0123456789ABCDEF";
  // After lower-casing, which would turn the hex digits to lower case.
  for (char c : forceLower ? LowerCaseName(remoteName) : remoteName) {
    if (!IsControlByte(c)) {
      path += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    path += '%';
    path += kHex[byte >> 4];
    path += kHex[byte & 15];
  }
  return path;
}

bool ProgressDue(std::int64_t expectedSize, std::int64_t& ticks) {
  if (expectedSize < 50) return true;
  if (++ticks <= 20) return false;
  ticks = 0;
  return true;
}

int ProgressPercent(std::int64_t count, std::int64_t expectedSize) {
  if (expectedSize <= 0) return 0;
  const double percent = std::nearbyint(static_cast<double>(count) / static_cast<double>(expectedSize) * 100.0);
  if (percent < 0) return 0;
  if (percent > 100) return 100;
  return static_cast<int>(percent);
}

}  // namespace session
