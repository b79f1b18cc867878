// IPv6 beside IPv4: address texts, a session over ::1 and its address
// queries, a name's next address after a refused connect, and the SOCKS
// level's refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket_test_util.h"
#include "tests/support/loopback6.h"

using namespace sockettest;

namespace {

// Stands in for a host name that resolved to First, then Next.
class TwoAddressSocket : public TWSocket {
 public:
  void ConnectFirstThen(const std::string& First, const std::string& Next) {
    SetAddr(First);
    Connect();
    FNextAddrs = WSocketResolveAddrs(Next);
  }
};

}  // namespace

TEST(WSocketIpv6, AddressTextsGiveTheirFamilyAndCanonicalText) {
  struct Row {
    const char* Text;
    int Family;
    const char* Canonical;
  };
  for (const Row& R : {Row{"::1", AF_INET6, "::1"}, Row{"[::1]", AF_INET6, "::1"},
                       Row{"0:0:0:0:0:0:0:1", AF_INET6, "::1"}, Row{"fe80::1%lo", AF_INET6, "fe80::1%lo"},
                       Row{"::ffff:127.0.0.1", AF_INET6, "::ffff:127.0.0.1"}, Row{"127.0.0.1", AF_INET, "127.0.0.1"},
                       Row{"255.255.255.255", AF_INET, "255.255.255.255"}}) {
    const std::vector<sockaddr_storage> Addrs = WSocketResolveAddrs(std::string(" ") + R.Text + " ");
    ASSERT_EQ(Addrs.size(), 1u) << R.Text;
    EXPECT_EQ(Addrs[0].ss_family, R.Family) << R.Text;
    EXPECT_EQ(plat::AddressText(Addrs[0]), R.Canonical) << R.Text;
    // DnsLookup answers an address at once, without the resolver.
    TWSocket S;
    std::vector<std::uint16_t> Done;
    S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
    S.DnsLookup(R.Text);
    EXPECT_EQ(Done, std::vector<std::uint16_t>{0}) << R.Text;
    EXPECT_EQ(S.DnsResult(), R.Canonical) << R.Text;
  }
  EXPECT_TRUE(plat::SameHost(WSocketResolveAddrs("::ffff:127.0.0.1")[0], WSocketResolveAddrs("127.0.0.1")[0]));
  EXPECT_FALSE(plat::SameHost(WSocketResolveAddrs("::1")[0], WSocketResolveAddrs("127.0.0.1")[0]));
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
  EXPECT_EQ(PeerLen, static_cast<int>(sizeof(sockaddr_in6)));
  EXPECT_EQ(std::to_string(plat::AddressPort(Peer)), Port);
  EXPECT_EQ(Server.GetLocalPort(), Port);
  // The IPv4 record cannot hold the address, and says so.
  sockaddr_in Narrow{};
  int NarrowLen = sizeof(Narrow);
  EXPECT_EQ(Client.GetSockName(Narrow, NarrowLen), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), plat::WSAEFAULT);

  std::string AtServer;
  Server.OnDataAvailable = [&](TCustomWSocket* S, std::uint16_t) { AtServer += S->ReceiveString(); };
  Client.SendString("over ::1");
  ASSERT_TRUE(RunUntil([&] { return AtServer == "over ::1"; }));
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
  for (const Row& R : {Row{"::1", "127.0.0.1", true}, Row{"127.0.0.1", "::1", true}, Row{"::1", "127.0.0.1", false}}) {
    SCOPED_TRACE(std::string(R.First) + " then " + R.Next);
    TWSocket Listener, Server;
    std::string Port = ClosedPort();
    if (R.Listening) {
      Listener.SetAddr(R.Next);
      Listener.SetPort("0");
      Listener.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) { Server.Dup(Listener.Accept()); };
      Listener.Listen();
      Port = Listener.GetLocalPort();  // nobody listens there on First
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
    ASSERT_TRUE(RunUntil([&] { return Client.State() == (R.Listening ? wsConnected : wsClosed); }));
    DrainLoop();
    std::vector<std::string> Expected = {"wsClosed->wsOpened", "wsOpened->wsConnecting", "wsConnecting->wsConnected"};
    if (R.Listening)
      Expected.push_back(std::string("connected 0 ") + R.Next);
    else
      Expected.insert(Expected.end(), {"connected 10061 ", "wsConnected->wsClosed", "closed 0"});
    EXPECT_EQ(Log, Expected);
  }
}

// It reaches the proxy over IPv4 and names the host as a domain name.
TEST(WSocketIpv6, SocksLevelRefusesIpv6Addresses) {
  for (const auto& [Proxy, Host] : {std::pair{"::1", "dest.example"}, std::pair{"127.0.0.1", "[::1]"}}) {
    TWSocket S;
    S.SetSocksServer(Proxy);
    S.SetSocksPort("1080");
    S.SetAddr(Host);
    S.SetPort("21");
    EXPECT_EQ(ExceptionText([&] { S.Connect(); }), "connect: IPv6 addresses are not supported through a socks server");
    EXPECT_EQ(S.State(), wsClosed);
  }
}
