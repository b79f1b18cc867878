// IPv6 beside IPv4: address texts, sessions over ::1, the IPv4-only address
// records, a name's next address after a refused connect, and the SOCKS
// level's refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket_test_util.h"
#include "tests/support/loopback6.h"

using namespace sockettest;

namespace {

sockaddr_storage Address(const std::string& Text) {
  sockaddr_storage Addr{};
  EXPECT_TRUE(plat::ParseAddress(Text, Addr)) << Text;
  return Addr;
}

// Stands in for a host name that resolved to First, then Next: Connect goes
// to First, and Next is what the resolver gave after it.
class TwoAddressSocket : public TWSocket {
 public:
  void ConnectFirstThen(const std::string& First, const std::string& Next) {
    SetAddr(First);
    Connect();
    FNextAddrs.assign(1, Address(Next));
  }
};

}  // namespace

TEST(WSocketIpv6, AddressTextsGiveTheirFamilyAndCanonicalText) {
  struct Row {
    const char* Text;
    int Family;
    const char* Canonical;
  };
  const Row Rows[] = {
      {"::1", AF_INET6, "::1"},
      {"[::1]", AF_INET6, "::1"},
      {" [::1] ", AF_INET6, "::1"},
      {"0:0:0:0:0:0:0:1", AF_INET6, "::1"},
      {"fe80::1%lo", AF_INET6, "fe80::1%lo"},  // the zone is kept
      {"::ffff:127.0.0.1", AF_INET6, "::ffff:127.0.0.1"},
      {"127.0.0.1", AF_INET, "127.0.0.1"},
      {" 10.1.2.3 ", AF_INET, "10.1.2.3"},
      {"255.255.255.255", AF_INET, "255.255.255.255"},
  };
  for (const Row& R : Rows) {
    const std::vector<sockaddr_storage> Addrs = WSocketResolveAddrs(R.Text);
    ASSERT_EQ(Addrs.size(), 1u) << R.Text;
    EXPECT_EQ(Addrs[0].ss_family, R.Family) << R.Text;
    EXPECT_EQ(plat::AddressText(Addrs[0]), R.Canonical) << R.Text;

    // DnsLookup answers an address at once, without the resolver.
    TWSocket S;
    std::vector<std::uint16_t> Done;
    S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
    S.DnsLookup(R.Text[0] == ' ' ? std::string(R.Text).substr(1, std::strlen(R.Text) - 2) : R.Text);
    EXPECT_EQ(Done, std::vector<std::uint16_t>{0}) << R.Text;
    EXPECT_EQ(S.DnsResult(), R.Canonical) << R.Text;
  }
  // A name gives its addresses in the resolver's order: 127.0.0.1 among them.
  bool Loopback = false;
  for (const sockaddr_storage& A : WSocketResolveAddrs("localhost")) Loopback |= plat::AddressText(A) == "127.0.0.1";
  EXPECT_TRUE(Loopback);
  // An IPv4 mapped address is the same host as its IPv4 form.
  EXPECT_TRUE(plat::SameHost(Address("::ffff:127.0.0.1"), Address("127.0.0.1")));
  EXPECT_FALSE(plat::SameHost(Address("::1"), Address("127.0.0.1")));
}

TEST(WSocketIpv6, SessionOverLoopbackAndItsAddressQueries) {
  VEK_REQUIRE_LOOPBACK6();
  TWSocket Listener, Server, Client;
  Listener.SetAddr("[::1]");
  Listener.SetPort("0");
  bool Accepted = false;
  Listener.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) {
    Server.Dup(Listener.Accept());
    Accepted = true;
  };
  Listener.Listen();
  ASSERT_EQ(Listener.State(), wsListening);
  const std::string Port = Listener.GetLocalPort();
  Client.SetAddr("::1");
  Client.SetPort(Port);
  Client.Connect();
  ASSERT_TRUE(RunUntil([&] { return Accepted && Client.State() == wsConnected; }));

  EXPECT_EQ(Client.GetPeerName(), "::1");
  EXPECT_EQ(Server.GetPeerName(), "::1");
  sockaddr_storage Peer{};
  int PeerLen = sizeof(Peer);
  ASSERT_EQ(Client.GetPeerSockAddr(Peer, PeerLen), 0);
  EXPECT_EQ(Peer.ss_family, AF_INET6);
  EXPECT_EQ(PeerLen, static_cast<int>(sizeof(sockaddr_in6)));
  EXPECT_EQ(std::to_string(plat::AddressPort(Peer)), Port);
  sockaddr_storage Local{};
  int LocalLen = sizeof(Local);
  ASSERT_EQ(Server.GetSockName(Local, LocalLen), 0);
  EXPECT_EQ(plat::AddressText(Local), "::1");
  EXPECT_EQ(Server.GetLocalPort(), Port);
  // The IPv4 records cannot hold these addresses, and say so.
  sockaddr_in Narrow{};
  int NarrowLen = sizeof(Narrow);
  plat::WSASetLastError(0);
  EXPECT_EQ(Client.GetPeerSockAddr(Narrow, NarrowLen), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), plat::WSAEFAULT);
  NarrowLen = sizeof(Narrow);
  EXPECT_EQ(Client.GetSockName(Narrow, NarrowLen), plat::SOCKET_ERROR);

  std::string AtServer, AtClient;
  Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { AtServer += S->ReceiveString(); };
  Client.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { AtClient += S->ReceiveString(); };
  Client.SendString("over ::1");
  Server.SendString("and back");
  ASSERT_TRUE(RunUntil([&] { return AtServer == "over ::1" && AtClient == "and back"; }));
}

TEST(WSocketIpv6, DatagramsOverLoopbackNameTheirSender) {
  VEK_REQUIRE_LOOPBACK6();
  TWSocket Receiver, Sender;
  Receiver.SetProto("udp");
  Receiver.SetAddr("::1");
  Receiver.SetPort("0");
  Receiver.Listen();
  ASSERT_EQ(Receiver.State(), wsConnected);
  Sender.SetProto("udp");
  Sender.SetAddr("[::1]");
  Sender.SetPort(Receiver.GetLocalPort());
  Sender.Connect();
  ASSERT_EQ(Sender.State(), wsConnected);

  std::string Got;
  sockaddr_storage From{};
  Receiver.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) {
    char Buf[100];
    int FromLen = sizeof(From);
    const int N = S->ReceiveFrom(Buf, sizeof(Buf), From, FromLen);
    if (N > 0) Got.append(Buf, N);
  };
  EXPECT_EQ(Sender.SendString("datagram"), 8);
  ASSERT_TRUE(RunUntil([&] { return Got == "datagram"; }));
  EXPECT_EQ(plat::AddressText(From), "::1");
}

// The owner sees one connect whichever address answers, and the failure of
// the last one when none does.
TEST(WSocketIpv6, RefusedConnectGoesOnToTheNameNextAddress) {
  VEK_REQUIRE_LOOPBACK6();
  struct Row {
    const char* First;
    const char* Next;
    bool Listening;  // on Next
  };
  const Row Rows[] = {
      {"::1", "127.0.0.1", true},
      {"127.0.0.1", "::1", true},
      {"::1", "127.0.0.1", false},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(std::string(R.First) + " then " + R.Next);
    TWSocket Listener, Server;
    std::string Port = ClosedPort();
    bool Accepted = false;
    if (R.Listening) {
      Listener.SetAddr(R.Next);
      Listener.SetPort("0");
      Listener.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) {
        Server.Dup(Listener.Accept());
        Accepted = true;
      };
      Listener.Listen();
      Port = Listener.GetLocalPort();
    }
    TwoAddressSocket Client;
    std::vector<std::string> Log;
    Client.OnChangeState = [&](TCustomWSocket*, TSocketState From, TSocketState To) {
      Log.push_back(std::string(SocketStateName(From)) + "->" + SocketStateName(To));
    };
    Client.OnSessionConnected = [&](TCustomWSocket* S, std::uint16_t E) {
      Log.push_back("connected " + std::to_string(E) + " " + (E == 0 ? S->GetPeerName() : ""));
    };
    Client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t E) { Log.push_back("closed " + std::to_string(E)); };
    Client.SetPort(Port);
    Client.ConnectFirstThen(R.First, R.Next);

    std::vector<std::string> Expected = {"wsClosed->wsOpened", "wsOpened->wsConnecting",
                                         "wsConnecting->wsConnected"};
    if (R.Listening) {
      ASSERT_TRUE(RunUntil([&] { return Accepted && Client.State() == wsConnected; }));
      Expected.push_back(std::string("connected 0 ") + R.Next);
    } else {
      ASSERT_TRUE(RunUntil([&] { return Client.State() == wsClosed; }));
      Expected.insert(Expected.end(), {"connected 10061 ", "wsConnected->wsClosed", "closed 0"});
    }
    DrainLoop();
    EXPECT_EQ(Log, Expected);
  }
}

TEST(WSocketIpv6, SocksLevelRefusesIpv6AddressesByName) {
  struct Row {
    const char* Proxy;
    const char* Host;
  };
  for (const Row& R : {Row{"::1", "dest.example"}, Row{"127.0.0.1", "[::1]"}}) {
    TWSocket S;
    S.SetSocksServer(R.Proxy);
    S.SetSocksPort("1080");
    S.SetAddr(R.Host);
    S.SetPort("21");
    EXPECT_EQ(ExceptionText([&] { S.Connect(); }), "connect: IPv6 addresses are not supported through a socks server")
        << R.Proxy << " " << R.Host;
    EXPECT_EQ(S.State(), wsClosed);
  }
}
