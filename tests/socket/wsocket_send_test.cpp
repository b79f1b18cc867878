// The send queue over loopback: chunking, OnDataSent timing, slow peers,
// Flush and broken connections.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket_test_util.h"

using namespace sockettest;

namespace {

// Records the chunks offered to every send call.
struct RecordingSocket : TWSocket {
  std::vector<int> Sends;  // chunk lengths, in order
  int Calls = 0;
  int RawSend(const void* Data, int Len) override {
    ++Calls;
    Sends.push_back(Len);
    return TWSocket::RawSend(Data, Len);
  }
  int RawSendChunks(const iovec* Iov, int Count) override {
    ++Calls;
    for (int I = 0; I < Count; ++I) Sends.push_back(static_cast<int>(Iov[I].iov_len));
    return TWSocket::RawSendChunks(Iov, Count);
  }
};

// Counts what escapes to the loop's exception handler.
struct EscapeCounter {
  int Escaped = 0;
  EscapeCounter() {
    plat::MessageLoop::Current().SetExceptionHandler([this](std::exception_ptr) { ++Escaped; });
  }
  ~EscapeCounter() { plat::MessageLoop::Current().SetExceptionHandler(nullptr); }
};

}  // namespace

TEST(WSocketSend, FourThousandBytesGoOutInThreeChunksAndDataSentFollowsLater) {
  BasicPair<TWSocket, RecordingSocket> P;
  ASSERT_TRUE(P.Connect());
  int DataSent = 0;
  P.Client.OnDataSent = [&](TCustomWSocket*, std::uint16_t E) {
    EXPECT_EQ(E, 0);
    ++DataSent;
  };
  std::string Got;
  P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Got += S->ReceiveString(); };

  const std::string Data = Pattern(4000);
  P.Client.Sends.clear();
  P.Client.Calls = 0;
  EXPECT_EQ(P.Client.Send(Data.data(), 4000), 4000);
  EXPECT_EQ(DataSent, 0);  // never inside Send
  EXPECT_EQ(P.Client.Sends, (std::vector<int>{1514, 1514, 972}));
  EXPECT_EQ(P.Client.Calls, 1);  // gathered into one call
  ASSERT_EQ(P.Client.SendQueue().size(), 1u);  // the first two freed, the last kept
  EXPECT_EQ(P.Client.SendQueue().front()->Capacity(), 1514);
  EXPECT_EQ(P.Client.SendQueue().front()->WritePos(), 0);
  EXPECT_TRUE(P.Client.AllSent());

  ASSERT_TRUE(RunUntil([&] { return Got.size() == Data.size() && DataSent > 0; }));
  DrainLoop();
  EXPECT_EQ(DataSent, 1);
  EXPECT_EQ(Got, Data);

  // The kept chunk is written again from its start.
  P.Client.Sends.clear();
  EXPECT_EQ(P.Client.SendString("again"), 5);
  EXPECT_EQ(P.Client.Sends, std::vector<int>{5});
  EXPECT_EQ(P.Client.SendQueue().size(), 1u);
  ASSERT_TRUE(RunUntil([&] { return Got.size() == Data.size() + 5 && DataSent == 2; }));
}

TEST(WSocketSend, DataSentFiresOnceRightAfterConnecting) {
  LoopbackPair P;
  int ClientSent = 0, ServerSent = 0;
  P.Client.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++ClientSent; };
  P.Server.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++ServerSent; };
  ASSERT_TRUE(P.Connect());
  DrainLoop();
  EXPECT_EQ(ClientSent, 1);  // the network's first write notification
  EXPECT_EQ(ServerSent, 1);  // likewise for the Dup'ed handle
}

TEST(WSocketSend, ZeroLengthSendQueuesNothingAndLeavesAllSent) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  EXPECT_EQ(P.Client.Send(nullptr, 0), 0);
  EXPECT_TRUE(P.Client.SendQueue().empty());
  EXPECT_TRUE(P.Client.AllSent());
  P.Client.Flush();  // returns: nothing is pending
  EXPECT_EQ(P.Client.Send("abc", -3), 0);
  EXPECT_TRUE(P.Client.AllSent());
}

TEST(WSocketSend, SlowPeerGetsEveryByteInOrder) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  ShrinkSendBuffer(P.Client.HSocket());
  int DataSent = 0;
  P.Client.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++DataSent; };
  std::string Got;
  P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    char Buf[1000];
    const int N = S->Receive(Buf, sizeof(Buf));
    if (N > 0) Got.append(Buf, N);
  };

  const std::string Data = Pattern(4 << 20);
  EXPECT_EQ(P.Client.Send(Data.data(), static_cast<int>(Data.size())), static_cast<int>(Data.size()));
  EXPECT_FALSE(P.Client.AllSent());  // the network took only part
  EXPECT_GT(P.Client.SendQueue().size(), 1u);
  ASSERT_TRUE(RunUntil([&] { return Got.size() == Data.size() && DataSent > 0; }, 60000));
  DrainLoop();
  EXPECT_EQ(DataSent, 1);
  EXPECT_TRUE(Got == Data);
  EXPECT_EQ(P.Server.ReadCount(), static_cast<int>(Data.size()));
  EXPECT_EQ(P.Client.SendQueue().size(), 1u);
}

TEST(WSocketSend, FlushWaitsUntilTheQueueHasDrained) {
  for (const bool MultiThreaded : {false, true}) {
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Client.SetMultiThreaded(MultiThreaded);  // its own pump or the application's
    ShrinkSendBuffer(P.Client.HSocket());
    std::string Got;
    P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Got += S->ReceiveString(); };
    const std::string Data = Pattern(4 << 20, 3);
    P.Client.SendString(Data);
    ASSERT_FALSE(P.Client.AllSent());
    P.Client.Flush();  // the peer reads inside the loop that Flush runs
    EXPECT_TRUE(P.Client.AllSent());
    EXPECT_EQ(P.Client.State(), wsConnected);
    ASSERT_TRUE(RunUntil([&] { return Got.size() == Data.size(); }));
    EXPECT_TRUE(Got == Data);
  }
}

TEST(WSocketSend, PeerResetWhileSendingIsOneSessionClosedAndNoError) {
  EscapeCounter Escapes;
  // A raw peer, so that it can reset without sending its FIN first.
  const int ListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(ListenFd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)), 0);
  socklen_t Len = sizeof(Addr);
  ::getsockname(ListenFd, reinterpret_cast<sockaddr*>(&Addr), &Len);
  ASSERT_EQ(::listen(ListenFd, 1), 0);

  TWSocket Client;
  int Errors = 0;
  std::vector<std::uint16_t> Closed;
  Client.OnError = [&](TCustomWSocket*) { ++Errors; };
  Client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t E) { Closed.push_back(E); };
  Client.SetAddr("127.0.0.1");
  Client.SetPort(std::to_string(ntohs(Addr.sin_port)));
  Client.Connect();
  ASSERT_TRUE(RunUntil([&] { return Client.State() == wsConnected; }));
  const int PeerFd = ::accept(ListenFd, nullptr, nullptr);  // already established
  ASSERT_GE(PeerFd, 0);
  ShrinkSendBuffer(Client.HSocket());

  const std::string Data = Pattern(4 << 20);
  Client.SendString(Data);  // the peer reads nothing, so the queue backs up
  ASSERT_FALSE(Client.AllSent());
  const linger Reset{1, 0};
  ::setsockopt(PeerFd, SOL_SOCKET, SO_LINGER, &Reset, sizeof(Reset));
  ::close(PeerFd);
  ASSERT_TRUE(RunUntil([&] { return Client.State() == wsClosed; }));
  DrainLoop();
  EXPECT_EQ(Closed, std::vector<std::uint16_t>{10054});
  EXPECT_EQ(Errors, 0);
  EXPECT_EQ(Escapes.Escaped, 0);
  ::close(ListenFd);
}

// An owner that sends its next chunk from OnDataSent, as an upload does:
// one OnDataSent per Send, never inside it; every byte reaches the peer when
// the owner stops sending without closing, and before the end of the stream
// when it closes from the handler.
TEST(WSocketSend, ChunksPacedByDataSentAllArriveWhenTheOwnerStopsOrCloses) {
  LoopbackPair P;
  P.Client.SetLingerOnOff(wsLingerOff);  // a graceful close, not a reset
  ASSERT_TRUE(P.Connect());
  constexpr int Chunk = 1514;
  constexpr int Chunks = 300;
  const std::string Data = Pattern(static_cast<std::size_t>(Chunk) * Chunks);
  int Sent = 0;
  int DataSent = 0;
  int StopAt = 150;
  bool InSend = false;
  bool RaisedInSend = false;
  auto SendNext = [&] {
    InSend = true;
    P.Client.Send(Data.data() + static_cast<std::size_t>(Sent) * Chunk, Chunk);
    InSend = false;
    ++Sent;
  };
  P.Client.OnDataSent = [&](TCustomWSocket* S, std::uint16_t) {
    RaisedInSend |= InSend;
    ++DataSent;
    if (Sent == StopAt) return;  // the owner waits for something else
    if (Sent == Chunks) {
      S->Close();
      return;
    }
    SendNext();
  };
  std::string Got;
  std::vector<std::string> ServerEvents;
  P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    char Buf[4096];
    const int N = S->Receive(Buf, sizeof(Buf));
    if (N > 0) Got.append(Buf, static_cast<std::size_t>(N));
  };
  P.Server.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t E) {
    ServerEvents.push_back("closed " + std::to_string(E) + " at " + std::to_string(Got.size()));
  };

  SendNext();
  ASSERT_TRUE(RunUntil([&] { return Got.size() == static_cast<std::size_t>(StopAt) * Chunk; }));
  DrainLoop();
  EXPECT_EQ(DataSent, StopAt);
  StopAt = -1;
  SendNext();
  ASSERT_TRUE(RunUntil([&] { return P.Server.State() == wsClosed; }));
  EXPECT_EQ(Got.size(), Data.size());
  EXPECT_TRUE(Got == Data);
  EXPECT_EQ(DataSent, Chunks);
  EXPECT_FALSE(RaisedInSend);
  const std::vector<std::string> Expected = {"closed 0 at " + std::to_string(Data.size())};
  EXPECT_EQ(ServerEvents, Expected);
}
