// Data connection and local files.
//
// Not built yet: the transfer steps (PORT/PASV, RETR/LIST/NLST, STOR/APPE)
// end their request at once with 550 and an ErrorMessage saying so, so that a
// chain reaching one fails clearly instead of waiting for a data connection
// that never comes. The declarations in ftpcli.h name what goes here.
#include "ftp/ftpcli.h"

#include <unistd.h>

namespace {
constexpr const char* kNoDataConnection = "550 Data connection not available: transfers are not supported yet";
}

void TCustomFtpCli::DataConnectionUnavailable(TFtpRequest Request, TFtpStep Step) {
  EnsureReady();
  if (!FControlConnected) throw FtpException("FTP component not connected");
  if (!FInChain) FCurrentRequest = Request;
  FCurrentStep = Step;
  FDoneReported = false;
  FReplyLine = kNoDataConnection;
  FReplyCode = 550;
  SetErrorOnce();
  DoDisplay(std::string("! ") + kNoDataConnection);
  FResultCode = 550;
  FinishRequest(550);
}

void TCustomFtpCli::PortAsync() { DataConnectionUnavailable(TFtpRequest::PortAsync, fsPort); }

void TCustomFtpCli::StartRetr() { StartReceive(TFtpRequest::GetAsync, "RETR"); }
void TCustomFtpCli::StartList() { StartReceive(TFtpRequest::DirAsync, "LIST"); }
void TCustomFtpCli::StartNlst() { StartReceive(TFtpRequest::LsAsync, "NLST"); }

void TCustomFtpCli::StartStor() {
  FAppend = false;
  FCurrentRequest = TFtpRequest::PutAsync;
  StartSend();
}

void TCustomFtpCli::StartAppe() {
  FAppend = true;
  FCurrentRequest = TFtpRequest::AppendAsync;
  StartSend();
}

void TCustomFtpCli::StartReceive(TFtpRequest Request, const std::string& Word) {
  if (!FControlConnected) throw FtpException(Word + ": not connected");
  DataConnectionUnavailable(Request, FCurrentStep);
}

void TCustomFtpCli::StartSend() {
  if (!FControlConnected) throw FtpException("STOR/APPE: not connected");
  DataConnectionUnavailable(FCurrentRequest, FCurrentStep);
}

void TCustomFtpCli::SendDataMessage() {}

void TCustomFtpCli::ShowTransferStats() {}

void TCustomFtpCli::ReleaseLocalFile() {
  if (FLocalFile >= 0) {
    ::close(FLocalFile);
    FLocalFile = -1;
  }
}
