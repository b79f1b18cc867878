// The transfer queue through the login window's engine: a drop's files join
// the queue, one loop runs it file after file, and its end says what became
// of each file and reads the destination lists again.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <unordered_map>

#include <QApplication>
#include <QCheckBox>
#include <QProgressBar>

#include "controls/log_memo.h"
#include "controls/status_bar.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/shell.h"
#include "session/main.h"
#include "session/queue.h"
#include "transfer/file_list_view.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

namespace {

// The least time between two rounds of window events during a transfer.
constexpr std::int64_t kProgressEventsMs = 10;
// The least time between two moves of the progress bar.
constexpr std::int64_t kProgressBarMs = 40;


// One steady clock for every time the window measures, in milliseconds.
std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}


// The rows of a list by one of their names.
std::unordered_map<std::string, const TListRow*> RowsBy(const TFileListView* list, bool byRealName) {
  std::unordered_map<std::string, const TListRow*> rows;
  for (int i = 0; i < list->Count(); ++i) {
    const TListRow& row = list->Row(i);
    rows[byRealName && !row.Data.empty() ? row.Data : row.Caption] = &row;
  }
  return rows;
}

// An entry of a drop, with what every entry takes from the windows.
session::TQueueEntry DroppedEntry(session::TDirection direction, const std::string& remoteDir, bool binary) {
  session::TQueueEntry entry;
  entry.Direction = direction;
  entry.RemoteDir = remoteDir;
  entry.Binary = binary;
  return entry;
}

}  // namespace

// Binary unless the transfer window's hidden choice says "Text".
bool TForm1::Representation() const { return TransferForm->RadioGroup1ItemIndex() == 0; }

// ---------------------------------------------------------------------------
// Drops join the queue

void TForm1::UploadAll() {
  const std::string remoteDir = TransferForm->RemoteListFolder();
  const auto rows = RowsBy(TransferForm->LocalListView, true);
  // From the end of the drop towards its start, as the files always went.
  for (auto file = FileList.rbegin(); file != FileList.rend(); ++file) {
    session::TQueueEntry entry = DroppedEntry(session::TDirection::Upload, remoteDir, Representation());
    entry.LocalPath = *file;
    // The remote name is the one the local list shows: the file's name in
    // lower case, or its real name where two would look the same (forced
    // to lower case again when asked to).
    const std::string real = session::FileNamePart(*file);
    const auto row = rows.find(real);
    std::string shown = row != rows.end() ? row->second->Caption : QString::fromStdString(real).toLower().toStdString();
    entry.RemoteName = ForceLowerCB->isChecked() ? session::LowerCaseName(shown) : shown;
    if (row != rows.end()) entry.ExpectedSize = row->second->SizeBytes;
    Queue.Add(std::move(entry));
  }
  FileList.clear();
  StartQueue();
}

void TForm1::DownloadAll() {
  TransferForm->Memo1->AddLine("Filenames count: " + std::to_string(FileList.size()));
  const std::string remoteDir = TransferForm->RemoteListFolder();
  const std::string folder = TransferForm->LocalListFolder();
  const bool folderShown = IsFolder(folder);
  const auto rows = RowsBy(TransferForm->RemoteListView, false);
  for (auto file = FileList.rbegin(); file != FileList.rend(); ++file) {
    session::TQueueEntry entry = DroppedEntry(session::TDirection::Download, remoteDir, Representation());
    entry.RemoteName = *file;
    if (const auto row = rows.find(*file); row != rows.end()) {
      entry.ExpectedSize = row->second->SizeBytes;
      entry.RemoteTime = row->second->ModifyUtc;
      entry.RemoteDate = row->second->Date;
    }
    // A name the server chose that cannot be a local file name is refused
    // here; the rest of the drop goes on.
    const auto target = session::DownloadTarget(folder, *file, ForceLowerCB->isChecked());
    if (!folderShown) {
      entry.State = session::TEntryState::Failed;
      entry.Why = "no local folder to download into";
    } else if (!target) {
      AddLog("! Refused the server's file name \"" + *file + "\": it cannot be a local file name");
      entry.State = session::TEntryState::Skipped;
      entry.Why = "the server's name cannot be a local file name";
    } else {
      entry.LocalPath = *target;
      if (session::HoldsControlBytes(*file))
        AddLog("! The server's file name holds control characters: stored as " + *target);
    }
    Queue.Add(std::move(entry));
  }
  FileList.clear();
  StartQueue();
}

void TForm1::StartQueue() {
  RefreshQueuePane();
  // While the engine is busy, the running queue goes on with the new files,
  // or they start as soon as the engine is free (AfterBusy).
  if (Queue.Empty() || transfer::Session().Busy() || parallelRunning_) return;
  if (transfers_ > 1) {
    RunParallelQueue();
    AfterBusy();
    return;
  }
  RunBusy(transfer::TActivity::Transferring, [this] { RunQueue(); });
}

// ---------------------------------------------------------------------------
// The runner

void TForm1::RunQueue() {
  bool typeSet = false;
  while (session::TQueueEntry* entry = Queue.Next()) {
    if (transfer::Session().AbortRequested) {
      Queue.Finish(session::TEntryState::Skipped, kQueueAborted);
      Queue.SkipWaiting(kQueueAborted);
      break;
    }
    if (!PrepareEntry(*entry, typeSet)) continue;
    RefreshQueuePane();
    if (entry->Direction == session::TDirection::Upload)
      UploadNext(*entry);
    else
      DownloadNext(*entry);
  }
  EndOfQueue();
}

bool TForm1::PrepareEntry(const session::TQueueEntry& Entry, bool& typeSet) {
  if (Entry.RemoteDir != serverDir_) {
    FtpClient1->SetHostDirName(Entry.RemoteDir);
    FtpClient1->Cwd();
    // The dispatcher notes where a successful change went.
    if (serverDir_ != Entry.RemoteDir) {
      Queue.Finish(session::TEntryState::Failed, "cannot open the server's folder: " + FailureText());
      return false;
    }
  }
  // The listing after a directory change travels as text; files as chosen.
  if (!typeSet || FtpClient1->Binary() != Entry.Binary) {
    FtpClient1->SetBinary(Entry.Binary);
    FtpClient1->TypeSet();
    typeSet = true;
  }
  return true;
}

// ---------------------------------------------------------------------------
// A destination that is taken

namespace {

constexpr const char* kResumeQuestion = "File allready exists, do you whant to resume download ? ";
constexpr const char* kAppendQuestion = "File allready exists, do you whant to append upload ? ";
constexpr const char* kSameForRest = "Do the same for the rest of this queue";

// "Local file: /home/u/a.bin" and, below, its size and date.
std::string FileFacts(const std::string& label, const std::string& path, std::int64_t size, const std::string& date) {
  const std::string bytes = size == 1 ? "1 byte" : std::to_string(size) + " bytes";
  const std::string text = label + path + "\n" + (size >= 0 ? bytes : "size not known");
  return date.empty() ? text : text + ", modified " + date;
}

std::string LocalFacts(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FileFacts("Local file: ", path, -1, std::string());
  return FileFacts("Local file: ", path, st.st_size, LocalTimeText(st.st_mtime));
}

// The question as it always was, then the file that is there and the one
// that would take its place.
std::string ExistsQuestion(const session::TQueueEntry& Entry, const TListRow* RemoteRow) {
  const std::string local = LocalFacts(Entry.LocalPath);
  const std::string path = session::RemotePath(Entry);
  if (Entry.Direction == session::TDirection::Download) {
    // A folder's files come from a walk of their own, with an exact time at best.
    const std::string date = Entry.RemoteDate.empty() && Entry.RemoteTime >= 0 ? LocalTimeText(Entry.RemoteTime)
                                                                               : Entry.RemoteDate;
    return std::string(kResumeQuestion) + "\n\n" + local + "\n\n" +
           FileFacts("Server file: ", path, Entry.ExpectedSize, date);
  }
  const std::string remote = RemoteRow != nullptr
                                 ? FileFacts("Server file: ", path, RemoteRow->SizeBytes, RemoteRow->Date)
                                 : "Server file: " + path + "\nsent earlier in this queue";
  return std::string(kAppendQuestion) + "\n\n" + remote + "\n\n" + local;
}

// In the order of session::TExistsChoice.
std::vector<std::string> ExistsChoices(bool upload) {
  return {upload ? "Append" : "Resume", "Overwrite", "Rename", "Skip"};
}

bool LocalNameTaken(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

void TForm1::UploadNext(session::TQueueEntry& Entry) {
  FtpClient1->SetLocalFileName(Entry.LocalPath);
  const std::int64_t size = TCustomFtpCli::LocalFileSize(Entry.LocalPath);
  BeginTransferStep("Uploading : " + FtpClient1->LocalFileName(), size >= 0 ? size : Entry.ExpectedSize);
  TransferActive = true;
  const TLanding landing = Landing(Entry);
  FtpClient1->SetHostFileName(Entry.RemoteName);
  if (landing == TLanding::Skip) {
    Queue.Finish(session::TEntryState::Skipped, kSkippedExisting);
  } else {
    AddLog("put " + FtpClient1->LocalFileName() + " " + FtpClient1->HostFileName());
    Queue.MarkSent(Entry.RemoteDir, Entry.RemoteName);
    StartMeter(Entry.RemoteName, ExpectedSize, 0);
    const bool append = landing == TLanding::Resume;
    const bool done = append ? FtpClient1->Append() : FtpClient1->Put();
    if (done && !transfer::Session().AbortRequested) {
      if (preserveTimes_ && !append) GiveLocalTime(Entry);
      Queue.Finish(session::TEntryState::Done);
    } else
      Queue.Finish(session::TEntryState::Failed, FailureText());
  }
  EndTransferStep();
}

void TForm1::DownloadNext(session::TQueueEntry& Entry) {
  FtpClient1->SetHostDirName(Entry.RemoteDir);
  FtpClient1->SetLocalFileName(Entry.LocalPath);
  Memo1->AddLine("Filenames left: " + Entry.RemoteName);
  FtpClient1->SetHostFileName(Entry.RemoteName);
  BeginTransferStep("Downloading : " + FtpClient1->LocalFileName(), 0);
  FtpClient1->Size();
  ExpectedSize = FtpClient1->RemoteSize();
  TransferActive = true;
  const TLanding landing = Landing(Entry);
  FtpClient1->SetLocalFileName(Entry.LocalPath);
  if (landing != TLanding::Skip) AddLog("get " + FtpClient1->HostFileName() + " " + FtpClient1->LocalFileName());
  switch (Fetch(Entry.RemoteName, Entry.LocalPath, landing)) {
    case TFetch::Done:
      if (preserveTimes_) TakeRemoteTime(Entry);
      Queue.Finish(session::TEntryState::Done);
      break;
    case TFetch::Declined:
      Queue.Finish(session::TEntryState::Skipped, kSkippedExisting);
      break;
    case TFetch::Failed:
      Queue.Finish(session::TEntryState::Failed, fetchFailure_.empty() ? FailureText() : fetchFailure_);
      break;
  }
  EndTransferStep();
}

TForm1::TFetch TForm1::FetchFile(const std::string& name, const std::string& target) {
  if (transfer::Session().AbortRequested) return TFetch::Failed;
  if (TCustomFtpCli::LocalFileSize(target) < 0) return Fetch(name, target, TLanding::Fresh);
  if (!plat::TheDialogs().Confirm(kResumeQuestion)) return TFetch::Declined;
  return Fetch(name, target, TLanding::Resume);
}

TForm1::TFetch TForm1::Fetch(const std::string& name, const std::string& target, TLanding landing) {
  fetchFailure_.clear();
  if (transfer::Session().AbortRequested) return TFetch::Failed;
  switch (landing) {
    case TLanding::Skip:
      return TFetch::Declined;
    case TLanding::Overwrite:
      return FetchBeside(name, target);
    case TLanding::Resume: {
      StartMeter(name, ExpectedSize, TCustomFtpCli::LocalFileSize(target));
      // What was there stays, whatever becomes of the rest.
      return FtpClient1->RestGet() && !transfer::Session().AbortRequested ? TFetch::Done : TFetch::Failed;
    }
    case TLanding::Fresh:
      break;
  }
  StartMeter(name, ExpectedSize, 0);
  if (FtpClient1->Get() && !transfer::Session().AbortRequested) return TFetch::Done;
  // The file did not exist before: a failed or aborted download leaves no
  // empty or partial file behind.
  if (::unlink(target.c_str()) == 0) AddLog("! Removed the incomplete file " + target);
  return TFetch::Failed;
}

TForm1::TFetch TForm1::FetchBeside(const std::string& name, const std::string& target) {
  const std::string temp = transfer::TempBeside(target);
  if (temp.empty()) {
    fetchFailure_ = "cannot create a file beside " + target + ": " + std::strerror(errno);
    return TFetch::Failed;
  }
  FtpClient1->SetLocalFileName(temp);
  StartMeter(name, ExpectedSize, 0);
  const bool whole = FtpClient1->Get() && !transfer::Session().AbortRequested;
  FtpClient1->SetLocalFileName(target);
  if (whole && ::rename(temp.c_str(), target.c_str()) == 0) return TFetch::Done;
  if (whole) fetchFailure_ = "cannot rename " + temp + " to " + target + ": " + std::strerror(errno);
  ::unlink(temp.c_str());
  return TFetch::Failed;
}


TForm1::TLanding TForm1::Landing(session::TQueueEntry& Entry) {
  const bool upload = Entry.Direction == session::TDirection::Upload;
  // On the server: a file of that name in its list, or one this queue sent
  // already (two local names that differ only in letter case).
  const TListRow* row = upload ? RemoteRow(Entry.RemoteName, Entry.RemoteDir) : nullptr;
  const bool taken = upload ? row != nullptr || Queue.Sent(Entry.RemoteDir, Entry.RemoteName)
                            : TCustomFtpCli::LocalFileSize(Entry.LocalPath) >= 0;
  if (!taken) return TLanding::Fresh;
  const std::optional<session::TExistsChoice> same = Queue.SameForRest(Entry.Direction);
  switch (same ? *same : AskExists(Entry, row)) {
    case session::TExistsChoice::Resume:
      return TLanding::Resume;
    case session::TExistsChoice::Overwrite:
      return TLanding::Overwrite;
    case session::TExistsChoice::Skip:
      return TLanding::Skip;
    case session::TExistsChoice::Rename:
      break;
  }
  RenameFree(Entry);
  return TLanding::Fresh;
}

session::TExistsChoice TForm1::AskExists(const session::TQueueEntry& Entry, const TListRow* RemoteRow) {
  const std::vector<std::string> choices = ExistsChoices(Entry.Direction == session::TDirection::Upload);
  bool forRest = false;
  const int answer =
      plat::TheDialogs().ChooseWithCheck(ExistsQuestion(Entry, RemoteRow), choices, kSameForRest, forRest, "File exists");
  const auto choice = answer >= 0 && answer < static_cast<int>(choices.size())
                          ? static_cast<session::TExistsChoice>(answer)
                          : session::TExistsChoice::Skip;
  if (forRest) Queue.SetSameForRest(Entry.Direction, choice);
  return choice;
}

void TForm1::RenameFree(session::TQueueEntry& Entry) {
  std::string& name = Entry.Direction == session::TDirection::Download ? Entry.LocalPath : Entry.RemoteName;
  const std::string before = name;
  if (Entry.Direction == session::TDirection::Download)
    name = session::FreeName(before, LocalNameTaken);
  else
    name = session::FreeName(before, [&](const std::string& n) {
      return RemoteRow(n, Entry.RemoteDir) != nullptr || Queue.Sent(Entry.RemoteDir, n);
    });
  AddLog(before + " exists: the file goes to " + name);
}

void TForm1::EndOfQueue() {
  for (const std::string& line : Queue.Problems()) AddLog(line);
  const std::string summary = Queue.Summary();
  AddLog(summary);
  const bool downloads = Queue.HasDownloads();
  const bool uploads = Queue.HasUploads();
  for (std::size_t i = 0; i < Queue.Size(); ++i) QueueHistory.push_back(Queue.At(i));
  Queue.Clear();
  RefreshQueuePane();
  // The destinations as they are now on the disk and on the server.
  if (downloads) TransferForm->LocalDirTreeChange();
  if (uploads && transfer::Session().Connected && !transfer::Session().AbortRequested) TransferForm->RefreshRemote();
  SetStatusText(summary);
}

std::string TForm1::FailureText() const {
  if (transfer::Session().AbortRequested) return "aborted";
  if (!FtpClient1->ErrorMessage().empty()) return FtpClient1->ErrorMessage();
  if (!FtpClient1->LastBlockingException().empty()) return FtpClient1->LastBlockingException();
  return "the server's reply was not understood";
}

// ---------------------------------------------------------------------------
// One file's steps

void TForm1::BeginTransferStep(const std::string& statusText, std::int64_t expectedSize) {
  ProgressTicks = 0;
  ExpectedSize = expectedSize;
  // Nothing of the previous file stays on show while this one is asked about.
  SetRateText(std::string());
  TransferForm->ProgressBar1->setValue(0);
  TransferForm->StatusBar1->SetPanelText(1, queueTotals_.empty() ? statusText : statusText + "  (" + queueTotals_ + ")");
}

void TForm1::EndTransferStep() {
  SetRateText(std::string());
  TransferActive = false;
  TransferForm->StatusBar1->SetPanelText(1, "Connected");
  TransferForm->ProgressBar1->setValue(0);
}

bool TForm1::RemoteFileExists(const std::string& Name, const std::string& Dir) { return RemoteRow(Name, Dir) != nullptr; }

const TListRow* TForm1::RemoteRow(const std::string& Name, const std::string& Dir) const {
  // The remote list knows only the folder it shows.
  if (TransferForm->RemoteListFolder() != Dir) return nullptr;
  const TFileListView* remote = TransferForm->RemoteListView;
  for (int i = 0; i < remote->Count(); ++i)
    if (remote->Row(i).Caption == Name) return &remote->Row(i);
  return nullptr;
}

bool TForm1::IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---------------------------------------------------------------------------
// Progress

void TForm1::StartMeter(const std::string& name, std::int64_t expectedSize, std::int64_t offset) {
  meterName_ = name;
  // The bar's first move for this file shows at once.
  const std::int64_t now = NowMs();
  lastBarMs_ = now - kProgressBarMs;
  meter_.Start(expectedSize > 0 ? expectedSize : -1, offset, now);
}

void TForm1::SetRateText(const std::string& text) {
  StatusBar1->SetPanelText(2, text);
  TransferForm->StatusBar1->SetPanelText(2, text);
}

void TForm1::LogFinishedFile() {
  if (!meterName_.empty()) AddLog(transfer::TransferSummary(meterName_, meter_.BytesMoved(), meter_.ElapsedMs(NowMs())));
  meterName_.clear();
}

void TForm1::FtpClient1Progress(TCustomFtpCli*, std::int64_t Count, bool&) {
  // Pending window events run here, and with them the next network
  // messages, whose progress events land here again: those must not run
  // events once more, or a long transfer nests one level per chunk.
  // A few milliseconds between rounds keep the window as lively as every
  // chunk would, at a fraction of the cost during a fast transfer.
  const std::int64_t now = NowMs();
  if (session::TQueueEntry* entry = Queue.Running(); entry != nullptr && TransferActive) NoteProgress(*entry, Count);
  if (progressDepth_ == 0 && now - lastEventsMs_ >= kProgressEventsMs) {
    lastEventsMs_ = now;
    ++progressDepth_;
    QApplication::processEvents();
    --progressDepth_;
  }
  if (!TransferActive) return;
  if (session::ProgressDue(ExpectedSize, ProgressTicks)) ShowProgress(Count);
  if (!meterName_.empty() && meter_.Update(Count, now)) SetRateText(meter_.Text());
}

void TForm1::ShowProgress(std::int64_t Count) {
  // The bar repaints at once on every new value: during a fast transfer that
  // would cost more than the transfer, so it moves at most every few
  // hundredths of a second (its ends always show).
  const int percent = session::ProgressPercent(Count, ExpectedSize);
  const std::int64_t now = NowMs();
  if (percent != 0 && percent != 100 && now - lastBarMs_ < kProgressBarMs) return;
  lastBarMs_ = now;
  TransferForm->ProgressBar1->setValue(percent);
}
