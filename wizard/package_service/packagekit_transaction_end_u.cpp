// How a PackageKit transaction ends when it does not install: its errors,
// a result without success, the service gone, and what the package file and the package database tell where the
// service tells nothing.
#include "packagekit_transaction_u.h"
#include "package_file_facts_u.h"
#include "service_bus_u.h"
#include "packagekit_lock_wait_u.h"
#include "packagekit_names_u.h"
#include "rpm_header_u.h"

#include <QDBusError>
#include <QDBusPendingCallWatcher>

#include <iterator>

namespace {

const PackageService kService = PackageService::PackageKit;
// PackageKit drops a transaction that is not authorised within 300 s.
const qint64 kAuthorisationLimitMs = 290000;

// Details that give no reason, as the dnf5 backend's "Transaction failed: ".
bool saysNoReason(const QString &details)
{
    return details.section(QLatin1Char(':'), -1).trimmed().isEmpty();
}

// PackageKit's own name of an error code (PkErrorEnum), e.g. "not-authorized".
const char *const kErrorNames[] = {
    "unknown", "out-of-memory", "no-network", "not-supported", "internal-error", "gpg-failure",
    "package-id-invalid", "package-not-installed", "package-not-found", "package-already-installed",
    "package-download-failed", "group-not-found", "group-list-invalid", "dep-resolution-failed",
    "filter-invalid", "create-thread-failed", "transaction-error", "transaction-cancelled", "no-cache",
    "repo-not-found", "cannot-remove-system-package", "process-kill", "failed-initialization",
    "failed-finalise", "failed-config-parsing", "cannot-cancel", "cannot-get-lock",
    "no-packages-to-update", "cannot-write-repo-config", "local-install-failed", "bad-gpg-signature",
    "missing-gpg-signature", "cannot-install-source-package", "repo-configuration-error",
    "no-license-agreement", "file-conflicts", "package-conflicts", "repo-not-available",
    "invalid-package-file", "package-install-blocked", "package-corrupt", "all-packages-already-installed",
    "file-not-found", "no-more-mirrors-to-try", "no-distro-upgrade-data", "incompatible-architecture",
    "no-space-on-device", "media-change-required", "not-authorized", "update-not-found",
    "cannot-install-repo-unsigned", "cannot-update-repo-unsigned", "cannot-get-filelist",
    "cannot-get-requires", "cannot-disable-repository", "restricted-download",
    "package-failed-to-configure", "package-failed-to-build", "package-failed-to-install",
    "package-failed-to-remove", "failed-due-to-running-process", "package-database-changed",
    "provide-type-not-supported", "install-root-invalid", "cannot-fetch-sources", "cancelled-priority",
    "unfinished-transaction", "lock-required", "repo-already-set"};
QString errorName(uint code)
{
    return code < std::size(kErrorNames) ? QString::fromLatin1(kErrorNames[code]) : QStringLiteral("error %1").arg(code);
}

// How a transaction ended (PkExitEnum), e.g. "failed". Only the first three
// are the same in every PackageKit release.
const char *const kExitNames[] = {"unknown", "success", "failed", "cancelled"};
QString exitName(uint exit)
{
    return exit < std::size(kExitNames) ? QString::fromLatin1(kExitNames[exit])
                                        : QStringLiteral("exit code %1").arg(exit);
}

} // namespace

// Once the installation has been asked for, the service may have installed
// the package before it stopped or lost the transaction.
bool PackageKitTransaction::installRequested() const
{
    return phase == Phase::Running || phase == Phase::Cancelling || phase == Phase::Changing
           || phase == Phase::Destroyed;
}

// No result will come: the package database says whether the package is
// installed, and only where it is not is this a failure, for why.
void PackageKitTransaction::endWithoutResult(const QString &why, ServiceStatus status, bool hint)
{
    if (phase == Phase::Ended)
        return;
    if (installRequested() && packageFileInstalled(path, deb)) {
        say(QStringLiteral("PackageKit stopped as the installation ended, but the package is installed."));
        finish(ServiceStatus::Installed);
        return;
    }
    say(why);
    if (hint)
        say(terminalInstallHint());
    finish(status);
}

// A D-Bus error ends the run; its name tells what kind of failure it is.
void PackageKitTransaction::failWith(const QString &what, const QDBusError &error)
{
    if (phase == Phase::Ended)
        return;
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
        endWithoutResult(QStringLiteral("PackageKit could not be reached: %1: %2").arg(what, inWords(error)),
                         ServiceStatus::Unavailable, true);
    }
}

void PackageKitTransaction::daemonGone()
{
    // Between two attempts there is no transaction to lose (PackageKit
    // restarted by an upgrade of itself, or gone idle): the next attempt
    // asks the bus, which starts it again.
    if (phase == Phase::Ended || phase == Phase::LockWait)
        return;
    endWithoutResult(QStringLiteral("PackageKit stopped before the installation ended: the package may not be "
                                    "installed."),
                     ServiceStatus::Unavailable, true);
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
    endWithoutResult(QStringLiteral("PackageKit ended the transaction without a result: the package may not be "
                                    "installed."),
                     ServiceStatus::Failed, false);
}

void PackageKitTransaction::onErrorCode(uint code, const QString &details)
{
    errorCode = code;
    errorDetails = details;
    if (code == PkErrorNotAuthorized)
        say(QStringLiteral("Authorisation was refused: installing needs an administrator's permission, "
                           "which was not given."));
    say(QStringLiteral("PackageKit error %1 (%2): %3").arg(errorName(code)).arg(code).arg(details));
}

// A transaction that PackageKit finished without success: why, in words,
// and the status that says it.
void PackageKitTransaction::endUnsuccessful(uint exit)
{
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
    say(ServiceLine::state(kService, QStringLiteral("the installation ended: ") + exitName(exit)));
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
        theLockWait()->sayOver();
    // The dnf5 backend fails another architecture and an unmet dependency
    // alike, and says nothing more: the package's header says which.
    if (!deb && errorCode != kNoError && saysNoReason(errorDetails)) {
        for (const QString &reason : rpmUnmetReasons(readRpmHeader(path)))
            say(reason);
    }
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

