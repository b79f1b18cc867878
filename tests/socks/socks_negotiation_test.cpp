// The SOCKS 5 client against a scripted proxy on 127.0.0.1: the byte
// formats, replies split or merged across reads, every failure's events, and
// the bytes that arrive behind the connect reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket/wsocket.h"
#include "tests/socks/socket_test_support.h"

using vek_test::RunUntil;
using vek_test::ScriptedPeer;

namespace {

const char* AuthStateName(TSocksAuthState State) {
  switch (State) {
    case socksAuthBegun:
      return "begun";
    case socksAuthSucceeded:
      return "succeeded";
    case socksAuthFailed:
      return "failed";
    case socksAuthSkipped:
      return "skipped";
  }
  return "?";
}

// A socket aimed through the scripted proxy, logging its events in order.
struct Client {
  TWSocket Sock;
  std::vector<std::string> Log;
  std::string Data;
  int RcvdAtConnected = -1;
  bool Closed = false;

  explicit Client(const ScriptedPeer& Proxy, const std::string& Addr = "dest.example",
                  const std::string& Port = "4321") {
    Sock.SetSocksServer("127.0.0.1");
    Sock.SetSocksPort(Proxy.PortText());
    Sock.SetAddr(Addr);
    Sock.SetPort(Port);
    Sock.OnSocksConnected = [this](TCustomWSocket*, std::uint16_t Error) {
      Log.push_back("socks-connected:" + std::to_string(Error));
    };
    Sock.OnSocksError = [this](TCustomWSocket*, int Error, const std::string& Msg) {
      Log.push_back("socks-error:" + std::to_string(Error) + ":" + Msg);
    };
    Sock.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState State) {
      Log.push_back(std::string("auth:") + AuthStateName(State));
    };
    Sock.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t Error) {
      Log.push_back("connected:" + std::to_string(Error));
      RcvdAtConnected = Sock.RcvdCount();
    };
    Sock.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t Error) {
      Log.push_back("closed:" + std::to_string(Error));
      Closed = true;
    };
    Sock.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t Error) {
      Log.push_back("data:" + std::to_string(Error) + ":" + std::to_string(Sock.RcvdCount()));
      char Buffer[4096];
      const int Got = Sock.Receive(Buffer, sizeof(Buffer));
      if (Got > 0) Data.append(Buffer, static_cast<std::size_t>(Got));
    };
  }

  bool Has(const std::string& Entry) const {
    for (const std::string& E : Log)
      if (E == Entry) return true;
    return false;
  }
};

std::string Bytes(std::initializer_list<int> Values) {
  std::string Out;
  for (const int V : Values) Out += static_cast<char>(V);
  return Out;
}

// 05 01 00 03, length, name, port.
std::string ConnectRequest(const std::string& Addr, int Port) {
  return Bytes({5, 1, 0, 3, static_cast<int>(Addr.size())}) + Addr +
         Bytes({(Port >> 8) & 0xFF, Port & 0xFF});
}

// A success reply with an IPv4 bound address 10.0.0.7:1080.
std::string Ipv4Reply() { return Bytes({5, 0, 0, 1, 10, 0, 0, 7, 0x04, 0x38}); }

// The method offer and the connect request of a negotiation without
// authentication, then Reply.
void NoAuthUntilReply(ScriptedPeer& P, const std::string& Reply) {
  P.Expect(P.Read(3), Bytes({5, 1, 0}), "method offer");
  P.Write(Bytes({5, 0}));
  P.Expect(P.Read(ConnectRequest("dest.example", 4321).size()), ConnectRequest("dest.example", 4321),
           "connect request");
  P.Write(Reply);
}

}  // namespace

TEST(SocksNegotiation, ConnectsWithoutAuthenticationAndHandsOverTheStream) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    NoAuthUntilReply(P, Ipv4Reply());
    P.Expect(P.Read(5), "hello", "payload from the client");
    P.Write("world");
  });
  Client C(Proxy);
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Has("connected:0"); })) << Proxy.Failure();
  EXPECT_EQ(C.Sock.SocksStage(), socksStageNone);
  EXPECT_EQ(C.Sock.SocksBoundAddr(), "10.0.0.7");
  EXPECT_EQ(C.Sock.SocksBoundPort(), "1080");
  C.Sock.SendString("hello");
  ASSERT_TRUE(RunUntil([&] { return C.Data == "world"; })) << Proxy.Failure();
  EXPECT_EQ(Proxy.Failure(), "");
  ASSERT_GE(C.Log.size(), 2u);
  EXPECT_EQ(C.Log[0], "socks-connected:0");
  EXPECT_EQ(C.Log[1], "connected:0");
  // Only what the owner received is counted, not the proxy's replies.
  EXPECT_EQ(C.Sock.ReadCount(), 5);
}

TEST(SocksNegotiation, MethodNoneAnsweringAnOfferOfUsercodeSkipsAuthentication) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    P.Expect(P.Read(3), Bytes({5, 1, 2}), "method offer");
    P.Write(Bytes({5, 0}));
    P.Expect(P.Read(ConnectRequest("dest.example", 4321).size()),
             ConnectRequest("dest.example", 4321), "connect request");
    P.Write(Ipv4Reply());
  });
  Client C(Proxy);
  C.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
  C.Sock.SetSocksUsercode("user");
  C.Sock.SetSocksPassword("secret");
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Has("connected:0"); })) << Proxy.Failure();
  EXPECT_EQ(Proxy.Failure(), "");
  EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0", "auth:skipped", "connected:0",
                                             "data:0:0"}));
}

TEST(SocksNegotiation, UsercodeAndPasswordAreSentAndAccepted) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    P.Expect(P.Read(3), Bytes({5, 1, 2}), "method offer");
    P.Write(Bytes({5, 2}));
    const std::string Auth = Bytes({1, 4}) + "user" + Bytes({9}) + "pass word";
    P.Expect(P.Read(Auth.size()), Auth, "user code/password request");
    P.Write(Bytes({1, 0}));
    P.Expect(P.Read(ConnectRequest("dest.example", 4321).size()),
             ConnectRequest("dest.example", 4321), "connect request");
    P.Write(Ipv4Reply());
  });
  Client C(Proxy);
  C.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
  C.Sock.SetSocksUsercode("user");
  C.Sock.SetSocksPassword("pass word");
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Has("connected:0"); })) << Proxy.Failure();
  EXPECT_EQ(Proxy.Failure(), "");
  EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0", "auth:begun", "auth:succeeded",
                                             "connected:0", "data:0:0"}));
}

TEST(SocksNegotiation, RejectedPasswordFailsOnceWithItsCodeAndCloses) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    P.Expect(P.Read(3), Bytes({5, 1, 2}), "method offer");
    P.Write(Bytes({5, 2}));
    P.Read(1 + 1 + 4 + 1 + 3);
    P.Write(Bytes({1, 1}));
  });
  Client C(Proxy);
  C.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
  C.Sock.SetSocksUsercode("user");
  C.Sock.SetSocksPassword("bad");
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Closed; })) << Proxy.Failure();
  EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0", "auth:begun", "auth:failed",
                                             "socks-error:20015:socks authentication failed",
                                             "connected:20015", "closed:20015"}));
  EXPECT_EQ(C.Sock.State(), wsClosed);
  // The reset after the close forgets the proxy: it must be set again.
  EXPECT_EQ(C.Sock.SocksServer(), "");
  EXPECT_EQ(C.Sock.SocksPort(), "");
}

TEST(SocksNegotiation, MethodReplyArrivingOneByteAtATimeIsAssembled) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    P.Expect(P.Read(3), Bytes({5, 1, 0}), "method offer");
    P.Write(Bytes({5}));
    P.Notify();
    P.WaitGo();
    P.Write(Bytes({0}));
    P.Expect(P.Read(ConnectRequest("dest.example", 4321).size()),
             ConnectRequest("dest.example", 4321), "connect request");
    P.Write(Ipv4Reply());
  });
  Client C(Proxy);
  C.Sock.Connect();
  // The first byte has been read by the socket before the second is sent.
  ASSERT_TRUE(RunUntil([&] {
    return Proxy.Steps() >= 1 && vek_test::PendingBytes(C.Sock.HSocket()) == 0;
  })) << Proxy.Failure();
  EXPECT_EQ(C.Sock.SocksStage(), socksStageMethod);
  Proxy.Go();
  ASSERT_TRUE(RunUntil([&] { return C.Has("connected:0"); })) << Proxy.Failure();
  EXPECT_EQ(Proxy.Failure(), "");
}

TEST(SocksNegotiation, ConnectReplySplitAcrossReadsIsAssembled) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    P.Expect(P.Read(3), Bytes({5, 1, 0}), "method offer");
    P.Write(Bytes({5, 0}));
    P.Read(ConnectRequest("dest.example", 4321).size());
    const std::string Reply = Ipv4Reply();
    // Before the address type, inside the address, then the rest.
    for (const auto& [From, Len] : {std::pair<int, int>{0, 3}, {3, 3}, {6, 4}}) {
      P.Write(Reply.substr(static_cast<std::size_t>(From), static_cast<std::size_t>(Len)));
      P.Notify();
      P.WaitGo();
    }
  });
  Client C(Proxy);
  C.Sock.Connect();
  for (int Step = 1; Step <= 2; ++Step) {
    ASSERT_TRUE(RunUntil([&] {
      return Proxy.Steps() >= Step && vek_test::PendingBytes(C.Sock.HSocket()) == 0;
    })) << Proxy.Failure();
    EXPECT_FALSE(C.Has("connected:0")) << "step " << Step;
    Proxy.Go();
  }
  ASSERT_TRUE(RunUntil([&] { return C.Has("connected:0"); })) << Proxy.Failure();
  Proxy.Go();
  EXPECT_EQ(C.Sock.SocksBoundAddr(), "10.0.0.7");
}

TEST(SocksNegotiation, ThreeBytesForATwoByteMethodReplyIsAnError) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    P.Read(3);
    P.Write(Bytes({5, 0, 0}));
  });
  Client C(Proxy);
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Closed; })) << Proxy.Failure();
  EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0",
                                             "socks-error:20001:too much data availaible",
                                             "connected:20001", "closed:20001"}));
}

TEST(SocksNegotiation, MethodReplyFailures) {
  struct Case {
    std::string Reply;
    std::string Error;
  };
  const Case Cases[] = {
      {Bytes({4, 0}), "socks-error:20002:socks version error"},
      {Bytes({5, 0xFF}), "socks-error:20003:authentification method not acceptable"},
      {Bytes({5, 1}), "socks-error:20003:authentification method not acceptable"},
  };
  for (const Case& K : Cases) {
    ScriptedPeer Proxy([&K](ScriptedPeer& P) {
      P.Read(3);
      P.Write(K.Reply);
    });
    Client C(Proxy);
    C.Sock.Connect();
    ASSERT_TRUE(RunUntil([&] { return C.Closed; })) << ScriptedPeer::Hex(K.Reply);
    EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0", K.Error,
                                               K.Error.substr(12, 5).insert(0, "connected:"),
                                               K.Error.substr(12, 5).insert(0, "closed:")}))
        << ScriptedPeer::Hex(K.Reply);
  }
}

TEST(SocksNegotiation, ConnectReplyCodesBecomeTheirErrors) {
  struct Case {
    int Code;
    int Error;
    std::string Msg;
  };
  const Case Cases[] = {
      {1, 20004, "general SOCKS server failure"},
      {2, 20005, "connection not allowed by ruleset"},
      {3, 20006, "network unreachable"},
      {4, 20007, "host unreachable"},
      {5, 20008, "connection refused"},
      {6, 20009, "time to live expired"},
      {7, 20010, "command not supported"},
      {8, 20011, "address type not supported"},
      {9, 20012, "unassigned error #9"},
      {255, 20012, "unassigned error #255"},
  };
  for (const Case& K : Cases) {
    // Only the version and the code: the failure is known from two bytes.
    ScriptedPeer Proxy([&K](ScriptedPeer& P) { NoAuthUntilReply(P, Bytes({5, K.Code})); });
    Client C(Proxy);
    C.Sock.Connect();
    ASSERT_TRUE(RunUntil([&] { return C.Closed; })) << "code " << K.Code << Proxy.Failure();
    const std::string E = std::to_string(K.Error);
    EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0", "socks-error:" + E + ":" + K.Msg,
                                               "connected:" + E, "closed:" + E}))
        << "code " << K.Code;
  }
}

TEST(SocksNegotiation, ConnectReplyFormatFailures) {
  const std::pair<std::string, std::string> Cases[] = {
      {Bytes({4, 0, 0, 1, 1, 2, 3, 4, 0, 80}), "socks-error:20002:socks version error"},
      {Bytes({5, 0, 0, 4, 0}), "socks-error:20011:address type not supported"},
  };
  for (const auto& [Reply, Error] : Cases) {
    ScriptedPeer Proxy([&Reply](ScriptedPeer& P) { NoAuthUntilReply(P, Reply); });
    Client C(Proxy);
    C.Sock.Connect();
    ASSERT_TRUE(RunUntil([&] { return C.Closed; })) << ScriptedPeer::Hex(Reply);
    ASSERT_GE(C.Log.size(), 2u);
    EXPECT_EQ(C.Log[1], Error);
    EXPECT_FALSE(C.Has("connected:0"));
  }
}

TEST(SocksNegotiation, PayloadInTheSameReadAsTheConnectReplyReachesTheOwner) {
  const std::string Payload = "0123456789abcdefghij";  // 20 bytes
  ScriptedPeer Proxy([&Payload](ScriptedPeer& P) { NoAuthUntilReply(P, Ipv4Reply() + Payload); });
  Client C(Proxy);
  std::vector<int> RcvdSeen;
  // Read in 7-byte pieces: the handler is called again while bytes remain.
  C.Sock.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t Error) {
    C.Log.push_back("data:" + std::to_string(Error));
    RcvdSeen.push_back(C.Sock.RcvdCount());
    char Buffer[7];
    const int Got = C.Sock.Receive(Buffer, sizeof(Buffer));
    if (Got > 0) C.Data.append(Buffer, static_cast<std::size_t>(Got));
  };
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Data.size() >= Payload.size(); })) << Proxy.Failure();
  EXPECT_EQ(C.Data, Payload);
  EXPECT_EQ(C.RcvdAtConnected, 20);  // already in place when the owner hears of the connection
  ASSERT_GE(RcvdSeen.size(), 3u);
  EXPECT_EQ(RcvdSeen[0], 20);
  EXPECT_EQ(RcvdSeen[1], 13);
  EXPECT_EQ(RcvdSeen[2], 6);
  ASSERT_GE(C.Log.size(), 3u);
  EXPECT_EQ(C.Log[1], "connected:0");
  EXPECT_EQ(C.Log[2], "data:0");
  EXPECT_EQ(C.Sock.ReadCount(), 20);
}

TEST(SocksNegotiation, BoundAddressAsANameOfAnyLength) {
  for (const std::string& Name : {std::string("proxy.example"), std::string(200, 'n')}) {
    const std::string Reply =
        Bytes({5, 0, 0, 3, static_cast<int>(Name.size())}) + Name + Bytes({0x10, 0x92}) + "tail";
    ScriptedPeer Proxy([&Reply](ScriptedPeer& P) { NoAuthUntilReply(P, Reply); });
    Client C(Proxy);
    C.Sock.Connect();
    ASSERT_TRUE(RunUntil([&] { return C.Data == "tail"; }))
        << "name of " << Name.size() << " bytes " << Proxy.Failure();
    EXPECT_EQ(C.Sock.SocksBoundAddr(), Name);
    EXPECT_EQ(C.Sock.SocksBoundPort(), "4242");
  }
}

TEST(SocksNegotiation, ProxyClosingBeforeItsReplyFailsTheConnect) {
  for (const bool AfterRequest : {false, true}) {
    ScriptedPeer Proxy([AfterRequest](ScriptedPeer& P) {
      P.Read(3);
      if (AfterRequest) {
        P.Write(Bytes({5, 0}));
        P.Read(ConnectRequest("dest.example", 4321).size());
        P.Write(Bytes({5, 0, 0}));  // a partial reply
      }
      P.CloseConnection();
    });
    Client C(Proxy);
    C.Sock.Connect();
    ASSERT_TRUE(RunUntil([&] { return C.Closed; })) << Proxy.Failure();
    EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0", "socks-error:10054:data receive error",
                                               "connected:10054", "closed:10054"}))
        << (AfterRequest ? "during the connect reply" : "during the method reply");
  }
}

TEST(SocksNegotiation, ProxyClosingDuringAuthenticationReportsAuthFailedOnce) {
  ScriptedPeer Proxy([](ScriptedPeer& P) {
    P.Read(3);
    P.Write(Bytes({5, 2}));
    P.Read(1 + 1 + 1 + 1 + 1);
    P.CloseConnection();
  });
  Client C(Proxy);
  C.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
  C.Sock.SetSocksUsercode("u");
  C.Sock.SetSocksPassword("p");
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Closed; })) << Proxy.Failure();
  EXPECT_EQ(C.Log, (std::vector<std::string>{"socks-connected:0", "auth:begun", "auth:failed",
                                             "socks-error:10054:data receive error",
                                             "connected:10054", "closed:10054"}));
}

TEST(SocksNegotiation, UnreachableProxyIsTheOwnersFailedConnect) {
  const int Port = vek_test::FreePort();
  TWSocket Sock;
  std::vector<std::string> Log;
  Sock.OnSocksConnected = [&](TCustomWSocket*, std::uint16_t E) { Log.push_back("socks:" + std::to_string(E)); };
  Sock.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t E) {
    Log.push_back("connected:" + std::to_string(E));
  };
  Sock.SetSocksServer("127.0.0.1");
  Sock.SetSocksPort(std::to_string(Port));
  Sock.SetAddr("dest.example");
  Sock.SetPort("21");
  Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return Sock.State() == wsClosed; }));
  EXPECT_EQ(Log, (std::vector<std::string>{"socks:10061", "connected:10061"}));
}

TEST(SocksNegotiation, ProtocolIsComparedWithoutRegardToCase) {
  ScriptedPeer Proxy([](ScriptedPeer& P) { P.Expect(P.Read(3), Bytes({5, 1, 0}), "method offer"); });
  Client C(Proxy);
  C.Sock.SetProto("TCP");
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return Proxy.Finished(); }));
  EXPECT_EQ(Proxy.Failure(), "");
  EXPECT_TRUE(C.Has("socks-connected:0"));
}

TEST(SocksNegotiation, ConfigurationErrorsAreReported) {
  TWSocket Sock;
  Sock.SetSocksServer("127.0.0.1");
  Sock.SetSocksPort("1080");
  Sock.SetAddr("dest.example");
  Sock.SetPort("21");
  Sock.SetProto("udp");
  try {
    Sock.Connect();
    FAIL() << "udp through the proxy was accepted";
  } catch (const ESocketException& E) {
    EXPECT_STREQ(E.what(), "tcp is the only protocol supported thru socks server");
  }
  Sock.SetProto("tcp");
  try {
    Sock.Listen();
    FAIL() << "Listen through the proxy was accepted";
  } catch (const ESocketException& E) {
    EXPECT_STREQ(E.what(), "listening is not supported thru socks server");
  }
  EXPECT_EQ(Sock.State(), wsClosed);
}

TEST(SocksNegotiation, ProxySettingsAreFixedWhileOpen) {
  ScriptedPeer Proxy([](ScriptedPeer& P) { P.Read(3); });
  Client C(Proxy);
  int Errors = 0;
  C.Sock.OnError = [&](TCustomWSocket*) { ++Errors; };
  C.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return C.Has("socks-connected:0"); }));
  C.Sock.SetSocksServer("other.example");
  C.Sock.SetSocksPort("9999");
  EXPECT_EQ(Errors, 2);
  EXPECT_EQ(C.Sock.SocksServer(), "127.0.0.1");
  // A second Connect on the open socket must not restart the negotiation.
  C.Sock.Connect();
  EXPECT_EQ(Errors, 3);
  EXPECT_EQ(C.Sock.SocksStage(), socksStageMethod);
}

TEST(SocksNegotiation, RequestsThatDoNotFitAreRefusedBeforeConnecting) {
  struct Case {
    std::string Addr, User, Password;
    bool Fits;
  };
  const Case Cases[] = {
      {std::string(121, 'a'), "", "", true},
      {std::string(122, 'a'), "", "", false},
      {"dest.example", std::string(100, 'u'), std::string(25, 'p'), true},
      {"dest.example", std::string(100, 'u'), std::string(26, 'p'), false},
  };
  for (const Case& K : Cases) {
    ScriptedPeer Proxy([](ScriptedPeer& P) { P.Read(3); });
    Client C(Proxy, K.Addr);
    C.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
    C.Sock.SetSocksUsercode(K.User);
    C.Sock.SetSocksPassword(K.Password);
    int Errors = 0;
    C.Sock.OnError = [&](TCustomWSocket*) { ++Errors; };
    C.Sock.Connect();
    if (K.Fits) {
      EXPECT_EQ(Errors, 0) << K.Addr.size() << " " << K.User.size() + K.Password.size();
      EXPECT_EQ(C.Sock.State(), wsConnecting);
    } else {
      EXPECT_EQ(Errors, 1) << K.Addr.size() << " " << K.User.size() + K.Password.size();
      EXPECT_EQ(C.Sock.State(), wsClosed);
      EXPECT_EQ(C.Sock.SocksStage(), socksStageNone);
    }
  }
  // Without an error handler the refusal is an exception naming the cause.
  ScriptedPeer Proxy([](ScriptedPeer&) {});
  Client C(Proxy, std::string(200, 'a'));
  try {
    C.Sock.Connect();
    FAIL() << "an over-long name was accepted";
  } catch (const ESocketException& E) {
    EXPECT_EQ(std::string(E.what()).rfind("connect: ", 0), 0u) << E.what();
  }
}

TEST(SocksNegotiation, WithoutAProxyTheLevelIsTransparent) {
  ScriptedPeer Server([](ScriptedPeer& P) {
    P.Write(Bytes({5, 0}) + "plain");
  });
  TWSocket Sock;
  std::string Data;
  bool Connected = false;
  Sock.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t E) { Connected = E == 0; };
  Sock.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { Data += Sock.ReceiveString(); };
  Sock.SetAddr("127.0.0.1");
  Sock.SetPort(Server.PortText());
  Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return Data.size() >= 7; }));
  EXPECT_TRUE(Connected);
  EXPECT_EQ(Data, Bytes({5, 0}) + "plain");
}
