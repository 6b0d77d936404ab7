#include "dwgformat/previewlocator.h"

#include "dwgformat/regularfile.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <optional>

namespace korvane::dwgformat {

namespace {

constexpr unsigned char kStartSentinel[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                                              0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};
constexpr unsigned char kEndSentinel[16] = {0xE0, 0xDA, 0x92, 0xF8, 0x2B, 0xC9, 0xD7, 0xD7,
                                            0x62, 0xA8, 0x35, 0xC0, 0x62, 0xBB, 0xEF, 0xD4};
constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

constexpr qint64 kHeaderBytes = 0x11; // version string .. end of the preview pointer
constexpr qint64 kPointerOffset = 0x0D;
constexpr qint64 kBlockHeadBytes = 16 + 4 + 1; // sentinel, overall size, entry count
constexpr qint64 kEntryBytes = 9;              // code, start, size
constexpr qint64 kFileHeaderBytes = kBitmapFileHeaderBytes;

enum EntryCode : quint8 { CodeBmp = 2, CodeWmf = 3, CodePng = 6 };

DwgPreview failed(PreviewFailure why)
{
    DwgPreview p;
    p.failure = why;
    return p;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/// R13 ("AC1012") and later carry the preview pointer; older strings ("AC1009", "AC2.10")
/// hold other data at that place.
std::optional<PreviewFailure> checkVersion(const char* v)
{
    if (v[0] != 'A' || v[1] != 'C')
        return PreviewFailure::NotADrawing;
    if (isDigit(v[2]) && isDigit(v[3]) && isDigit(v[4]) && isDigit(v[5])) {
        const int number = (v[2] - '0') * 1000 + (v[3] - '0') * 100 + (v[4] - '0') * 10 + (v[5] - '0');
        if (number < 1012)
            return PreviewFailure::OldVersion;
        return std::nullopt;
    }
    if (isDigit(v[2]) && v[3] == '.' && isDigit(v[4]))
        return PreviewFailure::OldVersion; // AC1.2, AC1.40, AC2.10, ...
    return PreviewFailure::NotADrawing;
}

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(const QByteArray& bytes) : m_bytes(bytes) {}
    qint64 size() const override { return m_bytes.size(); }
    bool read(qint64 offset, qint64 length, char* out) const override
    {
        if (offset < 0 || length < 0 || offset > m_bytes.size() || length > m_bytes.size() - offset)
            return false;
        std::memcpy(out, m_bytes.constData() + offset, size_t(length));
        return true;
    }

private:
    const QByteArray& m_bytes;
};

/// Reads a regular file at offsets, the first 8 KB once: they hold the file header and, for
/// most drawings, the preview block's directory.
class FileSource final : public ByteSource {
public:
    explicit FileSource(const QByteArray& native) : m_file(native.constData())
    {
        m_head.resize(qsizetype(std::min<qint64>(m_file.size(), kHeadWindow)));
        if (!readFromFile(0, m_head.size(), m_head.data()))
            m_head.clear();
    }
    bool isOpen() const { return m_file.isOpen(); }
    qint64 size() const override { return m_file.size(); }
    bool read(qint64 offset, qint64 length, char* out) const override
    {
        if (!m_file.isOpen() || offset < 0 || length < 0 || offset > size() || length > size() - offset)
            return false;
        if (offset + length <= m_head.size()) {
            std::memcpy(out, m_head.constData() + offset, size_t(length));
            return true;
        }
        return readFromFile(offset, length, out);
    }

private:
    static constexpr qint64 kHeadWindow = 8192;

    bool readFromFile(qint64 offset, qint64 length, char* out) const
    {
        // In slices, so that a stopped run (a viewer closed over a slow disk) ends soon.
        const platform::RunControl* control = platform::RunControl::current();
        const qint64 slice = control ? qint64(4) << 20 : length;
        for (qint64 done = 0; done < length; done += slice) {
            if (control && control->stopRequested())
                return false;
            if (!m_file.readAt(offset + done, std::min(slice, length - done), out + done))
                return false;
        }
        return true;
    }

    RegularFile m_file;
    QByteArray m_head;
};

/// Checks the DIB that follows the first 14 bytes of `file` and writes the file header there.
bool completeBitmapFile(QByteArray& file)
{
    const qint64 dibSize = file.size() - kFileHeaderBytes;
    const std::optional<DibLayout> d = inspectDib(file.constData() + kFileHeaderBytes, dibSize);
    if (!d || file.size() > qint64(0xFFFFFFFFu))
        return false;
    char* header = file.data();
    header[0] = 'B';
    header[1] = 'M';
    qToLittleEndian(quint32(file.size()), header + 2);
    qToLittleEndian(quint32(0), header + 6);
    qToLittleEndian(quint32(kFileHeaderBytes + d->pixelOffset), header + 10);
    return true;
}

/// The preview block as the file header's pointer and the block's head declare it.
struct PreviewBlock {
    PreviewFailure failure = PreviewFailure::None;
    DwgHeader header;
    qint64 start = 0; ///< file offset of the start sentinel
    qint64 end = 0;   ///< file offset of the end sentinel
    qint64 count = 0; ///< directory entries
    char directory[255 * kEntryBytes];

    qint64 directoryEnd() const { return start + kBlockHeadBytes + count * kEntryBytes; }
};

/// Follows the file header's pointer to the preview block and reads its directory; every
/// declared place is checked against the file.
PreviewBlock readBlock(const ByteSource& source)
{
    PreviewBlock block;
    const auto fail = [&block](PreviewFailure why) {
        block.failure = why;
        return block;
    };
    const qint64 fileSize = source.size();
    block.header = readHeader(source);
    if (fileSize < kHeaderBytes)
        return fail(PreviewFailure::TooShort);
    char head[kHeaderBytes];
    if (!source.read(0, kHeaderBytes, head))
        return fail(PreviewFailure::Unreadable);
    if (const auto bad = checkVersion(head))
        return fail(*bad);
    // The pointer may still lead to a well-formed block, but what it holds is not the picture.
    if (block.header.previewEncrypted())
        return fail(PreviewFailure::Encrypted);

    block.start = qFromLittleEndian<quint32>(head + kPointerOffset);
    if (block.start == 0)
        return fail(PreviewFailure::NoPointer);
    if (block.start > fileSize - kBlockHeadBytes)
        return fail(PreviewFailure::PointerOutside);
    char blockHead[kBlockHeadBytes];
    if (!source.read(block.start, kBlockHeadBytes, blockHead))
        return fail(PreviewFailure::Unreadable);
    if (std::memcmp(blockHead, kStartSentinel, 16) != 0)
        return fail(PreviewFailure::BadSentinel);
    const qint64 overall = qFromLittleEndian<quint32>(blockHead + 16);
    block.count = quint8(blockHead[20]);

    // All values are below 2^32, so these 64-bit sums cannot overflow.
    block.end = block.start + 20 + overall;
    if (block.end + 16 > fileSize)
        return fail(PreviewFailure::PointerOutside);
    if (1 + block.count * kEntryBytes > overall)
        return fail(PreviewFailure::BadDirectory);
    if (!source.read(block.start + kBlockHeadBytes, block.count * kEntryBytes, block.directory))
        return fail(PreviewFailure::Unreadable);
    return block;
}

std::optional<PreviewFailure> checkEndSentinel(const ByteSource& source, qint64 blockEnd)
{
    char endSentinel[16];
    if (!source.read(blockEnd, 16, endSentinel))
        return PreviewFailure::Unreadable;
    if (std::memcmp(endSentinel, kEndSentinel, 16) != 0)
        return PreviewFailure::BadEndSentinel;
    return std::nullopt;
}

/// The directory entry to show: a bitmap before a PNG before a metafile; nullptr when none.
const char* chooseEntry(const PreviewBlock& block)
{
    for (const quint8 wanted : {quint8(CodeBmp), quint8(CodePng), quint8(CodeWmf)}) {
        for (qint64 i = 0; i < block.count; ++i) {
            if (quint8(block.directory[i * kEntryBytes]) == wanted)
                return block.directory + i * kEntryBytes;
        }
    }
    return nullptr;
}

/// Reads only the chosen entry, into a buffer with room in front for a bitmap's file header so
/// the image is copied once, and checks it as the picture its code names.
DwgPreview readEntry(const ByteSource& source, quint8 code, qint64 start, qint64 size)
{
    QByteArray buffer(kFileHeaderBytes + size, Qt::Uninitialized);
    if (!source.read(start, size, buffer.data() + kFileHeaderBytes))
        return failed(PreviewFailure::Unreadable);
    const char* entry = buffer.constData() + kFileHeaderBytes;

    DwgPreview preview;
    switch (code) {
    case CodeBmp:
        if (!completeBitmapFile(buffer))
            return failed(PreviewFailure::BadImage);
        preview.format = PreviewFormat::Bmp;
        break;
    case CodePng:
        if (size < qint64(sizeof kPngSignature) || std::memcmp(entry, kPngSignature, sizeof kPngSignature) != 0)
            return failed(PreviewFailure::BadImage);
        buffer.remove(0, kFileHeaderBytes);
        preview.format = PreviewFormat::Png;
        break;
    default: // WMF: at least its 18-byte header
        if (size < 18)
            return failed(PreviewFailure::BadImage);
        buffer.remove(0, kFileHeaderBytes);
        preview.format = PreviewFormat::Wmf;
        break;
    }
    preview.bytes = std::move(buffer);
    return preview;
}

DwgPreview previewFromBlock(const ByteSource& source, const PreviewBlock& block, qint64 maxEntryBytes)
{
    if (block.failure != PreviewFailure::None)
        return failed(block.failure);
    const char* chosen = chooseEntry(block);
    if (!chosen)
        return failed(checkEndSentinel(source, block.end).value_or(PreviewFailure::NoImage));

    const quint8 code = quint8(chosen[0]);
    const qint64 start = qFromLittleEndian<quint32>(chosen + 1);
    const qint64 size = qFromLittleEndian<quint32>(chosen + 5);
    if (start < block.directoryEnd() || start + size > block.end)
        return failed(PreviewFailure::EntryOutside);
    if (size == 0)
        return failed(PreviewFailure::BadImage);
    // Every size here is a declaration of the file: a sparse file may declare gigabytes.
    if (size > std::min(maxEntryBytes, kMaxPreviewBytes))
        return failed(PreviewFailure::EntryTooLarge);
    if (const auto bad = checkEndSentinel(source, block.end))
        return failed(*bad);
    return readEntry(source, code, start, size);
}

} // namespace

qint64 RegularFileSource::size() const
{
    return m_file.size();
}

bool RegularFileSource::read(qint64 offset, qint64 length, char* out) const
{
    return offset >= 0 && length >= 0 && offset <= size() && length <= size() - offset &&
           m_file.readAt(offset, length, out);
}

std::optional<DibLayout> inspectDib(const char* dib, qint64 size)
{
    if (size < 40)
        return std::nullopt;
    DibLayout d;
    d.headerSize = qFromLittleEndian<quint32>(dib);
    // BITMAPINFOHEADER up to BITMAPV5HEADER; anything else is not a Windows DIB.
    if (d.headerSize < 40 || d.headerSize > 124 || qint64(d.headerSize) > size)
        return std::nullopt;
    const qint64 width = qint32(qFromLittleEndian<quint32>(dib + 4));
    qint64 height = qint32(qFromLittleEndian<quint32>(dib + 8));
    const quint16 planes = qFromLittleEndian<quint16>(dib + 12);
    d.bitsPerPixel = qFromLittleEndian<quint16>(dib + 14);
    d.compression = qFromLittleEndian<quint32>(dib + 16);
    const quint32 clrUsed = qFromLittleEndian<quint32>(dib + 32);
    if (height < 0) {
        d.topDown = true;
        height = -height;
    }
    if (width < 1 || width > kMaxPreviewSide || height < 1 || height > kMaxPreviewSide ||
        width * height > kMaxPreviewPixels || planes != 1)
        return std::nullopt;
    d.width = qint32(width);
    d.height = qint32(height);
    switch (d.bitsPerPixel) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32: break;
    default: return std::nullopt;
    }
    switch (d.compression) {
    case kBiRgb: break;
    case kBiRle8:
        if (d.bitsPerPixel != 8 || d.topDown)
            return std::nullopt;
        break;
    case kBiRle4:
        if (d.bitsPerPixel != 4 || d.topDown)
            return std::nullopt;
        break;
    case kBiBitfields:
        if (d.bitsPerPixel != 16 && d.bitsPerPixel != 32)
            return std::nullopt;
        break;
    default: return std::nullopt;
    }
    if (d.bitsPerPixel <= 8) {
        const quint32 full = 1u << d.bitsPerPixel;
        if (clrUsed > full)
            return std::nullopt;
        d.colours = clrUsed == 0 ? full : clrUsed;
    }
    // With the short header, the three channel masks follow it.
    const qint64 masks = (d.compression == kBiBitfields && d.headerSize == 40) ? 12 : 0;
    d.paletteOffset = qint64(d.headerSize) + masks;
    d.pixelOffset = d.paletteOffset + 4 * qint64(d.colours);
    if (d.pixelOffset > size)
        return std::nullopt;
    if (d.compression == kBiRgb || d.compression == kBiBitfields) {
        d.stride = ((qint64(d.width) * d.bitsPerPixel + 31) / 32) * 4;
        // Trust the bytes present, not biSizeImage, which some writers overstate.
        if (d.stride * d.height > size - d.pixelOffset)
            return std::nullopt;
    } else if (d.pixelOffset >= size) {
        return std::nullopt; // run-length data cannot be empty
    }
    return d;
}

QByteArray bitmapFileFromDib(const QByteArray& dib)
{
    if (dib.size() < 40)
        return {};
    QByteArray file(kFileHeaderBytes + dib.size(), Qt::Uninitialized);
    std::memcpy(file.data() + kFileHeaderBytes, dib.constData(), size_t(dib.size()));
    return completeBitmapFile(file) ? file : QByteArray();
}

DwgPreview extractPreview(const ByteSource& source, qint64 maxEntryBytes)
{
    const PreviewBlock block = readBlock(source);
    DwgPreview preview = previewFromBlock(source, block, maxEntryBytes);
    preview.header = block.header;
    return preview;
}

DwgPreview extractPreview(const QByteArray& drawing)
{
    return extractPreview(MemorySource(drawing));
}

DwgPreview readPreview(const QString& path, platform::RunControl* control, qint64 maxEntryBytes)
{
    return readPreview(QFile::encodeName(path), control, maxEntryBytes);
}

DwgPreview readPreview(const QByteArray& nativePath, platform::RunControl* control, qint64 maxEntryBytes)
{
    const platform::RunControl::Scope scope(control);
    const FileSource file(nativePath);
    if (!file.isOpen())
        return failed(PreviewFailure::Unreadable);
    return extractPreview(file, maxEntryBytes);
}

} // namespace korvane::dwgformat
