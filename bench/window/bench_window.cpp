// The remote views of the transfer window with one large directory: a
// listing file of N entries (100,000 by default, or argv[1]) read into the
// list (files), the tree (directories) or both; shown and painted, scrolled to
// the end and painted, listed a second time (the tree merge). Prints wall
// times and the growth of the resident set.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include <QApplication>
#include <QScrollBar>

#include "platform/qt/image_list.h"
#include "transfer/file_icons.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"
#include "transfer/temp_dir.h"
#include "transfer/transferunit.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

long RssKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

enum class Kind { Files, Dirs, Mixed };

// Names in random order, so the views do the sorting.
void WriteListing(const std::string& file, int n, Kind kind) {
  std::vector<int> order(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  static const char* const kExt[] = {".txt", ".tar.gz", ".jpg", ".pdf", ".c", ".html", "", ".zip"};
  std::ofstream out(file, std::ios::binary);
  out << "total " << n << "\r\n";
  for (int i : order) {
    const bool dir = kind == Kind::Dirs || (kind == Kind::Mixed && i % 2 == 0);
    if (dir)
      out << "drwxr-xr-x    2 ftp      ftp          4096 Jan  5 12:30 Directory " << i << "\r\n";
    else
      out << "-rw-r--r--    1 ftp      ftp       " << (i * 7919 % 10000000) << " Dec 24  1999 file number " << i
          << kExt[i % 8] << "\r\n";
  }
}

void Run(TTransferForm& form, int n, Kind kind, const char* label) {
  WriteListing(form.ListingFileName(), n, kind);
  form.RemoteTreeView->clear();
  form.RemoteListView->Clear();
  QCoreApplication::processEvents();
  auto* root = new QTreeWidgetItem(form.RemoteTreeView, QStringList{"ftp.example.com"});
  form.RemoteTreeView->setCurrentItem(root);
  QCoreApplication::processEvents();
  const long rss0 = RssKb();

  auto t = Clock::now();
  form.ReadListingFile(root);
  const double read = Ms(t);

  t = Clock::now();
  root->setExpanded(true);
  form.repaint();
  QCoreApplication::processEvents();
  const double shown = Ms(t);

  t = Clock::now();
  for (QAbstractScrollArea* view : {static_cast<QAbstractScrollArea*>(form.RemoteListView),
                                    static_cast<QAbstractScrollArea*>(form.RemoteTreeView)})
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
  form.repaint();
  QCoreApplication::processEvents();
  const double scrolled = Ms(t);
  const long rss1 = RssKb();

  // The same directory again: every directory is already a node.
  form.RemoteListView->Clear();
  t = Clock::now();
  form.ReadListingFile(root);
  const double again = Ms(t);

  std::printf("%-7s n=%-7d rows=%-7d nodes=%-7d read+sort %7.1f ms | show+paint %6.1f ms | scroll end+paint %6.1f ms"
              " | relist %7.1f ms | memory +%.1f MB\n",
              label, n, form.RemoteListView->Count(), root->childCount(), read, shown, scrolled, again,
              static_cast<double>(rss1 - rss0) / 1024.0);
}

// The icon per file row: the file type database asked for every name, and
// once per ending as the window does.
void IconLookups(int n) {
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back("file number " + std::to_string(i) + ".tar.gz");
  auto t = Clock::now();
  long sum = 0;
  for (const std::string& name : names) sum += plat::ImageList::Shared().IndexOfFile(name);
  const double each = Ms(t);
  t = Clock::now();
  for (const std::string& name : names) sum += FileIconIndex(name);
  const double byEnding = Ms(t);
  std::printf("icons   n=%-7d database per name %7.1f ms | per ending %7.1f ms (%ld)\n", n, each, byEnding, sum % 2);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
  QApplication app(argc, argv);
  TTransferForm form;
  form.show();
  QCoreApplication::processEvents();
  IconLookups(n / 10);
  Run(form, n, Kind::Files, "files");
  Run(form, n, Kind::Dirs, "dirs");
  Run(form, n, Kind::Mixed, "mixed");
  ::unlink(form.ListingFileName().c_str());
  return 0;
}
