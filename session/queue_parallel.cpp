// A queue over connections of its own: the files move several at a time
// while the browsing connection stays free, so the trees and lists work
// during the queue. The question about a file whose name is taken is asked
// when a connection is about to take it.
#include <sys/stat.h>

#include <QProgressBar>

#include "controls/log_memo.h"
#include "controls/status_bar.h"
#include "session/main.h"
#include "transfer/folder_walk.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

void TForm1::RunParallelQueue() {
  // From here on (the connects below run the loop) a drop joins this run.
  parallelRunning_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{parallelRunning_};
  std::vector<TFtpClient*> engines = OpenQueueEngines();
  if (engines.empty() || transfer::Session().AbortRequested) {
    // The server takes no more connections: the browsing one does the work.
    RunActivity(transfer::TActivity::Transferring, [this] { RunQueue(); });
    return;
  }
  {
    // The pool lets go of the connections before they close.
    transfer::TTransferPool pool(std::move(engines), FtpClient1->Timeout(), preserveTimes_);
    pool_ = &pool;
    pool.OnJobProgress = [this](transfer::TPoolJob& Job, std::int64_t Bytes) {
      NoteProgress(*static_cast<session::TQueueEntry*>(Job.Tag), Bytes);
    };
    queueTotals_ = QueueTotalsText();
    TransferForm->StatusBar1->SetPanelText(1, "Transferring: " + queueTotals_);
    poolTotal_ = 0;
    poolEnded_ = 0;
    std::deque<transfer::TPoolJob> jobs;  // addresses stay valid as jobs are added
    pool.Run([&] { return NextPoolJob(jobs); }, [this](transfer::TPoolJob& Job) { PoolJobDone(Job); });
    pool_ = nullptr;
  }
  for (auto& engine : queueEngines_)
    if (engine->IsConnected()) engine->Quit();
  queueEngines_.clear();
  if (transfer::Session().AbortRequested) Queue.SkipWaiting(kQueueAborted);
  TransferForm->ProgressBar1->setValue(0);
  EndOfQueue();
  transfer::Session().AbortRequested = false;
}

std::unique_ptr<TFtpClient> TForm1::SessionEngine() {
  auto engine = std::make_unique<TFtpClient>();
  TFtpClient& e = *engine;
  e.SetTimeout(FtpClient1->Timeout());
  e.SetHostName(FtpClient1->HostName());
  e.SetPort(FtpClient1->Port());
  e.SetUserName(FtpClient1->UserName());
  e.SetPassWord(FtpClient1->PassWord());
  e.SetPassiveMode(FtpClient1->PassiveMode());
  e.SetEncryption(FtpClient1->Encryption());
  e.SetTrustFile(FtpClient1->TrustFile());
  e.SetUseFeatures(true);
  e.SetUsePasvAddress(FtpClient1->UsePasvAddress());
  // The user has judged this server's certificate for the session already.
  e.OnVerifyCertificate = [this](TCustomFtpCli*, const TTlsInfo& Info, bool, TFtpTrust& Trust) {
    Trust = FtpClient1->Encrypted() && Info.Fingerprint == FtpClient1->TlsInfo().Fingerprint ? ftpTrustOnce
                                                                                             : ftpTrustNo;
  };
  return engine;
}

std::vector<TFtpClient*> TForm1::OpenQueueEngines() {
  std::vector<TFtpClient*> opening;
  for (int i = 0; i < transfers_; ++i) {
    queueEngines_.push_back(SessionEngine());
    // A server starts every session in ASCII: the pool sends TYPE I with
    // the first binary file.
    queueEngines_.back()->SetBinary(false);
    opening.push_back(queueEngines_.back().get());
  }
  const std::vector<std::uint16_t> outcome = transfer::ConnectAll(opening, FtpClient1->Timeout());
  std::vector<TFtpClient*> engines;
  for (std::size_t i = 0; i < opening.size(); ++i) {
    if (outcome[i] == 0) {
      engines.push_back(opening[i]);
      continue;
    }
    AddLog("! The server refused connection " + std::to_string(i + 1) + " of the queue (" +
           opening[i]->ErrorMessage() + ")");
  }
  if (engines.size() < opening.size() && !engines.empty())
    AddLog("! The queue goes on with " + std::to_string(engines.size()) + " connections of its own");
  return engines;
}

transfer::TPoolJob* TForm1::NextPoolJob(std::deque<transfer::TPoolJob>& Jobs) {
  while (session::TQueueEntry* entry = Queue.Next()) {
    if (transfer::Session().AbortRequested) {
      Queue.Finish(*entry, session::TEntryState::Skipped, kQueueAborted);
      continue;
    }
    const bool upload = entry->Direction == session::TDirection::Upload;
    const TLanding landing = Landing(*entry);
    if (landing == TLanding::Skip) {
      Queue.Finish(*entry, session::TEntryState::Skipped, kSkippedExisting);
      continue;
    }
    transfer::TPoolJob job = transfer::PoolJob(upload, transfer::JoinPath(entry->RemoteDir, entry->RemoteName),
                                               entry->LocalPath, entry->RemoteTime);
    job.Binary = entry->Binary;
    job.Tag = entry;
    // An overwrite is a new file: STOR, or a download that replaces the
    // old file only once whole.
    if (landing == TLanding::Resume) job.Mode = upload ? transfer::TPoolMode::Append : transfer::TPoolMode::Resume;
    if (upload) {
      struct stat st {};
      job.ModifyUtc = ::stat(entry->LocalPath.c_str(), &st) == 0 ? st.st_mtime : -1;
      Queue.MarkSent(entry->RemoteDir, entry->RemoteName);
      AddLog("put " + entry->LocalPath + " " + job.Remote);
    } else {
      AddLog("get " + job.Remote + " " + entry->LocalPath);
    }
    ++poolTotal_;
    Jobs.push_back(std::move(job));
    return &Jobs.back();
  }
  return nullptr;
}

void TForm1::PoolJobDone(transfer::TPoolJob& Job) {
  auto& entry = *static_cast<session::TQueueEntry*>(Job.Tag);
  const bool aborted = transfer::Session().AbortRequested;
  Queue.Finish(entry, Job.Done ? session::TEntryState::Done : session::TEntryState::Failed,
               aborted && !Job.Done ? "aborted" : Job.Why);
  ++poolEnded_;
  RefreshQueuePane();
  TransferForm->StatusBar1->SetPanelText(1, "Transferring: " + queueTotals_);
  const std::size_t all = poolTotal_ + Queue.WaitingCount();
  TransferForm->ProgressBar1->setValue(all == 0 ? 0 : static_cast<int>(poolEnded_ * 100 / all));
}
