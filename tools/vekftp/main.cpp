// vekftp: a headless FTP client over the engine, for scripts, tests and
// benchmarks. One session per run; see UsageText for the operations.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ftp/ftp_trust.h"
#include "ftp/ftpcli.h"
#include "platform/application.h"
#include "platform/ticks.h"
#include "session/anonymous.h"
#include "transfer/transfer_pool.h"
#include "tools/vekftp/vekftp_cli.h"
#include "transfer/folder_walk.h"

namespace {

using vekftp::Operation;
using vekftp::Options;
using namespace vekftp;  // the exit statuses

// Local failures the engine reports in ErrorMessage.
bool IsLocalFileError(const std::string& Message) {
  for (const char* prefix : {"Unable to open local file", "426 Unable to open local file", "Error writing local file",
                             "426 Error reading local file"})
    if (Message.rfind(prefix, 0) == 0) return true;
  return false;
}

// The settings every connection of a run shares.
void ConfigureEngine(TFtpClient& Ftp, const Options& Opt) {
  Ftp.SetTimeout(Opt.timeout);
  Ftp.SetPassiveMode(Opt.passive);
  Ftp.SetUseFeatures(true);
  // A server that dropped the session, or a download cut by a lost
  // connection, costs a new login rather than the whole run.
  Ftp.SetAutoReconnect(true);
  Ftp.SetUsePasvAddress(Opt.pasvAddress);
  Ftp.SetBinary(!Opt.ascii);
  Ftp.SetHostName(Opt.url.host);
  Ftp.SetPort(Opt.url.port);
  if (Opt.url.user.empty()) {
    Ftp.SetUserName("anonymous");
    Ftp.SetPassWord(session::MakeAnonymousPassword());
  } else {
    Ftp.SetUserName(Opt.url.user);
    // The engine refuses an empty password; a server that wants none
    // answers USER with 230 and PASS is not sent.
    Ftp.SetPassWord(Opt.url.hasPassword && !Opt.url.password.empty() ? Opt.url.password : "-");
  }
  Ftp.SetEncryption(Opt.url.secure             ? ftpEncImplicit
                     : Opt.tls == vekftp::Tls::Required ? ftpEncExplicit
                     : Opt.tls == vekftp::Tls::Off      ? ftpEncPlain
                                                        : ftpEncIfAvailable);
}

class Session {
 public:
  explicit Session(const Options& Opt) : opt_(Opt) {
    ConfigureEngine(ftp_, Opt);
    ftp_.OnVerifyCertificate = [this](TCustomFtpCli*, const TTlsInfo& Info, bool, TFtpTrust& Trust) {
      Trust = CertificateTrust(Info);
    };
    if (Opt.verbose) {
      ftp_.OnDisplay = [this](TCustomFtpCli*, std::string& Msg) {
        BreakProgressLine();
        std::fprintf(stderr, "%s\n", vekftp::EscapeControls(vekftp::MaskPassword(Msg)).c_str());
      };
    }
    showProgress_ = ::isatty(STDERR_FILENO) == 1;
    if (showProgress_) {
      ftp_.OnProgress = [this](TCustomFtpCli* Sender, std::int64_t Count, bool&) {
        Progress(Count, Sender->TransferSize());
      };
    }
  }

  int Run() {
    std::string getLocal;
    if (opt_.op == Operation::Get) {
      getLocal = LocalForGet();
      if (getLocal.empty()) return kExitUsage;  // refused before anything connects
    }
    if (!opt_.caCertificates.empty()) {
      std::string error;
      if (!WSocketTrustCertificates(opt_.caCertificates, error)) {
        std::fprintf(stderr, "Error: %s\n", error.c_str());
        return kExitUsage;
      }
    }
    if (!Step(ftp_.Connect())) return kExitLogin;
    if (!PinHeld()) return kExitLogin;
    // The commands on names move no data: no TYPE for them.
    const bool movesData = opt_.op != Operation::Rm && opt_.op != Operation::Mv && opt_.op != Operation::Mkdir &&
                           opt_.op != Operation::Rmdir;
    if (movesData && !Step(ftp_.TypeSet())) return kExitLogin;
    int rc = 0;
    switch (opt_.op) {
      case Operation::Get:
        rc = Get(opt_.url.dir, opt_.url.name, getLocal);
        break;
      case Operation::Mirror:
        rc = opt_.reverse ? MirrorUp() : MirrorDown();
        break;
      case Operation::Mget:
        if (!ChangeDir(opt_.url.path)) return kExitRemote;
        if (opt_.parallel > 1) {
          rc = GetNames();
          break;
        }
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
  // A certificate that failed the check: taken when pinned or when the user
  // said --insecure (and then shown); refused otherwise, which ends the
  // connect with the reason and the fingerprint.
  TFtpTrust CertificateTrust(const TTlsInfo& Info) {
    if (!opt_.pin.empty())
      return TTrustedCertificates::NormalFingerprint(opt_.pin) ==
                     TTrustedCertificates::NormalFingerprint(Info.Fingerprint)
                 ? ftpTrustOnce
                 : ftpTrustNo;
    if (!opt_.insecure) return ftpTrustNo;
    BreakProgressLine();
    std::fprintf(stderr, "vekftp: certificate not verified (%s), taken anyway: SHA256:%s\n", Info.VerifyText.c_str(),
                 Info.Fingerprint.c_str());
    return ftpTrustOnce;
  }

  // A pinned certificate is the one, whether or not it passed the check.
  bool PinHeld() { return PinHeld(ftp_); }
  bool PinHeld(TFtpClient& Ftp) {
    if (opt_.pin.empty()) return true;
    const std::string got = Ftp.Encrypted() ? Ftp.TlsInfo().Fingerprint : std::string();
    if (Ftp.Encrypted() && TTrustedCertificates::NormalFingerprint(opt_.pin) == TTrustedCertificates::NormalFingerprint(got))
      return true;
    std::fprintf(stderr, "Error: the server's certificate is not the pinned one (SHA-256 %s)\n",
                 got.empty() ? "none: the session is not encrypted" : got.c_str());
    if (Ftp.IsConnected()) Ftp.Quit();
    return false;
  }

  // ---- several files over several connections (mget -j, mirror) ----

  // Connections beyond the first, up to -j; a server that refuses one (421,
  // too many connections) leaves the run with those it took.
  std::vector<TFtpClient*> Engines() {
    std::vector<TFtpClient*> opening;
    for (int i = 1; i < opt_.parallel; ++i) {
      auto more = std::make_unique<TFtpClient>();
      ConfigureEngine(*more, opt_);
      // A server starts every session in ASCII: the pool sends TYPE with the first file.
      more->SetBinary(false);
      more->OnVerifyCertificate = ftp_.OnVerifyCertificate;
      more->OnDisplay = ftp_.OnDisplay;
      opening.push_back(more.get());
      more_.push_back(std::move(more));
    }
    const std::vector<std::uint16_t> outcome = transfer::ConnectAll(opening, opt_.timeout);
    std::vector<TFtpClient*> engines{&ftp_};
    for (std::size_t i = 0; i < opening.size(); ++i) {
      if (outcome[i] == 0 && PinHeld(*opening[i])) {
        engines.push_back(opening[i]);
        continue;
      }
      std::fprintf(stderr, "vekftp: the server refused connection %zu (%s)\n", i + 2,
                   vekftp::EscapeControls(opening[i]->ErrorMessage()).c_str());
    }
    if (engines.size() < static_cast<std::size_t>(opt_.parallel))
      std::fprintf(stderr, "vekftp: going on with %zu connections\n", engines.size());
    return engines;
  }

  // The jobs over the connections; what went wrong is said file by file.
  int RunJobs(std::vector<transfer::TPoolJob>& Jobs, const std::vector<std::string>& Problems) {
    for (const std::string& line : Problems) std::fprintf(stderr, "%s\n", vekftp::EscapeControls(line).c_str());
    for (transfer::TPoolJob& job : Jobs) job.Binary = !opt_.ascii;
    transfer::TTransferPool pool(Engines(), opt_.timeout, opt_.preserve);
    pool.Run(Jobs);
    int failed = 0;
    for (const transfer::TPoolJob& job : Jobs) {
      if (job.Done) continue;
      ++failed;
      std::fprintf(stderr, "Error: %s: %s\n", vekftp::EscapeControls(job.Upload ? job.Local : job.Remote).c_str(),
                   vekftp::EscapeControls(job.Why).c_str());
    }
    for (auto& more : more_)
      if (more->IsConnected()) more->Quit();
    std::fprintf(stderr, "vekftp: %zu files copied, %d failed\n", Jobs.size() - failed, failed);
    return failed == 0 ? kExitOk : kExitFailed;
  }

  int GetNames() {
    if (!Step(ftp_.Pwd())) return kExitRemote;
    std::vector<transfer::TPoolJob> jobs;
    for (const std::string& name : opt_.names) jobs.push_back(transfer::PoolJob(false, transfer::JoinPath(ftp_.ReplyPath(), name), name));
    return RunJobs(jobs, {});
  }

  static std::string FolderOf(const std::string& Path) {
    std::string folder = Path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
  }

  int MirrorDown() {
    if (!ChangeDir(FolderOf(opt_.url.path)) || !Step(ftp_.Pwd())) return kExitRemote;
    const std::string root = ftp_.ReplyPath();
    const std::string listing = TempFile("vekftp-mirror");
    if (listing.empty()) return kExitLocal;
    transfer::TWalkResult walk;
    std::string error;
    // Exact names, sizes and times where the server has MLSD; "ls" keeps
    // the LIST text people read.
    ftp_.SetUseMlsd(true);
    const bool walked = transfer::WalkRemote(ftp_, listing, walk, error);
    ::unlink(listing.c_str());
    if (!walked) {
      std::fprintf(stderr, "Error: %s\n", vekftp::EscapeControls(error).c_str());
      return kExitRemote;
    }
    std::vector<std::string> folders{opt_.local};
    for (const std::string& dir : walk.Dirs) folders.push_back(transfer::JoinPath(opt_.local, dir));
    for (const std::string& folder : folders) {
      if (!transfer::MakeLocalFolder(folder, error)) {
        std::fprintf(stderr, "Error: %s\n", error.c_str());
        return kExitLocal;
      }
    }
    std::vector<transfer::TPoolJob> jobs;
    for (const transfer::TWalkFile& file : walk.Files)
      jobs.push_back(transfer::PoolJob(false, transfer::JoinPath(root, file.Path),
                                     transfer::JoinPath(opt_.local, file.Path), file.ModifyUtc));
    return RunJobs(jobs, walk.Problems);
  }

  int MirrorUp() {
    transfer::TWalkResult walk;
    std::string error;
    if (!transfer::WalkLocal(opt_.local, walk, error)) {
      std::fprintf(stderr, "Error: %s\n", error.c_str());
      return kExitLocal;
    }
    const std::string folder = FolderOf(opt_.url.path);
    if (!folder.empty()) MakeRemoteFolder(folder);
    if (!ChangeDir(folder) || !Step(ftp_.Pwd())) return kExitRemote;
    const std::string root = ftp_.ReplyPath();
    for (const std::string& dir : walk.Dirs) MakeRemoteFolder(transfer::JoinPath(root, dir));
    std::vector<transfer::TPoolJob> jobs;
    for (const transfer::TWalkFile& file : walk.Files)
      jobs.push_back(transfer::PoolJob(true, transfer::JoinPath(root, file.Path),
                                     transfer::JoinPath(opt_.local, file.Path), file.ModifyUtc));
    return RunJobs(jobs, walk.Problems);
  }

  // A folder that is there already is fine ("550 exists"); any other refusal
  // is said, and its files then fail with their own reasons.
  void MakeRemoteFolder(const std::string& Path) {
    ftp_.SetHostFileName(Path);
    if (ftp_.Mkd() || ftp_.ReplyCode() == 550 || ftp_.ReplyCode() == 521) return;
    std::fprintf(stderr, "Warning: cannot create the server's folder %s: %s\n", vekftp::EscapeControls(Path).c_str(),
                 vekftp::EscapeControls(ftp_.ReplyLine()).c_str());
  }

  static std::string TempFile(const std::string& Prefix) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string path = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/" + Prefix + "-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
      std::fprintf(stderr, "Error: cannot create a temporary file: %s\n", std::strerror(errno));
      return {};
    }
    ::close(fd);
    return path;
  }

  bool Step(bool Ok) {
    EndProgress();
    if (Ok) return true;
    std::string text = ftp_.ErrorMessage();
    if (text.empty()) text = ftp_.LastBlockingException();
    if (text.empty()) text = ftp_.ReplyLine();
    if (text.empty()) text = "request failed";
    std::fprintf(stderr, "Error: %s\n", vekftp::EscapeControls(text).c_str());
    return false;
  }

  // The exit status of a failed file operation.
  int Failure() const {
    const std::string& m = ftp_.ErrorMessage();
    if (IsLocalFileError(m)) return kExitLocal;
    // A server's refusal (4yz, 5yz), but not a data connection or a timeout.
    const bool serverLine = m.size() >= 4 && std::isdigit(static_cast<unsigned char>(m[0])) &&
                            std::isdigit(static_cast<unsigned char>(m[1])) &&
                            std::isdigit(static_cast<unsigned char>(m[2])) && (m[3] == ' ' || m[3] == '-');
    const int code = serverLine ? std::stoi(m.substr(0, 3)) : 0;
    if (code >= 400 && code != 421 && code != 425 && code != 426) return kExitRemote;
    return kExitFailed;
  }

  // LOCAL, the remote name in the current folder, or in the folder LOCAL
  // names; "" (after an error message) when that name is not safe.
  std::string LocalForGet() {
    if (opt_.local.empty()) return opt_.url.name;
    struct stat st {};
    if (::stat(opt_.local.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return opt_.local;
    std::string error;
    if (!vekftp::SafeLocalName(opt_.url.name, error)) {
      std::fprintf(stderr, "Error: %s\n", vekftp::EscapeControls(error).c_str());
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
    if (!ChangeDir(Dir)) return kExitRemote;
    struct stat st {};
    if (::stat(Local.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      // A device or pipe (/dev/null, a FIFO) is written as it is: renaming a
      // file over it would replace it.
      ftp_.SetHostFileName(Remote);
      ftp_.SetLocalFileName(Local);
      return Step(ftp_.Get()) ? kExitOk : Failure();
    }
    std::string temp;
    if (!MakeTempBeside(Local, temp)) return kExitLocal;
    ftp_.SetHostFileName(Remote);
    ftp_.SetLocalFileName(temp);
    if (!Step(ftp_.Get())) {
      ::unlink(temp.c_str());
      return Failure();
    }
    if (opt_.preserve) TakeRemoteTime(temp);
    if (::rename(temp.c_str(), Local.c_str()) != 0) {
      std::fprintf(stderr, "Error: cannot rename %s to %s: %s\n", temp.c_str(), Local.c_str(), std::strerror(errno));
      ::unlink(temp.c_str());
      return kExitLocal;
    }
    return kExitOk;
  }

  int Put() {
    if (!ChangeDir(opt_.url.dir)) return kExitRemote;
    ftp_.SetHostFileName(opt_.url.name);
    ftp_.SetLocalFileName(opt_.local);
    uploadSize_ = TCustomFtpCli::LocalFileSize(opt_.local);
    if (!Step(opt_.op == Operation::Append ? ftp_.Append() : ftp_.Put())) return Failure();
    if (opt_.preserve) GiveLocalTime(opt_.local);
    return kExitOk;
  }

  // -p: the file is whole either way; a time the server cannot tell or
  // take is only a warning.
  void TakeRemoteTime(const std::string& Local) {
    if (!ftp_.ModTime() || ftp_.RemoteModTime() < 0) {
      std::fprintf(stderr, "Warning: the server did not tell the file's time (%s)\n",
                   vekftp::EscapeControls(ftp_.ReplyLine()).c_str());
      return;
    }
    if (!SetLocalFileTime(Local, ftp_.RemoteModTime()))
      std::fprintf(stderr, "Warning: cannot set the time of %s: %s\n", Local.c_str(), std::strerror(errno));
  }

  void GiveLocalTime(const std::string& Local) {
    struct stat st {};
    if (::stat(Local.c_str(), &st) != 0) return;
    ftp_.SetModTimeToSet(st.st_mtime);
    if (!ftp_.SetModTime())
      std::fprintf(stderr, "Warning: the server did not take the file's time (%s)\n",
                   vekftp::EscapeControls(ftp_.ReplyLine()).c_str());
  }

  int Resume() {
    if (!ChangeDir(opt_.url.dir)) return kExitRemote;
    ftp_.SetHostFileName(opt_.url.name);
    ftp_.SetLocalFileName(opt_.local);
    return Step(ftp_.RestGet()) ? kExitOk : Failure();
  }

  int Size() {
    if (!ChangeDir(opt_.url.dir)) return kExitRemote;
    ftp_.SetHostFileName(opt_.url.name);
    if (!Step(ftp_.Size())) return Failure();
    std::printf("%lld\n", static_cast<long long>(ftp_.RemoteSize()));
    return 0;
  }

  int ChangeName() {
    if (!ChangeDir(opt_.url.dir)) return kExitRemote;
    ftp_.SetHostFileName(opt_.url.name);
    bool ok = false;
    if (opt_.op == Operation::Rm) {
      ok = Step(ftp_.Dele());
    } else if (opt_.op == Operation::Mv) {
      ftp_.SetLocalFileName(opt_.newName);
      ok = Step(ftp_.Ren());
    } else {
      ok = Step(opt_.op == Operation::Mkdir ? ftp_.Mkd() : ftp_.Rmd());
    }
    return ok ? kExitOk : Failure();
  }

  // The listing goes through a private file so that stdout gets its bytes
  // exactly as the server sent them.
  int List() {
    if (!ChangeDir(opt_.url.path)) return kExitRemote;
    const char* tmpdir = std::getenv("TMPDIR");
    std::string path = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/vekftp-ls-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
      std::fprintf(stderr, "Error: cannot create a temporary file: %s\n", std::strerror(errno));
      return kExitLocal;
    }
    ftp_.SetHostFileName("");
    ftp_.SetLocalFileName(path);
    const bool ok = Step(ftp_.Dir());
    int rc = ok ? kExitOk : Failure();
    if (ok) {
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) {
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout) != static_cast<std::size_t>(n)) {
          std::fprintf(stderr, "Error: writing the listing to stdout failed\n");
          rc = kExitLocal;
          break;
        }
      }
      if (std::fflush(stdout) != 0) rc = kExitLocal;
    }
    ::close(fd);
    ::unlink(path.c_str());
    return rc;
  }

  bool MakeTempBeside(const std::string& Local, std::string& Temp) {
    Temp = transfer::TempBeside(Local);
    if (!Temp.empty()) return true;
    std::fprintf(stderr, "Error: cannot create a file beside %s: %s\n", Local.c_str(), std::strerror(errno));
    return false;
  }

  // At most five times a second; a new transfer starts its own line.
  void Progress(std::int64_t Count, std::int64_t DownloadSize) {
    const std::uint32_t now = plat::GetTickCount();
    if (!progressStarted_) {
      progressStarted_ = true;
      progressStart_ = now;
      progressBase_ = Count;
    }
    if (progressShown_ && !plat::TickIsPast(now, nextProgress_)) return;
    nextProgress_ = now + 200;
    progressShown_ = true;
    const std::int64_t size = DownloadSize >= 0 ? DownloadSize : uploadSize_;
    const std::string line = vekftp::ProgressText(Count, size, Count - progressBase_, now - progressStart_);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());  // the rest of an older, longer line erased
    std::fflush(stderr);
  }

  void BreakProgressLine() {
    if (!progressShown_) return;
    progressShown_ = false;
    std::fprintf(stderr, "\n");
  }

  void EndProgress() {
    BreakProgressLine();
    progressStarted_ = false;
    uploadSize_ = -1;
  }

  const Options& opt_;
  TFtpClient ftp_;
  bool showProgress_ = false;
  bool progressShown_ = false;
  bool progressStarted_ = false;
  std::uint32_t nextProgress_ = 0;
  std::uint32_t progressStart_ = 0;
  std::int64_t progressBase_ = 0;
  std::int64_t uploadSize_ = -1;  // the file being uploaded, for the percentage
  std::vector<std::unique_ptr<TFtpClient>> more_;  // the connections beyond the first
};

// A URL without a password: ~/.netrc may give it (and the user, when the
// URL names none). A file others can read is refused, as curl and lftp do.
bool NetrcCredentials(Options& Opt, std::string& Error) {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return true;
  const std::string file = std::string(home) + "/.netrc";
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return true;
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    Error = file + " can be read by others (mode " + mode + "): make it private (chmod 600) to have its passwords used";
    return false;
  }
  std::ifstream in(file);
  std::ostringstream text;
  text << in.rdbuf();
  const vekftp::NetrcEntry entry = vekftp::NetrcLookup(text.str(), Opt.url.host, Opt.url.user);
  if (!entry.found || entry.password.empty()) return true;
  if (Opt.url.user.empty()) Opt.url.user = entry.login;
  if (!Opt.url.user.empty()) {
    Opt.url.password = entry.password;
    Opt.url.hasPassword = true;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Options opt;
  std::string error;
  if (!vekftp::ParseArguments(args, opt, error)) {
    std::fprintf(stderr, "Error: %s\n%s", vekftp::EscapeControls(error).c_str(), vekftp::UsageText().c_str());
    return kExitUsage;
  }
  if (opt.help) {
    std::fputs(vekftp::UsageText().c_str(), stdout);
    return kExitOk;
  }
  plat::Application::Instance().SetExceptionHandler([](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      std::fprintf(stderr, "Exception: %s\n", vekftp::EscapeControls(x.what()).c_str());
    } catch (...) {
      std::fprintf(stderr, "Exception of unknown type\n");
    }
  });
  if (!opt.url.hasPassword && !NetrcCredentials(opt, error)) {
    std::fprintf(stderr, "Error: %s\n", error.c_str());
    return kExitUsage;
  }
  Session session(opt);
  return session.Run();
}
