// The install worker: runs the package tool on its own thread, hands the
// tool's output to the install page and appends a record to the install log.
#include "qorwiz_u.h"
#include "install_log_u.h"
#include "text_codec_u.h"
#include "text_handover_u.h"

#include <condition_variable>
#include <mutex>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextCodec>

#include <csignal>

#include <unistd.h>

// The permit to change the run's output, which progress texts point into:
// the worker holds it while it changes the text; a call queued behind the
// receivers' slots gives it back on the GUI thread once they have run.
// Built on the standard library's mutex so that ThreadSanitizer, which
// cannot look inside the uninstrumented Qt library, sees every hand-back.
class TextPermits
{
public:
    void acquire()
    {
        std::unique_lock<std::mutex> lock(mutex);
        freed.wait(lock, [this] { return available > 0; });
        --available;
    }

    bool tryAcquire()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (available == 0)
            return false;
        --available;
        return true;
    }

    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++available;
        }
        freed.notify_one();
    }

private:
    std::mutex mutex;
    std::condition_variable freed;
    int available = 1;
};

// How long the install program may take to start; a desktop's installer
// may be slow to come up on a loaded machine.
static const int installToolStartTimeoutMs = 30000;

InstallWorker::InstallWorker(QObject *parent)
    : QThread(parent),
      target(builtInInstallTarget()),
      textPermits(new TextPermits)
{
}

void InstallWorker::setTarget(const InstallTarget &installTarget, const InstallRoad *installRoad)
{
    target = installTarget;
    roadChosen = installRoad != nullptr;
    if (roadChosen)
        road = *installRoad;
}

// The worker may still be waiting for a permit that only a queued call on
// this (the GUI) thread gives back, so the wait has to keep delivering those
// calls; anything else would deadlock. The install program is never stopped:
// killing a package manager mid-transaction could leave the system broken.
InstallWorker::~InstallWorker()
{
    while (!wait(50))
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    receive_thread_end(this);
}

// Runs on the worker's thread, which holds the permit. The text stays
// untouched until every queued slot that receives it has returned: the
// permit comes back only through a call queued behind those slots, and
// output is not changed without it.
void InstallWorker::handOut(QByteArray &output, QByteArray &unsent)
{
    output.append(unsent);
    unsent.clear();
    publish_text(output.constData());
    emit dataRead(output.constData());
    QMetaObject::invokeMethod(this, "returnTextPermit", Qt::QueuedConnection);
}

void InstallWorker::returnTextPermit()
{
    textPermits->release();
}

bool InstallWorker::requestCancel()
{
    std::lock_guard<std::mutex> lock(cancellableMutex);
    return cancellablePid > 0 && ::kill(pid_t(cancellablePid), SIGTERM) == 0;
}

void InstallWorker::emitStartFailure(const QString &reason)
{
    resultText = installTextCodec()->fromUnicode(
        QStringLiteral("Cannot start %1: %2").arg(application, reason));
    publish_text(resultText.constData());
    emit finished(-1, resultText.constData());
}

void InstallWorker::run()
{
    // Declared first, so destroyed last: after everything else run() does.
    struct EndOfRun {
        const InstallWorker *worker;
        ~EndOfRun() { publish_thread_end(worker); }
    } endOfRun{this};

    const InstallCommand command = installCommand(
        roadChosen ? road : chooseInstallRoad(target.deb, getuid() == 0, desktopInstallToolsPresent(target.deb)),
        target);
    application = command.application;
    arguments = command.arguments;

    QProcess process;
    // Nothing is ever written to the tool, so it reads end of input at once:
    // a prompt (a dpkg conffile question, say) then fails the run instead of
    // waiting for ever on a pipe that nobody writes to.
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(command.program, command.programArguments, QIODevice::ReadOnly);
    // A tool that cannot run still gets an answer to the page, which
    // otherwise would wait for a result that never comes. No log record:
    // a record is what a tool wrote and how it ended, and this one did
    // neither; the page shows why.
    if (!process.waitForStarted(installToolStartTimeoutMs)) {
        emitStartFailure(process.errorString());
        return;
    }
    if (command.application == QLatin1String("PackageKit")) {
        std::lock_guard<std::mutex> lock(cancellableMutex);
        cancellablePid = process.processId();
    }

    // Output is taken up to a NUL byte in each piece: the texts handed on
    // are NUL-terminated. Pieces that come faster than the page can show
    // them are gathered in unsent and handed on together, at most once per
    // ProgressInterval; the tool is never held up while the page reads. So
    // output is copied once however many progress texts carry it.
    QByteArray output;
    QByteArray unsent;
    QElapsedTimer sinceProgress;
    bool handedOut = false;
    for (;;) {
        int wait = -1;
        if (!unsent.isEmpty()) {
            const qint64 left = handedOut ? ProgressInterval - sinceProgress.elapsed() : 0;
            // Due, but the page still reads the last text: look again soon.
            wait = left > 0 ? int(left) : PermitPoll;
        }
        if (process.waitForReadyRead(wait))
            unsent.append(process.readAllStandardOutput().constData());
        else if (wait < 0 || process.state() != QProcess::Running)
            break;
        const bool due = !handedOut || sinceProgress.hasExpired(ProgressInterval);
        if (!unsent.isEmpty() && due && textPermits->tryAcquire()) {
            handOut(output, unsent);
            sinceProgress.start();
            handedOut = true;
        }
    }
    {
        std::lock_guard<std::mutex> lock(cancellableMutex);
        cancellablePid = 0;
    }
    // Everything read while the tool ran is shown; and output is the
    // worker's again from here on.
    textPermits->acquire();
    if (!unsent.isEmpty()) {
        handOut(output, unsent);
        textPermits->acquire();
    }
    process.waitForFinished(-1);
    output.append(process.readAllStandardOutput().constData());
    output.append(process.readAllStandardError().constData());

    const int exitCode = process.exitCode();
    if (exitCode == 0) {
        output.append("\nInstallation Finished");
    } else {
        output.append("\nError Code:");
        output.append(QByteArray::number(exitCode));
        output.append("\nApplication:");
        output.append(application.toLatin1());
        output.append("\nArguments:");
        output.append(arguments.join(QLatin1Char(';')).toLatin1());
    }

    // HOME is taken byte for byte, as the system does: a folder name that
    // is not valid in the locale's encoding would not survive a QString.
    const int log_fd = openInstallLog(qgetenv("HOME"), &logProblemText);
    QFile log;
    if (log_fd >= 0 && log.open(log_fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        log.write(output);
        log.close();
    } else {
        if (log_fd >= 0) {
            ::close(log_fd);
            logProblemText = log.errorString();
        }
        output.append("\nCannot create log file");
    }

    resultText = output;
    publish_text(resultText.constData());
    emit finished(exitCode, resultText.constData());
    process.close();
}
