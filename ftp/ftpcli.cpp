// The engine as a component: names of its types, construction, the state
// machine, request completion, abort, and the blocking layer of TFtpClient.
#include "ftp/ftpcli.h"

#include <cstdio>
#include <cstdlib>

#include "platform/application.h"
#include "platform/ticks.h"

namespace {

constexpr const char* kRequestNames[] = {
    "none",          "OpenAsync",     "UserAsync",      "PassAsync",    "CwdAsync",
    "ConnectAsync",  "ReceiveAsync",  "DirAsync",       "LsAsync",      "PortAsync",
    "GetAsync",      "DirectoryAsync", "ListAsync",     "SystemAsync",  "SystAsync",
    "QuitAsync",     "SizeAsync",     "PutAsync",       "AppendAsync",  "FileSizeAsync",
    "RqAbort",       "MkdAsync",      "RmdAsync",       "RenameAsync",  "DeleAsync",
    "RenAsync",      "RenToAsync",    "RenFromAsync",   "DeleteAsync",  "MkdirAsync",
    "RmdirAsync",    "PwdAsync",      "QuoteAsync",     "CDupAsync",    "DoQuoteAsync",
    "TransmitAsync", "TypeSetAsync",  "RestAsync",      "RestGetAsync", "RestartGetAsync",
    "ModTimeAsync",  "SetModTimeAsync",
};
static_assert(sizeof(kRequestNames) / sizeof(kRequestNames[0]) == 42);

constexpr const char* kStateNames[] = {
    "fcsNotConnected", "fcsReady",    "fcsStepReady",        "fcsResolving",
    "fcsConnected",    "fcsAborting", "fcsAwaitingGreeting", "fcsAwaitingReply",
};

constexpr const char* kStepNames[] = {
    "fsNone", "fsOpen", "fsUser", "fsPass",    "fsCwd",  "fsSize",  "fsMkd", "fsRmd",
    "fsRenFrom", "fsRenTo", "fsGet", "fsDir",  "fsQuit", "fsSyst",  "fsDele", "fsPwd",
    "fsQuote", "fsPut",  "fsTypeSet", "fsRest", "fsCDup", "fsLs",    "fsAppend", "fsPort",
    "fsAuth", "fsPbsz", "fsProt", "fsFeat",    "fsOpts", "fsMdtm", "fsMfmt",
};
static_assert(sizeof(kStepNames) / sizeof(kStepNames[0]) == 31);

constexpr const char* kEncryptionNames[] = {"ftpEncIfAvailable", "ftpEncExplicit", "ftpEncImplicit", "ftpEncPlain"};

constexpr const char* kRecoveryNames[] = {"frNone", "frReconnecting", "frWaiting", "frRetrying"};

constexpr std::uint32_t kShareWords[] = {0x00, 0x10, 0x20, 0x30, 0x40};

bool TraceStates() { return FtpTraceEnabled(); }

}  // namespace

bool FtpTraceEnabled() {
  static const bool trace = [] {
    const char* v = std::getenv("VEK_FTP_TRACE");
    return v != nullptr && *v != '\0' && *v != '0';
  }();
  return trace;
}

const char* FtpRequestName(int Value) {
  if (Value < 0 || Value >= static_cast<int>(sizeof(kRequestNames) / sizeof(kRequestNames[0])))
    return "unknown";
  return kRequestNames[Value];
}

const char* FtpRequestName(TFtpRequest Request) { return FtpRequestName(static_cast<int>(Request)); }

std::uint32_t FtpShareModeWord(TFtpShareMode Mode) {
  const int i = static_cast<int>(Mode);
  if (i < 0 || i > 4) return 0x10;
  return kShareWords[i];
}

TFtpShareMode FtpShareModeFromWord(std::uint32_t Word) {
  for (int i = 0; i < 5; ++i)
    if (kShareWords[i] == Word) return static_cast<TFtpShareMode>(i);
  return ftpShareExclusive;
}

const char* FtpClientStateName(TFtpClientState State) {
  const int i = static_cast<int>(State);
  if (i < 0 || i >= static_cast<int>(sizeof(kStateNames) / sizeof(kStateNames[0]))) return "?";
  return kStateNames[i];
}

const char* FtpEncryptionName(TFtpEncryption Encryption) {
  const int i = static_cast<int>(Encryption);
  if (i < 0 || i >= static_cast<int>(sizeof(kEncryptionNames) / sizeof(kEncryptionNames[0]))) return "?";
  return kEncryptionNames[i];
}

const char* FtpRecoveryName(TFtpRecovery Recovery) {
  const int i = static_cast<int>(Recovery);
  if (i < 0 || i >= static_cast<int>(sizeof(kRecoveryNames) / sizeof(kRecoveryNames[0]))) return "?";
  return kRecoveryNames[i];
}

const char* FtpStepName(TFtpStep Step) {
  const int i = static_cast<int>(Step);
  if (i < 0 || i >= static_cast<int>(sizeof(kStepNames) / sizeof(kStepNames[0]))) return "?";
  return kStepNames[i];
}

// ---------------------------------------------------------------------------
// Construction

TCustomFtpCli::TCustomFtpCli() {
  FLoop = &plat::MessageLoop::Current();
  FEngineWindow = FLoop->AllocateWindow(
      [this](plat::UINT Msg, plat::WPARAM WParam, plat::LPARAM LParam) { EngineWndProc(Msg, WParam, LParam); });

  FType = 'I';
  FPort = "ftp";
  FState = fcsReady;
  FShareMode = 0x10;

  // Line mode of the socket is not used: the engine cuts lines itself.
  FControlSocket = std::make_unique<TWSocket>();
  FControlSocket->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t Error) {
    ControlSessionConnected(Error);
  };
  FControlSocket->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t Error) { ControlDataAvailable(Error); };
  FControlSocket->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t Error) { ControlSessionClosed(Error); };
  FControlSocket->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t Error) { ControlDnsLookupDone(Error); };

  // The data connection's handlers are bound per transfer.
  FDataSocket = std::make_unique<TWSocket>();
}

TCustomFtpCli::~TCustomFtpCli() {
  // The sockets go with the engine; none of their events may reach it now.
  for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()}) {
    if (s == nullptr) continue;
    s->OnSessionAvailable = nullptr;
    s->OnSessionConnected = nullptr;
    s->OnSessionClosed = nullptr;
    s->OnDataAvailable = nullptr;
    s->OnDataSent = nullptr;
    s->OnDnsLookupDone = nullptr;
  }
  ReleaseLocalFile();
  FDataSocket.reset();
  FControlSocket.reset();
  if (FLoop != nullptr && FEngineWindow != 0) FLoop->DeallocateWindow(FEngineWindow);
}

bool TCustomFtpCli::IsConnected() const { return FControlSocket && FControlSocket->State() != wsClosed; }

// ---------------------------------------------------------------------------
// Event raisers

void TCustomFtpCli::DoDisplay(const std::string& Msg) {
  if (!OnDisplay) return;
  std::string copy = Msg;
  OnDisplay(this, copy);
}

void TCustomFtpCli::DoDisplayFile(const std::string& Msg) {
  if (!OnDisplayFile) return;
  std::string copy = Msg;
  OnDisplayFile(this, copy);
}

void TCustomFtpCli::DoReadyToTransmit(bool& bCancel) {
  if (OnReadyToTransmit) OnReadyToTransmit(this, bCancel);
}

bool TCustomFtpCli::DoProgress() {
  bool abort = false;
  if (OnProgress) {
    auto alive = AliveToken();
    OnProgress(this, FXfer.Bytes + FRestartOffset, abort);
    if (alive.expired()) return false;
  }
  if (!abort) return true;
  auto alive = AliveToken();
  DoDisplay("! Abort requested");
  // OnDisplay may have dropped the engine.
  if (alive.expired()) return false;
  if (FDataSocket) FDataSocket->Close();
  return false;
}

void TCustomFtpCli::DoCommand(std::string& Cmd) {
  if (OnCommand) OnCommand(this, Cmd);
}

void TCustomFtpCli::DoResponse() {
  if (OnResponse) OnResponse(this);
}

void TCustomFtpCli::DoStateChange() {
  if (OnStateChange) OnStateChange(this);
}

void TCustomFtpCli::DoSessionConnected(std::uint16_t Error) {
  if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomFtpCli::DoSessionClosed(std::uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomFtpCli::DoRequestDone(TFtpRequest RqType, std::uint16_t Error) {
  if (OnRequestDone) OnRequestDone(this, RqType, Error);
}

void TCustomFtpCli::DoVerifyCertificate(const TTlsInfo& Info, bool Changed, TFtpTrust& Trust) {
  if (OnVerifyCertificate) OnVerifyCertificate(this, Info, Changed, Trust);
}

// ---------------------------------------------------------------------------
// Hidden window

void TCustomFtpCli::EngineWndProc(plat::UINT Msg, plat::WPARAM WParam, plat::LPARAM LParam) {
  switch (Msg) {
    case WM_FTP_REQUEST_DONE:
      // The request that ended, as it was when it ended: a request started
      // before this message is handled (after a timed-out blocking call, say)
      // must not take over the report.
      --FDonePending;
      DoRequestDone(static_cast<TFtpRequest>(WParam & 0xFF), static_cast<std::uint16_t>(LParam & 0xFFFF));
      break;
    case WM_FTP_SEND_DATA:
      SendDataMessage();
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// State and completion

const char* TCustomFtpCli::ProcName(TFtpProc Proc) {
  static const struct {
    TFtpProc proc;
    const char* name;
  } kNames[] = {
      {&TCustomFtpCli::HandleReply, "HandleReply"},       {&TCustomFtpCli::RetrFirstReply, "RetrFirstReply"},
      {&TCustomFtpCli::RetrFinalReply, "RetrFinalReply"}, {&TCustomFtpCli::StorFirstReply, "StorFirstReply"},
      {&TCustomFtpCli::StorFinalReply, "StorFinalReply"}, {&TCustomFtpCli::DataFailedReply, "DataFailedReply"},
      {&TCustomFtpCli::PasvAfterReply, "PasvAfterReply"}, {&TCustomFtpCli::QuitAfterReply, "QuitAfterReply"},
      {&TCustomFtpCli::NextChainStep, "NextChainStep"},   {&TCustomFtpCli::AuthAfterReply, "AuthAfterReply"},
      {&TCustomFtpCli::ProtAfterReply, "ProtAfterReply"},
  };
  if (Proc == nullptr) return "none";
  for (const auto& entry : kNames)
    if (entry.proc == Proc) return entry.name;
  return "?";
}

void TCustomFtpCli::SetProc(TFtpProc& Slot, TFtpProc Proc, const char* Role) {
  if (TraceStates() && Slot != Proc) std::fprintf(stderr, "ftp: %s %s -> %s\n", Role, ProcName(Slot), ProcName(Proc));
  Slot = Proc;
}

void TCustomFtpCli::SetEngineState(TFtpClientState NewState) {
  if (NewState == FState) return;
  const TFtpClientState old = FState;
  FState = NewState;
  if (TraceStates())
    std::fprintf(stderr, "ftp: %s -> %s\n", FtpClientStateName(old), FtpClientStateName(NewState));
  DoStateChange();
}

void TCustomFtpCli::EnsureReady() {
  if (FState != fcsReady && FState != fcsStepReady) throw FtpException("FTP component not ready");
}

void TCustomFtpCli::RefuseWhileBusy() const {
  // Between the steps of a chain (fcsStepReady) the request still runs.
  if (FState != fcsReady && FState != fcsNotConnected) throw FtpException("FTP component not ready");
}

void TCustomFtpCli::SetErrorOnce() {
  // The first failure of a request is the one worth showing.
  if (FErrorMessage.empty()) FErrorMessage = FReplyLine;
}

void TCustomFtpCli::ClearChain() {
  FInChain = false;
  SetChainNext(nullptr);
  FPendingSteps.Clear();
}

void TCustomFtpCli::FinishRequest(std::uint16_t Error) {
  if (FDoneReported) return;
  FDoneReported = true;
  FReplyOutstanding = false;

  if (Error == 0 && FChainNext != nullptr) {
    auto alive = AliveToken();
    if (FState != fcsAborting) SetEngineState(fcsStepReady);
    if (alive.expired()) return;
    try {
      (this->*FChainNext)();
    } catch (const std::exception& e) {
      // A step that refuses to start ("Password emtpy" after a 331) would
      // leave the chain waiting for a reply to a command never sent.
      ChainStepRefused(e.what());
      throw;
    }
    return;
  }

  // The ended request is settled (data connection, report, chain) before the
  // state says ready: an OnStateChange handler may start the next request at
  // once, and nothing of this one may then touch it.
  auto alive = AliveToken();
  if (FDataSocket && FDataSocket->State() != wsClosed) FDataSocket->Close();
  if (alive.expired()) return;

  // A chain that ended with QUIT reports the reply in front of QUIT.
  if (FInChain && FSavedReplyCode >= 0) {
    FReplyLine = FSavedReplyLine;
    FReplyCode = FSavedReplyCode;
  }
  // This is the request's final completion: whatever steps a failed chain left
  // must never run behind a later request.
  ClearChain();

  ++FDonePending;
  FLoop->PostMessage(FEngineWindow, WM_FTP_REQUEST_DONE, static_cast<plat::WPARAM>(FCurrentRequest),
                     static_cast<plat::LPARAM>(Error));
  ++FFinishCount;
  FFinishResults[FFinishCount % 16] = FResultCode;
  SetEngineState(fcsReady);
}

// ---------------------------------------------------------------------------
// Abort

void TCustomFtpCli::AbortAsync() {
  auto alive = AliveToken();
  const TFtpClientState before = FState;
  const bool wasResolving = before == fcsResolving;

  // A request cut off before its end did not succeed; say so rather than
  // completing it with the outcome of the previous reply. A chain counts
  // too: a download aborted between two chunks would otherwise look done.
  const bool requestRunning =
      !FDoneReported && (FInChain || before == fcsAwaitingReply || before == fcsAwaitingGreeting ||
                         before == fcsConnected || before == fcsResolving);
  if (requestRunning) {
    FResultCode = 426;
    FReplyCode = 426;
    if (FErrorMessage.empty()) FErrorMessage = "426 Operation aborted.";
  }

  SetEngineState(fcsAborting);
  if (alive.expired()) return;

  // The socket layer reports the cancelled lookup as failed (10004), which
  // ends the request through the lookup failure path.
  if (wasResolving) FControlSocket->CancelDnsLookup();
  if (alive.expired()) return;

  // Over TLS a close waits for the peer's goodbye; an abort does not.
  for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()}) {
    if (s->State() == wsClosed) continue;
    if (s->TlsActive())
      s->Abort();
    else
      s->Close();
    if (alive.expired()) return;
  }

  ReleaseLocalFile();
  FControlConnected = false;
  FReplyOutstanding = false;
  // A chain stopped by an exception in one of its steps never completed; its
  // leftovers must not run behind the next request.
  ClearChain();
  SetEngineState(fcsReady);
}

// ---------------------------------------------------------------------------
// TFtpClient: the blocking layer

TFtpClient::TFtpClient() { FTimeout = 15; }

bool TFtpClient::RunBlocking(const std::function<void()>& Request) {
  FLastBlockingException.clear();
  auto alive = AliveToken();
  const std::uint64_t before = FinishCount();
  try {
    Request();
  } catch (const std::exception& e) {
    if (alive.expired()) return false;
    // Misuse ("FTP component not ready" ...) is a False result, nothing more.
    FLastBlockingException = e.what();
    return false;
  }
  if (alive.expired()) return false;  // a handler dropped the engine
  return WaitForCompletion(before);
}

bool TFtpClient::WaitUntilReady() { return WaitForCompletion(FinishCount()); }

bool TFtpClient::WaitForCompletion(std::uint64_t Before) {
  plat::Application& app = plat::Application::Instance();
  auto alive = AliveToken();
  FTimeoutDeadline = plat::GetTickCount() + static_cast<std::uint32_t>(static_cast<std::int64_t>(FTimeout) * 1000);

  // The call ends once the request's completion has been delivered: what
  // the OnRequestDone handler starts then runs inside this call, before the
  // caller's next request. The result is the request's own.
  bool ended = false;
  bool result = false;
  for (;;) {
    // A handler of OnRequestDone (run by this very loop) may start and finish
    // requests of its own before we look again: ours is the next completion.
    if (FinishCount() != Before || FState == fcsReady) {
      if (!ended) result = FinishCount() != Before ? FinishedOk(Before + 1) : FResultCode == 0;
      ended = true;
      if (FDonePending == 0 || app.Terminated()) return result;
      // Ended: only the posted completion is left to deliver, no time limit.
      ProcessLoop();
      if (alive.expired()) return result;
      continue;
    }

    const std::uint32_t now = plat::GetTickCount();
    if (FTransferMoved) {
      FTransferMoved = false;
      FTimeoutDeadline = now + static_cast<std::uint32_t>(static_cast<std::int64_t>(FTimeout) * 1000);
    }
    if (FTimeout > 0 && plat::TickIsPast(now, FTimeoutDeadline) && FNext == &TFtpClient::DataFailedReply &&
        !app.Terminated()) {
      // The connection itself is fine: only the reply to a transfer whose
      // data connection failed never came. The request ends with that failure.
      SetNext(nullptr);
      EndWithTransferError();
      if (alive.expired()) return false;
      continue;
    }
    if (app.Terminated() || (FTimeout > 0 && plat::TickIsPast(now, FTimeoutDeadline))) {
      // Not the user's abort: a session given up on may be connected again.
      TCustomFtpCli::AbortAsync();
      if (alive.expired()) return false;
      FErrorMessage = "426 Timeout";
      FReplyCode = 426;
      return false;
    }

    ProcessLoop();
    if (alive.expired()) return false;
    if (FState == fcsReady || app.Terminated()) continue;

    // Sleep until something arrives or the deadline passes; no spinning.
    int waitMs = -1;
    if (FTimeout > 0) {
      const std::uint32_t left = plat::TicksUntil(plat::GetTickCount(), FTimeoutDeadline);
      waitMs = left == 0 ? 0 : static_cast<int>(left);
      if (waitMs == 0) continue;
    }
    WaitLoop(waitMs);
    if (alive.expired()) return false;
  }
}

void TFtpClient::ProcessLoop() {
  if (FMultiThreaded)
    FControlSocket->PumpMessages();
  else
    plat::Application::Instance().ProcessMessages();
}

void TFtpClient::WaitLoop(int Ms) {
  if (FMultiThreaded)
    plat::MessageLoop::Current().WaitMessage(Ms);
  else
    plat::Application::Instance().WaitMessage(Ms);
}

void TFtpClient::ExtendDeadline() {
  // Read by the waiting loop, which reads the clock anyway: a clock read per
  // chunk cost more than the rest of the chunk's bookkeeping.
  FTransferMoved = true;
}

void TFtpClient::DoVerifyCertificate(const TTlsInfo& Info, bool Changed, TFtpTrust& Trust) {
  auto alive = AliveToken();
  TCustomFtpCli::DoVerifyCertificate(Info, Changed, Trust);
  if (!alive.expired()) ExtendDeadline();
}

bool TFtpClient::DoProgress() {
  auto alive = AliveToken();
  const bool goOn = TCustomFtpCli::DoProgress();
  if (alive.expired()) return false;
  // The handler's abort flag stops the transfer for good.
  if (!goOn) FUserAborted = true;
  ExtendDeadline();
  return goOn;
}

bool TFtpClient::Connect() { return RunBlocking([this] { ConnectAsync(); }); }
bool TFtpClient::Quit() { return RunBlocking([this] { QuitAsync(); }); }
bool TFtpClient::Abort() { return RunBlocking([this] { AbortAsync(); }); }
bool TFtpClient::Cwd() { return RunOnConnection(TFtpRequest::CwdAsync, [this] { CwdAsync(); }); }
bool TFtpClient::Pwd() { return RunOnConnection(TFtpRequest::PwdAsync, [this] { PwdAsync(); }); }
bool TFtpClient::TypeSet() { return RunOnConnection(TFtpRequest::TypeSetAsync, [this] { TypeSetAsync(); }); }
bool TFtpClient::Get() { return RunOnConnection(TFtpRequest::GetAsync, [this] { GetAsync(); }); }
bool TFtpClient::Put() { return RunOnConnection(TFtpRequest::PutAsync, [this] { PutAsync(); }); }
bool TFtpClient::Append() { return RunOnConnection(TFtpRequest::AppendAsync, [this] { AppendAsync(); }); }
bool TFtpClient::Dir() { return RunOnConnection(TFtpRequest::DirAsync, [this] { DirAsync(); }); }
bool TFtpClient::Dele() { return RunOnConnection(TFtpRequest::DeleAsync, [this] { DeleAsync(); }); }
bool TFtpClient::Mkd() { return RunOnConnection(TFtpRequest::MkdAsync, [this] { MkdAsync(); }); }
bool TFtpClient::Rmd() { return RunOnConnection(TFtpRequest::RmdAsync, [this] { RmdAsync(); }); }
bool TFtpClient::Ren() { return RunOnConnection(TFtpRequest::RenAsync, [this] { RenAsync(); }); }
bool TFtpClient::Size() { return RunOnConnection(TFtpRequest::SizeAsync, [this] { SizeAsync(); }); }
bool TFtpClient::RestGet() { return RunOnConnection(TFtpRequest::RestGetAsync, [this] { RestGetAsync(); }); }
bool TFtpClient::ModTime() { return RunOnConnection(TFtpRequest::ModTimeAsync, [this] { ModTimeAsync(); }); }
bool TFtpClient::SetModTime() {
  return RunOnConnection(TFtpRequest::SetModTimeAsync, [this] { SetModTimeAsync(); });
}

void TFtpClient::DoSessionConnected(std::uint16_t Error) {
  if (!FQuiet) TCustomFtpCli::DoSessionConnected(Error);
}

void TFtpClient::DoSessionClosed(std::uint16_t Error) {
  if (!FQuiet) TCustomFtpCli::DoSessionClosed(Error);
}
