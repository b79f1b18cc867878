#include "tests/ftp_data/pureftpd_peer.h"

#include <fstream>

#include <pwd.h>
#include <unistd.h>

namespace vektest {

namespace fs = std::filesystem;

namespace {

// crypt(3) of "pw" (SHA-512, 5000 rounds): the password file holds hashes,
// and pure-pw's own choice (argon2 at a high cost) would make every login of
// the tests slow.
constexpr const char* kPasswordHash =
    "$6$vektestsalt$zcFlpHfMofIHSCRE1btf0Z7789kGJYlTugOopdlH3JdTZevf0i5QPeIRAVRt3bwfz6cYOpacNaQapZFMSYN3//";

}  // namespace

std::string PureFtpdPeer::Url(const std::string& Path) const {
  return "ftp://demo:pw@127.0.0.1:" + std::to_string(port_) + "/" + Path;
}

bool PureFtpdPeer::Start(std::string& Error) {
  const fs::path unpacked = VEK_PUREFTPD_DIR;
  const fs::path binary = unpacked / "usr/sbin/pure-ftpd";
  const fs::path pw = unpacked / "usr/bin/pure-pw";
  if (::access(binary.c_str(), X_OK) != 0 || ::access(pw.c_str(), X_OK) != 0) {
    Error = "pure-ftpd is not unpacked in " + unpacked.string() + " (scripts/fetch-pure-ftpd)";
    return false;
  }
  if (::geteuid() != 0) {
    Error = "pure-ftpd must be started as root";
    return false;
  }
  const passwd* ftp = ::getpwnam("ftp");
  if (ftp == nullptr) {
    Error = "no \"ftp\" user for pure-ftpd's virtual user";
    return false;
  }
  std::error_code ec;
  fs::permissions(work_.Path(), fs::perms(0755), ec);
  fs::create_directories(root_ / "up", ec);
  if (ec || ::chown(root_.c_str(), ftp->pw_uid, ftp->pw_gid) != 0 ||
      ::chown((root_ / "up").c_str(), ftp->pw_uid, ftp->pw_gid) != 0) {
    Error = "cannot prepare pure-ftpd's folders: " + (ec ? ec.message() : std::string("chown failed"));
    return false;
  }

  // "/./" in the home folder jails the user there.
  const fs::path users = work_.Path() / "passwd";
  const fs::path database = work_.Path() / "users.pdb";
  {
    std::ofstream out(users);
    out << "demo:" << kPasswordHash << ":" << ftp->pw_uid << ":" << ftp->pw_gid << "::" << root_.string()
        << "/./::::::::::::\n";
    if (!out) {
      Error = "cannot write " + users.string();
      return false;
    }
  }
  PeerProcess makeDatabase;
  if (!makeDatabase.Start({pw.string(), "mkdb", database.string(), "-f", users.string()},
                          work_.Path() / "pure-pw.log", {}, Error))
    return false;
  if (!makeDatabase.WaitForExit(10000) || !fs::exists(database)) {
    makeDatabase.Stop();
    Error = "pure-pw made no user database: " + makeDatabase.Log();
    return false;
  }

  // -E: no anonymous sessions; -H: no reverse lookups.
  const PureFtpdTls tls = tls_;
  auto prepare = [binary, database, tls](const Ports& ports, std::vector<std::string>& argv, std::string&) {
    argv = {binary.string(),
            "-S",
            "127.0.0.1," + std::to_string(ports.control),
            "-l",
            "puredb:" + database.string(),
            "-E",
            "-H",
            "-p",
            std::to_string(ports.pasvMin) + ":" + std::to_string(ports.pasvMax)};
    if (tls.level > 0) {
      argv.insert(argv.end(), {"-Y", std::to_string(tls.level), "-2",
                               tls.certificate.certFile + "," + tls.certificate.keyFile});
    }
    return true;
  };
  return Launch(prepare, "pure-ftpd", Error);
}

}  // namespace vektest
