// What the server says it can do beyond RFC 959, from its FEAT reply
// (RFC 2389).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TFtpFeatures {
 public:
  // The lines of a 211 reply: the first and last carry the code; every line
  // between that starts with a space names one feature and its parameters.
  // Anything else (no reply, 500, 502) leaves the set empty.
  void Parse(const std::vector<std::string>& ReplyLines);
  void Clear() { FLines.clear(); }
  // The feature's name, in any letter case ("MLST", "UTF8").
  bool Has(std::string_view Name) const;
  // The text after the name: "type*;size*;modify*;" for MLST.
  std::string Params(std::string_view Name) const;
  bool Empty() const { return FLines.empty(); }

 private:
  const std::string* Find(std::string_view Name) const;
  std::vector<std::string> FLines;  // "MLST type*;size*;", without the leading space
};
