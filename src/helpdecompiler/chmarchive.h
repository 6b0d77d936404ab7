#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

namespace korvane::helpdecompiler {

/// One directory entry of a compiled help file, as stored: the name is raw bytes.
struct ChmEntry {
    QByteArray name;
    quint64 section = 0;
    quint64 offset = 0; ///< within its section
    quint64 length = 0;
};

/// Where the LZX-compressed section lies and how it was compressed, checked against the file.
struct ChmCompressedSection {
    bool present = false;
    quint64 contentOffset = 0;  ///< file offset of the compressed stream
    quint64 contentLength = 0;
    quint64 uncompressedLength = 0;
    quint32 windowSize = 0;     ///< bytes, 2^15 .. 2^21
    quint32 resetInterval = 0;  ///< bytes, a multiple of 32 KiB
    // The container's own entries that describe the section; the decompressor reads them.
    ChmEntry content, controlData, resetTable, spanInfo;
};

/// The container structure of a .chm file: headers, every directory listing chunk and the
/// parameters of the compressed section. Everything is bounds-checked against the file, so a
/// file that passes `read` can be handed to the decompressor without tripping its known faults
/// (zero block length, out-of-range window, content past the end of the file).
class ChmArchive {
public:
    /// Reads and validates the container from an open file. On failure returns false and
    /// `error()` says why, in words for the user.
    bool read(int fd);

    const QString& error() const { return m_error; }
    quint64 fileSize() const { return m_fileSize; }
    /// File offset of section 0 (uncompressed content).
    quint64 section0Offset() const { return m_section0; }
    const ChmCompressedSection& compressed() const { return m_compressed; }
    /// Every entry of every listing chunk, in file order.
    const std::vector<ChmEntry>& entries() const { return m_entries; }

    /// Why an entry's data cannot be read, or an empty string when it lies inside its section.
    QString checkExtent(const ChmEntry& entry) const;

private:
    bool fail(const QString& why);
    bool readListing(const QByteArray& chunk);
    bool readCompressedSection(int fd);
    const ChmEntry* find(const QByteArray& name) const;

    QString m_error;
    quint64 m_fileSize = 0;
    quint64 m_section0 = 0;
    ChmCompressedSection m_compressed;
    std::vector<ChmEntry> m_entries;
};

/// Reads exactly `length` bytes at `offset`; false on a short read.
bool readAt(int fd, quint64 offset, char* buffer, quint64 length);

} // namespace korvane::helpdecompiler
