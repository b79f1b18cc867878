#include "tools/vekftp/transfer_pool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ftp/ftpcli.h"
#include "platform/application.h"
#include "platform/ticks.h"

namespace vekftp {

namespace {

constexpr const char* kStepNames[] = {"Idle", "Transferring", "Timing"};

// A download is written beside its target and takes its place once whole.
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

void SetLocalTime(const std::string& Path, std::int64_t Utc) {
  const timespec times[2] = {{static_cast<time_t>(Utc), 0}, {static_cast<time_t>(Utc), 0}};
  ::utimensat(AT_FDCWD, Path.c_str(), times, 0);
}

}  // namespace

const char* SlotStepName(TSlotStep Step) {
  const auto i = static_cast<std::size_t>(Step);
  return i < sizeof(kStepNames) / sizeof(kStepNames[0]) ? kStepNames[i] : "?";
}

struct TTransferPool::TSlot {
  TFtpClient* Ftp = nullptr;
  int Index = 0;
  TSlotStep Step = TSlotStep::Idle;
  TPoolJob* Job = nullptr;
  std::string Temp;              // a download's file until it is whole
  std::uint32_t LastMove = 0;    // ticks of the last progress
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
    slot.Ftp->OnProgress = [this, i](TCustomFtpCli*, std::int64_t, bool&) { slots_[i].LastMove = plat::GetTickCount(); };
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

bool TTransferPool::Run(std::vector<TPoolJob>& Jobs) {
  plat::Application& app = plat::Application::Instance();
  std::size_t next = 0;
  for (;;) {
    for (TSlot& slot : slots_)
      if (slot.Step == TSlotStep::Idle && !slot.Lost && next < Jobs.size()) Start(slot, Jobs[next++]);
    bool busy = false;
    for (TSlot& slot : slots_) busy = busy || slot.Step != TSlotStep::Idle;
    if (!busy || app.Terminated()) {
      FailLeft(Jobs, next);
      break;
    }
    app.ProcessMessages();
    bool moved = false;
    for (TSlot& slot : slots_) {
      if (slot.Step == TSlotStep::Idle || !slot.Ended) continue;
      Finished(slot, slot.Error);
      moved = true;
    }
    AbortStalled();
    if (!moved) app.WaitMessage(WaitLimitMs());
  }
  bool all = true;
  for (const TPoolJob& job : Jobs) all = all && job.Done;
  return all;
}

void TTransferPool::Start(TSlot& Slot, TPoolJob& Job) {
  Slot.Job = &Job;
  Slot.Temp.clear();
  try {
    Slot.Ftp->SetHostFileName(Job.Remote);
    if (Job.Upload) {
      Slot.Ftp->SetLocalFileName(Job.Local);
      SetStep(Slot, TSlotStep::Transferring);
      Slot.Ftp->PutAsync();
      return;
    }
    Slot.Temp = TempBeside(Job.Local);
    if (Slot.Temp.empty()) {
      EndJob(Slot, "cannot create a file beside " + Job.Local + ": " + std::strerror(errno));
      return;
    }
    Slot.Ftp->SetLocalFileName(Slot.Temp);
    SetStep(Slot, TSlotStep::Transferring);
    Slot.Ftp->GetAsync();
  } catch (const std::exception& e) {
    EndJob(Slot, e.what());
  }
}

void TTransferPool::Finished(TSlot& Slot, std::uint16_t Error) {
  TPoolJob& job = *Slot.Job;
  if (Slot.Step == TSlotStep::Transferring) {
    if (Error != 0) {
      EndJob(Slot, Slot.Ftp->ErrorMessage().empty() ? "request failed" : Slot.Ftp->ErrorMessage());
      return;
    }
    // The time, before the download takes its name: a failure there leaves
    // a whole file with today's time, never a partial one.
    const bool askTime = preserve_ && !job.Upload && job.ModifyUtc < 0;
    const bool giveTime = preserve_ && job.Upload && job.ModifyUtc >= 0 && Slot.Ftp->CanSetModTime();
    if (askTime || giveTime) {
      SetStep(Slot, TSlotStep::Timing);
      try {
        if (giveTime) Slot.Ftp->SetModTimeToSet(job.ModifyUtc);
        giveTime ? Slot.Ftp->SetModTimeAsync() : Slot.Ftp->ModTimeAsync();
        return;
      } catch (const std::exception&) {
        // Nothing started: the file is whole all the same.
      }
    }
  } else if (Slot.Step == TSlotStep::Timing && Error == 0 && !job.Upload) {
    job.ModifyUtc = Slot.Ftp->RemoteModTime();
  }
  if (!job.Upload) {
    if (preserve_ && job.ModifyUtc >= 0) SetLocalTime(Slot.Temp, job.ModifyUtc);
    if (::rename(Slot.Temp.c_str(), job.Local.c_str()) != 0) {
      EndJob(Slot, "cannot rename " + Slot.Temp + " to " + job.Local + ": " + std::strerror(errno));
      return;
    }
    Slot.Temp.clear();
  }
  EndJob(Slot, {});
}

void TTransferPool::FailLeft(std::vector<TPoolJob>& Jobs, std::size_t Next) {
  for (; Next < Jobs.size(); ++Next) Jobs[Next].Why = "no connection to the server is left";
}

void TTransferPool::EndJob(TSlot& Slot, const std::string& Why) {
  if (!Slot.Ftp->IsConnected()) Slot.Lost = true;
  Slot.Job->Done = Why.empty();
  Slot.Job->Why = Why;
  if (!Slot.Temp.empty()) ::unlink(Slot.Temp.c_str());
  Slot.Temp.clear();
  Slot.Job = nullptr;
  SetStep(Slot, TSlotStep::Idle);
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

}  // namespace vekftp
