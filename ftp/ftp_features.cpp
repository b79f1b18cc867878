#include "ftp/ftp_features.h"

namespace {

bool SameWord(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i) {
    const auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    if (upper(A[i]) != upper(B[i])) return false;
  }
  return true;
}

}  // namespace

void TFtpFeatures::Parse(const std::vector<std::string>& ReplyLines) {
  FLines.clear();
  if (ReplyLines.empty() || ReplyLines.front().rfind("211", 0) != 0) return;
  for (const std::string& line : ReplyLines) {
    if (line.empty() || line[0] != ' ') continue;
    const std::size_t start = line.find_first_not_of(' ');
    if (start != std::string::npos) FLines.push_back(line.substr(start));
  }
}

const std::string* TFtpFeatures::Find(std::string_view Name) const {
  for (const std::string& line : FLines)
    if (SameWord(std::string_view(line).substr(0, line.find(' ')), Name)) return &line;
  return nullptr;
}

bool TFtpFeatures::Has(std::string_view Name) const { return Find(Name) != nullptr; }

std::string TFtpFeatures::Params(std::string_view Name) const {
  const std::string* line = Find(Name);
  if (line == nullptr) return {};
  const std::size_t space = line->find(' ');
  return space == std::string::npos ? std::string() : line->substr(space + 1);
}

