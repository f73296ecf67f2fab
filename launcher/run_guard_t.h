// What a run does when it is interrupted, and when nobody reads its output.
// A run that ends early removes the files it wrote, but never at the cost of
// a package tool or the wizard stopped halfway: while a child runs, signals
// that would end the launcher only wait until the child has ended.
#ifndef RUN_GUARD_T_H
#define RUN_GUARD_T_H

// Called first in main. SIGTERM, SIGHUP and SIGINT then end the run with
// status 128 + signal after removing the tracked files, unless a child runs.
// SIGPIPE no longer ends the launcher: a closed standard output costs its
// messages, never the work or the exit status. Standard descriptors that
// are closed are opened on /dev/null, so that no file of ours takes their
// number and receives messages meant for the terminal. SIGCHLD is set back
// to its default, which waiting for our children needs.
void guard_install();

// PATH, which must stay valid, is written by this run from now on; it is
// removed if the run is ended before a child runs. At most four paths.
void guard_track(const char *path);
// The tracked files are now the run's result, or are removed already.
void guard_forget_all();

// Around a child's run. guard_child_begins() also flushes standard output
// and, when nobody reads it any more, points it at /dev/null, so the child
// loses its messages but not its life. guard_child_ends() returns the
// signal that asked the launcher to end meanwhile, or 0.
void guard_child_begins();
int guard_child_ends();

#endif
