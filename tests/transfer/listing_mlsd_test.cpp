#include "transfer/listing_mlsd.h"

#include <gtest/gtest.h>

using namespace transfer;

// MLSD line -> entry; then all the lines as one listing, which keeps the
// entries but "." and "..".
TEST(ParseMlsdEntry, Lines) {
  struct Row {
    const char* line;
    const char* name;  // "": no entry
    bool isDir;
    const char* size;
    std::int64_t sizeBytes;
    const char* perm;
    int unixMode;
  };
  const Row rows[] = {
      // pure-ftpd, pyftpdlib, proftpd
      {"type=file;size=1234;modify=20261209154300;UNIX.mode=0644;UNIX.uid=1000;UNIX.gid=1000;unique=803g2; "
       "name with spaces.txt",
       "name with spaces.txt", false, "1234", 1234, "", 0644},
      {"type=dir;size=4096;perm=elcmfpd;modify=20261201101010; sub", "sub", true, "4096", 4096, "elcmfpd",
       -1},
      {"modify=20261209154300.123;perm=adfr;size=0;type=file;unique=FD00U1A;UNIX.group=0;UNIX.mode=0644;"
       "UNIX.owner=0; a;b=c.txt",
       "a;b=c.txt", false, "0", 0, "adfr", 0644},
      // Fact names and types in any case; sizd for a folder, "<DIR>" without.
      {"Type=DIR;Sizd=512;PERM=el; Pub", "Pub", true, "512", 512, "el", -1},
      {"type=dir; docs", "docs", true, "<DIR>", -1, "", -1},
      {"type=file;sizd=512;unix.mode=755; no size", "no size", false, "", -1, "", 0755},
      {"type=OS.unix=slink:/etc;size=4;unix.mode=0100644; link", "link", false, "4", 4, "", -1},
      // Only the one space after the facts separates; a line without facts.
      {"type=file;size=1;  leading space", " leading space", false, "1", 1, "", -1},
      {" no facts; here", "no facts; here", false, "", -1, "", -1},
      {"type=dir; ..", "..", true, "<DIR>", -1, "", -1},
      // The folder itself and its parent; malformed facts, no separator, no name.
      {"type=cdir;sizd=4096;modify=20261209154300; .", "", false, "", -1, "", -1},
      {"TYPE=PDIR;perm=el; /pub", "", false, "", -1, "", -1},
      {"type=file;size; x", "", false, "", -1, "", -1},
      {"=file; x", "", false, "", -1, "", -1},
      {"type=file;;size=1; x", "", false, "", -1, "", -1},
      {"type=file;size=1;name.txt", "", false, "", -1, "", -1},
      {"type=file;size=1; ", "", false, "", -1, "", -1},
      {"", "", false, "", -1, "", -1},
  };
  std::vector<std::string> lines, listed;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    TListingEntry entry;
    entry.Name = entry.Perm = "stale";
    ASSERT_EQ(ParseMlsdEntry(row.line, entry), *row.name != '\0');
    EXPECT_EQ(entry.Name, row.name);
    EXPECT_EQ(entry.IsDir, row.isDir);
    EXPECT_EQ(entry.Size, row.size);
    EXPECT_EQ(entry.SizeBytes, row.sizeBytes);
    EXPECT_EQ(entry.Perm, row.perm);
    EXPECT_EQ(entry.UnixMode, row.unixMode);
    lines.push_back(row.line);
    if (IsListedEntry(entry) && !entry.Name.empty()) listed.push_back(entry.Name);
  }
  std::vector<std::string> names;
  for (const TListingEntry& entry : ParseMlsdListing(lines)) names.push_back(entry.Name);
  EXPECT_EQ(names, listed);
}

// The modify fact -> seconds since the epoch and the UTC text; unknown unless
// it is a real date and time.
TEST(ParseMlsdEntry, ModifyTimes) {
  struct Row {
    const char* modify;
    std::int64_t utc;
    const char* date;
  };
  const Row rows[] = {
      {"20261209154300.123", 1796830980, "2026-12-09 15:43"},
      {"20240229235959", 1709251199, "2024-02-29 23:59"},
      {"20161231235960", 1483228800, "2016-12-31 23:59"},  // leap second
      {"19691231000000", -86400, "1969-12-31 00:00"},
      {"00000101000000", -62167219200, "0000-01-01 00:00"},
      {"20261309154300", -1, ""},
      {"21000229000000", -1, ""},
      {"20260431000000", -1, ""},
      {"20261209154361", -1, ""},
      {"2026120915430", -1, ""},
      {"202612091543000", -1, ""},
      {"20261209154300.", -1, ""},
      {"2026-209154300", -1, ""},
      {"", -1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.modify);
    TListingEntry entry;
    ASSERT_TRUE(ParseMlsdEntry(std::string("type=file;modify=") + row.modify + "; f", entry));
    EXPECT_EQ(entry.ModifyUtc, row.utc);
    EXPECT_EQ(entry.Date, row.date);
  }
}
