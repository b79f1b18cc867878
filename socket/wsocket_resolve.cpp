// Turning texts into addresses, ports and protocol numbers, and the
// asynchronous host lookups of every socket.
#include <cctype>

#include "socket/wsocket.h"
#include "socket/wsocket_internal.h"

using namespace wsocket_internal;

namespace {

void StartWinsockIfNeeded() {
  if (!WinsockStarted()) WinsockStartup("wsock32.dll");
}

bool StartsWithDigit(const std::string& Text) {
  return !Text.empty() && std::isdigit(static_cast<unsigned char>(Text[0]));
}

// Frees the resolver's record of a task whose completion we no longer want.
void ForgetLookup(plat::LookupTask Task) {
  if (plat::CancelLookup(Task) == 0) return;
  std::vector<std::string> Unused;
  plat::TakeLookupResult(Task, Unused);  // it had finished: drop its result
}

}  // namespace

// ---------------------------------------------------------------------------
// Synchronous resolution

std::uint32_t WSocketResolveHost(const std::string& InAddr) {
  if (InAddr.empty() || InAddr.size() > 256)
    throw ESocketException("WSocketResolveHost: Invalid Hostname.");
  const std::string Host = Trim(InAddr);
  StartWinsockIfNeeded();
  const std::uint32_t Addr = plat::inet_addr(Host);
  if (Addr != INADDR_NONE) return Addr;
  // inet_addr cannot tell the broadcast address from a failure.
  if (Host == "255.255.255.255") return INADDR_NONE;
  std::vector<std::uint32_t> Addrs;
  if (plat::LookupHostBlocking(Host, Addrs) != 0 || Addrs.empty())
    throw ESocketException(
        Format("WSocketResolveHost: Cannot convert host address '%s'", InAddr.c_str()));
  return Addrs.front();
}

std::vector<sockaddr_storage> WSocketResolveAddrs(const std::string& InAddr) {
  if (InAddr.empty() || InAddr.size() > 256)
    throw ESocketException("WSocketResolveHost: Invalid Hostname.");
  std::string Host = Trim(InAddr);
  if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']') Host = Host.substr(1, Host.size() - 2);
  StartWinsockIfNeeded();
  sockaddr_storage Addr{};
  if (plat::ParseAddress(Host, Addr)) return {Addr};
  std::vector<sockaddr_storage> Addrs;
  if (plat::LookupHostAddrsBlocking(Host, Addrs) != 0 || Addrs.empty())
    throw ESocketException(
        Format("WSocketResolveHost: Cannot convert host address '%s'", InAddr.c_str()));
  return Addrs;
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (StartsWithDigit(Port)) return static_cast<std::uint16_t>(LeadingDigits(Port));
  const std::string Service = Trim(Port);
  const std::string Protocol = Trim(Proto);
  // The service look-up takes the protocol name in a 32-byte field.
  if (Protocol.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Protocol.");
  StartWinsockIfNeeded();
  std::uint16_t Number = 0;
  if (plat::LookupServiceBlocking(Service, Protocol, Number) != 0)
    throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s'", Port.c_str()));
  return Number;
}

int WSocketResolveProto(const std::string& Proto) {
  if (Proto.empty() || Proto.size() >= 32)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  const std::string Protocol = Trim(Proto);
  if (StartsWithDigit(Protocol)) return static_cast<int>(LeadingDigits(Protocol));
  StartWinsockIfNeeded();
  int Number = 0;
  if (plat::LookupProtocolBlocking(Protocol, Number) != 0)
    throw ESocketException(
        Format("WSocketResolveProto: Cannot convert protocol '%s'", Protocol.c_str()));
  return Number;
}

// ---------------------------------------------------------------------------
// Asynchronous lookups (one per socket at a time)

bool TCustomWSocket::StartLookup(const std::string& Text) {
  if (Text.empty()) {
    const std::weak_ptr<int> Alive = AliveToken();
    ReportError("DNS lookup: invalid host name.");
    if (!Alive.expired()) DoDnsLookupDone(plat::WSAEINVAL);  // OnError may have destroyed it
    return false;
  }
  if (FDnsLookupHandle != 0) {
    ForgetLookup(FDnsLookupHandle);  // replaced silently
    FDnsLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList.clear();
  return true;
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (!StartLookup(HostName)) return;
  const std::uint32_t Addr = plat::inet_addr(HostName);
  if (Addr != INADDR_NONE) {
    FDnsResult = plat::inet_ntoa(Addr);
    DoDnsLookupDone(0);
    return;
  }
  // An IPv6 address ("::1", "[::1]") needs no resolver either, nor does
  // 255.255.255.255, which inet_addr cannot tell from a failure.
  sockaddr_storage Other{};
  if (plat::ParseAddress(HostName, Other)) {
    FDnsResult = plat::AddressText(Other);
    DoDnsLookupDone(0);
    return;
  }
  FDnsLookupHandle = plat::AsyncLookupHost(FWindowHandle, WM_ASYNCGETHOSTBYNAME, HostName);
  if (FDnsLookupHandle == 0)
    ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(),
                   plat::WSAGetLastError());
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  if (!StartLookup(HostAddr)) return;
  // No validity check: an invalid text asks for 255.255.255.255.
  const std::uint32_t Addr = plat::inet_addr(HostAddr);
  FDnsLookupHandle = plat::AsyncLookupAddr(FWindowHandle, WM_ASYNCGETHOSTBYADDR, Addr);
  if (FDnsLookupHandle == 0)
    ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(),
                   plat::WSAGetLastError());
}

void TCustomWSocket::CancelDnsLookup() {
  if (FDnsLookupHandle == 0) return;
  const plat::LookupTask Task = FDnsLookupHandle;
  if (plat::CancelLookup(Task) != 0) {
    const int Err = plat::WSAGetLastError();
    // A lookup that has finished but whose completion is still queued is as
    // good as cancelled: the handle check drops that completion.
    std::vector<std::string> Unused;
    if (!plat::TakeLookupResult(Task, Unused)) {
      FDnsLookupHandle = 0;
      plat::WSASetLastError(Err);
      ReportSocketError("WSACancelAsyncRequest");
      return;
    }
  }
  FDnsLookupHandle = 0;
  if (!FDestroying) DoDnsLookupDone(plat::WSAEINTR);
}

void TCustomWSocket::WMAsyncGetHostByName(TMessage& MsgRec) {
  const auto Task = static_cast<plat::LookupTask>(MsgRec.WParam);
  if (Task == 0 || Task != FDnsLookupHandle) return;  // a replaced or cancelled lookup
  FDnsLookupHandle = 0;
  auto Error = static_cast<std::uint16_t>(plat::SelectError(MsgRec.LParam));
  std::vector<std::string> Texts;
  const bool Found = plat::TakeLookupResult(Task, Texts);
  if (Error == 0) {
    if (!Found || Texts.empty()) {
      Error = plat::WSANO_DATA;  // success without an address is no success
    } else {
      FDnsResultList = std::move(Texts);
      FDnsResult = FDnsResultList.front();
    }
  }
  DoDnsLookupDone(Error);
}

void TCustomWSocket::WMAsyncGetHostByAddr(TMessage& MsgRec) {
  const auto Task = static_cast<plat::LookupTask>(MsgRec.WParam);
  if (Task == 0 || Task != FDnsLookupHandle) return;
  FDnsLookupHandle = 0;
  auto Error = static_cast<std::uint16_t>(plat::SelectError(MsgRec.LParam));
  std::vector<std::string> Texts;
  const bool Found = plat::TakeLookupResult(Task, Texts);
  if (Error == 0) {
    if (!Found || Texts.empty()) {
      Error = plat::WSANO_DATA;
    } else {
      FDnsResult = Texts.front();
      FDnsResultList.assign(1, FDnsResult);
    }
  }
  DoDnsLookupDone(Error);
}
