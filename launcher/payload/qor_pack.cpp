// qor-pack LEVEL WINDOW_LOG WIZARD PACKED HEADER: the wizard as a launcher
// stores it compressed. Its two halves become a zstd frame each, one behind
// the other in PACKED, so that the launcher unpacks them on two processor
// cores at once; LEVEL and WINDOW_LOG are the compression level and the
// window (cmake/QorCompressedWizard.cmake). HEADER records for the launcher
// the wizard's length and CRC-32C, and where the first half ends, stored and
// unpacked (payloads.S.in includes it). Each file is written whole under a
// temporary name and renamed, so that a build cut short leaves none half
// written. Uses the build machine's libzstd, which gives the same bytes for
// the same input every time.
#include "crc32c_t.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include <string>
#include <vector>

namespace {

int fail(const char *what, const char *why)
{
    fprintf(stderr, "qor-pack: %s: %s\n", what, why);
    return 1;
}

bool read_file(const char *path, std::vector<unsigned char> *data)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    unsigned char chunk[1 << 16];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;)
        data->insert(data->end(), chunk, chunk + n);
    return !ferror(f) && fclose(f) == 0;
}

bool write_file(const char *path, const void *data, size_t n)
{
    const std::string temporary = std::string(path) + ".tmp";
    FILE *f = fopen(temporary.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && written && rename(temporary.c_str(), path) == 0;
}

// Appends DATA as one frame that records its length (the launcher's decoder
// checks it) and no checksum of its own (the launcher checks a CRC-32C).
bool compress_frame(ZSTD_CCtx *c, const unsigned char *data, size_t n, std::vector<unsigned char> *out)
{
    const size_t at = out->size();
    out->resize(at + ZSTD_compressBound(n));
    const size_t size = ZSTD_compress2(c, out->data() + at, out->size() - at, data, n);
    if (ZSTD_isError(size))
        return false;
    out->resize(at + size);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: qor-pack LEVEL WINDOW_LOG WIZARD PACKED HEADER\n");
        return 2;
    }
    const int level = atoi(argv[1]), window_log = atoi(argv[2]);
    const char *wizard = argv[3], *packed = argv[4], *header = argv[5];
    std::vector<unsigned char> in;
    if (!read_file(wizard, &in))
        return fail(wizard, strerror(errno));
    // Lengths are 4-byte words in the launcher, as every payload's.
    if (in.size() > 0x7fffffff)
        return fail(wizard, "is larger than 2 GiB");

    ZSTD_CCtx *c = ZSTD_createCCtx();
    if (c == nullptr || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0)))
        return fail(wizard, "the compression level or window is not one that zstd accepts");
    const size_t half = in.size() / 2;
    std::vector<unsigned char> out;
    if (!compress_frame(c, in.data(), half, &out))
        return fail(wizard, "cannot be compressed");
    const size_t first_stored = out.size();
    if (!compress_frame(c, in.data() + half, in.size() - half, &out))
        return fail(wizard, "cannot be compressed");
    ZSTD_freeCCtx(c);
    if (!write_file(packed, out.data(), out.size()))
        return fail(packed, strerror(errno));

    char text[512];
    const int length = snprintf(text, sizeof text,
                                "/* Written by qor-pack: the wizard before compression, and where its\n"
                                "   first half ends, stored and unpacked. */\n"
                                "#define QOR_WIZARD_UNPACKED_SIZE %zu\n#define QOR_WIZARD_UNPACKED_CRC 0x%08x\n"
                                "#define QOR_WIZARD_FIRST_FRAME_STORED %zu\n#define QOR_WIZARD_FIRST_FRAME_SIZE %zu\n",
                                in.size(), static_cast<unsigned>(crc32c_update(0, in.data(), in.size())),
                                first_stored, half);
    if (!write_file(header, text, static_cast<size_t>(length)))
        return fail(header, strerror(errno));
    return 0;
}
