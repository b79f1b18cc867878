// Shared by the platform tests: a window that records what it receives, and
// pumping the thread's loop until something happened or a deadline passed.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <netinet/in.h>

#include "platform/message_loop.h"
#include "platform/ticks.h"
#include "platform/winsock.h"

namespace plat::test {

constexpr UINT kSocketMsg = WM_USER + 1;

struct Note {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

class Recorder {
 public:
  Recorder() {
    window = MessageLoop::Current().AllocateWindow([this](UINT msg, WPARAM wParam, LPARAM lParam) {
      notes.push_back({msg, wParam, lParam});
      if (onNote) onNote(notes.back());
    });
  }
  ~Recorder() { MessageLoop::Current().DeallocateWindow(window); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Socket notifications for s carrying this event bit.
  int Count(SOCKET s, unsigned event) const {
    int n = 0;
    for (const Note& note : notes) {
      if (note.msg == kSocketMsg && note.wParam == static_cast<WPARAM>(s) && (SelectEvent(note.lParam) & event)) ++n;
    }
    return n;
  }
  const Note* Last(SOCKET s, unsigned event) const {
    for (auto it = notes.rbegin(); it != notes.rend(); ++it) {
      if (it->msg == kSocketMsg && it->wParam == static_cast<WPARAM>(s) && (SelectEvent(it->lParam) & event)) return &*it;
    }
    return nullptr;
  }

  HWND window = 0;
  std::vector<Note> notes;
  std::function<void(const Note&)> onNote;
};

// Dispatches the thread's loop until done() holds (true) or timeoutMs pass (false).
// One message at a time, so that a loop flooded with notifications (a fault
// under test) still ends at the deadline.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  MessageLoop& loop = MessageLoop::Current();
  const std::uint32_t deadline = GetTickCount() + static_cast<std::uint32_t>(timeoutMs);
  for (;;) {
    while (loop.DispatchOne()) {
      if (TickIsPast(GetTickCount(), deadline)) return done();
    }
    if (done()) return true;
    std::uint32_t now = GetTickCount();
    if (TickIsPast(now, deadline)) return false;
    loop.WaitMessage(static_cast<int>(TicksUntil(now, deadline)));
  }
}

// Dispatches everything that arrives during timeoutMs.
inline void PumpFor(int timeoutMs) { PumpUntil([] { return false; }, timeoutMs); }

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sin;
}

// A listening TCP socket on 127.0.0.1 with a port chosen by the system.
inline SOCKET Listener(std::uint16_t& port) {
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin = Loopback(0);
  if (s == INVALID_SOCKET || plat::bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      plat::listen(s, 5) != 0) {
    return INVALID_SOCKET;
  }
  socklen_t len = sizeof sin;
  plat::getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len);
  port = ntohs(sin.sin_port);
  return s;
}

// A port on 127.0.0.1 that nothing listens on (bound, then released).
inline std::uint16_t ClosedPort() {
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin = Loopback(0);
  plat::bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  plat::getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len);
  plat::closesocket(s);
  return ntohs(sin.sin_port);
}

inline int ConnectTo(SOCKET s, std::uint16_t port) {
  sockaddr_in sin = Loopback(port);
  return plat::connect(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
}

// A connected pair over 127.0.0.1, neither end registered for notifications:
// `client` connected to `listener`, `server` the accepted end.
inline bool ConnectedPair(SOCKET& listener, SOCKET& client, SOCKET& server) {
  std::uint16_t port = 0;
  listener = Listener(port);
  client = plat::socket(AF_INET, SOCK_STREAM, 0);
  if (listener == INVALID_SOCKET || client == INVALID_SOCKET) return false;
  ConnectTo(client, port);
  server = INVALID_SOCKET;
  return PumpUntil([&] {
    if (server == INVALID_SOCKET) server = plat::accept(listener, nullptr, nullptr);
    return server != INVALID_SOCKET;
  });
}

}  // namespace plat::test
