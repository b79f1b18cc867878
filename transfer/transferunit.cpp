#include "transfer/transferunit.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSplitter>
#include <QToolButton>
#include <QVBoxLayout>

#include "controls/log_memo.h"
#include "controls/radio_group.h"
#include "controls/status_bar.h"
#include "dirtree/dirtree.h"
#include "ftp/ftpcli.h"
#include "platform/qt/exception_box.h"
#include "platform/qt/image_list.h"
#include "platform/qt/resources.h"
#include "transfer/about.h"
#include "transfer/file_icons.h"
#include "transfer/file_list_view.h"
#include "transfer/listing_mlsd.h"
#include "transfer/pictures.h"
#include "transfer/queue_view.h"
#include "transfer/transfer_controller.h"
#include "transfer/remote_tree_view.h"
#include "transfer/temp_dir.h"

TTransferForm* TransferForm = nullptr;

namespace {

QFont FontOf(std::initializer_list<const char*> families, int pixels) {
  QFont font;
  QStringList names;
  for (const char* family : families) names << QString::fromLatin1(family);
  font.setFamilies(names);
  font.setPixelSize(pixels);
  return font;
}

// Times New Roman, 12 pixels: the window's own font.
QFont WindowFont() { return FontOf({"Times New Roman", "Liberation Serif"}, 12); }
// Arial, 12 pixels: the lists.
QFont ListFont() { return FontOf({"Arial", "Liberation Sans"}, 12); }
// Courier New, 21 pixels, bold italic: the pane titles.
QFont PaneTitleFont() {
  QFont font = FontOf({"Courier New", "Liberation Mono"}, 21);
  font.setBold(true);
  font.setItalic(true);
  return font;
}

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QWidget* Column(QWidget* parent, const char* name, std::initializer_list<QWidget*> children) {
  auto* column = Named(new QWidget(parent), name);
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (QWidget* child : children) {
    child->setParent(column);
    layout->addWidget(child, child->inherits("QLabel") ? 0 : 1);
  }
  return column;
}

// A splitter filling Panel: thin handles, panes that never collapse.
QSplitter* FillWithSplitter(QWidget* panel, Qt::Orientation orientation, const char* name) {
  auto* layout = new QVBoxLayout(panel);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* splitter = Named(new QSplitter(orientation, panel), name);
  splitter->setHandleWidth(3);
  splitter->setChildrenCollapsible(false);
  layout->addWidget(splitter);
  return splitter;
}

// First starts at FirstSize and keeps it as the window grows; Second takes the rest.
void SplitPanes(QSplitter* splitter, QWidget* first, QWidget* second, int firstSize) {
  splitter->addWidget(first);
  splitter->addWidget(second);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({firstSize, 1000});
}

QLabel* PaneTitle(const char* name, const char* text) {
  auto* label = Named(new QLabel(QString::fromLatin1(text)), name);
  label->setFont(PaneTitleFont());
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 128));
  label->setPalette(palette);
  return label;
}

}  // namespace

TTransferForm::TTransferForm(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("TransferForm"));
  setWindowTitle(QStringLiteral("Transfer Files"));
  setFont(WindowFont());
  TerminateProgram = [] { QApplication::quit(); };
  CreateControls();
  CreateRemoteMenu();
  LocalDirTree->Loaded();
  resize(939, 676);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  FormCreate();
}

TTransferForm::~TTransferForm() {
  // The controls outlive this part of the window by a little; nothing they
  // report while they go may reach it.
  disconnect(RemoteTreeView, nullptr, this, nullptr);
  LocalDirTree->OnChange = nullptr;
  // A folder made for this run only is found by no later one.
  transfer::RemoveFreshTempDir(freshTempDir_, "ftpdir.txt");
  if (TransferForm == this) TransferForm = nullptr;
}

void TTransferForm::CreateControls() {
  auto* form = Named(new QWidget(this), "Form");
  setCentralWidget(form);

  // Made first so that it lies under the main area: the queues read it,
  // the user never reaches it.
  RadioGroup1 = Named(new TRadioGroup(form), "RadioGroup1");
  RadioGroup1->setTitle(QStringLiteral("RadioGroup1"));
  RadioGroup1->SetItems({"Binary", "Text"});
  RadioGroup1->setGeometry(384, 248, 81, 88);
  RadioGroup1->setFocusPolicy(Qt::NoFocus);
  for (int i = 0; i < RadioGroup1->ItemCount(); ++i) RadioGroup1->Button(i)->setFocusPolicy(Qt::NoFocus);

  auto* body = Named(new QWidget(form), "Body");
  auto* formLayout = new QVBoxLayout(form);
  formLayout->setContentsMargins(0, 0, 0, 0);
  formLayout->addWidget(body);
  RadioGroup1->lower();

  auto* bodyLayout = new QVBoxLayout(body);
  bodyLayout->setContentsMargins(0, 0, 0, 0);
  bodyLayout->setSpacing(0);
  auto* upper = new QHBoxLayout;
  upper->setSpacing(0);
  upper->addWidget(CreateCommandBar());
  upper->addWidget(CreateMainArea(), 1);
  bodyLayout->addLayout(upper, 1);
  bodyLayout->addWidget(CreateBottomStrip());
  bodyLayout->addWidget(CreateQueuePanel());

  ProgressBar1 = Named(new QProgressBar(body), "ProgressBar1");
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setFixedHeight(20);
  bodyLayout->addWidget(ProgressBar1);

  StatusBar1 = Named(new TStatusBar(this), "StatusBar1");
  StatusBar1->AddPanel(100, "Status:");
  StatusBar1->AddPanel(50, "");
  // Bytes done, rate and time left of the file that moves; the encryption.
  StatusBar1->AddRightPanel(330, "");
  StatusBar1->AddRightPanel(90, "");
  setStatusBar(StatusBar1);

  CreateMenu();
}

QWidget* TTransferForm::CreateCommandBar() {
  Panel1 = Named(new QFrame, "Panel1");
  Panel1->setFixedWidth(76);
  Panel1->setAutoFillBackground(true);
  QPalette palette = Panel1->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Highlight));
  Panel1->setPalette(palette);

  auto* layout = new QVBoxLayout(Panel1);
  layout->setContentsMargins(2, 4, 2, 4);
  layout->setSpacing(2);

  Image2 = Named(new QLabel(Panel1), "Image2");
  Image2->setPixmap(transfer_pictures::BadgePicture());
  Image2->setAlignment(Qt::AlignCenter);
  Image1 = Named(new QLabel(Panel1), "Image1");
  Image1->setPixmap(transfer_pictures::GlobePicture());
  Image1->setAlignment(Qt::AlignCenter);
  Image1->setAttribute(Qt::WA_TranslucentBackground);
  layout->addWidget(Image2);
  layout->addWidget(Image1);
  layout->addSpacing(6);

  using transfer_pictures::Command;
  auto button = [this, layout](const char* name, const char* caption, const char* hint, Command picture,
                               void (TTransferForm::*click)()) {
    auto* b = Named(new QToolButton(Panel1), name);
    b->setText(QString::fromUtf8(caption));
    if (hint[0] != '\0') b->setToolTip(QString::fromUtf8(hint));
    b->setIcon(QIcon(transfer_pictures::CommandPicture(picture)));
    b->setIconSize(QSize(32, 32));
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setAutoRaise(true);
    b->setFixedWidth(70);
    b->setFocusPolicy(Qt::NoFocus);
    QFont font = b->font();
    font.setBold(true);
    b->setFont(font);
    QPalette colours = b->palette();
    colours.setColor(QPalette::ButtonText, QColor(255, 255, 0));
    b->setPalette(colours);
    connect(b, &QToolButton::clicked, this, plat::Guarded([this, click] { (this->*click)(); }));
    layout->addWidget(b, 0, Qt::AlignHCenter);
    return b;
  };
  SpeedButton2 = button("SpeedButton2", "Vek\u00b4s", "About Vek", Command::About, &TTransferForm::SpeedButton2Click);
  SpeedButton4 = button("SpeedButton4", "Upload", "", Command::Upload, &TTransferForm::SpeedButton4Click);
  SpeedButton3 = button("SpeedButton3", "Download", "", Command::Download, &TTransferForm::SpeedButton3Click);
  SpeedButton6 = button("SpeedButton6", "New", "New Connection", Command::New, &TTransferForm::SpeedButton6Click);
  SpeedButton1 = button("SpeedButton1", "Abort", "Abort transfer", Command::Abort, &TTransferForm::SpeedButton1Click);
  SpeedButton5 = button("SpeedButton5", "Exit", "", Command::Exit, &TTransferForm::SpeedButton5Click);
  layout->addStretch(1);
  return Panel1;
}

QWidget* TTransferForm::CreateMainArea() {
  Panel10 = Named(new QWidget, "Panel10");
  Splitter1 = FillWithSplitter(Panel10, Qt::Vertical, "Splitter1");

  // The server side.
  Panel15 = Named(new QWidget, "Panel15");
  Splitter3 = FillWithSplitter(Panel15, Qt::Horizontal, "Splitter3");
  Label1 = PaneTitle("Label1", "Remote");
  RemoteTreeView = Named(new TRemoteTreeView, "RemoteTreeView");
  Panel14 = Column(Splitter3, "Panel14", {Label1, RemoteTreeView});
  RemoteListView = Named(new TFileListView, "RemoteListView");
  Panel17 = Column(Splitter3, "Panel17", {RemoteListView});
  SplitPanes(Splitter3, Panel14, Panel17, 185);
  connect(RemoteTreeView, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
            if (selectingNode_) return;
            plat::RunGuarded([this, current, previous] { RemoteTreeViewSelect(current, previous); });
          });

  // The local side.
  Panel16 = Named(new QWidget, "Panel16");
  Splitter2 = FillWithSplitter(Panel16, Qt::Horizontal, "Splitter2");
  Label2 = PaneTitle("Label2", "Local");
  LocalDirTree = Named(new TDirTree, "LocalDirTree");
  ConfigureLocalDirTree();
  Panel18 = Column(Splitter2, "Panel18", {Label2, LocalDirTree});
  LocalListView = Named(new TFileListView, "LocalListView");
  Panel19 = Column(Splitter2, "Panel19", {LocalListView});
  SplitPanes(Splitter2, Panel18, Panel19, 185);
  LocalDirTree->OnChange = [this](TDirTree*, TTreeNode*) { LocalDirTreeChange(); };
  // Drops are handled once the drag has ended: a queue runs for minutes and
  // must not keep the drag open meanwhile.
  for (TFileListView* list : {RemoteListView, LocalListView}) {
    list->OnDragOver = [this](TFileListView* sender, TFileListView* source, QPoint at, bool& accept) {
      RemoteListViewDragOver(sender, source, at.x(), at.y(), accept);
    };
    list->OnDragDrop = [this](TFileListView* sender, TFileListView* source, QPoint at) {
      QPointer<TFileListView> from(source);
      QMetaObject::invokeMethod(
          this,
          [this, sender, from, at] {
            plat::RunGuarded([&] { RemoteListViewDragDrop(sender, from.data(), at.x(), at.y()); });
          },
          Qt::QueuedConnection);
    };
  }
  LocalListView->OnDblClick = [this](TFileListView*) { plat::RunGuarded([this] { LocalListViewDblClick(); }); };
  // Folders come from the trees: the server's onto the local list, a local
  // one onto the server's list.
  RemoteTreeView->setDragEnabled(true);
  LocalDirTree->setDragEnabled(true);
  for (TFileListView* list : {RemoteListView, LocalListView}) {
    list->OnFolderDragOver = [this](TFileListView* sender, QWidget* tree) {
      return (sender == LocalListView && tree == RemoteTreeView) || (sender == RemoteListView && tree == LocalDirTree);
    };
    list->OnFolderDrop = [this](TFileListView* sender, QWidget* tree) {
      QMetaObject::invokeMethod(
          this, [this, sender, tree] { plat::RunGuarded([&] { FolderDropped(sender, tree); }); }, Qt::QueuedConnection);
    };
  }

  SplitPanes(Splitter1, Panel15, Panel16, 248);
  return Panel10;
}

QWidget* TTransferForm::CreateBottomStrip() {
  Panel2 = Named(new QWidget, "Panel2");
  Panel2->setFixedHeight(74);
  auto* layout = new QHBoxLayout(Panel2);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  Memo1 = Named(new TLogMemo(Panel2), "Memo1");
  Memo1->setFixedWidth(464);
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  layout->addWidget(Memo1);
  AdImage1 = Named(new QLabel(Panel2), "AdImage1");
  AdImage1->setFixedSize(468, 60);
  AdImage1->setCursor(plat::HandPointCursor());
  layout->addWidget(AdImage1, 0, Qt::AlignVCenter);
  layout->addStretch(1);
  return Panel2;
}

QWidget* TTransferForm::CreateQueuePanel() {
  // Under the log, shown while the queue has files to list: the totals and
  // the commands above, a row per file below.
  QueuePanel = Named(new QWidget, "QueuePanel");
  QueuePanel->setFixedHeight(120);
  QueuePanel->hide();
  auto* column = new QVBoxLayout(QueuePanel);
  column->setContentsMargins(0, 2, 0, 0);
  column->setSpacing(2);
  auto* top = new QHBoxLayout;
  QueueTotalsLabel = Named(new QLabel(QueuePanel), "QueueTotalsLabel");
  top->addWidget(QueueTotalsLabel, 1);
  RemoveQueueBut = Named(new QPushButton("Remove", QueuePanel), "RemoveQueueBut");
  RetryFailedBut = Named(new QPushButton("Retry failed", QueuePanel), "RetryFailedBut");
  ClearFinishedBut = Named(new QPushButton("Clear finished", QueuePanel), "ClearFinishedBut");
  for (QPushButton* b : {RemoveQueueBut, RetryFailedBut, ClearFinishedBut}) top->addWidget(b);
  column->addLayout(top);
  QueueListView = Named(new TQueueView(QueuePanel), "QueueListView");
  QueueListView->Model()->RowCount = [this] { return Controller != nullptr ? Controller->QueueRows() : 0; };
  QueueListView->Model()->RowAt = [this](std::size_t i) { return Controller->QueueRow(i); };
  column->addWidget(QueueListView, 1);
  connect(RemoveQueueBut, &QPushButton::clicked, this,
          [this] { plat::RunGuarded([this] { Controller->QueueRemove(QueueListView->SelectedRows()); }); });
  connect(RetryFailedBut, &QPushButton::clicked, this, [this] { plat::RunGuarded([this] { Controller->QueueRetryFailed(); }); });
  connect(ClearFinishedBut, &QPushButton::clicked, this,
          [this] { plat::RunGuarded([this] { Controller->QueueClearFinished(); }); });
  return QueuePanel;
}

void TTransferForm::CreateMenu() {
  File1 = Named(menuBar()->addMenu(QStringLiteral("File")), "File1");
  Exit1 = Named(File1->addAction(QStringLiteral("Exit")), "Exit1");
  connect(Exit1, &QAction::triggered, this, plat::Guarded([this] { Exit1Click(); }));
  Help1 = Named(menuBar()->addMenu(QStringLiteral("Help")), "Help1");
  About1 = Named(Help1->addAction(QStringLiteral("About")), "About1");
  connect(About1, &QAction::triggered, this, plat::Guarded([this] { About1Click(); }));
}

void TTransferForm::ConfigureLocalDirTree() {
  LocalDirTree->SetReadOnStart(true);
  LocalDirTree->SetDirTypes({dtNormal, dtAll});
  LocalDirTree->SetGoBelowRecycleBin(false);
  LocalDirTree->SetFastLoad(false);
  LocalDirTree->SetDriveTypes({drtUnknown, drtRemovable, drtFixed, drtRemote, drtCDRom, drtRamDisk});
  LocalDirTree->SetShowShareOverlay(false);
  LocalDirTree->SetAcceptDropFiles(false);
  LocalDirTree->SetHideSelection(false);
  // The controller selects the profile's folder at connect; until then the
  // user's home folder.
  LocalDirTree->SetInitialDirectory(plat::TheDrives().HomeFolder());
}

int TTransferForm::RadioGroup1ItemIndex() const { return RadioGroup1->ItemIndex(); }

void TTransferForm::SetRadioGroup1ItemIndex(int index) { RadioGroup1->SetItemIndex(index); }

// ---------------------------------------------------------------------------
// Creation and showing

void TTransferForm::FormCreate() {
  LoadSystemImageLists();
  TreeImageList = plat::SmallImages();
  RemoteTreeView->SetImages(TreeImageList);
  SetupListViews();
  SetRadioGroup1ItemIndex(0);
  bool fresh = false;
  TempDir = transfer::PrivateTempDir(&fresh);
  if (fresh) freshTempDir_ = TempDir;
}

void TTransferForm::LoadSystemImageLists() {
  // Shared, never owned: no icon is loaded per row, and the window destroys
  // nothing of them.
  ImageListLarge = &plat::ImageList::Shared();
  ImageListSmall = &plat::ImageList::Shared();
}

void TTransferForm::SetupListViews() {
  for (TFileListView* list : {RemoteListView, LocalListView}) {
    list->setFont(ListFont());
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  }
}

void TTransferForm::FormShow() { LocalListView->viewport()->update(); }

void TTransferForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  FormShow();
}

void TTransferForm::AppendSlash(const std::string& Path, std::string& Result) {
  Result = Path;
  if (!Result.empty() && Result.back() != '/') Result += '/';
}

// ---------------------------------------------------------------------------
// The listing file

void TTransferForm::ReadListingFile(QTreeWidgetItem* node) {
  std::vector<std::string> lines;
  try {
    if (!transfer::LoadListingFile(ListingFileName(), lines)) return;
  } catch (const std::exception& error) {
    // Read from the tree's change handler: an exception must not cross the
    // event loop. The views stay as they are, as for a missing file, and
    // the log says why.
    Memo1->AddLine(std::string("! ") + error.what());
    return;
  }
  RemoteListView->BeginUpdate();
  RemoteTreeView->BeginUpdate();
  const bool mlsd = FtpClient != nullptr && FtpClient->ListsMachineReadable();
  for (const std::string& line : lines) {
    if (mlsd) {
      transfer::ParseMlsdEntry(line, ListingEntry);
    } else {
      if (line.size() < 20) continue;
      ParseDirEntry(line);
    }
    AddListingEntry(node);
  }
  RemoteTreeView->EndUpdate();
  RemoteListView->EndUpdate();
}

void TTransferForm::ParseDirEntry(const std::string& line) { transfer::ParseDirEntry(line, ListingEntry); }

void TTransferForm::AddListingEntry(QTreeWidgetItem* node) {
  // A line too short for its fields leaves an empty name: no entry.
  if (ListingEntry.Name.empty() || !transfer::IsListedEntry(ListingEntry)) return;
  if (ListingEntry.IsDir) {
    RemoteTreeView->AddChildNode(node, ListingEntry.Name);
    return;
  }
  TListRow row;
  row.Caption = ListingEntry.Name;
  row.Size = ListingEntry.Size;
  // An exact time is shown as the local list shows its files' times.
  row.Date = ListingEntry.ModifyUtc >= 0 ? LocalTimeText(ListingEntry.ModifyUtc) : ListingEntry.Date;
  row.ModifyUtc = ListingEntry.ModifyUtc;
  row.SizeBytes = ListingEntry.SizeBytes;
  row.ImageIndex = FileIconIndex(ListingEntry.Name);
  RemoteListView->AddRow(std::move(row));
}

// ---------------------------------------------------------------------------
// Commands (the tool bar and menu actions are added with drag and drop)

void TTransferForm::About1Click() {
  if (AboutForm != nullptr) AboutForm->exec();
}
