// WSocket: event-driven TCP/UDP sockets over IPv4.
//
// A socket never blocks its caller. Every handle it opens is registered for
// readiness notifications to the socket's own hidden window; the loop delivers
// them as messages and WndProc turns them into events (connected, data
// available, data sent, session available, closed, lookup done). Sending goes
// through a queue of 1514-byte chunks, so Send always accepts every byte.
//
// Class chain: TCustomWSocket -> TCustomSocksWSocket -> TCustomLineWSocket ->
// TCustomSyncWSocket -> TWSocket. Every internal step calls the virtual
// operations (WndProc, ResetToDefaults, RcvdCount, DoDataAvailable,
// DoSessionConnected, DoSessionClosed, RawReceive, Connect, Listen ...), so the
// SOCKS and line levels take effect by overriding them.
//
// Everything runs on the thread that created the socket (its MessageLoop).
// Handlers may close the socket, start a new session on it, or run the loop
// again; the socket re-checks its handle after every handler it calls.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/uio.h>

#include "platform/message_loop.h"
#include "platform/resolver.h"
#include "platform/winsock.h"
#include "socket/wsockbuf.h"

// ---------------------------------------------------------------------------
// Types

enum TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed,
};
// "wsInvalidState" ... "wsClosed", indexed by the state; "?" out of range.
const char* SocketStateName(TSocketState State);

enum TSocketSendFlags {
  wsSendNormal = 0,  // send flags 0
  wsSendUrgent = 1,  // out-of-band
};

enum TSocketLingerOnOff {
  wsLingerOff,
  wsLingerOn,
  wsLingerNoSet,
};

class TCustomWSocket;

// Error: Winsock error code, 0 = success.
using TDataAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TChangeState =
    std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
// OnLineTooLong, OnError: Sender only.
using TSocketNotifyEvent = std::function<void(TCustomWSocket* Sender)>;

class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Messages of the notification window.
constexpr plat::UINT WM_ASYNCSELECT = plat::WM_USER + 1;         // socket notification
constexpr plat::UINT WM_ASYNCGETHOSTBYNAME = plat::WM_USER + 2;  // forward lookup finished
constexpr plat::UINT WM_ASYNCGETHOSTBYADDR = plat::WM_USER + 3;  // reverse lookup finished

// Notification masks registered after Connect, Listen, Dup/Resume.
constexpr long WSOCKET_CONNECT_EVENTS = plat::FD_READ | plat::FD_WRITE | plat::FD_ACCEPT |
                                        plat::FD_CONNECT | plat::FD_CLOSE;  // 0x3B
constexpr long WSOCKET_LISTEN_EVENTS =
    plat::FD_READ | plat::FD_WRITE | plat::FD_ACCEPT | plat::FD_CLOSE;  // 0x2B
constexpr long WSOCKET_DUP_EVENTS =
    plat::FD_READ | plat::FD_WRITE | plat::FD_CONNECT | plat::FD_CLOSE;  // 0x33

// A message as the window procedure hands it to WndProc.
struct TMessage {
  plat::UINT Msg;
  plat::WPARAM WParam;
  plat::LPARAM LParam;
  std::intptr_t Result;
};

// ---------------------------------------------------------------------------
// Free functions

// English text of a Winsock error code ("Not a WinSock error" for unknown ones).
std::string WSocketErrorText(int ErrCode);

// Host text (dotted or name, 1..256 characters) -> IPv4 address, network order.
// Blocks while the system resolver answers. Raises ESocketException.
std::uint32_t WSocketResolveHost(const std::string& InAddr);
// Port text (number or service name, 1..31 characters) -> port, host order.
// Raises ESocketException.
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
// Protocol text (number or name, 1..31 characters) -> protocol number.
// Raises ESocketException.
int WSocketResolveProto(const std::string& Proto);

// Process-wide start-up of the socket service, counted by the socket objects.
// Raises ESocketException "%s: WSAStartup error #%d".
void WinsockStartup(const std::string& Name);
void WinsockCleanup();

// ---------------------------------------------------------------------------
// TCustomWSocket

class TCustomWSocket {
 public:
  TCustomWSocket();
  virtual ~TCustomWSocket();
  TCustomWSocket(const TCustomWSocket&) = delete;
  TCustomWSocket& operator=(const TCustomWSocket&) = delete;

  // --- operations ---
  virtual void Connect();
  virtual void Close();
  virtual void Abort();
  virtual void Flush();
  virtual void WaitUntilClosed();
  virtual void Listen();
  // The accepted handle, INVALID_SOCKET on failure.
  virtual plat::SOCKET Accept();
  virtual int Receive(void* Buffer, int BufferSize);
  virtual std::string ReceiveString();
  virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
  // Number of bytes accepted (Len, 0 for Len <= 0) or -1.
  virtual int Send(const void* Data, int Len);
  virtual int SendString(const std::string& Str);
  virtual void DnsLookup(const std::string& HostName);
  virtual void ReverseDnsLookup(const std::string& HostAddr);
  virtual void CancelDnsLookup();
  // Dotted peer address, "error" unless connected.
  virtual std::string GetPeerName();
  // -1 unless connected; else the result of the peer-address query.
  virtual int GetPeerSockAddr(sockaddr_in& Addr, int& AddrLen);
  // Local port in decimal, "error" unless bound/connected/listening.
  virtual std::string GetLocalPort();
  // Result of the local-address query, in any state.
  virtual int GetSockName(sockaddr_in& Addr, int& AddrLen);
  // Makes this socket own an accepted handle (state wsConnected, no event).
  virtual void Dup(plat::SOCKET NewHSocket);
  // 0 receive, 1 send, 2 both; the result is ignored.
  virtual void Shutdown(int How);
  virtual void Pause();
  virtual void Resume();
  // Applies LingerOnOff / LingerTimeout to the open handle.
  void ApplyLinger();
  // Dispatches every message queued on this thread's loop, then returns.
  void PumpMessages();

  // --- properties ---
  const std::string& Addr() const { return FAddrStr; }
  void SetAddr(const std::string& Value);
  const std::string& Port() const { return FPortStr; }
  virtual void SetPort(const std::string& Value);
  const std::string& Proto() const { return FProtoStr; }
  virtual void SetProto(const std::string& Value);
  const std::string& DnsResult() const { return FDnsResult; }
  const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
  TSocketState State() const { return FState; }
  int ReadCount() const { return FReadCount; }
  // Bytes waiting in the network buffer, -1 after a failure.
  virtual int RcvdCount();
  int LastError() const { return FLastError; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
  int FlushTimeout() const { return FFlushTimeout; }
  void SetFlushTimeout(int Value) { FFlushTimeout = Value; }
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags Value);
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
  int LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
  // The network handle (INVALID_SOCKET when none), for socket-option queries.
  plat::SOCKET HSocket() const { return FHSocket; }
  // The socket's own window: lookup completions and messages the socket posts
  // to itself. Network notifications arrive at a window of the current handle
  // (see SessionWindow); both end in WndProc.
  plat::HWND NotifyWindow() const { return FWindowHandle; }
  bool AllSent() const { return FAllSent; }
  bool Paused() const { return FPaused; }
  bool CloseNotified() const { return FCloseNotified; }
  // True while the destructor runs: no events are raised then.
  bool Destroying() const { return FDestroying; }
  // The send queue (first = oldest chunk) and the capacity of new chunks.
  const std::deque<std::unique_ptr<TBuffer>>& SendQueue() const { return FBufList; }
  int ChunkSize() const { return FBufSize; }

  // --- events ---
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TChangeState OnChangeState;
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSocketNotifyEvent OnLineTooLong;  // stored; this layer never raises it
  TDnsLookupDone OnDnsLookupDone;
  TSocketNotifyEvent OnError;

 protected:
  // --- window and notifications ---
  virtual void WndProc(TMessage& MsgRec);
  void WMASyncSelect(TMessage& MsgRec);
  void WMAsyncGetHostByName(TMessage& MsgRec);
  void WMAsyncGetHostByAddr(TMessage& MsgRec);
  void HandleReadEvent(std::uint16_t Error);

  // --- lifecycle ---
  virtual void ResetToDefaults();
  virtual void CloseInternal(bool Shut, std::uint16_t Error);
  void ChangeState(TSocketState NewState);
  virtual void BindLocal();
  // Protocol, port and address, each unless resolved since the last reset.
  void ResolveUnresolved();

  // --- send queue ---
  // One send call (send-to the address record for a datagram socket).
  virtual int RawSend(const void* Data, int Len);
  // One gathered send call of several chunks on a stream socket; the send
  // result: bytes taken or SOCKET_ERROR with the Winsock error set.
  virtual int RawSendChunks(const iovec* Iov, int Count);
  void TryToSend();
  void AppendToSendQueue(const void* Data, int Len);
  void ClearSendQueue();
  void PostWriteNotification();

  // --- receive ---
  virtual int RawReceive(void* Buffer, int BufferSize, int Flags);

  // --- errors ---
  virtual void ReportErrorFmt(const char* Format, ...) __attribute__((format(printf, 2, 3)));
  virtual void ReportError(const std::string& Msg);
  void ReportSocketError(const std::string& FuncName);

  // --- event raisers ---
  // True when a handler was assigned (and so took the data).
  virtual bool DoDataAvailable(std::uint16_t Error);
  virtual void DoSessionAvailable(std::uint16_t Error);
  virtual void DoSessionConnected(std::uint16_t Error);
  virtual void DoSessionClosed(std::uint16_t Error);
  virtual void DoDataSent(std::uint16_t Error);
  virtual void DoChangeState(TSocketState OldState, TSocketState NewState);
  virtual void DoDnsLookupDone(std::uint16_t Error);
  virtual void DoError();

  // Processes pending messages the way the waiting operations do:
  // PumpMessages when MultiThreaded, else the application's processing.
  void ProcessMessagesForWait();
  // Sleeps until a message is pending (the "yield" of the waiting loops).
  void WaitForMessage();
  // The window that receives this handle's notifications, allocated on first
  // use. Every place that lets go of a handle drops it, so notifications
  // still queued for a closed handle (whose number Linux hands out again at
  // once) never reach the next session.
  plat::HWND SessionWindow();
  void DropSessionWindow();
  plat::HWND AllocateSocketWindow();
  // True while the object has not been destroyed by a handler; taken before
  // calling a handler, read after it.
  std::weak_ptr<int> AliveToken() const { return FAlive; }

  // --- fields ---
  plat::SOCKET FHSocket;
  bool FPortAssigned;
  bool FAddrAssigned;
  bool FProtoAssigned;
  int FProto;     // protocol number, 6 = TCP
  int FType;      // SOCK_STREAM or SOCK_DGRAM
  std::string FDnsResult;
  std::vector<std::string> FDnsResultList;
  int FAddrFormat;  // always AF_INET
  int FFlushTimeout;
  std::deque<std::unique_ptr<TBuffer>> FBufList;  // SendQueue
  int FBufSize;                                   // ChunkSize
  int FSendFlags;
  int FLastError;
  bool FPaused;
  TSocketLingerOnOff FLingerOnOff;
  int FLingerTimeout;
  bool FAllSent;
  int FReadCount;
  bool FCloseNotified;
  plat::HWND FWindowHandle;  // NotifyWindow
  plat::MessageLoop* FLoop;  // the loop that owns FWindowHandle
  plat::LookupTask FDnsLookupHandle;
  std::string FAddrStr;
  bool FAddrResolved;
  bool FPortResolved;
  bool FProtoResolved;
  std::string FProtoStr;
  std::string FPortStr;
  int FPortNum;  // host order
  bool FMultiThreaded;
  TSocketState FState;
  sockaddr_in FSin;  // remote (Connect), local (Listen) or peer (Accept) address
  bool FDestroying;
  plat::HWND FSessionWindow;  // 0 while no handle is registered

 private:
  std::shared_ptr<int> FAlive;
};

// ---------------------------------------------------------------------------
// Higher levels. They pass everything through until their own features are
// added; see the note at the top of this file.

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  TCustomSocksWSocket() = default;
  ~TCustomSocksWSocket() override = default;
};

class TCustomLineWSocket : public TCustomSocksWSocket {
 public:
  TCustomLineWSocket() = default;
  ~TCustomLineWSocket() override = default;
};

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  TCustomSyncWSocket() = default;
  ~TCustomSyncWSocket() override = default;
};

// The published socket class.
class TWSocket : public TCustomSyncWSocket {
 public:
  TWSocket() = default;
  ~TWSocket() override = default;
};
