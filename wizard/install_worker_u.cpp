// The install worker: runs the package tool on its own thread, hands the
// tool's output to the install page and appends a record to the install log.
#include "qorwiz_u.h"
#include "install_log_u.h"
#include "package_service_u.h"
#include "qor_build_config.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextCodec>
#include <QVector>

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

// The worker hands its texts to receivers on the GUI thread by pointer,
// through queued signals. Qt's event queue orders each emission before its
// delivery, but ThreadSanitizer cannot see the locks inside the
// uninstrumented Qt library, nor the copying it does there. In its builds
// the worker describes each text to it: it publishes the text right before
// it emits (it has written those bytes), and receives it in a slot of its
// own that is connected ahead of every receiver, so delivered first on the
// GUI thread, where the receivers read it after. Whether a text stays intact
// until all its receivers are done with it (the permits) is then what
// ThreadSanitizer checks. Outside its builds these are empty.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
extern "C" void __tsan_read_range(void *addr, unsigned long size);
extern "C" void __tsan_write_range(void *addr, unsigned long size);
// Counted here rather than by strlen, whose interceptor the tests' own
// suppressions leave out.
static unsigned long text_bytes(const char *text)
{
    unsigned long n = 0;
    while (text[n] != '\0')
        ++n;
    return n + 1;
}
static void publish_text(const char *text)
{
    __tsan_write_range(const_cast<char *>(text), text_bytes(text));
    __tsan_release(const_cast<char *>(text));
}
static void receive_text(const char *text)
{
    __tsan_acquire(const_cast<char *>(text));
    __tsan_read_range(const_cast<char *>(text), text_bytes(text));
}
// The same for the end of the worker's thread and the wait for it, which
// QThread::wait may settle by a flag under its own lock.
static void publish_thread_end(const void *worker) { __tsan_release(const_cast<void *>(worker)); }
static void receive_thread_end(const void *worker) { __tsan_acquire(const_cast<void *>(worker)); }
#else
static void publish_text(const char *) {}
static void receive_text(const char *) {}
static void publish_thread_end(const void *) {}
static void receive_thread_end(const void *) {}
#endif

// How long the install program may take to start; a desktop's installer
// may be slow to come up on a loaded machine.
static const int installToolStartTimeoutMs = 30000;

InstallWorker::InstallWorker(QObject *parent)
    : QThread(parent),
      textPermits(new TextPermits)
{
#if defined(__SANITIZE_THREAD__)
    connect(this, SIGNAL(dataRead(const char*)), this, SLOT(textArrived(const char*)));
    connect(this, SIGNAL(finished(int,const char*)), this, SLOT(resultArrived(int,const char*)));
#endif
}

void InstallWorker::setCommand(const InstallCommand &installCommand)
{
    command = installCommand;
}

void InstallWorker::textArrived(const char *str)
{
    receive_text(str);
}

void InstallWorker::resultArrived(int, const char *str)
{
    receive_text(str);
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
// the text is not changed without it (RunOutput).
void InstallWorker::handOut(const char *text)
{
    publish_text(text);
    emit dataRead(text);
    QMetaObject::invokeMethod(this, "returnTextPermit", Qt::QueuedConnection);
}

// The run's output, which progress texts point into. While a text is lent
// to the page (its permit is out), its bytes and their place stay as they
// are; output read meanwhile still goes into the room that the buffer has
// behind the text's terminating NUL, which nothing reads, and joins the
// text once the permit is back. Only output that does not fit there waits
// in the process object. So a flood is held once, not twice, however slow
// the page is to give the permit back.
class RunOutput
{
public:
    // Moves a piece of size bytes that the process object holds of its read
    // channel here, straight from its buffer, up to a NUL byte among them:
    // the texts handed on are NUL-terminated. While lent, only into the room
    // behind the text: false when the piece does not fit there, and stays.
    bool take(QProcess &process, qint64 size)
    {
        const int at = bytes.size();
        char *to;
        if (lent) {
            if (size > bytes.capacity() - at - behind)
                return false;
            to = bytes.data() + at + 1 + behind;
        } else {
            bytes.resize(at + int(size));
            to = bytes.data() + at;
        }
        const qint64 got = qMax<qint64>(0, process.read(to, size));
        const void *nul = memchr(to, '\0', size_t(got));
        const int kept = nul ? int(static_cast<const char *>(nul) - to) : int(got);
        if (lent)
            behind += kept;
        else
            bytes.resize(at + kept);
        return true;
    }
    // The text, lent to the page from here on...
    const char *lend()
    {
        lent = true;
        lentSize = bytes.size();
        return bytes.constData();
    }
    // ...until its permit is back: what was taken meanwhile joins it.
    void giveBack()
    {
        char *data = bytes.data();
        memmove(data + lentSize, data + lentSize + 1, size_t(behind));
        bytes.resize(lentSize + behind);
        behind = 0;
        lent = false;
    }
    bool isLent() const { return lent; }
    // Whether output was taken since the last text was lent.
    bool hasNews() const { return bytes.size() + behind > lentSize; }
    // All output, once no text is lent any more.
    QByteArray &all() { return bytes; }

private:
    QByteArray bytes;
    bool lent = false;
    int lentSize = 0;
    int behind = 0; // bytes taken behind the lent text's NUL
};

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
        QStringLiteral("Cannot start %1: %2").arg(command->application, reason));
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

    if (!command)
        command = defaultInstallCommand(builtInInstallTarget());

    QProcess process;
    // Nothing is ever written to the tool, so it reads end of input at once:
    // a prompt (a dpkg conffile question, say) then fails the run instead of
    // waiting for ever on a pipe that nobody writes to.
    process.setStandardInputFile(QProcess::nullDevice());
    if (command->serviceClient) {
        // The client checks that this process is still its parent.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QLatin1String(kClientParentVariable), QString::number(getpid()));
        process.setProcessEnvironment(environment);
    }
    process.start(command->program, command->programArguments, QIODevice::ReadOnly);
    // A tool that cannot run still gets an answer to the page, which
    // otherwise would wait for a result that never comes. No log record:
    // a record is what a tool wrote and how it ended, and this one did
    // neither; the page shows why.
    if (!process.waitForStarted(installToolStartTimeoutMs)) {
        emitStartFailure(process.errorString());
        return;
    }
    if (command->serviceClient) {
        std::lock_guard<std::mutex> lock(cancellableMutex);
        cancellablePid = process.processId();
    }

    // Output is taken up to a NUL byte in each piece that a wait reads.
    // Pieces that come faster than the page can show them are gathered
    // and handed on together, at most once per ProgressInterval; the
    // process object goes on reading the pipe at every wait, so the tool is
    // never held up while the page reads. A byte is copied from the process
    // object into output once (and moved one place on if it came while a
    // text was lent), however many progress texts carry it.
    RunOutput runOutput;
    QVector<qint64> unsent; // the sizes of the pieces still in process
    qint64 buffered = 0;
    QElapsedTimer sinceProgress;
    bool handedOut = false;
    // The permit is the worker's whenever no text is lent.
    textPermits->acquire();
    for (;;) {
        int wait = -1;
        if (!unsent.isEmpty() || runOutput.hasNews()) {
            const qint64 left = handedOut ? ProgressInterval - sinceProgress.elapsed() : 0;
            // Due, but the page still reads the last text: look again soon.
            wait = left > 0 ? int(left) : PermitPoll;
        }
        if (process.waitForReadyRead(wait)) {
            const qint64 now = process.bytesAvailable();
            if (now > buffered)
                unsent.append(now - buffered);
        } else if (wait < 0 || process.state() != QProcess::Running) {
            break;
        }
        if (runOutput.isLent() && textPermits->tryAcquire())
            runOutput.giveBack();
        while (!unsent.isEmpty() && runOutput.take(process, unsent.first()))
            unsent.removeFirst();
        buffered = process.bytesAvailable();
        const bool due = !handedOut || sinceProgress.hasExpired(ProgressInterval);
        if (!runOutput.isLent() && runOutput.hasNews() && due) {
            handOut(runOutput.lend());
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
    if (runOutput.isLent()) {
        textPermits->acquire();
        runOutput.giveBack();
    }
    for (const qint64 size : unsent)
        runOutput.take(process, size);
    if (runOutput.hasNews()) {
        handOut(runOutput.lend());
        textPermits->acquire();
        runOutput.giveBack();
    }
    process.waitForFinished(-1);
    runOutput.take(process, process.bytesAvailable());
    process.setReadChannel(QProcess::StandardError);
    runOutput.take(process, process.bytesAvailable());
    QByteArray &output = runOutput.all();

    // For a crash QProcess gives the signal's number as the exit code, which
    // would read as one of the program's own statuses (SIGTRAP, 5, as a
    // package-service client's "cancelled"). A crash is recorded as shells
    // report it, 128 and the number, which no status of a client is, and
    // said in words ahead of the trailer.
    const bool crashed = process.exitStatus() == QProcess::CrashExit;
    const int exitCode = crashed ? 128 + process.exitCode() : process.exitCode();
    if (crashed) {
        output.append("\nThe install program was killed by signal ");
        output.append(QByteArray::number(process.exitCode()));
        output.append('.');
    }
    if (exitCode == 0) {
        output.append("\n" QOR_RECORD_FINISHED);
    } else {
        output.append("\n" QOR_RECORD_ERROR_CODE);
        output.append(QByteArray::number(exitCode));
        output.append("\n" QOR_RECORD_APPLICATION);
        output.append(command->application.toLatin1());
        output.append("\n" QOR_RECORD_ARGUMENTS);
        output.append(command->arguments.join(QLatin1Char(';')).toLatin1());
    }

    // HOME is taken byte for byte, as the system does: a folder name that
    // is not valid in the locale's encoding would not survive a QString.
    if (!appendInstallRecord(qgetenv("HOME"), output, &logProblemText))
        output.append("\nCannot create log file");

    resultText = output;
    publish_text(resultText.constData());
    emit finished(exitCode, resultText.constData());
    process.close();
}
