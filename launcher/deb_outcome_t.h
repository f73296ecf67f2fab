// What gdebi did with a Debian package. gdebi asks the user once more before
// it installs, and a "no" (or the end of its input) ends it with status 0,
// as a success does: only the package database tells the two apart.
#ifndef DEB_OUTCOME_T_H
#define DEB_OUTCOME_T_H

// What the package database held of the .deb at PACKAGE_FILE before gdebi
// ran: enough to tell afterwards whether this run installed it.
struct DebIdentity {
    char name[128];
    char version[128];
};
struct DebBefore {
    bool identified; // dpkg-deb could tell the package's name and version
    DebIdentity identity;
    bool installed;  // at that version already
    char stamp[32];  // when dpkg last wrote its list of files
};
void deb_note_before(const char *package_file, DebBefore *before);

// After gdebi ended with status 0: true when it installed nothing (the user
// said no), whether or not that version was installed before. False when
// the package could not be identified: gdebi's status stands then.
bool deb_declined(const DebBefore &before);

#endif
