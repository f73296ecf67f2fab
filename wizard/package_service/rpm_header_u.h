// What an RPM package file says of itself, read from its lead and headers:
// whether it carries a signature (openSUSE's package service installs no
// package that is not signed, and reports only a generic failure then), and
// the name, version, architecture and requirements that a package service
// may fail on without saying why.
#ifndef RPM_HEADER_U_H
#define RPM_HEADER_U_H

#include <QString>
#include <QStringList>

enum class RpmSignature { Signed, Unsigned, NotAnRpm };

struct RpmHeader {
    RpmSignature signature = RpmSignature::NotAnRpm;
    // Empty unless the main header could be read whole.
    QString name, version, release, arch;
    // What the package needs from others, as rpm writes it ("NAME",
    // "NAME >= VERSION"), without rpm's own features and what the package
    // provides itself.
    QStringList requires;
    // The capability names of requires, in the same order.
    QStringList requiredNames;

    bool complete() const { return !name.isEmpty() && !version.isEmpty() && !release.isEmpty(); }
};

// Reads the file's lead and headers (the payload is never read); a file
// that cannot be read, or is not an RPM, has no signature, NotAnRpm.
RpmHeader readRpmHeader(const QString &path);
// The lead and signature header only (a few kilobytes).
RpmSignature rpmSignature(const QString &path);

#endif
