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

/* Only where the wizard payload is stored compressed (two zstd frames, its
   halves), right behind the seal, 4 bytes each: the length and CRC-32C of
   the wizard as it is written out, the stored length of the first frame and
   the length it unpacks to. They are part of the launcher's own bytes and so
   checked with them. */
#define QOR_SEAL_UNPACKED QOR_SEAL_SIZE
#define QOR_SEAL_UNPACKED_SIZE 16

#endif
