// Preparing the data connection: PORT or PASV, the passive connect, the
// active accept (only from the server's own address), and the text of these
// commands and replies.
#include "ftp/ftpcli.h"

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

std::string TCustomFtpCli::PortCommand(const std::string& ControlAddr, std::uint32_t LocalAddr, std::uint16_t Port) {
  const std::string port = std::to_string(Port / 256) + "," + std::to_string(Port % 256);
  if (ControlAddr == "127.0.0.1") return "PORT 127,0,0,1," + port;
  const auto* a = reinterpret_cast<const unsigned char*>(&LocalAddr);  // network order
  return "PORT " + std::to_string(a[0]) + "," + std::to_string(a[1]) + "," + std::to_string(a[2]) + "," +
         std::to_string(a[3]) + "," + port;
}

// ---------------------------------------------------------------------------
// PORT and PASV

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
  data.SetProto("tcp");
  data.SetAddr("0.0.0.0");
  data.SetPort("0");

  std::uint16_t port = 0;
  if (!FPassiveMode) {
    data.SetLingerOnOff(wsLingerOn);
    data.SetLingerTimeout(10);
    data.Listen();
    sockaddr_in local{};
    int len = sizeof(local);
    data.GetSockName(local, len);
    port = ntohs(local.sin_port);
  }

  sockaddr_in control{};
  int len = sizeof(control);
  FControlSocket->GetSockName(control, len);
  const std::string command = FPassiveMode ? std::string("PASV")
                                           : PortCommand(FControlSocket->Addr(), control.sin_addr.s_addr, port);

  FCurrentStep = fsPort;
  SendRequest(TFtpRequest::PortAsync, command, {200, 227},
              FPassiveMode ? &TCustomFtpCli::PasvAfterReply : nullptr);
}

void TCustomFtpCli::PasvAfterReply() {
  std::uint16_t port = 0;
  if (FResultCode == 0 && FReplyCode == 227 && !ParsePasvPort(FReplyLine, port)) {
    // Without the address numbers there is nowhere to connect to; waiting for
    // a data connection would only end in the blocking call's timeout.
    FReplyCode = 550;
    EndRequest(550);
    return;
  }
  EndRequest(static_cast<std::uint16_t>(FResultCode));
}

// ---------------------------------------------------------------------------
// Opening the data connection

// Passive mode: connect the data socket to the port the PASV reply named, on
// the control connection's host. A reply without a usable port ends the
// request with 550 and that line; false then.
bool TCustomFtpCli::ConnectPassiveData(std::string PasvLine, void (TCustomFtpCli::*OnConnected)(std::uint16_t)) {
  std::uint16_t port = 0;
  std::string named;
  if (!ParsePasvAddress(PasvLine, named, port)) {
    ReleaseLocalFile();
    EndRequest(550, PasvLine.empty() ? "No PASV reply to take the data port from" : PasvLine);
    return false;
  }
  auto alive = AliveToken();
  const std::string address = PassiveDataAddress(named);
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
  sockaddr_in server{};
  int serverLen = sizeof(server);
  if (FControlSocket->GetPeerSockAddr(server, serverLen) != 0) return FControlSocket->Addr();
  const std::string peer = DottedAddress(server.sin_addr.s_addr);
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
  sockaddr_in peer{};
  socklen_t peerLen = sizeof(peer);
  sockaddr_in server{};
  int serverLen = sizeof(server);
  const bool known = plat::getpeername(Handle, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0 &&
                     FControlSocket->GetPeerSockAddr(server, serverLen) == 0;
  if (known && peer.sin_addr.s_addr == server.sin_addr.s_addr) return true;
  // Anyone who reaches the listening port first would otherwise get (or
  // feed) the transfer: keep waiting for the server's own connection.
  DoDisplay("! Data connection from " + (known ? DottedAddress(peer.sin_addr.s_addr) : std::string("?")) + ":" +
            std::to_string(ntohs(peer.sin_port)) + " refused: not the server's address " +
            (known ? DottedAddress(server.sin_addr.s_addr) : std::string("?")));
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
