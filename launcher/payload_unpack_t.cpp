// The compressed wizard unpacked by Debian's zstd decoder (linked in
// statically, built for musl by tools/build-musl-zstd.sh) in memory of our
// own: no heap, and no more than one frame's worth whatever the wizard's
// size. The wizard is stored as frames of at most 2^QOR_WIZARD_FRAME_LOG
// unpacked bytes each (launcher/payload/qor_pack.cpp); the decoder unpacks a
// frame straight into one buffer that size, which is then checked and
// written to its place in the file.
//
// Unpacking takes most of the time to the wizard's window, so a child
// process unpacks every second frame on another processor core meanwhile,
// into its place in the same file, and reports the frames' checksums.
#include "payload_unpack_t.h"

#include "crc32c_t.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_initStaticDStream: the decoder in memory we give it
#include <zstd.h>

namespace {

const size_t kMaxFrameSize = size_t{1} << QOR_WIZARD_FRAME_LOG;
// A wizard's length is a 4-byte signed word: in frames of the largest size it
// has at most this many, and the frames' checksums are kept for this many
// whatever their size.
const uint32_t kMaxFrames = static_cast<uint32_t>((uint64_t{1} << 31) / kMaxFrameSize);

// The decoder's tables and one block of input, about 230 KiB in zstd 1.5;
// its output goes straight into `frame`. In .bss, as `frame` is: no bytes in
// the file, and memory only as it is used.
alignas(64) unsigned char workspace[512 * 1024];
alignas(4096) unsigned char frame[kMaxFrameSize];

// The record behind the seal (payload/seal_layout_t.h).
struct Record {
    uint32_t size, crc, frame_size, count;
    const unsigned char *stored_sizes;

    uint32_t stored_size(uint32_t k) const { return seal_field(stored_sizes + 4 * k); }
    uint32_t unpacked_size(uint32_t k) const
    {
        return k + 1 < count ? frame_size : size - (count - 1) * frame_size;
    }
};

// What a process's share of the frames came to; the child sends it whole
// through a pipe. The checksums are those of its frames, by frame number.
struct Share {
    WriteOutcome outcome;
    int error;
    uint32_t crc[kMaxFrames];
};
Share mine, theirs;

WriteOutcome damaged()
{
    errno = kDamagedFile;
    return kDamaged;
}

struct Unpacking {
    ZSTD_DStream *stream;
    ZSTD_outBuffer out; // the same one on every call: the decoder writes straight into it
    bool ended;
    bool damaged;
};

bool refuse(Unpacking &u)
{
    u.damaged = true;
    errno = kDamagedFile;
    return false;
}

// Decodes one piece of a stored frame.
bool unpack_piece(const unsigned char *piece, size_t n, void *context)
{
    Unpacking &u = *static_cast<Unpacking *>(context);
    ZSTD_inBuffer in = {piece, n, 0};
    while (in.pos < in.size) {
        // Nothing may follow the frame's end.
        if (u.ended)
            return refuse(u);
        // A damaged frame, or one that unpacks to more than its share: the
        // decoder writes no further than the buffer it was given, and says so.
        const size_t left = ZSTD_decompressStream(u.stream, &u.out, &in);
        if (ZSTD_isError(left))
            return refuse(u);
        // 0: the frame is whole.
        u.ended = left == 0;
    }
    return true;
}

// Unpacks frame K, stored at STORED_AT among the payload's bytes, checks its
// length, and writes it to its place in FD; its CRC-32C goes to *CRC.
WriteOutcome unpack_frame(int fd, const Payload &p, const Record &r, uint32_t k, size_t stored_at, uint32_t *crc)
{
    const uint32_t size = r.unpacked_size(k);
    Unpacking u = {ZSTD_initStaticDStream(workspace, sizeof workspace), {frame, size, 0}, false, false};
    // A frame that asks for a larger window than a frame holds is damaged.
    if (u.stream == nullptr || ZSTD_isError(ZSTD_DCtx_setParameter(u.stream, ZSTD_d_stableOutBuffer, 1))
        || ZSTD_isError(ZSTD_DCtx_setParameter(u.stream, ZSTD_d_windowLogMax, QOR_WIZARD_FRAME_LOG))) {
        errno = ENOMEM;
        return kShortWrite;
    }
    if (!read_payload(p, stored_at, r.stored_size(k), unpack_piece, &u, nullptr))
        return u.damaged ? kDamaged : kShortWrite;
    if (!u.ended || u.out.pos != size)
        return damaged();
    *crc = crc32c_update(0, frame, size);
    return write_all(fd, frame, size, static_cast<off_t>(k) * r.frame_size) ? kWritten : kShortWrite;
}

// Unpacks frames FIRST, FIRST + STEP, ... into S.
void unpack_share(int fd, const Payload &p, const Record &r, uint32_t first, uint32_t step, Share *s)
{
    s->outcome = kWritten;
    size_t stored_at = 0;
    for (uint32_t k = 0; k < r.count; stored_at += r.stored_size(k), ++k) {
        if (k < first || (k - first) % step != 0)
            continue;
        s->outcome = unpack_frame(fd, p, r, k, stored_at, &s->crc[k]);
        if (s->outcome != kWritten) {
            s->error = errno;
            return;
        }
    }
}

bool read_whole(int fd, void *data, size_t n)
{
    for (char *to = static_cast<char *>(data); n > 0;) {
        ssize_t got = read(fd, to, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        to += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Unpacks every second frame from the second on in a child process. Returns
// its process id and, in *REPORT, the pipe its share comes through; or -1
// when no child could be started.
pid_t start_child(int fd, const Payload &p, const Record &r, int *report)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    const pid_t launcher = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // It ends with the launcher, and a signal that ends the run ends it
        // at once: the launcher cleans up, as it does without it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != launcher)
            _exit(1);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        close(ends[0]);
        unpack_share(fd, p, r, 1, 2, &theirs);
        // _exit: nothing of ours, such as buffered output, is written twice.
        _exit(write_all(ends[1], reinterpret_cast<const unsigned char *>(&theirs), sizeof theirs) ? 0 : 1);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return -1;
    }
    *report = ends[0];
    return pid;
}

void collect_child(pid_t pid, int report)
{
    const bool told = read_whole(report, &theirs, sizeof theirs);
    close(report);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    // Killed before it could say: its frames are not written.
    if (!told) {
        theirs.outcome = kShortWrite;
        theirs.error = EIO;
    }
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
    // reading and writing within the payload, the wizard's length (which the
    // file's length word, written_size, holds as a signed 4-byte word), the
    // frame buffer and the frames' checksums. A build with frames smaller
    // than the largest can record more frames than those hold.
    const Record r = {seal_field(p.unpacked + QOR_UNPACKED_SIZE), seal_field(p.unpacked + QOR_UNPACKED_CRC),
                      seal_field(p.unpacked + QOR_UNPACKED_FRAME_SIZE), seal_field(p.unpacked + QOR_UNPACKED_FRAME_COUNT),
                      p.unpacked + QOR_UNPACKED_STORED_SIZES};
    if (r.size > INT32_MAX || r.frame_size == 0 || r.frame_size > kMaxFrameSize || r.count > kMaxFrames
        || r.count != (r.size == 0 ? 1 : (uint64_t{r.size} + r.frame_size - 1) / r.frame_size))
        return damaged();
    uint64_t stored_sum = 0;
    for (uint32_t k = 0; k < r.count; ++k)
        stored_sum += r.stored_size(k);
    if (stored_sum != stored)
        return damaged();

    int report = -1;
    const pid_t child = r.count > 1 ? start_child(fd, p, r, &report) : -1;
    unpack_share(fd, p, r, 0, child > 0 ? 2 : 1, &mine);
    if (child > 0) {
        // Our share failed: the run ends without the child's.
        if (mine.outcome != kWritten)
            kill(child, SIGKILL);
        collect_child(child, report);
    }
    else
        theirs.outcome = kWritten;
    if (mine.outcome == kDamaged || theirs.outcome == kDamaged)
        return damaged();
    const Share *failed = mine.outcome != kWritten ? &mine : theirs.outcome != kWritten ? &theirs : nullptr;
    if (failed != nullptr) {
        errno = failed->error;
        return failed->outcome;
    }
    crc = 0;
    for (uint32_t k = 0; k < r.count; ++k)
        crc = crc32c_combine(crc, child > 0 && k % 2 == 1 ? theirs.crc[k] : mine.crc[k], r.unpacked_size(k));
    if (crc != r.crc)
        return damaged();
    return kWritten;
}
