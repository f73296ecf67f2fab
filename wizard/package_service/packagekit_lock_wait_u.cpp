#include "packagekit_lock_wait_u.h"
#include "package_service_u.h"

#include <QRegularExpression>

#include <cerrno>

#include <signal.h>

const char kLockWaitVariable[] = "QOR_LOCK_WAIT_SECONDS";

namespace {

// The lock is waited for this long in all, unless the environment says
// otherwise.
const qint64 kLockPatienceDefaultS = 10 * 60;
// Whether the lock's holder has gone is looked at this often; a holder
// that PackageKit does not name is given this long between attempts.
const int kLockPollMs = 1000;
const qint64 kUnnamedHolderMs = 60000;

qint64 patienceFromEnvironment()
{
    bool number = false;
    const qint64 seconds = qgetenv(kLockWaitVariable).toLongLong(&number);
    return (number && seconds >= 0 ? seconds : kLockPatienceDefaultS) * 1000;
}

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

LockWait::LockWait(QObject *parent) : QObject(parent), patienceMs(patienceFromEnvironment())
{
    connect(&poll, SIGNAL(timeout()), this, SLOT(look()));
}

// Waited for up to patienceMs in all, over every attempt. Each attempt is a
// transaction of its own, which polkit authorises anew.
bool LockWait::begin(const QString &details, bool freed)
{
    if (!lockedSince.isValid())
        lockedSince.start();
    if (lockedSince.elapsed() > patienceMs)
        return false;
    // apt names the holder: "It is held by process 1234 (unattended-upgr)".
    const QRegularExpressionMatch named =
        QRegularExpression(QStringLiteral("held by process (\\d+)(?: \\(([^)]*)\\))?")).match(details);
    holder = named.hasMatch() ? named.captured(1).toLongLong() : 0;
    const QString who = named.hasMatch() && !named.captured(2).isEmpty()
        ? QStringLiteral(" (%1, process %2)").arg(named.captured(2), named.captured(1))
        : QString();
    lockFreed = freed;
    if (freed)
        say(QStringLiteral("Another program was installing or updating software while PackageKit waited for it: "
                           "it has finished, trying again."));
    else
        say(QStringLiteral("Another program is installing or updating software%1: waiting until it has finished, "
                           "then trying again.").arg(who));
    waitFrom = lockedSince.elapsed();
    poll.start(kLockPollMs);
    return true;
}

void LockWait::look()
{
    // Every attempt costs the user a password: a holder that PackageKit
    // named is waited out, and only an unnamed one is tried again on a timer.
    const qint64 waited = lockedSince.elapsed() - waitFrom;
    const bool due = lockFreed || (holder > 0 ? !processRuns(holder) : waited >= kUnnamedHolderMs);
    if (!due && lockedSince.elapsed() < patienceMs)
        return;
    poll.stop();
    emit free();
}

void LockWait::sayOver() const
{
    say(QStringLiteral("Another program kept the package manager busy for %1: nothing was installed. "
                       "Try again once it has finished.").arg(inMinutesOrSeconds(patienceMs / 1000)));
}
