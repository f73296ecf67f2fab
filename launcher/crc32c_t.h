// CRC-32C (Castagnoli), the checksum that guards the payloads and the
// launcher's own bytes against accidental damage. Shared by the launcher and
// the build step that records the checksums, so both agree by construction.
#ifndef CRC32C_T_H
#define CRC32C_T_H

#include <stddef.h>
#include <stdint.h>

// Continues a CRC over N more bytes. Start with 0; the result of one call is
// the start of the next, so data may come in pieces of any size.
uint32_t crc32c_update(uint32_t crc, const unsigned char *data, size_t n);

// The CRC of A followed by B, from the CRC of each and the length of B.
uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

#endif
