// Readiness notifications over real loopback connections, with the socket
// API's re-enabling rules.
#include <cstring>
#include <string>

#include <poll.h>

#include <gtest/gtest.h>

#include "platform/winsock.h"
#include "tests/platform/loop_helpers.h"

namespace plat {
namespace {

using test::kSocketMsg;
using test::PumpFor;
using test::PumpUntil;
using test::Recorder;

constexpr long kConnectMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3B
constexpr long kListenMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;                 // 0x2B
constexpr long kDupMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;                    // 0x33
// Long enough for a stray notification to show up; loopback delivers at once.
constexpr int kQuietMs = 250;

// A connected pair over 127.0.0.1: `client` registered with the connect mask
// on `rec` and connected; `server` the accepted end, not registered.
class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    std::uint16_t port = 0;
    listener = test::Listener(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    client = plat::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(client, rec.window, kSocketMsg, kConnectMask), 0);
    int rc = test::ConnectTo(client, port);
    ASSERT_TRUE(rc == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_CONNECT) == 1; }));
    ASSERT_EQ(SelectError(rec.Last(client, FD_CONNECT)->lParam), 0u);
    server = plat::accept(listener, nullptr, nullptr);
    ASSERT_NE(server, INVALID_SOCKET);
  }
  void TearDown() override {
    if (client != INVALID_SOCKET) plat::closesocket(client);
    if (server != INVALID_SOCKET) plat::closesocket(server);
    if (listener != INVALID_SOCKET) plat::closesocket(listener);
    MessageLoop::Current().DispatchPending();
  }
  void ServerSends(const std::string& data) {
    ASSERT_EQ(plat::send(server, data.data(), static_cast<int>(data.size()), 0), static_cast<int>(data.size()));
  }
  std::string ClientDrains() {
    std::string got;
    char buf[4096];
    int n;
    while ((n = plat::recv(client, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
    return got;
  }

  // The server closes (resetting the connection, or not) with no data sent:
  // one close notification, no read one, also after the client's receive
  // (the socket layer drains in its close handler). Returns the close's error.
  unsigned ServerClosesAndClientSeesOneClose(bool reset) {
    if (reset) {
      linger abort{1, 0};  // closing with a zero linger time resets the connection
      EXPECT_EQ(plat::setsockopt(server, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    }
    EXPECT_EQ(plat::closesocket(server), 0);
    server = INVALID_SOCKET;
    if (!PumpUntil([&] { return rec.Count(client, FD_CLOSE) == 1; })) return ~0u;
    unsigned error = SelectError(rec.Last(client, FD_CLOSE)->lParam);
    char buf[16];
    int n = plat::recv(client, buf, sizeof buf, 0);
    if (!reset) {
      EXPECT_EQ(n, 0);  // the end of the stream
    }
    PumpFor(kQuietMs);
    EXPECT_EQ(rec.Count(client, FD_CLOSE), 1);
    EXPECT_EQ(rec.Count(client, FD_READ), 0);
    return error;
  }

  Recorder rec;
  SOCKET listener = INVALID_SOCKET, client = INVALID_SOCKET, server = INVALID_SOCKET;
};

TEST_F(Connection, ConnectIsNotifiedOnceThenWrite) {
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(client, FD_CONNECT), 1);
  ASSERT_EQ(rec.Count(client, FD_WRITE), 1);
  // Connect comes first, write after it.
  std::size_t connectAt = 0, writeAt = 0;
  for (std::size_t i = 0; i < rec.notes.size(); ++i) {
    if (SelectEvent(rec.notes[i].lParam) == FD_CONNECT) connectAt = i;
    if (SelectEvent(rec.notes[i].lParam) == FD_WRITE) writeAt = i;
  }
  EXPECT_LT(connectAt, writeAt);
  EXPECT_EQ(rec.Count(client, FD_READ | FD_CLOSE), 0);
}

TEST(Connect, RefusedPortGivesConnectWithConnectionRefusedAndNothingElse) {
  Recorder rec;
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(WSAAsyncSelect(s, rec.window, kSocketMsg, kConnectMask), 0);
  int rc = test::ConnectTo(s, test::ClosedPort());
  if (rc != 0) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);  // the refusal arrives as a notification
  }
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(s, FD_CONNECT) == 1; }));
  EXPECT_EQ(SelectError(rec.Last(s, FD_CONNECT)->lParam), static_cast<unsigned>(WSAECONNREFUSED));
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.notes.size(), 1u);
  plat::closesocket(s);
}

// A connect that fails at once (here: TCP to the broadcast address, refused
// before any packet leaves) leaves an open socket that never had a connection:
// nothing to notify, neither now nor after registering again.
TEST(Connect, SocketThatNeverConnectedGetsNoNotification) {
  Recorder rec;
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(WSAAsyncSelect(s, rec.window, kSocketMsg, kConnectMask), 0);
  sockaddr_in broadcast = test::Loopback(21);
  broadcast.sin_addr.s_addr = INADDR_BROADCAST;
  ASSERT_EQ(plat::connect(s, reinterpret_cast<sockaddr*>(&broadcast), sizeof broadcast), SOCKET_ERROR);
  EXPECT_NE(WSAGetLastError(), WSAEWOULDBLOCK);
  PumpFor(kQuietMs);
  ASSERT_EQ(WSAAsyncSelect(s, rec.window, kSocketMsg, kDupMask), 0);
  PumpFor(kQuietMs);
  EXPECT_TRUE(rec.notes.empty()) << SelectEvent(rec.notes.front().lParam);
  plat::closesocket(s);
}

TEST_F(Connection, OneReadNotificationUntilTheNextReceive) {
  ServerSends("a");
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_READ) == 1; }));
  for (int i = 0; i < 20; ++i) ServerSends(std::string(1000, 'x'));
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(client, FD_READ), 1);

  char byte;
  ASSERT_EQ(plat::recv(client, &byte, 1, 0), 1);  // data remains: a new notification
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_READ) == 2; }));
  EXPECT_EQ(ClientDrains().size(), 20000u);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(client, FD_READ), 2);  // nothing left: nothing more
  EXPECT_EQ(rec.Count(client, FD_CLOSE), 0);

  ServerSends("b");  // re-armed by the last receive
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_READ) == 3; }));
}

// What a host event loop watching the descriptor sees: readable while a
// notification is due, quiet once it is posted and dispatched, even though the
// socket itself stays readable (data not yet received, or its end).
TEST_F(Connection, DescriptorQuietOnceTheNotificationIsOut) {
  MessageLoop& loop = MessageLoop::Current();
  PumpFor(50);  // connect and write are out
  auto readable = [&] {
    pollfd p{loop.Descriptor(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  };
  EXPECT_FALSE(readable());
  ServerSends("x");
  pollfd p{loop.Descriptor(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  loop.DispatchPending();
  EXPECT_EQ(rec.Count(client, FD_READ), 1);
  EXPECT_FALSE(readable());  // the byte is still there, unreceived
  plat::closesocket(server);
  server = INVALID_SOCKET;
  char byte;
  ASSERT_EQ(plat::recv(client, &byte, 1, 0), 1);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_CLOSE) == 1; }));
  EXPECT_FALSE(readable());  // at the end of the stream as well
}

TEST_F(Connection, EndOfStreamGivesOneCloseAfterTheDataIsDrained) {
  ServerSends("abc");
  ASSERT_EQ(plat::shutdown(server, SHUT_WR), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_READ) == 1; }));
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(client, FD_CLOSE), 0);  // data still buffered: no close yet

  EXPECT_EQ(ClientDrains(), "abc");  // ends on 0, the end of the stream
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_CLOSE) == 1; }));
  EXPECT_EQ(SelectError(rec.Last(client, FD_CLOSE)->lParam), 0u);
  char byte;
  EXPECT_EQ(plat::recv(client, &byte, 1, 0), 0);  // re-arms read, yet the end is not news
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(client, FD_CLOSE), 1);
  EXPECT_EQ(rec.Count(client, FD_READ), 1);
}

TEST_F(Connection, PeerCloseWithoutDataGivesOneCloseAndNoRead) {
  EXPECT_EQ(ServerClosesAndClientSeesOneClose(false), 0u);
}

TEST_F(Connection, ResetGivesOneCloseWithConnectionReset) {
  EXPECT_EQ(ServerClosesAndClientSeesOneClose(true), static_cast<unsigned>(WSAECONNRESET));
}

TEST_F(Connection, WriteAfterASendThatWouldBlockOnceThePeerDrains) {
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_WRITE) == 1; }));  // after connect
  std::string chunk(65536, 'z');
  std::size_t sent = 0;
  for (int i = 0; i < 10000; ++i) {
    int n = plat::send(client, chunk.data(), static_cast<int>(chunk.size()), 0);
    if (n < 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(client, FD_WRITE), 1);  // still full: no write notification

  std::size_t received = 0;
  char buf[65536];
  ASSERT_TRUE(PumpUntil([&] {
    int n;
    while ((n = plat::recv(server, buf, sizeof buf, 0)) > 0) received += static_cast<std::size_t>(n);
    return rec.Count(client, FD_WRITE) == 2;
  }));
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(client, FD_WRITE), 2);  // once per blocked send
  EXPECT_GT(sent, 0u);
}

TEST_F(Connection, RegisteringAConnectedSocketGivesWriteAndOnlyMaskedEvents) {
  Recorder srv;
  ASSERT_EQ(WSAAsyncSelect(server, srv.window, kSocketMsg, kDupMask), 0);
  ASSERT_TRUE(PumpUntil([&] { return srv.Count(server, FD_WRITE) == 1; }));

  Recorder readOnly;
  ASSERT_EQ(WSAAsyncSelect(server, readOnly.window, kSocketMsg, FD_READ), 0);
  std::string data = "hello";
  ASSERT_EQ(plat::send(client, data.data(), 5, 0), 5);
  ASSERT_TRUE(PumpUntil([&] { return readOnly.Count(server, FD_READ) == 1; }));
  plat::shutdown(client, SHUT_WR);
  char buf[16];
  EXPECT_EQ(plat::recv(server, buf, sizeof buf, 0), 5);
  PumpFor(kQuietMs);
  EXPECT_EQ(readOnly.notes.size(), 1u);  // no write, no close: not asked for
  EXPECT_EQ(srv.notes.size(), 1u);       // the earlier registration is replaced
}

TEST_F(Connection, MaskZeroStopsNotificationsAndANewRegistrationResumes) {
  ASSERT_EQ(WSAAsyncSelect(client, rec.window, kSocketMsg, 0), 0);
  MessageLoop::Current().DispatchPending();
  std::size_t before = rec.notes.size();
  ServerSends("data");
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.notes.size(), before);
  ASSERT_EQ(WSAAsyncSelect(client, rec.window, kSocketMsg, kDupMask), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(client, FD_READ) == 1; }));
}

TEST_F(Connection, ClosedSocketIsForgotten) {
  SOCKET closed = client;
  ServerSends("late");
  ASSERT_EQ(plat::closesocket(client), 0);
  client = INVALID_SOCKET;
  std::size_t before = rec.notes.size();
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.notes.size(), before);
  EXPECT_EQ(WSAAsyncSelect(closed, rec.window, kSocketMsg, kConnectMask), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(Accept, NotifiedOnceAndReArmedByAccept) {
  Recorder rec;
  std::uint16_t port = 0;
  SOCKET listener = test::Listener(port);
  ASSERT_EQ(WSAAsyncSelect(listener, rec.window, kSocketMsg, kListenMask), 0);
  SOCKET a = plat::socket(AF_INET, SOCK_STREAM, 0);
  SOCKET b = plat::socket(AF_INET, SOCK_STREAM, 0);
  test::ConnectTo(a, port);
  test::ConnectTo(b, port);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(listener, FD_ACCEPT) == 1; }));
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(listener, FD_ACCEPT), 1);
  EXPECT_EQ(rec.Count(listener, FD_READ | FD_WRITE | FD_CLOSE), 0);  // a listener only accepts

  SOCKET first = plat::accept(listener, nullptr, nullptr);
  ASSERT_NE(first, INVALID_SOCKET);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(listener, FD_ACCEPT) == 2; }));  // the second waits
  SOCKET second = plat::accept(listener, nullptr, nullptr);
  ASSERT_NE(second, INVALID_SOCKET);
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(listener, FD_ACCEPT), 2);
  EXPECT_EQ(plat::accept(listener, nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  for (SOCKET s : {a, b, first, second, listener}) plat::closesocket(s);
  MessageLoop::Current().DispatchPending();
}

}  // namespace
}  // namespace plat

namespace plat {
namespace {

// Datagrams have no end of stream: even an empty one is something to read.
TEST(Datagram, ReadPerReceiveAndWriteOnRegistration) {
  Recorder rec;
  SOCKET a = plat::socket(AF_INET, SOCK_DGRAM, 0);
  SOCKET b = plat::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin = test::Loopback(0);
  ASSERT_EQ(plat::bind(a, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  socklen_t len = sizeof sin;
  plat::getsockname(a, reinterpret_cast<sockaddr*>(&sin), &len);
  ASSERT_EQ(WSAAsyncSelect(a, rec.window, test::kSocketMsg, FD_READ | FD_WRITE | FD_CLOSE), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(a, FD_WRITE) == 1; }));

  const sockaddr* to = reinterpret_cast<sockaddr*>(&sin);
  ASSERT_EQ(plat::sendto(b, "", 0, 0, to, sizeof sin), 0);
  ASSERT_EQ(plat::sendto(b, "two", 3, 0, to, sizeof sin), 3);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(a, FD_READ) == 1; }));
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(a, FD_READ), 1);
  char buf[16];
  EXPECT_EQ(plat::recvfrom(a, buf, sizeof buf, 0, nullptr, nullptr), 0);  // the empty one
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(a, FD_READ) == 2; }));
  EXPECT_EQ(plat::recvfrom(a, buf, sizeof buf, 0, nullptr, nullptr), 3);
  PumpFor(kQuietMs);
  EXPECT_EQ(rec.Count(a, FD_READ), 2);
  EXPECT_EQ(rec.Count(a, FD_CLOSE), 0);
  plat::closesocket(a);
  plat::closesocket(b);
}

}  // namespace
}  // namespace plat
