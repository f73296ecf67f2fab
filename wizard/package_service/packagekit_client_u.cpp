// The client's entry: its death signal, its arguments, the package file,
// then the transaction, which the wizard's Cancel or end cancels.
#include "package_service_u.h"
#include "packagekit_bus_u.h"
#include "packagekit_transaction_u.h"
#include "qor_build_config.h"

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/prctl.h>
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
// parent is checked: a wizard gone before the signal was armed leaves a
// client that no signal would reach. The parent is the one named by
// whoever started the client, where it says.
bool armDeathSignal(pid_t *wizard)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const pid_t parent = getppid();
    bool number = false;
    const qint64 named = qEnvironmentVariable(kClientParentVariable).toLongLong(&number);
    *wizard = number ? pid_t(named) : parent;
    return parent == *wizard;
}

// Cancel requests and the wizard's end become calls of cancel().
void cancelOnSignals(PackageKitTransaction *transaction, pid_t wizard)
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    QSocketNotifier *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, transaction);
    QObject::connect(notifier, &QSocketNotifier::activated, transaction, [transaction, wizard] {
        char bytes[16];
        while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        transaction->cancel(getppid() != wizard);
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

} // namespace

bool runPackageServiceClientIfAsked(int argc, char **argv, int *status)
{
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
    // PackageKit reads the file as root, from its own working folder: a
    // relative path would name another file there, or none.
    const QString path = QFileInfo(QFile::decodeName(argv[pathAt])).absoluteFilePath();
    QFile package(path);
    if (!package.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("Cannot read the package file %1: %2").arg(path, package.errorString()));
        *status = int(ServiceStatus::Failed);
        return true;
    }
    package.close();
    PackageKitTransaction transaction(path, deb, &app);
    cancelOnSignals(&transaction, wizard);
    QTimer::singleShot(0, &transaction, [&transaction] { transaction.start(); });
    app.exec();
    *status = int(transaction.status());
    if (busCheckLeftWaiting()) {
        fflush(stdout);
        _exit(*status);
    }
    return true;
}
