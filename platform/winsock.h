// The socket calls the socket layer is written against, with the Windows Sockets
// 1.1 behaviour it expects, over non-blocking POSIX sockets:
//  - errors are reported as Windows Sockets codes through WSAGetLastError()
//    (errno mapped: ECONNREFUSED 10061, EWOULDBLOCK/EAGAIN/EINPROGRESS 10035, ...);
//  - every socket is non-blocking and close-on-exec; sends never raise SIGPIPE;
//  - recv/recvfrom re-arm the read notification, accept the accept
//    notification, a send that would block arms the write notification, and a
//    connect in progress arms the connect notification (MessageLoop::Current()).
// IPv4 and IPv6; the older IPv4-only helpers (inet_addr, LookupHostBlocking)
// stay for the callers that want exactly that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/message_loop.h"

namespace plat {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// Windows Sockets error codes used across the code.
enum : int {
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAEINPROGRESS = 10036,
  WSAEALREADY = 10037,
  WSAENOTSOCK = 10038,
  WSAEDESTADDRREQ = 10039,
  WSAEMSGSIZE = 10040,
  WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042,
  WSAEPROTONOSUPPORT = 10043,
  WSAESOCKTNOSUPPORT = 10044,
  WSAEOPNOTSUPP = 10045,
  WSAEPFNOSUPPORT = 10046,
  WSAEAFNOSUPPORT = 10047,
  WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049,
  WSAENETDOWN = 10050,
  WSAENETUNREACH = 10051,
  WSAENETRESET = 10052,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAEISCONN = 10056,
  WSAENOTCONN = 10057,
  WSAESHUTDOWN = 10058,
  WSAETOOMANYREFS = 10059,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAELOOP = 10062,
  WSAENAMETOOLONG = 10063,
  WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065,
  WSAENOTEMPTY = 10066,
  WSAEPROCLIM = 10067,
  WSAEUSERS = 10068,
  WSAEDQUOT = 10069,
  WSAESTALE = 10070,
  WSAEREMOTE = 10071,
  WSASYSNOTREADY = 10091,
  WSAVERNOTSUPPORTED = 10092,
  WSANOTINITIALISED = 10093,
  WSAHOST_NOT_FOUND = 11001,
  WSATRY_AGAIN = 11002,
  WSANO_RECOVERY = 11003,
  WSANO_DATA = 11004,
};

int WsaErrorFromErrno(int err);
// getaddrinfo/getnameinfo EAI_* codes to 11001..11004.
int WsaErrorFromResolver(int eaiError);

int WSAGetLastError();
void WSASetLastError(int error);

// Start-up needs nothing here; kept so that the socket layer's start-up count
// and its error message keep their shape. Returns 0.
int WSAStartup(std::uint16_t version);
int WSACleanup();

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* addr, socklen_t len);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len);
// SOCKET_ERROR with WSAEWOULDBLOCK while a stream connect is in progress.
int connect(SOCKET s, const sockaddr* addr, socklen_t len);
// A zero-length recv on a stream socket is a probe: SOCKET_ERROR with
// WSAEWOULDBLOCK while the connection is idle, 0 (last error 0) when data
// waits or the peer has closed.
int recv(SOCKET s, void* buf, int len, int flags);
int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromLen);
int send(SOCKET s, const void* buf, int len, int flags);
int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t toLen);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int getsockname(SOCKET s, sockaddr* addr, socklen_t* len);
int getpeername(SOCKET s, sockaddr* addr, socklen_t* len);
// Linux option names and levels. SO_LINGER also takes the socket API's short
// record (two 16-bit fields, on/off and seconds); boolean options take any
// non-zero value as on (the socket layer passes -1).
int setsockopt(SOCKET s, int level, int name, const void* value, socklen_t len);
// SO_ERROR gives the pending error as a Windows Sockets code.
int getsockopt(SOCKET s, int level, int name, void* value, socklen_t* len);
// FIONREAD (bytes waiting) and FIONBIO.
constexpr long FIONREAD_CMD = 0x4004667F;
constexpr long FIONBIO_CMD = static_cast<long>(0x8004667E);
int ioctlsocket(SOCKET s, long cmd, unsigned long* arg);

// Readiness notifications to a window (see MessageLoop::Select): wParam the
// socket, lParam MakeSelectLParam(event, error). FD_OOB is not reported.
int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, long events);

// Dotted form. inet_addr gives INADDR_NONE (all ones) for an invalid text.
std::uint32_t inet_addr(const std::string& text);
std::string inet_ntoa(std::uint32_t addrNetworkOrder);

// Socket addresses of either family. An IPv6 text may stand in brackets
// ("[::1]", as URLs write it) and name its zone ("fe80::1%eth0").
// Text to an address with port 0: dotted IPv4 (the forms inet_addr reads) or
// IPv6. False for anything else, a host name included.
bool ParseAddress(const std::string& text, sockaddr_storage& addr);
// "127.0.0.1", "::1", "fe80::1%eth0"; empty for another family.
std::string AddressText(const sockaddr_storage& addr);
// The length of the record of addr's family (0 for another family).
socklen_t AddressLength(const sockaddr_storage& addr);
// The port, host order (0 for another family), and setting it.
std::uint16_t AddressPort(const sockaddr_storage& addr);
void SetAddressPort(sockaddr_storage& addr, std::uint16_t portHostOrder);
// The same host: equal addresses, an IPv4 one equal to its IPv4-mapped IPv6
// form (a dual-stack listener sees IPv4 peers that way). Ports do not count.
bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b);

// Blocking look-ups for the synchronous resolution functions.
// Each returns 0 or a Windows Sockets code.
int LookupHostBlocking(const std::string& name, std::vector<std::uint32_t>& addrsNetworkOrder);
// A name to its addresses of both families (port 0), in the resolver's order
// (RFC 6724: usually IPv6 first where the host has a route for it).
int LookupHostAddrsBlocking(const std::string& name, std::vector<sockaddr_storage>& addrs);
int LookupServiceBlocking(const std::string& service, const std::string& proto, std::uint16_t& portHostOrder);
int LookupProtocolBlocking(const std::string& name, int& number);

}  // namespace plat
