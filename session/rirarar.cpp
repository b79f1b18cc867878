// The program entry: the application object, the three windows in their
// order (the login window first, so it is the main window), the loop until
// the main window closes.
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include "platform/qt/exception_box.h"
#include "platform/qt/qt_application.h"
#include "session/main.h"
#include "transfer/about.h"
#include "transfer/transferunit.h"

namespace {

void Centre(QWidget* window) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const QSize size = window->frameGeometry().size();
  window->move(screen.center() - QPoint(size.width() / 2, size.height() / 2));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The name message boxes carry as their caption. No display name: Qt would
  // append it to every window title the window system shows.
  QApplication::setApplicationName("RiraRAR");
  plat::QtApplication application;
  plat::InstallExceptionMessageBox(application);

  // The login window's creation must not touch the transfer window: it does
  // not exist yet.
  auto* form1 = new TForm1();
  Form1 = form1;
  // program [URL [local file]], Qt's own options taken out.
  form1->Arguments.assign(argv + 1, argv + argc);
  TransferForm = new TTransferForm();
  TransferForm->FtpClient = form1->FtpClient1.get();
  TransferForm->Controller = form1;
  // The command-line start can end the program from the login window's show
  // handler, before the loop runs, when a plain quit would be lost.
  TransferForm->TerminateProgram = [] {
    QMetaObject::invokeMethod(qApp, [] { QApplication::quit(); }, Qt::QueuedConnection);
  };
  AboutForm = new TAboutForm(TransferForm);

  form1->adjustSize();
  Centre(form1);
  form1->show();
  const int result = QApplication::exec();

  // The login window's destruction rewrites the profile list.
  delete form1;
  delete TransferForm;
  TransferForm = nullptr;
  AboutForm = nullptr;
  return result;
}
