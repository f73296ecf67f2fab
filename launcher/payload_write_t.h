// Writing the payloads out, and the checks that the launcher file is whole
// and undamaged. Every payload byte that leaves the launcher has been checked
// against the checksum recorded at build time (see payload/qor_seal.cpp).
#ifndef PAYLOAD_WRITE_T_H
#define PAYLOAD_WRITE_T_H

#include "payloads_t.h"

#include <sys/types.h>

// The launcher's answer when its file is cut short or damaged.
const int kDamagedFile = 74; // EBADMSG

// Run first, before any payload is used: checks that the launcher file is
// complete, that its own bytes match their checksum and that the licence
// text does. Returns 0, or kDamagedFile or errno after printing why.
int check_installer_file();

// A payload that could not be written whole, in text mode and the graphical
// launch alike: the path and errno.
inline constexpr char kExtractionFailed[] = "\n ERROR : file extraction to %s :%d\n";

const mode_t kKeepMode = static_cast<mode_t>(-1);

// One payload to write out and the messages that report it; text mode
// reports nothing on success (written_format null).
struct Extraction {
    const char *path;
    const Payload *payload;
    mode_t mode; // given before anything is written, unless kKeepMode
    const char *written_format;
    const char *not_created_format;
};

enum WriteOutcome { kWritten, kNotCreated, kShortWrite, kDamaged };

// Writes the payload of E to FD, which may be any file open for writing,
// checking every byte against the payload's checksum on the way (a
// compressed payload: before it is unpacked, and what it unpacks to as
// well). On kShortWrite errno tells why; on kDamaged what was written is
// not the payload and must not be used.
WriteOutcome write_payload_to(int fd, const Extraction &e);

// Receives the pieces of a payload as read_payload reads them; false, with
// errno set, stops the reading.
typedef bool (*PieceUser)(const unsigned char *piece, size_t n, void *context);

// Reads SIZE bytes from FROM on of P as it is stored in the launcher's file,
// one buffer at a time, continuing *CRC over them (unless CRC is null) and
// handing each piece to USE (unless null). False with errno when the file
// cannot be read or USE said false.
bool read_payload(const Payload &p, size_t from, size_t size, PieceUser use, void *context, uint32_t *crc);

// Writes N bytes of DATA to FD, at offset AT, or where the file stands when
// AT is negative, however many calls it takes. False with errno (ENOSPC when
// nothing more goes in).
bool write_all(int fd, const unsigned char *data, size_t n, off_t at = -1);

// Writes the payload of E to its path and reports it. Returns 0, or errno or
// kDamagedFile after printing the failure; a failed write leaves nothing of
// its own at the path.
int extract_payload(const Extraction &e);

#endif
