// What the transfer window asks of the session controller (the login
// window): the queue it fills and starts, opening documents, and the busy
// state both windows share. The controller lives above this layer, so the
// window knows it only by this.
#pragma once

#include "transfer/queue_view.h"

#include <functional>
#include <string>
#include <vector>

namespace transfer {
enum class TActivity;
}

class TTransferController {
 public:
  virtual ~TTransferController() = default;
  // The files of a drop: local paths (upload) or remote names (download).
  // UploadAll / DownloadAll add them to the transfer queue, which runs now,
  // or goes on with them when it runs already.
  virtual std::vector<std::string>& QueueFiles() = 0;
  virtual void UploadAll() = 0;
  virtual void DownloadAll() = 0;
  // A local file with its program, an address with the browser; a program
  // file is started directly.
  virtual void OpenDocument(const std::string& Target) = 0;

  // True, with a line in both status bars, when the engine is busy and the
  // user's Command must not run now.
  virtual bool RefusedWhileBusy(const std::string& Command) = 0;
  // The same, and also while a queue runs on connections of its own.
  virtual bool RefusedWhileTransferring(const std::string& Command) = 0;
  // Runs Work as Activity, the one thing the engine does for the user;
  // called while something runs, Work is a step of it.
  virtual void RunBusy(transfer::TActivity Activity, const std::function<void()>& Work) = 0;
  // Stops what runs (nothing when idle): its request is aborted, its other
  // steps and the queued files are left.
  virtual void StopBusy() = 0;
  // The Abort button: stops what runs, or closes an idle session; After
  // runs once the engine is free again.
  virtual void AbortRunning(std::function<void()> After) = 0;
  // A whole folder into the queue: the server's RemotePath (its last name
  // Name) into the local list's folder, or the local Folder into the
  // remote list's folder, every file and sub-folder.
  virtual void DownloadFolder(const std::string& RemotePath, const std::string& Name) = 0;
  virtual void UploadFolder(const std::string& Folder) = 0;
  // The queue pane: its rows (the files of earlier runs, then this one's),
  // and its commands.
  virtual std::size_t QueueRows() = 0;
  virtual TQueueRowText QueueRow(std::size_t Row) = 0;
  virtual void QueueRemove(const std::vector<std::size_t>& Rows) = 0;
  virtual void QueueRetryFailed() = 0;
  virtual void QueueClearFinished() = 0;
};
