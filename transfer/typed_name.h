// Names the user types for a file or folder on the server (rename, new
// folder). They go into one command on the control connection and name one
// entry of the current folder, so they are checked before anything is sent.
#pragma once

#include <string>
#include <string_view>

namespace transfer {

// Empty when Name can be sent; otherwise a message for the user saying why
// not: empty, "." or "..", or holding "/", CR, LF or NUL.
std::string CheckTypedName(std::string_view Name);

}  // namespace transfer
