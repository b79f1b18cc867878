// TDirTree and the world outside it: mounts and unmounts from a mount table
// the test writes, files dropped on it, the user-share overlay, re-creation.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include <QDropEvent>
#include <QEventLoop>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

#include "dirtree/dirtree.h"
#include "platform/qt/image_list.h"
#include "platform/user_shares.h"
#include "tests/dirtree/gui_app.h"

namespace {

namespace fs = std::filesystem;

// The machine's drives service over the test's mount table; volumes as the test says.
class TableDrives : public plat::Drives {
 public:
  using plat::Drives::Drives;
  std::map<std::string, std::pair<std::string, std::int32_t>> volumes;   // label, serial
  std::string cwd;

  bool VolumeInformation(const std::string& root, std::string& label, std::int32_t& serial) override {
    const auto it = volumes.find(root);
    label = it == volumes.end() ? "" : it->second.first;
    serial = it == volumes.end() ? 1 : it->second.second;
    return true;
  }
  std::string CurrentFolder() override { return cwd; }
};

std::vector<std::string> DriveKeys(TDirTree& tree) {
  std::vector<std::string> keys;
  for (int i = 0; i < tree.topLevelItemCount(); ++i) keys.push_back(TDirTree::Entry(tree.topLevelItem(i))->Path);
  return keys;
}

class DirTreeDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    std::string pattern = fs::temp_directory_path().string() + "/vek-desktop-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern + "/";
    for (const char* m : {"a", "b", "c", "d"}) {
      mounts_.push_back(base_ + m + "/");
      fs::create_directories(mounts_.back() + "sub/inner");
      fs::create_directories(mounts_.back() + "other");
    }
    drives_ = std::make_unique<TableDrives>(base_ + "mountinfo");
    drives_->cwd = mounts_[0];
    plat::SetDrives(drives_.get());
  }
  void TearDown() override {
    tree_.reset();
    plat::SetDrives(nullptr);
    plat::SetUserShares(nullptr);
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  // Replaced by a rename, as mount tables are written.
  void WriteTable(const std::vector<int>& which) {
    std::ofstream out(base_ + "mountinfo.new");
    int id = 40;
    for (int i : which)
      out << id++ << " 1 0:99 / " << plat::RemoveSlash(mounts_[i]) << " rw,relatime shared:1 - ext4 /dev/vdz rw\n";
    out.close();
    fs::rename(base_ + "mountinfo.new", base_ + "mountinfo");
  }
  TDirTree& Tree() {
    tree_ = std::make_unique<TDirTree>();
    tree_->resize(300, 400);
    tree_->show();
    return *tree_;
  }
  // Runs the event loop until the tree reports a change, then lets anything
  // else that is pending through, so that a second report would be seen.
  void AwaitChange() {
    QEventLoop loop;
    const TTVChangedEvent record = tree_->OnChange;
    tree_->OnChange = [&](TDirTree* t, TTreeNode* n) {
      record(t, n);
      loop.quit();
    };
    loop.exec();
    tree_->OnChange = record;
    QCoreApplication::processEvents();
  }
  // A drag that enters the tree and ends there, as the desktop delivers it
  // (Qt hands the drop to the widget that accepted the entry).
  void Drop(const QPoint& at, const std::vector<std::string>& urls, Qt::KeyboardModifiers keys = Qt::NoModifier) {
    QMimeData data;
    QList<QUrl> list;
    for (const std::string& u : urls) list << QUrl(QString::fromStdString(u));
    data.setUrls(list);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, keys);
    QCoreApplication::sendEvent(tree_->viewport(), &enter);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, keys);
    QCoreApplication::sendEvent(tree_->viewport(), &drop);
  }

  std::string base_;
  std::vector<std::string> mounts_;
  std::unique_ptr<TableDrives> drives_;
  std::unique_ptr<TDirTree> tree_;
};

TEST_F(DirTreeDesktopTest, MountTableChangesReachTheTreeWithOneNotificationEach) {
  const std::string &a = mounts_[0], &b = mounts_[1], &c = mounts_[2], &d = mounts_[3];
  WriteTable({0, 2, 3});
  TDirTree& tree = Tree();
  ASSERT_EQ(DriveKeys(tree), (std::vector<std::string>{a, c, d}));
  tree.SelectPath(d + "sub");
  std::vector<std::string> changes;
  tree.OnChange = [&](TDirTree* t, TTreeNode*) { changes.push_back(t->SelectedPath()); };

  // A mount between two shown ones: its node goes between theirs.
  WriteTable({0, 1, 2, 3});
  AwaitChange();
  EXPECT_EQ(DriveKeys(tree), (std::vector<std::string>{a, b, c, d}));
  TTreeNode* added = tree.topLevelItem(1);
  EXPECT_EQ(added->text(0).toStdString(), " (" + plat::RemoveSlash(b) + ")");
  EXPECT_EQ(added->childCount(), 1);   // probed: it has sub-folders
  EXPECT_EQ(changes, std::vector<std::string>{d + "sub/"});

  // The selected one unmounted: its node goes, and the new selection is told once.
  changes.clear();
  WriteTable({0, 1, 2});
  AwaitChange();
  EXPECT_EQ(DriveKeys(tree), (std::vector<std::string>{a, b, c}));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0], tree.SelectedPath());
  EXPECT_EQ(tree.FindNode(d + "sub/"), nullptr);

  // Nothing changed: still exactly one notification, of the selection as it is.
  tree.SelectPath(a + "sub");
  tree.FindNode(c)->setExpanded(true);
  changes.clear();
  WriteTable({0, 1, 2});
  AwaitChange();
  EXPECT_EQ(changes, std::vector<std::string>{a + "sub/"});
  EXPECT_TRUE(TDirTree::Entry(tree.FindNode(c))->Read);

  // The same mounts, but another file system at c: that drive is read afresh.
  drives_->volumes[c] = {"NEWDISK", 7};
  changes.clear();
  WriteTable({0, 1, 2});
  AwaitChange();
  EXPECT_EQ(changes, std::vector<std::string>{a + "sub/"});
  TTreeNode* cNode = tree.FindNode(c);
  EXPECT_EQ(cNode->text(0).toStdString(), "NEWDISK (" + plat::RemoveSlash(c) + ")");
  EXPECT_EQ(tree.DriveSerial(c), 7);
  EXPECT_FALSE(TDirTree::Entry(cNode)->Read);
  EXPECT_EQ(cNode->childCount(), 1);
}

TEST_F(DirTreeDesktopTest, DroppedFilesAreReportedWithTheFolderDroppedOnAcrossReCreation) {
  WriteTable({0, 2});
  TDirTree& tree = Tree();
  tree.SetAcceptDropFiles(true);
  tree.SelectPath(mounts_[0] + "sub");
  struct Dropped {
    QPoint at;
    std::string dir;
    std::vector<std::string> files;
    TShiftState shift;
  };
  std::vector<Dropped> drops;
  tree.OnDropFiles = [&](TDirTree*, int x, int y, const std::string& dir, const std::vector<std::string>& files,
                         TShiftState shift) { drops.push_back({QPoint(x, y), dir, files, shift}); };
  const std::vector<std::string> files = {base_ + "one.txt", base_ + "two words.bin", base_ + "drei"};
  const QPoint onSub = tree.visualItemRect(tree.Selected()).center();
  // Addresses that are no local file are not passed on.
  Drop(onSub, {"file://" + files[0], "https://example.org/x", "file://" + files[1], "file://" + files[2]},
       Qt::ShiftModifier | Qt::ControlModifier);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_EQ(drops[0].at, onSub);
  EXPECT_EQ(drops[0].dir, mounts_[0] + "sub/");
  EXPECT_EQ(drops[0].files, files);
  EXPECT_EQ(drops[0].shift, (TShiftState{ssShift, ssCtrl}));
  EXPECT_EQ(tree.DropFiles(), files);

  // Empty space below the last node: nothing, neither while dragging nor on the drop.
  const QPoint below(5, tree.viewport()->height() - 2);
  ASSERT_EQ(tree.itemAt(below), nullptr);
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(files[0]))});
  QDragEnterEvent enter(below, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(tree.viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDragMoveEvent overNothing(below, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(tree.viewport(), &overNothing);
  EXPECT_FALSE(overNothing.isAccepted());
  QDragMoveEvent overNode(onSub, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(tree.viewport(), &overNode);
  EXPECT_TRUE(overNode.isAccepted());
  Drop(below, {"file://" + files[0]});
  EXPECT_EQ(drops.size(), 1u);

  // Re-created: the same folder selected, drops still taken, on the new nodes.
  tree.RecreateWnd();
  EXPECT_EQ(tree.SelectedPath(), mounts_[0] + "sub/");
  EXPECT_TRUE(tree.viewport()->acceptDrops());
  Drop(tree.visualItemRect(tree.Selected()).center(), {"file://" + files[2]});
  ASSERT_EQ(drops.size(), 2u);
  EXPECT_EQ(drops[1].dir, mounts_[0] + "sub/");
  EXPECT_EQ(drops[1].files, std::vector<std::string>{files[2]});
  EXPECT_EQ(drops[1].shift, TShiftState{});

  tree.SetAcceptDropFiles(false);
  EXPECT_FALSE(tree.viewport()->acceptDrops());
  Drop(tree.visualItemRect(tree.Selected()).center(), {"file://" + files[2]});
  EXPECT_EQ(drops.size(), 2u);
}

TEST_F(DirTreeDesktopTest, ShareOverlayMarksUserSharesAndGoesAtOnce) {
  const std::string& a = mounts_[0];
  const std::string shareFolder = base_ + "usershares/";
  fs::create_directories(shareFolder);
  std::ofstream(shareFolder + "sub") << "#VERSION 2\npath=" << plat::RemoveSlash(a + "sub")
                                     << "\ncomment=\nusershare_acl=S-1-1-0:F,\nguest_ok=n\nsharename=Sub\n";
  // Not a share, and reading it would wait for a writer forever.
  ASSERT_EQ(::mkfifo((shareFolder + "pipe").c_str(), 0600), 0);
  plat::UserShares shares(shareFolder);
  plat::SetUserShares(&shares);
  WriteTable({0, 2});
  TDirTree& tree = Tree();
  tree.FindNode(a)->setExpanded(true);
  TTreeNode* sub = tree.FindNode(a + "sub/");
  TTreeNode* other = tree.FindNode(a + "other/");
  EXPECT_EQ(TDirTree::OverlayIndex(sub), -1);   // off at construction

  tree.SetShowShareOverlay(true);
  EXPECT_EQ(TDirTree::OverlayIndex(sub), plat::ImageList::kSharedOverlay);
  EXPECT_EQ(TDirTree::OverlayIndex(other), -1);
  EXPECT_EQ(TDirTree::OverlayIndex(tree.FindNode(a)), -1);
  EXPECT_NE(sub->icon(0).cacheKey(), other->icon(0).cacheKey());   // the overlay is drawn

  // A share made meanwhile, named through a link: nodes made from now on see it.
  fs::create_directory_symlink(a + "sub/inner", base_ + "link");
  std::ofstream(shareFolder + "inner") << "#VERSION 2\npath=" << base_ << "link\nsharename=Inner\n";
  sub->setExpanded(true);
  TTreeNode* inner = tree.FindNode(a + "sub/inner/");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(TDirTree::OverlayIndex(inner), plat::ImageList::kSharedOverlay);

  tree.SetShowShareOverlay(false);
  for (TTreeNode* node : {sub, inner, other}) EXPECT_EQ(TDirTree::OverlayIndex(node), -1);
  EXPECT_EQ(sub->icon(0).cacheKey(), other->icon(0).cacheKey());
  // A node made while off is not marked.
  tree.RefreshNode(sub);
  sub->setExpanded(true);
  EXPECT_EQ(TDirTree::OverlayIndex(tree.FindNode(a + "sub/inner/")), -1);
}

}  // namespace
