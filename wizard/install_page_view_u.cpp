// What the install page shows while the install program runs and once it
// has ended: its output as it comes, a package-service client's lines read
// as records, and the outcome, with the title and buttons it decides and
// Try again where asking once more is all it takes.
#include "qorwiz_u.h"
#include "install_log_u.h"
#include "package_service_u.h"

#include <QAbstractButton>
#include <QByteArray>
#include <QLabel>
#include <QProgressBar>
#include <QScrollBar>
#include <QStringList>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimerEvent>

#include <climits>

// The view keeps about this many characters of the program's output, the
// last thousand lines or so: enough to scroll back through. The install log
// keeps everything.
static const int ViewKeeps = 64 * 1024;
// Text is put into the view at most this much per pass of the event loop,
// which in between repaints and answers the user and screen readers. Laying
// out 64 KiB at once took up to 0.08 s of a loaded machine's time, and the
// passes of 16 KiB still kept a screen reader waiting up to 0.13 s while the
// machine was busy: passes of 8 KiB kept that under 0.06 s.
static const int ViewChunk = 8 * 1024;
// After output was dropped the view lays out all it keeps anew; while output
// floods in, it does so at most this often (ms).
static const int ViewRestartEvery = 250;

// Program output is shown as it is, never read as markup (QTextEdit::append
// would take text that looks like HTML for HTML and drop its tags). Like
// append, a paragraph goes behind everything in the view, an empty last
// line included.
void InstallPage::appendParagraph(const QString &text)
{
    const bool following = followsEnd();
    QTextCursor cursor(progressEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (!progressEdit->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    keepFollowing(following);
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

// Where to cut the front off a text of size characters so that at most keep
// remain: at the first line start in the first half of what remains, so that
// what is kept begins with a whole line, or else just keep from the end.
// 0 when the text fits. Output bytes and the view's own text alike.
template <typename Char>
static int keptFrom(const Char *text, int size, int keep)
{
    if (size <= keep)
        return 0;
    const int cut = size - keep;
    for (int at = cut; at < cut + keep / 2; ++at) {
        if (text[at - 1] == Char('\n'))
            return at;
    }
    return cut;
}

// Bytes ahead of a text were cut off, maybe within a character, whose rest
// reads as replacement characters: those go too.
static void drop_cut_character(QString &text)
{
    int start = 0;
    while (start < text.size() && text.at(start) == QChar(QChar::ReplacementCharacter))
        ++start;
    text.remove(0, start);
}

// A text that is whole, not a piece of a longer one: the wizard's own, or
// a report's end. cutAhead: bytes ahead of it were cut off.
static QString decoded_text(const char *bytes, int size, bool cutAhead)
{
    QString text = installTextCodec()->toUnicode(bytes, size);
    if (cutAhead)
        drop_cut_character(text);
    return text;
}

// At most limit characters from the start of text, not splitting a pair
// of surrogates: the view takes text a piece at a time.
static int piece_size(const QString &text, int limit)
{
    if (limit >= text.size())
        return text.size();
    if (limit > 1 && text.at(limit - 1).isHighSurrogate())
        return limit - 1;
    return limit;
}

// New output waits in pendingOutput and goes into the view a chunk at a
// time. Only the end that the view would keep waits; when more arrives, or
// output ahead of text was dropped (dropped), what the view shows of the
// output goes too, so that no gap is seen.
void InstallPage::queueOutput(const QString &text, bool dropped)
{
    const int from = keptFrom(text.constData(), text.size(), ViewKeeps);
    if (from > 0 || dropped) {
        outputDropped = true;
        pendingOutput.clear();
    }
    pendingOutput.append(text.constData() + from, text.size() - from);
    const int pendingFrom = keptFrom(pendingOutput.constData(), pendingOutput.size(), ViewKeeps);
    if (pendingFrom > 0) {
        outputDropped = true;
        pendingOutput.remove(0, pendingFrom);
    }
    int delay = 0;
    if (outputDropped && lastRestart.isValid())
        delay = qMax(0, ViewRestartEvery - int(lastRestart.elapsed()));
    viewFeeder.start(delay, this);
}

// Adds up to limit characters of what waits behind the view's text: first
// the output, its first piece as a paragraph of its own and later pieces
// continuing the last line, as the program wrote them; then the reports.
void InstallPage::feedView(int limit)
{
    QTextDocument *document = progressEdit->document();
    const bool following = followsEnd();
    QTextCursor end(document);
    end.movePosition(QTextCursor::End);
    if (!pendingOutput.isEmpty()) {
        if (outputStart < 0) {
            if (!document->isEmpty())
                end.insertBlock();
            outputStart = end.position();
        }
        if (outputDropped) {
            end.setPosition(outputStart, QTextCursor::KeepAnchor);
            end.removeSelectedText();
            noteCut();
            end.movePosition(QTextCursor::End);
            outputDropped = false;
            lastRestart.start();
        }
        const int size = piece_size(pendingOutput, limit);
        end.insertText(pendingOutput.left(size));
        pendingOutput.remove(0, size);
        limit -= size;
    }
    if (pendingOutput.isEmpty())
        feedPieces(end, limit);
    trimOutput();
    keepFollowing(following);
    if (pendingOutput.isEmpty() && pendingPieces.isEmpty())
        viewFeeder.stop();
}

// The reports behind the output, up to limit characters; what a result
// decides follows once its report is in.
void InstallPage::feedPieces(QTextCursor &end, int limit)
{
    while (!pendingPieces.isEmpty() && limit > 0) {
        ViewPiece &piece = pendingPieces.first();
        if (piece.paragraph) {
            if (!progressEdit->document()->isEmpty())
                end.insertBlock();
            piece.paragraph = false;
            if (piece.output && outputStart < 0) {
                outputStart = end.position();
                if (piece.cut) {
                    noteCut();
                    end.movePosition(QTextCursor::End);
                }
            }
        }
        const int size = piece_size(piece.text, limit);
        end.insertText(piece.text.left(size));
        piece.text.remove(0, size);
        limit -= size;
        if (!piece.text.isEmpty())
            break;
        const int outcome = pendingPieces.takeFirst().outcome;
        if (outcome != NoOutcome)
            showOutcome(outcome);
    }
}

void InstallPage::showPendingOutput()
{
    while (!pendingOutput.isEmpty() || !pendingPieces.isEmpty())
        feedView(INT_MAX);
}

void InstallPage::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != viewFeeder.timerId()) {
        QWizardPage::timerEvent(event);
        return;
    }
    feedView(ViewChunk);
    if (!pendingOutput.isEmpty() || !pendingPieces.isEmpty())
        viewFeeder.start(0, this);
}

// Drops the oldest output, whole lines where it can, once the view holds
// twice what it keeps: seldom, so the layout that follows costs little
// overall. Text ahead of the output (the prerequisite check's) stays.
void InstallPage::trimOutput()
{
    QTextDocument *document = progressEdit->document();
    if (outputStart < 0 || document->characterCount() - 1 - outputStart <= 2 * ViewKeeps)
        return;
    const QString text = document->toPlainText();
    const int cut = keptFrom(text.constData() + outputStart, text.size() - outputStart, ViewKeeps);
    QTextCursor cursor(document);
    cursor.setPosition(outputStart);
    cursor.setPosition(outputStart + cut, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    noteCut();
}

// Once output was cut, one line at the top of what the view keeps says
// where the rest is; the output then starts behind it.
void InstallPage::noteCut()
{
    if (noteStart >= 0)
        return;
    QTextCursor cursor(progressEdit->document());
    cursor.setPosition(outputStart);
    noteStart = outputStart;
    cursor.insertText(cutNote());
    cursor.insertBlock();
    outputStart = cursor.position();
}

QString InstallPage::cutNote() const
{
    if (logMissing)
        return QString::fromLatin1("Earlier output was not kept: no install log was written.");
    return QString::fromLatin1("Earlier output is in the install log: ")
        + QString::fromLocal8Bit(installLogPath(qgetenv("HOME")));
}

void InstallPage::process_readData(const char *str)
{
    if (thread_process == 0 || sender() != thread_process) {
        // The prerequisite check's report, which stands ahead of the output.
        showPendingOutput();
        appendParagraph(decoded_text(str, int(qstrlen(str)), false));
        return;
    }

    // Each progress text of the worker repeats all earlier output and adds
    // to it: only the rest is new. A character may begin at the end of one
    // text and end in the next. Of a piece longer than the view keeps (a
    // flood may bring megabytes at once) only that end is read, from a line
    // start where there is one; the rest is dropped unread, as the view
    // would drop it, and a character begun ahead of the cut with it.
    const char *fresh = str + workerTextShown;
    const int size = int(qstrlen(fresh));
    workerTextShown += size;
    const int from = keptFrom(fresh, size, ViewKeeps);
    if (from > 0)
        outputDecoder.reset(installTextCodec()->makeDecoder());
    QString text = outputDecoder->toUnicode(fresh + from, size - from);
    if (from > 0 && fresh[from - 1] != '\n')
        drop_cut_character(text);
    // PackageKit's percentages move the progress bar, and its package
    // lines show only where the package changes.
    if (command.serviceClient)
        text = percentages.take(text, progressBar);
    if (!text.isEmpty() || from > 0)
        queueOutput(text, from > 0);
}

// The report goes into the view behind the output still waiting, a chunk
// at a time like it; title and buttons change once it is all in. A short
// report behind no waiting output is shown at once.
void InstallPage::process_finished(int retcode, const char *str)
{
    if (thread_process != 0 && sender() == thread_process) {
        resultReceived = true;
        // The result stands whether or not it could be logged; the user
        // still learns why the log has no record of it.
        const QString logProblem = thread_process->logProblem();
        if (!logProblem.isEmpty()) {
            bottomLabel->setText(QString::fromLatin1("No install log was written: ") + logProblem + QLatin1Char('.'));
            logMissing = true;
            if (noteStart >= 0) {
                QTextCursor note(progressEdit->document());
                note.setPosition(noteStart);
                note.setPosition(outputStart - 1, QTextCursor::KeepAnchor);
                note.insertText(cutNote());
                outputStart = note.position() + 1;
            }
        }
    }

    takeOutcome(retcode);
    if (retcode != 0) {
        // The words continue the last line; the result text repeats all
        // output, and the view takes its end.
        pendingPieces.append({QString::fromLatin1("Failed with error :") + QString::number(retcode, 10),
                              false, false, false, NoOutcome});
        const int size = int(qstrlen(str));
        const int from = keptFrom(str, size, ViewKeeps);
        QString report = decoded_text(str + from, size - from, from > 0 && str[from - 1] != '\n');
        if (command.serviceClient)
            report = ServiceLines().take(report + QLatin1Char('\n'), nullptr);
        pendingPieces.append({report, true, true, from > 0, retcode});
    } else {
        // The result text is not shown after success.
        pendingPieces.append({QString::fromLatin1("Installation Succesful."), true, false, false, 0});
    }
    feedView(ViewChunk);
    if (!pendingOutput.isEmpty() || !pendingPieces.isEmpty())
        viewFeeder.start(0, this);
}

QString ServiceLines::take(const QString &text, QProgressBar *bar)
{
    const QString lines = heldLine + text;
    const int end = lines.lastIndexOf(QLatin1Char('\n')) + 1;
    heldLine = lines.mid(end);
    QString shown;
    // split() gives an empty piece behind the last line end: not a line.
    QStringList whole = lines.left(end).split(QLatin1Char('\n'));
    whole.removeLast();
    for (const QString &line : qAsConst(whole)) {
        const ServiceLine record = readServiceLine(line);
        if (record.kind == ServiceLine::Progress) {
            if (bar) {
                bar->setValue(record.percent);
                bar->setVisible(true);
            }
            continue;
        }
        if (record.kind == ServiceLine::Package) {
            if (record.text == lastPackage)
                continue;
            lastPackage = record.text;
        }
        // Waiting for a lock, PackageKit's apt backend flips between two
        // states for seconds on end: the pair shows once.
        if (record.kind != ServiceLine::Note && (line == lastLines[0] || line == lastLines[1]))
            continue;
        lastLines[0] = lastLines[1];
        lastLines[1] = line;
        shown += line + QLatin1Char('\n');
    }
    return shown;
}

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
        if (command.serviceClient && retcode == int(ServiceStatus::AuthorisationTimedOut))
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
    outputDecoder.reset(installTextCodec()->makeDecoder());
    percentages = ServiceLines();
    bottomLabel->clear();
    setTitle(tr(kInstallingTitle));
    appendParagraph(QString::fromLatin1("Trying again..."));
    startWorker();
}
