// The offscreen list, plus what the X platform's libraries keep for the life
// of the process (the screenshot run under xvfb); none of it is ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n"
         "leak:libfreetype\n"
         "leak:libdbus-1\n"
         "leak:libxcb\n"
         "leak:libX11\n";
}
