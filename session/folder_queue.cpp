// Whole folders dragged from a tree: the tree under them is read on a
// connection of its own (the browsing one may be busy, and its every CWD
// lists the folder for the windows), the folders are made on the other
// side, and every file joins the queue as if dropped by itself.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <QCheckBox>

#include "platform/qt/dialogs.h"
#include "session/main.h"
#include "session/queue.h"
#include "transfer/folder_walk.h"
#include "transfer/temp_dir.h"
#include "transfer/transferunit.h"

namespace {

// The folder of a file of the walk, below Root.
std::string FolderOfFile(const std::string& Root, const std::string& Relative) {
  const std::size_t slash = Relative.rfind('/');
  return slash == std::string::npos ? Root : transfer::JoinPath(Root, Relative.substr(0, slash));
}

std::string NameOfFile(const std::string& Relative) {
  const std::size_t slash = Relative.rfind('/');
  return slash == std::string::npos ? Relative : Relative.substr(slash + 1);
}

std::string FolderSummary(const std::string& Path, const transfer::TWalkResult& Walk) {
  return "Folder " + Path + ": " + std::to_string(Walk.Files.size()) + " files in " +
         std::to_string(Walk.Dirs.size() + 1) + " folders";
}

}  // namespace

bool TForm1::WithOwnConnection(const std::function<bool(TFtpClient&)>& Work, std::string& Error) {
  std::unique_ptr<TFtpClient> engine = SessionEngine();
  if (!engine->Connect() || !engine->TypeSet()) {
    Error = engine->ErrorMessage();
    return false;
  }
  const bool done = Work(*engine);
  if (engine->IsConnected()) engine->Quit();
  return done;
}

void TForm1::DownloadFolder(const std::string& RemotePath, const std::string& Name) {
  const std::string folder = TransferForm->LocalListFolder();
  const bool lower = ForceLowerCB->isChecked();
  const auto target = session::DownloadTarget(folder, Name, lower);
  if (!IsFolder(folder) || !target) {
    AddLog("! Refused the server's folder \"" + RemotePath + "\": it cannot be a local folder name here");
    return;
  }
  SetStatusText("Reading " + RemotePath + " ...");
  transfer::TWalkResult walk;
  std::string error;
  const std::string listing = TransferForm->TempDir + "walk.txt";
  const bool read = WithOwnConnection(
      [&](TFtpClient& Ftp) {
        Ftp.SetUseMlsd(true);
        Ftp.SetHostDirName(RemotePath);
        if (!Ftp.Cwd()) {
          error = Ftp.ErrorMessage();
          return false;
        }
        return transfer::WalkRemote(Ftp, listing, walk, error);
      },
      error);
  ::unlink(listing.c_str());
  for (const std::string& line : walk.Problems) AddLog(line);
  if (!read || !transfer::MakeLocalFolder(*target, error)) {
    plat::TheDialogs().ShowMessage("Error: cannot copy the folder " + RemotePath + ": " + error);
    return;
  }
  for (const std::string& dir : walk.Dirs)
    if (!transfer::MakeLocalFolder(transfer::JoinPath(*target, lower ? session::LowerCaseName(dir) : dir), error)) {
      plat::TheDialogs().ShowMessage("Error: " + error);
      return;
    }
  for (const transfer::TWalkFile& file : walk.Files) {
    session::TQueueEntry entry;
    entry.Direction = session::TDirection::Download;
    entry.RemoteDir = FolderOfFile(RemotePath, file.Path);
    entry.RemoteName = NameOfFile(file.Path);
    entry.LocalPath = transfer::JoinPath(*target, lower ? session::LowerCaseName(file.Path) : file.Path);
    entry.ExpectedSize = file.Size;
    entry.RemoteTime = file.ModifyUtc;
    entry.Binary = Representation();
    Queue.Add(std::move(entry));
  }
  AddLog(FolderSummary(RemotePath, walk));
  StartQueue();
}

void TForm1::UploadFolder(const std::string& Folder) {
  std::string local = Folder;
  while (local.size() > 1 && local.back() == '/') local.pop_back();
  const std::string base = TransferForm->RemoteListFolder();
  const bool lower = ForceLowerCB->isChecked();
  const std::string name = session::FileNamePart(local);
  if (base.empty() || name.empty()) return;
  const std::string remoteRoot = transfer::JoinPath(base, lower ? session::LowerCaseName(name) : name);
  transfer::TWalkResult walk;
  std::string error;
  if (!transfer::WalkLocal(local, walk, error)) {
    plat::TheDialogs().ShowMessage("Error: " + error);
    return;
  }
  for (const std::string& line : walk.Problems) AddLog(line);
  SetStatusText("Making the folders of " + remoteRoot + " ...");
  // A folder that is there already is fine ("550 exists"); a refusal shows
  // again as the failures of its files.
  const bool made = WithOwnConnection(
      [&](TFtpClient& Ftp) {
        Ftp.SetHostFileName(remoteRoot);
        Ftp.Mkd();
        for (const std::string& dir : walk.Dirs) {
          Ftp.SetHostFileName(transfer::JoinPath(remoteRoot, lower ? session::LowerCaseName(dir) : dir));
          Ftp.Mkd();
        }
        return true;
      },
      error);
  if (!made) {
    plat::TheDialogs().ShowMessage("Error: cannot copy the folder " + local + ": " + error);
    return;
  }
  for (const transfer::TWalkFile& file : walk.Files) {
    const std::string remote = lower ? session::LowerCaseName(file.Path) : file.Path;
    session::TQueueEntry entry;
    entry.Direction = session::TDirection::Upload;
    entry.RemoteDir = FolderOfFile(remoteRoot, remote);
    entry.RemoteName = NameOfFile(remote);
    entry.LocalPath = transfer::JoinPath(local, file.Path);
    entry.ExpectedSize = file.Size;
    entry.Binary = Representation();
    Queue.Add(std::move(entry));
  }
  AddLog(FolderSummary(local, walk));
  StartQueue();
}
