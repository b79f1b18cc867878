// A profile file of any content: reading, writing a value into it, erasing a
// section, deleting a key.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "platform/inifile.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string section = provider.ConsumeRandomLengthString(32);
  const std::string key = provider.ConsumeRandomLengthString(32);
  const std::string value = provider.ConsumeRandomLengthString(64);
  const std::string content = provider.ConsumeRemainingBytesAsString();

  plat::IniReadValue(content, section, key);

  const std::string erased = plat::IniEraseSection(content, section);
  FUZZ_CHECK(erased.size() <= content.size());
  FUZZ_CHECK(!plat::IniReadValue(erased, section, key).has_value());

  const std::string deleted = plat::IniDeleteKey(content, section, key);
  FUZZ_CHECK(deleted.size() <= content.size());
  FUZZ_CHECK(!plat::IniReadValue(deleted, section, key).has_value());

  std::string written;
  try {
    written = plat::IniWriteValue(content, section, key, value);
  } catch (const plat::EIniFileException&) {
    return 0;  // a name or value a line-based file cannot hold
  }
  const auto back = plat::IniReadValue(written, section, key);
  FUZZ_CHECK(back.has_value() && *back == value);
  // Writing the same value again changes nothing.
  FUZZ_CHECK(plat::IniWriteValue(written, section, key, value) == written);
  // The key written, then deleted: gone again.
  FUZZ_CHECK(!plat::IniReadValue(plat::IniDeleteKey(written, section, key), section, key).has_value());
  return 0;
}
