#include "startup_u.h"

#include <QByteArray>
#include <QCoreApplication>

void prepareWizardStart()
{
    // Present and empty: the overlay scroll bars of some desktops stay off,
    // here and in every program the wizard starts.
    qputenv("LIBOVERLAY_SCROLLBAR", QByteArray(""));

    // Attributes, not the environment, which the programs the wizard starts
    // inherit: the window, its texts and its pictures follow the desktop's
    // scale (Xft.dpi: 192 doubles them), and the pictures are drawn at that
    // scale.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}
