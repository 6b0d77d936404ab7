#include "drawingviewer/dwgpreview.h"
#include "drawingviewer/stretch.h"
#include "dwgsynth.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using namespace korvane::drawingviewer;
using namespace korvane::drawingviewer::testing;

Q_DECLARE_METATYPE(PreviewFailure)
Q_DECLARE_METATYPE(PreviewFormat)

namespace {

QString sampleFolder()
{
    const QByteArray root = qgetenv("KORVANE_TESTDATA");
    return root.isEmpty() ? QString() : QString::fromLocal8Bit(root) + QStringLiteral("/dwg");
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

/// A drawing whose only image is an 8-bit BMP, as R13 to 2010 store it.
SynthDrawing bmpDrawing(const QByteArray& dib = makeDib(7, 5, 8))
{
    SynthDrawing d;
    d.entries = {headerEntry(), {2, dib}};
    return d;
}

QByteArray pngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBe32(QByteArray& bytes, qsizetype at, quint32 value)
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

} // namespace

class TestDwgPreview : public QObject {
    Q_OBJECT
private slots:
    void samples_data();
    void samples();
    void oddSamplesAreRefused_data();
    void oddSamplesAreRefused();
    void sampleDecodesLikeQtReadsTheExpectedBitmap_data();
    void sampleDecodesLikeQtReadsTheExpectedBitmap();

    void structureChecks_data();
    void structureChecks();
    void entryChoice_data();
    void entryChoice();

    void bitmapFileHeader_data();
    void bitmapFileHeader();
    void dibChecks_data();
    void dibChecks();
    void decodesEveryDepthOpaque_data();
    void decodesEveryDepthOpaque();
    void entrySizeIsTrustedOverSizeImage();
    void sixteenBitAndRunLengthBitmaps();
    void pngWithAlphaShowsOnWhite();
    void oversizedPngIsRefused();
    void hugeDeclarationsAllocateNothing_data();
    void hugeDeclarationsAllocateNothing();
    void sparseFileOnDisk();
    void readsOnlyTheChosenEntry();

    void everyTruncationOfASmallDrawing();
    void everyTruncationOfARealSample();
    void filesThatAreNotDrawings();

    void shrinkingKeepsDetailByMode_data();
    void shrinkingKeepsDetailByMode();
    void enlargingIsNearestPixelExceptHalftone();
    void renderRefusesHugePictures();
};

// ---- the real samples -----------------------------------------------------------------

void TestDwgPreview::samples_data()
{
    QTest::addColumn<QString>("drawing");
    QTest::addColumn<PreviewFormat>("format");
    QTest::addColumn<QString>("expected"); // "" for no expected image
    QTest::addColumn<QSize>("size");
    QTest::addColumn<PreviewFailure>("failure");

    const auto bmp = PreviewFormat::Bmp, png = PreviewFormat::Png, none = PreviewFormat::None;
    const auto ok = PreviewFailure::None;
    QTest::newRow("r13") << "r13_bmp_example.dwg" << bmp << "r13_bmp_example.bmp" << QSize(216, 140) << ok;
    QTest::newRow("r14 overstated biSizeImage") << "r14_bmp_v.dwg" << bmp << "r14_bmp_v.bmp" << QSize(180, 116) << ok;
    QTest::newRow("r2000") << "r2000_bmp_sample.dwg" << bmp << "r2000_bmp_sample.bmp" << QSize(180, 88) << ok;
    QTest::newRow("r2004") << "r2004_bmp_line.dwg" << bmp << "r2004_bmp_line.bmp" << QSize(256, 102) << ok;
    QTest::newRow("r2007") << "r2007_bmp_line.dwg" << bmp << "r2007_bmp_line.bmp" << QSize(256, 102) << ok;
    QTest::newRow("r2010 pointer 288") << "r2010_bmp_gh209.dwg" << bmp << "r2010_bmp_gh209.bmp" << QSize(224, 140)
                                       << ok;
    QTest::newRow("r2013 png") << "r2013_png_line.dwg" << png << "r2013_png_line.png" << QSize(256, 102) << ok;
    QTest::newRow("r2018 png") << "r2018_png_sample.dwg" << png << "r2018_png_sample.png" << QSize(597, 448) << ok;
    QTest::newRow("r2000 count 0") << "r2000_empty_polyline2d.dwg" << none << "" << QSize() << PreviewFailure::NoImage;
    QTest::newRow("r2018 count 0") << "r2018_empty_constraints.dwg" << none << "" << QSize() << PreviewFailure::NoImage;
    QTest::newRow("r2018 header only") << "r2018_headeronly_line.dwg" << none << "" << QSize()
                                       << PreviewFailure::NoImage;
    QTest::newRow("r11") << "r11_nopreview_entities2d.dwg" << none << "" << QSize() << PreviewFailure::OldVersion;
    QTest::newRow("r2.10") << "r2_10_nopreview_entities.dwg" << none << "" << QSize() << PreviewFailure::OldVersion;
}

void TestDwgPreview::samples()
{
    const QString folder = sampleFolder();
    if (folder.isEmpty() || !QDir(folder).exists())
        QSKIP("KORVANE_TESTDATA not set");
    QFETCH(QString, drawing);
    QFETCH(PreviewFormat, format);
    QFETCH(QString, expected);
    QFETCH(QSize, size);
    QFETCH(PreviewFailure, failure);

    const QString path = folder + QLatin1Char('/') + drawing;
    const DwgPreview fromFile = readPreview(path);
    QCOMPARE(fromFile.format, format);
    QCOMPARE(fromFile.failure, failure);
    // Memory and file go through the same checks.
    const DwgPreview fromMemory = extractPreview(readAll(path));
    QCOMPARE(fromMemory.format, format);
    QCOMPARE(fromMemory.bytes, fromFile.bytes);

    const QImage image = decodePreview(fromFile);
    if (expected.isEmpty()) {
        QVERIFY(fromFile.bytes.isEmpty());
        QVERIFY(image.isNull());
        return;
    }
    const QByteArray want = readAll(folder + QLatin1Char('/') + expected);
    QVERIFY(!want.isEmpty());
    QCOMPARE(fromFile.bytes.size(), want.size());
    QVERIFY(fromFile.bytes == want); // byte for byte
    QCOMPARE(image.size(), size);
    QCOMPARE(image.format(), QImage::Format_RGB32);
}

void TestDwgPreview::oddSamplesAreRefused_data()
{
    QTest::addColumn<QString>("drawing");
    QTest::addColumn<PreviewFailure>("failure");
    // The block claims more than the 8 KB left: the BMP and the end sentinel are cut off.
    QTest::newRow("truncated in bmp") << "odd_r2000_truncated_in_bmp.dwg" << PreviewFailure::PointerOutside;
    QTest::newRow("pointer zero") << "odd_r2000_pointer_zero.dwg" << PreviewFailure::NoPointer;
}

void TestDwgPreview::oddSamplesAreRefused()
{
    const QString folder = sampleFolder();
    if (folder.isEmpty() || !QDir(folder).exists())
        QSKIP("KORVANE_TESTDATA not set");
    QFETCH(QString, drawing);
    QFETCH(PreviewFailure, failure);
    const DwgPreview p = readPreview(folder + QLatin1Char('/') + drawing);
    QCOMPARE(p.failure, failure);
    QVERIFY(!p.ok());
    QVERIFY(loadPreviewImage(folder + QLatin1Char('/') + drawing).isNull());
}

void TestDwgPreview::sampleDecodesLikeQtReadsTheExpectedBitmap_data()
{
    QTest::addColumn<QString>("base");
    QTest::newRow("r13") << "r13_bmp_example";
    QTest::newRow("r14") << "r14_bmp_v";
    QTest::newRow("r2010") << "r2010_bmp_gh209";
}

void TestDwgPreview::sampleDecodesLikeQtReadsTheExpectedBitmap()
{
    const QString folder = sampleFolder();
    if (folder.isEmpty() || !QDir(folder).exists())
        QSKIP("KORVANE_TESTDATA not set");
    QFETCH(QString, base);
    const QImage ours = loadPreviewImage(folder + QLatin1Char('/') + base + QStringLiteral(".dwg"));
    const QImage qts =
        QImage(folder + QLatin1Char('/') + base + QStringLiteral(".bmp")).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!qts.isNull());
    QCOMPARE(ours, qts);
}

// ---- synthesized drawings: every check of the format -----------------------------------

void TestDwgPreview::structureChecks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<PreviewFailure>("failure");

    const SynthDrawing d = bmpDrawing();
    const QByteArray good = d.build();
    const auto patched = [&](qsizetype at, const QByteArray& with) {
        QByteArray b = good;
        b.replace(at, with.size(), with);
        return b;
    };
    const auto pointer = [&](quint32 v) { return patched(0x0D, le32(v)); };
    const auto entryField = [&](int entry, int field, quint32 v) { // field 1 start, 5 size
        return patched(d.directoryOffset(entry) + field, le32(v));
    };

    QTest::newRow("intact") << good << PreviewFailure::None;
    QTest::newRow("empty") << QByteArray() << PreviewFailure::TooShort;
    QTest::newRow("16 bytes") << good.left(16) << PreviewFailure::TooShort;
    QTest::newRow("not a drawing") << patched(0, "PK\x03\x04"
                                                 "ab")
                                   << PreviewFailure::NotADrawing;
    QTest::newRow("AC letters") << patched(0, "ACADXX") << PreviewFailure::NotADrawing;
    QTest::newRow("R12 AC1009") << patched(0, "AC1009") << PreviewFailure::OldVersion;
    QTest::newRow("R13 beta AC1011") << patched(0, "AC1011") << PreviewFailure::OldVersion;
    QTest::newRow("AC2.10") << patched(0, "AC2.10") << PreviewFailure::OldVersion;
    QTest::newRow("AC1.40") << patched(0, "AC1.40") << PreviewFailure::OldVersion;
    QTest::newRow("R13 AC1012") << patched(0, "AC1012") << PreviewFailure::None;
    QTest::newRow("2018 AC1032") << patched(0, "AC1032") << PreviewFailure::None;
    QTest::newRow("pointer 0") << pointer(0) << PreviewFailure::NoPointer;
    QTest::newRow("pointer past end") << pointer(quint32(good.size())) << PreviewFailure::PointerOutside;
    QTest::newRow("pointer 0xFFFFFFFF") << pointer(0xFFFFFFFFu) << PreviewFailure::PointerOutside;
    QTest::newRow("pointer leaves no block head")
        << pointer(quint32(good.size() - 20)) << PreviewFailure::PointerOutside;
    QTest::newRow("pointer one off") << pointer(quint32(d.blockOffset + 1)) << PreviewFailure::BadSentinel;
    QTest::newRow("start sentinel changed") << patched(d.blockOffset + 15, "\x2C") << PreviewFailure::BadSentinel;
    QTest::newRow("overall size 0xFFFFFFFF")
        << patched(d.overallOffset(), le32(0xFFFFFFFFu)) << PreviewFailure::PointerOutside;
    QTest::newRow("overall size past end")
        << patched(d.overallOffset(), le32(quint32(good.size()))) << PreviewFailure::PointerOutside;
    QTest::newRow("overall size one less")
        << patched(d.overallOffset(), le32(quint32(d.overallSize() - 1))) << PreviewFailure::EntryOutside;
    QTest::newRow("overall size 0") << patched(d.overallOffset(), le32(0)) << PreviewFailure::BadDirectory;
    QTest::newRow("count beyond block") << patched(d.countOffset(), QByteArray(1, char(255)))
                                        << PreviewFailure::BadDirectory;
    QTest::newRow("end sentinel changed") << patched(d.endSentinelOffset(), "\xE1") << PreviewFailure::BadEndSentinel;
    QTest::newRow("end sentinel changed, last byte")
        << patched(d.endSentinelOffset() + 15, "\xD5") << PreviewFailure::BadEndSentinel;
    {
        SynthDrawing empty;
        empty.entries = {headerEntry()};
        QByteArray b = empty.build();
        b[empty.endSentinelOffset()] = '\0';
        QTest::newRow("end sentinel changed, no image") << b << PreviewFailure::BadEndSentinel;
        QTest::newRow("no image") << empty.build() << PreviewFailure::NoImage;
    }
    QTest::newRow("entry starts in directory")
        << entryField(1, 1, quint32(d.directoryOffset(1))) << PreviewFailure::EntryOutside;
    QTest::newRow("entry starts at 0") << entryField(1, 1, 0) << PreviewFailure::EntryOutside;
    QTest::newRow("entry runs past block")
        << entryField(1, 5, quint32(d.entries[1].second.size() + 1)) << PreviewFailure::EntryOutside;
    QTest::newRow("entry start + size overflows 32 bits")
        << entryField(1, 5, 0xFFFFFFFFu) << PreviewFailure::EntryOutside;
    QTest::newRow("entry size 0") << entryField(1, 5, 0) << PreviewFailure::BadImage;
    QTest::newRow("bmp entry cut short") << entryField(1, 5, 39) << PreviewFailure::BadImage;
}

void TestDwgPreview::structureChecks()
{
    QFETCH(QByteArray, bytes);
    QFETCH(PreviewFailure, failure);
    const DwgPreview p = extractPreview(bytes);
    QCOMPARE(p.failure, failure);
    QCOMPARE(p.ok(), failure == PreviewFailure::None);
    QCOMPARE(decodePreview(p).isNull(), failure != PreviewFailure::None);
}

void TestDwgPreview::entryChoice_data()
{
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<PreviewFormat>("format");
    QTest::addColumn<int>("chosen"); // index into codes, -1 for none
    QTest::newRow("header, bmp") << QList<int>{1, 2} << PreviewFormat::Bmp << 1;
    QTest::newRow("png before bmp") << QList<int>{1, 6, 2} << PreviewFormat::Bmp << 2;
    QTest::newRow("two bmps: first") << QList<int>{2, 1, 2} << PreviewFormat::Bmp << 0;
    QTest::newRow("wmf before png") << QList<int>{3, 6} << PreviewFormat::Png << 1;
    QTest::newRow("two pngs: first") << QList<int>{1, 6, 6} << PreviewFormat::Png << 1;
    QTest::newRow("wmf only") << QList<int>{1, 3} << PreviewFormat::Wmf << 1;
    QTest::newRow("unknown codes") << QList<int>{1, 4, 5, 7, 0} << PreviewFormat::None << -1;
    QTest::newRow("header only") << QList<int>{1} << PreviewFormat::None << -1;
    QTest::newRow("none") << QList<int>{} << PreviewFormat::None << -1;
}

void TestDwgPreview::entryChoice()
{
    QFETCH(QList<int>, codes);
    QFETCH(PreviewFormat, format);
    QFETCH(int, chosen);
    SynthDrawing d;
    QList<QByteArray> payloads;
    for (int i = 0; i < codes.size(); ++i) {
        QByteArray payload;
        switch (codes[i]) {
        case 2: payload = makeDib(3 + i, 2, 8); break; // widths tell the entries apart
        case 6: payload = pngBytes(QImage(3 + i, 2, QImage::Format_RGB32)); break;
        case 3: payload = QByteArray(18 + i, '\x01'); break;
        default: payload = QByteArray(80, '\0'); break;
        }
        payloads << payload;
        d.entries.append({quint8(codes[i]), payload});
    }
    const DwgPreview p = extractPreview(d.build());
    QCOMPARE(p.format, format);
    if (chosen < 0) {
        QCOMPARE(p.failure, PreviewFailure::NoImage);
        return;
    }
    if (format == PreviewFormat::Bmp)
        QCOMPARE(p.bytes.mid(14), payloads[chosen]);
    else
        QCOMPARE(p.bytes, payloads[chosen]);
    // A metafile is found but not rendered.
    const QImage image = decodePreview(p);
    QCOMPARE(image.isNull(), format == PreviewFormat::Wmf);
    if (!image.isNull())
        QCOMPARE(image.width(), 3 + chosen);
}

// ---- bitmaps -----------------------------------------------------------------------------

void TestDwgPreview::bitmapFileHeader_data()
{
    QTest::addColumn<QByteArray>("dib");
    QTest::addColumn<quint32>("pixelOffset");
    QTest::newRow("8 bpp, 256 colours") << makeDib(5, 3, 8) << 1078u;
    QTest::newRow("8 bpp, 16 colours used") << makeDib(5, 3, 8, 16) << quint32(14 + 40 + 64);
    QTest::newRow("4 bpp") << makeDib(5, 3, 4) << quint32(14 + 40 + 64);
    QTest::newRow("1 bpp") << makeDib(5, 3, 1) << quint32(14 + 40 + 8);
    QTest::newRow("24 bpp") << makeDib(5, 3, 24) << 54u;
    QTest::newRow("32 bpp") << makeDib(5, 3, 32) << 54u;
}

void TestDwgPreview::bitmapFileHeader()
{
    QFETCH(QByteArray, dib);
    QFETCH(quint32, pixelOffset);
    const QByteArray file = bitmapFileFromDib(dib);
    QCOMPARE(file.left(2), QByteArray("BM"));
    QCOMPARE(qFromLittleEndian<quint32>(file.constData() + 2), quint32(14 + dib.size()));
    QCOMPARE(qFromLittleEndian<quint32>(file.constData() + 6), 0u);
    QCOMPARE(qFromLittleEndian<quint32>(file.constData() + 10), pixelOffset);
    QCOMPARE(file.mid(14), dib);
    // Another reader agrees on where the pixels are.
    QCOMPARE(QImage::fromData(file, "BMP").size(), QSize(5, 3));
}

void TestDwgPreview::dibChecks_data()
{
    QTest::addColumn<QByteArray>("dib");
    const QByteArray good = makeDib(6, 4, 8);
    const auto patched = [&](qsizetype at, const QByteArray& with) {
        QByteArray b = good;
        b.replace(at, with.size(), with);
        return b;
    };
    QTest::newRow("39 bytes") << good.left(39);
    QTest::newRow("core header 12") << patched(0, le32(12));
    QTest::newRow("header larger than entry") << patched(0, le32(quint32(good.size() + 1)));
    QTest::newRow("header 200") << patched(0, le32(200));
    QTest::newRow("width 0") << patched(4, le32(0));
    QTest::newRow("width negative") << patched(4, le32(quint32(-6)));
    QTest::newRow("width huge") << patched(4, le32(100000));
    QTest::newRow("height 0") << patched(8, le32(0));
    QTest::newRow("height INT_MIN") << patched(8, le32(0x80000000u));
    {
        // 4097 x 4097 at 1 bpp: every byte present, but more pixels than a preview may have.
        QByteArray big = makeDib(1, 1, 1);
        putLe32(big, 4, 4097);
        putLe32(big, 8, 4097);
        big = big.left(40 + 8) + QByteArray(qsizetype(516) * 4097, '\0');
        QTest::newRow("too many pixels") << big;
    }
    QTest::newRow("planes 2") << patched(12, le16(2));
    QTest::newRow("bpp 7") << patched(14, le16(7));
    QTest::newRow("bpp 0") << patched(14, le16(0));
    QTest::newRow("jpeg compression") << patched(16, le32(4));
    QTest::newRow("rle4 at 8 bpp") << patched(16, le32(2));
    QTest::newRow("clrUsed above 256") << patched(32, le32(257));
    QTest::newRow("palette beyond entry") << good.left(40 + 4 * 255);
    QTest::newRow("pixels one byte short") << good.left(good.size() - 1);
    QTest::newRow("32 bpp pixels short") << makeDib(6, 4, 32).left(40 + 6 * 4 * 4 - 1);
}

void TestDwgPreview::dibChecks()
{
    QFETCH(QByteArray, dib);
    QVERIFY(bitmapFileFromDib(dib).isEmpty());
    SynthDrawing d = bmpDrawing(dib);
    const DwgPreview p = extractPreview(d.build());
    QCOMPARE(p.failure, PreviewFailure::BadImage);
}

void TestDwgPreview::decodesEveryDepthOpaque_data()
{
    QTest::addColumn<int>("bpp");
    QTest::addColumn<int>("height");
    for (int bpp : {1, 4, 8, 24, 32}) {
        QTest::newRow(qPrintable(QStringLiteral("%1 bpp bottom-up").arg(bpp))) << bpp << 5;
        QTest::newRow(qPrintable(QStringLiteral("%1 bpp top-down").arg(bpp))) << bpp << -5;
    }
}

void TestDwgPreview::decodesEveryDepthOpaque()
{
    QFETCH(int, bpp);
    QFETCH(int, height);
    const int width = 11; // odd, so rows need padding at every depth
    DwgPreview p;
    p.format = PreviewFormat::Bmp;
    p.bytes = bitmapFileFromDib(makeDib(width, height, bpp));
    const QImage image = decodePreview(p);
    QCOMPARE(image.size(), QSize(width, qAbs(height)));
    QCOMPARE(image.format(), QImage::Format_RGB32);
    const int colours = 1 << qMin(bpp, 8);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < width; ++x) {
            const int v = x + 3 * y;
            const QRgb want = bpp <= 8 ? synthColour(v % colours) : synthColour(v);
            QCOMPARE(image.pixel(x, y), want | 0xFF000000u); // junk fourth bytes ignored
        }
    }
}

void TestDwgPreview::entrySizeIsTrustedOverSizeImage()
{
    QByteArray dib = makeDib(9, 4, 8);
    putLe32(dib, 20, 0x7FFFFFFF); // biSizeImage far beyond the entry
    const DwgPreview p = extractPreview(bmpDrawing(dib).build());
    QVERIFY(p.ok());
    QCOMPARE(decodePreview(p).size(), QSize(9, 4));
}

void TestDwgPreview::sixteenBitAndRunLengthBitmaps()
{
    const auto header = [](int w, int h, int bpp, quint32 compression, quint32 colours) {
        QByteArray dib = le32(40) + le32(quint32(w)) + le32(quint32(h)) + le16(1) + le16(quint16(bpp)) +
                         le32(compression) + le32(0) + le32(0) + le32(0) + le32(colours) + le32(0);
        for (quint32 i = 0; i < colours; ++i)
            dib += QByteArray::fromHex(i == 1 ? "0000FF00" : i == 2 ? "00FF0000" : "00000000");
        return dib;
    };
    DwgPreview p;
    p.format = PreviewFormat::Bmp;

    // 16 bits, 5-5-5: red then green, one row padded to four bytes.
    p.bytes = bitmapFileFromDib(header(2, 1, 16, 0, 0) + QByteArray::fromHex("007CE003"));
    QImage image = decodePreview(p);
    QCOMPARE(image.size(), QSize(2, 1));
    QCOMPARE(image.pixel(0, 0), qRgb(255, 0, 0));
    QCOMPARE(image.pixel(1, 0), qRgb(0, 255, 0));

    // RLE8, bottom row first: two of colour 1, end of line, two of colour 2, end of bitmap.
    p.bytes = bitmapFileFromDib(header(2, 2, 8, 1, 3) + QByteArray::fromHex("020100000202000001"));
    QCOMPARE(qFromLittleEndian<quint32>(p.bytes.constData() + 10), quint32(14 + 40 + 12));
    image = decodePreview(p);
    QCOMPARE(image.size(), QSize(2, 2));
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image.pixel(0, 1), qRgb(255, 0, 0));
    QCOMPARE(image.pixel(1, 0), qRgb(0, 255, 0));

    // Run-length data must not be missing, nor stored top-down.
    QVERIFY(bitmapFileFromDib(header(2, 2, 8, 1, 3)).isEmpty());
    QVERIFY(bitmapFileFromDib(header(2, -2, 8, 1, 3) + QByteArray::fromHex("0201000001")).isEmpty());
}

void TestDwgPreview::pngWithAlphaShowsOnWhite()
{
    QImage source(4, 2, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    source.setPixel(1, 1, qRgba(255, 0, 0, 255));
    SynthDrawing d;
    d.version = "AC1032";
    d.entries = {headerEntry(), {6, pngBytes(source)}};
    const QImage image = decodePreview(extractPreview(d.build()));
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image.pixel(0, 0), qRgb(255, 255, 255));
    QCOMPARE(image.pixel(1, 1), qRgb(255, 0, 0));
}

void TestDwgPreview::oversizedPngIsRefused()
{
    // A valid PNG header that claims 20000 x 20000 pixels.
    QByteArray png = pngBytes(QImage(1, 1, QImage::Format_RGB32));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    png.replace(16, 8, QByteArray::fromHex("00004E2000004E20"));
    putBe32(png, 29, crc32(png.mid(12, 17))); // a correct CRC, so only the size is wrong
    QBuffer check(&png);
    QCOMPARE(QImageReader(&check, "png").size(), QSize(20000, 20000));
    SynthDrawing d;
    d.entries = {{6, png}};
    const DwgPreview p = extractPreview(d.build());
    QCOMPARE(p.format, PreviewFormat::Png);
    QVERIFY(decodePreview(p).isNull());
}

// ---- huge declarations ---------------------------------------------------------------------

void TestDwgPreview::hugeDeclarationsAllocateNothing_data()
{
    // A 4 GiB (and more) sparse drawing whose block declares an entry of nearly 4 GiB. Each
    // check must fail before the entry is read: the reader never asks for more than the block's
    // head and directory.
    QTest::addColumn<quint32>("entrySize");
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<bool>("endSentinel");
    QTest::addColumn<qint64>("maxEntryBytes");
    QTest::addColumn<PreviewFailure>("failure");
    const qint64 gib4 = qint64(1) << 32;
    QTest::newRow("no end sentinel") << 0xFFFFFF00u << gib4 + 4096 << false << kMaxPreviewBytes
                                     << PreviewFailure::EntryTooLarge;
    QTest::newRow("end sentinel in place")
        << 0xFFFFFF00u << gib4 + 4096 << true << kMaxPreviewBytes << PreviewFailure::EntryTooLarge;
    QTest::newRow("just above the bound")
        << quint32(kMaxPreviewBytes + 1) << gib4 << true << kMaxPreviewBytes << PreviewFailure::EntryTooLarge;
    QTest::newRow("within the bound, no end sentinel")
        << quint32(kMaxPreviewBytes) << gib4 << false << kMaxPreviewBytes << PreviewFailure::BadEndSentinel;
    QTest::newRow("caller's tighter bound")
        << quint32(1 << 20) << gib4 << true << qint64(1 << 20) - 1 << PreviewFailure::EntryTooLarge;
}

void TestDwgPreview::hugeDeclarationsAllocateNothing()
{
    QFETCH(quint32, entrySize);
    QFETCH(qint64, fileSize);
    QFETCH(bool, endSentinel);
    QFETCH(qint64, maxEntryBytes);
    QFETCH(PreviewFailure, failure);
    SynthDrawing d = bmpDrawing();
    QByteArray head = d.build();
    const qsizetype entryBytes = d.entries[1].second.size();
    putLe32(head, d.directoryOffset(1) + 5, entrySize);
    const quint32 overall = quint32(d.overallSize() - entryBytes + entrySize);
    putLe32(head, d.overallOffset(), overall);
    head.truncate(d.entryStart(1) + entryBytes); // the old end sentinel goes
    SparseSource source(head, fileSize);
    if (endSentinel)
        source.place(d.blockOffset + 20 + qint64(overall), kEndSentinel);
    const DwgPreview p = extractPreview(source, maxEntryBytes);
    QCOMPARE(p.failure, failure);
    QVERIFY(p.bytes.isEmpty());
    QVERIFY2(source.largestRead <= 255 * 9, qPrintable(QString::number(source.largestRead)));
}

void TestDwgPreview::sparseFileOnDisk()
{
    // The same through a real file: a 4 GiB sparse file that declares a 0xFFFFFF00-byte preview
    // with its end sentinel in place, and one holding a good preview 3 GiB into the file.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const qint64 gib = qint64(1) << 30;
    SynthDrawing d = bmpDrawing();
    {
        QByteArray head = d.build();
        const qsizetype entryBytes = d.entries[1].second.size();
        putLe32(head, d.directoryOffset(1) + 5, 0xFFFFFF00u);
        const quint32 overall = quint32(d.overallSize() - entryBytes + 0xFFFFFF00u);
        putLe32(head, d.overallOffset(), overall);
        QFile f(dir.filePath(QStringLiteral("huge.dwg")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.write(head) == head.size());
        QVERIFY(f.seek(d.blockOffset + 20 + qint64(overall)));
        QVERIFY(f.write(kEndSentinel) == 16);
        QVERIFY(f.resize(4 * gib + 65536));
    }
    QCOMPARE(readPreview(dir.filePath(QStringLiteral("huge.dwg"))).failure, PreviewFailure::EntryTooLarge);

    // The block moved 3 GiB out: the pointer and the entries' starts follow it.
    const qint64 moved = 3 * gib - d.blockOffset;
    QByteArray far = d.build();
    putLe32(far, 0x0D, quint32(d.blockOffset + moved));
    for (int i = 0; i < d.entries.size(); ++i)
        putLe32(far, d.directoryOffset(i) + 1, quint32(d.entryStart(i) + moved));
    QFile f(dir.filePath(QStringLiteral("far.dwg")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(far.left(d.blockOffset)) == d.blockOffset);
    QVERIFY(f.seek(d.blockOffset + moved));
    QVERIFY(f.write(far.mid(d.blockOffset)) == far.size() - d.blockOffset);
    f.close();
    const DwgPreview p = readPreview(f.fileName());
    QCOMPARE(p.format, PreviewFormat::Bmp);
    QCOMPARE(p.bytes.mid(14), d.entries[1].second);
}

void TestDwgPreview::readsOnlyTheChosenEntry()
{
    // A small bitmap first, a large metafile after it: the metafile is never read.
    SynthDrawing d;
    d.entries = {headerEntry(), {2, makeDib(7, 5, 8)}, {3, QByteArray(1 << 20, '\x01')}};
    const QByteArray bytes = d.build();
    SparseSource source(bytes, bytes.size());
    const DwgPreview p = extractPreview(source);
    QCOMPARE(p.format, PreviewFormat::Bmp);
    QVERIFY2(source.totalRead < 8192, qPrintable(QString::number(source.totalRead)));
}

// ---- truncation and odd files --------------------------------------------------------------

void TestDwgPreview::everyTruncationOfASmallDrawing()
{
    const SynthDrawing d = bmpDrawing(makeDib(3, 2, 4));
    const QByteArray whole = d.build();
    const qsizetype needed = d.endSentinelOffset() + 16;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("截断.dwg"));
    const QByteArray want = extractPreview(whole).bytes;
    QVERIFY(!want.isEmpty());
    for (qsizetype length = 0; length <= whole.size(); ++length) {
        // Each length gets its own exactly sized copy, so a read past the end is a real one.
        const QByteArray cut(whole.constData(), length);
        const DwgPreview fromMemory = extractPreview(cut);
        QVERIFY2(writeAll(path, cut), "cannot write the test file");
        const DwgPreview fromFile = readPreview(path);
        if (length < needed) {
            QVERIFY2(!fromMemory.ok() && !fromFile.ok(), qPrintable(QString::number(length)));
        } else {
            QCOMPARE(fromMemory.bytes, want);
            QCOMPARE(fromFile.bytes, want);
        }
    }
}

void TestDwgPreview::everyTruncationOfARealSample()
{
    const QString folder = sampleFolder();
    if (folder.isEmpty() || !QDir(folder).exists())
        QSKIP("KORVANE_TESTDATA not set");
    const QByteArray whole = readAll(folder + QStringLiteral("/r2018_png_sample.dwg"));
    QVERIFY(!whole.isEmpty());
    const QByteArray want = extractPreview(whole).bytes;
    QVERIFY(!want.isEmpty());
    const qsizetype needed = 2582 + 16; // end sentinel of this file's block
    for (qsizetype length = 0; length <= whole.size(); ++length) {
        const QByteArray cut(whole.constData(), length);
        const DwgPreview p = extractPreview(cut);
        if (length < needed)
            QVERIFY2(!p.ok(), qPrintable(QString::number(length)));
        else
            QVERIFY2(p.bytes == want, qPrintable(QString::number(length)));
    }
}

void TestDwgPreview::filesThatAreNotDrawings()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(readPreview(QString()).failure, PreviewFailure::Unreadable);
    QCOMPARE(readPreview(dir.filePath(QStringLiteral("missing.dwg"))).failure, PreviewFailure::Unreadable);
    QCOMPARE(readPreview(dir.path()).failure, PreviewFailure::Unreadable);
    const QString empty = dir.filePath(QStringLiteral("empty.dwg"));
    QVERIFY(writeAll(empty, {}));
    QCOMPARE(readPreview(empty).failure, PreviewFailure::TooShort);
    // A FIFO must not block the reader waiting for a writer.
    const QString fifo = dir.filePath(QStringLiteral("pipe.dwg"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(readPreview(fifo).failure, PreviewFailure::Unreadable);
    // A symbolic link to a drawing is followed.
    const QString real = dir.filePath(QStringLiteral("real.dwg"));
    QVERIFY(writeAll(real, bmpDrawing().build()));
    const QString link = dir.filePath(QStringLiteral("link.dwg"));
    QVERIFY(QFile::link(real, link));
    QVERIFY(readPreview(link).ok());
}

// ---- stretch modes -------------------------------------------------------------------------

void TestDwgPreview::shrinkingKeepsDetailByMode_data()
{
    QTest::addColumn<QColor>("ground");
    QTest::addColumn<QColor>("line");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("lineSurvives");
    // One-pixel lines at x = 3 in an 8 x 8 picture shrunk to 2 x 2: the first target pixel
    // covers columns 0 to 3, and nearest-pixel sampling picks one from its middle.
    QTest::newRow("black on white, mode 1") << QColor(Qt::white) << QColor(Qt::black) << 1 << true;
    QTest::newRow("black on white, mode 2") << QColor(Qt::white) << QColor(Qt::black) << 2 << false;
    QTest::newRow("white on black, mode 2") << QColor(Qt::black) << QColor(Qt::white) << 2 << true;
    QTest::newRow("white on black, mode 1") << QColor(Qt::black) << QColor(Qt::white) << 1 << false;
    QTest::newRow("white on black, mode 3") << QColor(Qt::black) << QColor(Qt::white) << 3 << false;
}

void TestDwgPreview::shrinkingKeepsDetailByMode()
{
    QFETCH(QColor, ground);
    QFETCH(QColor, line);
    QFETCH(int, mode);
    QFETCH(bool, lineSurvives);
    QImage source(8, 8, QImage::Format_RGB32);
    source.fill(ground);
    for (int y = 0; y < 8; ++y)
        source.setPixelColor(3, y, line);
    const QImage picture = renderStretched(source, QSize(2, 2), mode);
    QCOMPARE(picture.size(), QSize(2, 2));
    QCOMPARE(picture.pixelColor(0, 0), lineSurvives ? line : ground);
    QCOMPARE(picture.pixelColor(1, 1), ground);
}

void TestDwgPreview::enlargingIsNearestPixelExceptHalftone()
{
    QImage source(2, 2, QImage::Format_RGB32);
    source.setPixel(0, 0, qRgb(255, 0, 0));
    source.setPixel(1, 0, qRgb(0, 255, 0));
    source.setPixel(0, 1, qRgb(0, 0, 255));
    source.setPixel(1, 1, qRgb(255, 255, 255));
    for (int mode : {1, 2, 3}) {
        const QImage big = renderStretched(source, QSize(6, 4), mode);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                QCOMPARE(big.pixel(x, y), source.pixel(x / 3, y / 2));
    }
    const QImage smooth = renderStretched(source, QSize(6, 4), Halftone);
    const QColor between = smooth.pixelColor(3, 0);
    QVERIFY(between.red() > 0 && between.green() > 0); // red and green blended at the seam
}

void TestDwgPreview::renderRefusesHugePictures()
{
    QImage source(2, 2, QImage::Format_RGB32);
    source.fill(Qt::red);
    QVERIFY(renderStretched(source, QSize(100000, 100000), 3).isNull());
    QVERIFY(renderStretched(source, QSize(0, 10), 3).isNull());
    // Without a preview the picture is the empty white area.
    const QImage blank = renderStretched(QImage(), QSize(3, 3), 4);
    QCOMPARE(blank.pixel(2, 2), qRgb(255, 255, 255));
}

QTEST_GUILESS_MAIN(TestDwgPreview)
#include "tst_drawingviewer_dwgpreview.moc"
