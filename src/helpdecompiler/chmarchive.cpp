#include "helpdecompiler/chmarchive.h"

#include "helpdecompiler/lebytes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::helpdecompiler {

namespace {

constexpr std::uint32_t kFrameSize = 0x8000;
constexpr std::uint32_t kMaxChunkSize = 1u << 20;
// Far beyond any real reset table (one 8-byte entry per 32 KiB of content).
constexpr std::uint64_t kMaxResetTable = 64u << 20;

const std::string kContentName = "::DataSpace/Storage/MSCompressed/Content";
const std::string kControlName = "::DataSpace/Storage/MSCompressed/ControlData";
const std::string kSpanInfoName = "::DataSpace/Storage/MSCompressed/SpanInfo";
const std::string kResetTableName = "::DataSpace/Storage/MSCompressed/Transform/"
                                    "{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable";

constexpr char kBadParameters[] = "chm文件的压缩参数无效";
constexpr char kTruncated[] = "chm文件不完整";

/// The directory's variable-length integers: 7 bits a byte, high bit set on all but the last.
bool encint(const char*& p, const char* end, std::uint64_t& value)
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

bool fitsIn(std::uint64_t offset, std::uint64_t length, std::uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}

} // namespace

bool readAt(int fd, std::uint64_t offset, char* buffer, std::uint64_t length)
{
    while (length > 0) {
        const ssize_t n = ::pread(fd, buffer, size_t(std::min<std::uint64_t>(length, 1u << 30)), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        offset += std::uint64_t(n);
        length -= std::uint64_t(n);
    }
    return true;
}

bool ChmArchive::fail(const char* why)
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
        return fail("无法读取文件");
    m_fileSize = std::uint64_t(st.st_size);

    const char* notChm = "不是有效的chm文件";
    char itsf[0x60];
    if (m_fileSize < 0x58 || !readAt(fd, 0, itsf, 0x58))
        return fail(notChm);
    if (std::memcmp(itsf, "ITSF", 4) != 0)
        return fail(notChm);
    const std::uint32_t version = le32(itsf + 4);
    if (version < 2 || version > 3)
        return fail(notChm);
    const std::uint64_t dirOffset = le64(itsf + 0x48);
    const std::uint64_t dirLength = le64(itsf + 0x50);
    if (version == 3) {
        if (m_fileSize < 0x60 || !readAt(fd, 0x58, itsf + 0x58, 8))
            return fail(notChm);
        m_section0 = le64(itsf + 0x58);
    } else {
        m_section0 = dirOffset + dirLength;
    }

    const char* broken = "chm文件已损坏或不完整";
    char itsp[0x54];
    if (!fitsIn(dirOffset, 0x54, m_fileSize) || !readAt(fd, dirOffset, itsp, 0x54))
        return fail(broken);
    if (std::memcmp(itsp, "ITSP", 4) != 0)
        return fail(broken);
    const std::uint32_t itspLength = le32(itsp + 0x08);
    const std::uint32_t chunkSize = le32(itsp + 0x10);
    const std::uint32_t chunkCount = le32(itsp + 0x2C);
    if (itspLength < 0x54 || chunkSize < 0x20 || chunkSize > kMaxChunkSize || chunkCount == 0)
        return fail(broken);
    const std::uint64_t chunksStart = dirOffset + itspLength;
    // The first-listing-chunk field is not trusted (some compilers write 1 where listings
    // start at 0): every chunk is read and the listing ones are kept.
    if (!fitsIn(chunksStart, std::uint64_t(chunkSize) * chunkCount, m_fileSize))
        return fail(broken);
    if (m_section0 > m_fileSize)
        return fail(broken);

    std::vector<char> chunk(chunkSize);
    for (std::uint32_t i = 0; i < chunkCount; ++i) {
        if (!readAt(fd, chunksStart + std::uint64_t(i) * chunkSize, chunk.data(), chunkSize))
            return fail(broken);
        if (std::memcmp(chunk.data(), "PMGL", 4) == 0 && !readListing(chunk))
            return fail(broken);
    }
    return readCompressedSection(fd);
}

bool ChmArchive::readListing(const std::vector<char>& chunk)
{
    const char* base = chunk.data();
    const std::uint32_t size = std::uint32_t(chunk.size());
    const std::uint32_t freeSpace = le32(base + 4);
    // Entries fill the chunk up to the free space; the quick-reference area and the entry
    // count (last two bytes) follow it.
    const char* end = base + (freeSpace <= size - 0x14 - 2 ? size - freeSpace : size - 2);
    const char* p = base + 0x14;
    while (p < end) {
        std::uint64_t nameLength = 0;
        if (!encint(p, end, nameLength) || nameLength > std::uint64_t(end - p))
            return false;
        ChmEntry entry;
        entry.name.assign(p, std::size_t(nameLength));
        p += nameLength;
        if (!encint(p, end, entry.section) || !encint(p, end, entry.offset) || !encint(p, end, entry.length))
            return false;
        if (nameLength == 0 && entry.section == 0 && entry.offset == 0 && entry.length == 0)
            break; // zero padding before the free space
        m_entries.push_back(std::move(entry));
    }
    return true;
}

const ChmEntry* ChmArchive::find(const std::string& name) const
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
            return fail("chm文件缺少压缩数据的说明");
        return true;
    }
    for (const ChmEntry* e : {content, control, resetTable}) {
        if (e->section != 0)
            return fail(kBadParameters);
        if (!checkExtent(*e).empty())
            return fail(kTruncated);
    }
    if (!readControlData(fd, *control) || !readResetTable(fd, *resetTable, *content))
        return false;

    m_compressed.present = true;
    m_compressed.contentOffset = m_section0 + content->offset;
    m_compressed.contentLength = content->length;
    m_compressed.content = *content;
    m_compressed.controlData = *control;
    m_compressed.resetTable = *resetTable;
    if (spanInfo && spanInfo->section == 0 && checkExtent(*spanInfo).empty())
        m_compressed.spanInfo = *spanInfo;
    return true;
}

bool ChmArchive::readControlData(int fd, const ChmEntry& control)
{
    // Size in dwords, "LZXC", version, reset interval, window size, ...
    if (control.length < 0x18 || control.length > 0x100)
        return fail(kBadParameters);
    char cd[0x18];
    if (!readAt(fd, m_section0 + control.offset, cd, sizeof cd))
        return fail(kTruncated);
    if (std::memcmp(cd + 4, "LZXC", 4) != 0)
        return fail(kBadParameters);
    std::uint64_t resetInterval = le32(cd + 0x0C);
    std::uint64_t windowSize = le32(cd + 0x10);
    switch (le32(cd + 0x08)) {
    case 1: break;
    case 2:
        resetInterval *= kFrameSize;
        windowSize *= kFrameSize;
        break;
    default: return fail(kBadParameters);
    }
    if (windowSize < (1u << 15) || windowSize > (1u << 21) || (windowSize & (windowSize - 1)) != 0)
        return fail(kBadParameters);
    if (resetInterval == 0 || resetInterval % kFrameSize != 0 || resetInterval > (1u << 30))
        return fail(kBadParameters);
    m_compressed.windowSize = std::uint32_t(windowSize);
    m_compressed.resetInterval = std::uint32_t(resetInterval);
    return true;
}

bool ChmArchive::readResetTable(int fd, const ChmEntry& resetTable, const ChmEntry& content)
{
    // Version, entry count, entry size, table offset, uncompressed length, compressed length,
    // block length, then one compressed offset per block.
    if (resetTable.length < 0x28 || resetTable.length > kMaxResetTable)
        return fail(kBadParameters);
    std::vector<char> rt(std::size_t(resetTable.length));
    if (!readAt(fd, m_section0 + resetTable.offset, rt.data(), resetTable.length))
        return fail(kTruncated);
    const std::uint32_t entryCount = le32(rt.data() + 4);
    const std::uint32_t entrySize = le32(rt.data() + 8);
    const std::uint32_t tableOffset = le32(rt.data() + 12);
    const std::uint64_t uncompressed = le64(rt.data() + 16);
    const std::uint64_t compressedLength = le64(rt.data() + 24);
    const std::uint64_t blockLength = le64(rt.data() + 32);
    if (blockLength != kFrameSize || (entrySize != 4 && entrySize != 8))
        return fail(kBadParameters);
    if (!fitsIn(tableOffset, std::uint64_t(entryCount) * entrySize, resetTable.length))
        return fail(kBadParameters);
    // Every block the content can start a read in needs its reset entry.
    if (std::uint64_t(entryCount) * kFrameSize < uncompressed)
        return fail(kBadParameters);
    if (compressedLength > content.length)
        return fail(kTruncated);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const char* p = rt.data() + tableOffset + std::uint64_t(i) * entrySize;
        const std::uint64_t at = entrySize == 8 ? le64(p) : le32(p);
        if (at > content.length)
            return fail(kBadParameters);
    }
    m_compressed.uncompressedLength = uncompressed;
    return true;
}

std::string ChmArchive::checkExtent(const ChmEntry& entry) const
{
    if (entry.length == 0)
        return {};
    if (entry.section == 0) {
        if (!fitsIn(m_section0, 0, m_fileSize) || !fitsIn(entry.offset, entry.length, m_fileSize - m_section0))
            return "数据超出文件末尾";
        return {};
    }
    if (entry.section == 1) {
        if (!m_compressed.present)
            return "压缩数据不可用";
        if (!fitsIn(entry.offset, entry.length, m_compressed.uncompressedLength))
            return "数据超出压缩内容的范围";
        return {};
    }
    return "数据段不存在";
}

} // namespace korvane::helpdecompiler
