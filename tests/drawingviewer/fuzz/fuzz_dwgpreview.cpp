// libFuzzer target for the drawing preview reader: any bytes, as a drawing and as a bare DIB.
#include "drawingviewer/dwgpreview.h"
#include "drawingviewer/stretch.h"

#include <QByteArray>
#include <QImage>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace korvane::drawingviewer;
using namespace korvane::dwgformat;

namespace {

void exercise(const DwgPreview& preview)
{
    const QImage image = decodePreview(preview);
    if (image.isNull())
        return;
    // Merging runs of pixels indexes by computed bounds; shrink by odd factors in both modes.
    for (int mode : {1, 2})
        (void)reduceForStretch(image, QSize(qMax(1, image.width() / 3), qMax(1, image.height() / 2 + 1)), mode);
}

/// The input as the start of a much larger sparse drawing, so declared offsets and sizes in
/// the gigabytes are reachable with small inputs: the first 4 bytes give the file's size in
/// 4 KiB units beyond the data; the data's last 32 bytes appear again at the very end, where
/// an end sentinel may then lie. Asking for more than a preview can hold is a fault.
class SparseSource final : public ByteSource {
public:
    SparseSource(const char* data, qint64 length, qint64 extra) : m_data(data), m_length(length)
    {
        m_tail = std::min<qint64>(32, length);
        m_size = length + extra + m_tail;
    }
    qint64 size() const override { return m_size; }
    bool read(qint64 offset, qint64 length, char* out) const override
    {
        if (length > kMaxPreviewBytes)
            __builtin_trap();
        if (offset < 0 || length < 0 || offset > m_size || length > m_size - offset)
            return false;
        std::memset(out, 0, size_t(length));
        copy(offset, length, out, 0, m_data, m_length);
        copy(offset, length, out, m_size - m_tail, m_data + m_length - m_tail, m_tail);
        return true;
    }

private:
    static void copy(qint64 offset, qint64 length, char* out, qint64 at, const char* bytes, qint64 count)
    {
        const qint64 from = std::max(offset, at), to = std::min(offset + length, at + count);
        if (from < to)
            std::memcpy(out + (from - offset), bytes + (from - at), size_t(to - from));
    }
    const char* m_data;
    qint64 m_length;
    qint64 m_tail = 0;
    qint64 m_size = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Qt's image readers warn about broken input; the noise would slow the run down. (libpng's
    // own "libpng error" lines go to stderr directly and remain.)
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // No copy: ASan sees any read past the fuzzer's exactly sized buffer.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    exercise(extractPreview(bytes));
    if (size > 4) {
        const qint64 extra =
            qint64(quint32(data[0]) | (quint32(data[1]) << 8) | (quint32(data[2]) << 16) | (quint32(data[3]) << 24)) *
            4096;
        // The size bound keeps each run quick: at most a few megabytes are ever read.
        const DwgPreview sparse =
            extractPreview(SparseSource(bytes.constData() + 4, qint64(size) - 4, extra), qint64(4) << 20);
        if (sparse.ok() && sparse.bytes.size() > (qint64(4) << 20) + 14)
            __builtin_trap();
        exercise(sparse);
    }

    DwgPreview asBitmap;
    asBitmap.format = PreviewFormat::Bmp;
    asBitmap.bytes = bitmapFileFromDib(bytes);
    if (!asBitmap.bytes.isEmpty())
        exercise(asBitmap);
    return 0;
}
