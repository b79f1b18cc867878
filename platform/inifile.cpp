#include "platform/inifile.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

namespace plat {
namespace {

// ---- text level -------------------------------------------------------------

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  a = Trim(a);
  b = Trim(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

enum class LineKind { Other, Comment, Header, Entry };

// One line of the file; `raw` holds its line ending, `body` does not.
struct Line {
  std::string_view raw;
  std::string_view body;
  LineKind kind = LineKind::Other;
  std::string_view name;   // section of a header, key of an entry
  std::string_view value;  // raw text after '=' of an entry
};

Line ClassifyLine(std::string_view raw) {
  Line line;
  line.raw = raw;
  std::string_view body = raw;
  if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
  if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
  line.body = body;
  const std::string_view text = Trim(body);
  if (text.empty()) return line;
  if (text.front() == ';' || text.front() == '#') {
    line.kind = LineKind::Comment;
    return line;
  }
  if (text.front() == '[') {
    // Up to the last ']' so that a name holding ']' still reads back.
    const std::size_t close = text.rfind(']');
    if (close != std::string_view::npos && close > 0) {
      line.kind = LineKind::Header;
      line.name = Trim(text.substr(1, close - 1));
    }
    return line;
  }
  const std::size_t eq = body.find('=');
  if (eq != std::string_view::npos) {
    line.kind = LineKind::Entry;
    line.name = Trim(body.substr(0, eq));
    line.value = body.substr(eq + 1);
  }
  return line;
}

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    end = (end == std::string_view::npos) ? content.size() : end + 1;
    lines.push_back(ClassifyLine(content.substr(start, end - start)));
    start = end;
  }
  return lines;
}

// New lines follow the file's own convention.
std::string_view LineEnding(std::string_view content) {
  const std::size_t lf = content.find('\n');
  if (lf != std::string_view::npos && lf > 0 && content[lf - 1] == '\r') return "\r\n";
  return "\n";
}

std::string DecodeValue(std::string_view raw) {
  std::string_view v = Trim(raw);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v.remove_prefix(1);
    v.remove_suffix(1);
  }
  return std::string(v);
}

std::string EncodeValue(std::string_view value) {
  const bool blankEdge = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
  const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                      value.back() == value.front();
  if (blankEdge || quoted) return "\"" + std::string(value) + "\"";
  return std::string(value);
}

bool HasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

std::string Join(const std::vector<Line>& lines) {
  std::string out;
  for (const Line& line : lines) out.append(line.raw);
  return out;
}

// ---- file level ---------------------------------------------------------------

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWholeFile(const std::string& fileName, std::string& content, int& error) {
  content.clear();
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return error == ENOENT ? ReadResult::Missing : ReadResult::Failed;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      ::close(fd);
      return ReadResult::Failed;
    }
  }
  ::close(fd);
  return ReadResult::Ok;
}

[[noreturn]] void ThrowUnableToWrite(const std::string& fileName, int error) {
  throw EIniFileException("Unable to write to " + fileName, error);
}

// Writing through a symbolic link replaces what it points at, not the link.
std::string ResolveTarget(const std::string& fileName) {
  struct stat st {};
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(fileName.c_str(), resolved) != nullptr) return resolved;
  }
  return fileName;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Temporary file in the same folder, fsync, rename over the target, fsync the
// folder: the rename is the one moment the new content appears.
void ReplaceFile(const std::string& fileName, std::string_view content, mode_t mode) {
  const std::string target = ResolveTarget(fileName);
  std::string temp = target + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) ThrowUnableToWrite(fileName, errno);
  int error = 0;
  if (::fchmod(fd, mode) != 0 || !WriteAll(fd, content) || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    ThrowUnableToWrite(fileName, error);
  }
  const int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    // The new content is in place; a folder that cannot be flushed only loses
    // durability across a power cut, not the file itself.
    ::fsync(dir);
    ::close(dir);
  }
}

template <typename Change>
void ChangeFile(const std::string& fileName, Change change, bool createWhenMissing) {
  std::string content;
  int error = 0;
  const ReadResult read = ReadWholeFile(fileName, content, error);
  // Rewriting a file we could not read would throw away what it holds.
  if (read == ReadResult::Failed) ThrowUnableToWrite(fileName, error);
  if (read == ReadResult::Missing && !createWhenMissing) return;
  const std::string updated = change(content);
  if (read == ReadResult::Ok && updated == content) return;

  mode_t mode = S_IRUSR | S_IWUSR;
  struct stat st {};
  if (read == ReadResult::Ok && ::stat(fileName.c_str(), &st) == 0) mode = st.st_mode & 07777;
  ReplaceFile(fileName, updated, mode);
}

}  // namespace

void CheckIniStorable(std::string_view section, std::string_view key, std::string_view value) {
  if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value))
    throw EIniFileException("A line break or NUL cannot be stored in a profile file");
  if (Trim(section).empty())
    throw EIniFileException("An empty section name cannot be stored in a profile file");
  const std::string_view k = Trim(key);
  if (k.empty() || k.find('=') != std::string_view::npos || k.front() == '[' || k.front() == ';' ||
      k.front() == '#')
    throw EIniFileException("Invalid key name '" + std::string(key) + "' for a profile file");
}

std::optional<std::string> IniReadValue(std::string_view content, std::string_view section,
                                        std::string_view key) {
  bool inSection = false;
  for (const Line& line : SplitLines(content)) {
    if (line.kind == LineKind::Header) {
      inSection = SameName(line.name, section);
    } else if (inSection && line.kind == LineKind::Entry && SameName(line.name, key)) {
      return DecodeValue(line.value);
    }
  }
  return std::nullopt;
}

std::string IniWriteValue(std::string_view content, std::string_view section, std::string_view key,
                          std::string_view value) {
  CheckIniStorable(section, key, value);
  const std::string_view eol = LineEnding(content);
  std::vector<Line> lines = SplitLines(content);
  const std::string newEntry = std::string(Trim(key)) + "=" + EncodeValue(value);

  // The first entry of that key in any section of that name is replaced.
  bool inSection = false;
  for (Line& line : lines) {
    if (line.kind == LineKind::Header) {
      inSection = SameName(line.name, section);
    } else if (inSection && line.kind == LineKind::Entry && SameName(line.name, key)) {
      // The key keeps the spelling the file gives it.
      const std::string_view ending = line.raw.substr(line.body.size());
      const std::string_view keyPart = line.body.substr(0, line.body.find('=') + 1);
      std::string out;
      for (const Line& l : lines) {
        if (&l == &line)
          out.append(keyPart).append(EncodeValue(value)).append(ending);
        else
          out.append(l.raw);
      }
      return out;
    }
  }

  // New key: after the last entry of the first section of that name.
  std::size_t insertAfter = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != LineKind::Header || !SameName(lines[i].name, section)) continue;
    insertAfter = i;
    for (std::size_t j = i + 1; j < lines.size() && lines[j].kind != LineKind::Header; ++j)
      if (lines[j].kind == LineKind::Entry) insertAfter = j;
    break;
  }

  std::string out;
  if (insertAfter == lines.size()) {
    out = std::string(content);
    if (!out.empty() && out.back() != '\n') out.append(eol);
    out.append("[").append(Trim(section)).append("]").append(eol);
    out.append(newEntry).append(eol);
    return out;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out.append(lines[i].raw);
    if (i == insertAfter) {
      if (out.back() != '\n') out.append(eol);
      out.append(newEntry).append(eol);
    }
  }
  return out;
}

std::string IniEraseSection(std::string_view content, std::string_view section) {
  std::vector<Line> lines = SplitLines(content);
  std::vector<Line> kept;
  kept.reserve(lines.size());
  std::size_t i = 0;
  while (i < lines.size()) {
    if (lines[i].kind != LineKind::Header || !SameName(lines[i].name, section)) {
      kept.push_back(lines[i++]);
      continue;
    }
    std::size_t end = i + 1;
    while (end < lines.size() && lines[end].kind != LineKind::Header) ++end;
    // Comments and blank lines just before the next header describe that
    // section, not the erased one: they stay.
    std::size_t keepFrom = end;
    while (keepFrom > i + 1 && (lines[keepFrom - 1].kind == LineKind::Comment ||
                                Trim(lines[keepFrom - 1].body).empty()))
      --keepFrom;
    for (std::size_t j = keepFrom; j < end; ++j) kept.push_back(lines[j]);
    i = end;
  }
  return Join(kept);
}

std::string IniDeleteKey(std::string_view content, std::string_view section, std::string_view key) {
  std::vector<Line> kept;
  bool inSection = false;
  for (const Line& line : SplitLines(content)) {
    if (line.kind == LineKind::Header) inSection = SameName(line.name, section);
    if (!(inSection && line.kind == LineKind::Entry && SameName(line.name, key))) kept.push_back(line);
  }
  return Join(kept);
}

std::optional<int> ParseIniInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  int value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName) {
  std::string content;
  int error = 0;
  // A file that is missing or cannot be read holds no values: defaults.
  if (ReadWholeFile(fileName, content, error) != ReadResult::Ok) return defaultValue;
  return IniReadValue(content, section, key).value_or(defaultValue);
}

void WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName) {
  CheckIniStorable(section, key, value);
  ChangeFile(
      fileName, [&](const std::string& content) { return IniWriteValue(content, section, key, value); },
      true);
}

void EraseProfileSection(const std::string& section, const std::string& fileName) {
  ChangeFile(
      fileName, [&](const std::string& content) { return IniEraseSection(content, section); }, false);
}

void ChangePrivateProfile(const std::string& fileName,
                          const std::function<std::string(const std::string&)>& change) {
  ChangeFile(fileName, change, true);
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
  return GetPrivateProfileString(section, key, defaultValue, fileName_);
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const {
  return ParseIniInteger(ReadString(section, key, "")).value_or(defaultValue);
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  WritePrivateProfileString(section, key, value, fileName_);
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::EraseSection(const std::string& section) { EraseProfileSection(section, fileName_); }

void IniFile::Change(const std::function<std::string(const std::string&)>& change) {
  ChangePrivateProfile(fileName_, change);
}

}  // namespace plat
