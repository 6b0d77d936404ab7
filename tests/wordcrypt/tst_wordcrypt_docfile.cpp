// The compound-file reader behind the check of stored documents: real layouts it must read,
// and damaged ones it must refuse without reading outside the data.

#include "wordcrypt/worddocfile.h"

#include "wordcrypt/compoundfile.h"
#include "wordcrypt/documentfiles.h"
#include "wordcrypt/documentword.h"
#include "wordcrypt/nativecrypt.h"
#include "wordcrypt/nativeword.h"

#include "platform/localfilesystem.h"

#include "support/samples.h"
#include "support/testmain.h"
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

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
    quint16 nFib = 0xC1;
    QByteArray tableHead; ///< the table's first bytes (an encryption header)
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
            put16(stream, 2, l.nFib);
            put32(stream, 0x0E, quint32(l.tableHead.size())); // lKey
            put16(stream, 0x20, 0x0E);                        // csw
            put16(stream, 0x3E, 0x16);                        // cslw
            put16(stream, 0x98, 0x5D);                        // cbRgFcLcb
            put32(stream, 0x19A, l.assoc.isEmpty() ? 0 : 1000);
            put32(stream, 0x19E, quint32(l.assoc.size()));
            QByteArray table(4096, 'y');
            table.replace(1000, l.assoc.size(), l.assoc);
            table.replace(0, l.tableHead.size(), l.tableHead);
            put32(stream, 0x9A, 2000); // fcStshfOrig: an offset that moves with the table
            put32(stream, 0x9E, 100);
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

QByteArray writeDoc(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    QFile f(dir.filePath(name));
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? QFile::encodeName(f.fileName())
                                                                          : QByteArray();
}

QByteArray readBytes(const QByteArray& path)
{
    QFile f(QFile::decodeName(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Every stream's bytes by its path, and every storage's class id under "clsid <path>".
std::map<QByteArray, QByteArray> streamsOf(const QByteArray& path)
{
    std::map<QByteArray, QByteArray> out;
    auto cf = Compound::fromPath(path);
    if (!cf)
        return out;
    StreamList streams;
    std::map<QByteArray, QByteArray> ids;
    listStreams((*cf)->root(), {}, &streams, &ids);
    for (const auto& [name, input] : streams)
        out[name] = readAt(input.get(), 0, gsf_input_size(input.get())).value_or("unreadable");
    for (const auto& [name, id] : ids)
        out["clsid " + name] = id;
    return out;
}

/// The UTF-16 form of a stream name, as the compound file's directory holds it.
QByteArray directoryName(const char* name)
{
    QByteArray utf16;
    for (const char* c = name; *c; ++c)
        utf16 += QByteArray(1, *c) + '\0';
    return utf16;
}

/// Where the FIB's count of table offsets is.
qsizetype fibPairCountAt(const QByteArray& word)
{
    qsizetype at = 0x20;
    at += 2 + 2 * qFromLittleEndian<quint16>(word.constData() + at);
    return at + 2 + 4 * qFromLittleEndian<quint16>(word.constData() + at);
}
int fibPairCount(const QByteArray& word)
{
    return qFromLittleEndian<quint16>(word.constData() + fibPairCountAt(word));
}
/// Where the FIB's table offsets end: the WordDocument bytes after it are the document's own.
qsizetype fibEnd(const QByteArray& word)
{
    return fibPairCountAt(word) + 2 + 8 * fibPairCount(word);
}

class Passwords final : public korvane::platform::WordEvents, public korvane::platform::DocumentPasswordPrompt {
public:
    QString open, write;
    std::optional<QString> current;
    QStringList failures;
    void DocumentOpen(korvane::platform::WordDocument& d) override
    {
        for (const auto& s : {d.setPassword(open), d.setWritePassword(write), d.save(), d.close()})
            if (!s.ok())
                failures << s.message();
    }
    void Quit() override {}
    std::optional<QString> askPassword(const QString&) override { return current; }
};

/// One run of the native backend over `document`; the failures, or the open's own.
QStringList runNative(const QByteArray& document, const QString& open, const std::optional<QString>& current,
                      const QString& write = {})
{
    Passwords p;
    p.open = open;
    p.write = write;
    p.current = current;
    NativeWord word(p);
    auto app = word.createObject(QStringLiteral("word.Application"));
    (*app)->setEvents(&p);
    if (const auto opened = (*app)->open(document, false); !opened.ok())
        p.failures << opened.message();
    (*app)->quit();
    return p.failures;
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
        if (!assoc.isEmpty()) {
            // Damaged strings stop only a run that must write them.
            const QByteArray doc = QFile::encodeName(source.fileName());
            const auto present = readWriteReservation(doc, {});
            QVERIFY(present && present->damaged);
            QCOMPARE(runNative(doc, QStringLiteral("739"), {}), QStringList());
            QVERIFY(!runNative(doc, QString(), QStringLiteral("739"), QStringLiteral("7591")).isEmpty());
        }
    }

    void nativeRoundTripIsLossless_data()
    {
        QTest::addColumn<QByteArray>("original");
        const QString word = korvane::testsupport::sampleFile(QStringLiteral("doc"), QStringLiteral("plain.doc"));
        if (!word.isEmpty())
            QTest::newRow("saved by Word") << readBytes(QFile::encodeName(word));
        Layout l;
        l.withTable = true;
        l.assoc = assocTable({QStringLiteral("条目")});
        QTest::newRow("made, with associated strings") << compound(l);
    }
    void nativeRoundTripIsLossless()
    {
        QFETCH(QByteArray, original);
        QTemporaryDir dir;
        const QByteArray doc = writeDoc(dir, QStringLiteral("文档.doc"), original);
        const QString password = QStringLiteral("密码 739");
        QCOMPARE(runNative(doc, password, {}).join(u'|'), QString());
        const auto encrypted = streamsOf(doc);
        const QByteArray word = encrypted.at("/WordDocument");
        QCOMPARE(qFromLittleEndian<quint16>(word.constData() + 0x0A) & 0x8100, 0x0100); // fEncrypted, no XOR
        QCOMPARE(qFromLittleEndian<quint32>(word.constData() + 0x0E), 198u);            // lKey: the header
        const QByteArray tableName = (word.at(0x0B) & 0x02) ? "/1Table" : "/0Table";
        QCOMPARE(encrypted.at(tableName).left(4), QByteArray::fromHex("04000200"));
        QCOMPARE(encrypted.at(tableName).size(),
                 streamsOf(writeDoc(dir, QStringLiteral("o"), original)).at(tableName).size() + 198);
        for (const auto& [name, bytes] : streamsOf(writeDoc(dir, QStringLiteral("o"), original))) {
            if (name != "/WordDocument" && name != tableName)
                QVERIFY2(encrypted.at(name) == bytes, name.constData()); // summaries stay readable
        }

        // The file reader shares the cipher: it opens the result with the password only.
        QVERIFY(rc4PasswordMatches(readBytes(doc), password));
        QVERIFY(!rc4PasswordMatches(readBytes(doc), QStringLiteral("x")));
        QVERIFY(readWriteReservation(doc, password).ok());

        // Independent readers: msoffcrypto-tool decrypts it, keeping the header's room.
        const QString tool = QStandardPaths::findExecutable(QStringLiteral("msoffcrypto-tool"));
        if (!tool.isEmpty()) {
            const QString out = dir.filePath(QStringLiteral("out.doc"));
            QCOMPARE(QProcess::execute(tool, {QStringLiteral("-p"), password, QFile::decodeName(doc), out}), 0);
            auto theirs = streamsOf(QFile::encodeName(out));
            auto plain = streamsOf(writeDoc(dir, QStringLiteral("o"), original));
            QCOMPARE(theirs.at(tableName).mid(198), plain.at(tableName));
            const qsizetype end = fibEnd(plain.at("/WordDocument"));
            QCOMPARE(theirs.at("/WordDocument").mid(end), plain.at("/WordDocument").mid(end));
        }

        // A fresh salt for each document, and the password taken off again gives the original.
        const QByteArray second = writeDoc(dir, QStringLiteral("second.doc"), original);
        QCOMPARE(runNative(second, password, {}), QStringList());
        QVERIFY(streamsOf(second).at(tableName).mid(150, 16) != encrypted.at(tableName).mid(150, 16));
        QCOMPARE(runNative(doc, QString(), password), QStringList());
        QVERIFY(streamsOf(doc) == streamsOf(writeDoc(dir, QStringLiteral("o"), original)));
    }

    void modifyRoundTripIsLossless_data()
    {
        // Both passwords set, then both removed: every stream as it was. Word's plain.doc holds
        // empty associated strings at the end of its table; made from it: a document without
        // them (cut off, the pair emptied), and stream names in other cases.
        QTest::addColumn<QByteArray>("original");
        const QString word = korvane::testsupport::sampleFile(QStringLiteral("doc"), QStringLiteral("plain.doc"));
        if (word.isEmpty())
            QSKIP(korvane::testsupport::missingSamples(QStringLiteral("doc"), QStringLiteral("plain.doc")));
        const QByteArray plain = readBytes(QFile::encodeName(word));
        QTest::newRow("saved by Word") << plain;
        QByteArray renamed = plain;
        renamed.replace(directoryName("WordDocument"), directoryName("worddocument"));
        QTest::newRow("worddocument") << renamed;
        renamed = plain;
        renamed.replace(directoryName("1Table"), directoryName("1TABLE"));
        QTest::newRow("1TABLE") << renamed;

        QTemporaryDir dir;
        const QByteArray copy = writeDoc(dir, QStringLiteral("p.doc"), plain);
        const QByteArray wordStream = streamsOf(copy).at("/WordDocument");
        const qsizetype pairAt = fibEnd(wordStream) - 8 * (fibPairCount(wordStream) - 32);
        StreamEdits edits;
        edits["WordDocument"].patches.emplace_back(pairAt + 4, QByteArray(4, '\0'));
        edits["1Table"].keep = qFromLittleEndian<quint32>(wordStream.constData() + pairAt);
        auto cf = Compound::fromPath(copy);
        const QByteArray cut = QFile::encodeName(dir.filePath(QStringLiteral("cut.doc")));
        QVERIFY(writeCompound((*cf)->root(), cut, edits).ok());
        QTest::newRow("no associated strings") << readBytes(cut);
    }
    void modifyRoundTripIsLossless()
    {
        QFETCH(QByteArray, original);
        QTemporaryDir dir;
        const QByteArray doc = writeDoc(dir, QStringLiteral("a.doc"), original);
        const auto before = streamsOf(doc);
        QVERIFY(!needsOffice(doc));
        QCOMPARE(runNative(doc, QStringLiteral("739"), {}, QStringLiteral("7591")), QStringList());
        const auto reserved = readWriteReservation(doc, QStringLiteral("739"));
        QVERIFY(reserved && reserved->flag);
        QCOMPARE(reserved->password, QStringLiteral("7591"));
        QCOMPARE(runNative(doc, QString(), QStringLiteral("739")), QStringList());
        const auto after = streamsOf(doc);
        QCOMPARE(after.size(), before.size());
        for (const auto& [name, bytes] : before) // names as written, case and all
            QVERIFY2(after.count(name) && after.at(name) == bytes, name.constData());
    }

    void wordsOwnEncryption()
    {
        const QString folder =
            korvane::testsupport::sampleFolder(QStringLiteral("doc"), QStringLiteral("rc4cryptoapi_password.doc"));
        if (folder.isEmpty())
            QSKIP(korvane::testsupport::missingSamples(QStringLiteral("doc"),
                                                       QStringLiteral("rc4cryptoapi_password.doc")));
        QTemporaryDir dir;
        const QByteArray original = readBytes(QFile::encodeName(folder + QStringLiteral("/rc4cryptoapi_password.doc")));
        const QByteArray doc = writeDoc(dir, QStringLiteral("word.doc"), original);
        QVERIFY(!needsOffice(doc));
        // Wrong and cancelled passwords leave every byte as it was.
        const QStringList wrong = runNative(doc, QString(), QStringLiteral("0000"));
        QVERIFY2(wrong.value(0).contains(QStringLiteral("打开密码不正确")), qPrintable(wrong.join(u'|')));
        QVERIFY(runNative(doc, QString(), std::nullopt).value(0).contains(QStringLiteral("已取消")));
        QCOMPARE(readBytes(doc), original);

        QCOMPARE(runNative(doc, QString(), QStringLiteral("Password1234_")), QStringList());
        QVERIFY(!inspectWordPath(doc)->encrypted);
        // msoffcrypto-tool's decryption keeps the header's room before the table; ours takes it out.
        auto theirs = streamsOf(QFile::encodeName(folder + QStringLiteral("/rc4cryptoapi_password_plain.doc")));
        auto ours = streamsOf(doc);
        QCOMPARE(ours.at("/1Table"), theirs.at("/1Table").mid(198));
        const qsizetype end = fibEnd(theirs.at("/WordDocument"));
        QCOMPARE(ours.at("/WordDocument").mid(end), theirs.at("/WordDocument").mid(end));
        QCOMPARE(ours.at("/WordDocument").left(0x0E), theirs.at("/WordDocument").left(0x0E));
        // Every structure the FIB points to in the table reads the same through both FIBs.
        const QByteArray& ow = ours.at("/WordDocument");
        const QByteArray& tw = theirs.at("/WordDocument");
        for (int i = 0; i < fibPairCount(tw); ++i) {
            const qsizetype at = end - 8 * (fibPairCount(tw) - i);
            const quint32 lcb = qFromLittleEndian<quint32>(tw.constData() + at + 4);
            const quint32 theirFc = qFromLittleEndian<quint32>(tw.constData() + at);
            if (i != 87 && lcb && qsizetype(theirFc) + lcb <= theirs.at("/1Table").size()) // 87: a time stamp
                QCOMPARE(ours.at("/1Table").mid(qFromLittleEndian<quint32>(ow.constData() + at), lcb),
                         theirs.at("/1Table").mid(theirFc, lcb));
        }
        for (const char* name : {"/\x01"
                                 "CompObj",
                                 "/\x05SummaryInformation",
                                 "/\x05"
                                 "DocumentSummaryInformation",
                                 "clsid "})
            QVERIFY2(ours.at(name) == theirs.at(name), name);
    }

    void nativeSaveSurvivesAKill()
    {
        // A child protects a document and is killed at a different moment each round (the last
        // round lets it finish); after the next run's check the document is the old or the new
        // one, and nothing of ours is left beside it.
        const QString word = korvane::testsupport::sampleFile(QStringLiteral("doc"), QStringLiteral("plain.doc"));
        if (word.isEmpty())
            QSKIP(korvane::testsupport::missingSamples(QStringLiteral("doc"), QStringLiteral("plain.doc")));
        const QByteArray original = readBytes(QFile::encodeName(word));
        QTemporaryDir keep;
        const QByteArray reference = writeDoc(keep, QStringLiteral("plain.doc"), original);
        korvane::platform::LocalFileSystem files;
        int sawOld = 0, sawNew = 0;
        for (int round = 0; round < 8; ++round) {
            QTemporaryDir dir;
            const QByteArray doc = writeDoc(dir, QStringLiteral("a.doc"), original);
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0)
                ::_exit(runNative(doc, QStringLiteral("739"), {}).isEmpty() ? 0 : 1);
            if (round < 7) {
                // From the moment its work folder is there, a little longer each round.
                QDeadlineTimer started(5000);
                while (QDir(dir.path()).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty() &&
                       !started.hasExpired())
                    ::usleep(100);
                ::usleep(useconds_t(round * round * 400));
                ::kill(child, SIGKILL);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            QVERIFY(round < 7 || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
            QVERIFY(recoverInterruptedWrite(files, doc).kind != Recovery::BackupKept);
            if (readBytes(doc) == original) {
                ++sawOld;
            } else {
                ++sawNew;
                QCOMPARE(comparePlainDocuments(reference, {}, doc, QStringLiteral("739")).message(), QString());
            }
            QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList{QStringLiteral("a.doc")});
        }
        qInfo("old %d, new %d", sawOld, sawNew);
    }

    void twoRunsAtOnce_data()
    {
        QTest::addColumn<bool>("hardLinked"); // written in place, else renamed into place
        QTest::newRow("one name") << false;
        QTest::newRow("hard-linked") << true;
    }
    void twoRunsAtOnce()
    {
        // Two processes protect one document at the same moment, each with its own password and
        // neither knowing a current one: exactly one does it, and the document is its result.
        QFETCH(bool, hardLinked);
        const QString word = korvane::testsupport::sampleFile(QStringLiteral("doc"), QStringLiteral("plain.doc"));
        if (word.isEmpty())
            QSKIP(korvane::testsupport::missingSamples(QStringLiteral("doc"), QStringLiteral("plain.doc")));
        const QByteArray original = readBytes(QFile::encodeName(word));
        QTemporaryDir keep;
        const QByteArray reference = writeDoc(keep, QStringLiteral("plain.doc"), original);
        const QStringList passwords{QStringLiteral("a1"), QStringLiteral("b2")};
        for (int round = 0; round < 12; ++round) {
            QTemporaryDir dir;
            const QByteArray doc = writeDoc(dir, QStringLiteral("a.doc"), original);
            QVERIFY(!hardLinked || ::link(doc.constData(), QFile::encodeName(dir.filePath("b.doc")).constData()) == 0);
            int go[2];
            QVERIFY(::pipe(go) == 0);
            pid_t children[2];
            for (int i = 0; i < 2; ++i) {
                if ((children[i] = ::fork()) == 0) {
                    char c;
                    ::close(go[1]);
                    const bool started = ::read(go[0], &c, 1) == 0; // both go when the parent closes it
                    ::_exit(started && runNative(doc, passwords[i], std::nullopt).isEmpty() ? 0 : 1);
                }
            }
            ::close(go[0]);
            ::close(go[1]);
            QStringList done;
            for (int i = 0; i < 2; ++i) {
                int status = 0;
                QCOMPARE(::waitpid(children[i], &status, 0), children[i]);
                if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    done << passwords[i];
            }
            QCOMPARE(done.size(), 1);
            QCOMPARE(comparePlainDocuments(reference, {}, doc, done[0]).message(), QString());
            QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
                     hardLinked ? 2 : 1);
        }
    }

    void routesWhatItCannotServe_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("office");
        Layout l;
        l.withTable = true;
        QTest::newRow("Word 97") << compound(l) << false;
        QTest::newRow("no Word document at all") << QByteArray(600, 'a') << false;
        l.fibFlags = 0x0100;
        l.tableHead = QByteArray::fromHex("01000100") + QByteArray(48, 'z');
        QTest::newRow("RC4") << compound(l) << false;
        l.tableHead = QByteArray::fromHex("03000300") + QByteArray(48, 'z');
        QTest::newRow("unknown encryption") << compound(l) << true;
        l.fibFlags = 0x8100;
        QTest::newRow("XOR obfuscation") << compound(l) << true;
        l.fibFlags = 0;
        l.nFib = 0x65;
        QTest::newRow("Word 6") << compound(l) << true;
    }
    void routesWhatItCannotServe()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, office);
        QTemporaryDir dir;
        const QByteArray doc = writeDoc(dir, QStringLiteral("a.doc"), bytes);
        QCOMPARE(needsOffice(doc), office);
        // No office can start here: a document that needs none is done all the same.
        Passwords p;
        p.open = QStringLiteral("739");
        DocumentWord word({QStringLiteral("/nonexistent/helper"), QStringLiteral("/nonexistent/soffice")}, p);
        auto app = word.createObject(QStringLiteral("word.Application"));
        QVERIFY(app);
        (*app)->setEvents(&p);
        const auto opened = (*app)->open(doc, false);
        (*app)->quit();
        const QString said = opened.message() + p.failures.join(u'|');
        QVERIFY2(said.contains(QLatin1String("LibreOffice")) == office, qPrintable(said));
    }
};

KORVANE_TEST_GUILESS_MAIN(TestWordDocFile)
#include "tst_wordcrypt_docfile.moc"
