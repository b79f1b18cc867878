// The private folder of this user where the listing file is written.
#pragma once

#include <string>

namespace transfer {

// $XDG_RUNTIME_DIR/vekftp/ when the runtime folder is usable (ours, mode
// 0700), otherwise a fresh mkdtemp folder under $TMPDIR or /tmp; created
// 0700 and ending with "/". A name in a shared /tmp that another user could
// have made first is never used. Throws std::runtime_error when no folder
// can be made.
std::string PrivateTempDir();

}  // namespace transfer
