#include "platform/resolver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <netdb.h>

#include "platform/winsock.h"

namespace plat {

namespace {

// How long the exit waits for a look-up in flight before leaving the worker
// behind (see ~ResolverService).
constexpr auto kExitGrace = std::chrono::seconds(2);

enum class TaskKind { Forward, Reverse };
enum class TaskState { Queued, Running, Done };

struct Task {
  TaskKind kind = TaskKind::Forward;
  std::string name;
  std::uint32_t addr = 0;
  std::shared_ptr<LoopRef> loop;  // the requesting thread's loop
  HWND window = 0;
  UINT msg = 0;
  TaskState state = TaskState::Queued;
  std::vector<std::string> texts;
};

// Shared by the service and its worker: the worker holds its own reference, so
// this outlives the service when the worker has to be left behind at exit.
struct Shared {
  std::mutex mutex;
  std::condition_variable work;    // the worker waits here for tasks
  std::condition_variable exited;  // the exit waits here for the worker
  std::deque<LookupTask> queue;
  std::unordered_map<LookupTask, Task> tasks;  // queued, running and finished, until taken or cancelled
  LookupTask lastId = 0;
  bool stopping = false;
  bool workerEnded = false;
};

// IPv6 and IPv4 addresses, in the order the system prefers them.
int ForwardLookup(const std::string& name, std::vector<std::string>& texts) {
  std::vector<sockaddr_storage> addrs;
  int error = LookupHostAddrsBlocking(name, addrs);
  for (const sockaddr_storage& a : addrs) texts.push_back(AddressText(a));
  return error;
}

int ReverseLookup(std::uint32_t addrNetworkOrder, std::vector<std::string>& texts) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addrNetworkOrder;
  char host[NI_MAXHOST];
  // NI_NAMEREQD: an address without a name is a failure, not its own dotted text.
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) return WsaErrorFromResolver(rc);
  texts.emplace_back(host);
  return 0;
}

void WorkerMain(std::shared_ptr<Shared> s) {
  std::unique_lock lock(s->mutex);
  for (;;) {
    s->work.wait(lock, [&] { return s->stopping || !s->queue.empty(); });
    if (s->stopping) break;
    LookupTask id = s->queue.front();
    s->queue.pop_front();
    auto it = s->tasks.find(id);
    if (it == s->tasks.end()) continue;
    it->second.state = TaskState::Running;
    TaskKind kind = it->second.kind;
    std::string name = it->second.name;
    std::uint32_t addr = it->second.addr;

    lock.unlock();
    std::vector<std::string> texts;
    int error = kind == TaskKind::Forward ? ForwardLookup(name, texts) : ReverseLookup(addr, texts);
    lock.lock();

    it = s->tasks.find(id);
    if (it == s->tasks.end()) continue;  // cancelled while it ran: the answer is dropped
    Task& task = it->second;
    task.state = TaskState::Done;
    task.texts = std::move(texts);
    // Posted under the lock, so a cancel either comes first (nothing is posted)
    // or finds the completion queued and withdraws it.
    if (!task.loop->Post(task.window, task.msg, static_cast<WPARAM>(id),
                         MakeSelectLParam(0, static_cast<unsigned>(error)))) {
      s->tasks.erase(it);  // the requesting loop is gone
    }
  }
  s->workerEnded = true;
  s->exited.notify_all();
}

class ResolverService {
 public:
  ResolverService() = default;
  ResolverService(const ResolverService&) = delete;
  ResolverService& operator=(const ResolverService&) = delete;

  // getaddrinfo cannot be interrupted, and a query to an unreachable name
  // server may take the resolver's full timeout (by default 5 s per try and
  // server). So the exit waits a little for a look-up in flight and, if it
  // still runs, leaves the worker behind (detach): it only touches Shared,
  // which it co-owns, and the process ends it. An idle worker is joined.
  ~ResolverService() {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->stopping = true;
      shared_->queue.clear();
    }
    shared_->work.notify_all();
    if (!worker_.joinable()) return;
    bool ended;
    {
      std::unique_lock lock(shared_->mutex);
      ended = shared_->exited.wait_for(lock, kExitGrace, [&] { return shared_->workerEnded; });
    }
    if (ended) {
      worker_.join();
    } else {
      worker_.detach();
    }
  }

  LookupTask Start(Task task) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopping) return Refuse(WSAEINVAL);
    if (!worker_.joinable()) {
      try {
        worker_ = std::thread(WorkerMain, shared_);
      } catch (const std::system_error&) {
        return Refuse(WSAENOBUFS);
      }
    }
    LookupTask id = shared_->lastId;
    do {
      ++id;
    } while (id == 0 || shared_->tasks.count(id) != 0);
    shared_->lastId = id;
    shared_->tasks.emplace(id, std::move(task));
    shared_->queue.push_back(id);
    shared_->work.notify_one();
    return id;
  }

  int Cancel(LookupTask id) {
    std::lock_guard lock(shared_->mutex);
    auto it = shared_->tasks.find(id);
    if (it == shared_->tasks.end()) {
      WSASetLastError(WSAEINVAL);
      return SOCKET_ERROR;
    }
    Task& task = it->second;
    if (task.state == TaskState::Queued) {
      std::erase(shared_->queue, id);
    } else if (task.state == TaskState::Done) {
      task.loop->RemovePosted(task.window, task.msg, static_cast<WPARAM>(id));
    }
    shared_->tasks.erase(it);  // a running one finds itself gone and posts nothing
    return 0;
  }

  bool Take(LookupTask id, std::vector<std::string>& texts) {
    std::lock_guard lock(shared_->mutex);
    auto it = shared_->tasks.find(id);
    if (it == shared_->tasks.end() || it->second.state != TaskState::Done) return false;
    texts = std::move(it->second.texts);
    shared_->tasks.erase(it);
    return true;
  }

 private:
  static LookupTask Refuse(int error) {
    WSASetLastError(error);
    return 0;
  }

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::thread worker_;
};

ResolverService& Service() {
  static ResolverService service;
  return service;
}

LookupTask StartLookup(HWND window, UINT msg, TaskKind kind, const std::string& name, std::uint32_t addr) {
  if (window == 0) {
    WSASetLastError(WSAEINVAL);
    return 0;
  }
  Task task;
  task.kind = kind;
  task.name = name;
  task.addr = addr;
  task.loop = MessageLoop::Current().Ref();
  task.window = window;
  task.msg = msg;
  return Service().Start(std::move(task));
}

}  // namespace

LookupTask AsyncLookupHost(HWND window, UINT msg, const std::string& name) {
  return StartLookup(window, msg, TaskKind::Forward, name, 0);
}

LookupTask AsyncLookupAddr(HWND window, UINT msg, std::uint32_t addrNetworkOrder) {
  return StartLookup(window, msg, TaskKind::Reverse, std::string(), addrNetworkOrder);
}

int CancelLookup(LookupTask task) { return Service().Cancel(task); }

bool TakeLookupResult(LookupTask task, std::vector<std::string>& texts) { return Service().Take(task, texts); }

}  // namespace plat
