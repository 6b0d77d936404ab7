#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::helpdecompiler {

/// One directory entry of a compiled help file, as stored: the name is raw bytes.
struct ChmEntry {
    std::string name;
    std::uint64_t section = 0;
    std::uint64_t offset = 0; ///< within its section
    std::uint64_t length = 0;
};

/// Where the LZX-compressed section lies and how it was compressed, checked against the file.
struct ChmCompressedSection {
    bool present = false;
    std::uint64_t contentOffset = 0; ///< file offset of the compressed stream
    std::uint64_t contentLength = 0;
    std::uint64_t uncompressedLength = 0;
    std::uint32_t windowSize = 0;    ///< bytes, 2^15 .. 2^21
    std::uint32_t resetInterval = 0; ///< bytes, a multiple of 32 KiB
    // The container's own entries that describe the section; the decompressor reads them.
    ChmEntry content, controlData, resetTable, spanInfo;
};

/// The container structure of a .chm file (standard library only: the extraction helper
/// does without Qt, whose loading would dominate the time for small help files): headers, every directory
/// listing chunk and the parameters of the compressed section. Everything is bounds-checked against the file,
/// so a file that passes `read` can be handed to the decompressor without tripping its known faults (zero
/// block length, out-of-range window, content past the end of the file).
class ChmArchive {
public:
    /// Reads and validates the container from an open file. On failure returns false and
    /// `error()` says why, in words for the user (UTF-8).
    bool read(int fd);

    const std::string& error() const { return m_error; }
    std::uint64_t fileSize() const { return m_fileSize; }
    /// File offset of section 0 (uncompressed content).
    std::uint64_t section0Offset() const { return m_section0; }
    const ChmCompressedSection& compressed() const { return m_compressed; }
    /// Every entry of every listing chunk, in file order.
    const std::vector<ChmEntry>& entries() const { return m_entries; }

    /// Why an entry's data cannot be read (UTF-8), or "" when it lies inside its section.
    std::string checkExtent(const ChmEntry& entry) const;

private:
    bool fail(const char* why);
    bool readListing(const std::vector<char>& chunk);
    bool readCompressedSection(int fd);
    bool readControlData(int fd, const ChmEntry& control);
    bool readResetTable(int fd, const ChmEntry& resetTable, const ChmEntry& content);
    const ChmEntry* find(const std::string& name) const;

    std::string m_error;
    std::uint64_t m_fileSize = 0;
    std::uint64_t m_section0 = 0;
    ChmCompressedSection m_compressed;
    std::vector<ChmEntry> m_entries;
};

/// Reads exactly `length` bytes at `offset`; false on a short read.
bool readAt(int fd, std::uint64_t offset, char* buffer, std::uint64_t length);

} // namespace korvane::helpdecompiler
