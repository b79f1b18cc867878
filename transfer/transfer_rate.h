// What a moving file shows: bytes done of the total, the rate and the time
// left, and the log line when it is finished. The caller passes the time
// (milliseconds of a steady clock), so nothing here reads a clock.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace transfer {

class TTransferMeter {
 public:
  // The text changes at most this often: a fast transfer calls Update for
  // every buffer and must not pay for a new text each time.
  static constexpr std::int64_t kRefreshMs = 250;
  // The rate is measured over about this much of the recent past, so that it
  // follows a changing line without jumping with every buffer.
  static constexpr std::int64_t kRateWindowMs = 5000;

  // ExpectedSize: the whole file's size, -1 when not known. StartOffset: the
  // bytes already there (a resumed download); they count as done, not in
  // the rate.
  void Start(std::int64_t ExpectedSize, std::int64_t StartOffset, std::int64_t NowMs);
  // BytesDone: the position in the file, offset included (as the engine's
  // progress gives it). True when the text should be shown again: the first
  // call, then after kRefreshMs or more.
  bool Update(std::int64_t BytesDone, std::int64_t NowMs);
  // "1.2 MiB of 4.0 MiB (30%), 350 KiB/s, 0:09 left"; without a known total
  // "1.2 MiB, 350 KiB/s". The rate and time left are missing until some time
  // has passed, the time left also while nothing moves.
  std::string Text() const;

  // Bytes moved since Start (the offset not counted) and the time it took.
  std::int64_t BytesMoved() const;
  std::int64_t ElapsedMs(std::int64_t NowMs) const { return NowMs - startMs_; }

 private:
  struct Sample {
    std::int64_t ms;
    std::int64_t bytes;
  };
  // Bytes per second over the samples; negative when not measurable yet.
  double Rate() const;

  std::int64_t expected_ = -1;
  std::int64_t offset_ = 0;
  std::int64_t startMs_ = 0;
  std::int64_t done_ = 0;
  std::int64_t lastShownMs_ = 0;
  bool shown_ = false;
  std::deque<Sample> samples_;
};

// "512 B", "1.2 MiB", "350 KiB", "12 GiB": binary units, one decimal below 100.
std::string FormatBytes(std::int64_t Bytes);

// Seconds as "0:09", "12:34", "1:02:03".
std::string FormatDuration(std::int64_t Seconds);

// The log line of one finished file: "random.bin: 1048576 bytes in 0.31 s
// (3.2 MiB/s)"; without the rate when no time was measured.
std::string TransferSummary(std::string_view Name, std::int64_t Bytes, std::int64_t ElapsedMs);

}  // namespace transfer
