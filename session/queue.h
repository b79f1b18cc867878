// The transfer queues' rules, apart from the windows: where a downloaded
// file may land, and when and how far the progress bar moves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace session {

// The file-name part of a path (everything after the last "/").
std::string FileNamePart(const std::string& path);

// ASCII letters in lower case; other bytes (UTF-8 included) as they are.
std::string LowerCaseName(const std::string& name);

// The local path a remote file of that name is downloaded to: folder (with
// "/" added when missing) + name, lower-cased when forceLower. Nothing when
// the server's name must not become a local file name: empty, ".", "..",
// holding "/" or NUL, or a link text ("name -> target"), so no server ever
// chooses where a file lands outside the folder. Control bytes (1 to 31 and
// 127) are written as %XX, upper-case hex as wget does: a name holding ESC
// would otherwise play its escape sequence in the terminal of whoever lists
// the folder. Every other byte (UTF-8, "%" itself) stays as it is.
std::optional<std::string> DownloadTarget(const std::string& folder, const std::string& remoteName,
                                          bool forceLower);

// The name holds a byte DownloadTarget writes as %XX: a caller can say that
// the local name differs from the server's.
bool HoldsControlBytes(const std::string& name);

// Whether the progress bar moves on this progress event: files under 50
// bytes on every event, larger ones on every 21st (ticks counts the events
// since the last move and is reset when the bar moves).
bool ProgressDue(std::int64_t expectedSize, std::int64_t& ticks);

// The bar's position for count bytes of expectedSize: rounded to the
// nearest (halves to even) and kept within 0 to 100; 0 when the size is
// unknown (0 or less).
int ProgressPercent(std::int64_t count, std::int64_t expectedSize);

}  // namespace session
