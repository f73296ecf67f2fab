// The setup wizard's entry point. The launcher runs this program without
// arguments and waits for it; every end the wizard brings about itself is
// status 0, so that the launcher then removes its /tmp files.
#include <cstdio>

#include <QApplication>
#include <QByteArray>
#include <QLocale>

#include "display_check_u.h"
#include "qorwiz_u.h"

int main(int argc, char **argv)
{
    Q_INIT_RESOURCE(qorwiz);

    // Present and empty: the overlay scroll bars of some desktops stay off,
    // here and in every program the wizard starts.
    qputenv("LIBOVERLAY_SCROLLBAR", QByteArray(""));

    // Without a display Qt would abort with a core dump; the launcher is to
    // see an ordinary failure (status 1) and keep its files for a retry.
    DisplayCheck display;
    if (!display.reachable()) {
        fprintf(stderr, "Setup wizard: %s.\nRun the installer from a terminal with "
                        "the argument help to see how to install without a desktop.\n",
                display.problem().c_str());
        return 1;
    }

    QApplication app(argc, argv);
    display.release();
    installQtTranslator(&app, QLocale::system());

    qorwiz wizard(0);
    wizard.show();
    return app.exec();
}
