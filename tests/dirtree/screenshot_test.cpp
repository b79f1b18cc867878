// A look at the tree and the link label as the user sees them: this machine's
// drives with one folder expanded, written to
// <build folder>/screenshots/dirtree.png for checking by eye.
#include <filesystem>

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include "controls/urllabel.h"
#include "dirtree/dirtree.h"
#include "tests/dirtree/gui_app.h"

TEST(Screenshot, DirTreeWithDrivesAndAnExpandedFolderAndAUrlLabel) {
  GuiApp();
  QWidget window;
  window.setWindowTitle("Local folders");
  auto* layout = new QVBoxLayout(&window);
  auto* tree = new TDirTree(&window);
  auto* caption = new QLabel("Web site:", &window);
  auto* link = new TURLLabel(&window);
  link->SetCaption("www.example.com");
  layout->addWidget(tree);
  layout->addWidget(caption);
  layout->addWidget(link);
  window.resize(420, 460);
  window.show();

  // The root drive opened, and the home folder selected below it.
  ASSERT_GT(tree->topLevelItemCount(), 0);
  tree->topLevelItem(0)->setExpanded(true);
  tree->SelectPath(plat::TheDrives().HomeFolder());
  tree->setFocus();
  EXPECT_NE(tree->SelectedPath(), "?");

  const std::filesystem::path folder = VEK_SCREENSHOT_DIR;
  std::filesystem::create_directories(folder);
  const std::string file = (folder / "dirtree.png").string();
  ASSERT_TRUE(window.grab().save(QString::fromStdString(file), "PNG"));
  EXPECT_GT(std::filesystem::file_size(file), 1000u);
  std::printf("screenshot: %s\n", file.c_str());
}
