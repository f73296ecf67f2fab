#include "packagekit_transaction_u.h"
#include "packagekit_bus_u.h"
#include "packagekit_lock_wait_u.h"
#include "packagekit_names_u.h"
#include "rpm_signature_u.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFileInfo>

namespace {

const PackageService kService = PackageService::PackageKit;

// While the transaction runs PackageKit is asked for its state this often;
// one that does not answer within kDaemonAnswerMs has hung. A password
// dialogue does not stop it from answering, so the user may take their time.
const int kPingEveryMs = 15000;
// InstallFiles may answer only once the user has been asked for a password:
// its reply is awaited without a bound of its own; the pings bound the wait.
const int kNoBoundMs = 24 * 3600 * 1000;
// PackageKit drops a transaction that is not authorised within 300 s.
const qint64 kAuthorisationLimitMs = 290000;
// The wizard gone, a cancelled transaction is given this long to end.
const int kOrphanGraceMs = 10000;

// The installer programs that this kind of package takes where they exist.
QString desktopToolsMissing(bool deb)
{
    return deb ? QStringLiteral("pkexec with gdebi")
               : QStringLiteral("gpk-install-local-file (gnome-packagekit's installer, which its "
                                "recent releases no longer include)");
}

} // namespace

// The system bus is connected to only once it has answered.
PackageKitTransaction::PackageKitTransaction(const QString &path, bool deb, QObject *parent)
    : QObject(parent), bus(QStringLiteral("not yet connected")), path(path), deb(deb), lockWait(new LockWait(this))
{
    connect(&pinger, SIGNAL(timeout()), this, SLOT(ping()));
    connect(lockWait, SIGNAL(free()), this, SLOT(createTransaction()));
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
        allowed = next == Phase::Cancelling || next == Phase::Destroyed || next == Phase::LockWait;
        break;
    case Phase::Cancelling:
        // Refused: the transaction runs on.
        allowed = next == Phase::Running || next == Phase::Destroyed;
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
    lockWait->stop();
    QCoreApplication::exit(int(status));
}

QDBusPendingCallWatcher *PackageKitTransaction::watch(const QDBusPendingCall &call, const char *slot)
{
    QDBusPendingCallWatcher *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, SIGNAL(finished(QDBusPendingCallWatcher*)), this, slot);
    return watcher;
}

void PackageKitTransaction::report(QString &last, const ServiceLine &line)
{
    const QString written = writeServiceLine(line);
    if (written == last)
        return;
    last = written;
    say(line);
}

// A D-Bus error ends the run; its name tells what kind of failure it is.
void PackageKitTransaction::failWith(const QString &what, const QDBusError &error)
{
    const QString name = error.name();
    if (name == QLatin1String("org.freedesktop.PackageKit.Transaction.MimeTypeNotSupported")) {
        say(QStringLiteral("PackageKit on this system cannot install this kind of package: ") + inWords(error));
        say(terminalInstallHint());
        finish(ServiceStatus::KindNotSupported);
    } else if (name == QLatin1String("org.freedesktop.PackageKit.Transaction.RefusedByPolicy")
               || name == QLatin1String("org.freedesktop.PackageKit.Transaction.NotAuthorized")
               || name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")) {
        say(QStringLiteral("Authorisation was refused: %1: %2").arg(what, inWords(error)));
        finish(ServiceStatus::NotAuthorised);
    } else if (name.startsWith(QLatin1String("org.freedesktop.PackageKit."))) {
        say(QStringLiteral("PackageKit refused: %1: %2").arg(what, inWords(error)));
        finish(ServiceStatus::Failed);
    } else {
        // The bus's own errors, whatever their name (no reply, no such
        // service, activation failures of every kind): PackageKit is not
        // there to be asked.
        say(QStringLiteral("PackageKit could not be reached: %1: %2").arg(what, inWords(error)));
        say(terminalInstallHint());
        finish(ServiceStatus::Unavailable);
    }
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
    const QString locale = userLocale();
    if (!locale.isEmpty())
        hintList << QStringLiteral("locale=") + locale;
    const QDBusMessage hinted = callAndWait(
        bus, packageKitCall(transaction, kTransactionInterface, "SetHints", {hintList}), kDaemonAnswerMs);
    if (hinted.type() == QDBusMessage::ErrorMessage) {
        failWith(QStringLiteral("setting up the transaction"), QDBusError(hinted));
        return;
    }

    // No flags: the demo and most vendors' packages are not signed by a key
    // the system trusts, and polkit asks for an administrator then.
    const QDBusMessage install = packageKitCall(transaction, kTransactionInterface, "InstallFiles",
                                                {QVariant::fromValue(qulonglong(0)), QStringList{path}});
    installCall = watch(bus.asyncCall(install, kNoBoundMs), SLOT(installAnswered(QDBusPendingCallWatcher*)));
    pinger.start(kPingEveryMs);
}

void PackageKitTransaction::listen(bool on)
{
    listenToTransaction(bus, transaction, this, on);
}

void PackageKitTransaction::installAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    installCall = nullptr;
    const QDBusPendingReply<> reply = *call;
    if (reply.isError())
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
        say(QStringLiteral("The PackageKit transaction ended without a result: ") + inWords(reply.error()));
    failWith(QStringLiteral("waiting for the installation"), reply.error());
}

void PackageKitTransaction::daemonGone()
{
    // Between two attempts there is no transaction to lose (PackageKit
    // restarted by an upgrade of itself, or gone idle): the next attempt
    // asks the bus, which starts it again.
    if (phase == Phase::Ended || phase == Phase::LockWait)
        return;
    say(QStringLiteral("PackageKit stopped before the installation ended: the package may not be installed."));
    say(terminalInstallHint());
    finish(ServiceStatus::Unavailable);
}

void PackageKitTransaction::onDestroy()
{
    // A refused request ends the transaction before the refusal's reply
    // arrives, and that reply says why.
    if (phase == Phase::Ended)
        return;
    if (installCall) {
        enter(Phase::Destroyed);
        return;
    }
    if (statusCode == PkStatusWaitingForAuth) {
        sayAuthorisationTimedOut();
        finish(ServiceStatus::AuthorisationTimedOut);
        return;
    }
    say(QStringLiteral("PackageKit ended the transaction without a result: the package may not be installed."));
    finish(ServiceStatus::Failed);
}

void PackageKitTransaction::onErrorCode(uint code, const QString &details)
{
    errorCode = code;
    errorDetails = details;
    if (code == PkErrorNotAuthorized)
        say(QStringLiteral("Authorisation was refused: installing needs an administrator's permission, "
                           "which was not given."));
    say(QStringLiteral("PackageKit error %1 (%2): %3").arg(packageKitErrorName(code)).arg(code).arg(details));
}

void PackageKitTransaction::onFinished(uint exit, uint)
{
    pinger.stop();
    if (exit == PkExitSuccess && errorCode == kNoError) {
        report(lastStatus, ServiceLine::state(kService, QStringLiteral("finished, the package is installed")));
        finish(ServiceStatus::Installed);
        return;
    }
    if (phase == Phase::Cancelling && (exit == PkExitCancelled || errorCode == PkErrorTransactionCancelled)) {
        say(nothingInstalledAfterCancel());
        finish(ServiceStatus::Cancelled);
        return;
    }
    // PackageKit 1.3.1 ends a transaction dropped at its limit as cancelled,
    // still waiting for the password, and only after Finished says
    // not-authorized (and sends no Destroy).
    if (exit == PkExitCancelled && waitingForAuth.isValid() && waitingForAuth.hasExpired(kAuthorisationLimitMs)) {
        sayAuthorisationTimedOut();
        finish(ServiceStatus::AuthorisationTimedOut);
        return;
    }
    if ((errorCode == PkErrorCannotGetLock || lostToLockWait()) && retryAfterLock())
        return;
    say(ServiceLine::state(kService, QStringLiteral("the installation ended: ") + packageKitExitName(exit)));
    if (errorCode == PkErrorNotAuthorized) {
        if (waitingForAuth.isValid() && waitingForAuth.hasExpired(kAuthorisationLimitMs)) {
            sayAuthorisationTimedOut();
            finish(ServiceStatus::AuthorisationTimedOut);
        } else {
            finish(ServiceStatus::NotAuthorised);
        }
        return;
    }
    // openSUSE's backend reports an unsigned file as an aborted
    // installation; the file itself tells why.
    const bool signatureError = errorCode == PkErrorGpgFailure || errorCode == PkErrorBadGpgSignature
                                || errorCode == PkErrorMissingGpgSignature
                                || (errorCode == PkErrorInternal && backend == QLatin1String("zypp"));
    if (!deb && signatureError) {
        endUnsigned();
        return;
    }
    if (errorCode == PkErrorCannotGetLock || lostToLockWait())
        lockWait->sayOver();
    finish(ServiceStatus::Failed);
}

void PackageKitTransaction::sayAuthorisationTimedOut()
{
    say(QStringLiteral("PackageKit stopped waiting for an administrator's password (it waits 5 minutes): "
                       "nothing was installed."));
}

void PackageKitTransaction::endUnsigned()
{
    if (rpmSignature(path) == RpmSignature::Unsigned) {
        say(QStringLiteral("This system's package service refuses packages that are not signed, and %1 is not "
                           "signed.").arg(path));
        say(terminalInstallHint());
        finish(ServiceStatus::Unsigned);
        return;
    }
    say(QStringLiteral("This system's package service did not accept the package's signature: the key it was "
                       "signed with must be imported first (sudo rpm --import KEY-FILE, with the vendor's key)."));
    say(terminalInstallHint());
    finish(ServiceStatus::Failed);
}

// Cancel is PackageKit's to grant: it allows it (AllowCancel) until the
// package manager starts changing the system.
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
    if (!allowCancel) {
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
    report(lastPackage, ServiceLine::package(kService, packageKitInfoWords(info), packageKitPackageWords(packageId)));
}

void PackageKitTransaction::onPropertiesChanged(const QString &, const QVariantMap &changed, const QStringList &)
{
    if (changed.contains(QStringLiteral("AllowCancel")))
        allowCancel = changed.value(QStringLiteral("AllowCancel")).toBool();
    if (changed.contains(QStringLiteral("Status"))) {
        statusCode = changed.value(QStringLiteral("Status")).toUInt();
        lockWaitSeen = lockWaitSeen || statusCode == PkStatusWaitingForLock;
        if (statusCode != PkStatusWaitingForAuth)
            waitingForAuth.invalidate();
        else if (!waitingForAuth.isValid())
            waitingForAuth.start();
        report(lastStatus, ServiceLine::state(kService, packageKitStatusWords(statusCode)));
    }
    if (changed.contains(QStringLiteral("Percentage"))) {
        const uint percentage = changed.value(QStringLiteral("Percentage")).toUInt();
        if (percentage < PkPercentageUnknown)
            report(lastPercentage, ServiceLine::progress(kService, int(percentage)));
    }
}

// Another package manager holds the lock: it is waited for, and the
// installation asked for again once it has gone. False when the wait is over.
bool PackageKitTransaction::retryAfterLock()
{
    if (phase != Phase::Running || !lockWait->begin(errorDetails, errorCode != PkErrorCannotGetLock))
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
