// What gdebi did with a Debian package. gdebi asks the user once more before
// it installs, and a "no" (or the end of its input) ends it with status 0,
// as a success does: only the package database tells the two apart.
#ifndef DEB_OUTCOME_T_H
#define DEB_OUTCOME_T_H

// The package in the .deb at PACKAGE_FILE, read before the installation:
// its name and version, for deb_installed. False when dpkg-deb cannot tell.
struct DebIdentity {
    char name[128];
    char version[128];
};
bool deb_identify(const char *package_file, DebIdentity *identity);

// True when the package of IDENTITY is installed at its version.
bool deb_installed(const DebIdentity &identity);

#endif
