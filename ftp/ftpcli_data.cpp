// Data connection and local files: PORT/PASV, downloads (RETR, LIST, NLST)
// into a local file or the display, uploads (STOR, APPE) from one, resume
// offsets, progress, the statistics line and every failure on these paths.
//
// A transfer is complete only when both the server's final reply and the
// close of the data connection have been seen, in either order.
#include "ftp/ftpcli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ticks.h"
#include "platform/winsock.h"

namespace {

// Share modes as advisory open-file-description locks: other clients of the
// same locks (our own transfers, in this or another process) are denied, other
// programs are not. A mode that denies anything locks the whole file: a
// download, which writes, with a write lock, so that no other transfer of ours
// reads or writes the file meanwhile (two downloads into one file would mix
// their bytes); an upload, which only reads, with a read lock, which keeps
// writers out and lets other readers in.
enum class LockKind { None, Read, Write };

LockKind LockForShareWord(std::uint32_t Word, bool Writable) {
  switch (Word) {
    case 0x10:  // ftpShareExclusive
    case 0x20:  // ftpShareDenyWrite
    case 0x30:  // ftpShareDenyRead
      return Writable ? LockKind::Write : LockKind::Read;
    default:  // ftpShareCompat, ftpShareDenyNone
      return LockKind::None;
  }
}

// False only when another holder of our locks denies us the file. A file
// system without these locks leaves the file unlocked: the locks are
// advisory, and refusing every transfer there would help nobody.
bool LockLocalFile(int Fd, LockKind Kind) {
  if (Kind == LockKind::None) return true;
  struct flock fl {};
  fl.l_type = Kind == LockKind::Read ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // the whole file, however far it grows
  if (::fcntl(Fd, F_OFD_SETLK, &fl) == 0) return true;
  return errno != EAGAIN && errno != EACCES;
}

// Writes all of Len bytes; false with errno set on failure (disk full ...).
bool WriteAll(int Fd, const char* Data, std::size_t Len) {
  while (Len > 0) {
    const ssize_t n = ::write(Fd, Data, Len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    Data += n;
    Len -= static_cast<std::size_t>(n);
  }
  return true;
}

// Devices (/dev/null) and pipes have nothing to empty.
bool EmptyRegularFile(int Fd) {
  struct stat st {};
  if (::fstat(Fd, &st) != 0) return false;
  return !S_ISREG(st.st_mode) || ::ftruncate(Fd, 0) == 0;
}

std::string DottedAddress(std::uint32_t NetworkOrder) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = NetworkOrder;
  ::inet_ntop(AF_INET, &a, text, sizeof(text));
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Text routines

bool TCustomFtpCli::ParsePasvPort(const std::string& Reply, std::uint16_t& Port) {
  const std::size_t open = Reply.find('(');
  if (open == std::string::npos) return false;
  std::size_t pos = open + 1;
  int numbers[6] = {};
  for (int i = 0; i < 6; ++i) {
    pos = SkipBlanks(Reply, pos);
    const std::size_t digits = pos;
    int v = 0;
    while (pos < Reply.size() && Reply[pos] >= '0' && Reply[pos] <= '9' && pos - digits < 3) {
      v = v * 10 + (Reply[pos] - '0');
      ++pos;
    }
    if (pos == digits || v > 255) return false;
    numbers[i] = v;
    pos = SkipBlanks(Reply, pos);
    const char expected = i < 5 ? ',' : ')';
    if (pos >= Reply.size() || Reply[pos] != expected) return false;
    ++pos;
  }
  // The four address numbers are not used: the data connection goes to the
  // control connection's peer, whatever the reply names (no bounce attacks).
  Port = static_cast<std::uint16_t>(numbers[4] * 256 + numbers[5]);
  return true;
}

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
// Preparing the data connection

std::string TCustomFtpCli::PortCommand(const std::string& ControlAddr, std::uint32_t LocalAddr, std::uint16_t Port) {
  const std::string port = std::to_string(Port / 256) + "," + std::to_string(Port % 256);
  if (ControlAddr == "127.0.0.1") return "PORT 127,0,0,1," + port;
  const auto* a = reinterpret_cast<const unsigned char*>(&LocalAddr);  // network order
  return "PORT " + std::to_string(a[0]) + "," + std::to_string(a[1]) + "," + std::to_string(a[2]) + "," +
         std::to_string(a[3]) + "," + port;
}

void TCustomFtpCli::PortAsync() {
  EnsureReady();
  if (!FControlConnected) throw FtpException("FTP component not connected");

  TWSocket& data = *FDataSocket;
  // Some servers (pyftpdlib) connect as soon as PORT is answered, before the
  // transfer command binds its handler; the accept notification comes once
  // and only accepting re-arms it, so it is noted here and taken up later.
  FDataAcceptPending = false;
  data.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) { FDataAcceptPending = true; };
  data.OnSessionClosed = nullptr;
  data.OnDataAvailable = nullptr;
  data.OnDataSent = nullptr;
  data.OnSessionConnected = nullptr;
  // A socket left open by an earlier transfer cannot take new settings.
  if (data.State() != wsClosed) data.Close();
  data.SetProto("tcp");
  data.SetAddr("0.0.0.0");
  data.SetPort("0");

  std::uint16_t port = 0;
  if (!FPassiveMode) {
    data.SetLingerOnOff(wsLingerOn);
    data.SetLingerTimeout(10);
    data.Listen();
    sockaddr_in local{};
    int len = sizeof(local);
    data.GetSockName(local, len);
    port = ntohs(local.sin_port);
  }

  sockaddr_in control{};
  int len = sizeof(control);
  FControlSocket->GetSockName(control, len);
  const std::string command = FPassiveMode ? std::string("PASV")
                                           : PortCommand(FControlSocket->Addr(), control.sin_addr.s_addr, port);

  FCurrentStep = fsPort;
  SendRequest(TFtpRequest::PortAsync, command, {200, 227},
              FPassiveMode ? &TCustomFtpCli::PasvAfterReply : nullptr);
}

void TCustomFtpCli::PasvAfterReply() {
  std::uint16_t port = 0;
  if (FResultCode == 0 && FReplyCode == 227 && !ParsePasvPort(FReplyLine, port)) {
    // Without the address numbers there is nowhere to connect to; waiting for
    // a data connection would only end in the blocking call's timeout.
    FReplyCode = 550;
    SetErrorOnce();
    FResultCode = 550;
  }
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
}

// ---------------------------------------------------------------------------
// Local files

bool TCustomFtpCli::OpenLocalFileForReceive() {
  ReleaseLocalFile();
  const char* name = FLocalFileName.c_str();
  int fd = -1;
  if (FRestartOffset <= 0) {
    if (FShareMode == 0x00) {
      // Compatibility mode: the creating handle is kept, no lock.
      fd = ::open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd < 0) return false;
    } else {
      // Locked before it is emptied: a file another transfer holds keeps its bytes.
      fd = ::open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0) return false;
      if (!LockLocalFile(fd, LockForShareWord(FShareMode, true)) || !EmptyRegularFile(fd)) {
        ::close(fd);
        return false;
      }
    }
  } else {
    fd = ::open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    if (!LockLocalFile(fd, LockForShareWord(FShareMode, true)) ||
        ::lseek(fd, static_cast<off_t>(FRestartOffset), SEEK_SET) < 0) {
      ::close(fd);
      return false;
    }
  }
  FLocalFile = fd;
  StartFileBlock(true);
  return true;
}

bool TCustomFtpCli::OpenLocalFileForSend() {
  ReleaseLocalFile();
  const int fd = ::open(FLocalFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  if (!LockLocalFile(fd, LockForShareWord(FShareMode, false)) ||
      (FRestartOffset > 0 && ::lseek(fd, static_cast<off_t>(FRestartOffset), SEEK_SET) < 0)) {
    ::close(fd);
    return false;
  }
  FLocalFile = fd;
  StartFileBlock(false);
  return true;
}

void TCustomFtpCli::StartFileBlock(bool ForWrite) {
  if (!FFileBlock) FFileBlock = std::make_unique<char[]>(FTP_FILE_BLOCK_SIZE);
  FFileBlockLen = 0;
  FFileBlockPos = 0;
  FFileBlockForWrite = ForWrite;
}

bool TCustomFtpCli::FlushLocalFile() {
  if (FLocalFile < 0 || !FFileBlockForWrite || FFileBlockLen == 0) return true;
  const std::size_t len = static_cast<std::size_t>(FFileBlockLen);
  FFileBlockLen = 0;
  return WriteAll(FLocalFile, FFileBlock.get(), len);
}

bool TCustomFtpCli::ReleaseLocalFile() {
  if (FLocalFile < 0) return true;
  // Every end of a download, failed or aborted ones included, keeps what
  // arrived: the held block goes to the file before it is closed.
  const bool flushed = FlushLocalFile();
  const int err = errno;
  const int fd = FLocalFile;
  FLocalFile = -1;
  FFileBlockLen = 0;
  FFileBlockPos = 0;
  // The lock goes with the descriptor.
  const bool closed = ::close(fd) == 0;
  if (!flushed) errno = err;
  return flushed && closed;
}

void TCustomFtpCli::NoteTransferError(std::uint16_t Code, const std::string& Line) {
  if (FTransferError != 0) return;
  FTransferError = Code;
  FTransferErrorLine = Line;
  // The first failure of the request is the one the user sees.
  if (FErrorMessage.empty()) FErrorMessage = Line;
}

// ---------------------------------------------------------------------------
// Downloads

void TCustomFtpCli::StartRetr() { StartReceive(TFtpRequest::GetAsync, "RETR"); }
void TCustomFtpCli::StartList() { StartReceive(TFtpRequest::DirAsync, "LIST"); }
void TCustomFtpCli::StartNlst() { StartReceive(TFtpRequest::LsAsync, "NLST"); }

void TCustomFtpCli::StartReceive(TFtpRequest Request, const std::string& Word) {
  if (!FControlConnected) throw FtpException(Word + ": not connected");
  if (FLocalFileName.empty() && !FDisplayFileFlag) throw FtpException("LocalFileName empty");
  if (!FInChain) FCurrentRequest = Request;
  FTransferCommand = Word;

  FReplyDone = false;
  FDataDone = false;
  FDoneReported = false;
  FTransferredBytes = 0;
  FDataError = 0;
  FTransferError = 0;
  FTransferErrorLine.clear();
  FTransferCommandSent = false;
  FDisplayQueue.clear();
  FTransferDoneHeld = false;
  FTransferOffset = FRestartOffset > 0 ? FRestartOffset : 0;
  // A SIZE answered just before for this very file tells how long it must end.
  FExpectedSizeWhole = Word == "RETR" && FSizeFileName == FHostFileName && !FHostFileName.empty();
  FExpectedSize = FExpectedSizeWhole ? FRemoteSize : -1;
  FSizeFileName.clear();
  FTransferStart = plat::GetTickCount();

  TWSocket& data = *FDataSocket;
  data.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t Error) { DataAcceptForReceive(Error); };

  if (!FDisplayFileFlag && !OpenLocalFileForReceive()) {
    FReplyLine = "Unable to open local file " + FLocalFileName;
    FReplyCode = 550;
    SetErrorOnce();
    auto alive = AliveToken();
    data.Close();
    if (alive.expired()) return;
    FResultCode = 550;
    FinishRequest(550);
    return;
  }

  if (FPassiveMode && !ConnectPassiveData(FPasvReply, &TCustomFtpCli::DataConnectedForReceive)) return;

  auto alive = AliveToken();
  // Set before any handler runs: one that runs the loop may see the data
  // connection fail, which must know that the command goes out.
  SetNext(&TCustomFtpCli::RetrFirstReply);
  FTransferCommandSent = true;
  SetEngineState(fcsAwaitingReply);
  if (alive.expired() || FDoneReported) return;
  if (!IssueCommand(FHostFileName.empty() ? Word : Word + " " + FHostFileName)) return;
  TakePendingAccept();
}

// Passive mode: connect the data socket to the port the PASV reply named, on
// the control connection's host. A reply without a usable port ends the
// request with 550 and that line; false then.
bool TCustomFtpCli::ConnectPassiveData(std::string PasvLine, void (TCustomFtpCli::*OnConnected)(std::uint16_t)) {
  std::uint16_t port = 0;
  if (!ParsePasvPort(PasvLine, port)) {
    FReplyLine = PasvLine.empty() ? "No PASV reply to take the data port from" : PasvLine;
    FReplyCode = 550;
    SetErrorOnce();
    ReleaseLocalFile();
    FResultCode = 550;
    FinishRequest(550);
    return false;
  }
  TWSocket& data = *FDataSocket;
  if (data.State() != wsClosed) data.Close();
  data.SetPort(std::to_string(port));
  data.SetAddr(FControlSocket->Addr());
  data.OnSessionConnected = [this, OnConnected](TCustomWSocket*, std::uint16_t Error) { (this->*OnConnected)(Error); };
  data.SetLingerOnOff(wsLingerOff);
  data.SetLingerTimeout(0);
  data.Connect();
  return true;
}

void TCustomFtpCli::TakePendingAccept() {
  if (!FDataAcceptPending || FPassiveMode || FDataSocket->State() != wsListening) return;
  FDataAcceptPending = false;
  if (FDataSocket->OnSessionAvailable) FDataSocket->OnSessionAvailable(FDataSocket.get(), 0);
}

bool TCustomFtpCli::DataPeerIsServer(plat::SOCKET Handle) {
  sockaddr_in peer{};
  socklen_t peerLen = sizeof(peer);
  sockaddr_in server{};
  int serverLen = sizeof(server);
  const bool known = plat::getpeername(Handle, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0 &&
                     FControlSocket->GetPeerSockAddr(server, serverLen) == 0;
  if (known && peer.sin_addr.s_addr == server.sin_addr.s_addr) return true;
  // Anyone who reaches the listening port first would otherwise get (or
  // feed) the transfer: keep waiting for the server's own connection.
  DoDisplay("! Data connection from " + (known ? DottedAddress(peer.sin_addr.s_addr) : std::string("?")) + ":" +
            std::to_string(ntohs(peer.sin_port)) + " refused: not the server's address " +
            (known ? DottedAddress(server.sin_addr.s_addr) : std::string("?")));
  return false;
}

void TCustomFtpCli::DataAcceptForReceive(std::uint16_t) {
  TWSocket& data = *FDataSocket;
  const plat::SOCKET h = data.Accept();
  if (h == plat::INVALID_SOCKET) return;
  auto alive = AliveToken();
  if (!DataPeerIsServer(h)) {
    plat::closesocket(h);
    return;
  }
  if (alive.expired()) {
    plat::closesocket(h);
    return;
  }
  data.Close();  // the listening socket; no close handler is bound yet
  if (alive.expired()) {
    plat::closesocket(h);
    return;
  }
  data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t Error) { DataClosedAfterReceive(Error); };
  data.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t Error) {
    try {
      DataReceive(Error);
    } catch (...) {
      ReportException(std::current_exception());
    }
  };
  data.OnDataSent = nullptr;
  data.Dup(h);
  FTransferStart = plat::GetTickCount();
}

void TCustomFtpCli::DataConnectedForReceive(std::uint16_t Error) {
  TWSocket& data = *FDataSocket;
  data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) { DataClosedAfterReceive(E); };
  data.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t E) {
    try {
      DataReceive(E);
    } catch (...) {
      ReportException(std::current_exception());
    }
  };
  data.OnDataSent = nullptr;
  FTransferStart = plat::GetTickCount();
  if (Error == 0) return;
  if (FDoneReported) return;  // the request already ended

  const std::string line = "Unable to establish data connection, error #" + std::to_string(Error);
  FReplyLine = line;
  FReplyCode = 550;
  SetErrorOnce();
  auto alive = AliveToken();
  data.Close();
  if (alive.expired()) return;
  ReleaseLocalFile();
  NoteTransferError(550, line);
  if (FTransferCommandSent && !FReplyDone) {
    // The server answers the command it got (425, 426) once it gives up on
    // the connection; left unread, that reply would answer the next command.
    SetNext(&TCustomFtpCli::DataFailedReply);
    return;
  }
  EndWithTransferError();
}

void TCustomFtpCli::DataFailedReply() {
  if (!ReplyComplete()) return;
  std::int64_t code = 0;
  ParseInt(FReplyLine, 0, code);
  if (IsPreliminary(code)) return;  // its final reply follows
  SetNext(nullptr);
  EndWithTransferError();
}

void TCustomFtpCli::EndWithTransferError() {
  ReleaseLocalFile();
  FRestartOffset = 0;
  TransferFailed(FTransferError != 0 ? FTransferError : 550);
}

void TCustomFtpCli::DataReceive(std::uint16_t) {
  if (!DoProgress()) return;

  TWSocket& data = *FDataSocket;
  // Received straight into the file block when there is a file; a full block
  // is written out before the next chunk.
  char scratch[FTP_RECEIVE_CHUNK_SIZE];
  char* buffer = scratch;
  if (FLocalFile >= 0) {
    if (FFileBlockLen + FTP_RECEIVE_CHUNK_SIZE > FTP_FILE_BLOCK_SIZE && !FlushLocalFile()) {
      LocalWriteFailed(errno);
      return;
    }
    buffer = FFileBlock.get() + FFileBlockLen;
  }
  const int n = data.Receive(buffer, FTP_RECEIVE_CHUNK_SIZE);
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

  FTransferredBytes += n;
  if (FLocalFile >= 0) FFileBlockLen += n;

  if (FDisplayFileFlag) {
    for (std::string& line : DisplayFileLines(buffer, static_cast<std::size_t>(n)))
      FDisplayQueue.push_back(std::move(line));
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
    while (!FDisplayQueue.empty()) {
      const std::string line = std::move(FDisplayQueue.front());
      FDisplayQueue.pop_front();
      try {
        DoDisplayFile(line);
      } catch (...) {
        if (!raised) raised = std::current_exception();
      }
      if (alive.expired()) return;
    }
  }
  if (FTransferDoneHeld) {
    FTransferDoneHeld = false;
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

void TCustomFtpCli::RetrFirstReply() {
  auto alive = AliveToken();
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 125 || FReplyCode == 150) {
    if (FTransferCommand == "RETR" && !FExpectedSizeWhole) FExpectedSize = AnnouncedSize(FReplyLine);
    SetNext(&TCustomFtpCli::RetrFinalReply);
    return;
  }
  SetErrorOnce();
  SetNext(nullptr);
  if (FDataSocket->State() != wsClosed) FDataSocket->Close();
  if (alive.expired()) return;
  ReleaseLocalFile();
  FRestartOffset = 0;
  FResultCode = FailureCode(FReplyCode);
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
}

void TCustomFtpCli::RetrFinalReply() {
  auto alive = AliveToken();
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 125 || FReplyCode == 226 || FReplyCode == 250) {
    FReplyDone = true;
    CheckReceiveDone();
    return;
  }
  SetErrorOnce();
  ReleaseLocalFile();
  if (FDataSocket->State() != wsClosed) FDataSocket->Close();
  if (alive.expired()) return;
  DoDisplay("! RETR/LIST/NLST Failed");
  if (alive.expired()) return;
  FResultCode = FailureCode(FReplyCode);
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
}

void TCustomFtpCli::DataClosedAfterReceive(std::uint16_t Error) {
  if (!ReleaseLocalFile()) {
    const int err = errno;
    auto alive = AliveToken();
    DoDisplay("! Error writing local file");
    if (alive.expired()) return;
    NoteTransferError(550, "Error writing local file " + FLocalFileName + ": " + std::strerror(err));
  }
  FDataDone = true;
  FDataError = Error;
  CheckReceiveDone();
}

void TCustomFtpCli::CheckReceiveDone() { CheckTransferDone(); }
void TCustomFtpCli::CheckSendDone() { CheckTransferDone(); }

void TCustomFtpCli::CheckTransferDone() {
  if (!FReplyDone || !FDataDone) return;
  if (FDisplayDraining) {
    FTransferDoneHeld = true;  // the lines still being shown come first
    return;
  }
  if (FDoneReported) return;
  CheckDownloadSize();
  auto alive = AliveToken();
  ShowTransferStats();
  if (alive.expired()) return;
  FRestartOffset = 0;
  if (FTransferError != 0) {
    TransferFailed(FTransferError);
    return;
  }
  FResultCode = FDataError;
  FinishRequest(FDataError);
}

void TCustomFtpCli::CheckDownloadSize() {
  // ASCII transfers change line ends, so only binary files have a size to keep.
  if (FExpectedSize < 0 || FTransferCommand != "RETR" || FType != 'I' || FDisplayFileFlag) return;
  if (FTransferError != 0 || FDataError != 0) return;
  const std::int64_t size = LocalFileSize(FLocalFileName);
  if (size < 0) return;  // a device or pipe
  // SIZE gives the whole file; a 150 reply on a resume may give what is left of it.
  if (size == FExpectedSize ||
      (!FExpectedSizeWhole && FTransferOffset > 0 && size == FTransferOffset + FExpectedSize))
    return;
  NoteTransferError(550, "Download incomplete: " + FLocalFileName + " has " + std::to_string(size) +
                             " bytes, the server's file " + std::to_string(FExpectedSize));
}

void TCustomFtpCli::TransferFailed(std::uint16_t Code) {
  FReplyLine = FTransferErrorLine;
  FReplyCode = Code;
  FResultCode = Code;
  FinishRequest(Code);
}

// ---------------------------------------------------------------------------
// Uploads

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

void TCustomFtpCli::StartSend() {
  if (!FControlConnected) throw FtpException("STOR/APPE: not connected");
  if (FLocalFileName.empty()) throw FtpException("LocalFileName empty");

  FReplyDone = false;
  FDataDone = false;
  FDoneReported = false;
  FTransferredBytes = 0;
  FDataError = 0;
  FTransferError = 0;
  FTransferErrorLine.clear();
  FTransferCommandSent = false;
  FExpectedSize = -1;
  FExpectedSizeWhole = false;
  FTransferStart = plat::GetTickCount();
  // No chain sends REST before an upload: an offset still set belongs to an
  // earlier download whose chain failed, and would skip the file's first bytes.
  if (FInChain) FRestartOffset = 0;

  auto alive = AliveToken();
  bool cancel = false;
  DoReadyToTransmit(cancel);
  if (alive.expired()) return;
  if (cancel) {
    FErrorMessage = "426 Transmit cancelled by application";
    FReplyCode = 426;
    DoDisplay("! " + FErrorMessage);
    if (alive.expired()) return;
    FResultCode = 426;
    FinishRequest(426);
    return;
  }

  TWSocket& data = *FDataSocket;
  data.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t Error) { DataAcceptForSend(Error); };

  FUploadEof = false;
  FUploadStarted = false;
  if (!OpenLocalFileForSend()) {
    FErrorMessage = "426 Unable to open local file " + FLocalFileName;
    FReplyCode = 426;
    DoDisplay("! " + FErrorMessage);
    if (alive.expired()) return;
    data.Close();
    if (alive.expired()) return;
    FResultCode = 426;
    FinishRequest(426);
    return;
  }

  if (FPassiveMode) {
    ConnectPassiveData(FReplyLine, &TCustomFtpCli::DataConnectedForSend);
    return;  // the command goes out once the connection is up
  }

  SetNext(&TCustomFtpCli::StorFirstReply);
  FTransferCommandSent = true;
  SetEngineState(fcsAwaitingReply);
  if (alive.expired() || FDoneReported) return;
  if (!IssueCommand((FAppend ? "APPE " : "STOR ") + FHostFileName)) return;
  TakePendingAccept();
}

void TCustomFtpCli::DataAcceptForSend(std::uint16_t) {
  TWSocket& data = *FDataSocket;
  const plat::SOCKET h = data.Accept();
  if (h == plat::INVALID_SOCKET) return;
  auto alive = AliveToken();
  if (!DataPeerIsServer(h) || alive.expired()) {
    plat::closesocket(h);
    return;
  }
  data.Close();  // the listening socket
  if (alive.expired()) {
    plat::closesocket(h);
    return;
  }
  data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t Error) { DataClosedAfterSend(Error); };
  data.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t Error) {
    try {
      DataDiscard(Error);
    } catch (...) {
      ReportException(std::current_exception());
    }
  };
  data.OnDataSent = [this](TCustomWSocket*, std::uint16_t Error) { SendNextChunk(Error); };
  data.Dup(h);
  if (alive.expired() || data.HSocket() == plat::INVALID_SOCKET) return;

  int size = 0;
  socklen_t len = sizeof(size);
  if (plat::getsockopt(data.HSocket(), SOL_SOCKET, SO_SNDBUF, &size, &len) == plat::SOCKET_ERROR)
    throw FtpException("winsock.getsockopt(SO_SNDBUF) failed");
  data.SetLingerOnOff(wsLingerOff);
  data.SetLingerTimeout(10);
  data.ApplyLinger();
}

void TCustomFtpCli::DataConnectedForSend(std::uint16_t Error) {
  TWSocket& data = *FDataSocket;
  data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) { DataClosedAfterSend(E); };
  data.OnDataAvailable = nullptr;
  data.OnDataSent = nullptr;
  FTransferStart = plat::GetTickCount();
  auto alive = AliveToken();
  if (FDoneReported) return;  // the request already ended
  if (Error != 0) {
    FReplyLine = "Unable to establish data connection, error #" + std::to_string(Error);
    FReplyCode = 550;
    SetErrorOnce();
    data.Close();
    if (alive.expired()) return;
    ReleaseLocalFile();
    FResultCode = 550;
    FinishRequest(550);
    return;
  }
  SetNext(&TCustomFtpCli::StorFirstReply);
  FTransferCommandSent = true;
  SetEngineState(fcsAwaitingReply);
  if (alive.expired() || FDoneReported) return;
  IssueCommand((FAppend ? "APPE " : "STOR ") + FHostFileName);
}

void TCustomFtpCli::StorFirstReply() {
  auto alive = AliveToken();
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 125 || FReplyCode == 150) {
    FUploadStarted = true;
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
  SetErrorOnce();
  SetNext(nullptr);
  if (FDataSocket->State() != wsClosed) FDataSocket->Close();
  if (alive.expired()) return;
  ReleaseLocalFile();
  FRestartOffset = 0;
  FResultCode = FReplyCode;
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
}

void TCustomFtpCli::StorFinalReply() {
  auto alive = AliveToken();
  if (!ReplyComplete()) return;
  FReplyCode = LeadingCode(FReplyLine);
  if (FReplyCode == 226 || FReplyCode == 250) {
    FReplyDone = true;
    CheckSendDone();
    return;
  }
  SetErrorOnce();
  ReleaseLocalFile();
  if (FDataSocket->State() != wsClosed) FDataSocket->Close();
  if (alive.expired()) return;
  DoDisplay("! STOR Failed");
  if (alive.expired()) return;
  FResultCode = FReplyCode;
  FinishRequest(static_cast<std::uint16_t>(FResultCode));
}

void TCustomFtpCli::SendDataMessage() {
  FTransferStart = plat::GetTickCount();
  SendNextChunk(0);
}

void TCustomFtpCli::SendNextChunk(std::uint16_t Error) {
  // A handler of this chunk that runs the loop may see the previous chunk's
  // "sent" again: the chunk being prepared is the answer to it.
  if (FLocalFile < 0 || FSendingChunk) return;
  TFlagScope sending(*this, FSendingChunk);
  auto alive = AliveToken();
  if (!DoProgress()) return;
  // The handler may have ended everything (AbortAsync releases the file).
  if (FLocalFile < 0) return;
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
  if (FUploadEof || !FUploadStarted || data.State() != wsConnected) return;

  if (FFileBlockPos == FFileBlockLen) {
    ssize_t n;
    do {
      n = ::read(FLocalFile, FFileBlock.get(), FTP_FILE_BLOCK_SIZE);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      NoteTransferError(426, "426 Error reading local file " + FLocalFileName + ": " + std::strerror(errno));
      DoDisplay("! Error reading file");
      if (alive.expired()) return;
      data.Close();
      return;
    }
    FFileBlockPos = 0;
    FFileBlockLen = static_cast<int>(n);
  }
  const int n = std::min(FTP_SEND_CHUNK_SIZE, FFileBlockLen - FFileBlockPos);
  if (n == 0) {
    FUploadEof = true;
    data.Close();  // fires DataClosedAfterSend at once
    return;
  }
  // Sent from the block itself: the socket copies it into its queue anyway.
  const char* chunk = FFileBlock.get() + FFileBlockPos;
  FFileBlockPos += n;
  FTransferredBytes += n;
  data.Send(chunk, n);
}

void TCustomFtpCli::DataDiscard(std::uint16_t) {
  char buffer[FTP_RECEIVE_CHUNK_SIZE];
  FDataSocket->Receive(buffer, sizeof(buffer));
}

void TCustomFtpCli::DataClosedAfterSend(std::uint16_t Error) {
  ReleaseLocalFile();
  FDataDone = true;
  FDataError = Error;
  CheckSendDone();
}

// ---------------------------------------------------------------------------
// Statistics

void TCustomFtpCli::ShowTransferStats() {
  FTransferStop = plat::GetTickCount();
  DoDisplay("! " + TransferStatsText(FTransferredBytes, FTransferStop - FTransferStart));
}
