// FTP over TLS (RFC 4217): AUTH TLS and the handshake on the control
// connection (or TLS from the first byte), the certificate decision, PBSZ
// and PROT P after the login, and the handshake on every data connection,
// which resumes the control connection's session.
#include <cstdio>

#include "ftp/ftp_trust.h"
#include "ftp/ftpcli.h"

void TCustomFtpCli::RunTlsStep(TFtpStep Step) {
  switch (Step) {
    case fsAuth:
      // A server that knows no AUTH TLS is asked once more with the older word.
      FAuthWord = FAuthWord == "TLS" ? "SSL" : "TLS";
      SendRequest(FCurrentRequest, "AUTH " + FAuthWord, {234}, &TCustomFtpCli::AuthAfterReply);
      break;
    case fsPbsz:
      SendRequest(FCurrentRequest, "PBSZ 0", {200}, nullptr);
      break;
    case fsProt:
      SendRequest(FCurrentRequest, "PROT P", {200}, &TCustomFtpCli::ProtAfterReply);
      break;
    default:
      break;
  }
}

void TCustomFtpCli::AuthAfterReply() {
  if (FReplyCode == 234) {
    // Whatever came in clear behind the 234 was not protected by TLS: a
    // "230 logged in" slipped in there must not be taken for a reply.
    FReplyBuffer.clear();
    StartControlTls();
    return;
  }
  // The server knows no AUTH TLS: the step again, with the older word.
  if (FAuthWord == "TLS") {
    FResultCode = 0;
    FErrorMessage.clear();
    FPendingSteps.Include(fsAuth);
    FinishRequest(0);
    return;
  }
  const std::string refusal = FReplyLine;
  auto alive = AliveToken();
  if (FEncryption == ftpEncIfAvailable) {
    FResultCode = 0;
    FErrorMessage.clear();
    DoDisplay("! The server offers no TLS: this session is not encrypted");
    if (alive.expired()) return;
    FinishRequest(0);
    return;
  }
  // Required: nothing of the login goes out in clear.
  FErrorMessage.clear();
  FailRequest("The server offers no FTP over TLS, which this connection requires (" + refusal + ")", 534);
  if (alive.expired()) return;
  FControlSocket->Close();
}

void TCustomFtpCli::StartControlTls() {
  FControlSocket->OnTlsDone = [this](TCustomWSocket*, std::uint16_t Error) { ControlTlsDone(Error); };
  try {
    FControlSocket->StartTls(FHostName, FTlsJar);
  } catch (const ESocketException& e) {
    FailRequest(std::string("TLS could not start: ") + e.what(), WSOCKET_TLS_FAILED);
  }
}

void TCustomFtpCli::ControlTlsDone(std::uint16_t Error) {
  auto alive = AliveToken();
  std::string why;
  if (Error != 0) {
    why = "TLS handshake failed: " + FControlSocket->TlsError();
  } else {
    const TTlsInfo& info = FControlSocket->TlsInfo();
    DoDisplay("! TLS " + info.Version + ", " + info.Cipher);
    if (alive.expired()) return;
    DoDisplay("! Certificate " + info.Subject + ", SHA-256 " + info.Fingerprint + ": " + info.VerifyText);
    if (alive.expired()) return;
    if (AcceptCertificate(why)) {
      if (alive.expired()) return;
      FControlTls = true;
      // Explicit: the AUTH step is done, the login follows. Implicit: the
      // greeting comes next, through TLS.
      if (FEncryption != ftpEncImplicit) {
        FResultCode = 0;
        FinishRequest(0);
      }
      return;
    }
    if (alive.expired()) return;
  }
  FErrorMessage.clear();
  FReplyOutstanding = false;
  FailRequest(why, WSOCKET_TLS_FAILED);
  if (alive.expired()) return;
  FControlSocket->Close();
}

bool TCustomFtpCli::AcceptCertificate(std::string& Why) {
  const TTlsInfo& info = FControlSocket->TlsInfo();
  if (info.VerifyCode == 0) return true;
  const TTrustedCertificates trusted(FTrustFile);
  const std::string hostPort = FHostName + ":" + FControlSocket->Port();
  const TTrustedCertificates::TStatus status = trusted.Check(hostPort, info.Fingerprint);
  if (status == TTrustedCertificates::tcTrusted || FTrustedOnce == hostPort + " " + info.Fingerprint) return true;
  TFtpTrust trust = ftpTrustNo;
  auto alive = AliveToken();
  DoVerifyCertificate(info, status == TTrustedCertificates::tcChanged, trust);
  if (alive.expired()) return false;
  if (trust == ftpTrustAlways) {
    std::string error;
    if (!trusted.Remember(hostPort, info.Fingerprint, error)) {
      DoDisplay("! " + error);
      if (alive.expired()) return false;
    }
  }
  if (trust == ftpTrustOnce) FTrustedOnce = hostPort + " " + info.Fingerprint;
  if (trust != ftpTrustNo) return true;
  Why = std::string(status == TTrustedCertificates::tcChanged ? "The server's certificate has changed" :
                                                                "The server's certificate was not accepted") +
        " (" + info.VerifyText + "; SHA-256 " + info.Fingerprint + ")";
  return false;
}

void TCustomFtpCli::ProtAfterReply() {
  if (FResultCode == 0) {
    FDataTls = true;
    FinishRequest(0);
    return;
  }
  // The files would travel in clear, which is not what TLS was asked for.
  const std::string refusal = FReplyLine;
  FErrorMessage.clear();
  FailRequest("The server refused to encrypt data connections (" + refusal + ")", static_cast<std::uint16_t>(FReplyCode));
}

// ---------------------------------------------------------------------------
// Data connections

void TCustomFtpCli::StartDataTls() {
  if (!FDataTls || FDataSocket->State() != wsConnected || FDataSocket->TlsActive()) return;
  FDataSocket->OnTlsDone = [this](TCustomWSocket*, std::uint16_t Error) { DataTlsDone(Error); };
  try {
    FDataSocket->StartTls(FHostName, FTlsJar);
  } catch (const ESocketException& e) {
    NoteTransferError(425, std::string("425 TLS could not start on the data connection: ") + e.what());
    FDataSocket->Close();
  }
}

void TCustomFtpCli::DataTlsDone(std::uint16_t Error) {
  auto alive = AliveToken();
  if (Error != 0) {
    FXfer.TlsFailed = true;
    NoteTransferError(425, "425 The data connection's TLS handshake failed (was it opened in clear?): " +
                               FDataSocket->TlsError());
    DoDisplay("! Data: TLS handshake failed");
    if (alive.expired()) return;
    FDataSocket->Close();
    return;
  }
  const TTlsInfo& info = FDataSocket->TlsInfo();
  if (FtpTraceEnabled())
    std::fprintf(stderr, "ftp: data TLS %s, %s\n", info.Version.c_str(),
                 info.Resumed ? "session resumed" : "NOT resumed (a new session)");
  // An upload the server has accepted waits only for this.
  if (FXfer.UploadStarted && FXfer.Command.empty()) SendNextChunk(0);
}

bool TCustomFtpCli::DataReady() const {
  const TWSocket& data = *FDataSocket;
  return data.State() == wsConnected && (!data.TlsActive() || data.TlsUp());
}
