#pragma once

#include <QByteArray>
#include <optional>

namespace korvane::dwgformat {

class ByteSource;

/// What a drawing's section map says about encryption. Known only for the R2004 layout (R2004,
/// R2010 and later); R2007's differs and is not read.
enum class SectionEncryption {
    Unknown,   ///< not the R2004 layout, or a map that fails a check
    None,      ///< the map holds no security section and no section marked encrypted
    Encrypted, ///< an "AcDb:Security" section, or a section marked encrypted
};

/// Reads the encrypted file header at 0x80, follows it to the section page map and from there
/// to the section map, and looks through the sections' names and flags. Every size and place is
/// checked against the file and bounded before anything is allocated.
SectionEncryption readSectionEncryption(const ByteSource& source);

/// Expands a system page compressed with the R2004 layout's LZ77 variant into exactly
/// `expandedSize` bytes; nullopt when the data runs out, refers before its start or overflows.
std::optional<QByteArray> expandSystemPage(const QByteArray& compressed, qint64 expandedSize);

} // namespace korvane::dwgformat
