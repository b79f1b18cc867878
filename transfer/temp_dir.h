// The private folder of this user where the listing file is written.
#pragma once

#include <string>

namespace transfer {

// $XDG_RUNTIME_DIR/vekftp/ when the runtime folder is usable (ours, mode
// 0700), otherwise a fresh mkdtemp folder under $TMPDIR or /tmp; created
// 0700 and ending with "/". A name in a shared /tmp that another user could
// have made first is never used. Throws std::runtime_error when no folder
// can be made. fresh (when given) tells whether a new mkdtemp folder was
// made, which nobody will find again once the program ends.
std::string PrivateTempDir(bool* fresh = nullptr);

// Removes a fresh folder at the end: the given file in it, then the folder
// if that left it empty.
void RemoveFreshTempDir(const std::string& folder, const std::string& file);

}  // namespace transfer
