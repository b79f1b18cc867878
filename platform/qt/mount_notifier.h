// Delivers mount-table changes (platform/mount_watch.h) on Qt's event loop:
// the watch's descriptor sits in the loop like a socket, so nothing polls and
// nothing runs while the table stays as it is. A burst of changes (a
// container or a desktop session mounting its dozens of file systems) is
// delivered once, a moment after it began.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QTimer>

#include "platform/mount_watch.h"

class QSocketNotifier;

namespace plat {

class MountTableNotifier : public QObject {
 public:
  // Changes within this time of the first one are delivered together.
  static constexpr int kGatherMs = 200;

  // `changed` runs on the loop after each change (or burst of changes) of
  // `table`. A table that cannot be watched gives no notifications
  // (Watching() false).
  MountTableNotifier(const std::string& table, std::function<void()> changed, QObject* parent = nullptr);
  ~MountTableNotifier() override;

  bool Watching() const { return notifier_ != nullptr; }
  // No more notifications; safe from inside `changed`, after which the
  // owner may deleteLater() the notifier.
  void Stop();

 private:
  void Deliver();

  MountTableWatch watch_;
  std::function<void()> changed_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QTimer gather_;
};

}  // namespace plat
