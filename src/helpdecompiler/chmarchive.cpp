#include "helpdecompiler/chmarchive.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::helpdecompiler {

namespace {

constexpr quint32 kFrameSize = 0x8000;
constexpr quint32 kMaxChunkSize = 1u << 20;
// Far beyond any real reset table (one 8-byte entry per 32 KiB of content).
constexpr quint64 kMaxResetTable = 64u << 20;

const QByteArray kContentName = "::DataSpace/Storage/MSCompressed/Content";
const QByteArray kControlName = "::DataSpace/Storage/MSCompressed/ControlData";
const QByteArray kSpanInfoName = "::DataSpace/Storage/MSCompressed/SpanInfo";
const QByteArray kResetTableName = "::DataSpace/Storage/MSCompressed/Transform/"
                                   "{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable";

quint32 u32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return quint32(b[0]) | quint32(b[1]) << 8 | quint32(b[2]) << 16 | quint32(b[3]) << 24;
}

quint64 u64(const char* p)
{
    return quint64(u32(p)) | quint64(u32(p + 4)) << 32;
}

/// The directory's variable-length integers: 7 bits a byte, high bit set on all but the last.
bool encint(const char*& p, const char* end, quint64& value)
{
    value = 0;
    for (int i = 0; i < 9; ++i) {
        if (p >= end)
            return false;
        const auto byte = static_cast<unsigned char>(*p++);
        value = (value << 7) | (byte & 0x7F);
        if (!(byte & 0x80))
            return true;
    }
    return false; // longer than 63 bits
}

bool fitsIn(quint64 offset, quint64 length, quint64 limit)
{
    return offset <= limit && length <= limit - offset;
}

} // namespace

bool readAt(int fd, quint64 offset, char* buffer, quint64 length)
{
    while (length > 0) {
        const ssize_t n = ::pread(fd, buffer, size_t(std::min<quint64>(length, 1u << 30)), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        offset += quint64(n);
        length -= quint64(n);
    }
    return true;
}

bool ChmArchive::fail(const QString& why)
{
    m_error = why;
    return false;
}

bool ChmArchive::read(int fd)
{
    m_entries.clear();
    m_compressed = {};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail(QStringLiteral("无法读取文件"));
    m_fileSize = quint64(st.st_size);

    const QString notChm = QStringLiteral("不是有效的chm文件");
    char itsf[0x60];
    if (m_fileSize < 0x58 || !readAt(fd, 0, itsf, 0x58))
        return fail(notChm);
    if (std::memcmp(itsf, "ITSF", 4) != 0)
        return fail(notChm);
    const quint32 version = u32(itsf + 4);
    if (version < 2 || version > 3)
        return fail(notChm);
    const quint64 dirOffset = u64(itsf + 0x48);
    const quint64 dirLength = u64(itsf + 0x50);
    if (version == 3) {
        if (m_fileSize < 0x60 || !readAt(fd, 0x58, itsf + 0x58, 8))
            return fail(notChm);
        m_section0 = u64(itsf + 0x58);
    } else {
        m_section0 = dirOffset + dirLength;
    }

    const QString broken = QStringLiteral("chm文件已损坏或不完整");
    char itsp[0x54];
    if (!fitsIn(dirOffset, 0x54, m_fileSize) || !readAt(fd, dirOffset, itsp, 0x54))
        return fail(broken);
    if (std::memcmp(itsp, "ITSP", 4) != 0)
        return fail(broken);
    const quint32 itspLength = u32(itsp + 0x08);
    const quint32 chunkSize = u32(itsp + 0x10);
    const quint32 chunkCount = u32(itsp + 0x2C);
    if (itspLength < 0x54 || chunkSize < 0x20 || chunkSize > kMaxChunkSize || chunkCount == 0)
        return fail(broken);
    const quint64 chunksStart = dirOffset + itspLength;
    // The first-listing-chunk field is not trusted (some compilers write 1 where listings
    // start at 0): every chunk is read and the listing ones are kept.
    if (!fitsIn(chunksStart, quint64(chunkSize) * chunkCount, m_fileSize))
        return fail(broken);
    if (m_section0 > m_fileSize)
        return fail(broken);

    QByteArray chunk(qsizetype(chunkSize), Qt::Uninitialized);
    for (quint32 i = 0; i < chunkCount; ++i) {
        if (!readAt(fd, chunksStart + quint64(i) * chunkSize, chunk.data(), chunkSize))
            return fail(broken);
        if (chunk.startsWith("PMGL") && !readListing(chunk))
            return fail(broken);
    }
    return readCompressedSection(fd);
}

bool ChmArchive::readListing(const QByteArray& chunk)
{
    const char* base = chunk.constData();
    const quint32 size = quint32(chunk.size());
    const quint32 freeSpace = u32(base + 4);
    // Entries fill the chunk up to the free space; the quick-reference area and the entry
    // count (last two bytes) follow it.
    const char* end = base + (freeSpace <= size - 0x14 - 2 ? size - freeSpace : size - 2);
    const char* p = base + 0x14;
    while (p < end) {
        quint64 nameLength = 0;
        if (!encint(p, end, nameLength) || nameLength > quint64(end - p))
            return false;
        ChmEntry entry;
        entry.name = QByteArray(p, qsizetype(nameLength));
        p += nameLength;
        if (!encint(p, end, entry.section) || !encint(p, end, entry.offset) || !encint(p, end, entry.length))
            return false;
        if (nameLength == 0 && entry.section == 0 && entry.offset == 0 && entry.length == 0)
            break; // zero padding before the free space
        m_entries.push_back(std::move(entry));
    }
    return true;
}

const ChmEntry* ChmArchive::find(const QByteArray& name) const
{
    for (const ChmEntry& entry : m_entries) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

bool ChmArchive::readCompressedSection(int fd)
{
    bool needed = false;
    for (const ChmEntry& entry : m_entries)
        needed = needed || (entry.section == 1 && entry.length > 0);
    const ChmEntry* content = find(kContentName);
    const ChmEntry* control = find(kControlName);
    const ChmEntry* resetTable = find(kResetTableName);
    const ChmEntry* spanInfo = find(kSpanInfoName);
    if (!content || !control || !resetTable) {
        if (needed)
            return fail(QStringLiteral("chm文件缺少压缩数据的说明"));
        return true;
    }
    const QString badParameters = QStringLiteral("chm文件的压缩参数无效");
    const QString truncated = QStringLiteral("chm文件不完整");
    for (const ChmEntry* e : {content, control, resetTable}) {
        if (e->section != 0)
            return fail(badParameters);
        if (!checkExtent(*e).isEmpty())
            return fail(truncated);
    }

    // ControlData: size in dwords, "LZXC", version, reset interval, window size, ...
    if (control->length < 0x18 || control->length > 0x100)
        return fail(badParameters);
    char cd[0x18];
    if (!readAt(fd, m_section0 + control->offset, cd, sizeof cd))
        return fail(truncated);
    if (std::memcmp(cd + 4, "LZXC", 4) != 0)
        return fail(badParameters);
    quint64 resetInterval = u32(cd + 0x0C);
    quint64 windowSize = u32(cd + 0x10);
    switch (u32(cd + 0x08)) {
    case 1: break;
    case 2:
        resetInterval *= kFrameSize;
        windowSize *= kFrameSize;
        break;
    default: return fail(badParameters);
    }
    if (windowSize < (1u << 15) || windowSize > (1u << 21) || (windowSize & (windowSize - 1)) != 0)
        return fail(badParameters);
    if (resetInterval == 0 || resetInterval % kFrameSize != 0 || resetInterval > (1u << 30))
        return fail(badParameters);

    // ResetTable: version, entry count, entry size, table offset, uncompressed length,
    // compressed length, block length, then one compressed offset per block.
    if (resetTable->length < 0x28 || resetTable->length > kMaxResetTable)
        return fail(badParameters);
    QByteArray rt(qsizetype(resetTable->length), Qt::Uninitialized);
    if (!readAt(fd, m_section0 + resetTable->offset, rt.data(), resetTable->length))
        return fail(truncated);
    const quint32 entryCount = u32(rt.constData() + 4);
    const quint32 entrySize = u32(rt.constData() + 8);
    const quint32 tableOffset = u32(rt.constData() + 12);
    const quint64 uncompressed = u64(rt.constData() + 16);
    const quint64 compressedLength = u64(rt.constData() + 24);
    const quint64 blockLength = u64(rt.constData() + 32);
    if (blockLength != kFrameSize || (entrySize != 4 && entrySize != 8))
        return fail(badParameters);
    if (!fitsIn(tableOffset, quint64(entryCount) * entrySize, resetTable->length))
        return fail(badParameters);
    // Every block the content can start a read in needs its reset entry.
    if (quint64(entryCount) * kFrameSize < uncompressed)
        return fail(badParameters);
    if (compressedLength > content->length)
        return fail(truncated);
    for (quint32 i = 0; i < entryCount; ++i) {
        const char* p = rt.constData() + tableOffset + quint64(i) * entrySize;
        const quint64 at = entrySize == 8 ? u64(p) : u32(p);
        if (at > content->length)
            return fail(badParameters);
    }

    m_compressed.present = true;
    m_compressed.contentOffset = m_section0 + content->offset;
    m_compressed.contentLength = content->length;
    m_compressed.uncompressedLength = uncompressed;
    m_compressed.windowSize = quint32(windowSize);
    m_compressed.resetInterval = quint32(resetInterval);
    m_compressed.content = *content;
    m_compressed.controlData = *control;
    m_compressed.resetTable = *resetTable;
    if (spanInfo && spanInfo->section == 0 && checkExtent(*spanInfo).isEmpty())
        m_compressed.spanInfo = *spanInfo;
    return true;
}

QString ChmArchive::checkExtent(const ChmEntry& entry) const
{
    if (entry.length == 0)
        return {};
    if (entry.section == 0) {
        if (!fitsIn(m_section0, 0, m_fileSize) || !fitsIn(entry.offset, entry.length, m_fileSize - m_section0))
            return QStringLiteral("数据超出文件末尾");
        return {};
    }
    if (entry.section == 1) {
        if (!m_compressed.present)
            return QStringLiteral("压缩数据不可用");
        if (!fitsIn(entry.offset, entry.length, m_compressed.uncompressedLength))
            return QStringLiteral("数据超出压缩内容的范围");
        return {};
    }
    return QStringLiteral("数据段不存在");
}

} // namespace korvane::helpdecompiler
