// The queue pane of the transfer window: the files of finished runs and of
// the running one, what became of each, and the commands on them.
#include <QLabel>
#include <QTimer>

#include "session/main.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

namespace {

std::string StateText(const session::TQueueEntry& Entry) {
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
