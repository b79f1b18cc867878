// The mount table turned into drives, and folder enumeration, on sample
// texts and a folder tree built here.
#include "platform/drives.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

namespace {

std::string Sample(const std::string& name) {
  std::ifstream in(std::string(VEK_DRIVES_SAMPLES) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

std::vector<std::string> Paths(const std::vector<plat::MountEntry>& drives) {
  std::vector<std::string> paths;
  for (const auto& d : drives) paths.push_back(d.path);
  return paths;
}

std::map<std::string, plat::DriveKind> Kinds(const std::vector<plat::MountEntry>& drives) {
  std::map<std::string, plat::DriveKind> kinds;
  for (const auto& d : drives) kinds[d.path] = d.kind;
  return kinds;
}

using plat::DriveKind;

TEST(MountInfo, DesktopShowsRealDrivesRootFirstAndNoPseudoFileSystems) {
  const auto drives = plat::ParseMountInfo(Sample("desktop.mountinfo"));
  EXPECT_EQ(Paths(drives), (std::vector<std::string>{"/", "/boot/efi/", "/home/", "/media/anna/MY STICK/",
                                                     "/media/anna/UBUNTU 22_04/", "/mnt/nfs/", "/mnt/ramdisk/",
                                                     "/mnt/win/", "/tmp/"}));
  const auto kinds = Kinds(drives);
  EXPECT_EQ(kinds.at("/"), DriveKind::Fixed);
  EXPECT_EQ(kinds.at("/boot/efi/"), DriveKind::Fixed);
  EXPECT_EQ(kinds.at("/media/anna/MY STICK/"), DriveKind::Removable);
  EXPECT_EQ(kinds.at("/media/anna/UBUNTU 22_04/"), DriveKind::CDRom);
  EXPECT_EQ(kinds.at("/mnt/nfs/"), DriveKind::Remote);
  EXPECT_EQ(kinds.at("/mnt/win/"), DriveKind::Remote);
  EXPECT_EQ(kinds.at("/mnt/ramdisk/"), DriveKind::RamDisk);
  EXPECT_EQ(kinds.at("/tmp/"), DriveKind::RamDisk);
  // Escapes decoded, source and type kept for labels.
  const auto stick = std::find_if(drives.begin(), drives.end(), [](auto& d) { return d.path == "/media/anna/MY STICK/"; });
  EXPECT_EQ(stick->source, "/dev/sdb1");
  EXPECT_EQ(stick->fsType, "vfat");
  EXPECT_EQ(stick->major, 8u);
  EXPECT_EQ(stick->minor, 17u);
  const auto nfs = std::find_if(drives.begin(), drives.end(), [](auto& d) { return d.path == "/mnt/nfs/"; });
  EXPECT_EQ(nfs->source, "fileserver:/export/home");
}

TEST(MountInfo, ContainerKeepsOverlayRootButNoBindMountsMasksOrHiddenMounts) {
  const auto drives = plat::ParseMountInfo(Sample("container.mountinfo"));
  // /etc/hosts and friends are bind mounts of files, /data of a sub-folder,
  // /opt/masked a read-only mask, /tmp mounted over by proc.
  EXPECT_EQ(Paths(drives), (std::vector<std::string>{"/", "/work/", "/work2/"}));
  EXPECT_EQ(drives[0].kind, DriveKind::Fixed);
  EXPECT_EQ(drives[0].fsType, "overlay");
}

bool SdcRemovable(unsigned major, unsigned minor) { return major == 8 && minor == 33; }

TEST(MountInfo, RemovableFlagOfTheDeviceMakesADriveRemovableOutsideMedia) {
  const std::string text =
      "26 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
      "60 26 8:33 / /mnt/usb rw - exfat /dev/sdc1 rw\n"
      "61 26 8:49 / /mnt/disk rw - xfs /dev/sdd1 rw\n";
  const auto kinds = Kinds(plat::ParseMountInfo(text, SdcRemovable));
  EXPECT_EQ(kinds.at("/mnt/usb/"), DriveKind::Removable);
  EXPECT_EQ(kinds.at("/mnt/disk/"), DriveKind::Fixed);
  EXPECT_EQ(kinds.at("/"), DriveKind::Fixed);
}

TEST(MountInfo, EmptyOrBrokenTextGivesNoDrives) {
  EXPECT_TRUE(plat::ParseMountInfo("").empty());
  EXPECT_TRUE(plat::ParseMountInfo("1 2 3\n- - -\n\n").empty());
}

TEST(MountInfo, EscapesDecodeOnlyThreeOctalDigits) {
  EXPECT_EQ(plat::DecodeMountEscapes("/media/a\\040b"), "/media/a b");
  EXPECT_EQ(plat::DecodeMountEscapes("a\\134b\\011c\\012"), "a\\b\tc\n");
  EXPECT_EQ(plat::DecodeMountEscapes("tail\\04"), "tail\\04");
  EXPECT_EQ(plat::DecodeMountEscapes("x\\999"), "x\\999");
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vek-drives-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) ? pattern + "/" : std::string();
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(FolderEnumerator, GivesNamesWithDirectoryAndHiddenBits) {
  TempFolder tmp;
  ASSERT_FALSE(tmp.path().empty());
  std::filesystem::create_directories(tmp.path() + "Sub");
  std::filesystem::create_directories(tmp.path() + ".dot");
  std::ofstream(tmp.path() + "file.txt") << "x";
  std::ofstream(tmp.path() + ".hiddenfile") << "x";
  std::filesystem::create_directory_symlink(tmp.path() + "Sub", tmp.path() + "link");
  std::filesystem::create_symlink(tmp.path() + "missing", tmp.path() + "dangling");

  std::map<std::string, std::uint32_t> seen;
  std::vector<std::string> links;
  plat::FolderEnumerator find;
  plat::FolderEntry e;
  for (bool ok = find.First(tmp.path(), e); ok; ok = find.Next(e)) {
    seen[e.name] = e.attr;
    if (e.link) links.push_back(e.name);
  }
  std::sort(links.begin(), links.end());
  EXPECT_EQ(links, (std::vector<std::string>{"dangling", "link"}));
  EXPECT_TRUE(plat::IsSymbolicLink(tmp.path() + "link/"));
  EXPECT_FALSE(plat::IsSymbolicLink(tmp.path() + "Sub/"));
  EXPECT_EQ(plat::RealFolder(tmp.path() + "link"), plat::RealFolder(tmp.path() + "Sub/"));
  EXPECT_EQ(plat::RealFolder(tmp.path() + "dangling"), "");
  EXPECT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen.at("."), plat::faDirectory);
  EXPECT_EQ(seen.at(".."), plat::faDirectory);
  EXPECT_EQ(seen.at("Sub"), plat::faDirectory);
  EXPECT_EQ(seen.at(".dot"), plat::faDirectory | plat::faHidden);
  EXPECT_EQ(seen.at("file.txt"), 0u);
  EXPECT_EQ(seen.at(".hiddenfile"), plat::faHidden);
  EXPECT_EQ(seen.at("link"), plat::faDirectory);   // a link to a folder is a folder
  EXPECT_EQ(seen.at("dangling"), 0u);
}

TEST(FolderEnumerator, MissingFolderYieldsNothing) {
  plat::FolderEnumerator find;
  plat::FolderEntry e;
  EXPECT_FALSE(find.First("/nonexistent-vek-folder/", e));
  EXPECT_FALSE(find.Next(e));
}

TEST(MachineDrives, RootFirstAndVolumeOfRootReadable) {
  plat::Drives& drives = plat::TheDrives();
  const auto list = drives.List();
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.front().path, "/");
  EXPECT_EQ(drives.Kind("/"), list.front().kind);
  EXPECT_EQ(drives.Kind("/no/such/mount/"), DriveKind::NoRoot);
  std::string label = "stale";
  std::int32_t serial = 0;
  EXPECT_TRUE(drives.VolumeInformation("/", label, serial));
  EXPECT_FALSE(drives.VolumeInformation("/no/such/mount/", label, serial));
  EXPECT_EQ(serial, -1);
  EXPECT_TRUE(label.empty());
  EXPECT_TRUE(drives.Exists("/"));
  EXPECT_FALSE(drives.Exists(""));
  EXPECT_FALSE(drives.Exists("/no/such/mount/"));
  EXPECT_EQ(drives.CurrentFolder().back(), '/');
  EXPECT_EQ(drives.HomeFolder().back(), '/');
}

TEST(MachineDrives, ReplaceableForTests) {
  struct OneDrive : plat::Drives {
    std::vector<plat::MountEntry> List() override { return {plat::MountEntry{"/x/", "ext4", "/dev/x", 0, 0, false, DriveKind::Fixed}}; }
  } fake;
  plat::SetDrives(&fake);
  EXPECT_EQ(plat::TheDrives().List().front().path, "/x/");
  plat::SetDrives(nullptr);
  EXPECT_EQ(plat::TheDrives().List().front().path, "/");
}

TEST(Paths, SlashHelpers) {
  EXPECT_EQ(plat::AppendSlash("/a"), "/a/");
  EXPECT_EQ(plat::AppendSlash("/a/"), "/a/");
  EXPECT_EQ(plat::RemoveSlash("/a/"), "/a");
  EXPECT_EQ(plat::RemoveSlash("/"), "/");
}

}  // namespace
