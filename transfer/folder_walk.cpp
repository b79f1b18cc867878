#include "transfer/folder_walk.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <set>
#include <system_error>

#include "ftp/ftpcli.h"
#include "transfer/listing.h"
#include "transfer/listing_mlsd.h"

namespace transfer {
namespace {

namespace fs = std::filesystem;

struct TPendingFolder {
  std::string Relative;  // "" for the root
  std::string Absolute;  // where CWD goes
  int Depth = 0;
};

std::string Why(const TFtpClient& Ftp) {
  if (!Ftp.ErrorMessage().empty()) return Ftp.ErrorMessage();
  if (!Ftp.LastBlockingException().empty()) return Ftp.LastBlockingException();
  return Ftp.ReplyLine();
}

// The engine in Folder; its own name for it (PWD) in Where.
bool EnterFolder(TFtpClient& Ftp, const std::string& Folder, std::string& Where) {
  Ftp.SetHostDirName(Folder);
  if (!Ftp.Cwd() || !Ftp.Pwd()) return false;
  Where = Ftp.ReplyPath().empty() ? Folder : Ftp.ReplyPath();
  return true;
}

bool ListFolder(TFtpClient& Ftp, const std::string& ListingFile, std::vector<TListingEntry>& Entries) {
  Ftp.SetHostFileName("");
  Ftp.SetLocalFileName(ListingFile);
  std::vector<std::string> lines;
  if (!Ftp.Dir() || !LoadListingFile(ListingFile, lines)) return false;
  Entries = Ftp.ListsMachineReadable() ? ParseMlsdListing(lines) : ParseListing(lines);
  return true;
}

// One folder's entries into Out, its sub-folders onto Pending.
void TakeEntries(const TPendingFolder& Folder, const std::string& Where, const std::vector<TListingEntry>& Entries,
                 int MaxDepth, std::deque<TPendingFolder>& Pending, TWalkResult& Out) {
  for (const TListingEntry& entry : Entries) {
    const std::string relative = Folder.Relative.empty() ? entry.Name : Folder.Relative + "/" + entry.Name;
    if (!IsSafeLocalName(entry.Name)) {
      Out.Problems.push_back("! Refused the server's name \"" + JoinPath(Where, entry.Name) +
                             "\": it cannot be a local file name");
      continue;
    }
    if (!entry.IsDir) {
      Out.Files.push_back({relative, entry.SizeBytes, entry.ModifyUtc});
    } else if (Folder.Depth + 1 > MaxDepth) {
      Out.Problems.push_back("! Not copied: " + JoinPath(Where, entry.Name) + " is more than " +
                             std::to_string(MaxDepth) + " folders deep");
    } else {
      Out.Dirs.push_back(relative);
      Pending.push_back({relative, JoinPath(Where, entry.Name), Folder.Depth + 1});
    }
  }
}

}  // namespace

bool MakeLocalFolder(const std::string& Path, std::string& Error) {
  struct stat st {};
  if (::mkdir(Path.c_str(), 0777) == 0 || (errno == EEXIST && ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
    return true;
  Error = "cannot create the folder " + Path + ": " + std::strerror(errno);
  return false;
}


std::string JoinPath(const std::string& Folder, const std::string& Relative) {
  if (Folder.empty()) return Relative;
  return Folder.back() == '/' ? Folder + Relative : Folder + "/" + Relative;
}

bool WalkRemote(TFtpClient& Ftp, const std::string& ListingFile, TWalkResult& Out, std::string& Error, int MaxDepth) {
  if (!Ftp.Pwd()) {
    Error = "cannot tell the server's folder: " + Why(Ftp);
    return false;
  }
  const std::string root = Ftp.ReplyPath();
  std::set<std::string> seen;
  std::deque<TPendingFolder> pending{{"", root, 0}};
  bool first = true;
  while (!pending.empty()) {
    const TPendingFolder folder = pending.front();
    pending.pop_front();
    std::string where;
    std::vector<TListingEntry> entries;
    const bool entered = EnterFolder(Ftp, folder.Absolute, where);
    // A link back up the tree, or a server that names one folder twice.
    if (entered && !seen.insert(where).second) {
      Out.Problems.push_back("! Listed once: " + folder.Absolute + " is " + where + " again");
      continue;
    }
    if (!entered || !ListFolder(Ftp, ListingFile, entries)) {
      if (first) {
        Error = "cannot list " + folder.Absolute + ": " + Why(Ftp);
        return false;
      }
      Out.Problems.push_back("! Not copied: cannot list " + folder.Absolute + ": " + Why(Ftp));
      continue;
    }
    first = false;
    TakeEntries(folder, where, entries, MaxDepth, pending, Out);
  }
  std::string back;
  EnterFolder(Ftp, root, back);
  return true;
}

bool WalkLocal(const std::string& Root, TWalkResult& Out, std::string& Error, int MaxDepth) {
  std::error_code ec;
  if (!fs::is_directory(Root, ec)) {
    Error = "not a folder: " + Root;
    return false;
  }
  std::deque<TPendingFolder> pending{{"", Root, 0}};
  while (!pending.empty()) {
    const TPendingFolder folder = pending.front();
    pending.pop_front();
    fs::directory_iterator it(folder.Absolute, ec), end;
    if (ec) {
      Out.Problems.push_back("! Not copied: cannot read " + folder.Absolute + ": " + ec.message());
      continue;
    }
    for (; it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const std::string relative = folder.Relative.empty() ? name : folder.Relative + "/" + name;
      const bool link = it->is_symlink(ec);
      const bool dir = it->is_directory(ec);
      if (dir && link) {
        Out.Problems.push_back("! Not followed: " + it->path().string() + " is a link to a folder");
      } else if (dir && folder.Depth + 1 > MaxDepth) {
        Out.Problems.push_back("! Not copied: " + it->path().string() + " is more than " + std::to_string(MaxDepth) +
                               " folders deep");
      } else if (dir) {
        Out.Dirs.push_back(relative);
        pending.push_back({relative, it->path().string(), folder.Depth + 1});
      } else if (it->is_regular_file(ec)) {
        struct stat st {};
        const bool known = ::stat(it->path().c_str(), &st) == 0;
        Out.Files.push_back({relative, known ? st.st_size : -1, known ? st.st_mtime : -1});
      }
    }
  }
  return true;
}

}  // namespace transfer
