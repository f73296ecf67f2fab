#include "dnf5daemon_session.h"
#include "service_bus_u.h"
#include "package_service_u.h"
#include "rpm_header_u.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QSysInfo>

namespace {

const char kRoot[] = "/org/rpm/dnf/v0";
const char kSessionManager[] = "org.rpm.dnf.v0.SessionManager";
const char kRpm[] = "org.rpm.dnf.v0.rpm.Rpm";
const char kGoal[] = "org.rpm.dnf.v0.Goal";
const char kBase[] = "org.rpm.dnf.v0.Base";

// Opening a session and marking a file take the daemon a moment; resolving
// loads every enabled repository, which takes as long as the mirrors do,
// and the transaction waits for the password: those two are bounded by the
// pings instead, which the daemon answers whatever its calls are doing.
const int kStepMs = 60000;
const int kNoBoundMs = 24 * 3600 * 1000;
const int kPingEveryMs = 15000;
// The daemon closes a vanished client's sessions itself: a close that it
// does not answer at once (its session busy on a call) is not waited for.
const int kCloseMs = 3000;

// The daemon waits 2 minutes for polkit's answer (120 s, seen), then takes
// it as a refusal: a refusal that late is the password dialog left open.
const qint64 kAuthorisationLimitMs = 115000;

// The daemon's resolve result that means it could not make a transaction.
const uint kResolveFailed = 2;

const PackageService kService = PackageService::Dnf5Daemon;

// What the daemon is doing, as a line of the client's.
void report(const QString &words)
{
    say(ServiceLine::state(kService, words));
}

// A package as both the daemon's resolve and its transaction name it.
QString packageWords(const QString &nevra)
{
    QString words = nevra;
    return words.replace(QLatin1String("-0:"), QLatin1String("-"));
}

} // namespace

// The system bus is connected to only once it has answered.
Dnf5DaemonSession::Dnf5DaemonSession(const QString &path, const QString &locale, QObject *parent)
    : QObject(parent), bus(QStringLiteral("not yet connected")), path(path), locale(locale)
{
    connect(&pinger, SIGNAL(timeout()), this, SLOT(ping()));
}

QDBusPendingCallWatcher *Dnf5DaemonSession::ask(const char *interface, const char *method,
                                                const QVariantList &arguments, int timeoutMs, const char *slot)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kDnf5DaemonService),
                                                       session.isEmpty() ? QLatin1String(kRoot) : session,
                                                       QLatin1String(interface), QLatin1String(method));
    call.setArguments(arguments);
    QDBusPendingCallWatcher *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs), this);
    connect(watcher, SIGNAL(finished(QDBusPendingCallWatcher*)), this, slot);
    return watcher;
}

void Dnf5DaemonSession::start()
{
    QString why;
    if (!packageServiceAvailable(kService, &why)) {
        say(QStringLiteral("Neither PackageKit nor the dnf5 daemon is available on this system: %1.").arg(why));
        say(terminalInstallHint());
        finish(ServiceStatus::Unavailable);
        return;
    }
    bus = QDBusConnection::systemBus();
    QDBusServiceWatcher *watcher = new QDBusServiceWatcher(QLatin1String(kDnf5DaemonService), bus,
                                                           QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, SIGNAL(serviceUnregistered(QString)), this, SLOT(daemonGone()));
    say(ServiceLine::asking(kService, path, QStringLiteral("libdnf5")));
    QVariantMap options;
    if (!locale.isEmpty())
        options.insert(QStringLiteral("locale"), locale);
    ask(kSessionManager, "open_session", {options}, kStepMs, SLOT(opened(QDBusPendingCallWatcher*)));
    pinger.start(kPingEveryMs);
}

void Dnf5DaemonSession::opened(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *call;
    if (reply.isError()) {
        failWith(QStringLiteral("opening a session"), reply.error());
        return;
    }
    session = reply.value().path();
    if (finished || cancelling) {
        // Cancelled while the daemon opened it: closed again at once.
        finish(ServiceStatus::Cancelled);
        return;
    }
    listen();
    ask(kRpm, "install", {QStringList{path}, QVariantMap()}, kStepMs, SLOT(marked(QDBusPendingCallWatcher*)));
}

void Dnf5DaemonSession::listen()
{
    const QString service = QLatin1String(kDnf5DaemonService);
    bus.connect(service, session, QLatin1String(kBase), QStringLiteral("download_add_new"), this,
                SLOT(onDownloadAddNew(QDBusObjectPath,QString,QString,qlonglong)));
    struct Signal {
        const char *name;
        const char *slot;
    };
    const Signal rpmSignals[] = {
        {"transaction_action_start", SLOT(onActionStart(QDBusObjectPath,QString,uint,qulonglong))},
        {"transaction_action_progress", SLOT(onActionProgress(QDBusObjectPath,QString,qulonglong,qulonglong))},
        {"transaction_after_complete", SLOT(onAfterComplete(QDBusObjectPath,bool))},
        {"transaction_script_start", SLOT(onScriptStart(QDBusObjectPath,QString,uint))},
        {"transaction_script_error", SLOT(onScriptError(QDBusObjectPath,QString,uint,qulonglong))},
        {"transaction_unpack_error", SLOT(onUnpackError(QDBusObjectPath,QString))},
    };
    for (const Signal &s : rpmSignals)
        bus.connect(service, session, QLatin1String(kRpm), QLatin1String(s.name), this, s.slot);
}

void Dnf5DaemonSession::marked(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<> reply = *call;
    if (reply.isError()) {
        failWith(QStringLiteral("adding ") + path, reply.error());
        return;
    }
    if (cancelling || finished)
        return;
    report(QStringLiteral("loading the repositories and resolving dependencies"));
    ask(kGoal, "resolve", {QVariantMap{{QStringLiteral("interactive"), true}}}, kNoBoundMs,
        SLOT(resolved(QDBusPendingCallWatcher*)));
}

void Dnf5DaemonSession::resolved(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() == QDBusMessage::ErrorMessage) {
        failWith(QStringLiteral("resolving dependencies"), QDBusError(reply));
        return;
    }
    if (cancelling || finished)
        return;
    const uint result = reply.arguments().value(1).toUInt();
    int items = 0;
    const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        QString type, action, reason;
        QVariantMap attributes, object;
        list.beginStructure();
        list >> type >> action >> reason >> attributes >> object;
        list.endStructure();
        if (type != QLatin1String("Package"))
            continue;
        ++items;
        report(QStringLiteral("the transaction will %1 %2")
                   .arg(action.toLower(), packageWords(QStringLiteral("%1-%2.%3").arg(
                                              object.value(QStringLiteral("name")).toString(),
                                              object.value(QStringLiteral("evr")).toString(),
                                              object.value(QStringLiteral("arch")).toString()))));
    }
    list.endArray();
    if (result == kResolveFailed) {
        explainProblems();
        finish(ServiceStatus::Failed);
        return;
    }
    if (items == 0) {
        // Nothing to do: the daemon found this very package installed.
        explainProblems();
        report(QStringLiteral("finished, the package is installed"));
        finish(ServiceStatus::Installed);
        return;
    }
    report(QStringLiteral("waiting for an administrator's permission"));
    transactionAsked = true;
    asked.start();
    ask(kGoal, "do_transaction", {QVariantMap{{QStringLiteral("interactive"), true}}}, kNoBoundMs,
        SLOT(transactionAnswered(QDBusPendingCallWatcher*)));
}

// The daemon's own words on what it could not resolve, and the package's
// needs that no repository provides where the daemon names none.
void Dnf5DaemonSession::explainProblems()
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kDnf5DaemonService), session,
                                                       QLatin1String(kGoal),
                                                       QStringLiteral("get_transaction_problems_string"));
    const QDBusMessage answer = callAndWait(bus, call, kStepMs);
    const QStringList problems = answer.arguments().value(0).toStringList();
    for (const QString &problem : problems) {
        for (const QString &line : problem.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            report(line.trimmed());
    }
    const RpmHeader facts = readRpmHeader(path);
    if (facts.name.isEmpty())
        return;
    const QString all = problems.join(QLatin1Char('\n'));
    if (all.contains(QLatin1String("does not have a compatible architecture"))) {
        say(QStringLiteral("The package is built for another kind of computer (%1, where this one is %2): it cannot "
                           "be installed here. Ask the vendor for the package built for this one.")
                .arg(facts.arch, QSysInfo::currentCpuArchitecture()));
        return;
    }
    QStringList missing;
    for (const QString &need : facts.requiredNames) {
        if (all.contains(QLatin1String("nothing provides ") + need))
            missing << need;
    }
    if (!missing.isEmpty())
        say(QStringLiteral("The package needs %1, which no repository of this system provides: it cannot be "
                           "installed until that is available.").arg(missing.join(QStringLiteral(", "))));
    else if (problems.isEmpty())
        say(QStringLiteral("The dnf5 daemon did not say why. The package needs: %1.")
                .arg(facts.requires.join(QStringLiteral(", "))));
}

void Dnf5DaemonSession::transactionAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<> reply = *call;
    if (reply.isError() && !rpmSucceeded) {
        failWith(QStringLiteral("installing ") + path, reply.error());
        return;
    }
    // libdnf5's plugins run after rpm and may fail on their own (Debian's
    // "local" plugin without createrepo_c): the package is installed then.
    if (reply.isError())
        report(QStringLiteral("rpm installed the package; what the daemon did after that failed: ")
               + inWords(reply.error()));
    report(QStringLiteral("finished, the package is installed"));
    finish(ServiceStatus::Installed);
}

// The daemon answers every error with its own name and a message; its
// authorisation failure has no name of its own, only the words.
void Dnf5DaemonSession::failWith(const QString &what, const QDBusError &error)
{
    if (finished)
        return;
    const QString name = error.name();
    const bool refused = error.message().contains(QLatin1String("Not authorized"))
                         || name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied");
    if (refused && cancelling) {
        say(nothingInstalledAfterCancel());
        finish(ServiceStatus::Cancelled);
    } else if (refused && asked.isValid() && asked.hasExpired(kAuthorisationLimitMs)) {
        say(QStringLiteral("The dnf5 daemon stopped waiting for an administrator's password (it waits 2 minutes): "
                           "nothing was installed."));
        finish(ServiceStatus::AuthorisationTimedOut);
    } else if (refused) {
        say(QStringLiteral("Authorisation was refused: installing needs an administrator's permission, which was "
                           "not given (%1).").arg(inWords(error)));
        finish(ServiceStatus::NotAuthorised);
    } else if (cancelling && !rpmStarted) {
        say(nothingInstalledAfterCancel());
        finish(ServiceStatus::Cancelled);
    } else if (name.startsWith(QLatin1String("org.rpm.dnf."))) {
        say(QStringLiteral("The dnf5 daemon failed: %1: %2").arg(what, inWords(error)));
        finish(ServiceStatus::Failed);
    } else {
        say(QStringLiteral("The dnf5 daemon could not be reached: %1: %2").arg(what, inWords(error)));
        say(terminalInstallHint());
        finish(ServiceStatus::Unavailable);
    }
}

void Dnf5DaemonSession::ping()
{
    if (pingPending || finished)
        return;
    pingPending = true;
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kDnf5DaemonService), QLatin1String(kRoot),
                                                       QStringLiteral("org.freedesktop.DBus.Peer"),
                                                       QStringLiteral("Ping"));
    QDBusPendingCallWatcher *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kDaemonAnswerMs), this);
    connect(watcher, SIGNAL(finished(QDBusPendingCallWatcher*)), this, SLOT(pingAnswered(QDBusPendingCallWatcher*)));
}

void Dnf5DaemonSession::pingAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    pingPending = false;
    const QDBusPendingReply<> reply = *call;
    if (!reply.isError() || finished)
        return;
    // While polkit asks for the password, the daemon answers no call, pings
    // included, until its own limit has passed: only then is silence a hang.
    if (transactionAsked && !rpmStarted && !asked.hasExpired(kAuthorisationLimitMs + kDaemonAnswerMs))
        return;
    say(QStringLiteral("The dnf5 daemon stopped answering (%1 s): the package may not be installed.")
            .arg(kDaemonAnswerMs / 1000));
    failWith(QStringLiteral("waiting for the installation"), reply.error());
}

void Dnf5DaemonSession::daemonGone()
{
    if (finished)
        return;
    session.clear(); // gone with the daemon
    say(QStringLiteral("The dnf5 daemon stopped before the installation ended: the package may not be installed."));
    say(terminalInstallHint());
    finish(ServiceStatus::Unavailable);
}

void Dnf5DaemonSession::cancel(bool parentGone)
{
    if (finished)
        return;
    if (!transactionAsked) {
        say(nothingInstalledAfterCancel());
        finish(ServiceStatus::Cancelled);
        return;
    }
    if (rpmStarted) {
        if (parentGone) {
            say(QStringLiteral("Setup ended while the dnf5 daemon was changing the system: the installation goes on "
                               "without it."));
            finish(ServiceStatus::Failed);
        } else {
            say(QStringLiteral("The dnf5 daemon is changing the system now: the installation can no longer be "
                               "cancelled. Setup can be closed when it has finished."));
        }
        return;
    }
    if (parentGone) {
        // Nobody waits for the outcome: the session ends with this process.
        say(QStringLiteral("Setup ended before the dnf5 daemon changed the system: if the system is asking for the "
                           "password, the installation goes on only if it is given."));
        finish(ServiceStatus::Failed);
        return;
    }
    if (cancelling)
        return;
    cancelling = true;
    // The daemon takes no call of a session while polkit asks for the
    // password (it waits up to 2 minutes for the answer): the dialog's own
    // Cancel ends it then, as cancelled. Once authorised, the daemon
    // cancels while it fetches packages.
    say(QStringLiteral("Cancelling the installation. If the system is asking for the password, choose Cancel in "
                       "that dialog: the dnf5 daemon does not cancel while it waits for it."));
    ask(kGoal, "cancel", {}, kNoBoundMs, SLOT(cancelAnswered(QDBusPendingCallWatcher*)));
}

void Dnf5DaemonSession::cancelAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<bool, QString> reply = *call;
    // Refused: rpm has begun, or no transaction runs (polkit has just
    // answered, or still asks): the transaction's own answer tells which.
    if (finished || reply.isError() || reply.argumentAt<0>() || !rpmStarted)
        return;
    say(QStringLiteral("The dnf5 daemon is changing the system now: the installation can no longer be cancelled (%1).")
            .arg(reply.argumentAt<1>()));
}

void Dnf5DaemonSession::onDownloadAddNew(const QDBusObjectPath &, const QString &id, const QString &name, qlonglong)
{
    if (id.startsWith(QLatin1String("repo:")))
        report(QStringLiteral("loading the repository ") + name);
}

void Dnf5DaemonSession::onActionStart(const QDBusObjectPath &, const QString &nevra, uint, qulonglong)
{
    rpmStarted = true;
    if (nevra != lastPackage) {
        lastPackage = nevra;
        say(ServiceLine::package(kService, QStringLiteral("installing"), packageWords(nevra)));
    }
}

void Dnf5DaemonSession::onActionProgress(const QDBusObjectPath &, const QString &, qulonglong done, qulonglong total)
{
    rpmStarted = true;
    if (total == 0)
        return;
    const int percent = int(qMin<qulonglong>(100, done * 100 / total));
    if (percent != lastPercentage) {
        lastPercentage = percent;
        say(ServiceLine::progress(kService, percent));
    }
}

void Dnf5DaemonSession::onAfterComplete(const QDBusObjectPath &, bool success)
{
    rpmSucceeded = success;
    if (!success)
        report(QStringLiteral("the rpm transaction failed"));
}

// A package's script runs inside rpm's transaction, before its files for
// a script that comes first.
void Dnf5DaemonSession::onScriptStart(const QDBusObjectPath &, const QString &nevra, uint)
{
    rpmStarted = true;
    report(QStringLiteral("running a script of ") + packageWords(nevra));
}

void Dnf5DaemonSession::onScriptError(const QDBusObjectPath &, const QString &nevra, uint, qulonglong code)
{
    report(QStringLiteral("a script of %1 failed with status %2").arg(nevra).arg(code));
}

void Dnf5DaemonSession::onUnpackError(const QDBusObjectPath &, const QString &nevra)
{
    report(QStringLiteral("%1 could not be unpacked").arg(nevra));
}

// The daemon closes a client's sessions when its name leaves the bus; this
// one is closed before that, so that it never outlives the run.
void Dnf5DaemonSession::closeSession()
{
    if (session.isEmpty())
        return;
    const QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kDnf5DaemonService), QLatin1String(kRoot),
                                       QLatin1String(kSessionManager), QStringLiteral("close_session"))
        << QVariant::fromValue(QDBusObjectPath(session));
    session.clear();
    callAndWait(bus, call, kCloseMs);
}

void Dnf5DaemonSession::finish(ServiceStatus status)
{
    if (finished)
        return;
    finished = true;
    exitStatus = int(status);
    pinger.stop();
    closeSession();
    QCoreApplication::exit(exitStatus);
}
