// The server's MLSD output (RFC 3659) turned into the same entries as a LIST
// listing (listing.h). One line per entry:
//
//   fact=value;fact=value; name
//
// Every fact ends with ";" and the facts end with exactly one space; the
// name is everything after that space, so it may hold spaces, ";" and "="
// and may begin with a space. A line without facts is " name". Fact names
// and the type's value are matched without regard to letter case.
//
// What the entry gets:
//   IsDir      type=dir. type=cdir and type=pdir (the folder itself and its
//              parent) give no entry; every other type, a missing one and
//              the OS.unix=slink:... of links included, is a file.
//   Size       size (for a folder, sizd when it has no size) as sent, and
//              SizeBytes its value when it is a decimal number. A folder
//              without either shows "<DIR>" as in the Windows LIST layout; a
//              file without a size has Size "" and SizeBytes -1.
//   ModifyUtc  the modify fact, YYYYMMDDHHMMSS with optional .fraction, in
//              seconds since the epoch; the server gives it in UTC. -1 when
//              missing or not a real date and time (the month's own length
//              counts, a leap second :60 is accepted). The fraction is
//              dropped. This is the exact value: a view shows it in local
//              time from here.
//   Date       the same time as "YYYY-MM-DD HH:MM", in UTC, for logs and
//              readers that show Date as is; "" when ModifyUtc is unknown.
//   Perm       the perm fact as sent.
//   UnixMode   the unix.mode fact, octal ("0644", "755"), at most 07777.
// Other facts (unique, unix.owner, ...) are read past.
//
// The names come from the server and are kept byte for byte. They may hold
// "/", "..", control characters or be "." / ".." themselves (ParseMlsdListing
// drops those two). Code that makes a local path out of a name must check it
// with IsSafeLocalName first, so that a server never chooses where a file
// lands.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "transfer/listing.h"

namespace transfer {

// One MLSD line into entry; every field of entry is overwritten. False (and
// entry cleared) for cdir and pdir, for a line without the "; " that ends the
// facts or with an empty name, and for facts that are not name=value.
// Nothing is ever read beyond the line.
bool ParseMlsdEntry(std::string_view line, TListingEntry& entry);

// Every usable entry of the lines, in order, without "." and "..".
std::vector<TListingEntry> ParseMlsdListing(const std::vector<std::string>& lines);

}  // namespace transfer
