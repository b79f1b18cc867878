#include "platform/qt/mount_notifier.h"

#include <exception>
#include <utility>

#include <QSocketNotifier>

#include "platform/message_loop.h"

namespace plat {

MountTableNotifier::MountTableNotifier(const std::string& table, std::function<void()> changed, QObject* parent)
    : QObject(parent), watch_(table), changed_(std::move(changed)) {
  if (watch_.Descriptor() < 0) return;
  gather_.setSingleShot(true);
  gather_.setInterval(kGatherMs);
  connect(&gather_, &QTimer::timeout, this, [this] { Deliver(); });
  notifier_ = std::make_unique<QSocketNotifier>(
      watch_.Descriptor(), watch_.PriorityEvents() ? QSocketNotifier::Exception : QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    if (watch_.Acknowledge() && changed_ && !gather_.isActive()) gather_.start();
  });
}

MountTableNotifier::~MountTableNotifier() = default;

void MountTableNotifier::Deliver() {
  // A copy: the handler may Stop() this notifier, which lets go of changed_.
  const std::function<void()> changed = changed_;
  if (!changed) return;
  try {
    changed();
  } catch (...) {
    // Exceptions never cross Qt's event loop.
    MessageLoop::Current().HandleException(std::current_exception());
  }
}

void MountTableNotifier::Stop() {
  if (notifier_) notifier_->setEnabled(false);
  gather_.stop();
  changed_ = nullptr;
}

}  // namespace plat
