// Which program installs the package, decided in one place for the install
// page and the install worker alike.
#ifndef INSTALL_ROAD_U_H
#define INSTALL_ROAD_U_H

#include <QString>
#include <QStringList>

// The package to install and the program that installs it through
// PackageKit (this wizard, in its PackageKit mode).
struct InstallTarget {
    QString path;
    bool deb = false;          // a Debian package (an Ubuntu build), else an RPM
    QString packageKitProgram;
};

// The package that the launcher wrote, of the kind the build was made for,
// and this very program, also where it runs from a copy in memory.
InstallTarget builtInInstallTarget();

enum class InstallRoad {
    Rpm,                 // root, RPM: rpm -U
    Dpkg,                // root, Debian package: dpkg -i
    PkexecGdebi,         // a user, Debian package: pkexec gdebi -n -q
    GpkInstallLocalFile, // a user, RPM: the desktop's installer
    PackageKit,          // a user whose desktop lacks those: PackageKit itself
    Dnf5Daemon,          // the same, RPM, where the dnf5 daemon can be reached: the daemon
    RpmOstree,           // root, ostree system: rpm-ostree install --apply-live
    TransactionalUpdate  // root, transactional system: transactional-update pkg install
};

// Root runs the package manager; a user runs the desktop's installer
// programs for the kind of package where they are present, and otherwise
// asks the system's package service: for an RPM the dnf5 daemon where it
// can be reached (dnf5DaemonReachable), else PackageKit.
InstallRoad chooseInstallRoad(bool deb, bool root, bool desktopToolsPresent, bool dnf5DaemonReachable = false);
// Whether the desktop's installer programs for this kind of package are
// there: the packages that bring pkexec and gdebi, as dpkg knows them, or
// gpk-install-local-file on the search path. Where they are not, and for
// a dpkg-query that could not run, *report (unless null) says so in words.
// The one decision that the install page, which asks it first and defines
// it, and the install worker take it from.
bool desktopInstallToolsPresent(bool deb, QString *report = nullptr);

// What runs for a road: the program started with its arguments, and the
// application and arguments as the install log's record names them.
struct InstallCommand {
    QString application;
    QStringList arguments;
    QString program;
    QStringList programArguments;
    bool serviceClient = false; // the program is one of this program's package-service clients
};
InstallCommand installCommand(InstallRoad road, const InstallTarget &target);
// The command for target by the road that chooseInstallRoad takes where
// only who runs the wizard and the desktop's tools are known.
InstallCommand defaultInstallCommand(const InstallTarget &target);
// The command of the two roads of image-based systems (image_system_road_u.cpp).
InstallCommand imageInstallCommand(InstallRoad road, const InstallTarget &target);

#endif
