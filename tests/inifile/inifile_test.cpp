#include "platform/inifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_folder.h"

using namespace plat;
using testsupport::Exists;
using testsupport::Mode;
using testsupport::ReadFile;
using testsupport::TempFolder;
using testsupport::WriteFile;

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  TempFolder folder;
  std::string name = folder.File("rirarar.ini");
  IniFile ini{name};

  std::vector<std::string> FolderEntries() {
    std::vector<std::string> entries;
    for (const auto& e : std::filesystem::directory_iterator(folder.Path()))
      entries.push_back(e.path().filename().string());
    return entries;
  }
};

}  // namespace

TEST_F(IniFileTest, MissingFileReadsDefaultsAndIsCreated0600AtTheFirstWrite) {
  EXPECT_EQ(ini.ReadString("S", "K", "dflt"), "dflt");
  ini.EraseSection("S");
  EXPECT_FALSE(Exists(name)) << "reads and erases do not create the file";

  const mode_t old = ::umask(0);  // the mode must not depend on the umask
  ini.WriteString("S", "K", "v");
  ::umask(old);
  EXPECT_EQ(Mode(name), 0600u);
  EXPECT_EQ(ReadFile(name), "[S]\nK=v\n");
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"rirarar.ini"}) << "no temporary file left";
}

TEST_F(IniFileTest, ExistingFileKeepsItsMode) {
  WriteFile(name, "[S]\nK=v\n");
  ::chmod(name.c_str(), 0640);
  ini.WriteString("S", "K", "w");
  EXPECT_EQ(Mode(name), 0640u);
}

TEST_F(IniFileTest, ForeignSectionsKeysAndCommentsSurviveWrites) {
  const std::string before =
      "; written by hand\r\n"
      "[Other]\r\n"
      "Color = blue ; not a comment\r\n"
      "# another comment\r\n"
      "junk line without equals\r\n"
      "\r\n"
      "[Profiles]\r\n"
      "Name0=A\r\n"
      "; about the next one\r\n"
      "[Tail]\r\n"
      "x=1";  // no final line end
  WriteFile(name, before);
  ini.WriteString("profiles", "name0", "B");
  ini.WriteString("Profiles", "Name1", "C");
  ini.WriteString("LastUsed", "Profile", "1");
  EXPECT_EQ(ReadFile(name),
            "; written by hand\r\n"
            "[Other]\r\n"
            "Color = blue ; not a comment\r\n"
            "# another comment\r\n"
            "junk line without equals\r\n"
            "\r\n"
            "[Profiles]\r\n"
            "Name0=B\r\n"
            "Name1=C\r\n"
            "; about the next one\r\n"
            "[Tail]\r\n"
            "x=1\r\n"
            "[LastUsed]\r\n"
            "Profile=1\r\n");
  EXPECT_EQ(ini.ReadString("OTHER", "color", ""), "blue ; not a comment");

  ini.EraseSection("PROFILES");
  EXPECT_EQ(ReadFile(name),
            "; written by hand\r\n"
            "[Other]\r\n"
            "Color = blue ; not a comment\r\n"
            "# another comment\r\n"
            "junk line without equals\r\n"
            "\r\n"
            "; about the next one\r\n"
            "[Tail]\r\n"
            "x=1\r\n"
            "[LastUsed]\r\n"
            "Profile=1\r\n");
}

TEST_F(IniFileTest, NamesIgnoreCaseAndBlanks) {
  WriteFile(name, "[ Site One ]\n  Host Name  =  ftp.x  \nKEY=1\nkey=2\n[site one]\nother=3\n");
  EXPECT_EQ(ini.ReadString("SITE ONE", "host name", ""), "ftp.x");
  EXPECT_EQ(ini.ReadString("site one", "Key", ""), "1") << "the first of duplicate keys";
  EXPECT_EQ(ini.ReadString("site one", "OTHER", ""), "3");
  ini.WriteString("Site One", "key", "9");
  EXPECT_EQ(ini.ReadString("site one", "key", ""), "9");
  EXPECT_NE(ReadFile(name).find("key=2"), std::string::npos);
}

TEST_F(IniFileTest, KeysOutsideASectionAreNotInAnySection) {
  WriteFile(name, "K=top\n[S]\nJ=1\n");
  EXPECT_EQ(ini.ReadString("S", "K", "none"), "none");
}

TEST_F(IniFileTest, ValuesReadBackWhole) {
  const std::string values[] = {"",        std::string(2047, 'v'), std::string(10000, 'w'),
                                " lead",   "trail ",               "\t both \t",
                                "\"q\"",   "'q'",                  "\"",
                                "a=b=c",   "[not a header]",       "; not a comment",
                                "\xe9\xff"};
  for (const std::string& value : values) {
    SCOPED_TRACE(value.substr(0, 20));
    ini.WriteString("S", "K", value);
    EXPECT_EQ(ini.ReadString("S", "K", "dflt"), value);
  }
  ini.WriteString("S", "Empty", "");
  EXPECT_EQ(ini.ReadString("S", "Empty", "dflt"), "") << "present but empty is not missing";
}

TEST_F(IniFileTest, IntegersAndBooleans) {
  WriteFile(name, "[S]\nA=21\nB=21x\nC=-5\nD=+7\nE=99999999999\nF=\nG=0\nH=2\n");
  EXPECT_EQ(ini.ReadInteger("S", "A", 0), 21);
  EXPECT_EQ(ini.ReadInteger("S", "B", 4), 4);
  EXPECT_EQ(ini.ReadInteger("S", "C", 0), -5);
  EXPECT_EQ(ini.ReadInteger("S", "D", 0), 7);
  EXPECT_EQ(ini.ReadInteger("S", "E", 4), 4);
  EXPECT_EQ(ini.ReadInteger("S", "F", 4), 4);
  EXPECT_EQ(ini.ReadInteger("S", "Missing", 4), 4);
  EXPECT_FALSE(ini.ReadBool("S", "G", true));
  EXPECT_TRUE(ini.ReadBool("S", "H", false));
  EXPECT_TRUE(ini.ReadBool("S", "B", true));
  EXPECT_FALSE(ParseIniInteger("+-1"));
  EXPECT_FALSE(ParseIniInteger("--1"));
  EXPECT_FALSE(ParseIniInteger("+"));
  ini.WriteBool("S", "G", true);
  ini.WriteInteger("S", "A", -3);
  EXPECT_EQ(ini.ReadString("S", "G", ""), "1");
  EXPECT_EQ(ini.ReadString("S", "A", ""), "-3");
}

TEST_F(IniFileTest, EraseRemovesEveryCopyOfTheSection) {
  WriteFile(name, "[P]\na=1\n[Q]\nb=2\n[p]\nc=3\n");
  ini.EraseSection("P");
  EXPECT_EQ(ReadFile(name), "[Q]\nb=2\n");
}

TEST_F(IniFileTest, RefusedWriteNamesTheFile) {
  const std::string unreachable = folder.File("no-such-dir/rirarar.ini");
  try {
    WritePrivateProfileString("S", "K", "v", unreachable);
    FAIL() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + unreachable);
    EXPECT_EQ(e.Error(), ENOENT);
  }
  // A file that cannot be read is not replaced by one that lost its content.
  ASSERT_EQ(::mkdir(name.c_str(), 0700), 0);
  EXPECT_THROW(ini.WriteString("S", "K", "v"), EIniFileException);
  EXPECT_THROW(ini.EraseSection("S"), EIniFileException);
}

TEST_F(IniFileTest, TextThatWouldBreakTheLayoutIsRefusedAndTheFileUnchanged) {
  WriteFile(name, "[S]\nK=v\n");
  EXPECT_THROW(ini.WriteString("S", "K", "a\nK2=b"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "K", "a\rb"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "K", std::string("a\0b", 3)), EIniFileException);
  EXPECT_THROW(ini.WriteString("S\n[T]", "K", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("", "K", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "K=1", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "[K", "v"), EIniFileException);
  EXPECT_THROW(ini.WriteString("S", "", "v"), EIniFileException);
  EXPECT_EQ(ReadFile(name), "[S]\nK=v\n");
}

TEST_F(IniFileTest, ProfileNamesWithSpecialCharactersWorkAsSections) {
  for (const std::string section : {"MY SITE", "A=B", "X;Y", "#1", "[BR", "A]B", " LEAD"}) {
    ini.WriteString(section, "HostName", section + "-host");
    EXPECT_EQ(ini.ReadString(section, "HostName", ""), section + "-host") << section;
  }
}

TEST_F(IniFileTest, WritingThroughASymlinkUpdatesItsTarget) {
  const std::string real = folder.File("real.ini");
  WriteFile(real, "[S]\nK=v\n");
  ASSERT_EQ(::symlink(real.c_str(), name.c_str()), 0);
  ini.WriteString("S", "K", "w");
  struct stat st {};
  ASSERT_EQ(::lstat(name.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(real), "[S]\nK=w\n");
}
