// The server's LIST output (the listing file) turned into entries. Two
// layouts, told apart line by line by their shape:
//
// Windows (IIS, DOS style):  MM-DD-YY[YY]  HH:MM[AM|PM]  <DIR>|size  name
// The name is the rest of the line after the spaces that follow the size
// column or <DIR>; Date is the date and time fields as sent, joined by one
// space ("12-08-26 11:21AM"); a directory's Size is "<DIR>".
//
// Unix ls -l, every other line:
//   type+permissions  links  owner  group  size  month day time|year  name
//
// Fields are runs of characters other than the space (a tab is an ordinary
// character); the name is everything from the ninth field to the end of the
// line, spaces included. Lines shorter than 20 characters (the "total" line,
// empty lines) give no entry, nor does a longer line with fewer than nine
// fields.
//
// The names come from the server and are kept exactly as it sent them. They
// may hold "/", "..", control characters or be "." / ".." themselves
// (ParseListing drops those two). Code that makes a local path out of a name
// must check it with IsSafeLocalName first, so that a server never chooses
// where a file lands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace transfer {

struct TListingEntry {
  std::string Name;
  std::string Size;           // the size as the list shows it (Unix: the fifth field)
  std::int64_t SizeBytes = -1;  // Size as a number; -1 when it is not a decimal number
  std::string Date;           // Unix: fields 6, 7 and 8 joined by single spaces
  bool IsDir = false;
  // Only an MLSD listing gives these (listing_mlsd.h); LIST leaves them unknown.
  std::int64_t ModifyUtc = -1;  // seconds since 1970-01-01 00:00 UTC; -1: unknown
  std::string Perm;             // the perm fact as sent ("adfr", "elcmfpd")
  int UnixMode = -1;            // permission bits, 0 to 07777; -1: unknown
};

// Listing lines split at CR, LF and CR LF; a NUL ends the text; bytes are kept
// as they are (no character set conversion). A line end at the very end does
// not add an empty line.
std::vector<std::string> SplitListingLines(std::string_view data);

// Reads the listing file into lines. False when the file does not exist (no
// entries, no message); throws std::runtime_error when it exists but cannot
// be read.
bool LoadListingFile(const std::string& fileName, std::vector<std::string>& lines);

// Splits one line into entry, field by field. Every field of entry is
// overwritten. A line of the Windows shape gives its entry; any other line
// is read as Unix ls -l, below. False (and entry cleared) when such a line
// has fewer than nine fields; nothing is ever read beyond the line.
//   Directory: first character "d" or "D". A link ("l"/"L") whose name and
//   target hold no "." counts as a directory too. For a directory the text
//   from the first " ->" after the first character of the name on is cut
//   off (bin -> usr/bin gives bin); a link counted as a file keeps its whole
//   text.
bool ParseDirEntry(std::string_view line, TListingEntry& entry);

// False for the entries "." and "..", which never reach the views.
bool IsListedEntry(const TListingEntry& entry);

// Every usable entry of the lines, in order: lines of 20 characters or more
// that parse, without "." and "..".
std::vector<TListingEntry> ParseListing(const std::vector<std::string>& lines);

// True when name can be used as one local file name: not empty, not "." or
// "..", no "/" and no NUL.
bool IsSafeLocalName(std::string_view name);

}  // namespace transfer
