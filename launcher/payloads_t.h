// What the payload file provides (payload/payloads.S.in, made for each
// launcher by the build): the three payloads, each followed by its length
// word, and the seal of checksums that qor-seal records after linking.
// Whoever reads a payload includes this header, and only this one, for it.
#ifndef PAYLOADS_T_H
#define PAYLOADS_T_H

#include "payload/seal_layout_t.h"

#include <stdint.h>
#include <string.h>

extern "C" const unsigned char qorlicensetext[];
extern "C" const int32_t qorlicensetext_size;
extern "C" const unsigned char qornativeinstaller[];
extern "C" const int32_t qornativeinstaller_size;
extern "C" const unsigned char qoruiinstaller[];
extern "C" const int32_t qoruiinstaller_size;

// The seal's fields; unaligned, read them with memcpy.
extern "C" const unsigned char qorseal[];
extern "C" const unsigned char qorlicensetext_crc[4];
extern "C" const unsigned char qornativeinstaller_crc[4];
extern "C" const unsigned char qoruiinstaller_crc[4];
extern "C" const unsigned char qorseal_file_size[8];
extern "C" const unsigned char qorseal_crc[4];

// Built with QOR_WIZARD_COMPRESSED 1, the wizard payload is zstd frames, and
// the seal is followed by the record of what they unpack to
// (payload/seal_layout_t.h).
#if QOR_WIZARD_COMPRESSED
extern "C" const unsigned char qoruiinstaller_unpacked[];
inline const unsigned char *const kWizardUnpacked = qoruiinstaller_unpacked;
#else
inline const unsigned char *const kWizardUnpacked = nullptr;
#endif

// Each length word stands right behind its payload and may be unaligned:
// read it with memcpy, never through an int pointer.
inline int32_t payload_size(const int32_t *size_word)
{
    int32_t size;
    memcpy(&size, size_word, sizeof size);
    return size;
}

// A 4-byte field of the seal or of the unpacked wizard's record; unaligned.
inline uint32_t seal_field(const unsigned char *field)
{
    uint32_t value;
    memcpy(&value, field, sizeof value);
    return value;
}

// One payload: its bytes, its length word, its recorded checksum and the
// name that messages give it. UNPACKED is null for a payload stored as it
// is written out; for a compressed one it points to the record of what it
// unpacks to, whose first field is the length.
struct Payload {
    const unsigned char *data;
    const int32_t *size_word;
    const unsigned char *crc;
    const char *name;
    const unsigned char *unpacked;
};

// The length of the payload as written out.
inline int32_t written_size(const Payload &p)
{
    return p.unpacked != nullptr ? static_cast<int32_t>(seal_field(p.unpacked + QOR_UNPACKED_SIZE))
                                 : payload_size(p.size_word);
}

// In the order in which they lie in the file.
enum PayloadIndex { kLicencePayload, kPackagePayload, kWizardPayload };
inline const Payload kPayloads[QOR_PAYLOAD_COUNT] = {
    {qorlicensetext, &qorlicensetext_size, qorlicensetext_crc, "license text", nullptr},
    {qornativeinstaller, &qornativeinstaller_size, qornativeinstaller_crc, "native installer", nullptr},
    {qoruiinstaller, &qoruiinstaller_size, qoruiinstaller_crc, "ui installer", kWizardUnpacked},
};

#endif
