// The dnf5 daemon client's entry: its death signal, its arguments, the
// package file, then the session, which the wizard's Cancel or end ends.
#include "dnf5daemon_client.h"
#include "dnf5daemon_session.h"
#include "package_service_u.h"
#include "packagekit_bus_u.h"
#include "service_client_u.h"



#include <QCoreApplication>

const char kDnf5DaemonService[] = "org.rpm.dnf.v0";

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
    Dnf5DaemonSession run(path, &app);
    *status = runClient(app, run, wizard);
    return true;
}
