// Another package manager at work (unattended-upgrades holds dpkg's lock
// for minutes after a login): PackageKit gives up on the lock after seconds,
// and the installation is asked for again once the lock's holder is gone.
#include "packagekit_transaction_u.h"
#include "packagekit_bus_u.h"
#include "packagekit_names_u.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>

#include <signal.h>

namespace {

// The lock is waited for this long in all, unless the environment says
// otherwise.
const qint64 kLockPatienceDefaultS = 10 * 60;
// Whether the lock's holder has gone is looked at this often; a holder
// that PackageKit does not name is given this long between attempts.
const int kLockPollMs = 1000;
const qint64 kUnnamedHolderMs = 60000;

// "10 minutes", "90 seconds": how long the lock was waited for.
QString inMinutesOrSeconds(qint64 seconds)
{
    if (seconds % 60 == 0 && seconds > 0)
        return seconds == 60 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(seconds / 60);
    return seconds == 1 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(seconds);
}

// Whether a process runs, as kill() sees it: /proc mounted with hidepid
// (hardened systems) hides other users' processes, and the lock's holder
// runs as root. Read there, it would seem gone at once, and every attempt
// in between would cost a password.
bool processRuns(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

const char kLockWaitVariable[] = "QOR_LOCK_WAIT_SECONDS";

qint64 PackageKitTransaction::lockPatienceFromEnvironment()
{
    bool number = false;
    const qint64 seconds = qgetenv(kLockWaitVariable).toLongLong(&number);
    return (number && seconds >= 0 ? seconds : kLockPatienceDefaultS) * 1000;
}

// Another package manager holds the lock: it is waited for, for up to
// lockPatienceMs in all, and the installation asked for again once it has
// gone. Each attempt is a transaction of its own, which polkit authorises
// anew. False when the wait is over.
bool PackageKitTransaction::retryAfterLock()
{
    if (!lockedSince.isValid())
        lockedSince.start();
    if (lockedSince.elapsed() > lockPatienceMs || cancelling)
        return false;
    listen(false);
    transaction.clear();
    // apt names the holder: "It is held by process 1234 (unattended-upgr)".
    const QRegularExpressionMatch holder =
        QRegularExpression(QStringLiteral("held by process (\\d+)(?: \\(([^)]*)\\))?")).match(errorDetails);
    lockHolder = holder.hasMatch() ? holder.captured(1).toLongLong() : 0;
    lockFreed = errorCode != PkErrorCannotGetLock;
    const QString who = holder.hasMatch() && !holder.captured(2).isEmpty()
        ? QStringLiteral(" (%1, process %2)").arg(holder.captured(2), holder.captured(1))
        : QString();
    if (lockFreed)
        say(QStringLiteral("Another program was installing or updating software while PackageKit waited for it: "
                           "it has finished, trying again."));
    else
        say(QStringLiteral("Another program is installing or updating software%1: waiting until it has finished, "
                           "then trying again.").arg(who));
    lockWaitFrom = lockedSince.elapsed();
    lockWatch.start(kLockPollMs);
    return true;
}

void PackageKitTransaction::retryWhenLockFree()
{
    // Every attempt costs the user a password: a holder that PackageKit
    // named is waited out, and only an unnamed one is tried again on a timer.
    const qint64 waited = lockedSince.elapsed() - lockWaitFrom;
    const bool due = lockFreed || (lockHolder > 0 ? !processRuns(lockHolder) : waited >= kUnnamedHolderMs);
    if (!due && lockedSince.elapsed() < lockPatienceMs)
        return;
    lockWatch.stop();
    createTransaction();
}

// PackageKit 1.4's apt backend waits for the lock itself, and once it has
// it, fails a local file that is there as package-not-found: the cause was
// the other program, which has just finished.
bool PackageKitTransaction::lostToLockWait() const
{
    return errorCode == PkErrorPackageNotFound && lockWaitSeen && QFileInfo(path).isFile();
}

void PackageKitTransaction::sayLockWaitOver()
{
    say(QStringLiteral("Another program kept the package manager busy for %1: nothing was installed. "
                       "Try again once it has finished.").arg(inMinutesOrSeconds(lockPatienceMs / 1000)));
}
