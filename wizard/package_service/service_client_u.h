// What every client's entry does around its service's work: the death
// signal armed first, then the wizard's Cancel and end turned into calls.
#ifndef SERVICE_CLIENT_U_H
#define SERVICE_CLIENT_U_H

#include <functional>

#include <sys/types.h>

#include <QCoreApplication>
#include <QString>
#include <QTimer>

// The kernel sends SIGTERM when the wizard ends, however it ends; until
// cancelOnSignals takes it, that ends the client at once, before it has
// asked anything of anyone. Armed before anything else, and then the
// parent is checked: false for a wizard gone before the signal was armed,
// which leaves a client that no signal would reach. *wizard is the parent
// named by whoever started the client, where it says.
bool armDeathSignal(pid_t *wizard);

// SIGTERM, SIGINT and SIGHUP (the wizard's Cancel, or the wizard gone)
// become calls of cancel on owner's thread, with whether the wizard is
// gone.
void cancelOnSignals(QObject *owner, const std::function<void(bool parentGone)> &cancel, pid_t wizard);

// The package file named on the command line, made absolute: the service
// reads it as root, from a working folder of its own, where a relative path
// would name another file, or none. Null, with the reason printed and
// *status set, when it cannot be read.
QString readablePackagePath(const char *argument, int *status);

// The status a client ends with. After a bus check left waiting on a bus
// that never answered, it ends the process here: Qt's D-Bus clean-up at
// exit would wait for that thread for ever.
int endClient(int status);

// Runs a client's work (start(), cancel(bool), status()) to its end, with
// the wizard's Cancel and end turned into cancel().
template <class Work> int runClient(QCoreApplication &app, Work &work, pid_t wizard)
{
    cancelOnSignals(&work, [&work](bool parentGone) { work.cancel(parentGone); }, wizard);
    QTimer::singleShot(0, &work, [&work] { work.start(); });
    app.exec();
    return endClient(int(work.status()));
}

#endif
