// The compressed wizard unpacked by Debian's zstd decoder (linked in
// statically, built for musl by tools/build-musl-zstd.sh) in memory of our
// own: no heap, and no more than the decoder's window whatever the wizard's
// size. The window is the stretch of output that later data may copy from;
// the build compressed with 2^QOR_WIZARD_WINDOW_LOG bytes of it
// (cmake/QorCompressedWizard.cmake), and the decoder is held to that.
//
// The payload is two frames, the wizard's halves (launcher/payload/qor_pack.cpp).
// Unpacking takes most of the time to the wizard's window, so the second half
// is unpacked by a child process on another processor core meanwhile, into
// its place in the same file; each process has a decoder and window of its own.
#include "payload_unpack_t.h"

#include "crc32c_t.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_initStaticDStream: the decoder in memory we give it
#include <zstd.h>

namespace {

// The window, and the decoder's tables and input block on top of it, which
// take about 250 KiB in zstd 1.5. In .bss: no bytes in the file, and memory
// only as it is used.
alignas(64) unsigned char workspace[(size_t{1} << QOR_WIZARD_WINDOW_LOG) + 512 * 1024];

// One block, the most that the decoder hands out at a time.
alignas(4096) unsigned char unpacked[ZSTD_BLOCKSIZE_MAX];

// One frame: where it lies among the payload's stored bytes, and where what
// it unpacks to goes in the file, and how long that must be.
struct Frame {
    size_t stored_at, stored_size;
    off_t written_at;
    uint32_t size;
};

// What unpacking a frame came to; the child sends it whole through a pipe.
struct FrameResult {
    WriteOutcome outcome;
    int error;
    uint32_t crc;
};

struct Unpacking {
    ZSTD_DStream *stream;
    int fd;
    const Frame *frame;
    uint32_t written;
    uint32_t crc;
    bool frame_ended;
    bool damaged;
};

bool refuse(Unpacking &u)
{
    u.damaged = true;
    errno = kDamagedFile;
    return false;
}

bool write_all_at(int fd, const unsigned char *data, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t put = pwrite(fd, data, n, at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        data += put;
        at += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// Decodes one piece of the stored frame and writes out what it yields.
bool unpack_piece(const unsigned char *piece, size_t n, void *context)
{
    Unpacking &u = *static_cast<Unpacking *>(context);
    ZSTD_inBuffer in = {piece, n, 0};
    for (;;) {
        // Nothing may follow the frame's end.
        if (u.frame_ended)
            return in.pos == in.size || refuse(u);
        ZSTD_outBuffer out = {unpacked, sizeof unpacked, 0};
        const size_t left = ZSTD_decompressStream(u.stream, &out, &in);
        // Never more than the recorded length is written.
        if (ZSTD_isError(left) || out.pos > u.frame->size - u.written)
            return refuse(u);
        u.crc = crc32c_update(u.crc, unpacked, out.pos);
        if (!write_all_at(u.fd, unpacked, out.pos, u.frame->written_at + u.written))
            return false;
        u.written += static_cast<uint32_t>(out.pos);
        // 0: the frame is decoded and all of it handed out.
        u.frame_ended = left == 0;
        // A full block may have more behind it, even with the piece used up.
        if (!u.frame_ended && in.pos == in.size && out.pos < out.size)
            return true;
    }
}

FrameResult unpack_frame(int fd, const Payload &p, const Frame &f)
{
    Unpacking u = {ZSTD_initStaticDStream(workspace, sizeof workspace), fd, &f, 0, 0, false, false};
    // A frame that asks for a larger window than the build gave it is refused
    // by the decoder as damaged, before it could run out of workspace.
    if (u.stream == nullptr
        || ZSTD_isError(ZSTD_DCtx_setParameter(u.stream, ZSTD_d_windowLogMax, QOR_WIZARD_WINDOW_LOG)))
        return {kShortWrite, ENOMEM, 0};
    if (!read_payload(p, f.stored_at, f.stored_size, unpack_piece, &u, nullptr))
        return {u.damaged ? kDamaged : kShortWrite, errno, 0};
    if (!u.frame_ended || u.written != f.size)
        return {kDamaged, kDamagedFile, 0};
    return {kWritten, 0, u.crc};
}

// Unpacks F in a child process. Returns its process id and, in *REPORT, the
// pipe its result comes through; or -1 when no child could be started.
pid_t start_child(int fd, const Payload &p, const Frame &f, int *report)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        // It ends with the launcher, and a signal that ends the run ends it
        // at once: the launcher cleans up, as it does without it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        close(ends[0]);
        const FrameResult result = unpack_frame(fd, p, f);
        ssize_t sent = write(ends[1], &result, sizeof result);
        // _exit: nothing of ours, such as buffered output, is written twice.
        _exit(sent == sizeof result ? 0 : 1);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return -1;
    }
    *report = ends[0];
    return pid;
}

FrameResult child_result(pid_t pid, int report)
{
    FrameResult result;
    ssize_t got;
    while ((got = read(report, &result, sizeof result)) < 0 && errno == EINTR) {
    }
    close(report);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    // Killed before it could say: its half is not written.
    if (got != static_cast<ssize_t>(sizeof result))
        result = {kShortWrite, EIO, 0};
    return result;
}

WriteOutcome damaged()
{
    errno = kDamagedFile;
    return kDamaged;
}

} // namespace

WriteOutcome unpack_payload_to(int fd, const Payload &p)
{
    const size_t stored = static_cast<size_t>(payload_size(p.size_word));
    uint32_t crc = 0;
    if (!read_payload(p, 0, stored, nullptr, nullptr, &crc))
        return kShortWrite;
    if (crc != seal_field(p.crc))
        return damaged();

    // The record is checked with the launcher's own bytes; this only keeps
    // reading and writing within the payload and the wizard's length.
    const uint32_t size = seal_field(p.unpacked), first_stored = seal_field(p.unpacked + 8),
                   first_size = seal_field(p.unpacked + 12);
    if (first_stored > stored || first_size > size)
        return damaged();
    const Frame first = {0, first_stored, 0, first_size};
    const Frame second = {first_stored, stored - first_stored, static_cast<off_t>(first_size), size - first_size};

    int report = -1;
    const pid_t child = start_child(fd, p, second, &report);
    const FrameResult a = unpack_frame(fd, p, first);
    const FrameResult b = child > 0 ? child_result(child, report) : unpack_frame(fd, p, second);
    if (a.outcome == kDamaged || b.outcome == kDamaged)
        return damaged();
    const FrameResult *failed = a.outcome != kWritten ? &a : b.outcome != kWritten ? &b : nullptr;
    if (failed != nullptr) {
        errno = failed->error;
        return failed->outcome;
    }
    if (crc32c_combine(a.crc, b.crc, second.size) != seal_field(p.unpacked + 4))
        return damaged();
    return kWritten;
}
