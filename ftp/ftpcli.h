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
//   ftpcli_port.cpp     preparing the data connection: PORT/PASV, connect, accept
//   ftpcli_data.cpp     transfers: downloads, uploads, completion, statistics
//   ftpcli_reconnect.cpp  the blocking layer's reconnection and retries
//   ftp_local_file.cpp  the local file of a transfer (TFtpLocalFile)
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ftp/ftp_features.h"
#include "ftp/ftp_time.h"
#include "ftp/ftp_local_file.h"
#include "platform/message_loop.h"
#include "socket/wsocket.h"

// ---------------------------------------------------------------------------
// Types

class FtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request type reported by OnRequestDone (one byte, values 0 to 41).
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
  ModTimeAsync = 40,     // MDTM: the file's modification time
  SetModTimeAsync = 41,  // MFMT (or MDTM with a time): set it
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

// How a session is encrypted (FTP over TLS, RFC 4217).
enum TFtpEncryption {
  ftpEncIfAvailable,  // AUTH TLS after the greeting; in clear when the server has no TLS
  ftpEncExplicit,     // AUTH TLS required: nothing of the login in clear
  ftpEncImplicit,     // TLS from the first byte (port 990)
  ftpEncPlain,        // never TLS
};
// "ftpEncIfAvailable" ...; "?" out of range.
const char* FtpEncryptionName(TFtpEncryption Encryption);

// What TFtpClient does about a lost connection or a transfer that runs again.
enum TFtpRecovery {
  frNone,          // nothing: the operation runs as asked
  frReconnecting,  // connecting and logging in again, back to the folder and type
  frWaiting,       // the pause before a cut transfer runs again
  frRetrying,      // the transfer runs again (a download from where it stopped)
};
// "frNone" ...; "?" out of range.
const char* FtpRecoveryName(TFtpRecovery Recovery);

// What the user says of a server certificate that failed the check.
enum TFtpTrust { ftpTrustNo, ftpTrustOnce, ftpTrustAlways };

// Chain steps (values 0 to 30).
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
  fsAuth,  // AUTH TLS (or SSL), then the handshake
  fsPbsz,  // PBSZ 0
  fsProt,  // PROT P
  fsFeat,  // FEAT, when asked for
  fsOpts,  // OPTS UTF8 ON, when the server lists UTF8
  fsMdtm,  // MDTM path
  fsMfmt,  // MFMT time path (or MDTM time path)
};
const char* FtpStepName(TFtpStep Step);
// VEK_FTP_TRACE=1: the engine prints its state moves (and more) on stderr.
bool FtpTraceEnabled();

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

// What one transfer (RETR, LIST, NLST, STOR, APPE) keeps; each transfer
// starts from a fresh one.
struct TFtpTransfer {
  std::string Command;  // "RETR", "LIST", "NLST"; empty for uploads
  bool Append = false;  // APPE instead of STOR
  bool CommandSent = false;  // the transfer command is (being) sent
  std::int64_t Bytes = 0;    // moved over the data connection
  std::int64_t Offset = 0;   // the resume offset it started at
  std::uint32_t Start = 0;   // ticks, for the statistics line
  std::uint32_t Stop = 0;
  // Complete when both the final reply and the data connection's close came.
  bool ReplyDone = false;
  bool DataDone = false;
  std::uint16_t DataError = 0;
  bool UploadStarted = false;  // the server accepted STOR/APPE
  bool UploadEof = false;
  // A local or data connection failure that fails the transfer even when the
  // server's final reply is good: its code (0: none) and line.
  std::uint16_t Error = 0;
  std::string ErrorLine;
  // The size the downloaded file must end with (SIZE, or the 150 reply), -1 unknown.
  std::int64_t ExpectedSize = -1;
  bool ExpectedSizeWhole = false;  // from SIZE: the whole file, resumed or not
  // Received lines waiting for OnDisplayFile, and a completion waiting for them.
  std::deque<std::string> DisplayQueue;
  bool DoneHeld = false;
  // The data connection's TLS handshake failed.
  bool TlsFailed = false;
};

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
// The server's certificate failed the check and is not trusted already.
// Changed: another certificate was trusted for this host and port. Trust
// says what to do (it starts as ftpTrustNo).
using TFtpVerifyCertificate =
    std::function<void(TCustomFtpCli* Sender, const TTlsInfo& Info, bool Changed, TFtpTrust& Trust)>;

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
  // MDTM HostFileName: RemoteModTime. SetModTimeAsync: MFMT ModTimeToSet
  // HostFileName where FEAT lists MFMT, else vsftpd's "MDTM time path".
  // Their failures leave ErrorMessage as it was (ReplyLine tells why).
  virtual void ModTimeAsync();
  virtual void SetModTimeAsync();

  // True while the control socket is not closed.
  bool IsConnected() const;

  // --- properties ---
  // The setters raise FtpException "FTP component not ready" while a request
  // runs: a handler called mid-transfer (the windows process user input inside
  // OnProgress) must not change the file being written or the next command.
  const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& Value) {
    RefuseWhileBusy();
    FHostName = Value;
  }
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& Value) {
    RefuseWhileBusy();
    FPort = Value;
  }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& Value) {
    RefuseWhileBusy();
    FUserName = Value;
  }
  const std::string& PassWord() const { return FPassWord; }
  void SetPassWord(const std::string& Value) {
    RefuseWhileBusy();
    FPassWord = Value;
  }
  const std::string& HostDirName() const { return FHostDirName; }
  void SetHostDirName(const std::string& Value) {
    RefuseWhileBusy();
    FHostDirName = Value;
  }
  const std::string& HostFileName() const { return FHostFileName; }
  void SetHostFileName(const std::string& Value) {
    RefuseWhileBusy();
    FHostFileName = Value;
  }
  const std::string& LocalFileName() const { return FLocalFileName; }
  void SetLocalFileName(const std::string& Value) {
    RefuseWhileBusy();
    FLocalFileName = Value;
  }
  bool DisplayFlag() const { return FDisplayFlag; }
  void SetDisplayFlag(bool Value) {
    RefuseWhileBusy();
    FDisplayFlag = Value;
  }
  bool DisplayFileFlag() const { return FDisplayFileFlag; }
  void SetDisplayFileFlag(bool Value) {
    RefuseWhileBusy();
    FDisplayFileFlag = Value;
  }
  bool Binary() const { return FType == 'I'; }
  void SetBinary(bool Value) {
    RefuseWhileBusy();
    FType = Value ? 'I' : 'A';
  }
  const std::string& ErrorMessage() const { return FErrorMessage; }
  TFtpShareMode ShareMode() const { return FtpShareModeFromWord(FShareMode); }
  void SetShareMode(TFtpShareMode Value) {
    RefuseWhileBusy();
    FShareMode = FtpShareModeWord(Value);
  }
  // Use PASV instead of PORT for the data connection (the application never sets it).
  bool PassiveMode() const { return FPassiveMode; }
  void SetPassiveMode(bool Value) {
    RefuseWhileBusy();
    FPassiveMode = Value;
  }
  TFtpEncryption Encryption() const { return FEncryption; }
  void SetEncryption(TFtpEncryption Value) {
    RefuseWhileBusy();
    FEncryption = Value;
  }
  // Ask FEAT after the login (and OPTS UTF8 ON when it lists UTF8). Off,
  // a connection sends exactly the commands of RFC 959 (and of TLS).
  bool UseFeatures() const { return FUseFeatures; }
  void SetUseFeatures(bool Value) {
    RefuseWhileBusy();
    FUseFeatures = Value;
  }
  // List folders with MLSD where FEAT lists MLST (the caller reads that
  // format: ListsMachineReadable tells which one a listing has).
  bool UseMlsd() const { return FUseMlsd; }
  void SetUseMlsd(bool Value) {
    RefuseWhileBusy();
    FUseMlsd = Value;
  }
  bool ListsMachineReadable() const { return FUseMlsd && FFeatures.Has("MLST"); }
  // Connect passive data connections to the address a 227 reply names, not
  // to the control connection's peer (which a NAT'd or hostile server's
  // reply cannot change).
  bool UsePasvAddress() const { return FUsePasvAddress; }
  void SetUsePasvAddress(bool Value) {
    RefuseWhileBusy();
    FUsePasvAddress = Value;
  }
  // The time SetModTimeAsync gives HostFileName (seconds since 1970, UTC).
  std::int64_t ModTimeToSet() const { return FModTimeToSet; }
  void SetModTimeToSet(std::int64_t Value) {
    RefuseWhileBusy();
    FModTimeToSet = Value;
  }
  // What FEAT said in this session (empty without FEAT).
  const TFtpFeatures& Features() const { return FFeatures; }
  // The server speaks UTF-8 names (FEAT lists UTF8).
  bool Utf8() const { return FFeatures.Has("UTF8"); }
  // Where the session is: the folder of the last CWD, CDUP or PWD that
  // succeeded since the login, absolute when the server said it (PWD, or a
  // CWD reply that quotes it) or the CWD named it, else relative to the
  // login folder ("pub/..": kept as sent, as a link's ".." is not where the
  // text says); empty: the login folder. A new connection goes back there.
  const std::string& SessionFolder() const { return FSessionFolder; }
  // The TYPE the server took in this session ('I', 'A'; 0: none sent).
  char SessionType() const { return FSessionType; }
  // The last MDTM's answer, -1 when it gave none.
  std::int64_t RemoteModTime() const { return FRemoteModTime; }
  // False once the server refused to set a time in this session.
  bool CanSetModTime() const { return !FSetTimeRefused; }
  // False once the server did not know MDTM (500, 502) in this session.
  bool CanGetModTime() const { return !FGetTimeRefused; }
  // The certificates trusted by the user (TTrustedCertificates); empty: the
  // user's own file.
  const std::string& TrustFile() const { return FTrustFile; }
  void SetTrustFile(const std::string& Value) {
    RefuseWhileBusy();
    FTrustFile = Value;
  }
  // The TLS versions offered (TLS1_2_VERSION ...; 0: the library's bound).
  void SetTlsVersions(int Min, int Max) {
    RefuseWhileBusy();
    FControlSocket->SetTlsVersions(Min, Max);
    FDataSocket->SetTlsVersions(Min, Max);
  }
  // The last transfer failed as a server that wants its data connections to
  // resume a fresh TLS session fails one (522, or a broken data handshake).
  bool NeedsFreshTlsSession() const { return FControlTls && (FReplyCode == 522 || FXfer.TlsFailed); }
  // The control connection, and the data connections, are encrypted.
  bool Encrypted() const { return FControlTls; }
  bool DataEncrypted() const { return FDataTls; }
  const TTlsInfo& TlsInfo() const { return FControlSocket->TlsInfo(); }

  // --- public read-only values ---
  std::int64_t RemoteSize() const { return FRemoteSize; }
  const std::string& ReplyPath() const { return FReplyPath; }
  const std::string& ReplyLine() const { return FReplyLine; }
  int ReplyCode() const { return FReplyCode; }
  int ResultCode() const { return FResultCode; }
  TFtpClientState State() const { return FState; }
  TFtpRequest CurrentRequest() const { return FCurrentRequest; }
  std::int64_t RestartOffset() const { return FRestartOffset; }
  // The size the file being downloaded ends with when known (SIZE just
  // before, or the "(N bytes)" of the 150 reply), -1 otherwise.
  std::int64_t TransferSize() const { return FXfer.ExpectedSize; }
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
  TFtpVerifyCertificate OnVerifyCertificate;

  // A 227 reply's address ("a.b.c.d") and port; false as ParsePasvPort.
  static bool ParsePasvAddress(const std::string& Reply, std::string& Address, std::uint16_t& Port);
  // The port of a 229 reply (RFC 2428), "(|||6446|)": the character after
  // "(" delimits the fields (any printable one but a digit), protocol and
  // address are empty, the port is 1..65535. False for anything else.
  static bool ParseEpsvPort(const std::string& Reply, std::uint16_t& Port);
  // EPRT for a listening port: "EPRT |2|::1|5001|" (|1| for an IPv4
  // address); a zone ("%eth0") is left out.
  static std::string EprtCommand(const std::string& LocalAddr, std::uint16_t Port);

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
  virtual void DoVerifyCertificate(const TTlsInfo& Info, bool Changed, TFtpTrust& Trust);

  // --- FTP over TLS (ftpcli_tls.cpp) ---
  // The chain's TLS steps, where they have a place (RunChainStep decides).
  void RunTlsStep(TFtpStep Step);
  void AuthAfterReply();
  void ProtAfterReply();
  void StartControlTls();
  void ControlTlsDone(std::uint16_t Error);
  // The certificate passed, was trusted, or the user accepted it now; false
  // with Why set otherwise.
  bool AcceptCertificate(std::string& Why);
  // A data connection is up (after its transfer command was sent): TLS on
  // it when the data is to be encrypted.
  void StartDataTls();
  void DataTlsDone(std::uint16_t Error);
  // The data connection carries the transfer's bytes now (TLS, if any, done).
  bool DataReady() const;

  // --- FEAT, UTF-8 and file times (ftpcli_feat.cpp) ---
  void RunFeatureStep(TFtpStep Step);
  void FeatAfterReply();
  void OptsAfterReply();
  void SetModTimeAfterReply();
  void TimeAfterReply();
  // A refusal that does not end the chain: the connection is still fine.
  void FinishHarmlessly();

  // --- component and completion (ftpcli.cpp) ---
  // The reply handler (FNext), the command's post-reply action (FAfterReply)
  // and the chain's next move (FChainNext) change only here; VEK_FTP_TRACE=1
  // prints each change by name, "FNext RetrFirstReply -> RetrFinalReply".
  void SetNext(TFtpProc Proc) { SetProc(FNext, Proc, "FNext"); }
  void SetAfterReply(TFtpProc Proc) { SetProc(FAfterReply, Proc, "FAfterReply"); }
  void SetChainNext(TFtpProc Proc) { SetProc(FChainNext, Proc, "FChainNext"); }
  void SetProc(TFtpProc& Slot, TFtpProc Proc, const char* Role);
  // "HandleReply", "RetrFirstReply" ...; "none" for no procedure.
  static const char* ProcName(TFtpProc Proc);
  void EngineWndProc(plat::UINT Msg, plat::WPARAM WParam, plat::LPARAM LParam);
  void SetEngineState(TFtpClientState NewState);
  void EnsureReady();
  // For the property setters: idle (ready, or the connection gone) or raise.
  void RefuseWhileBusy() const;
  void SetErrorOnce();
  void FinishRequest(std::uint16_t Error);
  void ClearChain();
  // Sets a flag for a scope; a flag of an engine a handler destroyed meanwhile
  // is left alone.
  class TFlagScope {
   public:
    TFlagScope(const TCustomFtpCli& Ftp, bool& Flag) : FAliveFlag(Ftp.AliveToken()), FFlag(Flag) { FFlag = true; }
    ~TFlagScope() {
      if (!FAliveFlag.expired()) FFlag = false;
    }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

   private:
    std::weak_ptr<int> FAliveFlag;
    bool& FFlag;
  };
  // An exception from a handler reached through a socket's data event: the
  // application's exception handler gets it, as with every other event.
  static void ReportException(std::exception_ptr Error);
  // Completions so far, and the outcome (ResultCode) of the latest ones.
  std::uint64_t FinishCount() const { return FFinishCount; }
  bool FinishedOk(std::uint64_t Serial) const { return FFinishResults[Serial % 16] == 0; }
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
  // True when ReplyLine ends a reply: false for empty and non-numeric lines
  // and for the "xyz-" lines of a multi-line reply (RFC 959).
  bool ReplyComplete();
  // Receives what the control connection holds into the reply buffer.
  void ReceiveControlBytes();
  void DisplayReply();
  // The readiness check, then CurrentStep := Step.
  void BeginCommand(TFtpStep Step);
  void SendRequest(TFtpRequest Request, const std::string& Cmd, std::initializer_list<int> Codes,
                   TFtpProc AfterReplyProc);
  void HandleReply();
  bool ReplyAccepted(int Code) const;
  void ExtractReplyData();
  // A judged reply that moved the session (CWD, CDUP, PWD, TYPE): noted
  // in SessionFolder and SessionType.
  void NoteSessionPlace();
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

  // --- preparing the data connection (ftpcli_port.cpp) ---
  // After the PASV or EPSV reply: a 227 without its six numbers, or a 229
  // without its port, ends the request; a PASV refused with 5xx is followed
  // by EPSV, once.
  void PasvAfterReply();
  // The control connection runs over IPv6: EPSV and EPRT, never PASV or PORT.
  bool ControlIsIpv6();
  // "local peer" of the control connection, ports included: the connection
  // an EPSV-for-PASV decision belongs to.
  std::string ControlConnectionKey();
  // The control connection's peer address, where EPSV data connections go.
  std::string ControlPeerAddress();
  // Passive mode: connects to the port of PasvLine; a line without one ends
  // the request (false then).
  bool ConnectPassiveData(std::string PasvLine, void (TCustomFtpCli::*OnConnected)(std::uint16_t));
  // Where a passive data connection goes when the 227 reply named Named:
  // the control connection's peer unless UsePasvAddress (a log line, once
  // per connection, when they differ).
  std::string PassiveDataAddress(const std::string& Named);
  // A connection that reached the listening socket before the transfer
  // command bound its handler is accepted now.
  void TakePendingAccept();
  // The accepted data connection comes from the control connection's peer.
  bool DataPeerIsServer(plat::SOCKET Handle);
  // Active mode: the server's connection, the listening socket closed;
  // INVALID_SOCKET when there is none (yet) or the engine went away.
  plat::SOCKET AcceptDataConnection();
  // The passive connect failed: the request ends with 550, after the
  // server's reply to a transfer command already sent.
  void DataConnectFailed(std::uint16_t Error);

  // --- transfers (ftpcli_data.cpp) ---
  // Ends the request with Code (0: success). A Line becomes ReplyLine, Code
  // its ReplyCode; without one the reply that led here stays. A failure's
  // reply line heads ErrorMessage unless an earlier failure does.
  void EndRequest(std::uint16_t Code, const std::string& Line = {});
  // A fresh FXfer for a transfer about to start.
  void BeginTransfer(const std::string& Command, bool Append);
  // FirstReply will judge the reply to Command; then Command goes out.
  void SendTransferCommand(TFtpProc FirstReply, const std::string& Command);
  // The server refused the transfer (its first or final reply): everything
  // released, Notice (if any) shown, the request ended with its code.
  void TransferRefused(const char* Notice);
  // The data connection closed (either direction).
  void DataClosed(std::uint16_t Error);
  // The data connection's handlers for a download (Receive) or an upload.
  void BindDataHandlers(bool Receive);
  void StartReceive(TFtpRequest Request, const std::string& Word);
  void StartSend(bool Append);
  void DataAcceptForReceive(std::uint16_t Error);
  void DataConnectedForReceive(std::uint16_t Error);
  void DataReceive(std::uint16_t Error);
  void RetrFirstReply();
  void RetrFinalReply();
  // The passive data connection failed after the transfer command went out:
  // the server's own (late) reply to it is taken before the request ends.
  void DataFailedReply();
  // Ends the request with the failure noted by NoteTransferError.
  void EndWithTransferError();
  // Received listing lines go to OnDisplayFile in order, even when a handler
  // runs the loop and more data arrives meanwhile.
  void DrainDisplayQueue();
  // A known size of the file being downloaded that the local file missed.
  void CheckDownloadSize();
  void CheckReceiveDone();
  void DataAcceptForSend(std::uint16_t Error);
  void DataConnectedForSend(std::uint16_t Error);
  void DataDiscard(std::uint16_t Error);
  void StorFirstReply();
  void StorFinalReply();
  void CheckSendDone();
  void SendNextChunk(std::uint16_t Error);
  // WM_FTP_SEND_DATA: the active upload's data flow starts.
  void SendDataMessage();
  // Closes LocalFile; false (errno set) when what the download held could not
  // be written or the close failed.
  bool ReleaseLocalFile() { return FLocalFile.Close(); }
  // A download's bytes could not be written: shown, noted, data connection shut.
  void LocalWriteFailed(int Err);
  // A local file or data socket failure that must fail the transfer even when
  // the server's final reply is good.
  void NoteTransferError(std::uint16_t Code, const std::string& Line);
  void CheckTransferDone();

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

  // Received bytes not yet cut into lines (no zero bytes).
  std::string FReplyBuffer;
  // A reply line is being shown (OnResponse, OnDisplay) before the engine
  // acts on it: a handler that runs the loop meanwhile must not get the lines
  // behind it handled first; they wait in the buffer, and so does a close.
  bool FHoldLines = false;
  bool FControlEof = false;       // the server closed while lines were held
  bool FControlCloseHeld = false;  // its close notification came meanwhile
  std::uint16_t FControlCloseError = 0;
  std::int64_t FRemoteSize = 0;
  std::string FReplyPath;
  std::string FSessionFolder;
  char FSessionType = 0;

  // Chain bookkeeping.
  bool FInChain = false;
  TFtpStepSet FPendingSteps;
  TFtpStep FCurrentStep = fsNone;
  int FChainResult = 0;
  TFtpProc FChainNext = nullptr;
  std::string FSavedReplyLine;
  int FSavedReplyCode = -1;

  // Data connection bookkeeping.
  TFtpLocalFile FLocalFile;  // the transfer's local file
  std::int64_t FRestartOffset = 0;
  bool FPassiveMode = false;
  std::string FPasvReply;  // the last 227 or 229 reply
  std::string FPassiveCommand;  // "PASV" or "EPSV" while its reply is awaited
  // On IPv4, a server that refused PASV and took EPSV is asked EPSV only, on
  // that control connection (its ControlConnectionKey).
  std::string FEpsvConnection;
  bool FEpsvForPasv = false;     // the EPSV awaited stands in for a refused PASV
  std::string FErrorBeforePasv;  // ErrorMessage before it, to forget that refusal
  bool FDataAcceptPending = false;
  TFtpTransfer FXfer;
  // The file the last successful SIZE was about, while nothing else came between.
  std::string FSizeFileName;
  bool FDisplayDraining = false;  // received lines are being shown
  bool FSendingChunk = false;     // an upload chunk is being prepared

  // FTP over TLS.
  TFtpEncryption FEncryption = ftpEncPlain;
  std::string FTrustFile;
  bool FControlTls = false;  // the handshake on the control connection passed
  bool FDataTls = false;     // PROT P accepted
  std::string FAuthWord;     // "TLS", then "SSL"
  // The session's tickets: data connections resume the control connection's session.
  std::shared_ptr<TTlsSessionJar> FTlsJar;
  // "host:port fingerprint" of a certificate the user took for this time:
  // a reconnection of the same session does not ask again.
  std::string FTrustedOnce;

  // Extensions.
  bool FUseFeatures = false;
  bool FUseMlsd = false;
  bool FUsePasvAddress = false;
  TFtpFeatures FFeatures;
  std::vector<std::string> FFeatLines;  // the FEAT reply being read
  std::int64_t FRemoteModTime = -1;
  std::int64_t FModTimeToSet = -1;
  bool FSetTimeRefused = false;
  bool FGetTimeRefused = false;
  std::string FErrorBeforeTime;  // ErrorMessage, which a time request leaves as it was
  bool FPasvAddressNoted = false;  // the log said once that a 227 address was not taken

 private:
  std::uint64_t FFinishCount = 0;
  int FFinishResults[16] = {};
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
  // A session the server closed (a 421, its idle timeout, a reset) is
  // connected again, once, when an operation that needs it starts (not
  // Connect, Quit or Abort): the same settings, then back to its
  // SessionFolder and SessionType, and one log line says so. A transfer cut
  // by a lost connection runs again, up to twice, RetryDelayMs apart: a
  // download goes on from what the local file holds (REST), an upload starts
  // over (STOR replaces the file; a cut append, a listing already shown and
  // a download into a pipe are not repeated). Never after Quit or an abort,
  // nor for a server's refusal on a live connection. Off: a lost connection
  // fails the next operation.
  bool AutoReconnect() const { return FAutoReconnect; }
  void SetAutoReconnect(bool Value) { FAutoReconnect = Value; }
  int RetryDelayMs() const { return FRetryDelayMs; }
  void SetRetryDelayMs(int Value) { FRetryDelayMs = Value; }
  TFtpRecovery Recovery() const { return FRecovery; }
  // Logged in once, not closed by the user, and the connection is gone:
  // with AutoReconnect, the next operation connects again.
  bool SessionLost() const;

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
  bool ModTime();
  bool SetModTime();

  virtual bool RunBlocking(const std::function<void()>& Request);
  virtual bool WaitUntilReady();
  // An operation on the session's connection, Request its report: the
  // session connected again first when the server closed it (AutoReconnect),
  // and a transfer run again when it failed as a server wanting a fresh TLS
  // session fails one (once, always) or was cut by a lost connection
  // (AutoReconnect). Only the last outcome is reported.
  bool RunOnConnection(TFtpRequest Request, const std::function<void()>& Start);

  // The user's: a transfer stopped so is not run again, nor the session
  // connected again.
  void AbortAsync() override;
  void QuitAsync() override;

 protected:
  enum class TRetryReason { None, FreshTls, LostConnection };
  // The failed report of the transfer RunOnConnection runs, held back while
  // it may still run again.
  struct THeldReport {
    TFtpRequest Request = TFtpRequest::None;  // every attempt reports as this
    bool Held = false;
    std::uint16_t Error = 0;
    TRetryReason Why = TRetryReason::None;
  };

  bool DoProgress() override;
  // The user may think over a certificate for long: the wait starts afresh.
  void DoVerifyCertificate(const TTlsInfo& Info, bool Changed, TFtpTrust& Trust) override;
  // Held back while a transfer may still be retried, and silent for the
  // reconnection's own requests.
  void DoRequestDone(TFtpRequest RqType, std::uint16_t Error) override;
  void DoSessionConnected(std::uint16_t Error) override;
  void DoSessionClosed(std::uint16_t Error) override;
  // A transfer is alive: the wait limit counts again from the waiting
  // loop's next look.
  void ExtendDeadline();
  // Waits for the completion after the one counted Before; its outcome, not
  // that of a request a handler ran meanwhile, is the answer.
  bool WaitForCompletion(std::uint64_t Before);
  // One pass of the loop that is pumped, and a sleep in it until something
  // arrives or Ms pass (-1: no limit).
  void ProcessLoop();
  void WaitLoop(int Ms);

  // --- recovery (ftpcli_reconnect.cpp) ---
  // Logs "! Why", then connects quietly (QUIT first when still connected),
  // back to the folder and type; the caller's names are kept. False when
  // any step failed (ErrorMessage says why).
  bool Reconnect(const std::string& Why);
  // A failure's code after a failed reconnection, ErrorMessage set.
  std::uint16_t ReconnectError();
  // The transfer's attempts, each report held while another may follow.
  bool RunTransferAttempts(TFtpRequest Request, const std::function<void()>& Start);
  bool RunHeld(const std::function<void()>& Start, THeldReport& Held);
  // Why a failed transfer may run again (None: it may not).
  TRetryReason RetryReason(TFtpRequest Request) const;
  // The control connection is gone or going (its 421).
  bool ConnectionGone() const;
  // The transfer was cut by a connection going away, not refused by the
  // server or failed by the local file.
  bool CutByLostConnection() const;
  // Nothing of the transfer reached anyone that a retry would repeat.
  bool MayRunAgain(TFtpRequest Request) const;
  // Before a retry: the local file closed and, for a lost connection, the
  // log line and the pause; false when the pause was cut short.
  bool WaitBeforeRetry(const THeldReport& Held, int Retry);
  // A new control connection where the retry needs one; false (Held.Error
  // and ErrorMessage the reconnection's) when it failed.
  bool ReconnectForRetry(THeldReport& Held);
  // The pause with the loop running; false when the application terminates
  // or the user aborts meanwhile.
  bool PauseBeforeRetry();
  // A download runs again from the bytes that arrived.
  void ResumeDownloadAsync();
  void SetRecovery(TFtpRecovery Value);
  bool ReportFailure(TFtpRequest Request, std::uint16_t Error);

  int FTimeout = 15;
  bool FMultiThreaded = false;
  std::uint32_t FTimeoutDeadline = 0;
  bool FTransferMoved = false;  // progress since the waiting loop last looked
  bool FQuiet = false;          // the reconnection's requests: no events
  THeldReport* FHold = nullptr;  // where the running transfer's failed report goes
  bool FAutoReconnect = false;
  int FRetryDelayMs = 5000;
  TFtpRecovery FRecovery = frNone;
  bool FSessionOpen = false;  // logged in, and not quit by the user since
  bool FUserAborted = false;  // the running transfer was stopped by the user
  std::string FLastBlockingException;
};
