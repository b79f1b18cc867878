// A session left open: NOOP after a minute without a command, so that the
// server's idle timeout and the routers between do not drop it. And the
// modification times that copies keep.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <QTimer>

#include "ftp/ftpcli.h"
#include "session/main.h"
#include "transfer/session_state.h"

void TForm1::CommandSent() {
  if (keepAlive_ && transfer::Session().Connected) KeepAliveTimer->start();
}

void TForm1::KeepAliveTimerTimer() {
  if (!keepAlive_ || !transfer::Session().Connected) return;
  // Something runs (its commands will start the minute again) or the
  // engine is between two steps of a request: try again later.
  if (transfer::Session().Busy() || FtpClient1->State() != fcsReady) {
    KeepAliveTimer->start();
    return;
  }
  RunBusy(transfer::TActivity::KeepingAlive, [this] {
    const std::string localFile = FtpClient1->LocalFileName();
    keepingAlive_ = true;
    struct Done {
      TForm1* form;
      ~Done() { form->keepingAlive_ = false; }
    } done{this};
    FtpClient1->SetLocalFileName("NOOP");
    FtpClient1->RunBlocking([this] { FtpClient1->QuoteAsync(); });
    if (FtpClient1->IsConnected() && FtpClient1->State() == fcsReady) FtpClient1->SetLocalFileName(localFile);
  });
}

void TForm1::TakeRemoteTime(const session::TQueueEntry& Entry) {
  std::int64_t when = Entry.RemoteTime;
  if (when < 0) {
    if (!FtpClient1->CanGetModTime() || !FtpClient1->ModTime()) return;  // the dispatcher logged why
    when = FtpClient1->RemoteModTime();
  }
  if (when < 0) return;
  if (!SetLocalFileTime(Entry.LocalPath, when))
    AddLog("! Cannot set the time of " + Entry.LocalPath + ": " + std::strerror(errno));
}

void TForm1::GiveLocalTime(const session::TQueueEntry& Entry) {
  // After its first refusal the server is not asked again in this session.
  if (!FtpClient1->CanSetModTime()) return;
  struct stat st {};
  if (::stat(Entry.LocalPath.c_str(), &st) != 0) return;
  FtpClient1->SetModTimeToSet(st.st_mtime);
  FtpClient1->SetModTime();
}
