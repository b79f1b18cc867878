#include "platform/mount_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace plat {

namespace {

constexpr long kProcSuperMagic = 0x9fa0;

}  // namespace

MountTableWatch::MountTableWatch(const std::string& table) {
  const int fd = ::open(table.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct statfs st {};
  if (::fstatfs(fd, &st) == 0 && static_cast<long>(st.f_type) == kProcSuperMagic) {
    fd_ = fd;
    priority_ = true;
    return;
  }
  ::close(fd);
  const std::size_t slash = table.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : table.substr(0, slash);
  name_ = slash == std::string::npos ? table : table.substr(slash + 1);
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  // Rewritten in place, or replaced by a rename (how tables are written safely).
  if (::inotify_add_watch(fd_, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

MountTableWatch::~MountTableWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool MountTableWatch::Acknowledge() {
  if (fd_ < 0) return false;
  if (priority_) {
    // Polling the table is what clears its changed state.
    pollfd p{fd_, POLLPRI, 0};
    return ::poll(&p, 1, 0) >= 0;
  }
  bool ours = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;   // EAGAIN: all taken
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      if (e->len > 0 && std::strcmp(e->name, name_.c_str()) == 0) ours = true;
      if (e->mask & IN_Q_OVERFLOW) ours = true;   // events were lost: assume the worst
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  return ours;
}

}  // namespace plat
