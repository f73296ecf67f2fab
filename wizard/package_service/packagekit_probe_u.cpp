// Whether a package service can be reached, asked of the bus only.
#include "package_service_u.h"
#include "dnf5daemon_client.h"
#include "packagekit_bus_u.h"

#include <memory>

#include <QEventLoop>
#include <QStringList>
#include <QThread>
#include <QTimer>

namespace {

bool leftWaiting = false;

bool serviceReachable(PackageService service, QString *why)
{
    const QString name = QLatin1String(service == PackageService::Dnf5Daemon ? kDnf5DaemonService : kPackageKitService);
    const QString known = service == PackageService::Dnf5Daemon ? QStringLiteral("the dnf5 daemon") : packageServiceName(service);
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
        *why = QStringLiteral("the system bus did not say whether it can start %1: ").arg(known)
               + inWords(QDBusError(startable));
        return false;
    }
    if (startable.arguments().value(0).toStringList().contains(name))
        return true;
    *why = QStringLiteral("%1 (%2) is neither running nor installed").arg(known, name);
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
