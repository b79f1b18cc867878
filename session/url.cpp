#include "session/url.h"

#include <algorithm>

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
    return parts;
  }
  if (!ParseUrlLogin(parts)) ParseUrlPath(parts);
  return parts;
}

bool ParseUrlLogin(TUrlParts& url) {
  std::string& rest = url.UrlRest;
  url.UrlUser = TextBefore(rest, ':');
  CutThrough(rest, ':');
  url.UrlPassword = TextBefore(rest, '@');
  CutThrough(rest, '@');

  // Only a ":" before the path separates a port: one inside the path
  // (/dir:x/f.txt) would make the host "host/dir".
  const std::size_t colon = rest.find(':');
  if (colon != std::string::npos && colon < rest.find('/')) {
    url.UrlHost = TextBefore(rest, ':');
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
    url.UrlHost = TextBefore(rest, '/');
    CutThrough(rest, '/');
    url.UrlPort = "21";
    return false;
  }
  url.UrlHost = rest;
  url.UrlPort = "21";
  return true;
}

void ParseUrlPath(TUrlParts& url) {
  std::string& rest = url.UrlRest;
  while (Contains(rest, '/')) {
    url.UrlDir += "/" + TextBefore(rest, '/');
    CutThrough(rest, '/');
  }
  if (Contains(rest, '.'))
    url.UrlFile = rest;
  else
    url.UrlDir += "/" + rest;
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

std::string UrlLocalFileName(const std::string& path, const std::string& downloadDir) {
  const TLocalTarget target = SplitLocalPath(path);
  if (!target.LocalDir.empty()) return path;
  return downloadDir + target.LocalName;
}

}  // namespace session
