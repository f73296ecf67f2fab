// PackageKit's enumerations in words; the tables follow PackageKit's order.
#include "packagekit_names_u.h"

#include <QByteArray>
#include <QStringList>

namespace {

const char *const kStatusWords[] = {
    "in an unknown state", "waiting in the queue", "setting up", "running", "querying",
    "getting information", "removing packages", "refreshing the software list", "downloading packages",
    "installing packages", "updating packages", "cleaning up", "obsoleting packages",
    "resolving dependencies", "checking signatures", "testing changes", "committing changes",
    "requesting data", "finished", "cancelling", "downloading repository information",
    "downloading the list of packages", "downloading file lists", "downloading lists of changes",
    "downloading groups", "downloading update information", "repackaging files", "loading the cache",
    "scanning applications", "generating package lists", "waiting for the package manager lock",
    "waiting for authentication", "updating running applications", "checking applications in use",
    "checking libraries in use", "copying files", "running hooks"};

const char *const kInfoNames[] = {
    "unknown", "installed", "available", "low", "enhancement", "normal", "bugfix", "important",
    "security", "blocked", "downloading", "updating", "installing", "removing", "cleanup", "obsoleting",
    "collection-installed", "collection-available", "finished", "reinstalling", "downgrading",
    "preparing", "decompressing", "untrusted", "trusted", "unavailable", "critical"};

const char *const kErrorNames[] = {
    "unknown", "out-of-memory", "no-network", "not-supported", "internal-error", "gpg-failure",
    "package-id-invalid", "package-not-installed", "package-not-found", "package-already-installed",
    "package-download-failed", "group-not-found", "group-list-invalid", "dep-resolution-failed",
    "filter-invalid", "create-thread-failed", "transaction-error", "transaction-cancelled", "no-cache",
    "repo-not-found", "cannot-remove-system-package", "process-kill", "failed-initialization",
    "failed-finalise", "failed-config-parsing", "cannot-cancel", "cannot-get-lock",
    "no-packages-to-update", "cannot-write-repo-config", "local-install-failed", "bad-gpg-signature",
    "missing-gpg-signature", "cannot-install-source-package", "repo-configuration-error",
    "no-license-agreement", "file-conflicts", "package-conflicts", "repo-not-available",
    "invalid-package-file", "package-install-blocked", "package-corrupt", "all-packages-already-installed",
    "file-not-found", "no-more-mirrors-to-try", "no-distro-upgrade-data", "incompatible-architecture",
    "no-space-on-device", "media-change-required", "not-authorized", "update-not-found",
    "cannot-install-repo-unsigned", "cannot-update-repo-unsigned", "cannot-get-filelist",
    "cannot-get-requires", "cannot-disable-repository", "restricted-download",
    "package-failed-to-configure", "package-failed-to-build", "package-failed-to-install",
    "package-failed-to-remove", "failed-due-to-running-process", "package-database-changed",
    "provide-type-not-supported", "install-root-invalid", "cannot-fetch-sources", "cancelled-priority",
    "unfinished-transaction", "lock-required", "repo-already-set"};

// Only the first three are the same in every PackageKit release.
const char *const kExitNames[] = {"unknown", "success", "failed", "cancelled"};

template <size_t N>
QString lookUp(const char *const (&table)[N], uint value, const char *unknown)
{
    if (value < N)
        return QString::fromLatin1(table[value]);
    return QString::fromLatin1(unknown).arg(value);
}

} // namespace

QString packageKitStatusWords(uint status)
{
    return lookUp(kStatusWords, status, "in state %1");
}

QString packageKitInfoWords(uint info)
{
    return lookUp(kInfoNames, info, "state-%1");
}

QString packageKitPackageWords(const QString &packageId)
{
    const QStringList parts = packageId.split(QLatin1Char(';'));
    QString words = parts.value(0);
    if (!parts.value(1).isEmpty())
        words += QLatin1Char(' ') + parts.value(1);
    if (!parts.value(2).isEmpty())
        words += QStringLiteral(" (%1)").arg(parts.value(2));
    return words;
}

QString packageKitErrorName(uint code)
{
    return lookUp(kErrorNames, code, "error %1");
}

QString packageKitExitName(uint exit)
{
    return lookUp(kExitNames, exit, "exit code %1");
}
