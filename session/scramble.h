// Password scrambling of the profile file: a byte-wise stream cipher keyed by a
// 16-bit running value, then Base64 (RFC 4648 alphabet, "=" padding, no line
// breaks) so that the scrambled bytes fit in an INI value.
//
// All four work on byte strings with an explicit length: any byte value,
// NUL included, may occur. They keep no state between calls.
//
// Base64Decode never reports an error: a character outside the alphabet
// (an "=" in the first or second place included) counts as 255 and the
// group decodes to whatever bytes that gives, so a hand-edited value yields a
// wrong password rather than a failure. Only complete groups of four are
// decoded: a trailing partial group (a length that is not a multiple of four,
// which only a hand-edited file can hold) is dropped, never read past the end.
#pragma once

#include <string>

namespace session {

std::string StrEncrypt(const std::string& s);
std::string StrDecrypt(const std::string& s);
std::string Base64Encode(const std::string& s);
std::string Base64Decode(const std::string& s);

}  // namespace session
