// The setup wizard's entry point. The launcher runs this program without
// arguments and waits for it; the exit status tells it whether the product
// is installed (QOR_WIZARD_EXIT_* in qor_build_config.h).
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <QThread>

#include "display_check_u.h"
#include "install_log_u.h"
#include "package_service_u.h"
#include "qor_build_config.h"
#include "qorwiz_u.h"
#include "startup_u.h"

namespace {

// Called first, in both of the program's modes: SIGCHLD as the wizard, its
// package-service clients and the programs they start need it, its default
// and unblocked, whatever the process that started us left it at. Ignored,
// the kernel reaps children unasked and their statuses are lost.
void restoreInheritedSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, 0);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &child, 0);
}

// The window, from when it is shown until the event loop has ended.
qorwiz *shownWizard = 0;

// Qt's X11 platform ends the program with exit(1) when the connection to the
// X server breaks (the server died, or Xwayland did). With the window shown
// that is no missing display: the launcher would offer the installation
// again on the terminal while the first one may still run. So any exit while
// the window is up ends with a status of its own, and only once a running
// install program has ended: a package manager stopped halfway can leave
// the system broken, and its record belongs in the install log.
void endAfterDisplayLost()
{
    qorwiz *wizard = shownWizard;
    if (!wizard)
        return;
    shownWizard = 0;
    fprintf(stderr, "Setup wizard: the connection to the X display was lost.\n");
    // The worker waits for permits that only this thread's queued calls give
    // back; these run here, the page's own slots no longer (its widgets are
    // gone with the display).
    const bool guiThread = QThread::currentThread() == wizard->thread();
    for (InstallWorker *worker : wizard->findChildren<InstallWorker *>()) {
        if (!guiThread || !worker->isRunning())
            continue;
        // Nobody can see a password dialog through the lost display or its
        // setup window: what PackageKit can still call off is called off.
        worker->requestCancel();
        fprintf(stderr, "Setup wizard: waiting for the running installation to end.\n");
        while (!worker->wait(50))
            QCoreApplication::sendPostedEvents(worker, QEvent::MetaCall);
        const QString logProblem = worker->logProblem();
        if (logProblem.isEmpty())
            fprintf(stderr, "Setup wizard: the installation has ended; %s says how.\n",
                    installLogPath(qgetenv("HOME")).constData());
        else
            fprintf(stderr, "Setup wizard: the installation has ended; no install log: %s.\n",
                    logProblem.toLocal8Bit().constData());
    }
    _exit(QOR_WIZARD_EXIT_DISPLAY_LOST);
}

} // namespace

int main(int argc, char **argv)
{
    restoreInheritedSignals();

    // The install worker runs this program again as a package service's
    // client: no window then, and no display needed.
    int clientStatus = 0;
    if (runPackageServiceClientIfAsked(argc, argv, &clientStatus))
        return clientStatus;

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
    shownWizard = &wizard;
    atexit(endAfterDisplayLost);
    const int loopResult = app.exec();
    shownWizard = 0;
    const int status = loopResult != 0 ? loopResult : wizard.exitStatus();
    if (busCheckLeftWaiting()) {
        fflush(stdout);
        _exit(status);
    }
    return status;
}
