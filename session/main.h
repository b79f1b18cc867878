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
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "ftp/ftpcli.h"
#include "session/profiles.h"
#include "session/transfer_queue.h"
#include "session/url.h"
#include "transfer/transfer_rate.h"
#include "transfer/transfer_controller.h"
#include "transfer/transfer_pool.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QSpinBox;
class QTimer;
class QWidget;
class TStatusBar;
class TLogMemo;
struct TListRow;

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
  QComboBox* EncryptionCB = nullptr;
  QCheckBox* KeepAliveCB = nullptr;
  QCheckBox* PreserveTimesCB = nullptr;
  QCheckBox* PasvAddressCB = nullptr;
  QSpinBox* TransfersSE = nullptr;
  // Fires after a minute without a command: NOOP while connected and idle.
  QTimer* KeepAliveTimer = nullptr;
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
  // The files of the latest drop, before they join the queue.
  std::vector<std::string> FileList;
  session::TTransferQueue Queue;

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
  // The question after the download: success, or the failure's reason.
  static std::string ExitQuestion(const std::string& failure);
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
  // Implicit TLS has a port of its own: the port field follows the choice.
  void EncryptionCBChange();

  // --- engine events ---
  void FtpClient1Display(TCustomFtpCli* Sender, std::string& Msg);
  void FtpClient1SessionConnected(TCustomFtpCli* Sender, std::uint16_t Error);
  void FtpClient1SessionClosed(TCustomFtpCli* Sender, std::uint16_t Error);
  void FtpClient1RequestDone(TCustomFtpCli* Sender, TFtpRequest RqType, std::uint16_t Error);
  // A server certificate that failed the check: the user decides.
  void FtpClient1VerifyCertificate(TCustomFtpCli* Sender, const TTlsInfo& Info, bool Changed, TFtpTrust& Trust);
  // What the certificate box says, and its buttons.
  static std::string CertificateQuestion(const std::string& Server, const TTlsInfo& Info, bool Changed);
  static std::vector<std::string> CertificateChoices() { return {"Trust always", "Trust this time", "Cancel"}; }

  // --- profiles ---
  // A password kept in the keyring is looked up there; when that fails the
  // field stays empty and the log says why.
  void ReadProfile(const std::string& Name);
  // False when the save failed (the message has been shown). What became of
  // the password, when there is something to say, goes to the log and into
  // SaveNotes.
  bool UpdateProfile();
  std::vector<std::string> SaveNotes;

  // --- transfer queues (queue_runner.cpp) ---
  void UploadAll() override;
  void DownloadAll() override;
  // Runs the queue until no entry waits, then says what became of it and
  // reads the destination lists again. One loop: files never nest.
  void RunQueue();
  // Runs the queue unless the engine is busy (then it goes on with the new
  // files, or they start when the engine is free).
  void StartQueue();
  void UploadNext(session::TQueueEntry& Entry);
  void DownloadNext(session::TQueueEntry& Entry);
  // Whether the remote list of Dir shows a file called Name.
  bool RemoteFileExists(const std::string& Name, const std::string& Dir);
  void FtpClient1Progress(TCustomFtpCli* Sender, std::int64_t Count, bool& Abort);
  void ShowProgress(std::int64_t Count);
  std::vector<std::string>& QueueFiles() override { return FileList; }
  void OpenDocument(const std::string& Target) override;

  // --- keeping the connection, and file times (keep_alive.cpp) ---
  // Every command sent starts the idle minute again.
  void CommandSent();
  void KeepAliveTimerTimer();
  // After a download: the server's time for the local file (from the
  // listing when it gave one, else MDTM). After an upload: the local
  // file's time for the server's copy (MFMT, or vsftpd's MDTM).
  void TakeRemoteTime(const session::TQueueEntry& Entry);
  void GiveLocalTime(const session::TQueueEntry& Entry);

  // --- a queue over connections of its own (queue_parallel.cpp) ---
  // Runs the queue over Transfers connections while the browsing one stays
  // free; falls back to RunQueue when the server takes none of them.
  void RunParallelQueue();
  std::vector<TFtpClient*> OpenQueueEngines();
  // An engine with the session's settings, not connected yet.
  std::unique_ptr<TFtpClient> SessionEngine();

  // --- whole folders (folder_queue.cpp) ---
  void DownloadFolder(const std::string& RemotePath, const std::string& Name) override;
  void UploadFolder(const std::string& Folder) override;
  // Work on a connection of its own (the browsing one may be busy); false
  // with Error set when the server takes none or Work fails.
  bool WithOwnConnection(const std::function<bool(TFtpClient&)>& Work, std::string& Error);
  transfer::TPoolJob* NextPoolJob(std::deque<transfer::TPoolJob>& Jobs);
  void PoolJobDone(transfer::TPoolJob& Job);
  // Refused while a queue runs, as while the engine is busy: a new session
  // would pull the server from under the queue.
  bool RefusedWhileTransferring(const std::string& Command) override;

  // --- the queue pane (queue_pane.cpp) ---
  std::size_t QueueRows() override;
  TQueueRowText QueueRow(std::size_t Row) override;
  void QueueRemove(const std::vector<std::size_t>& Rows) override;
  void QueueRetryFailed() override;
  void QueueClearFinished() override;
  // A running file's bytes so far, for its row.
  void NoteProgress(session::TQueueEntry& Entry, std::int64_t Bytes);
  // The pane and its totals shown again, at most ten times a second.
  void RefreshQueuePane();
  void QueueRefreshTimerTimer();
  // "3 files, 12000 bytes left": what the queue still has to move.
  std::string QueueTotalsText() const;
  // Its latest value: counting a queue of 10,000 files for every file
  // would cost more than moving them.
  std::string queueTotals_;
  // The entries of finished runs, until "Clear finished".
  std::vector<session::TQueueEntry> QueueHistory;
  QTimer* QueueRefreshTimer = nullptr;

  // --- the busy state (busy.cpp) ---
  bool RefusedWhileBusy(const std::string& Command) override;
  void RunBusy(transfer::TActivity Activity, const std::function<void()>& Work) override;
  void StopBusy() override;
  void AbortRunning(std::function<void()> After) override;

  // The session's choices, taken at Connect.
  int transfers_ = 1;
  bool keepAlive_ = true;
  bool preserveTimes_ = true;
  // A NOOP of the keep-alive runs: its lines stay out of the log.
  bool keepingAlive_ = false;
  // The queue's own connections and their pool, while a queue runs on them.
  std::vector<std::unique_ptr<TFtpClient>> queueEngines_;
  transfer::TTransferPool* pool_ = nullptr;
  bool parallelRunning_ = false;  // a queue runs on its own connections (or opens them)
  std::size_t poolTotal_ = 0;  // entries handed to the pool in this run
  std::size_t poolEnded_ = 0;

  // Progress of the file that moves: a transfer request runs (progress
  // events count only then), its expected size, events since the bar moved.
  bool TransferActive = false;
  std::int64_t ExpectedSize = 0;
  std::int64_t ProgressTicks = 0;

  static std::string MakeAnonymousPassword();
  static std::string LookupRequest(std::uint8_t Code);

  // Both logs: this window's, then the transfer window's.
  void AddLog(const std::string& line);
  // Panel 1 of both status bars.
  void SetStatusText(const std::string& text);
  // The encryption panel of both: the TLS version, "Not encrypted", or empty.
  void SetEncryptionText(const std::string& text);

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

  // The steps of one queued file, before and after its transfer.
  void BeginTransferStep(const std::string& statusText, std::int64_t expectedSize);
  void EndTransferStep();
  // Before an entry: the engine in its folder and representation.
  bool PrepareEntry(const session::TQueueEntry& Entry, bool& typeSet);
  void EndOfQueue();
  // What a failed request said: the server's reply, or why it never started.
  std::string FailureText() const;
  // The rate panel of both status bars and the log line of a finished file.
  void StartMeter(const std::string& name, std::int64_t expectedSize, std::int64_t offset);
  void SetRateText(const std::string& text);
  void LogFinishedFile();
  transfer::TTransferMeter meter_;
  std::string meterName_;
  enum class TFetch { Done, Declined, Failed };
  // Downloads the engine's HostFileName (the file called name) to target:
  // the rest of it after the resume question when target is there, else a
  // new file, removed again when the download fails.
  TFetch FetchFile(const std::string& name, const std::string& target);
  // How a queued file meets its destination: under a free name, on the end
  // of the file there, in its place, or not at all.
  enum class TLanding { Fresh, Resume, Overwrite, Skip };
  // Asks what to do when the entry's destination is taken, unless the user
  // chose already for the rest of the run; a Rename gives the entry a free
  // name and lands Fresh.
  TLanding Landing(session::TQueueEntry& Entry);
  session::TExistsChoice AskExists(const session::TQueueEntry& Entry, const TListRow* RemoteRow);
  void RenameFree(session::TQueueEntry& Entry);
  TFetch Fetch(const std::string& name, const std::string& target, TLanding landing);
  // An overwrite: the download goes beside target and replaces it once whole.
  TFetch FetchBeside(const std::string& name, const std::string& target);
  // Why the last download failed on this side; empty when the engine says why.
  std::string fetchFailure_;
  // The row of the remote list of Dir called Name; nullptr when the list
  // shows another folder or no such file.
  const TListRow* RemoteRow(const std::string& Name, const std::string& Dir) const;
  static bool IsFolder(const std::string& path);
  static constexpr const char* kQueueAborted = "the queue was aborted";
  static constexpr const char* kSkippedExisting = "the file exists: Skip was chosen";
  bool Representation() const;
  // The folder the engine was last moved to with success; empty: unknown.
  std::string serverDir_;
  // Where the connect chain's PWD found the engine; why the login failed.
  std::string loginDir_;
  std::string loginFailure_;

  // The busy state (busy.cpp).
  void RunActivity(transfer::TActivity Activity, const std::function<void()>& Work);
  // What waited for the engine: Abort's reconnection, then queued files.
  void AfterBusy();
  void ActivityChanged();
  void UpdateCursor();
  std::function<void()> afterAbort_;
  bool afterBusy_ = false;

  // The keyring's answer about a password, in the log and the status bar.
  void KeyringNote(const std::string& line);
  // "No keyring available" is said once per run.
  bool noKeyringSaid_ = false;

  int progressDepth_ = 0;
  // When window events last ran and the bar last moved (ms of NowMs's clock;
  // the lowest value lets the first ones through).
  std::int64_t lastEventsMs_ = INT64_MIN / 2;
  std::int64_t lastBarMs_ = INT64_MIN / 2;
  bool shown_ = false;
  bool destroyed_ = false;
  bool hourglass_ = false;
  bool cursorSet_ = false;
};

// The program-wide instance (the main window); set by the program entry.
extern TForm1* Form1;
