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
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimerEvent>
#include <QVBoxLayout>

#include <climits>
#include <cstring>

// The view keeps about this many characters of the program's output, the
// last thousand lines or so: enough to scroll back through, and little
// enough that laying it all out stays well under a tenth of a second. The
// install log keeps everything.
static const int ViewKeeps = 64 * 1024;
// Output is put into the view at most this much per pass of the event loop,
// which in between repaints and answers the user.
static const int ViewChunk = 16 * 1024;
// After output was dropped the view lays out all it keeps anew; while output
// floods in, it does so at most this often (ms).
static const int ViewRestartEvery = 250;

InstallPage::InstallPage(QWidget *parent)
    : QWizardPage(parent),
      bottomLabel(0),
      progressEdit(0),
      thread_process(0),
      isInitialized(false),
      workerTextShown(0),
      outputStart(-1),
      outputDropped(false),
      resultReceived(false)
{
    setTitle(tr("Installing.."));
    setPixmap(QWizard::WatermarkPixmap, QPixmap(QString::fromLatin1(":/res/watermark.png")));

    bottomLabel = new QLabel;
    bottomLabel->setWordWrap(true);
    progressEdit = new QTextEdit;
    progressEdit->setReadOnly(true);
    // Read-only: an undo history would only keep a second copy of the text.
    progressEdit->setUndoRedoEnabled(false);

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
        // What the installation runs is pkexec and /usr/bin/gdebi, which come
        // with "pkexec" and "gdebi-core"; "policykit-1" (gone since Debian 13
        // and Ubuntu 25.04) and "gdebi" (the GTK front end) bring them too.
        QStringList packages;
        packages << QString::fromLatin1("pkexec | policykit-1") << QString::fromLatin1("gdebi-core | gdebi");
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
// would take text that looks like HTML for HTML and drop its tags). Like
// append, a paragraph goes behind everything in the view, an empty last
// line included. Returns where the paragraph starts.
int InstallPage::appendParagraph(const QString &text)
{
    const bool following = followsEnd();
    QTextCursor cursor(progressEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (!progressEdit->document()->isEmpty())
        cursor.insertBlock();
    const int start = cursor.position();
    cursor.insertText(text);
    keepFollowing(following);
    return start;
}

// A view scrolled to its end stays there as text comes; one that the user
// has scrolled back stays where it is.
bool InstallPage::followsEnd() const
{
    const QScrollBar *bar = progressEdit->verticalScrollBar();
    return bar->value() >= bar->maximum();
}

void InstallPage::keepFollowing(bool following)
{
    if (following)
        progressEdit->verticalScrollBar()->setValue(progressEdit->verticalScrollBar()->maximum());
}

// Of a text longer than the view keeps only the end is converted and
// shown, from a line start where there is one nearby.
static int keptTail(const char *&bytes, int size)
{
    if (size <= ViewKeeps)
        return size;
    const char *tail = bytes + size - ViewKeeps;
    const void *lineEnd = std::memchr(tail, '\n', ViewKeeps / 2);
    if (lineEnd)
        tail = static_cast<const char *>(lineEnd) + 1;
    size -= int(tail - bytes);
    bytes = tail;
    return size;
}

// New output waits in pendingOutput and goes into the view a chunk at a
// time. Only the end that the view would keep waits; when more arrives,
// what the view shows of the output goes too, so that no gap is seen.
void InstallPage::queueOutput(const char *bytes, int size)
{
    const int kept = keptTail(bytes, size);
    if (kept < size) {
        outputDropped = true;
        pendingOutput.clear();
    } else if (pendingOutput.size() + kept > ViewKeeps) {
        outputDropped = true;
        pendingOutput = pendingOutput.right(ViewKeeps - kept);
        const int lineEnd = pendingOutput.indexOf('\n');
        if (lineEnd >= 0 && lineEnd < pendingOutput.size() / 2)
            pendingOutput.remove(0, lineEnd + 1);
    }
    pendingOutput.append(bytes, kept);
    int delay = 0;
    if (outputDropped && lastRestart.isValid())
        delay = qMax(0, ViewRestartEvery - int(lastRestart.elapsed()));
    viewFeeder.start(delay, this);
}

// Adds up to limit characters of the pending output behind the view's text:
// the output's first piece as a paragraph of its own, later pieces
// continuing the last line, as the program wrote them.
void InstallPage::feedView(int limit)
{
    if (pendingOutput.isEmpty()) {
        viewFeeder.stop();
        return;
    }
    QTextDocument *document = progressEdit->document();
    const bool following = followsEnd();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (outputDropped) {
        if (outputStart >= 0) {
            cursor.setPosition(outputStart, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        outputDropped = false;
        lastRestart.start();
    }
    if (outputStart < 0) {
        if (!document->isEmpty())
            cursor.insertBlock();
        outputStart = cursor.position();
    }
    const int size = qMin(limit, pendingOutput.size());
    cursor.insertText(QString::fromLatin1(pendingOutput.constData(), size));
    pendingOutput.remove(0, size);
    trimOutput();
    keepFollowing(following);
}

void InstallPage::showPendingOutput()
{
    feedView(INT_MAX);
    viewFeeder.stop();
}

void InstallPage::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != viewFeeder.timerId()) {
        QWizardPage::timerEvent(event);
        return;
    }
    feedView(ViewChunk);
    if (!pendingOutput.isEmpty())
        viewFeeder.start(0, this);
}

// Drops the oldest output, whole lines where it can, once the view holds
// twice what it keeps: seldom, so the layout that follows costs little
// overall. Text ahead of the output (the prerequisite check's) stays.
void InstallPage::trimOutput()
{
    QTextDocument *document = progressEdit->document();
    const int end = document->characterCount() - 1;
    if (outputStart < 0 || end - outputStart <= 2 * ViewKeeps)
        return;
    int cut = document->findBlock(end - ViewKeeps).position();
    if (cut <= outputStart)
        cut = end - ViewKeeps;
    QTextCursor cursor(document);
    cursor.setPosition(outputStart);
    cursor.setPosition(cut, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void InstallPage::process_readData(const char *str)
{
    receive_text(str);
    if (thread_process == 0 || sender() != thread_process) {
        // The prerequisite check's report, which stands ahead of the output.
        showPendingOutput();
        appendParagraph(QString::fromLatin1(str));
        return;
    }

    // Each progress text of the worker repeats all earlier output and adds
    // to it: only the rest is new, and only that is read.
    const char *fresh = str + workerTextShown;
    const int size = int(qstrlen(fresh));
    workerTextShown += size;
    if (size > 0)
        queueOutput(fresh, size);
}

void InstallPage::process_finished(int retcode, const char *str)
{
    receive_text(str);
    if (thread_process != 0 && sender() == thread_process) {
        resultReceived = true;
        // The result stands whether or not it could be logged; the user
        // still learns why the log has no record of it.
        const QString logProblem = thread_process->logProblem();
        if (!logProblem.isEmpty())
            bottomLabel->setText(QString::fromLatin1("No install log was written: ") + logProblem + QLatin1Char('.'));
    }
    showPendingOutput();

    QWizard *frame = wizard();
    if (retcode != 0) {
        progressEdit->insertPlainText(QString::fromLatin1("Failed with error :"));
        progressEdit->insertPlainText(QString::number(retcode, 10));
        // The result text repeats all output: the view takes its end.
        const char *message = str;
        const int kept = keptTail(message, int(qstrlen(message)));
        const int start = appendParagraph(QString::fromLatin1(message, kept));
        if (outputStart < 0)
            outputStart = start;
        trimOutput();
        setTitle(QString::fromLatin1("Failed."));
        if (frame) {
            frame->button(QWizard::CancelButton)->setVisible(true);
            frame->button(QWizard::FinishButton)->setVisible(false);
        }
    } else {
        // The result text is not shown after success.
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
