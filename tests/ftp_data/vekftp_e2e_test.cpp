// vekftp end to end against vsftpd and pure-ftpd on 127.0.0.1, in active and passive mode:
// list, download, upload, append and resume, every file compared byte for byte;
// delete, rename and folders. The commands on names also against a scripted
// server, for the exact commands sent.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <map>
#include <tuple>
#include <vector>

#include "tests/ftp_data/pureftpd_peer.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/ftp_data/server_data.h"
#include "tests/support/ftp_test_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/peer_process.h"
#include "tests/support/tls_test_peer.h"

namespace vektest {
namespace {

namespace fs = std::filesystem;

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string VekftpPath() { return VEKFTP_PATH; }

// Runs vekftp in Cwd; killed if it outlives 60 seconds.
ToolResult RunVekftp(const std::vector<std::string>& Args, const fs::path& Cwd) {
  ToolResult r;
  const fs::path outPath = Cwd / ".vekftp.out";
  const fs::path errPath = Cwd / ".vekftp.err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(Cwd.c_str()) != 0) ::_exit(126);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<std::string> argv{VekftpPath(), "--timeout", "20"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFile(outPath);
  r.err = ReadFile(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return r;
}

std::string RandomBytes(std::size_t N, unsigned Seed) {
  std::mt19937 gen(Seed);
  std::string s(N, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// Each test runs against vsftpd and pure-ftpd (whose data replies come in
// several lines), in active and passive mode.
class ServerTest : public ::testing::TestWithParam<std::tuple<const char*, bool>> {
 protected:
  void SetUp() override {
    if (std::string(std::get<0>(GetParam())) == "PureFtpd")
      peer = std::make_unique<PureFtpdPeer>();
    else
      peer = std::make_unique<VsftpdPeer>();
    std::string error;
    // A peer that cannot start fails the test: it must not pass unseen.
    ASSERT_TRUE(peer->Start(error)) << error;
    big = RandomBytes(3 * 1024 * 1024 + 17, 11);
    ASSERT_TRUE(WriteFile(peer->Root() / "big.bin", big));
    ASSERT_TRUE(WriteFile(peer->Root() / "small.txt", "hello\r\nworld\r\n"));
    fs::permissions(peer->Root() / "big.bin", fs::perms(0644));
    fs::permissions(peer->Root() / "small.txt", fs::perms(0644));
  }

  ToolResult Run(std::vector<std::string> Args) {
    Args.insert(Args.begin(), std::get<1>(GetParam()) ? "--passive" : "--active");
    return RunVekftp(Args, local.Path());
  }

  std::unique_ptr<FtpServerPeer> peer;
  TempDir local{"vekftplocal"};
  std::string big;
};

TEST_P(ServerTest, ListDownloadUploadAppendResume) {
  ToolResult r = Run({"ls", peer->Url("")});
  ASSERT_EQ(r.status, 0) << r.err << peer->Log();
  EXPECT_NE(r.out.find("big.bin"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("small.txt"), std::string::npos) << r.out;

  // get without LOCAL: the remote name in the current folder.
  r = Run({"get", peer->Url("big.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(local.Path() / "big.bin") == big);

  r = Run({"put", "big.bin", peer->Url("up/copy.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(peer->Upload() / "copy.bin") == big);

  r = Run({"append", "big.bin", peer->Url("up/copy.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(peer->Upload() / "copy.bin") == big + big);

  ASSERT_TRUE(WriteFile(local.Path() / "part.bin", big.substr(0, 777777)));
  r = Run({"resume", peer->Url("big.bin"), "part.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(local.Path() / "part.bin") == big);

  r = Run({"size", peer->Url("big.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::to_string(big.size()) + "\n");

  fs::create_directory(local.Path() / "into");
  r = Run({"get", peer->Url("small.txt"), "into"});  // a folder: the file lands inside
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(local.Path() / "into" / "small.txt"), "hello\r\nworld\r\n");

  r = Run({"mget", peer->Url(""), "small.txt", "big.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(local.Path() / "small.txt"), "hello\r\nworld\r\n");
  EXPECT_TRUE(ReadFile(local.Path() / "big.bin") == big);

  // -p: copies keep the original's time, both ways (MFMT, or vsftpd's MDTM).
  const auto stamp = std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now()) - std::chrono::hours(24 * 400);
  fs::last_write_time(peer->Root() / "small.txt", stamp);
  r = Run({"-p", "get", peer->Url("small.txt"), "timed.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;
  const auto seconds = [](fs::file_time_type t) {
    return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
  };
  EXPECT_EQ(seconds(fs::last_write_time(local.Path() / "timed.txt")), seconds(stamp));
  r = Run({"-p", "put", "timed.txt", peer->Url("up/timed.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;
  EXPECT_EQ(seconds(fs::last_write_time(peer->Upload() / "timed.txt")), seconds(stamp));
}

using testsupport::MakeTree;
using testsupport::TreeOf;

// mirror copies a whole tree down and back up, byte for byte, over one and
// over four connections: empty folders, names with spaces and non-ASCII
// letters, a file of 0 bytes.
TEST_P(ServerTest, MirrorCopiesWholeTreesBothWays) {
  MakeTree(peer->Root() / "tree");
  const auto original = TreeOf(peer->Root() / "tree");
  for (const std::string j : {"1", "4"}) {
    SCOPED_TRACE("-j " + j);
    const fs::path down = local.Path() / ("down" + j);
    ToolResult r = Run({"-j", j, "mirror", peer->Url("tree/"), down.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(TreeOf(down), original);
    r = Run({"-j", j, "mirror", "-R", down.string(), peer->Url("up/copy" + j + "/")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(TreeOf(peer->Upload() / ("copy" + j)), original);
  }
}

// A server that takes two connections from an address: the run goes on
// with those and every file arrives; pyftpdlib copies a tree both ways. A folder whose link leads back into
// itself ends the walk with a message instead of never ending.
TEST(VekftpMirror, RefusedConnectionsAndEndlessFoldersEndCleanly) {
  TempDir local{"vekftplocal"};
  VsftpdPeer limited;
  limited.AddConfig("max_per_ip=2\n");
  std::string error;
  ASSERT_TRUE(limited.Start(error)) << error;
  MakeTree(limited.Root() / "tree");
  ToolResult r = RunVekftp({"-j", "4", "mirror", limited.Url("tree/"), "down"}, local.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("going on with 2 connections"), std::string::npos) << r.err;
  EXPECT_EQ(TreeOf(local.Path() / "down"), TreeOf(limited.Root() / "tree"));

  // pyftpdlib too, both ways over four connections.
  testsupport::TempFolder pyRoot;
  MakeTree(fs::path(pyRoot.Path()) / "tree");
  PyFtpdPeer py("vek", "pw", pyRoot.Path());
  ASSERT_TRUE(py.Start(error)) << error;
  const std::string pyUrl = "ftp://vek:pw@127.0.0.1:" + py.PortText() + "/";
  r = RunVekftp({"-j", "4", "mirror", pyUrl + "tree/", "pydown"}, local.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = RunVekftp({"-j", "4", "mirror", "-R", "pydown", pyUrl + "copy/"}, local.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(TreeOf(fs::path(pyRoot.Path()) / "copy") == TreeOf(fs::path(pyRoot.Path()) / "tree"));

  // Every folder lists a sub-folder "again", and every folder is "/".
  testsupport::TempFolder served;
  FtpServeOptions options;
  options.root = served.Path();
  FtpTestServer looping(options);
  auto data = std::make_shared<ServerData>();
  looping.AddCommand("PASV", [data](FtpServerSession& s, const std::string&) { s.Reply(data->Pasv()); });
  looping.AddCommand("CWD", [](FtpServerSession& s, const std::string&) { s.Reply("250 ok"); });
  looping.AddCommand("PWD", [](FtpServerSession& s, const std::string&) { s.Reply("257 \"/\""); });
  looping.AddCommand("LIST", [data](FtpServerSession& s, const std::string&) {
    s.Reply("150 here");
    if (data->Open()) data->Send("drwxr-xr-x 1 u g 0 Jan 1 2020 again\r\n");
    data->Close();
    s.Reply("226 done");
  });
  r = RunVekftp({"mirror", "ftp://" + options.user + ":" + options.password + "@127.0.0.1:" + looping.PortText() + "/",
                 "looped"},
                local.Path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("! Listed once: /again is / again"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_directory(local.Path() / "looped" / "again"));
}

TEST_P(ServerTest, FailedDownloadReportsTheServerAndLeavesTheLocalFileAlone) {
  ASSERT_TRUE(WriteFile(local.Path() / "keep.bin", "keep me"));
  ToolResult r = Run({"get", peer->Url("missing.bin"), "keep.bin"});
  EXPECT_EQ(r.status, 4);  // the server refused the file
  EXPECT_EQ(r.err.rfind("Error: 550", 0), 0u) << r.err;
  EXPECT_EQ(ReadFile(local.Path() / "keep.bin"), "keep me");
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(local.Path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);  // no temporary file left behind

  r = Run({"get", peer->Url("big.bin"), "no/such/folder/big.bin"});
  EXPECT_EQ(r.status, 5) << r.err;  // a local file error
}

TEST_P(ServerTest, DeleteRenameAndFolders) {
  const fs::path up = peer->Upload();
  ASSERT_TRUE(WriteFile(up / "f.txt", "data"));
  fs::permissions(up / "f.txt", fs::perms(0666));

  ToolResult r = Run({"mkdir", peer->Url("up/new%20dir/")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_directory(up / "new dir"));
  r = Run({"mv", peer->Url("up/new%20dir"), "renamed"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_directory(up / "renamed"));
  r = Run({"mv", peer->Url("up/f.txt"), "g h.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(up / "g h.txt"), "data");
  r = Run({"rm", peer->Url("up/g%20h.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(up / "g h.txt"));
  r = Run({"rmdir", peer->Url("up/renamed")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_empty(up));

  // The server's refusal is the error and the exit status.
  r = Run({"rmdir", peer->Url("up/missing")});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err.rfind("Error: 550", 0), 0u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerTest,
                         ::testing::Combine(::testing::Values("Vsftpd", "PureFtpd"), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<const char*, bool>>& Info) {
                           return std::string(std::get<0>(Info.param)) + (std::get<1>(Info.param) ? "Passive" : "Active");
                         });

// FTP over TLS against vsftpd requiring it: a self-signed certificate is
// refused (exit 3, with why and its fingerprint), taken with --insecure
// (its fingerprint shown) or --pin, taken silently once trusted in the
// window's store; a certificate of a trusted authority (--cacert) passes;
// ftps:// is implicit TLS.
TEST(VekftpTls, CertificatesAreRefusedPinnedTrustedOrTakenOnRequest) {
  TempDir work{"vekftptls"};
  const std::string folder = work.Path().string();
  CertificateRequest authorityRequest;
  authorityRequest.name = "vek test authority";
  authorityRequest.authority = true;
  const TestCertificate authority = MakeTestCertificate(folder, "ca", authorityRequest);
  const TestCertificate selfSigned = MakeTestCertificate(folder, "self", {});
  const TestCertificate signedByAuthority = MakeTestCertificate(folder, "signed", {}, &authority);
  ::setenv("XDG_CONFIG_HOME", (work.Path() / "config").c_str(), 1);
  struct Unset {
    ~Unset() { ::unsetenv("XDG_CONFIG_HOME"); }
  } unset;
  const std::string payload = RandomBytes(200000, 5);

  VsftpdPeer peer({VsftpdTls::Explicit, selfSigned});
  std::string error;
  if (!peer.Start(error)) GTEST_SKIP() << error;
  ASSERT_TRUE(WriteFile(peer.Root() / "f.bin", payload));
  const std::string url = peer.Url("f.bin");
  TempDir local{"vekftplocal"};
  ToolResult r = RunVekftp({"--tls", "get", url}, local.Path());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("self-signed certificate"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(selfSigned.fingerprint), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(local.Path() / "f.bin"));

  r = RunVekftp({"--insecure", "get", url}, local.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("SHA256:" + selfSigned.fingerprint), std::string::npos) << r.err;
  EXPECT_TRUE(ReadFile(local.Path() / "f.bin") == payload);
  fs::remove(local.Path() / "f.bin");

  r = RunVekftp({"--pin", "SHA256:" + selfSigned.fingerprint, "-v", "get", url}, local.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("> PROT P"), std::string::npos) << r.err;
  r = RunVekftp({"--pin", "sha256:00:11", "get", url, "other.bin"}, local.Path());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_FALSE(fs::exists(local.Path() / "other.bin"));

  // Trusted in the window: the same store.
  fs::create_directories(work.Path() / "config" / "rirarar");
  ASSERT_TRUE(WriteFile(work.Path() / "config" / "rirarar" / "trusted-certificates",
                        "127.0.0.1:" + std::to_string(peer.Port()) + " " + selfSigned.fingerprint + "\n"));
  r = RunVekftp({"ls", peer.Url("")}, local.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("f.bin"), std::string::npos);
  EXPECT_EQ(RunVekftp({"--no-tls", "ls", peer.Url("")}, local.Path()).status, 3);

  VsftpdPeer implicit({VsftpdTls::Implicit, signedByAuthority});
  if (!implicit.Start(error)) GTEST_SKIP() << error;
  ASSERT_TRUE(WriteFile(implicit.Root() / "g.bin", payload));
  const std::string secureUrl = "ftps://127.0.0.1:" + std::to_string(implicit.Port()) + "/g.bin";
  r = RunVekftp({"--cacert", authority.certFile, "get", secureUrl}, local.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(local.Path() / "g.bin") == payload);
  EXPECT_EQ(RunVekftp({"get", secureUrl, "h.bin"}, local.Path()).status, 3);
}

// A URL without a password takes it from ~/.netrc, which must be private;
// the URL's own password wins; -v never shows a password.
TEST(VekftpNetrc, PasswordsComeFromAPrivateNetrc) {
  TempDir home{"vekftphome"};
  struct Restore {
    std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    ~Restore() { ::setenv("HOME", home.c_str(), 1); }
  } restore;
  ::setenv("HOME", home.Path().c_str(), 1);
  ASSERT_TRUE(WriteFile(home.Path() / ".netrc", "machine 127.0.0.1 login bob password from-netrc\n"));
  ::chmod((home.Path() / ".netrc").c_str(), 0600);
  TempDir local{"vekftplocal"};
  for (const bool inUrl : {false, true}) {
    FtpScript script;
    script.Greet("220 hi").Expect("AUTH TLS", "502 no").Expect("AUTH SSL", "502 no");
    script.Expect("USER bob", "331 pw").Expect(inUrl ? "PASS from-url" : "PASS from-netrc", "230 in");
    script.Expect("FEAT", "502 no");
    script.Expect("TYPE I", "200 ok").Expect("SIZE f", "550 no such file").Expect("QUIT", "221 bye");
    FtpTestServer server(script);
    const std::string url =
        "ftp://" + std::string(inUrl ? "bob:from-url@" : "") + "127.0.0.1:" + server.PortText() + "/f";
    const ToolResult r = RunVekftp({"-v", "size", url}, local.Path());
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(server.Mismatches().empty()) << server.Mismatches()[0];
    EXPECT_NE(r.err.find("> PASS ****"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("from-"), std::string::npos) << r.err;
  }
  ::chmod((home.Path() / ".netrc").c_str(), 0644);
  const ToolResult r = RunVekftp({"size", "ftp://127.0.0.1:1/f"}, local.Path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(".netrc can be read by others (mode 0644)"), std::string::npos) << r.err;
}

TEST(VekftpTool, RefusesALocalNameThatLeavesTheFolderAndWritesNothing) {
  TempDir local{"vekftplocal"};
  // No server is needed: the name is refused before anything connects.
  const ToolResult r = RunVekftp({"get", "ftp://127.0.0.1:1/dir/%2E%2E"}, local.Path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("refusing the local file name \"..\""), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(local.Path()));
}

// The conventions of curl and lftp: --help on stdout, documented exit
// statuses, and server text shown escaped so that a server cannot drive the
// user's terminal.
TEST(VekftpTool, HelpExitStatusesAndEscapedServerText) {
  TempDir local{"vekftplocal"};
  ToolResult r = RunVekftp({"--help"}, local.Path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: vekftp", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "");

  r = RunVekftp({"get", "ftp://127.0.0.1:" + std::to_string(ClosedLocalPort()) + "/f.bin"}, local.Path());
  EXPECT_EQ(r.status, 3) << r.err;  // no connection

  FtpScript s;
  // TLS is asked for by default, and its absence is no error.
  s.Greet("220 hi").Expect("AUTH TLS", "500 AUTH not understood").Expect("AUTH SSL", "500 AUTH not understood");
  s.Expect("USER anonymous", "331 any password").Expect("PASS *", "230 in").Expect("FEAT", "500 FEAT?");
  s.Expect("TYPE I", "200 ok").Expect("CWD d", "550 \x1b[2J\x1b]0;owned\x07gone");
  s.Expect("QUIT", "221 bye");
  FtpTestServer server(s);
  r = RunVekftp({"-v", "get", "ftp://127.0.0.1:" + server.PortText() + "/d/f.bin"}, local.Path());
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("Error: 550 \\x1B[2J\\x1B]0;owned\\x07gone"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
}

// rm, mv, mkdir and rmdir against a scripted server: the commands each one
// sends, nothing else (no TYPE, no data connection), and QUIT after a refusal.
TEST(VekftpTool, CommandsOnNamesSendExactlyTheirCommands) {
  struct Case {
    std::vector<std::string> args;  // "URL/" stands for the server's URL
    std::vector<std::pair<std::string, std::string>> steps;
    int status;
    const char* err;
  };
  const Case cases[] = {
      {{"rm", "URL/pub/a%20b.txt"}, {{"CWD pub", "250 ok"}, {"DELE a b.txt", "250 deleted"}}, 0, ""},
      {{"mv", "URL/old.txt", "new name.txt"},
       {{"RNFR old.txt", "350 ready"}, {"RNTO new name.txt", "250 renamed"}},
       0,
       ""},
      {{"mv", "URL/missing", "x"}, {{"RNFR missing", "550 No such file"}}, 4, "Error: 550 No such file"},
      {{"mkdir", "URL/up/new/"}, {{"CWD up", "250 ok"}, {"MKD new", "257 \"/up/new\" created"}}, 0, ""},
      {{"rmdir", "URL/up/full"}, {{"CWD up", "250 ok"}, {"RMD full", "550 Directory not empty"}}, 4,
       "Error: 550 Directory not empty"},
      {{"rmdir", "URL/nowhere/x"}, {{"CWD nowhere", "550 No such directory"}}, 4, "Error: 550 No such directory"},
      // Refused before anything connects.
      {{"mv", "URL/a", "b\r\nDELE c"}, {}, 2, "line break"},
      {{"rmdir", "URL/pub/%2E%2E"}, {}, 2, "refusing the name in the URL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    FtpScript script;
    std::vector<std::string> expected;
    if (!c.steps.empty()) {
      script.Greet("220 test server").Expect("AUTH TLS", "502 no").Expect("AUTH SSL", "502 no");
      script.Expect("USER bob", "331 pw please").Expect("PASS x", "230 ok");
      script.Expect("FEAT", "211-Features:\n MDTM\n211 End");
      expected = {"AUTH TLS", "AUTH SSL", "USER bob", "PASS x", "FEAT"};
      for (const auto& [command, reply] : c.steps) {
        script.Expect(command, reply);
        expected.push_back(command);
      }
      script.Expect("QUIT", "221 bye");
      expected.push_back("QUIT");
    }
    FtpTestServer server(script);
    std::vector<std::string> args = c.args;
    args[1].replace(0, 3, "ftp://bob:x@127.0.0.1:" + server.PortText());
    TempDir local{"vekftplocal"};
    const ToolResult r = RunVekftp(args, local.Path());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (!server.WaitForDisconnect(5000)) ADD_FAILURE() << "no disconnect";
    EXPECT_EQ(server.Commands(), expected);
    EXPECT_TRUE(server.Mismatches().empty());
    EXPECT_EQ(server.Connections(), c.steps.empty() ? 0 : 1);
  }
}

}  // namespace
}  // namespace vektest
