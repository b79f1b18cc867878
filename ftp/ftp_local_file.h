// The local file of one transfer: opened with its share lock, positioned at
// the resume offset, written behind and read ahead in blocks, closed (and
// unlocked) by Close or by the destructor.
//
// The network moves 2048-byte and 1514-byte chunks; the file sees one system
// call per 64 KiB block instead of one per chunk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TFtpLocalFile {
 public:
  static constexpr int BLOCK_SIZE = 64 * 1024;

  TFtpLocalFile() = default;
  ~TFtpLocalFile() { Close(); }
  TFtpLocalFile(const TFtpLocalFile&) = delete;
  TFtpLocalFile& operator=(const TFtpLocalFile&) = delete;

  bool IsOpen() const { return FFd >= 0; }

  // A download's file: created or emptied, or with Offset above 0 opened as
  // it is and positioned there. ShareWord is the engine's open-mode word.
  // False (errno set) when it cannot be opened or another transfer holds it.
  bool OpenForWrite(const std::string& Name, std::uint32_t ShareWord, std::int64_t Offset);
  // An upload's file, positioned at Offset when above 0.
  bool OpenForRead(const std::string& Name, std::uint32_t ShareWord, std::int64_t Offset);

  // Download: room for Len more bytes (at most BLOCK_SIZE), a full block
  // written out first; nullptr (errno set) when that write failed. Wrote
  // then counts what was put there.
  char* WriteSpace(int Len);
  void Wrote(int Len) { FLen += Len; }

  // Upload: up to Len bytes of the file, read ahead a block at a time; 0 at
  // the end, -1 (errno set) when reading failed. Data stays valid until the
  // next call.
  int ReadChunk(int Len, const char*& Data);

  // Closes, writing out what a download holds first (every end of a
  // download, failed or aborted, keeps what arrived). False (errno set) when
  // that write or the close failed. The lock goes with the descriptor.
  bool Close();

 private:
  bool Flush();
  // Takes over an opened (and locked) descriptor, with an empty block.
  void Adopt(int Fd, bool ForWrite);

  int FFd = -1;
  bool FForWrite = false;
  std::unique_ptr<char[]> FBlock;
  int FLen = 0;  // download: bytes held; upload: bytes read ahead
  int FPos = 0;  // upload: bytes of the block already handed out
};
