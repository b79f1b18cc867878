// Benchmark (not a test): the transfer window's download and upload queues against
// vsftpd on 127.0.0.1, beside lftp and vekftp in the same run, and the local
// list of a folder of 20,000 files. Prints medians of alternating runs.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>

#include "dirtree/dirtree.h"
#include "tests/ftp_data/vsftpd_peer.h"
#include "tests/session/window_fixture.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const int kRuns = std::getenv("VEK_BENCH_RUNS") ? std::atoi(std::getenv("VEK_BENCH_RUNS")) : 3;
// VEK_BENCH_ONLY_UPLOAD: only the big upload (and the local list).
const bool kOnlyUpload = std::getenv("VEK_BENCH_ONLY_UPLOAD") != nullptr;
const std::int64_t kBigMiB = std::getenv("VEK_BENCH_BIG_MIB") ? std::atoll(std::getenv("VEK_BENCH_BIG_MIB")) : 200;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// kBigMiB mebibytes of fill at path.
void WriteBigFile(const fs::path& path, char fill) {
  std::ofstream big(path, std::ios::binary);
  const std::string mib(1 << 20, fill);
  for (std::int64_t i = 0; i < kBigMiB; ++i) big << mib;
}

// User and system time of this process (RUSAGE_SELF) or its finished children.
double CpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  const auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double TimeCommand(const std::string& command) {
  const auto start = Clock::now();
  const int status = std::system(("timeout 300 " + command + " >/dev/null 2>&1").c_str());
  const double s = Seconds(start);
  if (status != 0) std::printf("  (command failed: %s)\n", command.c_str());
  return s;
}

// The folder stays (it is the program's current one); its files go.
void Empty(const std::string& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

QTreeWidgetItem* Child(QTreeWidgetItem* node, const std::string& name) {
  for (int i = 0; i < node->childCount(); ++i)
    if (TRemoteTreeView::NodeName(node->child(i)) == name) return node->child(i);
  return nullptr;
}

void SelectAll(TFileListView* list, const std::function<bool(const std::string&)>& which) {
  for (int i = 0; i < list->Count(); ++i) list->SelectRow(i, which(list->Row(i).Caption));
}

// Counts the paints of a viewport and notes when the first one with rows came.
struct PaintWatch : QObject {
  TFileListView* list = nullptr;
  Clock::time_point start;
  double firstPaint = -1;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && firstPaint < 0 && list->Count() > 1000) firstPaint = Seconds(start);
    return false;
  }
};

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  vektest::GuiApp();
  vektest::VsftpdPeer peer;
  std::string error;
  if (!peer.Start(error)) {
    std::printf("bench_queue: skipped (%s)\n", error.c_str());
    return 0;
  }
  fs::create_directories(peer.Root() / "many");
  const std::string kib(1024, 'k');
  for (int i = 0; i < 500; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    std::ofstream(peer.Root() / "many" / name, std::ios::binary) << kib;
  }
  WriteBigFile(peer.Root() / "big.bin", 'b');
  testsupport::TempFolder work;
  const std::string port = std::to_string(peer.Port());
  const std::string local = work.Path() + "/local";
  fs::create_directories(local);

  vektest::Windows w(work.File("rirarar.ini"));
  // Active mode, as the vekftp and lftp runs beside it.
  w.Login(port, "anonymous", "bench@example.org", local, false);
  TTransferForm& t = *w.transferForm;
  if (!transfer::Session().Connected) {
    std::printf("bench_queue: could not connect\n");
    return 1;
  }
  auto dropOnLocal = [&] { t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0); };

  // 500 files of 1 KiB: the window's queue and lftp's mget, alternating.
  std::vector<double> window500, lftp500, vekftp500;
  std::string names;
  for (int i = 0; i < 500; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, " f%03d.bin", i);
    names += name;
  }
  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "many"));
  for (int run = 0; run < (kOnlyUpload ? 0 : kRuns); ++run) {
    Empty(local);
    t.LocalDirTree->SelectPath(local + "/");
    SelectAll(t.RemoteListView, [](const std::string&) { return true; });
    auto start = Clock::now();
    dropOnLocal();
    window500.push_back(500 / Seconds(start));
    Empty(local);
    lftp500.push_back(500 / TimeCommand("lftp -c 'set ftp:passive-mode off; open -p " + port +
                                        " 127.0.0.1; cd many; mget -O " + local + " *'"));
    Empty(local);
    vekftp500.push_back(500 / TimeCommand(std::string(VEKFTP_PATH) + " --active mget ftp://127.0.0.1:" +
                                          port + "/many/" + names));
  }
  if (!kOnlyUpload)
    std::printf("500 files of 1 KiB: window %.0f files/s, lftp mget %.0f files/s, vekftp mget %.0f files/s, "
              "window/lftp %.2f\n",
              Median(window500), Median(lftp500), Median(vekftp500), Median(window500) / Median(lftp500));

  if (std::getenv("VEK_BENCH_ONLY_SMALL")) return 0;
  // The big file: the window's download beside vekftp get, both active mode.
  std::vector<double> windowBig, vekftpBig;
  t.RemoteTreeView->setCurrentItem(t.RemoteRootNode);
  t.RemoteTreeViewChange(nullptr, t.RemoteRootNode);
  const std::string out = local + "/big.bin";
  for (int run = 0; run < (kOnlyUpload ? 0 : kRuns); ++run) {
    fs::remove(out);
    t.LocalDirTree->SelectPath(local + "/");
    SelectAll(t.RemoteListView, [](const std::string& c) { return c == "big.bin"; });
    auto start = Clock::now();
    dropOnLocal();
    windowBig.push_back(static_cast<double>(kBigMiB) / Seconds(start));
    if (fs::file_size(out) != static_cast<std::uintmax_t>(kBigMiB) << 20) std::printf("  (window: wrong size)\n");
    fs::remove(out);
    vekftpBig.push_back(static_cast<double>(kBigMiB) /
                        TimeCommand(std::string(VEKFTP_PATH) + " --active get ftp://127.0.0.1:" + port + "/big.bin " + out));
  }
  if (!kOnlyUpload)
    std::printf("%lld MiB download: window %.0f MiB/s, vekftp %.0f MiB/s, window/vekftp %.2f\n",
              static_cast<long long>(kBigMiB), Median(windowBig), Median(vekftpBig),
              Median(windowBig) / Median(vekftpBig));

  // The big file the other way: the window's upload beside vekftp put, with
  // the CPU each spent (the window's own, vekftp's as a child's).
  std::vector<double> windowUp, vekftpUp, windowUpCpu, vekftpUpCpu;
  const std::string upName = "up-big.bin";
  WriteBigFile(local + "/" + upName, 'u');
  const fs::path uploaded = peer.Upload() / upName;
  const double gib = static_cast<double>(kBigMiB) / 1024.0;
  QTreeWidgetItem* upNode = Child(t.RemoteRootNode, "up");
  t.RemoteTreeView->setCurrentItem(upNode);
  for (int run = 0; run < kRuns; ++run) {
    fs::remove(uploaded);
    // The server's list without the file, or the window asks whether to append.
    t.RemoteTreeViewChange(nullptr, upNode);
    t.LocalDirTree->SelectPath(local + "/");
    t.FillLocalList(t.LocalListView, t.LocalDirTree);  // the file is newer than the list
    SelectAll(t.LocalListView, [&](const std::string& c) { return c == upName; });
    double cpu = CpuSeconds(RUSAGE_SELF);
    auto start = Clock::now();
    t.RemoteListViewDragDrop(t.RemoteListView, t.LocalListView, 0, 0);
    windowUp.push_back(static_cast<double>(kBigMiB) / Seconds(start));
    windowUpCpu.push_back((CpuSeconds(RUSAGE_SELF) - cpu) / gib);
    if (!fs::exists(uploaded) || fs::file_size(uploaded) != static_cast<std::uintmax_t>(kBigMiB) << 20)
      std::printf("  (window upload: wrong size)\n");
    fs::remove(uploaded);
    cpu = CpuSeconds(RUSAGE_CHILDREN);
    vekftpUp.push_back(static_cast<double>(kBigMiB) /
                       TimeCommand(std::string(VEKFTP_PATH) + " --active put " + local + "/" + upName +
                                   " ftp://127.0.0.1:" + port + "/up/" + upName));
    vekftpUpCpu.push_back((CpuSeconds(RUSAGE_CHILDREN) - cpu) / gib);
  }
  fs::remove(local + "/" + upName);
  std::printf("%lld MiB upload: window %.0f MiB/s (%.2f CPU s/GiB), vekftp %.0f MiB/s (%.2f CPU s/GiB), "
              "window/vekftp %.2f\n",
              static_cast<long long>(kBigMiB), Median(windowUp), Median(windowUpCpu), Median(vekftpUp),
              Median(vekftpUpCpu), Median(windowUp) / Median(vekftpUp));

  // The local list of 20,000 files.
  const std::string many = work.Path() + "/many";
  fs::create_directories(many);
  for (int i = 0; i < 20000; ++i) std::ofstream(many + "/file" + std::to_string(i) + ".txt") << "x";
  std::vector<double> full, firstPaint;
  t.show();
  for (int run = 0; run < kRuns; ++run) {
    t.LocalDirTree->SelectPath(local + "/");
    PaintWatch watch;
    watch.list = t.LocalListView;
    t.LocalListView->viewport()->installEventFilter(&watch);
    watch.start = Clock::now();
    t.LocalDirTree->Reload();
    t.LocalDirTree->SelectPath(local + "/");
    watch.start = Clock::now();
    t.LocalDirTree->SelectPath(many + "/");
    full.push_back(Seconds(watch.start));
    for (int i = 0; i < 50 && watch.firstPaint < 0; ++i) {
      t.LocalListView->viewport()->repaint();
      QApplication::processEvents();
    }
    firstPaint.push_back(watch.firstPaint);
    t.LocalListView->viewport()->removeEventFilter(&watch);
  }
  std::printf("local list of 20000 files: full list %.0f ms, first paint with rows %.0f ms (rows %d)\n",
              Median(full) * 1000, Median(firstPaint) * 1000, t.LocalListView->Count());
  return 0;
}
