#include "transfer/typed_name.h"

#include <gtest/gtest.h>

using transfer::CheckTypedName;

TEST(CheckTypedName, RefusedNamesSayWhy) {
  const std::pair<std::string, const char*> rows[] = {
      {"new folder", ""},
      {".hidden", ""},
      {"...", ""},
      {" x ", ""},
      {"", "type a name"},
      {".", "\".\" cannot be used"},
      {"..", "\"..\" cannot be used"},
      {"a/b", "\"/\""},
      {"/", "\"/\""},
      {"a\r\nDELE b", "line break"},
      {"a\n", "line break"},
      {"\r", "line break"},
      {std::string("a\0b", 3), "NUL"},
  };
  for (const auto& [name, why] : rows) {
    const std::string error = CheckTypedName(name);
    if (*why == '\0') {
      EXPECT_EQ(error, "") << name;
    } else {
      EXPECT_NE(error.find(why), std::string::npos) << name << ": " << error;
    }
  }
}
