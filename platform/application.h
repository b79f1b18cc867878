// "Let the application process messages", "the application is terminating".
// One instance per program (Application::Instance()); headless code uses
// HeadlessApplication over the thread's MessageLoop, the GUI installs the Qt
// one from platform/qt/.
#pragma once

#include <exception>
#include <functional>

namespace plat {

class Application {
 public:
  Application();
  virtual ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The installed instance; a HeadlessApplication is created on first use when
  // none was installed.
  static Application& Instance();

  // Dispatch everything pending, then return.
  virtual void ProcessMessages() = 0;
  // Sleep until something is pending or timeoutMs passes (-1: no limit).
  virtual void WaitMessage(int timeoutMs) = 0;

  void Terminate();
  bool Terminated() const { return terminated_; }

  // Exceptions caught at the dispatch boundary end up here.
  // Default: "Exception: <what>" on stderr.
  void SetExceptionHandler(std::function<void(std::exception_ptr)> handler);
  void HandleException(std::exception_ptr error);
  // The default handling: "Exception: <what>" on stderr.
  static void ReportToStderr(std::exception_ptr error);

 protected:
  virtual void OnTerminate() {}

 private:
  Application* below_ = nullptr;  // the instance installed before this one
  bool terminated_ = false;
  std::function<void(std::exception_ptr)> handler_;
};

// Drives MessageLoop::Current().
class HeadlessApplication : public Application {
 public:
  HeadlessApplication();
  ~HeadlessApplication() override;
  void ProcessMessages() override;
  void WaitMessage(int timeoutMs) override;
};

}  // namespace plat
