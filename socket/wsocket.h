// WSocket: event-driven TCP/UDP sockets over IPv4 and IPv6.
//
// Addr may be an IPv4 address, an IPv6 one ("::1", also written "[::1]" as in
// URLs) or a host name; a name resolves to its addresses of both families,
// and a stream Connect tries them in the resolver's order until one answers
// (the owner sees one connect). DnsLookup answers an address text at once;
// a name goes to the platform's resolver, which gives IPv4 addresses.
//
// A socket never blocks its caller. Every handle it opens is registered for
// readiness notifications to the socket's own hidden window; the loop delivers
// them as messages and WndProc turns them into events (connected, data
// available, data sent, session available, closed, lookup done). Sending goes
// through a queue of 1514-byte chunks, so Send always accepts every byte.
//
// Class chain: TCustomWSocket -> TCustomSocksWSocket -> TCustomTlsWSocket ->
// TCustomLineWSocket -> TCustomSyncWSocket -> TWSocket. Every internal step calls the virtual
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
// Host text (an IPv4 or IPv6 address, brackets allowed, or a name; 1..256
// characters) -> its addresses of both families, port 0, in the resolver's
// order; never empty. Blocks as WSocketResolveHost. Raises ESocketException.
std::vector<sockaddr_storage> WSocketResolveAddrs(const std::string& InAddr);
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
  // The sockaddr_in form fits IPv4 senders only (a longer address comes
  // cut, FromLen telling its real length).
  virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
  int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_storage& From, int& FromLen);
  // Number of bytes accepted (Len, 0 for Len <= 0) or -1.
  virtual int Send(const void* Data, int Len);
  virtual int SendString(const std::string& Str);
  virtual void DnsLookup(const std::string& HostName);
  virtual void ReverseDnsLookup(const std::string& HostAddr);
  virtual void CancelDnsLookup();
  // Peer address text ("127.0.0.1", "::1"), "error" unless connected.
  virtual std::string GetPeerName();
  // -1 unless connected; else the result of the peer-address query. The
  // sockaddr_in forms answer SOCKET_ERROR with WSAEFAULT for an IPv6
  // address, which does not fit the record.
  virtual int GetPeerSockAddr(sockaddr_in& Addr, int& AddrLen);
  int GetPeerSockAddr(sockaddr_storage& Addr, int& AddrLen);
  // Local port in decimal, "error" unless bound/connected/listening.
  virtual std::string GetLocalPort();
  // Result of the local-address query, in any state.
  virtual int GetSockName(sockaddr_in& Addr, int& AddrLen);
  int GetSockName(sockaddr_storage& Addr, int& AddrLen);
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
  // Blanks around the text and the brackets of "[::1]" are dropped.
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
  // SO_LINGER, SO_KEEPALIVE and SO_REUSEADDR on a new stream handle; false
  // once one was refused (reported).
  bool SetStreamOptions();
  // After a failed stream connect: the name's next address, on a new handle
  // (its family may differ) set up as Connect sets one up. Its outcome comes
  // as a connect notification, as the first attempt's would. False when no
  // address is left.
  bool ConnectNextAddress();
  // A connect that failed at once, delivered as its notification would be.
  void PostConnectFailure(int Error);
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
  std::unique_ptr<TBuffer> NewChunk();
  void RetireFirstChunk();
  std::vector<std::unique_ptr<TBuffer>> FSpareChunks;  // drained chunks for reuse
  // Holding back: an owner that sends its next chunk from OnDataSent gets
  // that event once a chunk is queued, and the queue goes to the kernel
  // once HOLD_LIMIT bytes have gathered or the owner stops adding (its
  // handler returns without a Send), before any shutdown or close, and on
  // Flush. Only as many bytes are held as the kernel was seen to have room
  // for, so that the push at the close is taken at once.
  static constexpr int HOLD_LIMIT = 64 * 1024;
  int FHeld = 0;          // queued bytes reported sent, not yet offered to the kernel
  int FHoldRoom = 0;      // room the kernel had after the last push; -1: to be learnt
  int FSendBufSize = 0;   // the kernel's send buffer as last asked; 0: not yet
  bool FInDataSent = false;
  unsigned FSends = 0;    // Send calls, to tell whether an OnDataSent handler sent
  // After Pushed bytes went to the kernel; false when its buffer is nearly full.
  bool LearnHoldRoom(std::int64_t Pushed);
  // Offers the held bytes to the kernel; with Wait, until all are taken (a
  // close must not lose them). False when it gave up waiting: the bytes are
  // dropped and the close resets the connection.
  bool PushHeld(bool Wait);

  // --- receive ---
  virtual int RawReceive(void* Buffer, int BufferSize, int Flags);
  void AddToReadCount(int Count);
  // ReceiveFrom into a record of FromLen bytes, of either form.
  int ReceiveFromRecord(void* Buffer, int BufferSize, sockaddr& From, int& FromLen);

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
  // The first steps both look-ups share: refuse an empty text (OnError, then
  // OnDnsLookupDone(10022)), drop a running look-up, clear the results.
  // False when the look-up must not start.
  bool StartLookup(const std::string& Text);

  // --- fields ---
  plat::SOCKET FHSocket;
  bool FPortAssigned;
  bool FAddrAssigned;
  bool FProtoAssigned;
  int FProto;     // protocol number, 6 = TCP
  int FType;      // SOCK_STREAM or SOCK_DGRAM
  std::string FDnsResult;
  std::vector<std::string> FDnsResultList;
  int FAddrFormat;  // FSin's family: AF_INET or AF_INET6
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
  // A lower bound of the bytes waiting in the kernel for FHSocket, learned from
  // the read loop's FIONREAD and lowered by every receive: while it is above
  // zero the read loop knows data remains without asking again. Reset when a
  // read loop starts, so it never outlives the descriptor it was learned for.
  int FKnownWaiting = 0;
  void NoteReceived(int Count, int Flags);
  // Read-ahead of a stream: one system call takes what the kernel holds (up
  // to READ_AHEAD_SIZE) and the receives hand it out in the sizes asked for,
  // so small receives cost a copy, not a system call. Bytes here count as
  // waiting (RcvdCount); the kernel knows nothing of them, so whoever leaves
  // them behind posts the read notification that will deliver them. Tied to
  // the handle: dropped with its session window.
  static constexpr int READ_AHEAD_SIZE = 64 * 1024;
  std::unique_ptr<char[]> FReadAhead;
  int FReadAheadPos = 0;
  int FReadAheadLen = 0;  // bytes held, from FReadAheadPos on
  int TakeReadAhead(void* Buffer, int BufferSize, int Flags);
  void PostReadNotificationIfHeld();
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
  // Remote (Connect), local (Listen) or peer (Accept) address, either family.
  sockaddr_storage FSin;
  // The other addresses of the name being connected to, tried in turn.
  std::vector<sockaddr_storage> FNextAddrs;
  bool FDestroying;
  plat::HWND FSessionWindow;  // 0 while no handle is registered

 private:
  std::shared_ptr<int> FAlive;
};

// ---------------------------------------------------------------------------
// TCustomSocksWSocket: connecting through a SOCKS 5 proxy (RFC 1928, with the
// user code / password method of RFC 1929).
//
// With SocksServer set, Connect opens the TCP connection to the proxy, offers
// one method (00 none, or 02 user code / password), authenticates if the proxy
// asks for it, requests a connect to Addr:Port (always as a domain name,
// address type 03: Addr is never resolved locally) and only then raises
// OnSessionConnected(0). Bytes that arrive behind the proxy's connect reply
// are kept and handed out first by Receive (RcvdCount counts them).
// Any failure of the negotiation raises OnSocksError(code, text), then
// OnSessionConnected(code) and OnSessionClosed(code).
// With SocksServer empty the level passes everything through.
//
// Choices of this implementation:
//  - requests that do not fit the 128-byte request area are refused by
//    Connect before anything is sent: user code and password together at
//    most 125 bytes (when SocksAuthentication asks for them), Addr at most
//    121 bytes; the refusal goes through ReportError ("connect: ...");
//  - a connect reply carrying a long bound name (up to 255 bytes) is
//    collected in full, so the reply buffer is larger than the request area;
//  - the bytes behind the connect reply are in place before
//    OnSessionConnected(0) runs, so a handler that reads at once gets them
//    first and in order;
//  - a proxy that ends the connection before its reply is complete fails
//    the negotiation like any other error, with 10054 (connection reset):
//    OnSocksError(10054, "data receive error"), OnSessionConnected(10054),
//    OnSessionClosed(10054);
//  - the negotiation bytes are not counted in ReadCount: it counts the bytes
//    the owner receives, each once;
//  - setting SocksServer or SocksPort makes the next Connect resolve its
//    address and port afresh, so a value left resolved by a failed attempt
//    never redirects the next one.

enum TSocksAuthentication {
  socksNoAuthentication,
  socksAuthenticateUsercode,
};

enum TSocksAuthState {
  socksAuthBegun,
  socksAuthSucceeded,
  socksAuthFailed,
  socksAuthSkipped,
};

// Negotiation stage: what the level waits for from the proxy.
enum TSocksStage : std::uint8_t {
  socksStageNone = 0,        // no negotiation: data goes to the owner
  socksStageMethod = 1,      // the method reply
  socksStageAuth = 2,        // the user code / password reply
  socksStageConnectReply = 3,  // the connect reply
};
// "socksStageNone" ... "socksStageConnectReply"; "?" out of range.
const char* SocksStageName(TSocksStage Stage);

using TSocksErrorEvent =
    std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;

// SOCKS error codes, raised through OnSocksError (texts in SocksErrorText).
constexpr int socksProtocolError = 20001;          // more than 2 bytes in a 2-byte reply
constexpr int socksVersionError = 20002;
constexpr int socksAuthMethodError = 20003;
constexpr int socksGeneralFailure = 20004;         // reply codes 1..8 give 20004..20011
constexpr int socksConnectionNotAllowed = 20005;
constexpr int socksNetworkUnreachable = 20006;
constexpr int socksHostUnreachable = 20007;
constexpr int socksConnectionRefused = 20008;
constexpr int socksTtlExpired = 20009;
constexpr int socksUnknownCommand = 20010;
constexpr int socksUnknownAddressType = 20011;
constexpr int socksUnassignedError = 20012;        // reply codes 9..255
constexpr int socksInternalError = 20013;
constexpr int socksAuthenticationFailed = 20015;

// The bounds of the 128-byte request area.
constexpr std::size_t SOCKS_MAX_CREDENTIALS = 125;  // user code + password
constexpr std::size_t SOCKS_MAX_ADDR = 121;

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  TCustomSocksWSocket() = default;
  ~TCustomSocksWSocket() override = default;

  void Connect() override;
  void Listen() override;
  // The bytes kept behind the connect reply while any remain, else the network's.
  int RcvdCount() override;

  // --- properties ---
  const std::string& SocksServer() const { return FSocksServer; }
  virtual void SetSocksServer(const std::string& Value);
  const std::string& SocksPort() const { return FSocksPort; }
  virtual void SetSocksPort(const std::string& Value);
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }
  // Where the proxy bound its end (dotted address or name, decimal port), from
  // the last connect reply.
  const std::string& SocksBoundAddr() const { return FBoundAddr; }
  const std::string& SocksBoundPort() const { return FBoundPort; }
  TSocksStage SocksStage() const { return FSocksStage; }
  // True while the proxy negotiation runs: the owner has not yet seen
  // OnSessionConnected and incoming bytes belong to the proxy.
  bool SocksNegotiating() const { return FSocksStage != socksStageNone; }

  // --- events ---
  TSocksErrorEvent OnSocksError;
  TSessionConnected OnSocksConnected;  // the TCP connection to the proxy
  TSocksAuthStateEvent OnSocksAuthState;

 protected:
  void ResetToDefaults() override;
  int RawReceive(void* Buffer, int BufferSize, int Flags) override;
  bool DoDataAvailable(std::uint16_t Error) override;
  void DoSessionConnected(std::uint16_t Error) override;
  void DoSessionClosed(std::uint16_t Error) override;

  virtual void DoSocksConnected(std::uint16_t Error);
  virtual void DoSocksError(int Error, const std::string& Msg);
  void DoSocksAuthState(TSocksAuthState AuthState);

  // OnSocksError, OnSessionConnected(code), then the close with the code.
  void SocksError(int Error, const std::string& Msg);
  void SetSocksStage(TSocksStage NewStage);

 private:
  void SocksDoConnect();
  void SocksDoAuthenticate();
  bool DataAvailableMethodReply();
  bool DataAvailableAuthReply();
  bool DataAvailableConnectReply();
  void SendRequest(const std::string& Request);

  TSocksStage FSocksStage = socksStageNone;
  std::string FSocksServer;
  std::string FSocksPort;
  bool FSocksPortAssigned = false;
  bool FSocksServerAssigned = false;
  std::string FSocksUsercode;
  std::string FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  std::uint8_t FSocksAuthNumber = 0;  // the method offered: 00 or 02
  bool FSocksAuthFailed = false;      // socksAuthFailed already raised
  std::string FBoundAddr;
  std::string FBoundPort;
  // The proxy's current reply. Room for the longest connect reply
  // (7 + 255 bytes) and what may follow it in the same read.
  unsigned char FRcvBuf[512] = {};
  int FRcvCnt = 0;
  // The bytes behind the connect reply, not yet read by the owner.
  int FSocksRcvdCnt = 0;
  int FSocksRcvdPos = 0;  // index into FRcvBuf
};

// The text of a SOCKS error code of the table above.
std::string SocksErrorText(int Error);

// ---------------------------------------------------------------------------
// TCustomTlsWSocket: TLS 1.2 and 1.3 over the session, as a client.
//
// StartTls on a connected session runs the handshake through OpenSSL over
// memory buffers: the core still does every read and write on its own
// notifications, and the owner sees nothing of the handshake. OnTlsDone(0)
// says the session is encrypted; from then on Send encrypts, Receive
// decrypts, RcvdCount counts decrypted bytes, and OnDataAvailable is raised
// only when some are waiting. A failed handshake raises OnTlsDone(code) with
// TlsError() saying why; the owner closes.
//
// Close sends close_notify and waits for the peer's answer (its close_notify
// or its close) before the connection goes: closing with the peer's last
// bytes unread would reset the connection, and a server may then lose the
// end of an upload. A second Close, or Abort, ends it at once.
//
// The certificate is checked against the system's trust store and the host
// name (or address) given to StartTls, but a failure does not stop the
// handshake: TlsInfo says what was found, and the owner decides.
//
// Every session ticket the server sends goes into the TTlsSessionJar given
// to StartTls, and a later StartTls with that jar offers the freshest for
// resumption: the data connections of an FTP session resume its control
// connection's session.

struct ssl_st;
struct ssl_session_st;

struct TTlsInfo {
  std::string Version;      // "TLSv1.3"
  std::string Cipher;       // "TLS_AES_256_GCM_SHA384"
  bool Resumed = false;     // a session from the jar was resumed
  std::string Subject;      // of the server's certificate, one line
  std::string Issuer;
  std::string NotBefore;    // "2026-12-09 12:00:00 UTC"
  std::string NotAfter;
  std::string Fingerprint;  // SHA-256 of the certificate, "AB:CD:..."
  // The check against the trust store and the host: 0 passed, else
  // OpenSSL's X509_V_ERR_ code, with its text.
  long VerifyCode = -1;
  std::string VerifyText;
};

class TTlsSessionJar {
 public:
  TTlsSessionJar() = default;
  ~TTlsSessionJar();
  TTlsSessionJar(const TTlsSessionJar&) = delete;
  TTlsSessionJar& operator=(const TTlsSessionJar&) = delete;
  // Takes over one reference.
  void Keep(ssl_session_st* Session);
  ssl_session_st* Freshest() const { return FSession; }
  void Clear();
  // Tickets kept so far (a trace and the tests read it).
  int Kept() const { return FKept; }

 private:
  ssl_session_st* FSession = nullptr;
  int FKept = 0;
};

using TTlsDoneEvent = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;

// The code OnTlsDone reports for a failed handshake.
constexpr std::uint16_t WSOCKET_TLS_FAILED = 20100;

// Certificates (PEM) every TLS session of the process trusts beside the
// system's store, such as a company's own authority. False with Error set
// when the file cannot be read.
bool WSocketTrustCertificates(const std::string& PemFile, std::string& Error);

class TCustomTlsWSocket : public TCustomSocksWSocket {
 public:
  TCustomTlsWSocket() = default;
  ~TCustomTlsWSocket() override;

  // HostName: sent as the server name, and what the certificate must name
  // (an IP address is checked as one). Jar may be null.
  void StartTls(const std::string& HostName, std::shared_ptr<TTlsSessionJar> Jar);
  // Started: handshaking, encrypted or closing.
  bool TlsActive() const { return FTls != nullptr; }
  bool TlsHandshaking() const { return FTlsStage == tlsHandshaking; }
  bool TlsUp() const { return FTlsStage == tlsUp; }
  const TTlsInfo& TlsInfo() const { return FTlsInfo; }
  const std::string& TlsError() const { return FTlsError; }
  // The versions offered, as OpenSSL numbers them (TLS1_2_VERSION ...); 0:
  // the library's bound. Read at StartTls.
  void SetTlsVersions(int Min, int Max) {
    FTlsMin = Min;
    FTlsMax = Max;
  }

  void Close() override;
  void Abort() override;
  int Send(const void* Data, int Len) override;
  int RcvdCount() override;

  TTlsDoneEvent OnTlsDone;

 protected:
  enum TTlsStage { tlsNone, tlsHandshaking, tlsUp, tlsClosing, tlsFailed };
  void ResetToDefaults() override;
  int RawReceive(void* Buffer, int BufferSize, int Flags) override;
  bool DoDataAvailable(std::uint16_t Error) override;
  void DoSessionClosed(std::uint16_t Error) override;
  virtual void DoTlsDone(std::uint16_t Error);

 private:
  // Network bytes into OpenSSL: one read from below. False when nothing came.
  bool PullCipher();
  // OpenSSL's output onto the network.
  void PushCipher();
  // Handshake, then decryption while there is room; false when the session
  // is gone (a handler closed it).
  bool AdvanceHandshake();
  void Decrypt();
  void HandshakeFailed(const std::string& Why);
  void FillInfo();
  void DropTls();
  int PlainWaiting() const { return static_cast<int>(FPlain.size() - FPlainPos); }

  ssl_st* FTls = nullptr;
  void* FReadBio = nullptr;   // BIO*: network -> OpenSSL
  void* FWriteBio = nullptr;  // BIO*: OpenSSL -> network
  TTlsStage FTlsStage = tlsNone;
  std::shared_ptr<TTlsSessionJar> FJar;
  std::string FPlain;         // decrypted, not yet received by the owner
  std::size_t FPlainPos = 0;
  std::string FPendingSend;   // sent before the handshake ended
  bool FCipherEof = false;    // the peer closed the connection
  bool FPeerClosedTls = false;  // its close_notify came
  TTlsInfo FTlsInfo;
  std::string FTlsError;
  int FTlsMin = 0;
  int FTlsMax = 0;

  friend int TlsNewSession(ssl_st* Ssl, ssl_session_st* Session);
};

// ---------------------------------------------------------------------------
// TCustomLineWSocket: one OnDataAvailable per line.
//
// With LineMode on, incoming bytes are collected and OnDataAvailable is raised
// once for each line ended by LineEnd (default CR LF); inside the handler
// Receive hands out that line, terminator included, or its next part if the
// buffer is smaller; the event is raised again while part of the line is
// unread. With LineMode off (or LineEnd empty) the socket behaves as the
// levels below. Bytes still buffered when line mode goes off come out first
// through ordinary OnDataAvailable events (message WM_LINEMODE).
// An unterminated tail is handed out as a last line before OnSessionClosed.
//
// Choices of this implementation:
//  - the buffer never holds more than LineLimit bytes (default 64 KiB, a
//    line's terminator included): each time it is full without a terminator,
//    OnLineTooLong is raised and those bytes are handed out as one piece
//    (less the last LineEnd-length - 1, which may begin a terminator), so a
//    long line arrives in pieces and no byte is lost;
//  - switching LineMode on with bytes buffered scans them for lines (the
//    WM_LINEMODE message), and the partial line left waits for more data;
//  - lines are collected only after the owner has seen OnSessionConnected:
//    the SOCKS negotiation replies pass below untouched, and the bytes behind
//    the proxy's connect reply are the first collected;
//  - ReadCount counts each byte once, when the owner receives it;
//  - without an OnDataAvailable handler a line is dropped, as the core drops
//    unread data, instead of being offered for ever;
//  - the buffer belongs to one session: it is emptied at every reset, so
//    bytes of a closed session never reach the next one.

constexpr plat::UINT WM_LINEMODE = plat::WM_USER + 20;  // hand out buffered bytes

class TCustomLineWSocket : public TCustomTlsWSocket {
 public:
  TCustomLineWSocket() = default;
  ~TCustomLineWSocket() override = default;

  // While line mode is on and a line is being handed out: its unread part;
  // while it is off with bytes left over from it: those plus the network's.
  int RcvdCount() override;

  // --- properties ---
  bool LineMode() const { return FLineMode; }
  virtual void SetLineMode(bool Value);
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& Value);
  // The longest line, terminator included; at least 1.
  int LineLimit() const { return FLineLimit; }
  void SetLineLimit(int Value) { FLineLimit = Value < 1 ? 1 : Value; }
  // Length of the line being handed out, 0 when none.
  int LineLength() const { return FLineLength; }
  // Bytes received and not yet handed out.
  int LineCount() const { return FLineCount; }
  // Milliseconds for the synchronous waits, 0 = no limit.
  int Timeout() const { return FTimeout; }
  void SetTimeout(int Value) { FTimeout = Value; }

 protected:
  void WndProc(TMessage& MsgRec) override;
  void ResetToDefaults() override;
  bool DoDataAvailable(std::uint16_t Error) override;
  int RawReceive(void* Buffer, int BufferSize, int Flags) override;
  void DoSessionClosed(std::uint16_t Error) override;
  void DoLineTooLong();

  // Line mode in effect: on, with a terminator to look for.
  bool LineModeActive() const { return FLineMode && !FLineEnd.empty(); }

  std::uint32_t FTimeStop = 0;  // deadline of the synchronous wait

 private:
  void WMLineMode();
  // Hands out every complete line buffered, the one under way first; the
  // search starts Start bytes into the buffer. False when the object or the
  // session went away in a handler.
  bool ScanLines(int Start);
  // Raises OnDataAvailable while the current line is unread.
  bool HandOutLine();
  // Offset of LineEnd from the front, searching from Start; -1 if none.
  int FindLineEnd(int Start) const;
  // Reads up to Count bytes from below into the buffer; the result of the read.
  int ReadIntoBuffer(int Count);
  // Moves the front Count bytes out (copied to Dest when given).
  void TakeFront(void* Dest, int Count);
  void DropLineBuffer();
  void PostLineModeMessage();

  std::vector<char> FLineBuffer;
  int FLineHead = 0;   // index of the first unread byte
  int FLineCount = 0;  // unread bytes from FLineHead on
  std::string FLineEnd = "\r\n";
  bool FLineMode = false;
  int FLineLength = 0;
  int FLineLimit = 65536;
  int FTimeout = 0;
};

// ---------------------------------------------------------------------------
// TCustomSyncWSocket: waiting in the loop for a flag an event handler sets.

// The result of a wait that ended without the flag: the timeout passed or the
// application is terminating.
constexpr int WSOCKET_WAIT_TIMEOUT = 12001;

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  TCustomSyncWSocket() = default;
  ~TCustomSyncWSocket() override = default;

  // Clears Done, calls Proc (when given), then WaitUntilDone(Done).
  virtual int RunAndWait(const std::function<void()>& Proc, bool& Done);
  // 0 once Done is set; WSOCKET_WAIT_TIMEOUT when Timeout (if positive) passes
  // or the application terminates. Sleeps in the loop between messages.
  virtual int WaitUntilDone(bool& Done);
};

// The published socket class.
class TWSocket : public TCustomSyncWSocket {
 public:
  TWSocket() = default;
  ~TWSocket() override = default;
};
