#include "platform/drives.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace plat {

namespace {

// Kernel and service file systems that are no place for a user's files.
const std::set<std::string> kPseudoTypes = {
    "proc",       "sysfs",      "cgroup",     "cgroup2",        "devpts",      "devtmpfs",
    "mqueue",     "hugetlbfs",  "debugfs",    "tracefs",        "securityfs",  "pstore",
    "bpf",        "configfs",   "fusectl",    "autofs",         "binfmt_misc", "efivarfs",
    "rpc_pipefs", "nsfs",       "overlay",    "aufs",           "squashfs",    "selinuxfs",
    "nfsd",       "fuse.lxcfs", "fuse.portal", "fuse.gvfsd-fuse"};

const std::set<std::string> kRemoteTypes = {"nfs",  "nfs4", "cifs",        "smb3",      "smbfs",
                                            "9p",   "afs",  "fuse.sshfs",  "sshfs",     "ceph",
                                            "fuse.glusterfs", "davfs", "fuse.davfs2"};

const std::set<std::string> kCdromTypes = {"iso9660", "udf"};
const std::set<std::string> kRamTypes = {"tmpfs", "ramfs"};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool HasOption(const std::string& options, const std::string& option) {
  std::stringstream in(options);
  std::string item;
  while (std::getline(in, item, ','))
    if (item == option) return true;
  return false;
}

// Mounts the system keeps for itself: kernel interfaces and per-session
// runtime folders. Removable media under /run/media/ are the user's.
bool IsSystemMountPath(const std::string& path) {
  if (StartsWith(path, "/run/media/")) return false;
  for (const char* prefix : {"/proc/", "/sys/", "/dev/", "/run/"})
    if (StartsWith(path, prefix)) return true;
  return false;
}

bool IsRemovableMountPath(const std::string& path) {
  return StartsWith(path, "/media/") || StartsWith(path, "/run/media/");
}

// Kind of a mount, or Unknown when it is not shown as a drive at all.
DriveKind Classify(const MountEntry& m, const std::string& root, RemovableQuery removable) {
  if (m.path == "/") {
    if (kRemoteTypes.count(m.fsType)) return DriveKind::Remote;
    if (kRamTypes.count(m.fsType)) return DriveKind::RamDisk;
    return DriveKind::Fixed;   // whatever it is (an overlay in a container), it is the root
  }
  if (kPseudoTypes.count(m.fsType) || IsSystemMountPath(m.path)) return DriveKind::Unknown;
  if (kRemoteTypes.count(m.fsType)) return DriveKind::Remote;
  if (kCdromTypes.count(m.fsType)) return DriveKind::CDRom;
  // A read-only tmpfs only masks a path (sandboxes do that); a RAM disk is for writing.
  if (kRamTypes.count(m.fsType)) return m.readOnly ? DriveKind::Unknown : DriveKind::RamDisk;
  const bool device = StartsWith(m.source, "/dev/") || m.fsType == "zfs";
  if (!device) return DriveKind::Unknown;
  // A bind mount of a sub-folder (or of a single file, as containers do for
  // /etc/hosts) would show the same files twice. Btrfs subvolumes look alike
  // but are file systems of their own.
  if (root != "/" && m.fsType != "btrfs") return DriveKind::Unknown;
  if (IsRemovableMountPath(m.path)) return DriveKind::Removable;
  if (removable && removable(m.major, m.minor)) return DriveKind::Removable;
  return DriveKind::Fixed;
}

bool SysfsRemovable(unsigned major, unsigned minor) {
  const std::string base = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  // The flag is on the disk; a partition's disk is its parent folder.
  for (const std::string& file : {base + "/removable", base + "/../removable"}) {
    std::ifstream in(file);
    int flag = 0;
    if (in >> flag) return flag == 1;
  }
  return false;
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// udev writes blanks and other unsafe bytes of a label as "\xNN".
std::string DecodeUdevName(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
        std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
      out += static_cast<char>(std::stoi(name.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return std::string();
  return buffer;
}

const MountEntry* FindMount(const std::vector<MountEntry>& mounts, const std::string& root) {
  const std::string key = AppendSlash(root);
  for (const MountEntry& m : mounts)
    if (m.path == key) return &m;
  return nullptr;
}

Drives& MachineDrives() {
  static Drives machine;
  return machine;
}

Drives* g_drives = nullptr;

}  // namespace

std::string AppendSlash(const std::string& path) {
  if (!path.empty() && path.back() == '/') return path;
  return path + "/";
}

std::string RemoveSlash(const std::string& path) {
  if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
  return path;
}

std::string DecodeMountEscapes(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.size() == 3 && std::all_of(digits.begin(), digits.end(),
                                            [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<MountEntry> ParseMountInfo(const std::string& text, RemovableQuery removable) {
  // The topmost mount of a path hides those below it; keep one per path.
  std::map<std::string, std::pair<MountEntry, std::string>> byPath;
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::stringstream in(line);
    std::vector<std::string> fields;
    std::string field;
    while (in >> field) fields.push_back(field);
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || dash - fields.begin() < 6 ||
        fields.end() - dash < 3)
      continue;   // not a mount line
    MountEntry m;
    const std::string& devnum = fields[2];
    const auto colon = devnum.find(':');
    if (colon != std::string::npos) {
      m.major = static_cast<unsigned>(std::strtoul(devnum.substr(0, colon).c_str(), nullptr, 10));
      m.minor = static_cast<unsigned>(std::strtoul(devnum.substr(colon + 1).c_str(), nullptr, 10));
    }
    const std::string root = DecodeMountEscapes(fields[3]);
    m.path = AppendSlash(DecodeMountEscapes(fields[4]));
    m.fsType = *(dash + 1);
    m.source = DecodeMountEscapes(*(dash + 2));
    m.readOnly = HasOption(fields[5], "ro");
    byPath[m.path] = {m, root};
  }
  std::vector<MountEntry> drives;
  for (auto& [path, item] : byPath) {
    MountEntry& m = item.first;
    m.kind = Classify(m, item.second, removable);
    if (m.kind != DriveKind::Unknown) drives.push_back(m);
  }
  // byPath is ordered by path, and "/" sorts before every other absolute path.
  return drives;
}

std::string RealFolder(const std::string& path) {
  const std::string real = RealPath(path);
  return real.empty() ? real : AppendSlash(real);
}

bool IsSymbolicLink(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(RemoveSlash(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string DeviceLabel(const std::string& device) {
  const std::string target = RealPath(device);
  if (target.empty()) return std::string();
  const std::string folder = "/dev/disk/by-label";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::string();
  std::string label;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (RealPath(folder + "/" + name) == target) {
      label = DecodeUdevName(name);
      break;
    }
  }
  ::closedir(dir);
  return label;
}

// --- folder enumeration ---

FolderEnumerator::~FolderEnumerator() { Close(); }

bool FolderEnumerator::First(const std::string& folder, FolderEntry& entry) {
  Close();
  folder_ = AppendSlash(folder);
  dir_ = ::opendir(folder_.c_str());
  if (dir_ == nullptr) return false;
  return Next(entry);
}

bool FolderEnumerator::Next(FolderEntry& entry) {
  if (dir_ == nullptr) return false;
  dirent* e = ::readdir(static_cast<DIR*>(dir_));
  if (e == nullptr) return false;
  entry.name = e->d_name;
  entry.attr = 0;
  bool directory = e->d_type == DT_DIR;
  entry.link = e->d_type == DT_LNK;
  // Links to folders count as folders, as junctions do; the type of a link
  // (or of an entry the file system does not type) needs a stat.
  if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
    const std::string path = folder_ + entry.name;
    struct stat st {};
    if (e->d_type == DT_UNKNOWN) entry.link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    directory = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  if (directory) entry.attr |= faDirectory;
  if (entry.name.size() > 1 && entry.name[0] == '.' && entry.name != "..") entry.attr |= faHidden;
  return true;
}

void FolderEnumerator::Close() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
  dir_ = nullptr;
}

// --- the machine's drives ---

std::vector<MountEntry> Drives::List() { return ParseMountInfo(ReadFile(mountTable_), SysfsRemovable); }

DriveKind Drives::Kind(const std::string& root) {
  const std::vector<MountEntry> mounts = List();
  const MountEntry* m = FindMount(mounts, root);
  return m ? m->kind : DriveKind::NoRoot;
}

bool Drives::VolumeInformation(const std::string& root, std::string& label, std::int32_t& serial) {
  label.clear();
  serial = -1;
  struct statfs st {};
  if (::statfs(root.c_str(), &st) != 0) return false;
  int fsid[2];
  static_assert(sizeof(fsid) == sizeof(st.f_fsid));
  std::copy_n(reinterpret_cast<const unsigned char*>(&st.f_fsid), sizeof(fsid),
              reinterpret_cast<unsigned char*>(fsid));
  serial = static_cast<std::int32_t>(static_cast<std::uint32_t>(fsid[0]) ^ static_cast<std::uint32_t>(fsid[1]));
  const std::vector<MountEntry> mounts = List();
  if (const MountEntry* m = FindMount(mounts, root)) {
    if (m->kind == DriveKind::Remote)
      label = m->source;   // "server:/export" names a share the way a label names a disk
    else if (StartsWith(m->source, "/dev/"))
      label = DeviceLabel(m->source);
  }
  return true;
}

bool Drives::Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(RemoveSlash(path).c_str(), &st) == 0;
}

std::string Drives::CurrentFolder() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return HomeFolder();
  return AppendSlash(buffer);
}

std::string Drives::HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return AppendSlash(home);
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return AppendSlash(pw->pw_dir);
  return "/";
}

Drives& TheDrives() { return g_drives ? *g_drives : MachineDrives(); }

void SetDrives(Drives* drives) { g_drives = drives; }

}  // namespace plat
