// The random e-mail-like password of an anonymous login.
#pragma once

#include <string>

namespace session {

// Six letters "a" to "t" with the third replaced by "@", then ".com":
// always ten characters, for example "kf@qbd.com".
std::string MakeAnonymousPassword();

}  // namespace session
