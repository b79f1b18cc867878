// Font and display libraries keep caches for the life of the process that the
// leak checker counts as leaks; they are not ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n"
         "leak:libfreetype\n";
}
