// Modal message, confirmation and input boxes behind one small interface, so
// that tests answer them from a script and never block on a dialog.
//
// Code asks TheDialogs(); the program starts with the Qt boxes, a test installs
// a ScriptedDialogs with SetDialogs().
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QMessageBox;

namespace plat {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A message with an OK button. An empty caption gives the program's name.
  virtual void ShowMessage(const std::string& text, const std::string& caption = std::string()) = 0;
  // A Yes/No question: true only when the user answered Yes (closing the box is No).
  virtual bool Confirm(const std::string& text, const std::string& caption = std::string()) = 0;
  // One line of input; Cancel (or closing the box) gives back defaultValue.
  virtual std::string InputBox(const std::string& caption, const std::string& prompt,
                               const std::string& defaultValue) = 0;
  // A warning with a button for each choice: the index of the one pressed;
  // closing the box is the last choice (which should be Cancel).
  virtual int Choose(const std::string& text, const std::vector<std::string>& buttons,
                     const std::string& caption = std::string()) = 0;
  // Choose with a check box under the text: checked comes in as the box's
  // state and goes out as the user left it.
  virtual int ChooseWithCheck(const std::string& text, const std::vector<std::string>& buttons,
                              const std::string& checkText, bool& checked,
                              const std::string& caption = std::string()) = 0;
};

// The warning box Choose shows: the last button is the default and Escape.
std::unique_ptr<QMessageBox> ChoiceBox(const std::string& text, const std::vector<std::string>& buttons,
                                       const std::string& caption);
// The same box with a check box (ChooseWithCheck's).
std::unique_ptr<QMessageBox> ChoiceBoxWithCheck(const std::string& text, const std::vector<std::string>& buttons,
                                                const std::string& checkText, bool checked,
                                                const std::string& caption);
// The index of the button of a ChoiceBox that closed it.
int ChosenIndex(const QMessageBox& box, std::size_t buttons);

// The boxes of the desktop (QMessageBox, QInputDialog).
class QtDialogs : public Dialogs {
 public:
  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool Confirm(const std::string& text, const std::string& caption) override;
  std::string InputBox(const std::string& caption, const std::string& prompt,
                       const std::string& defaultValue) override;
  int Choose(const std::string& text, const std::vector<std::string>& buttons, const std::string& caption) override;
  int ChooseWithCheck(const std::string& text, const std::vector<std::string>& buttons, const std::string& checkText,
                      bool& checked, const std::string& caption) override;
};

// Answers loaded beforehand, one queue per kind of box, and a record of every
// box asked for. A question with no answer left gets No, an input box Cancel.
class ScriptedDialogs : public Dialogs {
 public:
  enum class Kind { Message, Confirm, Input, Choice, CheckedChoice };
  struct Asked {
    Kind kind;
    std::string caption;
    std::string text;           // message, question or prompt
    std::string defaultValue;   // input boxes; for choices, the buttons joined by "|"
    std::string checkText;      // a checked choice's check box
  };

  void AnswerConfirm(bool yes) { confirms_.push_back(yes); }
  // std::nullopt answers Cancel.
  void AnswerInput(std::optional<std::string> text) { inputs_.push_back(std::move(text)); }
  // The index of the button pressed; without one, the last button.
  void AnswerChoice(int index) { choices_.push_back(index); }
  // A choice with a check box: the button and the box's state when it was
  // pressed; without one, the last button and the box as it was shown.
  void AnswerCheckedChoice(int index, bool checked) { checkedChoices_.push_back({index, checked}); }

  const std::vector<Asked>& asked() const { return asked_; }
  // The texts of the message boxes shown so far, in order.
  std::vector<std::string> Messages() const;
  std::size_t PendingAnswers() const {
    return confirms_.size() + inputs_.size() + choices_.size() + checkedChoices_.size();
  }
  void Clear();

  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool Confirm(const std::string& text, const std::string& caption) override;
  std::string InputBox(const std::string& caption, const std::string& prompt,
                       const std::string& defaultValue) override;
  int Choose(const std::string& text, const std::vector<std::string>& buttons, const std::string& caption) override;
  int ChooseWithCheck(const std::string& text, const std::vector<std::string>& buttons, const std::string& checkText,
                      bool& checked, const std::string& caption) override;

 private:
  std::deque<bool> confirms_;
  std::deque<int> choices_;
  std::deque<std::pair<int, bool>> checkedChoices_;
  std::deque<std::optional<std::string>> inputs_;
  std::vector<Asked> asked_;
};

Dialogs& TheDialogs();
// nullptr puts the Qt boxes back. The caller keeps ownership.
void SetDialogs(Dialogs* dialogs);

// Sets TheDialogs() for one scope (a test), restoring the previous one.
class ScopedDialogs {
 public:
  explicit ScopedDialogs(Dialogs* dialogs);
  ~ScopedDialogs();
  ScopedDialogs(const ScopedDialogs&) = delete;
  ScopedDialogs& operator=(const ScopedDialogs&) = delete;

 private:
  Dialogs* previous_;
};

}  // namespace plat
