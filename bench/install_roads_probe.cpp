// bench/install_roads_probe.cpp PACKAGE_PATH: the real wizard, in this
// process, walked to its install page for a package at PACKAGE_PATH. Prints
// the milliseconds from the click that enters the install page until the
// first output of the install program stands on the page, and until the
// page shows the result, then the title ("Finished." or "Failed.").
// Built and run by bench/install_page_roads.sh.
#include "packagekit_install_u.h"
#include "qorwiz_u.h"

#include <cstdio>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTextEdit>
#include <QTimer>

int main(int argc, char **argv)
{
    int status = 0;
    if (runPackageKitInstallIfAsked(argc, argv, &status))
        return status;
    if (argc != 2) {
        fprintf(stderr, "usage: %s PACKAGE_PATH\n", argv[0]);
        return 2;
    }
    Q_INIT_RESOURCE(qorwiz);
    QApplication app(argc, argv);
    qorwiz wizard;
    // The package given, of the kind its name says; this program installs
    // it where PackageKit does.
    InstallTarget target = builtInInstallTarget();
    target.path = QString::fromLocal8Bit(argv[1]);
    target.deb = target.path.endsWith(QLatin1String(".deb"));
    qobject_cast<InstallPage *>(wizard.page(qorwiz::Page_Install))->setInstallTarget(target);
    wizard.show();

    QElapsedTimer sinceClick;
    qint64 first = -1;
    int shownBefore = 0;
    QTextEdit *view = wizard.page(qorwiz::Page_Install)->findChild<QTextEdit *>();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (first < 0 && view->document()->characterCount() - 1 > shownBefore)
            first = sinceClick.elapsed();
        const QString title = wizard.page(qorwiz::Page_Install)->title();
        if (title != QLatin1String("Installing..")) {
            printf("%lld %lld %s\n", first, sinceClick.elapsed(), qPrintable(title));
            fflush(stdout);
            watch.stop();
            app.exit(0);
        }
    });
    QTimer::singleShot(500, [&] {
        wizard.button(QWizard::NextButton)->click();
        wizard.page(qorwiz::Page_EULA)->findChild<QCheckBox *>()->click();
        sinceClick.start();
        wizard.button(QWizard::NextButton)->click();
        // What the page said before the install program's first output.
        shownBefore = view->document()->characterCount() - 1;
        watch.start(1);
    });
    return app.exec();
}
