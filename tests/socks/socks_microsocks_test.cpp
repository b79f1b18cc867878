// End to end through a real SOCKS 5 proxy (Debian's microsocks, started here
// on 127.0.0.1) to an echo server: the bytes must arrive intact both ways.
// A proxy that cannot be started fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "socket/wsocket.h"
#include "tests/socks/socket_test_support.h"

using vek_test::Microsocks;
using vek_test::RunUntil;
using vek_test::ScriptedPeer;

namespace {

std::string RandomBytes(std::size_t Count, unsigned Seed) {
  std::mt19937 Gen(Seed);
  std::string Out(Count, '\0');
  for (char& C : Out) C = static_cast<char>(Gen() & 0xFF);
  return Out;
}

struct EchoSession {
  TWSocket Sock;
  std::string Received;
  std::vector<TSocksAuthState> AuthStates;
  int ConnectedError = -1;
  int SocksErrorCode = 0;
  bool Closed = false;

  EchoSession(const Microsocks& Proxy, const ScriptedPeer& Echo) {
    Sock.SetSocksServer("127.0.0.1");
    Sock.SetSocksPort(Proxy.PortText());
    Sock.SetAddr("127.0.0.1");
    Sock.SetPort(Echo.PortText());
    Sock.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t E) { ConnectedError = E; };
    Sock.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState S) { AuthStates.push_back(S); };
    Sock.OnSocksError = [this](TCustomWSocket*, int E, const std::string&) { SocksErrorCode = E; };
    Sock.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) { Closed = true; };
    Sock.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) {
      char Buffer[16384];
      const int Got = Sock.Receive(Buffer, sizeof(Buffer));
      if (Got > 0) Received.append(Buffer, static_cast<std::size_t>(Got));
    };
  }

  // Sends Payload through the proxy and waits for its echo.
  void RoundTrip(const std::string& Payload) {
    ASSERT_TRUE(RunUntil([&] { return ConnectedError >= 0; })) << "no OnSessionConnected";
    ASSERT_EQ(ConnectedError, 0);
    EXPECT_EQ(Sock.State(), wsConnected);
    Sock.Send(Payload.data(), static_cast<int>(Payload.size()));
    ASSERT_TRUE(RunUntil([&] { return Received.size() >= Payload.size() || Closed; }))
        << Received.size() << " of " << Payload.size() << " bytes came back";
    EXPECT_TRUE(Received == Payload) << "the echo differs";
    EXPECT_EQ(Sock.ReadCount(), static_cast<int>(Payload.size()));
  }
};

}  // namespace

TEST(SocksMicrosocks, RoundTripWithoutAuthentication) {
  Microsocks Proxy;
  ASSERT_TRUE(Proxy.Started()) << Proxy.Error();
  ScriptedPeer Echo(vek_test::EchoScript);
  EchoSession S(Proxy, Echo);
  S.Sock.Connect();
  S.RoundTrip(RandomBytes(300000, 1));
  EXPECT_TRUE(S.AuthStates.empty());
}

TEST(SocksMicrosocks, ProxyWithoutAuthenticationRefusesAnOfferOfUsercodeOnly) {
  Microsocks Proxy;
  ASSERT_TRUE(Proxy.Started()) << Proxy.Error();
  ScriptedPeer Echo(vek_test::EchoScript);
  EchoSession S(Proxy, Echo);
  S.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
  S.Sock.SetSocksUsercode("someone");
  S.Sock.SetSocksPassword("whatever");
  S.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return S.Closed; }));
  // RFC 1928: FF, no acceptable method; only one method is ever offered.
  EXPECT_EQ(S.SocksErrorCode, 20003);
  EXPECT_EQ(S.ConnectedError, 20003);
  EXPECT_TRUE(S.AuthStates.empty());
}

TEST(SocksMicrosocks, RoundTripWithUsercodeAndPassword) {
  Microsocks Proxy("vekuser", "s3cret pass");
  ASSERT_TRUE(Proxy.Started()) << Proxy.Error();
  ScriptedPeer Echo(vek_test::EchoScript);
  EchoSession S(Proxy, Echo);
  S.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
  S.Sock.SetSocksUsercode("vekuser");
  S.Sock.SetSocksPassword("s3cret pass");
  S.Sock.Connect();
  S.RoundTrip(RandomBytes(200000, 2));
  EXPECT_EQ(S.AuthStates, (std::vector<TSocksAuthState>{socksAuthBegun, socksAuthSucceeded}));
}

TEST(SocksMicrosocks, WrongPasswordIsRefused) {
  Microsocks Proxy("vekuser", "right");
  ASSERT_TRUE(Proxy.Started()) << Proxy.Error();
  ScriptedPeer Echo(vek_test::EchoScript);
  EchoSession S(Proxy, Echo);
  S.Sock.SetSocksAuthentication(socksAuthenticateUsercode);
  S.Sock.SetSocksUsercode("vekuser");
  S.Sock.SetSocksPassword("wrong");
  S.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return S.Closed; }));
  EXPECT_NE(S.ConnectedError, 0);
  EXPECT_FALSE(Echo.Accepted());
  ASSERT_FALSE(S.AuthStates.empty());
  EXPECT_EQ(S.AuthStates.back(), socksAuthFailed);
  EXPECT_EQ(std::count(S.AuthStates.begin(), S.AuthStates.end(), socksAuthFailed), 1);
}

TEST(SocksMicrosocks, ProxyWithAuthenticationRefusesAnOfferOfNone) {
  Microsocks Proxy("vekuser", "right");
  ASSERT_TRUE(Proxy.Started()) << Proxy.Error();
  ScriptedPeer Echo(vek_test::EchoScript);
  EchoSession S(Proxy, Echo);
  S.Sock.Connect();
  ASSERT_TRUE(RunUntil([&] { return S.Closed; }));
  // RFC 1928: FF, no acceptable method.
  EXPECT_EQ(S.SocksErrorCode, 20003);
  EXPECT_EQ(S.ConnectedError, 20003);
  EXPECT_FALSE(Echo.Accepted());
}
