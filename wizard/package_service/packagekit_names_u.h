// The named values of PackageKit's enumerations, as they cross the bus,
// that this client acts on. The numbers are PackageKit's and stable: new
// values are only ever added at the end, and the tables of words that
// follow them (packagekit_transaction_u.cpp, packagekit_transaction_end_u.cpp)
// keep PackageKit's order.
#ifndef PACKAGEKIT_NAMES_U_H
#define PACKAGEKIT_NAMES_U_H

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

#endif
