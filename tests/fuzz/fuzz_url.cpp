// The first and second command-line arguments.
#include <cstdint>
#include <string>

#include "session/url.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const session::TUrlParts url = session::ParseUrl(input);
  FUZZ_CHECK(url.UrlHost.size() <= input.size());
  FUZZ_CHECK(url.UrlDir.empty() || url.UrlDir.front() == '/');
  FUZZ_CHECK(url.UrlFile.find('/') == std::string::npos);
  session::UrlRemoteName(url);

  session::TFtpUrl strict;
  std::string error;
  if (session::ParseFtpUrl(input, strict, error)) {
    for (const std::string* part : {&strict.user, &strict.password, &strict.host, &strict.path})
      FUZZ_CHECK(part->find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    FUZZ_CHECK(strict.name.find('/') == std::string::npos);
  } else {
    FUZZ_CHECK(!error.empty());
  }

  const session::TLocalTarget target = session::SplitLocalPath(input);
  FUZZ_CHECK(target.LocalDir + target.LocalName == input);
  FUZZ_CHECK(target.LocalName.find('/') == std::string::npos);
  return 0;
}
