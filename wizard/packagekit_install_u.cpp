// The PackageKit mode's entry, and what the install page asks of PackageKit.
#include "packagekit_install_u.h"
#include "packagekit_bus_u.h"
#include "packagekit_transaction_u.h"
#include "qor_build_config.h"

#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>
#include <QThread>
#include <QTimer>

const char kPackageKitInstallArgument[] = "--install-with-packagekit";
const char kPackageKitDebArgument[] = "--deb";
const char kPackageKitRpmArgument[] = "--rpm";

namespace {

// How long the system bus may take to accept a connection and answer.
const int kBusSetupMs = 30000;
bool leftWaiting = false;

// SIGTERM, SIGINT and SIGHUP reach the event loop through this pipe: the
// wizard's Cancel, or the wizard gone.
int signalPipe[2] = {-1, -1};

extern "C" void noteSignal(int)
{
    const char byte = 1;
    const ssize_t written = write(signalPipe[1], &byte, 1);
    (void)written;
}

// Cancel requests and the wizard's end become calls of cancel(); the
// kernel sends SIGTERM when the wizard ends, however it ends.
void cancelOnSignals(PackageKitTransaction *transaction)
{
    const pid_t wizard = getppid();
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
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Gone already before the request was made.
    if (getppid() != wizard)
        noteSignal(SIGTERM);
}

} // namespace

bool runPackageKitInstallIfAsked(int argc, char **argv, int *status)
{
    if (argc < 2 || qstrcmp(argv[1], kPackageKitInstallArgument) != 0)
        return false;
    bool deb = QOR_PACKAGE_IS_DEB != 0;
    int pathAt = 2;
    if (argc == 4 && qstrcmp(argv[2], kPackageKitDebArgument) == 0) {
        deb = true;
        pathAt = 3;
    } else if (argc == 4 && qstrcmp(argv[2], kPackageKitRpmArgument) == 0) {
        deb = false;
        pathAt = 3;
    }
    if (argc != pathAt + 1) {
        say(QStringLiteral("usage: %1 %2 [%3|%4] PACKAGE-FILE")
                .arg(QString::fromLocal8Bit(argv[0]), QLatin1String(kPackageKitInstallArgument),
                     QLatin1String(kPackageKitDebArgument), QLatin1String(kPackageKitRpmArgument)));
        *status = PkUsage;
        return true;
    }
    QCoreApplication app(argc, argv);
    // PackageKit reads the file as root, from its own working folder: a
    // relative path would name another file there, or none.
    const QString path = QFileInfo(QFile::decodeName(argv[pathAt])).absoluteFilePath();
    QFile package(path);
    if (!package.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("Cannot read the package file %1: %2").arg(path, package.errorString()));
        *status = PkFailed;
        return true;
    }
    package.close();
    PackageKitTransaction transaction(path, deb, &app);
    cancelOnSignals(&transaction);
    QTimer::singleShot(0, &transaction, [&transaction] { transaction.start(); });
    app.exec();
    *status = transaction.status();
    if (busCheckLeftWaiting()) {
        fflush(stdout);
        _exit(*status);
    }
    return true;
}

bool packageKitAvailable(QString *why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("the system bus cannot be reached: ") + inWords(bus.lastError());
        return false;
    }
    const QString name = QLatin1String(kPackageKitService);
    const QDBusMessage owned = callAndWait(bus, busCall("NameHasOwner", {name}), kBusAnswerMs);
    if (owned.type() == QDBusMessage::ReplyMessage && owned.arguments().value(0).toBool())
        return true;
    const QDBusMessage startable = callAndWait(bus, busCall("ListActivatableNames"), kBusAnswerMs);
    if (startable.type() == QDBusMessage::ErrorMessage) {
        *why = QStringLiteral("the system bus did not say whether it can start PackageKit: ")
               + inWords(QDBusError(startable));
        return false;
    }
    if (startable.arguments().value(0).toStringList().contains(name))
        return true;
    *why = QStringLiteral("PackageKit (org.freedesktop.PackageKit) is neither running nor installed");
    return false;
}

bool packageKitAvailableInBackground(QString *why)
{
    // Shared with the thread, which may outlive this call.
    struct Answer {
        bool available = false;
        QString reason;
    };
    const auto answer = std::make_shared<Answer>();
    QThread *asking = QThread::create([answer] { answer->available = packageKitAvailable(&answer->reason); });
    QEventLoop loop;
    QObject::connect(asking, SIGNAL(finished()), &loop, SLOT(quit()));
    QTimer::singleShot(kBusSetupMs, &loop, SLOT(quit()));
    asking->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!asking->isFinished()) {
        // A bus that takes the connection but never answers keeps the thread
        // for ever; it is left to itself, and the check fails.
        *why = QStringLiteral("the system bus did not answer within %1 s").arg(kBusSetupMs / 1000);
        leftWaiting = true;
        return false;
    }
    delete asking;
    *why = answer->reason;
    return answer->available;
}

bool busCheckLeftWaiting()
{
    return leftWaiting;
}

// Quoted for the shell where it needs to be, as a user would type it.
static QString shellWord(const QString &word)
{
    static const QString plain =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-=,:@");
    bool quote = word.isEmpty();
    for (const QChar c : word)
        quote = quote || !plain.contains(c);
    if (!quote)
        return word;
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString terminalInstallHint()
{
    // A launcher started by a bare name was found on PATH, which sudo may
    // not search: named from the current folder then.
    QString command = QFile::decodeName(qgetenv(QOR_INSTALLER_COMMAND_VARIABLE));
    if (command.isEmpty())
        command = QStringLiteral("./qor-setup");
    else if (!command.contains(QLatin1Char('/')))
        command.prepend(QStringLiteral("./"));
    return QStringLiteral("To install from a terminal instead, run the installer as root, for example: sudo ")
           + shellWord(command);
}
