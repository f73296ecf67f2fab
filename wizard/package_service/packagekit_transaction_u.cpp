// One installation through PackageKit: the calls it makes, the signals it
// listens to and the lines they become, and the ways a run may take.
#include "packagekit_transaction_u.h"
#include "service_bus_u.h"
#include "packagekit_lock_wait_u.h"
#include "packagekit_names_u.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFileInfo>

#include <iterator>

namespace {

const PackageService kService = PackageService::PackageKit;

// While the transaction runs PackageKit is asked for its state this often;
// one that does not answer within kDaemonAnswerMs has hung. A password
// dialogue does not stop it from answering, so the user may take their time.
const int kPingEveryMs = 15000;
// InstallFiles may answer only once the user has been asked for a password:
// its reply is awaited without a bound of its own; the pings bound the wait.
const int kNoBoundMs = 24 * 3600 * 1000;
// The wizard gone, a cancelled transaction is given this long to end.
const int kOrphanGraceMs = 10000;

// The installer programs that this kind of package takes where they exist.
QString desktopToolsMissing(bool deb)
{
    return deb ? QStringLiteral("pkexec with gdebi")
               : QStringLiteral("gpk-install-local-file (gnome-packagekit's installer, which its "
                                "recent releases no longer include)");
}

// What the transaction is doing (PkStatusEnum), e.g. "waiting for
// authentication".
const char *const kStatusWords[] = {
    "in an unknown state", "waiting in the queue", "setting up", "running", "querying",
    "getting information", "removing packages", "refreshing the software list", "downloading packages",
    "installing packages", "updating packages", "cleaning up", "obsoleting packages",
    "resolving dependencies", "checking signatures", "testing changes", "committing changes",
    "requesting data", "finished", "cancelling", "downloading repository information",
    "downloading the list of packages", "downloading file lists", "downloading lists of changes",
    "downloading groups", "downloading update information", "repackaging files", "loading the cache",
    "scanning applications", "generating package lists", "waiting for the package manager lock",
    "waiting for authentication", "updating running applications", "checking applications in use",
    "checking libraries in use", "copying files", "running hooks"};
QString statusWords(uint status)
{
    return status < std::size(kStatusWords) ? QString::fromLatin1(kStatusWords[status])
                                            : QStringLiteral("in state %1").arg(status);
}

// What happens to a package (PkInfoEnum), in one word, e.g. "installing".
const char *const kInfoNames[] = {
    "unknown", "installed", "available", "low", "enhancement", "normal", "bugfix", "important",
    "security", "blocked", "downloading", "updating", "installing", "removing", "cleanup", "obsoleting",
    "collection-installed", "collection-available", "finished", "reinstalling", "downgrading",
    "preparing", "decompressing", "untrusted", "trusted", "unavailable", "critical"};
QString infoWords(uint info)
{
    return info < std::size(kInfoNames) ? QString::fromLatin1(kInfoNames[info]) : QStringLiteral("state-%1").arg(info);
}

// A package ID ("name;version;architecture;data") in words:
// "name version (architecture)".
QString packageWords(const QString &packageId)
{
    const QStringList parts = packageId.split(QLatin1Char(';'));
    QString words = parts.value(0);
    if (!parts.value(1).isEmpty())
        words += QLatin1Char(' ') + parts.value(1);
    if (!parts.value(2).isEmpty())
        words += QStringLiteral(" (%1)").arg(parts.value(2));
    return words;
}

} // namespace

// The system bus is connected to only once it has answered.
PackageKitTransaction::PackageKitTransaction(const QString &path, bool deb, const QString &locale, QObject *parent)
    : QObject(parent), bus(QStringLiteral("not yet connected")), path(path), deb(deb), locale(locale)
{
    connect(&pinger, SIGNAL(timeout()), this, SLOT(ping()));
    orphanGrace.setSingleShot(true);
    connect(&orphanGrace, &QTimer::timeout, this, [this] { finish(ServiceStatus::Cancelled); });
}

// The ways a run may take, all of them.
bool PackageKitTransaction::enter(Phase next)
{
    bool allowed = false;
    switch (phase) {
    case Phase::Probing:
        allowed = next == Phase::Creating || next == Phase::CancelPending;
        break;
    case Phase::Creating:
        allowed = next == Phase::Running || next == Phase::CancelPending;
        break;
    case Phase::Running:
        allowed = next == Phase::Cancelling || next == Phase::Changing || next == Phase::Destroyed
                  || next == Phase::LockWait;
        break;
    case Phase::Cancelling:
        // Refused, or too late: the transaction runs on.
        allowed = next == Phase::Running || next == Phase::Changing || next == Phase::Destroyed;
        break;
    case Phase::Changing:
        allowed = next == Phase::Destroyed;
        break;
    case Phase::LockWait:
        allowed = next == Phase::Creating;
        break;
    case Phase::CancelPending:
    case Phase::Destroyed:
        break;
    case Phase::Ended:
        return false;
    }
    if (!allowed && next != Phase::Ended)
        return false;
    phase = next;
    return true;
}

void PackageKitTransaction::finish(ServiceStatus status)
{
    if (!enter(Phase::Ended))
        return;
    exitStatus = status;
    pinger.stop();
    if (lockWait)
        lockWait->stop();
    QCoreApplication::exit(int(status));
}

LockWait *PackageKitTransaction::theLockWait()
{
    if (!lockWait) {
        lockWait = new LockWait(this);
        connect(lockWait, SIGNAL(free()), this, SLOT(createTransaction()));
    }
    return lockWait;
}

// A call of METHOD on PackageKit's object at path object.
QDBusMessage PackageKitTransaction::packageKitCall(const QString &object, const char *interface, const char *method,
                                         const QVariantList &arguments) const
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kPackageKitService), object,
                                                       QLatin1String(interface), QLatin1String(method));
    call.setArguments(arguments);
    return call;
}

// A line shows only when it says something else than the last of its kind
// did: last holds what that one said.
bool PackageKitTransaction::differs(QString &last, const QString &now)
{
    if (now == last)
        return false;
    last = now;
    return true;
}

QDBusPendingCallWatcher *PackageKitTransaction::watch(const QDBusPendingCall &call, const char *slot)
{
    QDBusPendingCallWatcher *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, SIGNAL(finished(QDBusPendingCallWatcher*)), this, slot);
    return watcher;
}

void PackageKitTransaction::start()
{
    QString why;
    if (!packageServiceAvailable(kService, &why)) {
        say(QStringLiteral("Neither %1 nor PackageKit is available on this system: %2.")
                .arg(desktopToolsMissing(deb), why));
        say(terminalInstallHint());
        finish(ServiceStatus::Unavailable);
        return;
    }
    bus = QDBusConnection::systemBus();
    // Gone while the installation runs: a failure with that reason, never
    // a wait for a result that cannot come.
    QDBusServiceWatcher *watcher = new QDBusServiceWatcher(QLatin1String(kPackageKitService), bus,
                                                           QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, SIGNAL(serviceUnregistered(QString)), this, SLOT(daemonGone()));
    // Which backend it runs and what kinds of file that installs; asking
    // also starts it.
    watch(bus.asyncCall(packageKitCall(QLatin1String(kPackageKitPath), kPropertiesInterface, "GetAll",
                                       {QLatin1String(kPackageKitInterface)}),
                        kDaemonAnswerMs),
          SLOT(daemonAnswered(QDBusPendingCallWatcher*)));
}

void PackageKitTransaction::daemonAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QVariantMap> reply = *call;
    if (reply.isError()) {
        failWith(QStringLiteral("asking which packages it installs"), reply.error());
        return;
    }
    if (phase == Phase::CancelPending) {
        say(nothingInstalledAfterCancel());
        finish(ServiceStatus::Cancelled);
        return;
    }
    backend = reply.value().value(QStringLiteral("BackendName")).toString();
    if (!kindSupported(reply.value().value(QStringLiteral("MimeTypes")).toStringList()))
        return;
    say(ServiceLine::asking(kService, path, backend.isEmpty() ? QStringLiteral("unnamed") : backend));
    createTransaction();
}

// A list PackageKit does not give leaves the decision to it.
bool PackageKitTransaction::kindSupported(const QStringList &types)
{
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
    finish(ServiceStatus::KindNotSupported);
    return false;
}

void PackageKitTransaction::createTransaction()
{
    if (!enter(Phase::Creating))
        return;
    errorCode = kNoError;
    lockWaitSeen = false;
    allowCancel = true;
    watch(bus.asyncCall(packageKitCall(QLatin1String(kPackageKitPath), kPackageKitInterface, "CreateTransaction"),
                        kDaemonAnswerMs),
          SLOT(created(QDBusPendingCallWatcher*)));
}

void PackageKitTransaction::created(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    QDBusPendingReply<QDBusObjectPath> reply = *call;
    if (reply.isError()) {
        failWith(QStringLiteral("starting a transaction"), reply.error());
        return;
    }
    if (phase == Phase::Ended)
        return;
    transaction = reply.value().path();
    listen(true);
    // Cancelled while PackageKit made the transaction: it never starts.
    if (phase == Phase::CancelPending) {
        say(nothingInstalledAfterCancel());
        finish(ServiceStatus::Cancelled);
        return;
    }
    enter(Phase::Running);

    // Without interactive=true polkit may refuse rather than ask the user.
    QStringList hintList{QStringLiteral("interactive=true"), QStringLiteral("background=false")};
    if (!locale.isEmpty())
        hintList << QStringLiteral("locale=") + locale;
    watch(bus.asyncCall(packageKitCall(transaction, kTransactionInterface, "SetHints", {hintList}), kDaemonAnswerMs),
          SLOT(hinted(QDBusPendingCallWatcher*)));
}

void PackageKitTransaction::hinted(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<> reply = *call;
    if (reply.isError()) {
        failWith(QStringLiteral("setting up the transaction"), reply.error());
        return;
    }
    if (phase == Phase::Ended)
        return;
    // No flags: the demo and most vendors' packages are not signed by a key
    // the system trusts, and polkit asks for an administrator then.
    const QDBusMessage install = packageKitCall(transaction, kTransactionInterface, "InstallFiles",
                                                {QVariant::fromValue(qulonglong(0)), QStringList{path}});
    installCall = watch(bus.asyncCall(install, kNoBoundMs), SLOT(installAnswered(QDBusPendingCallWatcher*)));
    pinger.start(kPingEveryMs);
}

// The transaction's signals, to the slots named for them, or no longer.
void PackageKitTransaction::listen(bool on)
{
    const QString service = QLatin1String(kPackageKitService);
    struct Signal {
        const char *interface;
        const char *name;
        const char *slot;
    };
    const Signal signals_[] = {
        {kTransactionInterface, "ErrorCode", SLOT(onErrorCode(uint,QString))},
        {kTransactionInterface, "Finished", SLOT(onFinished(uint,uint))},
        {kTransactionInterface, "Package", SLOT(onPackage(uint,QString,QString))},
        {kTransactionInterface, "Destroy", SLOT(onDestroy())},
        {kPropertiesInterface, "PropertiesChanged", SLOT(onPropertiesChanged(QString,QVariantMap,QStringList))},
    };
    for (const Signal &s : signals_) {
        if (on)
            bus.connect(service, transaction, QLatin1String(s.interface), QLatin1String(s.name), this, s.slot);
        else
            bus.disconnect(service, transaction, QLatin1String(s.interface), QLatin1String(s.name), this, s.slot);
    }
}


void PackageKitTransaction::installAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    installCall = nullptr;
    const QDBusPendingReply<> reply = *call;
    const QDBusError::ErrorType error = reply.error().type();
    // The daemon gone takes the call with it.
    if (error == QDBusError::NoReply || error == QDBusError::Disconnected || error == QDBusError::ServiceUnknown)
        daemonGone();
    else if (reply.isError())
        failWith(QStringLiteral("installing ") + path, reply.error());
    else if (phase == Phase::Destroyed)
        onDestroy();
}

void PackageKitTransaction::ping()
{
    if (pingCall)
        return;
    const QDBusMessage get = packageKitCall(transaction, kPropertiesInterface, "Get",
                                            {QLatin1String(kTransactionInterface), QStringLiteral("Status")});
    pingCall = watch(bus.asyncCall(get, kDaemonAnswerMs), SLOT(pingAnswered(QDBusPendingCallWatcher*)));
    pingCall->setProperty("transaction", transaction);
}

void PackageKitTransaction::pingAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    pingCall = nullptr;
    const QDBusPendingReply<QDBusVariant> reply = *call;
    // An answer about an earlier attempt's transaction tells nothing.
    if (!reply.isError() || phase == Phase::Ended || call->property("transaction").toString() != transaction)
        return;
    if (reply.error().type() == QDBusError::UnknownObject || reply.error().type() == QDBusError::UnknownMethod)
        endWithoutResult(QStringLiteral("The PackageKit transaction ended without a result: ") + inWords(reply.error()),
                         ServiceStatus::Unavailable, true);
    else
        failWith(QStringLiteral("waiting for the installation"), reply.error());
}

// Cancel is PackageKit's to grant: it allows it (AllowCancel) until the
// package manager starts changing the system. Some backends go on allowing
// it while they install: once a package is being written it is too late,
// whatever they allow.
void PackageKitTransaction::cancel(bool parentGone)
{
    if (phase == Phase::Ended)
        return;
    if (phase == Phase::LockWait) {
        say(nothingInstalledAfterCancel());
        finish(ServiceStatus::Cancelled);
        return;
    }
    // No transaction yet: the answer on its way ends the run as cancelled.
    if (enter(Phase::CancelPending) || phase == Phase::CancelPending)
        return;
    if (!allowCancel || phase == Phase::Changing) {
        if (parentGone) {
            say(QStringLiteral("Setup ended while PackageKit was changing the system: the installation goes on "
                               "without it."));
            finish(ServiceStatus::Failed);
        } else {
            say(QStringLiteral("PackageKit is changing the system now: the installation can no longer be "
                               "cancelled. Setup can be closed when it has finished."));
        }
        return;
    }
    if (enter(Phase::Cancelling)) {
        say(QStringLiteral("Cancelling the installation: PackageKit has not changed the system yet."));
        watch(bus.asyncCall(packageKitCall(transaction, kTransactionInterface, "Cancel"), kDaemonAnswerMs),
              SLOT(cancelAnswered(QDBusPendingCallWatcher*)));
    }
    // Nobody waits for the outcome any more: it is not waited for long.
    if (parentGone && !orphanGrace.isActive())
        orphanGrace.start(kOrphanGraceMs);
}

void PackageKitTransaction::cancelAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<> reply = *call;
    if (reply.isError() && phase != Phase::Ended) {
        enter(Phase::Running);
        say(QStringLiteral("PackageKit did not cancel the installation: ") + inWords(reply.error()));
    }
}

void PackageKitTransaction::onPackage(uint info, const QString &packageId, const QString &)
{
    if (info == PkInfoUpdating || info == PkInfoInstalling || info == PkInfoReinstalling || info == PkInfoDowngrading)
        enter(Phase::Changing);
    const QString action = infoWords(info), package = packageWords(packageId);
    // One word and the package: the pair is told apart by its first space.
    if (differs(lastPackage, action + QLatin1Char(' ') + package))
        say(ServiceLine::package(kService, action, package));
}

void PackageKitTransaction::onPropertiesChanged(const QString &, const QVariantMap &changed, const QStringList &)
{
    if (changed.contains(QStringLiteral("AllowCancel")))
        allowCancel = changed.value(QStringLiteral("AllowCancel")).toBool();
    if (changed.contains(QStringLiteral("Status"))) {
        statusCode = changed.value(QStringLiteral("Status")).toUInt();
        lockWaitSeen = lockWaitSeen || statusCode == PkStatusWaitingForLock;
        if (statusCode == PkStatusInstall || statusCode == PkStatusUpdate || statusCode == PkStatusCommit)
            enter(Phase::Changing);
        if (statusCode != PkStatusWaitingForAuth)
            waitingForAuth.invalidate();
        else if (!waitingForAuth.isValid())
            waitingForAuth.start();
        const QString words = statusWords(statusCode);
        if (differs(lastStatus, words))
            say(ServiceLine::state(kService, words));
    }
    if (changed.contains(QStringLiteral("Percentage"))) {
        const uint percentage = changed.value(QStringLiteral("Percentage")).toUInt();
        if (percentage < PkPercentageUnknown)
            if (differs(lastPercentage, QString::number(percentage)))
                say(ServiceLine::progress(kService, int(percentage)));
    }
}

void PackageKitTransaction::onFinished(uint exit, uint)
{
    pinger.stop();
    if (exit != PkExitSuccess || errorCode != kNoError) {
        endUnsuccessful(exit);
        return;
    }
    const QString words = QStringLiteral("finished, the package is installed");
    if (differs(lastStatus, words))
        say(ServiceLine::state(kService, words));
    finish(ServiceStatus::Installed);
}

// Another package manager holds the lock: it is waited for, and the
// installation asked for again once it has gone. False when the wait is over.
bool PackageKitTransaction::retryAfterLock()
{
    if (phase != Phase::Running || !theLockWait()->begin(errorDetails, errorCode != PkErrorCannotGetLock))
        return false;
    listen(false);
    transaction.clear();
    return enter(Phase::LockWait);
}

// PackageKit 1.4's apt backend waits for the lock itself, and once it has
// it, fails a local file that is there as package-not-found: the cause was
// the other program, which has just finished.
bool PackageKitTransaction::lostToLockWait() const
{
    return errorCode == PkErrorPackageNotFound && lockWaitSeen && QFileInfo(path).isFile();
}
