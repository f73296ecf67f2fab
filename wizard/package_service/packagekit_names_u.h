// PackageKit's enumerations as they cross the bus (numbers), in words for
// the install page. The numbers are PackageKit's and stable: new values are
// only ever added at the end.
#ifndef PACKAGEKIT_NAMES_U_H
#define PACKAGEKIT_NAMES_U_H

#include <QString>

enum {
    PkExitSuccess = 1,                 // PkExitEnum
    PkExitCancelled = 3,
    PkErrorInternal = 4,               // PkErrorEnum
    PkErrorGpgFailure = 5,
    PkErrorPackageNotFound = 8,
    PkErrorTransactionCancelled = 17,
    PkErrorCannotGetLock = 26,
    PkErrorBadGpgSignature = 30,
    PkErrorMissingGpgSignature = 31,
    PkErrorNotAuthorized = 48,
    PkStatusInstall = 9,               // PkStatusEnum
    PkStatusUpdate = 10,
    PkStatusCommit = 16,
    PkStatusWaitingForLock = 30,
    PkStatusWaitingForAuth = 31,
    PkInfoUpdating = 11,               // PkInfoEnum
    PkInfoInstalling = 12,
    PkInfoReinstalling = 19,
    PkInfoDowngrading = 20,
    PkPercentageUnknown = 101          // the Percentage property
};

// What the transaction is doing (PkStatusEnum), e.g. "waiting for authentication".
QString packageKitStatusWords(uint status);
// What happens to a package (PkInfoEnum), in one word, e.g. "installing".
QString packageKitInfoWords(uint info);
// A package ID ("name;version;architecture;data") in words:
// "name version (architecture)".
QString packageKitPackageWords(const QString &packageId);
// PackageKit's own name of an error code (PkErrorEnum), e.g. "not-authorized".
QString packageKitErrorName(uint code);
// How a transaction ended (PkExitEnum), e.g. "failed".
QString packageKitExitName(uint exit);

#endif
