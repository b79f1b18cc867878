// The one QApplication of a GUI test executable (offscreen), made on first use.
#pragma once

#include <QApplication>

inline QApplication& GuiApp() {
  static int argc = 1;
  static char name[] = "vek_gui_test";
  static char* argv[] = {name, nullptr};
  // Kept to the end of the process, like the program's own.
  static auto* app = new QApplication(argc, argv);
  return *app;
}
