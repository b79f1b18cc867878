#include "socket/wsockbuf.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int kDefaultChunkSize = 1514;
}

TBuffer::TBuffer(int Size)
    : FCapacity(Size > 0 ? Size : kDefaultChunkSize), FWritePos(0), FReadPos(0) {
  // Not value-initialised: every byte is written before it is read.
  FData.reset(new char[static_cast<std::size_t>(FCapacity)]);
}

TBuffer::~TBuffer() = default;

int TBuffer::Write(const void* Data, int Len) {
  const int Room = FCapacity - FWritePos;
  if (Room <= 0 || Len <= 0) return 0;
  const int Count = std::min(Len, Room);
  std::memcpy(FData.get() + FWritePos, Data, static_cast<std::size_t>(Count));
  FWritePos += Count;
  return Count;
}

const char* TBuffer::Peek(int& Len) const {
  const int Available = FWritePos - FReadPos;
  if (Available > 0) {
    Len = Available;
    return FData.get() + FReadPos;
  }
  Len = 0;
  return nullptr;
}

int TBuffer::Remove(int Len) {
  const int Available = FWritePos - FReadPos;
  if (Available <= 0 || Len <= 0) return 0;
  const int Count = std::min(Len, Available);
  FReadPos += Count;
  if (FReadPos == FWritePos) {
    FReadPos = 0;
    FWritePos = 0;
  }
  return Count;
}
