// Message loop figures: dispatch rate of posted messages, one-byte round trips
// over loopback through the loop, and the CPU an idle wait costs.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include "platform/message_loop.h"
#include "platform/winsock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr plat::UINT kSocketMsg = plat::WM_USER + 1;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_platform: %s failed (error %d)\n", what, plat::WSAGetLastError());
    std::exit(1);
  }
}

void PostedDispatchRate() {
  plat::MessageLoop& loop = plat::MessageLoop::Current();
  long count = 0;
  plat::HWND window = loop.AllocateWindow([&](plat::UINT, plat::WPARAM, plat::LPARAM) { ++count; });
  constexpr long kBatches = 2000, kBatch = 1000;
  auto start = Clock::now();
  for (long b = 0; b < kBatches; ++b) {
    for (long i = 0; i < kBatch; ++i) loop.PostMessage(window, 1, 0, 0);
    loop.DispatchPending();
  }
  double batched = Seconds(start);

  // One at a time: every post wakes the descriptor and every dispatch empties it.
  long chained = 0;
  plat::HWND relay = 0;
  relay = loop.AllocateWindow([&](plat::UINT, plat::WPARAM, plat::LPARAM) {
    if (++chained < 500000) loop.PostMessage(relay, 1, 0, 0);
  });
  start = Clock::now();
  loop.PostMessage(relay, 1, 0, 0);
  loop.DispatchPending();
  double oneByOne = Seconds(start);
  std::printf("posted messages, batches of 1000:   %.2f M messages/s\n", static_cast<double>(count) / batched / 1e6);
  std::printf("posted messages, one re-posting:    %.2f M messages/s\n", static_cast<double>(chained) / oneByOne / 1e6);
  loop.DeallocateWindow(window);
  loop.DeallocateWindow(relay);
}

void LoopbackPingPong() {
  plat::MessageLoop& loop = plat::MessageLoop::Current();
  plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Check(plat::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0, "bind");
  Check(plat::listen(listener, 5) == 0, "listen");
  socklen_t len = sizeof sin;
  plat::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len);

  plat::SOCKET client = plat::socket(AF_INET, SOCK_STREAM, 0);
  plat::SOCKET server = plat::INVALID_SOCKET;
  long trips = 0;
  bool done = false;
  Clock::time_point start;
  constexpr double kRunSeconds = 2.0;

  plat::HWND serverWindow = 0;
  serverWindow = loop.AllocateWindow([&](plat::UINT, plat::WPARAM wParam, plat::LPARAM lParam) {
    unsigned event = plat::SelectEvent(lParam);
    if (event == plat::FD_ACCEPT) {
      server = plat::accept(listener, nullptr, nullptr);
      Check(server != plat::INVALID_SOCKET, "accept");
      Check(plat::WSAAsyncSelect(server, serverWindow, kSocketMsg, plat::FD_READ | plat::FD_CLOSE) == 0,
            "WSAAsyncSelect");
    } else if (event == plat::FD_READ && static_cast<plat::SOCKET>(wParam) == server) {
      char b;
      while (plat::recv(server, &b, 1, 0) == 1) plat::send(server, &b, 1, 0);  // echo
    }
  });
  plat::HWND clientWindow = loop.AllocateWindow([&](plat::UINT, plat::WPARAM, plat::LPARAM lParam) {
    unsigned event = plat::SelectEvent(lParam);
    char b = 'p';
    if (event == plat::FD_CONNECT) {
      Check(plat::SelectError(lParam) == 0, "connect");
      start = Clock::now();
      plat::send(client, &b, 1, 0);
    } else if (event == plat::FD_READ) {
      while (plat::recv(client, &b, 1, 0) == 1) {
        ++trips;
        if ((trips & 255) == 0 && Seconds(start) >= kRunSeconds) {
          done = true;
          return;
        }
        plat::send(client, &b, 1, 0);
      }
    }
  });
  Check(plat::WSAAsyncSelect(listener, serverWindow, kSocketMsg, plat::FD_ACCEPT) == 0, "WSAAsyncSelect");
  Check(plat::WSAAsyncSelect(client, clientWindow, kSocketMsg, plat::FD_READ | plat::FD_CONNECT | plat::FD_CLOSE) == 0,
        "WSAAsyncSelect");
  int one = 1;
  plat::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  int rc = plat::connect(client, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  Check(rc == 0 || plat::WSAGetLastError() == plat::WSAEWOULDBLOCK, "connect");
  while (!done) {
    loop.WaitMessage(1000);
    loop.DispatchPending();
  }
  std::printf("loopback one-byte ping-pong:        %.0f round trips/s\n", static_cast<double>(trips) / Seconds(start));
  plat::closesocket(client);
  plat::closesocket(server);
  plat::closesocket(listener);
  loop.DispatchPending();
  loop.DeallocateWindow(serverWindow);
  loop.DeallocateWindow(clientWindow);
}

void IdleWaitCpu() {
  plat::MessageLoop& loop = plat::MessageLoop::Current();
  loop.DispatchPending();
  double cpu = CpuSeconds();
  auto start = Clock::now();
  loop.WaitMessage(2000);
  std::printf("WaitMessage(2000) with nothing to do: %.3f s elapsed, %.4f CPU s\n", Seconds(start), CpuSeconds() - cpu);
}

// The quiet a silent server leaves behind: a peer that has half-closed (its
// end of the stream seen, our socket still open), unread data whose read
// notification is out, and a connection waiting on a listener nobody accepts.
// Each stays ready at the socket level; none may wake the wait.
void IdleWaitCpuWithReadySockets() {
  plat::MessageLoop& loop = plat::MessageLoop::Current();
  plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Check(plat::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0, "bind");
  Check(plat::listen(listener, 5) == 0, "listen");
  socklen_t len = sizeof sin;
  plat::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len);

  long notes = 0;
  plat::HWND window = loop.AllocateWindow([&](plat::UINT, plat::WPARAM, plat::LPARAM) { ++notes; });
  constexpr long kAll = plat::FD_READ | plat::FD_WRITE | plat::FD_CONNECT | plat::FD_CLOSE;
  plat::SOCKET halfClosed = plat::socket(AF_INET, SOCK_STREAM, 0);
  plat::SOCKET unread = plat::socket(AF_INET, SOCK_STREAM, 0);
  for (plat::SOCKET s : {halfClosed, unread}) {
    Check(plat::WSAAsyncSelect(s, window, kSocketMsg, kAll) == 0, "WSAAsyncSelect");
    int rc = plat::connect(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    Check(rc == 0 || plat::WSAGetLastError() == plat::WSAEWOULDBLOCK, "connect");
  }
  plat::SOCKET peers[2] = {plat::INVALID_SOCKET, plat::INVALID_SOCKET};
  for (plat::SOCKET& peer : peers) {
    for (int i = 0; i < 100 && peer == plat::INVALID_SOCKET; ++i) {
      loop.WaitMessage(10);
      loop.DispatchPending();
      peer = plat::accept(listener, nullptr, nullptr);
    }
    Check(peer != plat::INVALID_SOCKET, "accept");
  }
  plat::shutdown(peers[0], SHUT_WR);  // the end of the stream, the peer stays
  plat::send(peers[1], "unread", 6, 0);
  plat::SOCKET waiting = plat::socket(AF_INET, SOCK_STREAM, 0);  // queued on the listener
  Check(plat::WSAAsyncSelect(listener, window, kSocketMsg, plat::FD_ACCEPT) == 0, "WSAAsyncSelect");
  plat::connect(waiting, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  for (int i = 0; i < 20; ++i) {  // every notification out: connect, write, read, close, accept
    loop.WaitMessage(10);
    loop.DispatchPending();
  }
  long before = notes;
  double cpu = CpuSeconds();
  auto start = Clock::now();
  long wakes = 0;
  while (Seconds(start) < 2.0) {
    loop.WaitMessage(2000 - static_cast<int>(Seconds(start) * 1000));
    loop.DispatchPending();
    ++wakes;
  }
  std::printf("2 s wait, half-closed peer + unread data + unaccepted connection: %.4f CPU s, %ld wake-ups, %ld notifications\n",
              CpuSeconds() - cpu, wakes, notes - before);
  for (plat::SOCKET s : {halfClosed, unread, waiting, peers[0], peers[1], listener}) plat::closesocket(s);
  loop.DispatchPending();
  loop.DeallocateWindow(window);
}

}  // namespace

int main() {
  PostedDispatchRate();
  LoopbackPingPong();
  IdleWaitCpu();
  IdleWaitCpuWithReadySockets();
  return 0;
}
