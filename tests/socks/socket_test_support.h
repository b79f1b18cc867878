// Test support for the socket levels (on top of the socket tests' loop
// driving and free ports): a scripted TCP peer
// on its own thread, and a SOCKS proxy process from Debian's microsocks.
// Everything listens on 127.0.0.1 only and every wait is bounded in time.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/ticks.h"
#include "tests/socket/socket_test_util.h"

namespace vek_test {

using sockettest::FreePort;
using sockettest::kWaitMs;
using sockettest::RunUntil;

// Bytes waiting in the kernel for a descriptor (0 for an invalid one).
inline int PendingBytes(int Fd) {
  if (Fd < 0) return 0;
  int Count = 0;
  if (::ioctl(Fd, FIONREAD, &Count) != 0) return 0;
  return Count;
}

// A TCP peer on 127.0.0.1 that accepts one connection and runs a script
// on its own thread. The script talks through Read/Write; Notify wakes the
// test's loop (the test then sees Steps() grow) and WaitGo holds the script
// until the test calls Go(), so the test decides where reads end.
// After the script the connection stays open until CloseConnection or the
// destructor.
class ScriptedPeer {
 public:
  using Script = std::function<void(ScriptedPeer&)>;

  explicit ScriptedPeer(Script Body) : FLoop(&plat::MessageLoop::Current()) {
    FWindow = FLoop->AllocateWindow([](plat::UINT, plat::WPARAM, plat::LPARAM) {});
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int On = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &On, sizeof(On));
    sockaddr_in Sin{};
    Sin.sin_family = AF_INET;
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Sin.sin_port = 0;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&Sin), sizeof(Sin)) != 0 ||
        ::listen(FListen, 4) != 0) {
      AddFailure("cannot listen on 127.0.0.1");
      return;
    }
    socklen_t Len = sizeof(Sin);
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&Sin), &Len);
    FPort = ntohs(Sin.sin_port);
    FThread = std::thread([this, Body] { Run(Body); });
  }

  ~ScriptedPeer() {
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      FStop = true;
    }
    FCond.notify_all();
    // Wake a script blocked on a client that never comes or never speaks.
    if (FListen >= 0) ::shutdown(FListen, SHUT_RDWR);
    const int Conn = FConn.load();
    if (Conn >= 0) ::shutdown(Conn, SHUT_RDWR);
    if (FThread.joinable()) FThread.join();
    CloseConnection();
    if (FListen >= 0) ::close(FListen);
    FLoop->DeallocateWindow(FWindow);
  }

  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }

  // --- for the script (peer thread) ---

  // Exactly Count bytes; fewer on end of stream or when the wait runs out.
  std::string Read(std::size_t Count) {
    std::string Data;
    while (Data.size() < Count) {
      const std::string Chunk = ReadSome(Count - Data.size());
      if (Chunk.empty()) {
        AddFailure("peer: wanted " + std::to_string(Count) + " bytes, got " +
                   std::to_string(Data.size()));
        break;
      }
      Data += Chunk;
    }
    return Data;
  }

  // What arrives next, at most Max bytes; empty at end of stream or timeout.
  std::string ReadSome(std::size_t Max) {
    pollfd P{FConn, POLLIN, 0};
    if (FConn < 0 || ::poll(&P, 1, kWaitMs) <= 0) return std::string();
    std::string Data(Max, '\0');
    const ssize_t Got = ::recv(FConn, Data.data(), Max, 0);
    if (Got <= 0) return std::string();
    Data.resize(static_cast<std::size_t>(Got));
    return Data;
  }

  void Write(const std::string& Data) {
    std::size_t Done = 0;
    while (Done < Data.size()) {
      const ssize_t Sent = ::send(FConn, Data.data() + Done, Data.size() - Done, MSG_NOSIGNAL);
      if (Sent <= 0) {
        AddFailure("peer: send failed");
        return;
      }
      Done += static_cast<std::size_t>(Sent);
    }
  }

  void Expect(const std::string& Got, const std::string& Want, const std::string& What) {
    if (Got != Want) AddFailure("peer: unexpected " + What + ": " + Hex(Got) + ", wanted " + Hex(Want));
  }

  // Counts a step and wakes the test's loop. Data written before it is in the
  // client's receive queue by then: loopback delivers inside send.
  void Notify() {
    ++FSteps;
    FLoop->PostFromAnyThread(FWindow, plat::WM_USER + 100, 0, 0);
  }

  // Holds the script until the test calls Go() (or the peer is destroyed).
  void WaitGo() {
    std::unique_lock<std::mutex> Lock(FMutex);
    FCond.wait_for(Lock, std::chrono::milliseconds(kWaitMs), [this] { return FGo > 0 || FStop; });
    if (FGo > 0) --FGo;
  }

  // Ends the connection: the client sees the peer close.
  void CloseConnection() {
    const int Conn = FConn.exchange(-1);
    if (Conn >= 0) ::close(Conn);
  }

  // --- for the test (main thread) ---

  int Steps() const { return FSteps.load(); }
  bool Accepted() const { return FAccepted.load(); }
  bool Finished() const { return FFinished.load(); }
  void Go() {
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      ++FGo;
    }
    FCond.notify_all();
  }
  std::string Failure() const {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FFailure;
  }

  static std::string Hex(const std::string& Data) {
    static const char Digits[] = "0123456789abcdef";
    std::string Out;
    for (const unsigned char C : Data) {
      if (!Out.empty()) Out += ' ';
      Out += Digits[C >> 4];
      Out += Digits[C & 15];
    }
    return Out;
  }

 private:
  void Run(const Script& Body) {
    pollfd P{FListen, POLLIN, 0};
    if (::poll(&P, 1, kWaitMs) > 0) FConn = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (FConn >= 0) {
      FAccepted = true;
      const int On = 1;
      ::setsockopt(FConn, IPPROTO_TCP, TCP_NODELAY, &On, sizeof(On));
      Body(*this);
    }
    FFinished = true;
    Notify();
    {
      std::unique_lock<std::mutex> Lock(FMutex);
      FCond.wait_for(Lock, std::chrono::milliseconds(kWaitMs), [this] { return FStop; });
    }
  }

  void AddFailure(const std::string& Text) {
    std::lock_guard<std::mutex> Lock(FMutex);
    if (!FFailure.empty()) FFailure += "; ";
    FFailure += Text;
  }

  plat::MessageLoop* FLoop;
  plat::HWND FWindow = 0;
  int FListen = -1;
  std::atomic<int> FConn{-1};
  int FPort = 0;
  std::thread FThread;
  mutable std::mutex FMutex;
  std::condition_variable FCond;
  int FGo = 0;
  bool FStop = false;
  std::string FFailure;
  std::atomic<int> FSteps{0};
  std::atomic<bool> FAccepted{false};
  std::atomic<bool> FFinished{false};
};

// The script of an echo server: returns every byte until the client closes.
inline void EchoScript(ScriptedPeer& Peer) {
  for (;;) {
    const std::string Data = Peer.ReadSome(65536);
    if (Data.empty()) return;
    Peer.Write(Data);
  }
}

// microsocks on 127.0.0.1 and a free port, optionally with a user and
// password, stopped by PID. Started() is false (with Error()) when the
// program is missing or does not come up.
class Microsocks {
 public:
  Microsocks(const std::string& User = std::string(), const std::string& Password = std::string()) {
    for (int Attempt = 0; Attempt < 3 && !FStarted; ++Attempt) Start(User, Password);
  }
  ~Microsocks() { Stop(); }
  Microsocks(const Microsocks&) = delete;
  Microsocks& operator=(const Microsocks&) = delete;

  bool Started() const { return FStarted; }
  const std::string& Error() const { return FError; }
  int Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }

 private:
  void Start(const std::string& User, const std::string& Password) {
    FPort = FreePort();
    const std::string PortArg = std::to_string(FPort);
    std::vector<std::string> Args = {"microsocks", "-i", "127.0.0.1", "-p", PortArg};
    if (!User.empty()) Args.insert(Args.end(), {"-u", User, "-P", Password});
    FPid = ::fork();
    if (FPid == 0) {
      const int Null = ::open("/dev/null", O_WRONLY);
      if (Null >= 0) {
        ::dup2(Null, STDOUT_FILENO);
        ::dup2(Null, STDERR_FILENO);  // it logs every client
      }
      std::vector<char*> Argv;
      for (std::string& A : Args) Argv.push_back(A.data());
      Argv.push_back(nullptr);
      ::execvp("microsocks", Argv.data());
      ::_exit(127);
    }
    if (FPid < 0) {
      FError = "fork failed";
      return;
    }
    // microsocks says nothing when it listens: probe its port, and between
    // probes wait on the process itself, so that an early exit ends the wait.
    const int PidFd = static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0));
    const std::uint32_t Deadline = plat::GetTickCount() + kWaitMs;
    while (!plat::TickIsPast(plat::GetTickCount(), Deadline)) {
      int Status = 0;
      if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
        FError = "microsocks exited at start (status " + std::to_string(Status) + ")";
        FPid = -1;
        break;
      }
      if (Probe()) {
        FStarted = true;
        break;
      }
      pollfd P{PidFd, POLLIN, 0};
      ::poll(&P, PidFd >= 0 ? 1 : 0, 10);
    }
    if (PidFd >= 0) ::close(PidFd);
    if (!FStarted && FError.empty()) FError = "microsocks did not listen on port " + PortArg;
    if (!FStarted) Stop();
  }

  bool Probe() const {
    const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Sin{};
    Sin.sin_family = AF_INET;
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Sin.sin_port = htons(static_cast<std::uint16_t>(FPort));
    const bool Up = ::connect(Fd, reinterpret_cast<sockaddr*>(&Sin), sizeof(Sin)) == 0;
    ::close(Fd);
    return Up;
  }

  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    int Status = 0;
    ::waitpid(FPid, &Status, 0);
    FPid = -1;
  }

  pid_t FPid = -1;
  int FPort = 0;
  bool FStarted = false;
  std::string FError;
};

}  // namespace vek_test
