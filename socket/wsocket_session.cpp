// Opening and closing sessions: Connect, Listen, Accept, Dup, Close, Abort,
// Shutdown, linger, receiving and the address queries.
#include <algorithm>
#include <cstring>
#include <arpa/inet.h>

#include "socket/wsocket.h"
#include "socket/wsocket_internal.h"

using namespace wsocket_internal;

// Resolves what has not been resolved since the last reset: protocol, port,
// address, in this order. Raises ESocketException.
void TCustomWSocket::ResolveUnresolved() {
  if (!FProtoResolved) {
    FProto = WSocketResolveProto(FProtoStr);
    FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    FProtoResolved = true;
  }
  if (!FPortResolved) {
    FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
    plat::SetAddressPort(FSin, static_cast<std::uint16_t>(FPortNum));
    FPortResolved = true;
  }
  if (!FAddrResolved) {
    const std::vector<sockaddr_storage> Addrs = WSocketResolveAddrs(FAddrStr);
    const std::uint16_t Port = plat::AddressPort(FSin);
    FSin = Addrs.front();
    plat::SetAddressPort(FSin, Port);
    FNextAddrs.assign(Addrs.begin() + 1, Addrs.end());
    FAddrResolved = true;
  }
  FAddrFormat = FSin.ss_family;
}

// ---------------------------------------------------------------------------
// Connect

void TCustomWSocket::Connect() {
  if (FHSocket != plat::INVALID_SOCKET && FState != wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) {
    ReportError("Connect: No Port Specified");
    return;
  }
  if (!FAddrAssigned) {
    ReportError("Connect: No IP Address Specified");
    return;
  }
  if (!FProtoAssigned) {
    ReportError("Connect: No Protocol Specified");
    return;
  }
  try {
    ResolveUnresolved();
  } catch (const std::exception& E) {
    ReportError(std::string("connect: ") + E.what());
    return;
  }

  ClearSendQueue();
  DropSessionWindow();  // a new handle never shares a window with an old one
  FHSocket = plat::socket(FAddrFormat, FType, FProto);
  if (FHSocket == plat::INVALID_SOCKET) {
    ReportSocketError("Connect (socket)");
    return;
  }
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  ChangeState(wsOpened);
  if (Alive.expired() || FHSocket != Handle) return;

  if (FType == SOCK_DGRAM) {
    BindLocal();
    if (FSin.ss_family == AF_INET &&
        reinterpret_cast<const sockaddr_in&>(FSin).sin_addr.s_addr == INADDR_BROADCAST) {
      const int On = 1;
      if (plat::setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, &On, sizeof(On)) == plat::SOCKET_ERROR) {
        ReportSocketError("setsockopt(SO_BROADCAST)");
        return;
      }
    }
  } else if (!SetStreamOptions()) {
    return;
  }

  if (plat::WSAAsyncSelect(FHSocket, SessionWindow(), WM_ASYNCSELECT, WSOCKET_CONNECT_EVENTS) ==
      plat::SOCKET_ERROR) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }

  if (FType == SOCK_DGRAM) {
    ChangeState(wsConnected);
    if (Alive.expired() || FHSocket != Handle) return;
    DoSessionConnected(0);
    return;
  }
  if (plat::connect(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), plat::AddressLength(FSin)) == 0 ||
      plat::WSAGetLastError() == plat::WSAEWOULDBLOCK) {
    // Either way the outcome arrives as the connect notification.
    ChangeState(wsConnecting);
    return;
  }
  if (!FNextAddrs.empty()) {
    // Failed at once (no route to an IPv6 address, say) with more addresses
    // to try: the outcome comes as a notification, as it does for them.
    PostConnectFailure(plat::WSAGetLastError());
    ChangeState(wsConnecting);
    return;
  }
  FLastError = plat::WSAGetLastError();
  ReportSocketError("Connect");
}

bool TCustomWSocket::SetStreamOptions() {
  ApplyLinger();
  const int On = -1;  // any non-zero value enables the option
  if (plat::setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof(On)) == plat::SOCKET_ERROR) {
    ReportSocketError("setsockopt(SO_KEEPALIVE)");
    return false;
  }
  if (plat::setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &On, sizeof(On)) == plat::SOCKET_ERROR) {
    ReportSocketError("setsockopt(SO_REUSEADDR)");
    return false;
  }
  return true;
}

void TCustomWSocket::PostConnectFailure(int Error) {
  FLoop->PostMessage(SessionWindow(), WM_ASYNCSELECT, static_cast<plat::WPARAM>(FHSocket),
                     plat::MakeSelectLParam(plat::FD_CONNECT, static_cast<unsigned>(Error)));
}

bool TCustomWSocket::ConnectNextAddress() {
  if (FType != SOCK_STREAM || FNextAddrs.empty()) return false;
  sockaddr_storage Next = FNextAddrs.front();
  FNextAddrs.erase(FNextAddrs.begin());
  plat::SetAddressPort(Next, plat::AddressPort(FSin));
  const plat::SOCKET Handle = plat::socket(Next.ss_family, FType, FProto);
  if (Handle == plat::INVALID_SOCKET) {
    // A family this host lacks: that address failed as well.
    PostConnectFailure(plat::WSAGetLastError());
    return true;
  }
  // The failed handle goes with its window: nothing it still had queued
  // reaches the new attempt.
  DropSessionWindow();
  plat::closesocket(FHSocket);
  FHSocket = Handle;
  FSin = Next;
  FAddrFormat = Next.ss_family;
  const std::weak_ptr<int> Alive = AliveToken();
  if (!SetStreamOptions() || Alive.expired() || FHSocket != Handle) return true;  // reported
  if (plat::WSAAsyncSelect(FHSocket, SessionWindow(), WM_ASYNCSELECT, WSOCKET_CONNECT_EVENTS) ==
      plat::SOCKET_ERROR) {
    ReportSocketError("WSAAsyncSelect");
    return true;
  }
  if (plat::connect(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), plat::AddressLength(FSin)) != 0 &&
      plat::WSAGetLastError() != plat::WSAEWOULDBLOCK)
    PostConnectFailure(plat::WSAGetLastError());
  return true;
}

void TCustomWSocket::BindLocal() {
  sockaddr_storage Local{};
  Local.ss_family = static_cast<sa_family_t>(FAddrFormat);  // all zero: the family's any address, any port
  if (plat::bind(FHSocket, reinterpret_cast<const sockaddr*>(&Local), plat::AddressLength(Local)) ==
      plat::SOCKET_ERROR) {
    ReportErrorFmt("winsock.bind failed, error #%d", plat::WSAGetLastError());
    return;
  }
  socklen_t Len = sizeof(Local);
  if (plat::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Local), &Len) == plat::SOCKET_ERROR)
    ReportErrorFmt("winsock.getsockname failed, error #%d", plat::WSAGetLastError());
}

// ---------------------------------------------------------------------------
// Listen, Accept, Dup

void TCustomWSocket::Listen() {
  if (!FPortAssigned) {
    plat::WSASetLastError(plat::WSAEINVAL);
    ReportSocketError("listen: port not assigned");
    return;
  }
  if (!FProtoAssigned) {
    plat::WSASetLastError(plat::WSAEINVAL);
    ReportSocketError("listen: protocol not assigned");
    return;
  }
  if (!FAddrAssigned) {
    plat::WSASetLastError(plat::WSAEINVAL);
    ReportSocketError("listen: address not assigned");
    return;
  }
  try {
    ResolveUnresolved();
  } catch (const std::exception& E) {
    ReportError(std::string("listen: ") + E.what());
    return;
  }

  ClearSendQueue();
  DropSessionWindow();  // a new handle never shares a window with an old one
  const std::weak_ptr<int> Alive = AliveToken();
  FHSocket = plat::socket(FAddrFormat, FType, FProto);
  if (FHSocket == plat::INVALID_SOCKET) {
    ReportSocketError("socket");
    return;
  }
  if (plat::bind(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), plat::AddressLength(FSin)) ==
      plat::SOCKET_ERROR) {
    // The state is still wsClosed, so Close would leave the new handle open:
    // release it here, or every failed Listen leaks a descriptor.
    const int Err = plat::WSAGetLastError();
    plat::closesocket(FHSocket);
    FHSocket = plat::INVALID_SOCKET;
    plat::WSASetLastError(Err);
    ReportSocketError("Bind");
    if (!Alive.expired()) Close();
    return;
  }
  const plat::SOCKET Handle = FHSocket;
  auto SameSession = [&] { return !Alive.expired() && FHSocket == Handle; };
  ChangeState(wsBound);
  if (!SameSession()) return;

  if (FType == SOCK_DGRAM) {
    ChangeState(wsListening);
    if (!SameSession()) return;
    ChangeState(wsConnected);
    if (!SameSession()) return;
    DoSessionConnected(0);
    if (!SameSession()) return;
  } else {
    if (plat::listen(FHSocket, 5) == plat::SOCKET_ERROR) {
      ReportSocketError("Listen");
      return;
    }
    ChangeState(wsListening);
    if (!SameSession()) return;
  }

  if (plat::WSAAsyncSelect(FHSocket, SessionWindow(), WM_ASYNCSELECT, WSOCKET_LISTEN_EVENTS) ==
      plat::SOCKET_ERROR)
    ReportSocketError("WSAASyncSelect");
}

plat::SOCKET TCustomWSocket::Accept() {
  if (FState != wsListening) {
    plat::WSASetLastError(plat::WSAEINVAL);
    ReportSocketError("not a listening socket");
    return plat::INVALID_SOCKET;
  }
  // The address record then holds the peer's address.
  socklen_t Len = sizeof(FSin);
  const plat::SOCKET NewHSocket = plat::accept(FHSocket, reinterpret_cast<sockaddr*>(&FSin), &Len);
  if (NewHSocket == plat::INVALID_SOCKET) {
    ReportSocketError("Accept");
    return plat::INVALID_SOCKET;
  }
  return NewHSocket;
}

void TCustomWSocket::Dup(plat::SOCKET NewHSocket) {
  // Descriptor 0 is a valid socket on POSIX (a daemon without stdin), so only
  // negative handles are refused.
  if (NewHSocket < 0) {
    plat::WSASetLastError(plat::WSAEINVAL);
    ReportSocketError("Dup");
    return;
  }
  const std::weak_ptr<int> Alive = AliveToken();
  if (FState != wsClosed) {
    if (FHSocket != plat::INVALID_SOCKET) {
      const int Result = plat::closesocket(FHSocket);
      FHSocket = plat::INVALID_SOCKET;
      DropSessionWindow();
      if (Result == plat::SOCKET_ERROR) {
        ReportSocketError("Dup (closesocket)");
        return;
      }
    }
    ChangeState(wsClosed);
    if (Alive.expired()) return;
  }
  DropSessionWindow();
  // Close keeps the queue for reuse: bytes a closed session never got out
  // must not go to the new peer.
  ClearSendQueue();
  FAllSent = true;
  FHSocket = NewHSocket;
  ApplyLinger();
  if (plat::WSAAsyncSelect(FHSocket, SessionWindow(), WM_ASYNCSELECT, WSOCKET_DUP_EVENTS) ==
      plat::SOCKET_ERROR) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  ChangeState(wsConnected);
}

// ---------------------------------------------------------------------------
// Closing

void TCustomWSocket::Close() { CloseInternal(true, 0); }

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  ClearSendQueue();
  if (FState == wsConnected) {
    FLingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  CloseInternal(false, 0);
}

void TCustomWSocket::Shutdown(int How) {
  // The end of the stream comes after every byte sent, and never after a
  // stream cut short (the close resets it then).
  if (How != 0 && !PushHeld(true)) return;
  if (FHSocket != plat::INVALID_SOCKET) plat::shutdown(FHSocket, How);
}

void TCustomWSocket::CloseInternal(bool Shut, std::uint16_t Error) {
  if (FHSocket == plat::INVALID_SOCKET) {
    if (FState != wsClosed) {
      ChangeState(wsClosed);
      ResetToDefaults();
    }
    return;
  }
  if (FState == wsClosed) return;
  const std::weak_ptr<int> Alive = AliveToken();
  if (FHeld > 0) {
    // Bytes reported sent must reach the kernel before the close. A send
    // error closes the session on the way (its own OnSessionClosed).
    const plat::SOCKET Before = FHSocket;
    const bool Pushed = PushHeld(true);
    if (Alive.expired() || FHSocket != Before || FState == wsClosed) return;
    if (!Pushed) Shut = false;
  }
  if (Shut) Shutdown(1);

  const plat::SOCKET Handle = FHSocket;
  for (;;) {
    if (plat::closesocket(Handle) != plat::SOCKET_ERROR) break;
    const int Err = plat::WSAGetLastError();
    if (Err == plat::WSAEWOULDBLOCK) {
      // A lingering close still has data to deliver: let the loop run, retry.
      FLastError = Err;
      ProcessMessagesForWait();
      if (Alive.expired()) return;
      continue;
    }
    if (Err == plat::WSANOTINITIALISED) break;
    FHSocket = plat::INVALID_SOCKET;
    DropSessionWindow();
    ReportSocketError("Disconnect (closesocket)");
    return;
  }
  FHSocket = plat::INVALID_SOCKET;
  DropSessionWindow();

  ChangeState(wsClosed);
  if (Alive.expired()) return;
  if (!FDestroying && !FCloseNotified && OnSessionClosed) {
    FCloseNotified = true;
    DoSessionClosed(Error);
    if (Alive.expired()) return;
  }
  // A handler may already have started the next session on this object.
  if (FHSocket != plat::INVALID_SOCKET) return;
  try {
    ResetToDefaults();
  } catch (...) {
  }
}

void TCustomWSocket::ApplyLinger() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FHSocket == plat::INVALID_SOCKET) {
    ReportError("Cannot set linger option at this time");
    return;
  }
  linger Linger{};
  Linger.l_onoff = static_cast<int>(FLingerOnOff);  // wsLingerOff 0, wsLingerOn 1
  Linger.l_linger = static_cast<std::uint16_t>(FLingerTimeout);
  if (plat::setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &Linger, sizeof(Linger)) == plat::SOCKET_ERROR)
    ReportSocketError("setsockopt(SO_LINGER)");
}

// ---------------------------------------------------------------------------
// Receiving

// ReadCount is 32 bits wide and wraps past 2 GiB, as the counter it stands
// for does; the sum is taken unsigned so that a long download stays defined.
void TCustomWSocket::AddToReadCount(int Count) {
  const std::uint32_t Sum =
      static_cast<std::uint32_t>(FReadCount) + static_cast<std::uint32_t>(Count);
  FReadCount = static_cast<int>(Sum);
}

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize, int Flags) {
  int Count;
  if (FReadAheadLen > 0) {
    Count = TakeReadAhead(Buffer, BufferSize, Flags);
  } else if (FType == SOCK_STREAM && Flags == 0 && BufferSize > 0 && BufferSize < READ_AHEAD_SIZE &&
             FHSocket != plat::INVALID_SOCKET) {
    if (!FReadAhead) FReadAhead = std::make_unique<char[]>(READ_AHEAD_SIZE);
    Count = plat::recv(FHSocket, FReadAhead.get(), READ_AHEAD_SIZE, 0);
    if (Count > 0) {
      FReadAheadPos = 0;
      FReadAheadLen = Count;
      Count = TakeReadAhead(Buffer, BufferSize, 0);
    }
  } else {
    Count = plat::recv(FHSocket, Buffer, BufferSize, Flags);
  }
  NoteReceived(Count, Flags);
  return Count;
}

// Bytes held come before anything still in the kernel; one receive never
// mixes the two, as one system call would not either.
int TCustomWSocket::TakeReadAhead(void* Buffer, int BufferSize, int Flags) {
  if (FHSocket != plat::INVALID_SOCKET) FLoop->ReenableRead(FHSocket);  // as a receive call would
  if (BufferSize < 0) {
    plat::WSASetLastError(plat::WSAEINVAL);
    return plat::SOCKET_ERROR;
  }
  if ((Flags & MSG_OOB) != 0) return plat::recv(FHSocket, Buffer, BufferSize, Flags);
  const int Count = std::min(BufferSize, FReadAheadLen);
  if (Count > 0) std::memcpy(Buffer, FReadAhead.get() + FReadAheadPos, static_cast<std::size_t>(Count));
  plat::WSASetLastError(0);
  if ((Flags & MSG_PEEK) != 0) return Count;
  FReadAheadPos += Count;
  FReadAheadLen -= Count;
  if (FReadAheadLen == 0) FReadAheadPos = 0;
  return Count;
}

void TCustomWSocket::PostReadNotificationIfHeld() {
  if (FReadAheadLen <= 0 || FHSocket == plat::INVALID_SOCKET) return;
  FLoop->PostMessage(SessionWindow(), WM_ASYNCSELECT, static_cast<plat::WPARAM>(FHSocket),
                     plat::MakeSelectLParam(plat::FD_READ, 0));
}

void TCustomWSocket::NoteReceived(int Count, int Flags) {
  if (FKnownWaiting == 0) return;
  // A peek takes nothing; anything else we cannot account for forgets the bound.
  if ((Flags & MSG_PEEK) != 0) return;
  FKnownWaiting = (Count > 0 && Flags == 0) ? std::max(FKnownWaiting - Count, 0) : 0;
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  const int Count = RawReceive(Buffer, BufferSize, 0);
  if (Count < 0)
    FLastError = plat::WSAGetLastError();
  else
    AddToReadCount(Count);
  return Count;
}

std::string TCustomWSocket::ReceiveString() {
  const int Waiting = RcvdCount();
  if (Waiting <= 0) return std::string();
  std::string Result(static_cast<std::size_t>(Waiting), '\0');
  const int Count = RawReceive(Result.data(), Waiting, 0);
  if (Count <= 0) return std::string();
  Result.resize(static_cast<std::size_t>(Count));
  return Result;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  return ReceiveFromRecord(Buffer, BufferSize, reinterpret_cast<sockaddr&>(From), FromLen);
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_storage& From, int& FromLen) {
  return ReceiveFromRecord(Buffer, BufferSize, reinterpret_cast<sockaddr&>(From), FromLen);
}

int TCustomWSocket::ReceiveFromRecord(void* Buffer, int BufferSize, sockaddr& From, int& FromLen) {
  socklen_t Len = FromLen > 0 ? static_cast<socklen_t>(FromLen) : 0;
  // A stream's bytes held ahead go first (they have no sender address of their own).
  const int Count =
      FReadAheadLen > 0
          ? TakeReadAhead(Buffer, BufferSize, 0)
          : plat::recvfrom(FHSocket, Buffer, BufferSize, 0, &From, &Len);
  NoteReceived(Count, 0);
  FromLen = static_cast<int>(Len);
  if (Count < 0)
    FLastError = plat::WSAGetLastError();
  else
    AddToReadCount(Count);
  return Count;
}

// ---------------------------------------------------------------------------
// Addresses

namespace {

// An address query's answer for a sockaddr_in record: an IPv6 address does
// not fit, which the socket API reports as a bad record (WSAEFAULT).
int NarrowAddress(int Result, const sockaddr_storage& Wide, int WideLen, sockaddr_in& Addr, int& AddrLen) {
  if (Result != 0) return Result;
  if (Wide.ss_family != AF_INET || AddrLen < WideLen) {
    plat::WSASetLastError(plat::WSAEFAULT);
    return plat::SOCKET_ERROR;
  }
  std::memcpy(&Addr, &Wide, static_cast<std::size_t>(WideLen));
  AddrLen = WideLen;
  return 0;
}

}  // namespace

std::string TCustomWSocket::GetPeerName() {
  if (FState != wsConnected) return "error";
  sockaddr_storage Peer{};
  socklen_t Len = sizeof(Peer);
  if (plat::getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Peer), &Len) == plat::SOCKET_ERROR) {
    ReportSocketError("GetPeerName");
    return "error";
  }
  return plat::AddressText(Peer);
}

int TCustomWSocket::GetPeerSockAddr(sockaddr_in& Addr, int& AddrLen) {
  sockaddr_storage Wide{};
  int WideLen = sizeof(Wide);
  const int Result = GetPeerSockAddr(Wide, WideLen);
  return NarrowAddress(Result, Wide, WideLen, Addr, AddrLen);
}

int TCustomWSocket::GetPeerSockAddr(sockaddr_storage& Addr, int& AddrLen) {
  if (FState != wsConnected) return -1;
  socklen_t Len = AddrLen > 0 ? static_cast<socklen_t>(AddrLen) : 0;
  const int Result = plat::getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Addr), &Len);
  AddrLen = static_cast<int>(Len);
  return Result;
}

int TCustomWSocket::GetSockName(sockaddr_in& Addr, int& AddrLen) {
  sockaddr_storage Wide{};
  int WideLen = sizeof(Wide);
  const int Result = GetSockName(Wide, WideLen);
  return NarrowAddress(Result, Wide, WideLen, Addr, AddrLen);
}

int TCustomWSocket::GetSockName(sockaddr_storage& Addr, int& AddrLen) {
  socklen_t Len = AddrLen > 0 ? static_cast<socklen_t>(AddrLen) : 0;
  const int Result = plat::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Addr), &Len);
  AddrLen = static_cast<int>(Len);
  return Result;
}

std::string TCustomWSocket::GetLocalPort() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  sockaddr_storage Local{};
  socklen_t Len = sizeof(Local);
  if (plat::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Local), &Len) == plat::SOCKET_ERROR)
    return "error";
  return Format("%d", plat::AddressPort(Local));
}
