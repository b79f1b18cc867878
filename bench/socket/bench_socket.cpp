// Throughput of the socket layer over loopback: two TWSockets in one loop move
// 1 GiB (64 KiB Sends paced by OnDataSent, 64 KiB Receives in OnDataAvailable),
// beside a plain blocking copy of the same bytes (the machine's reference).
//
// bench_socket [MiB [runs]]   (default 1024 MiB, best of 3 runs each)
#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/socket/bench_loopback.h"
#include "platform/message_loop.h"
#include "socket/wsocket.h"

namespace {

constexpr int kPiece = 64 * 1024;

double Seconds(clockid_t Clock) {
  timespec T{};
  clock_gettime(Clock, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

struct Measure {
  double Wall = 0;
  double Cpu = 0;
};

struct Stopwatch {
  double Wall0 = Seconds(CLOCK_MONOTONIC);
  double Cpu0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  Measure Stop() const {
    return {Seconds(CLOCK_MONOTONIC) - Wall0, Seconds(CLOCK_PROCESS_CPUTIME_ID) - Cpu0};
  }
};

void Fail(const char* What) {
  std::fprintf(stderr, "bench_socket: %s\n", What);
  std::exit(1);
}

// Two TWSockets in one loop.
Measure RunWSocket(long long Total, const std::vector<char>& Piece) {
  plat::MessageLoop& Loop = plat::MessageLoop::Current();
  TWSocket Listener, Receiver, Sender;
  ConnectLoopback(Listener, Receiver, Sender, "bench_socket");

  long long Queued = 0, Received = 0;
  std::vector<char> Buffer(kPiece);
  bool Failed = false;
  auto SendNext = [&] {
    if (Queued >= Total) return;
    const int Len = static_cast<int>(std::min<long long>(kPiece, Total - Queued));
    if (Sender.Send(Piece.data(), Len) != Len) Failed = true;
    Queued += Len;
  };
  Sender.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { SendNext(); };
  Receiver.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    const int N = S->Receive(Buffer.data(), kPiece);
    if (N > 0) Received += N;
  };
  Receiver.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { Failed = true; };

  Stopwatch Watch;
  SendNext();
  while (Received < Total && !Failed) {
    Loop.DispatchPending();
    if (Received < Total && !Failed) Loop.WaitMessage(5000);
  }
  const Measure Result = Watch.Stop();
  if (Failed || Received != Total) Fail("transfer through TWSocket failed");
  Receiver.OnSessionClosed = nullptr;
  return Result;
}

// The reference: blocking send/recv of the same pieces over loopback.
Measure RunBlocking(long long Total, const std::vector<char>& Piece) {
  const int ListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(ListenFd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0) Fail("bind");
  socklen_t Len = sizeof(Addr);
  ::getsockname(ListenFd, reinterpret_cast<sockaddr*>(&Addr), &Len);
  ::listen(ListenFd, 1);
  const int Out = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(Out, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0) Fail("connect");
  const int In = ::accept(ListenFd, nullptr, nullptr);
  ::close(ListenFd);

  Stopwatch Watch;
  std::thread Writer([&] {
    long long Sent = 0;
    while (Sent < Total) {
      const std::size_t N = static_cast<std::size_t>(std::min<long long>(kPiece, Total - Sent));
      std::size_t Done = 0;
      while (Done < N) {
        const ssize_t R = ::send(Out, Piece.data() + Done, N - Done, MSG_NOSIGNAL);
        if (R <= 0) return;
        Done += static_cast<std::size_t>(R);
      }
      Sent += static_cast<long long>(N);
    }
  });
  std::vector<char> Buffer(kPiece);
  long long Received = 0;
  while (Received < Total) {
    const ssize_t R = ::recv(In, Buffer.data(), Buffer.size(), 0);
    if (R <= 0) break;
    Received += R;
  }
  Writer.join();
  const Measure Result = Watch.Stop();
  ::close(Out);
  ::close(In);
  if (Received != Total) Fail("blocking transfer failed");
  return Result;
}

void Print(const char* Name, long long Total, const Measure& M) {
  const double MiB = static_cast<double>(Total) / (1024.0 * 1024.0);
  const double GiB = MiB / 1024.0;
  std::printf("%-22s %9.1f MB/s  %7.3f CPU s/GiB  (%.2f s wall, %.2f s CPU)\n", Name,
              static_cast<double>(Total) / 1e6 / M.Wall, M.Cpu / GiB, M.Wall, M.Cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const long long MiB = argc > 1 ? std::atoll(argv[1]) : 1024;
  if (MiB <= 0) Fail("usage: bench_socket [MiB]");
  const int Runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const long long Total = MiB * 1024 * 1024;
  std::vector<char> Piece(kPiece);
  for (int I = 0; I < kPiece; ++I) Piece[static_cast<std::size_t>(I)] = static_cast<char>(I * 31 + 7);

  std::printf("moving %lld MiB over loopback in %d-byte pieces, best of %d runs\n", MiB, kPiece, Runs);
  // Best of several: the machine is shared, the slower runs measure the others.
  Measure Reference{1e300, 1e300}, Ours{1e300, 1e300};
  for (int Run = 0; Run < Runs; ++Run) {
    const Measure R = RunBlocking(Total, Piece);
    const Measure W = RunWSocket(Total, Piece);
    Reference = {std::min(Reference.Wall, R.Wall), std::min(Reference.Cpu, R.Cpu)};
    Ours = {std::min(Ours.Wall, W.Wall), std::min(Ours.Cpu, W.Cpu)};
  }
  Print("blocking send/recv", Total, Reference);
  Print("TWSocket pair, 1 loop", Total, Ours);
  std::printf("ratio TWSocket/blocking: %.2fx wall time, %.2fx CPU\n", Ours.Wall / Reference.Wall,
              Ours.Cpu / Reference.Cpu);
  return 0;
}
