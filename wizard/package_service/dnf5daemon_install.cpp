// The dnf5 daemon mode's entry, and what the install page asks of the bus
// about the daemon.
#include "dnf5daemon_install.h"
#include "dnf5daemon_session.h"
#include "packagekit_bus_u.h"
#include "packagekit_install_u.h"

#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

const char kDnf5DaemonInstallArgument[] = "--install-with-dnf5daemon";
const char kDnf5DaemonService[] = "org.rpm.dnf.v0";

namespace {

// How long the system bus may take to accept a connection and answer.
const int kBusSetupMs = 30000;
bool leftWaiting = false;

// SIGTERM, SIGINT and SIGHUP reach the event loop through this pipe: the
// wizard's Cancel, or the wizard gone.
int signalPipe[2] = {-1, -1};

extern "C" void noteDaemonModeSignal(int)
{
    const char byte = 1;
    const ssize_t written = write(signalPipe[1], &byte, 1);
    (void)written;
}

// The kernel sends SIGTERM when the wizard ends, however it ends.
void cancelOnSignals(Dnf5DaemonSession *run)
{
    const pid_t wizard = getppid();
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    QSocketNotifier *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, run);
    QObject::connect(notifier, &QSocketNotifier::activated, run, [run, wizard] {
        char bytes[16];
        while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        run->cancel(getppid() != wizard);
    });
    struct sigaction action = {};
    action.sa_handler = noteDaemonModeSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != wizard)
        noteDaemonModeSignal(SIGTERM);
}

} // namespace

bool runDnf5DaemonInstallIfAsked(int argc, char **argv, int *status)
{
    if (argc < 2 || qstrcmp(argv[1], kDnf5DaemonInstallArgument) != 0)
        return false;
    if (argc != 3) {
        say(QStringLiteral("usage: %1 %2 PACKAGE-FILE")
                .arg(QString::fromLocal8Bit(argv[0]), QLatin1String(kDnf5DaemonInstallArgument)));
        *status = PkUsage;
        return true;
    }
    QCoreApplication app(argc, argv);
    // The daemon reads the file as root, from a working folder of its own.
    const QString path = QFileInfo(QFile::decodeName(argv[2])).absoluteFilePath();
    QFile package(path);
    if (!package.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("Cannot read the package file %1: %2").arg(path, package.errorString()));
        *status = PkFailed;
        return true;
    }
    package.close();
    Dnf5DaemonSession run(path, &app);
    cancelOnSignals(&run);
    QTimer::singleShot(0, &run, [&run] { run.start(); });
    app.exec();
    *status = run.status();
    if (dnf5DaemonCheckLeftWaiting()) {
        fflush(stdout);
        _exit(*status);
    }
    return true;
}

bool dnf5DaemonAvailable(QString *why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("the system bus cannot be reached: ") + inWords(bus.lastError());
        return false;
    }
    const QString name = QLatin1String(kDnf5DaemonService);
    const QDBusMessage owned = callAndWait(bus, busCall("NameHasOwner", {name}), kBusAnswerMs);
    if (owned.type() == QDBusMessage::ReplyMessage && owned.arguments().value(0).toBool())
        return true;
    const QDBusMessage startable = callAndWait(bus, busCall("ListActivatableNames"), kBusAnswerMs);
    if (startable.type() == QDBusMessage::ErrorMessage) {
        *why = QStringLiteral("the system bus did not say whether it can start the dnf5 daemon: ")
               + inWords(QDBusError(startable));
        return false;
    }
    if (startable.arguments().value(0).toStringList().contains(name))
        return true;
    *why = QStringLiteral("the dnf5 daemon (org.rpm.dnf.v0) is neither running nor installed");
    return false;
}

bool dnf5DaemonAvailableInBackground(QString *why)
{
    // Shared with the thread, which may outlive this call.
    struct Answer {
        bool available = false;
        QString reason;
    };
    const auto answer = std::make_shared<Answer>();
    QThread *asking = QThread::create([answer] { answer->available = dnf5DaemonAvailable(&answer->reason); });
    QEventLoop loop;
    QObject::connect(asking, SIGNAL(finished()), &loop, SLOT(quit()));
    QTimer::singleShot(kBusSetupMs, &loop, SLOT(quit()));
    asking->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!asking->isFinished()) {
        *why = QStringLiteral("the system bus did not answer within %1 s").arg(kBusSetupMs / 1000);
        leftWaiting = true;
        return false;
    }
    delete asking;
    *why = answer->reason;
    return answer->available;
}

bool dnf5DaemonCheckLeftWaiting()
{
    return leftWaiting;
}
