#include "session/main.h"

#include <sys/stat.h>


#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPainter>
#include <QPointer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

#include "controls/log_memo.h"
#include "controls/status_bar.h"
#include "dirtree/dirtree.h"
#include "platform/inifile.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/exception_box.h"
#include "session/anonymous.h"
#include "session/password_store.h"
#include "session/queue.h"
#include "platform/qt/shell.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

TForm1* Form1 = nullptr;

// The box's choices and the engine's modes come in the same order.
static_assert(static_cast<int>(ftpEncIfAvailable) == session::encIfAvailable &&
              static_cast<int>(ftpEncExplicit) == session::encExplicit &&
              static_cast<int>(ftpEncImplicit) == session::encImplicit &&
              static_cast<int>(ftpEncPlain) == session::encPlain);

namespace {

constexpr const char* kCaption = "Vek\xC2\xB4s FTP Client v. 1.0 Beta - Login ";

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

void AppendTo(TLogMemo* memo, const std::string& line) {
  if (memo != nullptr) memo->AddLine(line);
}

// The login window's picture: a small globe over a folder, drawn here so the
// program carries no bitmap for it.
QPixmap LoginPicture() {
  QPixmap picture(64, 64);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0xE8, 0xC0, 0x40));
  p.setPen(QColor(0x80, 0x60, 0x10));
  p.drawRoundedRect(4, 26, 46, 32, 3, 3);
  p.setBrush(QColor(0x30, 0x70, 0xD0));
  p.setPen(QColor(0x10, 0x30, 0x80));
  p.drawEllipse(QPoint(44, 22), 16, 16);
  p.setPen(QPen(QColor(0xF0, 0xF0, 0xF0), 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QPoint(44, 22), 7, 16);
  p.drawLine(28, 22, 60, 22);
  return picture;
}

QLabel* AddLabel(QWidget* page, const char* name, const char* text, int x, int y) {
  auto* label = new QLabel(QString::fromUtf8(text), page);
  label->setObjectName(name);
  label->move(x, y);
  label->adjustSize();
  return label;
}

template <typename W>
W* Place(W* widget, const char* name, int x, int y, int w, int h) {
  widget->setObjectName(name);
  widget->setGeometry(x, y, w, h);
  return widget;
}

}  // namespace

TForm1::TForm1(const std::string& iniFileName, QWidget* parent) : QMainWindow(parent) {
  IniFileName = iniFileName;
  CreateControls();
  CreateEngine();
  FormCreate();
}

TForm1::~TForm1() {
  transfer::Session().OnActivityChange = nullptr;
  if (cursorSet_) QApplication::restoreOverrideCursor();
  if (!destroyed_) FormDestroy();
  if (Form1 == this) Form1 = nullptr;
}

// ---------------------------------------------------------------------------
// Controls

void TForm1::CreateControls() {
  setObjectName("Form1");
  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  setCentralWidget(client);
  client->setFixedSize(524, 370 - 22);

  PageControl1 = Place(new QTabWidget(client), "PageControl1", 0, 0, 425, 257);
  TabSheet1 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  TabSheet2 = new QWidget;
  TabSheet2->setObjectName("TabSheet2");
  PageControl1->addTab(TabSheet1, "&Login information");
  PageControl1->addTab(TabSheet2, "&Advanced settings");

  // First page: the profile row, a line, the login fields, the picture.
  Label1 = AddLabel(TabSheet1, "Label1", "Select an FTP Site Profile", 12, 8);
  SiteCB = Place(new QComboBox(TabSheet1), "SiteCB", 12, 26, 233, 24);
  SiteCB->setEditable(false);
  NewSiteBut = Place(new QPushButton("&New FTP Site", TabSheet1), "NewSiteBut", 256, 25, 137, 26);
  Bevel1 = Place(new QFrame(TabSheet1), "Bevel1", 12, 60, 393, 2);
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  AddLabel(TabSheet1, "Label2", "Hostadress", 12, 70);
  HostNameEdit = Place(new QLineEdit(TabSheet1), "HostNameEdit", 12, 88, 233, 24);
  AddLabel(TabSheet1, "Label3", "User Name", 12, 116);
  UserNameEdit = Place(new QLineEdit(TabSheet1), "UserNameEdit", 12, 134, 233, 24);
  Anonymous = Place(new QCheckBox("Anonymous", TabSheet1), "Anonymous", 256, 134, 120, 24);
  AddLabel(TabSheet1, "Label4", "Password", 12, 162);
  PasswordEdit = Place(new QLineEdit(TabSheet1), "PasswordEdit", 12, 180, 233, 24);
  PasswordEdit->setEchoMode(QLineEdit::Password);
  Image1 = Place(new QLabel(TabSheet1), "Image1", 330, 160, 64, 64);
  Image1->setPixmap(LoginPicture());
  SaveProfileCB = Place(new QCheckBox("Save Changes", TabSheet1), "SaveProfileCB", 12, 208, 150, 20);

  // Second page: local folder and port, remote directory, the two options.
  AddLabel(TabSheet2, "Label5", "Initial Local Directory", 12, 8);
  InitialLocalDirEdit = Place(new QLineEdit(TabSheet2), "InitialLocalDirEdit", 12, 26, 280, 24);
  AddLabel(TabSheet2, "Label6", "FTP Port", 304, 8);
  PortEdit = Place(new QLineEdit(TabSheet2), "PortEdit", 304, 26, 89, 24);
  AddLabel(TabSheet2, "Label7", "Initial Remote Directory", 12, 58);
  InitialDirEdit = Place(new QLineEdit(TabSheet2), "InitialDirEdit", 12, 76, 280, 24);
  AddLabel(TabSheet2, "Label8", "Encryption", 12, 108);
  EncryptionCB = Place(new QComboBox(TabSheet2), "EncryptionCB", 90, 104, 303, 24);
  EncryptionCB->setEditable(false);
  for (const char* choice : {"Use explicit FTP over TLS if available", "Require explicit FTP over TLS",
                             "Require implicit FTP over TLS", "Only use plain FTP (insecure)"})
    EncryptionCB->addItem(QString::fromUtf8(choice));
  PassiveCB = Place(new QCheckBox("Passive mode", TabSheet2), "PassiveCB", 12, 134, 190, 22);
  ForceLowerCB = Place(new QCheckBox("Force Lowercase Filenames", TabSheet2), "ForceLowerCB", 12, 158, 190, 22);
  AutoDirCB = Place(new QCheckBox("Directory Listings", TabSheet2), "AutoDirCB", 12, 182, 190, 22);
  KeepAliveCB = Place(new QCheckBox("Keep the connection alive", TabSheet2), "KeepAliveCB", 205, 134, 215, 22);
  AddLabel(TabSheet2, "Label9", "Simultaneous transfers", 209, 185);
  TransfersSE = Place(new QSpinBox(TabSheet2), "TransfersSE", 350, 182, 50, 24);
  TransfersSE->setRange(1, 10);
  PreserveTimesCB = Place(new QCheckBox("Preserve file times", TabSheet2), "PreserveTimesCB", 205, 158, 215, 22);
  PasvAddressCB =
      Place(new QCheckBox("Use the server's passive address", TabSheet2), "PasvAddressCB", 12, 206, 300, 22);

  ConnectBut = Place(new QPushButton("&Connect", client), "ConnectBut", 436, 24, 80, 28);
  Button2 = Place(new QPushButton("&Abort", client), "Button2", 436, 60, 80, 28);
  ExitBut = Place(new QPushButton("&Exit", client), "ExitBut", 436, 96, 80, 28);
  ConnectBut->setDefault(true);

  Memo1 = Place(new TLogMemo(client), "Memo1", 0, 262, 425, 73);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  StatusBar1 = new TStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->AddPanel(80, "Status:");
  StatusBar1->AddPanel(150, "Not Connected");
  // Bytes done, rate and time left of the file that moves; the encryption.
  StatusBar1->AddRightPanel(200, "");
  StatusBar1->AddRightPanel(84, "");
  setStatusBar(StatusBar1);

  // A fixed border: the window takes the size of its client area and keeps it.
  setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, true);
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);
  setWindowFlag(Qt::WindowMinimizeButtonHint, false);
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  using plat::Guarded;
  connect(ConnectBut, &QPushButton::clicked, this, Guarded([this] { ConnectButClick(); }));
  connect(Button2, &QPushButton::clicked, this, Guarded([this] { Button2Click(); }));
  connect(ExitBut, &QPushButton::clicked, this, Guarded([this] { ExitButClick(); }));
  connect(NewSiteBut, &QPushButton::clicked, this, Guarded([this] { NewSiteButClick(); }));
  // Only the user's own pick: the program selects through SelectSite.
  connect(SiteCB, &QComboBox::activated, this, Guarded([this] { SiteCBChange(); }));
  connect(Anonymous, &QCheckBox::clicked, this, Guarded([this] { AnonymousClick(); }));
  connect(EncryptionCB, &QComboBox::activated, this, Guarded([this] { EncryptionCBChange(); }));

  QueueRefreshTimer = new QTimer(this);
  QueueRefreshTimer->setObjectName("QueueRefreshTimer");
  QueueRefreshTimer->setSingleShot(true);
  QueueRefreshTimer->setInterval(100);
  connect(QueueRefreshTimer, &QTimer::timeout, this, Guarded([this] { QueueRefreshTimerTimer(); }));

  KeepAliveTimer = new QTimer(this);
  KeepAliveTimer->setObjectName("KeepAliveTimer");
  KeepAliveTimer->setSingleShot(true);
  KeepAliveTimer->setInterval(60 * 1000);
  connect(KeepAliveTimer, &QTimer::timeout, this, Guarded([this] { KeepAliveTimerTimer(); }));
}

void TForm1::CreateEngine() {
  FtpClient1 = std::make_unique<TFtpClient>();
  FtpClient1->SetTimeout(30);
  FtpClient1->SetMultiThreaded(false);
  FtpClient1->SetPort("ftp");
  FtpClient1->SetDisplayFlag(false);
  FtpClient1->SetDisplayFileFlag(false);
  FtpClient1->SetBinary(true);
  FtpClient1->SetShareMode(ftpShareDenyWrite);
  FtpClient1->OnDisplay = [this](TCustomFtpCli* s, std::string& m) { FtpClient1Display(s, m); };
  FtpClient1->OnSessionConnected = [this](TCustomFtpCli* s, std::uint16_t e) { FtpClient1SessionConnected(s, e); };
  FtpClient1->OnSessionClosed = [this](TCustomFtpCli* s, std::uint16_t e) { FtpClient1SessionClosed(s, e); };
  FtpClient1->OnProgress = [this](TCustomFtpCli* s, std::int64_t count, bool& abort) {
    FtpClient1Progress(s, count, abort);
  };
  FtpClient1->OnRequestDone = [this](TCustomFtpCli* s, TFtpRequest r, std::uint16_t e) {
    FtpClient1RequestDone(s, r, e);
  };
  FtpClient1->OnVerifyCertificate = [this](TCustomFtpCli* s, const TTlsInfo& info, bool changed, TFtpTrust& trust) {
    FtpClient1VerifyCertificate(s, info, changed, trust);
  };
  transfer::Session().OnActivityChange = [this] { ActivityChanged(); };
}

// ---------------------------------------------------------------------------
// Lifecycle

void TForm1::FormCreate() {
  Memo1->Clear();
  setWindowTitle(QString::fromUtf8(kCaption));

  TransferActive = false;
  PortEdit->setText("21");
  SaveProfileCB->setChecked(true);
  ForceLowerCB->setChecked(true);
  AutoDirCB->setChecked(true);
  PassiveCB->setChecked(true);
  transfer::Session().Connected = false;

  // Site profiles: the list, the last used one, its fields.
  if (IniFileName.empty()) IniFileName = session::IniFileName(session::ProgramFolder());
  session::TProfileStore store(IniFileName);
  const session::TProfileList list = store.LoadProfileList();
  for (const std::string& name : list.Names) SiteCB->addItem(Q(name));
  SelectSite(list.Selected);
  ReadProfile(SiteCB->currentIndex() >= 0 ? S(SiteCB->currentText()) : std::string());

  FileList.clear();
}

void TForm1::FormDestroy() {
  destroyed_ = true;
  FileList.clear();
  try {
    session::TProfileStore store(IniFileName);
    const std::string selected = SiteCB->currentIndex() >= 0 ? S(SiteCB->currentText()) : std::string();
    const session::TProfileList sorted = store.SaveProfileList(SiteNames(), selected);
    SiteCB->clear();
    for (const std::string& name : sorted.Names) SiteCB->addItem(Q(name));
    SelectSite(sorted.Selected);
  } catch (const std::exception& e) {
    plat::TheDialogs().ShowMessage(e.what());
  }
}

// FormShow, the command-line start: url_start.cpp.

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TForm1::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  // The main window closing ends the program.
  if (event->isAccepted()) QApplication::quit();
}

// ---------------------------------------------------------------------------
// Logging

void TForm1::AddLog(const std::string& line) {
  AppendTo(Memo1, line);
  if (TransferForm != nullptr) AppendTo(TransferForm->Memo1, line);
}

void TForm1::SetStatusText(const std::string& text) {
  StatusBar1->SetPanelText(1, text);
  if (TransferForm != nullptr) TransferForm->StatusBar1->SetPanelText(1, text);
}

void TForm1::SetEncryptionText(const std::string& text) {
  StatusBar1->SetPanelText(3, text);
  if (TransferForm != nullptr) TransferForm->StatusBar1->SetPanelText(3, text);
}

void TForm1::SetHourglass(bool on) {
  hourglass_ = on;
  UpdateCursor();
}

// ---------------------------------------------------------------------------
// Buttons

void TForm1::ConnectButClick() {
  if (RefusedWhileTransferring("Connect")) return;
  RunBusy(transfer::TActivity::Connecting, [this] {
    // The remote views start empty.
    TransferForm->ClearRemoteViews();

    // The initial local folder.
    const std::string localDir = S(InitialLocalDirEdit->text());
    if (IsFolder(localDir)) {
      if (::chdir(localDir.c_str()) == 0) {
        TransferForm->LocalDirTree->SelectPath(localDir);
        TransferForm->LocalDirTree->SetInitialDirectory(localDir);
      }
    } else {
      plat::TheDialogs().ShowMessage("Error - can not select " + localDir);
    }

    // The profile; a port that is not a number ends the Connect here.
    SaveNotes.clear();
    if (SaveProfileCB->isChecked() && !UpdateProfile()) return;

    // An open session is quit first.
    if (FtpClient1->IsConnected()) FtpClient1->Quit();

    Memo1->Clear();
    TransferForm->Memo1->Clear();
    AddLog("Connecting to " + S(HostNameEdit->text()) + " ...");
    // What the save said about the password, which the clearing took away.
    for (const std::string& note : SaveNotes) AddLog(note);

    // The hourglass, shown before the wait begins.
    SetHourglass(true);
    QApplication::processEvents();

    PasswordMask.assign(static_cast<std::size_t>(PasswordEdit->text().toUtf8().size()), '?');

    // The engine's settings.
    FtpClient1->SetBinary(true);
    FtpClient1->SetHostDirName(S(InitialDirEdit->text()));
    FtpClient1->SetHostName(S(HostNameEdit->text()));
    FtpClient1->SetPort(S(PortEdit->text()));
    const std::string user = S(UserNameEdit->text());
    FtpClient1->SetUserName(user.empty() ? "Anonymous" : user);
    const std::string password = S(PasswordEdit->text());
    FtpClient1->SetPassWord(password.empty() ? MakeAnonymousPassword() : password);
    FtpClient1->SetPassiveMode(PassiveCB->isChecked());
    FtpClient1->SetEncryption(static_cast<TFtpEncryption>(EncryptionCB->currentIndex()));
    FtpClient1->SetUseFeatures(true);
    FtpClient1->SetAutoReconnect(true);
    FtpClient1->SetUseMlsd(true);
    FtpClient1->SetUsePasvAddress(PasvAddressCB->isChecked());
    keepAlive_ = KeepAliveCB->isChecked();
    transfers_ = TransfersSE->value();
    preserveTimes_ = PreserveTimesCB->isChecked();

    // The whole chain (login, directory, listing, window) runs inside.
    FtpClient1->Connect();

    // The remote tree's root, and the folder the engine stands in listed.
    if (!transfer::Session().AbortRequested)
      TransferForm->ListRemoteRoot(FtpClient1->HostName(), InitialDirEdit->text().isEmpty() ? "/" : loginDir_);

    SetHourglass(false);
  });
}

void TForm1::Button2Click() {
  // QUIT waits for the engine to be ready, so during a running request it
  // would be refused and the button would do nothing: abort that request.
  if (transfer::Session().Busy() || FtpClient1->State() != fcsReady || parallelRunning_)
    AbortRunning(nullptr);
  else
    FtpClient1->Quit();
  SetHourglass(false);
}

void TForm1::ExitButClick() {
  StopBusy();
  FtpClient1->Quit();
  close();
}

// ---------------------------------------------------------------------------
// Engine events

void TForm1::FtpClient1Display(TCustomFtpCli*, std::string& Msg) {
  if (Msg.rfind("> ", 0) == 0) CommandSent();
  // A NOOP a minute would fill the log of a session left open.
  if (keepingAlive_ && !FtpTraceEnabled()) return;
  if (Msg.find("PASS ") != std::string::npos)
    AddLog("> PASS " + PasswordMask);
  else
    AddLog(Msg);
}

void TForm1::FtpClient1SessionConnected(TCustomFtpCli*, std::uint16_t) {
  AddLog("Connected");
  SetStatusText("Connected");
}

void TForm1::FtpClient1SessionClosed(TCustomFtpCli*, std::uint16_t) {
  transfer::Session().Connected = false;
  KeepAliveTimer->stop();
  serverDir_.clear();
  SetEncryptionText(std::string());
  AddLog("Disconnected");
  SetStatusText("Not Connected");
}

void TForm1::FtpClient1RequestDone(TCustomFtpCli*, TFtpRequest RqType, std::uint16_t Error) {
  if (keepingAlive_) return;  // a lost connection shows as "Disconnected"
  // The engine logged in again on its own (the server had closed the session).
  if (Error == 0 && RqType != TFtpRequest::ConnectAsync && !transfer::Session().Connected && FtpClient1->IsConnected()) {
    transfer::Session().Connected = true;
    SetStatusText("Connected");
    SetEncryptionText(FtpClient1->Encrypted() ? FtpClient1->TlsInfo().Version : "Not encrypted");
  }
  // A file whose time the server cannot tell or take is still whole: a
  // line in the log, not a box per file.
  if (Error != 0 && (RqType == TFtpRequest::ModTimeAsync || RqType == TFtpRequest::SetModTimeAsync)) {
    AddLog("! The server " + std::string(RqType == TFtpRequest::ModTimeAsync ? "did not tell" : "did not take") +
           " the time of " + FtpClient1->HostFileName() + ": " + FtpClient1->ReplyLine());
    return;
  }
  AddLog("Done (request=" + LookupRequest(static_cast<std::uint8_t>(RqType)) + "  error code=" +
         std::to_string(Error) + ")");
  if (Error != 0) {
    transfer::Session().LastRequestError = Error;
    plat::TheDialogs().ShowMessage("Error: " + FtpClient1->ErrorMessage());
  }
  // Every finished file gets its size, time and rate in the log.
  if (RqType == TFtpRequest::GetAsync || RqType == TFtpRequest::PutAsync || RqType == TFtpRequest::AppendAsync ||
      RqType == TFtpRequest::RestGetAsync) {
    if (Error == 0) LogFinishedFile();
    meterName_.clear();
  }
  switch (RqType) {
    case TFtpRequest::ConnectAsync:  // logged in: caption, then the start folder
      serverDir_.clear();
      loginDir_.clear();
      loginFailure_ = Error != 0 ? FtpClient1->ErrorMessage() : std::string();
      if (Error != 0) break;
      transfer::Session().Connected = true;
      SetEncryptionText(FtpClient1->Encrypted() ? FtpClient1->TlsInfo().Version : "Not encrypted");
      TransferForm->setWindowTitle(Q("Transfer Files to/from:  " + S(HostNameEdit->text())));
      if (!InitialDirEdit->text().isEmpty())
        FtpClient1->Cwd();
      else
        FtpClient1->Pwd();
      break;
    case TFtpRequest::CwdAsync:  // a directory change, failed or not: where are we now
      serverDir_ = Error == 0 ? FtpClient1->HostDirName() : std::string();
      FtpClient1->Pwd();
      break;
    case TFtpRequest::CDupAsync:
    case TFtpRequest::RmdAsync:
    case TFtpRequest::MkdAsync:
      if (RqType == TFtpRequest::CDupAsync) serverDir_.clear();
      FtpClient1->Pwd();
      break;
    case TFtpRequest::PwdAsync:  // the folder known: its listing
      if (Error == 0 && loginDir_.empty()) loginDir_ = FtpClient1->ReplyPath();
      SetHourglass(false);
      ListingStep();
      break;
    case TFtpRequest::DirAsync:  // a listing arrived
      ShowTransferWindow();
      break;
    case TFtpRequest::PutAsync:
    case TFtpRequest::GetAsync:
      // A finished file: the queue runner, to which the blocking call now
      // returns, starts the next one. Starting it here would nest every
      // file one level deeper than the one before.
      break;
    default:
      break;
  }
}

std::string TForm1::CertificateQuestion(const std::string& Server, const TTlsInfo& Info, bool Changed) {
  return (Changed ? "WARNING: the certificate of " + Server +
                        " is not the one you trusted before. Someone may be listening in.\n\n"
                  : "The certificate of " + Server + " could not be verified.\n\n") +
         "Reason: " + Info.VerifyText + "\nSubject: " + Info.Subject + "\nIssuer: " + Info.Issuer + "\nValid from " +
         Info.NotBefore + " to " + Info.NotAfter + "\nSHA-256 fingerprint: " + Info.Fingerprint;
}

void TForm1::FtpClient1VerifyCertificate(TCustomFtpCli*, const TTlsInfo& Info, bool Changed, TFtpTrust& Trust) {
  const std::string question = CertificateQuestion(FtpClient1->HostName() + ":" + FtpClient1->Port(), Info, Changed);
  const int choice = plat::TheDialogs().Choose(question, CertificateChoices(), "Certificate");
  Trust = choice == 0 ? ftpTrustAlways : choice == 1 ? ftpTrustOnce : ftpTrustNo;
}

// Listing step L: the current directory into the listing file, as text.
void TForm1::ListingStep() {
  if (!AutoDirCB->isChecked()) {
    ShowTransferWindow();
    return;
  }
  FtpClient1->SetHostFileName(std::string());
  FtpClient1->SetLocalFileName(TransferForm->TempDir + "ftpdir.txt");
  if (FtpClient1->Binary()) {
    FtpClient1->SetBinary(false);
    FtpClient1->TypeSet();
  }
  FtpClient1->Dir();
}

void TForm1::ShowTransferWindow() {
  if (TransferForm != nullptr) TransferForm->show();
}

std::string TForm1::MakeAnonymousPassword() { return session::MakeAnonymousPassword(); }

std::string TForm1::LookupRequest(std::uint8_t Code) { return FtpRequestName(static_cast<int>(Code)); }

// ---------------------------------------------------------------------------
// Site profiles

session::TSiteProfile TForm1::FieldsToProfile() const {
  session::TSiteProfile p;
  p.HostName = S(HostNameEdit->text());
  p.InitialLocalDir = S(InitialLocalDirEdit->text());
  p.InitialDir = S(InitialDirEdit->text());
  p.UserName = S(UserNameEdit->text());
  p.Password = S(PasswordEdit->text());
  p.Port = S(PortEdit->text());
  p.ForceLower = ForceLowerCB->isChecked();
  p.AutoDir = AutoDirCB->isChecked();
  p.Passive = PassiveCB->isChecked();
  p.Encryption = static_cast<session::TEncryptionChoice>(EncryptionCB->currentIndex());
  p.KeepAlive = KeepAliveCB->isChecked();
  p.PreserveTimes = PreserveTimesCB->isChecked();
  p.UsePasvAddress = PasvAddressCB->isChecked();
  p.Transfers = TransfersSE->value();
  return p;
}

void TForm1::ProfileToFields(const session::TSiteProfile& p) {
  HostNameEdit->setText(Q(p.HostName));
  InitialLocalDirEdit->setText(Q(p.InitialLocalDir));
  InitialDirEdit->setText(Q(p.InitialDir));
  UserNameEdit->setText(Q(p.UserName));
  PasswordEdit->setText(Q(p.Password));
  PortEdit->setText(Q(p.Port));
  ForceLowerCB->setChecked(p.ForceLower);
  AutoDirCB->setChecked(p.AutoDir);
  PassiveCB->setChecked(p.Passive);
  EncryptionCB->setCurrentIndex(p.Encryption);
  KeepAliveCB->setChecked(p.KeepAlive);
  PreserveTimesCB->setChecked(p.PreserveTimes);
  PasvAddressCB->setChecked(p.UsePasvAddress);
  TransfersSE->setValue(p.Transfers);
}

void TForm1::ResetFields() { ProfileToFields(session::DefaultProfile()); }

std::vector<std::string> TForm1::SiteNames() const {
  std::vector<std::string> names;
  for (int i = 0; i < SiteCB->count(); ++i) names.push_back(S(SiteCB->itemText(i)));
  return names;
}

void TForm1::SelectSite(int index) {
  const QSignalBlocker quiet(SiteCB);
  SiteCB->setCurrentIndex(index >= 0 && index < SiteCB->count() ? index : -1);
}

namespace {

// The keyring as the login window asks it: the window takes no input while
// an answer is awaited (an unlock prompt may be open), so nothing can start
// in the middle of a profile; its focus comes back afterwards.
class TWindowKeyring : public session::TPasswordKeyring {
 public:
  explicit TWindowKeyring(QWidget* client) : client_(client) {}
  session::TKeyringResult Read(const std::string& profile) override {
    return Wait([&](session::TPasswordKeyring& k) { return k.Read(profile); });
  }
  session::TKeyringResult Write(const std::string& profile, const std::string& password) override {
    return Wait([&](session::TPasswordKeyring& k) { return k.Write(profile, password); });
  }
  session::TKeyringResult Remove(const std::string& profile) override {
    return Wait([&](session::TPasswordKeyring& k) { return k.Remove(profile); });
  }

 private:
  template <typename Call>
  session::TKeyringResult Wait(Call call) {
    const QPointer<QWidget> focus = client_->window()->focusWidget();
    const bool wasEnabled = client_->isEnabled();
    client_->setEnabled(false);
    session::TKeyringResult result = call(session::TheKeyring());
    client_->setEnabled(wasEnabled);
    if (focus != nullptr) focus->setFocus();
    return result;
  }
  QWidget* client_;
};

std::string Because(const session::TKeyringResult& r) { return r.Reason.empty() ? "" : " (" + r.Reason + ")"; }

}  // namespace

void TForm1::KeyringNote(const std::string& line) {
  AddLog(line);
  SetStatusText(line);
  SaveNotes.push_back(line);
}

void TForm1::ReadProfile(const std::string& Name) {
  try {
    session::TProfileStore store(IniFileName);
    session::TKeyringResult lookup;
    TWindowKeyring keyring(centralWidget());
    ProfileToFields(store.ReadProfile(Name, &keyring, &lookup));
    const std::string typeIt = ": type it to connect";
    switch (lookup.Status) {
      case session::TKeyringResult::NotFound:
        KeyringNote("The keyring holds no password for " + Name + typeIt);
        break;
      case session::TKeyringResult::NoService:
        KeyringNote("No keyring available to read the password of " + Name + typeIt);
        break;
      case session::TKeyringResult::Refused:
        KeyringNote("The keyring did not give the password of " + Name + Because(lookup) + typeIt);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    plat::TheDialogs().ShowMessage(e.what());
  }
}

bool TForm1::UpdateProfile() {
  // Nothing selected: ask for a name.
  if (SiteCB->currentIndex() < 0) {
    const std::string answer =
        session::ProfileNameFromAnswer(plat::TheDialogs().InputBox("New FTP Site", "Enter Site Profile Name", ""));
    int at = session::IndexOfProfile(SiteNames(), answer);
    if (at < 0) {
      SiteCB->addItem(Q(answer));
      at = SiteCB->count() - 1;
    }
    SelectSite(at);
  }
  // Its place in the file, then its fields written there.
  const std::string name = S(SiteCB->currentText());
  const int index = session::ProfileSaveIndex(SiteNames(), name);
  try {
    const bool removal = PasswordEdit->text().isEmpty();
    TWindowKeyring keyring(centralWidget());
    const session::TKeyringResult saved =
        session::TProfileStore(IniFileName).WriteProfile(index, name, FieldsToProfile(), &keyring);
    const std::string where = "stored scrambled in " + IniFileName;
    if (removal) {
      if (saved.Status == session::TKeyringResult::NoService || saved.Status == session::TKeyringResult::Refused)
        KeyringNote("The keyring entry of " + name + " could not be removed" + Because(saved));
    } else if (saved.Status == session::TKeyringResult::NoService) {
      if (!noKeyringSaid_) KeyringNote("No keyring available: the password is " + where);
      noKeyringSaid_ = true;
    } else if (saved.Status == session::TKeyringResult::Refused || saved.Status == session::TKeyringResult::NotFound) {
      KeyringNote("The keyring did not take the password" + Because(saved) + ": it is " + where);
    }
    return true;
  } catch (const std::exception& e) {
    plat::TheDialogs().ShowMessage(e.what());
    return false;
  }
}

void TForm1::NewSiteButClick() {
  const std::string answer = plat::TheDialogs().InputBox("New FTP Site", "Enter Site Profile Name", "");
  if (answer.empty()) return;
  const std::string name = session::ProfileNameFromAnswer(answer);
  const int existing = session::IndexOfProfile(SiteNames(), name);
  if (existing < 0) {
    SiteCB->addItem(Q(name));
    SelectSite(SiteCB->count() - 1);
    ResetFields();
    if (SaveProfileCB->isChecked()) UpdateProfile();
    return;
  }
  plat::TheDialogs().ShowMessage(answer + " already exists");
  SelectSite(existing);
  ReadProfile(S(SiteCB->currentText()));
}

void TForm1::SiteCBChange() { ReadProfile(S(SiteCB->currentText())); }

void TForm1::EncryptionCBChange() {
  const bool implicit = EncryptionCB->currentIndex() == session::encImplicit;
  if (implicit && PortEdit->text() == "21") PortEdit->setText("990");
  if (!implicit && PortEdit->text() == "990") PortEdit->setText("21");
}

void TForm1::AnonymousClick() {
  if (Anonymous->isChecked()) {
    Url.UrlUser = S(UserNameEdit->text());
    UserNameEdit->setText("Anonymous");
    UserNameEdit->setEnabled(false);
    PasswordEdit->setText(Q(MakeAnonymousPassword()));
    PasswordEdit->setEnabled(false);
  } else {
    if (!Url.UrlUser.empty()) UserNameEdit->setText(Q(Url.UrlUser));
    UserNameEdit->setEnabled(true);
    PasswordEdit->setEnabled(true);
  }
}

void TForm1::OpenDocument(const std::string& Target) {
  // The shell gets at most 1023 characters; a longer target is refused
  // rather than cut into the name of some other file.
  if (Target.size() > 1023) {
    plat::TheDialogs().ShowMessage("Cannot open a name longer than 1023 characters.");
    return;
  }
  // What stands for a Windows program file here: a file with its execute bit.
  if (!plat::HasUrlScheme(Target) && plat::IsProgram(Target))
    plat::TheShell().StartProgram(Target, {}, std::string());
  else
    plat::TheShell().OpenDocument(Target);
}
