#include "ftp/ftp_time.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

namespace {

bool TakeNumber(std::string_view Text, std::size_t& Pos, std::size_t Digits, int& Value) {
  Value = 0;
  for (std::size_t end = Pos + Digits; Pos < end; ++Pos) {
    if (Pos >= Text.size() || Text[Pos] < '0' || Text[Pos] > '9') return false;
    Value = Value * 10 + (Text[Pos] - '0');
  }
  return true;
}

bool IsLeapYear(std::int64_t Y) { return (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0; }

int DaysInMonth(std::int64_t Y, int M) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return M == 2 && IsLeapYear(Y) ? 29 : kDays[M - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm):
// no time zone, no locale, no range limit of time_t.
std::int64_t DaysFromCivil(std::int64_t Y, int M, int D) {
  Y -= M <= 2;
  const std::int64_t era = (Y >= 0 ? Y : Y - 399) / 400;
  const std::int64_t yoe = Y - era * 400;
  const std::int64_t doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t Z, std::int64_t& Y, int& M, int& D) {
  Z += 719468;
  const std::int64_t era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const std::int64_t doe = Z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  D = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  M = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  Y = yoe + era * 400 + (M <= 2);
}

}  // namespace

bool ParseFtpTime(std::string_view Text, std::int64_t& UtcSeconds) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!TakeNumber(Text, pos, 4, year) || !TakeNumber(Text, pos, 2, month) || !TakeNumber(Text, pos, 2, day) ||
      !TakeNumber(Text, pos, 2, hour) || !TakeNumber(Text, pos, 2, minute) || !TakeNumber(Text, pos, 2, second))
    return false;
  if (pos < Text.size()) {
    if (Text[pos] != '.' || pos + 1 == Text.size()) return false;
    for (++pos; pos < Text.size(); ++pos)
      if (Text[pos] < '0' || Text[pos] > '9') return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 60) return false;
  UtcSeconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string FormatFtpTime(std::int64_t UtcSeconds) {
  std::int64_t days = UtcSeconds / 86400;
  std::int64_t rest = UtcSeconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  std::int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char text[32];
  std::snprintf(text, sizeof(text), "%04lld%02d%02d%02d%02d%02d", static_cast<long long>(year), month, day,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

bool SetLocalFileTime(const std::string& Path, std::int64_t UtcSeconds) {
  const timespec times[2] = {{static_cast<time_t>(UtcSeconds), 0}, {static_cast<time_t>(UtcSeconds), 0}};
  return ::utimensat(AT_FDCWD, Path.c_str(), times, 0) == 0;
}
