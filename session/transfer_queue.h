// The transfer queue: every file the user dropped, in the order it runs,
// with what it needs taken at the drop (the remote folder, the names, the
// size), and what became of it. A drop while the queue runs is appended; the
// runner takes one entry after the other and records each outcome, so the
// queue goes on after a "No", a refused name or a failure, and its end can
// say what was done.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace session {

enum class TDirection { Download, Upload };

enum class TEntryState { Waiting, Running, Done, Skipped, Failed };
// "waiting", "running", "done", "skipped", "failed".
const char* EntryStateName(TEntryState State);

struct TQueueEntry {
  TDirection Direction = TDirection::Download;
  // The server's folder (as the remote list showed it) and the name in it.
  std::string RemoteDir;
  std::string RemoteName;
  // The local file: read from (upload) or written to (download).
  std::string LocalPath;
  // The size the list showed at the drop; -1 when not known.
  std::int64_t ExpectedSize = -1;
  // The server file's modification time as the list showed it (UTC); -1
  // when the list did not give it exactly.
  std::int64_t RemoteTime = -1;
  // The server file's date as the list showed it, exact or not.
  std::string RemoteDate;
  bool Binary = true;
  TEntryState State = TEntryState::Waiting;
  // Why it was skipped or failed.
  std::string Why;
  // While it runs: the bytes moved so far and when it started (ms), for
  // its percentage and rate.
  std::int64_t Moved = 0;
  std::int64_t StartMs = -1;
};

// The remote path of an entry: its folder and name joined by one "/".
std::string RemotePath(const TQueueEntry& Entry);
// "/pub/a.bin -> /home/u/a.bin" (download) or "/home/u/a.bin -> /pub/a.bin"
// (upload): the way the file went, for the log.
std::string EntryText(const TQueueEntry& Entry);

// What becomes of a file whose name is taken where it goes, in the order
// the question offers it. Resume is an append for an upload.
enum class TExistsChoice { Resume, Overwrite, Rename, Skip };

// "name (N).ext" for a path or name ("/a/b.tar.gz" -> "/a/b.tar (N).gz";
// a name without a dot, or only a leading one, takes the number at its end).
std::string NumberedName(const std::string& Name, int N);
// The first of Name (1), Name (2)... that Taken says is free.
std::string FreeName(const std::string& Name, const std::function<bool(const std::string&)>& Taken);

class TTransferQueue {
 public:
  // Appended at the end. An entry already skipped (a refused name) keeps
  // its state and is only counted.
  void Add(TQueueEntry Entry);
  // The next waiting entry, now running; nullptr when none waits. The
  // pointer stays valid while entries are added.
  TQueueEntry* Next();
  // The outcome of the running entry (the one Next gave last).
  void Finish(TEntryState State, const std::string& Why = std::string());
  // The outcome of one of several running entries.
  void Finish(TQueueEntry& Entry, TEntryState State, const std::string& Why = std::string());
  // The entry Next gave last, while it runs; nullptr otherwise.
  TQueueEntry* Running() { return running_; }
  // The entries in order, for a view of the queue.
  std::size_t Size() const { return entries_.size(); }
  const TQueueEntry& At(std::size_t Index) const { return entries_[Index]; }
  // The entry at Index, if it still waits, is skipped: the user took it out.
  void RemoveWaiting(std::size_t Index);
  // Every entry still waiting is skipped for Why (the queue was aborted).
  void SkipWaiting(const std::string& Why);
  bool Empty() const { return entries_.empty(); }
  bool HasWaiting() const { return waiting_ > 0; }
  std::size_t WaitingCount() const { return waiting_; }
  // Whether this queue has started an upload to that remote file: a second
  // local file of the same remote name must not replace it silently.
  bool Sent(const std::string& RemoteDir, const std::string& RemoteName) const;
  void MarkSent(const std::string& RemoteDir, const std::string& RemoteName);
  // The choice the user made for every later file of this run whose name
  // is taken, downloads and uploads apart; none until then.
  std::optional<TExistsChoice> SameForRest(TDirection Direction) const;
  void SetSameForRest(TDirection Direction, TExistsChoice Choice);

  int Transferred() const { return Count(TEntryState::Done); }
  int Skipped() const { return Count(TEntryState::Skipped); }
  int Failed() const { return Count(TEntryState::Failed); }
  bool HasDownloads() const;
  bool HasUploads() const;
  // "N files transferred, M skipped, K failed".
  std::string Summary() const;
  // One line per skipped or failed entry: "! Skipped /a -> /b: why".
  std::vector<std::string> Problems() const;
  // A run is over: its entries go, the next drop starts a new summary.
  void Clear();

 private:
  int Count(TEntryState State) const;
  std::deque<TQueueEntry> entries_;
  std::size_t next_ = 0;     // no waiting entry before this one
  std::size_t waiting_ = 0;
  TQueueEntry* running_ = nullptr;
  std::set<std::string> sent_;
  std::optional<TExistsChoice> sameDownloads_;
  std::optional<TExistsChoice> sameUploads_;
};

}  // namespace session
