#include "platform/winsock.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace plat {

namespace {
thread_local int t_lastError = 0;

int Fail(int wsaError) {
  t_lastError = wsaError;
  return SOCKET_ERROR;
}
int FailErrno() { return Fail(WsaErrorFromErrno(errno)); }

bool IsStream(SOCKET s) {
  int type = 0;
  socklen_t len = sizeof type;
  return ::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}
}  // namespace

int WsaErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;  // a closed handle is "not a socket" to the socket API
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect reports would-block
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN: return WSAESHUTDOWN;  // sending after the connection went down
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;  // no socket-API counterpart; callers still see a failure
  }
}

int WsaErrorFromResolver(int eaiError) {
  switch (eaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;  // the name exists, but has no IPv4 address
#endif
    case EAI_SERVICE: return WSANO_DATA;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_SYSTEM: return WsaErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
  }
}

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int error) { t_lastError = error; }

int WSAStartup(std::uint16_t /*version*/) { return 0; }
int WSACleanup() { return 0; }

SOCKET socket(int af, int type, int protocol) {
  int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailErrno();
  MessageLoop::Current().Forget(fd);  // whatever was known of an earlier descriptor with this number
  return fd;
}

int bind(SOCKET s, const sockaddr* addr, socklen_t len) {
  return ::bind(s, addr, len) < 0 ? FailErrno() : 0;
}

int listen(SOCKET s, int backlog) {
  if (::listen(s, backlog) < 0) return FailErrno();
  MessageLoop::Current().ReenableAccept(s);  // registered before listening: now it accepts
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len) {
  int fd = ::accept4(s, addr, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  int err = errno;
  MessageLoop& loop = MessageLoop::Current();
  loop.ReenableAccept(s);  // any accept call allows the next accept notification
  if (fd < 0) return Fail(WsaErrorFromErrno(err));
  loop.Forget(fd);
  return fd;
}

int connect(SOCKET s, const sockaddr* addr, socklen_t len) {
  int rc = ::connect(s, addr, len);
  // EINTR: the connection goes on in the background, as for EINPROGRESS.
  bool inProgress = rc < 0 && (errno == EINPROGRESS || errno == EINTR);
  int err = errno;
  if (rc < 0 && !inProgress) return Fail(WsaErrorFromErrno(err));
  if (IsStream(s)) {
    // Also after an immediate success: the outcome is always a connect notification.
    MessageLoop::Current().ConnectStarted(s);
  }
  return inProgress ? Fail(WSAEWOULDBLOCK) : 0;
}

int recv(SOCKET s, void* buf, int len, int flags) {
  MessageLoop::Current().ReenableRead(s);
  if (len < 0) return Fail(WSAEINVAL);
  if (len == 0 && IsStream(s)) {
    // A zero-length receive is a probe: would-block while the connection is
    // idle, 0 at its end. (Linux would always answer 0, as if it had ended.)
    char byte;
    ssize_t n = ::recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) return FailErrno();
    t_lastError = 0;
    return 0;
  }
  ssize_t n = ::recv(s, buf, static_cast<size_t>(len), flags | MSG_DONTWAIT);
  return n < 0 ? FailErrno() : static_cast<int>(n);
}

int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromLen) {
  MessageLoop::Current().ReenableRead(s);
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t n = ::recvfrom(s, buf, static_cast<size_t>(len), flags | MSG_DONTWAIT, from, fromLen);
  return n < 0 ? FailErrno() : static_cast<int>(n);
}

int send(SOCKET s, const void* buf, int len, int flags) {
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t n = ::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK) MessageLoop::Current().ArmWriteAfterWouldBlock(s);
  return FailErrno();
}

int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t toLen) {
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t n = ::sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT, to, toLen);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK) MessageLoop::Current().ArmWriteAfterWouldBlock(s);
  return FailErrno();
}

int closesocket(SOCKET s) {
  if (s < 0) return Fail(WSAENOTSOCK);
  MessageLoop::Current().Forget(s);
  // Linux releases the descriptor even when close is interrupted: not retried.
  if (::close(s) < 0 && errno != EINTR) return FailErrno();
  return 0;
}

int shutdown(SOCKET s, int how) { return ::shutdown(s, how) < 0 ? FailErrno() : 0; }

int getsockname(SOCKET s, sockaddr* addr, socklen_t* len) {
  return ::getsockname(s, addr, len) < 0 ? FailErrno() : 0;
}

int getpeername(SOCKET s, sockaddr* addr, socklen_t* len) {
  return ::getpeername(s, addr, len) < 0 ? FailErrno() : 0;
}

int setsockopt(SOCKET s, int level, int name, const void* value, socklen_t len) {
  if (level == SOL_SOCKET && name == SO_LINGER && len == 2 * sizeof(std::uint16_t) && value != nullptr) {
    // The socket API's linger record is two 16-bit fields; Linux wants two ints.
    std::uint16_t fields[2];
    std::memcpy(fields, value, sizeof fields);
    linger l{fields[0], fields[1]};
    return ::setsockopt(s, level, name, &l, sizeof l) < 0 ? FailErrno() : 0;
  }
  // Boolean options (SO_KEEPALIVE, SO_REUSEADDR, SO_BROADCAST) take any non-zero
  // int as "on" on Linux too, so -1 (all bits set) passes through unchanged.
  return ::setsockopt(s, level, name, value, len) < 0 ? FailErrno() : 0;
}

int getsockopt(SOCKET s, int level, int name, void* value, socklen_t* len) {
  if (::getsockopt(s, level, name, value, len) < 0) return FailErrno();
  if (level == SOL_SOCKET && name == SO_ERROR && value != nullptr && *len >= sizeof(int)) {
    int err;
    std::memcpy(&err, value, sizeof err);
    err = WsaErrorFromErrno(err);  // pending errors in the socket API's numbering as well
    std::memcpy(value, &err, sizeof err);
  }
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* arg) {
  if (arg == nullptr) return Fail(WSAEFAULT);
  if (cmd == FIONREAD_CMD || cmd == FIONREAD) {
    int count = 0;
    if (::ioctl(s, FIONREAD, &count) < 0) return FailErrno();
    *arg = static_cast<unsigned long>(count);
    return 0;
  }
  if (cmd == FIONBIO_CMD || cmd == FIONBIO) {
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return FailErrno();
    flags = *arg != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) < 0 ? FailErrno() : 0;
  }
  return Fail(WSAEINVAL);
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT msg, long events) {
  int err = MessageLoop::Current().Select(s, window, msg, events);
  return err != 0 ? Fail(err) : 0;
}

std::uint32_t inet_addr(const std::string& text) { return ::inet_addr(text.c_str()); }

std::string inet_ntoa(std::uint32_t addrNetworkOrder) {
  in_addr a{};
  a.s_addr = addrNetworkOrder;
  char text[INET_ADDRSTRLEN];
  return ::inet_ntop(AF_INET, &a, text, sizeof text) != nullptr ? std::string(text) : std::string();
}

int LookupHostBlocking(const std::string& name, std::vector<std::uint32_t>& addrsNetworkOrder) {
  addrsNetworkOrder.clear();
  std::vector<sockaddr_storage> addrs;
  const int rc = LookupHostAddrsBlocking(name, addrs);
  if (rc != 0) return rc;
  for (const sockaddr_storage& a : addrs)
    if (a.ss_family == AF_INET) addrsNetworkOrder.push_back(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr);
  return addrsNetworkOrder.empty() ? WSANO_DATA : 0;
}

namespace {

std::string WithoutBrackets(const std::string& text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
  return text;
}

}  // namespace

bool ParseAddress(const std::string& text, sockaddr_storage& addr) {
  addr = sockaddr_storage{};
  in_addr v4{};
  // inet_aton, unlike inet_addr, tells 255.255.255.255 from a failure; both
  // take anything after a blank, which an address text must not have.
  if (text.find_first_of(" \t\r\n") == std::string::npos && ::inet_aton(text.c_str(), &v4) != 0) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&addr);
    sin->sin_family = AF_INET;
    sin->sin_addr = v4;
    return true;
  }
  const std::string inner = WithoutBrackets(text);
  if (inner.find(':') == std::string::npos) return false;
  // getaddrinfo rather than inet_pton: it also reads a zone ("%eth0").
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* result = nullptr;
  if (::getaddrinfo(inner.c_str(), nullptr, &hints, &result) != 0) return false;
  const bool ok = result != nullptr && result->ai_family == AF_INET6 && result->ai_addrlen <= sizeof addr;
  if (ok) std::memcpy(&addr, result->ai_addr, result->ai_addrlen);
  ::freeaddrinfo(result);
  return ok;
}

std::string AddressText(const sockaddr_storage& addr) {
  const socklen_t len = AddressLength(addr);
  char text[NI_MAXHOST];
  if (len == 0 ||
      ::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
    return std::string();
  return text;
}

socklen_t AddressLength(const sockaddr_storage& addr) {
  switch (addr.ss_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
  }
}

std::uint16_t AddressPort(const sockaddr_storage& addr) {
  switch (addr.ss_family) {
    case AF_INET: return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    case AF_INET6: return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
    default: return 0;
  }
}

void SetAddressPort(sockaddr_storage& addr, std::uint16_t portHostOrder) {
  if (addr.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(addr).sin_port = htons(portHostOrder);
  if (addr.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(addr).sin6_port = htons(portHostOrder);
}

namespace {

// The 16 bytes of an IPv6 address, an IPv4 one in its mapped form; false for another family.
bool As16Bytes(const sockaddr_storage& addr, unsigned char (&bytes)[16]) {
  if (addr.ss_family == AF_INET6) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, 16);
    return true;
  }
  if (addr.ss_family != AF_INET) return false;
  std::memset(bytes, 0, 10);
  bytes[10] = bytes[11] = 0xFF;
  std::memcpy(bytes + 12, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, 4);
  return true;
}

}  // namespace

bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  unsigned char x[16], y[16];
  return As16Bytes(a, x) && As16Bytes(b, y) && std::memcmp(x, y, 16) == 0;
}

int LookupHostAddrsBlocking(const std::string& name, std::vector<sockaddr_storage>& addrs) {
  addrs.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  // No AI_ADDRCONFIG: it hides ::1 on a host whose only IPv6 address is
  // the loopback one; an address the host cannot reach fails its connect at
  // once, and the socket layer goes on with the next.
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) return WsaErrorFromResolver(rc);
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || ai->ai_addrlen > sizeof(sockaddr_storage))
      continue;
    sockaddr_storage addr{};
    std::memcpy(&addr, ai->ai_addr, ai->ai_addrlen);
    addrs.push_back(addr);
  }
  ::freeaddrinfo(result);
  return addrs.empty() ? WSANO_DATA : 0;
}

int LookupServiceBlocking(const std::string& service, const std::string& proto, std::uint16_t& portHostOrder) {
  servent entry;
  servent* found = nullptr;
  char buffer[1024];
  int rc = ::getservbyname_r(service.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, buffer,
                             sizeof buffer, &found);
  if (rc != 0 || found == nullptr) return rc == ERANGE ? WSAENOBUFS : WSANO_DATA;
  portHostOrder = ntohs(static_cast<std::uint16_t>(found->s_port));
  return 0;
}

int LookupProtocolBlocking(const std::string& name, int& number) {
  protoent entry;
  protoent* found = nullptr;
  char buffer[1024];
  int rc = ::getprotobyname_r(name.c_str(), &entry, buffer, sizeof buffer, &found);
  if (rc != 0 || found == nullptr) return rc == ERANGE ? WSAENOBUFS : WSANO_DATA;
  number = found->p_proto;
  return 0;
}

}  // namespace plat
