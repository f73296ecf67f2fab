// Writing the payloads out to their files, checked on the way.
#include "payload_write_t.h"

#if QOR_WIZARD_COMPRESSED
#include "payload_unpack_t.h"
#endif

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Checks a file found at PATH, open as FD: true when it is a regular file
// that we own under this one name and that nobody else can write. Otherwise
// false with errno EACCES (refused), or EAGAIN when it was ours but writable
// by others and has been unlinked so that a fresh one can take its place.
bool owned_alone_and_closed_to_others(int fd, const char *path)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        errno = EACCES;
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    if (unlink(path) != 0)
        return false;
    errno = EAGAIN;
    return false;
}

// Opens PATH for a payload. /tmp is shared by all users and our paths are
// predictable, so a file found there is used only if it cannot be anybody
// else's: never through a symbolic link (O_NOFOLLOW), only a regular file
// that we own with no second name. A file we create ourselves is ours by
// construction, whatever owner the file system records (NFS with root
// squashing records another). O_NONBLOCK keeps a planted FIFO from blocking
// the open. A file of ours that others could write may still be open for
// writing elsewhere, so it is replaced by a fresh one rather than reused.
// Returns the descriptor, or -1 with errno set (EACCES when a file found is
// refused); on failure nothing at PATH has been created.
int open_payload_target(const char *path)
{
    const int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A new file never starts out writable for others, whatever the umask.
        int fd = open(path, flags | O_CREAT | O_EXCL, 0666 & ~(S_IWGRP | S_IWOTH));
        if (fd < 0 && errno == EEXIST) {
            fd = open(path, flags);
            if (fd < 0 && errno == ENOENT) // gone meanwhile: create it afresh
                continue;
            if (fd >= 0 && !owned_alone_and_closed_to_others(fd, path)) {
                int saved = errno;
                close(fd);
                if (saved == EAGAIN) // unlinked: create it afresh
                    continue;
                errno = saved;
                return -1;
            }
        }
        if (fd < 0) {
            if (errno == ELOOP) // O_NOFOLLOW met a symbolic link: refused
                errno = EACCES;
            return -1;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    errno = EACCES;
    return -1;
}

// Writes the payload of E to its path, replacing what was there. On
// kNotCreated nothing at the path has been changed; on kShortWrite (a full
// disk shows at write, or only at close) and kDamaged the file has been
// removed. errno tells why. An old file is cut to the payload's length only
// after writing: ext4 flushes a file emptied by truncation when it is closed,
// which would make every write-out wait for the disk.
WriteOutcome write_payload(const Extraction &e)
{
    int fd = open_payload_target(e.path);
    if (fd < 0)
        return kNotCreated;
    if (e.mode != kKeepMode)
        fchmod(fd, e.mode);
    WriteOutcome outcome = write_payload_to(fd, e);
    int error = errno;
    if (outcome == kWritten && ftruncate(fd, static_cast<off_t>(written_size(*e.payload))) != 0) {
        outcome = kShortWrite;
        error = errno;
    }
    if (close(fd) != 0 && outcome == kWritten) {
        outcome = kShortWrite;
        error = errno;
    }
    if (outcome != kWritten)
        unlink(e.path);
    errno = error;
    return outcome;
}

bool write_piece(const unsigned char *piece, size_t n, void *fd)
{
    return write_all(*static_cast<int *>(fd), piece, n);
}

} // namespace

WriteOutcome write_payload_to(int fd, const Extraction &e)
{
#if QOR_WIZARD_COMPRESSED
    if (e.payload->unpacked != nullptr)
        return unpack_payload_to(fd, *e.payload);
#endif
    uint32_t crc = 0;
    if (!read_payload(*e.payload, 0, static_cast<size_t>(payload_size(e.payload->size_word)), write_piece, &fd, &crc))
        return kShortWrite;
    if (crc != seal_field(e.payload->crc)) {
        errno = kDamagedFile;
        return kDamaged;
    }
    return kWritten;
}

int extract_payload(const Extraction &e)
{
    WriteOutcome outcome = write_payload(e);
    int error = errno;
    switch (outcome) {
    case kWritten:
        if (e.written_format != nullptr)
            printf(e.written_format, e.path);
        return 0;
    case kNotCreated:
        printf(e.not_created_format, e.path, error);
        return error;
    case kShortWrite:
        printf(kExtractionFailed, e.path, error);
        return error;
    case kDamaged:
        break;
    }
    return report_damaged(e.payload->name);
}
