// What the package file and this system's package database say, where a
// package service does not: why the file cannot be installed here, and
// whether it is installed now.
#ifndef PACKAGE_FILE_FACTS_U_H
#define PACKAGE_FILE_FACTS_U_H

#include <QString>
#include <QStringList>

struct RpmHeader;

// Whether a package built for arch runs on this machine (uname's): the
// same architecture, noarch, or a 32-bit x86 one on x86_64.
bool rpmArchitectureRunsHere(const QString &arch);
// The machine's architecture, as uname names it.
QString machineArchitecture();

// The lines that say why an RPM cannot be installed here: another
// architecture, and the requirements that nothing in the rpm database
// provides (all of them, where rpm cannot be asked). Empty when the header
// names no such reason.
QStringList rpmUnmetReasons(const RpmHeader &header);

// Whether the package in the file at path is installed now, at the file's
// own version: rpm -q NAME-VERSION-RELEASE, or dpkg-query for a .deb. False
// whenever that cannot be told.
bool packageFileInstalled(const QString &path, bool deb);

#endif
