// The listing file from a hostile server: split into lines, every line parsed.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

#include "tests/fuzz/fuzz_check.h"
#include "transfer/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = transfer::SplitListingLines(text);
  for (const std::string& line : lines) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(line.find('\0') == std::string::npos);
    // An exactly sized heap copy, so a read past the line's end is caught.
    std::unique_ptr<char[]> copy(new char[line.size()]);
    std::copy(line.begin(), line.end(), copy.get());
    transfer::TListingEntry entry;
    if (transfer::ParseDirEntry(std::string_view(copy.get(), line.size()), entry)) {
      FUZZ_CHECK(!entry.Name.empty());
      FUZZ_CHECK(line.find(entry.Name) != std::string::npos);
      FUZZ_CHECK(!entry.Size.empty() && entry.Size.find(' ') == std::string::npos);
      FUZZ_CHECK(entry.SizeBytes >= -1);
      transfer::IsSafeLocalName(entry.Name);
    } else {
      FUZZ_CHECK(entry.Name.empty() && entry.Size.empty() && entry.Date.empty() && !entry.IsDir);
    }
  }
  for (const transfer::TListingEntry& entry : transfer::ParseListing(lines))
    FUZZ_CHECK(entry.Name != "." && entry.Name != "..");
  return 0;
}
