// The desktop side of the platform: scripted dialogs, the exception box, the
// shell's address rules, the file icon lists and the program's own pictures.
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include "platform/application.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/exception_box.h"
#include "platform/qt/image_list.h"
#include "platform/qt/resources.h"
#include "platform/qt/shell.h"
#include "tests/dirtree/gui_app.h"

namespace {

TEST(ScriptedDialogs, AnswersInOrderAndRecordsWhatWasAsked) {
  plat::ScriptedDialogs script;
  plat::ScopedDialogs scope(&script);
  script.AnswerConfirm(true);
  script.AnswerConfirm(false);
  script.AnswerInput(std::string("typed"));
  script.AnswerInput(std::nullopt);   // Cancel

  plat::Dialogs& d = plat::TheDialogs();
  EXPECT_TRUE(d.Confirm("Delete?", "Confirm"));
  EXPECT_FALSE(d.Confirm("Really?"));
  EXPECT_FALSE(d.Confirm("Unscripted?"));   // nothing left: No
  EXPECT_EQ(d.InputBox("New folder", "Name:", "untitled"), "typed");
  EXPECT_EQ(d.InputBox("New folder", "Name:", "untitled"), "untitled");
  EXPECT_EQ(d.InputBox("Rename", "To:", "old"), "old");   // nothing left: Cancel
  d.ShowMessage("Done");

  ASSERT_EQ(script.asked().size(), 7u);
  EXPECT_EQ(script.asked()[0].kind, plat::ScriptedDialogs::Kind::Confirm);
  EXPECT_EQ(script.asked()[0].caption, "Confirm");
  EXPECT_EQ(script.asked()[0].text, "Delete?");
  EXPECT_EQ(script.asked()[3].kind, plat::ScriptedDialogs::Kind::Input);
  EXPECT_EQ(script.asked()[3].caption, "New folder");
  EXPECT_EQ(script.asked()[3].text, "Name:");
  EXPECT_EQ(script.asked()[3].defaultValue, "untitled");
  EXPECT_EQ(script.Messages(), std::vector<std::string>{"Done"});
  EXPECT_EQ(script.PendingAnswers(), 0u);
}

TEST(ScriptedDialogs, ScopeRestoresThePreviousInstance) {
  plat::ScriptedDialogs outer, inner;
  plat::ScopedDialogs a(&outer);
  {
    plat::ScopedDialogs b(&inner);
    plat::TheDialogs().ShowMessage("inner");
  }
  plat::TheDialogs().ShowMessage("outer");
  EXPECT_EQ(inner.Messages(), std::vector<std::string>{"inner"});
  EXPECT_EQ(outer.Messages(), std::vector<std::string>{"outer"});
}

TEST(ExceptionBox, ShowsTheMessageOfTheException) {
  plat::ScriptedDialogs script;
  plat::ScopedDialogs scope(&script);
  plat::ShowExceptionMessage(std::make_exception_ptr(std::runtime_error("Connection refused")));
  plat::ShowExceptionMessage(std::make_exception_ptr(42));
  plat::ShowExceptionMessage(nullptr);
  EXPECT_EQ(script.Messages(), (std::vector<std::string>{"Connection refused", "Unknown exception", "Unknown exception"}));
}

TEST(ExceptionBox, InstalledOnTheApplication) {
  plat::ScriptedDialogs script;
  plat::ScopedDialogs scope(&script);
  plat::HeadlessApplication app;
  plat::InstallExceptionMessageBox(app);
  app.HandleException(std::make_exception_ptr(std::runtime_error("Disk full")));
  EXPECT_EQ(script.Messages(), std::vector<std::string>{"Disk full"});
}

// Answers the modal box that the next call opens, after looking at it.
void AnswerNextBox(QMessageBox::StandardButton button, QString& text, Qt::TextFormat& format) {
  QTimer::singleShot(0, [&text, &format, button] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    text = box->text();
    format = box->textFormat();
    box->button(button)->click();
  });
}

TEST(QtDialogs, ServerTextIsShownAsWrittenNotAsMarkup) {
  GuiApp();
  plat::QtDialogs dialogs;
  QString text;
  Qt::TextFormat format = Qt::AutoText;
  AnswerNextBox(QMessageBox::Ok, text, format);
  dialogs.ShowMessage("<b>550</b> <pub>: not found", "Error");
  EXPECT_EQ(text, "<b>550</b> <pub>: not found");
  EXPECT_EQ(format, Qt::PlainText);
  AnswerNextBox(QMessageBox::No, text, format);
  EXPECT_FALSE(dialogs.Confirm("<i>Delete</i>?", "Confirm"));
  EXPECT_EQ(format, Qt::PlainText);
  AnswerNextBox(QMessageBox::Yes, text, format);
  EXPECT_TRUE(dialogs.Confirm("Delete?", "Confirm"));
}

TEST(Shell, AddressesGetTheSlashesTheDesktopNeeds) {
  EXPECT_EQ(plat::DesktopAddress("http:\\\\www.example.com"), "http://www.example.com");
  EXPECT_EQ(plat::DesktopAddress("ftp:\\\\host\\pub"), "ftp://host\\pub");
  EXPECT_EQ(plat::DesktopAddress("mailto:a@b.c"), "mailto:a@b.c");
  EXPECT_EQ(plat::DesktopAddress("http://already.fine/"), "http://already.fine/");
  EXPECT_EQ(plat::DesktopAddress("/home/u/file\\name.txt"), "/home/u/file\\name.txt");
  // A mail address may name headers, but no local file to attach.
  EXPECT_EQ(plat::DesktopAddress("mailto:a@b.c?ATTACH=%2Fetc%2Fpasswd"), "mailto:a@b.c");
  EXPECT_EQ(plat::DesktopAddress("MailTo:a@b.c?cc=d@e.f&%61ttachment=/x&subject=s"), "MailTo:a@b.c?cc=d@e.f&subject=s");
  EXPECT_EQ(plat::DesktopAddress("mailto:a@b.c?"), "mailto:a@b.c");
  EXPECT_EQ(plat::DesktopAddress("http://h/?attach=1"), "http://h/?attach=1");
  EXPECT_TRUE(plat::HasUrlScheme("mailto:x"));
  EXPECT_TRUE(plat::HasUrlScheme("svn+ssh://h"));
  EXPECT_FALSE(plat::HasUrlScheme("/tmp/a:b"));
  EXPECT_FALSE(plat::HasUrlScheme("report.txt"));
}

TEST(Shell, ProgramsAreRegularFilesWithTheExecuteBit) {
  EXPECT_TRUE(plat::IsProgram("/bin/sh"));
  EXPECT_FALSE(plat::IsProgram("/bin"));
  EXPECT_FALSE(plat::IsProgram("/etc/hostname-not-there"));
  EXPECT_FALSE(plat::IsProgram("/etc/passwd"));
  // The Qt shell starts nothing else: no document, no name found on PATH.
  plat::QtShell shell;
  EXPECT_FALSE(shell.StartProgram("/etc/passwd", {}, ""));
  EXPECT_FALSE(shell.StartProgram("/bin", {}, ""));
  const std::string marker = std::string(VEK_BINARY_DIR) + "/shell-test-marker";
  std::remove(marker.c_str());
  EXPECT_FALSE(shell.StartProgram("sh", {"-c", "touch " + marker}, ""));
  EXPECT_FALSE(shell.StartProgram("passwd", {}, "/etc"));
  EXPECT_NE(::access(marker.c_str(), F_OK), 0);
}

TEST(Shell, RecordingShellStandsInForTheDesktop) {
  plat::RecordingShell rec;
  plat::SetShell(&rec);
  EXPECT_TRUE(plat::TheShell().OpenDocument("/tmp/x.pdf"));
  rec.result = false;
  EXPECT_FALSE(plat::TheShell().StartProgram("/bin/true", {"-a"}, "/tmp"));
  plat::SetShell(nullptr);
  EXPECT_EQ(rec.opened, std::vector<std::string>{"/tmp/x.pdf"});
  ASSERT_EQ(rec.started.size(), 1u);
  EXPECT_EQ(rec.started[0].arguments, std::vector<std::string>{"-a"});
}

TEST(ImageList, StableIndexPerKindOfFileWithBothSizes) {
  GuiApp();
  plat::ImageList& images = plat::ImageList::Shared();
  EXPECT_EQ(images.FolderIndex(), 0);
  EXPECT_EQ(images.OpenFolderIndex(), 1);
  const int txt = images.IndexOfFile("readme.txt");
  EXPECT_EQ(images.IndexOfFile("other.txt"), txt);        // same type, same index
  EXPECT_EQ(images.IndexOfFile("README.TXT"), txt);
  const int png = images.IndexOfFile("photo.png");
  EXPECT_NE(png, txt);
  EXPECT_EQ(images.IndexOfFile("photo.png"), png);
  const int unknown = images.IndexOfFile("data.qqqzzz");
  EXPECT_EQ(images.IndexOfFile("noextension"), unknown);   // both the generic binary type
  for (int i : {0, 1, txt, png, unknown}) {
    EXPECT_EQ(images.Small(i).size(), QSize(16, 16)) << i;
    EXPECT_EQ(images.Large(i).size(), QSize(32, 32)) << i;
  }
  EXPECT_TRUE(images.Small(images.Count()).isNull());
  EXPECT_TRUE(images.Small(-1).isNull());
  // A theme icon that no theme has falls back to the program's picture.
  const int missing = images.IndexOfThemeIcon("vek-no-such-icon", plat::siProgram);
  EXPECT_EQ(images.Small(missing).toImage(), plat::SmallImages()[plat::siProgram].toImage());
  // Every node of a big folder shows the same icon object, not a copy each.
  EXPECT_EQ(images.Icon(0, 1).cacheKey(), images.Icon(0, 1).cacheKey());
  EXPECT_NE(images.Icon(0, 1).cacheKey(), images.Icon(0).cacheKey());
  EXPECT_EQ(images.Icon(0, images.Count()).cacheKey(), images.Icon(0).cacheKey());
}

TEST(Resources, SmallImagesStripHasSixPicturesWithOliveTransparent) {
  GuiApp();
  const auto& strip = plat::SmallImages();
  ASSERT_EQ(strip.size(), 6u);
  for (const QPixmap& p : strip) {
    EXPECT_EQ(p.size(), QSize(16, 16));
    const QImage img = p.toImage();
    int opaque = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const QRgb c = img.pixel(x, y);
        if (qAlpha(c) != 0) {
          ++opaque;
          EXPECT_FALSE(qRed(c) == 128 && qGreen(c) == 128 && qBlue(c) == 0);   // no olive left
        }
      }
    EXPECT_GT(opaque, 60);
    EXPECT_LT(opaque, 256);   // the background shows through somewhere
  }
  const QCursor hand = plat::HandPointCursor();
  EXPECT_EQ(hand.shape(), Qt::BitmapCursor);
  EXPECT_EQ(hand.pixmap().size(), QSize(32, 32));
  EXPECT_EQ(hand.hotSpot(), QPoint(9, 0));
}

}  // namespace
