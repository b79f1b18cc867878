#include "platform/application.h"

#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "platform/message_loop.h"

namespace plat {

namespace {
// The installed instances form a stack: the latest one constructed is the
// instance; destroying it brings back the one below.
std::mutex g_instanceMutex;
Application* g_top = nullptr;
}  // namespace

Application::Application() {
  std::lock_guard lock(g_instanceMutex);
  below_ = g_top;
  g_top = this;
}

Application::~Application() {
  std::lock_guard lock(g_instanceMutex);
  for (Application** link = &g_top; *link != nullptr; link = &(*link)->below_) {
    if (*link == this) {
      *link = below_;
      break;
    }
  }
}

Application& Application::Instance() {
  {
    std::lock_guard lock(g_instanceMutex);
    if (g_top != nullptr) return *g_top;
  }
  // Never destroyed, like the main thread's loop: static destructors may still
  // process messages.
  static HeadlessApplication* fallback = new HeadlessApplication;
  std::lock_guard lock(g_instanceMutex);
  return g_top != nullptr ? *g_top : *fallback;
}

void Application::Terminate() {
  if (terminated_) return;
  terminated_ = true;
  OnTerminate();
}

void Application::SetExceptionHandler(std::function<void(std::exception_ptr)> handler) {
  handler_ = std::move(handler);
}

void Application::HandleException(std::exception_ptr error) {
  if (!handler_) {
    ReportToStderr(error);
    return;
  }
  // A copy runs: the handler may replace itself while it runs.
  std::function<void(std::exception_ptr)> handler = handler_;
  try {
    handler(error);
  } catch (...) {
    ReportToStderr(std::current_exception());  // a failing handler must not hide the error
  }
}

void Application::ReportToStderr(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Exception: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Exception: unknown exception\n");
  }
}

HeadlessApplication::HeadlessApplication() = default;
HeadlessApplication::~HeadlessApplication() = default;

void HeadlessApplication::ProcessMessages() { MessageLoop::Current().DispatchPending(); }

void HeadlessApplication::WaitMessage(int timeoutMs) { MessageLoop::Current().WaitMessage(timeoutMs); }

}  // namespace plat
