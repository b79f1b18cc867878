// vekftp: a headless FTP client over the engine, for scripts, tests and
// benchmarks. One session per run; see UsageText for the operations.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ftp/ftpcli.h"
#include "platform/application.h"
#include "platform/ticks.h"
#include "tools/vekftp/vekftp_cli.h"

namespace {

using vekftp::Operation;
using vekftp::Options;

class Session {
 public:
  explicit Session(const Options& Opt) : opt_(Opt) {
    ftp_.SetTimeout(Opt.timeout);
    ftp_.SetPassiveMode(Opt.passive);
    ftp_.SetBinary(!Opt.ascii);
    ftp_.SetHostName(Opt.url.host);
    ftp_.SetPort(Opt.url.port);
    if (Opt.url.user.empty()) {
      std::random_device rd;
      std::mt19937 gen(rd());
      ftp_.SetUserName("anonymous");
      ftp_.SetPassWord(vekftp::MakeAnonymousPassword([&] { return static_cast<unsigned>(gen()); }));
    } else {
      ftp_.SetUserName(Opt.url.user);
      // The engine refuses an empty password; a server that wants none
      // answers USER with 230 and PASS is not sent.
      ftp_.SetPassWord(Opt.url.hasPassword && !Opt.url.password.empty() ? Opt.url.password : "-");
    }
    if (Opt.verbose) {
      ftp_.OnDisplay = [](TCustomFtpCli*, std::string& Msg) { std::fprintf(stderr, "%s\n", Msg.c_str()); };
    }
    showProgress_ = ::isatty(STDERR_FILENO) == 1;
    if (showProgress_) {
      ftp_.OnProgress = [this](TCustomFtpCli*, std::int64_t Count, bool&) { Progress(Count); };
    }
  }

  int Run() {
    std::string getLocal;
    if (opt_.op == Operation::Get) {
      getLocal = LocalForGet();
      if (getLocal.empty()) return 2;  // refused before anything connects
    }
    if (!Step(ftp_.Connect())) return 1;
    // The commands on names move no data: no TYPE for them.
    const bool movesData = opt_.op != Operation::Rm && opt_.op != Operation::Mv && opt_.op != Operation::Mkdir &&
                           opt_.op != Operation::Rmdir;
    if (movesData && !Step(ftp_.TypeSet())) return 1;
    int rc = 0;
    switch (opt_.op) {
      case Operation::Get:
        rc = Get(opt_.url.dir, opt_.url.name, getLocal);
        break;
      case Operation::Mget:
        if (!ChangeDir(opt_.url.path)) return 1;
        for (const std::string& name : opt_.names) {
          rc = Get("", name, name);
          if (rc != 0) break;
        }
        break;
      case Operation::Put:
      case Operation::Append:
        rc = Put();
        break;
      case Operation::Resume:
        rc = Resume();
        break;
      case Operation::Ls:
        rc = List();
        break;
      case Operation::Size:
        rc = Size();
        break;
      case Operation::Rm:
      case Operation::Mv:
      case Operation::Mkdir:
      case Operation::Rmdir:
        rc = ChangeName();
        break;
    }
    // The outcome is decided; a failing QUIT changes nothing about it.
    if (ftp_.IsConnected()) ftp_.Quit();
    return rc;
  }

 private:
  bool Step(bool Ok) {
    EndProgress();
    if (Ok) return true;
    std::string text = ftp_.ErrorMessage();
    if (text.empty()) text = ftp_.LastBlockingException();
    if (text.empty()) text = ftp_.ReplyLine();
    if (text.empty()) text = "request failed";
    std::fprintf(stderr, "Error: %s\n", text.c_str());
    return false;
  }

  // LOCAL, the remote name in the current folder, or in the folder LOCAL
  // names; "" (after an error message) when that name is not safe.
  std::string LocalForGet() {
    if (opt_.local.empty()) return opt_.url.name;
    struct stat st {};
    if (::stat(opt_.local.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return opt_.local;
    std::string error;
    if (!vekftp::SafeLocalName(opt_.url.name, error)) {
      std::fprintf(stderr, "Error: %s\n", error.c_str());
      return "";
    }
    return opt_.local + (opt_.local.back() == '/' ? "" : "/") + opt_.url.name;
  }

  bool ChangeDir(const std::string& Dir) {
    if (Dir.empty()) return true;
    ftp_.SetHostDirName(Dir);
    return Step(ftp_.Cwd());
  }

  // A download lands in a private temporary file beside the target and
  // replaces it only when complete: a failed transfer leaves LOCAL as it was.
  int Get(const std::string& Dir, const std::string& Remote, const std::string& Local) {
    if (!ChangeDir(Dir)) return 1;
    struct stat st {};
    if (::stat(Local.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      // A device or pipe (/dev/null, a FIFO) is written as it is: renaming a
      // file over it would replace it.
      ftp_.SetHostFileName(Remote);
      ftp_.SetLocalFileName(Local);
      return Step(ftp_.Get()) ? 0 : 1;
    }
    std::string temp;
    if (!MakeTempBeside(Local, temp)) return 1;
    ftp_.SetHostFileName(Remote);
    ftp_.SetLocalFileName(temp);
    if (!Step(ftp_.Get())) {
      ::unlink(temp.c_str());
      return 1;
    }
    if (::rename(temp.c_str(), Local.c_str()) != 0) {
      std::fprintf(stderr, "Error: cannot rename %s to %s: %s\n", temp.c_str(), Local.c_str(), std::strerror(errno));
      ::unlink(temp.c_str());
      return 1;
    }
    return 0;
  }

  int Put() {
    if (!ChangeDir(opt_.url.dir)) return 1;
    ftp_.SetHostFileName(opt_.url.name);
    ftp_.SetLocalFileName(opt_.local);
    return Step(opt_.op == Operation::Append ? ftp_.Append() : ftp_.Put()) ? 0 : 1;
  }

  int Resume() {
    if (!ChangeDir(opt_.url.dir)) return 1;
    ftp_.SetHostFileName(opt_.url.name);
    ftp_.SetLocalFileName(opt_.local);
    return Step(ftp_.RestGet()) ? 0 : 1;
  }

  int Size() {
    if (!ChangeDir(opt_.url.dir)) return 1;
    ftp_.SetHostFileName(opt_.url.name);
    if (!Step(ftp_.Size())) return 1;
    std::printf("%lld\n", static_cast<long long>(ftp_.RemoteSize()));
    return 0;
  }

  int ChangeName() {
    if (!ChangeDir(opt_.url.dir)) return 1;
    ftp_.SetHostFileName(opt_.url.name);
    switch (opt_.op) {
      case Operation::Rm:
        return Step(ftp_.Dele()) ? 0 : 1;
      case Operation::Mv:
        ftp_.SetLocalFileName(opt_.newName);
        return Step(ftp_.Ren()) ? 0 : 1;
      case Operation::Mkdir:
        return Step(ftp_.Mkd()) ? 0 : 1;
      default:
        return Step(ftp_.Rmd()) ? 0 : 1;
    }
  }

  // The listing goes through a private file so that stdout gets its bytes
  // exactly as the server sent them.
  int List() {
    if (!ChangeDir(opt_.url.path)) return 1;
    const char* tmpdir = std::getenv("TMPDIR");
    std::string path = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/vekftp-ls-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
      std::fprintf(stderr, "Error: cannot create a temporary file: %s\n", std::strerror(errno));
      return 1;
    }
    ftp_.SetHostFileName("");
    ftp_.SetLocalFileName(path);
    const bool ok = Step(ftp_.Dir());
    int rc = ok ? 0 : 1;
    if (ok) {
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) {
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout) != static_cast<std::size_t>(n)) {
          std::fprintf(stderr, "Error: writing the listing to stdout failed\n");
          rc = 1;
          break;
        }
      }
      if (std::fflush(stdout) != 0) rc = 1;
    }
    ::close(fd);
    ::unlink(path.c_str());
    return rc;
  }

  bool MakeTempBeside(const std::string& Local, std::string& Temp) {
    const std::size_t slash = Local.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : Local.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? Local : Local.substr(slash + 1);
    Temp = dir + "." + base + ".vekftp-XXXXXX";
    const int fd = ::mkstemp(Temp.data());
    if (fd < 0) {
      std::fprintf(stderr, "Error: cannot create a file beside %s: %s\n", Local.c_str(), std::strerror(errno));
      return false;
    }
    // mkstemp makes it 0600; a finished download gets the usual mode.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    return true;
  }

  void Progress(std::int64_t Count) {
    const std::uint32_t now = plat::GetTickCount();
    if (progressShown_ && !plat::TickIsPast(now, nextProgress_)) return;
    nextProgress_ = now + 200;
    progressShown_ = true;
    std::fprintf(stderr, "\r%lld bytes", static_cast<long long>(Count));
    std::fflush(stderr);
  }

  void EndProgress() {
    if (!progressShown_) return;
    progressShown_ = false;
    std::fprintf(stderr, "\n");
  }

  const Options& opt_;
  TFtpClient ftp_;
  bool showProgress_ = false;
  bool progressShown_ = false;
  std::uint32_t nextProgress_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Options opt;
  std::string error;
  if (!vekftp::ParseArguments(args, opt, error)) {
    std::fprintf(stderr, "Error: %s\n%s", error.c_str(), vekftp::UsageText().c_str());
    return 2;
  }
  plat::Application::Instance().SetExceptionHandler([](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      std::fprintf(stderr, "Exception: %s\n", x.what());
    } catch (...) {
      std::fprintf(stderr, "Exception of unknown type\n");
    }
  });
  Session session(opt);
  return session.Run();
}
