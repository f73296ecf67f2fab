#include "service_client_u.h"
#include "package_service_u.h"
#include "packagekit_bus_u.h"

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

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

} // namespace

bool armDeathSignal(pid_t *wizard)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const pid_t parent = getppid();
    bool number = false;
    const qint64 named = qEnvironmentVariable(kClientParentVariable).toLongLong(&number);
    *wizard = number ? pid_t(named) : parent;
    return parent == *wizard;
}

void cancelOnSignals(QObject *owner, const std::function<void(bool)> &cancel, pid_t wizard)
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

int endClient(int status)
{
    if (busCheckLeftWaiting()) {
        fflush(stdout);
        _exit(status);
    }
    return status;
}
