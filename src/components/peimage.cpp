#include "components/peimage.h"

#include <QtEndian>
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace korvane::components {

namespace {

constexpr quint16 kMachineI386 = 0x014c;
constexpr quint16 kMachineAmd64 = 0x8664;
constexpr quint16 kFileDll = 0x2000;
constexpr quint16 kMagicPe32 = 0x10b;
constexpr quint16 kMagicPe32Plus = 0x20b;
constexpr quint32 kSectionHeaderSize = 40;
constexpr quint32 kImportDescriptorSize = 20;
// Real libraries stay far below these; a forged table must not make us loop for long.
constexpr quint32 kMaxSections = 96;
constexpr quint32 kMaxExportNames = 1 << 16;
constexpr quint32 kMaxImportedDlls = 4096;
constexpr qsizetype kMaxNameLength = 512;

/// Little-endian reads that say when they would leave the buffer.
class Bytes {
public:
    explicit Bytes(const QByteArray& data) : m_data(data) {}
    qint64 size() const { return m_data.size(); }
    bool has(qint64 offset, qint64 length) const
    {
        return offset >= 0 && length >= 0 && offset <= size() && length <= size() - offset;
    }
    std::optional<quint16> u16(qint64 offset) const
    {
        if (!has(offset, 2))
            return std::nullopt;
        return qFromLittleEndian<quint16>(m_data.constData() + offset);
    }
    std::optional<quint32> u32(qint64 offset) const
    {
        if (!has(offset, 4))
            return std::nullopt;
        return qFromLittleEndian<quint32>(m_data.constData() + offset);
    }
    /// A NUL-terminated name; nothing when it runs off the buffer or on for too long.
    std::optional<QString> name(qint64 offset) const
    {
        if (!has(offset, 1))
            return std::nullopt;
        const qsizetype limit = qsizetype(std::min<qint64>(size() - offset, kMaxNameLength));
        const char* start = m_data.constData() + offset;
        for (qsizetype i = 0; i < limit; ++i) {
            if (start[i] == '\0')
                return QString::fromLatin1(start, i);
        }
        return std::nullopt;
    }

private:
    const QByteArray& m_data;
};

struct Section {
    quint32 virtualAddress = 0;
    quint32 virtualSize = 0;
    quint32 rawSize = 0;
    quint32 rawOffset = 0;
};

class Reader {
public:
    explicit Reader(const QByteArray& data) : m_bytes(data) {}

    platform::Result<PeImage> read()
    {
        PeImage image;
        if (!headers(image) || !exports(image) || !imports(image))
            return platform::Status::failure(platform::ErrorKind::Failed, m_problem);
        return image;
    }

private:
    bool fail(PeImage&, const QString& problem)
    {
        m_problem = problem;
        return false;
    }
    bool notPe(PeImage& image) { return fail(image, QStringLiteral("不是Windows程序库")); }
    bool broken(PeImage& image, const QString& table)
    {
        return fail(image, QStringLiteral("Windows程序库已损坏(%1超出文件范围)").arg(table));
    }

    bool headers(PeImage& image)
    {
        if (m_bytes.size() < 64 || m_bytes.u16(0) != quint16(0x5a4d)) // "MZ"
            return notPe(image);
        const quint32 peOffset = *m_bytes.u32(0x3c);
        if (m_bytes.u32(peOffset) != quint32(0x00004550)) // "PE\0\0"
            return notPe(image);
        const qint64 coff = qint64(peOffset) + 4;
        const auto machine = m_bytes.u16(coff);
        const auto sections = m_bytes.u16(coff + 2);
        const auto optionalSize = m_bytes.u16(coff + 16);
        const auto characteristics = m_bytes.u16(coff + 18);
        if (!machine || !sections || !optionalSize || !characteristics)
            return broken(image, QStringLiteral("文件头"));
        image.machineCode = *machine;
        image.machine = *machine == kMachineI386    ? PeImage::Machine::I386
                        : *machine == kMachineAmd64 ? PeImage::Machine::Amd64
                                                    : PeImage::Machine::Other;
        image.dll = (*characteristics & kFileDll) != 0;

        const qint64 optional = coff + 20;
        const auto magic = m_bytes.u16(optional);
        if (!magic)
            return broken(image, QStringLiteral("可选文件头"));
        if (*magic != kMagicPe32 && *magic != kMagicPe32Plus)
            return notPe(image);
        image.pe32Plus = *magic == kMagicPe32Plus;
        const qint64 countAt = optional + (image.pe32Plus ? 108 : 92);
        const qint64 directories = countAt + 4;
        const auto count = m_bytes.u32(countAt);
        if (!count || countAt + 4 > optional + *optionalSize)
            return broken(image, QStringLiteral("可选文件头"));
        m_directoryCount = std::min<quint32>(*count, 16);
        if (directories + qint64(m_directoryCount) * 8 > optional + *optionalSize)
            return broken(image, QStringLiteral("数据目录"));
        m_directories = directories;

        if (*sections > kMaxSections)
            return broken(image, QStringLiteral("节表"));
        const qint64 table = optional + *optionalSize;
        if (!m_bytes.has(table, qint64(*sections) * kSectionHeaderSize))
            return broken(image, QStringLiteral("节表"));
        for (quint32 i = 0; i < *sections; ++i) {
            const qint64 at = table + qint64(i) * kSectionHeaderSize;
            m_sections.push_back(
                {*m_bytes.u32(at + 12), *m_bytes.u32(at + 8), *m_bytes.u32(at + 16), *m_bytes.u32(at + 20)});
        }
        return true;
    }

    /// The file offset of an address in the loaded image, if the file holds it.
    std::optional<qint64> offsetOf(quint32 rva) const
    {
        for (const Section& s : m_sections) {
            const quint32 span = std::max(s.virtualSize, s.rawSize);
            if (rva < s.virtualAddress || quint64(rva) >= quint64(s.virtualAddress) + span)
                continue;
            const quint32 into = rva - s.virtualAddress;
            if (into >= s.rawSize)
                return std::nullopt; // in the section, but not stored in the file (zero-filled)
            const qint64 offset = qint64(s.rawOffset) + into;
            if (!m_bytes.has(offset, 1))
                return std::nullopt;
            return offset;
        }
        return std::nullopt;
    }

    /// The directory's address and size; a zero address means the image has none.
    std::pair<quint32, quint32> directory(quint32 index) const
    {
        if (index >= m_directoryCount)
            return {0, 0};
        const qint64 at = m_directories + qint64(index) * 8;
        return {m_bytes.u32(at).value_or(0), m_bytes.u32(at + 4).value_or(0)};
    }

    bool exports(PeImage& image)
    {
        const quint32 rva = directory(0).first;
        if (rva == 0)
            return true;
        const auto table = offsetOf(rva);
        if (!table || !m_bytes.has(*table, 40))
            return broken(image, QStringLiteral("导出表"));
        const quint32 names = *m_bytes.u32(*table + 24);
        const quint32 namesRva = *m_bytes.u32(*table + 32);
        if (names == 0)
            return true;
        if (names > kMaxExportNames)
            return broken(image, QStringLiteral("导出表"));
        const auto list = offsetOf(namesRva);
        if (!list || !m_bytes.has(*list, qint64(names) * 4))
            return broken(image, QStringLiteral("导出名称表"));
        for (quint32 i = 0; i < names; ++i) {
            const auto at = offsetOf(*m_bytes.u32(*list + qint64(i) * 4));
            const auto name = at ? m_bytes.name(*at) : std::nullopt;
            if (!name)
                return broken(image, QStringLiteral("导出名称"));
            image.exports << *name;
        }
        return true;
    }

    bool imports(PeImage& image)
    {
        const quint32 rva = directory(1).first;
        if (rva == 0)
            return true;
        const auto table = offsetOf(rva);
        if (!table)
            return broken(image, QStringLiteral("导入表"));
        // The table ends with an all-zero descriptor; its declared size is often wrong, so
        // only the file's end and the count bound the walk.
        for (quint32 i = 0;; ++i) {
            if (i >= kMaxImportedDlls)
                return broken(image, QStringLiteral("导入表"));
            const qint64 at = *table + qint64(i) * kImportDescriptorSize;
            if (!m_bytes.has(at, kImportDescriptorSize))
                return broken(image, QStringLiteral("导入表"));
            const quint32 nameRva = *m_bytes.u32(at + 12);
            const quint32 thunks = *m_bytes.u32(at + 16);
            if (nameRva == 0 && thunks == 0 && *m_bytes.u32(at) == 0)
                return true;
            const auto nameAt = offsetOf(nameRva);
            const auto name = nameAt ? m_bytes.name(*nameAt) : std::nullopt;
            if (!name || name->isEmpty())
                return broken(image, QStringLiteral("导入库名称"));
            if (!image.importedDlls.contains(*name, Qt::CaseInsensitive))
                image.importedDlls << *name;
        }
    }

    Bytes m_bytes;
    QString m_problem; ///< why the image was refused, for the user
    std::vector<Section> m_sections;
    qint64 m_directories = 0;
    quint32 m_directoryCount = 0;
};

} // namespace

platform::Result<PeImage> readPeImage(const QByteArray& bytes)
{
    return Reader(bytes).read();
}

} // namespace korvane::components
