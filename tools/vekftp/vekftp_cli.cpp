#include "tools/vekftp/vekftp_cli.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "transfer/listing.h"
#include "transfer/typed_name.h"

namespace vekftp {

bool SafeLocalName(const std::string& Name, std::string& Error) {
  if (transfer::IsSafeLocalName(Name)) return true;
  if (Name.empty()) {
    Error = "refusing an empty local file name";
    return false;
  }
  if (Name == "." || Name == "..") {
    Error = "refusing the local file name \"" + Name + "\"";
    return false;
  }
  // The name came from the server side: it must land in the folder the user gave.
  std::string shown;
  for (char c : Name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
  Error = "refusing the local file name \"" + shown + "\": it holds a \"/\" or a NUL";
  return false;
}

std::string EscapeControls(const std::string& Text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  const auto escape = [&](unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(Text.data());
  const std::size_t n = Text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = bytes[i];
    if (c < 0x20 || c == 0x7F) {
      escape(c);
      ++i;
      continue;
    }
    if (c == '\\') {
      out += "\\\\";
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // A whole UTF-8 sequence passes, except the C1 controls (U+0080..U+009F);
    // anything else is shown byte by byte.
    const std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    bool whole = len != 0 && i + len <= n && !(c == 0xC2 && bytes[i + 1] < 0xA0);
    for (std::size_t k = 1; whole && k < len; ++k) whole = (bytes[i + k] & 0xC0) == 0x80;
    if (!whole) {
      escape(c);
      ++i;
      continue;
    }
    out.append(Text, i, len);
    i += len;
  }
  return out;
}

std::string ProgressText(std::int64_t Count, std::int64_t Size, std::int64_t Moved, std::uint32_t ElapsedMs) {
  std::string text = std::to_string(Count) + " bytes";
  if (Size > 0) text += "  " + std::to_string(std::min<std::int64_t>(Count, Size) * 100 / Size) + "%";
  if (ElapsedMs == 0 || Moved <= 0) return text;
  const double rate = static_cast<double>(Moved) * 1000.0 / ElapsedMs;  // bytes per second
  char buffer[64];
  const char* unit = rate >= 1e6 ? "MB/s" : rate >= 1e3 ? "kB/s" : "B/s";
  const double shown = rate >= 1e6 ? rate / 1e6 : rate >= 1e3 ? rate / 1e3 : rate;
  std::snprintf(buffer, sizeof(buffer), "  %.1f %s", shown, unit);
  text += buffer;
  if (Size > 0 && Count <= Size) {
    const auto left = static_cast<long long>(static_cast<double>(Size - Count) / rate + 0.5);
    if (left >= 3600)
      std::snprintf(buffer, sizeof(buffer), "  %lld:%02lld:%02lld left", left / 3600, left / 60 % 60, left % 60);
    else
      std::snprintf(buffer, sizeof(buffer), "  %lld:%02lld left", left / 60, left % 60);
    text += buffer;
  }
  return text;
}

std::string UsageText() {
  return "usage: vekftp [options] OPERATION ARGUMENTS\n"
         "  vekftp [options] get URL [LOCAL]     download; LOCAL defaults to the remote file's name\n"
         "                                       (a folder as LOCAL receives it under that name)\n"
         "  vekftp [options] put LOCAL URL       upload to the remote file URL names\n"
         "  vekftp [options] append LOCAL URL    append upload\n"
         "  vekftp [options] resume URL LOCAL    continue a download from the end of LOCAL\n"
         "  vekftp [options] ls URL              print the LIST output of the directory URL names\n"
         "  vekftp [options] size URL            print the remote size\n"
         "  vekftp [options] mget URL NAME...    download files of the directory URL names\n"
         "  vekftp [options] rm URL              delete the remote file URL names\n"
         "  vekftp [options] mv URL NEWNAME      rename the remote file or folder URL names, in its folder\n"
         "  vekftp [options] mkdir URL           create the remote folder URL names\n"
         "  vekftp [options] rmdir URL           remove the remote folder URL names (it must be empty)\n"
         "  vekftp [options] mirror URL LOCALDIR     copy the remote folder URL names, with its sub-folders\n"
         "  vekftp [options] mirror -R LOCALDIR URL  copy a local folder to the remote folder URL names\n"
         "options:\n"
         "  --active             the server connects to us (PORT); passive (PASV) is the default\n"
         "  --passive            passive mode (the default)\n"
         "  --ascii              ASCII transfer type instead of binary\n"
         "  --timeout SECONDS    give up on a silent server after this long (default 30)\n"
         "  --tls                require FTP over TLS (by default it is used when the server offers it)\n"
         "  --no-tls             plain FTP only, everything in clear\n"
         "  --insecure           take a certificate that fails the check (its fingerprint is shown)\n"
         "  --pin SHA256:HEX     take only the certificate with this SHA-256 fingerprint\n"
         "  --cacert FILE        trust the certificates (authorities) in this PEM file too\n"
         "  -p, --preserve       give copied files the modification time of the original\n"
         "  -j, --parallel N     move files over N connections at once (mget, mirror; 1 to 10, default 1)\n"
         "  --pasv-address       connect passive data connections to the address the server names\n"
         "                       (by default: to the server's own address, whatever it names)\n"
         "  -v                   show the commands and the server's replies\n"
         "  -h, --help           show this text\n"
         "URL: ftp://[user[:password]@]host[:port]/path, percent-escapes decoded;\n"
         "     without a user the login is anonymous; ftps:// is TLS from the first byte (port 990);\n"
         "     a URL without a password takes it from ~/.netrc (which others must not be able to read)\n"
         "certificates trusted in the program's window are trusted here too\n"
         "exit status: 0 done, 1 transfer failed, 2 usage, 3 connection or login failed,\n"
         "             4 the server refused the file or folder, 5 local file error\n";
}

NetrcEntry NetrcLookup(const std::string& Text, const std::string& Host, const std::string& User) {
  // The file as words, "macdef" bodies left out.
  std::vector<std::string> words;
  std::istringstream lines(Text);
  std::string line;
  bool inMacro = false;
  while (std::getline(lines, line)) {
    if (inMacro) {
      inMacro = line.find_first_not_of(" \t\r") != std::string::npos;
      continue;
    }
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
      if (word == "macdef") {
        inMacro = true;
        break;
      }
      words.push_back(word);
    }
  }
  auto sameHost = [&Host](const std::string& name) {
    if (name.size() != Host.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(Host[i])))
        return false;
    return true;
  };
  NetrcEntry fallback;
  for (std::size_t i = 0; i < words.size();) {
    const bool isDefault = words[i] == "default";
    if (!isDefault && (words[i] != "machine" || i + 1 >= words.size())) {
      ++i;
      continue;
    }
    const bool matches = isDefault || sameHost(words[i + 1]);
    i += isDefault ? 1 : 2;
    NetrcEntry entry;
    entry.found = true;
    for (; i + 1 < words.size() && words[i] != "machine" && words[i] != "default"; i += 2) {
      if (words[i] == "login") entry.login = words[i + 1];
      if (words[i] == "password") entry.password = words[i + 1];
    }
    if (!matches || (!User.empty() && !entry.login.empty() && entry.login != User)) continue;
    if (!isDefault) return entry;
    if (!fallback.found) fallback = entry;
  }
  return fallback;
}

std::string MaskPassword(const std::string& Line) {
  const std::size_t at = Line.find("PASS ");
  if (at == std::string::npos || at > 2) return Line;
  return Line.substr(0, at) + "PASS ****";
}

bool ParseArguments(const std::vector<std::string>& Args, Options& Out, std::string& Error) {
  Out = Options{};
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if (!rest.empty()) {
      rest.push_back(a);  // options come before the operation
    } else if (a == "-h" || a == "--help") {
      Out.help = true;
      return true;
    } else if (a == "--passive") {
      Out.passive = true;
    } else if (a == "--active") {
      Out.passive = false;
    } else if (a == "--ascii") {
      Out.ascii = true;
    } else if (a == "-v") {
      Out.verbose = true;
    } else if (a == "--tls") {
      Out.tls = Tls::Required;
    } else if (a == "--no-tls") {
      Out.tls = Tls::Off;
    } else if (a == "--insecure") {
      Out.insecure = true;
    } else if (a == "-p" || a == "--preserve") {
      Out.preserve = true;
    } else if (a == "--pasv-address") {
      Out.pasvAddress = true;
    } else if (a == "-j" || a == "--parallel") {
      const std::string v = i + 1 < Args.size() ? Args[++i] : std::string();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 10) {
        Error = a + " needs a number of connections from 1 to 10";
        return false;
      }
      Out.parallel = static_cast<int>(n);
    } else if (a == "--pin" || a == "--cacert") {
      if (i + 1 >= Args.size() || Args[i + 1].empty()) {
        Error = a + (a == "--pin" ? " needs a SHA-256 fingerprint" : " needs a file");
        return false;
      }
      (a == "--pin" ? Out.pin : Out.caCertificates) = Args[++i];
    } else if (a == "--timeout") {
      if (i + 1 >= Args.size()) {
        Error = "--timeout needs a number of seconds";
        return false;
      }
      const std::string& v = Args[++i];
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 0 || n > 86400) {
        Error = "bad --timeout value: " + v;
        return false;
      }
      Out.timeout = static_cast<int>(n);
    } else if (!a.empty() && a[0] == '-') {
      Error = "unknown option: " + a;
      return false;
    } else {
      rest.push_back(a);
    }
  }
  if (rest.empty()) {
    Error = "no operation given";
    return false;
  }

  const std::string op = rest[0];
  const std::size_t n = rest.size() - 1;
  std::string url;
  auto arity = [&](bool ok) {
    if (!ok) Error = "wrong number of arguments for " + op;
    return ok;
  };
  if (op == "get") {
    if (!arity(n == 1 || n == 2)) return false;
    Out.op = Operation::Get;
    url = rest[1];
    if (n == 2) Out.local = rest[2];
  } else if (op == "put" || op == "append") {
    if (!arity(n == 2)) return false;
    Out.op = op == "put" ? Operation::Put : Operation::Append;
    Out.local = rest[1];
    url = rest[2];
  } else if (op == "resume") {
    if (!arity(n == 2)) return false;
    Out.op = Operation::Resume;
    url = rest[1];
    Out.local = rest[2];
  } else if (op == "ls" || op == "size") {
    if (!arity(n == 1)) return false;
    Out.op = op == "ls" ? Operation::Ls : Operation::Size;
    url = rest[1];
  } else if (op == "rm" || op == "mkdir" || op == "rmdir") {
    if (!arity(n == 1)) return false;
    Out.op = op == "rm" ? Operation::Rm : op == "mkdir" ? Operation::Mkdir : Operation::Rmdir;
    url = rest[1];
  } else if (op == "mv") {
    if (!arity(n == 2)) return false;
    Out.op = Operation::Mv;
    url = rest[1];
    Out.newName = rest[2];
  } else if (op == "mget") {
    if (!arity(n >= 2)) return false;
    Out.op = Operation::Mget;
    url = rest[1];
    Out.names.assign(rest.begin() + 2, rest.end());
  } else if (op == "mirror") {
    // lftp's form: "mirror URL LOCALDIR", and "mirror -R LOCALDIR URL" up.
    Out.reverse = n >= 1 && rest[1] == "-R";
    if (!arity(n == (Out.reverse ? 3u : 2u))) return false;
    Out.op = Operation::Mirror;
    url = rest[Out.reverse ? 3 : 1];
    Out.local = rest[2];
  } else {
    Error = "unknown operation: " + op;
    return false;
  }

  if (!ParseFtpUrl(url, Out.url, Error)) return false;
  if (Out.url.secure && Out.tls == Tls::Off) {
    Error = "an ftps:// URL is always encrypted: --no-tls does not go with it";
    return false;
  }
  if (Out.insecure && !Out.pin.empty()) {
    Error = "--insecure takes any certificate, --pin only one: choose one of them";
    return false;
  }
  const bool namesFolder = Out.op == Operation::Mkdir || Out.op == Operation::Rmdir || Out.op == Operation::Mv;
  if (namesFolder && Out.url.name.empty() && Out.url.path.size() > 1 && Out.url.path.back() == '/') {
    // "ftp://h/pub/new/" names the folder "new" as well.
    Out.url.path.pop_back();
    session::SplitFtpUrlPath(Out.url);
  }
  const bool namesFile = Out.op != Operation::Ls && Out.op != Operation::Mget && Out.op != Operation::Mirror;
  if (namesFile && Out.url.name.empty()) {
    Error = "the URL names no " + std::string(namesFolder ? "file or folder: " : "file: ") + url;
    return false;
  }
  if (Out.op == Operation::Rm || namesFolder) {
    // "." and ".." would act on the folder itself or the one above.
    const std::string why = transfer::CheckTypedName(Out.url.name);
    if (!why.empty()) {
      Error = "refusing the name in the URL: " + why;
      return false;
    }
  }
  if (Out.op == Operation::Mv) {
    const std::string why = transfer::CheckTypedName(Out.newName);
    if (!why.empty()) {
      Error = "refusing the new name: " + why;
      return false;
    }
  }
  if ((Out.op == Operation::Put || Out.op == Operation::Append || Out.op == Operation::Resume) && Out.local.empty()) {
    Error = "empty local file name";
    return false;
  }
  if (Out.op == Operation::Get && Out.local.empty() && !SafeLocalName(Out.url.name, Error)) return false;
  for (const std::string& name : Out.names) {
    if (!SafeLocalName(name, Error)) return false;
    // Each name also goes into a RETR of its own.
    const std::string why = transfer::CheckTypedName(name);
    if (!why.empty()) {
      Error = "refusing the file name: " + why;
      return false;
    }
  }
  return true;
}

}  // namespace vekftp
