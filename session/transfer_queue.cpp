#include "session/transfer_queue.h"

#include <algorithm>

namespace session {

namespace {

constexpr const char* kStateNames[] = {"waiting", "running", "done", "skipped", "failed"};

std::string SentKey(const std::string& RemoteDir, const std::string& RemoteName) {
  return RemoteDir + '\0' + RemoteName;
}

bool IsFinished(TEntryState State) {
  return State == TEntryState::Done || State == TEntryState::Skipped || State == TEntryState::Failed;
}

}  // namespace

const char* EntryStateName(TEntryState State) {
  const auto i = static_cast<std::size_t>(State);
  return i < sizeof(kStateNames) / sizeof(kStateNames[0]) ? kStateNames[i] : "?";
}

std::string RemotePath(const TQueueEntry& Entry) {
  if (Entry.RemoteDir.empty()) return Entry.RemoteName;
  return Entry.RemoteDir + (Entry.RemoteDir.back() == '/' ? "" : "/") + Entry.RemoteName;
}

std::string EntryText(const TQueueEntry& Entry) {
  // A refused download has no local file.
  if (Entry.LocalPath.empty()) return RemotePath(Entry);
  if (Entry.Direction == TDirection::Download) return RemotePath(Entry) + " -> " + Entry.LocalPath;
  return Entry.LocalPath + " -> " + RemotePath(Entry);
}

std::string NumberedName(const std::string& Name, int N) {
  const std::size_t slash = Name.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = Name.rfind('.');
  if (dot == std::string::npos || dot <= start) dot = Name.size();
  return Name.substr(0, dot) + " (" + std::to_string(N) + ")" + Name.substr(dot);
}

std::string FreeName(const std::string& Name, const std::function<bool(const std::string&)>& Taken) {
  for (int n = 1;; ++n) {
    std::string candidate = NumberedName(Name, n);
    if (!Taken(candidate)) return candidate;
  }
}

void TTransferQueue::Add(TQueueEntry Entry) {
  // An entry settled at the drop (a refused name) keeps its state and is
  // only counted.
  if (!IsFinished(Entry.State)) {
    Entry.State = TEntryState::Waiting;
    ++waiting_;
  }
  entries_.push_back(std::move(Entry));
}

TQueueEntry* TTransferQueue::Next() {
  running_ = nullptr;
  while (next_ < entries_.size() && entries_[next_].State != TEntryState::Waiting) ++next_;
  if (next_ == entries_.size()) return nullptr;
  running_ = &entries_[next_++];
  running_->State = TEntryState::Running;
  --waiting_;
  return running_;
}

void TTransferQueue::Finish(TEntryState State, const std::string& Why) {
  if (running_ != nullptr) Finish(*running_, State, Why);
}

void TTransferQueue::Finish(TQueueEntry& Entry, TEntryState State, const std::string& Why) {
  if (Entry.State != TEntryState::Running) return;
  Entry.State = State;
  Entry.Why = Why;
  if (&Entry == running_) running_ = nullptr;
}

void TTransferQueue::RemoveWaiting(std::size_t Index) {
  if (Index >= entries_.size() || entries_[Index].State != TEntryState::Waiting) return;
  entries_[Index].State = TEntryState::Skipped;
  entries_[Index].Why = "removed from the queue";
  --waiting_;
}

void TTransferQueue::SkipWaiting(const std::string& Why) {
  for (std::size_t i = next_; i < entries_.size(); ++i) {
    if (entries_[i].State != TEntryState::Waiting) continue;
    entries_[i].State = TEntryState::Skipped;
    entries_[i].Why = Why;
  }
  waiting_ = 0;
}

bool TTransferQueue::Sent(const std::string& RemoteDir, const std::string& RemoteName) const {
  return sent_.count(SentKey(RemoteDir, RemoteName)) != 0;
}

void TTransferQueue::MarkSent(const std::string& RemoteDir, const std::string& RemoteName) {
  sent_.insert(SentKey(RemoteDir, RemoteName));
}

std::optional<TExistsChoice> TTransferQueue::SameForRest(TDirection Direction) const {
  return Direction == TDirection::Download ? sameDownloads_ : sameUploads_;
}

void TTransferQueue::SetSameForRest(TDirection Direction, TExistsChoice Choice) {
  (Direction == TDirection::Download ? sameDownloads_ : sameUploads_) = Choice;
}

int TTransferQueue::Count(TEntryState State) const {
  return static_cast<int>(
      std::count_if(entries_.begin(), entries_.end(), [State](const TQueueEntry& e) { return e.State == State; }));
}

bool TTransferQueue::HasDownloads() const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [](const TQueueEntry& e) { return e.Direction == TDirection::Download; });
}

bool TTransferQueue::HasUploads() const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [](const TQueueEntry& e) { return e.Direction == TDirection::Upload; });
}

std::string TTransferQueue::Summary() const {
  const int done = Transferred();
  return std::to_string(done) + (done == 1 ? " file" : " files") + " transferred, " + std::to_string(Skipped()) +
         " skipped, " + std::to_string(Failed()) + " failed";
}

std::vector<std::string> TTransferQueue::Problems() const {
  std::vector<std::string> lines;
  for (const TQueueEntry& e : entries_) {
    if (e.State != TEntryState::Skipped && e.State != TEntryState::Failed) continue;
    lines.push_back(std::string(e.State == TEntryState::Skipped ? "! Skipped " : "! Failed ") + EntryText(e) + ": " +
                    e.Why);
  }
  return lines;
}

void TTransferQueue::Clear() {
  entries_.clear();
  next_ = 0;
  waiting_ = 0;
  running_ = nullptr;
  sent_.clear();
  sameDownloads_.reset();
  sameUploads_.reset();
}

}  // namespace session
