#include "rpm_signature_u.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstring>

namespace {

// The fixed lead in front of the signature header, and the magic of every
// header.
const int kLeadSize = 96;
const unsigned char kLeadMagic[] = {0xed, 0xab, 0xee, 0xdb};
const unsigned char kHeaderMagic[] = {0x8e, 0xad, 0xe8, 0x01};
const int kHeaderIntro = 16;  // magic, 4 reserved bytes, entry count, data size
const int kEntrySize = 16;    // tag, type, offset, count
const quint32 kMaxEntries = 4096;

// The signature header's tags that hold an OpenPGP signature: over the
// header (DSA, RSA, rpm 6's OPENPGP) or over header and payload (PGP, GPG,
// PGP5). Digests (SHA1, SHA256, MD5, sizes) are no signatures.
bool isSignatureTag(quint32 tag)
{
    return tag == 267 || tag == 268 || tag == 278 || tag == 1002 || tag == 1005 || tag == 1006;
}

quint32 bigEndian(const char *bytes)
{
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes);
    return quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | quint32(b[3]);
}

} // namespace

RpmSignature rpmSignature(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return RpmSignature::NotAnRpm;
    const QByteArray intro = file.read(kLeadSize + kHeaderIntro);
    if (intro.size() != kLeadSize + kHeaderIntro || memcmp(intro.constData(), kLeadMagic, 4) != 0
        || memcmp(intro.constData() + kLeadSize, kHeaderMagic, 4) != 0)
        return RpmSignature::NotAnRpm;
    const quint32 entries = bigEndian(intro.constData() + kLeadSize + 8);
    if (entries > kMaxEntries)
        return RpmSignature::NotAnRpm;
    const QByteArray index = file.read(qint64(entries) * kEntrySize);
    if (index.size() != int(entries) * kEntrySize)
        return RpmSignature::NotAnRpm;
    for (quint32 i = 0; i < entries; ++i) {
        if (isSignatureTag(bigEndian(index.constData() + i * kEntrySize)))
            return RpmSignature::Signed;
    }
    return RpmSignature::Unsigned;
}
