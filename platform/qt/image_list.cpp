#include "platform/qt/image_list.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QPainter>

#include "platform/qt/resources.h"

namespace plat {

namespace {

// Platforms without a desktop session (offscreen, a bare X server) name no
// icon theme and look for none on disk; the XDG icon folders and the
// desktop's usual themes are then used when installed.
void ChooseIconTheme() {
  if (!QIcon::themeName().isEmpty() && QIcon::themeName() != "hicolor") return;
  QStringList paths = QIcon::themeSearchPaths();
  QStringList dataDirs = qEnvironmentVariable("XDG_DATA_DIRS").split(':', Qt::SkipEmptyParts);
  if (dataDirs.isEmpty()) dataDirs = {"/usr/local/share", "/usr/share"};
  const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share");
  dataDirs.prepend(dataHome);
  for (const QString& dir : dataDirs)
    if (!paths.contains(dir + "/icons")) paths << dir + "/icons";
  QIcon::setThemeSearchPaths(paths);
  for (const char* theme : {"Adwaita", "breeze", "oxygen", "Tango", "gnome"}) {
    for (const QString& dir : QIcon::themeSearchPaths()) {
      if (QFileInfo::exists(dir + "/" + theme + "/index.theme")) {
        QIcon::setThemeName(theme);
        return;
      }
    }
  }
}

int FallbackFor(const QMimeType& mime) {
  const QString name = mime.name();
  if (name.startsWith("text/")) return siText;
  if (name.startsWith("image/")) return siPicture;
  if (name == "application/x-executable" || name == "application/x-sharedlib" ||
      name == "application/x-shellscript" || name == "application/x-ms-dos-executable" ||
      name == "application/vnd.microsoft.portable-executable")
    return siProgram;
  return siDocument;
}

QPixmap Sized(const QIcon& icon, const QPixmap& fallback, int size) {
  if (!icon.isNull()) {
    QPixmap p = icon.pixmap(QSize(size, size));
    if (!p.isNull()) {
      if (p.width() != size || p.height() != size)
        p = p.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
      return p;
    }
  }
  if (fallback.width() == size) return fallback;
  return fallback.scaled(size, size, Qt::KeepAspectRatio, Qt::FastTransformation);
}

// The picture of an overlay at `size`: the theme's emblem in the lower left
// quarter, or the program's hand when the theme has none.
QPixmap WithOverlay(const QPixmap& base, int overlay) {
  if (overlay != ImageList::kSharedOverlay || base.isNull()) return base;
  const int size = base.width();
  const int emblemSize = std::max(8, size / 2);
  QPixmap emblem = QIcon::fromTheme("emblem-shared").pixmap(QSize(emblemSize, emblemSize));
  if (emblem.isNull()) emblem = HandPointCursor().pixmap();
  emblem = emblem.scaled(emblemSize, emblemSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  QPixmap out = base;
  QPainter painter(&out);
  painter.drawPixmap(0, size - emblem.height(), emblem);
  return out;
}

}  // namespace

ImageList& ImageList::Shared() {
  // Kept to the end of the process: pixmaps must not outlive the application
  // object in a static destructor.
  static auto* shared = new ImageList();
  return *shared;
}

ImageList::ImageList() {
  ChooseIconTheme();
  Add("folder", QIcon::fromTheme("folder"), siClosedFolder);
  Add("folder-open", QIcon::fromTheme("folder-open"), siOpenFolder);
}

int ImageList::Add(const std::string& key, const QIcon& themed, int fallback) {
  const auto known = byKey_.find(key);
  if (known != byKey_.end()) return known->second;
  const std::vector<QPixmap>& own = SmallImages();
  const QPixmap base = fallback >= 0 && fallback < static_cast<int>(own.size()) ? own[fallback] : QPixmap();
  Entry e{Sized(themed, base, kSmall), Sized(themed, base, kLarge)};
  entries_.push_back(e);
  const int index = Count() - 1;
  byKey_[key] = index;
  return index;
}

int ImageList::IndexOfFile(const std::string& fileName) {
  static const QMimeDatabase db;
  const QMimeType mime = db.mimeTypeForFile(QString::fromStdString(fileName), QMimeDatabase::MatchExtension);
  const std::string key = "mime:" + mime.name().toStdString();
  if (const auto known = byKey_.find(key); known != byKey_.end()) return known->second;
  const QIcon themed = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
  return Add(key, themed, FallbackFor(mime));
}

int ImageList::IndexOfThemeIcon(const std::string& iconName, int fallback) {
  const std::string key = "theme:" + iconName;
  if (const auto known = byKey_.find(key); known != byKey_.end()) return known->second;
  return Add(key, QIcon::fromTheme(QString::fromStdString(iconName)), fallback);
}

QPixmap ImageList::Small(int index) const {
  return index >= 0 && index < Count() ? entries_[index].small : QPixmap();
}

QPixmap ImageList::Large(int index) const {
  return index >= 0 && index < Count() ? entries_[index].large : QPixmap();
}

QIcon ImageList::Icon(int index, int selected, int overlay) const {
  QIcon icon;
  if (index < 0 || index >= Count()) return icon;
  if (selected < 0 || selected >= Count()) selected = -1;
  if (overlay != kSharedOverlay) overlay = kNoOverlay;
  if (const auto known = icons_.find({index, selected, overlay}); known != icons_.end()) return known->second;
  icon.addPixmap(WithOverlay(entries_[index].small, overlay), QIcon::Normal);
  icon.addPixmap(WithOverlay(entries_[index].large, overlay), QIcon::Normal);
  if (selected >= 0 && selected < Count() && selected != index) {
    icon.addPixmap(WithOverlay(entries_[selected].small, overlay), QIcon::Selected);
    icon.addPixmap(WithOverlay(entries_[selected].large, overlay), QIcon::Selected);
  }
  icons_[{index, selected, overlay}] = icon;
  return icon;
}

}  // namespace plat
