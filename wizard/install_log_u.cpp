// The install log's folder and file, opened without following links.
#include "install_log_u.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
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
