// Unpacking a payload that the build stored compressed (the wizard of a
// release build), on its way to a file.
#ifndef PAYLOAD_UNPACK_T_H
#define PAYLOAD_UNPACK_T_H

#include "payload_io_t.h"

// Writes to FD what the zstd frames stored as P unpack to. The stored bytes
// are checked against the seal before the decoder sees any of them, and what
// comes out against the lengths and CRC-32C recorded for it: more than those
// lengths is never written. On kShortWrite errno tells why.
WriteOutcome unpack_payload_to(int fd, const Payload &p);

#endif
