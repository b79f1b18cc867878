#include "transfer/listing_mlsd.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

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

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the date in the proleptic Gregorian calendar,
// after H. Hinnant's days_from_civil: no time zone or locale takes part.
std::int64_t DaysFromCivil(int year, int month, int day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The count digits of text at pos as a number.
int Digits(std::string_view text, std::size_t pos, std::size_t count) {
  int value = 0;
  for (const char c : text.substr(pos, count)) value = value * 10 + (c - '0');
  return value;
}

// The modify fact, YYYYMMDDHHMMSS[.fraction] in UTC, into ModifyUtc and
// Date; both stay unknown unless it is a real date and time.
void ReadModify(std::string_view text, TListingEntry& entry) {
  constexpr std::size_t kDigits = 14;
  if (text.size() < kDigits || !IsDecimal(text.substr(0, kDigits))) return;
  const std::string_view fraction = text.substr(kDigits);
  if (!fraction.empty() && (fraction.front() != '.' || !IsDecimal(fraction.substr(1)))) return;
  const int year = Digits(text, 0, 4), month = Digits(text, 4, 2), day = Digits(text, 6, 2);
  const int hour = Digits(text, 8, 2), minute = Digits(text, 10, 2), second = Digits(text, 12, 2);
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return;
  if (hour > 23 || minute > 59 || second > 60) return;
  entry.ModifyUtc = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
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
