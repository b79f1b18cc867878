#include "platform/qt/shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include <QDesktopServices>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include "platform/drives.h"

namespace plat {

namespace {

Shell* g_shell = nullptr;

// Length of the scheme before ':' (0 when there is none).
std::size_t SchemeLength(const std::string& target) {
  if (target.empty() || !std::isalpha(static_cast<unsigned char>(target[0]))) return 0;
  for (std::size_t i = 1; i < target.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(target[i]);
    if (c == ':') return i;
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

// "mailto:a@b?subject=x&attach=/home/u/.ssh/id_rsa": some mail programs
// attach the named local file to the draft. A text that came from elsewhere
// must not pick files to send; every other header is kept.
std::string WithoutAttachments(const std::string& mailto) {
  const std::size_t query = mailto.find('?');
  if (query == std::string::npos) return mailto;
  std::string out = mailto.substr(0, query);
  char separator = '?';
  std::size_t start = query + 1;
  while (start <= mailto.size()) {
    std::size_t end = mailto.find('&', start);
    if (end == std::string::npos) end = mailto.size();
    const std::string item = mailto.substr(start, end - start);
    const QString name = QUrl::fromPercentEncoding(QByteArray::fromStdString(item.substr(0, item.find('='))));
    if (!item.empty() && name.compare("attach", Qt::CaseInsensitive) != 0 &&
        name.compare("attachment", Qt::CaseInsensitive) != 0) {
      out += separator + item;
      separator = '&';
    }
    start = end + 1;
  }
  return out;
}

}  // namespace

bool HasUrlScheme(const std::string& target) { return SchemeLength(target) > 0; }

std::string DesktopAddress(const std::string& target) {
  const std::size_t n = SchemeLength(target);
  if (n > 0 && target.compare(n + 1, 2, "\\\\") == 0) return target.substr(0, n + 1) + "//" + target.substr(n + 3);
  if (n == 6 && QString::fromStdString(target.substr(0, 6)).compare("mailto", Qt::CaseInsensitive) == 0)
    return WithoutAttachments(target);
  return target;
}

bool IsProgram(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool QtShell::OpenDocument(const std::string& target) {
  const std::string address = DesktopAddress(target);
  const QUrl url = HasUrlScheme(address) ? QUrl(QString::fromStdString(address), QUrl::TolerantMode)
                                         : QUrl::fromLocalFile(QString::fromStdString(address));
  return url.isValid() && QDesktopServices::openUrl(url);
}

bool QtShell::StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& folder) {
  // Only a file that is a program by its own bits, named by its path: never
  // a document, never a name looked up on PATH in its place.
  const std::string path = program.empty() || program[0] == '/' || folder.empty() ? program : AppendSlash(folder) + program;
  if (path.find('/') == std::string::npos || !IsProgram(path)) return false;
  QStringList args;
  for (const std::string& a : arguments) args << QString::fromStdString(a);
  return QProcess::startDetached(QString::fromStdString(path), args, QString::fromStdString(folder));
}

bool RecordingShell::OpenDocument(const std::string& target) {
  opened.push_back(target);
  return result;
}

bool RecordingShell::StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                                  const std::string& folder) {
  started.push_back({program, arguments, folder});
  return result;
}

Shell& TheShell() {
  static QtShell qt;
  return g_shell ? *g_shell : qt;
}

void SetShell(Shell* shell) { g_shell = shell; }

}  // namespace plat
