#include "tests/ftp_data/server_data.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vektest {

namespace {

int ConnectFrom(const char* FromAddr, std::uint16_t Port, int TimeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, FromAddr, &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    ::close(fd);
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(Port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
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
  // PORT replaces an earlier PASV, as on a real server.
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  return true;
}

std::string ServerData::Pasv() {
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(listenFd_, 4) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return "425 test server cannot listen";
  pasvPort_ = ntohs(addr.sin_port);
  return "227 Entering Passive Mode (127,0,0,1," + std::to_string(pasvPort_ / 256) + "," +
         std::to_string(pasvPort_ % 256) + ").";
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
  fd_ = ConnectFrom(FromAddr, clientPort_, TimeoutMs);
  return fd_ >= 0;
}

int ServerData::ConnectExtra(const char* FromAddr, int TimeoutMs) {
  return clientPort_ == 0 ? -1 : ConnectFrom(FromAddr, clientPort_, TimeoutMs);
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
