// Writing the payloads out to their files, each byte checked on the way.
#ifndef PAYLOAD_WRITE_T_H
#define PAYLOAD_WRITE_T_H

#include "payload_io_t.h"

#include <sys/types.h>

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

// Writes the payload of E to FD, which may be any file open for writing,
// checking every byte against the payload's checksum on the way (a
// compressed payload: before it is unpacked, and what it unpacks to as
// well). On kShortWrite errno tells why; on kDamaged what was written is
// not the payload and must not be used.
WriteOutcome write_payload_to(int fd, const Extraction &e);

// Writes the payload of E to its path and reports it. Returns 0, or errno or
// kDamagedFile after printing the failure; a failed write leaves nothing of
// its own at the path.
int extract_payload(const Extraction &e);

#endif
