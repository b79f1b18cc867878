// The blocking layer's recovery from a lost connection: a session the
// server closed while idle is connected again before the next operation
// that needs it, and a transfer cut by a lost connection (or refused for
// want of a fresh TLS session) runs again on a fresh one. Only the final
// outcome reaches OnRequestDone; the steps between are log lines.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "ftp/ftpcli.h"
#include "platform/application.h"
#include "platform/ticks.h"

namespace {

constexpr int kLostConnectionRetries = 2;
constexpr int kFreshTlsRetries = 1;

bool IsDownload(TFtpRequest Request) {
  return Request == TFtpRequest::GetAsync || Request == TFtpRequest::RestGetAsync;
}

bool IsTransfer(TFtpRequest Request) {
  return IsDownload(Request) || Request == TFtpRequest::PutAsync || Request == TFtpRequest::AppendAsync ||
         Request == TFtpRequest::DirAsync;
}

bool IsTransferStep(TFtpStep Step) {
  return Step == fsGet || Step == fsPut || Step == fsAppend || Step == fsDir || Step == fsLs;
}

std::string DelayText(int Ms) {
  return Ms % 1000 == 0 ? std::to_string(Ms / 1000) + " s" : std::to_string(Ms) + " ms";
}

}  // namespace

void TFtpClient::SetRecovery(TFtpRecovery Value) {
  if (Value == FRecovery) return;
  if (FtpTraceEnabled())
    std::fprintf(stderr, "ftp: recovery %s -> %s\n", FtpRecoveryName(FRecovery), FtpRecoveryName(Value));
  FRecovery = Value;
}

void TFtpClient::AbortAsync() {
  FUserAborted = true;
  FSessionOpen = false;
  TCustomFtpCli::AbortAsync();
}

void TFtpClient::QuitAsync() {
  // A chain's own QUIT ends its session as much as the user's does.
  if (!FQuiet) FSessionOpen = false;
  TCustomFtpCli::QuitAsync();
}

bool TFtpClient::SessionLost() const {
  return FAutoReconnect && FSessionOpen && FState == fcsReady && !IsConnected() &&
         !plat::Application::Instance().Terminated();
}

bool TFtpClient::RunOnConnection(TFtpRequest Request, const std::function<void()>& Start) {
  // The reconnection's own requests run as they are.
  if (FQuiet) return RunBlocking(Start);
  auto alive = AliveToken();
  if (SessionLost()) {
    const bool ready = Reconnect("The server closed the connection: connecting again");
    if (alive.expired()) return false;
    SetRecovery(frNone);
    if (!ready) return ReportFailure(Request, ReconnectError());
  }
  if (!IsTransfer(Request)) return RunBlocking(Start);
  const bool done = RunTransferAttempts(Request, Start);
  if (!alive.expired()) SetRecovery(frNone);
  return done;
}

bool TFtpClient::RunTransferAttempts(TFtpRequest Request, const std::function<void()>& Start) {
  auto alive = AliveToken();
  THeldReport held;
  held.Request = Request;
  bool done = RunHeld(Start, held);
  int retry = 0;
  while (held.Held) {
    if (alive.expired()) return false;
    ++retry;
    const int limit = held.Why == TRetryReason::FreshTls ? kFreshTlsRetries : kLostConnectionRetries;
    const bool again = retry <= limit && WaitBeforeRetry(held, retry);
    if (alive.expired()) return false;
    if (!again) return ReportFailure(Request, held.Error);
    // A reconnection that failed is this retry's failure; the next may fare better.
    if (!ReconnectForRetry(held)) continue;
    const bool resume = held.Why == TRetryReason::LostConnection && IsDownload(Request);
    done = RunHeld(resume ? std::function<void()>([this] { ResumeDownloadAsync(); }) : Start, held);
    if (alive.expired()) return false;
    if (!held.Held && !FLastBlockingException.empty()) {
      // The retry could not even start: the held failure is still owed.
      FErrorMessage = "500 " + FLastBlockingException;
      return ReportFailure(Request, 500);
    }
  }
  return done;
}

bool TFtpClient::RunHeld(const std::function<void()>& Start, THeldReport& Held) {
  auto alive = AliveToken();
  Held.Held = false;
  FUserAborted = false;
  FHold = &Held;
  const bool done = RunBlocking(Start);
  // A request that never started, or whose report comes after a timeout,
  // reports as any other.
  if (!alive.expired()) FHold = nullptr;
  return done;
}

void TFtpClient::DoRequestDone(TFtpRequest RqType, std::uint16_t Error) {
  // Logged in: from now on a session to connect again when the server drops it.
  if (RqType == TFtpRequest::ConnectAsync) FSessionOpen = Error == 0;
  if (FQuiet) return;
  // The first report after arming is the transfer's own; a request its
  // handler starts is not retried.
  if (THeldReport* hold = std::exchange(FHold, nullptr)) {
    const TRetryReason why = Error != 0 ? RetryReason(hold->Request) : TRetryReason::None;
    if (why != TRetryReason::None) {
      hold->Held = true;
      hold->Error = Error;
      hold->Why = why;
      return;
    }
    // A download resumed by RestGetAsync reports as the Get it is.
    RqType = hold->Request;
  }
  TCustomFtpCli::DoRequestDone(RqType, Error);
}

TFtpClient::TRetryReason TFtpClient::RetryReason(TFtpRequest Request) const {
  if (FUserAborted || plat::Application::Instance().Terminated()) return TRetryReason::None;
  if (NeedsFreshTlsSession()) return TRetryReason::FreshTls;
  if (FAutoReconnect && CutByLostConnection() && MayRunAgain(Request)) return TRetryReason::LostConnection;
  return TRetryReason::None;
}

bool TFtpClient::ConnectionGone() const { return !IsConnected() || FReplyCode == 421; }

bool TFtpClient::CutByLostConnection() const {
  if (ConnectionGone()) return true;
  // On a live control connection only the data connection can have been
  // cut: a reset, or the server's 426; a failure the engine noted itself
  // (the local file, a data connection that never opened) is no cut.
  if (!IsTransferStep(FCurrentStep) || FXfer.Error != 0) return false;
  return FReplyCode == 426 || FXfer.DataError != 0;
}

bool TFtpClient::MayRunAgain(TFtpRequest Request) const {
  if (!IsTransferStep(FCurrentStep) || FXfer.Bytes == 0) return true;
  if (FDisplayFileFlag) return false;  // its lines were shown
  switch (Request) {
    case TFtpRequest::AppendAsync:
      return false;  // the server's file holds an unknown share of it now
    case TFtpRequest::PutAsync:
    case TFtpRequest::DirAsync:
      return true;  // the file is written anew
    default:
      return LocalFileSize(FLocalFileName) >= 0;  // a pipe cannot go on from where it was
  }
}

bool TFtpClient::WaitBeforeRetry(const THeldReport& Held, int Retry) {
  auto alive = AliveToken();
  // Closed before the retry opens it again, and measured by a resume.
  ReleaseLocalFile();
  // The server asked for a fresh session, not for patience.
  if (Held.Why == TRetryReason::FreshTls) return true;
  DoDisplay("! " + FErrorMessage + ": trying again in " + DelayText(FRetryDelayMs) + " (" + std::to_string(Retry) +
            " of " + std::to_string(kLostConnectionRetries) + ")");
  return !alive.expired() && PauseBeforeRetry();
}

bool TFtpClient::ReconnectForRetry(THeldReport& Held) {
  auto alive = AliveToken();
  bool ready = true;
  if (Held.Why == TRetryReason::FreshTls)
    ready = Reconnect(FErrorMessage + ": connecting again for a fresh TLS session");
  else if (ConnectionGone())  // a live one (only the data connection was cut) serves as it is
    ready = Reconnect("The connection was lost: connecting again");
  if (alive.expired()) return false;
  if (!ready) {
    Held.Error = ReconnectError();
    return false;
  }
  SetRecovery(frRetrying);
  return true;
}

bool TFtpClient::PauseBeforeRetry() {
  plat::Application& app = plat::Application::Instance();
  auto alive = AliveToken();
  SetRecovery(frWaiting);
  const std::uint32_t deadline = plat::GetTickCount() + static_cast<std::uint32_t>(std::max(FRetryDelayMs, 0));
  for (;;) {
    ProcessLoop();
    if (alive.expired() || app.Terminated() || FUserAborted) return false;
    const std::uint32_t left = plat::TicksUntil(plat::GetTickCount(), deadline);
    if (left == 0) return true;
    WaitLoop(static_cast<int>(left));
    if (alive.expired()) return false;
  }
}

void TFtpClient::ResumeDownloadAsync() {
  // REST counts the server's bytes, which only a binary transfer writes as
  // they are: in ASCII the download starts over.
  if (FSessionType == 'I')
    RestGetAsync();
  else
    GetAsync();
}

bool TFtpClient::Reconnect(const std::string& Why) {
  auto alive = AliveToken();
  // The reconnection's requests use these; the caller's stay as they were.
  const std::string hostFile = FHostFileName, localFile = FLocalFileName, hostDir = FHostDirName;
  const std::string folder = FSessionFolder;
  const char type = FSessionType, callerType = FType;
  SetRecovery(frReconnecting);
  bool ready = false;
  {
    TFlagScope quiet(*this, FQuiet);
    DoDisplay("! " + Why);
    if (alive.expired()) return false;
    if (IsConnected()) Quit();
    ready = Connect();
    if (ready && !folder.empty()) {
      FHostDirName = folder;
      ready = Cwd();
    }
    if (ready && type != 0) {
      FType = type;
      ready = TypeSet();
    }
    // Not left logged in somewhere else than the session was.
    if (!ready && !alive.expired() && IsConnected()) {
      const int failure = FResultCode;
      Quit();
      if (!alive.expired()) FResultCode = failure;  // the failure's code, not the goodbye's
    }
    if (alive.expired()) return false;
  }
  FHostFileName = hostFile;
  FLocalFileName = localFile;
  FHostDirName = hostDir;
  FType = callerType;
  if (!ready) {
    // Still where the session is to go back to, by the next try.
    FSessionFolder = folder;
    FSessionType = type;
  }
  return ready;
}

std::uint16_t TFtpClient::ReconnectError() {
  // A failed connect leaves its reason in the reply line only.
  if (FErrorMessage.empty() && !FLastBlockingException.empty()) FErrorMessage = "500 " + FLastBlockingException;
  if (FErrorMessage.empty()) FErrorMessage = FReplyLine.empty() ? "500 Connecting again failed" : FReplyLine;
  return FResultCode > 0 && FResultCode <= 0xFFFF ? static_cast<std::uint16_t>(FResultCode) : 500;
}

bool TFtpClient::ReportFailure(TFtpRequest Request, std::uint16_t Error) {
  TCustomFtpCli::DoRequestDone(Request, Error);
  return false;
}
