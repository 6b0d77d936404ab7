#pragma once
// Builds small drawings with a preview block, for tests of the reader and the viewer.

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <utility>

namespace korvane::drawingviewer::testing {

inline const QByteArray kStartSentinel = QByteArray::fromHex("1F256D07D43628289D57CA3F9D44102B");
inline const QByteArray kEndSentinel = QByteArray::fromHex("E0DA92F82BC9D7D762A835C062BBEFD4");

inline void putLe32(QByteArray& bytes, qsizetype at, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + at);
}

inline QByteArray le32(quint32 value)
{
    QByteArray b(4, '\0');
    putLe32(b, 0, value);
    return b;
}

inline QByteArray le16(quint16 value)
{
    QByteArray b(2, '\0');
    qToLittleEndian<quint16>(value, b.data());
    return b;
}

/// Palette entry i of makeDib(): distinct colours, with junk in the fourth byte.
inline QRgb synthColour(int i)
{
    return qRgb((i * 37) & 0xFF, (i * 91 + 17) & 0xFF, (255 - i * 13) & 0xFF);
}

/// A bare DIB with a BITMAPINFOHEADER. Pixel (x, y) (top row first) has palette index
/// (x + 3 * y) % colours for <= 8 bits; for more bits it is synthColour(x + 3 * y).
/// `height` < 0 stores the rows top-down.
inline QByteArray makeDib(int width, int height, int bpp, quint32 clrUsed = 0)
{
    const int rows = height < 0 ? -height : height;
    const int colours = bpp <= 8 ? int(clrUsed ? clrUsed : (1u << bpp)) : 0;
    const qsizetype stride = ((qsizetype(width) * bpp + 31) / 32) * 4;
    QByteArray dib;
    dib += le32(40);
    dib += le32(quint32(width));
    dib += le32(quint32(height));
    dib += le16(1);
    dib += le16(quint16(bpp));
    dib += le32(0);                      // BI_RGB
    dib += le32(quint32(stride * rows)); // biSizeImage
    dib += le32(0) + le32(0);            // resolution
    dib += le32(clrUsed);
    dib += le32(0); // biClrImportant
    for (int i = 0; i < colours; ++i) {
        const QRgb c = synthColour(i);
        dib += char(qBlue(c));
        dib += char(qGreen(c));
        dib += char(qRed(c));
        dib += char(0x5A + i); // not alpha: writers leave anything here
    }
    for (int r = 0; r < rows; ++r) {
        const int y = height < 0 ? r : rows - 1 - r; // bottom-up unless height < 0
        QByteArray row(stride, '\0');
        for (int x = 0; x < width; ++x) {
            const int v = x + 3 * y;
            switch (bpp) {
            case 1: row[x >> 3] = char(row[x >> 3] | ((v % colours) << (7 - (x & 7)))); break;
            case 4: row[x >> 1] = char(row[x >> 1] | ((v % colours) << ((x & 1) ? 0 : 4))); break;
            case 8: row[x] = char(v % colours); break;
            case 24: {
                const QRgb c = synthColour(v);
                row[3 * x] = char(qBlue(c));
                row[3 * x + 1] = char(qGreen(c));
                row[3 * x + 2] = char(qRed(c));
                break;
            }
            case 32: {
                const QRgb c = synthColour(v);
                row[4 * x] = char(qBlue(c));
                row[4 * x + 1] = char(qGreen(c));
                row[4 * x + 2] = char(qRed(c));
                row[4 * x + 3] = char(0x11 * (x & 3)); // junk, not alpha
                break;
            }
            default: break;
            }
        }
        dib += row;
    }
    return dib;
}

/// A system page of the R2004 layout holding `data` as one literal run (n >= 4 bytes), ended
/// by the terminating opcode 0x11.
inline QByteArray literalPage(quint32 type, const QByteArray& data)
{
    QByteArray run(1, char(data.size() - 3));
    if (data.size() - 3 > 0x0F) {
        run = QByteArray(1, '\0');
        qsizetype rest = data.size() - 3 - 0x0F;
        for (; rest > 0xFF; rest -= 0xFF)
            run += '\0';
        run += char(rest);
    }
    run += data + '\x11';
    return le32(type) + le32(quint32(data.size())) + le32(quint32(run.size())) + le32(2) + le32(0) + run;
}

/// The encrypted file header at 0x80 and, from 0x100, the page map and a section map that lists
/// `sections` (name, encrypted flag), as R2004 and later (but R2007) store them.
inline QByteArray sectionArea(const QList<std::pair<QByteArray, quint32>>& sections)
{
    QByteArray map = le32(quint32(sections.size())) + le32(2) + le32(0x7400) + le32(0) + le32(quint32(sections.size()));
    for (const auto& [name, encrypted] : sections)
        map += QByteArray(8, '\0') + le32(0) + le32(0x7400) + le32(0) + le32(2) + le32(1) + le32(encrypted) +
               name.leftJustified(64, '\0');
    const QByteArray mapPage = literalPage(0x4163003B, map);
    const auto pageMap = [&](quint32 ownSize) {
        return le32(1) + le32(ownSize) + le32(2) + le32(quint32(mapPage.size()));
    };
    const QByteArray pageMapPage =
        literalPage(0x41630E3B, pageMap(quint32(literalPage(0x41630E3B, pageMap(0)).size())));
    QByteArray header = QByteArray("AcFssFcAJMB", 12).leftJustified(0x6C, '\0');
    putLe32(header, 0x54, 0); // the page map first, at 0x100
    putLe32(header, 0x5C, 2); // the section map is page 2
    quint32 seed = 1;
    for (char& c : header) {
        seed = seed * 0x343FDu + 0x269EC3u;
        c = char(c ^ char(seed >> 16));
    }
    return header + QByteArray(0x100 - 0x80 - 0x6C, '\0') + pageMapPage + mapPage;
}

/// A drawing: a 0x80-byte header with the version and the pointer at 0x0D, the preview block
/// at `blockOffset`, then `tail`. The offsets of each part are kept for tests that corrupt one.
struct SynthDrawing {
    QByteArray version = "AC1018";
    qsizetype blockOffset = 0x80;
    QList<std::pair<quint8, QByteArray>> entries;
    qsizetype tail = 64;
    /// Written at 0x18, where R2004 and later keep their security flags.
    quint32 securityFlags = 0;
    /// A section map from 0x80 (blockOffset must leave room: 0x300) listing these sections.
    QList<std::pair<QByteArray, quint32>> sections;

    qsizetype overallOffset() const { return blockOffset + 16; }
    qsizetype countOffset() const { return blockOffset + 20; }
    qsizetype directoryOffset(int i) const { return blockOffset + 21 + 9 * i; }
    qsizetype overallSize() const
    {
        qsizetype n = 1 + 9 * entries.size();
        for (const auto& e : entries)
            n += e.second.size();
        return n;
    }
    qsizetype endSentinelOffset() const { return blockOffset + 20 + overallSize(); }
    qsizetype entryStart(int i) const
    {
        qsizetype at = directoryOffset(int(entries.size()));
        for (int k = 0; k < i; ++k)
            at += entries[k].second.size();
        return at;
    }

    QByteArray build() const
    {
        QByteArray bytes(qMax<qsizetype>(blockOffset, 0x11), '\0');
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char(0xC3 ^ i); // header bytes that are not zero
        bytes.replace(0, version.size(), version);
        putLe32(bytes, 0x0D, quint32(blockOffset));
        if (bytes.size() >= 0x1C)
            putLe32(bytes, 0x18, securityFlags);
        if (!sections.isEmpty()) {
            const QByteArray area = sectionArea(sections);
            bytes.replace(0x80, area.size(), area);
        }
        bytes += kStartSentinel;
        bytes += le32(quint32(overallSize()));
        bytes += char(entries.size());
        for (int i = 0; i < entries.size(); ++i) {
            bytes += char(entries[i].first);
            bytes += le32(quint32(entryStart(i)));
            bytes += le32(quint32(entries[i].second.size()));
        }
        for (const auto& e : entries)
            bytes += e.second;
        bytes += kEndSentinel;
        bytes += QByteArray(tail, '\x77');
        return bytes;
    }
};

/// A drawing whose flags are borne out: a security section stands in its section map.
inline SynthDrawing securedDrawing(quint32 flags)
{
    SynthDrawing d;
    d.securityFlags = flags;
    d.sections = {{"AcDb:Header", 0}, {"AcDb:Security", 0}};
    d.blockOffset = 0x300;
    return d;
}

/// The 80 zero bytes of the header entry every real drawing carries first.
inline std::pair<quint8, QByteArray> headerEntry()
{
    return {1, QByteArray(80, '\0')};
}

} // namespace korvane::drawingviewer::testing
