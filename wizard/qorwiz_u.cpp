// The wizard shell: frame, page registry, per-page button rules, and the
// product client started when the window closes after a successful install.
#include "qorwiz_u.h"

#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QTranslator>

#include "qor_build_config.h"

QString szVersion = QString::fromLatin1(QOR_VERSION);

QTranslator *installQtTranslator(QCoreApplication *app, const QLocale &locale)
{
    const QString translatorFileName = QString::fromLatin1("qt_") + locale.name();
    QTranslator *translator = new QTranslator(app);
#ifdef QOR_QT_TRANSLATIONS_DIR
    // A wizard with a Qt of its own finds no catalogues of that Qt on the
    // user's system, so it carries them (cmake/QorStaticQt.cmake).
    const QString directory = QString::fromLatin1(QOR_QT_TRANSLATIONS_DIR);
#else
    const QString directory = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    if (!translator->load(translatorFileName, directory)) {
        // Qt ships no catalogue for this locale: its texts stay English.
        return 0;
    }
    QCoreApplication::installTranslator(translator);
    return translator;
}

QPixmap artwork(const char *path)
{
    // The images live in a static library, where nothing would pull in the
    // resource registration (a second call has no effect).
    Q_INIT_RESOURCE(qorwiz);
    // The file name tells QPixmap the picture's scale.
    return QPixmap(qt_findAtNxFile(QString::fromLatin1(path), qGuiApp->devicePixelRatio()));
}

// Starts program, found through the search path, so that it outlives the
// wizard: in a session (or at least a process group) of its own, with the wizard's environment and
// standard input and error. Its standard output is /dev/null, because ours
// is a pipe nobody reads any more (the launcher closed it) and a client that
// printed there would die of SIGPIPE. SIGPIPE itself is set back to its
// default (QProcess::startDetached would hand it on ignored). Whether the
// program could be started is not examined.
static void start_detached_client(const QString &program)
{
    QByteArray name = QFile::encodeName(program);
    char *argv[] = { name.data(), 0 };

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t noneBlocked;
    sigemptyset(&noneBlocked);
    posix_spawnattr_setsigmask(&attributes, &noneBlocked);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_SETSID
    // Away from the launcher's terminal, as a detached program should be.
    flags |= POSIX_SPAWN_SETSID;
#else
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
#endif
    posix_spawnattr_setflags(&attributes, flags);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    pid_t pid;
    posix_spawnp(&pid, name.constData(), &actions, &attributes, argv, environ);

    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
}

qorwiz::qorwiz(QWidget *parent)
    : QWizard(parent, Qt::WindowFlags()),
      install_result(false),
      exit_status(QOR_WIZARD_EXIT_CANCELLED)
{
    // Declining the upgrade leaves the installed product in place.
    if (installCheck())
        exit(QOR_WIZARD_EXIT_INSTALLED);

    setPage(Page_Intro, new IntroPage);
    setPage(Page_EULA, new EULAPage);
    setPage(Page_Install, new InstallPage);
    setStartId(Page_Intro);

    setStyleSheet(tr("background-color:rgb(250,250,250);"));
    setWizardStyle(QWizard::ModernStyle);
    setOption(QWizard::HaveHelpButton, false);
    setPixmap(QWizard::LogoPixmap, artwork(":/res/logo.png"));
    setWindowTitle(QString::fromLatin1(QOR_WINDOW_TITLE));
    setWindowIcon(QIcon(QString::fromLatin1(":/res/icon_window.png")));

    install_result = false;

    connect(this, SIGNAL(currentIdChanged(int)), this, SLOT(currentIdChanged(int)));
}

qorwiz::~qorwiz()
{
}

void qorwiz::done(int result)
{
    // Closing now would end the process under a running install program and
    // its worker thread; the user learns why the window stays.
    InstallPage *installPage = qobject_cast<InstallPage *>(page(Page_Install));
    if (installPage && installPage->isInstalling()) {
        // An installation that can still be cancelled is asked to; the
        // window closes once it has been.
        if (installPage->cancelInstallation())
            return;
        QMessageBox::information(this, windowTitle(),
                                 tr("The installation is still running. "
                                    "Setup can be closed when it has finished."));
        return;
    }

    // Only the install page starts an installation, and it has no way back.
    if (install_result) {
        start_detached_client(tr("qor-ui"));
        exit_status = QOR_WIZARD_EXIT_INSTALLED;
    } else if (installPage && installPage->wasCancelled()) {
        exit_status = QOR_WIZARD_EXIT_CANCELLED;
    } else if (hasVisitedPage(Page_Install)) {
        exit_status = QOR_WIZARD_EXIT_FAILED;
    } else {
        exit_status = QOR_WIZARD_EXIT_CANCELLED;
    }

    QWizard::done(result);
}

void qorwiz::eulaAgreed()
{
    const EULAPage *eulaPage = qobject_cast<EULAPage *>(page(Page_EULA));
    const bool agreed = currentId() == Page_EULA && eulaPage && eulaPage->getChecked();

    QAbstractButton *next = button(QWizard::NextButton);
    if (next)
        next->setEnabled(agreed);
}

void qorwiz::showHelp()
{
}

void qorwiz::currentIdChanged(int id)
{
    // QWizard has already arranged its own buttons for the new page; these
    // rules come on top.
    switch (id) {
    case Page_Intro:
        button(QWizard::CustomButton1)->hide();
        break;
    case Page_EULA:
        button(QWizard::CustomButton1)->show();
        eulaAgreed();
        button(QWizard::NextButton)->setEnabled(false);
        break;
    case Page_Install:
        button(QWizard::CustomButton1)->hide();
        if (install_result)
            button(QWizard::CancelButton)->hide();
        else
            button(QWizard::FinishButton)->hide();
        button(QWizard::BackButton)->hide();
        break;
    default:
        break;
    }
}
