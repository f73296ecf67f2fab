// The client's entry: its death signal, its arguments, the package file,
// then the transaction, which the wizard's Cancel or end cancels.
#include "package_service_u.h"
#include "packagekit_bus_u.h"
#include "packagekit_transaction_u.h"
#include "dnf5daemon_client.h"
#include "service_client_u.h"
#include "qor_build_config.h"



#include <QCoreApplication>


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
    PackageKitTransaction transaction(path, deb, &app);
    *status = runClient(app, transaction, wizard);
    return true;
}
