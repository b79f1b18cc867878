// TAboutForm: the about window, the program's name and version and a link to
// the author's web site. Made once at start, hidden, shown modally.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;
class TURLLabel;

class TAboutForm : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutForm(QWidget* parent = nullptr);
  ~TAboutForm() override;

  QFrame* Bevel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Image1 = nullptr;
  TURLLabel* URLLabel1 = nullptr;
  QPushButton* OKBtn = nullptr;

  void FormShow();
  void OKBtnClick();

 protected:
  void showEvent(QShowEvent* event) override;
};

// The program's about window, set by whoever creates it.
extern TAboutForm* AboutForm;
