// Hidden windows, posted messages, nesting, exceptions and waking the loop.
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/application.h"
#include "platform/message_loop.h"
#include "platform/ticks.h"
#include "tests/platform/loop_helpers.h"

namespace plat {
namespace {

using test::Recorder;

bool DescriptorReadable(const MessageLoop& loop) {
  pollfd p{loop.Descriptor(), POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(MessageLoop, PostedMessagesKeepTheirOrderAcrossWindows) {
  MessageLoop& loop = MessageLoop::Current();
  std::string order;
  HWND a = loop.AllocateWindow([&](UINT msg, WPARAM, LPARAM) { order += "a" + std::to_string(msg); });
  HWND b = loop.AllocateWindow([&](UINT msg, WPARAM, LPARAM) { order += "b" + std::to_string(msg); });
  loop.PostMessage(a, 1, 0, 0);
  loop.PostMessage(b, 2, 0, 0);
  loop.PostMessage(a, 3, 0, 0);
  loop.PostMessage(b, 4, 0, 0);
  EXPECT_EQ(loop.DispatchPending(), 4u);
  EXPECT_EQ(order, "a1b2a3b4");
  EXPECT_FALSE(loop.DispatchOne());
  loop.DeallocateWindow(a);
  loop.DeallocateWindow(b);
}

// The queue reuses one array: a run that wraps around its end, grows it while
// wrapped and withdraws messages from the middle still comes out in order.
TEST(MessageLoop, QueueKeepsOrderWhileItWrapsGrowsAndLosesMessagesInTheMiddle) {
  MessageLoop& loop = MessageLoop::Current();
  std::vector<WPARAM> got;
  HWND w = loop.AllocateWindow([&](UINT, WPARAM wParam, LPARAM) { got.push_back(wParam); });
  WPARAM next = 0;
  for (; next < 50; ++next) loop.PostMessage(w, 1, next, 0);
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(loop.DispatchOne());
  for (; next < 300; ++next) loop.PostMessage(w, next % 3 == 0 ? 2 : 1, next, 0);
  for (WPARAM gone = 51; gone < 300; gone += 3) EXPECT_EQ(loop.RemovePosted(w, 2, gone), 1u);
  loop.DispatchPending();
  std::vector<WPARAM> want;
  for (WPARAM i = 0; i < 300; ++i) {
    if (i < 50 || i % 3 != 0) want.push_back(i);
  }
  EXPECT_EQ(got, want);
  loop.DeallocateWindow(w);
}

TEST(MessageLoop, DestroyedWindowReceivesNothing) {
  MessageLoop& loop = MessageLoop::Current();
  Recorder doomed, victim, survivor;
  HWND killer = loop.AllocateWindow([&](UINT, WPARAM, LPARAM) { loop.DeallocateWindow(victim.window); });
  loop.PostMessage(doomed.window, 1, 0, 0);
  loop.PostMessage(killer, 2, 0, 0);  // destroys victim while its message waits
  loop.PostMessage(victim.window, 3, 0, 0);
  loop.PostMessage(survivor.window, 4, 0, 0);
  HWND doomedHandle = doomed.window;
  loop.DeallocateWindow(doomedHandle);
  loop.DispatchPending();
  EXPECT_TRUE(doomed.notes.empty());
  EXPECT_TRUE(victim.notes.empty());
  ASSERT_EQ(survivor.notes.size(), 1u);
  EXPECT_EQ(survivor.notes[0].msg, 4u);
  EXPECT_FALSE(loop.PostMessage(doomedHandle, 5, 0, 0));
  EXPECT_FALSE(loop.IsWindow(doomedHandle));
  // A new window never takes over the old handle's queued messages.
  Recorder newcomer;
  EXPECT_NE(newcomer.window, doomedHandle);
  loop.DeallocateWindow(killer);
}

TEST(MessageLoop, NestedDispatchContinuesWithTheNextMessage) {
  MessageLoop& loop = MessageLoop::Current();
  std::string trace;
  HWND plain = loop.AllocateWindow([&](UINT msg, WPARAM, LPARAM) { trace += std::to_string(msg) + " "; });
  HWND nester = 0;
  nester = loop.AllocateWindow([&](UINT msg, WPARAM, LPARAM) {
    trace += "[" + std::to_string(msg) + " ";
    loop.PostMessage(plain, 9, 0, 0);  // queued behind everything else
    loop.DeallocateWindow(nester);     // its own window, while it runs
    EXPECT_TRUE(loop.DispatchOne());   // nested: the next message, 2
    trace += std::to_string(msg) + "] ";
  });
  loop.PostMessage(nester, 1, 0, 0);
  loop.PostMessage(plain, 2, 0, 0);
  loop.PostMessage(plain, 3, 0, 0);
  loop.PostMessage(nester, 4, 0, 0);  // dropped: the window is gone by then
  loop.DispatchPending();
  EXPECT_EQ(trace, "[1 2 1] 3 9 ");
  loop.DeallocateWindow(plain);
}

TEST(MessageLoop, DispatchQueuedLeavesWhatArrivesMeanwhileForTheNextRound) {
  MessageLoop& loop = MessageLoop::Current();
  std::string order;
  HWND window = 0;
  window = loop.AllocateWindow([&](UINT msg, WPARAM, LPARAM) {
    order += std::to_string(msg);
    if (msg < 3) loop.PostMessage(window, msg + 2, 0, 0);
  });
  loop.PostMessage(window, 1, 0, 0);
  loop.PostMessage(window, 2, 0, 0);
  EXPECT_EQ(loop.DispatchQueued(), 2u);
  EXPECT_EQ(order, "12");
  EXPECT_TRUE(loop.HasPending());
  EXPECT_EQ(loop.DispatchQueued(), 2u);
  EXPECT_EQ(order, "1234");
  EXPECT_EQ(loop.DispatchQueued(), 0u);
  loop.DeallocateWindow(window);
}

TEST(MessageLoop, ExceptionReachesTheHandlerAndTheLoopGoesOn) {
  MessageLoop& loop = MessageLoop::Current();
  std::string caught;
  loop.SetExceptionHandler([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      caught += ex.what();
    }
  });
  Recorder after;
  HWND thrower = loop.AllocateWindow([](UINT, WPARAM, LPARAM) { throw std::runtime_error("procedure failed"); });
  loop.PostMessage(thrower, 1, 0, 0);
  loop.PostMessage(after.window, 2, 0, 0);
  EXPECT_NO_THROW(loop.DispatchPending());
  EXPECT_EQ(caught, "procedure failed");
  EXPECT_EQ(after.notes.size(), 1u);
  loop.SetExceptionHandler(nullptr);
  loop.DeallocateWindow(thrower);
}

// A handler may replace itself (a message box's nested loop, a shutdown); the
// running one must stay intact until it returns.
TEST(MessageLoop, ExceptionHandlerMayReplaceItselfWhileItRuns) {
  MessageLoop& loop = MessageLoop::Current();
  HeadlessApplication app;
  std::string seen;
  const std::string tag(64, 't');  // on the heap: a freed copy would be noticed
  loop.SetExceptionHandler([&loop, &seen, tag](std::exception_ptr) {
    loop.SetExceptionHandler(nullptr);
    seen = tag;
  });
  app.SetExceptionHandler([&app, &seen, tag](std::exception_ptr) {
    app.SetExceptionHandler(nullptr);
    seen += tag;
  });
  HWND thrower = loop.AllocateWindow([](UINT, WPARAM, LPARAM) { throw std::runtime_error("again"); });
  loop.PostMessage(thrower, 1, 0, 0);
  loop.PostMessage(thrower, 2, 0, 0);  // now the application's handler
  loop.DispatchPending();
  EXPECT_EQ(seen, tag + tag);
  loop.DeallocateWindow(thrower);
}

TEST(MessageLoop, ExceptionGoesToTheApplicationByDefault) {
  HeadlessApplication app;
  ASSERT_EQ(&Application::Instance(), &app);
  int seen = 0;
  app.SetExceptionHandler([&](std::exception_ptr) { ++seen; });
  MessageLoop& loop = MessageLoop::Current();
  HWND thrower = loop.AllocateWindow([](UINT, WPARAM, LPARAM) { throw 42; });
  loop.PostMessage(thrower, 1, 0, 0);
  app.ProcessMessages();
  EXPECT_EQ(seen, 1);
  loop.DeallocateWindow(thrower);
}

TEST(MessageLoop, DescriptorIsReadableWhileAMessageIsPending) {
  MessageLoop& loop = MessageLoop::Current();
  Recorder r;
  loop.DispatchPending();
  EXPECT_FALSE(DescriptorReadable(loop));
  loop.PostMessage(r.window, 1, 0, 0);
  loop.PostMessage(r.window, 2, 0, 0);
  EXPECT_TRUE(DescriptorReadable(loop));
  EXPECT_TRUE(loop.DispatchOne());
  EXPECT_TRUE(DescriptorReadable(loop));  // one still queued
  EXPECT_TRUE(loop.DispatchOne());
  EXPECT_FALSE(DescriptorReadable(loop));
  EXPECT_FALSE(loop.HasPending());

  // A procedure that posts the next message (a transfer's chunks) keeps it
  // readable; the last one, and one for a window gone meanwhile, leave it quiet.
  int chain = 3;
  HWND self = 0;
  self = loop.AllocateWindow([&](UINT, WPARAM, LPARAM) {
    if (--chain > 0) loop.PostMessage(self, 1, 0, 0);
  });
  loop.PostMessage(self, 1, 0, 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(loop.DispatchOne());
    EXPECT_TRUE(DescriptorReadable(loop));
  }
  EXPECT_TRUE(loop.DispatchOne());
  EXPECT_EQ(chain, 0);
  EXPECT_FALSE(DescriptorReadable(loop));
  loop.PostMessage(self, 1, 0, 0);
  loop.DeallocateWindow(self);
  EXPECT_TRUE(loop.DispatchOne());
  EXPECT_FALSE(DescriptorReadable(loop));
}

TEST(MessageLoop, PostFromAnotherThreadWakesAWaitingLoop) {
  MessageLoop& loop = MessageLoop::Current();
  Recorder r;
  std::thread poster([&loop, window = r.window] {
    // Give the main thread time to fall asleep; the test holds either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.PostFromAnyThread(window, 7, 1, 2);
  });
  bool woke = loop.WaitMessage(10000);
  poster.join();
  EXPECT_TRUE(woke);
  loop.DispatchPending();
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_EQ(r.notes[0].msg, 7u);
}

// The wake-up must never be reset while something is still queued: not by a
// dispatch racing another thread's post, not by withdrawing some messages.
TEST(MessageLoop, NoWakeUpIsLostBetweenPostsDispatchesAndWithdrawals) {
  MessageLoop& loop = MessageLoop::Current();
  Recorder r;
  loop.PostMessage(r.window, 1, 0, 0);
  loop.PostMessage(r.window, 2, 0, 0);
  EXPECT_EQ(loop.RemovePosted(r.window, 1, 0), 1u);
  EXPECT_TRUE(DescriptorReadable(loop));  // 2 is still there
  EXPECT_EQ(loop.RemovePosted(r.window, 2, 0), 1u);
  EXPECT_FALSE(DescriptorReadable(loop));

  constexpr int kPosts = 20000;
  std::thread poster([&loop, window = r.window] {
    for (int i = 0; i < kPosts; ++i) {
      loop.PostFromAnyThread(window, 3, static_cast<WPARAM>(i), 0);
      if (i % 64 == 0) std::this_thread::yield();  // let the owner catch up and sleep
    }
  });
  std::size_t got = 0;
  const std::uint32_t deadline = GetTickCount() + 20000;
  while (got < kPosts && !TickIsPast(GetTickCount(), deadline)) {
    loop.WaitMessage(static_cast<int>(TicksUntil(GetTickCount(), deadline)));
    got += loop.DispatchPending();
  }
  poster.join();
  EXPECT_EQ(got, static_cast<std::size_t>(kPosts));
  bool inOrder = true;
  for (std::size_t i = 0; i < r.notes.size(); ++i) inOrder = inOrder && r.notes[i].wParam == i;
  EXPECT_TRUE(inOrder);
}

// A loop whose descriptor nobody asked for skips the wake-up for its own
// thread's posts; these hold it to the same promises. Its own loop, not the
// thread's: the thread's has been watched by the tests above.
TEST(UnwatchedLoop, OwnPostsAreSeenByWaitsAndNestedDispatch) {
  MessageLoop loop;
  std::vector<int> got;
  HWND w = 0;
  w = loop.AllocateWindow([&](UINT msg, WPARAM, LPARAM) {
    got.push_back(static_cast<int>(msg));
    if (msg < 100) loop.PostMessage(w, msg + 1, 0, 0);  // a chain, one in flight
    if (msg == 50) {
      // A nested wait must see the message just posted, not sleep on it.
      EXPECT_TRUE(loop.WaitMessage(10000));
      EXPECT_TRUE(loop.DispatchOne());
    }
  });
  loop.PostMessage(w, 1, 0, 0);
  EXPECT_TRUE(loop.WaitMessage(10000));
  loop.DispatchPending();
  ASSERT_EQ(got.size(), 100u);
  bool inOrder = true;
  for (std::size_t i = 0; i < got.size(); ++i) inOrder = inOrder && got[i] == static_cast<int>(i + 1);
  EXPECT_TRUE(inOrder);
  EXPECT_FALSE(loop.HasPending());
  loop.DeallocateWindow(w);
}

TEST(UnwatchedLoop, AnotherThreadWakesItAndTheWakeUpDoesNotOutliveTheQueue) {
  MessageLoop loop;
  int got = 0;
  HWND w = loop.AllocateWindow([&](UINT, WPARAM, LPARAM) { ++got; });
  std::thread poster([&loop, w] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.PostFromAnyThread(w, 1, 0, 0);
  });
  EXPECT_TRUE(loop.WaitMessage(10000));
  poster.join();
  EXPECT_EQ(loop.DispatchPending(), 1u);
  // The wake-up consumed lazily must neither end this wait early nor fail it.
  const std::uint32_t deadline = GetTickCount() + 100;
  EXPECT_FALSE(loop.WaitMessage(100));
  EXPECT_TRUE(TickIsPast(GetTickCount(), deadline));
  EXPECT_EQ(got, 1);
  loop.DeallocateWindow(w);
}

TEST(UnwatchedLoop, NoWakeUpIsLostBetweenOwnAndOtherThreadsPosts) {
  MessageLoop loop;
  std::size_t own = 0, other = 0;
  HWND w = 0;
  w = loop.AllocateWindow([&](UINT msg, WPARAM, LPARAM) {
    if (msg == 1) {
      ++other;
      if (other % 3 == 0) loop.PostMessage(w, 2, 0, 0);
    } else {
      ++own;
    }
  });
  constexpr int kPosts = 20000;
  std::thread poster([&loop, w] {
    for (int i = 0; i < kPosts; ++i) {
      loop.PostFromAnyThread(w, 1, 0, 0);
      if (i % 64 == 0) std::this_thread::yield();
    }
  });
  const std::uint32_t deadline = GetTickCount() + 20000;
  while (other < kPosts && !TickIsPast(GetTickCount(), deadline)) {
    loop.WaitMessage(static_cast<int>(TicksUntil(GetTickCount(), deadline)));
    loop.DispatchPending();
  }
  poster.join();
  loop.DispatchPending();
  EXPECT_EQ(other, static_cast<std::size_t>(kPosts));
  EXPECT_EQ(own, static_cast<std::size_t>(kPosts / 3));
  loop.DeallocateWindow(w);
}

// A host loop that starts watching late must still be woken for what is queued.
TEST(UnwatchedLoop, DescriptorAskedForLateIsReadableForWhatIsQueued) {
  MessageLoop loop;
  HWND w = loop.AllocateWindow([](UINT, WPARAM, LPARAM) {});
  loop.PostMessage(w, 1, 0, 0);
  EXPECT_TRUE(DescriptorReadable(loop));
  EXPECT_EQ(loop.DispatchPending(), 1u);
  EXPECT_FALSE(DescriptorReadable(loop));
  loop.PostMessage(w, 2, 0, 0);  // watched now: signalled at once
  EXPECT_TRUE(DescriptorReadable(loop));
  loop.DispatchPending();
  loop.DeallocateWindow(w);
}

TEST(MessageLoop, WaitMessageReturnsAtItsDeadlineWhenNothingHappens) {
  MessageLoop& loop = MessageLoop::Current();
  loop.DispatchPending();
  const std::uint32_t deadline = GetTickCount() + 100;
  EXPECT_FALSE(loop.WaitMessage(100));
  EXPECT_TRUE(TickIsPast(GetTickCount(), deadline));  // not early either
  EXPECT_FALSE(loop.WaitMessage(0));
}

// A signal during the wait (epoll_wait then fails with EINTR, whatever
// SA_RESTART says) neither ends the wait early nor escapes as an error.
TEST(MessageLoop, SignalDuringTheWaitNeitherEndsItNorFails) {
  static std::atomic<int> signals{0};
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = [](int) { ++signals; };
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  MessageLoop& loop = MessageLoop::Current();
  loop.DispatchPending();
  std::thread signaller([self = ::pthread_self()] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the wait, most likely
    ::pthread_kill(self, SIGUSR1);
  });
  const std::uint32_t deadline = GetTickCount() + 200;
  bool woke = true;
  EXPECT_NO_THROW(woke = loop.WaitMessage(200));
  signaller.join();
  EXPECT_FALSE(woke);
  EXPECT_TRUE(TickIsPast(GetTickCount(), deadline));
  EXPECT_EQ(signals.load(), 1);
  ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(MessageLoop, LoopRefOutlivesItsLoop) {
  std::shared_ptr<LoopRef> ref;
  HWND window = 0;
  std::thread owner([&] {
    MessageLoop& loop = MessageLoop::Current();
    window = loop.AllocateWindow([](UINT, WPARAM, LPARAM) {});
    ref = loop.Ref();
    EXPECT_TRUE(ref->Post(window, 1, 0, 0));
    EXPECT_EQ(ref->RemovePosted(window, 1, 0), 1u);
    EXPECT_FALSE(loop.HasPending());
  });
  owner.join();  // the thread's loop ends with it
  EXPECT_FALSE(ref->Post(window, 1, 0, 0));
}

TEST(Application, InstanceIsTheLatestInstalledAndTerminateSticks) {
  Application& before = Application::Instance();
  {
    HeadlessApplication app;
    EXPECT_EQ(&Application::Instance(), &app);
    EXPECT_FALSE(app.Terminated());
    app.Terminate();
    EXPECT_TRUE(app.Terminated());
    Recorder r;
    MessageLoop::Current().PostMessage(r.window, 1, 0, 0);
    app.ProcessMessages();
    EXPECT_EQ(r.notes.size(), 1u);
  }
  EXPECT_EQ(&Application::Instance(), &before);
}

TEST(Ticks, DeadlinesCompareAcrossTheWrap) {
  EXPECT_TRUE(TickIsPast(5, 0xFFFFFFF0u));   // 21 ms after a deadline set before the wrap
  EXPECT_FALSE(TickIsPast(0xFFFFFFF0u, 5));
  EXPECT_EQ(TicksUntil(0xFFFFFFF0u, 5), 21u);
  EXPECT_EQ(TicksUntil(5, 0xFFFFFFF0u), 0u);
  std::uint32_t t0 = GetTickCount();
  MessageLoop::Current().WaitMessage(20);
  EXPECT_TRUE(TickIsPast(GetTickCount(), t0 + 20));
}

}  // namespace
}  // namespace plat
