// vekftp's argument parsing and its local-name checks.
#include <gtest/gtest.h>

#include "tools/vekftp/vekftp_cli.h"

namespace vekftp {
namespace {

TEST(VekftpLocalName, NamesThatPickAnotherFolderAreRefused) {
  std::string error;
  EXPECT_TRUE(SafeLocalName("file.txt", error));
  EXPECT_TRUE(SafeLocalName("..hidden", error));
  EXPECT_FALSE(SafeLocalName("", error));
  EXPECT_FALSE(SafeLocalName(".", error));
  EXPECT_FALSE(SafeLocalName("..", error));
  EXPECT_FALSE(SafeLocalName("../etc/passwd", error));
  EXPECT_FALSE(SafeLocalName("/etc/passwd", error));
  EXPECT_FALSE(SafeLocalName(std::string("a\0b", 3), error));
  EXPECT_NE(error.find("\\0"), std::string::npos) << error;
}

TEST(VekftpArgs, OperationsOptionsAndTheirArguments) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseArguments({"--passive", "--ascii", "--timeout", "5", "-v", "get", "ftp://h/d/f.txt"}, o, error))
      << error;
  EXPECT_TRUE(o.passive);
  EXPECT_TRUE(o.ascii);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.timeout, 5);
  EXPECT_EQ(o.op, Operation::Get);
  EXPECT_EQ(o.local, "");
  EXPECT_EQ(o.url.name, "f.txt");

  ASSERT_TRUE(ParseArguments({"--active", "put", "local.bin", "ftp://h/up/r.bin"}, o, error)) << error;
  EXPECT_EQ(o.op, Operation::Put);
  EXPECT_EQ(o.local, "local.bin");
  EXPECT_EQ(o.timeout, 30);
  EXPECT_FALSE(o.passive);

  ASSERT_TRUE(ParseArguments({"resume", "ftp://h/r.bin", "part"}, o, error)) << error;
  EXPECT_EQ(o.op, Operation::Resume);
  EXPECT_EQ(o.local, "part");

  ASSERT_TRUE(ParseArguments({"mget", "ftp://h/dir/", "a", "b"}, o, error)) << error;
  EXPECT_EQ(o.op, Operation::Mget);
  EXPECT_EQ(o.names, (std::vector<std::string>{"a", "b"}));

  // A LOCAL given by the user may be any path.
  ASSERT_TRUE(ParseArguments({"get", "ftp://h/x", "../elsewhere/x"}, o, error)) << error;
}

TEST(VekftpArgs, UsageErrorsNameTheProblem) {
  Options o;
  std::string error;
  EXPECT_FALSE(ParseArguments({}, o, error));
  EXPECT_FALSE(ParseArguments({"fetch", "ftp://h/x"}, o, error));
  EXPECT_NE(error.find("unknown operation"), std::string::npos);
  EXPECT_FALSE(ParseArguments({"--bogus", "get", "ftp://h/x"}, o, error));
  EXPECT_NE(error.find("unknown option"), std::string::npos);
  EXPECT_FALSE(ParseArguments({"--timeout"}, o, error));
  EXPECT_FALSE(ParseArguments({"--timeout", "x", "get", "ftp://h/x"}, o, error));
  EXPECT_FALSE(ParseArguments({"put", "ftp://h/x"}, o, error));
  EXPECT_NE(error.find("wrong number of arguments"), std::string::npos);
  EXPECT_FALSE(ParseArguments({"get", "ftp://h/dir/"}, o, error));
  EXPECT_NE(error.find("names no file"), std::string::npos);
  // Names the server side chooses never leave the current folder.
  EXPECT_FALSE(ParseArguments({"get", "ftp://h/d/%2E%2E"}, o, error));
  EXPECT_FALSE(ParseArguments({"get", "ftp://h/d/%2e"}, o, error));
  EXPECT_FALSE(ParseArguments({"mget", "ftp://h/d/", "ok", "../bad"}, o, error));
}

TEST(VekftpArgs, HelpAndTheDataConnectionMode) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseArguments({"--help"}, o, error)) << error;
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(ParseArguments({"-v", "-h", "--bogus"}, o, error)) << error;  // help wins
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(ParseArguments({"ls", "ftp://h/"}, o, error)) << error;
  EXPECT_TRUE(o.passive);  // most users sit behind NAT
  ASSERT_TRUE(ParseArguments({"--active", "ls", "ftp://h/"}, o, error)) << error;
  EXPECT_FALSE(o.passive);
  for (const char* word : {"--active", "exit status", "3 connection or login failed", "5 local file error"})
    EXPECT_NE(UsageText().find(word), std::string::npos) << word;
}

// A server must not reach the user's terminal with escape sequences.
// rm, mv, mkdir, rmdir: the folder to change to, the name acted on, and the
// names refused before anything connects.
TEST(VekftpArgs, CommandsOnNames) {
  struct Row {
    std::vector<std::string> args;
    const char* error;  // "" when accepted
    Operation op;
    const char* dir;
    const char* name;
    const char* newName;
  };
  const Row rows[] = {
      {{"rm", "ftp://h/pub/a%20b.txt"}, "", Operation::Rm, "pub", "a b.txt", ""},
      {{"mv", "ftp://h/old.txt", "new name.txt"}, "", Operation::Mv, "", "old.txt", "new name.txt"},
      {{"mv", "ftp://h/pub/dir/", "renamed"}, "", Operation::Mv, "pub", "dir", "renamed"},
      {{"mkdir", "ftp://h/up/new/"}, "", Operation::Mkdir, "up", "new", ""},
      {{"mkdir", "ftp://h/%2Fnew"}, "", Operation::Mkdir, "/", "new", ""},
      {{"rmdir", "ftp://h/up/old"}, "", Operation::Rmdir, "up", "old", ""},
      {{"rm", "ftp://h/pub/"}, "names no file", Operation::Rm, "", "", ""},
      {{"rmdir", "ftp://h/"}, "names no file or folder", Operation::Rm, "", "", ""},
      {{"rmdir", "ftp://h/pub/.."}, "refusing the name in the URL", Operation::Rm, "", "", ""},
      {{"rm", "ftp://h/pub/%2E"}, "refusing the name in the URL", Operation::Rm, "", "", ""},
      {{"mv", "ftp://h/a", "../b"}, "refusing the new name", Operation::Rm, "", "", ""},
      {{"mv", "ftp://h/a", ""}, "refusing the new name", Operation::Rm, "", "", ""},
      {{"mv", "ftp://h/a"}, "wrong number of arguments", Operation::Rm, "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    Options o;
    std::string error;
    const bool ok = ParseArguments(row.args, o, error);
    if (*row.error != '\0') {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(o.op, row.op);
    EXPECT_EQ(o.url.dir, row.dir);
    EXPECT_EQ(o.url.name, row.name);
    EXPECT_EQ(o.newName, row.newName);
  }
}

TEST(VekftpText, ServerTextIsEscapedAndProgressReadsRight) {
  EXPECT_EQ(EscapeControls("550 \x1b]0;owned\x07 no\r"), "550 \\x1B]0;owned\\x07 no\\x0D");
  EXPECT_EQ(EscapeControls("caf\xc3\xa9 \xe2\x82\xac ok"), "caf\xc3\xa9 \xe2\x82\xac ok");  // UTF-8 passes
  EXPECT_EQ(EscapeControls("\xc2\x9b" "31m \x9b \x7f a\\b"), "\\xC2\\x9B31m \\x9B \\x7F a\\\\b");  // C1, stray, DEL
  EXPECT_EQ(EscapeControls("cut \xe2\x82"), "cut \\xE2\\x82");

  EXPECT_EQ(ProgressText(1048576, -1, 0, 0), "1048576 bytes");
  EXPECT_EQ(ProgressText(1000000, 2000000, 1000000, 500), "1000000 bytes  50%  2.0 MB/s  0:01 left");
  EXPECT_EQ(ProgressText(3000, -1, 3000, 1000), "3000 bytes  3.0 kB/s");
  EXPECT_EQ(ProgressText(500, 360500, 500, 1000), "500 bytes  0%  500.0 B/s  12:00 left");
  EXPECT_EQ(ProgressText(100, 3600100, 100, 1000), "100 bytes  0%  100.0 B/s  10:00:00 left");
}

}  // namespace
// ~/.netrc as curl -n and lftp read it: the host's entry (with the URL's
// user, when it names one), else "default"; macro bodies skipped.
TEST(VekftpNetrc, EntriesAreFoundByHostUserAndDefault) {
  const std::string text =
      "machine other.example.org login a password pa\n"
      "macdef init\n  machine ftp.example.org login evil password evil\n\n"
      "machine FTP.example.org\n  login bob password b0b\n"
      "machine ftp.example.org login carol password c4rol account x\n"
      "default login anonymous password guest@example.org\n";
  const struct {
    const char* host;
    const char* user;
    bool found;
    const char* login;
    const char* password;
  } cases[] = {
      {"ftp.example.org", "", true, "bob", "b0b"},
      {"ftp.example.org", "carol", true, "carol", "c4rol"},
      {"other.example.org", "", true, "a", "pa"},
      {"elsewhere.org", "", true, "anonymous", "guest@example.org"},
      {"ftp.example.org", "dave", false, "", ""},  // nobody's password for another user
  };
  for (const auto& c : cases) {
    const NetrcEntry e = NetrcLookup(text, c.host, c.user);
    EXPECT_EQ(e.found, c.found) << c.host << " " << c.user;
    EXPECT_EQ(e.login, c.login) << c.host << " " << c.user;
    EXPECT_EQ(e.password, c.password) << c.host << " " << c.user;
  }
  EXPECT_FALSE(NetrcLookup("machine a login b password c\n", "z", "").found);

  EXPECT_EQ(MaskPassword("> PASS s3cret"), "> PASS ****");
  EXPECT_EQ(MaskPassword("> USER PASS s3cret"), "> USER PASS s3cret");
  EXPECT_EQ(MaskPassword("< 230 ok"), "< 230 ok");
}

}  // namespace vekftp
