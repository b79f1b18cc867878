// Whether this machine has the IPv6 loopback address: tests over ::1 skip,
// saying why, where it has none (a container without IPv6).
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vektest {

// Empty when a socket can be bound to ::1, else the reason it cannot.
inline std::string Loopback6Missing() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("no IPv6 sockets here: ") + std::strerror(errno);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  const int err = errno;
  ::close(fd);
  return bound ? std::string() : std::string("cannot bind to ::1: ") + std::strerror(err);
}

}  // namespace vektest

#define VEK_REQUIRE_LOOPBACK6()                                                   \
  do {                                                                            \
    const std::string vekLoopback6Missing = ::vektest::Loopback6Missing();        \
    if (!vekLoopback6Missing.empty()) GTEST_SKIP() << vekLoopback6Missing;        \
  } while (false)
