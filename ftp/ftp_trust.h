// The server certificates the user chose to trust although they could not
// be verified (self-signed ones, mostly): one "host:port fingerprint" line
// each, in a file of mode 0600 that the windows and vekftp share. A
// certificate that differs from the one trusted for its host and port is
// told apart, so that it is never accepted without a warning.
#pragma once

#include <string>

class TTrustedCertificates {
 public:
  enum TStatus { tcUnknown, tcTrusted, tcChanged };

  // File: where the lines live; empty: the user's config folder
  // ($XDG_CONFIG_HOME or ~/.config) + "/rirarar/trusted-certificates".
  explicit TTrustedCertificates(std::string File = std::string());
  const std::string& File() const { return FFile; }

  // Read from the file each time: another program may have added a line.
  TStatus Check(const std::string& HostPort, const std::string& Fingerprint) const;
  // The host's line replaced or added; false with Error set when the file
  // could not be written.
  bool Remember(const std::string& HostPort, const std::string& Fingerprint, std::string& Error) const;

  // Fingerprints compared as the same text: "SHA256:" and colons dropped,
  // upper case ("sha256:ab:cd" and "ABCD" are one).
  static std::string NormalFingerprint(const std::string& Text);

 private:
  std::string FFile;
};
