// Base64 values from a hand-edited profile file, and the round trips.
#include <cstdint>
#include <string>

#include "session/scramble.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string decoded = session::Base64Decode(input);
  FUZZ_CHECK(decoded.size() <= input.size() / 4 * 3);
  session::StrDecrypt(decoded);

  const std::string encoded = session::Base64Encode(input);
  FUZZ_CHECK(encoded.size() == (input.size() + 2) / 3 * 4);
  FUZZ_CHECK(session::Base64Decode(encoded) == input);
  FUZZ_CHECK(session::StrDecrypt(session::StrEncrypt(input)) == input);
  return 0;
}
