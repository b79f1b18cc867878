// The command-line start: program URL [local file]. The URL fills the login
// fields under the profile "UNTITLED"; with a local file as well, the window
// connects at once, downloads the URL's file there and offers to exit.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "controls/status_bar.h"
#include "platform/qt/dialogs.h"
#include "session/main.h"
#include "session/queue.h"
#include "session/url.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

namespace {

constexpr const char* kUrlProfile = "UNTITLED";

std::int64_t LocalFileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

std::string WorkingFolder() {
  std::string cwd(4096, '\0');
  if (::getcwd(cwd.data(), cwd.size()) == nullptr) return std::string();
  cwd.resize(cwd.find('\0'));
  return cwd;
}

// "." and ".." name folders even where none is written out.
bool NamesAFolder(const std::string& localName) { return localName.empty() || localName == "." || localName == ".."; }

}  // namespace

void TForm1::FormShow() {
  if (Arguments.empty()) return;
  ParseUrl();
  InitialDirEdit->setText(QString::fromStdString(Url.UrlDir));
  HostNameEdit->setText(QString::fromStdString(Url.UrlHost));
  PortEdit->setText(QString::fromStdString(Url.UrlPort));
  UserNameEdit->setText(QString::fromStdString(Url.UrlUser));
  PasswordEdit->setText(QString::fromStdString(Url.UrlPassword));
  // The profile "UNTITLED", selected without loading it: the fields keep
  // the URL's values.
  int at = session::IndexOfProfile(SiteNames(), kUrlProfile);
  if (at < 0) {
    SiteCB->addItem(kUrlProfile);
    at = SiteCB->count() - 1;
  }
  SelectSite(at);
  // A URL start gets through home routers, which active mode does not;
  // Connect hands the box to the engine.
  PassiveCB->setChecked(true);
  // With a local file as well: connect and download at once.
  if (Arguments.size() < 2) return;
  // Connect makes the initial local folder current: a relative path was
  // meant from where the program was started.
  std::string& local = Arguments[1];
  if (!local.empty() && local[0] != '/' &&
      (!session::SplitLocalPath(local).LocalDir.empty() || NamesAFolder(session::SplitLocalPath(local).LocalName))) {
    const std::string cwd = WorkingFolder();
    if (!cwd.empty()) local = cwd + "/" + local;
  }
  ConnectButClick();
  RunBusy(transfer::TActivity::Transferring, [this] { GetUrlFile(); });
}

void TForm1::ParseUrl() {
  std::string url = Arguments.empty() ? std::string() : Arguments[0];
  // ftps://: TLS from the first byte, on its own port unless the URL names one.
  const bool secure = url.size() > 7 && QString::fromStdString(url.substr(0, 7)).toLower() == "ftps://";
  if (secure) url.erase(3, 1);
  Url = session::ParseUrl(url);
  if (!secure) return;
  EncryptionCB->setCurrentIndex(session::encImplicit);
  const std::string authority = url.substr(6, url.find('/', 6) == std::string::npos ? std::string::npos : url.find('/', 6) - 6);
  const std::size_t at = authority.rfind('@');
  const bool namesPort = authority.find(':', at == std::string::npos ? 0 : at) != std::string::npos;
  if (!namesPort) Url.UrlPort = "990";
}

bool TForm1::ParseUrlLogin() { return session::ParseUrlLogin(Url); }

void TForm1::ParseUrlPath() { session::ParseUrlPath(Url); }

std::string TForm1::DownloadFolder() {
  const std::string folder = session::HomeFolder() + "Downloads/";
  // One level; a failure shows later as the download's own error.
  if (!IsFolder(folder)) ::mkdir(folder.c_str(), 0777);
  return folder;
}

void TForm1::GetUrlFile() {
  const std::string argument = Arguments.size() > 1 ? Arguments[1] : std::string();
  const session::TLocalTarget parts = session::SplitLocalPath(argument);
  LocalDir = parts.LocalDir;
  LocalName = parts.LocalName;
  const std::string remote = UrlRemoteName(Url);
  // A folder as the second argument keeps the URL's file name, which must
  // not lead out of that folder ("..") and may be missing (a directory URL).
  std::optional<std::string> target;
  if (NamesAFolder(LocalName) || IsFolder(argument))
    target = session::DownloadTarget(argument, Url.UrlFile, false);
  else if (LocalDir.empty())
    target = DownloadFolder() + LocalName;
  else
    target = argument;
  if (target) {
    FtpClient1->SetLocalFileName(*target);
    LocalName = session::FileNamePart(*target);
  }
  FtpClient1->SetHostFileName(remote);
  ProgressTicks = 0;
  TransferForm->StatusBar1->SetPanelText(1, "Downloading : " + LocalName);
  try {
    if (!target) {
      AddLog("! No local file name for \"" + Url.UrlFile + "\" in " + argument);
      throw std::runtime_error("no local file name");
    }
    // A refused login or a lost connection: nothing to ask the server.
    TFetch outcome = TFetch::Failed;
    if (transfer::Session().Connected) {
      // The listing after login left the text representation set; the file
      // comes byte for byte.
      FtpClient1->SetBinary(true);
      FtpClient1->TypeSet();
      FtpClient1->Size();
      ExpectedSize = FtpClient1->RemoteSize();
      TransferActive = true;
      outcome = FetchFile(Url.UrlFile, *target);
    }
    // The bar moves on every 21st progress event only: a finished file shows
    // as finished under the question that follows.
    if (outcome == TFetch::Done) ShowProgress(LocalFileSize(*target));
    SetRateText(std::string());
    std::string failure;
    if (outcome == TFetch::Failed) failure = transfer::Session().Connected || loginFailure_.empty() ? FailureText() : loginFailure_;
    if (plat::TheDialogs().Confirm(ExitQuestion(failure))) {
      FtpClient1->Quit();
      TransferForm->TerminateProgram();
    }
  } catch (const std::exception&) {
    plat::TheDialogs().ShowMessage("Error getting file. ");
  }
  EndTransferStep();
}

std::string TForm1::ExitQuestion(const std::string& failure) {
  if (failure.empty()) return "Transfer Complete. Exit program ? ";
  // The server's own full stop would double the one that follows.
  std::string why = failure;
  while (!why.empty() && (why.back() == '.' || why.back() == ' ')) why.pop_back();
  return "Transfer failed: " + why + ". Exit program ? ";
}
