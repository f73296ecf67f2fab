// Starting the setup wizard and waiting for it.
#ifndef START_WIZARD_T_H
#define START_WIZARD_T_H

// Runs the wizard written at PATH, without arguments, in our folder and
// environment, with its standard output on a pipe that nobody reads, and
// waits for it. The ordinary start goes through the shell, which reports a
// program that cannot be loaded with status 127. When PATH cannot be
// executed at all (a /tmp mounted noexec), the program runs from a copy in
// memory instead; it still finds its files at their /tmp paths.
// Returns 0 with the wait status in *status and the signal that asked us
// to end while it ran (or 0) in *interrupted; or errno when it could not
// be started.
int run_wizard(const char *path, int *status, int *interrupted);

#endif
