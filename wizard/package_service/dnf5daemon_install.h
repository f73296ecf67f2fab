// Installing the package file through the dnf5 daemon (dnf5daemon-server,
// org.rpm.dnf.v0 on the system bus): the package service of the RPM
// desktops that no longer run PackageKit, for a user who is not root.
//
// The wizard program does this in a process of its own, started as
//   PROGRAM --install-with-dnf5daemon PATH
// which the install worker runs as it runs any install program: it reads
// the lines printed while the daemon works, and judges it by its exit
// status, which means what the PackageKit mode's status of the same number
// means (PackageKitInstallStatus).
#ifndef DNF5DAEMON_INSTALL_H
#define DNF5DAEMON_INSTALL_H

#include <QString>

extern const char kDnf5DaemonInstallArgument[];
extern const char kDnf5DaemonService[];

// When argv asks for the installation through the dnf5 daemon, runs it and
// returns true with its exit status in *status; otherwise returns false at
// once. Needs no display.
bool runDnf5DaemonInstallIfAsked(int argc, char **argv, int *status);

// Whether the dnf5 daemon can be reached: its name has an owner on the
// system bus, or the bus can start it. Asks the bus only, within a few
// seconds; when false, *why says in words what is missing.
bool dnf5DaemonAvailable(QString *why);
// The same asked on a thread of its own, while this thread's windows go on
// repainting: a bus that does not answer freezes no window.
bool dnf5DaemonAvailableInBackground(QString *why);
// True once such a check has been left waiting on a bus that never
// answered: the program must then end with _exit() (Qt's D-Bus clean-up
// would wait for that thread for ever).
bool dnf5DaemonCheckLeftWaiting();

#endif
