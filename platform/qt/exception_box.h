// Exceptions that reach the event loop are shown to the user in a message box
// (the desktop program's way) instead of on stderr.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace plat {

class Application;

// The text the box shows: what() of a standard exception, otherwise a fixed
// text naming an exception of unknown type.
std::string ExceptionMessage(std::exception_ptr error);

// Shows ExceptionMessage(error) through TheDialogs().
void ShowExceptionMessage(std::exception_ptr error);

// Makes ShowExceptionMessage the application's exception handler.
void InstallExceptionMessageBox(Application& application);

// Runs handler; an exception it raises goes to the application's exception
// handler instead of crossing Qt's event loop (which would end the program).
void RunGuarded(const std::function<void()>& handler);

// A slot for QObject::connect that runs handler guarded.
template <typename F>
auto Guarded(F handler) {
  return [handler](auto&&...) { RunGuarded(handler); };
}

}  // namespace plat
