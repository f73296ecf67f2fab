// The setup wizard's entry point. The launcher runs this program without
// arguments and waits for it; the exit status tells it whether the product
// is installed (QOR_WIZARD_EXIT_* in qor_build_config.h).
#include <cstdio>

#include <unistd.h>

#include <QApplication>
#include <QLocale>

#include "display_check_u.h"
#include "packagekit_install_u.h"
#include "qor_build_config.h"
#include "qorwiz_u.h"
#include "startup_u.h"

int main(int argc, char **argv)
{
    restoreInheritedSignals();

    // The install worker runs this program again to install through
    // PackageKit: no window then, and no display needed.
    int packageKitStatus = 0;
    if (runPackageKitInstallIfAsked(argc, argv, &packageKitStatus))
        return packageKitStatus;

    prepareWizardStart();

    // Without a display Qt would abort with a core dump; the launcher is to
    // see an ordinary failure it can explain and offer the terminal instead.
    DisplayCheck display;
    if (!display.reachable()) {
        fprintf(stderr, "Setup wizard: %s.\nRun the installer from a terminal with "
                        "the argument help to see how to install without a desktop.\n",
                display.problem().c_str());
        return QOR_WIZARD_EXIT_NO_DISPLAY;
    }

    QtPlatformArguments qtArguments(argc, argv);
    QApplication app(qtArguments.argc(), qtArguments.argv());
    display.release();
    installQtTranslator(&app, QLocale::system());

    qorwiz wizard(0);
    wizard.show();
    const int loopResult = app.exec();
    const int status = loopResult != 0 ? loopResult : wizard.exitStatus();
    if (busCheckLeftWaiting()) {
        fflush(stdout);
        _exit(status);
    }
    return status;
}
