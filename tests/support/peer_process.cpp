#include "tests/support/peer_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vektest {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Short pauses of test code while it watches another process (its log file or
// its port): there is no event to wait on, and every wait here is bounded.
void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

// A loopback address, 127.0.0.1 or ::1, with Port; its length (0 for another text).
socklen_t LoopbackAddress(const std::string& Address, std::uint16_t Port, sockaddr_storage& Addr) {
  Addr = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&Addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&Addr);
  if (::inet_pton(AF_INET, Address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(Port);
    return sizeof(sockaddr_in);
  }
  if (::inet_pton(AF_INET6, Address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(Port);
    return sizeof(sockaddr_in6);
  }
  return 0;
}

// Port 0: any free port, then Port says which.
int BoundSocket(std::uint16_t& Port, const std::string& Address = "127.0.0.1") {
  sockaddr_storage addr{};
  socklen_t len = LoopbackAddress(Address, Port, addr);
  const int fd = len == 0 ? -1 : ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  // The port field sits at the same place in both families' records.
  Port = ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
  return fd;
}

const char kPyFtpdScript[] = R"PY(
import os, socket, sys, threading
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

user = os.environ["VEK_FTP_USER"]
password = os.environ["VEK_FTP_PASSWORD"]
root = os.environ["VEK_FTP_ROOT"]
lifetime = float(os.environ["VEK_FTP_LIFETIME"])

authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")

base = FTPHandler
if os.environ.get("VEK_FTP_CERT"):
    from pyftpdlib.handlers import TLS_FTPHandler
    base = TLS_FTPHandler

cut = int(os.environ.get("VEK_FTP_CUT_FIRST_RETR") or 0)

# A server that goes away in the middle of the first download: the data
# connection ends after the bytes it was given, and once the client has read
# them all (its side of the data connection closes) the control connection
# closes too, without a reply to the RETR.
class CutDTPHandler(DTPHandler):
    cutting = False
    waiting = False
    def handle_close(self):
        if CutDTPHandler.cutting and not self.receive and not self._closed:
            CutDTPHandler.cutting = False
            self.waiting = True
            self.socket.shutdown(socket.SHUT_WR)
            self.receive = True
            self.modify_ioloop_events(self.ioloop.READ)
            return
        if self.waiting:
            self.waiting = False
            self._resp = ()
            control = self.cmd_channel
            self.close()
            control.close()
            return
        DTPHandler.handle_close(self)

class Handler(base):
    # A broken server for the tests: it agrees to PROT P, then sends the
    # data in clear all the same.
    if os.environ.get("VEK_FTP_PLAIN_DATA"):
        def ftp_PROT(self, line):
            self.respond("200 Protection set to Private")
    # Another: the first download is refused as vsftpd refuses a data
    # connection that did not resume the session.
    refused = False
    if os.environ.get("VEK_FTP_REFUSE_FIRST_RETR"):
        def ftp_RETR(self, file):
            if not Handler.refused:
                Handler.refused = True
                self.respond("522 SSL connection failed: session reuse required")
                return
            return base.ftp_RETR(self, file)
    cut_done = False
    if cut:
        dtp_handler = CutDTPHandler
        def ftp_RETR(self, file):
            if Handler.cut_done:
                return base.ftp_RETR(self, file)
            Handler.cut_done = True
            with open(file, "rb") as f:
                head = f.read(cut)
            CutDTPHandler.cutting = True
            self.push_dtp_data(head, cmd="RETR")

if os.environ.get("VEK_FTP_CERT"):
    Handler.certfile = os.environ["VEK_FTP_CERT"]
    Handler.keyfile = os.environ["VEK_FTP_KEY"]
    Handler.tls_control_required = True
    Handler.tls_data_required = not os.environ.get("VEK_FTP_PLAIN_DATA")
Handler.authorizer = authorizer
if os.environ.get("VEK_FTP_MASQUERADE"):
    Handler.masquerade_address = os.environ["VEK_FTP_MASQUERADE"]
Handler.permit_foreign_addresses = False

server = FTPServer(("127.0.0.1", 0), Handler)
# Never outlive the test that started us.
timer = threading.Timer(lifetime, lambda: os._exit(3))
timer.daemon = True
timer.start()
print("LISTENING %d" % server.address[1], flush=True)
server.serve_forever()
)PY";

}  // namespace

// ---------------------------------------------------------------------------

TempDir::TempDir(const std::string& Prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + Prefix + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

bool WriteFile(const fs::path& Path, const std::string& Bytes) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  return static_cast<bool>(out);
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::uint16_t FreeLocalPorts(int Count, const std::string& Address) {
  // Below the kernel's range for ports it hands out itself (32768 and up):
  // the thousands of data connections other tests open meanwhile never
  // take one of these between the check and the peer's own bind.
  constexpr int kLow = 20000, kHigh = 32000;
  std::mt19937 pick(std::random_device{}());
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int first = kLow + static_cast<int>(pick() % static_cast<unsigned>(kHigh - kLow - Count));
    bool free = true;
    for (int port = first; port < first + Count && free; ++port) {
      std::uint16_t p = static_cast<std::uint16_t>(port);
      const int fd = BoundSocket(p, Address);
      free = fd >= 0;
      if (fd >= 0) ::close(fd);
    }
    if (free) return static_cast<std::uint16_t>(first);
  }
  return 0;
}

std::uint16_t ClosedLocalPort() {
  // Bound but never listening, and kept so for the whole test program: a
  // connect there is refused, and no other program can take the port.
  static std::uint16_t port = 0;
  static const int fd = BoundSocket(port);
  (void)fd;
  return port;
}

// ---------------------------------------------------------------------------
// PeerProcess

PeerProcess::~PeerProcess() { Stop(); }

bool PeerProcess::Start(const std::vector<std::string>& Argv, const fs::path& LogPath,
                        const std::vector<std::string>& Env, std::string& Error) {
  if (Argv.empty()) {
    Error = "no program given";
    return false;
  }
  if (::access(Argv[0].c_str(), X_OK) != 0) {
    Error = Argv[0] + " cannot be run: " + std::strerror(errno);
    return false;
  }
  log_ = LogPath;
  const int logFd = ::open(LogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) {
    Error = "cannot create " + LogPath.string() + ": " + std::strerror(errno);
    return false;
  }

  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);
  for (const std::string& e : Env) envStrings.push_back(e);
  std::vector<char*> argv, envp;
  for (const std::string& a : Argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) {
    Error = std::string("fork failed: ") + std::strerror(errno);
    ::close(logFd);
    return false;
  }
  if (pid == 0) {
    // Own process group, so that Stop reaches any children too.
    ::setpgid(0, 0);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(logFd, 1);
    ::dup2(logFd, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  pid_ = pid;
  return true;
}

bool PeerProcess::Running() {
  if (pid_ <= 0) return false;
  const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::string PeerProcess::Log() const { return log_.empty() ? std::string() : ReadFile(log_); }

bool PeerProcess::WaitForOutput(const std::string& Text, int TimeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    if (Log().find(Text) != std::string::npos) return true;
    if (!Running() || Clock::now() >= end) return Log().find(Text) != std::string::npos;
    Pause();
  }
}

bool PeerProcess::WaitForExit(int TimeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (Running()) {
    if (Clock::now() >= end) return false;
    Pause();
  }
  return true;
}

bool PeerProcess::WaitForPort(std::uint16_t Port, int TimeoutMs, const std::string& Address) {
  const auto end = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  sockaddr_storage addr{};
  const socklen_t len = LoopbackAddress(Address, Port, addr);
  if (len == 0) return false;
  for (;;) {
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    if (fd >= 0) ::close(fd);
    if (ok) return true;
    if (!Running() || Clock::now() >= end) return false;
    Pause();
  }
}

void PeerProcess::Stop(int GraceMs) {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  ::kill(pid_, SIGTERM);
  const auto end = Clock::now() + std::chrono::milliseconds(GraceMs);
  while (Running()) {
    if (Clock::now() >= end) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      pid_ = -1;
      break;
    }
    Pause();
  }
}

// ---------------------------------------------------------------------------
// PyFtpdPeer

PyFtpdPeer::PyFtpdPeer(std::string User, std::string Password, fs::path Root)
    : user_(std::move(User)), password_(std::move(Password)), root_(std::move(Root)) {}

PyFtpdPeer::~PyFtpdPeer() { Stop(); }

bool PyFtpdPeer::Start(std::string& Error, int LifetimeSeconds) {
  const fs::path script = work_.Path() / "pyftpd_peer.py";
  if (!WriteFile(script, kPyFtpdScript)) {
    Error = "cannot write " + script.string();
    return false;
  }
  // Debian's interpreter: the module is installed for it, another python3 may come first on PATH.
  const std::vector<std::string> argv = {"/usr/bin/python3", script.string()};
  const std::vector<std::string> env = {
      "VEK_FTP_USER=" + user_, "VEK_FTP_PASSWORD=" + password_, "VEK_FTP_ROOT=" + root_.string(),
      "VEK_FTP_LIFETIME=" + std::to_string(LifetimeSeconds), "PYTHONDONTWRITEBYTECODE=1",
      "VEK_FTP_CERT=" + certFile_, "VEK_FTP_KEY=" + keyFile_,
      std::string("VEK_FTP_PLAIN_DATA=") + (plainData_ ? "1" : ""),
      std::string("VEK_FTP_REFUSE_FIRST_RETR=") + (refuseFirstRetr_ ? "1" : ""),
      "VEK_FTP_CUT_FIRST_RETR=" + (cutFirstRetr_ > 0 ? std::to_string(cutFirstRetr_) : std::string()),
      "VEK_FTP_MASQUERADE=" + masquerade_};
  if (!process_.Start(argv, work_.Path() / "pyftpd.log", env, Error)) return false;
  if (!process_.WaitForOutput("LISTENING ", 15000)) {
    Error = "pyftpdlib did not start; its output:\n" + process_.Log();
    process_.Stop();
    return false;
  }
  const std::string log = process_.Log();
  const std::size_t at = log.find("LISTENING ");
  port_ = static_cast<std::uint16_t>(std::atoi(log.c_str() + at + 10));
  if (port_ == 0 || !process_.WaitForPort(port_, 10000)) {
    Error = "pyftpdlib does not accept connections; its output:\n" + process_.Log();
    process_.Stop();
    return false;
  }
  return true;
}

void PyFtpdPeer::Stop() { process_.Stop(); }

}  // namespace vektest
