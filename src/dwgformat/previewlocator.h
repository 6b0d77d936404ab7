#pragma once

#include "dwgformat/dwgheader.h"
#include "platform/runcontrol.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace korvane::dwgformat {

class RegularFile;

/// What kind of picture a drawing's preview block holds.
enum class PreviewFormat { None, Bmp, Png, Wmf };

/// Why a drawing has no preview. Every value but None means "no preview" to the user; the
/// distinction is kept for tests and diagnostics.
enum class PreviewFailure {
    None,
    Unreadable,     ///< missing, a folder, or a read error
    TooShort,       ///< shorter than the file header
    NotADrawing,    ///< no "AC" version string
    OldVersion,     ///< a version before R13, which keeps no preview
    NoPointer,      ///< the preview pointer is 0
    PointerOutside, ///< the pointer or the block runs past the end of the file
    BadSentinel,    ///< the start sentinel is missing
    BadDirectory,   ///< the entry count does not fit the block
    BadEndSentinel, ///< the end sentinel is missing
    EntryOutside,   ///< the chosen entry lies outside the block
    NoImage,        ///< no BMP, PNG or WMF entry
    BadImage,       ///< the chosen entry fails the image checks
    EntryTooLarge,  ///< the chosen entry declares more bytes than the caller's bound
    Encrypted,      ///< the header says the preview is encrypted (its bytes are not a picture)
};

/// Random access to the bytes of a drawing, so the same parser serves files and memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual qint64 size() const = 0;
    /// Fills `out` with exactly `length` bytes from `offset`; false when that is not possible.
    virtual bool read(qint64 offset, qint64 length, char* out) const = 0;
};

/// A ByteSource over an open regular file.
class RegularFileSource final : public ByteSource {
public:
    explicit RegularFileSource(const RegularFile& file) : m_file(file) {}
    qint64 size() const override;
    bool read(qint64 offset, qint64 length, char* out) const override;

private:
    const RegularFile& m_file;
};

/// A drawing's preview as it is stored, ready to write or decode.
struct DwgPreview {
    PreviewFormat format = PreviewFormat::None;
    /// Bmp: a whole .bmp file (the stored bare DIB behind a 14-byte file header);
    /// Png: the PNG file unchanged; Wmf: the metafile unchanged.
    QByteArray bytes;
    PreviewFailure failure = PreviewFailure::None;
    /// The file header's version and security flags, read on the way (not ok() for a file that
    /// could not be read or is no drawing).
    DwgHeader header;

    bool ok() const { return format != PreviewFormat::None; }
};

/// Upper bound on either side of a preview image, far above what drawing programs store.
constexpr int kMaxPreviewSide = 16384;
/// Upper bound on a preview's pixel count (64 MB decoded), so a tiny malformed entry cannot
/// demand a huge image.
constexpr qint64 kMaxPreviewPixels = qint64(4096) * 4096;

/// Upper bound on the bytes of a stored preview: the largest picture the image checks accept
/// (kMaxPreviewPixels at 32 bits a pixel) and room for its headers, palette or PNG chunks. A
/// declared entry size is checked against it before anything is allocated, so a crafted
/// drawing cannot make the reader take gigabytes.
constexpr qint64 kMaxPreviewBytes = kMaxPreviewPixels * 4 + 65536;

/// Finds the preview of a drawing held in memory. Reads only inside `drawing`.
DwgPreview extractPreview(const QByteArray& drawing);
/// Finds the preview through any byte source; reads only the header, the block's head and
/// directory, its end sentinel, and then the chosen entry, which must be at most
/// `maxEntryBytes` long (EntryTooLarge otherwise). Nothing is allocated for the entry until
/// every structural check has passed.
DwgPreview extractPreview(const ByteSource& source, qint64 maxEntryBytes = kMaxPreviewBytes);
/// Finds the preview of a drawing file without reading the rest of the file. A stop through
/// `control` makes a read in hand fail (Unreadable or a later failure): no preview.
DwgPreview readPreview(const QString& path, platform::RunControl* control = nullptr,
                       qint64 maxEntryBytes = kMaxPreviewBytes);
/// The same for a path in the kernel's bytes.
DwgPreview readPreview(const QByteArray& nativePath, platform::RunControl* control = nullptr,
                       qint64 maxEntryBytes = kMaxPreviewBytes);

/// The bytes of the file header that makes a bare DIB a .bmp file.
constexpr qint64 kBitmapFileHeaderBytes = 14;
/// DIB compressions (biCompression).
constexpr quint32 kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3;

/// The facts about a DIB that decoding and the file header need, all checked against its size.
struct DibLayout {
    quint32 headerSize = 0;
    qint32 width = 0;
    qint32 height = 0; ///< rows, always positive
    bool topDown = false;
    int bitsPerPixel = 0;
    quint32 compression = 0;
    quint32 colours = 0; ///< palette entries
    qint64 paletteOffset = 0;
    qint64 pixelOffset = 0; ///< from the start of the DIB
    qint64 stride = 0;      ///< bytes per row for uncompressed data
};

/// Checks a bare DIB of `size` bytes: header size, dimensions, bit depth and compression,
/// palette and (uncompressed) every pixel row inside the bytes; nullopt when any check fails.
std::optional<DibLayout> inspectDib(const char* dib, qint64 size);

/// Checks a bare DIB and puts the 14-byte file header in front of it; empty when the DIB fails
/// any check (header size, dimensions, bit depth, palette and pixels within the bytes given).
QByteArray bitmapFileFromDib(const QByteArray& dib);

} // namespace korvane::dwgformat
