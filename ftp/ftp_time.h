// The time stamps of MDTM, MFMT and MLSD's modify fact (RFC 3659):
// "YYYYMMDDHHMMSS" in UTC, with an optional ".fraction".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The seconds since 1970 in UTC (the fraction is dropped). False for any
// other text or a date that does not exist (30 February).
bool ParseFtpTime(std::string_view Text, std::int64_t& UtcSeconds);
// UtcSeconds as "YYYYMMDDHHMMSS".
std::string FormatFtpTime(std::int64_t UtcSeconds);

// A local file's modification (and access) time set to UtcSeconds; false
// with errno set when it cannot be.
bool SetLocalFileTime(const std::string& Path, std::int64_t UtcSeconds);
