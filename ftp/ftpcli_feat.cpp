// What a server offers beyond RFC 959: FEAT after the login (RFC 2389),
// OPTS UTF8 ON where it lists UTF8, and the modification times of files
// (MDTM, and MFMT or vsftpd's "MDTM time path" to set them).
#include <cstdio>

#include "ftp/ftpcli.h"

void TCustomFtpCli::RunFeatureStep(TFtpStep Step) {
  if (Step == fsFeat) {
    FFeatLines.clear();
    SendRequest(FCurrentRequest, "FEAT", {211}, &TCustomFtpCli::FeatAfterReply);
  } else {
    SendRequest(FCurrentRequest, "OPTS UTF8 ON", {200}, &TCustomFtpCli::OptsAfterReply);
  }
}

void TCustomFtpCli::FinishHarmlessly() {
  // A server closing the connection (421) has not merely declined.
  if (FResultCode != 0 && FReplyCode != 421) {
    FResultCode = 0;
    FErrorMessage.clear();
  }
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
}

void TCustomFtpCli::FeatAfterReply() {
  // 500 or 502: a server of RFC 959 only, which offers nothing more.
  FFeatures.Parse(FFeatLines);
  FFeatLines.clear();
  if (FtpTraceEnabled()) {
    std::string names;
    for (const char* name : {"MLST", "UTF8", "MFMT", "MDTM", "SIZE", "REST", "EPSV", "AUTH"})
      if (FFeatures.Has(name)) names += std::string(names.empty() ? "" : " ") + name;
    std::fprintf(stderr, "features: %s\n", names.empty() ? "(none)" : names.c_str());
  }
  FinishHarmlessly();
}

void TCustomFtpCli::OptsAfterReply() {
  // pure-ftpd answers 504 and pyftpdlib 501, and both speak UTF-8 anyway.
  FinishHarmlessly();
}

void TCustomFtpCli::ModTimeAsync() {
  if (FHostFileName.empty()) throw FtpException("HostFileName emtpy");
  BeginCommand(fsMdtm);
  FRemoteModTime = -1;
  FErrorBeforeTime = FErrorMessage;
  SendRequest(TFtpRequest::ModTimeAsync, "MDTM " + FHostFileName, {213}, &TCustomFtpCli::TimeAfterReply);
}

void TCustomFtpCli::SetModTimeAsync() {
  if (FHostFileName.empty()) throw FtpException("HostFileName emtpy");
  if (FModTimeToSet < 0) throw FtpException("No modification time to set");
  if (FSetTimeRefused) throw FtpException("The server does not set modification times");
  BeginCommand(fsMfmt);
  FErrorBeforeTime = FErrorMessage;
  const std::string verb = FFeatures.Has("MFMT") ? "MFMT " : "MDTM ";
  SendRequest(TFtpRequest::SetModTimeAsync, verb + FormatFtpTime(FModTimeToSet) + " " + FHostFileName, {213, 253},
              &TCustomFtpCli::SetModTimeAfterReply);
}

void TCustomFtpCli::SetModTimeAfterReply() {
  // Asked once more for every file, a server that cannot would only fill the log.
  if (FResultCode >= 500 && FReplyCode != 421) FSetTimeRefused = true;
  TimeAfterReply();
}

void TCustomFtpCli::TimeAfterReply() {
  // A server that does not know the command would be asked for every file.
  if (FCurrentStep == fsMdtm && (FReplyCode == 500 || FReplyCode == 502)) FGetTimeRefused = true;
  // A file whose time is unknown is still whole: the failure of the next
  // real request must be the one ErrorMessage shows.
  FErrorMessage = FErrorBeforeTime;
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
}
