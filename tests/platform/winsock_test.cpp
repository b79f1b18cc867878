// The socket calls: error numbering, options, probes, no SIGPIPE, look-ups.
#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include "platform/winsock.h"
#include "tests/platform/loop_helpers.h"

namespace plat {
namespace {

TEST(WinsockErrors, ErrnoAndResolverCodesUseTheSocketApiNumbering) {
  EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WsaErrorFromErrno(EINPROGRESS), 10035);
  EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaErrorFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(WsaErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WsaErrorFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WsaErrorFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WsaErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WsaErrorFromErrno(EADDRNOTAVAIL), 10049);
  EXPECT_EQ(WsaErrorFromErrno(EBADF), 10038);
  EXPECT_EQ(WsaErrorFromErrno(EPIPE), 10058);
  EXPECT_EQ(WsaErrorFromResolver(EAI_NONAME), 11001);
  EXPECT_EQ(WsaErrorFromResolver(EAI_AGAIN), 11002);
  EXPECT_EQ(WsaErrorFromResolver(EAI_FAIL), 11003);
  EXPECT_EQ(WsaErrorFromResolver(EAI_NODATA), 11004);
}

TEST(WinsockErrors, LastErrorBelongsToTheThread) {
  WSASetLastError(WSAECONNRESET);
  std::thread other([] {
    EXPECT_EQ(WSAGetLastError(), 0);
    WSASetLastError(WSAEINVAL);
  });
  other.join();
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST(WinsockSockets, AreNonBlockingAndCloseOnExec) {
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_TRUE(::fcntl(s, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(::fcntl(s, F_GETFD) & FD_CLOEXEC);
  unsigned long blocking = 0;
  EXPECT_EQ(ioctlsocket(s, FIONBIO_CMD, &blocking), 0);
  EXPECT_FALSE(::fcntl(s, F_GETFL) & O_NONBLOCK);
  plat::closesocket(s);
  EXPECT_EQ(plat::closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(WinsockSockets, BooleanOptionsTakeAllBitsSetAndLingerTakesTheShortRecord) {
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  int on = -1;
  for (int name : {SO_KEEPALIVE, SO_REUSEADDR, SO_BROADCAST}) {
    ASSERT_EQ(plat::setsockopt(s, SOL_SOCKET, name, &on, sizeof on), 0) << name;
    int value = 0;
    socklen_t len = sizeof value;
    ASSERT_EQ(plat::getsockopt(s, SOL_SOCKET, name, &value, &len), 0);
    EXPECT_NE(value, 0) << name;
  }
  std::uint16_t shortLinger[2] = {1, 7};  // on, 7 seconds
  ASSERT_EQ(plat::setsockopt(s, SOL_SOCKET, SO_LINGER, shortLinger, sizeof shortLinger), 0);
  linger l{};
  socklen_t len = sizeof l;
  ASSERT_EQ(plat::getsockopt(s, SOL_SOCKET, SO_LINGER, &l, &len), 0);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 7);
  plat::closesocket(s);
}

class Pair : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::ConnectedPair(listener, client, server)); }
  void TearDown() override {
    for (SOCKET s : {client, server, listener}) {
      if (s != INVALID_SOCKET) plat::closesocket(s);
    }
  }
  // Waits (in the loop, bounded) until `s` holds `count` bytes.
  bool WaitForBytes(SOCKET s, unsigned long count) {
    return test::PumpUntil([&] {
      unsigned long waiting = 0;
      return ioctlsocket(s, FIONREAD_CMD, &waiting) == 0 && waiting >= count;
    });
  }
  SOCKET listener = INVALID_SOCKET, client = INVALID_SOCKET, server = INVALID_SOCKET;
};

TEST_F(Pair, SendingToAGonePeerFailsWithoutSigpipe) {
  auto previous = std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test program
  plat::closesocket(server);
  server = INVALID_SOCKET;
  std::string data(1000, 'x');
  int rc = 0;
  for (int i = 0; i < 1000 && rc >= 0; ++i) rc = plat::send(client, data.data(), 1000, 0);
  ASSERT_EQ(rc, SOCKET_ERROR);
  int err = WSAGetLastError();
  EXPECT_TRUE(err == WSAESHUTDOWN || err == WSAECONNRESET) << err;
  std::signal(SIGPIPE, previous);
}

TEST_F(Pair, FionreadCountsWaitingBytes) {
  ASSERT_EQ(plat::send(server, "12345", 5, 0), 5);
  ASSERT_TRUE(WaitForBytes(client, 5));
  unsigned long waiting = 0;
  ASSERT_EQ(ioctlsocket(client, FIONREAD_CMD, &waiting), 0);
  EXPECT_EQ(waiting, 5u);
}

TEST_F(Pair, ZeroLengthReceiveWouldBlockWhileOpenAndGivesZeroAtTheEnd) {
  char byte;
  EXPECT_EQ(plat::recv(client, &byte, 0, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  ASSERT_EQ(plat::send(server, "x", 1, 0), 1);
  ASSERT_TRUE(WaitForBytes(client, 1));
  EXPECT_EQ(plat::recv(client, &byte, 0, 0), 0);  // data waiting: nothing taken
  EXPECT_EQ(plat::recv(client, &byte, 1, 0), 1);
  plat::shutdown(server, SHUT_WR);
  ASSERT_TRUE(test::PumpUntil([&] { return plat::recv(client, &byte, 0, 0) == 0; }));
  EXPECT_EQ(WSAGetLastError(), 0);
}

TEST(WinsockAddresses, DottedFormBothWays) {
  EXPECT_EQ(plat::inet_addr("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(plat::inet_addr("10.1.2.3"), htonl(0x0A010203));
  EXPECT_EQ(plat::inet_addr("not.an.address"), INADDR_NONE);
  EXPECT_EQ(plat::inet_addr("1.2.3.256"), INADDR_NONE);
  EXPECT_EQ(plat::inet_ntoa(htonl(0xC0A80001)), "192.168.0.1");
}

TEST(WinsockLookups, HostServiceAndProtocolNames) {
  std::vector<std::uint32_t> addrs;
  ASSERT_EQ(LookupHostBlocking("localhost", addrs), 0);
  ASSERT_FALSE(addrs.empty());
  EXPECT_EQ(addrs[0], htonl(INADDR_LOOPBACK));
  EXPECT_EQ(LookupHostBlocking("no-such-host.invalid", addrs), WSAHOST_NOT_FOUND);
  EXPECT_TRUE(addrs.empty());

  std::uint16_t port = 0;
  ASSERT_EQ(LookupServiceBlocking("ftp", "tcp", port), 0);
  EXPECT_EQ(port, 21);
  ASSERT_EQ(LookupServiceBlocking("ftp", "", port), 0);  // any protocol
  EXPECT_EQ(port, 21);
  EXPECT_NE(LookupServiceBlocking("no-such-service", "tcp", port), 0);

  int number = 0;
  ASSERT_EQ(LookupProtocolBlocking("udp", number), 0);
  EXPECT_EQ(number, 17);
  EXPECT_NE(LookupProtocolBlocking("no-such-protocol", number), 0);
}

}  // namespace
}  // namespace plat
