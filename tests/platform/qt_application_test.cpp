// Qt's event loop driving the message loop, also from nested processEvents.
#include <stdexcept>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include "platform/qt/qt_application.h"
#include "platform/winsock.h"
#include "tests/platform/loop_helpers.h"

namespace plat {
namespace {

using test::kSocketMsg;

QCoreApplication& QtCore() {
  static int argc = 1;
  static char name[] = "platform_qt_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

// Runs a Qt event loop until quit or, failing that, 10 s.
void RunQtLoop(QEventLoop& loop) {
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);
  loop.exec();
}

TEST(QtApplication, QtLoopDispatchesSocketNotificationsAlsoWhenNested) {
  QtCore();
  QtApplication app;
  ASSERT_EQ(&Application::Instance(), &app);
  MessageLoop& loop = MessageLoop::Current();
  QEventLoop qtLoop;

  std::uint16_t port = 0;
  SOCKET listener = test::Listener(port);
  SOCKET server = INVALID_SOCKET;
  SOCKET client = plat::socket(AF_INET, SOCK_STREAM, 0);
  HWND serverWindow = loop.AllocateWindow([&](UINT, WPARAM, LPARAM lParam) {
    if (SelectEvent(lParam) != FD_ACCEPT) return;
    server = plat::accept(listener, nullptr, nullptr);
    plat::send(server, "hello", 5, 0);
    plat::shutdown(server, SHUT_WR);
  });

  int depth = 0, closeDepth = 0, connects = 0, closes = 0;
  std::string received;
  HWND clientWindow = loop.AllocateWindow([&](UINT, WPARAM, LPARAM lParam) {
    ++depth;
    switch (SelectEvent(lParam)) {
      case FD_CONNECT: ++connects; break;
      case FD_READ: {
        char buf[64];
        int n = plat::recv(client, buf, sizeof buf, 0);
        if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        // A blocking call's wait, nested inside this procedure: the close must
        // arrive through Qt's own processEvents.
        const std::uint32_t deadline = GetTickCount() + 5000;
        while (closes == 0 && !TickIsPast(GetTickCount(), deadline)) {
          app.WaitMessage(static_cast<int>(TicksUntil(GetTickCount(), deadline)));
          QCoreApplication::processEvents();
        }
        qtLoop.quit();
        break;
      }
      case FD_CLOSE:
        ++closes;
        closeDepth = depth;
        break;
    }
    --depth;
  });
  ASSERT_EQ(WSAAsyncSelect(listener, serverWindow, kSocketMsg, FD_ACCEPT), 0);
  ASSERT_EQ(WSAAsyncSelect(client, clientWindow, kSocketMsg, FD_READ | FD_CONNECT | FD_CLOSE), 0);
  test::ConnectTo(client, port);

  RunQtLoop(qtLoop);
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(received, "hello");
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(closeDepth, 2);  // inside the read procedure

  for (SOCKET s : {client, server, listener}) plat::closesocket(s);
  loop.DeallocateWindow(serverWindow);
  loop.DeallocateWindow(clientWindow);
}

// A socket that stays readable (a byte taken per notification, the rest
// already buffered) must not keep Qt's own events waiting until it is drained:
// the GUI stays responsive, an Abort button included, during a fast transfer.
TEST(QtApplication, QtEventsGetThroughWhileASocketStaysReadable) {
  QtCore();
  QtApplication app;
  MessageLoop& loop = MessageLoop::Current();
  SOCKET listener, client, server;
  ASSERT_TRUE(test::ConnectedPair(listener, client, server));
  constexpr int kBytes = 20000;
  std::string data(kBytes, 'd');
  ASSERT_EQ(plat::send(server, data.data(), kBytes, 0), kBytes);
  ASSERT_TRUE(test::PumpUntil([&] {
    unsigned long waiting = 0;
    return ioctlsocket(client, FIONREAD_CMD, &waiting) == 0 && waiting == kBytes;
  }));

  // Each notification takes one byte; the first of a round starts a Qt timer,
  // which notes how far the reading had come when Qt got its turn.
  int reads = 0, armAt = 1, readsWhenTimerFired = -1;
  HWND window = loop.AllocateWindow([&](UINT, WPARAM, LPARAM lParam) {
    if (SelectEvent(lParam) != FD_READ) return;
    char byte;
    if (plat::recv(client, &byte, 1, 0) == 1) ++reads;
    if (reads == armAt) QTimer::singleShot(0, [&] { readsWhenTimerFired = reads; });
  });
  ASSERT_EQ(WSAAsyncSelect(client, window, kSocketMsg, FD_READ), 0);

  // Driven by Qt's own loop.
  QEventLoop qtLoop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (readsWhenTimerFired >= 0) qtLoop.quit();
  });
  poll.start(0);
  RunQtLoop(qtLoop);
  ASSERT_GE(readsWhenTimerFired, 1);
  EXPECT_LT(readsWhenTimerFired, kBytes);

  // Driven by a blocking call's wait, which calls ProcessMessages.
  armAt = reads + 1;
  readsWhenTimerFired = -1;
  const std::uint32_t deadline = GetTickCount() + 10000;
  while (readsWhenTimerFired < 0 && reads < kBytes && !TickIsPast(GetTickCount(), deadline)) app.ProcessMessages();
  ASSERT_GE(readsWhenTimerFired, armAt);
  EXPECT_LT(readsWhenTimerFired, kBytes);

  for (SOCKET s : {client, server, listener}) plat::closesocket(s);
  loop.DeallocateWindow(window);
}

TEST(QtApplication, WaitMessageWakesForAPostFromAnotherThread) {
  QtCore();
  QtApplication app;
  MessageLoop& loop = MessageLoop::Current();
  int seen = 0;
  HWND window = loop.AllocateWindow([&](UINT, WPARAM, LPARAM) { ++seen; });
  std::thread poster([&loop, window] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the wait begin
    loop.PostFromAnyThread(window, 1, 0, 0);
  });
  const std::uint32_t deadline = GetTickCount() + 10000;
  while (seen == 0 && !TickIsPast(GetTickCount(), deadline)) {
    app.WaitMessage(static_cast<int>(TicksUntil(GetTickCount(), deadline)));
    app.ProcessMessages();
  }
  poster.join();
  EXPECT_EQ(seen, 1);
  loop.DeallocateWindow(window);
}

TEST(QtApplication, ExceptionStaysOnOurSideOfQtsLoop) {
  QtCore();
  QtApplication app;
  std::string caught;
  app.SetExceptionHandler([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      caught = ex.what();
    }
  });
  MessageLoop& loop = MessageLoop::Current();
  QEventLoop qtLoop;
  HWND thrower = loop.AllocateWindow([](UINT, WPARAM, LPARAM) { throw std::runtime_error("in a procedure"); });
  HWND after = loop.AllocateWindow([&](UINT, WPARAM, LPARAM) { qtLoop.quit(); });
  loop.PostMessage(thrower, 1, 0, 0);
  loop.PostMessage(after, 2, 0, 0);
  RunQtLoop(qtLoop);
  EXPECT_EQ(caught, "in a procedure");
  loop.DeallocateWindow(thrower);
  loop.DeallocateWindow(after);
}

TEST(QtApplication, WaitMessageReturnsAtItsDeadline) {
  QtCore();
  QtApplication app;
  MessageLoop::Current().DispatchPending();
  const std::uint32_t deadline = GetTickCount() + 100;
  while (!TickIsPast(GetTickCount(), deadline)) app.WaitMessage(static_cast<int>(TicksUntil(GetTickCount(), deadline)));
  SUCCEED();  // returned: the wait is bounded even with nothing to do
}

}  // namespace
}  // namespace plat
