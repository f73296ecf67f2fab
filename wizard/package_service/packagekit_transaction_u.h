// One installation of a local package file through PackageKit: its
// transaction, the lines it prints while it runs, and its outcome.
#ifndef PACKAGEKIT_TRANSACTION_U_H
#define PACKAGEKIT_TRANSACTION_U_H

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include "package_service_u.h"

// How long another package manager holding the lock is waited for, in
// seconds, where the environment sets it (an administrator who knows that
// unattended upgrades take longer here); 600 otherwise.
extern const char kLockWaitVariable[];

class QDBusError;
class QDBusPendingCall;
class QDBusPendingCallWatcher;

// Every step either leads to the next or ends the run through finish(),
// exactly once; the application's event loop then ends with its status.
class PackageKitTransaction : public QObject
{
    Q_OBJECT

public:
    PackageKitTransaction(const QString &path, bool deb, QObject *parent);

    void start();
    ServiceStatus status() const { return exitStatus; }

public slots:
    // The wizard's Cancel, or the wizard gone (parentGone): the transaction
    // is cancelled while PackageKit allows it, that is until it starts
    // changing the system.
    void cancel(bool parentGone);

private slots:
    void daemonAnswered(QDBusPendingCallWatcher *call);
    void created(QDBusPendingCallWatcher *call);
    void installAnswered(QDBusPendingCallWatcher *call);
    void cancelAnswered(QDBusPendingCallWatcher *call);
    void pingAnswered(QDBusPendingCallWatcher *call);
    void ping();
    void retryWhenLockFree();
    void daemonGone();
    void onErrorCode(uint code, const QString &details);
    void onFinished(uint exit, uint runtime);
    void onPackage(uint info, const QString &packageId, const QString &summary);
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);
    void onDestroy();

private:
    bool kindSupported(const QStringList &types);
    void createTransaction();
    void listen(bool on);
    void report(QString &last, const ServiceLine &line);
    void failWith(const QString &what, const QDBusError &error);
    // packagekit_lock_wait_u.cpp: the wait for another package manager.
    static qint64 lockPatienceFromEnvironment();
    bool retryAfterLock();
    bool lostToLockWait() const;
    void sayLockWaitOver();
    void endUnsigned();
    void sayAuthorisationTimedOut();
    void finish(ServiceStatus status);
    QDBusPendingCallWatcher *watch(const QDBusPendingCall &call, const char *slot);

    QDBusConnection bus;
    const QString path;
    const bool deb;
    QString backend;
    QString transaction;
    // Status and package lines each show when they change; percentages too.
    QString lastStatus;
    QString lastPackage;
    QString lastPercentage;
    uint statusCode = 0;
    QTimer pinger;
    QTimer lockWatch;
    const qint64 lockPatienceMs;
    QElapsedTimer lockedSince;
    QElapsedTimer waitingForAuth;
    qint64 lockWaitFrom = 0;
    qint64 lockHolder = 0;
    // This attempt's transaction waited for the lock; the lock was let go
    // before it failed.
    bool lockWaitSeen = false;
    bool lockFreed = false;
    bool pingPending = false;
    bool installPending = false;
    bool destroyed = false;
    bool finished = false;
    bool allowCancel = true;
    bool cancelling = false;
    bool cancelWithoutParent = false;
    uint errorCode = 0;
    bool errorSeen = false;
    QString errorDetails;
    ServiceStatus exitStatus = ServiceStatus::Failed;
};

#endif
