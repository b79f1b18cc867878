// Helpers shared by the WSocket implementation files; not part of the interface.
#pragma once

#include <string>

namespace wsocket_internal {

// Blanks (spaces and control characters) removed at both ends.
std::string Trim(const std::string& Text);
// printf-style formatting into a string.
std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
// Skip leading blanks, then the value of the decimal digits up to the first
// non-digit; 0 without digits. Wraps silently, like the numeric port texts need.
unsigned LeadingDigits(const std::string& Text);
// Whether the process-wide start-up has run.
bool WinsockStarted();

}  // namespace wsocket_internal
