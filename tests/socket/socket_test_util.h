// Loop driving and loopback helpers for the socket tests.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/ticks.h"
#include "socket/wsocket.h"

namespace sockettest {

// Bound of every wait; a passing test never reaches it.
constexpr int kWaitMs = 10000;

// Dispatches and sleeps in the loop until Done() holds or TimeoutMs passes.
inline bool RunUntil(const std::function<bool()>& Done, int TimeoutMs = kWaitMs) {
  plat::MessageLoop& Loop = plat::MessageLoop::Current();
  const std::uint32_t Deadline = plat::GetTickCount() + static_cast<std::uint32_t>(TimeoutMs);
  for (;;) {
    Loop.DispatchPending();
    if (Done()) return true;
    const std::uint32_t Now = plat::GetTickCount();
    if (plat::TickIsPast(Now, Deadline)) return false;
    Loop.WaitMessage(static_cast<int>(plat::TicksUntil(Now, Deadline)));
  }
}

// Everything queued now (and what it posts) is dispatched.
inline void DrainLoop() { plat::MessageLoop::Current().DispatchPending(); }

// A TCP port on 127.0.0.1 that was free a moment ago (bound once, then
// released): nobody listens on it.
inline int FreePort() {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr));
  socklen_t Len = sizeof(Addr);
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Addr), &Len);
  ::close(Fd);
  return ntohs(Addr.sin_port);
}
inline std::string ClosedPort() { return std::to_string(FreePort()); }

// The message of the ESocketException that Action raises.
inline std::string ExceptionText(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const ESocketException& E) {
    return E.what();
  }
  return "(no exception)";
}

// Bytes 0..Len-1 of a position-dependent pattern, so order errors show.
inline std::string Pattern(std::size_t Len, std::size_t Offset = 0) {
  std::string Bytes(Len, '\0');
  for (std::size_t I = 0; I < Len; ++I)
    Bytes[I] = static_cast<char>(((I + Offset) * 7 + (I + Offset) / 251) & 0xFF);
  return Bytes;
}

// Listener on 127.0.0.1 and an ephemeral port; each incoming connection is
// Dup'ed into Server() (looked up at that moment, so a test may replace or
// destroy the object in between). Returns the port text.
inline std::string ListenInto(TWSocket& Listener, const std::function<TCustomWSocket*()>& Server) {
  Listener.SetAddr("127.0.0.1");
  Listener.SetPort("0");
  Listener.OnSessionAvailable = [&Listener, Server](TCustomWSocket*, std::uint16_t) {
    Server()->Dup(Listener.Accept());
  };
  Listener.Listen();
  return Listener.GetLocalPort();
}

// Connects Client to Port on 127.0.0.1 and waits until it and the far end
// (ServerUp) are connected.
inline bool ConnectTo(TWSocket& Client, const std::string& Port, const std::function<bool()>& ServerUp) {
  Client.SetAddr("127.0.0.1");
  Client.SetPort(Port);
  Client.Connect();
  return RunUntil([&] { return ServerUp() && Client.State() == wsConnected; });
}

// A listening TWSocket on 127.0.0.1 with an ephemeral port whose first
// incoming connection is accepted and Dup'ed into Server.
template <class ServerT = TWSocket, class ClientT = TWSocket>
struct BasicPair {
  TWSocket Listener;
  ServerT Server;
  ClientT Client;
  std::string Port;
  bool Accepted = false;

  void Start() {
    Port = ListenInto(Listener, [this]() -> TCustomWSocket* {
      Accepted = true;
      return &Server;
    });
  }
  // Connects Client and waits until both ends are up.
  bool Connect() {
    Start();
    bool Connected = false;
    auto Previous = Client.OnSessionConnected;
    Client.OnSessionConnected = [&](TCustomWSocket* S, std::uint16_t E) {
      Connected = true;
      if (Previous) Previous(S, E);
    };
    Client.SetAddr("127.0.0.1");
    Client.SetPort(Port);
    Client.Connect();
    const bool Ok = RunUntil([&] { return Connected && Accepted; });
    Client.OnSessionConnected = Previous;
    DrainLoop();  // the first write notifications of both ends
    return Ok && Client.State() == wsConnected && Server.State() == wsConnected;
  }
};
using LoopbackPair = BasicPair<>;

// A small send buffer, so that the network takes only part of a large send.
// (Shrinking the receiver's buffer as well makes loopback crawl on window
// probes, so only the sender's is touched.)
inline void ShrinkSendBuffer(plat::SOCKET H) {
  const int Size = 4096;
  ::setsockopt(H, SOL_SOCKET, SO_SNDBUF, &Size, sizeof(Size));
}

}  // namespace sockettest
