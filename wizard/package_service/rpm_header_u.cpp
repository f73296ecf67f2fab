#include "rpm_header_u.h"

#include <QByteArray>
#include <QFile>
#include <QHash>

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
const quint32 kMaxStore = 64 << 20;

// The signature header's tags that hold an OpenPGP signature: over the
// header (DSA, RSA, rpm 6's OPENPGP) or over header and payload (PGP, GPG,
// PGP5). Digests (SHA1, SHA256, MD5, sizes) are no signatures.
bool isSignatureTag(quint32 tag)
{
    return tag == 267 || tag == 268 || tag == 278 || tag == 1002 || tag == 1005 || tag == 1006;
}

// The main header's tags and types that are read, and the flags of a
// requirement.
enum : quint32 {
    TagName = 1000, TagVersion = 1001, TagRelease = 1002, TagArch = 1022, TagProvideName = 1047,
    TagRequireFlags = 1048, TagRequireName = 1049, TagRequireVersion = 1050
};
enum : quint32 { TypeInt32 = 4, TypeString = 6, TypeStringArray = 8, TypeI18nString = 9 };
enum : quint32 { SenseLess = 2, SenseGreater = 4, SenseEqual = 8, SenseRpmlib = 1u << 24 };

quint32 bigEndian(const char *bytes)
{
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes);
    return quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | quint32(b[3]);
}

// One header: its entries by tag (type, offset, count) and its data store.
struct Header {
    struct Entry { quint32 type, offset, count; };
    QHash<quint32, Entry> entries;
    QByteArray store;
    qint64 size = 0; // in the file, without padding

    // A header that cannot be read whole is none.
    bool read(QFile &file)
    {
        const QByteArray intro = file.read(kHeaderIntro);
        if (intro.size() != kHeaderIntro || memcmp(intro.constData(), kHeaderMagic, 4) != 0)
            return false;
        const quint32 count = bigEndian(intro.constData() + 8), storeSize = bigEndian(intro.constData() + 12);
        if (count > kMaxEntries || storeSize > kMaxStore)
            return false;
        const QByteArray index = file.read(qint64(count) * kEntrySize);
        if (index.size() != int(count) * kEntrySize)
            return false;
        for (quint32 i = 0; i < count; ++i) {
            const char *e = index.constData() + i * kEntrySize;
            entries.insert(bigEndian(e), {bigEndian(e + 4), bigEndian(e + 8), bigEndian(e + 12)});
        }
        store = file.read(storeSize);
        size = kHeaderIntro + index.size() + store.size();
        return store.size() == int(storeSize);
    }

    // A string array entry (one string for a string entry); entries out of
    // the store are empty.
    QStringList strings(quint32 tag) const
    {
        QStringList list;
        const auto e = entries.constFind(tag);
        if (e == entries.constEnd() || (e->type != TypeString && e->type != TypeI18nString && e->type != TypeStringArray))
            return list;
        int at = int(qMin<quint32>(e->offset, quint32(store.size())));
        for (quint32 i = 0; i < (e->type == TypeStringArray ? e->count : 1u) && i < kMaxEntries * 16; ++i) {
            const int end = store.indexOf('\0', at);
            if (end < 0)
                return QStringList();
            list << QString::fromUtf8(store.constData() + at, end - at);
            at = end + 1;
        }
        return list;
    }
    QString string(quint32 tag) const { return strings(tag).value(0); }

    QList<quint32> numbers(quint32 tag) const
    {
        QList<quint32> list;
        const auto e = entries.constFind(tag);
        if (e == entries.constEnd() || e->type != TypeInt32 || e->offset > quint32(store.size())
            || e->count > (quint32(store.size()) - e->offset) / 4)
            return list;
        for (quint32 i = 0; i < e->count; ++i)
            list << bigEndian(store.constData() + e->offset + 4 * i);
        return list;
    }
};

QString comparison(quint32 flags)
{
    QString op;
    if (flags & SenseLess)
        op += QLatin1Char('<');
    if (flags & SenseGreater)
        op += QLatin1Char('>');
    if (flags & SenseEqual)
        op += QLatin1Char('=');
    return op;
}

// What the package needs of others.
void readRequirements(const Header &main, RpmHeader *header)
{
    const QStringList names = main.strings(TagRequireName), versions = main.strings(TagRequireVersion);
    const QList<quint32> flags = main.numbers(TagRequireFlags);
    const QStringList provided = main.strings(TagProvideName);
    for (int i = 0; i < names.size(); ++i) {
        const quint32 flag = flags.value(i);
        const QString &name = names.at(i);
        if ((flag & SenseRpmlib) || name.startsWith(QLatin1String("rpmlib(")) || provided.contains(name)
            || header->requiredNames.contains(name))
            continue;
        const QString op = comparison(flag), version = versions.value(i);
        header->requiredNames << name;
        header->requires << (op.isEmpty() || version.isEmpty() ? name : name + ' ' + op + ' ' + version);
    }
}

} // namespace

RpmHeader readRpmHeader(const QString &path)
{
    RpmHeader header;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return header;
    const QByteArray lead = file.read(kLeadSize);
    Header signature;
    if (lead.size() != kLeadSize || memcmp(lead.constData(), kLeadMagic, 4) != 0 || !signature.read(file))
        return header;
    header.signature = RpmSignature::Unsigned;
    for (auto e = signature.entries.constBegin(); e != signature.entries.constEnd(); ++e) {
        if (isSignatureTag(e.key()))
            header.signature = RpmSignature::Signed;
    }
    // The main header starts on the next multiple of eight.
    Header main;
    if (!file.seek(kLeadSize + (signature.size + 7) / 8 * 8) || !main.read(file))
        return header;
    header.name = main.string(TagName);
    header.version = main.string(TagVersion);
    header.release = main.string(TagRelease);
    header.arch = main.string(TagArch);
    readRequirements(main, &header);
    return header;
}

RpmSignature rpmSignature(const QString &path)
{
    return readRpmHeader(path).signature;
}
