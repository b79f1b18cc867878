#include "session/main.h"

#include <sys/stat.h>

#include <chrono>

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
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>

#include "controls/log_memo.h"
#include "controls/status_bar.h"
#include "dirtree/dirtree.h"
#include "platform/inifile.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/exception_box.h"
#include "session/anonymous.h"
#include "session/queue.h"
#include "platform/qt/shell.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"
#include "transfer/session_state.h"
#include "transfer/transferunit.h"

TForm1* Form1 = nullptr;

namespace {

// The least time between two rounds of window events during a transfer.
constexpr std::int64_t kProgressEventsMs = 10;
// The least time between two moves of the progress bar.
constexpr std::int64_t kProgressBarMs = 40;

// One steady clock for every time the window measures, in milliseconds.
std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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
  ForceLowerCB = Place(new QCheckBox("Force Lowercase Filenames", TabSheet2), "ForceLowerCB", 12, 150, 280, 22);
  AutoDirCB = Place(new QCheckBox("Directory Listings", TabSheet2), "AutoDirCB", 12, 178, 280, 22);
  PassiveCB = Place(new QCheckBox("Passive mode", TabSheet2), "PassiveCB", 12, 122, 280, 22);

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
  // Bytes done, rate and time left of the file that moves.
  StatusBar1->AddRightPanel(280, "");
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
}

// ---------------------------------------------------------------------------
// Lifecycle

void TForm1::FormCreate() {
  Memo1->Clear();
  setWindowTitle(QString::fromUtf8(kCaption));

  transfer::Session().TransferActive = false;
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

void TForm1::SetHourglass(bool on) {
  if (on == hourglass_) return;
  hourglass_ = on;
  if (on)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

// ---------------------------------------------------------------------------
// Buttons

void TForm1::ConnectButClick() {
  // 1. The remote views start empty.
  TransferForm->RemoteTreeView->clear();
  TransferForm->RemoteRootNode = nullptr;
  TransferForm->RemoteListView->Clear();

  // 2. The initial local folder.
  const std::string localDir = S(InitialLocalDirEdit->text());
  if (IsFolder(localDir)) {
    if (::chdir(localDir.c_str()) == 0) {
      TransferForm->LocalDirTree->SelectPath(localDir);
      TransferForm->LocalDirTree->SetInitialDirectory(localDir);
    }
  } else {
    plat::TheDialogs().ShowMessage("Error - can not select " + localDir);
  }

  // 3. The profile; a port that is not a number ends the Connect here.
  if (SaveProfileCB->isChecked() && !UpdateProfile()) return;

  // 4. An open session is quit first.
  if (FtpClient1->IsConnected()) FtpClient1->Quit();

  // 5. Fresh logs.
  Memo1->Clear();
  TransferForm->Memo1->Clear();
  AddLog("Connecting to " + S(HostNameEdit->text()) + " ...");

  // 6. The hourglass, shown before the wait begins.
  SetHourglass(true);
  QApplication::processEvents();

  // 7.
  PasswordMask.assign(static_cast<std::size_t>(PasswordEdit->text().toUtf8().size()), '?');

  // 8. The engine's settings.
  FtpClient1->SetBinary(true);
  FtpClient1->SetHostDirName(S(InitialDirEdit->text()));
  FtpClient1->SetHostName(S(HostNameEdit->text()));
  FtpClient1->SetPort(S(PortEdit->text()));
  const std::string user = S(UserNameEdit->text());
  FtpClient1->SetUserName(user.empty() ? "Anonymous" : user);
  const std::string password = S(PasswordEdit->text());
  FtpClient1->SetPassWord(password.empty() ? MakeAnonymousPassword() : password);
  FtpClient1->SetPassiveMode(PassiveCB->isChecked());

  // 9. The whole chain (login, directory, listing, window) runs inside.
  FtpClient1->Connect();

  // 10. The remote tree's root, listed.
  TransferForm->ListRemoteRoot(FtpClient1->HostName());

  // 11.
  SetHourglass(false);
}

void TForm1::Button2Click() {
  // QUIT waits for the engine to be ready, so during a running request it
  // would be refused and the button would do nothing: abort that request.
  if (FtpClient1->State() == fcsReady)
    FtpClient1->Quit();
  else
    FtpClient1->Abort();
  SetHourglass(false);
}

void TForm1::ExitButClick() {
  FtpClient1->Quit();
  close();
}

// ---------------------------------------------------------------------------
// Engine events

void TForm1::FtpClient1Display(TCustomFtpCli*, std::string& Msg) {
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
  AddLog("Disconnected");
  SetStatusText("Not Connected");
}

void TForm1::FtpClient1RequestDone(TCustomFtpCli*, TFtpRequest RqType, std::uint16_t Error) {
  // 1.
  AddLog("Done (request=" + LookupRequest(static_cast<std::uint8_t>(RqType)) + "  error code=" +
         std::to_string(Error) + ")");
  // 2.
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
    case TFtpRequest::ConnectAsync:  // 3.
      if (Error != 0) break;
      transfer::Session().Connected = true;
      TransferForm->setWindowTitle(Q("Transfer Files to/from:  " + S(HostNameEdit->text())));
      if (!InitialDirEdit->text().isEmpty())
        FtpClient1->Cwd();
      else
        FtpClient1->Pwd();
      break;
    case TFtpRequest::CwdAsync:  // 4.
    case TFtpRequest::CDupAsync:
    case TFtpRequest::RmdAsync:
    case TFtpRequest::MkdAsync:
      FtpClient1->Pwd();
      break;
    case TFtpRequest::PwdAsync:  // 5.
      SetHourglass(false);
      ListingStep();
      break;
    case TFtpRequest::DirAsync:  // 6.
      ShowTransferWindow();
      break;
    case TFtpRequest::PutAsync:  // 7.
      if (FilesLeft != 0)
        UploadNext();
      else
        ListingStep();
      break;
    case TFtpRequest::GetAsync:  // 8.
      DropFailedDownload(Error);
      if (FilesLeft != 0)
        DownloadNext();
      else
        ShowTransferWindow();
      break;
    default:
      break;
  }
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

void TForm1::ReadProfile(const std::string& Name) {
  try {
    ProfileToFields(session::TProfileStore(IniFileName).ReadProfile(Name));
  } catch (const std::exception& e) {
    plat::TheDialogs().ShowMessage(e.what());
  }
}

bool TForm1::UpdateProfile() {
  // 1. Nothing selected: ask for a name.
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
  // 2.
  const std::string name = S(SiteCB->currentText());
  const int index = session::ProfileSaveIndex(SiteNames(), name);
  // 3.
  try {
    session::TProfileStore(IniFileName).WriteProfile(index, name, FieldsToProfile());
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

// ---------------------------------------------------------------------------
// Transfer queues

// Binary unless the transfer window's hidden choice says "Text".
bool TForm1::Representation() const { return TransferForm->RadioGroup1ItemIndex() == 0; }

void TForm1::UploadAll() {
  FtpClient1->SetHostDirName(TransferForm->RemoteDirPath());
  FtpClient1->Cwd();
  FtpClient1->SetBinary(Representation());
  FtpClient1->TypeSet();
  FilesLeft = static_cast<std::int32_t>(FileList.size());
  UploadNext();
}

void TForm1::UploadNext() {
  transfer::TSessionState& state = transfer::Session();
  QTreeWidgetItem* node = TransferForm->RemoteTreeView->currentItem();
  if (const auto entry = session::TakeNextEntry(FileList, FilesLeft)) {
    // The remote name is the one the local list shows: the file's name in
    // lower case (forced again when asked to).
    std::string remote = QString::fromStdString(session::FileNamePart(*entry)).toLower().toStdString();
    if (ForceLowerCB->isChecked()) remote = session::LowerCaseName(remote);
    FtpClient1->SetHostFileName(remote);
    FtpClient1->SetLocalFileName(*entry);
    AddLog("put " + FtpClient1->LocalFileName() + " " + FtpClient1->HostFileName());
    state.ProgressTicks = 0;
    TransferForm->StatusBar1->SetPanelText(1, "Uploading : " + FtpClient1->LocalFileName());
    const std::string localName = session::FileNamePart(FtpClient1->LocalFileName());
    TFileListView* local = TransferForm->LocalListView;
    for (int i = 0; i < local->Count(); ++i)
      if (local->Row(i).Data == localName) state.ExpectedSize = local->Row(i).SizeBytes;
    node = TransferForm->RemoteTreeView->currentItem();
    state.TransferActive = true;
    if (RemoteFileExists(FtpClient1->HostFileName())) {
      if (plat::TheDialogs().Confirm("File allready exists, do you whant to append upload ? ")) {
        StartMeter(FtpClient1->HostFileName(), state.ExpectedSize, 0);
        FtpClient1->Append();
      }
    } else {
      StartMeter(FtpClient1->HostFileName(), state.ExpectedSize, 0);
      FtpClient1->Put();
    }
  }
  EndTransferStep();
  TransferForm->RemoteTreeViewChange(this, node);
}

void TForm1::DownloadAll() {
  FtpClient1->SetBinary(Representation());
  FtpClient1->TypeSet();
  FilesLeft = static_cast<std::int32_t>(FileList.size());
  AppendTo(TransferForm->Memo1, "Filenames count: " + std::to_string(FilesLeft));
  DownloadNext();
}

void TForm1::DownloadNext() {
  transfer::TSessionState& state = transfer::Session();
  // A name the server chose that cannot be a local file name is refused and
  // the queue goes on: no completion would come to start the next one.
  std::optional<std::string> entry;
  std::optional<std::string> target;
  while ((entry = session::TakeNextEntry(FileList, FilesLeft))) {
    FtpClient1->SetHostDirName(TransferForm->RemoteDirPath());
    std::string folder;
    TTransferForm::AppendSlash(TransferForm->LocalDirTree->SelectedPath(), folder);
    target = session::DownloadTarget(folder, *entry, ForceLowerCB->isChecked());
    if (target) break;
    AddLog("! Refused the server's file name \"" + *entry + "\": it cannot be a local file name");
  }
  if (entry && target) {
    FtpClient1->SetLocalFileName(*target);
    AppendTo(Memo1, "Filenames left: " + *entry);
    FtpClient1->SetHostFileName(*entry);
    AddLog("get " + FtpClient1->HostFileName() + " " + FtpClient1->LocalFileName());
    state.ProgressTicks = 0;
    TransferForm->StatusBar1->SetPanelText(1, "Downloading : " + FtpClient1->LocalFileName());
    FtpClient1->Size();
    state.ExpectedSize = FtpClient1->RemoteSize();
    state.TransferActive = true;
    FetchFile(*entry, *target);
  }
  EndTransferStep();
}

bool TForm1::FetchFile(const std::string& name, const std::string& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (!plat::TheDialogs().Confirm("File allready exists, do you whant to resume download ? ")) return false;
    StartMeter(name, transfer::Session().ExpectedSize, static_cast<std::int64_t>(st.st_size));
    return FtpClient1->RestGet();
  }
  StartMeter(name, transfer::Session().ExpectedSize, 0);
  newDownload_ = target;
  const bool done = FtpClient1->Get();
  // An aborted download ends without a completion: clean up here then.
  if (!done && newDownload_ == target) DropFailedDownload(1);
  return done;
}

void TForm1::StartMeter(const std::string& name, std::int64_t expectedSize, std::int64_t offset) {
  meterName_ = name;
  // The bar's first move for this file shows at once.
  const std::int64_t now = NowMs();
  lastBarMs_ = now - kProgressBarMs;
  meter_.Start(expectedSize > 0 ? expectedSize : -1, offset, now);
}

void TForm1::SetRateText(const std::string& text) {
  StatusBar1->SetPanelText(2, text);
  TransferForm->StatusBar1->SetPanelText(2, text);
}

void TForm1::LogFinishedFile() {
  if (!meterName_.empty()) AddLog(transfer::TransferSummary(meterName_, meter_.BytesMoved(), meter_.ElapsedMs(NowMs())));
  meterName_.clear();
}

bool TForm1::IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void TForm1::EndTransferStep() {
  SetRateText(std::string());
  transfer::Session().TransferActive = false;
  TransferForm->StatusBar1->SetPanelText(1, "Connected");
  TransferForm->ProgressBar1->setValue(0);
}

void TForm1::DropFailedDownload(std::uint16_t Error) {
  const std::string created = std::move(newDownload_);
  newDownload_.clear();
  if (Error == 0 || created.empty()) return;
  if (::unlink(created.c_str()) == 0) AddLog("! Removed the incomplete file " + created);
}

bool TForm1::RemoteFileExists(const std::string& Name) {
  TFileListView* remote = TransferForm->RemoteListView;
  for (int i = 0; i < remote->Count(); ++i)
    if (remote->Row(i).Caption == Name) return true;
  return false;
}

void TForm1::FtpClient1Progress(TCustomFtpCli*, std::int64_t Count, bool&) {
  // Pending window events run here, and with them the next network
  // messages, whose progress events land here again: those must not run
  // events once more, or a long transfer nests one level per chunk.
  // A few milliseconds between rounds keep the window as lively as every
  // chunk would, at a fraction of the cost during a fast transfer.
  const std::int64_t now = NowMs();
  if (progressDepth_ == 0 && now - lastEventsMs_ >= kProgressEventsMs) {
    lastEventsMs_ = now;
    ++progressDepth_;
    QApplication::processEvents();
    --progressDepth_;
  }
  transfer::TSessionState& state = transfer::Session();
  if (!state.TransferActive) return;
  if (session::ProgressDue(state.ExpectedSize, state.ProgressTicks)) ShowProgress(Count);
  if (!meterName_.empty() && meter_.Update(Count, now)) SetRateText(meter_.Text());
}

void TForm1::ShowProgress(std::int64_t Count) {
  // The bar repaints at once on every new value: during a fast transfer that
  // would cost more than the transfer, so it moves at most every few
  // hundredths of a second (its ends always show).
  const int percent = session::ProgressPercent(Count, transfer::Session().ExpectedSize);
  const std::int64_t now = NowMs();
  if (percent != 0 && percent != 100 && now - lastBarMs_ < kProgressBarMs) return;
  lastBarMs_ = now;
  TransferForm->ProgressBar1->setValue(percent);
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
