#include "transfer/remote_path.h"

#include <gtest/gtest.h>

using transfer::RemoteDirPath;

TEST(RemoteDirPath, FromTheRootsChildDown) {
  EXPECT_EQ(RemoteDirPath({}), "/");
  EXPECT_EQ(RemoteDirPath({"pub"}), "/pub");
  EXPECT_EQ(RemoteDirPath({"pub", "linux", "kernel"}), "/pub/linux/kernel");
  EXPECT_EQ(RemoteDirPath({"my dir", "sub "}), "/my dir/sub ");
}
