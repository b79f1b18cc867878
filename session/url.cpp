#include "session/url.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "session/anonymous.h"

namespace session {
namespace {

constexpr std::size_t kSchemePrefixLength = 6;  // "ftp://"

// "The text before c": empty when c is not there.
std::string TextBefore(const std::string& rest, char c) {
  const std::size_t pos = rest.find(c);
  return pos == std::string::npos ? std::string() : rest.substr(0, pos);
}

// "Cut through c": drop everything up to and including c; nothing when c is not there.
void CutThrough(std::string& rest, char c) {
  const std::size_t pos = rest.find(c);
  if (pos != std::string::npos) rest.erase(0, pos + 1);
}

bool Contains(const std::string& s, char c) { return s.find(c) != std::string::npos; }

bool HasControlBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// One part of the login window's URL, already cut out at its delimiters, so
// that an escaped "@", ":" or "/" stays inside it. A malformed escape, or one
// that would put a CR, LF or NUL into an FTP command, leaves the part as typed.
std::string DecodedOrTyped(const std::string& typed) {
  std::string decoded;
  if (!PercentDecode(typed, decoded) || HasControlBreak(decoded)) return typed;
  return decoded;
}

// An IPv6 literal in brackets at the start of rest ("[::1]:2121/..."): its
// address into host, rest from after the "]". False (nothing taken) when
// rest does not start with one.
bool TakeBracketedHost(std::string& rest, std::string& host) {
  if (rest.empty() || rest[0] != '[') return false;
  const std::size_t close = rest.find(']');
  if (close == std::string::npos || close > rest.find('/')) return false;
  host = rest.substr(1, close - 1);
  rest.erase(0, close + 1);
  return true;
}

bool IsLoginForm(const std::string& rest) {
  const std::size_t at = rest.find('@');
  if (at == std::string::npos || at == 0) return false;
  const std::size_t slash = rest.find('/');
  if (slash == std::string::npos || slash > at) return true;
  // A "/" before the "@": a user or password holding "/" (the user's ":"
  // comes before the "@") or an "@" in the path of an anonymous URL (no ":"
  // before it).
  const std::size_t colon = rest.find(':');
  return colon != std::string::npos && colon < at;
}

}  // namespace

TUrlParts ParseUrl(const std::string& url) {
  TUrlParts parts;
  parts.UrlRest = url;
  parts.UrlDir.clear();
  parts.UrlRest.erase(0, std::min(kSchemePrefixLength, parts.UrlRest.size()));

  if (!IsLoginForm(parts.UrlRest)) {
    parts.UrlUser = "anonymous";
    parts.UrlPassword = MakeAnonymousPassword();
    parts.UrlPort = "21";
    std::string literal;
    if (TakeBracketedHost(parts.UrlRest, literal)) {
      parts.UrlHost = literal;
      std::string& rest = parts.UrlRest;
      if (!rest.empty() && rest[0] == ':') {
        const std::size_t slash = rest.find('/');
        parts.UrlPort = rest.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        rest.erase(0, slash == std::string::npos ? rest.size() : slash);
      }
      if (Contains(rest, '/')) {
        CutThrough(rest, '/');
        ParseUrlPath(parts);
      }
      return parts;
    }
    if (Contains(parts.UrlRest, '/')) {
      parts.UrlHost = TextBefore(parts.UrlRest, '/');
      CutThrough(parts.UrlRest, '/');
      ParseUrlPath(parts);
    } else {
      parts.UrlHost = parts.UrlRest;
    }
    // "ftp://host:2121/..." is how such URLs are commonly written: the port
    // goes to the port field, not into the host name.
    if (const std::size_t colon = parts.UrlHost.find(':'); colon != std::string::npos) {
      parts.UrlPort = parts.UrlHost.substr(colon + 1);
      parts.UrlHost.erase(colon);
    }
    parts.UrlHost = DecodedOrTyped(parts.UrlHost);
    return parts;
  }
  if (!ParseUrlLogin(parts)) ParseUrlPath(parts);
  return parts;
}

bool ParseUrlLogin(TUrlParts& url) {
  std::string& rest = url.UrlRest;
  url.UrlUser = DecodedOrTyped(TextBefore(rest, ':'));
  CutThrough(rest, ':');
  url.UrlPassword = DecodedOrTyped(TextBefore(rest, '@'));
  CutThrough(rest, '@');

  // Only a ":" before the path separates a port: one inside the path
  // (/dir:x/f.txt) would make the host "host/dir".
  std::string literal;
  const bool bracketed = TakeBracketedHost(rest, literal);
  const std::size_t colon = rest.find(':');
  if (colon != std::string::npos && colon < rest.find('/')) {
    url.UrlHost = bracketed ? literal : DecodedOrTyped(TextBefore(rest, ':'));
    CutThrough(rest, ':');
    // Port step.
    if (!Contains(rest, '/')) {
      url.UrlPort = rest;
      return true;
    }
    url.UrlPort = TextBefore(rest, '/');
    CutThrough(rest, '/');
    return false;
  }
  if (Contains(rest, '/')) {
    url.UrlHost = bracketed ? literal : DecodedOrTyped(TextBefore(rest, '/'));
    CutThrough(rest, '/');
    url.UrlPort = "21";
    return false;
  }
  url.UrlHost = bracketed ? literal : DecodedOrTyped(rest);
  url.UrlPort = "21";
  return true;
}

void ParseUrlPath(TUrlParts& url) {
  std::string& rest = url.UrlRest;
  while (Contains(rest, '/')) {
    url.UrlDir += "/" + DecodedOrTyped(TextBefore(rest, '/'));
    CutThrough(rest, '/');
  }
  const std::string last = DecodedOrTyped(rest);
  if (Contains(last, '.'))
    url.UrlFile = last;
  else
    url.UrlDir += "/" + last;
}

std::string UrlRemoteName(const TUrlParts& url) { return url.UrlDir + "/" + url.UrlFile; }

TLocalTarget SplitLocalPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexValue(text[i + 1]);
    const int lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

namespace {

bool DecodePart(const std::string& raw, const char* what, std::string& out, std::string& error) {
  if (!PercentDecode(raw, out)) {
    error = std::string("malformed percent-escape in the URL's ") + what;
    return false;
  }
  if (HasControlBreak(out)) {
    // A CR or LF would end the command and start another one on the server.
    error = std::string("the URL's ") + what + " holds CR, LF or NUL";
    return false;
  }
  return true;
}

bool ParsePort(const std::string& text, std::string& out) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v < 1 || v > 65535) return false;
  out = std::to_string(v);
  return true;
}

}  // namespace

bool ParseFtpUrl(const std::string& url, TFtpUrl& out, std::string& error) {
  out = TFtpUrl{};
  auto startsWith = [&url](const std::string& scheme) {
    if (url.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
    return true;
  };
  out.secure = startsWith("ftps://");
  if (!out.secure && !startsWith("ftp://")) {
    error = "not an ftp:// or ftps:// URL: " + url;
    return false;
  }
  if (out.secure) out.port = "990";
  const std::size_t authBegin = out.secure ? 7 : 6;
  const std::size_t slash = url.find('/', authBegin);
  const std::string authority = url.substr(authBegin, slash == std::string::npos ? std::string::npos : slash - authBegin);
  const std::string rawPath = slash == std::string::npos ? std::string() : url.substr(slash + 1);

  // The last "@" ends the user part: a password may hold a raw "@".
  std::string hostPort = authority;
  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    hostPort = authority.substr(at + 1);
    const std::size_t colon = userInfo.find(':');
    if (!DecodePart(userInfo.substr(0, colon), "user name", out.user, error)) return false;
    if (colon != std::string::npos) {
      if (!DecodePart(userInfo.substr(colon + 1), "password", out.password, error)) return false;
      out.hasPassword = true;
    }
    if (out.user.empty()) {
      error = "the URL names an empty user";
      return false;
    }
  }

  // "[::1]:2121": an IPv6 address, whose own ":" are not the port's.
  const bool literal = !hostPort.empty() && hostPort[0] == '[';
  const std::size_t close = literal ? hostPort.find(']') : std::string::npos;
  if (literal && close == std::string::npos) {
    error = "bad host name in the URL: " + hostPort;
    return false;
  }
  const std::size_t colon = literal ? (close + 1 < hostPort.size() ? close + 1 : std::string::npos) : hostPort.rfind(':');
  if (literal && colon != std::string::npos && hostPort[colon] != ':') {
    error = "bad host name in the URL: " + hostPort;
    return false;
  }
  std::string rawHost = literal ? hostPort.substr(1, close - 1) : hostPort.substr(0, colon);
  if (colon != std::string::npos && !ParsePort(hostPort.substr(colon + 1), out.port)) {
    error = "bad port in the URL: " + hostPort.substr(colon + 1);
    return false;
  }
  if (!DecodePart(rawHost, "host", out.host, error)) return false;
  if (out.host.empty()) {
    error = "the URL names no host";
    return false;
  }
  for (char c : out.host) {
    const bool address = literal && (std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.');
    if (!(address || (!literal && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')))) {
      error = "bad host name in the URL: " + out.host;
      return false;
    }
  }

  if (!DecodePart(rawPath, "path", out.path, error)) return false;
  SplitFtpUrlPath(out);
  return true;
}

void SplitFtpUrlPath(TFtpUrl& url) {
  const std::size_t last = url.path.rfind('/');
  if (last == std::string::npos) {
    url.dir.clear();
    url.name = url.path;
  } else {
    url.dir = url.path.substr(0, last);
    url.name = url.path.substr(last + 1);
    if (url.dir.empty()) url.dir = "/";  // "%2Fname": the root
  }
}

std::string UrlLocalFileName(const std::string& path, const std::string& downloadDir) {
  const TLocalTarget target = SplitLocalPath(path);
  if (!target.LocalDir.empty()) return path;
  return downloadDir + target.LocalName;
}

}  // namespace session
