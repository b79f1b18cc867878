#include "session/profiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/inifile.h"
#include "session/anonymous.h"
#include "tests/support/temp_folder.h"

using namespace session;
using testsupport::Mode;
using testsupport::ReadFile;
using testsupport::TempFolder;
using testsupport::WriteFile;

namespace {

class Profiles : public ::testing::Test {
 protected:
  TempFolder folder;
  std::string ini = folder.File("rirarar.ini");
  TProfileStore store{ini};

  std::string Read(const std::string& section, const std::string& key) {
    return plat::GetPrivateProfileString(section, key, "<missing>", ini);
  }
};

TSiteProfile SampleProfile() {
  TSiteProfile p;
  p.HostName = "ftp.example.org";
  p.InitialLocalDir = "/home/user/dl/";
  p.InitialDir = "/pub";
  p.UserName = "joe";
  p.Password = "secret pw";
  p.Port = "2121";
  p.ForceLower = false;
  p.AutoDir = true;
  p.Encryption = session::encImplicit;
  return p;
}

}  // namespace

TEST_F(Profiles, FirstStartWithoutAFile) {
  const TProfileList list = store.LoadProfileList();
  EXPECT_TRUE(list.Names.empty());
  EXPECT_EQ(list.Selected, -1);

  const TSiteProfile p = store.ReadProfile("");
  EXPECT_EQ(p.HostName, "");
  EXPECT_EQ(p.InitialDir, "");
  EXPECT_EQ(p.UserName, "");
  EXPECT_EQ(p.Password, "");
  EXPECT_EQ(p.Port, "21");
  EXPECT_TRUE(p.ForceLower);
  EXPECT_TRUE(p.AutoDir);
  EXPECT_EQ(p.InitialLocalDir, HomeFolder());
  EXPECT_EQ(p.InitialLocalDir.back(), '/');
  EXPECT_EQ(store.ReadProfile("NOSUCH").Port, "21");
  EXPECT_FALSE(testsupport::Exists(ini)) << "reading must not create the file";
}

TEST_F(Profiles, ListLoadingStopsAtTheFirstGapAndTheRewriteDropsTheRest) {
  WriteFile(ini, "[Profiles]\nName0=ALPHA\nName1=BETA\nName3=DELTA\n[LastUsed]\nProfile=1\n");
  const TProfileList list = store.LoadProfileList();
  EXPECT_EQ(list.Names, (std::vector<std::string>{"ALPHA", "BETA"}));
  EXPECT_EQ(list.Selected, 1);

  store.SaveProfileList(list.Names, "BETA");
  EXPECT_EQ(Read("Profiles", "Name0"), "ALPHA");
  EXPECT_EQ(Read("Profiles", "Name1"), "BETA");
  EXPECT_EQ(Read("Profiles", "Name3"), "<missing>");
  EXPECT_EQ(Read("LastUsed", "Profile"), "1");
}

TEST_F(Profiles, EmptyNameEndsTheListAndBadLastUsedSelectsNothing) {
  WriteFile(ini, "[Profiles]\nName0=A\nName1=\nName2=C\n[LastUsed]\nProfile=5\n");
  TProfileList list = store.LoadProfileList();
  EXPECT_EQ(list.Names, std::vector<std::string>{"A"});
  EXPECT_EQ(list.Selected, -1);

  WriteFile(ini, "[Profiles]\nName0=A\nName1=B\n[LastUsed]\nProfile=-1\n");
  EXPECT_EQ(store.LoadProfileList().Selected, -1);
  WriteFile(ini, "[Profiles]\nName0=A\nName1=B\n[LastUsed]\nProfile=x1\n");
  EXPECT_EQ(store.LoadProfileList().Selected, 0) << "an unreadable index is the default 0";
}

TEST_F(Profiles, CreatedCABAreWrittenSortedWithLastUsedOnTheSelectedOne) {
  std::vector<std::string> names;
  for (const char* name : {"C", "A", "B"}) {
    const int index = ProfileSaveIndex(names, name);
    names.push_back(name);
    store.WriteProfile(index, name, SampleProfile());
  }
  EXPECT_EQ(Read("Profiles", "Name0"), "C");
  EXPECT_EQ(Read("LastUsed", "Profile"), "2");

  const TProfileList sorted = store.SaveProfileList(names, "b");
  EXPECT_EQ(sorted.Names, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(sorted.Selected, 1);
  EXPECT_EQ(Read("Profiles", "Name0"), "A");
  EXPECT_EQ(Read("Profiles", "Name1"), "B");
  EXPECT_EQ(Read("Profiles", "Name2"), "C");
  EXPECT_EQ(Read("LastUsed", "Profile"), "1");
  // Sections of the profiles stay.
  EXPECT_EQ(Read("C", "HostName"), "ftp.example.org");

  store.SaveProfileList(names, "");
  EXPECT_EQ(Read("LastUsed", "Profile"), "0") << "nothing selected";
  store.SaveProfileList(names, "GONE");
  EXPECT_EQ(Read("LastUsed", "Profile"), "0") << "selected name not in the list";
}

TEST_F(Profiles, RewriteOfTheListIsAllOrNothing) {
  WriteFile(ini, "[Profiles]\nName0=ALPHA\nName1=BETA\n[LastUsed]\nProfile=1\n[ALPHA]\nHostName=a\n");
  const std::string before = ReadFile(ini);
  // A name that cannot be stored, sorted after the others: the old list must
  // not be erased with only part of the new one written.
  EXPECT_THROW(store.SaveProfileList({"ALPHA", "BETA", "ZZ\nTOP"}, "BETA"), plat::EIniFileException);
  EXPECT_EQ(ReadFile(ini), before);

  store.SaveProfileList({"BETA", "ALPHA", "GAMMA"}, "GAMMA");
  EXPECT_EQ(ReadFile(ini),
            "[LastUsed]\nProfile=2\n[ALPHA]\nHostName=a\n"
            "[Profiles]\nName0=ALPHA\nName1=BETA\nName2=GAMMA\n");
}

TEST_F(Profiles, SortIgnoresCase) {
  const TProfileList sorted = store.SaveProfileList({"beta", "Alpha", "GAMMA", "alpha2"}, "GAMMA");
  EXPECT_EQ(sorted.Names, (std::vector<std::string>{"Alpha", "alpha2", "beta", "GAMMA"}));
  EXPECT_EQ(sorted.Selected, 3);
}

TEST_F(Profiles, WrittenProfileReadsBackIdentical) {
  store.WriteProfile(0, "SITE", SampleProfile());
  const TSiteProfile p = store.ReadProfile("site");  // section names ignore case
  const TSiteProfile expected = SampleProfile();
  EXPECT_EQ(p.HostName, expected.HostName);
  EXPECT_EQ(p.InitialLocalDir, expected.InitialLocalDir);
  EXPECT_EQ(p.InitialDir, expected.InitialDir);
  EXPECT_EQ(p.UserName, expected.UserName);
  EXPECT_EQ(p.Password, expected.Password);
  EXPECT_EQ(p.Port, "2121");
  EXPECT_FALSE(p.ForceLower);
  EXPECT_TRUE(p.AutoDir);
  EXPECT_EQ(Read("SITE", "Password"), "YG4z8LwjGox/") << "never in clear";
  EXPECT_EQ(Read("SITE", "ForceLower"), "0");
  EXPECT_EQ(Read("SITE", "AutoDir"), "1");
  EXPECT_EQ(p.Encryption, session::encImplicit);
  EXPECT_EQ(Read("SITE", "Encryption"), "2");
  EXPECT_EQ(Mode(ini), 0600u);
  // Files from before encryption, or with a number no choice has: TLS
  // when the server offers it.
  EXPECT_EQ(store.ReadProfile("NOSUCH").Encryption, session::encIfAvailable);
  for (const char* value : {"", "7", "-1", "x"}) {
    plat::WritePrivateProfileString("SITE", "Encryption", value, ini);
    EXPECT_EQ(store.ReadProfile("SITE").Encryption, session::encIfAvailable) << value;
  }
}

TEST_F(Profiles, PasswordsOfEveryShapeReadBack) {
  for (const std::string& password : {std::string(" lead and trail "), std::string("\"quoted\""),
                                      std::string("x"), std::string(300, 'p'), MakeAnonymousPassword()}) {
    TSiteProfile p = SampleProfile();
    p.Password = password;
    store.WriteProfile(0, "SITE", p);
    EXPECT_EQ(store.ReadProfile("SITE").Password, password);
  }
}

TEST_F(Profiles, EmptyPasswordIsStoredAsAnEmptyValue) {
  TSiteProfile p = SampleProfile();
  p.Password = "";
  store.WriteProfile(0, "SITE", p);
  EXPECT_EQ(Read("SITE", "Password"), "");
  EXPECT_NE(ReadFile(ini).find("\nPassword=\n"), std::string::npos);
  EXPECT_EQ(store.ReadProfile("SITE").Password, "");
}

TEST_F(Profiles, PortThatIsNotAnIntegerStopsTheSaveBeforePort) {
  TSiteProfile p = SampleProfile();
  p.Port = "21x";
  try {
    store.WriteProfile(0, "SITE", p);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'21x' is not a valid integer value");
  }
  EXPECT_EQ(Read("Profiles", "Name0"), "SITE");
  EXPECT_EQ(Read("SITE", "HostName"), "ftp.example.org");
  EXPECT_EQ(Read("SITE", "Password"), "YG4z8LwjGox/");
  EXPECT_EQ(Read("SITE", "Port"), "<missing>");
  EXPECT_EQ(Read("SITE", "ForceLower"), "<missing>");
  EXPECT_EQ(Read("SITE", "AutoDir"), "<missing>");
  EXPECT_EQ(Read("LastUsed", "Profile"), "<missing>");

  p.Port = "";
  EXPECT_THROW(store.WriteProfile(0, "SITE", p), EConvertError);
}

TEST_F(Profiles, UnreadableValuesGiveTheDefaults) {
  WriteFile(ini, "[S]\nPort=21x\nForceLower=0\nAutoDir=yes\n");
  const TSiteProfile p = store.ReadProfile("S");
  EXPECT_EQ(p.Port, "21");
  EXPECT_FALSE(p.ForceLower);
  EXPECT_TRUE(p.AutoDir);
  WriteFile(ini, "[S]\nForceLower=2\nAutoDir=0\n");
  EXPECT_TRUE(store.ReadProfile("S").ForceLower);
  EXPECT_FALSE(store.ReadProfile("S").AutoDir);
}

TEST_F(Profiles, EmptyNameIsRefusedBeforeAnythingIsWritten) {
  EXPECT_THROW(store.WriteProfile(0, "", SampleProfile()), plat::EIniFileException);
  EXPECT_THROW(store.WriteProfile(0, "TWO\nLINES", SampleProfile()), plat::EIniFileException);
  // The list's own section: its settings would vanish at the next list rewrite.
  EXPECT_THROW(store.WriteProfile(0, "PROFILES", SampleProfile()), plat::EIniFileException);
  EXPECT_FALSE(testsupport::Exists(ini));
}

TEST_F(Profiles, ProfileNamedLikeTheOtherSectionSurvivesTheRewrite) {
  store.WriteProfile(0, "LASTUSED", SampleProfile());
  store.SaveProfileList({"LASTUSED"}, "LASTUSED");
  EXPECT_EQ(store.ReadProfile("LASTUSED").HostName, "ftp.example.org");
  EXPECT_EQ(store.LoadProfileList().Selected, 0);
}

TEST(ProfileNames, LookupAndNewNames) {
  const std::vector<std::string> names{"SITE", "site", "OTHER"};
  EXPECT_EQ(IndexOfProfile(names, "site"), 1) << "exact match first";
  EXPECT_EQ(IndexOfProfile(names, "Other"), 2);
  EXPECT_EQ(IndexOfProfile(names, "none"), -1);
  EXPECT_EQ(ProfileSaveIndex(names, "none"), 3);
  EXPECT_EQ(ProfileNameFromAnswer(""), "UNTITLED");
  EXPECT_EQ(ProfileNameFromAnswer("my ftp"), "MY FTP");
}

TEST(ProfileFileName, BesideAWritableProgramFolderElseInTheConfigFolder) {
  TempFolder folder;
  EXPECT_EQ(IniFileName(folder.Path(), "", "/nonexistent"), folder.Path() + "/rirarar.ini");

  const std::string missingProgramDir = folder.File("no-such-dir");
  const std::string xdg = folder.File("xdg");
  EXPECT_EQ(IniFileName(missingProgramDir, xdg, "/nonexistent"), xdg + "/rirarar/rirarar.ini");
  EXPECT_EQ(Mode(xdg + "/rirarar"), 0700u);

  const std::string home = folder.File("home");
  ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
  // A relative XDG_CONFIG_HOME is not used.
  EXPECT_EQ(IniFileName(missingProgramDir, "relative", home), home + "/.config/rirarar/rirarar.ini");
  EXPECT_EQ(Mode(home + "/.config/rirarar"), 0700u);
}
