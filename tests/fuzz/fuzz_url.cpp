// The first and second command-line arguments.
#include <cctype>
#include <cstdint>
#include <string>

#include "session/url.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const session::TUrlParts url = session::ParseUrl(input);
  FUZZ_CHECK(url.UrlHost.size() <= input.size());
  FUZZ_CHECK(url.UrlDir.empty() || url.UrlDir.front() == '/');
  // A "/" in the file name only where the URL escaped one (%2F).
  std::string lower = input;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  FUZZ_CHECK(url.UrlFile.find('/') == std::string::npos || lower.find("%2f") != std::string::npos);
  // Decoding never makes a CR, LF or NUL: they would go into FTP commands.
  const std::string breaks("\r\n\0", 3);
  if (input.find_first_of(breaks) == std::string::npos) {
    for (const std::string* part : {&url.UrlUser, &url.UrlPassword, &url.UrlHost, &url.UrlDir, &url.UrlFile})
      FUZZ_CHECK(part->find_first_of(breaks) == std::string::npos);
  }
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
