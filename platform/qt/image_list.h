// The shared lists of file icons, small (16 x 16) and large (32 x 32), that
// stand for the desktop's system image lists: a file name gives a stable
// index into both.
//
// Icons come from the MIME database (by name only, no file is looked at) and
// the icon theme; when the theme has none, from the program's own pictures.
// Indexes are handed out on first use and never change while the program
// runs; index 0 is a closed folder and index 1 an open folder.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <QIcon>
#include <QPixmap>

namespace plat {

class ImageList {
 public:
  static constexpr int kSmall = 16;
  static constexpr int kLarge = 32;
  // Overlay pictures drawn over an icon (a tree node's overlay index).
  static constexpr int kNoOverlay = -1;
  static constexpr int kSharedOverlay = 0;   // the folder is shared on the network

  // The program's lists (created on first use, after the application object).
  static ImageList& Shared();

  int FolderIndex() const { return 0; }
  int OpenFolderIndex() const { return 1; }
  // The icon of a file of that name ("report.pdf"): one index per MIME type.
  int IndexOfFile(const std::string& fileName);
  // A named theme icon ("drive-harddisk", "user-home"), or the program's
  // picture `fallback` (a SmallImage) when the theme has none.
  int IndexOfThemeIcon(const std::string& iconName, int fallback);

  int Count() const { return static_cast<int>(entries_.size()); }
  QPixmap Small(int index) const;
  QPixmap Large(int index) const;
  // Both sizes; with `selected` given, that index's pictures show while the
  // item is selected (a tree's selected-image index); with `overlay` given,
  // that overlay is drawn over both.
  QIcon Icon(int index, int selected = -1, int overlay = kNoOverlay) const;

 private:
  ImageList();
  struct Entry {
    QPixmap small;
    QPixmap large;
  };
  int Add(const std::string& key, const QIcon& themed, int fallback);

  std::map<std::string, int> byKey_;
  // One icon per pair, shared by every tree node that shows it: a folder of
  // 100,000 sub-folders holds one icon, not 100,000 copies.
  mutable std::map<std::tuple<int, int, int>, QIcon> icons_;
  std::vector<Entry> entries_;
};

}  // namespace plat
