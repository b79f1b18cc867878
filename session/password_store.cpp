#include "session/password_store.h"

#include <memory>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace session {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Whether a keyring can answer at all. QtKeychain reports a missing session
// bus as just another error, which would read as a refusal.
bool KeyringReachable() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  QStringList names = bus.interface()->registeredServiceNames().value();
  names += bus.interface()->activatableServiceNames().value();
  for (const char* service : {"org.freedesktop.secrets", "org.kde.kwalletd5", "org.kde.kwalletd6"})
    if (names.contains(QString::fromLatin1(service))) return true;
  return false;
}

// A Secret Service whose default collection is locked. libsecret answers a
// look-up there as "not found" once the unlock prompt fails or is dismissed,
// which would tell the user the password was never saved.
bool DefaultCollectionLocked() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString service = QStringLiteral("org.freedesktop.secrets");
  if (!bus.isConnected() || bus.interface() == nullptr || !bus.interface()->isServiceRegistered(service)) return false;
  QDBusMessage get = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/secrets/aliases/default"),
                                                    QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
  get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
  const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

TKeyringResult Outcome(QKeychain::Job& job) {
  TKeyringResult result;
  switch (job.error()) {
    case QKeychain::NoError:
      result.Status = TKeyringResult::Done;
      if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(&job)) result.Password = read->textData().toStdString();
      break;
    case QKeychain::EntryNotFound:
      result.Status = TKeyringResult::NotFound;
      if (DefaultCollectionLocked()) {
        result.Status = TKeyringResult::Refused;
        result.Reason = "the keyring is locked";
      }
      break;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
      result.Status = TKeyringResult::NoService;
      break;
    default:
      result.Status = TKeyringResult::Refused;
      result.Reason = job.errorString().toStdString();
      if (result.Reason.empty()) result.Reason = "access denied";
      break;
  }
  return result;
}

// Starts the job and waits for it in a local event loop, so the windows keep
// painting; the timer bounds the wait. A job that outlives it deletes itself
// when it ends, and its answer goes nowhere.
TKeyringResult Run(QKeychain::Job* job, const std::string& profile, int timeoutMs) {
  job->setAutoDelete(true);
  job->setInsecureFallback(false);
  job->setKey(Q(profile));
  if (!KeyringReachable()) {
    delete job;
    return {TKeyringResult::NoService, "", ""};
  }
  TKeyringResult result{TKeyringResult::Refused, "",
                        "no answer from the keyring within " + std::to_string(timeoutMs / 1000) + " seconds"};
  bool finished = false;
  QEventLoop loop;
  QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* done) {
    result = Outcome(*done);
    finished = true;
    loop.quit();
  });
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(timeoutMs);
  job->start();
  if (!finished) loop.exec();
  return result;
}

TPasswordKeyring* installed = nullptr;

}  // namespace

TDesktopKeyring::TDesktopKeyring(std::string service, int timeoutMs)
    : service_(std::move(service)), timeoutMs_(timeoutMs) {}

TKeyringResult TDesktopKeyring::Read(const std::string& profile) {
  return Run(new QKeychain::ReadPasswordJob(Q(service_)), profile, timeoutMs_);
}

TKeyringResult TDesktopKeyring::Write(const std::string& profile, const std::string& password) {
  auto* job = new QKeychain::WritePasswordJob(Q(service_));
  job->setTextData(Q(password));
  return Run(job, profile, timeoutMs_);
}

TKeyringResult TDesktopKeyring::Remove(const std::string& profile) {
  return Run(new QKeychain::DeletePasswordJob(Q(service_)), profile, timeoutMs_);
}

TPasswordKeyring& TheKeyring() {
  static TDesktopKeyring desktop;
  return installed != nullptr ? *installed : desktop;
}

void SetKeyring(TPasswordKeyring* keyring) { installed = keyring; }

}  // namespace session
