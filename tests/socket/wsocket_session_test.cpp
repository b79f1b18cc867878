// Sessions over loopback: connect, listen/accept/Dup, closing, the error
// routines, the read loop and UDP.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "socket_test_util.h"

using namespace sockettest;

namespace {

std::string Transition(TSocketState From, TSocketState To) {
  return std::string(SocketStateName(From)) + "->" + SocketStateName(To);
}

// Records every event of a socket, in order, as text.
struct EventLog {
  std::vector<std::string> Lines;
  void Attach(TCustomWSocket& S) {
    S.OnChangeState = [this](TCustomWSocket*, TSocketState From, TSocketState To) {
      Lines.push_back(Transition(From, To));
    };
    S.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t E) {
      Lines.push_back("connected " + std::to_string(E));
    };
    S.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) {
      Lines.push_back("closed " + std::to_string(E));
    };
  }
  int Count(const std::string& Line) const {
    int N = 0;
    for (const auto& L : Lines) N += L == Line;
    return N;
  }
};


}  // namespace

TEST(WSocketConnect, RefusedConnectionGivesTheFullEventSequenceAndResets) {
  TWSocket S;
  EventLog Log;
  Log.Attach(S);
  S.SetLingerOnOff(wsLingerOff);
  S.SetLingerTimeout(7);
  S.SetProto("6");
  S.SetAddr("127.0.0.1");
  S.SetPort(ClosedPort());
  S.Connect();
  EXPECT_EQ(S.State(), wsConnecting);
  ASSERT_TRUE(RunUntil([&] { return S.State() == wsClosed; }));
  DrainLoop();

  const std::vector<std::string> Expected = {
      Transition(wsClosed, wsOpened),      Transition(wsOpened, wsConnecting),
      Transition(wsConnecting, wsConnected), "connected 10061",
      Transition(wsConnected, wsClosed),   "closed 0",
  };
  EXPECT_EQ(Log.Lines, Expected);

  // Every close resets the session settings.
  EXPECT_EQ(S.Proto(), "tcp");
  EXPECT_EQ(S.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(S.LingerTimeout(), 0);
  EXPECT_EQ(S.ReadCount(), 0);
  EXPECT_EQ(S.HSocket(), plat::INVALID_SOCKET);
  EXPECT_TRUE(S.AllSent());
}

TEST(WSocketConnect, PortAndAddrMustBeAssignedAgainAfterAClose) {
  TWSocket S;
  const std::string Port = ClosedPort();
  S.SetAddr("127.0.0.1");
  S.SetPort(Port);
  S.Connect();
  ASSERT_TRUE(RunUntil([&] { return S.State() == wsClosed; }));

  // The texts stay, but they count as not assigned.
  EXPECT_EQ(S.Port(), Port);
  EXPECT_EQ(S.Addr(), "127.0.0.1");
  EXPECT_EQ(ExceptionText([&] { S.Connect(); }), "Connect: No Port Specified");
  S.SetPort(Port);  // the same text counts
  EXPECT_EQ(ExceptionText([&] { S.Connect(); }), "Connect: No IP Address Specified");
  S.SetAddr("127.0.0.1");
  S.SetProto("");
  EXPECT_EQ(ExceptionText([&] { S.Connect(); }), "Connect: No Protocol Specified");
  S.SetProto("tcp");
  S.Connect();
  EXPECT_EQ(S.State(), wsConnecting);
  ASSERT_TRUE(RunUntil([&] { return S.State() == wsClosed; }));
}

TEST(WSocketConnect, ResolutionFailuresAreReportedAsConnectErrors) {
  TWSocket S;
  S.SetAddr("127.0.0.1");
  S.SetPort("no-such-service-here");
  EXPECT_EQ(ExceptionText([&] { S.Connect(); }),
            "connect: WSocketResolvePort: Cannot convert port 'no-such-service-here'");
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.HSocket(), plat::INVALID_SOCKET);
}

TEST(WSocketErrors, OnErrorReplacesTheExceptionAndLeavesTheStateAlone) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  EXPECT_EQ(ExceptionText([&] { P.Client.Connect(); }), "Connect: Socket already in use");
  int Errors = 0;
  P.Client.OnError = [&](TCustomWSocket*) { ++Errors; };
  EXPECT_NO_THROW(P.Client.Connect());
  EXPECT_EQ(Errors, 1);
  EXPECT_EQ(P.Client.State(), wsConnected);

  // The property setters refuse while open, but an equal assigned text is fine.
  P.Client.SetPort(P.Port);
  EXPECT_EQ(Errors, 1);
  P.Client.SetPort("1");
  EXPECT_EQ(Errors, 2);
  P.Client.OnError = nullptr;
  EXPECT_EQ(ExceptionText([&] { P.Client.SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(ExceptionText([&] { P.Client.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(ExceptionText([&] { P.Client.SetSendFlags(static_cast<TSocketSendFlags>(5)); }),
            "Invalid SendFlags");
  EXPECT_EQ(P.Client.SendFlags(), wsSendNormal);
}

TEST(WSocketErrors, MisuseOfAClosedSocket) {
  TWSocket S;
  EXPECT_EQ(ExceptionText([&] { S.Accept(); }),
            "Error 10022 in function not a listening socket\r\nInvalid argument");
  EXPECT_EQ(S.LastError(), 10022);
  EXPECT_EQ(ExceptionText([&] { S.Send("x", 1); }),
            "Error 10057 in function Send\r\nSocket is not connected");
  EXPECT_EQ(ExceptionText([&] { S.Listen(); }),
            "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  EXPECT_EQ(ExceptionText([&] { S.ApplyLinger(); }), "Cannot set linger option at this time");
  EXPECT_EQ(S.GetLocalPort(), "error");
  EXPECT_EQ(S.GetPeerName(), "error");
  EXPECT_EQ(S.ReceiveString(), "");

  int Errors = 0;
  S.OnError = [&](TCustomWSocket*) { ++Errors; };
  EXPECT_EQ(S.Accept(), plat::INVALID_SOCKET);
  EXPECT_EQ(S.Send("x", 1), -1);
  EXPECT_EQ(Errors, 2);
  EXPECT_EQ(S.State(), wsClosed);
}

TEST(WSocketErrors, FailedBindReleasesItsHandle) {
  LoopbackPair P;
  P.Start();
  TWSocket Second;
  Second.SetAddr("127.0.0.1");
  Second.SetPort(P.Port);  // in use by the listener
  EXPECT_EQ(ExceptionText([&] { Second.Listen(); }),
            "Error 10048 in function Bind\r\nAddress already in use");
  EXPECT_EQ(Second.HSocket(), plat::INVALID_SOCKET);
  EXPECT_EQ(Second.State(), wsClosed);
}

TEST(WSocketErrors, TextsOfErrorCodes) {
  EXPECT_EQ(WSocketErrorText(0), "No Error");
  EXPECT_EQ(WSocketErrorText(10061), "Connection refused");
  EXPECT_EQ(WSocketErrorText(10069), "Disc quota exceeded");
  EXPECT_EQ(WSocketErrorText(11004), "No Data");
  EXPECT_EQ(WSocketErrorText(10072), "Not a WinSock error");
  EXPECT_EQ(WSocketErrorText(-1), "Not a WinSock error");
}

TEST(WSocketListen, AcceptDupAndDataBothWays) {
  LoopbackPair P;
  EventLog ServerLog;
  std::vector<std::string> ListenerStates;
  P.Listener.OnChangeState = [&](TCustomWSocket*, TSocketState From, TSocketState To) {
    ListenerStates.push_back(Transition(From, To));
  };
  ASSERT_TRUE(P.Connect());
  const std::vector<std::string> Expected = {Transition(wsClosed, wsBound),
                                             Transition(wsBound, wsListening)};
  EXPECT_EQ(ListenerStates, Expected);
  EXPECT_EQ(P.Listener.State(), wsListening);
  EXPECT_NE(P.Port, "error");
  EXPECT_NE(P.Port, "0");
  EXPECT_EQ(P.Server.GetLocalPort(), P.Port);
  EXPECT_EQ(P.Client.GetPeerName(), "127.0.0.1");
  EXPECT_EQ(P.Server.GetPeerName(), "127.0.0.1");
  sockaddr_in Peer{};
  int PeerLen = sizeof(Peer);
  ASSERT_EQ(P.Client.GetPeerSockAddr(Peer, PeerLen), 0);
  EXPECT_EQ(std::to_string(ntohs(Peer.sin_port)), P.Port);

  std::string AtServer, AtClient;
  P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { AtServer += S->ReceiveString(); };
  P.Client.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    char Buf[3];  // small pieces: the read loop calls again while bytes remain
    const int N = S->Receive(Buf, sizeof(Buf));
    if (N > 0) AtClient.append(Buf, N);
  };
  EXPECT_EQ(P.Client.SendString("hello server"), 12);
  EXPECT_EQ(P.Server.SendString("hello client, longer"), 20);
  ASSERT_TRUE(RunUntil([&] { return AtServer.size() == 12 && AtClient.size() == 20; }));
  EXPECT_EQ(AtServer, "hello server");
  EXPECT_EQ(AtClient, "hello client, longer");
  EXPECT_EQ(P.Client.ReadCount(), 20);
  EXPECT_EQ(P.Server.ReadCount(), 0);  // ReceiveString does not count

  // The client closes: each end sees exactly one OnSessionClosed.
  int ClientClosed = 0, ServerClosed = 0;
  P.Client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t E) {
    EXPECT_EQ(E, 0);
    ++ClientClosed;
  };
  P.Server.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++ServerClosed; };
  P.Client.Close();
  EXPECT_EQ(ClientClosed, 1);
  ASSERT_TRUE(RunUntil([&] { return P.Server.State() == wsClosed; }));
  DrainLoop();
  EXPECT_EQ(ServerClosed, 1);
  EXPECT_EQ(ClientClosed, 1);
  EXPECT_EQ(P.Listener.State(), wsListening);
}

TEST(WSocketListen, DupIntoTheListeningObjectItself) {
  // The FTP data connection: the listener closes itself and adopts the handle.
  TWSocket Data;
  Data.SetAddr("127.0.0.1");
  Data.SetPort("0");
  int ClosedEvents = 0;
  Data.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) {
    const plat::SOCKET H = Data.Accept();
    Data.Close();
    Data.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++ClosedEvents; };
    Data.Dup(H);
  };
  Data.Listen();
  TWSocket Client;
  Client.SetAddr("127.0.0.1");
  Client.SetPort(Data.GetLocalPort());
  Client.Connect();
  ASSERT_TRUE(RunUntil([&] { return Data.State() == wsConnected && Client.State() == wsConnected; }));
  std::string Got;
  Data.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Got += S->ReceiveString(); };
  Client.SendString("payload");
  Client.Shutdown(1);
  ASSERT_TRUE(RunUntil([&] { return Data.State() == wsClosed; }));
  EXPECT_EQ(Got, "payload");
  EXPECT_EQ(ClosedEvents, 1);
}

TEST(WSocketClose, OneSessionClosedEvenWhenTheHandlerClosesToo) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  std::vector<std::uint16_t> Closed;
  P.Server.OnSessionClosed = [&](TCustomWSocket* S, std::uint16_t E) {
    Closed.push_back(E);
    S->Close();  // the close notification closes afterwards as well
  };
  P.Client.Close();
  ASSERT_TRUE(RunUntil([&] { return P.Server.State() == wsClosed; }));
  DrainLoop();
  P.Server.Close();
  EXPECT_EQ(Closed, std::vector<std::uint16_t>{0});
  EXPECT_EQ(P.Server.CloseNotified(), false);  // reset for the next session
}

TEST(WSocketClose, AbortClosesAndCancelsTheLookup) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  std::vector<std::string> Events;
  P.Client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t E) {
    Events.push_back("closed " + std::to_string(E));
  };
  P.Client.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) {
    Events.push_back("lookup " + std::to_string(E));
  };
  P.Client.DnsLookup("localhost");
  P.Client.SendString("queued but dropped");
  P.Client.Abort();
  const std::vector<std::string> Expected = {"lookup 10004", "closed 0"};
  EXPECT_EQ(Events, Expected);
  EXPECT_EQ(P.Client.State(), wsClosed);
  EXPECT_TRUE(P.Client.SendQueue().empty());
  DrainLoop();
  EXPECT_EQ(Events, Expected);
}

TEST(WSocketClose, NoEventsWhileDestroying) {
  auto P = std::make_unique<LoopbackPair>();
  ASSERT_TRUE(P->Connect());
  int Events = 0;
  P->Client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++Events; };
  P->Client.OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState) { ++Events; };
  P->Client.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { ++Events; };
  P->Client.DnsLookup("localhost");
  P.reset();
  DrainLoop();
  EXPECT_EQ(Events, 0);
}

TEST(WSocketClose, HandlerMayDestroyTheSocket) {
  TWSocket Listener;
  auto Victim = std::make_unique<TWSocket>();
  const std::string Port = ListenInto(Listener, [&]() -> TCustomWSocket* { return Victim.get(); });
  TWSocket Client;
  ASSERT_TRUE(ConnectTo(Client, Port, [&] { return Victim && Victim->State() == wsConnected; }));
  bool Destroyed = false;
  Victim->OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) {
    // The closure dies with the socket: nothing of it may be touched afterwards.
    Destroyed = true;
    Victim.reset();  // in the middle of a notification
  };
  Victim->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ADD_FAILURE() << "after destruction"; };
  Client.SendString("x");
  Client.Close();
  ASSERT_TRUE(RunUntil([&] { return Destroyed; }));
  DrainLoop();
}

TEST(WSocketRead, WithoutADataHandlerBytesAreReadAndDropped) {
  struct CountingSocket : TWSocket {
    std::vector<int> Reads;
    int RawReceive(void* Buffer, int Size, int Flags) override {
      const int N = TWSocket::RawReceive(Buffer, Size, Flags);
      Reads.push_back(N);
      return N;
    }
  };
  TWSocket Listener;
  CountingSocket Server;
  const std::string Port = ListenInto(Listener, [&]() -> TCustomWSocket* { return &Server; });
  TWSocket Client;
  ASSERT_TRUE(ConnectTo(Client, Port, [&] { return Server.State() == wsConnected; }));
  int ServerClosed = 0;
  Server.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++ServerClosed; };
  Client.SendString(Pattern(5000));
  Client.Close();
  ASSERT_TRUE(RunUntil([&] { return Server.State() == wsClosed; }));
  int Total = 0;
  for (int N : Server.Reads) {
    EXPECT_LE(N, 1024);
    if (N > 0) Total += N;
  }
  EXPECT_EQ(Total, 5000);
  EXPECT_EQ(Server.ReadCount(), 0);
  EXPECT_EQ(ServerClosed, 1);
}

TEST(WSocketRead, ExceptionFromTheDataHandlerEndsOnlyTheReadLoop) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  int Calls = 0;
  P.Server.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) {
    ++Calls;
    throw std::runtime_error("handler failed");
  };
  P.Client.SendString("abc");
  ASSERT_TRUE(RunUntil([&] { return Calls >= 1; }));
  DrainLoop();
  EXPECT_EQ(Calls, 1);
  EXPECT_EQ(P.Server.State(), wsConnected);
  // The bytes wait for the owner; once read, notifications resume.
  EXPECT_EQ(P.Server.ReceiveString(), "abc");
  std::string Got;
  P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Got += S->ReceiveString(); };
  P.Client.SendString("def");
  ASSERT_TRUE(RunUntil([&] { return Got.find("def") != std::string::npos; }));
}

// The read loop goes on while bytes wait and ends when none do, whatever
// sizes the handler takes them in; a stream much larger than one receive.
// The socket takes what the kernel holds in one call: bytes it took but has
// not handed out yet must still come when a handler fails near the end (the
// kernel has nothing left to report then), and the close only after them.
TEST(WSocketRead, LoopDeliversEveryByteInAnyReceiveSizes) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  const std::string Sent = Pattern(200000);
  std::string Got;
  std::vector<std::string> Events;
  int Calls = 0;
  bool Failed = false;
  P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    ++Calls;
    char Buffer[3000];
    const int Size = Calls % 7 == 0 ? 1 : Calls % 3 == 0 ? 3000 : 700;
    const int N = S->Receive(Buffer, Size);
    if (N > 0) Got.append(Buffer, static_cast<std::size_t>(N));
    if (N == 0) Events.push_back("read 0 at " + std::to_string(Got.size()));
    if (!Failed && Got.size() + 5000 > Sent.size() && Got.size() < Sent.size()) {
      Failed = true;
      throw std::runtime_error("handler failed after reading");
    }
  };
  P.Server.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t E) {
    Events.push_back("closed " + std::to_string(E) + " at " + std::to_string(Got.size()));
  };
  P.Client.SendString(Sent);
  ASSERT_TRUE(RunUntil([&] { return Got.size() >= Sent.size(); }));
  DrainLoop();
  EXPECT_TRUE(Failed);
  EXPECT_EQ(Got.size(), Sent.size());
  EXPECT_TRUE(Got == Sent);
  EXPECT_EQ(P.Server.ReadCount(), static_cast<int>(Sent.size()));
  P.Client.Shutdown(1);
  ASSERT_TRUE(RunUntil([&] { return P.Server.State() == wsClosed; }));
  const std::string End = std::to_string(Sent.size());
  const std::vector<std::string> Expected = {"read 0 at " + End, "closed 0 at " + End};
  EXPECT_EQ(Events, Expected);
}

TEST(WSocketRead, StaleNotificationsDoNotReachTheNextSession) {
  // Linux hands a closed descriptor number out again at once; what was queued
  // for the old connection must not act on the new socket.
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  TWSocket& S = P.Server;
  const plat::SOCKET OldHandle = S.HSocket();
  S.SendString("bye");  // queues a write notification for the old handle
  P.Client.SendString("data");
  P.Client.Shutdown(1);  // the client's descriptor stays taken
  // Let the loop collect the readiness of the old handle without dispatching.
  ASSERT_TRUE(plat::MessageLoop::Current().WaitMessage(10000));
  S.Close();
  S.SetAddr("127.0.0.1");
  S.SetPort("0");
  S.Listen();
  if (S.HSocket() != OldHandle) GTEST_SKIP() << "descriptor number not reused";
  int Stale = 0;
  S.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++Stale; };
  S.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++Stale; };
  S.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++Stale; };
  DrainLoop();
  EXPECT_EQ(Stale, 0);
  EXPECT_EQ(S.State(), wsListening);
}

TEST(WSocketPause, NoNotificationsWhilePaused) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  std::string Got;
  P.Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Got += S->ReceiveString(); };
  P.Server.Pause();
  P.Client.SendString("later");
  // A round trip through the other direction shows the data had time to arrive.
  std::string Echo;
  P.Client.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Echo += S->ReceiveString(); };
  P.Server.SendString("ping");
  ASSERT_TRUE(RunUntil([&] { return Echo == "ping"; }));
  DrainLoop();
  EXPECT_EQ(Got, "");
  P.Server.Resume();
  ASSERT_TRUE(RunUntil([&] { return Got == "later"; }));
}

TEST(WSocketUdp, ListenAndConnectExchangeADatagram) {
  TWSocket Receiver;
  EventLog Log;
  Log.Attach(Receiver);
  Receiver.SetProto("udp");
  Receiver.SetAddr("127.0.0.1");
  Receiver.SetPort("0");
  Receiver.Listen();
  const std::vector<std::string> Expected = {
      Transition(wsClosed, wsBound), Transition(wsBound, wsListening),
      Transition(wsListening, wsConnected), "connected 0"};
  EXPECT_EQ(Log.Lines, Expected);

  TWSocket Sender;
  int SenderConnected = 0;
  Sender.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t E) {
    EXPECT_EQ(E, 0);
    ++SenderConnected;
  };
  Sender.SetProto("udp");
  Sender.SetAddr("127.0.0.1");
  Sender.SetPort(Receiver.GetLocalPort());
  Sender.Connect();
  EXPECT_EQ(SenderConnected, 1);  // at once, inside Connect
  EXPECT_EQ(Sender.State(), wsConnected);

  std::string Got;
  sockaddr_in From{};
  Receiver.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    char Buf[100];
    int FromLen = sizeof(From);
    const int N = S->ReceiveFrom(Buf, sizeof(Buf), From, FromLen);
    if (N > 0) Got.append(Buf, N);
  };
  EXPECT_EQ(Sender.SendString("datagram"), 8);
  ASSERT_TRUE(RunUntil([&] { return Got == "datagram"; }));
  EXPECT_EQ(plat::inet_ntoa(From.sin_addr.s_addr), "127.0.0.1");
  EXPECT_EQ(Receiver.ReadCount(), 8);
}

TEST(WSocketWait, WaitUntilClosedDeliversTheRestAndReturnsAtTheClose) {
  for (const bool MultiThreaded : {false, true}) {
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Client.SetMultiThreaded(MultiThreaded);
    std::string Got;
    int Closed = 0;
    P.Client.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { Got += S->ReceiveString(); };
    P.Client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++Closed; };
    P.Server.SendString("tail of the session");
    P.Server.Close();
    P.Client.WaitUntilClosed();
    EXPECT_EQ(P.Client.State(), wsClosed);
    EXPECT_EQ(Got, "tail of the session");
    EXPECT_EQ(Closed, 1);
  }
}

TEST(WSocketOptions, ConnectAndDupApplyTheirSocketOptions) {
  LoopbackPair P;
  P.Client.SetLingerTimeout(3);  // reset by nothing before Connect
  ASSERT_TRUE(P.Connect());
  auto IntOption = [](plat::SOCKET H, int Name) {
    int Value = 0;
    socklen_t Len = sizeof(Value);
    ::getsockopt(H, SOL_SOCKET, Name, &Value, &Len);
    return Value;
  };
  auto Linger = [](plat::SOCKET H) {
    linger Value{};
    socklen_t Len = sizeof(Value);
    ::getsockopt(H, SOL_SOCKET, SO_LINGER, &Value, &Len);
    return std::make_pair(Value.l_onoff, Value.l_linger);
  };
  EXPECT_NE(IntOption(P.Client.HSocket(), SO_KEEPALIVE), 0);
  EXPECT_NE(IntOption(P.Client.HSocket(), SO_REUSEADDR), 0);
  EXPECT_EQ(Linger(P.Client.HSocket()), std::make_pair(1, 3));
  EXPECT_EQ(Linger(P.Server.HSocket()), std::make_pair(1, 0));  // Dup, after a reset
  P.Server.SetLingerOnOff(wsLingerOff);
  P.Server.ApplyLinger();
  EXPECT_EQ(Linger(P.Server.HSocket()).first, 0);
  P.Server.SetLingerOnOff(wsLingerNoSet);
  P.Server.SetLingerTimeout(9);
  P.Server.ApplyLinger();  // leaves the option alone
  EXPECT_EQ(Linger(P.Server.HSocket()).first, 0);
}

TEST(WSocketOptions, DatagramToTheBroadcastAddressEnablesBroadcast) {
  TWSocket S;
  S.SetProto("udp");
  S.SetAddr("255.255.255.255");
  S.SetPort("9");
  S.Connect();
  ASSERT_EQ(S.State(), wsConnected);
  int Value = 0;
  socklen_t Len = sizeof(Value);
  ::getsockopt(S.HSocket(), SOL_SOCKET, SO_BROADCAST, &Value, &Len);
  EXPECT_EQ(Value, 1);
  EXPECT_NE(S.GetLocalPort(), "0");  // bound to a local port at once
  S.Close();
  EXPECT_EQ(S.Proto(), "tcp");
}

TEST(WSocketClose, AbortWhileConnectingRaisesNothingLater) {
  LoopbackPair P;
  P.Start();
  EventLog Log;
  Log.Attach(P.Client);
  P.Client.SetAddr("127.0.0.1");
  P.Client.SetPort(P.Port);
  P.Client.Connect();
  ASSERT_EQ(P.Client.State(), wsConnecting);
  P.Client.Abort();
  ASSERT_TRUE(RunUntil([&] { return P.Accepted; }));  // the connection did complete
  DrainLoop();
  const std::vector<std::string> Expected = {
      Transition(wsClosed, wsOpened), Transition(wsOpened, wsConnecting),
      Transition(wsConnecting, wsClosed), "closed 0"};
  EXPECT_EQ(Log.Lines, Expected);
}

TEST(WSocketRead, TheLastReadBeforeTheCloseReturnsZero) {
  LoopbackPair P;
  ASSERT_TRUE(P.Connect());
  std::vector<std::string> Events;
  P.Client.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    char Buf[64];
    const int N = S->Receive(Buf, sizeof(Buf));
    Events.push_back(N > 0 ? std::string(Buf, N) : std::to_string(N));
  };
  P.Client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t E) {
    Events.push_back("closed " + std::to_string(E));
  };
  P.Server.SendString("last words");
  P.Server.Shutdown(1);
  ASSERT_TRUE(RunUntil([&] { return P.Client.State() == wsClosed; }));
  const std::vector<std::string> Expected = {"last words", "0", "closed 0"};
  EXPECT_EQ(Events, Expected);
}
