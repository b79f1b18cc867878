// Transfers over the data connection: downloads (RETR, LIST, NLST) into the
// local file or the display, uploads (STOR, APPE) from it, their replies,
// progress, the statistics line and every failure on these paths.
//
// A transfer is complete only when both the server's final reply and the
// close of the data connection have been seen, in either order. The data
// connection itself is prepared in ftpcli_port.cpp, the local file kept by
// TFtpLocalFile (ftp_local_file.cpp).
#include "ftp/ftpcli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ticks.h"
#include "platform/winsock.h"

namespace {

// The code at the start of a reply line; 0 for an empty or non-numeric line.
int LeadingCode(const std::string& Line) {
  std::int64_t code = 0;
  TCustomFtpCli::ParseInt(Line, 0, code);
  return static_cast<int>(code);
}

// A reply without a code can never count as success.
std::uint16_t FailureCode(int Code) { return Code == 0 ? 550 : static_cast<std::uint16_t>(Code); }

// "(N bytes)" in a 150 reply (vsftpd, ProFTPD ...): the file's size; -1 without.
std::int64_t AnnouncedSize(const std::string& Line) {
  const std::size_t end = Line.find(" bytes)");
  if (end == std::string::npos) return -1;
  std::size_t begin = end;
  while (begin > 0 && Line[begin - 1] >= '0' && Line[begin - 1] <= '9') --begin;
  if (begin == end || begin == 0 || Line[begin - 1] != '(' || end - begin > 18) return -1;
  return std::stoll(Line.substr(begin, end - begin));
}

}  // namespace

// ---------------------------------------------------------------------------
// Text routines

std::vector<std::string> TCustomFtpCli::DisplayFileLines(const char* Data, std::size_t Len) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  while (i < Len) {
    const std::size_t begin = i;
    while (i < Len && Data[i] != '\r' && Data[i] != '\n') ++i;
    lines.emplace_back(Data + begin, i - begin);
    while (i < Len && (Data[i] == '\r' || Data[i] == '\n')) ++i;
  }
  return lines;
}

std::string TCustomFtpCli::TransferStatsText(std::int64_t Bytes, std::uint32_t ElapsedMs) {
  std::string text = std::to_string(Bytes) + " bytes received/sent in " + std::to_string(ElapsedMs / 1000) +
                     " seconds";
  if (ElapsedMs != 0) {
    // Small counts are scaled first so that they keep their precision; 64-bit
    // counts keep the product far from overflow either way.
    const std::int64_t elapsed = ElapsedMs;
    const std::int64_t rate = Bytes <= 32767 ? Bytes * 1000 / elapsed : (Bytes / elapsed) * 1000;
    text += " (" + std::to_string(rate) + " Bytes/sec)";
  }
  return text;
}

// ---------------------------------------------------------------------------
// What downloads and uploads share

void TCustomFtpCli::EndRequest(std::uint16_t Code, const std::string& Line) {
  if (!Line.empty()) {
    FReplyLine = Line;
    FReplyCode = Code;
  }
  if (Code != 0) SetErrorOnce();
  FResultCode = Code;
  FinishRequest(Code);
}

void TCustomFtpCli::BeginTransfer(const std::string& Command, bool Append) {
  FXfer = TFtpTransfer{};
  FXfer.Command = Command;
  FXfer.Append = Append;
  FXfer.Start = plat::GetTickCount();
  FDoneReported = false;
}

void TCustomFtpCli::SendTransferCommand(TFtpProc FirstReply, const std::string& Command) {
  auto alive = AliveToken();
  // Set before any handler runs: one that runs the loop may see the data
  // connection fail, which must know that the command goes out.
  SetNext(FirstReply);
  FXfer.CommandSent = true;
  // A control connection lost before the final reply fails the transfer.
  FReplyOutstanding = true;
  SetEngineState(fcsAwaitingReply);
  if (alive.expired() || FDoneReported) return;
  if (!IssueCommand(Command)) return;
  TakePendingAccept();
}

void TCustomFtpCli::NoteTransferError(std::uint16_t Code, const std::string& Line) {
  if (FXfer.Error != 0) return;
  FXfer.Error = Code;
  FXfer.ErrorLine = Line;
  // The first failure of the request is the one the user sees.
  if (FErrorMessage.empty()) FErrorMessage = Line;
}

void TCustomFtpCli::EndWithTransferError() {
  ReleaseLocalFile();
  FRestartOffset = 0;
  EndRequest(FXfer.Error != 0 ? FXfer.Error : 550, FXfer.ErrorLine);
}

void TCustomFtpCli::TransferRefused(const char* Notice) {
  auto alive = AliveToken();
  SetNext(nullptr);
  ReleaseLocalFile();
  if (FDataSocket->State() != wsClosed) FDataSocket->Close();
  if (alive.expired()) return;
  if (Notice != nullptr) {
    DoDisplay(Notice);
    if (alive.expired()) return;
  }
  FRestartOffset = 0;
  EndRequest(FailureCode(FReplyCode));
}

void TCustomFtpCli::DataClosed(std::uint16_t Error) {
  if (!ReleaseLocalFile()) {
    const int err = errno;
    auto alive = AliveToken();
    NoteTransferError(550, "Error writing local file " + FLocalFileName + ": " + std::strerror(err));
    DoDisplay("! Error writing local file");
    if (alive.expired()) return;
  }
  FXfer.DataDone = true;
  FXfer.DataError = Error;
  CheckTransferDone();
}

void TCustomFtpCli::CheckReceiveDone() { CheckTransferDone(); }
void TCustomFtpCli::CheckSendDone() { CheckTransferDone(); }

void TCustomFtpCli::CheckTransferDone() {
  if (!FXfer.ReplyDone || !FXfer.DataDone) return;
  if (FDisplayDraining) {
    FXfer.DoneHeld = true;  // the lines still being shown come first
    return;
  }
  if (FDoneReported) return;
  CheckDownloadSize();
  auto alive = AliveToken();
  ShowTransferStats();
  if (alive.expired()) return;
  FRestartOffset = 0;
  if (FXfer.Error != 0) {
    EndWithTransferError();
    return;
  }
  // A data connection that ended in an error (a reset) lost bytes; the reply
  // line stays the server's, as the error code says what happened.
  FResultCode = FXfer.DataError;
  FinishRequest(FXfer.DataError);
}

void TCustomFtpCli::CheckDownloadSize() {
  // ASCII transfers change line ends, so only binary files have a size to keep.
  if (FXfer.ExpectedSize < 0 || FXfer.Command != "RETR" || FType != 'I' || FDisplayFileFlag) return;
  if (FXfer.Error != 0 || FXfer.DataError != 0) return;
  const std::int64_t size = LocalFileSize(FLocalFileName);
  if (size < 0) return;  // a device or pipe
  // SIZE gives the whole file; a 150 reply on a resume may give what is left of it.
  if (size == FXfer.ExpectedSize ||
      (!FXfer.ExpectedSizeWhole && FXfer.Offset > 0 && size == FXfer.Offset + FXfer.ExpectedSize))
    return;
  NoteTransferError(550, "Download incomplete: " + FLocalFileName + " has " + std::to_string(size) +
                             " bytes, the server's file " + std::to_string(FXfer.ExpectedSize));
}

void TCustomFtpCli::BindDataHandlers(bool Receive) {
  TWSocket& data = *FDataSocket;
  data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t Error) { DataClosed(Error); };
  // The socket layer would swallow an exception from a data handler; the
  // application hears of it as of any other handler's.
  data.OnDataAvailable = [this, Receive](TCustomWSocket*, std::uint16_t Error) {
    try {
      if (Receive)
        DataReceive(Error);
      else
        DataDiscard(Error);
    } catch (...) {
      ReportException(std::current_exception());
    }
  };
  data.OnDataSent = nullptr;
}

// ---------------------------------------------------------------------------
// Downloads

void TCustomFtpCli::StartRetr() { StartReceive(TFtpRequest::GetAsync, "RETR"); }
void TCustomFtpCli::StartList() { StartReceive(TFtpRequest::DirAsync, ListsMachineReadable() ? "MLSD" : "LIST"); }
void TCustomFtpCli::StartNlst() { StartReceive(TFtpRequest::LsAsync, "NLST"); }

void TCustomFtpCli::StartReceive(TFtpRequest Request, const std::string& Word) {
  if (!FControlConnected) throw FtpException(Word + ": not connected");
  if (FLocalFileName.empty() && !FDisplayFileFlag) throw FtpException("LocalFileName empty");
  if (!FInChain) FCurrentRequest = Request;
  BeginTransfer(Word, false);
  FXfer.Offset = FRestartOffset > 0 ? FRestartOffset : 0;
  // A SIZE answered just before for this very file tells how long it must end.
  FXfer.ExpectedSizeWhole = Word == "RETR" && FSizeFileName == FHostFileName && !FHostFileName.empty();
  FXfer.ExpectedSize = FXfer.ExpectedSizeWhole ? FRemoteSize : -1;
  FSizeFileName.clear();

  FDataSocket->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t Error) { DataAcceptForReceive(Error); };

  if (!FDisplayFileFlag && !FLocalFile.OpenForWrite(FLocalFileName, FShareMode, FRestartOffset)) {
    EndRequest(550, "Unable to open local file " + FLocalFileName);
    return;
  }
  if (FPassiveMode && !ConnectPassiveData(FPasvReply, &TCustomFtpCli::DataConnectedForReceive)) return;
  SendTransferCommand(&TCustomFtpCli::RetrFirstReply, FHostFileName.empty() ? Word : Word + " " + FHostFileName);
}

void TCustomFtpCli::DataAcceptForReceive(std::uint16_t) {
  const plat::SOCKET h = AcceptDataConnection();
  if (h == plat::INVALID_SOCKET) return;
  BindDataHandlers(true);
  FDataSocket->Dup(h);
  FXfer.Start = plat::GetTickCount();
  StartDataTls();
}

void TCustomFtpCli::DataConnectedForReceive(std::uint16_t Error) {
  BindDataHandlers(true);
  FXfer.Start = plat::GetTickCount();
  if (Error != 0 && !FDoneReported) DataConnectFailed(Error);
  // The transfer command went out before the connection came up.
  if (Error == 0) StartDataTls();
}

void TCustomFtpCli::DataReceive(std::uint16_t) {
  if (!DoProgress()) return;

  TWSocket& data = *FDataSocket;
  // Received straight into the file's block when there is a file; over TLS
  // a record's worth at a time, as it comes decrypted in one piece.
  constexpr int kTlsChunk = 16 * 1024;
  const int chunk = data.TlsActive() ? kTlsChunk : FTP_RECEIVE_CHUNK_SIZE;
  char scratch[kTlsChunk];
  char* buffer = scratch;
  if (FLocalFile.IsOpen()) {
    buffer = FLocalFile.WriteSpace(chunk);
    if (buffer == nullptr) {
      LocalWriteFailed(errno);
      return;
    }
  }
  const int n = data.Receive(buffer, chunk);
  if (n == 0) return;
  if (n < 0) {
    if (data.State() == wsConnected && data.LastError() != plat::WSAEWOULDBLOCK) {
      auto alive = AliveToken();
      DoDisplay("! Data: Receive error " + std::to_string(data.LastError()));
      if (alive.expired()) return;
      data.Shutdown(2);
    }
    return;
  }

  FXfer.Bytes += n;
  if (FLocalFile.IsOpen()) FLocalFile.Wrote(n);

  if (FDisplayFileFlag) {
    for (std::string& line : DisplayFileLines(buffer, static_cast<std::size_t>(n)))
      FXfer.DisplayQueue.push_back(std::move(line));
    DrainDisplayQueue();
  }
}

void TCustomFtpCli::DrainDisplayQueue() {
  // A handler that runs the loop may receive the next chunk meanwhile: its
  // lines queue up behind these, and the transfer ends after the last one.
  if (FDisplayDraining) return;
  auto alive = AliveToken();
  std::exception_ptr raised;
  {
    TFlagScope draining(*this, FDisplayDraining);
    while (!FXfer.DisplayQueue.empty()) {
      const std::string line = std::move(FXfer.DisplayQueue.front());
      FXfer.DisplayQueue.pop_front();
      try {
        DoDisplayFile(line);
      } catch (...) {
        if (!raised) raised = std::current_exception();
      }
      if (alive.expired()) return;
    }
  }
  if (FXfer.DoneHeld) {
    FXfer.DoneHeld = false;
    CheckTransferDone();
    if (alive.expired()) return;
  }
  if (raised) std::rethrow_exception(raised);
}

void TCustomFtpCli::LocalWriteFailed(int Err) {
  auto alive = AliveToken();
  // The bytes are lost: the transfer must not end as a success, whatever the
  // server's final reply says (noted before a handler can let it end).
  NoteTransferError(550, "Error writing local file " + FLocalFileName + ": " + std::strerror(Err));
  ReleaseLocalFile();
  DoDisplay("! Error writing local file");
  if (alive.expired()) return;
  FDataSocket->Shutdown(2);
}

void TCustomFtpCli::RetrFirstReply() {
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 125 || FReplyCode == 150) {
    if (FXfer.Command == "RETR" && !FXfer.ExpectedSizeWhole) FXfer.ExpectedSize = AnnouncedSize(FReplyLine);
    SetNext(&TCustomFtpCli::RetrFinalReply);
    return;
  }
  TransferRefused(nullptr);
}

void TCustomFtpCli::RetrFinalReply() {
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 125 || FReplyCode == 226 || FReplyCode == 250) {
    FXfer.ReplyDone = true;
    FReplyOutstanding = false;
    CheckReceiveDone();
    return;
  }
  TransferRefused("! RETR/LIST/NLST Failed");
}

// ---------------------------------------------------------------------------
// Uploads

void TCustomFtpCli::StartStor() {
  FCurrentRequest = TFtpRequest::PutAsync;
  StartSend(false);
}

void TCustomFtpCli::StartAppe() {
  FCurrentRequest = TFtpRequest::AppendAsync;
  StartSend(true);
}

void TCustomFtpCli::StartSend(bool Append) {
  if (!FControlConnected) throw FtpException("STOR/APPE: not connected");
  if (FLocalFileName.empty()) throw FtpException("LocalFileName empty");
  BeginTransfer("", Append);
  FSizeFileName.clear();  // the upload may change the size SIZE gave
  // No chain sends REST before an upload: an offset still set belongs to an
  // earlier download whose chain failed, and would skip the file's first bytes.
  if (FInChain) FRestartOffset = 0;

  auto alive = AliveToken();
  bool cancel = false;
  DoReadyToTransmit(cancel);
  if (alive.expired()) return;
  std::string refusal;
  if (cancel) {
    refusal = "426 Transmit cancelled by application";
  } else {
    FDataSocket->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t Error) { DataAcceptForSend(Error); };
    if (!FLocalFile.OpenForRead(FLocalFileName, FShareMode, FRestartOffset))
      refusal = "426 Unable to open local file " + FLocalFileName;
  }
  if (!refusal.empty()) {
    // The engine's own reason, shown like a server's: it heads ErrorMessage.
    FErrorMessage = refusal;
    DoDisplay("! " + refusal);
    if (alive.expired()) return;
    FReplyCode = 426;
    EndRequest(426);
    return;
  }

  if (FPassiveMode) {
    ConnectPassiveData(FReplyLine, &TCustomFtpCli::DataConnectedForSend);
    return;  // the command goes out once the connection is up
  }
  SendTransferCommand(&TCustomFtpCli::StorFirstReply, (Append ? "APPE " : "STOR ") + FHostFileName);
}

void TCustomFtpCli::DataAcceptForSend(std::uint16_t) {
  const plat::SOCKET h = AcceptDataConnection();
  if (h == plat::INVALID_SOCKET) return;
  TWSocket& data = *FDataSocket;
  BindDataHandlers(false);
  data.OnDataSent = [this](TCustomWSocket*, std::uint16_t Error) { SendNextChunk(Error); };
  auto alive = AliveToken();
  data.Dup(h);
  if (alive.expired() || data.HSocket() == plat::INVALID_SOCKET) return;

  int size = 0;
  socklen_t len = sizeof(size);
  if (plat::getsockopt(data.HSocket(), SOL_SOCKET, SO_SNDBUF, &size, &len) == plat::SOCKET_ERROR)
    throw FtpException("winsock.getsockopt(SO_SNDBUF) failed");
  data.SetLingerOnOff(wsLingerOff);
  data.SetLingerTimeout(10);
  data.ApplyLinger();
  StartDataTls();
}

void TCustomFtpCli::DataConnectedForSend(std::uint16_t Error) {
  FDataSocket->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) { DataClosed(E); };
  FDataSocket->OnDataAvailable = nullptr;
  FDataSocket->OnDataSent = nullptr;
  FXfer.Start = plat::GetTickCount();
  if (FDoneReported) return;  // the request already ended
  if (Error != 0) {
    DataConnectFailed(Error);
    return;
  }
  auto alive = AliveToken();
  SendTransferCommand(&TCustomFtpCli::StorFirstReply, (FXfer.Append ? "APPE " : "STOR ") + FHostFileName);
  // Some servers reset a data connection whose TLS starts before its command.
  if (!alive.expired() && !FDoneReported) StartDataTls();
}

void TCustomFtpCli::StorFirstReply() {
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 125 || FReplyCode == 150) {
    FXfer.UploadStarted = true;
    // Set first: an empty file ends the data flow inside SendNextChunk.
    SetNext(&TCustomFtpCli::StorFinalReply);
    if (FPassiveMode) {
      FDataSocket->OnDataSent = [this](TCustomWSocket*, std::uint16_t Error) { SendNextChunk(Error); };
      SendNextChunk(0);
    } else {
      // After this reply handler has returned.
      FLoop->PostMessage(FEngineWindow, WM_FTP_SEND_DATA, 0, 0);
    }
    return;
  }
  TransferRefused(nullptr);
}

void TCustomFtpCli::StorFinalReply() {
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 226 || FReplyCode == 250) {
    FXfer.ReplyDone = true;
    FReplyOutstanding = false;
    CheckSendDone();
    return;
  }
  TransferRefused("! STOR Failed");
}

void TCustomFtpCli::SendDataMessage() {
  FXfer.Start = plat::GetTickCount();
  SendNextChunk(0);
}

void TCustomFtpCli::SendNextChunk(std::uint16_t Error) {
  // A handler of this chunk that runs the loop may see the previous chunk's
  // "sent" again: the chunk being prepared is the answer to it.
  if (!FLocalFile.IsOpen() || FSendingChunk) return;
  TFlagScope sending(*this, FSendingChunk);
  auto alive = AliveToken();
  if (!DoProgress()) return;
  // The handler may have ended everything (AbortAsync releases the file).
  if (!FLocalFile.IsOpen()) return;
  TWSocket& data = *FDataSocket;
  if (Error != 0) {
    // The server would see a short file and could answer 226.
    NoteTransferError(426, "426 Error #" + std::to_string(Error) + " sending data");
    DoDisplay("! Error #" + std::to_string(Error) + " sending data");
    if (alive.expired()) return;
    data.Close();
    return;
  }
  // Nothing is read before the server accepted the command, nor before its
  // data connection is up (in active mode the 150 may come first): a chunk
  // read then would be lost.
  if (FXfer.UploadEof || !FXfer.UploadStarted || !DataReady()) return;

  // Over TLS, chunks of four full records: fewer, larger writes cost the least.
  const char* chunk = nullptr;
  const int n = FLocalFile.ReadChunk(data.TlsActive() ? 64 * 1024 : FTP_SEND_CHUNK_SIZE, chunk);
  if (n < 0) {
    NoteTransferError(426, "426 Error reading local file " + FLocalFileName + ": " + std::strerror(errno));
    DoDisplay("! Error reading file");
    if (alive.expired()) return;
    data.Close();
    return;
  }
  if (n == 0) {
    FXfer.UploadEof = true;
    data.Close();  // fires DataClosed at once
    return;
  }
  FXfer.Bytes += n;
  data.Send(chunk, n);  // the socket copies it into its queue
}

void TCustomFtpCli::DataDiscard(std::uint16_t) {
  char buffer[FTP_RECEIVE_CHUNK_SIZE];
  FDataSocket->Receive(buffer, sizeof(buffer));
}

// ---------------------------------------------------------------------------
// Statistics

void TCustomFtpCli::ShowTransferStats() {
  FXfer.Stop = plat::GetTickCount();
  DoDisplay("! " + TransferStatsText(FXfer.Bytes, FXfer.Stop - FXfer.Start));
}
