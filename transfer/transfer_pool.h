// Files moved over several connections at once: each connection takes the
// next waiting file as soon as its last one is done, so a slow file never
// holds up the others. Every connection is logged in already; the files
// name absolute server paths.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class TFtpClient;

namespace transfer {

enum class TPoolMode {
  New,     // a download lands in a file beside its target and takes its place once whole
  Resume,  // a download goes on from the end of the local file (REST)
  Append,  // an upload is added to the server's file (APPE)
};

struct TPoolJob {
  bool Upload = false;
  std::string Remote;            // the server's path
  std::string Local;             // the local file
  std::int64_t ModifyUtc = -1;   // the original's time, when known
  TPoolMode Mode = TPoolMode::New;
  bool Binary = true;
  void* Tag = nullptr;           // the caller's own
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

// A new download is written beside its target and takes its place once
// whole: a failure never leaves a partial file under the target's name, nor
// spoils the file it was to replace. An empty file "./.name.vekftp-XXXXXX"
// beside Local, with the permissions of a new file; empty when none can be made.
std::string TempBeside(const std::string& Local);

// Logs every engine in at once (a round trip costs the same for four as
// for one); each gets its outcome: 0, or the code it failed with (a
// server refusing more connections answers 421). TimeoutSeconds bounds
// the whole; engines still connecting then are aborted.
std::vector<std::uint16_t> ConnectAll(const std::vector<TFtpClient*>& Engines, int TimeoutSeconds);

// What a connection of the pool is doing; one place moves it (SetStep),
// and VEK_FTP_TRACE prints each move by name.
enum class TSlotStep { Idle, Typing, Transferring, Timing };
const char* SlotStepName(TSlotStep Step);

class TTransferPool {
 public:
  // Engines: connected and ready; TimeoutSeconds without progress fails a
  // file (0: no limit). Preserve: copies take the original's time.
  TTransferPool(std::vector<TFtpClient*> Engines, int TimeoutSeconds, bool Preserve);
  ~TTransferPool();
  TTransferPool(const TTransferPool&) = delete;
  TTransferPool& operator=(const TTransferPool&) = delete;

  // Takes jobs from Next (nullptr: none waits now) until none waits and
  // none runs; each finished job goes to Finished. The jobs stay the
  // caller's and must live until they are finished.
  void Run(const std::function<TPoolJob*()>& Next, const std::function<void(TPoolJob&)>& Finished);
  // The jobs of a list, in order; false when any failed (each says why).
  bool Run(std::vector<TPoolJob>& Jobs);
  // Ends the running files (each fails as aborted) and takes no more.
  void Stop();
  // Progress of a running file: its bytes so far.
  std::function<void(TPoolJob& Job, std::int64_t Bytes)> OnJobProgress;
  // Bytes moved by the running files, for a progress display.
  std::int64_t RunningBytes() const;

 private:
  struct TSlot;
  void Start(TSlot& Slot, TPoolJob& Job);
  void StartTransfer(TSlot& Slot);
  void Advance(TSlot& Slot, std::uint16_t Error);
  void EndJob(TSlot& Slot, const std::string& Why);
  void SetStep(TSlot& Slot, TSlotStep Step);
  int WaitLimitMs() const;
  void AbortStalled();

  std::vector<TSlot> slots_;
  int timeoutMs_;
  bool preserve_;
  bool stopped_ = false;
  std::function<void(TPoolJob&)> finished_;
};

}  // namespace transfer
