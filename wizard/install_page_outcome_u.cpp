// What the install page shows once the install program's result is in:
// the title and buttons it decides, and Try again where asking once more
// is all it takes.
#include "qorwiz_u.h"
#include "package_service_u.h"

#include <QAbstractButton>
#include <QLabel>
#include <QProgressBar>
#include <QTextCodec>

// What a result means is settled as it arrives, not once the view has
// caught up with its report: the window may be closed in between, and the
// wizard's exit status and the product's start follow from it.
void InstallPage::takeOutcome(int retcode)
{
    if (retcode == 0) {
        if (qorwiz *shell = qobject_cast<qorwiz *>(wizard()))
            shell->install_result = true;
    }
    cancelled = cancelRequested && retcode == int(ServiceStatus::Cancelled);
}

void InstallPage::showOutcome(int retcode)
{
    QWizard *frame = wizard();
    progressBar->setVisible(false);
    if (cancelled) {
        // As the user asked: the wizard closes, cancelled.
        setTitle(QString::fromLatin1("Cancelled."));
        if (frame)
            frame->reject();
        return;
    }
    if (retcode != 0) {
        setTitle(QString::fromLatin1("Failed."));
        if (isServiceRoad(road) && retcode == int(ServiceStatus::AuthorisationTimedOut))
            offerTryAgain();
        if (frame) {
            frame->button(QWizard::CancelButton)->setVisible(true);
            frame->button(QWizard::FinishButton)->setVisible(false);
        }
    } else {
        setTitle(QString::fromLatin1("Finished."));
        if (frame) {
            frame->button(QWizard::CancelButton)->setVisible(false);
            frame->button(QWizard::FinishButton)->setVisible(true);
        }
    }
}

// PackageKit gave up waiting while the password dialog stood open: the
// user may well have stepped away, and asking again is all it takes.
void InstallPage::offerTryAgain()
{
    appendParagraph(QString::fromLatin1("Choose Try again to be asked for the password once more."));
    QWizard *frame = wizard();
    if (!frame)
        return;
    frame->setButtonText(QWizard::CustomButton2, tr("&Try again"));
    // A change of buttons lays them all out anew, showing those the wizard
    // hides on this page.
    frame->setOption(QWizard::HaveCustomButton2, true);
    frame->button(QWizard::CustomButton1)->hide();
    frame->button(QWizard::BackButton)->hide();
    QAbstractButton *again = frame->button(QWizard::CustomButton2);
    connect(again, SIGNAL(clicked()), this, SLOT(tryAgain()), Qt::UniqueConnection);
    again->setFocus();
}

// A new worker for a new attempt: its output and result follow the last
// one's in the view, and the install log gets a record of each.
void InstallPage::tryAgain()
{
    if (QWizard *frame = wizard()) {
        frame->setOption(QWizard::HaveCustomButton2, false);
        frame->button(QWizard::CustomButton1)->hide();
        frame->button(QWizard::BackButton)->hide();
        frame->button(QWizard::FinishButton)->hide();
        frame->button(QWizard::CancelButton)->show();
    }
    delete thread_process;
    resultReceived = false;
    cancelRequested = false;
    logMissing = false;
    workerTextShown = 0;
    outputStart = -1;
    noteStart = -1;
    outputDecoder.reset();
    percentages = ServiceLines();
    bottomLabel->clear();
    setTitle(tr(kInstallingTitle));
    appendParagraph(QString::fromLatin1("Trying again..."));
    startWorker();
}
