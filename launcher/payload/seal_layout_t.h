/* The layout of the seal, shared by the payload file (payloads.S.in, run
   through the C preprocessor), qor-seal, which fills the seal in after
   linking, and the launcher, which reads it. Plain macros: the assembler
   reads this file too. Offsets are in bytes from the seal's start. */
#ifndef SEAL_LAYOUT_T_H
#define SEAL_LAYOUT_T_H

/* Licence text, native package, wizard program. */
#define QOR_PAYLOAD_COUNT 3

/* qor-seal finds the seal by this text. */
#define QOR_SEAL_MAGIC "qor-setup seal 1"
#define QOR_SEAL_MAGIC_SIZE 16
/* Per payload, two 4-byte offsets from the seal: to its bytes, to its length word. */
#define QOR_SEAL_DELTAS QOR_SEAL_MAGIC_SIZE
/* Per payload, its 4-byte CRC-32C. */
#define QOR_SEAL_PAYLOAD_CRCS (QOR_SEAL_DELTAS + 8 * QOR_PAYLOAD_COUNT)
/* The size of the whole launcher file, 8 bytes. */
#define QOR_SEAL_FILE_SIZE (QOR_SEAL_PAYLOAD_CRCS + 4 * QOR_PAYLOAD_COUNT)
/* The CRC-32C of the launcher's own bytes, 4 bytes, and 4 bytes to spare. */
#define QOR_SEAL_CRC (QOR_SEAL_FILE_SIZE + 8)
#define QOR_SEAL_SIZE (QOR_SEAL_CRC + 8)

/* Only where the wizard payload is stored compressed, right behind the seal:
   the record of what it unpacks to. It is part of the launcher's own bytes
   and so checked with them. Its fields, 4 bytes each, from its start: */
#define QOR_SEAL_UNPACKED QOR_SEAL_SIZE
/* The length and CRC-32C of the wizard as it is written out. */
#define QOR_UNPACKED_SIZE 0
#define QOR_UNPACKED_CRC 4
/* It is stored as zstd frames, one behind the other: each unpacks to this
   many bytes of it, the last to the rest. */
#define QOR_UNPACKED_FRAME_SIZE 8
#define QOR_UNPACKED_FRAME_COUNT 12
/* The stored length of each frame, in order. */
#define QOR_UNPACKED_STORED_SIZES 16

#endif
