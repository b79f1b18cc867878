#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "socket/wsockbuf.h"

TEST(TBuffer, NonPositiveSizeGivesChunkSize) {
  EXPECT_EQ(TBuffer(0).Capacity(), 1514);
  EXPECT_EQ(TBuffer(-5).Capacity(), 1514);
  EXPECT_EQ(TBuffer(10).Capacity(), 10);
}

TEST(TBuffer, WriteStopsAtCapacityAndPeekShowsUnsentBytes) {
  TBuffer Buf(8);
  int Len = -1;
  EXPECT_EQ(Buf.Peek(Len), nullptr);
  EXPECT_EQ(Len, 0);

  EXPECT_EQ(Buf.Write("abcde", 5), 5);
  EXPECT_EQ(Buf.Write("fghij", 5), 3);  // only the room left
  EXPECT_EQ(Buf.Write("x", 1), 0);      // full
  const char* Data = Buf.Peek(Len);
  ASSERT_EQ(Len, 8);
  EXPECT_EQ(std::string(Data, Len), "abcdefgh");
}

TEST(TBuffer, RemoveKeepsEarlierBytesUntilDrainedThenRewinds) {
  TBuffer Buf(8);
  Buf.Write("abcdef", 6);
  EXPECT_EQ(Buf.Remove(2), 2);
  EXPECT_EQ(Buf.ReadPos(), 2);
  // While bytes are unsent, writes go after them, never over the sent ones.
  EXPECT_EQ(Buf.Write("ghijk", 5), 2);
  int Len = 0;
  const char* Data = Buf.Peek(Len);
  EXPECT_EQ(std::string(Data, Len), "cdefgh");

  EXPECT_EQ(Buf.Remove(100), 6);  // capped at what is unsent
  EXPECT_EQ(Buf.ReadPos(), 0);
  EXPECT_EQ(Buf.WritePos(), 0);
  EXPECT_EQ(Buf.Remove(1), 0);
  EXPECT_EQ(Buf.Peek(Len), nullptr);
  // The whole block is writable again.
  EXPECT_EQ(Buf.Write("12345678", 8), 8);
}
