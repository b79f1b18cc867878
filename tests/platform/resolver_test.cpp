// The look-up service: answers posted to the requesting thread's loop.
#include <thread>

#include <netdb.h>

#include <gtest/gtest.h>

#include "platform/resolver.h"
#include "tests/platform/loop_helpers.h"

namespace plat {
namespace {

using test::PumpUntil;
using test::Recorder;

constexpr UINT kLookupMsg = WM_USER + 2;

const test::Note* CompletionOf(const Recorder& rec, LookupTask task) {
  for (const test::Note& note : rec.notes) {
    if (note.msg == kLookupMsg && note.wParam == task) return &note;
  }
  return nullptr;
}

TEST(Resolver, ForwardLookupOfLocalhostIsPostedWithItsAddresses) {
  Recorder rec;
  LookupTask task = AsyncLookupHost(rec.window, kLookupMsg, "localhost");
  ASSERT_NE(task, 0u);
  ASSERT_TRUE(PumpUntil([&] { return CompletionOf(rec, task) != nullptr; }));
  EXPECT_EQ(SelectError(CompletionOf(rec, task)->lParam), 0u);
  std::vector<std::string> texts;
  ASSERT_TRUE(TakeLookupResult(task, texts));
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[0], "127.0.0.1");
  EXPECT_FALSE(TakeLookupResult(task, texts));  // taken: forgotten
}

TEST(Resolver, UnknownNameGivesHostNotFound) {
  Recorder rec;
  const char* name = "no-such-host.invalid";
  LookupTask task = AsyncLookupHost(rec.window, kLookupMsg, name);
  ASSERT_TRUE(PumpUntil([&] { return CompletionOf(rec, task) != nullptr; }));
  unsigned expected = WSAHOST_NOT_FOUND;
  // Only if this machine's resolver really answers otherwise for such a name.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* ai = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &ai);
  if (ai != nullptr) ::freeaddrinfo(ai);
  if (rc == EAI_AGAIN || rc == EAI_NODATA) expected = static_cast<unsigned>(WsaErrorFromResolver(rc));
  EXPECT_EQ(SelectError(CompletionOf(rec, task)->lParam), expected);
  std::vector<std::string> texts;
  EXPECT_TRUE(TakeLookupResult(task, texts));
  EXPECT_TRUE(texts.empty());
}

TEST(Resolver, ReverseLookupOfTheLoopbackAddressGivesItsName) {
  Recorder rec;
  LookupTask task = AsyncLookupAddr(rec.window, kLookupMsg, htonl(INADDR_LOOPBACK));
  ASSERT_TRUE(PumpUntil([&] { return CompletionOf(rec, task) != nullptr; }));
  ASSERT_EQ(SelectError(CompletionOf(rec, task)->lParam), 0u);
  std::vector<std::string> texts;
  ASSERT_TRUE(TakeLookupResult(task, texts));
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_FALSE(texts[0].empty());
}

TEST(Resolver, CancelledLookupIsNeverDelivered) {
  Recorder rec;
  LookupTask cancelled = AsyncLookupHost(rec.window, kLookupMsg, "localhost");
  EXPECT_EQ(CancelLookup(cancelled), 0);
  // The worker answers in order: once the next one is in, the first is settled.
  LookupTask next = AsyncLookupHost(rec.window, kLookupMsg, "localhost");
  ASSERT_TRUE(PumpUntil([&] { return CompletionOf(rec, next) != nullptr; }));

  // Also a task that finished while its completion waited in the queue.
  LookupTask finished = AsyncLookupHost(rec.window, kLookupMsg, "localhost");
  LookupTask marker = AsyncLookupHost(rec.window, kLookupMsg, "localhost");
  // The worker answers in order: the first to arrive is `finished`'s; left queued.
  ASSERT_TRUE(MessageLoop::Current().WaitMessage(5000));
  EXPECT_EQ(CancelLookup(finished), 0);
  ASSERT_TRUE(PumpUntil([&] { return CompletionOf(rec, marker) != nullptr; }));
  test::PumpFor(100);

  EXPECT_EQ(CompletionOf(rec, cancelled), nullptr);
  EXPECT_EQ(CompletionOf(rec, finished), nullptr);
  std::vector<std::string> texts;
  EXPECT_FALSE(TakeLookupResult(cancelled, texts));
  EXPECT_EQ(CancelLookup(cancelled), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  TakeLookupResult(next, texts);
  TakeLookupResult(marker, texts);
}

// Cancels land at every stage (queued, running, finished with the completion
// queued): each kept task is delivered once, no cancelled one ever is.
TEST(Resolver, ManyLookupsCancelledAtEveryStage) {
  Recorder rec;
  constexpr int kTasks = 60;
  std::vector<LookupTask> kept, cancelled;
  for (int i = 0; i < kTasks; ++i) {
    LookupTask task = AsyncLookupHost(rec.window, kLookupMsg, i % 2 ? "localhost" : "127.0.0.1");
    ASSERT_NE(task, 0u);
    if (i % 3 == 0) {
      ASSERT_EQ(CancelLookup(task), 0);
      cancelled.push_back(task);
    } else {
      kept.push_back(task);
    }
    if (i % 7 == 0) MessageLoop::Current().WaitMessage(1);  // let the worker get ahead a little
    if (i % 5 == 4) {  // cancel one that has probably finished by now
      ASSERT_EQ(CancelLookup(kept.front()), 0);
      cancelled.push_back(kept.front());
      kept.erase(kept.begin());
    }
  }
  auto delivered = [&](LookupTask task) {
    int n = 0;
    for (const test::Note& note : rec.notes) n += note.msg == kLookupMsg && note.wParam == task;
    return n;
  };
  ASSERT_TRUE(PumpUntil([&] { return delivered(kept.back()) == 1; }));
  test::PumpFor(100);
  std::vector<std::string> texts;
  for (LookupTask task : kept) {
    EXPECT_EQ(delivered(task), 1) << task;
    EXPECT_TRUE(TakeLookupResult(task, texts)) << task;
  }
  for (LookupTask task : cancelled) {
    EXPECT_EQ(delivered(task), 0) << task;
    EXPECT_FALSE(TakeLookupResult(task, texts)) << task;
  }
}

TEST(Resolver, CompletionGoesToTheLoopOfTheRequestingThread) {
  Recorder mainRec;
  bool delivered = false;
  std::thread requester([&] {
    Recorder rec;
    LookupTask task = AsyncLookupHost(rec.window, kLookupMsg, "localhost");
    delivered = PumpUntil([&] { return CompletionOf(rec, task) != nullptr; });
    std::vector<std::string> texts;
    TakeLookupResult(task, texts);
  });
  requester.join();
  EXPECT_TRUE(delivered);
  MessageLoop::Current().DispatchPending();
  EXPECT_TRUE(mainRec.notes.empty());
}

}  // namespace
}  // namespace plat
