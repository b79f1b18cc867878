#include "transfer/listing_mlsd.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "ftp/ftp_time.h"

namespace transfer {
namespace {

// The facts an entry is made of, as sent; empty when the line has none.
struct TFacts {
  std::string_view Type, Size, Sizd, Modify, Perm, UnixMode;
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  return std::equal(text.begin(), text.end(), lower.begin(), lower.end(),
                    [](char a, char b) { return LowerAscii(a) == b; });
}

bool IsDecimal(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// -1 unless text is a decimal number that fits.
std::int64_t DecimalValue(std::string_view text) {
  std::int64_t value = -1;
  if (!IsDecimal(text)) return -1;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() ? value : -1;
}

// Permission bits in octal; -1 for anything else or more than 07777.
int OctalMode(std::string_view text) {
  if (text.empty()) return -1;
  int mode = 0;
  for (const char c : text) {
    if (c < '0' || c > '7') return -1;
    mode = mode * 8 + (c - '0');
    if (mode > 07777) return -1;
  }
  return mode;
}

// Where the fact called name goes; nullptr for the facts nothing uses.
std::string_view* FactSlot(TFacts& facts, std::string_view name) {
  struct TKnown {
    std::string_view Name;
    std::string_view TFacts::*Slot;
  };
  static constexpr TKnown kKnown[] = {{"type", &TFacts::Type}, {"size", &TFacts::Size},
                                      {"sizd", &TFacts::Sizd}, {"modify", &TFacts::Modify},
                                      {"perm", &TFacts::Perm}, {"unix.mode", &TFacts::UnixMode}};
  for (const TKnown& known : kKnown)
    if (EqualsIgnoringCase(name, known.Name)) return &(facts.*known.Slot);
  return nullptr;
}

// "fact=value;...;fact=value", the ";" of the last one already cut off.
// False when one of them is not name=value with a name.
bool ReadFacts(std::string_view text, TFacts& facts) {
  for (;;) {
    const std::size_t end = std::min(text.find(';'), text.size());
    const std::string_view fact = text.substr(0, end);
    const std::size_t equals = fact.find('=');
    if (equals == 0 || equals == std::string_view::npos) return false;
    if (std::string_view* slot = FactSlot(facts, fact.substr(0, equals))) *slot = fact.substr(equals + 1);
    if (end == text.size()) return true;
    text.remove_prefix(end + 1);
  }
}

// The modify fact, YYYYMMDDHHMMSS[.fraction] in UTC, into ModifyUtc and
// Date; both stay unknown unless it is a real date and time.
void ReadModify(std::string_view text, TListingEntry& entry) {
  if (!ParseFtpTime(text, entry.ModifyUtc)) {
    entry.ModifyUtc = -1;
    return;
  }
  entry.Date = std::string(text.substr(0, 4)) + "-" + std::string(text.substr(4, 2)) + "-" +
               std::string(text.substr(6, 2)) + " " + std::string(text.substr(8, 2)) + ":" +
               std::string(text.substr(10, 2));
}

void FillEntry(std::string_view name, const TFacts& facts, TListingEntry& entry) {
  entry.Name = std::string(name);
  entry.IsDir = EqualsIgnoringCase(facts.Type, "dir");
  const std::string_view size = entry.IsDir && facts.Size.empty() ? facts.Sizd : facts.Size;
  entry.Size = entry.IsDir && size.empty() ? "<DIR>" : std::string(size);
  entry.SizeBytes = DecimalValue(size);
  ReadModify(facts.Modify, entry);
  entry.Perm = std::string(facts.Perm);
  entry.UnixMode = OctalMode(facts.UnixMode);
}

}  // namespace

bool ParseMlsdEntry(std::string_view line, TListingEntry& entry) {
  entry = TListingEntry{};
  TFacts facts;
  std::string_view name;
  if (line.starts_with(' ')) {
    name = line.substr(1);  // no facts
  } else {
    // Facts hold no space, so the first "; " ends them; the name may hold
    // more.
    const std::size_t end = line.find("; ");
    if (end == std::string_view::npos || !ReadFacts(line.substr(0, end), facts)) return false;
    name = line.substr(end + 2);
  }
  // cdir and pdir are the listed folder and its parent, already in the tree.
  if (name.empty() || EqualsIgnoringCase(facts.Type, "cdir") || EqualsIgnoringCase(facts.Type, "pdir"))
    return false;
  FillEntry(name, facts, entry);
  return true;
}

std::vector<TListingEntry> ParseMlsdListing(const std::vector<std::string>& lines) {
  std::vector<TListingEntry> entries;
  TListingEntry entry;
  for (const std::string& line : lines)
    if (ParseMlsdEntry(line, entry) && IsListedEntry(entry)) entries.push_back(entry);
  return entries;
}

}  // namespace transfer
