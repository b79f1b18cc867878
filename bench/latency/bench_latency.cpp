// Benchmark (not a test): queues of many small files over one and over several
// connections, on a server whose every reply and data connection comes 20 ms
// late (pyftpdlib on 127.0.0.1, see latency_server.py), as on the internet.
// The transfer window's download and upload queues at 1 and 4 connections,
// vekftp mirror at -j 1 and -j 4 and lftp mirror --parallel=4 on the same
// server, and the window's single-connection queue without the delay. Prints
// medians of alternating runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dirtree/dirtree.h"
#include "tests/session/window_fixture.h"
#include "tests/support/peer_process.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const int kRuns = std::getenv("VEK_BENCH_RUNS") ? std::atoi(std::getenv("VEK_BENCH_RUNS")) : 3;
// The single-connection runs at 20 ms take 13-17 s each way and vary by a
// few per cent only (the round trips set them): once unless asked, which
// keeps the whole benchmark near two and a half minutes.
const int kSlowRuns = std::getenv("VEK_BENCH_SLOW_RUNS") ? std::atoi(std::getenv("VEK_BENCH_SLOW_RUNS")) : 1;
const int kFiles = 200;
const int kDelayMs = 20;
const char kUser[] = "bench";
const char kPassword[] = "bench";

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Regular files in a folder, the hidden ones (a download not yet whole) aside.
int CountFiles(const fs::path& folder) {
  std::error_code ec;
  int n = 0;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') ++n;
  return n;
}

// The folder stays (a window or the server may have it open); its files go.
void Empty(const fs::path& folder) {
  fs::create_directories(folder);
  for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

void Fill(const fs::path& folder) {
  fs::create_directories(folder);
  std::string bytes(4096, '\0');
  for (int i = 0; i < kFiles; ++i) {
    for (std::size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<char>('a' + (i + b) % 26);
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    std::ofstream(folder / name, std::ios::binary) << bytes;
  }
}

// Files per second for a command; 0 when it failed or moved fewer files.
double TimeCommand(const std::string& command, const fs::path& arrived) {
  const auto start = Clock::now();
  const int status = std::system(("timeout 120 " + command + " >/dev/null 2>&1").c_str());
  const double s = Seconds(start);
  const int n = CountFiles(arrived);
  if (status != 0 || n != kFiles) {
    std::printf("  (failed: %s: status %d, %d files)\n", command.c_str(), status, n);
    return 0;
  }
  return kFiles / s;
}

// latency_server.py as a child process, stopped with this object.
class LatencyServer {
 public:
  LatencyServer(fs::path Root, int DelayMs) : root_(std::move(Root)), delayMs_(DelayMs) {}
  bool Start(std::string& Error) {
    const std::vector<std::string> env = {"VEK_FTP_USER=" + std::string(kUser),
                                          "VEK_FTP_PASSWORD=" + std::string(kPassword),
                                          "VEK_FTP_ROOT=" + root_.string(),
                                          "VEK_FTP_DELAY_MS=" + std::to_string(delayMs_),
                                          "VEK_FTP_LIFETIME=600", "PYTHONDONTWRITEBYTECODE=1"};
    // Debian's interpreter: the module is installed for it, another python3 may come first on PATH.
    if (!process_.Start({"/usr/bin/python3", VEK_LATENCY_SERVER}, log_.Path() / "server.log", env, Error))
      return false;
    if (!process_.WaitForOutput("LISTENING ", 15000)) {
      Error = "the server did not start: " + process_.Log();
      return false;
    }
    const std::string log = process_.Log();
    port_ = static_cast<std::uint16_t>(std::atoi(log.c_str() + log.find("LISTENING ") + 10));
    if (port_ == 0 || !process_.WaitForPort(port_, 10000)) {
      Error = "the server takes no connections: " + process_.Log();
      return false;
    }
    return true;
  }
  std::string Port() const { return std::to_string(port_); }
  std::string Url(const std::string& Path) const {
    return std::string("ftp://") + kUser + ":" + kPassword + "@127.0.0.1:" + Port() + "/" + Path;
  }

 private:
  fs::path root_;
  int delayMs_;
  vektest::TempDir log_{"vekbenchlat"};
  vektest::PeerProcess process_;
  std::uint16_t port_ = 0;
};

QTreeWidgetItem* Child(QTreeWidgetItem* node, const std::string& name) {
  for (int i = 0; i < node->childCount(); ++i)
    if (TRemoteTreeView::NodeName(node->child(i)) == name) return node->child(i);
  return nullptr;
}

void SelectAll(TFileListView* list) {
  for (int i = 0; i < list->Count(); ++i) list->SelectRow(i, true);
}

// The windows logged in with Transfers simultaneous transfers (passive mode):
// the server's "src" down into Down, then Up (local) into the server's "up".
// Files per second of each queue, 0 when files are missing.
struct WindowRun {
  double down = 0;
  double up = 0;
};

WindowRun RunWindow(const LatencyServer& server, const fs::path& root, const fs::path& work, int Transfers) {
  WindowRun result;
  const fs::path down = work / "down", up = work / "up-src";
  Empty(down);
  Empty(root / "up");
  vektest::Windows w((work / "rirarar.ini").string());
  TForm1& f = *w.form1;
  vektest::Windows::FillServer(f, server.Port(), kUser, kPassword);
  // Read when Connect is pressed.
  f.TransfersSE->setValue(Transfers);
  f.InitialLocalDirEdit->setText(QString::fromStdString(down.string() + "/"));
  f.PassiveCB->setChecked(true);
  f.ForceLowerCB->setChecked(false);
  f.ConnectBut->click();
  TTransferForm& t = *w.transferForm;
  if (!transfer::Session().Connected) {
    std::printf("  (window: could not connect)\n");
    return result;
  }

  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "src"));
  t.LocalDirTree->SelectPath(down.string() + "/");
  SelectAll(t.RemoteListView);
  auto start = Clock::now();
  t.RemoteListViewDragDrop(t.LocalListView, t.RemoteListView, 0, 0);
  const double downSeconds = Seconds(start);
  if (CountFiles(down) == kFiles)
    result.down = kFiles / downSeconds;
  else
    std::printf("  (window download at %d: %d files)\n", Transfers, CountFiles(down));

  t.RemoteTreeView->setCurrentItem(Child(t.RemoteRootNode, "up"));
  t.LocalDirTree->SelectPath(up.string() + "/");
  SelectAll(t.LocalListView);
  start = Clock::now();
  t.RemoteListViewDragDrop(t.RemoteListView, t.LocalListView, 0, 0);
  const double upSeconds = Seconds(start);
  if (CountFiles(root / "up") == kFiles)
    result.up = kFiles / upSeconds;
  else
    std::printf("  (window upload at %d: %d files)\n", Transfers, CountFiles(root / "up"));
  if (!w.dialogs.Messages().empty()) std::printf("  (window: %s)\n", w.dialogs.Messages()[0].c_str());
  return result;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const auto begin = Clock::now();
  // No display needed: the windows are driven, never looked at.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  vektest::GuiApp();
  vektest::TempDir root("vekbenchlat-root"), work("vekbenchlat-work");
  Fill(root.Path() / "src");
  Fill(work.Path() / "up-src");
  fs::create_directories(root.Path() / "up");

  LatencyServer far(root.Path(), kDelayMs);
  std::string error;
  if (!far.Start(error)) {
    std::printf("bench_latency: skipped (%s)\n", error.c_str());
    return 0;
  }
  const std::string vekftp = VEKFTP_PATH;
  const bool haveLftp = std::system("command -v lftp >/dev/null 2>&1") == 0;
  const fs::path cliDown = work.Path() / "cli-down";
  const fs::path upSrc = work.Path() / "up-src";

  // Files per second by name, one value per run.
  std::map<std::string, std::vector<double>> r;
  for (int run = 0; run < kRuns; ++run) {
    for (const int n : {1, 4}) {
      if (n == 1 && run >= kSlowRuns) continue;
      const WindowRun window = RunWindow(far, root.Path(), work.Path(), n);
      r["window " + std::to_string(n) + " down"].push_back(window.down);
      r["window " + std::to_string(n) + " up"].push_back(window.up);
    }
    for (const int j : {1, 4}) {
      if (j == 1 && run >= kSlowRuns) continue;
      const std::string name = "vekftp -j " + std::to_string(j);
      fs::remove_all(cliDown);
      r[name + " down"].push_back(
          TimeCommand(vekftp + " -j " + std::to_string(j) + " mirror " + far.Url("src") + " " + cliDown.string(),
                      cliDown));
      fs::remove_all(root.Path() / "vup");
      r[name + " up"].push_back(TimeCommand(
          vekftp + " -j " + std::to_string(j) + " mirror -R " + upSrc.string() + " " + far.Url("vup"),
          root.Path() / "vup"));
    }
    if (haveLftp) {
      fs::remove_all(cliDown);
      r["lftp 4 down"].push_back(TimeCommand("lftp -c 'set ftp:passive-mode on; mirror --parallel=4 " +
                                                 far.Url("src") + " " + cliDown.string() + "'",
                                             cliDown));
      fs::remove_all(root.Path() / "lup");
      r["lftp 4 up"].push_back(TimeCommand("lftp -c 'set ftp:passive-mode on; mirror -R --parallel=4 " +
                                               upSrc.string() + " " + far.Url("lup") + "'",
                                           root.Path() / "lup"));
    }
  }

  // The same queue on loopback without the delay, today's reference.
  {
    LatencyServer near(root.Path(), 0);
    if (near.Start(error)) {
      for (int run = 0; run < kRuns; ++run) {
        const WindowRun window = RunWindow(near, root.Path(), work.Path(), 1);
        r["loopback window 1 down"].push_back(window.down);
        r["loopback window 1 up"].push_back(window.up);
      }
    } else {
      std::printf("  (loopback server: %s)\n", error.c_str());
    }
  }

  const auto m = [&](const std::string& name) { return Median(r[name]); };
  const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("%d files of 4 KiB, %d ms per reply and per data connection, passive mode; medians of %d runs, "
              "files/s\n",
              kFiles, kDelayMs, kRuns);
  std::printf("%-26s %9s %9s\n", "", "download", "upload");
  for (const char* name : {"window 1", "window 4", "vekftp -j 1", "vekftp -j 4", "lftp 4", "loopback window 1"}) {
    if (r.count(std::string(name) + " down") == 0) continue;
    const std::string label = std::string(name) == "lftp 4" ? "lftp mirror --parallel=4"
                              : std::string(name).rfind("window", 0) == 0
                                  ? std::string(name) + (std::string(name) == "window 1" ? " connection" : " connections")
                                  : std::string(name);
    const std::size_t runs = r[std::string(name) + " down"].size();
    std::printf("%-26s %9.1f %9.1f%s\n", label.c_str(), m(std::string(name) + " down"), m(std::string(name) + " up"),
                runs == static_cast<std::size_t>(kRuns) ? "" : runs == 1 ? "   (1 run)" : "   (fewer runs)");
  }
  std::printf("%-26s %9.2f %9.2f\n", "window 4 / window 1", ratio(m("window 4 down"), m("window 1 down")),
              ratio(m("window 4 up"), m("window 1 up")));
  std::printf("%-26s %9.2f %9.2f\n", "vekftp -j 4 / -j 1", ratio(m("vekftp -j 4 down"), m("vekftp -j 1 down")),
              ratio(m("vekftp -j 4 up"), m("vekftp -j 1 up")));
  if (haveLftp) {
    std::printf("%-26s %9.2f %9.2f\n", "window 4 / lftp 4", ratio(m("window 4 down"), m("lftp 4 down")),
                ratio(m("window 4 up"), m("lftp 4 up")));
    std::printf("%-26s %9.2f %9.2f\n", "vekftp -j 4 / lftp 4", ratio(m("vekftp -j 4 down"), m("lftp 4 down")),
                ratio(m("vekftp -j 4 up"), m("lftp 4 up")));
  }
  std::printf("whole benchmark: %.0f s\n", Seconds(begin));
  return 0;
}
