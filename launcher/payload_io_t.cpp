// The launcher's own file: its start-up check and reading payload bytes from
// it; and writing bytes whole, for every way a payload is written out. The
// payload bytes are read from the file rather than through its mapped image:
// reading into one small buffer, checking it there while it is in the
// processor's cache and writing it from there costs little more than a plain
// copy, keeps the resident memory at the buffer's size whatever the
// payload's, and a file cut short shows as a short read instead of a fault.
#include "payload_io_t.h"

#include "crc32c_t.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#if UINTPTR_MAX > 0xffffffffu
typedef Elf64_Ehdr Ehdr;
typedef Elf64_Phdr Phdr;
#else
typedef Elf32_Ehdr Ehdr;
typedef Elf32_Phdr Phdr;
#endif
// The linker places the ELF header at the start of the first segment.
extern "C" const Ehdr __ehdr_start __attribute__((visibility("hidden")));

const char kIncomplete[] = "\n ERROR : the installer file is incomplete: %lld bytes of %lld ; download it again\n";
const char kWrongSize[] = "\n ERROR : the installer file is damaged: it has %lld bytes instead of %lld ;"
                          " download it again\n";
const char kDamagedFormat[] = "\n ERROR : the installer file is damaged: its %s does not match its checksum ;"
                        " download it again\n";
const char kCannotRead[] = "\n ERROR : cannot read the installer file %s :%d (%s)\n";

// The launcher's own file, open from the start-up check on.
int self_fd = -1;

// Three blocks of the checksum's stride: large enough that a system call
// moves a good share of data, small enough to stay in the processor's cache
// between reading, checking and writing. Page-aligned, so that the kernel's
// page-by-page copies each meet one page of it.
alignas(4096) unsigned char buffer[3 * 64 * 1024];

const Phdr *program_headers()
{
    return reinterpret_cast<const Phdr *>(reinterpret_cast<const unsigned char *>(&__ehdr_start)
                                          + __ehdr_start.e_phoff);
}

// Where the byte at P of the loaded image lies in the file, or -1.
off_t file_offset_of(const void *p)
{
    const Phdr *ph = program_headers();
    uintptr_t bias = 0;
    for (int i = 0; i < __ehdr_start.e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD && ph[i].p_offset == 0)
            bias = reinterpret_cast<uintptr_t>(&__ehdr_start) - ph[i].p_vaddr;
    const uintptr_t vaddr = reinterpret_cast<uintptr_t>(p) - bias;
    for (int i = 0; i < __ehdr_start.e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD && vaddr >= ph[i].p_vaddr && vaddr - ph[i].p_vaddr < ph[i].p_filesz)
            return static_cast<off_t>(vaddr - ph[i].p_vaddr + ph[i].p_offset);
    return -1;
}

// How many bytes of the file the kernel maps: touching a mapped page that
// lies wholly beyond the end of a short file would kill the process.
long long loaded_bytes()
{
    const Phdr *ph = program_headers();
    long long end = 0;
    for (int i = 0; i < __ehdr_start.e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD && static_cast<long long>(ph[i].p_offset + ph[i].p_filesz) > end)
            end = static_cast<long long>(ph[i].p_offset + ph[i].p_filesz);
    return end;
}

// Reads up to N bytes at OFFSET of the launcher file into the buffer;
// returns the count, or -1 with errno (EIO when the file ends early).
ssize_t read_self(off_t offset, size_t n)
{
    for (;;) {
        ssize_t got = pread(self_fd, buffer, n, offset);
        if (got > 0)
            return got;
        if (got == 0)
            errno = EIO;
        if (got == 0 || errno != EINTR)
            return -1;
    }
}

// Continues CRC over the file bytes [FROM, TO), the seal's own checksum
// field counted as zeros, as qor-seal counted them.
bool crc_of_file(off_t from, off_t to, uint32_t *crc)
{
    const off_t field = file_offset_of(qorseal_crc);
    while (from < to) {
        size_t want = static_cast<size_t>(to - from) < sizeof buffer ? static_cast<size_t>(to - from) : sizeof buffer;
        ssize_t got = read_self(from, want);
        if (got < 0)
            return false;
        for (off_t at = field; at < field + 4; ++at)
            if (at >= from && at < from + got)
                buffer[at - from] = 0;
        *crc = crc32c_update(*crc, buffer, static_cast<size_t>(got));
        from += got;
    }
    return true;
}

// The launcher's own bytes: all of the file but the payloads' bytes.
bool launcher_intact(long long file_size)
{
    uint32_t crc = 0;
    off_t from = 0;
    for (const Payload &p : kPayloads) {
        if (!crc_of_file(from, file_offset_of(p.data), &crc))
            return false;
        from = file_offset_of(p.size_word);
    }
    return crc_of_file(from, file_size, &crc) && crc == seal_field(qorseal_crc);
}

} // namespace

bool write_all(int fd, const unsigned char *data, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t put = at < 0 ? write(fd, data, n) : pwrite(fd, data, n, at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        data += put;
        if (at >= 0)
            at += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

int check_installer_file()
{
    const char *path = "/proc/self/exe";
    self_fd = open(path, O_RDONLY | O_CLOEXEC);
    const char *executed = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    if (self_fd < 0 && executed != nullptr) { // no /proc: the name it was started by
        path = executed;
        self_fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    struct stat st;
    if (self_fd < 0 || fstat(self_fd, &st) != 0) {
        int error = errno;
        printf(kCannotRead, path, error, strerror(error));
        return error;
    }

    // The recorded size is read only once its page is known to be in the file.
    const long long size = st.st_size;
    long long expected = loaded_bytes();
    if (file_offset_of(qorseal_file_size) + 8 <= size) {
        uint64_t recorded;
        memcpy(&recorded, qorseal_file_size, sizeof recorded);
        if (static_cast<long long>(recorded) > expected)
            expected = static_cast<long long>(recorded);
    }
    if (size < expected) {
        printf(kIncomplete, size, expected);
        return kDamagedFile;
    }
    if (size > expected) {
        printf(kWrongSize, size, expected);
        return kDamagedFile;
    }
    if (!launcher_intact(size)) {
        return report_damaged("launcher code");
    }
    // Shown from the image as it is, so checked there.
    const Payload &licence = kPayloads[kLicencePayload];
    if (crc32c_update(0, licence.data, static_cast<size_t>(payload_size(licence.size_word)))
        != seal_field(licence.crc)) {
        return report_damaged(licence.name);
    }
    return 0;
}

int report_damaged(const char *what)
{
    printf(kDamagedFormat, what);
    return kDamagedFile;
}

bool read_payload(const Payload &p, size_t from, size_t size, PieceUser use, void *context, uint32_t *crc)
{
    const off_t offset = file_offset_of(p.data) + static_cast<off_t>(from);
    for (size_t done = 0; done < size;) {
        size_t want = size - done < sizeof buffer ? size - done : sizeof buffer;
        ssize_t got = read_self(offset + static_cast<off_t>(done), want);
        if (got < 0)
            return false;
        if (crc != nullptr)
            *crc = crc32c_update(*crc, buffer, static_cast<size_t>(got));
        if (use != nullptr && !use(buffer, static_cast<size_t>(got), context))
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

