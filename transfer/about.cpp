#include "transfer/about.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "controls/urllabel.h"
#include "transfer/pictures.h"

TAboutForm* AboutForm = nullptr;

namespace {

QFont SansFont(int pixels) {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans")});
  font.setPixelSize(pixels);
  return font;
}

}  // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutForm"));
  setWindowTitle(QString::fromUtf8("About Vek\u00b4s FTP Client"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);
  setFixedSize(313, 214);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName(QStringLiteral("Bevel1"));
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 297, 161);

  Label1 = new QLabel(this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setTextFormat(Qt::PlainText);
  QFont title = SansFont(13);
  title.setBold(true);
  Label1->setFont(title);
  QPalette navy = Label1->palette();
  navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
  Label1->setPalette(navy);
  Label1->move(24, 24);

  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setAttribute(Qt::WA_TranslucentBackground);
  Image1->setPixmap(transfer_pictures::AboutPicture());
  Image1->setGeometry(90, 47, 132, 89);

  URLLabel1 = new TURLLabel(this);
  URLLabel1->setObjectName(QStringLiteral("URLLabel1"));
  URLLabel1->SetLabelType(hmHTTP);
  QFont link = SansFont(11);
  link.setUnderline(true);
  URLLabel1->SetFont(link, QColor(0, 0, 255));
  URLLabel1->SetCaption("www.vekftp.example.org");
  URLLabel1->adjustSize();
  // Centred under the picture: the address is ours, so is its length.
  URLLabel1->move((width() - URLLabel1->width()) / 2, 144);

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setObjectName(QStringLiteral("OKBtn"));
  OKBtn->setGeometry(122, 180, 75, 25);
  OKBtn->setDefault(true);
  OKBtn->setAutoDefault(true);
  connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });

  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TAboutForm::~TAboutForm() {
  if (AboutForm == this) AboutForm = nullptr;
}

void TAboutForm::FormShow() {
  Label1->setText(QString::fromUtf8("Vek\u00b4s FTP Client v. 1.0 Beta"));
  Label1->adjustSize();
  OKBtn->setFocus();
}

void TAboutForm::OKBtnClick() { accept(); }

void TAboutForm::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
}
