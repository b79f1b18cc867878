// The device-change notification: a watch on the mount table.
//
// The kernel's table (/proc/self/mountinfo) reports a mount or unmount as a
// priority event (POLLPRI) on an open descriptor of it; nothing has to be
// re-read on a timer. A table kept as a plain file (a test's, an old
// /etc/mtab) has no such event; its folder is watched with inotify instead
// and the descriptor turns readable when the file is rewritten or replaced.
//
// The owner watches Descriptor() in its event loop (PriorityEvents() tells
// for which condition) and calls Acknowledge() when it fires.
#pragma once

#include <string>

namespace plat {

class MountTableWatch {
 public:
  explicit MountTableWatch(const std::string& table);
  ~MountTableWatch();
  MountTableWatch(const MountTableWatch&) = delete;
  MountTableWatch& operator=(const MountTableWatch&) = delete;

  // -1 when the table cannot be watched (it does not exist, no inotify).
  int Descriptor() const { return fd_; }
  // True: watch for POLLPRI (the kernel's table). False: watch for POLLIN.
  bool PriorityEvents() const { return priority_; }
  // Takes what the descriptor reported, so that it goes quiet until the next
  // change. True when the table may have changed (an event for another file
  // in a watched folder is not one).
  bool Acknowledge();

 private:
  int fd_ = -1;
  bool priority_ = false;
  std::string name_;   // the table's file name, for a watched folder
};

}  // namespace plat
