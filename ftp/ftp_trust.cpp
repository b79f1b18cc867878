#include "ftp/ftp_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::string ConfigFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

std::vector<std::pair<std::string, std::string>> ReadLines(const std::string& File) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::ifstream in(File);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string hostPort, fingerprint;
    if (fields >> hostPort >> fingerprint) lines.emplace_back(hostPort, fingerprint);
  }
  return lines;
}

}  // namespace

TTrustedCertificates::TTrustedCertificates(std::string File) : FFile(std::move(File)) {
  if (FFile.empty()) FFile = ConfigFolder() + "/rirarar/trusted-certificates";
}

std::string TTrustedCertificates::NormalFingerprint(const std::string& Text) {
  std::string t = Text;
  if (t.size() > 7 && (t.compare(0, 7, "SHA256:") == 0 || t.compare(0, 7, "sha256:") == 0)) t.erase(0, 7);
  std::string out;
  for (const char c : t)
    if (c != ':') out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

TTrustedCertificates::TStatus TTrustedCertificates::Check(const std::string& HostPort,
                                                          const std::string& Fingerprint) const {
  for (const auto& [host, fingerprint] : ReadLines(FFile))
    if (host == HostPort)
      return NormalFingerprint(fingerprint) == NormalFingerprint(Fingerprint) ? tcTrusted : tcChanged;
  return tcUnknown;
}

bool TTrustedCertificates::Remember(const std::string& HostPort, const std::string& Fingerprint,
                                    std::string& Error) const {
  std::string text;
  for (const auto& [host, fingerprint] : ReadLines(FFile))
    if (host != HostPort) text += host + " " + fingerprint + "\n";
  text += HostPort + " " + NormalFingerprint(Fingerprint) + "\n";
  const std::size_t slash = FFile.rfind('/');
  if (slash != std::string::npos && slash > 0) ::mkdir(FFile.substr(0, slash).c_str(), 0700);
  // Written beside and renamed over: a crash never leaves half a file.
  const std::string temp = FFile + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int err = errno;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), FFile.c_str()) == 0;
  if (!ok) {
    Error = "cannot write " + FFile + ": " + std::strerror(errno != 0 ? errno : err);
    ::unlink(temp.c_str());
  }
  return ok;
}
