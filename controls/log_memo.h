// TLogMemo: the read-only log area of the windows. Lines are collected and
// shown together a few times a second: a queue of small files writes a dozen
// lines per file, and laying out each on its own would cost more than the
// transfer. Lines() and Text() include what is still waiting.
#pragma once

#include <string>
#include <vector>

#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>

class TLogMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TLogMemo(QWidget* parent = nullptr);

  void AddLine(const std::string& line);
  // Shows what is waiting now.
  void Flush();
  // Empties the log, waiting lines included.
  void Clear();
  std::vector<std::string> Lines();

 private:
  QStringList pending_;
  QTimer flushTimer_;
};
