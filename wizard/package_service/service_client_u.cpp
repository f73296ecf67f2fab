// The clients' entry, the one function that main calls: each client arms
// its death signal first, reads its arguments, the package file and the
// user's locale, then runs its service's work, with the wizard's Cancel and
// end turned into calls of it.
#include "package_service_u.h"
#include "dnf5daemon_session.h"
#include "packagekit_transaction_u.h"
#include "service_bus_u.h"
#include "qor_build_config.h"

#include <csignal>
#include <cstdio>
#include <functional>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

namespace {

// SIGTERM, SIGINT and SIGHUP reach the event loop through this pipe: the
// wizard's Cancel, or the wizard gone.
int signalPipe[2] = {-1, -1};

extern "C" void noteSignal(int)
{
    const char byte = 1;
    const ssize_t written = write(signalPipe[1], &byte, 1);
    (void)written;
}

// The kernel sends SIGTERM when the wizard ends, however it ends; until
// cancelOnSignals takes it, that ends the client at once, before it has
// asked anything of anyone. Armed before anything else, and then the
// parent is checked: false for a wizard gone before the signal was armed,
// which leaves a client that no signal would reach. *wizard is the parent
// named by whoever started the client, where it says.
bool armDeathSignal(pid_t *wizard)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const pid_t parent = getppid();
    bool number = false;
    const qint64 named = qEnvironmentVariable(kClientParentVariable).toLongLong(&number);
    *wizard = number ? pid_t(named) : parent;
    return parent == *wizard;
}

// SIGTERM, SIGINT and SIGHUP (the wizard's Cancel, or the wizard gone)
// become calls of cancel on owner's thread, with whether the wizard is
// gone.
void cancelOnSignals(QObject *owner, const std::function<void(bool parentGone)> &cancel, pid_t wizard)
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    QSocketNotifier *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [cancel, wizard] {
        char bytes[16];
        while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        cancel(getppid() != wizard);
    });
    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    // Gone while the handler was being set up.
    if (getppid() != wizard)
        noteSignal(SIGTERM);
}

// The package file named on the command line, made absolute: the service
// reads it as root, from a working folder of its own, where a relative path
// would name another file, or none. Null, with the reason printed and
// *status set, when it cannot be read.
QString readablePackagePath(const char *argument, int *status)
{
    const QString path = QFileInfo(QFile::decodeName(argument)).absoluteFilePath();
    QFile package(path);
    if (package.open(QIODevice::ReadOnly))
        return path;
    say(QStringLiteral("Cannot read the package file %1: %2").arg(path, package.errorString()));
    *status = int(ServiceStatus::Failed);
    return QString();
}

// The locale the user reads in, for the service's own messages; empty when
// the environment names none.
QString userLocale()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return QString::fromLocal8Bit(value);
    }
    return QString();
}

// The status a client ends with. After a bus check left waiting on a bus
// that never answered, it ends the process here: Qt's D-Bus clean-up at
// exit would wait for that thread for ever.
int endClient(int status)
{
    if (busCheckLeftWaiting()) {
        fflush(stdout);
        _exit(status);
    }
    return status;
}

// Runs a client's work (start(), cancel(bool), status()) to its end, with
// the wizard's Cancel and end turned into cancel().
template <class Work> int runClient(QCoreApplication &app, Work &work, pid_t wizard)
{
    cancelOnSignals(&work, [&work](bool parentGone) { work.cancel(parentGone); }, wizard);
    QTimer::singleShot(0, &work, [&work] { work.start(); });
    app.exec();
    return endClient(int(work.status()));
}

// PROGRAM --install-with-dnf5daemon [--rpm] PATH: one session of the dnf5
// daemon (dnf5daemon-server) for one local RPM file.
bool runDnf5DaemonClient(int argc, char **argv, int *status)
{
    pid_t wizard = 0;
    if (!armDeathSignal(&wizard)) {
        say(nothingInstalledAfterCancel());
        *status = int(ServiceStatus::Cancelled);
        return true;
    }
    const int pathAt = argc == 4 && qstrcmp(argv[2], kRpmArgument) == 0 ? 3 : 2;
    if (argc != pathAt + 1) {
        say(QStringLiteral("usage: %1 %2 [%3] RPM-FILE")
                .arg(QString::fromLocal8Bit(argv[0]), QLatin1String(kDnf5DaemonInstallArgument),
                     QLatin1String(kRpmArgument)));
        *status = int(ServiceStatus::Usage);
        return true;
    }
    QCoreApplication app(argc, argv);
    const QString path = readablePackagePath(argv[pathAt], status);
    if (path.isNull())
        return true;
    Dnf5DaemonSession run(path, userLocale(), &app);
    *status = runClient(app, run, wizard);
    return true;
}

} // namespace

bool runPackageServiceClientIfAsked(int argc, char **argv, int *status)
{
    if (argc >= 2 && qstrcmp(argv[1], kDnf5DaemonInstallArgument) == 0)
        return runDnf5DaemonClient(argc, argv, status);
    if (argc < 2 || qstrcmp(argv[1], kPackageKitInstallArgument) != 0)
        return false;
    pid_t wizard = 0;
    if (!armDeathSignal(&wizard)) {
        say(nothingInstalledAfterCancel());
        *status = int(ServiceStatus::Cancelled);
        return true;
    }
    bool deb = QOR_PACKAGE_IS_DEB != 0;
    int pathAt = 2;
    if (argc == 4 && qstrcmp(argv[2], kDebArgument) == 0) {
        deb = true;
        pathAt = 3;
    } else if (argc == 4 && qstrcmp(argv[2], kRpmArgument) == 0) {
        deb = false;
        pathAt = 3;
    }
    if (argc != pathAt + 1) {
        say(QStringLiteral("usage: %1 %2 [%3|%4] PACKAGE-FILE")
                .arg(QString::fromLocal8Bit(argv[0]), QLatin1String(kPackageKitInstallArgument),
                     QLatin1String(kDebArgument), QLatin1String(kRpmArgument)));
        *status = int(ServiceStatus::Usage);
        return true;
    }
    QCoreApplication app(argc, argv);
    const QString path = readablePackagePath(argv[pathAt], status);
    if (path.isNull())
        return true;
    PackageKitTransaction transaction(path, deb, userLocale(), &app);
    *status = runClient(app, transaction, wizard);
    return true;
}
