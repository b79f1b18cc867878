// Files moved over several connections at once: each connection takes the
// next waiting file as soon as its last one is done, so a slow file never
// holds up the others. Every connection is logged in and in its transfer
// type already; the files name absolute server paths.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TFtpClient;

namespace vekftp {

struct TPoolJob {
  bool Upload = false;
  std::string Remote;            // the server's path
  std::string Local;             // the local file (a download: the file it becomes)
  std::int64_t ModifyUtc = -1;   // the original's time, when known
  // Filled in by the pool.
  bool Done = false;
  std::string Why;               // a failure's reason
};

inline TPoolJob PoolJob(bool Upload, std::string Remote, std::string Local, std::int64_t ModifyUtc = -1) {
  TPoolJob job;
  job.Upload = Upload;
  job.Remote = std::move(Remote);
  job.Local = std::move(Local);
  job.ModifyUtc = ModifyUtc;
  return job;
}

// What a connection of the pool is doing; one place moves it (SetStep),
// and VEK_FTP_TRACE prints each move by name.
enum class TSlotStep { Idle, Transferring, Timing };
const char* SlotStepName(TSlotStep Step);

class TTransferPool {
 public:
  // Engines: connected and ready; TimeoutSeconds without progress fails a
  // file (0: no limit). Preserve: copies take the original's time.
  TTransferPool(std::vector<TFtpClient*> Engines, int TimeoutSeconds, bool Preserve);
  ~TTransferPool();
  TTransferPool(const TTransferPool&) = delete;
  TTransferPool& operator=(const TTransferPool&) = delete;

  // Runs every job; false when any failed (each says why).
  bool Run(std::vector<TPoolJob>& Jobs);

 private:
  struct TSlot;
  void Start(TSlot& Slot, TPoolJob& Job);
  void Finished(TSlot& Slot, std::uint16_t Error);
  void EndJob(TSlot& Slot, const std::string& Why);
  // Jobs no connection is left for fail with why.
  void FailLeft(std::vector<TPoolJob>& Jobs, std::size_t Next);
  void SetStep(TSlot& Slot, TSlotStep Step);
  int WaitLimitMs() const;
  void AbortStalled();

  std::vector<TSlot> slots_;
  int timeoutMs_;
  bool preserve_;
};

}  // namespace vekftp
