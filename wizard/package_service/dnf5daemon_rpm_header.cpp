// The few facts of an RPM file's main header that explain a refusal: its
// name, its architecture and what it requires.
#include "dnf5daemon_session.h"

#include <QFile>

namespace {

const int kLeadSize = 96;
const int kHeaderIntro = 16; // magic, 4 reserved bytes, entry count, data size
const int kEntrySize = 16;   // tag, type, offset, count
const quint32 kMaxEntries = 65536;
const quint32 kMaxData = 64 * 1024 * 1024;
const char kHeaderMagic[] = "\x8e\xad\xe8\x01";
enum { TagName = 1000, TagArch = 1022, TagRequireName = 1049, TypeString = 6, TypeStringArray = 8 };

quint32 bigEndian(const QByteArray &bytes, int at)
{
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes.constData() + at);
    return quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | quint32(b[3]);
}

// A header at the file's position: its index and its data, or false.
bool readHeader(QFile &file, QByteArray *index, QByteArray *data)
{
    const QByteArray intro = file.read(kHeaderIntro);
    if (intro.size() != kHeaderIntro || !intro.startsWith(QByteArray(kHeaderMagic, 4)))
        return false;
    const quint32 entries = bigEndian(intro, 8), size = bigEndian(intro, 12);
    if (entries > kMaxEntries || size > kMaxData)
        return false;
    *index = file.read(qint64(entries) * kEntrySize);
    *data = file.read(size);
    return index->size() == int(entries * kEntrySize) && data->size() == int(size);
}

} // namespace

bool readRpmHeaderFacts(const QString &path, RpmHeaderFacts *facts)
{
    QFile file(path);
    QByteArray index, data;
    if (!file.open(QIODevice::ReadOnly) || !file.seek(kLeadSize) || !readHeader(file, &index, &data))
        return false;
    // The signature header is padded to a multiple of 8 bytes.
    const qint64 end = kLeadSize + kHeaderIntro + index.size() + data.size();
    if (!file.seek((end + 7) / 8 * 8) || !readHeader(file, &index, &data))
        return false;
    for (int at = 0; at < index.size(); at += kEntrySize) {
        const quint32 tag = bigEndian(index, at), type = bigEndian(index, at + 4);
        quint32 offset = bigEndian(index, at + 8);
        const quint32 count = type == TypeStringArray ? bigEndian(index, at + 12) : 1;
        if (type != TypeString && type != TypeStringArray)
            continue;
        QStringList strings;
        for (quint32 i = 0; i < count && offset < quint32(data.size()); ++i) {
            const int stop = data.indexOf('\0', int(offset));
            if (stop < 0)
                break;
            strings << QString::fromUtf8(data.constData() + offset, stop - int(offset));
            offset = quint32(stop) + 1;
        }
        if (tag == TagName)
            facts->name = strings.value(0);
        else if (tag == TagArch)
            facts->arch = strings.value(0);
        else if (tag == TagRequireName)
            facts->requires_ = strings;
    }
    return !facts->name.isEmpty();
}
