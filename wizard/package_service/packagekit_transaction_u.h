// One installation of a local package file through PackageKit: its
// transaction, the lines it prints while it runs, and its outcome.
#ifndef PACKAGEKIT_TRANSACTION_U_H
#define PACKAGEKIT_TRANSACTION_U_H

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include "package_service_u.h"

class LockWait;
class QDBusError;
class QDBusPendingCall;
class QDBusPendingCallWatcher;

// Every step either leads to the next or ends the run through finish(),
// exactly once; the application's event loop then ends with its status.
class PackageKitTransaction : public QObject
{
    Q_OBJECT

public:
    // locale: the user's, for PackageKit's own messages; may be empty.
    PackageKitTransaction(const QString &path, bool deb, const QString &locale, QObject *parent);

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
    void hinted(QDBusPendingCallWatcher *call);
    void installAnswered(QDBusPendingCallWatcher *call);
    void cancelAnswered(QDBusPendingCallWatcher *call);
    void pingAnswered(QDBusPendingCallWatcher *call);
    void ping();
    void createTransaction();
    void daemonGone();
    void onErrorCode(uint code, const QString &details);
    void onFinished(uint exit, uint runtime);
    void onPackage(uint info, const QString &packageId, const QString &summary);
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);
    void onDestroy();

private:
    // Where the run is. Only enter() changes it, and only along the ways
    // that its table allows; after Ended nothing changes.
    enum class Phase {
        Probing,       // asking the bus, then PackageKit, which backend installs what
        Creating,      // a transaction asked for
        CancelPending, // cancelled with no transaction yet: the answer on its way ends the run
        Running,       // the installation asked for, in a transaction
        Cancelling,    // PackageKit asked to cancel it
        Changing,      // the package manager changing the system: too late to cancel
        Destroyed,     // PackageKit dropped it before answering the request: the answer says why
        LockWait,      // between two attempts, while another package manager holds the lock: no transaction
        Ended
    };
    bool enter(Phase next);

    bool kindSupported(const QStringList &types);
    void listen(bool on);
    QDBusMessage packageKitCall(const QString &object, const char *interface, const char *method,
                      const QVariantList &arguments = QVariantList()) const;
    LockWait *theLockWait();
    static bool differs(QString &last, const QString &now);
    void failWith(const QString &what, const QDBusError &error);
    bool installRequested() const;
    void endWithoutResult(const QString &why, ServiceStatus status, bool hint);
    bool retryAfterLock();
    bool lostToLockWait() const;
    void endUnsuccessful(uint exit);
    void endUnsigned();
    void sayAuthorisationTimedOut();
    void finish(ServiceStatus status);
    QDBusPendingCallWatcher *watch(const QDBusPendingCall &call, const char *slot);

    QDBusConnection bus;
    const QString path;
    const bool deb;
    const QString locale;
    Phase phase = Phase::Probing;
    QString backend;
    QString transaction;
    // Status and package lines each show when they change, percentages too:
    // the words, package or number each last showed.
    QString lastStatus;
    QString lastPackage;
    QString lastPercentage;
    // The transaction's own properties, as PackageKit last announced them.
    uint statusCode = 0;
    bool allowCancel = true;
    QTimer pinger;
    QTimer orphanGrace;
    // Made when the lock is first found held.
    LockWait *lockWait = nullptr;
    QElapsedTimer waitingForAuth;
    // The calls still to answer, null once answered.
    QPointer<QDBusPendingCallWatcher> installCall;
    QPointer<QDBusPendingCallWatcher> pingCall;
    // The last error PackageKit sent of this attempt, if it sent one.
    static const uint kNoError = ~0u;
    uint errorCode = kNoError;
    // This attempt's transaction waited for the lock (PackageKit 1.4 waits
    // for it itself).
    bool lockWaitSeen = false;
    QString errorDetails;
    ServiceStatus exitStatus = ServiceStatus::Failed;
};

#endif
