// TBuffer: one fixed-size chunk of a socket's send queue.
//
// Unsent bytes are [ReadPos, WritePos). When everything written has been
// removed both positions return to 0, so the block is reused as a whole; bytes
// before ReadPos are never rewritten while unsent bytes remain, which keeps
// queued data in place while it waits for the network.
#pragma once

#include <memory>

class TBuffer {
 public:
  // A size of 0 or less gives the socket chunk size, 1514.
  explicit TBuffer(int Size);
  virtual ~TBuffer();
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Copies as much of Data as fits after WritePos; returns the count copied.
  int Write(const void* Data, int Len);
  // The unsent bytes: Len receives their count; nullptr (Len 0) when none.
  const char* Peek(int& Len) const;
  // Marks up to Len unsent bytes as sent; returns the count removed.
  int Remove(int Len);

  int Capacity() const { return FCapacity; }
  int WritePos() const { return FWritePos; }
  int ReadPos() const { return FReadPos; }

 private:
  std::unique_ptr<char[]> FData;
  int FCapacity;
  int FWritePos;
  int FReadPos;
};
