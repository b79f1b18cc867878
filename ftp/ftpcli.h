// Ftpcli: the FTP client engine (client side of RFC 959).
//
// One control connection for commands and replies and, for listings and
// files, one data connection at a time. Every request is asynchronous: it
// checks that the engine is idle, sends its first command and returns; the
// replies arrive as socket events; when the request is over the engine posts
// WM_FTP_REQUEST_DONE to its own hidden window, and handling that message
// fires OnRequestDone. Exactly one request runs at a time.
//
// TFtpClient adds blocking twins (Connect, Cwd, Get ...) that start the
// request and run the message loop until the engine is ready again or the
// Timeout passes.
//
// The code is split by concern:
//   ftpcli.cpp          component, state, completion, abort, blocking layer
//   ftpcli_control.cpp  control connection: opening, replies, commands
//   ftpcli_chain.cpp    request chains
//   ftpcli_data.cpp     data connection and local files
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "socket/wsocket.h"

// ---------------------------------------------------------------------------
// Types

class FtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request type reported by OnRequestDone (one byte, values 0 to 39).
enum class TFtpRequest : std::uint8_t {
  None = 0,
  OpenAsync = 1,
  UserAsync = 2,
  PassAsync = 3,
  CwdAsync = 4,
  ConnectAsync = 5,
  ReceiveAsync = 6,
  DirAsync = 7,
  LsAsync = 8,
  PortAsync = 9,
  GetAsync = 10,
  DirectoryAsync = 11,
  ListAsync = 12,
  SystemAsync = 13,
  SystAsync = 14,
  QuitAsync = 15,
  SizeAsync = 16,
  PutAsync = 17,
  AppendAsync = 18,
  FileSizeAsync = 19,
  RqAbort = 20,  // declared; never reported
  MkdAsync = 21,
  RmdAsync = 22,
  RenameAsync = 23,
  DeleAsync = 24,
  RenAsync = 25,
  RenToAsync = 26,
  RenFromAsync = 27,
  DeleteAsync = 28,
  MkdirAsync = 29,
  RmdirAsync = 30,
  PwdAsync = 31,
  QuoteAsync = 32,
  CDupAsync = 33,
  DoQuoteAsync = 34,
  TransmitAsync = 35,
  TypeSetAsync = 36,
  RestAsync = 37,
  RestGetAsync = 38,
  RestartGetAsync = 39,
};
// "none", "OpenAsync" ... "RestartGetAsync"; "unknown" for any other value.
const char* FtpRequestName(TFtpRequest Request);
const char* FtpRequestName(int Value);

// What other openers of the local file are denied while a transfer has it open.
enum TFtpShareMode {
  ftpShareCompat,
  ftpShareExclusive,
  ftpShareDenyWrite,
  ftpShareDenyRead,
  ftpShareDenyNone,
};
// The open-mode word the engine keeps for a share mode (0x00, 0x10 ... 0x40),
// and back; a word that is none of those reads as ftpShareExclusive.
std::uint32_t FtpShareModeWord(TFtpShareMode Mode);
TFtpShareMode FtpShareModeFromWord(std::uint32_t Word);

enum TFtpClientState {
  fcsNotConnected,
  fcsReady,
  fcsStepReady,
  fcsResolving,
  fcsConnected,
  fcsAborting,
  fcsAwaitingGreeting,
  fcsAwaitingReply,
};
// "fcsNotConnected" ... "fcsAwaitingReply"; "?" out of range.
const char* FtpClientStateName(TFtpClientState State);

// Chain steps (values 0 to 23).
enum TFtpStep {
  fsNone,
  fsOpen,
  fsUser,
  fsPass,
  fsCwd,
  fsSize,
  fsMkd,
  fsRmd,
  fsRenFrom,
  fsRenTo,
  fsGet,
  fsDir,
  fsQuit,
  fsSyst,
  fsDele,
  fsPwd,
  fsQuote,
  fsPut,
  fsTypeSet,
  fsRest,
  fsCDup,
  fsLs,
  fsAppend,
  fsPort,
};
const char* FtpStepName(TFtpStep Step);

// A set of steps in 32 bits.
class TFtpStepSet {
 public:
  constexpr TFtpStepSet() = default;
  constexpr TFtpStepSet(std::initializer_list<TFtpStep> Steps) {
    for (TFtpStep s : Steps) Include(s);
  }
  constexpr bool Contains(TFtpStep Step) const { return (Bits & Bit(Step)) != 0; }
  constexpr void Include(TFtpStep Step) { Bits |= Bit(Step); }
  constexpr void Exclude(TFtpStep Step) { Bits &= ~Bit(Step); }
  constexpr bool Empty() const { return Bits == 0; }
  constexpr void Clear() { Bits = 0; }
  constexpr std::uint32_t Value() const { return Bits; }
  constexpr bool operator==(const TFtpStepSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(TFtpStep Step) { return std::uint32_t{1} << static_cast<unsigned>(Step); }
  std::uint32_t Bits = 0;
};

class TCustomFtpCli;

// Event types. Reference parameters may be changed by the handler.
using TFtpDisplay = std::function<void(TCustomFtpCli* Sender, std::string& Msg)>;
using TFtpCommand = std::function<void(TCustomFtpCli* Sender, std::string& Cmd)>;
// Count: bytes moved so far in this transfer plus the resume offset.
using TFtpProgress = std::function<void(TCustomFtpCli* Sender, std::int64_t Count, bool& Abort)>;
using TFtpRequestDone =
    std::function<void(TCustomFtpCli* Sender, TFtpRequest RqType, std::uint16_t Error)>;
using TFtpReadyToTransmit = std::function<void(TCustomFtpCli* Sender, bool& bCancel)>;
// OnSessionConnected, OnSessionClosed: the engine as Sender, a Winsock code.
using TFtpSessionEvent = std::function<void(TCustomFtpCli* Sender, std::uint16_t Error)>;
using TFtpNotify = std::function<void(TCustomFtpCli* Sender)>;

// Messages of the engine's hidden window.
constexpr plat::UINT WM_FTP_REQUEST_DONE = plat::WM_USER + 1;
constexpr plat::UINT WM_FTP_SEND_DATA = plat::WM_USER + 2;

// Sizes of the engine's buffers.
constexpr int FTP_REPLY_BUFFER_SIZE = 4096;
constexpr int FTP_MAX_OK_REPLIES = 16;
constexpr int FTP_SEND_CHUNK_SIZE = 1514;
constexpr int FTP_RECEIVE_CHUNK_SIZE = 2048;

// ---------------------------------------------------------------------------
// TCustomFtpCli

class TCustomFtpCli {
 public:
  TCustomFtpCli();
  virtual ~TCustomFtpCli();
  TCustomFtpCli(const TCustomFtpCli&) = delete;
  TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

  // --- requests (asynchronous; each ends with OnRequestDone unless it raises) ---
  virtual void PortAsync();
  virtual void OpenAsync();
  virtual void UserAsync();
  virtual void PassAsync();
  virtual void ConnectAsync();
  virtual void QuitAsync();
  virtual void AbortAsync();
  virtual void GetAsync();
  virtual void StartRetr();
  virtual void ReceiveAsync();
  virtual void PutAsync();
  virtual void StartStor();
  virtual void TransmitAsync();
  virtual void AppendAsync();
  virtual void StartAppe();
  virtual void TransmitAppendAsync();
  virtual void StartList();
  virtual void DirAsync();
  virtual void StartNlst();
  virtual void LsAsync();
  virtual void TypeSetAsync();
  virtual void BinaryTypeAsync();
  virtual void AsciiTypeAsync();
  virtual void PwdAsync();
  virtual void CwdAsync();
  virtual void CDupAsync();
  virtual void DirectoryAsync();
  virtual void ListAsync();
  virtual void SystAsync();
  virtual void SystemAsync();
  virtual void SizeAsync();
  virtual void FileSizeAsync();
  virtual void MkdAsync();
  virtual void MkdirAsync();
  virtual void RmdAsync();
  virtual void RmdirAsync();
  virtual void DeleAsync();
  virtual void DeleteAsync();
  virtual void RenFromAsync();
  virtual void RenToAsync();
  virtual void RenAsync();
  virtual void RenameAsync();
  virtual void QuoteAsync();
  virtual void DoQuoteAsync();
  virtual void RestAsync();
  virtual void RestGetAsync();
  virtual void RestartGetAsync();

  // True while the control socket is not closed.
  bool IsConnected() const;

  // --- properties ---
  const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& Value) { FHostName = Value; }
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& Value) { FPort = Value; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& Value) { FUserName = Value; }
  const std::string& PassWord() const { return FPassWord; }
  void SetPassWord(const std::string& Value) { FPassWord = Value; }
  const std::string& HostDirName() const { return FHostDirName; }
  void SetHostDirName(const std::string& Value) { FHostDirName = Value; }
  const std::string& HostFileName() const { return FHostFileName; }
  void SetHostFileName(const std::string& Value) { FHostFileName = Value; }
  const std::string& LocalFileName() const { return FLocalFileName; }
  void SetLocalFileName(const std::string& Value) { FLocalFileName = Value; }
  bool DisplayFlag() const { return FDisplayFlag; }
  void SetDisplayFlag(bool Value) { FDisplayFlag = Value; }
  bool DisplayFileFlag() const { return FDisplayFileFlag; }
  void SetDisplayFileFlag(bool Value) { FDisplayFileFlag = Value; }
  bool Binary() const { return FType == 'I'; }
  void SetBinary(bool Value) { FType = Value ? 'I' : 'A'; }
  const std::string& ErrorMessage() const { return FErrorMessage; }
  TFtpShareMode ShareMode() const { return FtpShareModeFromWord(FShareMode); }
  void SetShareMode(TFtpShareMode Value) { FShareMode = FtpShareModeWord(Value); }
  // Use PASV instead of PORT for the data connection (the application never sets it).
  bool PassiveMode() const { return FPassiveMode; }
  void SetPassiveMode(bool Value) { FPassiveMode = Value; }

  // --- public read-only values ---
  std::int64_t RemoteSize() const { return FRemoteSize; }
  const std::string& ReplyPath() const { return FReplyPath; }
  const std::string& ReplyLine() const { return FReplyLine; }
  int ReplyCode() const { return FReplyCode; }
  int ResultCode() const { return FResultCode; }
  TFtpClientState State() const { return FState; }
  TFtpRequest CurrentRequest() const { return FCurrentRequest; }
  std::int64_t RestartOffset() const { return FRestartOffset; }
  plat::HWND EngineWindow() const { return FEngineWindow; }
  TWSocket* ControlSocket() const { return FControlSocket.get(); }
  TWSocket* DataSocket() const { return FDataSocket.get(); }

  // --- events, in the order they are documented ---
  TFtpDisplay OnDisplay;
  TFtpDisplay OnDisplayFile;
  TFtpCommand OnCommand;
  TFtpNotify OnResponse;
  TFtpProgress OnProgress;
  TFtpSessionEvent OnSessionConnected;
  TFtpSessionEvent OnSessionClosed;
  TFtpRequestDone OnRequestDone;
  TFtpNotify OnStateChange;
  TFtpReadyToTransmit OnReadyToTransmit;

  // Text routines of the reply parser; positions index into Str.
  // Skips TAB, LF, CR and space.
  static std::size_t SkipBlanks(const std::string& Str, std::size_t Pos);
  // Blanks, an optional sign, decimal digits (0 when there are none); returns
  // the position after the digits. Wide enough for 64-bit file sizes.
  static std::size_t ParseInt(const std::string& Str, std::size_t Pos, std::int64_t& Value);
  // A double-quoted text after blanks, "" standing for one quote; empty when
  // the text does not begin with a quote.
  static std::string ParseQuoted(const std::string& Str, std::size_t Pos);

  // Size of a local file, -1 when there is none.
  static std::int64_t LocalFileSize(const std::string& FileName);

  // Data connection text routines (ftpcli_data.cpp).
  // The port of a 227 reply: "(a,b,c,d,p1,p2)" gives p1 * 256 + p2; false
  // unless the parentheses hold six numbers of 0..255.
  static bool ParsePasvPort(const std::string& Reply, std::uint16_t& Port);
  // The lines a received chunk shows through OnDisplayFile: runs of bytes other
  // than CR and LF, each run of CR/LF bytes ending one line.
  static std::vector<std::string> DisplayFileLines(const char* Data, std::size_t Len);
  // PORT for a listening port: "PORT 127,0,0,1,p1,p2" when the control
  // connection went to 127.0.0.1, else the control connection's local
  // address (network order) and the port split in two bytes.
  static std::string PortCommand(const std::string& ControlAddr, std::uint32_t LocalAddr, std::uint16_t Port);
  // "N bytes received/sent in S seconds (R Bytes/sec)".
  static std::string TransferStatsText(std::int64_t Bytes, std::uint32_t ElapsedMs);

 protected:
  // A procedure of the engine: FNext, AfterReply, ChainNext.
  using TFtpProc = void (TCustomFtpCli::*)();

  // --- virtual operations of the component ---
  // False when the command was refused (the request has then ended) or the
  // engine went away in a handler.
  virtual bool IssueCommand(std::string Cmd);
  virtual void DoDisplay(const std::string& Msg);
  virtual void DoReadyToTransmit(bool& bCancel);
  virtual void DoDisplayFile(const std::string& Msg);
  // False when the handler asked to abort the transfer.
  virtual bool DoProgress();
  virtual void ShowTransferStats();

  // --- the other event raisers ---
  virtual void DoCommand(std::string& Cmd);
  virtual void DoResponse();
  virtual void DoStateChange();
  virtual void DoSessionConnected(std::uint16_t Error);
  virtual void DoSessionClosed(std::uint16_t Error);
  virtual void DoRequestDone(TFtpRequest RqType, std::uint16_t Error);

  // --- component and completion (ftpcli.cpp) ---
  void EngineWndProc(plat::UINT Msg, plat::WPARAM WParam, plat::LPARAM LParam);
  void SetEngineState(TFtpClientState NewState);
  void EnsureReady();
  void SetErrorOnce();
  void FinishRequest(std::uint16_t Error);
  void ClearChain();
  // Taken before a handler runs, checked after: expired when a handler
  // destroyed the engine.
  std::weak_ptr<int> AliveToken() const { return FAlive; }

  // --- control connection (ftpcli_control.cpp) ---
  void ControlDnsLookupDone(std::uint16_t Error);
  void ControlSessionConnected(std::uint16_t Error);
  void ControlDataAvailable(std::uint16_t Error);
  void ControlSessionClosed(std::uint16_t Error);
  // Cuts the held bytes into lines and hands each to the state's handler.
  void ProcessReplyBuffer(std::uint16_t Error);
  // Removes the zero bytes from Len received bytes; returns how many remain.
  static int DropZeroBytes(char* Bytes, int Len);
  void HandleGreetingLine(std::uint16_t Error);
  // A positive preliminary reply (1yz): another reply follows.
  static bool IsPreliminary(std::int64_t Code);
  void DisplayReply();
  // The readiness check, then CurrentStep := Step.
  void BeginCommand(TFtpStep Step);
  void SendRequest(TFtpRequest Request, const std::string& Cmd, std::initializer_list<int> Codes,
                   TFtpProc AfterReplyProc);
  void HandleReply();
  bool ReplyAccepted(int Code) const;
  void ExtractReplyData();
  void QuitAfterReply();
  std::string WinsockErrorLine(std::uint16_t Error) const;
  // The socket layer refused to start the connect.
  void ConnectNotStarted(const std::string& Why);
  // Ends the request for a reason of our own: ReplyLine "500 " + Why.
  void FailRequest(const std::string& Why, std::uint16_t Error);
  // The control connection closed while a reply was awaited.
  void ReplyLostWithConnection();

  // --- chains (ftpcli_chain.cpp) ---
  void StartChain(TFtpRequest Request, TFtpStepSet Steps);
  void NextChainStep();
  // A step after the first raised: the chain ends with Error 500.
  void ChainStepRefused(const std::string& Why);
  // Runs one step's action; false when the step's condition says skip.
  bool RunChainStep(TFtpStep Step, TFtpStep PreviousStep);

  // --- data connection and local files (ftpcli_data.cpp) ---
  void StartReceive(TFtpRequest Request, const std::string& Word);
  void StartSend();
  void DataAcceptForReceive(std::uint16_t Error);
  void DataConnectedForReceive(std::uint16_t Error);
  void DataReceive(std::uint16_t Error);
  void DataClosedAfterReceive(std::uint16_t Error);
  void RetrFirstReply();
  void RetrFinalReply();
  void CheckReceiveDone();
  void DataAcceptForSend(std::uint16_t Error);
  void DataConnectedForSend(std::uint16_t Error);
  void DataDiscard(std::uint16_t Error);
  void DataClosedAfterSend(std::uint16_t Error);
  void StorFirstReply();
  void StorFinalReply();
  void CheckSendDone();
  void SendNextChunk(std::uint16_t Error);
  // WM_FTP_SEND_DATA: the active upload's data flow starts.
  void SendDataMessage();
  // Opens LocalFile for a download or an upload; false on failure.
  bool OpenLocalFileForReceive();
  bool OpenLocalFileForSend();
  // Closes LocalFile; false when the close reported an error (a write that
  // the system could not complete).
  bool ReleaseLocalFile();
  // Writes out what the download holds; false with errno set on failure.
  bool FlushLocalFile();
  void StartFileBlock(bool ForWrite);
  // A download's bytes could not be written: shown, noted, data connection shut.
  void LocalWriteFailed(int Err);
  // After the PASV reply: a 227 without its six numbers ends the request.
  void PasvAfterReply();
  // The accepted data connection comes from the control connection's peer.
  bool DataPeerIsServer(plat::SOCKET Handle);
  // A local file or data socket failure that must fail the transfer even when
  // the server's final reply is good.
  void NoteTransferError(std::uint16_t Code, const std::string& Line);
  void TransferFailed(std::uint16_t Code);
  void CheckTransferDone();
  // A connection that reached the listening socket before the transfer
  // command bound its handler is accepted now.
  bool ConnectPassiveData(std::string PasvLine, void (TCustomFtpCli::*OnConnected)(std::uint16_t));
  void TakePendingAccept();

  // --- fields ---
  plat::HWND FEngineWindow = 0;
  plat::MessageLoop* FLoop = nullptr;  // owner of FEngineWindow
  std::unique_ptr<TWSocket> FControlSocket;
  std::unique_ptr<TWSocket> FDataSocket;

  std::string FHostName;
  std::string FPort;
  std::string FUserName;
  std::string FPassWord;
  std::string FHostDirName;
  std::string FHostFileName;
  std::string FLocalFileName;
  bool FDisplayFlag = false;
  bool FDisplayFileFlag = false;
  char FType = 'I';
  std::uint32_t FShareMode = 0x10;
  std::string FErrorMessage;

  TFtpClientState FState = fcsReady;
  TFtpRequest FCurrentRequest = TFtpRequest::None;
  std::string FReplyLine;
  int FReplyCode = 0;
  int FResultCode = 0;
  bool FDoneReported = false;
  // Completions posted to the engine window and not yet delivered.
  int FDonePending = 0;
  bool FControlConnected = false;
  // A greeting or a command reply is awaited: set by OpenAsync and SendRequest
  // (and by the transfer steps when they send their command), cleared when the
  // final reply line is judged (by the transfer reply handlers too) and by
  // every completion. A control close while it is set is a command left
  // without its reply (ReplyLostWithConnection).
  bool FReplyOutstanding = false;
  TFtpProc FNext = nullptr;
  int FOkReplies[FTP_MAX_OK_REPLIES] = {};
  TFtpProc FAfterReply = nullptr;

  char FReplyBuffer[FTP_REPLY_BUFFER_SIZE + 1] = {};
  int FReplyBufferLen = 0;
  std::int64_t FRemoteSize = 0;
  std::string FReplyPath;

  // Chain bookkeeping.
  bool FInChain = false;
  TFtpStepSet FPendingSteps;
  TFtpStep FCurrentStep = fsNone;
  int FChainResult = 0;
  TFtpProc FChainNext = nullptr;
  std::string FSavedReplyLine;
  int FSavedReplyCode = -1;

  // Data connection bookkeeping.
  int FLocalFile = -1;  // descriptor of the transfer's local file
  std::int64_t FRestartOffset = 0;
  std::int64_t FTransferredBytes = 0;
  std::uint32_t FTransferStart = 0;
  std::uint32_t FTransferStop = 0;
  std::string FTransferCommand;
  bool FPassiveMode = false;
  std::string FPasvReply;
  bool FReplyDone = false;
  bool FDataDone = false;
  std::uint16_t FDataError = 0;
  bool FUploadStarted = false;
  bool FUploadEof = false;
  bool FAppend = false;
  bool FDataAcceptPending = false;
  std::uint16_t FTransferError = 0;  // 0, or the code a local failure ends the transfer with
  std::string FTransferErrorLine;
  // The local file is read ahead and written behind in blocks of this size:
  // the network still moves 2048-byte and 1514-byte chunks, but the file
  // sees one system call per block instead of one per chunk.
  static constexpr int FTP_FILE_BLOCK_SIZE = 64 * 1024;
  std::unique_ptr<char[]> FFileBlock;
  int FFileBlockLen = 0;  // download: bytes held; upload: bytes read ahead
  int FFileBlockPos = 0;  // upload: bytes of the block already sent
  bool FFileBlockForWrite = false;

 private:
  std::shared_ptr<int> FAlive = std::make_shared<int>(0);
};

// ---------------------------------------------------------------------------
// TFtpClient: the blocking layer

class TFtpClient : public TCustomFtpCli {
 public:
  TFtpClient();
  ~TFtpClient() override = default;

  // Seconds; 0 or less waits without limit (still ending when the
  // application terminates).
  int Timeout() const { return FTimeout; }
  void SetTimeout(int Value) { FTimeout = Value; }
  // Pump the calling thread's own queue instead of the application's loop.
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }

  // The message of the exception a blocking operation turned into False
  // (empty when its request started).
  const std::string& LastBlockingException() const { return FLastBlockingException; }

  // Blocking operations: True when the request ended with the engine ready
  // and ResultCode 0.
  bool Connect();
  bool Cwd();
  bool Pwd();
  bool TypeSet();
  bool Get();
  bool Put();
  bool Append();
  bool Quit();
  bool Abort();
  bool Dir();
  bool Dele();
  bool Mkd();
  bool Rmd();
  // RNFR HostFileName, then RNTO LocalFileName, on the open connection.
  bool Ren();
  bool Size();
  bool RestGet();

  virtual bool RunBlocking(const std::function<void()>& Request);
  virtual bool WaitUntilReady();

 protected:
  bool DoProgress() override;
  // A transfer is alive: the wait limit counts from now again.
  void ExtendDeadline();

  int FTimeout = 15;
  bool FMultiThreaded = false;
  std::uint32_t FTimeoutDeadline = 0;
  std::string FLastBlockingException;
};
