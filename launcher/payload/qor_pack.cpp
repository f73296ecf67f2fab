// qor-pack LEVEL FRAME_LOG WIZARD PACKED HEADER: the wizard as a launcher
// stores it compressed: each 2^FRAME_LOG bytes of it (the last piece may be
// shorter) become a zstd frame of their own, one behind the other in PACKED,
// at compression level LEVEL (cmake/QorCompressedWizard.cmake). The launcher
// unpacks each frame in one piece of memory that size, and frames on two
// processor cores at once. HEADER holds the record that the launcher checks
// and finds the frames by (payload/seal_layout_t.h; payloads.S.in includes
// it). Each file is written whole under a temporary name and renamed, so that
// a build cut short leaves none half written. Uses the build machine's
// libzstd, which gives the same bytes for the same input every time.
#include "crc32c_t.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include <algorithm>
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
        fprintf(stderr, "usage: qor-pack LEVEL FRAME_LOG WIZARD PACKED HEADER\n");
        return 2;
    }
    const int level = atoi(argv[1]), frame_log = atoi(argv[2]);
    const char *wizard = argv[3], *packed = argv[4], *header = argv[5];
    std::vector<unsigned char> in;
    if (!read_file(wizard, &in))
        return fail(wizard, strerror(errno));
    // Lengths are 4-byte words in the launcher, as every payload's.
    if (in.size() > 0x7fffffff)
        return fail(wizard, "is larger than 2 GiB");

    if (frame_log < 1 || frame_log > 30)
        return fail(argv[2], "is not a frame size that the launcher can take");
    // A frame never refers back beyond its own start, so its window is at
    // most itself (zstd's smallest window being 1 KiB).
    ZSTD_CCtx *c = ZSTD_createCCtx();
    if (c == nullptr || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, std::max(frame_log, 10)))
        || ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0)))
        return fail(wizard, "the compression level is not one that zstd accepts");
    const size_t frame_size = size_t{1} << frame_log;
    std::vector<unsigned char> out;
    std::string stored_sizes;
    size_t count = 0;
    // An empty wizard is one empty frame.
    for (size_t at = 0; at < in.size() || count == 0; at += frame_size, ++count) {
        const size_t before = out.size();
        if (!compress_frame(c, in.data() + at, std::min(frame_size, in.size() - at), &out))
            return fail(wizard, "cannot be compressed");
        stored_sizes += (count == 0 ? "" : ", ") + std::to_string(out.size() - before);
    }
    ZSTD_freeCCtx(c);
    if (!write_file(packed, out.data(), out.size()))
        return fail(packed, strerror(errno));

    char fields[256];
    snprintf(fields, sizeof fields,
             "#define QOR_WIZARD_UNPACKED_SIZE %zu\n#define QOR_WIZARD_UNPACKED_CRC 0x%08x\n"
             "#define QOR_WIZARD_FRAME_SIZE %zu\n#define QOR_WIZARD_FRAME_COUNT %zu\n",
             in.size(), static_cast<unsigned>(crc32c_update(0, in.data(), in.size())), frame_size, count);
    const std::string text = "/* Written by qor-pack: the record of the compressed wizard. */\n" + std::string(fields)
                             + "#define QOR_WIZARD_FRAME_STORED_SIZES " + stored_sizes + "\n";
    if (!write_file(header, text.data(), text.size()))
        return fail(header, strerror(errno));
    return 0;
}
