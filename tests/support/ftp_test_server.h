// A small FTP server for tests, on 127.0.0.1 (or ::1), on its own thread.
//
// Scripted mode, in the style of curl's test suite: the test writes, for each
// connection, the greeting and then for each command it expects the reply to
// send (optionally cut into several writes, delayed, or followed by a close).
// The server records every command line it receives, so a test compares the
// exact sequence afterwards:
//
//   FtpScript script;
//   script.Greet("220 hello")
//         .Expect("USER bob", "331 pw please")
//         .Expect("PASS x", "230 ok");
//   FtpTestServer server(script);
//   ... run the client against server.Port() ...
//   EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER bob", "PASS x"}));
//
// Free-running mode serves a directory to ordinary commands (USER, PASS, CWD,
// CDUP, PWD, SIZE, TYPE, SYST, NOOP, MKD, RMD, DELE, QUIT); AddCommand adds or
// replaces a verb (the data connection commands are added that way).
//
// Every wait is bounded: the server stops by itself when its lifetime ends,
// and the destructor stops it at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vektest {

class FtpTestServer;
class FtpServerSession;

// Runs for a command: the session to answer on and the whole command line.
using FtpScriptAction = std::function<void(FtpServerSession& Session, const std::string& Command)>;
// A verb handler of the free-running mode: the argument after the verb.
using FtpCommandHandler = std::function<void(FtpServerSession& Session, const std::string& Argument)>;

struct FtpScriptStep {
  enum Kind { Accept, Command };
  Kind kind = Command;
  // The exact command line; "*" matches any line, a trailing "*" any rest.
  std::string expect;
  // Each entry is sent with one write.
  std::vector<std::string> writes;
  int delayMs = 0;   // before the first write
  int gapMs = 30;    // between writes, so that they travel as separate segments
  bool closeAfter = false;
  FtpScriptAction action;  // runs after the writes
};

class FtpScript {
 public:
  // Accept the next connection and greet it with these lines ("\n" between lines).
  FtpScript& Greet(const std::string& Lines);
  // Accept the next connection and say nothing.
  FtpScript& AcceptSilently();
  // The next command must be Command; the reply lines follow ("\n" between
  // lines, each sent with CR LF). Without Lines, nothing is sent unless a
  // modifier below adds it.
  FtpScript& Expect(const std::string& Command, const std::string& Lines);
  FtpScript& Expect(const std::string& Command);

  // Modifiers of the step added last.
  FtpScript& Reply(const std::string& Lines);  // one more write of lines
  FtpScript& Raw(const std::string& Bytes);    // one more write, bytes as given
  FtpScript& Delay(int Ms);
  FtpScript& Gap(int Ms);
  FtpScript& ThenClose();
  FtpScript& Do(FtpScriptAction Action);

  // The server listens on Address ("::1") instead of 127.0.0.1.
  FtpScript& ListenOn(const std::string& Address) {
    address_ = Address;
    return *this;
  }

  const std::vector<FtpScriptStep>& Steps() const { return steps_; }
  const std::string& Address() const { return address_; }

 private:
  FtpScriptStep& Last();
  std::vector<FtpScriptStep> steps_;
  std::string address_ = "127.0.0.1";
};

// Lines joined with CR LF, each line ended by CR LF.
std::string FtpLines(const std::string& Lines);

struct FtpServeOptions {
  std::filesystem::path root;
  std::string user = "user";
  std::string password = "password";
  std::string greeting = "220 vek test server ready";
};

// One control connection, as the server's code sees it.
class FtpServerSession {
 public:
  FtpServerSession(FtpTestServer& Server, int Fd);
  ~FtpServerSession();
  FtpServerSession(const FtpServerSession&) = delete;
  FtpServerSession& operator=(const FtpServerSession&) = delete;

  void Send(const std::string& Bytes);
  void Reply(const std::string& Lines);  // each line sent with CR LF
  void Close();
  bool Closed() const { return fd_ < 0; }
  // The next command line without its CR LF; nothing on close, stop or timeout.
  std::optional<std::string> ReadLine(int TimeoutMs);
  // Waits, but returns false at once when the server stops.
  bool Sleep(int Ms);
  int Fd() const { return fd_; }
  FtpTestServer& Server() { return server_; }

  // Free-running state.
  std::string user;
  bool loggedIn = false;
  std::string cwd = "/";
  char type = 'A';
  std::string renameFrom;
  // Room for commands added later (data connection state and the like).
  std::map<std::string, std::string> vars;
  // Descriptors (a data listener, a data connection) closed with the session.
  std::vector<int> ownedFds;

  const std::filesystem::path& Root() const;
  // A client path joined to cwd and normalised; never above "/".
  std::string VirtualPath(const std::string& Argument) const;
  // The local file for a client path, always inside the root.
  std::filesystem::path LocalPath(const std::string& Argument) const;

 private:
  FtpTestServer& server_;
  int fd_;
  std::string pending_;
};

class FtpTestServer {
 public:
  explicit FtpTestServer(FtpScript Script, std::chrono::milliseconds Lifetime = std::chrono::seconds(60));
  explicit FtpTestServer(FtpServeOptions Options, std::chrono::milliseconds Lifetime = std::chrono::seconds(60));
  ~FtpTestServer();
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  std::uint16_t Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }

  // Every command line received, in order, over all connections.
  std::vector<std::string> Commands() const;
  // Where the client left the script ("expected X, got Y" ...); empty when it kept to it.
  std::vector<std::string> Mismatches() const;
  // Every scripted step has run.
  bool ScriptDone() const;
  int Connections() const;
  // Waits (bounded) until the server has seen the current connection close.
  bool WaitForDisconnect(int TimeoutMs);

  // Free-running mode: add or replace the handler of a verb (upper case).
  void AddCommand(const std::string& Verb, FtpCommandHandler Handler);

  void Stop();
  bool Stopping() const { return stopping_.load(); }
  // Milliseconds left of the lifetime (0 when over).
  int RemainingMs() const;
  int WakeFd() const { return wake_[0]; }
  const FtpServeOptions& Options() const { return options_; }

  void Record(const std::string& Command);
  void Mismatch(const std::string& What);

 private:
  void Listen(const std::string& Address = "127.0.0.1");
  void Run();
  int AcceptOne();
  void RunScripted(FtpServerSession& Session);
  void RunFree(FtpServerSession& Session);
  void PerformStep(FtpServerSession& Session, const FtpScriptStep& Step, const std::string& Command);
  void InstallDefaultCommands();

  bool scripted_;
  std::vector<FtpScriptStep> steps_;
  std::size_t nextStep_ = 0;
  FtpServeOptions options_;
  std::map<std::string, FtpCommandHandler> handlers_;

  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::chrono::steady_clock::time_point end_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::vector<std::string> mismatches_;
  int connections_ = 0;
  bool connected_ = false;
  std::condition_variable changed_;
  bool stepsDone_ = false;

  std::thread thread_;
};

}  // namespace vektest
