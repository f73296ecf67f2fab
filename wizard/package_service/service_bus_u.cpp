// The system bus as the clients and the wizard ask it.
#include "service_bus_u.h"
#include "package_service_u.h"

#include <memory>

#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QStringList>
#include <QThread>
#include <QTimer>

const char kPackageKitService[] = "org.freedesktop.PackageKit";
const char kPackageKitPath[] = "/org/freedesktop/PackageKit";
const char kPackageKitInterface[] = "org.freedesktop.PackageKit";
const char kTransactionInterface[] = "org.freedesktop.PackageKit.Transaction";
const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
const char kDnf5DaemonService[] = "org.rpm.dnf.v0";

QDBusMessage callAndWait(QDBusConnection &bus, const QDBusMessage &call, int timeoutMs)
{
    QDBusPendingCall pending = bus.asyncCall(call, timeoutMs);
    QDBusPendingCallWatcher watcher(pending);
    if (!watcher.isFinished()) {
        QEventLoop loop;
        QObject::connect(&watcher, SIGNAL(finished(QDBusPendingCallWatcher*)), &loop, SLOT(quit()));
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return pending.reply();
}

QString inWords(const QDBusError &error)
{
    return QStringLiteral("%1 (%2)").arg(error.message(), error.name());
}

QString nothingInstalledAfterCancel()
{
    return QStringLiteral("The installation was cancelled: nothing was installed.");
}

namespace {

bool leftWaiting = false;

// A call of METHOD on the bus itself.
QDBusMessage busCall(const char *method, const QVariantList &arguments = QVariantList())
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"), QLatin1String(method));
    call.setArguments(arguments);
    return call;
}

// The service as the words of a check that failed name it.
QString knownAs(PackageService service)
{
    return service == PackageService::Dnf5Daemon ? QStringLiteral("the dnf5 daemon") : packageServiceName(service);
}

bool serviceReachable(PackageService service, QString *why)
{
    const QString name = QLatin1String(service == PackageService::Dnf5Daemon ? kDnf5DaemonService : kPackageKitService);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("the system bus cannot be reached: ") + inWords(bus.lastError());
        return false;
    }
    const QDBusMessage owned = callAndWait(bus, busCall("NameHasOwner", {name}), kBusAnswerMs);
    if (owned.type() == QDBusMessage::ReplyMessage && owned.arguments().value(0).toBool())
        return true;
    const QDBusMessage startable = callAndWait(bus, busCall("ListActivatableNames"), kBusAnswerMs);
    if (startable.type() == QDBusMessage::ErrorMessage) {
        *why = QStringLiteral("the system bus did not say whether it can start %1: ").arg(knownAs(service))
               + inWords(QDBusError(startable));
        return false;
    }
    if (startable.arguments().value(0).toStringList().contains(name))
        return true;
    *why = QStringLiteral("%1 (%2) is neither running nor installed").arg(knownAs(service), name);
    return false;
}

} // namespace

bool packageServiceAvailable(PackageService service, QString *why)
{
    // Shared with the thread, which may outlive this call.
    struct Answer {
        bool available = false;
        QString reason;
    };
    const auto answer = std::make_shared<Answer>();
    QThread *asking = QThread::create([answer, service] { answer->available = serviceReachable(service, &answer->reason); });
    QEventLoop loop;
    QObject::connect(asking, SIGNAL(finished()), &loop, SLOT(quit()));
    QTimer::singleShot(kBusSetupMs, &loop, SLOT(quit()));
    asking->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!asking->isFinished()) {
        // A bus that takes the connection but never answers keeps the thread
        // for ever; it is left to itself, and the check fails.
        *why = QStringLiteral("the system bus did not answer within %1 s").arg(kBusSetupMs / 1000);
        leftWaiting = true;
        return false;
    }
    delete asking;
    *why = answer->reason;
    return answer->available;
}

bool busCheckLeftWaiting()
{
    return leftWaiting;
}
