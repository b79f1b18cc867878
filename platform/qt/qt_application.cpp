#include "platform/qt/qt_application.h"

#include <algorithm>
#include <stdexcept>

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/message_loop.h"
#include "platform/ticks.h"

namespace plat {

QtApplication::QtApplication() {
  if (QCoreApplication::instance() == nullptr) {
    throw std::runtime_error("QtApplication: the QCoreApplication must be created first");
  }
  notifier_ = std::make_unique<QSocketNotifier>(MessageLoop::Current().Descriptor(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Activated(); });
  // Loops that wait for a reply look at Terminated(): quitting must end them.
  QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, notifier_.get(),
                   [this] { Terminate(); });
}

QtApplication::~QtApplication() = default;

// The messages are not dispatched inside the notifier's activation but from a
// posted call: procedures run nested event loops (the engine's blocking calls),
// and Qt's dispatcher need not deliver a socket notifier again while it is
// still in that notifier's activation; a posted call leaves it free. The
// notifier sleeps until then, or the level-triggered descriptor would fire on.
void QtApplication::Activated() {
  notifier_->setEnabled(false);
  if (dispatchQueued_) return;
  dispatchQueued_ = true;
  QMetaObject::invokeMethod(notifier_.get(), [this] { Dispatch(); }, Qt::QueuedConnection);
}

void QtApplication::Dispatch() {
  dispatchQueued_ = false;
  notifier_->setEnabled(true);  // nested loops inside the procedures must hear the sockets
  try {
    // One round, then back to Qt: a socket that stays readable during a fast
    // transfer must not keep input and painting waiting until it has drained.
    MessageLoop::Current().DispatchQueued();
  } catch (...) {
    // Exceptions never cross Qt's event loop.
    HandleException(std::current_exception());
  }
}

// A blocking call turns here while it waits. Qt's loop gets a turn every few
// milliseconds, which keeps the windows as lively as every turn would, and
// our own messages are dispatched every time: a batch of them, the sockets
// looked at as DispatchOne does, since during a fast transfer each chunk
// posts the next and one round per message would read the clock and poll
// the sockets for every chunk.
void QtApplication::ProcessMessages() {
  const std::uint32_t now = GetTickCount();
  if (TickIsPast(now, nextQtTurn_)) {
    nextQtTurn_ = now + kQtTurnMs;
    QCoreApplication::processEvents();
  }
  // Also what Qt did not hand over while nested.
  MessageLoop& loop = MessageLoop::Current();
  for (int i = 0; i < kDispatchBatch && loop.DispatchOne(); ++i) {
  }
}

void QtApplication::WaitMessage(int timeoutMs) {
  MessageLoop& loop = MessageLoop::Current();
  if (loop.HasPending()) return;
  // The next chunk of a transfer comes within moments: wait for it in our
  // own loop first, so that Qt's loop does not turn for every chunk. Only
  // then sleep in Qt's loop, which hears the windows too.
  const int direct = timeoutMs < 0 ? kQtTurnMs : std::min(timeoutMs, kQtTurnMs);
  if (loop.WaitMessage(direct)) return;
  if (timeoutMs >= 0) {
    timeoutMs -= direct;
    if (timeoutMs <= 0) return;
  }
  notifier_->setEnabled(true);
  QTimer deadline;  // only wakes Qt's wait; gone when we return
  if (timeoutMs >= 0) {
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, [] {});
    deadline.start(timeoutMs);
  }
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void QtApplication::OnTerminate() { QCoreApplication::quit(); }

}  // namespace plat
