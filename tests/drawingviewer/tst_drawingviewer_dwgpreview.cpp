// The preview reader on real samples and on synthesized drawings: structure, huge declarations, truncation.

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

    void hugeDeclarationsAllocateNothing_data();
    void hugeDeclarationsAllocateNothing();
    void sparseFileOnDisk();
    void readsOnlyTheChosenEntry();

    void everyTruncationOfASmallDrawing();
    void everyTruncationOfARealSample();
    void filesThatAreNotDrawings();
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
    const QString folder = sampleFolder(QStringLiteral("dwg"));
    if (folder.isEmpty())
        QSKIP(missingSamples(QStringLiteral("dwg")));
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
    const DwgPreview fromMemory = extractPreview(bytesOf(path));
    QCOMPARE(fromMemory.format, format);
    QCOMPARE(fromMemory.bytes, fromFile.bytes);

    const QImage image = decodePreview(fromFile);
    if (expected.isEmpty()) {
        QVERIFY(fromFile.bytes.isEmpty());
        QVERIFY(image.isNull());
        return;
    }
    const QByteArray want = bytesOf(folder + QLatin1Char('/') + expected);
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
    const QString folder = sampleFolder(QStringLiteral("dwg"));
    if (folder.isEmpty())
        QSKIP(missingSamples(QStringLiteral("dwg")));
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
    const QString folder = sampleFolder(QStringLiteral("dwg"));
    if (folder.isEmpty())
        QSKIP(missingSamples(QStringLiteral("dwg")));
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
    const QString folder = sampleFolder(QStringLiteral("dwg"));
    if (folder.isEmpty())
        QSKIP(missingSamples(QStringLiteral("dwg")));
    const QByteArray whole = bytesOf(folder + QStringLiteral("/r2018_png_sample.dwg"));
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

KORVANE_TEST_GUILESS_MAIN(TestDwgPreview)
#include "tst_drawingviewer_dwgpreview.moc"
