// Line mode against a scripted peer on 127.0.0.1: lines across read
// boundaries, partial reads in the handler, the tail at close, switching the
// mode, the line-length limit; and the synchronous waits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket/wsocket.h"
#include "tests/socks/socket_test_support.h"

using vek_test::RunUntil;
using vek_test::ScriptedPeer;

namespace {

// A line-mode socket connected to Peer; each OnDataAvailable reads at most
// ReadSize bytes and logs what it got.
struct LineClient {
  TWSocket Sock;
  std::vector<std::string> Events;  // bytes received in each OnDataAvailable
  std::vector<std::string> Log;     // events in order
  int ReadSize = 100;
  bool Closed = false;
  std::function<void()> InHandler;  // runs after each read in the handler

  explicit LineClient(const ScriptedPeer& Peer) {
    Sock.SetLineMode(true);
    Sock.SetAddr("127.0.0.1");
    Sock.SetPort(Peer.PortText());
    Sock.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) {
      std::string Buffer(static_cast<std::size_t>(ReadSize), '\0');
      const int Got = Sock.Receive(Buffer.data(), ReadSize);
      Buffer.resize(Got > 0 ? static_cast<std::size_t>(Got) : 0);
      Events.push_back(Buffer);
      Log.push_back("data:" + Buffer);
      if (InHandler) InHandler();
    };
    Sock.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) {
      Log.push_back("closed");
      Closed = true;
    };
  }

  std::string All() const {
    std::string Out;
    for (const std::string& E : Events) Out += E;
    return Out;
  }
};

// Sends each chunk as one write, waiting until the client has read the
// previous one, so that each chunk is one read on the client's side.
void SendChunks(ScriptedPeer& P, const std::vector<std::string>& Chunks) {
  for (const std::string& Chunk : Chunks) {
    P.Write(Chunk);
    P.Notify();
    P.WaitGo();
  }
}

// The test's half of SendChunks.
void ReadChunks(ScriptedPeer& Peer, LineClient& C, int Count) {
  for (int Step = 1; Step <= Count; ++Step) {
    ASSERT_TRUE(RunUntil([&] {
      return Peer.Steps() >= Step && vek_test::PendingBytes(C.Sock.HSocket()) == 0;
    })) << "chunk " << Step << " " << Peer.Failure();
    Peer.Go();
  }
}

}  // namespace

TEST(LineMode, TwoLinesInOneReadAreTwoEvents) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"A\r\nB\r\n"}); });
  LineClient C(Peer);
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"A\r\n", "B\r\n"}));
  EXPECT_EQ(C.Sock.ReadCount(), 6);  // each byte once
}

TEST(LineMode, TerminatorSplitAcrossReadsEndsOneLine) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"A\r", "\nB", "C\r\n"}); });
  LineClient C(Peer);
  C.Sock.Connect();
  ReadChunks(Peer, C, 3);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"A\r\n", "BC\r\n"}));
}

TEST(LineMode, LongerTerminatorSplitAcrossThreeReads) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"one<E", "N", "D>two<END>"}); });
  LineClient C(Peer);
  C.Sock.SetLineEnd("<END>");
  C.Sock.Connect();
  ReadChunks(Peer, C, 3);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"one<END>", "two<END>"}));
}

TEST(LineMode, HandlerReadingTwoBytesAtATimeIsCalledUntilTheLineIsTaken) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"ABCDE\r\nXY\r\n"}); });
  LineClient C(Peer);
  C.ReadSize = 2;
  std::vector<int> LineLengths;
  C.InHandler = [&] { LineLengths.push_back(C.Sock.LineLength()); };
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"AB", "CD", "E\r", "\n", "XY", "\r\n"}));
  EXPECT_EQ(LineLengths, (std::vector<int>{5, 3, 1, 0, 2, 0}));
}

TEST(LineMode, ReceiveStringTakesTheLine) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"first\r\nsecond\r\n"}); });
  LineClient C(Peer);
  std::vector<std::string> Lines;
  C.Sock.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { Lines.push_back(C.Sock.ReceiveString()); };
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  EXPECT_EQ(Lines, (std::vector<std::string>{"first\r\n", "second\r\n"}));
}

TEST(LineMode, UnterminatedTailIsTheLastLineBeforeTheClose) {
  ScriptedPeer Peer([](ScriptedPeer& P) {
    SendChunks(P, {"line\r\ntail"});
    P.CloseConnection();
  });
  LineClient C(Peer);
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  ASSERT_TRUE(RunUntil([&] { return C.Closed; }));
  EXPECT_EQ(C.Log, (std::vector<std::string>{"data:line\r\n", "data:tail", "closed"}));
}

TEST(LineMode, EmptyLineEndBehavesAsLineModeOff) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"A\r\nB\r\n"}); });
  LineClient C(Peer);
  C.Sock.SetLineEnd("");
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"A\r\nB\r\n"}));
  EXPECT_EQ(C.Sock.LineCount(), 0);
}

TEST(LineMode, SwitchingOffInsideTheHandlerDeliversTheRestAsOrdinaryData) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"AAAA\r\nB\r\nC"}); });
  LineClient C(Peer);
  C.ReadSize = 2;
  C.InHandler = [&] { C.Sock.SetLineMode(false); };
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  ASSERT_TRUE(RunUntil([&] { return C.All().size() >= 10; })) << C.All();
  ASSERT_FALSE(C.Events.empty());
  EXPECT_EQ(C.Events[0], "AA");
  EXPECT_EQ(C.All(), "AAAA\r\nB\r\nC");  // in order, nothing lost or repeated
  EXPECT_EQ(C.Sock.LineCount(), 0);
  EXPECT_EQ(C.Sock.ReadCount(), 10);
}

TEST(LineMode, SwitchingOnAgainWithAPartialLineBufferedWaitsForTheRest) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"AB", "C\r\n"}); });
  LineClient C(Peer);
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] {
    return Peer.Steps() >= 1 && vek_test::PendingBytes(C.Sock.HSocket()) == 0;
  }));
  ASSERT_EQ(C.Sock.LineCount(), 2);
  // Off and on again with "AB" buffered: both notifications must end
  // without a line and without spinning.
  C.Sock.SetLineMode(false);
  C.Sock.SetLineMode(true);
  plat::MessageLoop::Current().DispatchPending();
  EXPECT_TRUE(C.Events.empty());
  EXPECT_EQ(C.Sock.LineCount(), 2);
  ReadChunks(Peer, C, 2);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"ABC\r\n"}));
}

TEST(LineMode, SwitchingOffWithAPartialLineBufferedHandsItOut) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"partial"}); });
  LineClient C(Peer);
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] {
    return Peer.Steps() >= 1 && vek_test::PendingBytes(C.Sock.HSocket()) == 0;
  }));
  EXPECT_TRUE(C.Events.empty());
  C.Sock.SetLineMode(false);
  ASSERT_TRUE(RunUntil([&] { return C.All() == "partial"; }));
  Peer.Go();
}

TEST(LineMode, ChangingLineEndRescansTheBufferedBytes) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"x;y;z"}); });
  LineClient C(Peer);
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] {
    return Peer.Steps() >= 1 && vek_test::PendingBytes(C.Sock.HSocket()) == 0;
  }));
  C.Sock.SetLineEnd(";");
  ASSERT_TRUE(RunUntil([&] { return C.Events.size() >= 2; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"x;", "y;"}));
  EXPECT_EQ(C.Sock.LineCount(), 1);
  Peer.Go();
}

TEST(LineMode, LineLongerThanTheLimitIsReportedAndHandedOutInPieces) {
  const std::string Long(25, 'L');
  ScriptedPeer Peer([&Long](ScriptedPeer& P) { SendChunks(P, {Long.substr(0, 12), Long.substr(12) + "\r\nok\r\n"}); });
  LineClient C(Peer);
  C.Sock.SetLineLimit(8);
  int TooLong = 0;
  int MostBuffered = 0;
  C.Sock.OnLineTooLong = [&](TCustomWSocket*) { ++TooLong; };
  C.InHandler = [&] { MostBuffered = std::max(MostBuffered, C.Sock.LineCount()); };
  C.Sock.Connect();
  ReadChunks(Peer, C, 2);
  EXPECT_EQ(C.All(), Long + "\r\nok\r\n");  // nothing lost, in order
  EXPECT_GE(TooLong, 1);
  EXPECT_LE(MostBuffered, 8);
  ASSERT_GE(C.Events.size(), 2u);
  EXPECT_EQ(C.Events.back(), "ok\r\n");
  for (const std::string& E : C.Events) EXPECT_LE(E.size(), 8u) << E;
}

TEST(LineMode, ALineOfExactlyTheLimitIsNotTooLong) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"123456\r\n"}); });
  LineClient C(Peer);
  C.Sock.SetLineLimit(8);
  int TooLong = 0;
  C.Sock.OnLineTooLong = [&](TCustomWSocket*) { ++TooLong; };
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  EXPECT_EQ(TooLong, 0);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"123456\r\n"}));
}

TEST(LineMode, WithoutAHandlerLinesAreDroppedAndTheSessionGoesOn) {
  ScriptedPeer Peer([](ScriptedPeer& P) {
    SendChunks(P, {"a\r\nb\r\nc"});
    P.CloseConnection();
  });
  LineClient C(Peer);
  C.Sock.OnDataAvailable = nullptr;
  C.Sock.Connect();
  ReadChunks(Peer, C, 1);
  ASSERT_TRUE(RunUntil([&] { return C.Closed; }));
  EXPECT_EQ(C.Sock.State(), wsClosed);
}

TEST(LineMode, BytesOfAClosedSessionNeverReachTheNext) {
  // No OnSessionClosed: the tail of the first session is not handed out,
  // and must not be taken for the start of the next session's first line.
  ScriptedPeer First([](ScriptedPeer& P) {
    SendChunks(P, {"stale"});
    P.CloseConnection();
  });
  LineClient C(First);
  C.Sock.OnSessionClosed = nullptr;
  C.Sock.Connect();
  ReadChunks(First, C, 1);
  ASSERT_TRUE(RunUntil([&] { return C.Sock.State() == wsClosed; }));
  EXPECT_TRUE(C.Sock.LineMode());  // survives the close
  ScriptedPeer Second([](ScriptedPeer& P) { SendChunks(P, {"fresh\r\n"}); });
  C.Sock.SetAddr("127.0.0.1");
  C.Sock.SetPort(Second.PortText());
  C.Sock.Connect();
  ReadChunks(Second, C, 1);
  EXPECT_EQ(C.Events, (std::vector<std::string>{"fresh\r\n"}));
}

TEST(LineMode, HandlerThatClosesMidLineEndsTheHandOut) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"A\r\nB\r\nC\r\n"}); });
  LineClient C(Peer);
  C.Sock.OnSessionClosed = nullptr;
  C.ReadSize = 1;
  C.InHandler = [&] { C.Sock.Close(); };
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Sock.State() == wsClosed; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"A"}));
  EXPECT_EQ(C.Sock.LineCount(), 0);
}

TEST(LineMode, HandlerRunningTheLoopAgainGetsEachLineOnceInOrder) {
  ScriptedPeer Peer([](ScriptedPeer& P) { SendChunks(P, {"1\r\n", "2\r\n3\r\n", "4\r\n"}); });
  LineClient C(Peer);
  bool Nested = false;
  // While the first line is handed out, the handler waits in the loop for
  // the next chunk: its lines arrive inside, as nested events.
  C.InHandler = [&] {
    if (Nested || C.Events.size() != 1) return;
    Nested = true;
    Peer.Go();
    EXPECT_TRUE(RunUntil([&] {
      return Peer.Steps() >= 2 && vek_test::PendingBytes(C.Sock.HSocket()) == 0;
    }));
  };
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return Peer.Steps() >= 2 && C.Events.size() >= 3; }));
  Peer.Go();
  ASSERT_TRUE(RunUntil([&] { return C.Events.size() >= 4; }));
  Peer.Go();
  EXPECT_EQ(C.Events, (std::vector<std::string>{"1\r\n", "2\r\n", "3\r\n", "4\r\n"}));
}

TEST(LineMode, SocksRepliesAreNotTakenForLines) {
  auto Bytes = [](std::initializer_list<int> V) {
    std::string Out;
    for (const int B : V) Out += static_cast<char>(B);
    return Out;
  };
  // A reply holding the bytes of CR LF, then two lines in the same read.
  ScriptedPeer Proxy([&Bytes](ScriptedPeer& P) {
    P.Read(3);
    P.Write(Bytes({5, 0}));
    P.Read(5 + 12 + 2);
    P.Write(Bytes({5, 0, 0, 1, 13, 10, 13, 10, 0x0d, 0x0a}) + "one\r\ntwo\r\npart");
    P.Notify();
  });
  LineClient C(Proxy);
  C.Sock.SetSocksServer("127.0.0.1");
  C.Sock.SetSocksPort(Proxy.PortText());
  C.Sock.SetAddr("dest.example");
  C.Sock.SetPort("80");
  bool Connected = false;
  C.Sock.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t E) {
    Connected = E == 0;
    C.Log.push_back("connected");
  };
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Events.size() >= 2; })) << Proxy.Failure();
  EXPECT_TRUE(Connected);
  EXPECT_EQ(C.Log, (std::vector<std::string>{"connected", "data:one\r\n", "data:two\r\n"}));
  EXPECT_EQ(C.Sock.SocksBoundAddr(), "13.10.13.10");
  EXPECT_EQ(C.Sock.LineCount(), 4);
}

// ---------------------------------------------------------------------------
// Synchronous waits

TEST(SyncWait, RunAndWaitReturnsWhenAHandlerSetsTheFlag) {
  ScriptedPeer Peer([](ScriptedPeer& P) { P.Write("hi\r\n"); });
  TWSocket Sock;
  bool Done = true;
  std::string Line;
  Sock.SetLineMode(true);
  Sock.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) {
    Line = Sock.ReceiveString();
    Done = true;
  };
  Sock.SetAddr("127.0.0.1");
  Sock.SetPort(Peer.PortText());
  Sock.SetTimeout(vek_test::kWaitMs);
  EXPECT_EQ(Sock.RunAndWait([&] { Sock.Connect(); }, Done), 0);
  EXPECT_EQ(Line, "hi\r\n");
}

TEST(SyncWait, WaitUntilDoneGivesUpAfterTheTimeout) {
  TWSocket Sock;
  bool Done = false;
  Sock.SetTimeout(1);
  EXPECT_EQ(Sock.WaitUntilDone(Done), WSOCKET_WAIT_TIMEOUT);
  EXPECT_FALSE(Done);
}
