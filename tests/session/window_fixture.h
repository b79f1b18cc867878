// The program's three windows over a private profile file, with scripted
// dialogs, for offscreen tests of the login window and the controller; and
// the data commands (PORT, PASV, LIST, RETR, STOR) for the free-running test
// server, so a test can serve a folder the way a real server does.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QPushButton>
#include "controls/log_memo.h"

#include "platform/qt/dialogs.h"
#include "platform/qt/exception_box.h"
#include "platform/qt/qt_application.h"
#include "session/main.h"
#include "tests/ftp_data/server_data.h"
#include "tests/support/ftp_test_server.h"
#include "tests/support/temp_folder.h"
#include "transfer/about.h"
#include "transfer/file_list_view.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

namespace vektest {

// Tests in a private D-Bus session with a keyring of their own set this
// before the first window; every other test gets a session bus that cannot
// be reached, so no test ever writes to the keyring of the desktop it runs on.
inline bool& KeepSessionBus() {
  static bool keep = false;
  return keep;
}

inline QApplication& GuiApp() {
  static const bool bus = KeepSessionBus() ||
                          ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vek-no-session-bus", 1) == 0;
  (void)bus;
  static int argc = 1;
  static char name[] = "vek_session_test";
  static char* argv[] = {name, nullptr};
  static auto* app = new QApplication(argc, argv);
  static auto* application = new plat::QtApplication();
  (void)application;
  return *app;
}

// ls -l lines for the entries of a folder, as a Unix server writes them.
inline std::string ListingOf(const std::filesystem::path& folder) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const bool dir = entry.is_directory();
    const auto size = dir ? 4096 : static_cast<long long>(entry.file_size());
    lines.push_back(std::string(dir ? "drwxr-xr-x" : "-rw-r--r--") + "   1 ftp      ftp      " +
                    std::to_string(size) + " Jan  5 12:30 " + entry.path().filename().string());
  }
  std::sort(lines.begin(), lines.end());
  std::string text = "total " + std::to_string(lines.size()) + "\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// Data connections for the free-running server. listDelayMs holds the
// listing back (an Abort test); the wait ends at once when the server stops.
struct ServedData {
  std::shared_ptr<ServerData> data = std::make_shared<ServerData>();
  int listDelayMs = 0;
  // Lines added to every listing (names no real folder can hold).
  std::string extraListing;
  // RETR sends in pieces of this size with a pause between them (0: at once).
  std::size_t slowChunk = 0;
  int slowPauseMs = 0;
  // STOR and APPE hold their final reply back this long (a slow disk).
  int storePauseMs = 0;
  std::int64_t restOffset = 0;

  void Install(FtpTestServer& server) {
    auto data = this->data;
    auto* self = this;
    server.AddCommand("PORT", [data](FtpServerSession& s, const std::string& arg) {
      s.Reply(data->TakePort("PORT " + arg) ? "200 PORT command successful" : "501 bad PORT");
    });
    server.AddCommand("PASV", [data](FtpServerSession& s, const std::string&) { s.Reply(data->Pasv()); });
    server.AddCommand("LIST", [data, self](FtpServerSession& s, const std::string&) {
      s.Reply("150 Here comes the directory listing.");
      if (self->listDelayMs > 0 && !s.Sleep(self->listDelayMs)) return;
      if (!data->Open()) return s.Reply("425 Can't open data connection.");
      data->Send(ListingOf(s.LocalPath(".")) + self->extraListing);
      data->Close();
      s.Reply("226 Directory send OK.");
    });
    server.AddCommand("REST", [self](FtpServerSession& s, const std::string& arg) {
      self->restOffset = std::stoll(arg);
      s.Reply("350 Restarting at " + arg + ".");
    });
    server.AddCommand("RETR", [data, self](FtpServerSession& s, const std::string& arg) {
      const std::filesystem::path file = s.LocalPath(arg);
      if (!std::filesystem::is_regular_file(file)) return s.Reply("550 " + arg + ": No such file");
      std::string bytes = testsupport::ReadFile(file.string());
      bytes.erase(0, static_cast<std::size_t>(std::min<std::int64_t>(self->restOffset, bytes.size())));
      self->restOffset = 0;
      s.Reply("150 Opening BINARY mode data connection (" + std::to_string(bytes.size()) + " bytes).");
      if (!data->Open()) return s.Reply("425 Can't open data connection.");
      const std::size_t chunk = self->slowChunk > 0 ? self->slowChunk : bytes.size() + 1;
      for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        if (!data->Send(bytes.substr(at, chunk))) return;
        if (self->slowPauseMs > 0 && !s.Sleep(self->slowPauseMs)) return;
      }
      data->Close();
      s.Reply("226 Transfer complete.");
    });
    auto store = [data, self](FtpServerSession& s, const std::string& arg, bool append) {
      s.Reply("150 Ok to send data.");
      if (!data->Open()) return s.Reply("425 Can't open data connection.");
      const std::string bytes = data->ReceiveAll();
      {
        std::ofstream out(s.LocalPath(arg), append ? std::ios::binary | std::ios::app : std::ios::binary);
        out << bytes;
      }
      if (self->storePauseMs > 0 && !s.Sleep(self->storePauseMs)) return;
      s.Reply("226 Transfer complete.");
    };
    server.AddCommand("STOR", [store](FtpServerSession& s, const std::string& arg) { store(s, arg, false); });
    server.AddCommand("APPE", [store](FtpServerSession& s, const std::string& arg) { store(s, arg, true); });
  }
};

// The windows as the program entry makes them, around one test.
class Windows {
 public:
  explicit Windows(const std::string& iniFileName) {
    GuiApp();
    plat::SetDialogs(&dialogs);
    form1 = std::make_unique<TForm1>(iniFileName);
    Form1 = form1.get();
    transferForm = std::make_unique<TTransferForm>();
    TransferForm = transferForm.get();
    TransferForm->FtpClient = form1->FtpClient1.get();
    TransferForm->Controller = form1.get();
    TransferForm->TerminateProgram = [this] { ++terminations; };
    aboutForm = std::make_unique<TAboutForm>(transferForm.get());
    AboutForm = aboutForm.get();
  }
  ~Windows() {
    // Order of the program's end: the login window first (it writes the list).
    form1.reset();
    Form1 = nullptr;
    aboutForm.release();  // owned by the transfer window as its parent
    AboutForm = nullptr;
    transferForm.reset();
    TransferForm = nullptr;
    plat::SetDialogs(nullptr);
    transfer::Session() = transfer::TSessionState();
  }

  static std::vector<std::string> Lines(TLogMemo* memo) { return memo->Lines(); }

  // Fills the login window's server fields for a server on 127.0.0.1, the
  // profile left unsaved, in plain FTP (the test servers of these tests have
  // no TLS; the FTP over TLS tests choose their own).
  static void FillServer(TForm1& f, const std::string& port, const std::string& user, const std::string& password) {
    f.EncryptionCB->setCurrentIndex(session::encPlain);
    // The test server's data side takes one connection at a time: queues
    // run on the browsing connection unless a test asks for more.
    f.TransfersSE->setValue(1);
    f.HostNameEdit->setText("127.0.0.1");
    f.PortEdit->setText(QString::fromStdString(port));
    f.UserNameEdit->setText(QString::fromStdString(user));
    f.PasswordEdit->setText(QString::fromStdString(password));
    f.SaveProfileCB->setChecked(false);
  }

  // Fills the login window for a server on 127.0.0.1 and presses Connect.
  void Login(const std::string& port, const std::string& user, const std::string& password,
             const std::string& localDir, bool passive = true) {
    TForm1& f = *form1;
    FillServer(f, port, user, password);
    f.InitialLocalDirEdit->setText(QString::fromStdString(localDir));
    f.PassiveCB->setChecked(passive);
    f.ForceLowerCB->setChecked(false);
    f.ConnectBut->click();
  }

  // The captions of a list, in the order shown.
  static std::vector<std::string> Captions(TFileListView* list) {
    std::vector<std::string> rows;
    for (int i = 0; i < list->Count(); ++i) rows.push_back(list->Row(i).Caption);
    return rows;
  }
  static int CountStarting(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }

  plat::ScriptedDialogs dialogs;
  int terminations = 0;
  std::unique_ptr<TForm1> form1;
  std::unique_ptr<TTransferForm> transferForm;
  std::unique_ptr<TAboutForm> aboutForm;
};

}  // namespace vektest
