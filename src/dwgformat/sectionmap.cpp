#include "dwgformat/sectionmap.h"

#include "dwgformat/previewlocator.h"

#include <QtEndian>

#include <cstring>

namespace korvane::dwgformat {

namespace {

constexpr qint64 kFileHeaderAt = 0x80;
constexpr qint64 kFileHeaderBytes = 0x6C;
constexpr char kFileHeaderId[] = "AcFssFcAJMB"; // with its NUL, 12 bytes
constexpr qint64 kPageAddressBase = 0x100;      // page addresses count from the end of the header area
constexpr qint64 kSystemPageHeadBytes = 20;     // type, expanded size, compressed size, kind, checksum
constexpr quint32 kPageMapType = 0x41630E3B;
constexpr quint32 kSectionMapType = 0x4163003B;
constexpr qint64 kMaxSystemPageBytes = qint64(16) << 20; // far above a map of any real drawing
constexpr qint64 kSectionMapHeadBytes = 20;
constexpr qint64 kSectionBytes = 8 + 6 * 4 + 64; // size, six 32-bit fields, name
constexpr qint64 kSectionPageBytes = 16;
constexpr char kSecuritySection[] = "AcDb:Security";

/// A little-endian value of `bytes` at `at`, which the caller has checked to lie inside.
template <typename T> T littleEndianAt(const QByteArray& bytes, qint64 at)
{
    quint64 value = 0;
    for (qint64 i = qint64(sizeof(T)) - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return T(value);
}

/// The 0x6C bytes at 0x80 are XORed with a linear congruential sequence seeded with 1.
QByteArray decryptFileHeader(const char* stored)
{
    QByteArray plain(kFileHeaderBytes, Qt::Uninitialized);
    quint32 seed = 1;
    for (qint64 i = 0; i < kFileHeaderBytes; ++i) {
        seed = seed * 0x343FDu + 0x269EC3u;
        plain[i] = char(stored[i] ^ char(seed >> 16));
    }
    return plain;
}

/// A system page (page map or section map) at `offset`, expanded; nullopt when its head, type
/// or sizes do not hold.
std::optional<QByteArray> readSystemPage(const ByteSource& source, qint64 offset, quint32 type)
{
    char head[kSystemPageHeadBytes];
    if (offset < 0 || offset > source.size() - kSystemPageHeadBytes ||
        !source.read(offset, kSystemPageHeadBytes, head) || qFromLittleEndian<quint32>(head) != type)
        return std::nullopt;
    const qint64 expanded = qFromLittleEndian<quint32>(head + 4);
    const qint64 stored = qFromLittleEndian<quint32>(head + 8);
    const quint32 kind = qFromLittleEndian<quint32>(head + 12);
    if (expanded > kMaxSystemPageBytes || stored > source.size() - offset - kSystemPageHeadBytes)
        return std::nullopt;
    QByteArray bytes(stored, Qt::Uninitialized);
    if (!source.read(offset + kSystemPageHeadBytes, stored, bytes.data()))
        return std::nullopt;
    if (kind != 2) // stored as it is
        return stored == expanded ? std::optional(bytes) : std::nullopt;
    return expandSystemPage(bytes, expanded);
}

/// The file offset of page `wanted` from the page map: pages lie one after another from 0x100,
/// each entry giving its number and size; a negative number is a gap with four more fields.
std::optional<qint64> pageAddress(const QByteArray& pageMap, qint32 wanted)
{
    qint64 address = kPageAddressBase;
    for (qint64 at = 0; at + 8 <= pageMap.size();) {
        const qint32 number = littleEndianAt<qint32>(pageMap, at);
        const qint64 size = littleEndianAt<quint32>(pageMap, at + 4);
        if (number == wanted)
            return address;
        address += size;
        at += number < 0 ? 8 + 16 : 8;
    }
    return std::nullopt;
}

SectionEncryption scanSections(const QByteArray& map)
{
    if (map.size() < kSectionMapHeadBytes)
        return SectionEncryption::Unknown;
    const qint64 count = littleEndianAt<quint32>(map, 0);
    qint64 at = kSectionMapHeadBytes;
    for (qint64 i = 0; i < count; ++i) {
        if (at + kSectionBytes > map.size())
            return SectionEncryption::Unknown;
        const qint64 pages = littleEndianAt<quint32>(map, at + 8);
        const quint32 encrypted = littleEndianAt<quint32>(map, at + 28);
        const QByteArray field = map.mid(at + 32, 64);
        const QByteArray name = field.left(field.indexOf('\0') < 0 ? field.size() : field.indexOf('\0'));
        if (encrypted == 1 || name == kSecuritySection)
            return SectionEncryption::Encrypted;
        if (pages > (map.size() - at - kSectionBytes) / kSectionPageBytes)
            return SectionEncryption::Unknown;
        at += kSectionBytes + pages * kSectionPageBytes;
    }
    return SectionEncryption::None;
}

} // namespace

std::optional<QByteArray> expandSystemPage(const QByteArray& compressed, qint64 expandedSize)
{
    QByteArray out;
    out.reserve(expandedSize);
    const auto* in = reinterpret_cast<const unsigned char*>(compressed.constData());
    const qint64 inSize = compressed.size();
    qint64 pos = 0;
    bool bad = false;
    const auto next = [&]() -> int {
        if (pos < inSize)
            return in[pos++];
        bad = true;
        return 0;
    };
    // A run of zero bytes adds 0xFF each, so a long length costs a byte per 255.
    const auto extended = [&](qint64 total) {
        int b = 0;
        while (!bad && (b = next()) == 0)
            total += 0xFF;
        return total + b;
    };
    // 0x01–0x0F: that many literal bytes and 3 more; 0x00: a long count; else the next opcode.
    const auto literalLength = [&](int& opcode) -> qint64 {
        const int b = next();
        opcode = b >= 0x10 ? b : 0;
        return b == 0 ? extended(0x0F) + 3 : b < 0x10 ? b + 3 : 0;
    };
    const auto copyLiteral = [&](qint64 n) {
        if (n > inSize - pos || out.size() + n > expandedSize)
            return void(bad = true);
        out.append(compressed.constData() + pos, qsizetype(n));
        pos += n;
    };
    const auto twoByteOffset = [&](qint64& literal) -> qint64 {
        const int b1 = next();
        const int b2 = next();
        literal = b1 & 3;
        return (b1 >> 2) | (b2 << 6);
    };
    int opcode = 0;
    copyLiteral(literalLength(opcode));
    while (!bad && (opcode != 0 || pos < inSize)) {
        if (opcode == 0)
            opcode = next();
        qint64 count = 0, offset = 0, literal = 0;
        if (opcode >= 0x40) {
            count = (opcode >> 4) - 1;
            offset = (next() << 2) | ((opcode & 0x0C) >> 2);
            literal = opcode & 3;
        } else if (opcode >= 0x21) {
            count = opcode - 0x1E;
            offset = twoByteOffset(literal);
        } else if (opcode == 0x20) {
            count = extended(0) + 0x21;
            offset = twoByteOffset(literal);
        } else if (opcode >= 0x12) {
            count = (opcode & 0x0F) + 2;
            offset = twoByteOffset(literal) + 0x3FFF;
        } else if (opcode == 0x10) {
            count = extended(0) + 9;
            offset = twoByteOffset(literal) + 0x3FFF;
        } else if (opcode == 0x11) {
            break; // the end of the data
        } else {
            return std::nullopt;
        }
        opcode = 0;
        if (literal == 0)
            literal = literalLength(opcode);
        if (bad || offset >= out.size() || count > expandedSize - out.size())
            return std::nullopt;
        for (qint64 i = 0; i < count; ++i)
            out.append(out.at(out.size() - offset - 1));
        copyLiteral(literal);
    }
    if (bad || out.size() != expandedSize)
        return std::nullopt;
    return out;
}

SectionEncryption readSectionEncryption(const ByteSource& source)
{
    char stored[kFileHeaderBytes];
    if (source.size() < kFileHeaderAt + kFileHeaderBytes || !source.read(kFileHeaderAt, kFileHeaderBytes, stored))
        return SectionEncryption::Unknown;
    const QByteArray header = decryptFileHeader(stored);
    if (std::memcmp(header.constData(), kFileHeaderId, sizeof kFileHeaderId) != 0)
        return SectionEncryption::Unknown;
    const quint64 pageMapAddress = littleEndianAt<quint64>(header, 0x54);
    const qint32 sectionMapId = littleEndianAt<qint32>(header, 0x5C);
    if (pageMapAddress > quint64(source.size()))
        return SectionEncryption::Unknown;
    const auto pageMap = readSystemPage(source, qint64(pageMapAddress) + kPageAddressBase, kPageMapType);
    const auto mapAt = pageMap ? pageAddress(*pageMap, sectionMapId) : std::nullopt;
    const auto map = mapAt ? readSystemPage(source, *mapAt, kSectionMapType) : std::nullopt;
    return map ? scanSections(*map) : SectionEncryption::Unknown;
}

} // namespace korvane::dwgformat
