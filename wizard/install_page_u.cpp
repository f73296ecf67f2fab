// The install page: checks the Ubuntu prerequisites, starts the install
// worker once, shows the install program's output and the outcome.
#include "qorwiz_u.h"
#include "qor_build_config.h"
#include "text_handover_u.h"

#include <QAbstractButton>
#include <QByteArray>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

InstallPage::InstallPage(QWidget *parent)
    : QWizardPage(parent),
      bottomLabel(0),
      progressEdit(0),
      thread_process(0),
      isInitialized(false),
      workerTextShown(0),
      resultReceived(false)
{
    setTitle(tr("Installing.."));
    setPixmap(QWizard::WatermarkPixmap, QPixmap(QString::fromLatin1(":/res/watermark.png")));

    bottomLabel = new QLabel;
    bottomLabel->setWordWrap(true);
    progressEdit = new QTextEdit;
    progressEdit->setReadOnly(true);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->addWidget(bottomLabel);
    layout->addWidget(progressEdit);
    setLayout(layout);
}

// The worker, a child of this page, waits for its own thread when it goes.
InstallPage::~InstallPage()
{
}

void InstallPage::initializePage()
{
    const QString filename = tr(QOR_PACKAGE_PATH);
    if (filename.contains(QString::fromLatin1("ubuntu"), Qt::CaseInsensitive)) {
        QStringList packages;
        packages << QString::fromLatin1("policykit-1") << QString::fromLatin1("gdebi");
        QString errString;
        for (;;) {
            errString.clear();
            if (qorwiz::prereqCheckUbuntu(packages, errString)) {
                process_readData(errString.toLatin1().constData());
                break;
            }
            const QMessageBox::StandardButton answer = QMessageBox::question(
                this, QString::fromLatin1("Package Dependency Check"), errString,
                QMessageBox::Retry | QMessageBox::Abort, QMessageBox::Retry);
            if (answer == QMessageBox::Abort) {
                process_finished(1, errString.toLatin1().constData());
                // The install program would need the very packages that are
                // missing, and its result would overwrite this failure.
                return;
            }
        }
    }

    if (!isInitialized) {
        isInitialized = true;
        thread_process = new InstallWorker(this);
        connect(thread_process, SIGNAL(dataRead(const char*)), this, SLOT(process_readData(const char*)),
                Qt::AutoConnection);
        connect(thread_process, SIGNAL(finished(int,const char*)), this, SLOT(process_finished(int,const char*)),
                Qt::AutoConnection);
        thread_process->start(QThread::InheritPriority);
    }
}

int InstallPage::nextId() const
{
    return -1;
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

// Program output is shown as it is, never read as markup (QTextEdit::append
// would take text that looks like HTML for HTML and drop its tags). An empty
// last line, as output ending in a line break leaves, takes the paragraph.
void InstallPage::appendParagraph(const QString &text)
{
    QTextCursor cursor(progressEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (!cursor.block().text().isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    progressEdit->ensureCursorVisible();
}

void InstallPage::process_readData(const char *str)
{
    receive_text(str);
    const QByteArray text(str);
    if (thread_process == 0 || sender() != thread_process) {
        // The prerequisite check's report, which stands ahead of the output.
        appendParagraph(QString::fromLatin1(text));
        return;
    }

    // Each progress text holds all output so far: show only what is new,
    // continuing the output where the previous piece stopped, as the
    // program wrote it. The first piece starts a paragraph of its own.
    const bool first = workerTextShown == 0;
    const QByteArray fresh = text.size() >= workerTextShown ? text.mid(workerTextShown) : text;
    workerTextShown = text.size();
    if (fresh.isEmpty())
        return;
    if (first) {
        appendParagraph(QString::fromLatin1(fresh));
    } else {
        QTextCursor cursor(progressEdit->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(QString::fromLatin1(fresh));
        progressEdit->ensureCursorVisible();
    }
}

void InstallPage::process_finished(int retcode, const char *str)
{
    receive_text(str);
    const QString message = QString::fromLatin1(str);
    if (thread_process != 0 && sender() == thread_process) {
        resultReceived = true;
        // The result stands whether or not it could be logged; the user
        // still learns why the log has no record of it.
        const QString logProblem = thread_process->logProblem();
        if (!logProblem.isEmpty())
            bottomLabel->setText(QString::fromLatin1("No install log was written: ") + logProblem + QLatin1Char('.'));
    }

    QWizard *frame = wizard();
    if (retcode != 0) {
        progressEdit->insertPlainText(QString::fromLatin1("Failed with error :"));
        progressEdit->insertPlainText(QString::number(retcode, 10));
        appendParagraph(message);
        setTitle(QString::fromLatin1("Failed."));
        if (frame) {
            frame->button(QWizard::CancelButton)->setVisible(true);
            frame->button(QWizard::FinishButton)->setVisible(false);
        }
    } else {
        qorwiz *shell = qobject_cast<qorwiz *>(frame);
        if (shell)
            shell->install_result = true;
        appendParagraph(QString::fromLatin1("Installation Succesful."));
        setTitle(QString::fromLatin1("Finished."));
        if (frame) {
            frame->button(QWizard::CancelButton)->setVisible(false);
            frame->button(QWizard::FinishButton)->setVisible(true);
        }
    }
}
