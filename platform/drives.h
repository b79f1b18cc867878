// Drives, volumes and folder enumeration, the file-system side the local
// directory tree is written against.
//
// Linux has no drive letters: a drive is a mount point. The root file system
// "/" comes first, then every mounted file system of a real device, a network
// share, a removable medium, a CD-ROM or a RAM disk, each keyed by its mount
// path with a trailing "/" (the key stands where a drive letter would).
// Pseudo file systems (proc, sysfs, cgroup, devpts, overlay internals ...) are
// left out. The label is the file-system label when there is one; the serial
// is the file-system id from statfs.
//
// Drives() is replaceable (SetDrives) so that tests can present a folder of
// their own as a drive; the mount table read is a constructor argument, so a
// test can also hand the real service a table it writes itself.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace plat {

// The kinds in the numbering of the Windows drive-type query (0..6), so that
// code written against those numbers keeps them.
enum class DriveKind : int {
  Unknown = 0,
  NoRoot = 1,
  Removable = 2,
  Fixed = 3,
  Remote = 4,
  CDRom = 5,
  RamDisk = 6,
};

struct MountEntry {
  std::string path;      // mount path with a trailing "/", octal escapes decoded
  std::string fsType;    // "ext4", "nfs4", "iso9660", "tmpfs" ...
  std::string source;    // "/dev/sda1", "server:/export", "tmpfs" ...
  unsigned major = 0;    // device numbers of the mount (for the removable flag)
  unsigned minor = 0;
  bool readOnly = false;
  DriveKind kind = DriveKind::Unknown;
};

// The mount table in /proc/self/mountinfo syntax turned into drives: pure, for
// tests on sample texts. Root first, then by path; a mount point mounted over
// keeps only its topmost mount. `removable` overrides the kind of a block
// device whose major:minor it reports removable (may be empty).
using RemovableQuery = bool (*)(unsigned major, unsigned minor);
std::vector<MountEntry> ParseMountInfo(const std::string& text, RemovableQuery removable = nullptr);

// "\040" and friends as the kernel escapes blanks, tabs, newlines and "\" in
// mount paths.
std::string DecodeMountEscapes(const std::string& field);

// Attribute bits of a folder entry, in the Windows numbering.
constexpr std::uint32_t faReadOnly = 0x01;
constexpr std::uint32_t faHidden = 0x02;   // a dot-name
constexpr std::uint32_t faSystem = 0x04;
constexpr std::uint32_t faDirectory = 0x10;
constexpr std::uint32_t faArchive = 0x20;

struct FolderEntry {
  std::string name;
  std::uint32_t attr = 0;
  bool link = false;   // a symbolic link (attr tells what it leads to)
};

// An open enumeration of one folder's entries ("." and ".." included, as the
// Windows enumeration gives them). A folder that cannot be read simply yields
// nothing.
class FolderEnumerator {
 public:
  FolderEnumerator() = default;
  ~FolderEnumerator();
  FolderEnumerator(const FolderEnumerator&) = delete;
  FolderEnumerator& operator=(const FolderEnumerator&) = delete;

  // Start on `folder` (with or without a trailing "/"); false when the folder
  // cannot be opened or has no entry.
  bool First(const std::string& folder, FolderEntry& entry);
  // False at the end.
  bool Next(FolderEntry& entry);
  void Close();

 private:
  void* dir_ = nullptr;   // DIR*
  std::string folder_;
};

// The drives service. The default instance reads the real machine.
class Drives {
 public:
  static constexpr const char* kMountInfo = "/proc/self/mountinfo";

  explicit Drives(std::string mountTable = kMountInfo) : mountTable_(std::move(mountTable)) {}
  virtual ~Drives() = default;

  // The file in mountinfo syntax that List() reads, and whose changes are
  // the device changes (platform/mount_watch.h).
  const std::string& MountTable() const { return mountTable_; }

  // Every drive of the machine, root first.
  virtual std::vector<MountEntry> List();
  // The kind of the drive at `root` (a key from List()); NoRoot when it is not
  // a mount any more.
  virtual DriveKind Kind(const std::string& root);
  // Label (empty when the file system has none) and serial of the volume at
  // `root`; false when no volume can be read there.
  virtual bool VolumeInformation(const std::string& root, std::string& label, std::int32_t& serial);

  // Existence of a file or folder (a trailing "/" is allowed).
  virtual bool Exists(const std::string& path);
  virtual std::string CurrentFolder();   // trailing "/"
  virtual std::string HomeFolder();      // trailing "/"

 private:
  std::string mountTable_;
};

Drives& TheDrives();
// nullptr puts the machine's own service back. The caller keeps ownership.
void SetDrives(Drives* drives);

// Helpers shared by the drive and folder code.
std::string AppendSlash(const std::string& path);
std::string RemoveSlash(const std::string& path);   // "/" stays "/"
// The folder a path names once every link is followed (trailing "/"); ""
// when it cannot be resolved.
std::string RealFolder(const std::string& path);
// True when the path itself (a trailing "/" is allowed) is a symbolic link.
bool IsSymbolicLink(const std::string& path);
// The file-system label of a device ("/dev/sdb1"), from /dev/disk/by-label.
std::string DeviceLabel(const std::string& device);

}  // namespace plat
