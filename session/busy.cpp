// The busy state both windows share. While the engine works for the user
// (a connect, a listing, a queue, a change on the server), any other command
// that needs it is refused with a line in the status bars; a drop joins the
// queue instead, and Abort stops what runs. Work waiting for the engine (the
// reconnection after Abort, files dropped meanwhile) starts when it is free.
#include <utility>

#include <QApplication>

#include "controls/status_bar.h"
#include "session/main.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

bool TForm1::RefusedWhileBusy(const std::string& Command) {
  const transfer::TSessionState& state = transfer::Session();
  if (!state.Busy()) return false;
  SetStatusText("Refused \"" + Command + "\": busy " + transfer::ActivityText(state.Activity) +
                ". Wait, or press Abort.");
  return true;
}

void TForm1::RunBusy(transfer::TActivity Activity, const std::function<void()>& Work) {
  if (transfer::Session().Busy()) {
    Work();
    return;
  }
  RunActivity(Activity, Work);
  AfterBusy();
}

void TForm1::RunActivity(transfer::TActivity Activity, const std::function<void()>& Work) {
  transfer::Session().SetActivity(Activity);
  struct BackToIdle {
    ~BackToIdle() { transfer::Session().SetActivity(transfer::TActivity::Idle); }
  } idle;
  Work();
}

void TForm1::AfterBusy() {
  // One loop at the depth of the first caller: what runs from here may
  // leave more waiting work, which this loop then takes.
  if (afterBusy_) return;
  afterBusy_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{afterBusy_};
  for (;;) {
    if (afterAbort_) {
      const std::function<void()> after = std::exchange(afterAbort_, nullptr);
      RunActivity(transfer::TActivity::Reconnecting, after);
      continue;
    }
    if (!Queue.Empty() && !parallelRunning_) {
      if (transfers_ > 1)
        RunParallelQueue();
      else
        RunActivity(transfer::TActivity::Transferring, [this] { RunQueue(); });
      continue;
    }
    break;
  }
}

bool TForm1::RefusedWhileTransferring(const std::string& Command) {
  if (!parallelRunning_) return RefusedWhileBusy(Command);
  SetStatusText("Refused \"" + Command + "\": busy " + transfer::ActivityText(transfer::TActivity::Transferring) +
                ". Wait, or press Abort.");
  return true;
}

void TForm1::StopBusy() {
  transfer::TSessionState& state = transfer::Session();
  if (parallelRunning_) {
    state.AbortRequested = true;
    if (pool_ != nullptr) pool_->Stop();
  }
  if (!state.Busy()) return;
  state.AbortRequested = true;
  FtpClient1->Abort();
}

void TForm1::AbortRunning(std::function<void()> After) {
  transfer::TSessionState& state = transfer::Session();
  if (parallelRunning_) {
    // The queue's own connections stop; the browsing one was free.
    state.AbortRequested = true;
    if (pool_ != nullptr) pool_->Stop();
    if (!state.Busy()) return;
  }
  const bool busy = state.Busy();
  if (busy) state.AbortRequested = true;
  FtpClient1->Abort();
  if (!After) return;
  if (busy)
    afterAbort_ = std::move(After);
  else
    RunBusy(transfer::TActivity::Reconnecting, After);
}

void TForm1::ActivityChanged() {
  const bool busy = transfer::Session().Busy();
  const char* label = busy ? "Busy:" : "Status:";
  StatusBar1->SetPanelText(0, label);
  if (TransferForm != nullptr) TransferForm->StatusBar1->SetPanelText(0, label);
  UpdateCursor();
}

void TForm1::UpdateCursor() {
  // One cursor of the program's own at a time: the hourglass while a
  // connect waits, the busy arrow (still clickable) while other work runs.
  const bool wanted = hourglass_ || transfer::Session().Busy();
  const Qt::CursorShape shape = hourglass_ ? Qt::WaitCursor : Qt::BusyCursor;
  if (wanted && !cursorSet_)
    QApplication::setOverrideCursor(shape);
  else if (wanted)
    QApplication::changeOverrideCursor(shape);
  else if (cursorSet_)
    QApplication::restoreOverrideCursor();
  cursorSet_ = wanted;
}
