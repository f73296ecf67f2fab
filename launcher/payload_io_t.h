// What every way of writing a payload out stands on: the start-up check that
// the launcher file is whole and undamaged, reading a payload's stored bytes
// from that file, and writing bytes whole. Every payload byte that leaves the
// launcher has been checked against the checksum recorded at build time (see
// payload/qor_seal.cpp).
#ifndef PAYLOAD_IO_T_H
#define PAYLOAD_IO_T_H

#include "payloads_t.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// The launcher's answer when its file is cut short or damaged.
const int kDamagedFile = 74; // EBADMSG

// How writing a payload out ended. On kShortWrite errno tells why; on
// kDamaged what was written is not the payload and must not be used.
enum WriteOutcome { kWritten, kNotCreated, kShortWrite, kDamaged };

// Run first, before any payload is used: checks that the launcher file is
// complete, that its own bytes match their checksum and that the licence
// text does. Returns 0, or kDamagedFile or errno after printing why.
int check_installer_file();

// Prints that the part of the launcher file named WHAT does not match its
// checksum, and what the user can do; returns kDamagedFile.
int report_damaged(const char *what);

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

#endif
