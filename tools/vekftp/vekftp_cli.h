// vekftp's command line, free of any I/O: the FTP URL, the options and the
// operation, and the checks on local file names.
#pragma once

#include <string>
#include <vector>

namespace vekftp {

// ftp://[user[:password]@]host[:port]/path, percent-escapes decoded.
struct FtpUrl {
  std::string user;      // empty: anonymous
  std::string password;  // meaningful only when hasPassword
  bool hasPassword = false;
  std::string host;
  std::string port = "21";
  // The path after the host's "/", decoded; "dir/sub/name", or "/abs/..."
  // when the URL spelled a leading %2F.
  std::string path;
  // path cut at its last "/": the directory to change to (empty: stay in the
  // login directory) and the name in it (empty when the path ends in "/").
  std::string dir;
  std::string name;
};

// False with Error set for anything but a well-formed ftp URL. Decoded parts
// never hold CR, LF or NUL: they go into commands on the control connection.
bool ParseFtpUrl(const std::string& Url, FtpUrl& Out, std::string& Error);

// %XX sequences decoded; false on a malformed escape.
bool PercentDecode(const std::string& Text, std::string& Out);

// A name the server (or a decoded URL) chooses may not pick the folder: empty
// text, ".", "..", a "/" or a NUL is refused with Error set.
bool SafeLocalName(const std::string& Name, std::string& Error);

enum class Operation { Get, Put, Append, Resume, Ls, Size, Mget, Rm, Mv, Mkdir, Rmdir };

struct Options {
  bool passive = false;
  bool ascii = false;
  int timeout = 30;
  bool verbose = false;
  Operation op = Operation::Get;
  FtpUrl url;
  std::string local;               // get (optional), put, append, resume
  std::vector<std::string> names;  // mget
  std::string newName;             // mv: the new name in the same folder
};

// argv without the program name. False with Error set (a usage problem).
bool ParseArguments(const std::vector<std::string>& Args, Options& Out, std::string& Error);

std::string UsageText();

// Ten characters as the login window makes them: two letters, "@", three
// letters, ".com"; Random gives 0..19 for each letter.
template <typename Rng>
std::string MakeAnonymousPassword(Rng&& Random) {
  std::string p;
  for (int i = 0; i < 6; ++i) p += static_cast<char>('a' + Random() % 20);
  p[2] = '@';
  return p + ".com";
}

}  // namespace vekftp
