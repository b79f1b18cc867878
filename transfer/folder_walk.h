// Whole folders: the files and sub-folders under a server's folder or a
// local one, for copying a tree either way.
//
// Safety at every level: a name the server chose that cannot be a local
// file name is refused (and said so), a server folder reached twice (the
// same PWD) is listed once, local symbolic links to folders are not
// followed, and the depth is bounded. What was refused or cut off is in
// Problems, one line each, for the log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TFtpClient;

namespace transfer {

struct TWalkFile {
  std::string Path;             // relative to the walk's root, "/"-joined
  std::int64_t Size = -1;       // -1 unknown
  std::int64_t ModifyUtc = -1;  // exact (MLSD, or the local file's); -1 unknown
};

struct TWalkResult {
  std::vector<std::string> Dirs;  // relative, every parent before its children
  std::vector<TWalkFile> Files;
  std::vector<std::string> Problems;
};

// Folders below this many levels are not copied (a server's listing that
// leads back into itself would otherwise never end).
constexpr int kMaxWalkDepth = 32;

// The folder the engine stands in, listed recursively (MLSD where the
// server offers it, LIST otherwise) through ListingFile. The engine ends
// where it started. False with Error set when the start folder itself
// cannot be read.
bool WalkRemote(TFtpClient& Ftp, const std::string& ListingFile, TWalkResult& Out, std::string& Error,
                int MaxDepth = kMaxWalkDepth);

// The local folder Root (which must exist).
bool WalkLocal(const std::string& Root, TWalkResult& Out, std::string& Error, int MaxDepth = kMaxWalkDepth);

// The local folder Path, made unless it is one already; false with Error
// (naming it and why) when it cannot be.
bool MakeLocalFolder(const std::string& Path, std::string& Error);

// "a/b" joined to a folder path: "/" + "a/b" is "/a/b", "/x" + "a" is "/x/a".
std::string JoinPath(const std::string& Folder, const std::string& Relative);

}  // namespace transfer
