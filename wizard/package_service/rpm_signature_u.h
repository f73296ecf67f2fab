// Whether an RPM package file carries a signature: openSUSE's package
// service installs no package that is not signed, and reports only a
// generic failure then.
#ifndef RPM_SIGNATURE_U_H
#define RPM_SIGNATURE_U_H

class QString;

enum class RpmSignature { Signed, Unsigned, NotAnRpm };

// Reads the file's lead and signature header (a few kilobytes); a file
// that cannot be read, or is not an RPM, is NotAnRpm.
RpmSignature rpmSignature(const QString &path);

#endif
