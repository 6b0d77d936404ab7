#pragma once
// Helpers shared by the preview reader's tests: files, bitmaps, and a source of any declared size.

#include "drawingviewer/dwgpreview.h"
#include "dwgsynth.h"
#include "support/samples.h"
#include "support/testtree.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QMetaType>

#include <algorithm>
#include <cstring>

Q_DECLARE_METATYPE(korvane::drawingviewer::PreviewFailure)
Q_DECLARE_METATYPE(korvane::drawingviewer::PreviewFormat)

namespace korvane::drawingviewer::testing {

using namespace dwgformat;
using testsupport::bytesOf;
using testsupport::missingSamples;
using testsupport::sampleFolder;
using testsupport::writeAll;

/// A drawing whose only image is an 8-bit BMP, as R13 to 2010 store it.
inline SynthDrawing bmpDrawing(const QByteArray& dib = makeDib(7, 5, 8))
{
    SynthDrawing d;
    d.entries = {headerEntry(), {2, dib}};
    return d;
}

inline QByteArray pngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

inline quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void putBe32(QByteArray& bytes, qsizetype at, quint32 value)
{
    qToBigEndian<quint32>(value, bytes.data() + at);
}

/// A drawing as large as it declares: the given bytes at offset 0, zeros after them as in a
/// sparse file, and optional islands of bytes far out. Counts what the reader asks for.
class SparseSource final : public ByteSource {
public:
    SparseSource(const QByteArray& head, qint64 size) : m_head(head), m_size(size) {}
    void place(qint64 offset, const QByteArray& bytes) { m_islands.append({offset, bytes}); }
    qint64 size() const override { return m_size; }
    bool read(qint64 offset, qint64 length, char* out) const override
    {
        largestRead = std::max(largestRead, length);
        totalRead += length;
        if (offset < 0 || length < 0 || offset > m_size || length > m_size - offset)
            return false;
        std::memset(out, 0, size_t(length));
        const auto copy = [&](qint64 at, const QByteArray& bytes) {
            const qint64 from = std::max(offset, at), to = std::min(offset + length, at + bytes.size());
            if (from < to)
                std::memcpy(out + (from - offset), bytes.constData() + (from - at), size_t(to - from));
        };
        copy(0, m_head);
        for (const auto& [at, bytes] : m_islands)
            copy(at, bytes);
        return true;
    }
    mutable qint64 largestRead = 0;
    mutable qint64 totalRead = 0;

private:
    QByteArray m_head;
    qint64 m_size;
    QList<std::pair<qint64, QByteArray>> m_islands;
};

} // namespace korvane::drawingviewer::testing
