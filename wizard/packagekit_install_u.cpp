// The installation through PackageKit's D-Bus interface: a transaction that
// installs one local file, its progress printed as lines, its outcome as the
// exit status.
#include "packagekit_install_u.h"
#include "packagekit_names_u.h"
#include "qor_build_config.h"
#include "text_codec_u.h"

#include <cstdio>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextCodec>
#include <QTimer>
#include <QVariantMap>

const char kPackageKitInstallArgument[] = "--install-with-packagekit";
const char kPackageKitDebArgument[] = "--deb";
const char kPackageKitRpmArgument[] = "--rpm";

namespace {

const char kService[] = "org.freedesktop.PackageKit";
const char kDaemonPath[] = "/org/freedesktop/PackageKit";
const char kDaemonInterface[] = "org.freedesktop.PackageKit";
const char kTransactionInterface[] = "org.freedesktop.PackageKit.Transaction";
const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

// The bus answers at once; PackageKit may first have to be started by it,
// which the bus itself bounds (25 s by default), on a busy machine too.
const int kBusAnswerMs = 10000;
const int kDaemonAnswerMs = 60000;
// While the transaction runs PackageKit is asked for its state this often;
// one that does not answer within kDaemonAnswerMs has hung. A password
// dialogue does not stop it from answering, so the user may take their time.
const int kPingEveryMs = 15000;
// InstallFiles may answer only once the user has been asked for a password:
// its reply is awaited without a bound of its own; the pings bound the wait.
const int kNoBoundMs = 24 * 3600 * 1000;

// Lines go out one at a time and at once: the install worker shows each
// as it comes, read in the encoding the install page reads.
void say(const QString &line)
{
    const QByteArray bytes = installTextCodec()->fromUnicode(line) + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

QString inWords(const QDBusError &error)
{
    return QStringLiteral("%1 (%2)").arg(error.message(), error.name());
}

// The installer programs that this kind of package takes where they exist.
QString desktopToolsMissing(bool deb)
{
    return deb ? QStringLiteral("pkexec with gdebi")
               : QStringLiteral("gpk-install-local-file (gnome-packagekit's installer, which its "
                                                  "recent releases no longer include)");
}

// The locale the user reads in, for PackageKit's own messages.
QString userLocale()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return QString::fromLocal8Bit(value);
    }
    return QString();
}

QDBusMessage methodCall(const char *service, const QString &path, const char *interface, const char *method,
                        const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(service), path, QLatin1String(interface),
                                                       QLatin1String(method));
    call.setArguments(arguments);
    return call;
}

// A call of METHOD on the bus itself.
QDBusMessage busCall(const char *method, const QVariantList &arguments = QVariantList())
{
    return methodCall("org.freedesktop.DBus", QStringLiteral("/org/freedesktop/DBus"), "org.freedesktop.DBus", method,
                      arguments);
}

// A call of METHOD on PackageKit's object PATH.
QDBusMessage packageKitCall(const QString &path, const char *interface, const char *method,
                            const QVariantList &arguments = QVariantList())
{
    return methodCall(kService, path, interface, method, arguments);
}

// One installation: every step either leads to the next or ends the run
// through finish(), exactly once.
class PackageKitTransaction : public QObject
{
    Q_OBJECT

public:
    PackageKitTransaction(const QString &path, bool deb, QObject *parent)
        : QObject(parent), bus(QDBusConnection::systemBus()), path(path), deb(deb)
    {
    }

    void start();
    int status() const { return exitStatus; }

private slots:
    void created(QDBusPendingCallWatcher *call);
    void installAnswered(QDBusPendingCallWatcher *call);
    void pingAnswered(QDBusPendingCallWatcher *call);
    void ping();
    void daemonGone();
    void onErrorCode(uint code, const QString &details);
    void onFinished(uint exit, uint runtime);
    void onPackage(uint info, const QString &packageId, const QString &summary);
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);
    void onDestroy();

private:
    bool checkKindSupported();
    void listen();
    void report(const QString &line);
    void failWith(const QString &what, const QDBusError &error);
    void finish(int status);
    QDBusPendingCallWatcher *watch(const QDBusPendingCall &call, const char *slot);

    QDBusConnection bus;
    const QString path;
    const bool deb;
    QString transaction;
    QString lastLine;
    QTimer pinger;
    bool pingPending = false;
    bool installPending = false;
    bool destroyed = false;
    bool finished = false;
    uint errorCode = 0;
    bool errorSeen = false;
    int exitStatus = PkFailed;
};

void PackageKitTransaction::report(const QString &line)
{
    // The same state reported twice in a row tells the user nothing new.
    if (line == lastLine)
        return;
    lastLine = line;
    say(QStringLiteral("PackageKit: ") + line);
}

void PackageKitTransaction::finish(int status)
{
    if (finished)
        return;
    finished = true;
    exitStatus = status;
    pinger.stop();
    QCoreApplication::exit(status);
}

QDBusPendingCallWatcher *PackageKitTransaction::watch(const QDBusPendingCall &call, const char *slot)
{
    QDBusPendingCallWatcher *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, SIGNAL(finished(QDBusPendingCallWatcher*)), this, slot);
    return watcher;
}

// A D-Bus error ends the run; its name tells what kind of failure it is.
void PackageKitTransaction::failWith(const QString &what, const QDBusError &error)
{
    const QString name = error.name();
    if (name == QLatin1String("org.freedesktop.PackageKit.Transaction.MimeTypeNotSupported")) {
        say(QStringLiteral("PackageKit on this system cannot install this kind of package: ") + inWords(error));
        say(terminalInstallHint());
        finish(PkKindNotSupported);
    } else if (name == QLatin1String("org.freedesktop.PackageKit.Transaction.RefusedByPolicy")
               || name == QLatin1String("org.freedesktop.PackageKit.Transaction.NotAuthorized")
               || name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")) {
        say(QStringLiteral("Authorisation was refused: %1: %2").arg(what, inWords(error)));
        finish(PkNotAuthorised);
    } else if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout
               || error.type() == QDBusError::TimedOut || error.type() == QDBusError::ServiceUnknown
               || error.type() == QDBusError::Disconnected || error.type() == QDBusError::NoServer
               || name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn"))) {
        say(QStringLiteral("PackageKit could not be reached: %1: %2").arg(what, inWords(error)));
        say(terminalInstallHint());
        finish(PkUnavailable);
    } else {
        say(QStringLiteral("PackageKit refused: %1: %2").arg(what, inWords(error)));
        finish(PkFailed);
    }
}

void PackageKitTransaction::start()
{
    QString why;
    if (!packageKitAvailable(&why)) {
        say(QStringLiteral("Neither %1 nor PackageKit is available on this system: %2.")
                .arg(desktopToolsMissing(deb), why));
        say(terminalInstallHint());
        finish(PkUnavailable);
        return;
    }
    // Gone while the installation runs: a failure with that reason, never
    // a wait for a result that cannot come.
    QDBusServiceWatcher *watcher = new QDBusServiceWatcher(QLatin1String(kService), bus,
                                                           QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, SIGNAL(serviceUnregistered(QString)), this, SLOT(daemonGone()));
    if (!checkKindSupported())
        return;
    report(QStringLiteral("asking to install ") + path);
    const QDBusMessage create = packageKitCall(QLatin1String(kDaemonPath), kDaemonInterface, "CreateTransaction");
    watch(bus.asyncCall(create, kDaemonAnswerMs), SLOT(created(QDBusPendingCallWatcher*)));
}

// PackageKit lists the kinds of package file its backend installs; asking
// it also starts it. A list it does not give leaves the decision to it.
bool PackageKitTransaction::checkKindSupported()
{
    const QDBusMessage get = packageKitCall(QLatin1String(kDaemonPath), kPropertiesInterface, "Get",
                                            {QLatin1String(kDaemonInterface), QStringLiteral("MimeTypes")});
    const QDBusMessage answer = bus.call(get, QDBus::Block, kDaemonAnswerMs);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        failWith(QStringLiteral("asking which packages it installs"), QDBusError(answer));
        return false;
    }
    const QStringList types = answer.arguments().value(0).value<QDBusVariant>().variant().toStringList();
    const QStringList ours = deb
        ? QStringList{QStringLiteral("application/vnd.debian.binary-package"), QStringLiteral("application/x-deb")}
        : QStringList{QStringLiteral("application/x-rpm")};
    if (types.isEmpty())
        return true;
    for (const QString &type : ours) {
        if (types.contains(type))
            return true;
    }
    say(QStringLiteral("PackageKit on this system cannot install this kind of package (%1): it installs %2.")
            .arg(ours.first(), types.join(QStringLiteral(", "))));
    say(terminalInstallHint());
    finish(PkKindNotSupported);
    return false;
}

void PackageKitTransaction::created(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    QDBusPendingReply<QDBusObjectPath> reply = *call;
    if (reply.isError()) {
        failWith(QStringLiteral("starting a transaction"), reply.error());
        return;
    }
    transaction = reply.value().path();
    listen();

    // Without interactive=true polkit may refuse rather than ask the user.
    QStringList hintList{QStringLiteral("interactive=true"), QStringLiteral("background=false")};
    const QString locale = userLocale();
    if (!locale.isEmpty())
        hintList << QStringLiteral("locale=") + locale;
    const QDBusMessage hinted = bus.call(packageKitCall(transaction, kTransactionInterface, "SetHints", {hintList}),
                                         QDBus::Block, kDaemonAnswerMs);
    if (hinted.type() == QDBusMessage::ErrorMessage) {
        failWith(QStringLiteral("setting up the transaction"), QDBusError(hinted));
        return;
    }

    // No flags: the demo and most vendors' packages are not signed by a key
    // the system trusts, and polkit asks for an administrator then.
    const QDBusMessage install = packageKitCall(transaction, kTransactionInterface, "InstallFiles",
                                                {QVariant::fromValue(qulonglong(0)), QStringList{path}});
    installPending = true;
    watch(bus.asyncCall(install, kNoBoundMs), SLOT(installAnswered(QDBusPendingCallWatcher*)));
    connect(&pinger, SIGNAL(timeout()), this, SLOT(ping()));
    pinger.start(kPingEveryMs);
}

void PackageKitTransaction::listen()
{
    const QString service = QLatin1String(kService);
    const QString iface = QLatin1String(kTransactionInterface);
    bus.connect(service, transaction, iface, QStringLiteral("ErrorCode"), this, SLOT(onErrorCode(uint,QString)));
    bus.connect(service, transaction, iface, QStringLiteral("Finished"), this, SLOT(onFinished(uint,uint)));
    bus.connect(service, transaction, iface, QStringLiteral("Package"), this,
                SLOT(onPackage(uint,QString,QString)));
    bus.connect(service, transaction, iface, QStringLiteral("Destroy"), this, SLOT(onDestroy()));
    bus.connect(service, transaction, QLatin1String(kPropertiesInterface), QStringLiteral("PropertiesChanged"), this,
                SLOT(onPropertiesChanged(QString,QVariantMap,QStringList)));
}

void PackageKitTransaction::installAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    installPending = false;
    const QDBusPendingReply<> reply = *call;
    if (reply.isError())
        failWith(QStringLiteral("installing ") + path, reply.error());
    else if (destroyed)
        onDestroy();
}

void PackageKitTransaction::ping()
{
    if (pingPending)
        return;
    pingPending = true;
    const QDBusMessage get = packageKitCall(transaction, kPropertiesInterface, "Get",
                                            {QLatin1String(kTransactionInterface), QStringLiteral("Status")});
    watch(bus.asyncCall(get, kDaemonAnswerMs), SLOT(pingAnswered(QDBusPendingCallWatcher*)));
}

void PackageKitTransaction::pingAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    pingPending = false;
    const QDBusPendingReply<QDBusVariant> reply = *call;
    if (!reply.isError() || finished)
        return;
    if (reply.error().type() == QDBusError::UnknownObject || reply.error().type() == QDBusError::UnknownMethod)
        say(QStringLiteral("The PackageKit transaction ended without a result: ") + inWords(reply.error()));
    failWith(QStringLiteral("waiting for the installation"), reply.error());
}

void PackageKitTransaction::daemonGone()
{
    if (finished)
        return;
    say(QStringLiteral("PackageKit stopped before the installation ended: the package may not be installed."));
    say(terminalInstallHint());
    finish(PkUnavailable);
}

void PackageKitTransaction::onDestroy()
{
    // A refused request ends the transaction before the refusal's reply
    // arrives, and that reply says why.
    destroyed = true;
    if (finished || installPending)
        return;
    say(QStringLiteral("PackageKit ended the transaction without a result: the package may not be installed."));
    finish(PkFailed);
}

void PackageKitTransaction::onErrorCode(uint code, const QString &details)
{
    errorSeen = true;
    errorCode = code;
    if (code == PkErrorNotAuthorized)
        say(QStringLiteral("Authorisation was refused: installing needs an administrator's permission, "
                           "which was not given."));
    say(QStringLiteral("PackageKit error %1 (%2): %3").arg(packageKitErrorName(code)).arg(code).arg(details));
}

void PackageKitTransaction::onFinished(uint exit, uint)
{
    if (exit == PkExitSuccess && !errorSeen) {
        report(QStringLiteral("finished, the package is installed"));
        finish(PkInstalled);
        return;
    }
    say(QStringLiteral("PackageKit: the installation ended: ") + packageKitExitName(exit));
    finish(errorSeen && errorCode == PkErrorNotAuthorized ? PkNotAuthorised : PkFailed);
}

// A package ID is "name;version;architecture;data".
static QString packageInWords(const QString &packageId)
{
    const QStringList parts = packageId.split(QLatin1Char(';'));
    QString words = parts.value(0);
    if (!parts.value(1).isEmpty())
        words += QLatin1Char(' ') + parts.value(1);
    if (!parts.value(2).isEmpty())
        words += QStringLiteral(" (%1)").arg(parts.value(2));
    return words;
}

void PackageKitTransaction::onPackage(uint info, const QString &packageId, const QString &)
{
    report(packageKitInfoWords(info) + QLatin1Char(' ') + packageInWords(packageId));
}

void PackageKitTransaction::onPropertiesChanged(const QString &, const QVariantMap &changed, const QStringList &)
{
    if (changed.contains(QStringLiteral("Status")))
        report(packageKitStatusWords(changed.value(QStringLiteral("Status")).toUInt()));
    if (changed.contains(QStringLiteral("Percentage"))) {
        const uint percentage = changed.value(QStringLiteral("Percentage")).toUInt();
        if (percentage < PkPercentageUnknown)
            report(QStringLiteral("%1% done").arg(percentage));
    }
}

} // namespace

bool runPackageKitInstallIfAsked(int argc, char **argv, int *status)
{
    if (argc < 2 || qstrcmp(argv[1], kPackageKitInstallArgument) != 0)
        return false;
    bool deb = QOR_PACKAGE_IS_DEB != 0;
    int pathAt = 2;
    if (argc == 4 && qstrcmp(argv[2], kPackageKitDebArgument) == 0) {
        deb = true;
        pathAt = 3;
    } else if (argc == 4 && qstrcmp(argv[2], kPackageKitRpmArgument) == 0) {
        deb = false;
        pathAt = 3;
    }
    if (argc != pathAt + 1) {
        say(QStringLiteral("usage: %1 %2 [%3|%4] PACKAGE-FILE")
                .arg(QString::fromLocal8Bit(argv[0]), QLatin1String(kPackageKitInstallArgument),
                     QLatin1String(kPackageKitDebArgument), QLatin1String(kPackageKitRpmArgument)));
        *status = PkUsage;
        return true;
    }
    QCoreApplication app(argc, argv);
    // PackageKit reads the file as root, from its own working folder: a
    // relative path would name another file there, or none.
    const QString path = QFileInfo(QFile::decodeName(argv[pathAt])).absoluteFilePath();
    QFile package(path);
    if (!package.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("Cannot read the package file %1: %2").arg(path, package.errorString()));
        *status = PkFailed;
        return true;
    }
    package.close();
    PackageKitTransaction transaction(path, deb, &app);
    QTimer::singleShot(0, &transaction, [&transaction] { transaction.start(); });
    app.exec();
    *status = transaction.status();
    return true;
}

bool packageKitAvailable(QString *why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("the system bus cannot be reached: ") + inWords(bus.lastError());
        return false;
    }
    const QString name = QLatin1String(kService);
    const QDBusMessage owned = bus.call(busCall("NameHasOwner", {name}), QDBus::Block, kBusAnswerMs);
    if (owned.type() == QDBusMessage::ReplyMessage && owned.arguments().value(0).toBool())
        return true;
    const QDBusMessage startable = bus.call(busCall("ListActivatableNames"), QDBus::Block, kBusAnswerMs);
    if (startable.type() == QDBusMessage::ErrorMessage) {
        *why = QStringLiteral("the system bus did not say whether it can start PackageKit: ")
               + inWords(QDBusError(startable));
        return false;
    }
    if (startable.arguments().value(0).toStringList().contains(name))
        return true;
    *why = QStringLiteral("PackageKit (org.freedesktop.PackageKit) is neither running nor installed");
    return false;
}

// Quoted for the shell where it needs to be, as a user would type it.
static QString shellWord(const QString &word)
{
    static const QString plain = QStringLiteral(
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-=,:@");
    bool quote = word.isEmpty();
    for (const QChar c : word)
        quote = quote || !plain.contains(c);
    if (!quote)
        return word;
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString terminalInstallHint()
{
    // The launcher started as "qor-setup" was found on PATH, which sudo
    // may not search: a path from the current folder then.
    QString command = QFile::decodeName(qgetenv("QOR_INSTALLER_COMMAND"));
    if (command.isEmpty())
        command = QStringLiteral("./qor-setup");
    else if (!command.contains(QLatin1Char('/')))
        command.prepend(QStringLiteral("./"));
    return QStringLiteral("To install from a terminal instead, run the installer as root, for example: sudo ")
           + shellWord(command);
}

#include "packagekit_install_u.moc"
