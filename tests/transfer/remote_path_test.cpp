#include "transfer/remote_path.h"

#include <gtest/gtest.h>

using transfer::RemoteDirPath;

TEST(RemoteDirPath, FromTheRootsChildDown) {
  EXPECT_EQ(RemoteDirPath({}), "/");
  EXPECT_EQ(RemoteDirPath({"pub"}), "/pub");
  EXPECT_EQ(RemoteDirPath({"pub", "linux", "kernel"}), "/pub/linux/kernel");
  EXPECT_EQ(RemoteDirPath({"my dir", "sub "}), "/my dir/sub ");
}

TEST(RemoteDirPath, BackToNodeNames) {
  using transfer::RemotePathNames;
  using Names = std::vector<std::string>;
  EXPECT_EQ(RemotePathNames("/"), Names{});
  EXPECT_EQ(RemotePathNames(""), Names{});
  EXPECT_EQ(RemotePathNames("/pub//linux/"), (Names{"pub", "linux"}));
  EXPECT_EQ(RemotePathNames("pub"), Names{"pub"});
  // Round trip, blanks kept.
  EXPECT_EQ(RemoteDirPath(RemotePathNames("/my dir/sub ")), "/my dir/sub ");
}
