// Private-profile (INI) file functions: read a string with a default, write a
// string, erase a section.
//
// Layout: "[Section]" header lines, each followed by "Key=Value" lines; lines
// whose first non-blank character is ';' or '#' are comments. Section and key
// names compare without regard to ASCII letter case and without surrounding
// blanks. Values are read back whole, of any length.
//
// Nothing is cached: every call opens the file, and every write puts the whole
// new file on disk before it returns (written to a temporary file in the same
// folder, flushed with fsync and renamed over the old one), so a crash leaves
// either the old file or the new one, never half of one. Lines the write does
// not concern (other sections, keys, comments, unknown lines, line endings)
// are kept byte for byte. A new file is created with mode 0600 because it
// holds passwords; an existing file keeps its mode.
//
// Values with leading or trailing blanks, or wrapped in quotes, are written
// inside double quotes, and one pair of matching quotes is stripped on
// reading, so every value that fits on one line reads back as written.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace plat {

// A write the file system refused ("Unable to write to <file>"), or a name or
// value that a line-based file cannot hold.
class EIniFileException : public std::runtime_error {
 public:
  explicit EIniFileException(const std::string& message, int error = 0)
      : std::runtime_error(message), error_(error) {}
  // errno of the refused operation, 0 when the input itself was refused.
  int Error() const { return error_; }

 private:
  int error_;
};

// The file functions.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName);
void WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);
// Removes every "[section]" of that name with its keys; a missing file stays missing.
void EraseProfileSection(const std::string& section, const std::string& fileName);
// Several changes put on disk as one replacement of the file, so that a crash
// leaves all of them or none: `change` gets the file's text (empty when the
// file is missing) and returns the new text, usually built with the Ini*
// functions below. An exception from `change` leaves the file as it was.
void ChangePrivateProfile(const std::string& fileName,
                          const std::function<std::string(const std::string&)>& change);

// The same operations on the text of a file, without touching the disk.
std::optional<std::string> IniReadValue(std::string_view content, std::string_view section,
                                        std::string_view key);
// Throws EIniFileException (Error() == 0) for a name or value that cannot be
// stored (see CheckIniStorable).
std::string IniWriteValue(std::string_view content, std::string_view section, std::string_view key,
                          std::string_view value);
std::string IniEraseSection(std::string_view content, std::string_view section);
// Removes every entry of that key from every section of that name.
std::string IniDeleteKey(std::string_view content, std::string_view section, std::string_view key);

// Throws EIniFileException (Error() == 0) unless the three can be stored: no
// CR, LF or NUL anywhere; a section name that is not blank; a key that is not
// blank, holds no '=' and does not start with '[', ';' or '#'.
void CheckIniStorable(std::string_view section, std::string_view key, std::string_view value);

// Integer and boolean values as the profile store reads and writes them.
// An integer is optional sign and decimal digits within the range of int.
std::optional<int> ParseIniInteger(std::string_view text);

// One file, opened afresh for every operation.
class IniFile {
 public:
  explicit IniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  const std::string& FileName() const { return fileName_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // A value that is not an integer reads as the default.
  int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
  // True when the integer value is not 0.
  bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void WriteBool(const std::string& section, const std::string& key, bool value);  // "1" / "0"
  void EraseSection(const std::string& section);
  // See ChangePrivateProfile.
  void Change(const std::function<std::string(const std::string&)>& change);

 private:
  std::string fileName_;
};

}  // namespace plat
