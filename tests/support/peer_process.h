// Real servers as test peers: a process started by the test itself, its
// output kept in a log file, stopped by its PID; every wait bounded in time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vektest {

// A private folder (mkdtemp), removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& Prefix = "vektest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes Bytes to Path (created or emptied). False on failure.
bool WriteFile(const std::filesystem::path& Path, const std::string& Bytes);
std::string ReadFile(const std::filesystem::path& Path);

// The first of Count consecutive ports of Address (127.0.0.1 or ::1) that
// were free a moment ago, for peers that cannot report the port they chose
// (0 when none was found).
std::uint16_t FreeLocalPorts(int Count, const std::string& Address = "127.0.0.1");
// Nobody listens there: the port was bound and released, and nothing took it since.
std::uint16_t ClosedLocalPort();

class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts Argv (Argv[0] a path) with Env added to the environment; stdout and
  // stderr go to LogPath. False with Error set when it cannot start.
  bool Start(const std::vector<std::string>& Argv, const std::filesystem::path& LogPath,
             const std::vector<std::string>& Env, std::string& Error);
  // Waits until the log holds Text; false when the process ends or TimeoutMs passes.
  bool WaitForOutput(const std::string& Text, int TimeoutMs);
  // Waits until the process has ended; false when TimeoutMs passes first.
  bool WaitForExit(int TimeoutMs);
  // Waits until Port of Address (127.0.0.1 or ::1) accepts a connection.
  bool WaitForPort(std::uint16_t Port, int TimeoutMs, const std::string& Address = "127.0.0.1");
  bool Running();
  // SIGTERM, then SIGKILL after GraceMs; always reaps the process.
  void Stop(int GraceMs = 2000);
  pid_t Pid() const { return pid_; }
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  std::filesystem::path log_;
};

// pyftpdlib (Debian's python3-pyftpdlib, run by /usr/bin/python3) serving Root
// to one user with full rights, on 127.0.0.1 and a port it chooses itself.
class PyFtpdPeer {
 public:
  PyFtpdPeer(std::string User, std::string Password, std::filesystem::path Root);
  ~PyFtpdPeer();
  // False with Error set when the server cannot start (Error names why).
  bool Start(std::string& Error, int LifetimeSeconds = 120);
  void Stop();
  // FTP over TLS (TLS_FTPHandler, explicit), required for the login and the
  // data; set before Start.
  // PlainData: it answers PROT P with 200 and sends the data in clear anyway.
  void UseTls(const std::string& CertFile, const std::string& KeyFile, bool PlainData = false) {
    certFile_ = CertFile;
    keyFile_ = KeyFile;
    plainData_ = PlainData;
  }
  // The first RETR is answered "522 SSL connection failed: session reuse required".
  void RefuseFirstRetr() { refuseFirstRetr_ = true; }
  // The first RETR sends only its first Bytes and then drops the session,
  // as a server that went away mid-file (plain FTP only).
  void CutFirstRetr(std::int64_t Bytes) { cutFirstRetr_ = Bytes; }
  // Its 227 replies name this address, as a server behind NAT does.
  void Masquerade(const std::string& Address) { masquerade_ = Address; }
  std::uint16_t Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  std::string Log() const { return process_.Log(); }

 private:
  std::string user_;
  std::string password_;
  std::filesystem::path root_;
  std::string certFile_;
  std::string keyFile_;
  bool plainData_ = false;
  bool refuseFirstRetr_ = false;
  std::int64_t cutFirstRetr_ = 0;
  std::string masquerade_;
  TempDir work_{"vekpyftpd"};
  PeerProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace vektest
