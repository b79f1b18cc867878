// The command-line start: program ftp://[user:password@]host[:port][/path] [local file].
//
// The first six characters (the scheme prefix "ftp://") are dropped without
// being looked at. Anonymous form: host, optionally ":" port, optionally "/"
// and a path. Login form:
// user ":" password "@" host, optionally ":" port, optionally "/" and a path.
// The path is "/"-separated directory segments; the last one is a file name
// when it holds a ".", a directory otherwise.
//
// Percent-escapes (RFC 1738) are decoded in the user name, the password, the
// host and each path segment, after the URL is cut at its delimiters: "%40",
// "%3A" and "%2F" stay inside their part as "@", ":" and "/". The file-or-
// folder guess looks at the decoded segment. The port is taken as typed. A
// part with a malformed escape ("%4", "%zz") is kept as typed, and so is one
// whose decoding would hold a CR, LF or NUL: those would end or cut the FTP
// command the part goes into, so "%0D%0A" reaches the server as those six
// characters instead.
//
// An "@" selects the login form when it is not the first character and comes
// before the first "/", or after it only when a ":" precedes the "@" (a user
// or password holding "/"). So "ftp://host/pub/a@b.txt" stays an anonymous URL
// for the file a@b.txt instead of a login as user "" at host "b.txt".
// After the "@", only a ":" before the first "/" introduces a port.
#pragma once

#include <string>

namespace session {

struct TUrlParts {
  std::string UrlRest;      // the part not parsed yet
  std::string UrlUser;
  std::string UrlPassword;
  std::string UrlHost;
  std::string UrlPort;      // text, "21" unless the URL names one
  std::string UrlDir;       // "/" before each segment; ends in "/" when the URL does
  std::string UrlFile;
};

// Fills every part from the first argument. The anonymous form gets the user
// "anonymous" and a fresh MakeAnonymousPassword.
TUrlParts ParseUrl(const std::string& url);
// Login form: user, password, host and port. True when nothing is left to
// parse, false when a path follows (then in UrlRest).
bool ParseUrlLogin(TUrlParts& url);
// Splits UrlRest into UrlDir and UrlFile.
void ParseUrlPath(TUrlParts& url);

// The remote name of the URL's file: UrlDir + "/" + UrlFile.
std::string UrlRemoteName(const TUrlParts& url);

// The second argument: LocalDir up to and including the last "/", LocalName after it.
struct TLocalTarget {
  std::string LocalDir;
  std::string LocalName;
};
TLocalTarget SplitLocalPath(const std::string& path);

// The engine's local file name for the download: the second argument itself,
// or downloadDir (ending in "/") + LocalName when it names no folder.
std::string UrlLocalFileName(const std::string& path, const std::string& downloadDir);

// %XX sequences of a URL part decoded. False on a malformed escape.
bool PercentDecode(const std::string& text, std::string& out);

// The strict form, for the command line: ftp[s]://[user[:password]@]host[:port]/path
// with percent-escapes decoded and no guessing. A name is a file unless the
// path ends in "/".
struct TFtpUrl {
  std::string user;      // empty: anonymous
  std::string password;  // meaningful only when hasPassword
  bool hasPassword = false;
  std::string host;
  std::string port = "21";  // "990" for ftps://
  // ftps://: TLS from the first byte (implicit FTP over TLS).
  bool secure = false;
  // The path after the host's "/", decoded; "dir/sub/name", or "/abs/..."
  // when the URL spelled a leading %2F.
  std::string path;
  // path cut at its last "/": the directory to change to (empty: stay in the
  // login directory) and the name in it (empty when the path ends in "/").
  std::string dir;
  std::string name;
};

// False with error set for anything but a well-formed ftp URL. Decoded parts
// never hold CR, LF or NUL: they go into commands on the control connection.
bool ParseFtpUrl(const std::string& url, TFtpUrl& out, std::string& error);
// Sets dir and name from path.
void SplitFtpUrlPath(TFtpUrl& url);

}  // namespace session
