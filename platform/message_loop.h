// Hidden windows with posted messages, and readiness notifications for sockets.
//
// This is the stand-in for the window-system message queue that the socket layer
// and the engine are written against: every socket and the engine own a hidden
// window (a handle plus a procedure); the network and the code post messages to
// it; the loop dispatches them one at a time, in order.
//
// One MessageLoop per thread that owns sockets (MessageLoop::Current()).
// Only PostFromAnyThread may be called from another thread.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace plat {

using HWND = std::uint32_t;   // 0 is "no window"
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

constexpr UINT WM_USER = 0x0400;

// lParam of a notification: event bit(s) in the low word, error in the high word.
constexpr LPARAM MakeSelectLParam(unsigned event, unsigned error) {
  return static_cast<LPARAM>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) | (event & 0xFFFF));
}
constexpr unsigned SelectEvent(LPARAM lParam) { return static_cast<std::uint32_t>(lParam) & 0xFFFF; }
constexpr unsigned SelectError(LPARAM lParam) { return (static_cast<std::uint32_t>(lParam) >> 16) & 0xFFFF; }

using WindowProcedure = std::function<void(UINT msg, WPARAM wParam, LPARAM lParam)>;
using ExceptionHandler = std::function<void(std::exception_ptr)>;

class MessageLoop;

// A handle on a loop for other threads that may outlive the loop: once the loop
// is gone, posting does nothing and returns false. Thread-safe.
class LoopRef {
 public:
  explicit LoopRef(MessageLoop* loop) : loop_(loop) {}
  bool Post(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) const;
  // Withdraws queued, not yet dispatched messages that match all three.
  std::size_t RemovePosted(HWND window, UINT msg, WPARAM wParam) const;
  // Called by the loop when it ends.
  void Detach();

 private:
  mutable std::mutex mutex_;
  MessageLoop* loop_;
};

class MessageLoop {
 public:
  MessageLoop();
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // The calling thread's loop, created on first use. Another thread's loop ends
  // with its thread; the main thread's lives to the end of the process, so that
  // static objects may still use it while they are destroyed.
  static MessageLoop& Current();

  // Windows. A destroyed window's queued messages are dropped, never delivered;
  // handles are not reused soon, so they cannot reach a newer window either.
  HWND AllocateWindow(WindowProcedure procedure);
  void DeallocateWindow(HWND window);
  bool IsWindow(HWND window) const;

  // Queue a message (FIFO across all windows). False for an unknown window.
  bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
  // The only thread-safe entry: queues the message and wakes a sleeping loop.
  // The window is checked at dispatch (windows belong to the loop's thread), so
  // this is false only for window 0.
  bool PostFromAnyThread(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
  // Thread-safe: withdraws queued messages matching window, msg and wParam
  // (a cancelled look-up's completion). Returns how many.
  std::size_t RemovePosted(HWND window, UINT msg, WPARAM wParam);
  // For threads that must post here later without knowing whether the loop
  // still exists.
  std::shared_ptr<LoopRef> Ref() const;

  // Turns socket readiness into messages, then dispatches one queued message.
  // Re-entrant: a procedure may call it again; the nested call continues with
  // the next queued message. False when nothing was queued.
  bool DispatchOne();
  // Dispatches until nothing is queued (messages posted meanwhile included).
  // Returns the number dispatched.
  std::size_t DispatchPending();
  // Dispatches what is queued once socket readiness has been turned into
  // notifications, but not what arrives meanwhile: a host event loop gets its
  // own events in between, even while a socket stays readable. Returns the
  // number dispatched.
  std::size_t DispatchQueued();
  // True when a message is queued once socket readiness has been turned into
  // notifications (which this does; nothing is dispatched).
  bool HasPending();
  // Sleeps in epoll until something is pending or timeoutMs passes (-1: no
  // limit). Returns HasPending(). Never spins.
  bool WaitMessage(int timeoutMs);

  // Readable while anything is pending, so a host event loop can drive us:
  // when it is, call DispatchQueued, a round per turn of the host loop. (It
  // may turn readable once more for a socket whose notification is already
  // out; the next dispatch quiets it.) Asking for it marks the loop watched:
  // until then only other threads' posts make it readable, as nobody but
  // this thread's WaitMessage (which looks at the queue first) sleeps on it.
  int Descriptor() const;

  // An exception leaving a procedure is caught at the dispatch boundary and
  // handed here; the loop goes on. Default: the installed Application's
  // handler (Application::HandleException, which writes to stderr by default).
  void SetExceptionHandler(ExceptionHandler handler);
  // What the dispatch boundary does with a caught exception.
  void HandleException(std::exception_ptr error);

  // --- readiness notifications (the asynchronous-select of the socket API) ---
  // Used by platform/winsock.h; socket code calls WSAAsyncSelect there.
  // events: FD_READ 0x01, FD_WRITE 0x02, FD_ACCEPT 0x08, FD_CONNECT 0x10, FD_CLOSE 0x20.
  // A mask of 0 (or msg 0) stops notifications for the descriptor. A new
  // registration starts afresh (read, accept re-armed; write when connected),
  // as the socket API does. Returns 0 or a Windows Sockets error code.
  int Select(int fd, HWND window, UINT msg, long events);
  // The re-enabling calls: a receive re-arms read, accept re-arms accept, a send
  // that would block arms write, a non-blocking connect in progress arms connect.
  void ReenableRead(int fd);
  void ReenableAccept(int fd);
  void ArmWriteAfterWouldBlock(int fd);
  void ConnectStarted(int fd);
  // The descriptor is being closed: forget it (no more notifications).
  void Forget(int fd);

 private:
  // Dispatches the first queued message, without looking at the sockets.
  bool DispatchQueuedOne();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace plat
