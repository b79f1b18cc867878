// A private folder for one test, removed with everything in it afterwards.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vektest.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& name, const std::string& content) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << content;
}

inline bool Exists(const std::string& name) {
  struct stat st {};
  return ::lstat(name.c_str(), &st) == 0;
}

// A folder tree as text: every folder and file under Root by its relative
// path, each file with its bytes, so two trees compare in one expectation.
inline std::map<std::string, std::string> TreeOf(const std::filesystem::path& Root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Root))
    tree[std::filesystem::relative(entry.path(), Root).string()] =
        entry.is_directory() ? "<folder>" : ReadFile(entry.path().string());
  return tree;
}

// A small tree with what trips copies up: an empty folder, names with
// spaces and non-ASCII letters, a 0-byte file, three levels.
inline void MakeTree(const std::filesystem::path& Root) {
  std::filesystem::create_directories(Root / "empty");
  std::filesystem::create_directories(Root / "a b" / "Grüße" / "deep");
  WriteFile((Root / "zero.bin").string(), "");
  WriteFile((Root / "top file.txt").string(), "top\n");
  WriteFile((Root / "a b" / "été.txt").string(), std::string(70001, 'e'));
  WriteFile((Root / "a b" / "Grüße" / "deep" / "x.bin").string(), std::string("\0\1\2\3\4", 5));
  for (int i = 0; i < 12; ++i)
    WriteFile((Root / "a b" / ("n" + std::to_string(i))).string(), std::string(static_cast<std::size_t>(i) * 100, 'n'));
}

// A file's modification time in seconds, -2 when it cannot be read.
inline std::int64_t MTime(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 ? st.st_mtime : -2;
}

inline bool SetMTime(const std::string& name, std::int64_t seconds) {
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  return ::utimensat(AT_FDCWD, name.c_str(), times, 0) == 0;
}

// Bytes that differ from place to place, so a shifted or repeated block shows.
inline std::string Pattern(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 13 + i / 509);
  return bytes;
}

inline unsigned Mode(const std::string& name) {
  struct stat st {};
  ::stat(name.c_str(), &st);
  return st.st_mode & 07777;
}

}  // namespace testsupport
