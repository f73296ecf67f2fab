// The wizard shell: frame, page registry, per-page button rules, and the
// product client started when the window closes after a successful install.
#include "qorwiz_u.h"

#include <cstdlib>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QTranslator>

#include "qor_build_config.h"

QString szVersion = QString::fromLatin1(QOR_VERSION);

QTranslator *installQtTranslator(QCoreApplication *app, const QLocale &locale)
{
    const QString translatorFileName = QString::fromLatin1("qt_") + locale.name();
    QTranslator *translator = new QTranslator(app);
    if (!translator->load(translatorFileName,
                          QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        // Qt ships no catalogue for this locale: its texts stay English.
        return 0;
    }
    QCoreApplication::installTranslator(translator);
    return translator;
}

qorwiz::qorwiz(QWidget *parent)
    : QWizard(parent, Qt::WindowFlags()),
      install_result(false)
{
    // The images live in a static library, where nothing would pull in the
    // resource registration: do it here too (a second call has no effect).
    Q_INIT_RESOURCE(qorwiz);

    if (installCheck())
        exit(0);

    setPage(Page_Intro, new IntroPage);
    setPage(Page_EULA, new EULAPage);
    setPage(Page_Install, new InstallPage);
    setStartId(Page_Intro);

    setStyleSheet(tr("background-color:rgb(250,250,250);"));
    setWizardStyle(QWizard::ModernStyle);
    setOption(QWizard::HaveHelpButton, false);
    setPixmap(QWizard::LogoPixmap, QPixmap(QString::fromLatin1(":/res/logo.png")));
    setWindowTitle(QString::fromLatin1("Pellandor Tolmerin ") + szVersion
                   + QString::fromLatin1(" Setup"));
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
    const InstallPage *installPage = qobject_cast<InstallPage *>(page(Page_Install));
    if (installPage && installPage->isInstalling()) {
        QMessageBox::information(this, windowTitle(),
                                 tr("The installation is still running. "
                                    "Setup can be closed when it has finished."));
        return;
    }

    if (install_result) {
        // Our standard output is a pipe nobody reads any more (the launcher
        // closed it): a client that printed there would die of SIGPIPE.
        QProcess client;
        client.setProgram(tr("qor-ui"));
        client.setStandardOutputFile(QProcess::nullDevice());
        client.startDetached();
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
