// TForm1: the login window, and at the same time the session controller. It
// owns the program's one FTP engine, handles every event of it, decides what
// follows each finished request, and drives the transfer window (caption,
// log, status text, progress bar, showing it).
//
// Every engine call here is a blocking one: it keeps the event loop running
// until the request is over, so the request-done dispatcher runs nested inside
// the call that started the request, and its follow-up calls nest further.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "ftp/ftpcli.h"
#include "session/profiles.h"
#include "session/url.h"
#include "transfer/transfer_rate.h"
#include "transfer/transfer_controller.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QWidget;
class TStatusBar;
class TLogMemo;

class TForm1 : public QMainWindow, public TTransferController {
  Q_OBJECT

 public:
  // iniFileName: the profile file; empty: the program's own (beside the
  // program, or in the user's config folder).
  explicit TForm1(const std::string& iniFileName = std::string(), QWidget* parent = nullptr);
  ~TForm1() override;

  // --- controls, by their names ---
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Image1 = nullptr;
  QFrame* Bevel1 = nullptr;
  QComboBox* SiteCB = nullptr;
  QPushButton* NewSiteBut = nullptr;
  QLineEdit* HostNameEdit = nullptr;
  QLineEdit* UserNameEdit = nullptr;
  QLineEdit* PasswordEdit = nullptr;
  QCheckBox* SaveProfileCB = nullptr;
  QCheckBox* Anonymous = nullptr;
  QLineEdit* PortEdit = nullptr;
  QLineEdit* InitialLocalDirEdit = nullptr;
  QLineEdit* InitialDirEdit = nullptr;
  QCheckBox* ForceLowerCB = nullptr;
  QCheckBox* AutoDirCB = nullptr;
  QCheckBox* PassiveCB = nullptr;
  QPushButton* ConnectBut = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* ExitBut = nullptr;
  TStatusBar* StatusBar1 = nullptr;
  TLogMemo* Memo1 = nullptr;

  // The engine.
  std::unique_ptr<TFtpClient> FtpClient1;

  // --- fields ---
  std::string PasswordMask;
  std::string IniFileName;
  std::vector<std::string> FileList;
  std::int32_t FilesLeft = 0;

  // --- the command-line start: program [URL [local file]] ---
  // The program's arguments after its name, set before the window is shown.
  std::vector<std::string> Arguments;
  // The URL's parts (UrlRest: what is not parsed yet; UrlUser is also the
  // user name put aside while "Anonymous" is checked) and the second
  // argument's folder (up to and including its last "/") and file name.
  session::TUrlParts Url;
  std::string LocalDir;
  std::string LocalName;
  void ParseUrl();
  bool ParseUrlLogin();
  void ParseUrlPath();
  void GetUrlFile();
  // The user's download folder (~/Downloads/, ending in "/"), created when missing.
  static std::string DownloadFolder();

  // --- lifecycle ---
  void FormCreate();
  void FormDestroy();
  void FormShow();

  // --- handlers ---
  void ConnectButClick();
  void Button2Click();
  void ExitButClick();
  void NewSiteButClick();
  void SiteCBChange();
  void AnonymousClick();

  // --- engine events ---
  void FtpClient1Display(TCustomFtpCli* Sender, std::string& Msg);
  void FtpClient1SessionConnected(TCustomFtpCli* Sender, std::uint16_t Error);
  void FtpClient1SessionClosed(TCustomFtpCli* Sender, std::uint16_t Error);
  void FtpClient1RequestDone(TCustomFtpCli* Sender, TFtpRequest RqType, std::uint16_t Error);

  // --- profiles ---
  void ReadProfile(const std::string& Name);
  // False when the save failed (the message has been shown).
  bool UpdateProfile();

  // --- transfer queues ---
  void UploadAll() override;
  void UploadNext();
  void DownloadAll() override;
  void DownloadNext();
  bool RemoteFileExists(const std::string& Name);
  void FtpClient1Progress(TCustomFtpCli* Sender, std::int64_t Count, bool& Abort);
  void ShowProgress(std::int64_t Count);
  std::vector<std::string>& QueueFiles() override { return FileList; }
  void OpenDocument(const std::string& Target) override;

  static std::string MakeAnonymousPassword();
  static std::string LookupRequest(std::uint8_t Code);

  // Both logs: this window's, then the transfer window's.
  void AddLog(const std::string& line);
  // Panel 1 of both status bars.
  void SetStatusText(const std::string& text);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void CreateEngine();
  void ListingStep();
  void ShowTransferWindow();
  void SetHourglass(bool on);
  // The fields as a profile, and back.
  session::TSiteProfile FieldsToProfile() const;
  void ProfileToFields(const session::TSiteProfile& profile);
  void ResetFields();
  std::vector<std::string> SiteNames() const;
  // Selects without running SiteCBChange (the program's own selection).
  void SelectSite(int index);

  void EndTransferStep();
  // The rate panel of both status bars and the log line of a finished file.
  void StartMeter(const std::string& name, std::int64_t expectedSize, std::int64_t offset);
  void SetRateText(const std::string& text);
  void LogFinishedFile();
  transfer::TTransferMeter meter_;
  std::string meterName_;
  void DropFailedDownload(std::uint16_t Error);
  // Downloads the engine's HostFileName (the file called name) to target:
  // the rest of it after the resume question when target is there, else a
  // new file, which goes again when the download fails. True when a
  // transfer ran and succeeded.
  bool FetchFile(const std::string& name, const std::string& target);
  static bool IsFolder(const std::string& path);
  bool Representation() const;
  // A plain download's target that did not exist before it: removed again
  // when the download fails, so a failure leaves no empty or partial file.
  std::string newDownload_;

  int progressDepth_ = 0;
  // When window events last ran and the bar last moved (ms of NowMs's clock;
  // the lowest value lets the first ones through).
  std::int64_t lastEventsMs_ = INT64_MIN / 2;
  std::int64_t lastBarMs_ = INT64_MIN / 2;
  bool shown_ = false;
  bool destroyed_ = false;
  bool hourglass_ = false;
};

// The program-wide instance (the main window); set by the program entry.
extern TForm1* Form1;
