// One installation of a local RPM file through the dnf5 daemon: the session
// opened for it, the steps asked of it, the lines printed while it works,
// and the outcome.
#ifndef DNF5DAEMON_SESSION_H
#define DNF5DAEMON_SESSION_H

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

enum class ServiceStatus;
class QDBusError;
class QDBusPendingCallWatcher;

// Every step leads to the next or ends the run through finish(), exactly
// once; the session is closed there, and the application's event loop then
// ends with the status.
class Dnf5DaemonSession : public QObject
{
    Q_OBJECT

public:
    // locale: the user's, for the daemon's own messages; may be empty.
    Dnf5DaemonSession(const QString &path, const QString &locale, QObject *parent);

    void start();
    int status() const { return exitStatus; }

public slots:
    // The wizard's Cancel, or the wizard gone (parentGone). Nothing changes
    // the system before the transaction is asked for, so until then the run
    // simply ends; after that the daemon grants a cancel only while it
    // fetches packages, never once rpm runs.
    void cancel(bool parentGone);

private slots:
    void opened(QDBusPendingCallWatcher *call);
    void marked(QDBusPendingCallWatcher *call);
    void resolved(QDBusPendingCallWatcher *call);
    void transactionAnswered(QDBusPendingCallWatcher *call);
    void cancelAnswered(QDBusPendingCallWatcher *call);
    void ping();
    void pingAnswered(QDBusPendingCallWatcher *call);
    void daemonGone();
    // The daemon's signals, each naming the session first.
    void onDownloadAddNew(const QDBusObjectPath &session, const QString &id, const QString &name, qlonglong total);
    void onActionStart(const QDBusObjectPath &session, const QString &nevra, uint action, qulonglong total);
    void onActionProgress(const QDBusObjectPath &session, const QString &nevra, qulonglong done, qulonglong total);
    void onAfterComplete(const QDBusObjectPath &session, bool success);
    void onScriptStart(const QDBusObjectPath &session, const QString &nevra, uint type);
    void onScriptError(const QDBusObjectPath &session, const QString &nevra, uint type, qulonglong code);
    void onUnpackError(const QDBusObjectPath &session, const QString &nevra);

private:
    QDBusPendingCallWatcher *ask(const char *interface, const char *method, const QVariantList &arguments,
                                 int timeoutMs, const char *slot);
    void listen();
    void explainProblems();
    void failWith(const QString &what, const QDBusError &error);
    void finish(ServiceStatus status);
    void closeSession();

    QDBusConnection bus;
    const QString path;
    const QString locale;
    QString session;
    QTimer pinger;
    QElapsedTimer asked; // since the transaction was asked for
    int lastPercentage = -1;
    QString lastPackage;
    bool pingPending = false;
    bool transactionAsked = false;
    bool rpmStarted = false;
    bool rpmSucceeded = false;
    bool cancelling = false;
    bool finished = false;
    int exitStatus = 1;
};

#endif
