#include "install_road_u.h"
#include "package_service_u.h"
#include "qor_build_config.h"
#include "qorwiz_u.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

InstallTarget builtInInstallTarget()
{
    // The running program; a child started through this name runs the
    // same file, also where the wizard runs from a copy in memory.
    const QString self = QStringLiteral("/proc/self/exe");
    return {QCoreApplication::translate("InstallPage", QOR_PACKAGE_PATH), QOR_PACKAGE_IS_DEB != 0,
            QFileInfo::exists(self) ? self : QCoreApplication::applicationFilePath()};
}

InstallRoad chooseInstallRoad(bool deb, bool root, bool desktopToolsPresent)
{
    if (root)
        return deb ? InstallRoad::Dpkg : InstallRoad::Rpm;
    if (!desktopToolsPresent)
        return InstallRoad::PackageKit;
    return deb ? InstallRoad::PkexecGdebi : InstallRoad::GpkInstallLocalFile;
}

bool desktopInstallToolsPresent(bool deb, QString *report)
{
    if (!deb)
        return !QStandardPaths::findExecutable(QStringLiteral("gpk-install-local-file")).isEmpty();
    // What the installation runs is pkexec and /usr/bin/gdebi, which come
    // with "pkexec" and "gdebi-core"; "policykit-1" (gone since Debian 13
    // and Ubuntu 25.04) and "gdebi" (the GTK front end) bring them too.
    QString words;
    const bool present = qorwiz::prereqCheckUbuntu(
        {QStringLiteral("pkexec | policykit-1"), QStringLiteral("gdebi-core | gdebi")}, words);
    if (report)
        *report = words;
    return present;
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
    case InstallRoad::PackageKit:
        // The record names it as the user knows it.
        command.application = QStringLiteral("PackageKit");
        command.program = target.packageKitProgram;
        command.programArguments = packageServiceArguments(PackageService::PackageKit, target.deb, target.path);
        break;
    }
    command.arguments << target.path;
    if (command.program.isEmpty()) {
        command.program = command.application;
        command.programArguments = command.arguments;
    }
    return command;
}
