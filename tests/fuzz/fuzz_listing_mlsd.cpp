// The MLSD listing from a hostile server: split into lines, every line parsed.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "transfer/listing_mlsd.h"

namespace {

constexpr std::int64_t kYear0 = -62167219200;      // 0000-01-01 00:00:00 UTC
constexpr std::int64_t kYear10000 = 253402300800;  // 10000-01-01 00:00:00 UTC

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = transfer::SplitListingLines(text);
  for (const std::string& line : lines) {
    // An exactly sized heap copy, so a read past the line's end is caught.
    std::unique_ptr<char[]> copy(new char[line.size()]);
    std::copy(line.begin(), line.end(), copy.get());
    transfer::TListingEntry entry;
    if (transfer::ParseMlsdEntry(std::string_view(copy.get(), line.size()), entry)) {
      FUZZ_CHECK(!entry.Name.empty() && std::string_view(line).ends_with(entry.Name));
      FUZZ_CHECK(!entry.IsDir || Lower(line).find("type=dir;") != std::string::npos);
      FUZZ_CHECK(entry.ModifyUtc == -1 || (entry.ModifyUtc >= kYear0 && entry.ModifyUtc <= kYear10000));
      FUZZ_CHECK(entry.Date.empty() || entry.Date.size() == 16);
      FUZZ_CHECK(entry.UnixMode >= -1 && entry.UnixMode <= 07777);
      FUZZ_CHECK(entry.SizeBytes >= -1);
      transfer::IsSafeLocalName(entry.Name);
    } else {
      FUZZ_CHECK(entry.Name.empty() && entry.Size.empty() && entry.Date.empty() && entry.Perm.empty() &&
                 !entry.IsDir && entry.ModifyUtc == -1 && entry.UnixMode == -1);
    }
  }
  for (const transfer::TListingEntry& entry : transfer::ParseMlsdListing(lines))
    FUZZ_CHECK(entry.Name != "." && entry.Name != "..");
  return 0;
}
