// TURLLabel: colours and underline at rest, pressed and hovered; what a click opens.
#include "controls/urllabel.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QWidget>

#include <gtest/gtest.h>

#include "platform/qt/shell.h"
#include "tests/dirtree/gui_app.h"

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

class URLLabelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    plat::SetShell(&shell_);
    label_ = new TURLLabel(&window_);
    label_->SetCaption("www.example.com");
    label_->setGeometry(10, 20, 150, 20);
    window_.resize(200, 100);
    window_.show();
  }
  void TearDown() override { plat::SetShell(nullptr); }

  void Send(QEvent::Type type, Qt::MouseButton button, QPoint at = QPoint(5, 5)) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::NoButton;
    QMouseEvent event(type, QPointF(at), QPointF(label_->mapToGlobal(at)), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(label_, &event);
  }
  void Press(Qt::MouseButton button = Qt::LeftButton) { Send(QEvent::MouseButtonPress, button); }
  void Release(Qt::MouseButton button = Qt::LeftButton, QPoint at = QPoint(5, 5)) {
    Send(QEvent::MouseButtonRelease, button, at);
  }
  void Enter() {
    QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(label_->mapToGlobal(QPoint(5, 5))));
    QCoreApplication::sendEvent(label_, &event);
  }
  void Leave() {
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(label_, &event);
  }

  bool app_ = (GuiApp(), true);   // before any widget
  plat::RecordingShell shell_;
  QWidget window_;
  TURLLabel* label_ = nullptr;
};

TEST_F(URLLabelTest, AtRestBlueUnderlinedWithOwnHandCursor) {
  EXPECT_EQ(label_->LabelType(), hmHTTP);
  EXPECT_EQ(label_->URLColStd(), kBlue);
  EXPECT_EQ(label_->URLColPre(), kRed);
  EXPECT_FALSE(label_->AllowDown());
  EXPECT_FALSE(label_->Effect98());
  EXPECT_EQ(label_->FontColor(), kBlue);
  EXPECT_TRUE(label_->Underlined());
  EXPECT_EQ(label_->cursor().shape(), Qt::BitmapCursor);   // ours, not the desktop's hand
  EXPECT_FALSE(label_->cursor().pixmap().isNull());
}

TEST_F(URLLabelTest, LeftPressTurnsRedAndReleaseBlueAgainMovingWithAllowDown) {
  label_->SetAllowDown(true);
  const QPoint rest = label_->pos();
  Press();
  EXPECT_EQ(label_->FontColor(), kRed);
  EXPECT_EQ(label_->pos(), rest + QPoint(0, 1));
  Release();
  EXPECT_EQ(label_->FontColor(), kBlue);
  EXPECT_EQ(label_->pos(), rest);
  // Hovering changes nothing without Effect98.
  Enter();
  EXPECT_EQ(label_->FontColor(), kBlue);
  EXPECT_TRUE(label_->Underlined());
}

TEST_F(URLLabelTest, RightButtonOnlyRestoresTheNormalColourOnRelease) {
  label_->SetAllowDown(true);
  const QPoint rest = label_->pos();
  Press(Qt::RightButton);
  EXPECT_EQ(label_->FontColor(), kBlue);
  EXPECT_EQ(label_->pos(), rest);
  label_->SetURLColStd(QColor(0, 128, 0));
  Release(Qt::RightButton);
  EXPECT_EQ(label_->FontColor(), QColor(0, 128, 0));
  EXPECT_EQ(label_->pos(), rest);
  EXPECT_TRUE(shell_.opened.empty());
}

TEST_F(URLLabelTest, Effect98UnderlinesAndColoursOnlyWhileHovered) {
  label_->SetEffect98(true);
  EXPECT_FALSE(label_->Underlined());
  EXPECT_EQ(label_->FontColor(), kBlue);
  Enter();
  EXPECT_TRUE(label_->Underlined());
  EXPECT_EQ(label_->FontColor(), kRed);
  Press();
  Release(Qt::LeftButton, QPoint(500, 500));   // released elsewhere: no click
  EXPECT_EQ(label_->FontColor(), kRed);        // the pressed colour stays while hovered
  EXPECT_TRUE(shell_.opened.empty());
  Leave();
  EXPECT_FALSE(label_->Underlined());
  EXPECT_EQ(label_->FontColor(), kBlue);
  label_->SetEffect98(false);
  EXPECT_TRUE(label_->Underlined());
}

TEST_F(URLLabelTest, ClickFiresOnClickThenOpensTheAddress) {
  std::vector<std::string> order;
  label_->OnClick = [&](TURLLabel*) { order.push_back("OnClick, opened " + std::to_string(shell_.opened.size())); };
  Press();
  Release();
  EXPECT_EQ(order, std::vector<std::string>{"OnClick, opened 0"});
  ASSERT_EQ(shell_.opened.size(), 1u);
  EXPECT_EQ(shell_.opened[0], "http:\\\\www.example.com");
  EXPECT_EQ(plat::DesktopAddress(shell_.opened[0]), "http://www.example.com");

  label_->SetLabelType(hmFTP);
  label_->SetCaption("ftp.example.com/pub");
  Press();
  Release();
  EXPECT_EQ(shell_.opened.back(), "ftp:\\\\ftp.example.com/pub");
  label_->SetLabelType(hmMAIL);
  label_->SetCaption("someone@example.com");
  Press();
  Release();
  EXPECT_EQ(shell_.opened.back(), "mailto:someone@example.com");
  EXPECT_EQ(shell_.opened.size(), 3u);
  EXPECT_EQ(order.size(), 3u);
}

TEST_F(URLLabelTest, CaptionIsPlainTextOpenedWithItsOwnScheme) {
  label_->SetCaption("<img src=\"/etc/x.png\">example.com");
  EXPECT_EQ(label_->textFormat(), Qt::PlainText);
  EXPECT_GT(label_->sizeHint().width(), label_->fontMetrics().horizontalAdvance("example.com") * 2);
  // Whatever the text says, the prefix decides the scheme.
  label_->SetCaption("javascript:alert(1)");
  EXPECT_EQ(plat::DesktopAddress(label_->Address()), "http://javascript:alert(1)");
  label_->SetLabelType(hmMAIL);
  label_->SetCaption("a@example.com?subject=Hi&attach=/home/u/.ssh/id_rsa&body=x");
  EXPECT_EQ(plat::DesktopAddress(label_->Address()), "mailto:a@example.com?subject=Hi&body=x");
}

TEST_F(URLLabelTest, CustomTypeIsNeverUnderlinedAndOnlyFiresOnClick) {
  label_->SetLabelType(hmCUSTOM);
  EXPECT_FALSE(label_->Underlined());
  label_->SetEffect98(true);
  label_->SetEffect98(false);
  EXPECT_FALSE(label_->Underlined());
  label_->SetEffect98(true);
  Enter();
  EXPECT_FALSE(label_->Underlined());
  EXPECT_EQ(label_->FontColor(), kRed);
  int clicks = 0;
  label_->OnClick = [&](TURLLabel*) { ++clicks; };
  Press();
  Release();
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(shell_.opened.empty());
  EXPECT_EQ(label_->Address(), "");
}

TEST_F(URLLabelTest, AssigningAFontTakesItsColourAsTheNormalOne) {
  QFont font = label_->font();
  font.setPointSize(14);
  font.setUnderline(true);
  label_->SetFont(font, QColor(0, 128, 0));
  EXPECT_EQ(label_->URLColStd(), QColor(0, 128, 0));
  EXPECT_EQ(label_->FontColor(), QColor(0, 128, 0));
  Press();
  Release();
  EXPECT_EQ(label_->FontColor(), QColor(0, 128, 0));
}

}  // namespace
