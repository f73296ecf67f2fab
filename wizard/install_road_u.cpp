#include "install_road_u.h"
#include "package_service_u.h"
#include "qor_build_config.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <unistd.h>

InstallTarget builtInInstallTarget()
{
    // The running program; a child started through this name runs the
    // same file, also where the wizard runs from a copy in memory.
    const QString self = QStringLiteral("/proc/self/exe");
    return {QCoreApplication::translate("InstallPage", QOR_PACKAGE_PATH), QOR_PACKAGE_IS_DEB != 0,
            QFileInfo::exists(self) ? self : QCoreApplication::applicationFilePath()};
}

InstallRoad chooseInstallRoad(bool deb, bool root, bool desktopToolsPresent, bool dnf5DaemonReachable)
{
    if (root)
        return deb ? InstallRoad::Dpkg : InstallRoad::Rpm;
    if (!desktopToolsPresent)
        return !deb && dnf5DaemonReachable ? InstallRoad::Dnf5Daemon : InstallRoad::PackageKit;
    return deb ? InstallRoad::PkexecGdebi : InstallRoad::GpkInstallLocalFile;
}

InstallCommand installCommand(InstallRoad road, const InstallTarget &target)
{
    InstallCommand command;
    switch (road) {
    case InstallRoad::Rpm:
        command.application = QStringLiteral("rpm");
        command.arguments << QStringLiteral("-U");
        break;
    case InstallRoad::Dpkg:
        command.application = QStringLiteral("dpkg");
        command.arguments << QStringLiteral("-i");
        break;
    case InstallRoad::PkexecGdebi:
        command.application = QStringLiteral("pkexec");
        command.arguments << QStringLiteral("gdebi") << QStringLiteral("-n") << QStringLiteral("-q");
        break;
    case InstallRoad::GpkInstallLocalFile:
        command.application = QStringLiteral("gpk-install-local-file");
        break;
    case InstallRoad::RpmOstree:
    case InstallRoad::TransactionalUpdate:
        return imageInstallCommand(road, target);
    case InstallRoad::PackageKit:
        // The record names it as the user knows it.
        command.application = QStringLiteral("PackageKit");
        command.program = target.packageKitProgram;
        command.programArguments = packageServiceArguments(PackageService::PackageKit, target.deb, target.path);
        break;
    case InstallRoad::Dnf5Daemon:
        command.application = QStringLiteral("dnf5daemon");
        command.program = target.packageKitProgram;
        command.programArguments = packageServiceArguments(PackageService::Dnf5Daemon, false, target.path);
        break;
    }
    command.arguments << target.path;
    command.serviceClient = road == InstallRoad::PackageKit || road == InstallRoad::Dnf5Daemon;
    if (command.program.isEmpty()) {
        command.program = command.application;
        command.programArguments = command.arguments;
    }
    return command;
}

InstallCommand defaultInstallCommand(const InstallTarget &target)
{
    return installCommand(chooseInstallRoad(target.deb, getuid() == 0, desktopInstallToolsPresent(target.deb)),
                          target);
}
