// Decoding the preview's BMP and PNG images.

#include "drawingviewer/dwgpreview.h"
#include "drawingviewer/stretch.h"
#include "dwgsynth.h"
#include "previewfixtures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include "support/testmain.h"
#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using namespace korvane::drawingviewer;
using namespace korvane::dwgformat;
using namespace korvane::drawingviewer::testing;

class TestDwgBitmap : public QObject {
    Q_OBJECT
private slots:
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
};

void TestDwgBitmap::bitmapFileHeader_data()
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

void TestDwgBitmap::bitmapFileHeader()
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

void TestDwgBitmap::dibChecks_data()
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

void TestDwgBitmap::dibChecks()
{
    QFETCH(QByteArray, dib);
    QVERIFY(bitmapFileFromDib(dib).isEmpty());
    SynthDrawing d = bmpDrawing(dib);
    const DwgPreview p = extractPreview(d.build());
    QCOMPARE(p.failure, PreviewFailure::BadImage);
}

void TestDwgBitmap::decodesEveryDepthOpaque_data()
{
    QTest::addColumn<int>("bpp");
    QTest::addColumn<int>("height");
    for (int bpp : {1, 4, 8, 24, 32}) {
        QTest::newRow(qPrintable(QStringLiteral("%1 bpp bottom-up").arg(bpp))) << bpp << 5;
        QTest::newRow(qPrintable(QStringLiteral("%1 bpp top-down").arg(bpp))) << bpp << -5;
    }
}

void TestDwgBitmap::decodesEveryDepthOpaque()
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

void TestDwgBitmap::entrySizeIsTrustedOverSizeImage()
{
    QByteArray dib = makeDib(9, 4, 8);
    putLe32(dib, 20, 0x7FFFFFFF); // biSizeImage far beyond the entry
    const DwgPreview p = extractPreview(bmpDrawing(dib).build());
    QVERIFY(p.ok());
    QCOMPARE(decodePreview(p).size(), QSize(9, 4));
}

void TestDwgBitmap::sixteenBitAndRunLengthBitmaps()
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

void TestDwgBitmap::pngWithAlphaShowsOnWhite()
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

void TestDwgBitmap::oversizedPngIsRefused()
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

KORVANE_TEST_GUILESS_MAIN(TestDwgBitmap)
#include "tst_drawingviewer_dwgbitmap.moc"
