#include "wordcrypt/worddocfile.h"

#include <QCryptographicHash>
#include <QtEndian>
#include <array>
#include <vector>

namespace korvane::wordcrypt {

namespace {

constexpr quint32 kEndOfChain = 0xFFFFFFFE;
constexpr quint32 kMaxSector = 0xFFFFFFFA;

/// A read-only view of a compound file: FAT chains, the directory and stream contents.
class CompoundFile {
public:
    explicit CompoundFile(const QByteArray& data) : m_data(data) {}

    bool parse(QString* error) {
        if (m_data.size() < 512 || !hasCompoundSignature(m_data))
            return fail(error, QStringLiteral("not a compound file"));
        const quint16 sectorShift = u16(0x1E);
        const quint16 miniShift = u16(0x20);
        if ((sectorShift != 9 && sectorShift != 12) || miniShift != 6)
            return fail(error, QStringLiteral("bad sector size"));
        m_sectorSize = 1u << sectorShift;
        m_miniCutoff = u32(0x38);

        // FAT sectors: 109 in the header, the rest along the DIFAT chain.
        std::vector<quint32> fatSectors;
        for (int i = 0; i < 109; ++i) {
            const quint32 s = u32(0x4C + 4 * i);
            if (s <= kMaxSector)
                fatSectors.push_back(s);
        }
        quint32 difat = u32(0x44);
        for (quint32 guard = 0; difat <= kMaxSector && guard < 100000; ++guard) {
            const qint64 base = sectorOffset(difat);
            if (base < 0)
                return fail(error, QStringLiteral("bad DIFAT"));
            const quint32 perSector = m_sectorSize / 4 - 1;
            for (quint32 i = 0; i < perSector; ++i) {
                const quint32 s = u32(base + 4 * i);
                if (s <= kMaxSector)
                    fatSectors.push_back(s);
            }
            difat = u32(base + 4 * perSector);
        }
        for (quint32 s : fatSectors) {
            const qint64 base = sectorOffset(s);
            if (base < 0)
                return fail(error, QStringLiteral("bad FAT sector"));
            for (quint32 i = 0; i < m_sectorSize / 4; ++i)
                m_fat.push_back(u32(base + 4 * i));
        }
        if (!readChain(m_fat, u32(0x30), &m_directory, false))
            return fail(error, QStringLiteral("bad directory"));
        if (m_directory.size() < 128)
            return fail(error, QStringLiteral("empty directory"));
        // Root entry: the mini stream; the mini FAT from the header.
        QByteArray miniFatBytes;
        if (u32(0x3C) <= kMaxSector && !readChain(m_fat, u32(0x3C), &miniFatBytes, false))
            return fail(error, QStringLiteral("bad mini FAT"));
        for (qsizetype i = 0; i + 4 <= miniFatBytes.size(); i += 4)
            m_miniFat.push_back(qFromLittleEndian<quint32>(miniFatBytes.constData() + i));
        const quint32 rootStart = qFromLittleEndian<quint32>(m_directory.constData() + 0x74);
        if (rootStart <= kMaxSector && !readChain(m_fat, rootStart, &m_miniStream, false))
            return fail(error, QStringLiteral("bad mini stream"));
        return true;
    }

    std::optional<QByteArray> stream(const QString& name) const {
        for (qsizetype off = 0; off + 128 <= m_directory.size(); off += 128) {
            const char* e = m_directory.constData() + off;
            const quint16 nameBytes = qFromLittleEndian<quint16>(e + 0x40);
            if (e[0x42] != 2 || nameBytes < 2 || nameBytes > 64)
                continue;
            const QString entryName =
                QString::fromUtf16(reinterpret_cast<const char16_t*>(e), nameBytes / 2 - 1);
            if (entryName != name)
                continue;
            const quint32 start = qFromLittleEndian<quint32>(e + 0x74);
            const quint32 size = qFromLittleEndian<quint32>(e + 0x78);
            QByteArray bytes;
            const bool mini = size < m_miniCutoff;
            if (!readChain(mini ? m_miniFat : m_fat, start, &bytes, mini) || bytes.size() < qsizetype(size))
                return std::nullopt;
            bytes.truncate(size);
            return bytes;
        }
        return std::nullopt;
    }

private:
    static bool fail(QString* error, const QString& text) {
        if (error)
            *error = text;
        return false;
    }
    quint16 u16(qint64 at) const { return qFromLittleEndian<quint16>(m_data.constData() + at); }
    quint32 u32(qint64 at) const {
        if (at < 0 || at + 4 > m_data.size())
            return kEndOfChain;
        return qFromLittleEndian<quint32>(m_data.constData() + at);
    }
    qint64 sectorOffset(quint32 sector) const {
        const qint64 base = (qint64(sector) + 1) * m_sectorSize;
        return base + m_sectorSize <= m_data.size() ? base : -1;
    }

    bool readChain(const std::vector<quint32>& fat, quint32 start, QByteArray* out, bool mini) const {
        const quint32 unit = mini ? 64 : m_sectorSize;
        quint32 sector = start;
        // A chain can never be longer than the table that describes it: this ends cycles.
        for (size_t steps = 0; sector != kEndOfChain; ++steps) {
            if (sector > kMaxSector || sector >= fat.size() || steps > fat.size())
                return false;
            if (mini) {
                const qint64 at = qint64(sector) * unit;
                if (at + unit > m_miniStream.size())
                    return false;
                out->append(m_miniStream.constData() + at, unit);
            } else {
                const qint64 at = sectorOffset(sector);
                if (at < 0)
                    return false;
                out->append(m_data.constData() + at, unit);
            }
            sector = fat[sector];
        }
        return true;
    }

    const QByteArray& m_data;
    quint32 m_sectorSize = 512;
    quint32 m_miniCutoff = 4096;
    std::vector<quint32> m_fat;
    std::vector<quint32> m_miniFat;
    QByteArray m_directory;
    QByteArray m_miniStream;
};

constexpr quint16 kFibMagic = 0xA5EC;
constexpr quint16 fEncrypted = 0x0100;
constexpr quint16 fWhichTblStm = 0x0200;
constexpr quint16 fReadOnlyRecommended = 0x0400;
constexpr quint16 fWriteReservation = 0x0800;
constexpr quint16 fObfuscated = 0x8000;

void rc4(const QByteArray& key, QByteArray& data) {
    std::array<quint8, 256> s;
    for (int i = 0; i < 256; ++i)
        s[i] = quint8(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + quint8(key[i % key.size()])) & 0xFF;
        std::swap(s[i], s[j]);
    }
    for (qsizetype n = 0, i = 0, j = 0; n < data.size(); ++n) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        data[n] = char(quint8(data[n]) ^ s[(s[i] + s[j]) & 0xFF]);
    }
}

QByteArray md5(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
}

} // namespace

bool hasCompoundSignature(const QByteArray& head) {
    static const QByteArray signature = QByteArray::fromHex("D0CF11E0A1B11AE1");
    return head.startsWith(signature);
}

std::optional<WordFileState> inspectWordFile(const QByteArray& file, QString* error) {
    CompoundFile cf(file);
    if (!cf.parse(error))
        return std::nullopt;
    const std::optional<QByteArray> word = cf.stream(QStringLiteral("WordDocument"));
    if (!word || word->size() < 32 || qFromLittleEndian<quint16>(word->constData()) != kFibMagic) {
        if (error)
            *error = QStringLiteral("no Word 97 document stream");
        return std::nullopt;
    }
    const quint16 flags = qFromLittleEndian<quint16>(word->constData() + 0x0A);
    WordFileState state;
    state.encrypted = flags & fEncrypted;
    state.obfuscated = flags & fObfuscated;
    state.writeReserved = flags & fWriteReservation;
    state.readOnlyRecommended = flags & fReadOnlyRecommended;
    return state;
}

bool rc4PasswordMatches(const QByteArray& file, const QString& password) {
    CompoundFile cf(file);
    if (!cf.parse(nullptr))
        return false;
    const std::optional<QByteArray> word = cf.stream(QStringLiteral("WordDocument"));
    if (!word || word->size() < 32)
        return false;
    const quint16 flags = qFromLittleEndian<quint16>(word->constData() + 0x0A);
    if (!(flags & fEncrypted) || (flags & fObfuscated))
        return false;
    const std::optional<QByteArray> table =
        cf.stream((flags & fWhichTblStm) ? QStringLiteral("1Table") : QStringLiteral("0Table"));
    // EncryptionVersionInfo 1.1, then salt, encrypted verifier and its encrypted MD5.
    if (!table || table->size() < 52 || qFromLittleEndian<quint16>(table->constData()) != 1 ||
        qFromLittleEndian<quint16>(table->constData() + 2) != 1)
        return false;
    const QByteArray salt = table->mid(4, 16);
    QByteArray verifier = table->mid(20, 32);

    QByteArray utf16;
    for (QChar c : password) {
        utf16.append(char(c.unicode() & 0xFF));
        utf16.append(char(c.unicode() >> 8));
    }
    const QByteArray h0 = md5(utf16).left(5);
    QByteArray buffer;
    for (int i = 0; i < 16; ++i)
        buffer += h0 + salt;
    const QByteArray h1 = md5(buffer).left(5);
    const QByteArray key = md5(h1 + QByteArray(4, '\0')); // block 0
    rc4(key, verifier);
    return md5(verifier.left(16)) == verifier.mid(16, 16);
}

} // namespace korvane::wordcrypt
