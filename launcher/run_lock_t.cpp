// The run lock and what the launcher says about other users' runs and files.
#include "run_lock_t.h"

#include "crc32c_t.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int lock_fd = -1;

// The abstract name: a leading zero byte, then a text made from the path
// and the folder it lies in. Abstract names are shared by all that share a
// network namespace, chroots and containers with a /tmp of their own too:
// the folder's device and inode tell their /tmp folders apart. A path may
// be longer than the address holds, so a checksum of the whole path comes
// first and the path's start follows for people who look.
socklen_t lock_address(const char *package_path, sockaddr_un *address)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const size_t length = strlen(package_path);
    const uint32_t crc = crc32c_update(0, reinterpret_cast<const unsigned char *>(package_path), length);
    // The folder: all before the last slash ("/tmp"), or "." for a bare name.
    char folder[256] = ".";
    const char *slash = strrchr(package_path, '/');
    if (slash != nullptr)
        snprintf(folder, sizeof folder, "%.*s", slash == package_path ? 1 : static_cast<int>(slash - package_path),
                 package_path);
    struct stat st;
    if (stat(folder, &st) != 0)
        memset(&st, 0, sizeof st);
    snprintf(address->sun_path + 1, sizeof address->sun_path - 1, "qor-setup %08x %llx:%llx %s",
             static_cast<unsigned>(crc), static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino), package_path);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strlen(address->sun_path + 1));
}

// The user whose run holds the lock, asked of the kernel through a
// connection to it; false when it cannot tell (the holder is not listening
// yet, or its queue is full).
bool lock_holder(const sockaddr_un &address, socklen_t length, uid_t *uid)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    ucred peer;
    socklen_t size = sizeof peer;
    const bool known = connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0
                       && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    close(fd);
    if (known)
        *uid = peer.uid;
    return known;
}

// True when LINE of the user database ("name:password:uid:...") is UID's;
// its name then goes into TEXT. Digits by hand: strtoul would bring in the
// C library's number scanner.
bool user_line(char *line, uid_t uid, char *text, size_t size)
{
    char *name_end = strchr(line, ':');
    const char *uid_start = name_end != nullptr ? strchr(name_end + 1, ':') : nullptr;
    if (uid_start == nullptr)
        return false;
    unsigned long value = 0;
    const char *digit = uid_start + 1;
    for (; *digit >= '0' && *digit <= '9' && value <= 0xffffffffUL; ++digit)
        value = value * 10 + static_cast<unsigned long>(*digit - '0');
    if (value != uid || *digit != ':' || digit == uid_start + 1)
        return false;
    *name_end = '\0';
    snprintf(text, size, "user %.63s", line);
    return true;
}

} // namespace

int run_lock_take(const char *package_path)
{
    if (lock_fd >= 0)
        return 0;
    sockaddr_un address;
    const socklen_t length = lock_address(package_path, &address);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0 && listen(fd, 8) == 0) {
        lock_fd = fd;
        return 0;
    }
    const int error = errno;
    if (fd >= 0)
        close(fd);
    if (error != EADDRINUSE) {
        printf("\n ERROR : cannot make sure that no other installation uses %s :%d (%s)\n", package_path, error,
               strerror(error));
        return error;
    }
    uid_t holder;
    if (lock_holder(address, length, &holder))
        printf("\n ERROR : another installation is in progress, started by %s, and uses %s ;"
               " wait until it has ended, then run the installer again.\n",
               describe_user(holder), package_path);
    else
        printf("\n ERROR : another installation is in progress and uses %s ;"
               " wait until it has ended, then run the installer again.\n",
               package_path);
    return kRunInProgress;
}

// The C library's getpwuid, and even its buffered file reading, would add a
// fifth to the launcher's own size: the local user database is read here,
// as "ls -l" shows names. An unknown name leaves the number.
const char *describe_user(uid_t uid)
{
    static char text[80];
    snprintf(text, sizeof text, "uid %u", static_cast<unsigned>(uid));
    int fd = open("/etc/passwd", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char chunk[4096];
    size_t kept = 0;
    for (bool found = false; !found;) {
        ssize_t got = read(fd, chunk + kept, sizeof chunk - 1 - kept);
        if (got <= 0)
            break;
        kept += static_cast<size_t>(got);
        chunk[kept] = '\0';
        char *line = chunk;
        for (char *end; !found && (end = strchr(line, '\n')) != nullptr; line = end + 1) {
            *end = '\0';
            found = user_line(line, uid, text, sizeof text);
        }
        // A line longer than the chunk is no user of ours: dropped.
        kept = line == chunk && kept == sizeof chunk - 1 ? 0 : kept - static_cast<size_t>(line - chunk);
        memmove(chunk, line, kept);
    }
    close(fd);
    return text;
}

void remove_foreign_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid != geteuid())
        unlink(path);
}

void explain_foreign_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || st.st_uid == geteuid())
        return;
    printf("\n %s belongs to %s, and this user may not replace it: have that user or root remove it"
           " (rm %s), then run the installer again.\n",
           path, describe_user(st.st_uid), path);
}
