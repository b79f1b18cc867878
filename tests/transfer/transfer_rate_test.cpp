#include "transfer/transfer_rate.h"

#include <gtest/gtest.h>

#include <limits>

using namespace transfer;

namespace {
constexpr std::int64_t KiB = 1024;
constexpr std::int64_t MiB = 1024 * KiB;
}  // namespace

TEST(FormatBytes, UnitsAndRoundingAtTheirEdges) {
  const std::pair<std::int64_t, const char*> rows[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {102348, "99.9 KiB"},
      {102349, "100 KiB"},
      {1048063, "1023 KiB"},
      {1048064, "1.0 MiB"},  // would round to "1024 KiB"
      {5368709120LL, "5.0 GiB"},
      {std::numeric_limits<std::int64_t>::max(), "8.0 EiB"},
  };
  for (const auto& [bytes, text] : rows) EXPECT_EQ(FormatBytes(bytes), text) << bytes;
}

TEST(FormatDuration, MinutesAndHours) {
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(9), "0:09");
  EXPECT_EQ(FormatDuration(754), "12:34");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
}

TEST(TransferMeter, RefreshesAtMostFourTimesASecondAndShowsProgress) {
  TTransferMeter meter;
  meter.Start(4 * MiB, 0, 1000);
  ASSERT_TRUE(meter.Update(0, 1000));
  EXPECT_EQ(meter.Text(), "0 B of 4.0 MiB (0%)");  // no time has passed: no rate
  EXPECT_FALSE(meter.Update(100000, 1100));
  EXPECT_FALSE(meter.Update(200000, 1249));
  ASSERT_TRUE(meter.Update(256 * KiB, 1250));
  EXPECT_EQ(meter.Text(), "256 KiB of 4.0 MiB (6%), 1.0 MiB/s, 0:04 left");
  EXPECT_FALSE(meter.Update(MiB, 1499));
  ASSERT_TRUE(meter.Update(MiB, 2000));
  EXPECT_EQ(meter.Text(), "1.0 MiB of 4.0 MiB (25%), 1.0 MiB/s, 0:03 left");
  // Stalled: the rate falls, no time left is promised.
  ASSERT_TRUE(meter.Update(MiB, 8000));
  EXPECT_EQ(meter.Text(), "1.0 MiB of 4.0 MiB (25%), 0 B/s");
  EXPECT_EQ(meter.BytesMoved(), MiB);
  EXPECT_EQ(meter.ElapsedMs(8000), 7000);
}

TEST(TransferMeter, RateFollowsTheRecentPastNotTheAverage) {
  TTransferMeter meter;
  meter.Start(-1, 0, 0);  // size not known
  std::int64_t bytes = 0;
  for (std::int64_t t = 250; t <= 10000; t += 250) ASSERT_TRUE(meter.Update(bytes += 25 * KiB, t));
  EXPECT_EQ(meter.Text(), "1000 KiB, 100 KiB/s");
  for (std::int64_t t = 10250; t <= 15000; t += 250) ASSERT_TRUE(meter.Update(bytes += 256 * KiB, t));
  EXPECT_EQ(meter.Text(), "6.0 MiB, 1.0 MiB/s");
}

TEST(TransferMeter, ResumedFileAndAFileThatGrew) {
  TTransferMeter meter;
  meter.Start(4 * MiB, 3 * MiB, 0);
  ASSERT_TRUE(meter.Update(3 * MiB, 0));
  ASSERT_TRUE(meter.Update(3 * MiB + 512 * KiB, 1000));
  // The offset is done, but only what moved counts for the rate.
  EXPECT_EQ(meter.Text(), "3.5 MiB of 4.0 MiB (87%), 512 KiB/s, 0:01 left");
  EXPECT_EQ(meter.BytesMoved(), 512 * KiB);

  meter.Start(MiB, 0, 0);
  ASSERT_TRUE(meter.Update(0, 0));
  ASSERT_TRUE(meter.Update(2 * MiB, 1000));
  EXPECT_EQ(meter.Text(), "2.0 MiB, 2.0 MiB/s");  // past its listed size: no total

  // A clock that went back: shown at once, the rate measured anew.
  ASSERT_TRUE(meter.Update(3 * MiB, 500));
  EXPECT_EQ(meter.Text(), "3.0 MiB");
}

TEST(TransferSummary, LogLines) {
  EXPECT_EQ(TransferSummary("random.bin", 1048576, 310), "random.bin: 1048576 bytes in 0.31 s (3.2 MiB/s)");
  EXPECT_EQ(TransferSummary("a b", 10, 0), "a b: 10 bytes in 0.00 s");
  EXPECT_EQ(TransferSummary("x", 0, 12345), "x: 0 bytes in 12.3 s (0 B/s)");
  EXPECT_EQ(TransferSummary("big.iso", 5368709120LL, 125000), "big.iso: 5368709120 bytes in 2:05 (41.0 MiB/s)");
}
