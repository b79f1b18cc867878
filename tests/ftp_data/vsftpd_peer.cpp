#include "tests/ftp_data/vsftpd_peer.h"

#include <fstream>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vektest {

namespace fs = std::filesystem;

std::string VsftpdPeer::ServerLog() const { return ReadFile(work_.Path() / "vsftpd.log"); }

std::string VsftpdPeer::Url(const std::string& Path) const {
  const std::string host = address_ == "::1" ? "[::1]" : address_;
  return "ftp://" + host + ":" + std::to_string(port_) + "/" + Path;
}

bool VsftpdPeer::Start(std::string& Error) {
  const char* binary = "/usr/sbin/vsftpd";
  if (::access(binary, X_OK) != 0) {
    Error = "vsftpd is not installed (scripts/packages/peers.txt)";
    return false;
  }
  if (::geteuid() != 0) {
    Error = "vsftpd must be started as root";
    return false;
  }
  if (::getpwnam("ftp") == nullptr) {
    Error = "no \"ftp\" user for vsftpd's anonymous sessions";
    return false;
  }
  // vsftpd refuses a writable anonymous root and needs an empty root-owned
  // folder to jail its helper processes in; the session user must reach both.
  std::error_code ec;
  fs::permissions(work_.Path(), fs::perms(0755), ec);
  fs::create_directories(root_ / "up", ec);
  fs::create_directories(work_.Path() / "empty", ec);
  fs::permissions(root_, fs::perms(0755), ec);
  fs::permissions(work_.Path() / "empty", fs::perms(0755), ec);
  fs::permissions(root_ / "up", fs::perms(0777), ec);
  if (ec) {
    Error = "cannot prepare vsftpd's folders: " + ec.message();
    return false;
  }

  const fs::path conf = work_.Path() / "vsftpd.conf";
  const fs::path root = root_, empty = work_.Path() / "empty";
  std::string tls;
  if (tls_.mode != VsftpdTls::None) {
    tls = "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
          "require_ssl_reuse=YES\nssl_ciphers=HIGH\nssl_tlsv1=YES\nssl_sslv2=NO\nssl_sslv3=NO\n"
          "rsa_cert_file=" + tls_.certificate.certFile + "\nrsa_private_key_file=" + tls_.certificate.keyFile +
          "\ndebug_ssl=YES\nxferlog_enable=YES\nxferlog_std_format=NO\nvsftpd_log_file=" +
          (work_.Path() / "vsftpd.log").string() + "\n";
    if (tls_.mode == VsftpdTls::Implicit) tls += "implicit_ssl=YES\n";
  }
  const std::string extra = extra_;
  const std::string listen = address_ == "::1" ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                                               : "listen=YES\nlisten_ipv6=NO\nlisten_address=" + address_ + "\n";
  auto prepare = [binary, conf, root, empty, tls, extra, listen](const Ports& ports, std::vector<std::string>& argv,
                                                         std::string& error) {
    std::ofstream out(conf);
    out << listen << "listen_port=" << ports.control << "\n"
        << "background=NO\nanonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
        << "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
        << "anon_other_write_enable=YES\nanon_umask=022\nanon_root=" << root.string() << "\n"
        << "ftp_username=ftp\npasv_enable=YES\npasv_min_port=" << ports.pasvMin << "\npasv_max_port=" << ports.pasvMax
        << "\n"
        << "port_enable=YES\nconnect_from_port_20=NO\nsecure_chroot_dir=" << empty.string()
        << "\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        << "max_per_ip=0\nmax_clients=0\nidle_session_timeout=120\ndata_connection_timeout=60\n"
        << (tls.empty() ? "xferlog_enable=NO\n" : tls) << extra;
    if (!out) {
      error = "cannot write " + conf.string();
      return false;
    }
    argv = {binary, conf.string()};
    return true;
  };
  return Launch(prepare, "vsftpd", Error);
}

}  // namespace vektest
