#include "controls/log_memo.h"

namespace {

// How long a line may wait before it is shown.
constexpr int kFlushDelayMs = 100;
// The log keeps this many lines; older ones go.
constexpr int kMaxLines = 20000;

}  // namespace

TLogMemo::TLogMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setMaximumBlockCount(kMaxLines);
  flushTimer_.setSingleShot(true);
  flushTimer_.setInterval(kFlushDelayMs);
  connect(&flushTimer_, &QTimer::timeout, this, &TLogMemo::Flush);
}

void TLogMemo::AddLine(const std::string& line) {
  pending_.append(QString::fromStdString(line));
  if (!flushTimer_.isActive()) flushTimer_.start();
}

void TLogMemo::Flush() {
  flushTimer_.stop();
  if (pending_.isEmpty()) return;
  appendPlainText(pending_.join(QLatin1Char('\n')));
  pending_.clear();
}

void TLogMemo::Clear() {
  flushTimer_.stop();
  pending_.clear();
  clear();
}

std::vector<std::string> TLogMemo::Lines() {
  Flush();
  std::vector<std::string> lines;
  const QString text = toPlainText();
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(line.toStdString());
  return lines;
}
