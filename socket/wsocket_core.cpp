// The socket object itself: construction, the notification windows, the
// dispatch of notifications into events, the read loop, the state machine,
// the waiting operations and the property setters.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/application.h"
#include "socket/wsocket.h"
#include "socket/wsocket_internal.h"

namespace wsocket_internal {

std::string Trim(const std::string& Text) {
  std::size_t Begin = 0;
  std::size_t End = Text.size();
  while (Begin < End && static_cast<unsigned char>(Text[Begin]) <= ' ') ++Begin;
  while (End > Begin && static_cast<unsigned char>(Text[End - 1]) <= ' ') --End;
  return Text.substr(Begin, End - Begin);
}

std::string Format(const char* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  va_list Copy;
  va_copy(Copy, Args);
  const int Needed = std::vsnprintf(nullptr, 0, Fmt, Copy);
  va_end(Copy);
  std::string Result(Needed > 0 ? static_cast<std::size_t>(Needed) : 0, '\0');
  if (Needed > 0) std::vsnprintf(Result.data(), Result.size() + 1, Fmt, Args);
  va_end(Args);
  return Result;
}

unsigned LeadingDigits(const std::string& Text) {
  std::size_t I = 0;
  while (I < Text.size() && (Text[I] == ' ' || Text[I] == '\t')) ++I;
  unsigned Value = 0;
  while (I < Text.size() && std::isdigit(static_cast<unsigned char>(Text[I]))) {
    Value = Value * 10u + static_cast<unsigned>(Text[I] - '0');
    ++I;
  }
  return Value;
}

}  // namespace wsocket_internal

using namespace wsocket_internal;

// ---------------------------------------------------------------------------
// Process-wide start-up, counted by the live socket objects.

namespace {

bool GWinsockStarted = false;
int GSocketCount = 0;

// Unit finalization.
struct WinsockFinalizer {
  ~WinsockFinalizer() { WinsockCleanup(); }
} GWinsockFinalizer;

bool TraceEnabled() {
  static const bool Enabled = std::getenv("VEK_TRACE_SOCKET") != nullptr;
  return Enabled;
}

}  // namespace

bool wsocket_internal::WinsockStarted() { return GWinsockStarted; }

void WinsockStartup(const std::string& Name) {
  if (GWinsockStarted) return;
  const int Err = plat::WSAStartup(0x0101);  // version 1.1
  if (Err != 0) throw ESocketException(Format("%s: WSAStartup error #%d", Name.c_str(), Err));
  GWinsockStarted = true;
}

void WinsockCleanup() {
  if (!GWinsockStarted) return;
  GWinsockStarted = false;
  plat::WSACleanup();
}

// ---------------------------------------------------------------------------
// Construction and destruction

TCustomWSocket::TCustomWSocket()
    : FHSocket(plat::INVALID_SOCKET),
      FPortAssigned(false),
      FAddrAssigned(false),
      FProtoAssigned(true),
      FProto(IPPROTO_TCP),
      FType(SOCK_STREAM),
      FAddrFormat(AF_INET),
      FFlushTimeout(60),
      FBufSize(1514),
      FSendFlags(0),
      FLastError(0),
      FPaused(false),
      FLingerOnOff(wsLingerOn),
      FLingerTimeout(0),
      FAllSent(true),
      FReadCount(0),
      FCloseNotified(false),
      FWindowHandle(0),
      FLoop(&plat::MessageLoop::Current()),
      FDnsLookupHandle(0),
      FAddrResolved(false),
      FPortResolved(false),
      FProtoResolved(false),
      FProtoStr("tcp"),
      FPortNum(0),
      FMultiThreaded(false),
      FState(wsClosed),
      FSin{},
      FDestroying(false),
      FSessionWindow(0),
      FAlive(std::make_shared<int>(0)) {
  FWindowHandle = AllocateSocketWindow();
  TCustomWSocket::ResetToDefaults();
  ++GSocketCount;
  try {
    WinsockStartup("wsock32.dll");
  } catch (...) {
    // No destructor runs for a failed constructor: undo what it did.
    --GSocketCount;
    FLoop->DeallocateWindow(FWindowHandle);
    throw;
  }
}

TCustomWSocket::~TCustomWSocket() {
  FDestroying = true;
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  try {
    if (FState != wsClosed) Close();
  } catch (...) {
  }
  // A handle left open in the closed state (a failed start) must not leak.
  if (FHSocket != plat::INVALID_SOCKET) {
    plat::closesocket(FHSocket);
    FHSocket = plat::INVALID_SOCKET;
  }
  --GSocketCount;
  if (GWinsockStarted && GSocketCount <= 0) {
    WinsockCleanup();
    GSocketCount = 0;
  }
  ClearSendQueue();
  // Detach the object from its windows before they go: a message being
  // dispatched right now must not reach a destroyed object.
  FAlive.reset();
  DropSessionWindow();
  FLoop->DeallocateWindow(FWindowHandle);
  FWindowHandle = 0;
}

// ---------------------------------------------------------------------------
// Notification windows

plat::HWND TCustomWSocket::AllocateSocketWindow() {
  std::weak_ptr<int> Alive = FAlive;
  return FLoop->AllocateWindow([this, Alive](plat::UINT Msg, plat::WPARAM WParam, plat::LPARAM LParam) {
    if (Alive.expired()) return;  // the object is gone: default processing
    TMessage MsgRec{Msg, WParam, LParam, 0};
    WndProc(MsgRec);
  });
}

plat::HWND TCustomWSocket::SessionWindow() {
  if (FSessionWindow == 0) FSessionWindow = AllocateSocketWindow();
  return FSessionWindow;
}

void TCustomWSocket::DropSessionWindow() {
  // Whatever was read ahead belongs to the handle that goes with the window.
  FReadAheadPos = FReadAheadLen = 0;
  if (FSessionWindow == 0) return;
  FLoop->DeallocateWindow(FSessionWindow);
  FSessionWindow = 0;
}

void TCustomWSocket::WndProc(TMessage& MsgRec) {
  switch (MsgRec.Msg) {
    case WM_ASYNCSELECT:
      WMASyncSelect(MsgRec);
      break;
    case WM_ASYNCGETHOSTBYNAME:
      WMAsyncGetHostByName(MsgRec);
      break;
    case WM_ASYNCGETHOSTBYADDR:
      WMAsyncGetHostByAddr(MsgRec);
      break;
    default:
      MsgRec.Result = 0;  // the default window procedure does nothing here
      break;
  }
}

// One notification, its bits handled in a fixed order: connect, read, write,
// accept, close. A handler may close the socket, open a new session on it or
// destroy it; the rest of the bits then belong to a session that is gone.
void TCustomWSocket::WMASyncSelect(TMessage& MsgRec) {
  if (static_cast<plat::SOCKET>(MsgRec.WParam) != FHSocket || FPaused) return;
  const unsigned Event = plat::SelectEvent(MsgRec.LParam);
  const auto Error = static_cast<std::uint16_t>(plat::SelectError(MsgRec.LParam));
  const std::weak_ptr<int> Alive = FAlive;
  const plat::SOCKET Handle = FHSocket;
  const plat::HWND Window = FSessionWindow;
  auto SameSession = [&] {
    return !Alive.expired() && FHSocket == Handle && FSessionWindow == Window;
  };

  if (Event & plat::FD_CONNECT) {
    // A name with more addresses: the next is tried before a failure shows.
    if (Error != 0 && FState == wsConnecting && ConnectNextAddress()) return;
    ChangeState(wsConnected);
    if (!SameSession()) return;
    DoSessionConnected(Error);
    if (!SameSession()) return;
    if (Error != 0 && FState != wsClosed) {
      Close();
      return;
    }
  }
  if (Event & plat::FD_READ) {
    HandleReadEvent(Error);
    if (!SameSession()) return;
  }
  if (Event & plat::FD_WRITE) {
    // Held bytes wait for the owner's answer to OnDataSent (below).
    if (FHeld == 0) TryToSend();
    if (!SameSession()) return;
    const unsigned SendsBefore = FSends;
    if (FAllSent && OnDataSent) {
      const bool WasInDataSent = FInDataSent;
      FInDataSent = true;
      try {
        DoDataSent(Error);
      } catch (...) {
        if (SameSession()) FInDataSent = WasInDataSent;
        throw;
      }
      if (!SameSession()) return;
      FInDataSent = WasInDataSent;
    }
    // The owner added nothing: what is held goes now.
    if (FHeld > 0 && FSends == SendsBefore) {
      PushHeld(false);
      if (!SameSession()) return;
    }
  }
  if (Event & plat::FD_ACCEPT) {
    DoSessionAvailable(Error);
    if (!SameSession()) return;
  }
  if (Event & plat::FD_CLOSE) {
    // The refusal of a connect attempt arrives as the connect bit.
    if (FState == wsConnecting) return;
    HandleReadEvent(0);
    if (!SameSession()) return;
    if (OnSessionClosed && !FCloseNotified) {
      FCloseNotified = true;
      DoSessionClosed(Error);
      if (!SameSession()) return;
    }
    if (FState != wsClosed) Close();
  }
}

// The data handler is called while bytes remain; without one the bytes are
// read and dropped so that the peer is not stalled.
void TCustomWSocket::HandleReadEvent(std::uint16_t Error) {
  const std::weak_ptr<int> Alive = FAlive;
  const plat::SOCKET Handle = FHSocket;
  const plat::HWND Window = FSessionWindow;
  auto SameSession = [&] {
    return !Alive.expired() && FHSocket == Handle && FSessionWindow == Window;
  };
  FKnownWaiting = 0;
  try {
    for (;;) {
      FLastError = 0;
      const bool Taken = DoDataAvailable(Error);
      // The handler may have closed the socket (and opened another one under
      // the same descriptor number) or destroyed the object: nothing of this
      // session is left to read, and the next one's bytes are not ours.
      if (!SameSession()) return;
      if (!Taken) {
        char Scratch[1024];
        if (RawReceive(Scratch, sizeof(Scratch), 0) < 0) {
          const int Err = plat::WSAGetLastError();
          if (Err == plat::WSAEWOULDBLOCK) {
            FLastError = 0;
            break;
          }
          FLastError = Err;
        }
      }
      if (FLastError != 0) break;
      // Known to be waiting: every layer's RcvdCount would be above zero too
      // (they add their own buffered bytes to the kernel's), so the loop goes
      // on exactly as it would after asking; one FIONREAD saved per chunk.
      if (FType == SOCK_STREAM && FKnownWaiting > 0) continue;
      const int Waiting = RcvdCount();
      // A failed query is reported, and an OnError handler may end it all.
      if (!SameSession()) return;
      if (Waiting < 0) {
        if (FLastError == 0) FLastError = plat::WSAGetLastError();
        break;
      }
      if (Waiting == 0) break;
    }
  } catch (...) {
    // An exception from a data handler ends this read loop only.
  }
  // The loop may end with bytes read ahead (a handler failed, or stopped
  // reading): the kernel, which may hold nothing more, would never report them.
  if (SameSession()) PostReadNotificationIfHeld();
}

// ---------------------------------------------------------------------------
// State

void TCustomWSocket::ChangeState(TSocketState NewState) {
  const TSocketState OldState = FState;
  FState = NewState;
  if (TraceEnabled())
    std::fprintf(stderr, "wsocket %p: %s -> %s\n", static_cast<void*>(this), SocketStateName(OldState),
                 SocketStateName(NewState));
  DoChangeState(OldState, NewState);
}

void TCustomWSocket::ResetToDefaults() {
  FSin = sockaddr_storage{};
  FSin.ss_family = AF_INET;
  FAddrFormat = AF_INET;
  FNextAddrs.clear();
  FAddrAssigned = false;
  FPortAssigned = false;
  FAddrResolved = false;
  FPortResolved = false;
  FProtoResolved = false;
  FProtoAssigned = true;
  FProto = IPPROTO_TCP;
  FProtoStr = "tcp";
  FType = SOCK_STREAM;
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FHSocket = plat::INVALID_SOCKET;
  DropSessionWindow();
  FState = wsClosed;
  FAllSent = true;
  FPaused = false;
  FReadCount = 0;
  FCloseNotified = false;
  FFlushTimeout = 60;
}

// ---------------------------------------------------------------------------
// Event raisers. No user handler runs while the object is being destroyed:
// the owner that bound it is usually half torn down by then.

bool TCustomWSocket::DoDataAvailable(std::uint16_t Error) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, Error);
  return true;
}

void TCustomWSocket::DoSessionAvailable(std::uint16_t Error) {
  if (OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomWSocket::DoSessionConnected(std::uint16_t Error) {
  if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomWSocket::DoSessionClosed(std::uint16_t Error) {
  if (OnSessionClosed && !FDestroying) OnSessionClosed(this, Error);
}

void TCustomWSocket::DoDataSent(std::uint16_t Error) {
  if (OnDataSent) OnDataSent(this, Error);
}

void TCustomWSocket::DoChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState && !FDestroying) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::DoDnsLookupDone(std::uint16_t Error) {
  if (OnDnsLookupDone && !FDestroying) OnDnsLookupDone(this, Error);
}

void TCustomWSocket::DoError() {
  if (OnError && !FDestroying) OnError(this);
}

// ---------------------------------------------------------------------------
// Pausing and waiting

void TCustomWSocket::Pause() {
  FPaused = true;
  if (FHSocket != plat::INVALID_SOCKET) plat::WSAAsyncSelect(FHSocket, SessionWindow(), 0, 0);
}

void TCustomWSocket::Resume() {
  FPaused = false;
  if (FHSocket == plat::INVALID_SOCKET) return;
  // A listening socket needs its accept notifications back as well.
  const long Events = FState == wsListening ? WSOCKET_LISTEN_EVENTS : WSOCKET_DUP_EVENTS;
  if (plat::WSAAsyncSelect(FHSocket, SessionWindow(), WM_ASYNCSELECT, Events) ==
      plat::SOCKET_ERROR) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  // The kernel knows nothing of bytes read ahead before the pause.
  PostReadNotificationIfHeld();
}

void TCustomWSocket::PumpMessages() { plat::MessageLoop::Current().DispatchPending(); }

void TCustomWSocket::ProcessMessagesForWait() {
  if (FMultiThreaded)
    PumpMessages();
  else
    plat::Application::Instance().ProcessMessages();
}

void TCustomWSocket::WaitForMessage() {
  if (FMultiThreaded)
    plat::MessageLoop::Current().WaitMessage(-1);
  else
    plat::Application::Instance().WaitMessage(-1);
}

void TCustomWSocket::WaitUntilClosed() {
  const std::weak_ptr<int> Alive = FAlive;
  while (FHSocket != plat::INVALID_SOCKET && FState != wsClosed) {
    plat::Application::Instance().ProcessMessages();
    if (Alive.expired()) return;
    if (FHSocket == plat::INVALID_SOCKET || FState == wsClosed) break;
    unsigned long Waiting = 0;
    if (plat::ioctlsocket(FHSocket, plat::FIONREAD_CMD, &Waiting) == plat::SOCKET_ERROR) break;
    Waiting += static_cast<unsigned long>(FReadAheadLen);
    if (Waiting > 0) {
      DoDataAvailable(0);
      if (Alive.expired()) return;
      if (FHSocket == plat::INVALID_SOCKET) break;
    }
    // A zero-length receive tells an idle connection (would-block) from one
    // that has ended (0) or broken (an error).
    char Probe;
    // Bytes still read ahead answer the probe as bytes waiting in the kernel would.
    const int Probed = FReadAheadLen > 0 ? 0 : plat::recv(FHSocket, &Probe, 0, 0);
    if (Probed < 1) {
      const int Err = Probed < 0 ? plat::WSAGetLastError() : 0;
      if (Err != plat::WSAEWOULDBLOCK) {
        FLastError = Err;
        break;
      }
    }
    plat::Application::Instance().ProcessMessages();
    if (Alive.expired()) return;
    // Sleep until the network or the code posts something instead of spinning.
    if (FHSocket != plat::INVALID_SOCKET && FState != wsClosed)
      plat::Application::Instance().WaitMessage(-1);
    if (Alive.expired()) return;
  }
}

// ---------------------------------------------------------------------------
// Properties

void TCustomWSocket::SetAddr(const std::string& Value) {
  if (FAddrAssigned && Value == FAddrStr) return;
  if (FState != wsClosed) {
    ReportError("Cannot change Addr if not closed");
    return;
  }
  FAddrStr = Trim(Value);
  // "[::1]", as URLs write an IPv6 address.
  if (FAddrStr.size() >= 2 && FAddrStr.front() == '[' && FAddrStr.back() == ']')
    FAddrStr = Trim(FAddrStr.substr(1, FAddrStr.size() - 2));
  if (FAddrStr.empty()) {
    FAddrAssigned = false;
    return;
  }
  FAddrAssigned = true;
  FAddrResolved = false;
}

void TCustomWSocket::SetPort(const std::string& Value) {
  if (FPortAssigned && Value == FPortStr) return;
  if (FState != wsClosed) {
    ReportError("Cannot change Port if not closed");
    return;
  }
  FPortStr = Trim(Value);
  if (FPortStr.empty()) {
    FPortAssigned = false;
    return;
  }
  FPortAssigned = true;
  FPortResolved = false;
}

void TCustomWSocket::SetProto(const std::string& Value) {
  if (FProtoAssigned && Value == FProtoStr) return;
  if (FState != wsClosed) {
    ReportError("Cannot change Proto if not closed");
    return;
  }
  FProtoStr = Trim(Value);
  if (FProtoStr.empty()) {
    FProtoAssigned = false;
    return;
  }
  FProtoAssigned = true;
  FProtoResolved = false;
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  switch (FSendFlags) {
    case 0:
      return wsSendNormal;
    case MSG_OOB:
      return wsSendUrgent;
    default:
      ReportError("Invalid internal SendFlags");
      return wsSendNormal;
  }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  switch (Value) {
    case wsSendNormal:
      FSendFlags = 0;
      break;
    case wsSendUrgent:
      FSendFlags = MSG_OOB;
      break;
    default:
      ReportError("Invalid SendFlags");
      break;
  }
}

int TCustomWSocket::RcvdCount() {
  if (FHSocket == plat::INVALID_SOCKET) {
    plat::WSASetLastError(plat::WSAENOTSOCK);
    return -1;
  }
  unsigned long Waiting = 0;
  if (plat::ioctlsocket(FHSocket, plat::FIONREAD_CMD, &Waiting) == plat::SOCKET_ERROR) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  const int Total = static_cast<int>(Waiting) + FReadAheadLen;
  FKnownWaiting = FType == SOCK_STREAM ? Total : 0;
  return Total;
}
