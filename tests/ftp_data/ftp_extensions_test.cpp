// What servers offer beyond RFC 959, against the real ones: FEAT, MLSD
// where it is listed (LIST elsewhere), names with non-ASCII letters, spaces
// and semicolons both ways, file times read and set, and a 227 reply that
// names an address other than the server's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <memory>

#include "ftp/ftpcli.h"
#include "tests/ftp_data/pureftpd_peer.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/support/peer_process.h"
#include "tests/support/temp_folder.h"

namespace vektest {
namespace {

namespace fs = std::filesystem;

enum Server { kPyFtpd, kPureFtpd, kVsftpd };

// One of the three servers, started with Root holding a writable "up".
struct Peer {
  std::unique_ptr<PyFtpdPeer> py;
  std::unique_ptr<FtpServerPeer> other;
  testsupport::TempFolder pyRoot;
  std::string user = "anonymous", password = "x";

  bool Start(Server Which, std::string& Error, const std::string& Nat = {}) {
    if (Which == kPyFtpd) {
      fs::create_directories(fs::path(pyRoot.Path()) / "up");
      py = std::make_unique<PyFtpdPeer>("vek", "pw", pyRoot.Path());
      if (!Nat.empty()) py->Masquerade(Nat);
      user = "vek";
      password = "pw";
      return py->Start(Error);
    }
    if (Which == kPureFtpd) {
      other = std::make_unique<PureFtpdPeer>();
      user = "demo";
      password = "pw";
    } else {
      auto vsftpd = std::make_unique<VsftpdPeer>();
      if (!Nat.empty()) vsftpd->AddConfig("pasv_address=" + Nat + "\n");
      other = std::move(vsftpd);
    }
    if (!other->Start(Error)) return false;
    fs::create_directories(other->Upload());
    return true;
  }
  fs::path Root() const { return py ? fs::path(pyRoot.Path()) : other->Root(); }
  std::uint16_t Port() const { return py ? py->Port() : other->Port(); }
};

void Configure(TFtpClient& ftp, const Peer& peer) {
  ftp.SetHostName("127.0.0.1");
  ftp.SetPort(std::to_string(peer.Port()));
  ftp.SetUserName(peer.user);
  ftp.SetPassWord(peer.password);
  ftp.SetTimeout(20);
  ftp.SetPassiveMode(true);
  ftp.SetUseFeatures(true);
  ftp.SetUseMlsd(true);
}

std::int64_t MTime(const fs::path& Path) { return testsupport::MTime(Path.string()); }

void SetMTime(const fs::path& Path, std::int64_t Seconds) { ASSERT_TRUE(testsupport::SetMTime(Path.string(), Seconds)); }

class Extensions : public ::testing::TestWithParam<Server> {};

TEST_P(Extensions, ListingsNamesAndTimesBothWays) {
  const Server which = GetParam();
  Peer peer;
  std::string error;
  if (!peer.Start(which, error)) GTEST_SKIP() << error;
  testsupport::TempFolder local;
  TFtpClient ftp;
  Configure(ftp, peer);
  ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
  ASSERT_TRUE(ftp.TypeSet());
  EXPECT_EQ(ftp.ListsMachineReadable(), which != kVsftpd);

  const std::string name = "Zürich; été 1.txt";
  const std::int64_t served = 1577934245;  // 2020-01-02 03:04:05 UTC
  ASSERT_TRUE(WriteFile(peer.Root() / "up" / name, "abc\n"));
  SetMTime(peer.Root() / "up" / name, served);

  ftp.SetHostDirName("up");
  ASSERT_TRUE(ftp.Cwd()) << ftp.ErrorMessage();
  ftp.SetHostFileName("");
  ftp.SetLocalFileName(local.File("listing.txt"));
  ASSERT_TRUE(ftp.Dir()) << ftp.ErrorMessage();
  const std::string listing = ReadFile(local.File("listing.txt"));
  EXPECT_NE(listing.find(name), std::string::npos) << listing;
  EXPECT_EQ(listing.find("type=file") != std::string::npos, which != kVsftpd) << listing;

  ftp.SetHostFileName(name);
  ASSERT_TRUE(ftp.ModTime()) << ftp.ErrorMessage();
  EXPECT_EQ(ftp.RemoteModTime(), served);
  ftp.SetLocalFileName(local.File("down.txt"));
  ASSERT_TRUE(ftp.Get()) << ftp.ErrorMessage();
  EXPECT_EQ(ReadFile(local.File("down.txt")), "abc\n");

  const std::string upName = "ünï cödé.bin";
  WriteFile(local.File("up.bin"), std::string(70000, 'u'));
  ftp.SetHostFileName(upName);
  ftp.SetLocalFileName(local.File("up.bin"));
  ASSERT_TRUE(ftp.Put()) << ftp.ErrorMessage();
  EXPECT_EQ(ReadFile(peer.Root() / "up" / upName), std::string(70000, 'u'));
  ftp.SetModTimeToSet(served + 3600);
  ASSERT_TRUE(ftp.SetModTime()) << ftp.ErrorMessage();
  EXPECT_EQ(MTime(peer.Root() / "up" / upName), served + 3600);
  EXPECT_TRUE(ftp.Quit());
}

INSTANTIATE_TEST_SUITE_P(Servers, Extensions, ::testing::Values(kPyFtpd, kPureFtpd, kVsftpd));

// A server behind NAT names 127.0.0.2 in its 227 replies, and listens on
// 127.0.0.1 only: the data goes to the control connection's peer, and the
// log says so once. Taken literally (the option), the connection fails.
TEST(PasvAddress, AnotherAddressIn227IsNotFollowedUnlessAsked) {
  for (Server which : {kPyFtpd, kVsftpd}) {
    SCOPED_TRACE(which);
    Peer peer;
    std::string error;
    if (!peer.Start(which, error, "127.0.0.2")) GTEST_SKIP() << error;
    testsupport::TempFolder local;
    TFtpClient ftp;
    Configure(ftp, peer);
    std::vector<std::string> log;
    ftp.OnDisplay = [&log](TCustomFtpCli*, std::string& line) { log.push_back(line); };
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ftp.SetLocalFileName(local.File("listing.txt"));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(ftp.Dir()) << ftp.ErrorMessage();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "! The server named 127.0.0.2 for passive data connections; connecting to its own "
                         "address 127.0.0.1 instead"),
              1);
    EXPECT_TRUE(ftp.Quit());

    ftp.SetUsePasvAddress(true);
    ftp.SetTimeout(2);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    EXPECT_FALSE(ftp.Dir());
  }
}

}  // namespace
}  // namespace vektest
