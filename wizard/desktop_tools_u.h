// Whether a user who is not root can install with the desktop's own
// installer programs: the one decision that the install page and the
// install worker take it from.
#ifndef DESKTOP_TOOLS_U_H
#define DESKTOP_TOOLS_U_H

class QString;

// Whether the desktop's installer programs for this kind of package are
// there: the packages that bring pkexec and gdebi, as dpkg knows them, or
// gpk-install-local-file on the search path. Where they are not, and for
// a dpkg-query that could not run, *report (unless null) says so in words.
bool desktopInstallToolsPresent(bool deb, QString *report = nullptr);

#endif
