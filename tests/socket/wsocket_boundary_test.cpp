// Where one session ends and the next begins, and handlers that destroy the
// socket in the middle of an operation.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "socket_test_util.h"

using namespace sockettest;

TEST(WSocketBoundary, RaiserThatDestroysTheSocketAndTakesNothing) {
  // Like the proxy level after a failed negotiation: the raiser runs a
  // handler that ends the socket, and answers that it took no data.
  struct Destroying : TWSocket {
    std::function<void()> Hook;
    bool DoDataAvailable(std::uint16_t) override {
      Hook();
      return false;
    }
  };
  TWSocket Listener;
  auto Victim = std::make_unique<Destroying>();
  const std::string Port = ListenInto(Listener, [&]() -> TCustomWSocket* { return Victim.get(); });
  TWSocket Client;
  ASSERT_TRUE(ConnectTo(Client, Port, [&] { return Victim && Victim->State() == wsConnected; }));
  bool Destroyed = false;
  Victim->Hook = [&] {
    Destroyed = true;
    Victim.reset();
  };
  Client.SendString("proxy reply");
  ASSERT_TRUE(RunUntil([&] { return Destroyed; }));
  DrainLoop();
}

TEST(WSocketBoundary, ErrorHandlerThatDestroysTheSocket) {
  // An empty lookup name reports an error, then would raise OnDnsLookupDone.
  auto S = std::make_unique<TWSocket>();
  int Done = 0;
  S->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { ++Done; };
  S->OnError = [&](TCustomWSocket*) { S.reset(); };
  S->DnsLookup("");
  EXPECT_FALSE(S);
  EXPECT_EQ(Done, 0);

  S = std::make_unique<TWSocket>();
  S->OnError = [&](TCustomWSocket*) { S.reset(); };
  S->ReverseDnsLookup("");
  EXPECT_FALSE(S);

  // A reset reported by a send closes the handle and the state first.
  S = std::make_unique<TWSocket>();
  S->OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState) { S.reset(); };
  S->OnError = [&](TCustomWSocket*) { ADD_FAILURE() << "after destruction"; };
  S->SendString("not connected");
  EXPECT_FALSE(S);
}

TEST(WSocketBoundary, DupedSessionDoesNotInheritTheBytesTheLastOneLeftQueued) {
  TWSocket Listener;
  TWSocket Server;
  const std::string Port = ListenInto(Listener, [&]() -> TCustomWSocket* { return &Server; });
  auto ServerUp = [&] { return Server.State() == wsConnected; };

  // A first peer that reads nothing: most of a large send stays queued.
  TWSocket Stalled;
  ASSERT_TRUE(ConnectTo(Stalled, Port, ServerUp));
  Stalled.Pause();
  ShrinkSendBuffer(Server.HSocket());
  const std::string Old(4 << 20, 'o');
  Server.Send(Old.data(), static_cast<int>(Old.size()));
  ASSERT_FALSE(Server.AllSent());
  Server.Close();
  EXPECT_EQ(Server.State(), wsClosed);

  // The next session on the same object carries only its own bytes.
  TWSocket Fresh;
  std::string Got;
  bool FreshClosed = false;
  Fresh.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Got += S->ReceiveString(); };
  Fresh.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { FreshClosed = true; };
  ASSERT_TRUE(ConnectTo(Fresh, Port, ServerUp));
  EXPECT_TRUE(Server.AllSent());
  Server.SendString("new");
  Server.OnDataSent = [&](TCustomWSocket* S, std::uint16_t) {
    S->OnDataSent = nullptr;
    S->Shutdown(1);
  };
  ASSERT_TRUE(RunUntil([&] { return FreshClosed; }));
  ASSERT_EQ(Got.size(), 3u);  // not megabytes of the old session
  EXPECT_EQ(Got, "new");
}

TEST(WSocketBoundary, ReadCountWrapsPastTwoGigabytes) {
  struct NearlyFull : TWSocket {
    void SetReadCount(int Value) { FReadCount = Value; }
  };
  LoopbackPair Pair;
  ASSERT_TRUE(Pair.Connect());
  NearlyFull Receiver;
  // The same connection, seen through a socket whose counter is about to wrap.
  Pair.Server.Pause();
  const plat::SOCKET H = Pair.Server.HSocket();
  bool Got = false;
  Receiver.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    char Buf[16];
    if (S->Receive(Buf, sizeof(Buf)) > 0) Got = true;
  };
  Receiver.Dup(::dup(H));
  Receiver.SetReadCount(INT_MAX - 1);
  Pair.Client.SendString("0123456789");
  ASSERT_TRUE(RunUntil([&] { return Got; }));
  EXPECT_EQ(Receiver.ReadCount(), INT_MIN + 8);
}
