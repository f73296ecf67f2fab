// Another package manager at work (unattended-upgrades holds dpkg's lock
// for minutes after a login): PackageKit gives up on the lock after seconds,
// and the installation is asked for again once the lock's holder is gone.
#ifndef PACKAGEKIT_LOCK_WAIT_U_H
#define PACKAGEKIT_LOCK_WAIT_U_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// How long another package manager holding the lock is waited for, in
// seconds, where the environment sets it (an administrator who knows that
// unattended upgrades take longer here); 600 otherwise.
extern const char kLockWaitVariable[];

// The wait for the lock, over all attempts of one run: free() comes once
// another attempt is due.
class LockWait : public QObject
{
    Q_OBJECT

public:
    explicit LockWait(QObject *parent);

    // PackageKit could not get the lock, and said details: true when the
    // wait goes on (its words were printed), false when it is over. Freed:
    // PackageKit waited for the lock itself and the holder has let it go,
    // so the next attempt is due at once.
    bool begin(const QString &details, bool freed);
    bool waiting() const { return poll.isActive(); }
    void stop() { poll.stop(); }
    // The last words of a run that found the lock held all along.
    void sayOver() const;

signals:
    void free();

private slots:
    void look();

private:
    const qint64 patienceMs;
    QTimer poll;
    QElapsedTimer lockedSince;
    qint64 waitFrom = 0;
    qint64 holder = 0;
    bool lockFreed = false;
};

#endif
