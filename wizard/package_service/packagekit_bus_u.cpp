#include "packagekit_bus_u.h"
#include "package_service_u.h"

#include <cstdio>

#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QTextCodec>

const char kPackageKitService[] = "org.freedesktop.PackageKit";
const char kPackageKitPath[] = "/org/freedesktop/PackageKit";
const char kPackageKitInterface[] = "org.freedesktop.PackageKit";
const char kTransactionInterface[] = "org.freedesktop.PackageKit.Transaction";
const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

static QDBusMessage methodCall(const char *service, const QString &path, const char *interface, const char *method,
                               const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(service), path, QLatin1String(interface),
                                                       QLatin1String(method));
    call.setArguments(arguments);
    return call;
}

QDBusMessage packageKitCall(const QString &path, const char *interface, const char *method,
                            const QVariantList &arguments)
{
    return methodCall(kPackageKitService, path, interface, method, arguments);
}

QDBusMessage busCall(const char *method, const QVariantList &arguments)
{
    return methodCall("org.freedesktop.DBus", QStringLiteral("/org/freedesktop/DBus"), "org.freedesktop.DBus", method,
                      arguments);
}

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

QString userLocale()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return QString::fromLocal8Bit(value);
    }
    return QString();
}

void say(const ServiceLine &line)
{
    const QByteArray bytes = installTextCodec()->fromUnicode(writeServiceLine(line)) + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

void say(const QString &words)
{
    say(ServiceLine::note(words));
}

QString nothingInstalledAfterCancel()
{
    return QStringLiteral("The installation was cancelled: nothing was installed.");
}

void listenToTransaction(QDBusConnection &bus, const QString &transaction, QObject *receiver, bool on)
{
    const QString service = QLatin1String(kPackageKitService);
    const QString iface = QLatin1String(kTransactionInterface);
    struct Signal {
        const char *name;
        const char *slot;
    };
    const Signal signals_[] = {
        {"ErrorCode", SLOT(onErrorCode(uint,QString))},
        {"Finished", SLOT(onFinished(uint,uint))},
        {"Package", SLOT(onPackage(uint,QString,QString))},
        {"Destroy", SLOT(onDestroy())},
    };
    for (const Signal &s : signals_) {
        if (on)
            bus.connect(service, transaction, iface, QLatin1String(s.name), receiver, s.slot);
        else
            bus.disconnect(service, transaction, iface, QLatin1String(s.name), receiver, s.slot);
    }
    const char *changed = SLOT(onPropertiesChanged(QString,QVariantMap,QStringList));
    if (on)
        bus.connect(service, transaction, QLatin1String(kPropertiesInterface), QStringLiteral("PropertiesChanged"), receiver,
                    changed);
    else
        bus.disconnect(service, transaction, QLatin1String(kPropertiesInterface), QStringLiteral("PropertiesChanged"),
                       receiver, changed);
}
