// What the transfer window asks of the session controller (the login
// window): the queue it fills and starts, and opening documents. The
// controller lives above this layer, so the window knows it only by this.
#pragma once

#include <string>
#include <vector>

class TTransferController {
 public:
  virtual ~TTransferController() = default;
  // The entries of the next queue: local paths (upload) or remote names
  // (download).
  virtual std::vector<std::string>& QueueFiles() = 0;
  virtual void UploadAll() = 0;
  virtual void DownloadAll() = 0;
  // A local file with its program, an address with the browser; a program
  // file is started directly.
  virtual void OpenDocument(const std::string& Target) = 0;
};
