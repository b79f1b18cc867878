// TDirTree over folder trees built in a temporary folder, presented to the
// tree as drives of their own.
#include "dirtree/dirtree.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

#include <QKeyEvent>

#include <gtest/gtest.h>

#include "tests/dirtree/gui_app.h"

namespace {

namespace fs = std::filesystem;
using plat::DriveKind;

// The drives the tree sees: folders of the test, with volumes it controls.
class FakeDrives : public plat::Drives {
 public:
  struct Volume {
    std::string label;
    std::int32_t serial;
  };
  std::vector<plat::MountEntry> drives;
  std::map<std::string, Volume> volumes;   // a drive missing here has no readable volume
  std::string cwd;

  void Add(const std::string& path, DriveKind kind) {
    drives.push_back(plat::MountEntry{path, "ext4", "/dev/test", 0, 0, false, kind});
    // In path order, as the machine's list is.
    std::sort(drives.begin(), drives.end(), [](auto& a, auto& b) { return a.path < b.path; });
  }
  std::vector<plat::MountEntry> List() override { return drives; }
  DriveKind Kind(const std::string& root) override {
    for (const auto& d : drives)
      if (d.path == root) return d.kind;
    return DriveKind::NoRoot;
  }
  bool VolumeInformation(const std::string& root, std::string& label, std::int32_t& serial) override {
    const auto it = volumes.find(root);
    if (it == volumes.end()) {
      label.clear();
      serial = -1;
      return false;
    }
    label = it->second.label;
    serial = it->second.serial;
    return true;
  }
  std::string CurrentFolder() override { return cwd; }
};

// Counts the enumerations per folder while giving the real entries.
struct CountingFind {
  std::map<std::string, int> starts;
  plat::FolderEnumerator find;

  void Install(TDirTree& tree) {
    tree.OnFindDir = [this](TDirTree*, const std::string& path, TDirRec& rec, int& result, bool first) {
      plat::FolderEntry e;
      bool ok;
      if (first) {
        ++starts[path];
        ok = find.First(path, e);
      } else {
        ok = find.Next(e);
      }
      result = ok ? 0 : 1;
      if (ok) {
        rec.Attr = e.attr;
        rec.Name = e.name;
      }
    };
  }
  int Total() const {
    int n = 0;
    for (const auto& [path, count] : starts) n += count;
    return n;
  }
};

std::vector<std::string> ChildTexts(TTreeNode* node) {
  std::vector<std::string> texts;
  for (int i = 0; i < node->childCount(); ++i) texts.push_back(node->child(i)->text(0).toStdString());
  return texts;
}

TTreeNode* Child(TTreeNode* node, const std::string& text) {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0).toStdString() == text) return node->child(i);
  return nullptr;
}

// An expand button: exactly one child, a dummy without entry.
bool HasDummyOnly(TTreeNode* node) {
  return node->childCount() == 1 && TDirTree::Entry(node->child(0)) == nullptr &&
         node->child(0)->text(0).isEmpty();
}

class DirTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    std::string pattern = fs::temp_directory_path().string() + "/vek-dirtree-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern + "/";
    root_ = base_ + "disk/";
    stick_ = base_ + "stick/";
    for (const char* dir : {"Alpha/One", "Alpha/Two/Deep", "beta", ".hidden/inner", "onlyhidden/.secret", "empty",
                            ".local/share/Trash/files/old", "Docs/x", "docs/y"})
      fs::create_directories(root_ + dir);
    std::ofstream(root_ + "file.txt") << "not a folder";
    std::ofstream(root_ + "Alpha/note.txt") << "not a folder";
    fs::create_directories(stick_ + "photos");
    drives_.Add(root_, DriveKind::Fixed);
    drives_.Add(stick_, DriveKind::Removable);
    drives_.volumes[root_] = {"TESTVOL", 1234};
    drives_.cwd = root_ + "Alpha/";
    plat::SetDrives(&drives_);
  }
  void TearDown() override {
    tree_.reset();
    plat::SetDrives(nullptr);
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  // A tree whose window is created (and drive level built) after `setup`.
  TDirTree& Tree(const std::function<void(TDirTree&)>& setup = nullptr) {
    tree_ = std::make_unique<TDirTree>();
    if (setup) setup(*tree_);
    tree_->show();
    return *tree_;
  }
  TTreeNode* DriveNode() { return tree_->topLevelItem(0); }

  FakeDrives drives_;
  std::string base_, root_, stick_;
  std::unique_ptr<TDirTree> tree_;
};

TEST_F(DirTreeTest, PropertiesAtConstruction) {
  TDirTree tree;
  EXPECT_TRUE(tree.ReadOnStart());
  EXPECT_EQ(tree.DirTypes(), (TDirTypes{dtNormal, dtAll}));
  EXPECT_FALSE(tree.GoBelowRecycleBin());
  EXPECT_FALSE(tree.FastLoad());
  EXPECT_EQ(tree.InitialDirectory(), root_ + "Alpha/");
  EXPECT_EQ(tree.DriveTypes(), (TDriveTypes{drtUnknown, drtRemovable, drtFixed, drtRemote, drtCDRom, drtRamDisk}));
  EXPECT_FALSE(tree.ShowShareOverlay());
  EXPECT_FALSE(tree.AcceptDropFiles());
  EXPECT_FALSE(tree.HideSelection());
  EXPECT_FALSE(tree.isSortingEnabled());
  EXPECT_EQ(tree.ChangeLock(), 0);
  // The current folder's drive remembers it; others their own root; serials unread.
  EXPECT_EQ(tree.LastDir(root_), root_ + "Alpha/");
  EXPECT_EQ(tree.LastDir(stick_), stick_);
  EXPECT_EQ(tree.DriveSerial(root_), 0);
  EXPECT_EQ(tree.topLevelItemCount(), 0);   // nothing read before the window exists
  EXPECT_EQ(tree.SelectedPath(), "?");
}

TEST_F(DirTreeTest, DriveLevelTextsSerialsAndProbes) {
  CountingFind count;
  TDirTree& tree = Tree([&](TDirTree& t) { count.Install(t); });
  ASSERT_EQ(tree.topLevelItemCount(), 2);
  EXPECT_EQ(DriveNode()->text(0).toStdString(), "TESTVOL (" + root_.substr(0, root_.size() - 1) + ")");
  EXPECT_EQ(tree.topLevelItem(1)->text(0).toStdString(), "(" + stick_.substr(0, stick_.size() - 1) + ")");
  EXPECT_EQ(tree.DriveSerial(root_), 1234);
  EXPECT_EQ(tree.DriveSerial(stick_), -1);
  // A readable volume without a label: a blank before the parenthesis.
  drives_.volumes[stick_] = {"", 77};
  EXPECT_EQ(tree.DriveLabel(stick_), " (" + stick_.substr(0, stick_.size() - 1) + ")");
  EXPECT_EQ(tree.DriveSerial(stick_), 77);
  drives_.volumes.erase(stick_);
  EXPECT_EQ(TDirTree::Entry(DriveNode())->Path, root_);
  EXPECT_FALSE(TDirTree::Entry(DriveNode())->Read);
  EXPECT_EQ(tree.DriveMask(), (std::vector<std::string>{root_, stick_}));
  // The fixed drive was probed; the removable one got its dummy unseen.
  EXPECT_EQ(count.starts, (std::map<std::string, int>{{root_, 1}}));
  EXPECT_TRUE(HasDummyOnly(DriveNode()));
  EXPECT_TRUE(HasDummyOnly(tree.topLevelItem(1)));
}

TEST_F(DirTreeTest, FastLoadAndDriveTypesFilterTheDriveLevel) {
  CountingFind count;
  TDirTree& tree = Tree([&](TDirTree& t) {
    count.Install(t);
    t.SetFastLoad(true);
  });
  EXPECT_EQ(count.Total(), 0);
  EXPECT_TRUE(HasDummyOnly(DriveNode()));
  tree.SetDriveTypes(TDriveTypes{drtRemovable});
  ASSERT_EQ(tree.topLevelItemCount(), 1);
  EXPECT_EQ(TDirTree::Entry(DriveNode())->Path, stick_);
}

TEST_F(DirTreeTest, ExpandingReadsOnceAndShowsButtonsOnlyWhereSubfoldersPass) {
  CountingFind count;
  TDirTree& tree = Tree([&](TDirTree& t) { count.Install(t); });
  DriveNode()->setExpanded(true);
  EXPECT_TRUE(TDirTree::Entry(DriveNode())->Read);
  // Sorted without regard to case; files are not folders.
  EXPECT_EQ(ChildTexts(DriveNode()),
            (std::vector<std::string>{".hidden", ".local", "Alpha", "beta", "Docs", "docs", "empty", "onlyhidden"}));
  EXPECT_TRUE(HasDummyOnly(Child(DriveNode(), "Alpha")));
  EXPECT_TRUE(HasDummyOnly(Child(DriveNode(), "onlyhidden")));   // dtAll counts hidden ones
  EXPECT_EQ(Child(DriveNode(), "beta")->childCount(), 0);
  EXPECT_EQ(Child(DriveNode(), "empty")->childCount(), 0);
  // One read of the drive, one probe per child, nothing more.
  EXPECT_EQ(count.starts[root_], 2);   // the drive-level probe and the read
  EXPECT_EQ(count.starts[root_ + "Alpha/"], 1);
  EXPECT_EQ(count.starts[root_ + "beta/"], 1);
  // Expanding again reads nothing but probes the children still without a
  // button: one that has gained a sub-folder meanwhile gets one.
  fs::create_directories(root_ + "beta/new");
  DriveNode()->setExpanded(false);
  DriveNode()->setExpanded(true);
  EXPECT_EQ(count.starts[root_], 2);
  EXPECT_EQ(count.starts[root_ + "Alpha/"], 1);
  EXPECT_EQ(count.starts[root_ + "beta/"], 2);
  EXPECT_TRUE(HasDummyOnly(Child(DriveNode(), "Alpha")));
  EXPECT_TRUE(HasDummyOnly(Child(DriveNode(), "beta")));

  TTreeNode* alpha = Child(DriveNode(), "Alpha");
  alpha->setExpanded(true);
  EXPECT_EQ(ChildTexts(alpha), (std::vector<std::string>{"One", "Two"}));
  EXPECT_EQ(TDirTree::Entry(alpha->child(1))->Path, root_ + "Alpha/Two/");
  EXPECT_TRUE(HasDummyOnly(alpha->child(1)));
  EXPECT_EQ(count.starts[root_ + "Alpha/"], 2);
  EXPECT_EQ(count.starts[root_ + "Alpha/Two/"], 1);
  // Folder nodes show the folder pictures, open when selected.
  EXPECT_EQ(TDirTree::ImageIndex(alpha), tree.FolderIcon());
  EXPECT_EQ(TDirTree::SelectedIndex(alpha), tree.OpenFolderIcon());
}

TEST_F(DirTreeTest, HiddenFoldersFollowDirTypes) {
  TDirTree& tree = Tree([](TDirTree& t) { t.SetDirTypes(TDirTypes{dtNormal}); });
  DriveNode()->setExpanded(true);
  EXPECT_EQ(Child(DriveNode(), ".hidden"), nullptr);
  EXPECT_EQ(Child(DriveNode(), ".local"), nullptr);
  EXPECT_EQ(Child(DriveNode(), "onlyhidden")->childCount(), 0);   // its only sub-folder is hidden

  tree.SetDirTypes(TDirTypes{dtNormal, dtHidden});   // reloads
  DriveNode()->setExpanded(true);
  EXPECT_NE(Child(DriveNode(), ".hidden"), nullptr);
  EXPECT_TRUE(HasDummyOnly(Child(DriveNode(), "onlyhidden")));

  EXPECT_TRUE(tree.DirTypeAccepted(plat::faDirectory | plat::faHidden));
  EXPECT_FALSE(tree.DirTypeAccepted(plat::faDirectory | plat::faSystem));
  tree.SetDirTypes(TDirTypes{dtHidden});   // hidden ones only
  EXPECT_FALSE(tree.DirTypeAccepted(plat::faDirectory));
  EXPECT_TRUE(tree.DirTypeAccepted(plat::faDirectory | plat::faHidden));
  EXPECT_TRUE(tree.DirTypeAccepted(plat::faDirectory | plat::faReadOnly | plat::faHidden));
}

TEST_F(DirTreeTest, TrashIsShownButNotDescended) {
  TDirTree& tree = Tree();
  tree.SelectPath(root_ + ".local/share/Trash");
  TTreeNode* trash = tree.Selected();
  ASSERT_NE(trash, nullptr);
  EXPECT_EQ(tree.SelectedPath(), root_ + ".local/share/Trash/");
  EXPECT_EQ(trash->childCount(), 0);   // read, but "files" is below the bin
  EXPECT_NE(TDirTree::ImageIndex(trash), tree.FolderIcon());   // the trash has its own picture

  EXPECT_TRUE(tree.AcceptFolder("/m/.Trash-1000/"));
  EXPECT_FALSE(tree.AcceptFolder("/m/.Trash-1000/files/"));
  EXPECT_FALSE(tree.AcceptFolder("/m/.TRASH/a/"));
  EXPECT_FALSE(tree.AcceptFolder("/home/u/.LOCAL/share/trash/files/"));
  EXPECT_TRUE(tree.AcceptFolder("/m/.Trashcan/a/"));
  EXPECT_TRUE(tree.AcceptFolder("/m/.Trash-x/a/"));

  tree.SetGoBelowRecycleBin(true);   // reloads, selection kept
  EXPECT_EQ(tree.SelectedPath(), root_ + ".local/share/Trash/");
  EXPECT_EQ(ChildTexts(tree.Selected()), std::vector<std::string>{"files"});
  EXPECT_TRUE(tree.AcceptFolder("/m/.Trash-1000/files/"));
}

TEST_F(DirTreeTest, SelectPathReadsOnTheWayAndGivesTheRealCase) {
  TDirTree& tree = Tree();
  std::vector<std::string> changes;
  tree.OnChange = [&](TDirTree* t, TTreeNode*) { changes.push_back(t->SelectedPath()); };
  tree.SelectPath(root_ + "alpha/TWO/deep");
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/Two/Deep/");
  EXPECT_EQ(changes, std::vector<std::string>{root_ + "Alpha/Two/Deep/"});
  EXPECT_TRUE(TDirTree::Entry(DriveNode())->Read);
  EXPECT_TRUE(TDirTree::Entry(Child(DriveNode(), "Alpha"))->Read);
  EXPECT_TRUE(Child(DriveNode(), "Alpha")->isExpanded());
  EXPECT_EQ(tree.LastDir(root_), root_ + "Alpha/Two/Deep/");
  EXPECT_EQ(tree.FindNode(root_ + "Alpha/Two/Deep/"), tree.Selected());
  EXPECT_EQ(tree.FindNode(root_ + "alpha/Two/Deep/"), nullptr);   // FindNode is exact

  // An exact match wins over one that differs only in case.
  tree.SelectPath(root_ + "docs/");
  EXPECT_EQ(tree.SelectedPath(), root_ + "docs/");
  tree.SelectPath(root_ + "Docs");
  EXPECT_EQ(tree.SelectedPath(), root_ + "Docs/");
  tree.SelectPath(root_ + "//Alpha//One");
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/One/");
  tree.SelectPath(root_ + "beta/../Alpha/./Two/");
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/Two/");
}

TEST_F(DirTreeTest, SelectPathOfMissingEmptyAndQuestionMark) {
  TDirTree& tree = Tree();
  tree.SelectPath(root_ + "Alpha/One");
  int changes = 0;
  tree.OnChange = [&](TDirTree*, TTreeNode*) { ++changes; };
  tree.SelectPath("?");
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/One/");
  EXPECT_EQ(changes, 0);
  try {
    tree.SelectPath("");
    FAIL() << "no error for an empty path";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid Path Name");
  }
  // The current folder (root_/Alpha/) lies on the test drive: its root is selected.
  tree.SelectPath(root_ + "no/such/folder");
  EXPECT_EQ(tree.SelectedPath(), root_);
  EXPECT_EQ(changes, 1);
  tree.SelectPath("relative/path");
  EXPECT_EQ(tree.SelectedPath(), root_);
  // A relative path that exists is no missing one, but names no node either.
  tree.SelectPath(root_ + "beta");
  tree.SelectPath(fs::relative(root_ + "Alpha", fs::current_path()).string());
  EXPECT_EQ(tree.SelectedPath(), root_ + "beta/");
}

TEST_F(DirTreeTest, FolderHiddenByTheFiltersLeavesSelectionAsItWas) {
  TDirTree& tree = Tree([](TDirTree& t) { t.SetDirTypes(TDirTypes{dtNormal}); });
  tree.SelectPath(root_ + "beta");
  tree.SelectPath(root_ + ".hidden/inner");
  EXPECT_EQ(tree.SelectedPath(), root_ + "beta/");
}

TEST_F(DirTreeTest, NoChangeNotificationWhileChangeLockIsNegative) {
  TDirTree& tree = Tree();
  std::vector<TTreeNode*> changed;
  tree.OnChange = [&](TDirTree*, TTreeNode* node) { changed.push_back(node); };
  tree.SetChangeLock(-1);
  tree.SelectPath(root_ + "Alpha");
  tree.SelectPath(root_ + "beta");
  EXPECT_TRUE(changed.empty());
  EXPECT_EQ(tree.SelectedPath(), root_ + "beta/");
  EXPECT_EQ(tree.LastDir(root_), root_ + "Alpha/");   // not recorded either
  tree.SetChangeLock(0);
  tree.SelectPath(root_ + "empty");
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0], tree.Selected());
}

TEST_F(DirTreeTest, FolderWhoseSubfoldersWentAwayExpandsToNothing) {
  TDirTree& tree = Tree();
  DriveNode()->setExpanded(true);
  TTreeNode* alpha = Child(DriveNode(), "Alpha");
  ASSERT_TRUE(HasDummyOnly(alpha));
  fs::remove_all(root_ + "Alpha/One");
  fs::remove_all(root_ + "Alpha/Two");
  EXPECT_NO_THROW(alpha->setExpanded(true));
  EXPECT_EQ(alpha->childCount(), 0);
  EXPECT_TRUE(TDirTree::Entry(alpha)->Read);
  EXPECT_FALSE(alpha->isExpanded());
  // A sub-folder made later shows after a refresh, behind an expand button.
  fs::create_directories(root_ + "Alpha/Three");
  tree.RefreshNode(alpha);
  EXPECT_TRUE(HasDummyOnly(alpha));
  alpha->setExpanded(true);
  EXPECT_EQ(ChildTexts(alpha), std::vector<std::string>{"Three"});
  // And a folder that went away itself.
  TTreeNode* beta = Child(DriveNode(), "beta");
  fs::remove_all(root_ + "beta");
  EXPECT_NO_THROW(tree.ReadChildren(beta));
  EXPECT_EQ(beta->childCount(), 0);
}

TEST_F(DirTreeTest, OnFindDirReplacesTheEnumeration) {
  std::vector<std::string> asked;
  Tree([&](TDirTree& t) {
    t.OnFindDir = [&](TDirTree*, const std::string& path, TDirRec& rec, int& result, bool first) {
      static const std::vector<std::pair<std::string, std::uint32_t>> entries = {
          {".", plat::faDirectory}, {"Virtual1", plat::faDirectory}, {"readme", 0}, {"virtual0", plat::faDirectory}};
      static std::size_t next = 0;
      if (first) {
        asked.push_back(path);
        next = 0;
      }
      // Only the drive itself has entries.
      if (path != root_ || next >= entries.size()) {
        result = 18;   // no more files
        return;
      }
      rec.Name = entries[next].first;
      rec.Attr = entries[next].second;
      ++next;
      result = 0;
    };
  });
  EXPECT_TRUE(HasDummyOnly(DriveNode()));
  DriveNode()->setExpanded(true);
  EXPECT_EQ(ChildTexts(DriveNode()), (std::vector<std::string>{"virtual0", "Virtual1"}));
  EXPECT_EQ(asked, (std::vector<std::string>{root_, root_, root_ + "virtual0/", root_ + "Virtual1/"}));
}

TEST_F(DirTreeTest, OnAddDirHidesFoldersAndDrives) {
  std::vector<std::string> offered;
  TDirTree& tree = Tree([&](TDirTree& t) {
    t.OnAddDir = [&](TDirTree*, const std::string& name, bool& doAdd) {
      offered.push_back(name);
      if (name == root_ + "beta/" || name == stick_) doAdd = false;
    };
  });
  ASSERT_EQ(tree.topLevelItemCount(), 1);
  // Each drive is offered before it is probed.
  EXPECT_EQ(offered.at(0), root_);
  EXPECT_EQ(std::count(offered.begin(), offered.end(), stick_), 1);
  DriveNode()->setExpanded(true);
  EXPECT_EQ(Child(DriveNode(), "beta"), nullptr);
  EXPECT_NE(Child(DriveNode(), "Alpha"), nullptr);
}

TEST_F(DirTreeTest, ReloadKeepsTheSelectionAndReportsDeletedNodes) {
  TDirTree& tree = Tree();
  tree.SelectPath(root_ + "Alpha/Two");
  int deleted = 0;
  int withEntry = 0;
  tree.OnDeleteItem = [&](TDirTree*, TTreeNode* node) {
    ++deleted;
    if (TDirTree::Entry(node)) ++withEntry;   // released before the event
  };
  std::vector<std::string> changes;
  tree.OnChange = [&](TDirTree* t, TTreeNode*) { changes.push_back(t->SelectedPath()); };
  tree.Reload();
  EXPECT_GT(deleted, 10);
  EXPECT_EQ(withEntry, 0);
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/Two/");
  EXPECT_EQ(changes, std::vector<std::string>{root_ + "Alpha/Two/"});

  // The selected folder went away: its drive root is selected instead.
  fs::remove_all(root_ + "Alpha/Two");
  tree.Reload();
  EXPECT_EQ(tree.SelectedPath(), root_);
  tree.OnDeleteItem = nullptr;   // the counters above go before the tree does
}

TEST_F(DirTreeTest, ReloadWithNothingToGoBackToSelectsTheDrive) {
  drives_.cwd = root_ + ".hidden/";   // remembered for the drive, but filtered out below
  TDirTree& tree = Tree([](TDirTree& t) { t.SetDirTypes(TDirTypes{dtNormal}); });
  ASSERT_EQ(tree.SelectedPath(), "?");
  std::vector<TTreeNode*> changed;
  tree.OnChange = [&](TDirTree*, TTreeNode* node) { changed.push_back(node); };
  tree.Reload();
  EXPECT_EQ(tree.Selected(), DriveNode());
  EXPECT_EQ(changed, (std::vector<TTreeNode*>{DriveNode(), DriveNode()}));
  EXPECT_EQ(tree.LastDir(root_), root_);
}

TEST_F(DirTreeTest, OnGetIconSeesTheIconsSetAndMayChangeThem) {
  std::vector<std::pair<std::string, int>> seen;
  TDirTree& tree = Tree([&](TDirTree& t) {
    t.OnGetIcon = [&](TDirTree*, TTreeNode* node) {
      seen.emplace_back(TDirTree::Entry(node)->Path, TDirTree::ImageIndex(node));
      if (TDirTree::Entry(node)->Path == root_ + "beta/") node->setData(0, Qt::UserRole + 1, 5);
    };
  });
  ASSERT_EQ(seen.size(), 2u);   // the two drives
  DriveNode()->setExpanded(true);
  ASSERT_EQ(seen.size(), 2u + 8u);
  EXPECT_EQ(seen[5], std::make_pair(root_ + "beta/", tree.FolderIcon()));   // in the sorted order
  EXPECT_EQ(TDirTree::ImageIndex(Child(DriveNode(), "beta")), 5);
}

TEST_F(DirTreeTest, FolderNodesInheritTheirParentsData) {
  TDirTree& tree = Tree();
  int tag = 0;
  TDirTree::Entry(DriveNode())->Data = &tag;
  tree.SelectPath(root_ + "Alpha/Two");
  EXPECT_EQ(TDirTree::Entry(tree.Selected())->Data, &tag);
}

TEST_F(DirTreeTest, ChangedMediumRefreshesItsDrive) {
  TDirTree& tree = Tree();
  tree.SelectPath(root_ + "Alpha/One");
  std::vector<TTreeNode*> changed;
  tree.OnChange = [&](TDirTree*, TTreeNode* node) { changed.push_back(node); };
  int clicks = 0;
  tree.OnClick = [&](TDirTree*) { ++clicks; };
  emit tree.itemClicked(tree.Selected(), 0);
  EXPECT_EQ(clicks, 1);

  drives_.volumes[root_] = {"OTHER", 99};   // another disc in the drive
  emit tree.itemClicked(tree.Selected(), 0);
  EXPECT_EQ(clicks, 1);   // the click became a change of the refreshed drive
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0], DriveNode());
  EXPECT_EQ(tree.Selected(), DriveNode());
  EXPECT_EQ(tree.DriveSerial(root_), 99);
  EXPECT_EQ(DriveNode()->text(0).toStdString(), "OTHER (" + root_.substr(0, root_.size() - 1) + ")");
  EXPECT_FALSE(TDirTree::Entry(DriveNode())->Read);
  EXPECT_TRUE(HasDummyOnly(DriveNode()));
}

TEST_F(DirTreeTest, LoadedSelectsTheInitialDirectoryOrTheCurrentFolder) {
  {
    TDirTree tree;
    tree.SetInitialDirectory(root_ + "beta/");
    tree.Loaded();
    EXPECT_EQ(tree.SelectedPath(), root_ + "beta/");
  }
  TDirTree tree;
  tree.SetInitialDirectory(root_ + "gone/");
  tree.Loaded();
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/");
}

TEST_F(DirTreeTest, DriveOfANestedMountIsTheLongestPrefix) {
  drives_.Add(root_ + "Alpha/", DriveKind::Fixed);
  TDirTree& tree = Tree();
  ASSERT_EQ(tree.topLevelItemCount(), 3);
  EXPECT_EQ(tree.DriveOf(root_ + "Alpha/Two/"), root_ + "Alpha/");
  EXPECT_EQ(tree.DriveOf(root_ + "beta/"), root_);
  EXPECT_EQ(tree.DriveOf("/elsewhere/"), "");
  tree.SelectPath(root_ + "Alpha/Two");
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/Two/");
  EXPECT_EQ(tree.Selected()->parent(), tree.topLevelItem(1));   // under the Alpha drive
}

TEST_F(DirTreeTest, FolderLinksBackUpTheTreeAreShownButNotDescended) {
  fs::create_directory_symlink(root_, root_ + "Alpha/up");
  fs::create_directory_symlink(root_ + "beta", root_ + "beta/self");
  fs::create_directory_symlink("..", root_ + "Alpha/Two/parent");
  fs::create_directory_symlink(root_ + "Alpha/Two", root_ + "Alpha/sideways");
  TDirTree& tree = Tree();
  DriveNode()->setExpanded(true);
  TTreeNode* beta = Child(DriveNode(), "beta");
  beta->setExpanded(true);
  ASSERT_EQ(ChildTexts(beta), std::vector<std::string>{"self"});
  EXPECT_EQ(beta->child(0)->childCount(), 0);   // leads back to beta: no button
  TTreeNode* alpha = Child(DriveNode(), "Alpha");
  alpha->setExpanded(true);
  ASSERT_EQ(ChildTexts(alpha), (std::vector<std::string>{"One", "sideways", "Two", "up"}));
  EXPECT_EQ(Child(alpha, "up")->childCount(), 0);
  EXPECT_TRUE(HasDummyOnly(Child(alpha, "sideways")));   // a link elsewhere is an ordinary folder
  Child(alpha, "up")->setExpanded(true);
  EXPECT_EQ(Child(alpha, "up")->childCount(), 0);
  // "*" opens everything below the current node: it must come to an end.
  tree.setCurrentItem(DriveNode());
  QKeyEvent star(QEvent::KeyPress, Qt::Key_Asterisk, Qt::NoModifier, "*");
  QApplication::sendEvent(&tree, &star);
  EXPECT_EQ(tree.FindNode(root_ + "Alpha/up/Alpha/"), nullptr);
  EXPECT_EQ(tree.FindNode(root_ + "Alpha/Two/parent/")->childCount(), 0);
  EXPECT_NE(tree.FindNode(root_ + "Alpha/sideways/Deep/"), nullptr);
}

TEST_F(DirTreeTest, HandlersThatRebuildTheTreeMidwayLeaveNoDanglingNode) {
  TDirTree& tree = Tree();
  tree.SelectPath(root_ + "Alpha");
  TTreeNode* alpha = tree.Selected();
  tree.RefreshNode(alpha);
  // The folder filter rebuilds the whole tree while Alpha is being read.
  bool rebuilt = false;
  tree.OnAddDir = [&](TDirTree* t, const std::string& name, bool&) {
    if (!rebuilt && name == root_ + "Alpha/One/") {
      rebuilt = true;
      t->Reload();
    }
  };
  EXPECT_NO_THROW(alpha->setExpanded(true));
  EXPECT_TRUE(rebuilt);
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/");
  // The icon event refreshes the drive while a folder's children are added.
  tree.OnAddDir = nullptr;
  rebuilt = false;
  tree.OnGetIcon = [&](TDirTree* t, TTreeNode* node) {
    if (!rebuilt && TDirTree::Entry(node)->Path == root_ + "Alpha/Two/") {
      rebuilt = true;
      t->RefreshNode(t->topLevelItem(0));
    }
  };
  tree.RefreshNode(tree.FindNode(root_ + "Alpha/"));
  tree.SelectPath(root_ + "Alpha/Two/Deep");
  EXPECT_TRUE(rebuilt);
  tree.OnGetIcon = nullptr;
  tree.SelectPath(root_ + "Alpha/Two/Deep");
  EXPECT_EQ(tree.SelectedPath(), root_ + "Alpha/Two/Deep/");
}

}  // namespace
