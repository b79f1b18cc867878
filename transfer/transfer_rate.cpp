#include "transfer/transfer_rate.h"

#include <cmath>

namespace transfer {
namespace {

// Fixed-point text of Value with Decimals digits; no printf, whose decimal
// mark follows the user's locale.
std::string Fixed(double Value, int Decimals) {
  const double scale = Decimals == 2 ? 100.0 : Decimals == 1 ? 10.0 : 1.0;
  const long long units = std::llround(Value * scale);
  std::string text = std::to_string(units / static_cast<long long>(scale));
  if (Decimals > 0) {
    std::string fraction = std::to_string(units % static_cast<long long>(scale));
    fraction.insert(0, static_cast<std::size_t>(Decimals) - fraction.size(), '0');
    text += "." + fraction;
  }
  return text;
}

}  // namespace

void TTransferMeter::Start(std::int64_t ExpectedSize, std::int64_t StartOffset, std::int64_t NowMs) {
  expected_ = ExpectedSize;
  offset_ = StartOffset;
  startMs_ = NowMs;
  done_ = StartOffset;
  lastShownMs_ = NowMs;
  shown_ = false;
  samples_.clear();
  samples_.push_back({NowMs, StartOffset});
}

bool TTransferMeter::Update(std::int64_t BytesDone, std::int64_t NowMs) {
  done_ = BytesDone;
  // A clock that went back shows at once rather than never.
  if (shown_ && NowMs >= lastShownMs_ && NowMs - lastShownMs_ < kRefreshMs) return false;
  shown_ = true;
  lastShownMs_ = NowMs;
  if (!samples_.empty() && NowMs < samples_.back().ms) samples_.clear();
  samples_.push_back({NowMs, BytesDone});
  // Keep one sample at or before the window's start as the base.
  while (samples_.size() > 2 && samples_[1].ms <= NowMs - kRateWindowMs) samples_.pop_front();
  return true;
}

double TTransferMeter::Rate() const {
  if (samples_.size() < 2) return -1;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  if (last.ms <= first.ms) return -1;
  const double rate = static_cast<double>(last.bytes - first.bytes) * 1000.0 / static_cast<double>(last.ms - first.ms);
  return rate < 0 ? 0 : rate;
}

std::int64_t TTransferMeter::BytesMoved() const { return done_ > offset_ ? done_ - offset_ : 0; }

std::string TTransferMeter::Text() const {
  // A file that grew past the size it had when listed has no total any more.
  const bool totalKnown = expected_ >= 0 && done_ <= expected_;
  std::string text = FormatBytes(done_);
  if (totalKnown) {
    const std::int64_t percent =
        expected_ == 0 ? 100
                       : static_cast<std::int64_t>(static_cast<double>(done_) * 100.0 / static_cast<double>(expected_));
    text += " of " + FormatBytes(expected_) + " (" + std::to_string(percent) + "%)";
  }
  const double rate = Rate();
  if (rate < 0) return text;
  text += ", " + FormatBytes(std::llround(rate)) + "/s";
  if (totalKnown && rate >= 1) {
    const double left = static_cast<double>(expected_ - done_) / rate;
    text += ", " + FormatDuration(static_cast<std::int64_t>(std::ceil(left))) + " left";
  }
  return text;
}

std::string FormatBytes(std::int64_t Bytes) {
  if (Bytes < 1024) return std::to_string(Bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(Bytes) / 1024.0;
  std::size_t unit = 0;
  // Move up while the rounded text would reach 1024 of this unit.
  while (value >= 1023.5 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  return Fixed(value, value < 99.95 ? 1 : 0) + " " + kUnits[unit];
}

std::string FormatDuration(std::int64_t Seconds) {
  if (Seconds < 0) Seconds = 0;
  const std::int64_t hours = Seconds / 3600;
  const std::int64_t minutes = Seconds / 60 % 60;
  const std::int64_t seconds = Seconds % 60;
  auto two = [](std::int64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  if (hours > 0) return std::to_string(hours) + ":" + two(minutes) + ":" + two(seconds);
  return std::to_string(minutes) + ":" + two(seconds);
}

std::string TransferSummary(std::string_view Name, std::int64_t Bytes, std::int64_t ElapsedMs) {
  std::string text = std::string(Name) + ": " + std::to_string(Bytes) + " bytes in ";
  const double seconds = static_cast<double>(ElapsedMs > 0 ? ElapsedMs : 0) / 1000.0;
  if (seconds < 9.995)
    text += Fixed(seconds, 2) + " s";
  else if (seconds < 99.95)
    text += Fixed(seconds, 1) + " s";
  else
    text += FormatDuration(std::llround(seconds));
  if (ElapsedMs > 0)
    text += " (" + FormatBytes(std::llround(static_cast<double>(Bytes) * 1000.0 / static_cast<double>(ElapsedMs))) +
            "/s)";
  return text;
}

}  // namespace transfer
