// qor-seal LAUNCHER: records in a freshly linked launcher the checksums that
// it checks at run time (the layout of the seal is in payloads.S.in). Runs
// after the link and after any stripping: a file changed afterwards no longer
// matches its seal, and the launcher refuses to run.
//
// The launcher's own checksum covers every byte of the file except the three
// payloads' bytes (their size words included) with its own field as zero;
// each payload has a checksum of its own, checked while it is written out.
#include "crc32c_t.h"
#include "seal_layout_t.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

namespace {

const char kMagic[QOR_SEAL_MAGIC_SIZE + 1] = QOR_SEAL_MAGIC;
const size_t kDeltas = QOR_SEAL_DELTAS, kPayloadCrcs = QOR_SEAL_PAYLOAD_CRCS, kFileSize = QOR_SEAL_FILE_SIZE,
             kSealCrc = QOR_SEAL_CRC, kSealSize = QOR_SEAL_SIZE;
const int kCount = QOR_PAYLOAD_COUNT;

uint64_t le(const unsigned char *p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

void put_le(unsigned char *p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i, v >>= 8)
        p[i] = static_cast<unsigned char>(v);
}

struct Segment {
    uint64_t offset, vaddr, filesz;
};

// The file-backed parts of the loadable segments of a little-endian ELF file.
bool load_segments(const std::vector<unsigned char> &f, std::vector<Segment> *segments)
{
    if (f.size() < 52 || memcmp(f.data(), "\177ELF", 4) != 0 || f[5] != 1)
        return false;
    const bool wide = f[4] == 2;
    const uint64_t phoff = wide ? le(&f[32], 8) : le(&f[28], 4);
    const unsigned phentsize = static_cast<unsigned>(le(&f[wide ? 54 : 42], 2));
    const unsigned phnum = static_cast<unsigned>(le(&f[wide ? 56 : 44], 2));
    if (phoff + uint64_t(phnum) * phentsize > f.size())
        return false;
    for (unsigned i = 0; i < phnum; ++i) {
        const unsigned char *ph = &f[phoff + uint64_t(i) * phentsize];
        if (le(ph, 4) != 1) // PT_LOAD
            continue;
        if (wide)
            segments->push_back({le(ph + 8, 8), le(ph + 16, 8), le(ph + 32, 8)});
        else
            segments->push_back({le(ph + 4, 4), le(ph + 8, 4), le(ph + 16, 4)});
    }
    return true;
}

bool offset_to_vaddr(const std::vector<Segment> &segments, uint64_t offset, uint64_t *vaddr)
{
    for (const Segment &s : segments)
        if (offset >= s.offset && offset < s.offset + s.filesz) {
            *vaddr = offset - s.offset + s.vaddr;
            return true;
        }
    return false;
}

bool vaddr_to_offset(const std::vector<Segment> &segments, uint64_t vaddr, uint64_t *offset)
{
    for (const Segment &s : segments)
        if (vaddr >= s.vaddr && vaddr < s.vaddr + s.filesz) {
            *offset = vaddr - s.vaddr + s.offset;
            return true;
        }
    return false;
}

int fail(const char *path, const char *why)
{
    fprintf(stderr, "qor-seal: %s: %s\n", path, why);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: qor-seal LAUNCHER\n");
        return 2;
    }
    const char *path = argv[1];
    FILE *file = fopen(path, "r+b");
    if (file == nullptr)
        return fail(path, strerror(errno));
    std::vector<unsigned char> f;
    unsigned char chunk[1 << 16];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        f.insert(f.end(), chunk, chunk + n);

    std::vector<Segment> segments;
    if (!load_segments(f, &segments))
        return fail(path, "not a little-endian ELF file with intact program headers");
    const unsigned char *found = nullptr;
    for (size_t at = 0; at + kSealSize <= f.size() && found == nullptr; ++at)
        if (memcmp(&f[at], kMagic, QOR_SEAL_MAGIC_SIZE) == 0)
            found = &f[at];
    if (found == nullptr)
        return fail(path, "no seal found (not a qor-setup launcher?)");
    const uint64_t seal = static_cast<uint64_t>(found - f.data());
    uint64_t seal_vaddr;
    if (!offset_to_vaddr(segments, seal, &seal_vaddr))
        return fail(path, "the seal is not in a loaded segment");

    // Each payload runs from its data symbol to its size word, which must hold
    // exactly that distance: anything else means the layout is broken.
    uint64_t begin[kCount], end[kCount];
    for (int i = 0; i < kCount; ++i) {
        const int32_t to_data = static_cast<int32_t>(le(&f[seal + kDeltas + 8 * i], 4));
        const int32_t to_size = static_cast<int32_t>(le(&f[seal + kDeltas + 8 * i + 4], 4));
        if (!vaddr_to_offset(segments, seal_vaddr + to_data, &begin[i])
            || !vaddr_to_offset(segments, seal_vaddr + to_size, &end[i]) || end[i] < begin[i]
            || end[i] + 4 > f.size() || le(&f[end[i]], 4) != end[i] - begin[i] || (i > 0 && begin[i] < end[i - 1] + 4))
            return fail(path, "the payloads and their size words do not agree");
        put_le(&f[seal + kPayloadCrcs + 4 * i], crc32c_update(0, &f[begin[i]], end[i] - begin[i]), 4);
    }
    put_le(&f[seal + kFileSize], f.size(), 8);
    put_le(&f[seal + kSealCrc], 0, 4);
    uint32_t crc = 0;
    uint64_t from = 0;
    for (int i = 0; i < kCount; ++i) {
        crc = crc32c_update(crc, &f[from], begin[i] - from);
        from = end[i];
    }
    crc = crc32c_update(crc, &f[from], f.size() - from);
    put_le(&f[seal + kSealCrc], crc, 4);

    if (fseek(file, static_cast<long>(seal), SEEK_SET) != 0 || fwrite(&f[seal], 1, kSealSize, file) != kSealSize
        || fclose(file) != 0)
        return fail(path, strerror(errno));
    return 0;
}
