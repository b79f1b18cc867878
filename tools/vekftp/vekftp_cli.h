// vekftp's command line, free of any I/O: the FTP URL, the options and the
// operation, and the checks on local file names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/url.h"

namespace vekftp {

// The URL: session/url's strict form.
using FtpUrl = session::TFtpUrl;
using session::ParseFtpUrl;

// A name the server (or a decoded URL) chooses may not pick the folder: empty
// text, ".", "..", a "/" or a NUL is refused with Error set.
bool SafeLocalName(const std::string& Name, std::string& Error);

// Server text for the user's terminal: control characters (C0, DEL, C1) and
// bytes that are not UTF-8 shown as \xHH, so that a server cannot send
// escape sequences to the terminal. A backslash is shown doubled.
std::string EscapeControls(const std::string& Text);

// The progress line: bytes so far, the percentage when Size is known (not
// -1), the rate of the Moved bytes over ElapsedMs and, with a size and a
// rate, the time left. "1048576 bytes  50%  2.0 MB/s  0:01 left".
std::string ProgressText(std::int64_t Count, std::int64_t Size, std::int64_t Moved, std::uint32_t ElapsedMs);

// Exit status of vekftp.
enum ExitStatus {
  kExitOk = 0,
  kExitFailed = 1,  // the transfer failed otherwise (data connection, timeout ...)
  kExitUsage = 2,   // bad arguments, or a local name that would leave the folder
  kExitLogin = 3,   // no connection, or the login was refused
  kExitRemote = 4,  // the server refused the file or folder
  kExitLocal = 5,   // the local file could not be created, read or written
};

enum class Operation { Get, Put, Append, Resume, Ls, Size, Mget, Rm, Mv, Mkdir, Rmdir, Mirror };

// FTP over TLS: when the server offers it (the default, as lftp does),
// always (--tls; ftps:// URLs are implicit TLS), or never (--no-tls).
enum class Tls { IfAvailable, Required, Off };

struct Options {
  bool help = false;
  bool passive = true;  // behind NAT, where most users are, PORT cannot work
  bool ascii = false;
  int timeout = 30;
  bool verbose = false;
  Tls tls = Tls::IfAvailable;
  // A certificate that fails the check is taken anyway (its fingerprint
  // shown), or only the one with this SHA-256 fingerprint is taken.
  bool insecure = false;
  std::string pin;
  std::string caCertificates;  // PEM file of authorities trusted beside the system's
  bool preserve = false;       // files keep the original's modification time
  bool pasvAddress = false;    // follow the address of a 227 reply
  int parallel = 1;            // connections that move files at once (mget, mirror)
  bool reverse = false;        // mirror -R: the local folder up to the server
  Operation op = Operation::Get;
  FtpUrl url;
  std::string local;               // get (optional), put, append, resume; mirror's folder
  std::vector<std::string> names;  // mget
  std::string newName;             // mv: the new name in the same folder
};

// argv without the program name. False with Error set (a usage problem).
bool ParseArguments(const std::vector<std::string>& Args, Options& Out, std::string& Error);

std::string UsageText();

// What ~/.netrc says for a host: the first "machine" entry of that host
// (with Login, when the URL names a user, equal to it), else "default".
struct NetrcEntry {
  bool found = false;
  std::string login;
  std::string password;
};
// Text: the file's words, separated by blanks; "macdef" bodies (up to an
// empty line) are skipped. User: the URL's, empty when it names none.
NetrcEntry NetrcLookup(const std::string& Text, const std::string& Host, const std::string& User);

// A protocol line for -v: the password of PASS never shows.
std::string MaskPassword(const std::string& Line);

}  // namespace vekftp
