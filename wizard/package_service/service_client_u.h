// What every client's entry does around its service's work: the death
// signal armed first, then the wizard's Cancel and end turned into calls.
#ifndef SERVICE_CLIENT_U_H
#define SERVICE_CLIENT_U_H

#include <functional>

#include <sys/types.h>

class QObject;

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

#endif
