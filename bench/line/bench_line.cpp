// Line mode over loopback: two TWSockets in one loop move text made of lines
// of a given length; the receiver takes each line with one Receive. Beside it
// the same bytes with line mode off (64 KiB Receives), the reference.
//
// bench_line [MiB [runs]]   (default 64 MiB, best of 3 runs; lines of 80 and 4 bytes)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/socket/bench_loopback.h"
#include "platform/message_loop.h"
#include "socket/wsocket.h"

namespace {

constexpr int kPiece = 64 * 1024;

double Now() {
  timespec T{};
  clock_gettime(CLOCK_MONOTONIC, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

double Cpu() {
  timespec T{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

void Fail(const char* What) {
  std::fprintf(stderr, "bench_line: %s\n", What);
  std::exit(1);
}

struct Measure {
  double Wall = 1e300;
  double Cpu = 1e300;
  long long Lines = 0;
};

// A 64 KiB piece of lines of LineLen bytes, CR LF included; Total is a
// multiple of it.
std::vector<char> MakePiece(int LineLen) {
  std::vector<char> Piece;
  while (static_cast<int>(Piece.size()) + LineLen <= kPiece) {
    for (int I = 0; I < LineLen - 2; ++I) Piece.push_back(static_cast<char>('a' + I % 26));
    Piece.push_back('\r');
    Piece.push_back('\n');
  }
  return Piece;
}

Measure Run(long long Pieces, const std::vector<char>& Piece, bool LineMode) {
  plat::MessageLoop& Loop = plat::MessageLoop::Current();
  TWSocket Listener, Receiver, Sender;
  ConnectLoopback(Listener, Receiver, Sender, "bench_line");
  Receiver.SetLineMode(LineMode);

  const long long Total = Pieces * static_cast<long long>(Piece.size());
  long long Queued = 0, Received = 0, Lines = 0;
  std::vector<char> Buffer(kPiece);
  bool Failed = false;
  auto SendNext = [&] {
    if (Queued >= Total) return;
    Sender.Send(Piece.data(), static_cast<int>(Piece.size()));
    Queued += static_cast<long long>(Piece.size());
  };
  Sender.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { SendNext(); };
  Receiver.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    const int N = S->Receive(Buffer.data(), kPiece);
    if (N > 0) {
      Received += N;
      ++Lines;
    }
  };
  Receiver.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { Failed = true; };

  const double Wall0 = Now(), Cpu0 = Cpu();
  SendNext();
  while (Received < Total && !Failed) {
    Loop.DispatchPending();
    if (Received < Total && !Failed) Loop.WaitMessage(5000);
  }
  Measure M{Now() - Wall0, Cpu() - Cpu0, Lines};
  if (Failed || Received != Total) Fail("transfer failed");
  Receiver.OnSessionClosed = nullptr;
  return M;
}

}  // namespace

int main(int argc, char** argv) {
  const long long MiB = argc > 1 ? std::atoll(argv[1]) : 64;
  const int Runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (MiB <= 0) Fail("usage: bench_line [MiB [runs]]");
  std::printf("moving about %lld MiB of lines over loopback, best of %d runs\n", MiB, Runs);
  for (const int LineLen : {80, 4}) {
    const std::vector<char> Piece = MakePiece(LineLen);
    const long long Pieces = MiB * 1024 * 1024 / static_cast<long long>(Piece.size());
    const double Bytes = static_cast<double>(Pieces) * static_cast<double>(Piece.size());
    Measure Raw, Lines;
    // Best of several: the machine is shared, the slower runs measure the others.
    for (int R = 0; R < Runs; ++R) {
      const Measure A = Run(Pieces, Piece, false);
      const Measure B = Run(Pieces, Piece, true);
      Raw = {std::min(Raw.Wall, A.Wall), std::min(Raw.Cpu, A.Cpu), A.Lines};
      Lines = {std::min(Lines.Wall, B.Wall), std::min(Lines.Cpu, B.Cpu), B.Lines};
    }
    std::printf("lines of %2d bytes: line mode off %8.1f MB/s | line mode on %8.1f MB/s, %6.2f M lines/s"
                " (%.2f s wall, %.2f s CPU)\n",
                LineLen, Bytes / 1e6 / Raw.Wall, Bytes / 1e6 / Lines.Wall,
                static_cast<double>(Lines.Lines) / 1e6 / Lines.Wall, Lines.Wall, Lines.Cpu);
  }
  return 0;
}
