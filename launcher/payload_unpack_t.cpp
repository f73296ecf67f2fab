// The compressed wizard unpacked by Debian's zstd decoder (linked in
// statically, built for musl by tools/build-musl-zstd.sh) in memory of our
// own: no heap, and no more than the decoder's window whatever the wizard's
// size. The window is the stretch of output that later data may copy from;
// the build compressed with 2^QOR_WIZARD_WINDOW_LOG bytes of it
// (cmake/QorCompressedWizard.cmake), and the decoder is held to that.
#include "payload_unpack_t.h"

#include "crc32c_t.h"

#include <errno.h>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_initStaticDStream: the decoder in memory we give it
#include <zstd.h>

namespace {

// The window, and the decoder's tables and input block on top of it, which
// take about 250 KiB in zstd 1.5. In .bss: no bytes in the file, and memory
// only as it is used.
alignas(64) unsigned char workspace[(size_t{1} << QOR_WIZARD_WINDOW_LOG) + 512 * 1024];

// One block, the most that the decoder hands out at a time.
alignas(4096) unsigned char unpacked[ZSTD_BLOCKSIZE_MAX];

struct Unpacking {
    ZSTD_DStream *stream;
    int fd;
    uint32_t expected; // the recorded length
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

// Decodes one piece of the stored frame and writes out what it yields.
bool unpack_piece(const unsigned char *piece, size_t n, void *context)
{
    Unpacking &u = *static_cast<Unpacking *>(context);
    ZSTD_inBuffer in = {piece, n, 0};
    for (;;) {
        // The payload is one frame: nothing may follow its end.
        if (u.frame_ended)
            return in.pos == in.size || refuse(u);
        ZSTD_outBuffer out = {unpacked, sizeof unpacked, 0};
        const size_t left = ZSTD_decompressStream(u.stream, &out, &in);
        if (ZSTD_isError(left) || out.pos > u.expected - u.written)
            return refuse(u);
        u.crc = crc32c_update(u.crc, unpacked, out.pos);
        if (!write_all(u.fd, unpacked, out.pos))
            return false;
        u.written += static_cast<uint32_t>(out.pos);
        // 0: the frame is decoded and all of it handed out.
        u.frame_ended = left == 0;
        // A full block may have more behind it, even with the piece used up.
        if (!u.frame_ended && in.pos == in.size && out.pos < out.size)
            return true;
    }
}

} // namespace

WriteOutcome unpack_payload_to(int fd, const Payload &p)
{
    uint32_t crc = 0;
    if (!read_payload(p, nullptr, nullptr, &crc))
        return kShortWrite;
    if (crc != seal_field(p.crc)) {
        errno = kDamagedFile;
        return kDamaged;
    }

    Unpacking u = {ZSTD_initStaticDStream(workspace, sizeof workspace), fd, seal_field(p.unpacked), 0, 0, false,
                   false};
    // A frame that asks for a larger window than the build gave it is refused
    // by the decoder as damaged, before it could run out of workspace.
    if (u.stream == nullptr
        || ZSTD_isError(ZSTD_DCtx_setParameter(u.stream, ZSTD_d_windowLogMax, QOR_WIZARD_WINDOW_LOG))) {
        errno = ENOMEM;
        return kShortWrite;
    }
    crc = 0;
    if (!read_payload(p, unpack_piece, &u, &crc))
        return u.damaged ? kDamaged : kShortWrite;
    // Read twice, the stored bytes must not have changed in between.
    if (crc != seal_field(p.crc) || !u.frame_ended || u.written != u.expected
        || u.crc != seal_field(p.unpacked + 4)) {
        errno = kDamagedFile;
        return kDamaged;
    }
    return kWritten;
}
