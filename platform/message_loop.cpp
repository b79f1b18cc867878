#include "platform/message_loop.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/application.h"
#include "platform/winsock.h"

namespace plat {

namespace {

constexpr int kMaxEvents = 64;
// Messages dispatched between two looks at the sockets while the queue is busy,
// so that a procedure that keeps posting cannot starve the network.
constexpr unsigned kPollEvery = 64;

struct Message {
  HWND window;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

// The posted-message FIFO on one reused array: a busy transfer posts and
// takes a message per chunk, and a deque would allocate and free a block
// every few messages.
class MessageRing {
 public:
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  void push_back(const Message& m) {
    if (count_ == slots_.size()) Grow();
    slots_[(head_ + count_) & (slots_.size() - 1)] = m;
    ++count_;
  }
  Message pop_front() {
    const Message m = slots_[head_];
    head_ = (head_ + 1) & (slots_.size() - 1);
    --count_;
    return m;
  }
  // Drops the messages that match, keeping the others in order; how many went.
  template <typename Match>
  std::size_t remove_if(Match match) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      const Message& m = At(i);
      if (!match(m)) At(kept++) = m;
    }
    const std::size_t removed = count_ - kept;
    count_ = kept;
    return removed;
  }

 private:
  Message& At(std::size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
  void Grow() {
    std::vector<Message> bigger(slots_.empty() ? 64 : slots_.size() * 2);  // a power of two
    for (std::size_t i = 0; i < count_; ++i) bigger[i] = At(i);
    slots_.swap(bigger);
    head_ = 0;
  }
  std::vector<Message> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

// What the loop knows of one registered descriptor. The armed flags follow the
// socket API's re-enabling rules: a notification is posted once, and the call
// named beside it (recv, accept, a blocked send) allows the next one.
struct Watch {
  HWND window = 0;
  UINT msg = 0;
  long mask = 0;
  bool stream = true;
  bool listening = false;
  bool connecting = false;   // a non-blocking connect is in progress
  bool failed = false;       // the connect failed: nothing more to report
  bool readArmed = false;    // re-armed by recv
  bool acceptArmed = false;  // re-armed by accept
  bool writeArmed = false;   // armed by a send that would block
  bool endOfStream = false;  // end of stream (or a broken connection) reported
  std::uint32_t interest = 0;  // what epoll watches now; 0 = not in the epoll set
};

[[noreturn]] void ThrowSystemError(const char* what) {
  throw std::runtime_error(std::string("MessageLoop: ") + what + " failed: " + std::strerror(errno));
}

std::uint32_t WantedEvents(const Watch& w) {
  if (w.mask == 0 || w.failed) return 0;
  if (w.connecting) return EPOLLOUT;
  if (w.listening) return (w.acceptArmed && (w.mask & FD_ACCEPT)) ? std::uint32_t{EPOLLIN} : 0u;
  std::uint32_t want = 0;
  long readers = w.stream ? (FD_READ | FD_CLOSE) : FD_READ;
  // EPOLLRDHUP tells a peer's end of stream from plain data without a peek.
  if (w.readArmed && !w.endOfStream && (w.mask & readers)) want |= w.stream ? (EPOLLIN | EPOLLRDHUP) : EPOLLIN;
  if (w.writeArmed && (w.mask & FD_WRITE)) want |= EPOLLOUT;
  return want;
}

int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
  return err;
}

}  // namespace

// ---------------------------------------------------------------------------

bool LoopRef::Post(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) const {
  std::lock_guard lock(mutex_);
  return loop_ != nullptr && loop_->PostFromAnyThread(window, msg, wParam, lParam);
}

std::size_t LoopRef::RemovePosted(HWND window, UINT msg, WPARAM wParam) const {
  std::lock_guard lock(mutex_);
  return loop_ != nullptr ? loop_->RemovePosted(window, msg, wParam) : 0;
}

void LoopRef::Detach() {
  std::lock_guard lock(mutex_);
  loop_ = nullptr;
}

// ---------------------------------------------------------------------------

struct MessageLoop::Impl {
  int epollFd = -1;
  int wakeFd = -1;  // eventfd: see Push for when it is signalled

  std::mutex queueMutex;  // the queue is the part other threads touch
  MessageRing queue;
  bool wakeSignalled = false;
  // Someone outside the loop's own calls may sleep on the descriptor (a host
  // event loop, another thread's poll): it must then be readable while
  // anything is queued, and quiet once the queue is empty.
  bool watched = false;

  std::unordered_map<HWND, std::shared_ptr<WindowProcedure>> windows;
  HWND lastWindow = 0;
  ExceptionHandler exceptionHandler;
  std::shared_ptr<LoopRef> ref;

  std::unordered_map<int, Watch> watches;
  unsigned sincePoll = 0;

  // --- queue ---
  // A post from the loop's own thread needs no wake-up unless the descriptor is
  // watched: the only other sleeper is WaitMessage on this very thread, which
  // looks at the queue before it sleeps. That saves an eventfd write and read
  // per message on the busy path (a chunk posted per upload message).
  void Push(const Message& m, bool fromOwnThread) {
    std::lock_guard lock(queueMutex);
    queue.push_back(m);
    if (!fromOwnThread || watched) SignalWakeLocked();
  }
  void SignalWakeLocked() {
    if (wakeSignalled) return;
    std::uint64_t one = 1;
    // Cannot overflow: it is written only when not signalled.
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    wakeSignalled = true;
  }
  void ResetWakeLocked() {
    if (queue.empty() && wakeSignalled) {
      std::uint64_t value;
      [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
      wakeSignalled = false;
    }
  }
  // An unwatched loop resets lazily, when epoll reports the wake-up (before it
  // sleeps, or the wake-up would end every wait at once); a watched one after
  // each dispatched message, so that a host loop is not woken for an empty
  // queue. After, not when the message is taken: a procedure that posts the
  // next message (a transfer, chunk after chunk) would otherwise cost an
  // eventfd read and write per message.
  void ResetWakeIfEmpty() {
    std::lock_guard lock(queueMutex);
    ResetWakeLocked();
  }
  void ResetWakeIfWatchedAndEmpty() {
    std::lock_guard lock(queueMutex);
    if (watched) ResetWakeLocked();
  }
  bool Pop(Message& m) {
    std::lock_guard lock(queueMutex);
    if (queue.empty()) return false;
    m = queue.pop_front();
    return true;
  }
  void Watched() {
    std::lock_guard lock(queueMutex);
    watched = true;
    if (!queue.empty()) SignalWakeLocked();  // posted before anyone watched
  }
  bool QueueEmpty() {
    std::lock_guard lock(queueMutex);
    return queue.empty();
  }
  std::size_t QueueSize() {
    std::lock_guard lock(queueMutex);
    return queue.size();
  }

  // --- readiness ---
  void Notify(const Watch& w, int fd, long event, int error) {
    if (!(w.mask & event) || w.window == 0 || w.msg == 0) return;
    Push({w.window, w.msg, static_cast<WPARAM>(fd),
          MakeSelectLParam(static_cast<unsigned>(event), static_cast<unsigned>(error))},
         true);
  }

  // Brings the epoll set in line with the armed state; returns 0 or errno.
  int UpdateInterest(int fd, Watch& w) {
    std::uint32_t want = WantedEvents(w);
    if (want == w.interest) return 0;
    epoll_event ev{};
    ev.events = want;
    ev.data.fd = fd;
    int rc;
    if (want == 0) {
      // Removed rather than emptied: epoll reports a hang-up even for an empty
      // interest set, which would wake us for nothing, again and again.
      rc = ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
      if (rc < 0 && (errno == ENOENT || errno == EBADF)) rc = 0;
    } else if (w.interest == 0) {
      rc = ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
      if (rc < 0 && errno == EEXIST) rc = ::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev);
    } else {
      rc = ::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev);
      if (rc < 0 && errno == ENOENT) rc = ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
    }
    if (rc < 0) {
      int err = errno;
      w.interest = 0;
      return err;
    }
    w.interest = want;
    return 0;
  }

  // A re-enabling call (recv, accept, a blocked send): the next notification
  // of its kind may come.
  void Arm(int fd, bool Watch::*armed) {
    auto it = watches.find(fd);
    if (it == watches.end() || it->second.*armed) return;
    it->second.*armed = true;
    UpdateInterest(fd, it->second);
  }

  // One epoll report turned into notifications, following the re-enabling rules.
  void Translate(int fd, Watch& w, std::uint32_t events) {
    const bool hangup = events & (EPOLLERR | EPOLLHUP);
    // Reported although not wanted: interest kept lazily (below) has fired.
    const bool stale = (events & ~WantedEvents(w)) != 0;
    if (w.connecting) {
      if ((events & EPOLLOUT) || hangup) {
        w.connecting = false;
        int err = PendingSocketError(fd);
        int code = err != 0 ? WsaErrorFromErrno(err) : 0;
        Notify(w, fd, FD_CONNECT, code);
        if (code != 0) {
          w.failed = true;
        } else if (events & EPOLLOUT) {
          Notify(w, fd, FD_WRITE, 0);  // a fresh connection can be written to
        } else {
          w.writeArmed = true;
        }
      }
    } else if (!w.failed && w.listening) {
      if (w.acceptArmed && (events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
        w.acceptArmed = false;
        Notify(w, fd, FD_ACCEPT, 0);
      }
    } else if (!w.failed) {
      if (w.readArmed && !w.endOfStream && (events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
        ReadReadiness(fd, w, events);
      }
      if (w.writeArmed && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        w.writeArmed = false;
        Notify(w, fd, FD_WRITE, 0);
      }
    }
    // What was just disarmed stays in the epoll set for now: the owner usually
    // re-arms it (recv, accept, a blocked send) before we look again, and then
    // no epoll_ctl is needed either way. If it fires first, it is stale and
    // goes. New interest is always added at once.
    if (stale || (WantedEvents(w) & ~w.interest) != 0) UpdateInterest(fd, w);
  }

  // A readable stream socket holds data or the end of the stream; a peek tells
  // which, so that the end gives one close notification instead of a read
  // notification on every pass (the socket stays readable at end of stream).
  // Data still buffered comes first: close follows once the owner has drained it.
  void ReadReadiness(int fd, Watch& w, std::uint32_t events) {
    const bool hangup = events & (EPOLLERR | EPOLLHUP);
    if (!w.stream || !(events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
      w.readArmed = false;  // data (the peer has not ended): no peek needed
      Notify(w, fd, FD_READ, 0);
      return;
    }
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      w.readArmed = false;  // also without FD_READ in the mask: wait for a recv
      Notify(w, fd, FD_READ, 0);
    } else if (n == 0) {
      w.endOfStream = true;
      Notify(w, fd, FD_CLOSE, 0);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      if (hangup) {  // nothing to read yet hung up: report it rather than wake forever
        w.endOfStream = true;
        int err = PendingSocketError(fd);
        Notify(w, fd, FD_CLOSE, err != 0 ? WsaErrorFromErrno(err) : 0);
      }
    } else if (errno == ENOTCONN) {
      // Never connected (its connect failed at once): Linux calls such a
      // socket hung up, but there is no connection to report the end of.
      w.endOfStream = true;
    } else {
      w.endOfStream = true;  // reset or timed out: the connection is over
      Notify(w, fd, FD_CLOSE, WsaErrorFromErrno(errno));
    }
  }

  // Collects readiness (waiting up to timeoutMs) and posts notifications.
  void PollSockets(int timeoutMs) {
    epoll_event events[kMaxEvents];
    int n = ::epoll_wait(epollFd, events, kMaxEvents, timeoutMs);
    if (n < 0) {
      if (errno == EINTR) return;
      ThrowSystemError("epoll_wait");
    }
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == wakeFd) {  // only a wake-up: the queue is looked at directly
        ResetWakeIfEmpty();
        continue;
      }
      auto it = watches.find(fd);
      if (it == watches.end()) {
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        continue;
      }
      Translate(fd, it->second, events[i].events);
    }
  }
};

// ---------------------------------------------------------------------------

MessageLoop::MessageLoop() : impl_(std::make_unique<Impl>()) {
  impl_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (impl_->epollFd < 0) ThrowSystemError("epoll_create1");
  impl_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (impl_->wakeFd < 0) {
    int err = errno;
    ::close(impl_->epollFd);
    errno = err;
    ThrowSystemError("eventfd");
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = impl_->wakeFd;
  if (::epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, impl_->wakeFd, &ev) < 0) {
    int err = errno;
    ::close(impl_->wakeFd);
    ::close(impl_->epollFd);
    errno = err;
    ThrowSystemError("epoll_ctl");
  }
  impl_->ref = std::make_shared<LoopRef>(this);
}

MessageLoop::~MessageLoop() {
  impl_->ref->Detach();  // from here on other threads' posts are dropped
  ::close(impl_->wakeFd);
  ::close(impl_->epollFd);
}

namespace {
// The main thread's loop is never destroyed: objects with static storage
// (destroyed after the thread's own) may still deallocate windows and close
// sockets in their destructors. Kept here so that it stays reachable.
MessageLoop* g_mainThreadLoop = nullptr;

struct ThreadLoop {
  MessageLoop* loop = nullptr;
  ~ThreadLoop() {
    if (loop != g_mainThreadLoop) delete loop;
  }
};
}  // namespace

MessageLoop& MessageLoop::Current() {
  thread_local ThreadLoop current;
  if (current.loop == nullptr) {
    current.loop = new MessageLoop;
    if (::gettid() == ::getpid()) g_mainThreadLoop = current.loop;
  }
  return *current.loop;
}

// --- windows ---

HWND MessageLoop::AllocateWindow(WindowProcedure procedure) {
  // Handles are not reused soon, so a message queued for a destroyed window
  // can never reach a newer one.
  HWND handle = impl_->lastWindow;
  do {
    ++handle;
  } while (handle == 0 || impl_->windows.count(handle) != 0);
  impl_->lastWindow = handle;
  impl_->windows.emplace(handle, std::make_shared<WindowProcedure>(std::move(procedure)));
  return handle;
}

void MessageLoop::DeallocateWindow(HWND window) { impl_->windows.erase(window); }

bool MessageLoop::IsWindow(HWND window) const { return impl_->windows.count(window) != 0; }

// --- posting ---

bool MessageLoop::PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!IsWindow(window)) return false;
  impl_->Push({window, msg, wParam, lParam}, true);
  return true;
}

bool MessageLoop::PostFromAnyThread(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (window == 0) return false;
  impl_->Push({window, msg, wParam, lParam}, false);
  return true;
}

std::size_t MessageLoop::RemovePosted(HWND window, UINT msg, WPARAM wParam) {
  std::lock_guard lock(impl_->queueMutex);
  const std::size_t removed = impl_->queue.remove_if([&](const Message& m) {
    return m.window == window && m.msg == msg && m.wParam == wParam;
  });
  impl_->ResetWakeLocked();
  return removed;
}

std::shared_ptr<LoopRef> MessageLoop::Ref() const { return impl_->ref; }

// --- dispatching ---

bool MessageLoop::DispatchOne() {
  if (impl_->sincePoll >= kPollEvery) {
    impl_->sincePoll = 0;
    impl_->PollSockets(0);
  }
  if (DispatchQueuedOne()) return true;
  // Nothing queued: the sockets may have something.
  impl_->sincePoll = 0;
  impl_->PollSockets(0);
  return DispatchQueuedOne();
}

bool MessageLoop::DispatchQueuedOne() {
  Message m;
  if (!impl_->Pop(m)) return false;
  ++impl_->sincePoll;
  auto it = impl_->windows.find(m.window);
  if (it != impl_->windows.end()) {  // else destroyed meanwhile: dropped
    // Our own reference: the procedure may destroy its window (or others), or
    // dispatch again, while it runs.
    std::shared_ptr<WindowProcedure> procedure = it->second;
    try {
      (*procedure)(m.msg, m.wParam, m.lParam);
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
  impl_->ResetWakeIfWatchedAndEmpty();
  return true;
}

std::size_t MessageLoop::DispatchPending() {
  std::size_t count = 0;
  while (DispatchOne()) ++count;
  return count;
}

std::size_t MessageLoop::DispatchQueued() {
  impl_->sincePoll = 0;
  impl_->PollSockets(0);
  // Counted, not emptied: nested dispatch takes some of these, and what the
  // procedures post meanwhile waits for the next round.
  const std::size_t queued = impl_->QueueSize();
  std::size_t count = 0;
  while (count < queued && DispatchQueuedOne()) ++count;
  return count;
}

bool MessageLoop::HasPending() {
  if (!impl_->QueueEmpty()) return true;
  impl_->PollSockets(0);
  return !impl_->QueueEmpty();
}

bool MessageLoop::WaitMessage(int timeoutMs) {
  if (HasPending()) return true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
      // Rounded up: waking a little early would only come back here with 0.
      wait = left <= 0 ? 0 : static_cast<int>(std::ceil(left));
    }
    impl_->PollSockets(wait);
    if (!impl_->QueueEmpty()) return true;
    if (timeoutMs >= 0 && Clock::now() >= deadline) return false;
  }
}

int MessageLoop::Descriptor() const {
  impl_->Watched();
  return impl_->epollFd;
}

void MessageLoop::SetExceptionHandler(ExceptionHandler handler) { impl_->exceptionHandler = std::move(handler); }

void MessageLoop::HandleException(std::exception_ptr error) {
  if (!impl_->exceptionHandler) {
    Application::Instance().HandleException(error);
    return;
  }
  // A copy runs: the handler may replace itself (SetExceptionHandler) while it
  // runs, and the original would be destroyed under it.
  ExceptionHandler handler = impl_->exceptionHandler;
  try {
    handler(error);
  } catch (...) {
    // The handler itself failed: the error must still be seen somewhere.
    Application::ReportToStderr(std::current_exception());
  }
}

// --- readiness notifications ---

int MessageLoop::Select(int fd, HWND window, UINT msg, long events) {
  if (fd < 0) return WSAENOTSOCK;
  bool stop = events == 0 || msg == 0;
  if (!stop && !IsWindow(window)) return WSAEINVAL;
  int type = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) < 0) return WsaErrorFromErrno(errno);
  int accepting = 0;
  len = sizeof accepting;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) < 0) accepting = 0;

  Watch& w = impl_->watches[fd];
  Watch fresh;
  fresh.interest = w.interest;      // what epoll holds stays as it is
  fresh.connecting = w.connecting;  // a connect in progress still completes
  fresh.window = stop ? 0 : window;
  fresh.msg = stop ? 0 : msg;
  fresh.mask = stop ? 0 : events;
  fresh.stream = type == SOCK_STREAM;
  fresh.listening = accepting != 0;
  fresh.readArmed = true;
  fresh.acceptArmed = true;
  if (!fresh.connecting && !fresh.listening) {
    // Registering a socket that can already send gives a write notification.
    sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    fresh.writeArmed = !fresh.stream || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0;
  }
  w = fresh;
  int err = impl_->UpdateInterest(fd, w);
  return err != 0 ? WsaErrorFromErrno(err) : 0;
}

void MessageLoop::ReenableRead(int fd) { impl_->Arm(fd, &Watch::readArmed); }

void MessageLoop::ReenableAccept(int fd) {
  auto it = impl_->watches.find(fd);
  if (it == impl_->watches.end()) return;
  Watch& w = it->second;
  if (!w.listening) {  // registered before listen() was called
    int accepting = 0;
    socklen_t len = sizeof accepting;
    w.listening = ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting != 0;
  }
  impl_->Arm(fd, &Watch::acceptArmed);
}

void MessageLoop::ArmWriteAfterWouldBlock(int fd) { impl_->Arm(fd, &Watch::writeArmed); }

void MessageLoop::ConnectStarted(int fd) {
  Watch& w = impl_->watches[fd];  // may come before the registration
  w.connecting = true;
  w.failed = false;
  w.listening = false;
  w.endOfStream = false;
  w.readArmed = true;
  w.writeArmed = false;
  impl_->UpdateInterest(fd, w);
}

void MessageLoop::Forget(int fd) {
  auto it = impl_->watches.find(fd);
  if (it == impl_->watches.end()) return;
  if (it->second.interest != 0) ::epoll_ctl(impl_->epollFd, EPOLL_CTL_DEL, fd, nullptr);
  impl_->watches.erase(it);
}

}  // namespace plat
