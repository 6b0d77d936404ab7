#include "thumbnailer/dwgthumbnailer.h"

#include "../drawingviewer/dwgsynth.h"

#include "support/samples.h"
#include "support/testmain.h"
#include "support/testtree.h"
#include <QBuffer>
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>

using namespace korvane::drawingviewer::testing;
using korvane::testsupport::writeAll;
using korvane::thumbnailer::Outcome;

namespace {

struct Run {
    int exitCode = -1;
    qint64 maxRssKiB = 0;
    qint64 milliseconds = 0;
    QByteArray err;
};

/// Runs the thumbnailer through peakmemory, which reports its exit code and peak memory.
/// `maxFileBytes` > 0 caps the size of any file it writes (RLIMIT_FSIZE, SIGXFSZ ignored): a
/// write past it fails as on a full disk.
Run runThumbnailer(const QStringList& arguments, rlim_t maxFileBytes = 0)
{
    Run run;
    QProcess process;
    if (maxFileBytes > 0)
        process.setChildProcessModifier([maxFileBytes] {
            const rlimit limit{maxFileBytes, maxFileBytes};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
        });
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(KORVANE_PEAKMEMORY), QStringList{QStringLiteral(KORVANE_THUMBNAILER)} + arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return run;
    run.milliseconds = timer.elapsed();
    run.err = process.readAllStandardError();
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() == 2) {
        run.exitCode = fields[0].toInt();
        run.maxRssKiB = fields[1].toLongLong();
    }
    return run;
}

QByteArray drawingWith(const QByteArray& dib)
{
    SynthDrawing d;
    d.entries = {headerEntry(), {2, dib}};
    return d.build();
}

/// A bare 32-bit DIB of one colour, without building its pixels row by row.
QByteArray solidDib(int width, int height, QRgb colour)
{
    QByteArray dib = makeDib(1, 1, 32);
    dib.truncate(40);
    putLe32(dib, 4, quint32(width));
    putLe32(dib, 8, quint32(height));
    QByteArray pixel(4, '\0');
    pixel[0] = char(qBlue(colour));
    pixel[1] = char(qGreen(colour));
    pixel[2] = char(qRed(colour));
    return dib + pixel.repeated(qsizetype(width) * height);
}

} // namespace

class TestThumbnailer : public QObject {
    Q_OBJECT
private slots:
    void fitsWithoutEnlarging_data();
    void fitsWithoutEnlarging();
    void samples_data();
    void samples();
    void hostileInputs_data();
    void hostileInputs();
    void argumentsAndOutput();
    void failedWrites();
    void existingOutputKeepsItsInode();
    void throughTumbler();
};

void TestThumbnailer::fitsWithoutEnlarging_data()
{
    QTest::addColumn<QSize>("preview");
    QTest::addColumn<int>("size");
    QTest::addColumn<QSize>("thumbnail");
    QTest::newRow("wide, shrunk") << QSize(600, 300) << 256 << QSize(256, 128);
    QTest::newRow("tall, shrunk") << QSize(90, 360) << 128 << QSize(32, 128);
    QTest::newRow("small, kept") << QSize(180, 88) << 256 << QSize(180, 88);
}

void TestThumbnailer::fitsWithoutEnlarging()
{
    QFETCH(QSize, preview);
    QFETCH(int, size);
    QFETCH(QSize, thumbnail);
    QTemporaryDir dir;
    const QString drawing = dir.filePath(QStringLiteral("图纸.dwg"));
    QVERIFY(writeAll(drawing, drawingWith(solidDib(preview.width(), preview.height(), qRgb(10, 200, 30)))));
    const QString output = dir.filePath(QStringLiteral("out.png"));
    QCOMPARE(korvane::thumbnailer::writeThumbnail(drawing, output, size), Outcome::Written);
    QImageReader reader(output);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QCOMPARE(image.size(), thumbnail);
    QCOMPARE(image.pixel(thumbnail.width() / 2, thumbnail.height() / 2), qRgb(10, 200, 30));
}

void TestThumbnailer::samples_data()
{
    QTest::addColumn<QString>("drawing");
    QTest::addColumn<QString>("expected"); // the stored picture beside it, or empty
    const QString folder = korvane::testsupport::sampleFolder(QStringLiteral("dwg"));
    if (folder.isEmpty())
        QSKIP(korvane::testsupport::missingSamples(QStringLiteral("dwg")));
    const QStringList drawings = QDir(folder).entryList({QStringLiteral("*.dwg")}, QDir::Files, QDir::Name);
    QVERIFY(!drawings.isEmpty());
    for (const QString& name : drawings) {
        const QString base = QDir(folder).filePath(QFileInfo(name).completeBaseName());
        QString expected;
        for (const char* ext : {".bmp", ".png"})
            if (QFile::exists(base + QLatin1String(ext)))
                expected = base + QLatin1String(ext);
        QTest::newRow(qPrintable(name)) << QDir(folder).filePath(name) << expected;
    }
}

void TestThumbnailer::samples()
{
    QFETCH(QString, drawing);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("thumb.png"));
    const Run run = runThumbnailer({QStringLiteral("-s"), QStringLiteral("128"), drawing, output});
    if (expected.isEmpty()) {
        QCOMPARE(run.exitCode, 1);
        QVERIFY(!QFile::exists(output));
        return;
    }
    QCOMPARE(run.exitCode, 0);
    const QImage thumb(output);
    const QImage stored(expected);
    QVERIFY(!thumb.isNull() && !stored.isNull());
    const QSize want = stored.width() <= 128 && stored.height() <= 128
                           ? stored.size()
                           : stored.size().scaled(128, 128, Qt::KeepAspectRatio);
    QCOMPARE(thumb.size(), want);
}

void TestThumbnailer::hostileInputs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("sparse 4 GiB, huge declared preview") << QStringLiteral("sparse") << 1;
    QTest::newRow("truncated in the preview") << QStringLiteral("truncated") << 1;
    QTest::newRow("entry above the bound") << QStringLiteral("big entry") << 1;
    QTest::newRow("too many pixels for the entry") << QStringLiteral("many pixels") << 1;
    QTest::newRow("preview encrypted: still no thumbnail") << QStringLiteral("encrypted") << 1;
    QTest::newRow("largest accepted bitmap") << QStringLiteral("largest") << 0;
    QTest::newRow("largest accepted PNG, with alpha") << QStringLiteral("png") << 0;
}

void TestThumbnailer::hostileInputs()
{
    QFETCH(QString, kind);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString drawing = dir.filePath(QStringLiteral("hostile.dwg"));
    if (kind == QLatin1String("sparse")) {
        // The entry declares 0xFFFFFF00 bytes; the end sentinel lies where that puts it.
        SynthDrawing d;
        d.entries = {headerEntry(), {2, makeDib(7, 5, 8)}};
        QByteArray head = d.build();
        const qsizetype entryBytes = d.entries[1].second.size();
        putLe32(head, d.directoryOffset(1) + 5, 0xFFFFFF00u);
        const quint32 overall = quint32(d.overallSize() - entryBytes + 0xFFFFFF00u);
        putLe32(head, d.overallOffset(), overall);
        QFile f(drawing);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.write(head) == head.size());
        QVERIFY(f.seek(d.blockOffset + 20 + qint64(overall)));
        QVERIFY(f.write(kEndSentinel) == 16);
        QVERIFY(f.resize((qint64(4) << 30) + 65536));
    } else if (kind == QLatin1String("truncated")) {
        const QByteArray whole = drawingWith(makeDib(300, 200, 24));
        QVERIFY(writeAll(drawing, whole.left(whole.size() / 2)));
    } else if (kind == QLatin1String("big entry")) {
        QVERIFY(writeAll(drawing, drawingWith(solidDib(1500, 1500, qRgb(1, 2, 3)))));
    } else if (kind == QLatin1String("many pixels")) {
        // 1 bit a pixel: a small entry, but 4096 × 2048 pixels decoded.
        QByteArray dib = makeDib(1, 1, 1);
        dib.truncate(40 + 8);
        putLe32(dib, 4, 4096);
        putLe32(dib, 8, 2048);
        QVERIFY(writeAll(drawing, drawingWith(dib + QByteArray(4096 / 8 * 2048, '\x55'))));
    } else if (kind == QLatin1String("encrypted")) {
        SynthDrawing d = securedDrawing(0x2);
        d.entries = {headerEntry(), {2, makeDib(7, 5, 8)}};
        QVERIFY(writeAll(drawing, d.build()));
    } else if (kind == QLatin1String("png")) {
        // Decoded with alpha, then laid on white: two full-size pictures at once.
        QImage image(2048, 2048, QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgba(x & 0xFF, y & 0xFF, (x ^ y) & 0xFF, (x + y) & 0xFF));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(image.save(&buffer, "PNG"));
        SynthDrawing d;
        d.entries = {headerEntry(), {6, png}};
        QVERIFY(writeAll(drawing, d.build()));
    } else {
        QVERIFY(writeAll(drawing, drawingWith(solidDib(1448, 1448, qRgb(200, 0, 0)))));
    }
    const QString output = dir.filePath(QStringLiteral("thumb.png"));
    const Run run = runThumbnailer({QStringLiteral("-s"), QStringLiteral("256"), drawing, output});
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(QFile::exists(output), exitCode == 0);
    QCOMPARE(run.err.endsWith("图纸的预览已加密\n"), kind == QLatin1String("encrypted"));
    qInfo("%s: %lld ms, peak %lld KiB", qPrintable(kind), run.milliseconds, run.maxRssKiB);
    QVERIFY2(run.milliseconds < 10000, qPrintable(QString::number(run.milliseconds)));
#ifndef KORVANE_SANITIZED // the sanitizers' shadow memory is counted too
    QVERIFY2(run.maxRssKiB < 64 * 1024, qPrintable(QString::number(run.maxRssKiB)));
#endif
}

void TestThumbnailer::argumentsAndOutput()
{
    QTemporaryDir dir;
    const QString drawing = dir.filePath(QStringLiteral("a.dwg"));
    QVERIFY(writeAll(drawing, drawingWith(makeDib(7, 5, 8))));
    const QString output = dir.filePath(QStringLiteral("a.png"));
    const QString s = QStringLiteral("-s");
    QCOMPARE(runThumbnailer({s, QStringLiteral("64"), drawing}).exitCode, 2);
    QCOMPARE(runThumbnailer({s, QStringLiteral("64x"), drawing, output}).exitCode, 2);
    QVERIFY(!QFile::exists(output));
    // A folder that does not exist: nothing written anywhere.
    QCOMPARE(runThumbnailer({s, QStringLiteral("64"), drawing, dir.filePath(QStringLiteral("no/a.png"))}).exitCode, 3);
    QCOMPARE(runThumbnailer({s, QStringLiteral("64"), dir.filePath(QStringLiteral("missing.dwg")), output}).exitCode,
             1);
    // Options may follow the paths; an existing output is replaced whole.
    QVERIFY(writeAll(output, "old"));
    QCOMPARE(runThumbnailer({drawing, output, s, QStringLiteral("64")}).exitCode, 0);
    QCOMPARE(QImage(output).size(), QSize(7, 5));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

void TestThumbnailer::failedWrites()
{
    // A file system that takes only 100 bytes: the PNG (several hundred) cannot be written.
    QTemporaryDir dir;
    const QString drawing = dir.filePath(QStringLiteral("a.dwg"));
    QVERIFY(writeAll(drawing, drawingWith(makeDib(60, 40, 24))));
    const QStringList size{QStringLiteral("-s"), QStringLiteral("64")};
    const QString fresh = dir.filePath(QStringLiteral("new.png"));
    QCOMPARE(runThumbnailer(size + QStringList{drawing, fresh}, 100).exitCode, 3);
    QVERIFY(!QFile::exists(fresh));
    // An existing output with a good thumbnail in it: failed, and no partial PNG left behind.
    const QString existing = dir.filePath(QStringLiteral("old.png"));
    QCOMPARE(runThumbnailer(size + QStringList{drawing, existing}).exitCode, 0);
    QCOMPARE(runThumbnailer(size + QStringList{drawing, existing}, 100).exitCode, 3);
    QCOMPARE(QFileInfo(existing).size(), 0);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporaries
}

void TestThumbnailer::existingOutputKeepsItsInode()
{
    // tumbler makes OUTPUT, keeps its descriptor and reads the picture back through it.
    QTemporaryDir dir;
    const QString drawing = dir.filePath(QStringLiteral("a.dwg"));
    QVERIFY(writeAll(drawing, drawingWith(makeDib(30, 20, 8))));
    const QString output = dir.filePath(QStringLiteral("tumbler-XXXX.png"));
    QFile held(output);
    QVERIFY(held.open(QIODevice::ReadWrite));
    QCOMPARE(runThumbnailer({QStringLiteral("-s"), QStringLiteral("128"), drawing, output}).exitCode, 0);
    QImage image;
    QVERIFY(image.loadFromData(held.readAll(), "PNG"));
    QCOMPARE(image.size(), QSize(30, 20));
}

void TestThumbnailer::throughTumbler()
{
    const QString tumblerd = QStringLiteral("/usr/lib/" KORVANE_MULTIARCH "/tumbler-1/tumblerd");
    const QString busDaemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (!QFileInfo(tumblerd).isExecutable() || busDaemon.isEmpty())
        QSKIP("tumbler or dbus-daemon not installed");
    QTemporaryDir dir;
    // tumbler finds thumbnailers in XDG_DATA_DIRS; this one runs the thumbnailer just built.
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("share/thumbnailers")));
    QVERIFY(writeAll(dir.filePath(QStringLiteral("share/thumbnailers/korvane.thumbnailer")),
                     "[Thumbnailer Entry]\nExec=" KORVANE_THUMBNAILER " -s %s %i %o\nMimeType=image/vnd.dwg;\n"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_DIRS"), dir.filePath(QStringLiteral("share")) + QStringLiteral(":/usr/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("HOME"), dir.path());
    QProcess bus;
    bus.setProcessEnvironment(env);
    bus.start(busDaemon,
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QVERIFY(bus.waitForReadyRead(10000));
    const QString address = QString::fromUtf8(bus.readLine().trimmed());
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    QProcess tumbler;
    tumbler.setProcessEnvironment(env);
    tumbler.start(tumblerd, {});
    QDBusConnection connection = QDBusConnection::connectToBus(address, QStringLiteral("tumbler-test"));
    QVERIFY(connection.isConnected());
    const QString service = QStringLiteral("org.freedesktop.thumbnails.Thumbnailer1");
    QDeadlineTimer up(20000);
    while (!connection.interface()->isServiceRegistered(service) && !up.hasExpired())
        QTest::qWait(50);
    QVERIFY(connection.interface()->isServiceRegistered(service));

    const QStringList names{QStringLiteral("图纸 1.dwg"), QStringLiteral("b.dwg")};
    QStringList uris;
    for (const QString& name : names) {
        QVERIFY(writeAll(dir.filePath(name), drawingWith(solidDib(300, 150, qRgb(0, 90, 200)))));
        uris << QUrl::fromLocalFile(dir.filePath(name)).toString(QUrl::FullyEncoded);
    }
    QDBusInterface thumbnailer(service, QStringLiteral("/org/freedesktop/thumbnails/Thumbnailer1"), service,
                               connection);
    const QDBusReply<uint> handle =
        thumbnailer.call(QStringLiteral("Queue"), uris, QStringList(names.size(), QStringLiteral("image/vnd.dwg")),
                         QStringLiteral("normal"), QStringLiteral("foreground"), 0u);
    QVERIFY2(handle.isValid(), qPrintable(handle.error().message()));
    // The thumbnails land in the cache under the MD5 of their URI.
    const QString cache = dir.filePath(QStringLiteral("cache/thumbnails/normal/"));
    QDeadlineTimer done(30000);
    for (const QString& uri : uris) {
        const QString thumb =
            cache + QString::fromLatin1(QCryptographicHash::hash(uri.toUtf8(), QCryptographicHash::Md5).toHex()) +
            QStringLiteral(".png");
        while (!QFile::exists(thumb) && !done.hasExpired())
            QTest::qWait(50);
        const QImage image(thumb);
        QCOMPARE(image.size(), QSize(128, 64));
        QCOMPARE(image.pixel(64, 32), qRgb(0, 90, 200));
    }
    tumbler.kill();
    tumbler.waitForFinished();
    bus.kill();
    bus.waitForFinished();
}

KORVANE_TEST_GUILESS_MAIN(TestThumbnailer)
#include "tst_thumbnailer_program.moc"
