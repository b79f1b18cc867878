#include "session/transfer_queue.h"

#include <gtest/gtest.h>

namespace {

using session::TDirection;
using session::TEntryState;
using session::TQueueEntry;

TQueueEntry Down(const std::string& name) {
  TQueueEntry e;
  e.RemoteDir = "/pub";
  e.RemoteName = name;
  e.LocalPath = "/home/u/" + name;
  return e;
}

// The runner holds the running entry while drops append thousands more;
// the entry it holds stays the one it took, and every outcome is counted.
TEST(TransferQueue, RunsInOrderThroughAppendsAndSaysWhatBecameOfEach) {
  session::TTransferQueue q;
  q.Add(Down("a"));
  TQueueEntry refused = Down("../x");
  refused.LocalPath.clear();
  refused.State = TEntryState::Skipped;
  refused.Why = "refused";
  q.Add(refused);
  TQueueEntry* running = q.Next();
  ASSERT_NE(running, nullptr);
  for (int i = 0; i < 5000; ++i) q.Add(Down("n" + std::to_string(i)));
  EXPECT_EQ(running->RemoteName, "a");
  EXPECT_EQ(running->State, TEntryState::Running);
  q.Finish(TEntryState::Done);
  EXPECT_EQ(q.WaitingCount(), 5000u);

  q.Next();
  q.Finish(TEntryState::Failed, "550 gone");
  TQueueEntry up;
  up.Direction = TDirection::Upload;
  up.RemoteDir = "/";
  up.RemoteName = "r.pdf";
  up.LocalPath = "/home/u/R.PDF";
  q.Add(up);
  q.MarkSent("/", "r.pdf");
  EXPECT_TRUE(q.Sent("/", "r.pdf"));
  EXPECT_FALSE(q.Sent("/pub", "r.pdf"));
  q.SkipWaiting("the queue was aborted");
  EXPECT_EQ(q.Next(), nullptr);

  EXPECT_EQ(q.Summary(), "1 file transferred, 5001 skipped, 1 failed");
  const auto problems = q.Problems();
  ASSERT_EQ(problems.size(), 5002u);
  EXPECT_EQ(problems[0], "! Skipped /pub/../x: refused");
  EXPECT_EQ(problems[1], "! Failed /pub/n0 -> /home/u/n0: 550 gone");
  EXPECT_EQ(problems.back(), "! Skipped /home/u/R.PDF -> /r.pdf: the queue was aborted");
  EXPECT_TRUE(q.HasDownloads() && q.HasUploads());
  q.Clear();
  EXPECT_TRUE(q.Empty());
  EXPECT_FALSE(q.Sent("/", "r.pdf"));
}

// A taken name becomes "name (N).ext": the number goes before the last dot
// of the file's own name, never into a folder's name or a leading dot.
TEST(TransferQueue, FreeNamesNumberTheNameBeforeItsExtension) {
  const struct {
    const char* name;
    const char* free;
  } names[] = {
      {"/home/u/report.pdf", "/home/u/report (2).pdf"},
      {"/home/u.d/README", "/home/u.d/README (2)"},
      {"archive.tar.gz", "archive.tar (2).gz"},
      {".bashrc", ".bashrc (2)"},
  };
  for (const auto& n : names) {
    const std::string first = session::NumberedName(n.name, 1);
    EXPECT_EQ(session::FreeName(n.name, [&](const std::string& c) { return c == first; }), n.free);
  }
}

}  // namespace
