// Preparing the data connection: PORT or PASV over IPv4, EPRT or EPSV over
// IPv6 (RFC 2428) and EPSV where a server refuses PASV, the passive connect,
// the active accept (only from the server's own address), and the text of
// these commands and replies.
#include "ftp/ftpcli.h"

#include <cstring>

#include <arpa/inet.h>

#include "platform/winsock.h"

namespace {

std::string DottedAddress(std::uint32_t NetworkOrder) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = NetworkOrder;
  ::inet_ntop(AF_INET, &a, text, sizeof(text));
  return text;
}

bool IsMappedIpv4(const sockaddr_storage& Addr) {
  return Addr.ss_family == AF_INET6 &&
         IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(Addr).sin6_addr);
}

// An IPv4 address, network order: of an IPv4 record or an IPv4-mapped IPv6 one.
std::uint32_t Ipv4Of(const sockaddr_storage& Addr) {
  std::uint32_t v4 = 0;
  if (Addr.ss_family == AF_INET) v4 = reinterpret_cast<const sockaddr_in&>(Addr).sin_addr.s_addr;
  if (IsMappedIpv4(Addr)) std::memcpy(&v4, reinterpret_cast<const sockaddr_in6&>(Addr).sin6_addr.s6_addr + 12, 4);
  return v4;
}

// A host's address as a 227 reply would name it: IPv4-mapped ones dotted.
std::string HostText(const sockaddr_storage& Addr) {
  if (IsMappedIpv4(Addr)) return DottedAddress(Ipv4Of(Addr));
  return plat::AddressText(Addr);
}

// "127.0.0.1:5001", "[::1]:5001".
std::string Endpoint(const std::string& Host, std::uint16_t Port) {
  const std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
  return host + ":" + std::to_string(Port);
}

int LeadingCode(const std::string& Line) {
  std::int64_t code = 0;
  TCustomFtpCli::ParseInt(Line, 0, code);
  return static_cast<int>(code);
}

}  // namespace

// ---------------------------------------------------------------------------
// Text routines

bool TCustomFtpCli::ParsePasvPort(const std::string& Reply, std::uint16_t& Port) {
  std::string address;
  return ParsePasvAddress(Reply, address, Port);
}

bool TCustomFtpCli::ParsePasvAddress(const std::string& Reply, std::string& Address, std::uint16_t& Port) {
  const std::size_t open = Reply.find('(');
  if (open == std::string::npos) return false;
  std::size_t pos = open + 1;
  int numbers[6] = {};
  for (int i = 0; i < 6; ++i) {
    pos = SkipBlanks(Reply, pos);
    const std::size_t digits = pos;
    int v = 0;
    while (pos < Reply.size() && Reply[pos] >= '0' && Reply[pos] <= '9' && pos - digits < 3) {
      v = v * 10 + (Reply[pos] - '0');
      ++pos;
    }
    if (pos == digits || v > 255) return false;
    numbers[i] = v;
    pos = SkipBlanks(Reply, pos);
    const char expected = i < 5 ? ',' : ')';
    if (pos >= Reply.size() || Reply[pos] != expected) return false;
    ++pos;
  }
  Address = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) + "." +
            std::to_string(numbers[3]);
  Port = static_cast<std::uint16_t>(numbers[4] * 256 + numbers[5]);
  return true;
}

bool TCustomFtpCli::ParseEpsvPort(const std::string& Reply, std::uint16_t& Port) {
  const std::size_t open = Reply.find('(');
  if (open == std::string::npos || open + 1 >= Reply.size()) return false;
  // The character after "(" delimits the fields: any printable one but a
  // digit, which could not be told from the port.
  const char d = Reply[open + 1];
  if (d < 33 || d > 126 || (d >= '0' && d <= '9')) return false;
  // Protocol and address stay empty: the data goes to the control connection's host.
  std::size_t pos = open + 2;
  if (Reply.compare(pos, 2, std::string(2, d)) != 0) return false;
  pos += 2;
  const std::size_t digits = pos;
  unsigned v = 0;
  while (pos < Reply.size() && Reply[pos] >= '0' && Reply[pos] <= '9' && pos - digits < 5) {
    v = v * 10 + static_cast<unsigned>(Reply[pos] - '0');
    ++pos;
  }
  if (pos == digits || v == 0 || v > 65535) return false;
  if (pos + 1 >= Reply.size() || Reply[pos] != d || Reply[pos + 1] != ')') return false;
  Port = static_cast<std::uint16_t>(v);
  return true;
}

std::string TCustomFtpCli::EprtCommand(const std::string& LocalAddr, std::uint16_t Port) {
  // A zone ("%eth0") means nothing on the server's side.
  const std::string address = LocalAddr.substr(0, LocalAddr.find('%'));
  const char* family = address.find(':') != std::string::npos ? "2" : "1";
  return std::string("EPRT |") + family + "|" + address + "|" + std::to_string(Port) + "|";
}

std::string TCustomFtpCli::PortCommand(const std::string& ControlAddr, std::uint32_t LocalAddr, std::uint16_t Port) {
  const std::string port = std::to_string(Port / 256) + "," + std::to_string(Port % 256);
  if (ControlAddr == "127.0.0.1") return "PORT 127,0,0,1," + port;
  const auto* a = reinterpret_cast<const unsigned char*>(&LocalAddr);  // network order
  return "PORT " + std::to_string(a[0]) + "," + std::to_string(a[1]) + "," + std::to_string(a[2]) + "," +
         std::to_string(a[3]) + "," + port;
}

// ---------------------------------------------------------------------------
// PORT and PASV, EPRT and EPSV

bool TCustomFtpCli::ControlIsIpv6() {
  sockaddr_storage peer{};
  int len = sizeof(peer);
  return FControlSocket->GetPeerSockAddr(peer, len) == 0 && peer.ss_family == AF_INET6 && !IsMappedIpv4(peer);
}

std::string TCustomFtpCli::ControlConnectionKey() {
  sockaddr_storage local{}, peer{};
  int localLen = sizeof(local), peerLen = sizeof(peer);
  if (FControlSocket->GetSockName(local, localLen) != 0 || FControlSocket->GetPeerSockAddr(peer, peerLen) != 0)
    return std::string();
  return Endpoint(plat::AddressText(local), plat::AddressPort(local)) + " " +
         Endpoint(plat::AddressText(peer), plat::AddressPort(peer));
}

std::string TCustomFtpCli::ControlPeerAddress() {
  sockaddr_storage peer{};
  int len = sizeof(peer);
  if (FControlSocket->GetPeerSockAddr(peer, len) != 0) return FControlSocket->Addr();
  return HostText(peer);
}

void TCustomFtpCli::PortAsync() {
  EnsureReady();
  if (!FControlConnected) throw FtpException("FTP component not connected");

  TWSocket& data = *FDataSocket;
  // Some servers (pyftpdlib) connect as soon as PORT is answered, before the
  // transfer command binds its handler; the accept notification comes once
  // and only accepting re-arms it, so it is noted here and taken up later.
  FDataAcceptPending = false;
  data.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) { FDataAcceptPending = true; };
  data.OnSessionClosed = nullptr;
  data.OnDataAvailable = nullptr;
  data.OnDataSent = nullptr;
  data.OnSessionConnected = nullptr;
  // A socket left open by an earlier transfer cannot take new settings.
  if (data.State() != wsClosed) data.Close();
  // PORT and PASV carry IPv4 addresses only: over IPv6 the extended
  // commands, which name the family or no address at all.
  const bool ipv6 = ControlIsIpv6();
  data.SetProto("tcp");
  data.SetAddr(ipv6 ? "::" : "0.0.0.0");
  data.SetPort("0");

  std::uint16_t port = 0;
  if (!FPassiveMode) {
    data.SetLingerOnOff(wsLingerOn);
    data.SetLingerTimeout(10);
    data.Listen();
    sockaddr_storage local{};
    int len = sizeof(local);
    data.GetSockName(local, len);
    port = plat::AddressPort(local);
  }

  sockaddr_storage control{};
  int len = sizeof(control);
  FControlSocket->GetSockName(control, len);
  std::string command;
  if (FPassiveMode) {
    const bool epsv = ipv6 || (!FEpsvConnection.empty() && FEpsvConnection == ControlConnectionKey());
    command = epsv ? "EPSV" : "PASV";
  } else {
    command = ipv6 ? EprtCommand(plat::AddressText(control), port)
                   : PortCommand(FControlSocket->Addr(), Ipv4Of(control), port);
  }
  FPassiveCommand = FPassiveMode ? command : std::string();
  FEpsvForPasv = false;
  FErrorBeforePasv = FErrorMessage;

  FCurrentStep = fsPort;
  SendRequest(TFtpRequest::PortAsync, command, {200, 227, 229},
              FPassiveMode ? &TCustomFtpCli::PasvAfterReply : nullptr);
}

void TCustomFtpCli::PasvAfterReply() {
  std::uint16_t port = 0;
  // Without a port there is nowhere to connect to; waiting for a data
  // connection would only end in the blocking call's timeout.
  if (FResultCode == 0 && ((FReplyCode == 227 && !ParsePasvPort(FReplyLine, port)) ||
                           (FReplyCode == 229 && !ParseEpsvPort(FReplyLine, port)))) {
    FReplyCode = 550;
    EndRequest(550);
    return;
  }
  auto alive = AliveToken();
  if (FResultCode == 0 && FReplyCode == 229) {
    FPasvReply = FReplyLine;
    if (FEpsvForPasv) {
      // This connection asks EPSV from now on; the refused PASV is forgotten.
      FEpsvForPasv = false;
      FEpsvConnection = ControlConnectionKey();
      FErrorMessage = FErrorBeforePasv;
      DoDisplay("! The server refused PASV and took EPSV: passive data connections use EPSV on this connection");
      if (alive.expired()) return;
    }
  } else if (FResultCode != 0 && FPassiveCommand == "PASV" && FReplyCode >= 500 && FReplyCode <= 599) {
    // A server may know only the extended command (one behind a gateway
    // that cannot rewrite 227 addresses, say): asked once in its place.
    FPassiveCommand = "EPSV";
    FEpsvForPasv = true;
    SetEngineState(fcsStepReady);
    if (alive.expired()) return;
    SendRequest(TFtpRequest::PortAsync, "EPSV", {229}, &TCustomFtpCli::PasvAfterReply);
    return;
  }
  FEpsvForPasv = false;
  EndRequest(static_cast<std::uint16_t>(FResultCode));
}

// ---------------------------------------------------------------------------
// Opening the data connection

// Passive mode: connect the data socket to the port the PASV or EPSV reply
// named, on the control connection's host. A reply without a usable port
// ends the request with 550 and that line; false then.
bool TCustomFtpCli::ConnectPassiveData(std::string PasvLine, void (TCustomFtpCli::*OnConnected)(std::uint16_t)) {
  std::uint16_t port = 0;
  std::string named;
  const bool extended = LeadingCode(PasvLine) == 229;
  if (extended ? !ParseEpsvPort(PasvLine, port) : !ParsePasvAddress(PasvLine, named, port)) {
    ReleaseLocalFile();
    EndRequest(550, PasvLine.empty() ? "No PASV reply to take the data port from" : PasvLine);
    return false;
  }
  auto alive = AliveToken();
  // A 229 names no address: the control connection's peer it is (RFC 2428).
  const std::string address = extended ? ControlPeerAddress() : PassiveDataAddress(named);
  if (alive.expired()) return false;
  TWSocket& data = *FDataSocket;
  if (data.State() != wsClosed) data.Close();
  data.SetPort(std::to_string(port));
  data.SetAddr(address);
  data.OnSessionConnected = [this, OnConnected](TCustomWSocket*, std::uint16_t Error) { (this->*OnConnected)(Error); };
  data.SetLingerOnOff(wsLingerOff);
  data.SetLingerTimeout(0);
  data.Connect();
  return true;
}

std::string TCustomFtpCli::PassiveDataAddress(const std::string& Named) {
  sockaddr_storage server{};
  int serverLen = sizeof(server);
  if (FControlSocket->GetPeerSockAddr(server, serverLen) != 0) return FControlSocket->Addr();
  const std::string peer = HostText(server);
  if (Named == peer || FUsePasvAddress) return Named;
  // A server behind NAT names its private address, and a hostile one could
  // name another machine: the data goes where the control connection goes.
  if (!FPasvAddressNoted) {
    FPasvAddressNoted = true;
    DoDisplay("! The server named " + Named + " for passive data connections; connecting to its own address " +
              peer + " instead");
  }
  return peer;
}

void TCustomFtpCli::TakePendingAccept() {
  if (!FDataAcceptPending || FPassiveMode || FDataSocket->State() != wsListening) return;
  FDataAcceptPending = false;
  if (FDataSocket->OnSessionAvailable) FDataSocket->OnSessionAvailable(FDataSocket.get(), 0);
}

bool TCustomFtpCli::DataPeerIsServer(plat::SOCKET Handle) {
  sockaddr_storage peer{};
  socklen_t peerLen = sizeof(peer);
  sockaddr_storage server{};
  int serverLen = sizeof(server);
  const bool known = plat::getpeername(Handle, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0 &&
                     FControlSocket->GetPeerSockAddr(server, serverLen) == 0;
  // A dual-stack listener sees an IPv4 peer in its mapped form: the same host.
  if (known && plat::SameHost(peer, server)) return true;
  // Anyone who reaches the listening port first would otherwise get (or
  // feed) the transfer: keep waiting for the server's own connection.
  DoDisplay("! Data connection from " + Endpoint(known ? HostText(peer) : "?", plat::AddressPort(peer)) +
            " refused: not the server's address " + (known ? HostText(server) : std::string("?")));
  return false;
}

plat::SOCKET TCustomFtpCli::AcceptDataConnection() {
  TWSocket& data = *FDataSocket;
  const plat::SOCKET h = data.Accept();
  if (h == plat::INVALID_SOCKET) return h;
  auto alive = AliveToken();
  if (!DataPeerIsServer(h) || alive.expired()) {
    plat::closesocket(h);
    return plat::INVALID_SOCKET;
  }
  data.Close();  // the listening socket; no close handler is bound yet
  if (alive.expired()) {
    plat::closesocket(h);
    return plat::INVALID_SOCKET;
  }
  return h;
}

void TCustomFtpCli::DataConnectFailed(std::uint16_t Error) {
  const std::string line = "Unable to establish data connection, error #" + std::to_string(Error);
  FReplyLine = line;
  FReplyCode = 550;
  SetErrorOnce();
  auto alive = AliveToken();
  FDataSocket->Close();
  if (alive.expired()) return;
  ReleaseLocalFile();
  NoteTransferError(550, line);
  if (FXfer.CommandSent && !FXfer.ReplyDone) {
    // The server answers the command it got (425, 426) once it gives up on
    // the connection; left unread, that reply would answer the next command.
    SetNext(&TCustomFtpCli::DataFailedReply);
    return;
  }
  EndWithTransferError();
}

void TCustomFtpCli::DataFailedReply() {
  if (!ReplyComplete()) return;
  std::int64_t code = 0;
  ParseInt(FReplyLine, 0, code);
  if (IsPreliminary(code)) return;  // its final reply follows
  SetNext(nullptr);
  EndWithTransferError();
}
