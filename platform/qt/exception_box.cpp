#include "platform/qt/exception_box.h"

#include "platform/application.h"
#include "platform/qt/dialogs.h"

namespace plat {

std::string ExceptionMessage(std::exception_ptr error) {
  if (!error) return "Unknown exception";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void ShowExceptionMessage(std::exception_ptr error) {
  TheDialogs().ShowMessage(ExceptionMessage(error));
}

void InstallExceptionMessageBox(Application& application) {
  application.SetExceptionHandler(&ShowExceptionMessage);
}

void RunGuarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    Application::Instance().HandleException(std::current_exception());
  }
}

}  // namespace plat
