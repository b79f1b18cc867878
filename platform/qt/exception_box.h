// Exceptions that reach the event loop are shown to the user in a message box
// (the desktop program's way) instead of on stderr.
#pragma once

#include <exception>
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

}  // namespace plat
