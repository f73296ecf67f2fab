// The install road on image-based systems, whose /usr is read-only: the
// command that installs there as root, and what the page says to a user who
// is not root, for whom nothing here installs yet.
#include "image_system.h"
#include "install_road_u.h"
#include "package_service_u.h"
#include "qorwiz_u.h"
#include "qor_build_config.h"

#include <QStringList>

namespace {

QString shellWords(ImageSystem system, bool live)
{
    QStringList words;
    for (const char *const *word = image_install_words(system, live); *word != nullptr; ++word)
        words << QLatin1String(*word);
    return words.join(QLatin1Char(' '));
}

QStringList recordArguments(ImageSystem system)
{
    QStringList arguments;
    const char *const *word = image_install_words(system, true);
    for (++word; *word != nullptr; ++word)
        arguments << QLatin1String(*word);
    return arguments;
}

} // namespace

// Run through the shell, so that the worker runs one program as on every
// road: where rpm-ostree refuses to apply the package live, it has staged
// the deployment already, and asked once more without --apply-live
// (--idempotent) it confirms that the package is there for the next start.
// The last line says whether a restart is needed, as the launcher's does.
// The package path and the words are arguments of the script, never part
// of it. The record names the tool and its first command.
InstallCommand imageInstallCommand(InstallRoad road, const InstallTarget &target)
{
    const ImageSystem system = road == InstallRoad::RpmOstree ? ImageSystem::Ostree : ImageSystem::Transactional;
    InstallCommand command;
    command.application = QLatin1String(image_system_tool(system));
    command.arguments = recordArguments(system) << target.path;
    command.program = QStringLiteral("/bin/sh");
    QString script;
    if (system == ImageSystem::Ostree) {
        script = QStringLiteral("if %1 \"$1\"; then echo \"$2\"; exit; else s=$?; fi; [ \"$s\" -ne 127 ] || exit 127; "
                                "echo \"$3\"; %2 \"$1\" || exit; echo \"$4\"")
                     .arg(shellWords(system, true), shellWords(system, false));
    } else {
        script = QStringLiteral("%1 \"$1\" || exit; echo \"$4\"").arg(shellWords(system, true));
    }
    command.programArguments << QStringLiteral("-c") << script << QStringLiteral("sh") << target.path
                             << QLatin1String(kImageAppliedLive) << QLatin1String(kImageLiveRefused)
                             << QLatin1String(kImageNeedsRestart);
    return command;
}

// An RPM build on an image-based system (system): as root the system's own
// tool installs; a user who is not root is told what works here and why,
// and nothing runs (PackageKit does not run on ostree systems, and layering
// a package needs an administrator).
void InstallPage::takeImageSystemRoad(ImageSystem system, bool root)
{
    if (isInitialized)
        return;
    isInitialized = true;
    if (root) {
        command = installCommand(
            system == ImageSystem::Ostree ? InstallRoad::RpmOstree : InstallRoad::TransactionalUpdate, target);
        startWorker();
        return;
    }
    const QString tool = QLatin1String(image_system_tool(system));
    appendParagraph(QStringLiteral("This is %1: its /usr is read-only, and rpm cannot install there. A package is "
                                   "layered onto the system with the system's own tool, %2, and takes effect at "
                                   "the next start. Setup does that only when it runs as root: nothing was changed.")
                        .arg(QLatin1String(image_system_words(system)), tool));
    appendParagraph(terminalInstallHint());
    showOutcome(QOR_WIZARD_EXIT_FAILED);
}
