// CRC-32C by folding with carry-less multiplication over 512-bit registers
// where the processor has it (AVX-512 with VPCLMULQDQ), else with its crc32
// instruction (SSE 4.2, every x86 processor since about 2009), else with a
// bytewise table.
//
// Why CRC-32C: it catches every error burst of up to 32 bits, every odd
// number of flipped bits and all but one in four billion other changes, and
// with the instruction it runs several times faster than copying the bytes,
// so checking costs little next to writing. It guards against accidents only
// (a cut or resumed download, a bad disk or copy): anybody who rebuilds or
// edits the file can record matching checksums. Protection against that needs
// a signature made with a key the attacker does not have.
#include "crc32c_t.h"

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QOR_CRC32C_HARDWARE 1
#endif

namespace {

const uint32_t kPolynomial = 0x82f63b78; // reflected

// Polynomial product A * B modulo the CRC polynomial, both in the reflected
// bit order of the CRC register (bit 31 is x^0).
constexpr uint32_t multiply_mod_p(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t m = 0x80000000u; m != 0; m >>= 1) {
        if (a & m)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// x^n modulo the polynomial.
constexpr uint32_t x_to_the(uint64_t n)
{
    uint32_t result = 0x80000000u, square = 0x40000000u; // x^0, x^1
    for (; n != 0; n >>= 1) {
        if (n & 1)
            result = multiply_mod_p(result, square);
        square = multiply_mod_p(square, square);
    }
    return result;
}

uint32_t crc32c_bytes(uint32_t crc, const unsigned char *data, size_t n)
{
    static uint32_t table[256];
    if (table[1] == 0) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
            table[i] = c;
        }
    }
    while (n-- > 0)
        crc = table[(crc ^ *data++) & 0xff] ^ (crc >> 8);
    return crc;
}

#ifdef QOR_CRC32C_HARDWARE
#ifdef __x86_64__
typedef uint64_t word_t;
#define CRC_WORD _mm_crc32_u64
#else
typedef uint32_t word_t;
#define CRC_WORD _mm_crc32_u32
#endif

// The instruction takes three cycles but can start one per cycle: three
// independent streams over adjacent blocks keep it busy, and their CRCs are
// joined by shifting each over the blocks that follow it.
const size_t kBlock = 64 * 1024;
constexpr uint32_t kShiftOverBlock = x_to_the(8 * kBlock);

__attribute__((target("sse4.2"))) uint32_t crc32c_hardware(uint32_t crc, const unsigned char *data, size_t n)
{
    word_t c0 = crc;
    while (n >= 3 * kBlock) {
        word_t c1 = 0, c2 = 0;
        for (size_t i = 0; i < kBlock; i += sizeof(word_t)) {
            word_t w0, w1, w2;
            memcpy(&w0, data + i, sizeof w0);
            memcpy(&w1, data + kBlock + i, sizeof w1);
            memcpy(&w2, data + 2 * kBlock + i, sizeof w2);
            c0 = CRC_WORD(static_cast<uint32_t>(c0), w0);
            c1 = CRC_WORD(static_cast<uint32_t>(c1), w1);
            c2 = CRC_WORD(static_cast<uint32_t>(c2), w2);
        }
        c0 = multiply_mod_p(kShiftOverBlock, static_cast<uint32_t>(c0)) ^ static_cast<uint32_t>(c1);
        c0 = multiply_mod_p(kShiftOverBlock, static_cast<uint32_t>(c0)) ^ static_cast<uint32_t>(c2);
        data += 3 * kBlock;
        n -= 3 * kBlock;
    }
    for (; n >= sizeof(word_t); n -= sizeof(word_t), data += sizeof(word_t)) {
        word_t w;
        memcpy(&w, data, sizeof w);
        c0 = CRC_WORD(static_cast<uint32_t>(c0), w);
    }
    uint32_t c = static_cast<uint32_t>(c0);
    for (; n > 0; --n)
        c = _mm_crc32_u8(c, *data++);
    return c;
}

// Folding: 128 bits V, the first 64 (LO) of higher degree, are carried
// over the next D bits of data by LO * x^(D+64) + HI * x^D, both congruent
// modulo the polynomial to products of at most 96 bits, so the result fits
// the 128-bit lane D bits on. A carry-less product of two reflected operands
// comes out one bit up: the constants are one power lower to make up for it.
// They sit in the upper half of their 64 bits, as reflected 64-bit values.
constexpr uint64_t fold_lo(uint64_t d) { return uint64_t(x_to_the(d + 63)) << 32; }
constexpr uint64_t fold_hi(uint64_t d) { return uint64_t(x_to_the(d - 1)) << 32; }

#define QOR_FOLD_TARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.2")))

// Over 256, 64 and 16 bytes; worked out by the compiler.
struct FoldConstants {
    long long lo, hi;
};
constexpr FoldConstants kOver256 = {static_cast<long long>(fold_lo(2048)), static_cast<long long>(fold_hi(2048))};
constexpr FoldConstants kOver64 = {static_cast<long long>(fold_lo(512)), static_cast<long long>(fold_hi(512))};
constexpr FoldConstants kOver16 = {static_cast<long long>(fold_lo(128)), static_cast<long long>(fold_hi(128))};

QOR_FOLD_TARGET __m128i fold_constants(const FoldConstants &k)
{
    return _mm_set_epi64x(k.hi, k.lo);
}

QOR_FOLD_TARGET __m512i fold_constants_x4(const FoldConstants &k)
{
    return _mm512_set4_epi64(k.hi, k.lo, k.hi, k.lo);
}

QOR_FOLD_TARGET __m128i fold_128(__m128i v, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(v, k, 0x00), _mm_clmulepi64_si128(v, k, 0x11)), next);
}

QOR_FOLD_TARGET __m512i fold_512(__m512i v, __m512i k, __m512i next)
{
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(v, k, 0x00), _mm512_clmulepi64_epi128(v, k, 0x11),
                                     next, 0x96);
}

// Four 512-bit accumulators run over 256 bytes at a time and are folded into
// one 128-bit value at the end, whose own CRC is that of all the data: the
// crc32 instruction takes it, and the bytes that were left over.
QOR_FOLD_TARGET uint32_t crc32c_folding(uint32_t crc, const unsigned char *data, size_t n)
{
    if (n >= 256) {
        __m512i a0 = _mm512_loadu_si512(data), a1 = _mm512_loadu_si512(data + 64);
        __m512i a2 = _mm512_loadu_si512(data + 128), a3 = _mm512_loadu_si512(data + 192);
        a0 = _mm512_xor_si512(a0, _mm512_maskz_set1_epi32(1, static_cast<int>(crc)));
        const __m512i over256 = fold_constants_x4(kOver256);
        for (data += 256, n -= 256; n >= 256; data += 256, n -= 256) {
            a0 = fold_512(a0, over256, _mm512_loadu_si512(data));
            a1 = fold_512(a1, over256, _mm512_loadu_si512(data + 64));
            a2 = fold_512(a2, over256, _mm512_loadu_si512(data + 128));
            a3 = fold_512(a3, over256, _mm512_loadu_si512(data + 192));
        }
        const __m512i over64 = fold_constants_x4(kOver64);
        a3 = fold_512(fold_512(fold_512(a0, over64, a1), over64, a2), over64, a3);
        const __m128i over16 = fold_constants(kOver16);
        __m128i lanes[4];
        _mm512_storeu_si512(lanes, a3);
        __m128i v = fold_128(fold_128(fold_128(lanes[0], over16, lanes[1]), over16, lanes[2]), over16, lanes[3]);
        for (; n >= 16; data += 16, n -= 16)
            v = fold_128(v, over16, _mm_loadu_si128(reinterpret_cast<const __m128i *>(data)));
        crc = _mm_crc32_u32(0, static_cast<uint32_t>(_mm_cvtsi128_si32(v)));
        crc = _mm_crc32_u32(crc, static_cast<uint32_t>(_mm_extract_epi32(v, 1)));
        crc = _mm_crc32_u32(crc, static_cast<uint32_t>(_mm_extract_epi32(v, 2)));
        crc = _mm_crc32_u32(crc, static_cast<uint32_t>(_mm_extract_epi32(v, 3)));
    }
    return crc32c_hardware(crc, data, n);
}

enum Method { kTable, kInstruction, kFolding };

Method fastest_method()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_SSE4_2) == 0)
        return kTable;
    const bool os_saves_zmm = [c] {
        if ((c & bit_OSXSAVE) == 0 || (c & bit_PCLMUL) == 0)
            return false;
        unsigned lo, hi;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        return (lo & 0xe6) == 0xe6; // SSE, AVX, opmask and both halves of zmm
    }();
    if (os_saves_zmm && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX512F) != 0
        && (c & bit_VPCLMULQDQ) != 0)
        return kFolding;
    return kInstruction;
}
#endif

} // namespace

uint32_t crc32c_update(uint32_t crc, const unsigned char *data, size_t n)
{
    crc = ~crc;
#ifdef QOR_CRC32C_HARDWARE
    // Asked once; a plain variable, as a function-local static would bring in
    // the C++ runtime's guard functions.
    static int method = -1;
    if (method < 0)
        method = fastest_method();
    if (method == kFolding)
        crc = crc32c_folding(crc, data, n);
    else if (method == kInstruction)
        crc = crc32c_hardware(crc, data, n);
    else
        crc = crc32c_bytes(crc, data, n);
#else
    crc = crc32c_bytes(crc, data, n);
#endif
    return ~crc;
}

uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b)
{
    return multiply_mod_p(x_to_the(8 * length_b), crc_a) ^ crc_b;
}
