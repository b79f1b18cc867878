// The application object of the desktop program: Qt's event loop drives the
// thread's MessageLoop (a notifier on its descriptor), and "let the application
// process messages" is Qt's processEvents followed by the loop's own dispatch.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/application.h"

class QSocketNotifier;

namespace plat {

class QtApplication : public Application {
 public:
  // Needs the QCoreApplication (or QApplication) to exist already; serves the
  // MessageLoop of the calling thread, which must be the Qt main thread.
  QtApplication();
  ~QtApplication() override;

  void ProcessMessages() override;
  // Sleeps in Qt's loop until any event (socket notifications included) or
  // the timeout; -1: no limit.
  void WaitMessage(int timeoutMs) override;

 protected:
  void OnTerminate() override;

 private:
  void Activated();
  void Dispatch();

  // The longest Qt's loop waits for a turn while a blocking call runs.
  static constexpr int kQtTurnMs = 5;
  static constexpr int kDispatchBatch = 64;  // messages per ProcessMessages

  std::unique_ptr<QSocketNotifier> notifier_;
  std::uint32_t nextQtTurn_ = 0;
  bool dispatchQueued_ = false;
};

}  // namespace plat
