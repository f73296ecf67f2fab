// What the wizard and its package-service clients agree on. A client
// installs a local package file through one of the system's package
// services, for a user who is not root where the desktop's own installer
// programs (gpk-install-local-file, or pkexec with gdebi) are missing.
//
// The wizard program runs as a client in a process of its own, started as
//   PROGRAM SERVICE-FLAG [--deb|--rpm] PATH
// so that the install worker runs it as it runs any install program: it
// logs the lines the client prints while the service works, and judges it
// by its exit status. Without --deb or --rpm the package is of the kind the
// build was made for. A client ends when the wizard does, however the
// wizard ends.
#ifndef PACKAGE_SERVICE_U_H
#define PACKAGE_SERVICE_U_H

#include <QString>
#include <QStringList>

class QTextCodec;

// The system services that install a package file for a user.
enum class PackageService {
    PackageKit,
    Dnf5Daemon // dnf5daemon-server, of the RPM desktops that left PackageKit
};

// The service as a user knows it, and as its lines begin: "PackageKit",
// "dnf5 daemon".
QString packageServiceName(PackageService service);
// The words that tell a user which service installs the package, and that
// the system will ask for the password.
QString packageServiceIntroduction(PackageService service);

// The client's flags.
extern const char kPackageKitInstallArgument[];
extern const char kDnf5DaemonInstallArgument[];
extern const char kDebArgument[];
extern const char kRpmArgument[];
// Set by whoever starts a client, to its own process id: a client whose
// parent is another process by the time it has armed its death signal
// was orphaned before it could be, and installs nothing.
extern const char kClientParentVariable[];
// The arguments that make the program a client of service, for a package
// of the given kind at path.
QStringList packageServiceArguments(PackageService service, bool deb, const QString &path);

// The client's exit statuses.
enum class ServiceStatus {
    Installed = 0,
    Failed = 1,                // the service tried and failed; its error and details were printed
    NotAuthorised = 2,         // the administrator's permission was refused or not given
    Unavailable = 3,           // no system bus or no service, or it stopped or stopped answering
    KindNotSupported = 4,      // the service on this system cannot install this kind of package
    Cancelled = 5,             // cancelled before the service changed the system: nothing was installed
    Unsigned = 6,              // the service installs only signed packages, and this one is not
    AuthorisationTimedOut = 7, // the service gave up waiting for the password: asking again may well succeed
    Usage = 64                 // not started with a package path
};

// One line that a client prints: a record the page reads back for what
// it shows, and a line a person reads in the install log.
struct ServiceLine {
    enum Kind {
        Note,     // the client's own words:                     TEXT
        Asking,   // the request made, and the backend taking it: SERVICE: asking to install PATH (backend: BACKEND)
        State,    // what the service is doing:                  SERVICE: WORDS
        Package,  // what happens to one package:                SERVICE: ACTION package PACKAGE
        Progress  // how far it is, 0 to 100:                    SERVICE: N% done
    };
    Kind kind = Note;
    PackageService service = PackageService::PackageKit;
    QString text;    // Note: the line; Asking: the path; State: the words; Package: the package in words
    QString backend; // Asking
    QString action;  // Package: one word, e.g. "installing"
    int percent = 0; // Progress

    static ServiceLine note(const QString &text);
    static ServiceLine asking(PackageService service, const QString &path, const QString &backend);
    // Words of the form "WORD package ..." would read back as a package line.
    static ServiceLine state(PackageService service, const QString &words);
    static ServiceLine package(PackageService service, const QString &action, const QString &package);
    static ServiceLine progress(PackageService service, int percent);
    bool operator==(const ServiceLine &other) const;
};

// The encoding of every text that reaches the install page: the package
// tools' output, read in the locale's encoding, and a client's lines,
// written in it. The codec of the encoding that nl_langinfo(CODESET) names
// for the current locale, whichever Qt the wizard is built with; UTF-8 for
// the C and POSIX locales. Never null.
QTextCodec *installTextCodec();

// The line for a record, without its end.
QString writeServiceLine(const ServiceLine &line);
// The record a line (without its end) was written for; a line no record
// wrote is a Note.
ServiceLine readServiceLine(const QString &line);
// A client prints one record's line at once, in the encoding the install
// page reads; words of the client's own as a note.
void say(const ServiceLine &line);
void say(const QString &words);

// When argv asks for a client, runs it and returns true with its exit
// status in *status; otherwise returns false at once. Called first thing in
// main: it needs no display.
bool runPackageServiceClientIfAsked(int argc, char **argv, int *status);

// Whether service can be reached: its name has an owner on the system bus,
// or the bus can start it. Asked on a thread of its own, within a few
// seconds, while this thread's windows go on repainting (user input
// waits): a bus that does not answer, even to the connection, freezes no
// window. When false, *why says in words what is missing.
bool packageServiceAvailable(PackageService service, QString *why);
// True once such a check has been left waiting on a bus that never
// answered: the program must then end with _exit(), since Qt's D-Bus
// clean-up at exit would wait for that thread for ever.
bool busCheckLeftWaiting();

// The way to install that needs nothing of the desktop, for failure texts:
// the installer run as root, named as the user started it (the launcher
// says how, in QOR_INSTALLER_COMMAND).
QString terminalInstallHint();

#endif
