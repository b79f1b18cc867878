// The SOCKS 5 client level: the method offer, the user code / password
// exchange (RFC 1929) and the connect request (RFC 1928), driven by the
// connect and read notifications of the core, before the owner sees
// OnSessionConnected.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "socket/wsocket.h"
#include "socket/wsocket_internal.h"

using namespace wsocket_internal;

namespace {

constexpr unsigned char SOCKS_VERSION = 0x05;
constexpr unsigned char SOCKS_AUTH_VERSION = 0x01;  // RFC 1929 sub-negotiation
constexpr unsigned char SOCKS_METHOD_NONE = 0x00;
constexpr unsigned char SOCKS_METHOD_USERCODE = 0x02;
constexpr unsigned char SOCKS_CMD_CONNECT = 0x01;
constexpr unsigned char SOCKS_ATYP_IPV4 = 0x01;
constexpr unsigned char SOCKS_ATYP_DOMAIN = 0x03;

bool SocksTraceEnabled() {
  static const bool Enabled = std::getenv("VEK_TRACE_SOCKET") != nullptr;
  return Enabled;
}

std::string LowerCase(std::string Text) {
  for (char& C : Text) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Text;
}

}  // namespace

const char* SocksStageName(TSocksStage Stage) {
  static const char* const Names[] = {"socksStageNone", "socksStageMethod", "socksStageAuth",
                                      "socksStageConnectReply"};
  const unsigned Index = static_cast<unsigned>(Stage);
  return Index < sizeof(Names) / sizeof(Names[0]) ? Names[Index] : "?";
}

std::string SocksErrorText(int Error) {
  switch (Error) {
    case socksProtocolError:
      return "too much data availaible";
    case socksVersionError:
      return "socks version error";
    case socksAuthMethodError:
      return "authentification method not acceptable";
    case socksGeneralFailure:
      return "general SOCKS server failure";
    case socksConnectionNotAllowed:
      return "connection not allowed by ruleset";
    case socksNetworkUnreachable:
      return "network unreachable";
    case socksHostUnreachable:
      return "host unreachable";
    case socksConnectionRefused:
      return "connection refused";
    case socksTtlExpired:
      return "time to live expired";
    case socksUnknownCommand:
      return "command not supported";
    case socksUnknownAddressType:
      return "address type not supported";
    case socksUnassignedError:
      return "unassigned error #";
    case socksInternalError:
      return "internal error";
    case socksAuthenticationFailed:
      return "socks authentication failed";
    default:
      return Format("socks error #%d", Error);
  }
}

// ---------------------------------------------------------------------------
// State

void TCustomSocksWSocket::SetSocksStage(TSocksStage NewStage) {
  const TSocksStage OldStage = FSocksStage;
  FSocksStage = NewStage;
  if (SocksTraceEnabled() && OldStage != NewStage)
    std::fprintf(stderr, "wsocket %p: %s -> %s\n", static_cast<void*>(this), SocksStageName(OldStage),
                 SocksStageName(NewStage));
}

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  SetSocksStage(socksStageNone);
  FSocksServer.clear();
  FSocksPort.clear();
  FSocksServerAssigned = false;
  FSocksPortAssigned = false;
  FRcvCnt = 0;
  FSocksRcvdCnt = 0;
  FSocksRcvdPos = 0;
  FSocksAuthFailed = false;
}

// ---------------------------------------------------------------------------
// Properties

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  if (FState != wsClosed) {
    ReportError("Can't change socks server if not closed");
    return;
  }
  FSocksServer = Trim(Value);
  FSocksServerAssigned = !FSocksServer.empty();
  // Connect puts the proxy's address and port where the core keeps the
  // resolved destination: resolve both afresh for the next attempt.
  FAddrResolved = false;
  FPortResolved = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  if (FState != wsClosed) {
    ReportError("Can't change socks port if not closed");
    return;
  }
  FSocksPort = Trim(Value);
  FSocksPortAssigned = !FSocksPort.empty();
  FAddrResolved = false;
  FPortResolved = false;
}

// ---------------------------------------------------------------------------
// Connect and Listen

void TCustomSocksWSocket::Connect() {
  // An open socket: the core refuses ("Socket already in use"), and the
  // negotiation state of the running session must stay as it is.
  if (FHSocket != plat::INVALID_SOCKET && FState != wsClosed) {
    TCustomWSocket::Connect();
    return;
  }
  if (!FSocksServerAssigned) {
    SetSocksStage(socksStageNone);
    TCustomWSocket::Connect();
    return;
  }
  if (LowerCase(FProtoStr) != "tcp") {
    ReportError("tcp is the only protocol supported thru socks server");
    return;
  }
  // Each request must fit the 128-byte request area; refuse before the
  // proxy sees anything rather than send a truncated name or password.
  if (FSocksAuthentication == socksAuthenticateUsercode &&
      FSocksUsercode.size() + FSocksPassword.size() > SOCKS_MAX_CREDENTIALS) {
    ReportError(Format("connect: socks user code and password too long (%zu bytes, at most %zu)",
                       FSocksUsercode.size() + FSocksPassword.size(), SOCKS_MAX_CREDENTIALS));
    return;
  }
  if (FAddrStr.size() > SOCKS_MAX_ADDR) {
    ReportError(Format("connect: host name too long for the socks server (%zu bytes, at most %zu)",
                       FAddrStr.size(), SOCKS_MAX_ADDR));
    return;
  }
  // This level stays IPv4: it reaches the proxy over IPv4 and names the
  // host as a domain name (address type 03), never as an IPv6 address (04).
  // An IPv6 address is refused here, not sent as a name the proxy may not read.
  sockaddr_storage Probe{};
  if ((plat::ParseAddress(FSocksServer, Probe) && Probe.ss_family == AF_INET6) ||
      (plat::ParseAddress(FAddrStr, Probe) && Probe.ss_family == AF_INET6)) {
    ReportError("connect: IPv6 addresses are not supported through a socks server");
    return;
  }
  try {
    // The core connects to whatever the address record holds: the proxy.
    if (!FPortResolved) {
      plat::SetAddressPort(FSin, WSocketResolvePort(FSocksPort, FProtoStr));
      FPortResolved = true;
    }
    if (!FAddrResolved) {
      sockaddr_in Proxy{};
      Proxy.sin_family = AF_INET;
      Proxy.sin_port = htons(plat::AddressPort(FSin));
      Proxy.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
      FSin = sockaddr_storage{};
      std::memcpy(&FSin, &Proxy, sizeof(Proxy));
      FNextAddrs.clear();
      FAddrResolved = true;
    }
    // The destination port goes into the connect request.
    FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
    SetSocksStage(socksStageMethod);
    FRcvCnt = 0;
    FSocksAuthFailed = false;
  } catch (const std::exception& E) {
    ReportError(std::string("connect: ") + E.what());
    return;
  }

  const std::weak_ptr<int> Alive = AliveToken();
  try {
    TCustomWSocket::Connect();
  } catch (...) {
    if (!Alive.expired() && FHSocket == plat::INVALID_SOCKET) SetSocksStage(socksStageNone);
    throw;
  }
  // Refused at once: there is no proxy session to negotiate for.
  if (!Alive.expired() && FHSocket == plat::INVALID_SOCKET) SetSocksStage(socksStageNone);
}

void TCustomSocksWSocket::Listen() {
  if (FSocksServerAssigned) {
    ReportError("listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

// ---------------------------------------------------------------------------
// Receiving: the bytes behind the connect reply come first.

int TCustomSocksWSocket::RcvdCount() {
  if (FSocksRcvdCnt > 0) return FSocksRcvdCnt;
  return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::RawReceive(void* Buffer, int BufferSize, int Flags) {
  if (FSocksRcvdCnt <= 0) return TCustomWSocket::RawReceive(Buffer, BufferSize, Flags);
  const int Count = std::min(std::max(BufferSize, 0), FSocksRcvdCnt);
  std::memcpy(Buffer, FRcvBuf + FSocksRcvdPos, static_cast<std::size_t>(Count));
  FSocksRcvdPos += Count;
  FSocksRcvdCnt -= Count;
  return Count;
}

// ---------------------------------------------------------------------------
// Notifications

void TCustomSocksWSocket::DoSessionConnected(std::uint16_t Error) {
  if (FSocksStage != socksStageMethod) {
    TCustomWSocket::DoSessionConnected(Error);
    return;
  }
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  DoSocksConnected(Error);
  if (Alive.expired() || FHSocket != Handle) return;
  if (Error != 0) {
    // The proxy is unreachable: the owner hears it as its own failed connect.
    TCustomWSocket::DoSessionConnected(Error);
    return;
  }
  FSocksAuthNumber =
      FSocksAuthentication == socksAuthenticateUsercode ? SOCKS_METHOD_USERCODE : SOCKS_METHOD_NONE;
  const unsigned char Offer[3] = {SOCKS_VERSION, 1, FSocksAuthNumber};
  Send(Offer, sizeof(Offer));
}

bool TCustomSocksWSocket::DoDataAvailable(std::uint16_t Error) {
  if (FSocksStage == socksStageNone) return TCustomWSocket::DoDataAvailable(Error);
  if (Error != 0) {
    // Nothing was taken; the read loop sees that the session has ended.
    SocksError(Error, "data receive error");
    return false;
  }
  // The negotiation bytes are the proxy's, not the owner's: read them past
  // the counting Receive so that ReadCount counts only what the owner gets.
  const int Room = static_cast<int>(sizeof(FRcvBuf)) - 1 - FRcvCnt;
  const int Len = TCustomWSocket::RawReceive(FRcvBuf + FRcvCnt, Room, 0);
  if (Len < 0) {
    FLastError = plat::WSAGetLastError();
    return true;
  }
  if (Len == 0 && Room > 0) {
    // End of stream: the proxy gave up before its reply was complete. The
    // owner must hear that its connect failed, not only that a session it
    // never had was closed.
    const std::weak_ptr<int> Alive = AliveToken();
    const plat::SOCKET Handle = FHSocket;
    if (FSocksStage == socksStageAuth) {
      DoSocksAuthState(socksAuthFailed);
      if (Alive.expired() || FHSocket != Handle) return true;
    }
    SocksError(plat::WSAECONNRESET, "data receive error");
    return true;
  }
  FRcvCnt += Len;
  switch (FSocksStage) {
    case socksStageMethod:
      return DataAvailableMethodReply();
    case socksStageAuth:
      return DataAvailableAuthReply();
    case socksStageConnectReply:
      return DataAvailableConnectReply();
    default:
      SocksError(socksInternalError, SocksErrorText(socksInternalError));
      return false;
  }
}

// 05, chosen method.
bool TCustomSocksWSocket::DataAvailableMethodReply() {
  if (FRcvCnt < 2) return true;
  if (FRcvCnt > 2) {
    SocksError(socksProtocolError, SocksErrorText(socksProtocolError));
    return true;
  }
  FRcvCnt = 0;
  if (FRcvBuf[0] != SOCKS_VERSION) {
    SocksError(socksVersionError, SocksErrorText(socksVersionError));
    return true;
  }
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  if (FRcvBuf[1] == SOCKS_METHOD_NONE) {
    if (FSocksAuthNumber == SOCKS_METHOD_USERCODE) {
      DoSocksAuthState(socksAuthSkipped);
      if (Alive.expired() || FHSocket != Handle) return true;
    }
    SocksDoConnect();
  } else if (FRcvBuf[1] == SOCKS_METHOD_USERCODE) {
    SetSocksStage(socksStageAuth);
    DoSocksAuthState(socksAuthBegun);
    if (Alive.expired() || FHSocket != Handle) return true;
    SocksDoAuthenticate();
  } else {
    SocksError(socksAuthMethodError, SocksErrorText(socksAuthMethodError));
  }
  return true;
}

// 01, status.
bool TCustomSocksWSocket::DataAvailableAuthReply() {
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  auto Fail = [&](int Code) {
    DoSocksAuthState(socksAuthFailed);
    if (Alive.expired() || FHSocket != Handle) return;
    SocksError(Code, SocksErrorText(Code));
  };
  if (FRcvCnt >= 1 && FRcvBuf[0] != SOCKS_AUTH_VERSION) {
    Fail(socksVersionError);
    return true;
  }
  if (FRcvCnt < 2) return true;
  if (FRcvCnt > 2) {
    Fail(socksProtocolError);
    return true;
  }
  FRcvCnt = 0;
  if (FRcvBuf[1] != 0x00) {
    Fail(socksAuthenticationFailed);
    return true;
  }
  DoSocksAuthState(socksAuthSucceeded);
  if (Alive.expired() || FHSocket != Handle) return true;
  SocksDoConnect();
  return true;
}

// 05, reply code, reserved, address type, bound address, bound port.
bool TCustomSocksWSocket::DataAvailableConnectReply() {
  if (FRcvCnt >= 1 && FRcvBuf[0] != SOCKS_VERSION) {
    SocksError(socksVersionError, SocksErrorText(socksVersionError));
    return true;
  }
  if (FRcvCnt >= 2 && FRcvBuf[1] != 0x00) {
    const int Code = FRcvBuf[1];
    if (Code <= 8)
      SocksError(socksGeneralFailure - 1 + Code, SocksErrorText(socksGeneralFailure - 1 + Code));
    else
      SocksError(socksUnassignedError, SocksErrorText(socksUnassignedError) + std::to_string(Code));
    return true;
  }
  if (FRcvCnt < 5) return true;
  int Needed = 5;
  if (FRcvBuf[3] == SOCKS_ATYP_IPV4)
    Needed = 10;
  else if (FRcvBuf[3] == SOCKS_ATYP_DOMAIN)
    Needed = 7 + FRcvBuf[4];
  if (FRcvCnt < Needed) return true;

  int PortAt = 0;
  if (FRcvBuf[3] == SOCKS_ATYP_IPV4) {
    FBoundAddr = Format("%u.%u.%u.%u", FRcvBuf[4], FRcvBuf[5], FRcvBuf[6], FRcvBuf[7]);
    PortAt = 8;
  } else if (FRcvBuf[3] == SOCKS_ATYP_DOMAIN) {
    FBoundAddr.assign(reinterpret_cast<const char*>(FRcvBuf + 5), FRcvBuf[4]);
    PortAt = 5 + FRcvBuf[4];
  } else {
    SocksError(socksUnknownAddressType, SocksErrorText(socksUnknownAddressType));
    return true;
  }
  FBoundPort = Format("%d", (FRcvBuf[PortAt] << 8) | FRcvBuf[PortAt + 1]);

  // The bytes behind the reply are the destination's first bytes: in place
  // before the owner's handler runs, so that a read there gets them first.
  FSocksRcvdCnt = std::max(FRcvCnt - Needed, 0);
  FSocksRcvdPos = Needed;
  FRcvCnt = 0;
  SetSocksStage(socksStageNone);
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  TCustomWSocket::DoSessionConnected(0);
  if (Alive.expired() || FHSocket != Handle) return true;
  // Through the levels above, so that line mode collects these bytes too.
  return DoDataAvailable(0);
}

void TCustomSocksWSocket::DoSessionClosed(std::uint16_t Error) {
  if (FSocksStage == socksStageAuth && !FSocksAuthFailed) {
    const std::weak_ptr<int> Alive = AliveToken();
    DoSocksAuthState(socksAuthFailed);
    if (Alive.expired()) return;
  }
  TCustomWSocket::DoSessionClosed(Error);
}

// ---------------------------------------------------------------------------
// Requests

void TCustomSocksWSocket::SendRequest(const std::string& Request) {
  try {
    Send(Request.data(), static_cast<int>(Request.size()));
  } catch (...) {
    // A broken connection to the proxy arrives as its close notification.
  }
}

// 05, 01 connect, 00, 03 domain name, length, Addr, destination port.
void TCustomSocksWSocket::SocksDoConnect() {
  std::string Request;
  Request += static_cast<char>(SOCKS_VERSION);
  Request += static_cast<char>(SOCKS_CMD_CONNECT);
  Request += '\0';
  Request += static_cast<char>(SOCKS_ATYP_DOMAIN);
  Request += static_cast<char>(FAddrStr.size());  // at most 121, checked by Connect
  Request += FAddrStr;
  Request += static_cast<char>((FPortNum >> 8) & 0xFF);
  Request += static_cast<char>(FPortNum & 0xFF);
  SetSocksStage(socksStageConnectReply);
  SendRequest(Request);
}

// 01, user code length, user code, password length, password.
void TCustomSocksWSocket::SocksDoAuthenticate() {
  // Connect checked the length when the method was offered; a proxy that
  // picks it unasked may meet credentials that do not fit.
  if (FSocksUsercode.size() + FSocksPassword.size() > SOCKS_MAX_CREDENTIALS) {
    const std::weak_ptr<int> Alive = AliveToken();
    const plat::SOCKET Handle = FHSocket;
    DoSocksAuthState(socksAuthFailed);
    if (Alive.expired() || FHSocket != Handle) return;
    SocksError(socksAuthMethodError, SocksErrorText(socksAuthMethodError));
    return;
  }
  std::string Request;
  Request += static_cast<char>(SOCKS_AUTH_VERSION);
  Request += static_cast<char>(FSocksUsercode.size());
  Request += FSocksUsercode;
  Request += static_cast<char>(FSocksPassword.size());
  Request += FSocksPassword;
  SendRequest(Request);
}

// ---------------------------------------------------------------------------
// Errors and event raisers

void TCustomSocksWSocket::SocksError(int Error, const std::string& Msg) {
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  DoSocksError(Error, Msg);
  if (Alive.expired() || FHSocket != Handle) return;
  TCustomWSocket::DoSessionConnected(static_cast<std::uint16_t>(Error));
  if (Alive.expired() || FHSocket != Handle) return;
  CloseInternal(true, static_cast<std::uint16_t>(Error));
}

void TCustomSocksWSocket::DoSocksConnected(std::uint16_t Error) {
  if (OnSocksConnected && !FDestroying) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::DoSocksError(int Error, const std::string& Msg) {
  if (OnSocksError && !FDestroying) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState AuthState) {
  if (AuthState == socksAuthFailed) FSocksAuthFailed = true;
  if (OnSocksAuthState && !FDestroying) OnSocksAuthState(this, AuthState);
}
