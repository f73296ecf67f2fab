// The dnf5 daemon's client (dnf5daemon-server, org.rpm.dnf.v0 on the system
// bus), started as PROGRAM --install-with-dnf5daemon [--rpm] PATH: one
// session for one local RPM file.
#ifndef DNF5DAEMON_CLIENT_H
#define DNF5DAEMON_CLIENT_H

extern const char kDnf5DaemonService[];

// Runs the client for argv, whose first argument is its flag, and returns
// true with its exit status (a ServiceStatus) in *status.
bool runDnf5DaemonClient(int argc, char **argv, int *status);

#endif
