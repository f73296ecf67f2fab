// One run at a time for each package path. The /tmp paths are fixed and
// shared by every user: two runs writing them at once spoil each other's
// files, and one run's clean-up removes the other's.
#ifndef RUN_LOCK_T_H
#define RUN_LOCK_T_H

#include <sys/types.h>

// The status of a run that found another one in progress.
const int kRunInProgress = 16; // EBUSY

// Takes the lock of PACKAGE_PATH for the rest of the process, before any
// of its paths is touched; taking it again is a no-op. The lock is an
// abstract socket: it leaves no file, dies with the process however it
// ends, and is not inherited by the programs we start. A process that runs
// no installer and holds its name stops nobody (as far as this user may
// look: root sees every process), nor, for a user who is not root, does a
// hold by another user who is not root either. Returns 0, or kRunInProgress
// or errno after printing why.
int run_lock_take(const char *package_path);

// "user NAME", or "uid N" when the name is unknown; valid until the next call.
const char *describe_user(uid_t uid);

// Removes what another user left at PATH, a file, link, FIFO or socket,
// where this user may (root may in a sticky /tmp even where it may not open
// it): with the lock held, it is left by an earlier run or planted, and
// would only block this one. A link goes, never its target. A folder is
// moved aside, to a hidden name beside it that a NOTE gives.
void remove_foreign_file(const char *path);

// After a failure at PATH: when a file of another user stands there, says
// whose it is and what to do.
void explain_foreign_file(const char *path);

#endif
