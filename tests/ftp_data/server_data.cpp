#include "tests/ftp_data/server_data.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vektest {

namespace {

// A numeric address of either family, with Port.
bool ToAddress(const std::string& Text, std::uint16_t Port, sockaddr_storage& Addr, socklen_t& Len) {
  Addr = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&Addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&Addr);
  if (::inet_pton(AF_INET, Text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(Port);
    Len = sizeof(sockaddr_in);
    return true;
  }
  if (::inet_pton(AF_INET6, Text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(Port);
    Len = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

bool IsIpv6(const std::string& Text) { return Text.find(':') != std::string::npos; }

int ConnectFrom(const std::string& FromAddr, const std::string& ToAddr, std::uint16_t Port, int TimeoutMs) {
  sockaddr_storage local{}, to{};
  socklen_t localLen = 0, toLen = 0;
  if (!ToAddress(FromAddr, 0, local, localLen) || !ToAddress(ToAddr, Port, to, toLen)) return -1;
  const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), localLen) != 0) {
    ::close(fd);
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), toLen) != 0) {
    if (errno != EINPROGRESS) {
      ::close(fd);
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof(err);
    if (::poll(&p, 1, TimeoutMs) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      ::close(fd);
      return -1;
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  return fd;
}

}  // namespace

ServerData::~ServerData() {
  Close();
  if (listenFd_ >= 0) ::close(listenFd_);
}

bool ServerData::TakePort(const std::string& Command) {
  unsigned a, b, c, d, p1, p2;
  if (std::sscanf(Command.c_str(), "PORT %u,%u,%u,%u,%u,%u", &a, &b, &c, &d, &p1, &p2) != 6) return false;
  if (p1 > 255 || p2 > 255) return false;
  clientPort_ = static_cast<std::uint16_t>(p1 * 256 + p2);
  clientAddr_ = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
  // PORT replaces an earlier PASV, as on a real server.
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  return true;
}

bool ServerData::TakeEprt(const std::string& Command) {
  // "EPRT |2|::1|5001|": the delimiter is the character after the blank.
  if (Command.rfind("EPRT ", 0) != 0 || Command.size() < 6) return false;
  const char d = Command[5];
  std::vector<std::string> fields;
  std::size_t start = 6;
  for (std::size_t end; (end = Command.find(d, start)) != std::string::npos; start = end + 1)
    fields.push_back(Command.substr(start, end - start));
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (fields.size() != 3 || start != Command.size() || (fields[0] != "1" && fields[0] != "2") ||
      (fields[0] == "2") != IsIpv6(fields[1]) || !ToAddress(fields[1], 0, addr, len))
    return false;
  const int port = std::atoi(fields[2].c_str());
  if (port <= 0 || port > 65535) return false;
  clientAddr_ = fields[1];
  clientPort_ = static_cast<std::uint16_t>(port);
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  return true;
}

namespace {

// Listens on 127.0.0.1 and any port; the descriptor, the port in Port.
int ListenOnLoopback(std::uint16_t& Port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  Port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

std::string ServerData::Pasv() {
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = ListenOnLoopback(pasvPort_);
  if (listenFd_ < 0) return "425 test server cannot listen";
  return "227 Entering Passive Mode (127,0,0,1," + std::to_string(pasvPort_ / 256) + "," +
         std::to_string(pasvPort_ % 256) + ").";
}

std::string ServerData::Epsv() {
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = ListenOnLoopback(pasvPort_);
  if (listenFd_ < 0) return "425 test server cannot listen";
  return "229 Entering Extended Passive Mode (|||" + std::to_string(pasvPort_) + "|)";
}

bool ServerData::Open(int TimeoutMs, const char* FromAddr) {
  Close();
  if (listenFd_ >= 0) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, TimeoutMs) != 1) return false;
    fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    return fd_ >= 0;
  }
  if (clientPort_ == 0) return false;
  const std::string from = FromAddr != nullptr ? FromAddr : IsIpv6(clientAddr_) ? "::1" : "127.0.0.1";
  fd_ = ConnectFrom(from, IsIpv6(from) == IsIpv6(clientAddr_) ? clientAddr_ : "127.0.0.1", clientPort_, TimeoutMs);
  return fd_ >= 0;
}

int ServerData::ConnectExtra(const char* FromAddr, int TimeoutMs) {
  if (clientPort_ == 0) return -1;
  // A host of the other family reaches the client on that family's loopback address.
  const std::string to = IsIpv6(FromAddr) == IsIpv6(clientAddr_) ? clientAddr_
                         : IsIpv6(FromAddr)                      ? "::1"
                                                                 : "127.0.0.1";
  return ConnectFrom(FromAddr, to, clientPort_, TimeoutMs);
}

bool ServerData::Send(const std::string& Bytes) {
  std::size_t done = 0;
  while (done < Bytes.size()) {
    const ssize_t n = ::send(fd_, Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string ServerData::ReceiveAll(int TimeoutMs) {
  std::string out;
  std::vector<char> buffer(65536);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, TimeoutMs) != 1) break;
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    out.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return out;
}

void ServerData::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ServerData::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  Close();
}

bool ServerData::PeerClosed(int Fd, int TimeoutMs) {
  pollfd p{Fd, POLLIN, 0};
  if (::poll(&p, 1, TimeoutMs) != 1) return false;
  char c;
  return ::recv(Fd, &c, 1, MSG_DONTWAIT) <= 0;
}

}  // namespace vektest
