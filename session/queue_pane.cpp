// The queue pane of the transfer window: the files of finished runs and of
// the running one, what became of each, and the commands on them.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include <QLabel>
#include <QTimer>

#include "session/main.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "42% at 1.5 MB/s" (the percentage when the size is known).
std::string RunningText(const session::TQueueEntry& Entry) {
  if (Entry.Moved <= 0 || Entry.StartMs < 0) return "running";
  std::string text;
  if (Entry.ExpectedSize > 0) text = std::to_string(Entry.Moved * 100 / Entry.ExpectedSize) + "% at ";
  const std::int64_t ms = std::max<std::int64_t>(NowMs() - Entry.StartMs, 1);
  const double rate = static_cast<double>(Entry.Moved) * 1000.0 / static_cast<double>(ms);
  char buffer[32];
  if (rate >= 1024.0 * 1024.0)
    std::snprintf(buffer, sizeof(buffer), "%.1f MB/s", rate / (1024.0 * 1024.0));
  else
    std::snprintf(buffer, sizeof(buffer), "%.0f KB/s", rate / 1024.0);
  return text + buffer;
}

std::string StateText(const session::TQueueEntry& Entry) {
  if (Entry.State == session::TEntryState::Running) return RunningText(Entry);
  const std::string state = session::EntryStateName(Entry.State);
  return Entry.Why.empty() ? state : state + ": " + Entry.Why;
}

}  // namespace

std::size_t TForm1::QueueRows() { return QueueHistory.size() + Queue.Size(); }

TQueueRowText TForm1::QueueRow(std::size_t Row) {
  const session::TQueueEntry& entry =
      Row < QueueHistory.size() ? QueueHistory[Row] : Queue.At(Row - QueueHistory.size());
  TQueueRowText text;
  text.Upload = entry.Direction == session::TDirection::Upload;
  text.Local = entry.LocalPath;
  text.Remote = session::RemotePath(entry);
  text.Size = entry.ExpectedSize;
  text.State = StateText(entry);
  return text;
}

void TForm1::QueueRemove(const std::vector<std::size_t>& Rows) {
  for (std::size_t row : Rows)
    if (row >= QueueHistory.size()) Queue.RemoveWaiting(row - QueueHistory.size());
  RefreshQueuePane();
}

void TForm1::QueueRetryFailed() {
  if (RefusedWhileTransferring("Retry failed")) return;
  std::vector<session::TQueueEntry> kept;
  for (session::TQueueEntry& entry : QueueHistory) {
    if (entry.State != session::TEntryState::Failed) {
      kept.push_back(std::move(entry));
      continue;
    }
    entry.State = session::TEntryState::Waiting;
    entry.Why.clear();
    Queue.Add(std::move(entry));
  }
  QueueHistory = std::move(kept);
  StartQueue();
}

void TForm1::QueueClearFinished() {
  QueueHistory.clear();
  RefreshQueuePane();
}

void TForm1::NoteProgress(session::TQueueEntry& Entry, std::int64_t Bytes) {
  if (Entry.StartMs < 0) Entry.StartMs = NowMs();
  Entry.Moved = Bytes;
  RefreshQueuePane();
}

void TForm1::RefreshQueuePane() {
  if (!QueueRefreshTimer->isActive()) QueueRefreshTimer->start();
}

void TForm1::QueueRefreshTimerTimer() {
  if (TransferForm == nullptr || TransferForm->QueueListView == nullptr) return;
  TransferForm->QueueListView->Model()->Refresh();
  TransferForm->QueuePanel->setVisible(QueueRows() > 0);
  queueTotals_ = QueueTotalsText();
  TransferForm->QueueTotalsLabel->setText(QString::fromStdString(queueTotals_));
}

std::string TForm1::QueueTotalsText() const {
  std::size_t files = 0;
  std::int64_t bytes = 0;
  for (std::size_t i = 0; i < Queue.Size(); ++i) {
    const session::TQueueEntry& entry = Queue.At(i);
    if (entry.State != session::TEntryState::Waiting && entry.State != session::TEntryState::Running) continue;
    ++files;
    if (entry.ExpectedSize > 0) bytes += entry.ExpectedSize;
  }
  return std::to_string(files) + (files == 1 ? " file, " : " files, ") + std::to_string(bytes) + " bytes left";
}
