#include "transfer/listing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

namespace transfer {
namespace {

constexpr std::size_t kMinimumEntryLine = 20;  // shorter: "total 24", blank lines

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// From pos, move to the next space and then past the run of spaces. False when
// the line ends first: the next field is not there.
bool SkipField(std::string_view line, std::size_t& pos) {
  const std::size_t space = line.find(' ', pos);
  if (space == std::string_view::npos) return false;
  pos = line.find_first_not_of(' ', space);
  return pos != std::string_view::npos;
}

// The field at pos, then past the run of spaces after it, as SkipField.
bool TakeField(std::string_view line, std::size_t& pos, std::string_view& field) {
  const std::size_t start = pos;
  if (!SkipField(line, pos)) return false;
  field = line.substr(start, line.find(' ', start) - start);
  return true;
}

std::int64_t DecimalSize(std::string_view text) {
  std::int64_t value = -1;
  if (text.empty() || text.front() < '0' || text.front() > '9') return -1;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return -1;
  return value;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Count digits at pos, moving past them.
std::size_t TakeDigits(std::string_view line, std::size_t& pos) {
  const std::size_t start = pos;
  while (pos < line.size() && IsDigit(line[pos])) ++pos;
  return pos - start;
}

// Past a run of one or more spaces; false when there is none.
bool TakeSpaces(std::string_view line, std::size_t& pos) {
  const std::size_t start = pos;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  return pos > start;
}

// The listing of Windows (IIS) servers in their DOS style:
//   MM-DD-YY[YY]  HH:MM[AM|PM]  <DIR>|size  name
// Recognised by this shape alone; a Unix line starts with its type and
// permission letters and never has it.
bool ParseDosEntry(std::string_view line, TListingEntry& entry) {
  std::size_t pos = 0;
  if (TakeDigits(line, pos) != 2 || pos >= line.size() || line[pos++] != '-') return false;
  if (TakeDigits(line, pos) != 2 || pos >= line.size() || line[pos++] != '-') return false;
  const std::size_t yearDigits = TakeDigits(line, pos);
  if (yearDigits != 2 && yearDigits != 4) return false;
  const std::string_view date = line.substr(0, pos);
  if (!TakeSpaces(line, pos)) return false;

  const std::size_t timeStart = pos;
  const std::size_t hourDigits = TakeDigits(line, pos);
  if (hourDigits < 1 || hourDigits > 2 || pos >= line.size() || line[pos++] != ':') return false;
  if (TakeDigits(line, pos) != 2) return false;
  if (pos + 1 < line.size() && (LowerAscii(line[pos]) == 'a' || LowerAscii(line[pos]) == 'p') &&
      LowerAscii(line[pos + 1]) == 'm')
    pos += 2;
  const std::string_view time = line.substr(timeStart, pos - timeStart);
  if (!TakeSpaces(line, pos)) return false;

  constexpr std::string_view kDirMark = "<DIR>";
  const std::size_t sizeStart = pos;
  const bool isDir = line.substr(pos, kDirMark.size()) == kDirMark;
  if (isDir)
    pos += kDirMark.size();
  else if (TakeDigits(line, pos) == 0)
    return false;
  const std::string_view size = line.substr(sizeStart, pos - sizeStart);
  // The spaces after the size column separate it from the name; the name
  // is the rest of the line, spaces inside and at its end included.
  if (!TakeSpaces(line, pos) || pos >= line.size()) return false;

  entry.Name = std::string(line.substr(pos));
  entry.Size = std::string(size);
  entry.SizeBytes = isDir ? -1 : DecimalSize(size);
  entry.Date = std::string(date) + " " + std::string(time);
  entry.IsDir = isDir;
  return true;
}

}  // namespace

std::vector<std::string> SplitListingLines(std::string_view data) {
  data = data.substr(0, data.find('\0'));
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < data.size()) {
    const char c = data[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    lines.emplace_back(data.substr(start, i - start));
    if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
    start = ++i;
  }
  if (start < data.size()) lines.emplace_back(data.substr(start));
  return lines;
}

bool LoadListingFile(const std::string& fileName, std::vector<std::string>& lines) {
  lines.clear();
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    throw std::runtime_error("Unable to read the listing file " + fileName + ": " + std::strerror(errno));
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      throw std::runtime_error("Unable to read the listing file " + fileName + ": " + std::strerror(error));
    }
  }
  ::close(fd);
  lines = SplitListingLines(data);
  return true;
}

bool ParseDirEntry(std::string_view line, TListingEntry& entry) {
  entry = TListingEntry{};
  if (line.empty()) return false;
  if (ParseDosEntry(line, entry)) return true;
  entry = TListingEntry{};

  // 1. The type character decides directory (upper case counts too).
  const char type = LowerAscii(line.front());
  bool isDir = type == 'd';

  // 2.-3. Skip fields 1 to 4 (permissions, links, owner, group). The scan
  // starts at the first character, so a leading space makes field 1 empty.
  std::size_t pos = 0;
  for (int field = 1; field <= 4; ++field)
    if (!SkipField(line, pos)) return false;

  // 4. Size, verbatim.
  std::string_view size;
  if (!TakeField(line, pos, size)) return false;

  // 5. Month, day, time or year; runs of spaces between them become one.
  std::string_view month, day, time;
  if (!TakeField(line, pos, month) || !TakeField(line, pos, day) || !TakeField(line, pos, time))
    return false;

  // 6. The rest of the line, trailing spaces and link arrows included.
  std::string name(line.substr(pos));

  // 7. A link without a "." anywhere is taken for a link to a directory.
  if (type == 'l' && name.find('.') == std::string::npos) isDir = true;

  // 8. A directory shows without its link target.
  if (isDir && name.size() > 4) {
    const std::size_t arrow = name.find(" ->", 1);
    if (arrow != std::string::npos) name.erase(arrow);
  }

  entry.Name = std::move(name);
  entry.Size = std::string(size);
  entry.SizeBytes = DecimalSize(size);
  entry.Date = std::string(month) + " " + std::string(day) + " " + std::string(time);
  entry.IsDir = isDir;
  return true;
}

bool IsListedEntry(const TListingEntry& entry) { return entry.Name != "." && entry.Name != ".."; }

std::vector<TListingEntry> ParseListing(const std::vector<std::string>& lines) {
  std::vector<TListingEntry> entries;
  TListingEntry entry;
  for (const std::string& line : lines) {
    if (line.size() < kMinimumEntryLine) continue;
    if (ParseDirEntry(line, entry) && IsListedEntry(entry)) entries.push_back(entry);
  }
  return entries;
}

bool IsSafeLocalName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace transfer
