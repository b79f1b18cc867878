#include "platform/qt/dialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace plat {

namespace {

Dialogs* g_dialogs = nullptr;

QString Caption(const std::string& caption) {
  if (!caption.empty()) return QString::fromStdString(caption);
  return QApplication::applicationName();
}

QWidget* DialogParent() { return QApplication::activeWindow(); }

// The texts come from servers and files too: "550 <name>: not found" is shown
// as written, never read as markup.
QMessageBox::StandardButton Ask(QMessageBox::Icon icon, const std::string& caption, const std::string& text,
                                QMessageBox::StandardButtons buttons, QMessageBox::StandardButton byDefault) {
  QMessageBox box(icon, Caption(caption), QString::fromStdString(text), buttons, DialogParent());
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(byDefault);
  const int answer = box.exec();
  return static_cast<QMessageBox::StandardButton>(answer);
}

}  // namespace

// --- Qt ---

void QtDialogs::ShowMessage(const std::string& text, const std::string& caption) {
  Ask(QMessageBox::Information, caption, text, QMessageBox::Ok, QMessageBox::Ok);
}

bool QtDialogs::Confirm(const std::string& text, const std::string& caption) {
  return Ask(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
         QMessageBox::Yes;
}

std::string QtDialogs::InputBox(const std::string& caption, const std::string& prompt,
                                const std::string& defaultValue) {
  bool ok = false;
  const QString text = QInputDialog::getText(DialogParent(), Caption(caption), QString::fromStdString(prompt),
                                             QLineEdit::Normal, QString::fromStdString(defaultValue), &ok);
  return ok ? text.toStdString() : defaultValue;
}

namespace {

// Which choice a button is, whatever its text becomes (a style may add a
// shortcut mark to it).
constexpr const char* kChoiceIndex = "vekChoiceIndex";

}  // namespace

std::unique_ptr<QMessageBox> ChoiceBox(const std::string& text, const std::vector<std::string>& buttons,
                                       const std::string& caption) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, Caption(caption), QString::fromStdString(text),
                                           QMessageBox::NoButton, DialogParent());
  box->setTextFormat(Qt::PlainText);
  QAbstractButton* last = nullptr;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    const bool isLast = i + 1 == buttons.size();
    last = box->addButton(QString::fromStdString(buttons[i]), isLast ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    last->setProperty(kChoiceIndex, static_cast<int>(i));
  }
  // Nothing is chosen by a stray Return.
  if (last != nullptr) {
    box->setDefaultButton(qobject_cast<QPushButton*>(last));
    box->setEscapeButton(last);
  }
  return box;
}

std::unique_ptr<QMessageBox> ChoiceBoxWithCheck(const std::string& text, const std::vector<std::string>& buttons,
                                                const std::string& checkText, bool checked,
                                                const std::string& caption) {
  std::unique_ptr<QMessageBox> box = ChoiceBox(text, buttons, caption);
  auto* check = new QCheckBox(QString::fromStdString(checkText));
  check->setChecked(checked);
  box->setCheckBox(check);  // the box owns it
  return box;
}

int ChosenIndex(const QMessageBox& box, std::size_t buttons) {
  const int last = static_cast<int>(buttons) - 1;
  const QAbstractButton* clicked = box.clickedButton();
  if (clicked == nullptr) return last;
  bool ok = false;
  const int index = clicked->property(kChoiceIndex).toInt(&ok);
  return ok ? index : last;
}

int QtDialogs::Choose(const std::string& text, const std::vector<std::string>& buttons, const std::string& caption) {
  const std::unique_ptr<QMessageBox> box = ChoiceBox(text, buttons, caption);
  box->exec();
  return ChosenIndex(*box, buttons.size());
}

int QtDialogs::ChooseWithCheck(const std::string& text, const std::vector<std::string>& buttons,
                               const std::string& checkText, bool& checked, const std::string& caption) {
  const std::unique_ptr<QMessageBox> box = ChoiceBoxWithCheck(text, buttons, checkText, checked, caption);
  box->exec();
  checked = box->checkBox()->isChecked();
  return ChosenIndex(*box, buttons.size());
}

// --- scripted ---

std::vector<std::string> ScriptedDialogs::Messages() const {
  std::vector<std::string> texts;
  for (const Asked& a : asked_)
    if (a.kind == Kind::Message) texts.push_back(a.text);
  return texts;
}

void ScriptedDialogs::Clear() {
  confirms_.clear();
  choices_.clear();
  checkedChoices_.clear();
  inputs_.clear();
  asked_.clear();
}

void ScriptedDialogs::ShowMessage(const std::string& text, const std::string& caption) {
  asked_.push_back({Kind::Message, caption, text, std::string(), std::string()});
}

bool ScriptedDialogs::Confirm(const std::string& text, const std::string& caption) {
  asked_.push_back({Kind::Confirm, caption, text, std::string(), std::string()});
  if (confirms_.empty()) return false;
  const bool yes = confirms_.front();
  confirms_.pop_front();
  return yes;
}

std::string ScriptedDialogs::InputBox(const std::string& caption, const std::string& prompt,
                                      const std::string& defaultValue) {
  asked_.push_back({Kind::Input, caption, prompt, defaultValue, std::string()});
  if (inputs_.empty()) return defaultValue;
  std::optional<std::string> answer = std::move(inputs_.front());
  inputs_.pop_front();
  return answer ? *answer : defaultValue;
}

namespace {

std::string Joined(const std::vector<std::string>& buttons) {
  std::string joined;
  for (const std::string& b : buttons) joined += (joined.empty() ? "" : "|") + b;
  return joined;
}

}  // namespace

int ScriptedDialogs::Choose(const std::string& text, const std::vector<std::string>& buttons,
                            const std::string& caption) {
  asked_.push_back({Kind::Choice, caption, text, Joined(buttons), std::string()});
  if (choices_.empty()) return static_cast<int>(buttons.size()) - 1;
  const int answer = choices_.front();
  choices_.pop_front();
  return answer;
}

int ScriptedDialogs::ChooseWithCheck(const std::string& text, const std::vector<std::string>& buttons,
                                     const std::string& checkText, bool& checked, const std::string& caption) {
  asked_.push_back({Kind::CheckedChoice, caption, text, Joined(buttons), checkText});
  if (checkedChoices_.empty()) return static_cast<int>(buttons.size()) - 1;
  const auto [answer, ticked] = checkedChoices_.front();
  checkedChoices_.pop_front();
  checked = ticked;
  return answer;
}

// --- the program's instance ---

Dialogs& TheDialogs() {
  static QtDialogs qt;
  return g_dialogs ? *g_dialogs : qt;
}

void SetDialogs(Dialogs* dialogs) { g_dialogs = dialogs; }

ScopedDialogs::ScopedDialogs(Dialogs* dialogs) : previous_(g_dialogs) { g_dialogs = dialogs; }

ScopedDialogs::~ScopedDialogs() { g_dialogs = previous_; }

}  // namespace plat
