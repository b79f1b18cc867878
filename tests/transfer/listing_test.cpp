#include "transfer/listing.h"

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

using namespace transfer;

namespace {

struct Row {
  const char* line;
  bool parsed;
  const char* name;
  bool isDir;
  const char* size;
  const char* date;
};

}  // namespace

// Listing line -> entry, as ParseDirEntry reads it.
TEST(ParseDirEntry, Lines) {
  const Row rows[] = {
      {"drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 pub", true, "pub", true, "512", "Jan 5 12:30"},
      {"-rw-r--r--   1 ftp      ftp       123456 Dec 24  1999 read me.txt", true, "read me.txt", false,
       "123456", "Dec 24 1999"},
      {"lrwxrwxrwx   1 root     root           7 Mar  1 10:00 bin -> usr/bin", true, "bin", true, "7",
       "Mar 1 10:00"},
      {"lrwxrwxrwx   1 root     root          11 Mar  1 10:00 lib -> usr/lib.so", true, "lib -> usr/lib.so",
       false, "11", "Mar 1 10:00"},
      {"lrwxrwxrwx   1 root     root           4 Mar  1 10:00 a -> b", true, "a", true, "4", "Mar 1 10:00"},
      {"Drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 Pub", true, "Pub", true, "512", "Jan 5 12:30"},
      {"LRWXRWXRWX   1 root     root           7 Mar  1 10:00 usr -> /x", true, "usr", true, "7",
       "Mar 1 10:00"},
      // A dot in the link's own name makes it a file too.
      {"lrwxrwxrwx   1 root     root           4 Mar  1 10:00 .cfg -> etc", true, ".cfg -> etc", false, "4",
       "Mar 1 10:00"},
      // Trailing spaces are part of the name.
      {"-rw-r--r--   1 ftp ftp 10 Jan  5 12:30 name  ", true, "name  ", false, "10", "Jan 5 12:30"},
      // Single spaces everywhere.
      {"-rw-r--r-- 1 a b 0 Jan 1 2000 x", true, "x", false, "0", "Jan 1 2000"},
      // A tab is an ordinary character: "-rw-r--r--\t1" is field 1.
      {"-rw-r--r--\t1 ftp ftp 10 Jan 5 12:30 a b", true, "b", false, "Jan", "5 12:30 a"},
      // A leading space makes field 1 empty and shifts the rest by one.
      {" drwxr-xr-x 2 ftp ftp 512 Jan 5 12:30 pub", true, "12:30 pub", false, "ftp", "512 Jan 5"},
      // The arrow cut needs a directory name longer than 4 characters and an
      // arrow after the first character.
      {"drwxr-xr-x 2 ftp ftp 512 Jan 5 12:30 ab ->", true, "ab", true, "512", "Jan 5 12:30"},
      {"drwxr-xr-x 2 ftp ftp 512 Jan 5 12:30 a ->", true, "a ->", true, "512", "Jan 5 12:30"},
      {"drwxr-xr-x 2 ftp ftp 512 Jan 5 12:30 x->yz", true, "x->yz", true, "512", "Jan 5 12:30"},
      {"-rw-r--r-- 1 ftp ftp 512 Jan 5 12:30 a -> b", true, "a -> b", false, "512", "Jan 5 12:30"},
      // Not ls -l, but nine fields: parsed by position.
      {"2024-01-05 12:30 <DIR> x y Jan 5 12:30 z", true, "z", false, "y", "Jan 5 12:30"},
      // Fewer than nine fields: no entry, nothing read past the end.
      {"drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30", false, "", false, "", ""},
      {"drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30   ", false, "", false, "", ""},
      {"-rw-r--r--   1 ftp      ftp          512", false, "", false, "", ""},
      {"-rw-r--r--12345678901234567890", false, "", false, "", ""},
      {"                         ", false, "", false, "", ""},
      {"", false, "", false, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    TListingEntry entry;
    entry.Name = "stale";
    ASSERT_EQ(ParseDirEntry(row.line, entry), row.parsed);
    EXPECT_EQ(entry.Name, row.name);
    EXPECT_EQ(entry.IsDir, row.isDir);
    EXPECT_EQ(entry.Size, row.size);
    EXPECT_EQ(entry.Date, row.date);
  }
}

// Windows (IIS) lines, told from Unix ones by their shape.
TEST(ParseDirEntry, WindowsLines) {
  struct DosRow {
    const char* line;
    bool parsed;
    const char* name;
    bool isDir;
    const char* size;
    std::int64_t sizeBytes;
    const char* date;
  };
  const DosRow rows[] = {
      {"12-08-26  11:21AM       <DIR>          pub", true, "pub", true, "<DIR>", -1, "12-08-26 11:21AM"},
      {"12-08-26  11:21AM              1048576 random 1MiB.bin", true, "random 1MiB.bin", false, "1048576",
       1048576, "12-08-26 11:21AM"},
      {"01-31-2026  09:05PM       <DIR>          My Documents", true, "My Documents", true, "<DIR>", -1,
       "01-31-2026 09:05PM"},
      {"07-04-99  23:59                    0 empty.txt", true, "empty.txt", false, "0", 0, "07-04-99 23:59"},
      {"07-04-1999 7:05pm 5368709120 big.iso", true, "big.iso", false, "5368709120", 5368709120LL,
       "07-04-1999 7:05pm"},
      // Spaces inside and at the end of the name are kept; a name may look
      // like a Unix line or hold an arrow without being cut.
      {"12-08-26  11:21AM                   12   two  spaces  ", true, "two  spaces  ", false, "12", 12,
       "12-08-26 11:21AM"},
      {"12-08-26  11:21AM       <DIR>          a -> b", true, "a -> b", true, "<DIR>", -1, "12-08-26 11:21AM"},
      {"12-08-26  11:21AM                   99 99999999999999999999", true, "99999999999999999999", false, "99", 99,
       "12-08-26 11:21AM"},
      {"12-08-26  11:21AM   99999999999999999999 huge", true, "huge", false, "99999999999999999999", -1,
       "12-08-26 11:21AM"},
      // Not the shape: read as Unix lines, which these are not.
      {"12-08-26  11:21AM       <DIR>", false, "", false, "", -1, ""},
      {"12-08-26  11:21AM       <DIR>          ", false, "", false, "", -1, ""},
      {"12-08-26  11:21AM  -12 x", false, "", false, "", -1, ""},
      {"12-08-2026x 11:21AM 12 x", false, "", false, "", -1, ""},
      {"12-08-026  11:21AM  12 x", false, "", false, "", -1, ""},
      {"1-08-26  11:21AM  12 x", false, "", false, "", -1, ""},
      {"12-08-26  11:21XM  12 x", false, "", false, "", -1, ""},
      {"12-08-26  111:21  12 x", false, "", false, "", -1, ""},
      {"12-08-26\t11:21AM\t12\tx", false, "", false, "", -1, ""},
  };
  for (const DosRow& row : rows) {
    SCOPED_TRACE(row.line);
    TListingEntry entry;
    entry.Name = "stale";
    ASSERT_EQ(ParseDirEntry(row.line, entry), row.parsed);
    EXPECT_EQ(entry.Name, row.name);
    EXPECT_EQ(entry.IsDir, row.isDir);
    EXPECT_EQ(entry.Size, row.size);
    EXPECT_EQ(entry.SizeBytes, row.sizeBytes);
    EXPECT_EQ(entry.Date, row.date);
  }
}

// A listing mixing both layouts, as through a proxy or a changed server.
TEST(ParseListing, WindowsAndUnixLinesTogether) {
  const std::vector<std::string> lines = SplitListingLines(
      "12-08-26  11:21AM       <DIR>          pub\r\n"
      "12-08-26  11:21AM       <DIR>          ..\r\n"
      "-rw-r--r--   1 ftp      ftp          512 Jan  5 12:30 unix.txt\r\n"
      "12-08-26  02:00PM                  512 dos name.txt\r\n");
  const std::vector<TListingEntry> entries = ParseListing(lines);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Name, "pub");
  EXPECT_EQ(entries[1].Name, "unix.txt");
  EXPECT_EQ(entries[1].Date, "Jan 5 12:30");
  EXPECT_EQ(entries[2].Name, "dos name.txt");
  EXPECT_EQ(entries[2].SizeBytes, 512);
  EXPECT_FALSE(IsSafeLocalName(ParseListing({"12-08-26  11:21AM                  512 ../x"})[0].Name));
}

TEST(ParseDirEntry, SizeAsANumberIs64Bit) {
  TListingEntry entry;
  ASSERT_TRUE(ParseDirEntry("-rw-r--r-- 1 ftp ftp 5368709120 Jan  5  2024 big.iso", entry));
  EXPECT_EQ(entry.SizeBytes, 5368709120LL);
  ASSERT_TRUE(ParseDirEntry("-rw-r--r-- 1 ftp ftp -5 Jan  5  2024 neg", entry));
  EXPECT_EQ(entry.SizeBytes, -1);
  ASSERT_TRUE(ParseDirEntry("-rw-r--r-- 1 ftp ftp 99999999999999999999 Jan 5 2024 huge", entry));
  EXPECT_EQ(entry.SizeBytes, -1);
  EXPECT_EQ(entry.Size, "99999999999999999999");
}

TEST(SplitListingLines, LineEndsNulAndBytes) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(SplitListingLines("a\r\nb\rc\nd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitListingLines("a\r\n\r\nb\n"), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitListingLines("a\n\rb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitListingLines("\n"), (Lines{""}));
  EXPECT_EQ(SplitListingLines(""), Lines{});
  EXPECT_EQ(SplitListingLines(std::string("a\nb\0c\nd", 7)), (Lines{"a", "b"}));
  EXPECT_EQ(SplitListingLines("\xe9t\xe9\xff\r\n"), Lines{"\xe9t\xe9\xff"});
}

TEST(ParseListing, SkipsShortLinesAndDotEntries) {
  const std::vector<std::string> lines = {
      "total 24",
      "",
      "drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 .",
      "drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 ..",
      "drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 pub",
      "d a b c d e f g h i",   // 19 characters: skipped although it has nine fields
      "d a b c d e f g h ij",  // 20 characters
      "-rw-r--r--   1 ftp      ftp          512 Jan  5 12:30 ...",
  };
  const std::vector<TListingEntry> entries = ParseListing(lines);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Name, "pub");
  EXPECT_EQ(entries[1].Name, "h ij");
  EXPECT_TRUE(entries[1].IsDir);
  EXPECT_EQ(entries[2].Name, "...");
}

TEST(ParseListing, LinesOfNineteenCharactersGiveNothing) {
  const std::vector<std::string> lines{"d a b c d e f g h i", "-a b c d e f g h ij", "1234567890123456789"};
  for (const std::string& line : lines) ASSERT_EQ(line.size(), 19u) << line;
  EXPECT_TRUE(ParseListing(lines).empty());
}

TEST(LoadListingFile, MissingFileAndContent) {
  testsupport::TempFolder folder;
  std::vector<std::string> lines{"old"};
  EXPECT_FALSE(LoadListingFile(folder.File("ftpdir.txt"), lines));
  EXPECT_TRUE(lines.empty());

  testsupport::WriteFile(folder.File("ftpdir.txt"), std::string("total 1\r\nx\0y", 12));
  ASSERT_TRUE(LoadListingFile(folder.File("ftpdir.txt"), lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"total 1", "x"}));

  EXPECT_THROW(LoadListingFile(folder.Path(), lines), std::runtime_error) << "a folder is not a listing";
}

TEST(IsSafeLocalName, ServerNamesThatMustNotBecomePaths) {
  EXPECT_TRUE(IsSafeLocalName("read me.txt"));
  EXPECT_TRUE(IsSafeLocalName("..."));
  EXPECT_TRUE(IsSafeLocalName(".hidden"));
  EXPECT_TRUE(IsSafeLocalName("a..b"));
  EXPECT_FALSE(IsSafeLocalName(""));
  EXPECT_FALSE(IsSafeLocalName("."));
  EXPECT_FALSE(IsSafeLocalName(".."));
  EXPECT_FALSE(IsSafeLocalName("../etc/passwd"));
  EXPECT_FALSE(IsSafeLocalName("/etc/passwd"));
  EXPECT_FALSE(IsSafeLocalName("lib -> usr/lib.so"));
  EXPECT_FALSE(IsSafeLocalName(std::string("a\0b", 3)));
}
