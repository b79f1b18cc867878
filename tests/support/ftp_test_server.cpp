#include "tests/support/ftp_test_server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vektest {

namespace {

std::vector<std::string> SplitLines(const std::string& Lines) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= Lines.size()) {
    const std::size_t nl = Lines.find('\n', start);
    if (nl == std::string::npos) {
      out.push_back(Lines.substr(start));
      break;
    }
    out.push_back(Lines.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

bool Matches(const std::string& Pattern, const std::string& Line) {
  if (Pattern == "*") return true;
  if (!Pattern.empty() && Pattern.back() == '*')
    return Line.compare(0, Pattern.size() - 1, Pattern, 0, Pattern.size() - 1) == 0;
  return Pattern == Line;
}

std::string Upper(std::string S) {
  for (char& c : S) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return S;
}

// A path with doubled quotes, as RFC 959 wants it inside a 257 reply.
std::string QuotePath(const std::string& Path) {
  std::string out;
  for (char c : Path) {
    out += c;
    if (c == '"') out += '"';
  }
  return out;
}

}  // namespace

std::string FtpLines(const std::string& Lines) {
  std::string out;
  for (const std::string& line : SplitLines(Lines)) out += line + "\r\n";
  return out;
}

// ---------------------------------------------------------------------------
// FtpScript

FtpScriptStep& FtpScript::Last() {
  if (steps_.empty()) throw std::logic_error("FtpScript: a modifier needs a step before it");
  return steps_.back();
}

FtpScript& FtpScript::Greet(const std::string& Lines) {
  FtpScriptStep step;
  step.kind = FtpScriptStep::Accept;
  step.writes.push_back(FtpLines(Lines));
  steps_.push_back(std::move(step));
  return *this;
}

FtpScript& FtpScript::AcceptSilently() {
  FtpScriptStep step;
  step.kind = FtpScriptStep::Accept;
  steps_.push_back(std::move(step));
  return *this;
}

FtpScript& FtpScript::Expect(const std::string& Command, const std::string& Lines) {
  Expect(Command);
  return Reply(Lines);
}

FtpScript& FtpScript::Expect(const std::string& Command) {
  FtpScriptStep step;
  step.kind = FtpScriptStep::Command;
  step.expect = Command;
  steps_.push_back(std::move(step));
  return *this;
}

FtpScript& FtpScript::Reply(const std::string& Lines) {
  Last().writes.push_back(FtpLines(Lines));
  return *this;
}

FtpScript& FtpScript::Raw(const std::string& Bytes) {
  Last().writes.push_back(Bytes);
  return *this;
}

FtpScript& FtpScript::Delay(int Ms) {
  Last().delayMs = Ms;
  return *this;
}

FtpScript& FtpScript::Gap(int Ms) {
  Last().gapMs = Ms;
  return *this;
}

FtpScript& FtpScript::ThenClose() {
  Last().closeAfter = true;
  return *this;
}

FtpScript& FtpScript::Do(FtpScriptAction Action) {
  Last().action = std::move(Action);
  return *this;
}

// ---------------------------------------------------------------------------
// FtpServerSession

FtpServerSession::FtpServerSession(FtpTestServer& Server, int Fd) : server_(Server), fd_(Fd) {}

FtpServerSession::~FtpServerSession() {
  Close();
  for (int fd : ownedFds)
    if (fd >= 0) ::close(fd);
}

void FtpServerSession::Send(const std::string& Bytes) {
  std::size_t done = 0;
  while (fd_ >= 0 && done < Bytes.size()) {
    const ssize_t n = ::send(fd_, Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, std::max(1, server_.RemainingMs())) <= 0) return;
      continue;
    }
    return;  // the client has gone
  }
}

void FtpServerSession::Reply(const std::string& Lines) { Send(FtpLines(Lines)); }

void FtpServerSession::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::optional<std::string> FtpServerSession::ReadLine(int TimeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    const std::size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (fd_ < 0 || server_.Stopping()) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    const int waitMs = static_cast<int>(std::min<long long>(left.count(), server_.RemainingMs()));
    if (waitMs <= 0) return std::nullopt;
    pollfd p[2] = {{fd_, POLLIN, 0}, {server_.WakeFd(), POLLIN, 0}};
    const int r = ::poll(p, 2, waitMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p[1].revents & POLLIN) != 0) return std::nullopt;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      Close();
      return std::nullopt;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
  }
}

bool FtpServerSession::Sleep(int Ms) {
  if (Ms <= 0) return !server_.Stopping();
  pollfd p{server_.WakeFd(), POLLIN, 0};
  ::poll(&p, 1, std::min(Ms, std::max(0, server_.RemainingMs())));
  return !server_.Stopping();
}

const std::filesystem::path& FtpServerSession::Root() const { return server_.Options().root; }

std::string FtpServerSession::VirtualPath(const std::string& Argument) const {
  const std::string joined = (!Argument.empty() && Argument[0] == '/') ? Argument : cwd + "/" + Argument;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t slash = joined.find('/', start);
    if (slash == std::string::npos) slash = joined.size();
    const std::string part = joined.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::filesystem::path FtpServerSession::LocalPath(const std::string& Argument) const {
  const std::string v = VirtualPath(Argument);
  return v == "/" ? Root() : Root() / v.substr(1);
}

// ---------------------------------------------------------------------------
// FtpTestServer

FtpTestServer::FtpTestServer(FtpScript Script, std::chrono::milliseconds Lifetime)
    : scripted_(true), steps_(Script.Steps()) {
  end_ = std::chrono::steady_clock::now() + Lifetime;
  Listen(Script.Address());
  thread_ = std::thread([this] { Run(); });
}

FtpTestServer::FtpTestServer(FtpServeOptions Options, std::chrono::milliseconds Lifetime)
    : scripted_(false), options_(std::move(Options)) {
  end_ = std::chrono::steady_clock::now() + Lifetime;
  InstallDefaultCommands();
  Listen();
  thread_ = std::thread([this] { Run(); });
}

FtpTestServer::~FtpTestServer() {
  Stop();
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

void FtpTestServer::Listen(const std::string& Address) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  sockaddr_in6 addr6{};
  addr6.sin6_family = AF_INET6;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  const bool ipv6 = ::inet_pton(AF_INET6, Address.c_str(), &addr6.sin6_addr) == 1;
  if (!ipv6 && ::inet_pton(AF_INET, Address.c_str(), &addr.sin_addr) != 1)
    throw std::invalid_argument("not an address: " + Address);
  auto* any = ipv6 ? reinterpret_cast<sockaddr*>(&addr6) : reinterpret_cast<sockaddr*>(&addr);
  socklen_t len = ipv6 ? sizeof addr6 : sizeof addr;
  listenFd_ = ::socket(any->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  if (::bind(listenFd_, any, len) != 0 || ::listen(listenFd_, 4) != 0)
    throw std::system_error(errno, std::generic_category(), "bind/listen on " + Address);
  ::getsockname(listenFd_, any, &len);
  port_ = ntohs(ipv6 ? addr6.sin6_port : addr.sin_port);
}

void FtpTestServer::Stop() {
  if (stopping_.exchange(true)) return;
  const char c = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
}

int FtpTestServer::RemainingMs() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::vector<std::string> FtpTestServer::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<std::string> FtpTestServer::Mismatches() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mismatches_;
}

bool FtpTestServer::ScriptDone() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stepsDone_;
}

int FtpTestServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool FtpTestServer::WaitForDisconnect(int TimeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return !connected_; });
}

void FtpTestServer::Record(const std::string& Command) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(Command);
}

void FtpTestServer::Mismatch(const std::string& What) {
  std::lock_guard<std::mutex> lock(mutex_);
  mismatches_.push_back(What);
}

void FtpTestServer::AddCommand(const std::string& Verb, FtpCommandHandler Handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_[Upper(Verb)] = std::move(Handler);
}

int FtpTestServer::AcceptOne() {
  for (;;) {
    const int waitMs = RemainingMs();
    if (Stopping() || waitMs <= 0) return -1;
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int r = ::poll(p, 2, waitMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p[1].revents & POLLIN) != 0) return -1;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
  }
}

void FtpTestServer::Run() {
  for (;;) {
    const int fd = AcceptOne();
    if (fd < 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
      connected_ = true;
    }
    {
      FtpServerSession session(*this, fd);
      if (scripted_)
        RunScripted(session);
      else
        RunFree(session);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = false;
    }
    changed_.notify_all();
  }
}

void FtpTestServer::PerformStep(FtpServerSession& Session, const FtpScriptStep& Step, const std::string& Command) {
  if (!Session.Sleep(Step.delayMs)) return;
  for (std::size_t i = 0; i < Step.writes.size(); ++i) {
    if (i > 0 && !Session.Sleep(Step.gapMs)) return;
    Session.Send(Step.writes[i]);
  }
  if (Step.action) Step.action(Session, Command);
  if (Step.closeAfter) Session.Close();
}

void FtpTestServer::RunScripted(FtpServerSession& Session) {
  auto takeStep = [this]() -> const FtpScriptStep* {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nextStep_ >= steps_.size()) return nullptr;
    const FtpScriptStep* step = &steps_[nextStep_++];
    stepsDone_ = nextStep_ >= steps_.size();
    return step;
  };
  auto peekKind = [this]() -> std::optional<FtpScriptStep::Kind> {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nextStep_ >= steps_.size()) return std::nullopt;
    return steps_[nextStep_].kind;
  };

  if (peekKind() == FtpScriptStep::Accept) {
    PerformStep(Session, *takeStep(), "");
  } else {
    Mismatch("connection not in the script");
  }

  while (!Session.Closed()) {
    std::optional<std::string> line = Session.ReadLine(RemainingMs());
    if (!line) return;
    Record(*line);
    if (peekKind() != FtpScriptStep::Command) {
      Mismatch("unexpected command \"" + *line + "\"");
      Session.Reply("502 Command not in the script");
      continue;
    }
    const FtpScriptStep& step = *takeStep();
    if (!Matches(step.expect, *line)) Mismatch("expected \"" + step.expect + "\", got \"" + *line + "\"");
    PerformStep(Session, step, *line);
  }
}

// ---------------------------------------------------------------------------
// Free-running mode

void FtpTestServer::RunFree(FtpServerSession& Session) {
  Session.Reply(options_.greeting);
  while (!Session.Closed()) {
    std::optional<std::string> line = Session.ReadLine(RemainingMs());
    if (!line) return;
    Record(*line);
    const std::size_t space = line->find(' ');
    const std::string verb = Upper(line->substr(0, space));
    const std::string arg = space == std::string::npos ? "" : line->substr(space + 1);

    FtpCommandHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = handlers_.find(verb);
      if (it != handlers_.end()) handler = it->second;
    }
    if (!handler) {
      Session.Reply("502 Command not implemented");
      continue;
    }
    if (!Session.loggedIn && verb != "USER" && verb != "PASS" && verb != "QUIT") {
      Session.Reply("530 Please login with USER and PASS");
      continue;
    }
    handler(Session, arg);
  }
}

void FtpTestServer::InstallDefaultCommands() {
  namespace fs = std::filesystem;
  handlers_["USER"] = [](FtpServerSession& s, const std::string& arg) {
    s.user = arg;
    s.loggedIn = false;
    if (s.Server().Options().password.empty() && arg == s.Server().Options().user) {
      s.loggedIn = true;
      s.Reply("230 Login successful");
    } else {
      s.Reply("331 Password required for " + arg);
    }
  };
  handlers_["PASS"] = [](FtpServerSession& s, const std::string& arg) {
    const FtpServeOptions& o = s.Server().Options();
    if (s.user == o.user && arg == o.password) {
      s.loggedIn = true;
      s.Reply("230 Login successful");
    } else {
      s.Reply("530 Login incorrect");
    }
  };
  handlers_["QUIT"] = [](FtpServerSession& s, const std::string&) {
    s.Reply("221 Goodbye");
    s.Close();
  };
  handlers_["NOOP"] = [](FtpServerSession& s, const std::string&) { s.Reply("200 NOOP ok"); };
  handlers_["SYST"] = [](FtpServerSession& s, const std::string&) { s.Reply("215 UNIX Type: L8"); };
  handlers_["TYPE"] = [](FtpServerSession& s, const std::string& arg) {
    const std::string t = Upper(arg);
    if (t == "A" || t == "I" || t == "A N" || t == "L 8") {
      s.type = t[0] == 'L' ? 'I' : t[0];
      s.Reply("200 Type set to " + std::string(1, s.type));
    } else {
      s.Reply("504 Type not supported");
    }
  };
  handlers_["PWD"] = [](FtpServerSession& s, const std::string&) {
    s.Reply("257 \"" + QuotePath(s.cwd) + "\" is the current directory");
  };
  handlers_["CWD"] = [](FtpServerSession& s, const std::string& arg) {
    std::error_code ec;
    if (fs::is_directory(s.LocalPath(arg), ec)) {
      s.cwd = s.VirtualPath(arg);
      s.Reply("250 Directory changed to " + s.cwd);
    } else {
      s.Reply("550 " + arg + ": No such directory");
    }
  };
  handlers_["CDUP"] = [](FtpServerSession& s, const std::string&) {
    s.cwd = s.VirtualPath("..");
    s.Reply("250 Directory changed to " + s.cwd);
  };
  handlers_["SIZE"] = [](FtpServerSession& s, const std::string& arg) {
    std::error_code ec;
    const fs::path p = s.LocalPath(arg);
    if (fs::is_regular_file(p, ec))
      s.Reply("213 " + std::to_string(fs::file_size(p, ec)));
    else
      s.Reply("550 " + arg + ": No such file");
  };
  handlers_["MKD"] = [](FtpServerSession& s, const std::string& arg) {
    std::error_code ec;
    if (fs::create_directory(s.LocalPath(arg), ec))
      s.Reply("257 \"" + QuotePath(s.VirtualPath(arg)) + "\" created");
    else
      s.Reply("550 " + arg + ": Cannot create directory");
  };
  handlers_["RMD"] = [](FtpServerSession& s, const std::string& arg) {
    std::error_code ec;
    const fs::path p = s.LocalPath(arg);
    if (p != s.Root() && fs::is_directory(p, ec) && fs::remove(p, ec))
      s.Reply("250 Directory removed");
    else
      s.Reply("550 " + arg + ": Cannot remove directory");
  };
  handlers_["DELE"] = [](FtpServerSession& s, const std::string& arg) {
    std::error_code ec;
    const fs::path p = s.LocalPath(arg);
    if (fs::is_regular_file(p, ec) && fs::remove(p, ec))
      s.Reply("250 File deleted");
    else
      s.Reply("550 " + arg + ": Cannot delete file");
  };
  handlers_["RNFR"] = [](FtpServerSession& s, const std::string& arg) {
    std::error_code ec;
    if (fs::exists(s.LocalPath(arg), ec)) {
      s.renameFrom = s.VirtualPath(arg);
      s.Reply("350 Ready for RNTO");
    } else {
      s.Reply("550 " + arg + ": No such file");
    }
  };
  handlers_["RNTO"] = [](FtpServerSession& s, const std::string& arg) {
    std::error_code ec;
    if (s.renameFrom.empty()) {
      s.Reply("503 RNFR first");
      return;
    }
    fs::rename(s.LocalPath(s.renameFrom), s.LocalPath(arg), ec);
    s.renameFrom.clear();
    s.Reply(ec ? "550 Rename failed" : "250 Renamed");
  };
}

}  // namespace vektest
