#include "session/profiles.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "session/scramble.h"

namespace session {
namespace {

const std::string kProfiles = "Profiles";
const std::string kLastUsed = "LastUsed";
const std::string kProfileKey = "Profile";
const std::string kPasswordStore = "PasswordStore";
const std::string kKeyring = "keyring";
constexpr int kDefaultPort = 21;

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// Case-insensitive order; names that differ only in case keep a fixed order.
bool NameBefore(const std::string& a, const std::string& b) {
  const bool less = std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](char x, char y) { return static_cast<unsigned char>(LowerAscii(x)) < static_cast<unsigned char>(LowerAscii(y)); });
  if (less) return true;
  if (SameText(a, b)) return a < b;
  return false;
}

std::string NameKey(int i) { return "Name" + std::to_string(i); }

bool IsWritableFolder(const std::string& dir) {
  struct stat st {};
  return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK) == 0;
}

// A folder that cannot be made shows up at the first write, which reports
// "Unable to write to" the file.
void MakeFolder(const std::string& dir) { (void)::mkdir(dir.c_str(), 0700); }

}  // namespace

int StrToInt(const std::string& text) {
  if (const auto value = plat::ParseIniInteger(text)) return *value;
  throw EConvertError("'" + text + "' is not a valid integer value");
}

std::string HomeFolder() {
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
    home = env;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  } else {
    home = "/";
  }
  // An account may have an empty home field.
  if (home.empty() || home.back() != '/') home += '/';
  return home;
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string exe(path, static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string IniFileName(const std::string& programDir, const std::string& xdgConfigHome,
                        const std::string& home) {
  const std::string fileName = "rirarar.ini";
  if (IsWritableFolder(programDir)) return programDir + (programDir.back() == '/' ? "" : "/") + fileName;

  std::string config;
  if (!xdgConfigHome.empty() && xdgConfigHome.front() == '/') {
    config = xdgConfigHome;
  } else {
    config = home;
    if (config.empty() || config.back() != '/') config += '/';
    config += ".config";
  }
  while (config.size() > 1 && config.back() == '/') config.pop_back();
  MakeFolder(config);
  const std::string folder = config + "/rirarar";
  MakeFolder(folder);
  return folder + "/" + fileName;
}

std::string IniFileName(const std::string& programDir) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  return IniFileName(programDir, xdg != nullptr ? xdg : "", HomeFolder());
}

TSiteProfile DefaultProfile() {
  TSiteProfile profile;
  profile.InitialLocalDir = HomeFolder();
  return profile;
}

int IndexOfProfile(const std::vector<std::string>& names, const std::string& name) {
  // An exact match first, so that names differing only in case stay apart.
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i);
  for (std::size_t i = 0; i < names.size(); ++i)
    if (SameText(names[i], name)) return static_cast<int>(i);
  return -1;
}

int ProfileSaveIndex(const std::vector<std::string>& names, const std::string& name) {
  const int index = IndexOfProfile(names, name);
  return index >= 0 ? index : static_cast<int>(names.size());
}

std::string ProfileNameFromAnswer(const std::string& answer) {
  if (answer.empty()) return "UNTITLED";
  std::string name = answer;
  std::transform(name.begin(), name.end(), name.begin(), UpperAscii);
  return name;
}

TProfileList TProfileStore::LoadProfileList() const {
  TProfileList list;
  for (int i = 0;; ++i) {
    std::string name = ini_.ReadString(kProfiles, NameKey(i), "");
    if (name.empty()) break;
    list.Names.push_back(std::move(name));
  }
  const int last = ini_.ReadInteger(kLastUsed, kProfileKey, 0);
  if (last >= 0 && last < static_cast<int>(list.Names.size())) list.Selected = last;
  return list;
}

TSiteProfile TProfileStore::ReadProfile(const std::string& name, TPasswordKeyring* keyring,
                                        TKeyringResult* lookup) const {
  TSiteProfile profile = DefaultProfile();
  if (lookup != nullptr) *lookup = TKeyringResult();
  if (name.empty()) return profile;
  profile.HostName = ini_.ReadString(name, "HostName", "");
  profile.InitialLocalDir = ini_.ReadString(name, "InitialLocalDir", profile.InitialLocalDir);
  profile.InitialDir = ini_.ReadString(name, "InitialDir", "");
  profile.UserName = ini_.ReadString(name, "UserName", "");
  if (PasswordInKeyring(name)) {
    TKeyringResult result;
    if (keyring != nullptr)
      result = keyring->Read(name);
    else
      result.Status = TKeyringResult::NoService;
    if (result.Status == TKeyringResult::Done) profile.Password = std::move(result.Password);
    result.Password.clear();
    if (lookup != nullptr) *lookup = std::move(result);
  } else {
    profile.Password = StrDecrypt(Base64Decode(ini_.ReadString(name, "Password", "")));
  }
  profile.Port = std::to_string(ini_.ReadInteger(name, "Port", kDefaultPort));
  profile.ForceLower = ini_.ReadBool(name, "ForceLower", true);
  profile.AutoDir = ini_.ReadBool(name, "AutoDir", true);
  profile.Passive = ini_.ReadBool(name, "Passive", true);
  const int encryption = ini_.ReadInteger(name, "Encryption", encIfAvailable);
  profile.Encryption = encryption >= encIfAvailable && encryption <= encPlain
                           ? static_cast<TEncryptionChoice>(encryption)
                           : encIfAvailable;
  profile.KeepAlive = ini_.ReadBool(name, "KeepAlive", true);
  profile.PreserveTimes = ini_.ReadBool(name, "PreserveTimes", true);
  profile.UsePasvAddress = ini_.ReadBool(name, "UsePasvAddress", false);
  const int transfers = ini_.ReadInteger(name, "Transfers", 2);
  profile.Transfers = transfers >= 1 && transfers <= 10 ? transfers : 2;
  return profile;
}

bool TProfileStore::PasswordInKeyring(const std::string& name) const {
  return SameText(ini_.ReadString(name, kPasswordStore, ""), kKeyring);
}

TKeyringResult TProfileStore::WriteProfile(int index, const std::string& name, const TSiteProfile& profile,
                                           TPasswordKeyring* keyring) {
  // A name the file cannot hold fails before anything is written; an empty
  // one would end the list at this key when it is loaded again.
  if (name.empty()) throw plat::EIniFileException("A site profile needs a name");
  // Its section would be the list's own, which the end-of-program rewrite erases.
  if (SameText(name, kProfiles))
    throw plat::EIniFileException("'" + name + "' cannot be used as a site profile name");
  plat::CheckIniStorable(name, "HostName", name);
  ini_.WriteString(kProfiles, NameKey(index), name);
  ini_.WriteString(name, "HostName", profile.HostName);
  ini_.WriteString(name, "InitialLocalDir", profile.InitialLocalDir);
  ini_.WriteString(name, "InitialDir", profile.InitialDir);
  ini_.WriteString(name, "UserName", profile.UserName);
  // The keyring first: the file points there only once the entry is in it.
  TKeyringResult result;
  if (keyring != nullptr && !profile.Password.empty())
    result = keyring->Write(name, profile.Password);
  else if (profile.Password.empty() && PasswordInKeyring(name))
    result = keyring != nullptr ? keyring->Remove(name) : TKeyringResult{TKeyringResult::NoService, "", ""};
  const bool inKeyring = !profile.Password.empty() && result.Status == TKeyringResult::Done;
  // Both keys change at once, so the file never names two places or none.
  ini_.Change([&](const std::string& content) {
    if (inKeyring)
      return plat::IniWriteValue(plat::IniDeleteKey(content, name, "Password"), name, kPasswordStore, kKeyring);
    return plat::IniDeleteKey(
        plat::IniWriteValue(content, name, "Password", Base64Encode(StrEncrypt(profile.Password))), name,
        kPasswordStore);
  });
  ini_.WriteInteger(name, "Port", StrToInt(profile.Port));
  ini_.WriteBool(name, "ForceLower", profile.ForceLower);
  ini_.WriteBool(name, "AutoDir", profile.AutoDir);
  ini_.WriteBool(name, "Passive", profile.Passive);
  ini_.WriteInteger(name, "Encryption", profile.Encryption);
  ini_.WriteBool(name, "KeepAlive", profile.KeepAlive);
  ini_.WriteBool(name, "PreserveTimes", profile.PreserveTimes);
  ini_.WriteBool(name, "UsePasvAddress", profile.UsePasvAddress);
  ini_.WriteInteger(name, "Transfers", profile.Transfers);
  ini_.WriteInteger(kLastUsed, kProfileKey, index);
  return result;
}

TProfileList TProfileStore::SaveProfileList(const std::vector<std::string>& names, const std::string& selected) {
  TProfileList sorted;
  sorted.Names = names;
  std::stable_sort(sorted.Names.begin(), sorted.Names.end(), NameBefore);
  sorted.Selected = selected.empty() ? -1 : IndexOfProfile(sorted.Names, selected);
  // Erase, rewrite and LastUsed reach the disk as one replacement: a crash
  // between the erase and the last name would leave profiles out of the list.
  ini_.Change([&](const std::string& content) {
    std::string text = plat::IniEraseSection(content, kProfiles);
    for (std::size_t i = 0; i < sorted.Names.size(); ++i)
      text = plat::IniWriteValue(text, kProfiles, NameKey(static_cast<int>(i)), sorted.Names[i]);
    return plat::IniWriteValue(text, kLastUsed, kProfileKey, std::to_string(std::max(sorted.Selected, 0)));
  });
  return sorted;
}

}  // namespace session
