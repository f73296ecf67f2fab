// Installing the package file through PackageKit, the package service that
// today's desktops run on the system bus: the way for a user who is not root
// where the desktop's own installer programs (gpk-install-local-file, or
// pkexec with gdebi) are missing.
//
// The wizard program does this in a process of its own, started as
//   PROGRAM --install-with-packagekit [--deb|--rpm] PATH
// so that the install worker runs it as it runs any install program: it
// reads the lines it prints while PackageKit works, and judges it by its
// exit status. Without --deb or --rpm the package is of the kind the build
// was made for.
#ifndef PACKAGEKIT_INSTALL_U_H
#define PACKAGEKIT_INSTALL_U_H

#include <QString>

extern const char kPackageKitInstallArgument[];
extern const char kPackageKitDebArgument[];
extern const char kPackageKitRpmArgument[];
// How long another package manager holding the lock is waited for, in
// seconds, where the environment sets it (an administrator who knows that
// unattended upgrades take longer here); 600 otherwise.
extern const char kLockWaitVariable[];

// The exit statuses of that process.
enum PackageKitInstallStatus {
    PkInstalled = 0,
    PkFailed = 1,            // PackageKit tried and failed; its error code and details were printed
    PkNotAuthorised = 2,     // the administrator's permission was refused or not given
    PkUnavailable = 3,       // no system bus or no PackageKit, or it stopped or stopped answering
    PkKindNotSupported = 4,  // PackageKit on this system cannot install this kind of package
    PkCancelled = 5,         // cancelled before PackageKit changed the system: nothing was installed
    PkUnsigned = 6,          // PackageKit on this system installs only signed packages, and this one is not
    PkAuthorisationTimedOut = 7, // PackageKit gave up waiting for the password: asking again may well succeed
    PkUsage = 64             // not started with a package path
};

// When argv asks for the installation through PackageKit, runs it and
// returns true with its exit status in *status; otherwise returns false at
// once. Called first thing in main: it needs no display.
bool runPackageKitInstallIfAsked(int argc, char **argv, int *status);

// Whether PackageKit can be reached: its name has an owner on the system
// bus, or the bus can start it. Asks the bus only, within a few seconds;
// when false, *why says in words what is missing.
bool packageKitAvailable(QString *why);
// The same asked on a thread of its own, while this thread's windows go on
// repainting (user input waits): a bus that does not answer, even to the
// connection, freezes no window.
bool packageKitAvailableInBackground(QString *why);
// True once such a check has been left waiting on a bus that never
// answered: the program must then end with _exit(), since Qt's D-Bus
// clean-up at exit would wait for that thread for ever.
bool busCheckLeftWaiting();

// The way to install that needs nothing of the desktop, for failure texts:
// the installer run as root, named as the user started it (the launcher
// says how, in QOR_INSTALLER_COMMAND).
QString terminalInstallHint();

#endif
