// The server's side of data connections in scripted tests: the actions of a
// script (which run on the server's thread) use it to answer PORT and PASV,
// open the data connection and move bytes over it. Every wait is bounded.
#pragma once

#include <cstdint>
#include <string>

namespace vektest {

class ServerData {
 public:
  ServerData() = default;
  ~ServerData();
  ServerData(const ServerData&) = delete;
  ServerData& operator=(const ServerData&) = delete;

  // "PORT a,b,c,d,p1,p2": remembers where to connect. False when malformed.
  bool TakePort(const std::string& Command);
  // "EPRT |f|address|port|" (RFC 2428): the same. False when malformed.
  bool TakeEprt(const std::string& Command);
  // Listens on 127.0.0.1 and gives the 227 line that names the port.
  std::string Pasv();
  // Listens on 127.0.0.1 and gives the 229 line that names the port.
  std::string Epsv();
  std::uint16_t PasvPort() const { return pasvPort_; }

  // Active mode: connects to the client's port from FromAddr (any 127.x
  // address of the loopback range, or ::1; by default the loopback address
  // of the family PORT or EPRT named). Passive mode: accepts the client.
  bool Open(int TimeoutMs = 5000, const char* FromAddr = nullptr);
  // Active mode only: a second connection to the client's port from
  // FromAddr, as a host racing the server would make (to the client's
  // loopback address of FromAddr's family). Returns its descriptor.
  int ConnectExtra(const char* FromAddr, int TimeoutMs = 5000);

  bool Send(const std::string& Bytes);
  // Everything until the client closes (or TimeoutMs passes).
  std::string ReceiveAll(int TimeoutMs = 10000);
  void Close();
  // Drops the connection with a reset, as a crashing server does.
  void Reset();
  bool IsOpen() const { return fd_ >= 0; }

  // True when the peer of Fd closed or reset the connection within TimeoutMs.
  static bool PeerClosed(int Fd, int TimeoutMs);

 private:
  int fd_ = -1;
  int listenFd_ = -1;
  std::uint16_t clientPort_ = 0;
  std::string clientAddr_ = "127.0.0.1";
  std::uint16_t pasvPort_ = 0;
};

}  // namespace vektest
