#include "transfer/transfer_pool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ftp/ftpcli.h"
#include "platform/application.h"
#include "platform/ticks.h"

namespace transfer {

namespace {

constexpr const char* kStepNames[] = {"Idle", "Typing", "Transferring", "Timing"};

}  // namespace

std::string TempBeside(const std::string& Local) {
  const std::size_t slash = Local.rfind('/');
  std::string temp = Local.substr(0, slash + 1) + "." + Local.substr(slash + 1) + ".vekftp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return {};
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  return temp;
}

std::vector<std::uint16_t> ConnectAll(const std::vector<TFtpClient*>& Engines, int TimeoutSeconds) {
  constexpr std::uint16_t kPending = 0xFFFF;
  std::vector<std::uint16_t> outcome(Engines.size(), kPending);
  for (std::size_t i = 0; i < Engines.size(); ++i) {
    Engines[i]->OnRequestDone = [&outcome, i](TCustomFtpCli*, TFtpRequest, std::uint16_t Error) { outcome[i] = Error; };
    try {
      Engines[i]->ConnectAsync();
    } catch (const std::exception&) {
      outcome[i] = 500;
    }
  }
  plat::Application& app = plat::Application::Instance();
  const std::uint32_t deadline = plat::GetTickCount() + static_cast<std::uint32_t>(TimeoutSeconds) * 1000;
  const auto pending = [&] { return std::count(outcome.begin(), outcome.end(), kPending) > 0; };
  while (pending() && !app.Terminated()) {
    app.ProcessMessages();
    const std::uint32_t left = plat::TicksUntil(plat::GetTickCount(), deadline);
    if (left == 0) break;
    if (pending()) app.WaitMessage(static_cast<int>(left));
  }
  for (std::size_t i = 0; i < Engines.size(); ++i) {
    Engines[i]->OnRequestDone = nullptr;
    if (outcome[i] != kPending) continue;
    Engines[i]->AbortAsync();
    outcome[i] = 426;
  }
  return outcome;
}

const char* SlotStepName(TSlotStep Step) {
  const auto i = static_cast<std::size_t>(Step);
  return i < sizeof(kStepNames) / sizeof(kStepNames[0]) ? kStepNames[i] : "?";
}

struct TTransferPool::TSlot {
  TFtpClient* Ftp = nullptr;
  int Index = 0;
  TSlotStep Step = TSlotStep::Idle;
  TPoolJob* Job = nullptr;
  std::string Temp;              // a new download's file until it is whole
  std::uint32_t LastMove = 0;    // ticks of the last progress
  std::int64_t Bytes = 0;        // moved by the running file
  bool Ended = false;            // its request's completion came
  std::uint16_t Error = 0;
  bool Lost = false;             // its connection is gone: it takes no more files
};

TTransferPool::TTransferPool(std::vector<TFtpClient*> Engines, int TimeoutSeconds, bool Preserve)
    : timeoutMs_(TimeoutSeconds * 1000), preserve_(Preserve) {
  slots_.resize(Engines.size());
  for (std::size_t i = 0; i < Engines.size(); ++i) {
    TSlot& slot = slots_[i];
    slot.Ftp = Engines[i];
    slot.Index = static_cast<int>(i);
    slot.Ftp->OnRequestDone = [this, i](TCustomFtpCli*, TFtpRequest, std::uint16_t Error) {
      slots_[i].Ended = true;
      slots_[i].Error = Error;
    };
    slot.Ftp->OnProgress = [this, i](TCustomFtpCli*, std::int64_t Count, bool&) {
      slots_[i].LastMove = plat::GetTickCount();
      slots_[i].Bytes = Count;
      if (OnJobProgress && slots_[i].Job != nullptr) OnJobProgress(*slots_[i].Job, Count);
    };
  }
}

TTransferPool::~TTransferPool() {
  for (TSlot& slot : slots_) {
    slot.Ftp->OnRequestDone = nullptr;
    slot.Ftp->OnProgress = nullptr;
  }
}

void TTransferPool::SetStep(TSlot& Slot, TSlotStep Step) {
  if (FtpTraceEnabled())
    std::fprintf(stderr, "pool %d: %s -> %s\n", Slot.Index, SlotStepName(Slot.Step), SlotStepName(Step));
  Slot.Step = Step;
  Slot.Ended = false;
  Slot.LastMove = plat::GetTickCount();
}

void TTransferPool::Run(const std::function<TPoolJob*()>& Next, const std::function<void(TPoolJob&)>& Finished) {
  plat::Application& app = plat::Application::Instance();
  finished_ = Finished;
  for (;;) {
    for (TSlot& slot : slots_) {
      if (slot.Step != TSlotStep::Idle || slot.Lost || stopped_) continue;
      TPoolJob* job = Next();
      if (job == nullptr) break;
      Start(slot, *job);
    }
    const bool busy = std::any_of(slots_.begin(), slots_.end(), [](const TSlot& s) { return s.Step != TSlotStep::Idle; });
    if (!busy) break;
    app.ProcessMessages();
    bool moved = false;
    for (TSlot& slot : slots_) {
      if (slot.Step == TSlotStep::Idle || !slot.Ended) continue;
      Advance(slot, slot.Error);
      moved = true;
    }
    if (app.Terminated()) Stop();
    AbortStalled();
    if (!moved) app.WaitMessage(WaitLimitMs());
  }
  finished_ = nullptr;
}

bool TTransferPool::Run(std::vector<TPoolJob>& Jobs) {
  std::size_t next = 0;
  Run([&]() -> TPoolJob* { return next < Jobs.size() ? &Jobs[next++] : nullptr; }, [](TPoolJob&) {});
  for (; next < Jobs.size(); ++next)
    Jobs[next].Why = stopped_ ? "aborted" : "no connection to the server is left";
  return std::all_of(Jobs.begin(), Jobs.end(), [](const TPoolJob& j) { return j.Done; });
}

void TTransferPool::Stop() {
  stopped_ = true;
  for (TSlot& slot : slots_)
    if (slot.Step != TSlotStep::Idle && !slot.Ended) slot.Ftp->AbortAsync();
}

std::int64_t TTransferPool::RunningBytes() const {
  std::int64_t bytes = 0;
  for (const TSlot& slot : slots_)
    if (slot.Step == TSlotStep::Transferring) bytes += slot.Bytes;
  return bytes;
}

void TTransferPool::Start(TSlot& Slot, TPoolJob& Job) {
  Slot.Job = &Job;
  Slot.Temp.clear();
  Slot.Bytes = 0;
  if (Slot.Ftp->Binary() == Job.Binary) {
    StartTransfer(Slot);
    return;
  }
  try {
    SetStep(Slot, TSlotStep::Typing);
    Job.Binary ? Slot.Ftp->BinaryTypeAsync() : Slot.Ftp->AsciiTypeAsync();
  } catch (const std::exception& e) {
    EndJob(Slot, e.what());
  }
}

void TTransferPool::StartTransfer(TSlot& Slot) {
  TPoolJob& job = *Slot.Job;
  try {
    Slot.Ftp->SetHostFileName(job.Remote);
    std::string local = job.Local;
    if (!job.Upload && job.Mode == TPoolMode::New) {
      Slot.Temp = TempBeside(job.Local);
      if (Slot.Temp.empty()) {
        EndJob(Slot, "cannot create a file beside " + job.Local + ": " + std::strerror(errno));
        return;
      }
      local = Slot.Temp;
    }
    Slot.Ftp->SetLocalFileName(local);
    SetStep(Slot, TSlotStep::Transferring);
    if (job.Upload)
      job.Mode == TPoolMode::Append ? Slot.Ftp->AppendAsync() : Slot.Ftp->PutAsync();
    else
      job.Mode == TPoolMode::Resume ? Slot.Ftp->RestGetAsync() : Slot.Ftp->GetAsync();
  } catch (const std::exception& e) {
    EndJob(Slot, e.what());
  }
}

void TTransferPool::Advance(TSlot& Slot, std::uint16_t Error) {
  TPoolJob& job = *Slot.Job;
  const std::string failure = Slot.Ftp->ErrorMessage().empty() ? "request failed" : Slot.Ftp->ErrorMessage();
  switch (Slot.Step) {
    case TSlotStep::Typing:
      if (Error != 0 || stopped_) {
        EndJob(Slot, stopped_ ? "aborted" : failure);
        return;
      }
      StartTransfer(Slot);
      return;
    case TSlotStep::Transferring: {
      if (Error != 0 || stopped_) {
        EndJob(Slot, stopped_ ? "aborted" : failure);
        return;
      }
      // The time, before a download takes its name: a failure there leaves
      // a whole file with today's time, never a partial one.
      const bool askTime = preserve_ && !job.Upload && job.ModifyUtc < 0 && Slot.Ftp->CanGetModTime();
      const bool giveTime = preserve_ && job.Upload && job.Mode == TPoolMode::New && job.ModifyUtc >= 0 &&
                            Slot.Ftp->CanSetModTime();
      if (askTime || giveTime) {
        try {
          SetStep(Slot, TSlotStep::Timing);
          if (giveTime) Slot.Ftp->SetModTimeToSet(job.ModifyUtc);
          giveTime ? Slot.Ftp->SetModTimeAsync() : Slot.Ftp->ModTimeAsync();
          return;
        } catch (const std::exception&) {
          // Nothing started: the file is whole all the same.
        }
      }
      break;
    }
    case TSlotStep::Timing:
      if (Error == 0 && !job.Upload) job.ModifyUtc = Slot.Ftp->RemoteModTime();
      break;
    case TSlotStep::Idle:
      return;
  }
  const std::string file = Slot.Temp.empty() ? job.Local : Slot.Temp;
  if (!job.Upload && preserve_ && job.ModifyUtc >= 0) SetLocalFileTime(file, job.ModifyUtc);
  if (!Slot.Temp.empty()) {
    if (::rename(Slot.Temp.c_str(), job.Local.c_str()) != 0) {
      EndJob(Slot, "cannot rename " + Slot.Temp + " to " + job.Local + ": " + std::strerror(errno));
      return;
    }
    Slot.Temp.clear();
  }
  EndJob(Slot, {});
}

void TTransferPool::EndJob(TSlot& Slot, const std::string& Why) {
  if (!Slot.Ftp->IsConnected()) Slot.Lost = true;
  TPoolJob& job = *Slot.Job;
  job.Done = Why.empty();
  job.Why = Why;
  if (!Slot.Temp.empty()) ::unlink(Slot.Temp.c_str());
  Slot.Temp.clear();
  Slot.Job = nullptr;
  SetStep(Slot, TSlotStep::Idle);
  if (finished_) finished_(job);
}

int TTransferPool::WaitLimitMs() const {
  if (timeoutMs_ <= 0) return -1;
  int wait = timeoutMs_;
  const std::uint32_t now = plat::GetTickCount();
  for (const TSlot& slot : slots_) {
    if (slot.Step == TSlotStep::Idle) continue;
    const std::uint32_t left = plat::TicksUntil(now, slot.LastMove + static_cast<std::uint32_t>(timeoutMs_));
    wait = std::min(wait, static_cast<int>(left));
  }
  return std::max(wait, 1);
}

void TTransferPool::AbortStalled() {
  if (timeoutMs_ <= 0) return;
  const std::uint32_t now = plat::GetTickCount();
  for (TSlot& slot : slots_) {
    if (slot.Step == TSlotStep::Idle || slot.Ended) continue;
    if (!plat::TickIsPast(now, slot.LastMove + static_cast<std::uint32_t>(timeoutMs_))) continue;
    // Its completion (426) comes through the loop and ends the file.
    slot.Ftp->AbortAsync();
    slot.LastMove = now;
  }
}

}  // namespace transfer
