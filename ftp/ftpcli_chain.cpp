// Request chains: a fixed set of steps run one after another as one request,
// with a single OnRequestDone at the end. A step that completes with Error 0
// starts the next one (FinishRequest calls ChainNext); the first failing step
// ends the chain.
#include "ftp/ftpcli.h"

namespace {

// Steps always run in this order, whatever order the set was built in.
constexpr TFtpStep kChainOrder[] = {
    fsOpen, fsAuth, fsUser, fsPass,    fsPbsz,  fsProt, fsFeat, fsOpts, fsCwd,  fsCDup, fsTypeSet,
    fsPort, fsRest, fsGet,  fsPut,     fsAppend, fsDir, fsLs,   fsSyst, fsMkd,  fsRmd,  fsRenFrom,
    fsRenTo, fsSize, fsMdtm, fsMfmt, fsDele, fsPwd, fsQuote, fsQuit,
};

}  // namespace

void TCustomFtpCli::StartChain(TFtpRequest Request, TFtpStepSet Steps) {
  if (FControlConnected && Steps.Contains(fsOpen)) throw FtpException("FTP component already connected");
  EnsureReady();

  FSavedReplyCode = -1;
  FCurrentRequest = Request;
  FResultCode = 0;
  // A new connection gets its TLS and FEAT steps; each is skipped where it
  // has no place.
  if (Steps.Contains(fsOpen)) {
    Steps.Include(fsAuth);
    Steps.Include(fsPbsz);
    Steps.Include(fsProt);
    Steps.Include(fsFeat);
    Steps.Include(fsOpts);
    FFeatures.Clear();
    FSetTimeRefused = false;
    FGetTimeRefused = false;
    FPasvAddressNoted = false;
  }
  FPendingSteps = Steps;
  FCurrentStep = fsNone;
  FChainResult = 0;
  FInChain = true;
  FReplyLine.clear();
  FErrorMessage.clear();

  try {
    NextChainStep();
  } catch (...) {
    // The first step refused to start: the caller gets the exception and no
    // request runs, so none of this chain may run behind a later request.
    ClearChain();
    throw;
  }
}

void TCustomFtpCli::ChainStepRefused(const std::string& Why) {
  if (!FInChain) return;  // already ended (a nested step's refusal)
  FDoneReported = false;
  FailRequest(Why, 500);
}

void TCustomFtpCli::NextChainStep() {
  if (FState == fcsAborting) {
    FPendingSteps.Clear();
    FChainResult = 426;
    FErrorMessage = "426 Operation aborted.";
  }
  SetChainNext(&TCustomFtpCli::NextChainStep);
  ExtractReplyData();

  for (TFtpStep step : kChainOrder) {
    if (!FPendingSteps.Contains(step)) continue;
    FPendingSteps.Exclude(step);
    if (RunChainStep(step, FCurrentStep)) return;  // completes later through FinishRequest
  }

  FPendingSteps.Clear();
  SetChainNext(nullptr);
  FDoneReported = false;
  FinishRequest(static_cast<std::uint16_t>(FChainResult));
}

bool TCustomFtpCli::RunChainStep(TFtpStep Step, TFtpStep PreviousStep) {
  switch (Step) {
    case fsPass:
      // A server that logged the user in on USER (230) wants no password.
      if (PreviousStep == fsUser && FReplyCode != 331) return false;
      break;
    case fsCwd:
      if (FHostDirName.empty()) return false;
      break;
    case fsAuth:
      if (FEncryption != ftpEncIfAvailable && FEncryption != ftpEncExplicit) return false;
      break;
    case fsPbsz:
    case fsProt:
      if (!FControlTls) return false;
      break;
    case fsFeat:
      if (!FUseFeatures) return false;
      break;
    case fsOpts:
      if (!FFeatures.Has("UTF8")) return false;
      break;
    default:
      break;
  }

  FCurrentStep = Step;
  switch (Step) {
    case fsOpen: OpenAsync(); break;
    case fsUser: UserAsync(); break;
    case fsPass: PassAsync(); break;
    case fsCwd: CwdAsync(); break;
    case fsCDup: CDupAsync(); break;
    case fsTypeSet: TypeSetAsync(); break;
    case fsPort: PortAsync(); break;
    case fsRest: RestAsync(); break;
    case fsGet:
      if (PreviousStep == fsRest && FRestartOffset > 0 && FReplyCode != 350) {
        // A REST answered otherwise (200 ...) may still have been taken: some
        // servers then send only the rest, which written from offset 0 would
        // wreck the file. "REST 0" makes every server start from the beginning.
        FRestartOffset = 0;
        FPendingSteps.Include(fsGet);
        FCurrentStep = fsRest;
        SendRequest(TFtpRequest::RestAsync, "REST 0", {}, nullptr);
        break;
      }
      // Resume only where the server agreed to the REST just before.
      if (!(PreviousStep == fsRest && FRestartOffset >= 0 && FReplyCode == 350)) FRestartOffset = 0;
      StartRetr();
      break;
    case fsPut: StartStor(); break;
    case fsAppend: StartAppe(); break;
    case fsDir: StartList(); break;
    case fsLs: StartNlst(); break;
    case fsSyst: SystAsync(); break;
    case fsMkd: MkdAsync(); break;
    case fsRmd: RmdAsync(); break;
    case fsRenFrom: RenFromAsync(); break;
    case fsRenTo: RenToAsync(); break;
    case fsSize: SizeAsync(); break;
    case fsDele: DeleAsync(); break;
    case fsPwd: PwdAsync(); break;
    case fsQuote: QuoteAsync(); break;
    case fsQuit:
      // The final report shows the reply in front of QUIT.
      FSavedReplyLine = FReplyLine;
      FSavedReplyCode = FReplyCode;
      QuitAsync();
      break;
    case fsAuth:
    case fsPbsz:
    case fsProt:
      RunTlsStep(Step);
      break;
    case fsFeat:
    case fsOpts:
      RunFeatureStep(Step);
      break;
    case fsMdtm: ModTimeAsync(); break;
    case fsMfmt: SetModTimeAsync(); break;
    case fsNone:
      break;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The chains

void TCustomFtpCli::ConnectAsync() { StartChain(TFtpRequest::ConnectAsync, {fsOpen, fsUser, fsPass}); }

void TCustomFtpCli::ReceiveAsync() {
  StartChain(TFtpRequest::ReceiveAsync, {fsOpen, fsUser, fsPass, fsCwd, fsTypeSet, fsPort, fsGet, fsQuit});
}

void TCustomFtpCli::GetAsync() { StartChain(TFtpRequest::GetAsync, {fsPort, fsGet}); }

void TCustomFtpCli::RestGetAsync() { StartChain(TFtpRequest::RestGetAsync, {fsPort, fsRest, fsGet}); }

void TCustomFtpCli::RestartGetAsync() {
  StartChain(TFtpRequest::RestartGetAsync,
             {fsOpen, fsUser, fsPass, fsCwd, fsTypeSet, fsPort, fsRest, fsGet, fsQuit});
}

void TCustomFtpCli::PutAsync() { StartChain(TFtpRequest::PutAsync, {fsPort, fsPut}); }

void TCustomFtpCli::AppendAsync() { StartChain(TFtpRequest::AppendAsync, {fsPort, fsAppend}); }

void TCustomFtpCli::TransmitAsync() {
  StartChain(TFtpRequest::TransmitAsync, {fsOpen, fsUser, fsPass, fsCwd, fsTypeSet, fsPort, fsPut, fsQuit});
}

void TCustomFtpCli::TransmitAppendAsync() {
  StartChain(TFtpRequest::TransmitAsync, {fsOpen, fsUser, fsPass, fsCwd, fsTypeSet, fsPort, fsAppend, fsQuit});
}

void TCustomFtpCli::DirAsync() { StartChain(TFtpRequest::DirAsync, {fsPort, fsDir}); }

void TCustomFtpCli::DirectoryAsync() {
  StartChain(TFtpRequest::DirectoryAsync, {fsOpen, fsUser, fsPass, fsCwd, fsPort, fsDir, fsQuit});
}

void TCustomFtpCli::LsAsync() { StartChain(TFtpRequest::LsAsync, {fsPort, fsLs}); }

void TCustomFtpCli::ListAsync() {
  StartChain(TFtpRequest::ListAsync, {fsOpen, fsUser, fsPass, fsCwd, fsPort, fsLs, fsQuit});
}

void TCustomFtpCli::SystemAsync() { StartChain(TFtpRequest::SystemAsync, {fsOpen, fsUser, fsPass, fsSyst, fsQuit}); }

void TCustomFtpCli::FileSizeAsync() {
  StartChain(TFtpRequest::FileSizeAsync, {fsOpen, fsUser, fsPass, fsCwd, fsSize, fsQuit});
}

void TCustomFtpCli::MkdirAsync() {
  StartChain(TFtpRequest::MkdirAsync, {fsOpen, fsUser, fsPass, fsCwd, fsMkd, fsQuit});
}

void TCustomFtpCli::RmdirAsync() {
  StartChain(TFtpRequest::RmdirAsync, {fsOpen, fsUser, fsPass, fsCwd, fsRmd, fsQuit});
}

void TCustomFtpCli::DeleteAsync() {
  StartChain(TFtpRequest::DeleteAsync, {fsOpen, fsUser, fsPass, fsCwd, fsDele, fsQuit});
}

void TCustomFtpCli::RenAsync() { StartChain(TFtpRequest::RenAsync, {fsRenFrom, fsRenTo}); }

void TCustomFtpCli::RenameAsync() {
  StartChain(TFtpRequest::RenameAsync, {fsOpen, fsUser, fsPass, fsCwd, fsRenFrom, fsRenTo, fsQuit});
}

void TCustomFtpCli::DoQuoteAsync() {
  StartChain(TFtpRequest::DoQuoteAsync, {fsOpen, fsUser, fsPass, fsCwd, fsQuote, fsQuit});
}
