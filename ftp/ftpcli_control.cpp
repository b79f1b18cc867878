// The control connection: opening it (lookup, connect, greeting), cutting the
// received bytes into reply lines, sending commands, judging replies, and the
// single-command requests.
#include "ftp/ftpcli.h"

#include <cstring>

#include <sys/stat.h>

namespace {

// Where "CWD Dir" leads from Folder (SessionFolder's form).
std::string FolderAfterCwd(const std::string& Folder, const std::string& Dir) {
  if (Folder.empty() || Dir.empty() || Dir.front() == '/') return Dir;
  return Folder.back() == '/' ? Folder + Dir : Folder + "/" + Dir;
}

}  // namespace

// ---------------------------------------------------------------------------
// Text routines

std::size_t TCustomFtpCli::SkipBlanks(const std::string& Str, std::size_t Pos) {
  while (Pos < Str.size()) {
    const char c = Str[Pos];
    if (c != '\t' && c != '\n' && c != '\r' && c != ' ') break;
    ++Pos;
  }
  return Pos;
}

std::size_t TCustomFtpCli::ParseInt(const std::string& Str, std::size_t Pos, std::int64_t& Value) {
  Pos = SkipBlanks(Str, Pos);
  bool negative = false;
  if (Pos < Str.size() && (Str[Pos] == '+' || Str[Pos] == '-')) {
    negative = Str[Pos] == '-';
    ++Pos;
  }
  // Unsigned accumulation: a hostile run of digits wraps instead of overflowing.
  std::uint64_t v = 0;
  while (Pos < Str.size() && Str[Pos] >= '0' && Str[Pos] <= '9') {
    v = v * 10 + static_cast<std::uint64_t>(Str[Pos] - '0');
    ++Pos;
  }
  Value = static_cast<std::int64_t>(negative ? (~v + 1) : v);
  return Pos;
}

std::string TCustomFtpCli::ParseQuoted(const std::string& Str, std::size_t Pos) {
  std::string result;
  Pos = SkipBlanks(Str, Pos);
  if (Pos >= Str.size() || Str[Pos] != '"') return result;
  ++Pos;
  // RFC 959 appendix II: a quote inside the path is written twice.
  while (Pos < Str.size()) {
    if (Str[Pos] == '"') {
      if (Pos + 1 < Str.size() && Str[Pos + 1] == '"') {
        result += '"';
        Pos += 2;
        continue;
      }
      break;
    }
    result += Str[Pos++];
  }
  return result;
}

std::int64_t TCustomFtpCli::LocalFileSize(const std::string& FileName) {
  if (FileName.empty()) return -1;
  struct stat st {};
  if (::stat(FileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

// ---------------------------------------------------------------------------
// Opening

void TCustomFtpCli::OpenAsync() {
  EnsureReady();
  if (FControlConnected) throw FtpException("FTP component already connected");
  if (!FInChain) FCurrentRequest = TFtpRequest::OpenAsync;
  FDoneReported = false;
  FReplyBuffer.clear();
  FControlEof = false;
  FControlCloseHeld = false;
  FResultCode = 0;
  FReplyOutstanding = true;
  FControlTls = false;
  FDataTls = false;
  FAuthWord.clear();
  FTlsJar = std::make_shared<TTlsSessionJar>();
  FSessionFolder.clear();
  FSessionType = 0;
  auto alive = AliveToken();
  SetEngineState(fcsResolving);
  if (alive.expired()) return;
  // A dotted address resolves at once: the connect starts before we return.
  try {
    FControlSocket->DnsLookup(FHostName);
  } catch (...) {
    // The lookup never started (an empty name, for one): no request runs, and
    // the engine must not stay "resolving" with every later request refused.
    if (!alive.expired() && (FState == fcsResolving || FState == fcsAwaitingGreeting)) SetEngineState(fcsReady);
    throw;
  }
}

std::string TCustomFtpCli::WinsockErrorLine(std::uint16_t Error) const {
  return "500 " + WSocketErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

void TCustomFtpCli::ControlDnsLookupDone(std::uint16_t Error) {
  if (Error != 0) {
    FReplyLine = WinsockErrorLine(Error);
    FReplyCode = 500;
    SetErrorOnce();
    FResultCode = Error;
    FinishRequest(Error);
    return;
  }
  auto alive = AliveToken();
  SetEngineState(fcsAwaitingGreeting);
  if (alive.expired()) return;
  try {
    // A name with several addresses (::1 and 127.0.0.1): the socket tries
    // each in turn, so a server listening on one family only is reached.
    FControlSocket->SetAddr(FControlSocket->DnsResultList().size() > 1 ? FHostName : FControlSocket->DnsResult());
    FControlSocket->SetProto("tcp");
    FControlSocket->SetPort(FPort);
    FControlSocket->Connect();
  } catch (const ESocketException& e) {
    // A port the socket layer cannot use ("Connect: No Port Specified", an
    // unknown service name): the connect never starts, so no event would ever
    // end the request. End it here, as a failed connect.
    ConnectNotStarted(e.what());
  }
}

void TCustomFtpCli::ConnectNotStarted(const std::string& Why) {
  const int error = FControlSocket->LastError();
  auto alive = AliveToken();
  FailRequest(Why, error != 0 ? static_cast<std::uint16_t>(error) : 500);
  if (alive.expired()) return;
  SetEngineState(fcsReady);
}

void TCustomFtpCli::FailRequest(const std::string& Why, std::uint16_t Error) {
  FReplyLine = "500 " + Why;
  FReplyCode = 500;
  SetErrorOnce();
  SetChainNext(nullptr);  // no further step runs
  FResultCode = Error;
  FinishRequest(Error);
}

void TCustomFtpCli::ControlSessionConnected(std::uint16_t Error) {
  if (Error != 0) {
    auto alive = AliveToken();
    FReplyLine = WinsockErrorLine(Error);
    FReplyCode = 500;
    // No further chain step runs after a failed connect.
    SetChainNext(nullptr);
    FResultCode = Error;
    FinishRequest(Error);
    if (alive.expired()) return;
    FControlSocket->Close();
    if (alive.expired()) return;
    SetEngineState(fcsReady);
    return;
  }
  // Nothing more until the greeting arrives (through TLS when implicit).
  FControlConnected = true;
  if (FEncryption == ftpEncImplicit) StartControlTls();
}

// ---------------------------------------------------------------------------
// Receiving

void TCustomFtpCli::ReceiveControlBytes() {
  char chunk[FTP_REPLY_BUFFER_SIZE];
  const int n = FControlSocket->Receive(chunk, sizeof(chunk));
  if (n == 0) {
    FControlEof = true;
    return;
  }
  if (n < 0) return;  // nothing to read now
  // While lines are held a server could send without end: what it sends
  // beyond any sane reply is read (the socket would notify again and again
  // otherwise) but dropped, and the connection closed afterwards.
  if (FHoldLines && FReplyBuffer.size() > 16 * FTP_REPLY_BUFFER_SIZE) {
    FControlEof = true;
    return;
  }
  FReplyBuffer.append(chunk, static_cast<std::size_t>(DropZeroBytes(chunk, n)));
}

void TCustomFtpCli::ControlDataAvailable(std::uint16_t Error) {
  ReceiveControlBytes();
  if (FHoldLines) return;  // the pass handing out a line goes on with these

  auto alive = AliveToken();
  for (;;) {
    try {
      ProcessReplyBuffer(Error);
      break;
    } catch (...) {
      ReportException(std::current_exception());
      if (alive.expired()) return;
      // The lines behind the one whose handler raised still belong to the engine.
    }
  }
  if (alive.expired()) return;
  if (FControlCloseHeld) {
    FControlCloseHeld = false;
    FControlEof = false;
    ControlSessionClosed(FControlCloseError);
    return;
  }
  // A line of 4096 bytes without its end is not a reply: waiting for the
  // rest would hang on a server that now says nothing.
  if (FControlEof || FReplyBuffer.size() >= FTP_REPLY_BUFFER_SIZE) {
    FControlEof = false;
    if (FControlSocket->State() != wsClosed) FControlSocket->Close();
  }
}

void TCustomFtpCli::ReportException(std::exception_ptr Error) {
  // The thread's loop, not a member: the handler may have destroyed the engine.
  plat::MessageLoop::Current().HandleException(Error);
}

int TCustomFtpCli::DropZeroBytes(char* Bytes, int Len) {
  // Telnet NUL is a no-operation (RFC 854); kept, it would end the held text
  // and hide every line behind it.
  int kept = 0;
  for (int i = 0; i < Len; ++i)
    if (Bytes[i] != '\0') Bytes[kept++] = Bytes[i];
  return kept;
}

void TCustomFtpCli::ProcessReplyBuffer(std::uint16_t Error) {
  auto alive = AliveToken();
  for (;;) {
    const std::size_t end = FReplyBuffer.find("\r\n");
    if (end == std::string::npos) return;  // wait for the rest of the line
    // Out of the buffer before anyone sees it: a handler that runs the loop
    // finds only the lines behind it.
    FReplyLine.assign(FReplyBuffer, 0, end);
    FReplyBuffer.erase(0, end + 2);

    // Where the line goes is settled before the handlers run: a line that
    // came unasked is only shown, even if a handler starts a request.
    const TFtpClientState route = FState;
    const bool judged = route == fcsAwaitingGreeting || route == fcsAwaitingReply;
    std::exception_ptr raised;
    {
      bool unheld = false;
      TFlagScope hold(*this, judged ? FHoldLines : unheld);
      try {
        DoResponse();
      } catch (...) {
        raised = std::current_exception();
      }
      if (alive.expired()) return;
      try {
        DisplayReply();
      } catch (...) {
        if (!raised) raised = std::current_exception();
      }
      if (alive.expired()) return;
    }
    // A handler may have aborted the request meanwhile.
    if (judged && FState == route) {
      if (route == fcsAwaitingGreeting) {
        HandleGreetingLine(Error);
      } else {
        if (FNext == nullptr) throw FtpException("Program error: FNext is nil");
        (this->*FNext)();
      }
      if (alive.expired()) return;
    }
    // The engine has acted on the line; the handler's exception goes on now.
    if (raised) std::rethrow_exception(raised);
  }
}

bool TCustomFtpCli::ReplyComplete() {
  const std::string& line = FReplyLine;
  if (line.empty() || line[0] < '0' || line[0] > '9') return false;
  std::int64_t code = 0;
  const std::size_t p = ParseInt(line, 0, code);
  return !(p < line.size() && line[p] == '-');  // "xyz-": more lines follow
}

void TCustomFtpCli::HandleGreetingLine(std::uint16_t Error) {
  auto alive = AliveToken();
  if (!ReplyComplete()) return;  // more greeting lines follow
  std::int64_t code = 0;
  ParseInt(FReplyLine, 0, code);
  if (IsPreliminary(code)) return;  // "120 ready in n minutes": the 220 follows (RFC 959)

  FReplyCode = static_cast<int>(code);
  FReplyOutstanding = false;
  if (FReplyCode != 220) {
    SetErrorOnce();
    FResultCode = FReplyCode;
    // Closing completes the request (ControlSessionClosed).
    FControlSocket->Close();
    return;
  }
  SetEngineState(fcsConnected);
  if (alive.expired()) return;
  DoSessionConnected(Error);
  if (alive.expired()) return;
  FinishRequest(0);
}

bool TCustomFtpCli::IsPreliminary(std::int64_t Code) { return Code >= 100 && Code <= 199; }

void TCustomFtpCli::DisplayReply() { DoDisplay("< " + FReplyLine); }

// ---------------------------------------------------------------------------
// Sending

bool TCustomFtpCli::IssueCommand(std::string Cmd) {
  auto alive = AliveToken();
  DoCommand(Cmd);
  if (alive.expired()) return false;
  // A file or folder name holding CR or LF (a percent-escaped URL, a name from
  // a listing) would end the command early and smuggle a second one to the
  // server, e.g. "a\r\nDELE b". Such a command is never sent.
  if (Cmd.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    DoDisplay("! Command refused: it holds a line break or a NUL");
    if (alive.expired()) return false;
    FailRequest("Command refused: it holds a line break or a NUL", 500);
    return false;
  }
  DoDisplay("> " + Cmd);
  if (alive.expired()) return false;
  // Not connected: nothing is sent, and the request waits for a reply that
  // does not come (the blocking wait's timeout ends it).
  if (FControlSocket->State() == wsConnected) FControlSocket->SendString(Cmd + "\r\n");
  return true;
}

void TCustomFtpCli::SendRequest(TFtpRequest Request, const std::string& Cmd, std::initializer_list<int> Codes,
                                TFtpProc AfterReplyProc) {
  EnsureReady();
  if (!FControlConnected) throw FtpException("FTP component not connected");
  if (!FInChain) FCurrentRequest = Request;

  int i = 0;
  for (int code : Codes) {
    if (i >= FTP_MAX_OK_REPLIES) break;
    FOkReplies[i++] = code;
  }
  if (i < FTP_MAX_OK_REPLIES) FOkReplies[i] = 0;

  FDoneReported = false;
  FReplyOutstanding = true;
  SetNext(&TCustomFtpCli::HandleReply);
  SetAfterReply(AfterReplyProc);
  auto alive = AliveToken();
  SetEngineState(fcsAwaitingReply);
  if (alive.expired()) return;
  IssueCommand(Cmd);
}

// ---------------------------------------------------------------------------
// Judging replies

bool TCustomFtpCli::ReplyAccepted(int Code) const {
  // An empty list (REST, raw commands) accepts everything below 500.
  if (FOkReplies[0] == 0) return Code < 500;
  for (int i = 0; i < FTP_MAX_OK_REPLIES && FOkReplies[i] != 0; ++i)
    if (FOkReplies[i] == Code) return true;
  return false;
}

void TCustomFtpCli::HandleReply() {
  if (FCurrentStep == fsFeat) FFeatLines.push_back(FReplyLine);  // the features are the lines between
  if (!ReplyComplete()) return;
  std::int64_t code = 0;
  ParseInt(FReplyLine, 0, code);
  // A 1yz reply is not the end of the command (RFC 959): judged, it would let
  // the final reply answer the next command instead.
  if (IsPreliminary(code)) return;

  FReplyCode = static_cast<int>(code);
  FReplyOutstanding = false;
  if (ReplyAccepted(FReplyCode)) {
    FResultCode = 0;
  } else {
    FResultCode = FReplyCode;
    SetErrorOnce();
  }
  if (FPassiveMode && FReplyCode == 227) FPasvReply = FReplyLine;
  ExtractReplyData();
  NoteSessionPlace();

  if (FAfterReply != nullptr)
    (this->*FAfterReply)();
  else
    FinishRequest(static_cast<std::uint16_t>(FResultCode));
}

void TCustomFtpCli::ExtractReplyData() {
  if (FResultCode != 0) return;
  std::int64_t code = 0;
  const std::size_t afterCode = ParseInt(FReplyLine, 0, code);
  switch (FCurrentStep) {
    case fsSize: {
      std::int64_t size = 0;
      ParseInt(FReplyLine, afterCode, size);
      FRemoteSize = size;
      FSizeFileName = FHostFileName;
      break;
    }
    case fsMdtm: {
      const std::size_t start = SkipBlanks(FReplyLine, afterCode);
      const std::string stamp = FReplyLine.substr(start, FReplyLine.find(' ', start) - start);
      if (!ParseFtpTime(stamp, FRemoteModTime)) FRemoteModTime = -1;
      break;
    }
    case fsCwd:
    case fsMkd:
    case fsPwd:
    case fsCDup:
      FReplyPath = ParseQuoted(FReplyLine, afterCode);
      break;
    default:
      break;
  }
}

void TCustomFtpCli::NoteSessionPlace() {
  // Once per reply (ExtractReplyData runs again between chain steps, and a
  // relative CWD taken twice would go one folder too deep).
  if (FResultCode != 0) return;
  const bool absolute = !FReplyPath.empty() && FReplyPath.front() == '/';
  switch (FCurrentStep) {
    case fsCwd:
    case fsCDup: {
      const std::string dir = FCurrentStep == fsCDup ? std::string("..") : FHostDirName;
      FSessionFolder = absolute ? FReplyPath : FolderAfterCwd(FSessionFolder, dir);
      break;
    }
    case fsPwd:
      if (absolute) FSessionFolder = FReplyPath;
      break;
    case fsTypeSet:
      FSessionType = FType;
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Closing

void TCustomFtpCli::QuitAfterReply() {
  // The judged QUIT reply stays in ResultCode; the close completes the request.
  FControlSocket->Close();
}

void TCustomFtpCli::ControlSessionClosed(std::uint16_t Error) {
  if (FHoldLines && FState != fcsAborting) {
    // The lines received before the close are handled first.
    FControlCloseHeld = true;
    FControlCloseError = Error;
    return;
  }
  auto alive = AliveToken();
  // The server may close a connection on which nothing runs (an idle timeout).
  const bool idle = FDoneReported && !FInChain;
  FControlTls = false;
  FDataTls = false;
  if (FControlConnected) {
    FControlConnected = false;
    if (FState != fcsAborting) SetEngineState(fcsNotConnected);
    if (alive.expired()) return;
    DoSessionClosed(Error);
    if (alive.expired()) return;
  }
  if (FState != fcsAborting) SetEngineState(fcsStepReady);
  if (alive.expired()) return;
  if (FReplyOutstanding && FState != fcsAborting) ReplyLostWithConnection();
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
  if (alive.expired()) return;
  // No request completes to take the engine out of the step state.
  if (idle && FState == fcsStepReady) SetEngineState(fcsReady);
}

void TCustomFtpCli::ReplyLostWithConnection() {
  // The outcome of the previous reply says nothing about this command: a
  // command the server never answered did not succeed, and a chain must not
  // go on to a step that needs the connection.
  FReplyLine = "421 Control connection closed before the reply";
  FReplyCode = 421;
  SetErrorOnce();
  FResultCode = 421;
}

// ---------------------------------------------------------------------------
// Single-command requests

void TCustomFtpCli::BeginCommand(TFtpStep Step) {
  // A request refused as "not ready" must leave the running one alone: its
  // step decides what is taken from its reply (a SIZE, a quoted path).
  EnsureReady();
  FCurrentStep = Step;
  // A size answered for a file says nothing once another command came between
  // (a CWD, a STOR of the same name ...).
  if (Step != fsSize && Step != fsTypeSet && Step != fsRest) FSizeFileName.clear();
}

void TCustomFtpCli::UserAsync() {
  if (FUserName.empty()) throw FtpException("UserName emtpy");
  BeginCommand(fsUser);
  SendRequest(TFtpRequest::UserAsync, "USER " + FUserName, {331, 230}, nullptr);
}

void TCustomFtpCli::PassAsync() {
  if (FPassWord.empty()) throw FtpException("Password emtpy");
  BeginCommand(fsPass);
  SendRequest(TFtpRequest::PassAsync, "PASS " + FPassWord, {230}, nullptr);
}

void TCustomFtpCli::CwdAsync() {
  if (FHostDirName.empty()) throw FtpException("HostDirName emtpy");
  BeginCommand(fsCwd);
  SendRequest(TFtpRequest::CwdAsync, "CWD " + FHostDirName, {200, 250, 257}, nullptr);
}

void TCustomFtpCli::QuitAsync() {
  BeginCommand(fsQuit);
  SendRequest(TFtpRequest::QuitAsync, "QUIT", {221}, &TCustomFtpCli::QuitAfterReply);
}

void TCustomFtpCli::SystAsync() {
  BeginCommand(fsSyst);
  SendRequest(TFtpRequest::SystAsync, "SYST", {215}, nullptr);
}

void TCustomFtpCli::SizeAsync() {
  BeginCommand(fsSize);
  FRemoteSize = 0;
  SendRequest(TFtpRequest::SizeAsync, "SIZE " + FHostFileName, {213}, nullptr);
}

void TCustomFtpCli::TypeSetAsync() {
  BeginCommand(fsTypeSet);
  SendRequest(TFtpRequest::TypeSetAsync, std::string("TYPE ") + FType, {200}, nullptr);
}

void TCustomFtpCli::BinaryTypeAsync() {
  // Refused like any request while one runs, before the type changes. The
  // field itself is set: requests also start between chain steps, where the
  // setter refuses.
  EnsureReady();
  FType = 'I';
  TypeSetAsync();
}

void TCustomFtpCli::AsciiTypeAsync() {
  // As BinaryTypeAsync.
  EnsureReady();
  FType = 'A';
  TypeSetAsync();
}

void TCustomFtpCli::MkdAsync() {
  BeginCommand(fsMkd);
  SendRequest(TFtpRequest::MkdAsync, "MKD " + FHostFileName, {257}, nullptr);
}

void TCustomFtpCli::RmdAsync() {
  BeginCommand(fsRmd);
  SendRequest(TFtpRequest::RmdAsync, "RMD " + FHostFileName, {250, 257}, nullptr);
}

void TCustomFtpCli::DeleAsync() {
  BeginCommand(fsDele);
  SendRequest(TFtpRequest::DeleAsync, "DELE " + FHostFileName, {250, 257}, nullptr);
}

void TCustomFtpCli::PwdAsync() {
  BeginCommand(fsPwd);
  SendRequest(TFtpRequest::PwdAsync, "PWD", {250, 257}, nullptr);
}

void TCustomFtpCli::CDupAsync() {
  BeginCommand(fsCDup);
  SendRequest(TFtpRequest::CDupAsync, "CDUP", {250}, nullptr);
}

void TCustomFtpCli::RenFromAsync() {
  BeginCommand(fsRenFrom);
  SendRequest(TFtpRequest::RenFromAsync, "RNFR " + FHostFileName, {350}, nullptr);
}

void TCustomFtpCli::RenToAsync() {
  BeginCommand(fsRenTo);
  SendRequest(TFtpRequest::RenToAsync, "RNTO " + FLocalFileName, {250, 257}, nullptr);
}

void TCustomFtpCli::QuoteAsync() {
  BeginCommand(fsQuote);
  SendRequest(TFtpRequest::QuoteAsync, FLocalFileName, {}, nullptr);
}

void TCustomFtpCli::RestAsync() {
  BeginCommand(fsRest);
  FRestartOffset = LocalFileSize(FLocalFileName);
  if (FRestartOffset > 0) {
    SendRequest(TFtpRequest::RestAsync, "REST " + std::to_string(FRestartOffset), {}, nullptr);
    return;
  }
  // No local file to resume: nothing to send, the request is done.
  EnsureReady();
  if (!FInChain) FCurrentRequest = TFtpRequest::RestAsync;
  FDoneReported = false;
  SetNext(&TCustomFtpCli::HandleReply);
  SetAfterReply(nullptr);
  FinishRequest(0);
}
