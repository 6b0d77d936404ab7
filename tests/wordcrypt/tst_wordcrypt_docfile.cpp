// The compound-file reader behind the check of stored documents: real layouts it must read,
// and damaged ones it must refuse without reading outside the data.

#include "wordcrypt/worddocfile.h"

#include "support/testmain.h"
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace korvane::wordcrypt;

namespace {

constexpr quint32 kEnd = 0xFFFFFFFE;
constexpr quint32 kFree = 0xFFFFFFFF;
constexpr quint32 kFatSector = 0xFFFFFFFD;

void put32(QByteArray& b, qsizetype at, quint32 v)
{
    qToLittleEndian(v, b.data() + at);
}
void put16(QByteArray& b, qsizetype at, quint16 v)
{
    qToLittleEndian(v, b.data() + at);
}

void dirEntry(QByteArray& sector, int index, const QString& name, char type, quint32 start, quint32 size)
{
    const qsizetype at = 128 * index;
    for (int i = 0; i < name.size(); ++i)
        put16(sector, at + 2 * i, name.at(i).unicode());
    put16(sector, at + 0x40, quint16(2 * (name.size() + 1)));
    sector[at + 0x42] = type;
    put32(sector, at + 0x44, kFree);
    put32(sector, at + 0x48, kFree);
    put32(sector, at + 0x4C, kFree);
    put32(sector, at + 0x74, start);
    put32(sector, at + 0x78, size);
}

struct Layout {
    bool mini = false; ///< WordDocument in the mini stream (64 bytes) or in sectors (4096)
    quint16 fibFlags = 0;
    quint16 magic = 0xA5EC;
    QString streamName = QStringLiteral("WordDocument");
    quint32 directorySector = 1;
    bool directoryLoops = false;
    quint32 streamSizeOverride = 0;
    /// With a 0Table stream (sectors only), a real FIB and, when given, associated strings at
    /// offset 1000 of the table.
    bool withTable = false;
    QByteArray assoc;
};

/// SttbfAssoc as Word writes it: 18 counted UTF-16 strings.
QByteArray assocTable(const QStringList& entries, quint16 extend = 0xFFFF)
{
    QByteArray b(6, '\0');
    put16(b, 0, extend);
    put16(b, 2, 0x12);
    for (int i = 0; i < 0x12; ++i) {
        const QString e = entries.value(i);
        QByteArray cch(2, '\0');
        put16(cch, 0, quint16(e.size()));
        b += cch + QByteArray(reinterpret_cast<const char*>(e.utf16()), 2 * e.size());
    }
    return b;
}

/// A minimal version 3 compound file: FAT in sector 0, directory in sector 1, data after.
QByteArray compound(const Layout& l)
{
    QByteArray header(512, '\0');
    header.replace(0, 8, QByteArray::fromHex("D0CF11E0A1B11AE1"));
    put16(header, 0x18, 0x3E);
    put16(header, 0x1A, 3);
    put16(header, 0x1C, 0xFFFE);
    put16(header, 0x1E, 9);
    put16(header, 0x20, 6);
    put32(header, 0x2C, 1);
    put32(header, 0x30, l.directorySector);
    put32(header, 0x38, 4096);
    put32(header, 0x44, kEnd);
    for (int i = 0; i < 109; ++i)
        put32(header, 0x4C + 4 * i, i == 0 ? 0 : kFree);

    QByteArray fat(512, char(0xFF));
    QByteArray directory(512, '\0');
    put32(fat, 0, kFatSector);
    put32(fat, 4, l.directoryLoops ? 1 : kEnd);

    const quint32 size = l.mini ? 64 : 4096;
    QByteArray stream(int(size), 'x');
    put16(stream, 0, l.magic);
    put16(stream, 0x0A, l.fibFlags);
    QByteArray data;
    if (l.mini) {
        // Sector 2 holds the mini stream, sector 3 the mini FAT.
        put32(fat, 8, kEnd);
        put32(fat, 12, kEnd);
        put32(header, 0x3C, 3);
        put32(header, 0x40, 1);
        QByteArray miniStream = stream + QByteArray(512 - 64, '\0');
        QByteArray miniFat(512, char(0xFF));
        put32(miniFat, 0, kEnd);
        data = miniStream + miniFat;
        dirEntry(directory, 0, QStringLiteral("Root Entry"), 5, 2, 64);
        dirEntry(directory, 1, l.streamName, 2, 0, l.streamSizeOverride ? l.streamSizeOverride : size);
    } else {
        put32(header, 0x3C, kEnd);
        for (quint32 s = 2; s < 10; ++s)
            put32(fat, 4 * s, s == 9 ? kEnd : s + 1);
        dirEntry(directory, 0, QStringLiteral("Root Entry"), 5, kEnd, 0);
        dirEntry(directory, 1, l.streamName, 2, 2, l.streamSizeOverride ? l.streamSizeOverride : size);
        if (l.withTable) {
            put16(stream, 2, 0xC1);    // nFib
            put16(stream, 0x20, 0x0E); // csw
            put16(stream, 0x3E, 0x16); // cslw
            put16(stream, 0x98, 0x5D); // cbRgFcLcb
            put32(stream, 0x19A, l.assoc.isEmpty() ? 0 : 1000);
            put32(stream, 0x19E, quint32(l.assoc.size()));
            QByteArray table(4096, 'y');
            table.replace(1000, l.assoc.size(), l.assoc);
            for (quint32 s = 10; s < 18; ++s)
                put32(fat, 4 * s, s == 17 ? kEnd : s + 1);
            dirEntry(directory, 2, QStringLiteral("0Table"), 2, 10, 4096);
            put32(directory, 128 + 0x48, 2); // right sibling of WordDocument
            directory.replace(0x50, 16, QByteArray::fromHex("0609020000000000C000000000000046"));
            stream += table;
        }
        data = stream;
    }
    put32(directory, 0x4C, 1); // the root's child: readers walk the tree, not the array
    return header + fat + directory + data;
}

} // namespace

class TestWordDocFile : public QObject {
    Q_OBJECT
private slots:
    void readsTheFib_data()
    {
        QTest::addColumn<bool>("mini");
        QTest::addColumn<int>("flags");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<bool>("obfuscated");
        QTest::addColumn<bool>("writeReserved");
        QTest::newRow("plain, in sectors") << false << 0x0000 << false << false << false;
        QTest::newRow("encrypted, in sectors") << false << 0x0300 << true << false << false;
        QTest::newRow("plain, in the mini stream") << true << 0x0004 << false << false << false;
        QTest::newRow("encrypted and write-reserved, mini") << true << 0x0900 << true << false << true;
        QTest::newRow("obfuscated") << false << 0x8100 << true << true << false;
    }
    void readsTheFib()
    {
        QFETCH(bool, mini);
        QFETCH(int, flags);
        Layout l;
        l.mini = mini;
        l.fibFlags = quint16(flags);
        const auto state = inspectWordFile(compound(l));
        QVERIFY2(state, qPrintable(state.status().message()));
        QTEST(state->encrypted, "encrypted");
        QTEST(state->obfuscated, "obfuscated");
        QTEST(state->writeReserved, "writeReserved");
    }

    void refusesDamagedFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        Layout good;
        const QByteArray whole = compound(good);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("signature only") << whole.left(8);
        QTest::newRow("header only") << whole.left(512);
        QTest::newRow("cut inside the stream") << whole.left(whole.size() - 100);
        QTest::newRow("text") << QByteArray(4096, 'a');
        Layout l = good;
        l.directoryLoops = true;
        QTest::newRow("directory chain loops") << compound(l);
        l = good;
        l.directorySector = 9999;
        QTest::newRow("directory beyond the file") << compound(l);
        l = good;
        l.streamName = QStringLiteral("Workbook");
        QTest::newRow("no WordDocument stream") << compound(l);
        l = good;
        l.magic = 0xA5DC; // Word 6/95
        QTest::newRow("not a Word 97 FIB") << compound(l);
        l = good;
        l.streamSizeOverride = 1 << 30;
        QTest::newRow("stream longer than its chain") << compound(l);
        l = good;
        l.mini = true;
        l.streamSizeOverride = 4000;
        QTest::newRow("mini stream longer than its container") << compound(l);
    }
    void refusesDamagedFiles()
    {
        QFETCH(QByteArray, bytes);
        const auto state = inspectWordFile(bytes);
        QVERIFY(!state);
        QVERIFY(!state.status().message().isEmpty());
        QVERIFY(!rc4PasswordMatches(bytes, QStringLiteral("x")));
    }

    void signature()
    {
        QVERIFY(hasCompoundSignature(QByteArray::fromHex("D0CF11E0A1B11AE100")));
        QVERIFY(!hasCompoundSignature(QByteArray::fromHex("D0CF11E0A1B11A")));
        QVERIFY(!hasCompoundSignature("PK\x03\x04 a docx"));
    }

    void plainDocumentHasNoPassword() { QVERIFY(!rc4PasswordMatches(compound(Layout{}), QString())); }

    void writeReservationRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("assoc"); ///< associated strings the document starts with
        QStringList named;
        for (int i = 0; i < 0x12; ++i)
            named << QStringLiteral("条目%1").arg(i);
        QTest::newRow("no associated strings") << QByteArray();
        QTest::newRow("17 other entries kept") << assocTable(named);
        named[0x11] = QStringLiteral("old");
        QTest::newRow("earlier reservation replaced") << assocTable(named);
    }
    void writeReservationRoundTrip()
    {
        QFETCH(QByteArray, assoc);
        QTemporaryDir dir;
        const auto file = [&](const char* name) { return QFile::encodeName(dir.filePath(QLatin1String(name))); };
        Layout l;
        l.withTable = true;
        l.assoc = assoc;
        QFile source(dir.filePath(QStringLiteral("a.doc")));
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write(compound(l));
        source.close();

        // Set, set again (the table replaces its own copy at the end), clear.
        const auto written = writeWriteReservation(file("a.doc"), file("b.doc"), {}, QStringLiteral("写密码 7591"));
        QVERIFY2(written.ok(), qPrintable(written.message()));
        QCOMPARE(compareAfterReservation(file("a.doc"), file("b.doc"), {}, QStringLiteral("写密码 7591")).message(),
                 QString());
        auto stored = readWriteReservation(file("b.doc"), {});
        QVERIFY(stored && stored->flag);
        QCOMPARE(stored->password, QStringLiteral("写密码 7591"));
        QVERIFY(inspectWordPath(file("b.doc"))->writeReserved);

        QVERIFY(writeWriteReservation(file("b.doc"), file("c.doc"), {}, QStringLiteral("second")).ok());
        QCOMPARE(compareAfterReservation(file("b.doc"), file("c.doc"), {}, QStringLiteral("second")).message(),
                 QString());
        QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("c.doc"))).size(),
                 QFileInfo(dir.filePath(QStringLiteral("b.doc"))).size());

        QVERIFY(writeWriteReservation(file("c.doc"), file("d.doc"), {}, QString()).ok());
        QCOMPARE(compareAfterReservation(file("c.doc"), file("d.doc"), {}, QString()).message(), QString());
        stored = readWriteReservation(file("d.doc"), {});
        QVERIFY(stored && !stored->flag && stored->password.isEmpty());

        // The comparison notices a reservation other than the one asked for.
        QVERIFY(
            !compareAfterReservation(file("a.doc"), file("b.doc"), {}, QStringLiteral("other")).message().isEmpty());
        QVERIFY(!compareAfterReservation(file("a.doc"), file("d.doc"), {}, QStringLiteral("写密码 7591"))
                     .message()
                     .isEmpty());
    }

    void writeReservationRefusals_data()
    {
        QTest::addColumn<QByteArray>("assoc");
        QTest::addColumn<QString>("password");
        QTest::newRow("16 characters") << QByteArray() << QString(16, u'x');
        QTest::newRow("strings of an unknown kind") << assocTable({}, 0x0012) << QStringLiteral("7591");
        QTest::newRow("strings cut short") << assocTable({}).left(20) << QStringLiteral("7591");
    }
    void writeReservationRefusals()
    {
        QFETCH(QByteArray, assoc);
        QFETCH(QString, password);
        QTemporaryDir dir;
        Layout l;
        l.withTable = true;
        l.assoc = assoc;
        QFile source(dir.filePath(QStringLiteral("a.doc")));
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write(compound(l));
        source.close();
        const auto written =
            writeWriteReservation(QFile::encodeName(source.fileName()),
                                  QFile::encodeName(dir.filePath(QStringLiteral("b.doc"))), {}, password);
        QVERIFY(!written.ok());
        QVERIFY(!written.message().isEmpty());
    }
};

KORVANE_TEST_GUILESS_MAIN(TestWordDocFile)
#include "tst_wordcrypt_docfile.moc"
