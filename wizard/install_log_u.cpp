// The install log's folder and file, opened without following links, and
// the records appended to it whole.
#include "install_log_u.h"

#include <cerrno>
#include <cstring>

#include <QElapsedTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The log's folder in the home folder, and its file there.
static const char kLogFolder[] = "/.qor";
static const char kLogFile[] = "install.log";

// Why PATH could not be opened, errno being ERROR.
static QString openFailure(const QByteArray &path, int error)
{
    struct stat st;
    const QString name = QString::fromLocal8Bit(path);
    if (::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        return name + QStringLiteral(" is a symbolic link");
    return QStringLiteral("cannot open %1: %2").arg(name, QString::fromLocal8Bit(strerror(error)));
}

// Empty when FD, opened as PATH, is ours and of the expected kind.
static QString ownershipProblem(int fd, const QByteArray &path, bool folder)
{
    struct stat st;
    const QString name = QString::fromLocal8Bit(path);
    if (::fstat(fd, &st) != 0)
        return QStringLiteral("cannot examine %1: %2").arg(name, QString::fromLocal8Bit(strerror(errno)));
    if (!folder && !S_ISREG(st.st_mode))
        return name + QStringLiteral(" is not a regular file");
    if (st.st_uid != ::geteuid())
        return name + QStringLiteral(" belongs to another user");
    return QString();
}

QByteArray installLogPath(const QByteArray &home)
{
    return home + kLogFolder + '/' + kLogFile;
}

int openInstallLog(const QByteArray &home, QString *problem)
{
    const QByteArray folder = home + kLogFolder;
    // A link in place of the folder makes this fail, and the open below says why.
    ::mkdir(folder.constData(), 0777);
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        *problem = openFailure(folder, errno);
        return -1;
    }
    *problem = ownershipProblem(dir, folder, true);
    if (!problem->isEmpty()) {
        ::close(dir);
        return -1;
    }

    // O_NONBLOCK: a FIFO in place of the file must not hold the wizard up.
    const QByteArray file = installLogPath(home);
    const int fd = ::openat(dir, kLogFile,
                            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    const int openError = errno;
    ::close(dir);
    if (fd < 0) {
        *problem = openFailure(file, openError);
        return -1;
    }
    *problem = ownershipProblem(fd, file, false);
    if (!problem->isEmpty()) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// How long a run waits for another to finish appending its record; that
// takes a moment, so a lock held longer is not another run's append.
static const int installLogLockWaitMs = 10000;

// Takes the install log's lock, which every run holds while it appends
// and, if that fails, takes its own record out again: with it, no run cuts
// off a record that another appended meanwhile. False when it could not be
// had, with the reason in *error.
static bool lock_log(int fd, int *error)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || waited.hasExpired(installLogLockWaitMs)) {
            *error = errno;
            return false;
        }
        ::usleep(20 * 1000);
    }
}

// Appends record to the install log open as fd (path), and closes it. The
// record counts as written only once the file system has it: on a home
// over quota on NFS, the error may come only with fsync or close. A record
// that cannot be written whole is taken out again: the log holds whole
// records only, and the run is one that wrote none. False then, with
// *problem saying why.
static bool append_record(int fd, const QByteArray &record, const QByteArray &path, QString *problem)
{
    int error = 0;
    // Where the file system has no locks (NFS without a lock manager), the
    // record is appended all the same, but never taken out again.
    const bool locked = lock_log(fd, &error);
    if (!locked && error == EWOULDBLOCK) {
        *problem = QStringLiteral("cannot write %1: another program keeps it locked").arg(QString::fromLocal8Bit(path));
        ::close(fd);
        return false;
    }
    error = 0;
    const off_t start = ::lseek(fd, 0, SEEK_END);
    const char *at = record.constData();
    qint64 left = record.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, at, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error = written < 0 ? errno : EIO;
            break;
        }
        at += written;
        left -= written;
    }
    if (left == 0 && ::fsync(fd) != 0)
        error = errno;
    if (error != 0 && (!locked || start < 0 || ::ftruncate(fd, start) != 0 || ::fsync(fd) != 0))
        *problem = QStringLiteral(" (what was written of this run's record stays in it)");
    // Closing also gives the lock back.
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0)
        return true;
    problem->prepend(QStringLiteral("cannot write %1: %2")
                         .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(strerror(error))));
    return false;
}

bool appendInstallRecord(const QByteArray &home, const QByteArray &record, QString *problem)
{
    const int fd = openInstallLog(home, problem);
    return fd >= 0 && append_record(fd, record, installLogPath(home), problem);
}
