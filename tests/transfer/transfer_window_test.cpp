// The transfer window as built: its controls, the listing file read into the
// remote views, the order of rows and nodes, and the about window.
#include "transfer/transferunit.h"

#include <stdlib.h>

#include <QAction>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "controls/log_memo.h"
#include "controls/radio_group.h"
#include "controls/status_bar.h"
#include "controls/urllabel.h"
#include "dirtree/dirtree.h"
#include "tests/dirtree/gui_app.h"
#include "tests/support/temp_folder.h"
#include "platform/qt/image_list.h"
#include "transfer/about.h"
#include "transfer/file_icons.h"
#include "transfer/file_list_view.h"
#include "transfer/remote_tree_view.h"

using namespace std::string_literals;
using testsupport::TempFolder;
using testsupport::WriteFile;

namespace {

class TransferWindowTest : public ::testing::Test {
 protected:
  TransferWindowTest() {
    GuiApp();
    // The window's own folder goes under a runtime folder of the test.
    ::chmod(runtime_.Path().c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
    form_ = std::make_unique<TTransferForm>();
    form_->TempDir = listing_.Path() + "/";
    root_ = new QTreeWidgetItem(form_->RemoteTreeView, QStringList{"ftp.example.com"});
  }

  void Listing(const std::string& text) { WriteFile(form_->ListingFileName(), text); }

  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (int i = 0; i < form_->RemoteListView->Count(); ++i) rows.push_back(form_->RemoteListView->Row(i).Caption);
    return rows;
  }
  static std::vector<std::string> Children(QTreeWidgetItem* node) {
    std::vector<std::string> names;
    for (int i = 0; i < node->childCount(); ++i) names.push_back(TRemoteTreeView::NodeName(node->child(i)));
    return names;
  }
  static QTreeWidgetItem* Child(QTreeWidgetItem* node, const std::string& name) {
    for (int i = 0; i < node->childCount(); ++i)
      if (TRemoteTreeView::NodeName(node->child(i)) == name) return node->child(i);
    return nullptr;
  }

  TempFolder runtime_;
  TempFolder listing_;
  std::unique_ptr<TTransferForm> form_;
  QTreeWidgetItem* root_ = nullptr;
};

TListRow FileRow(const std::string& caption) {
  TListRow row;
  row.Caption = caption;
  row.Size = "1";
  row.Date = "Jan 1 2000";
  return row;
}

template <typename W>
W* Find(QObject* in, const char* name) {
  W* found = in->findChild<W*>(QString::fromLatin1(name));
  EXPECT_NE(found, nullptr) << name;
  return found;
}

}  // namespace

TEST_F(TransferWindowTest, ControlsHaveTheirNamesCaptionsSizesAndInitialStates) {
  TTransferForm& f = *form_;
  f.show();
  EXPECT_EQ(f.windowTitle(), "Transfer Files");
  EXPECT_EQ(f.size(), QSize(939, 676));
  EXPECT_EQ(f.font().pixelSize(), 12);

  // The command bar: highlight coloured, the six buttons top to bottom.
  EXPECT_EQ(Find<QFrame>(&f, "Panel1"), f.Panel1);
  EXPECT_EQ(f.Panel1->width(), 76);
  EXPECT_EQ(f.Panel1->palette().color(QPalette::Window), f.palette().color(QPalette::Highlight));
  const struct {
    QToolButton* button;
    const char* name;
    const char* caption;
    const char* hint;
  } buttons[] = {{f.SpeedButton2, "SpeedButton2", "Vek\u00b4s", "About Vek"},
                 {f.SpeedButton4, "SpeedButton4", "Upload", ""},
                 {f.SpeedButton3, "SpeedButton3", "Download", ""},
                 {f.SpeedButton6, "SpeedButton6", "New", "New Connection"},
                 {f.SpeedButton1, "SpeedButton1", "Abort", "Abort transfer"},
                 {f.SpeedButton5, "SpeedButton5", "Exit", ""}};
  int above = 0;
  for (const auto& b : buttons) {
    SCOPED_TRACE(b.name);
    EXPECT_EQ(Find<QToolButton>(&f, b.name), b.button);
    EXPECT_EQ(b.button->text().toStdString(), b.caption);
    EXPECT_EQ(b.button->toolTip().toStdString(), b.hint);
    EXPECT_FALSE(b.button->icon().isNull());
    EXPECT_TRUE(b.button->font().bold());
    EXPECT_EQ(b.button->palette().color(QPalette::ButtonText), QColor(255, 255, 0));
    EXPECT_GT(b.button->y(), above);
    above = b.button->y();
  }
  EXPECT_FALSE(f.Image2->pixmap().isNull());
  EXPECT_FALSE(f.Image1->pixmap().isNull());

  // The panes: the remote one 248 high, the trees' columns 185 wide.
  EXPECT_EQ(f.Panel15->height(), 248);
  EXPECT_EQ(f.Panel14->width(), 185);
  EXPECT_EQ(f.Panel18->width(), 185);
  for (QSplitter* s : {f.Splitter1, f.Splitter2, f.Splitter3}) EXPECT_EQ(s->handleWidth(), 3);
  EXPECT_EQ(f.Label1->text(), "Remote");
  EXPECT_EQ(f.Label2->text(), "Local");
  for (QLabel* title : {f.Label1, f.Label2}) {
    EXPECT_EQ(title->font().pixelSize(), 21);
    EXPECT_TRUE(title->font().bold() && title->font().italic());
    EXPECT_EQ(title->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  }
  for (TFileListView* list : {f.RemoteListView, f.LocalListView}) {
    EXPECT_EQ(list->ColumnWidth(0), 350);
    EXPECT_EQ(list->ColumnWidth(1), 130);
    EXPECT_EQ(list->ColumnWidth(2), 140);
    EXPECT_EQ(list->model()->headerData(2, Qt::Horizontal).toString(), "Modified");
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_TRUE(list->dragEnabled());
    EXPECT_EQ(list->font().pixelSize(), 12);
  }
  EXPECT_EQ(f.RemoteTreeView->indentation(), 19);
  EXPECT_EQ(f.RemoteTreeView->topLevelItemCount(), 1);  // only the test's root
  EXPECT_FALSE(f.LocalDirTree->AcceptDropFiles());
  EXPECT_FALSE(f.LocalDirTree->HideSelection());
  EXPECT_EQ(f.LocalDirTree->DirTypes(), TDirTypes({dtNormal, dtAll}));

  // The bottom strip, the progress and status bars.
  EXPECT_EQ(f.Panel2->height(), 74);
  EXPECT_EQ(f.Memo1->width(), 464);
  EXPECT_EQ(f.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(f.AdImage1->size(), QSize(468, 60));
  EXPECT_EQ(f.AdImage1->cursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(f.ProgressBar1->height(), 20);
  EXPECT_EQ(f.ProgressBar1->minimum(), 0);
  EXPECT_EQ(f.ProgressBar1->maximum(), 100);
  ASSERT_EQ(f.StatusBar1->PanelCount(), 4);  // status, text, rate, encryption
  EXPECT_EQ(f.StatusBar1->PanelText(0), "Status:");
  EXPECT_EQ(f.StatusBar1->PanelWidth(0), 100);
  EXPECT_EQ(f.StatusBar1->Panel(0)->width(), 100);
  f.StatusBar1->SetPanelText(1, "Downloading : a very long file name.tar.gz");
  EXPECT_EQ(f.StatusBar1->PanelText(1), "Downloading : a very long file name.tar.gz");
  f.StatusBar1->SetPanelText(7, "nowhere");
  EXPECT_EQ(f.StatusBar1->PanelText(7), "");

  // The menu.
  EXPECT_EQ(f.File1->title(), "File");
  EXPECT_EQ(f.Exit1->text(), "Exit");
  EXPECT_EQ(f.Help1->title(), "Help");
  EXPECT_EQ(f.About1->text(), "About");
  EXPECT_EQ(f.findChild<QAction*>("About1"), f.About1);

  // Binary chosen, and the group lies under the main area out of reach.
  EXPECT_EQ(f.RadioGroup1ItemIndex(), 0);
  EXPECT_EQ(f.RadioGroup1->title(), "RadioGroup1");
  EXPECT_EQ(f.RadioGroup1->Item(1), "Text");
  EXPECT_EQ(f.RadioGroup1->geometry(), QRect(384, 248, 81, 88));
  QWidget* form = f.centralWidget();
  QWidget* hit = form->childAt(384 + 40, 248 + 44);
  ASSERT_NE(hit, nullptr);
  EXPECT_FALSE(hit == f.RadioGroup1 || f.RadioGroup1->isAncestorOf(hit));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(f.RadioGroup1->Button(i)->focusPolicy(), Qt::NoFocus);
  f.SetRadioGroup1ItemIndex(1);
  EXPECT_EQ(f.RadioGroup1ItemIndex(), 1);
  f.SetRadioGroup1ItemIndex(-1);
  EXPECT_EQ(f.RadioGroup1ItemIndex(), -1);
}

TEST_F(TransferWindowTest, TempDirIsAPrivateFolderOfTheUser) {
  TTransferForm own;
  EXPECT_EQ(own.TempDir, runtime_.Path() + "/vekftp/");
  EXPECT_EQ(testsupport::Mode(own.TempDir), 0700u);
  // A runtime folder others can enter is not used: a fresh folder of this
  // run instead, gone with the window.
  ::chmod(runtime_.Path().c_str(), 0755);
  std::string fresh;
  {
    TTransferForm shared;
    fresh = shared.TempDir;
    EXPECT_NE(fresh.rfind(runtime_.Path(), 0), 0u);
    EXPECT_EQ(fresh.back(), '/');
    EXPECT_EQ(testsupport::Mode(fresh), 0700u);
    WriteFile(shared.ListingFileName(), "total 0\r\n");
  }
  EXPECT_FALSE(testsupport::Exists(fresh));
  EXPECT_TRUE(testsupport::Exists(runtime_.Path() + "/vekftp/"));
}

TEST(TransferWindow, AppendSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"/home/data", "/home/data/"}, {"/home/data/", "/home/data/"}, {"", ""}, {"/", "/"}, {"a\\", "a\\/"}};
  for (const auto& [path, expected] : cases) {
    std::string result = "stale";
    TTransferForm::AppendSlash(path, result);
    EXPECT_EQ(result, expected) << path;
  }
}

TEST_F(TransferWindowTest, ListingLinesBecomeRowsAndNodes) {
  Listing(
      "total 24\r\n"
      "drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 pub\r\n"
      "-rw-r--r--   1 ftp      ftp       123456 Dec 24  1999 read me.txt\r\n"
      "lrwxrwxrwx   1 root     root           7 Mar  1 10:00 bin -> usr/bin\r\n"
      "lrwxrwxrwx   1 root     root          11 Mar  1 10:00 lib -> usr/lib.so\n"
      "lrwxrwxrwx   1 root     root           4 Mar  1 10:00 a -> b\r"
      "Drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 Pub\r\n"
      "\r\n"
      "drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 .\r\n"
      "drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 ..\r\n"
      "-rw-r--r--   1 ftp      ftp           10 Jan  5 12:30 spaces  \r\n"
      "drwxr-xr-x   2 ftp      ftp          512 Jan  5\r\n"   // too few fields
      "- 1 a b 0 J 1 2 xyz\r\n"                               // 19 characters
      "-rw-r--r--   1 ftp      ftp            5 Feb  2  2002 after-nul\0"
      "-rw-r--r--   1 ftp      ftp            5 Feb  2  2002 hidden\r\n"s);
  form_->ReadListingFile(root_);

  EXPECT_EQ(Children(root_), (std::vector<std::string>{"a", "bin", "pub", "Pub"}));
  ASSERT_EQ(form_->TreeImageList.size(), 6u);
  const QIcon& folder = root_->child(0)->icon(0);
  EXPECT_EQ(folder.pixmap(16, QIcon::Normal).toImage(), form_->TreeImageList[0].toImage());
  EXPECT_EQ(folder.pixmap(16, QIcon::Selected).toImage(), form_->TreeImageList[1].toImage());
  EXPECT_EQ(Rows(), (std::vector<std::string>{"after-nul", "lib -> usr/lib.so", "read me.txt", "spaces  "}));
  const TListRow& readMe = form_->RemoteListView->Row(2);
  EXPECT_EQ(readMe.Size, "123456");
  EXPECT_EQ(readMe.SizeBytes, 123456);
  EXPECT_EQ(readMe.Date, "Dec 24 1999");
  EXPECT_GE(readMe.ImageIndex, 0);
  const QAbstractItemModel* model = form_->RemoteListView->model();
  EXPECT_EQ(model->data(model->index(2, 0)).toString(), "read me.txt");
  EXPECT_EQ(model->data(model->index(2, 1)).toString(), "123456");
  EXPECT_EQ(model->data(model->index(2, 2)).toString(), "Dec 24 1999");
  EXPECT_EQ(form_->ListingEntry.Name, "after-nul") << "the last line parsed stays; a NUL ends the text";

  // The same directory listed again: no second pub, and an existing node
  // keeps what was found below it.
  QTreeWidgetItem* pub = Child(root_, "pub");
  ASSERT_NE(pub, nullptr);
  form_->RemoteTreeView->AddChildNode(pub, "linux");
  form_->RemoteListView->Clear();
  Listing("drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 pub\n"
          "drwxr-xr-x   2 ftp      ftp          512 Jan  5 12:30 incoming\n");
  form_->ReadListingFile(root_);
  EXPECT_EQ(Children(root_), (std::vector<std::string>{"a", "bin", "incoming", "pub", "Pub"}));
  EXPECT_EQ(Child(root_, "pub"), pub);
  EXPECT_EQ(Children(pub), std::vector<std::string>{"linux"});
  EXPECT_TRUE(Rows().empty());

  // A listing that is not there changes nothing.
  ::unlink(form_->ListingFileName().c_str());
  form_->RemoteListView->AddRow(FileRow("kept"));
  form_->ReadListingFile(root_);
  EXPECT_EQ(Rows(), std::vector<std::string>{"kept"});
  EXPECT_EQ(root_->childCount(), 5);

  // One that cannot be read neither: it is said in the log.
  std::filesystem::create_directory(form_->ListingFileName());
  form_->ReadListingFile(root_);
  EXPECT_EQ(Rows(), std::vector<std::string>{"kept"});
  form_->Memo1->Flush();
  EXPECT_TRUE(form_->Memo1->toPlainText().startsWith("! ")) << form_->Memo1->toPlainText().toStdString();
  std::filesystem::remove(form_->ListingFileName());

  // Only short lines: nothing at all.
  form_->RemoteListView->Clear();
  Listing("total 0\r\nshort line\r\n1234567890123456789\r\n");
  form_->ReadListingFile(root_);
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(root_->childCount(), 5);
}

TEST_F(TransferWindowTest, WindowsServerListingGivesRowsAndNodes) {
  Listing(
      "12-08-26  11:21AM       <DIR>          pub\r\n"
      "01-31-2026  21:05       <DIR>          My Documents\r\n"
      "12-08-26  11:21AM              1048576 random 1MiB.bin\r\n"
      "-rw-r--r--   1 ftp      ftp          512 Jan  5 12:30 unix.txt\r\n");
  form_->ReadListingFile(root_);
  EXPECT_EQ(Children(root_), (std::vector<std::string>{"My Documents", "pub"}));
  ASSERT_EQ(Rows(), (std::vector<std::string>{"random 1MiB.bin", "unix.txt"}));
  const TListRow& random = form_->RemoteListView->Row(0);
  EXPECT_EQ(random.Size, "1048576");
  EXPECT_EQ(random.SizeBytes, 1048576);
  EXPECT_EQ(random.Date, "12-08-26 11:21AM");
  EXPECT_EQ(form_->RemoteListView->Row(1).Date, "Jan 5 12:30");
}

TEST_F(TransferWindowTest, HostileNamesAreShownAsTextAndKeptExactly) {
  const std::string esc = "\x1b[31mred\x1b[0m";
  const std::string bell = "ring\a";
  const std::string bad = "latin1-\xe9t\xe9";
  const std::string reversed = "invoice\xe2\x80\xae" "fdp.exe";  // U+202E: shows as "invoiceexe.pdf"
  Listing("-rw-r--r-- 1 ftp ftp 5 Jan  5 12:30 " + esc + "\n" +
          "-rw-r--r-- 1 ftp ftp 5 Jan  5 12:30 <b>bold</b> & <img src=x>\n" +
          "-rw-r--r-- 1 ftp ftp 5 Jan  5 12:30 ../../etc/passwd\n" +
          "-rw-r--r-- 1 ftp ftp 5 Jan  5 12:30 " + bad + "\n" +
          "-rw-r--r-- 1 ftp ftp 5 Jan  5 12:30 " + reversed + "\n" +
          "drwxr-xr-x 2 ftp ftp 5 Jan  5 12:30 " + bell + "\n" +
          "drwxr-xr-x 2 ftp ftp 5 Jan  5 12:30 ../../up\n" +
          "drwxr-xr-x 2 ftp ftp 5 Jan  5 12:30 tab\there\n");
  form_->ReadListingFile(root_);

  std::vector<std::string> rows = Rows();
  std::sort(rows.begin(), rows.end());
  std::vector<std::string> expected = {esc, "<b>bold</b> & <img src=x>", "../../etc/passwd", bad, reversed};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(rows, expected);
  std::vector<std::string> nodes = Children(root_);
  std::sort(nodes.begin(), nodes.end());
  EXPECT_EQ(nodes, (std::vector<std::string>{"../../up", bell, "tab\there"}));

  // What is shown holds no control character; markup stays literal text.
  const QAbstractItemModel* model = form_->RemoteListView->model();
  for (int i = 0; i < model->rowCount(); ++i) {
    const QString shown = model->data(model->index(i, 0)).toString();
    for (QChar c : shown) {
      EXPECT_GE(c.unicode(), 0x20) << shown.toStdString();
      EXPECT_NE(c.unicode(), 0x202e) << shown.toStdString();
    }
  }
  for (int i = 0; i < root_->childCount(); ++i)
    for (QChar c : root_->child(i)->text(0)) EXPECT_GE(c.unicode(), 0x20);
  // Bytes that are not UTF-8 show as escapes, so that two such names never
  // look alike; the letters around them stay.
  const std::pair<std::string, QString> shownAs[] = {
      {bad, "latin1-\\xE9t\\xE9"},
      {"Z\xc3\xbcrich", QString::fromUtf8("Zürich")},
      {"cut\xc3", "cut\\xC3"},
      {"surrogate\xed\xa0\x80", "surrogate\\xED\\xA0\\x80"},
      {"overlong\xc0\xaf", "overlong\\xC0\\xAF"},
  };
  for (const auto& [name, text] : shownAs) EXPECT_EQ(DisplayText(name), text) << name;
  // Reading the listing wrote nothing beside it.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(listing_.Path())) ++files;
  EXPECT_EQ(files, 1);
}

TEST_F(TransferWindowTest, RowsAndChildrenStaySortedHoweverTheyArrive) {
  // Case counts; the locale's order, not byte order, puts "b" before "C".
  const std::vector<std::string> names = {"zeta", "Alpha", "beta", "alpha", "Beta", "C", "b10", "b2", "_x"};
  TFileListView* list = form_->RemoteListView;
  list->BeginUpdate();
  for (std::size_t i = 0; i < names.size() / 2; ++i) list->AddRow(FileRow(names[i]));
  list->EndUpdate();
  for (std::size_t i = names.size() / 2; i < names.size(); ++i) list->AddRow(FileRow(names[i]));  // one by one
  std::vector<std::string> bulk;
  for (const std::string& n : names) {
    form_->RemoteTreeView->BeginUpdate();
    form_->RemoteTreeView->AddChildNode(root_, n);
    form_->RemoteTreeView->EndUpdate();
  }
  QTreeWidgetItem* other = new QTreeWidgetItem(form_->RemoteTreeView, QStringList{"other"});
  form_->RemoteTreeView->BeginUpdate();
  for (const std::string& n : names) form_->RemoteTreeView->AddChildNode(other, n);
  form_->RemoteTreeView->EndUpdate();

  std::vector<std::string> sorted = Rows();
  ASSERT_EQ(sorted.size(), names.size());
  for (std::size_t i = 1; i < sorted.size(); ++i)
    EXPECT_LT(CaptionOrder().Compare(sorted[i - 1], sorted[i]), 0) << sorted[i - 1] << " / " << sorted[i];
  auto at = [&sorted](const std::string& n) { return std::find(sorted.begin(), sorted.end(), n) - sorted.begin(); };
  EXPECT_LT(at("alpha"), at("beta"));
  EXPECT_LT(at("Alpha"), at("beta"));
  EXPECT_LT(at("b2"), at("C"));
  EXPECT_NE(at("alpha"), at("Alpha"));
  EXPECT_EQ(Children(root_), sorted);
  EXPECT_EQ(Children(other), sorted);

  // Selection is by shown row.
  list->SelectRow(at("zeta"), true);
  list->SelectRow(at("C"), true);
  EXPECT_EQ(list->SelectedRows(), (std::vector<int>{static_cast<int>(at("C")), static_cast<int>(at("zeta"))}));
  list->SelectRow(at("C"), false);
  EXPECT_EQ(list->SelectedRows(), std::vector<int>{static_cast<int>(at("zeta"))});
}

TEST_F(TransferWindowTest, SelectingANodeExpandsItAndFoldsTheBranchLeft) {
  TRemoteTreeView* tree = form_->RemoteTreeView;
  QTreeWidgetItem* pub = tree->AddChildNode(root_, "pub");
  QTreeWidgetItem* linux = tree->AddChildNode(pub, "linux");
  QTreeWidgetItem* kernel = tree->AddChildNode(linux, "kernel");
  tree->AddChildNode(kernel, "v6");
  QTreeWidgetItem* incoming = tree->AddChildNode(root_, "incoming");
  tree->AddChildNode(incoming, "new");
  form_->show();

  tree->setCurrentItem(root_);
  tree->setCurrentItem(pub);
  tree->setCurrentItem(linux);
  tree->setCurrentItem(kernel);
  EXPECT_TRUE(root_->isExpanded() && pub->isExpanded() && linux->isExpanded() && kernel->isExpanded());
  tree->setCurrentItem(incoming);
  EXPECT_TRUE(incoming->isExpanded());
  EXPECT_TRUE(root_->isExpanded()) << "the common ancestor stays open";
  EXPECT_FALSE(kernel->isExpanded() || linux->isExpanded() || pub->isExpanded());

  // Children that arrive later for the selected node show at once.
  QTreeWidgetItem* empty = tree->AddChildNode(incoming, "empty");
  tree->setCurrentItem(empty);
  tree->BeginUpdate();
  tree->AddChildNode(empty, "late");
  tree->EndUpdate();
  EXPECT_TRUE(empty->isExpanded());
  EXPECT_EQ(Children(empty), std::vector<std::string>{"late"});

  // Listing a node again keeps what is open below it, whether a few or
  // many children are new.
  tree->setCurrentItem(incoming);
  QTreeWidgetItem* fresh = incoming->child(0);  // "empty", open with "late"
  fresh->setExpanded(true);
  for (int batch : {3, 200}) {
    tree->BeginUpdate();
    for (int i = 0; i < batch; ++i) tree->AddChildNode(incoming, "n" + std::to_string(batch) + "-" + std::to_string(i));
    tree->EndUpdate();
    EXPECT_TRUE(fresh->isExpanded()) << batch;
    EXPECT_EQ(tree->currentItem(), incoming);
  }
  EXPECT_EQ(incoming->childCount(), 2 + 3 + 200);
  for (int i = 1; i < incoming->childCount(); ++i)
    EXPECT_LT(CaptionOrder().Compare(TRemoteTreeView::NodeName(incoming->child(i - 1)),
                                     TRemoteTreeView::NodeName(incoming->child(i))), 0);

  // A node removed while its children wait: they go with it.
  tree->BeginUpdate();
  tree->AddChildNode(kernel, "orphan");
  delete pub;
  tree->EndUpdate();
  EXPECT_EQ(Children(root_), std::vector<std::string>{"incoming"});
}

TEST_F(TransferWindowTest, AboutWindowShowsNameAndLinkAndClosesWithOkOrEscape) {
  TTransferForm& form = *form_;
  TAboutForm about;
  AboutForm = &about;
  EXPECT_EQ(about.windowTitle().toStdString(), "About Vek\u00b4s FTP Client");
  EXPECT_EQ(about.size(), QSize(313, 214));
  EXPECT_EQ(about.Bevel1->geometry(), QRect(8, 8, 297, 161));
  EXPECT_EQ(about.Image1->geometry(), QRect(90, 47, 132, 89));
  EXPECT_FALSE(about.Image1->pixmap().isNull());
  EXPECT_EQ(about.OKBtn->geometry(), QRect(122, 180, 75, 25));
  EXPECT_TRUE(about.OKBtn->isDefault());
  EXPECT_EQ(about.URLLabel1->Caption(), "www.vekftp.example.org");
  EXPECT_EQ(about.URLLabel1->LabelType(), hmHTTP);
  EXPECT_EQ(about.URLLabel1->FontColor(), QColor(0, 0, 255));
  EXPECT_TRUE(about.URLLabel1->Underlined());
  EXPECT_EQ(about.Label1->font().pixelSize(), 13);
  EXPECT_TRUE(about.Label1->font().bold());

  // Help, About: modal; OK ends it. Label1 is set again at every showing.
  about.Label1->setText("changed");
  bool sawModal = false;
  std::string shownText;
  QTimer::singleShot(0, &about, [&] {
    sawModal = about.isVisible() && QApplication::activeModalWidget() == &about;
    shownText = about.Label1->text().toStdString();
    about.OKBtn->click();
  });
  form.About1->trigger();
  EXPECT_TRUE(sawModal);
  EXPECT_EQ(shownText, "Vek\u00b4s FTP Client v. 1.0 Beta");
  EXPECT_FALSE(about.isVisible());
  EXPECT_EQ(about.result(), QDialog::Accepted);

  // Escape closes it as well; Enter presses OK.
  QTimer::singleShot(0, &about, [&] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&about, &escape);
  });
  EXPECT_EQ(about.exec(), QDialog::Rejected);
  QTimer::singleShot(0, &about, [&] {
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(&about, &enter);
  });
  EXPECT_EQ(about.exec(), QDialog::Accepted);
  EXPECT_FALSE(about.isVisible());
  AboutForm = nullptr;
}

TEST(TransferWindow, FileIconsGoByTheNameEnding) {
  GuiApp();
  const std::pair<const char*, const char*> cases[] = {
      {"read me.txt", ".txt"}, {"backup 1.tar.gz", ".tar.gz"}, {"a.TAR.GZ", ".GZ"}, {"README", ""},
      {".bashrc", ""},         {"x.", "."},                    {"name.with space", ""},
      {"long.abcdefghijklmnopq", ""}};
  for (const auto& [name, ending] : cases) EXPECT_EQ(FileEnding(name), ending) << name;
  EXPECT_EQ(FileIconIndex("one.pdf"), FileIconIndex("two.pdf"));
  EXPECT_EQ(FileIconIndex("one.pdf"), plat::ImageList::Shared().IndexOfFile("manual.pdf"));
  EXPECT_NE(FileIconIndex("one.pdf"), FileIconIndex("one.png"));
}
