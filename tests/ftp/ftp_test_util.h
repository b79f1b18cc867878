// Shared pieces of the engine tests: an event recorder and a bounded pump.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ftp/ftpcli.h"
#include "platform/application.h"
#include "platform/ticks.h"

namespace vektest {

// Runs the application's loop until Done() holds or TimeoutMs passes; sleeps
// in the loop between messages. False on timeout.
inline bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs = 10000) {
  plat::Application& app = plat::Application::Instance();
  const std::uint32_t end = plat::GetTickCount() + static_cast<std::uint32_t>(TimeoutMs);
  for (;;) {
    app.ProcessMessages();
    if (Done()) return true;
    const std::uint32_t left = plat::TicksUntil(plat::GetTickCount(), end);
    if (left == 0) return false;
    app.WaitMessage(static_cast<int>(left));
  }
}

// Dispatches whatever is pending now (a posted completion, for instance).
inline void PumpPending() { plat::Application::Instance().ProcessMessages(); }

// Everything the engine reports, in order.
struct FtpRecorder {
  struct Done {
    TFtpRequest request;
    std::uint16_t error;
    std::string replyLine;
    int replyCode;
    std::string errorMessage;
  };

  std::vector<std::string> events;   // "display:<msg>", "connected:<e>", "closed:<e>", "done:<rq>:<e>"
  std::vector<std::string> display;  // OnDisplay lines only
  std::vector<Done> done;
  int responses = 0;
  std::function<void(TCustomFtpCli*, TFtpRequest, std::uint16_t)> onDone;  // extra, after recording

  void Attach(TCustomFtpCli& Ftp) {
    Ftp.OnDisplay = [this](TCustomFtpCli*, std::string& Msg) {
      display.push_back(Msg);
      events.push_back("display:" + Msg);
    };
    Ftp.OnResponse = [this](TCustomFtpCli*) { ++responses; };
    Ftp.OnSessionConnected = [this](TCustomFtpCli*, std::uint16_t Error) {
      events.push_back("connected:" + std::to_string(Error));
    };
    Ftp.OnSessionClosed = [this](TCustomFtpCli*, std::uint16_t Error) {
      events.push_back("closed:" + std::to_string(Error));
    };
    Ftp.OnRequestDone = [this](TCustomFtpCli* Sender, TFtpRequest Rq, std::uint16_t Error) {
      done.push_back({Rq, Error, Sender->ReplyLine(), Sender->ReplyCode(), Sender->ErrorMessage()});
      events.push_back(std::string("done:") + FtpRequestName(Rq) + ":" + std::to_string(Error));
      if (onDone) onDone(Sender, Rq, Error);
    };
  }

  int Count(const std::string& Prefix) const {
    int n = 0;
    for (const std::string& e : events)
      if (e.rfind(Prefix, 0) == 0) ++n;
    return n;
  }
  bool WaitDone(std::size_t N = 1, int TimeoutMs = 10000) {
    return PumpUntil([&] { return done.size() >= N; }, TimeoutMs);
  }
};

}  // namespace vektest

// Request types by name in test failures.
inline void PrintTo(TFtpRequest Request, std::ostream* Os) { *Os << FtpRequestName(Request); }
