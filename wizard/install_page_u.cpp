// The install page as it is entered: the road the package takes, decided
// from what this system has (the Ubuntu prerequisites among it), and the
// install worker started once. What the page then shows is in
// install_page_view_u.cpp.
#include "qorwiz_u.h"
#include "image_system.h"
#include "package_service_u.h"

#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QStandardPaths>
#include <QTextCodec>
#include <QTextEdit>
#include <QVBoxLayout>

#include <unistd.h>

const char kInstallingTitle[] = QT_TRANSLATE_NOOP("InstallPage", "Installing..");

InstallPage::InstallPage(QWidget *parent)
    : QWizardPage(parent),
      bottomLabel(0),
      progressBar(0),
      progressEdit(0),
      thread_process(0),
      target(builtInInstallTarget()),
      isInitialized(false),
      workerTextShown(0),
      outputStart(-1),
      noteStart(-1),
      outputDropped(false),
      resultReceived(false),
      logMissing(false)
{
    setTitle(tr(kInstallingTitle));
    outputDecoder.reset(installTextCodec()->makeDecoder());
    setPixmap(QWizard::WatermarkPixmap, artwork(":/res/watermark.png"));

    bottomLabel = new QLabel;
    bottomLabel->setWordWrap(true);
    // Shown only while PackageKit reports how far it is; the package tools
    // themselves report in words.
    progressBar = new QProgressBar;
    progressBar->setRange(0, 100);
    progressBar->setVisible(false);
    progressEdit = new QTextEdit;
    progressEdit->setReadOnly(true);
    // Read-only: an undo history would only keep a second copy of the text.
    progressEdit->setUndoRedoEnabled(false);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->addWidget(bottomLabel);
    layout->addWidget(progressBar);
    layout->addWidget(progressEdit);
    setLayout(layout);
}

// The worker, a child of this page, waits for its own thread when it goes.
InstallPage::~InstallPage()
{
}

void InstallPage::initializePage()
{
    // A user who is not root installs with the desktop's installer programs
    // where they are (on an Ubuntu build: where the check finds pkexec and
    // gdebi), else through the system's package service; the worker runs
    // the command decided here. As root the package manager needs neither.
    const bool root = getuid() == 0;
    if (!target.deb) {
        const ImageSystem system = detect_image_system();
        if (system != ImageSystem::Ordinary) {
            takeImageSystemRoad(system, root);
            return;
        }
    }
    bool toolsPresent = !root && !target.deb && desktopInstallToolsPresent(false);
    if (target.deb && !root) {
        QString errString;
        for (;;) {
            toolsPresent = desktopInstallToolsPresent(true, &errString);
            QString noPackageKit;
            // Today's desktops often have neither, but their package service
            // installs in their place.
            if (toolsPresent || packageServiceAvailable(PackageService::PackageKit, &noPackageKit)) {
                if (toolsPresent)
                    process_readData(installTextCodec()->fromUnicode(errString).constData());
                else
                    process_readData(installTextCodec()
                                         ->fromUnicode(packageServiceIntroduction(PackageService::PackageKit))
                                         .constData());
                break;
            }
            errString += QString::fromLatin1("\nOr install 'packagekit', the desktop's package service, in place of "
                                             "both 'pkexec' and 'gdebi-core': sudo apt-get install packagekit\n(")
                         + noPackageKit + QString::fromLatin1(".)\n") + terminalInstallHint() + QLatin1Char('\n');
            const QMessageBox::StandardButton answer = QMessageBox::question(
                this, QString::fromLatin1("Package Dependency Check"), errString,
                QMessageBox::Retry | QMessageBox::Abort, QMessageBox::Retry);
            if (answer == QMessageBox::Abort) {
                process_finished(1, installTextCodec()->fromUnicode(errString).constData());
                // The install program would need the very packages that are
                // missing, and its result would overwrite this failure.
                return;
            }
        }
    }
    // An RPM goes to the dnf5 daemon where it can be reached: its words on
    // a failure name what is missing (README).
    QString noDnf5Daemon;
    const bool dnf5Daemon = !root && !toolsPresent && !target.deb
                            && packageServiceAvailable(PackageService::Dnf5Daemon, &noDnf5Daemon);
    const InstallRoad road = chooseInstallRoad(target.deb, root, toolsPresent, dnf5Daemon);
    command = installCommand(road, target);
    if (road == InstallRoad::Dnf5Daemon)
        process_readData(installTextCodec()
                             ->fromUnicode(packageServiceIntroduction(PackageService::Dnf5Daemon))
                             .constData());

    if (!isInitialized) {
        isInitialized = true;
        startWorker();
    }
}

void InstallPage::startWorker()
{
    thread_process = new InstallWorker(this);
    thread_process->setCommand(command);
    connect(thread_process, SIGNAL(dataRead(const char*)), this, SLOT(process_readData(const char*)),
            Qt::AutoConnection);
    connect(thread_process, SIGNAL(finished(int,const char*)), this, SLOT(process_finished(int,const char*)),
            Qt::AutoConnection);
    thread_process->start(QThread::InheritPriority);
}

int InstallPage::nextId() const
{
    return -1;
}

bool InstallPage::cancelInstallation()
{
    if (!thread_process || resultReceived || !thread_process->requestCancel())
        return false;
    if (!cancelRequested)
        appendParagraph(QString::fromLatin1("Cancelling the installation..."));
    cancelRequested = true;
    return true;
}

bool InstallPage::isInstalling() const
{
    if (!thread_process)
        return false;
    // Once the result is here the thread only closes the finished process
    // object: wait for that rather than refuse to close.
    if (resultReceived)
        thread_process->wait();
    return thread_process->isRunning();
}

bool desktopInstallToolsPresent(bool deb, QString *report)
{
    if (!deb)
        return !QStandardPaths::findExecutable(QStringLiteral("gpk-install-local-file")).isEmpty();
    // What the installation runs is pkexec and /usr/bin/gdebi, which come
    // with "pkexec" and "gdebi-core"; "policykit-1" (gone since Debian 13
    // and Ubuntu 25.04) and "gdebi" (the GTK front end) bring them too.
    QString words;
    const bool present = qorwiz::prereqCheckUbuntu(
        {QStringLiteral("pkexec | policykit-1"), QStringLiteral("gdebi-core | gdebi")}, words);
    if (report)
        *report = words;
    return present;
}
