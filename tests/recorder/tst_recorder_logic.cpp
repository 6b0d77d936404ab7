#include "platform/fakes/fakeservices.h"
#include "platform/nativepath.h"
#include "recorder/contentlookup.h"
#include "recorder/filedatabase.h"
#include "recorder/recording.h"
#include "recorder/sizelookup.h"
#include "recordertest.h"
#include "support/testtree.h"
#include "support/unprivileged.h"
#include "typediff.h"

#include "support/testmain.h"
#include <QLocale>
#include <QMimeDatabase>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <thread>

using namespace korvane::recorder;
using namespace korvane::recorder::test;
using korvane::platform::FaultyFileSystem;

/// The real file system, whose listings also name a file that is gone by the time it is read.
class VanishingFileSystem final : public FaultyFileSystem {
public:
    QByteArray phantom;

    korvane::platform::Result<std::vector<korvane::platform::DirEntry>>
    list(const korvane::platform::NativePath& folder) override
    {
        auto entries = FaultyFileSystem::list(folder);
        if (entries)
            entries->insert(entries->begin(), {phantom, korvane::platform::EntryKind::File, false});
        return entries;
    }
};

class TestRecorderLogic : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_db;

    /// Appends rows with these sizes, named after their index.
    void addSizes(FileDatabase& db, const QList<qint64>& sizes)
    {
        QVERIFY(db.beginRun());
        for (int i = 0; i < sizes.size(); ++i) {
            FileRow row;
            row.name = QStringLiteral("f%1").arg(i);
            row.size = sizes[i];
            QVERIFY(db.appendFileRow(row));
        }
        QVERIFY(db.commitRun());
    }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China)); }

    void init()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(installEmptyDatabase(m_dir.path()));
        m_db = m_dir.filePath(QStringLiteral("db1.mdb"));
    }

    void numericPrefix_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("integer") << "2" << 2.0;
        QTest::newRow("fraction with unit") << "1.5MB" << 1.5;
        QTest::newRow("no number") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("blanks anywhere") << " 1 2\t3\n4 " << 1234.0;
        QTest::newRow("negative") << "-3" << -3.0;
        QTest::newRow("sign then blank") << "- 3" << -3.0;
        QTest::newRow("plus") << "+7" << 7.0;
        QTest::newRow("double sign") << "--3" << 0.0;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("point only") << "." << 0.0;
        QTest::newRow("trailing point") << "5." << 5.0;
        QTest::newRow("comma is not a point") << "1,5" << 1.0;
        QTest::newRow("exponent") << "1e3" << 1000.0;
        QTest::newRow("exponent upper signed") << "25E-1" << 2.5;
        QTest::newRow("exponent without digits") << "4e" << 4.0;
        QTest::newRow("exponent sign only") << "4e+x" << 4.0;
        QTest::newRow("hex") << "&H1F" << 31.0;
        QTest::newRow("hex lower") << "&hff" << 255.0;
        QTest::newRow("hex stops") << "&H1G" << 1.0;
        QTest::newRow("octal") << "&O17" << 15.0;
        QTest::newRow("octal stops at 8") << "&O78" << 7.0;
        QTest::newRow("ampersand alone") << "&12" << 0.0;
        QTest::newRow("full-width digits") << QStringLiteral("２") << 0.0;
        QTest::newRow("carriage return stops") << "1\r2" << 1.0;
    }

    void numericPrefix()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        const std::optional<double> read = korvane::recorder::numericPrefix(text);
        QVERIFY(read.has_value());
        QCOMPARE(*read, value);
    }

    void numericPrefixOverflowIsAnError()
    {
        QVERIFY(!korvane::recorder::numericPrefix(QStringLiteral("1e400")).has_value());
        QCOMPARE(*korvane::recorder::numericPrefix(QStringLiteral("1e-400")), 0.0);
    }

    void bounds_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("tolerance");
        QTest::addColumn<int>("unit");
        QTest::addColumn<double>("lower");
        QTest::addColumn<double>("upper");
        QTest::newRow("initial inputs") << "2"
                                        << "1" << 0 << 1048576.0 << 3145728.0;
        QTest::newRow("fraction") << "2"
                                  << "0.3" << 0 << 1782579.2 << 2411724.8;
        QTest::newRow("KB") << "10"
                            << "2" << 1 << 8192.0 << 12288.0;
        QTest::newRow("bytes zero") << "0"
                                    << "0" << 2 << 0.0 << 0.0;
        QTest::newRow("negative lower") << "1"
                                        << "3" << 2 << -2.0 << 4.0;
        // 0.1 + 0.2 is 0.30000000000000004 in binary; written with 15 digits it is 0.3.
        QTest::newRow("15 digits") << "0.1"
                                   << "0.2" << 2 << -0.1 << 0.3;
    }

    void bounds()
    {
        QFETCH(QString, size);
        QFETCH(QString, tolerance);
        QFETCH(int, unit);
        QFETCH(double, lower);
        QFETCH(double, upper);
        const auto b = sizeBounds(size, tolerance, unit);
        QVERIFY(b.has_value());
        QCOMPARE(b->lower, lower);
        QCOMPARE(b->upper, upper);
    }

    void missingDatabaseIsNeverCreated()
    {
        const QString missing = m_dir.filePath(QStringLiteral("none/db1.mdb"));
        QDir(m_dir.path()).mkdir(QStringLiteral("none"));
        {
            FileDatabase db(missing);
            QVERIFY(!db.isOpen());
            QVERIFY(!db.appendLogRow(QStringLiteral("/x"), QDateTime::currentDateTime()));
            QVERIFY(!db.isEmpty(Table::Log).ok());
            QVERIFY(!db.findNamesInSizeRange(0, 1).status.ok());
            QVERIFY(!db.listLog().ok());
        }
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(lookUpBySize(*std::make_unique<FileDatabase>(missing), "2", "1", 0).outcome,
                 LookupResult::Outcome::Failed);
    }

    void notADatabaseIsLeftAlone_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("zero-length") << QByteArray();
        QTest::newRow("text") << QByteArray("db1.mdb from somewhere else\n").repeated(200);
        QTest::newRow("truncated header") << QByteArray("SQLite format", 13);
    }

    void notADatabaseIsLeftAlone()
    {
        // Nothing may turn such a file into a database: not opening, not recording, not
        // emptying, and no journal beside it.
        QFETCH(QByteArray, content);
        const QString folder = m_dir.filePath(QStringLiteral("foreign"));
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/db1.mdb");
        korvane::testsupport::writeFile(QFile::encodeName(path), content);
        {
            FileDatabase db(path);
            QVERIFY(!db.isOpen());
            QVERIFY(!db.beginRun());
            QVERIFY(!db.appendFileRow(FileRow{}));
            QVERIFY(!db.appendLogRow(QStringLiteral("/x"), QDateTime::currentDateTime()));
            QVERIFY(!db.deleteAllRows(Table::FileInf));
            QVERIFY(!db.findNamesInSizeRange(0, 1).status.ok());
            QCOMPARE(failureText(db, db.openStatus(), path), QStringLiteral("无法打开数据库文件 ") + path);
        }
        QCOMPARE(korvane::testsupport::readFile(QFile::encodeName(path)), content);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("db1.mdb")});
    }

    void unwritableDatabaseAnswersLookups()
    {
        // A folder the user cannot write: a WAL reader could not make its -shm there.
        // Checked from a process that really lacks the right.
        const QString folder = m_dir.filePath(QStringLiteral("readonly"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(installEmptyDatabase(folder));
        const QString path = folder + QStringLiteral("/db1.mdb");
        {
            FileDatabase db(path);
            addSizes(db, {5, 7, 9});
        }
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        const QByteArray before = korvane::testsupport::readFile(QFile::encodeName(path));
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
        ::chmod(QFile::encodeName(folder).constData(), 0555);
        QByteArray output;
        const int rc = korvane::testsupport::runUnprivileged(QStringLiteral(KORVANE_DB_PROBE),
                                                             {path, QStringLiteral("6"), QStringLiteral("9")}, &output);
        ::chmod(QFile::encodeName(folder).constData(), 0755);
        QCOMPARE(rc, 0);
        QCOMPARE(QString::fromUtf8(output),
                 QStringLiteral("f1\nf2\nwrite:数据库文件 %1 是只读的,无法修改\n").arg(path));
        QCOMPARE(korvane::testsupport::readFile(QFile::encodeName(path)), before);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("db1.mdb")});
    }

    void pathWithUriCharacters()
    {
        // '?', '#', '%' and spaces would be read as URI syntax if not escaped.
        const QString folder = m_dir.filePath(QStringLiteral("记录 a?b#c%20d"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(installEmptyDatabase(folder));
        FileDatabase db(folder + QStringLiteral("/db1.mdb"));
        QVERIFY2(db.isOpen(), qPrintable(db.openStatus().message()));
        QVERIFY(db.appendLogRow(QStringLiteral("/x"), QDateTime::currentDateTime()));
        QCOMPARE(count(folder + QStringLiteral("/db1.mdb"), QStringLiteral("log")), 1);
    }

    void sizeRangeIsInclusiveAndOrdered()
    {
        FileDatabase db(m_db);
        QVERIFY(db.isOpen());
        const qint64 big = (qint64(1) << 33) + 7; // beyond 32 bits, stored exactly
        addSizes(db, {3145728, 0, 1048575, 1048576, 5, 3145729, 2000000, 0, big});
        QCOMPARE(db.findNamesInSizeRange(1048576, 3145728).names, QStringList({"f0", "f3", "f6"}));
        QCOMPARE(db.findNamesInSizeRange(0, 0).names, QStringList({"f1", "f7"}));
        QCOMPARE(db.findNamesInSizeRange(-2, 5).names, QStringList({"f1", "f4", "f7"}));
        QCOMPARE(db.findNamesInSizeRange(double(big), double(big)).names, QStringList({"f8"}));
        QCOMPARE(db.findNamesInSizeRange(10, 1).names, QStringList());
        QCOMPARE(query(m_db, QStringLiteral("SELECT filesize FROM fileInf WHERE FileName='f8'"))
                     .value(0)
                     .value(0)
                     .toLongLong(),
                 big);
    }

    void lookupOutcomes()
    {
        FileDatabase db(m_db);
        addSizes(db, {1048576, 10});
        LookupResult r = lookUpBySize(db, QStringLiteral("2"), QStringLiteral("1"), 0);
        QCOMPARE(r.outcome, LookupResult::Outcome::Listed);
        QCOMPARE(r.names, QStringList{"f0"});
        r = lookUpBySize(db, QStringLiteral("0"), QStringLiteral("0"), 2);
        QCOMPARE(r.outcome, LookupResult::Outcome::NoneInRange);
        r = lookUpBySize(db, QStringLiteral("1e400"), QStringLiteral("1"), 2);
        QCOMPARE(r.outcome, LookupResult::Outcome::Failed);

        // A row without a name ends the listing with an error; the names before it stay.
        FileRow nameless;
        nameless.size = 12;
        QVERIFY(db.appendFileRow(nameless));
        addSizes(db, {11});
        r = lookUpBySize(db, QStringLiteral("10"), QStringLiteral("5"), 2);
        QCOMPARE(r.outcome, LookupResult::Outcome::Failed);
        QCOMPARE(r.names, QStringList{"f1"});
        QCOMPARE(resultsText({"a", "b"}), QStringLiteral("a\r\nb\r\n"));
    }

    void unfinishedRunLeavesNothing()
    {
        {
            FileDatabase db(m_db);
            addSizes(db, {1});
            QVERIFY(db.beginRun());
            FileRow row;
            row.name = QStringLiteral("lost");
            QVERIFY(db.appendFileRow(row));
        } // closed without commit
        QCOMPARE(query(m_db, QStringLiteral("SELECT FileName FROM fileInf")), QList<QVariantList>{{"f0"}});
    }

    void twoConnectionsSideBySide()
    {
        FileDatabase recorder(m_db);
        FileDatabase log(m_db);
        QVERIFY(recorder.isOpen() && log.isOpen());
        QVERIFY(recorder.connectionName() != log.connectionName());
        QVERIFY(recorder.appendLogRow(QStringLiteral("/a"), QDateTime::currentDateTime()));
        QCOMPARE(log.listLog()->rows.size(), size_t(1));
        // A run open on one connection neither blocks the other's reads nor shows to them.
        QVERIFY(recorder.beginRun());
        FileRow row;
        row.name = QStringLiteral("x");
        row.size = 1;
        QVERIFY(recorder.appendFileRow(row));
        QCOMPARE(log.isEmpty(Table::FileInf).valueOr(false), true);
        QCOMPARE(recorder.findNamesInSizeRange(1, 1).names, QStringList{"x"});
        QVERIFY(recorder.commitRun());
        QCOMPARE(log.isEmpty(Table::FileInf).valueOr(true), false);
        // The reader writes while the recorder keeps its connection.
        QVERIFY(log.deleteFirstLogRow());
        QVERIFY(recorder.appendLogRow(QStringLiteral("/b"), QDateTime::currentDateTime()));
        QCOMPARE(count(m_db, QStringLiteral("log")), 1);
    }

    void logRowsInOrder()
    {
        FileDatabase db(m_db);
        const QDateTime when(QDate(2024, 2, 29), QTime(23, 5, 9));
        for (const char* folder : {"/one", "/two", "/three"})
            QVERIFY(db.appendLogRow(QString::fromLatin1(folder), when));
        QCOMPARE(query(m_db, QStringLiteral("SELECT logtime FROM log LIMIT 1")).value(0).value(0).toString(),
                 QStringLiteral("2024-02-29 23:05:09"));
        QVERIFY(db.deleteFirstLogRow());
        const auto listing = db.listLog();
        QVERIFY(listing.ok());
        QCOMPARE(listing->columns, QStringList({"folder", "logtime"}));
        QCOMPARE(listing->rows.size(), size_t(2));
        QCOMPARE(listing->rows[0].folder.toString(), QStringLiteral("/two"));
        QCOMPARE(listing->rows[1].logtime.toDateTime(), when);
        QVERIFY(db.deleteAllRows(Table::Log));
        QCOMPARE(db.isEmpty(Table::Log).valueOr(false), true);
        QVERIFY(db.deleteFirstLogRow()); // nothing to delete is not a failure
    }

    void recordFolderRows()
    {
        QTemporaryDir tree;
        const QString f = tree.path();
        QVERIFY(writeSized(f + QStringLiteral("/说明.txt"), 3));
        QVERIFY(writeSized(f + QStringLiteral("/.hidden"), 0));
        QVERIFY(writeSized(f + QStringLiteral("/a.pdf"), 1 << 20));
        QVERIFY(QDir(f).mkdir(QStringLiteral("sub")));
        QVERIFY(writeSized(f + QStringLiteral("/sub/inner.txt"), 1));
        QVERIFY(QFile::link(f + QStringLiteral("/a.pdf"), f + QStringLiteral("/link.pdf")));
        QVERIFY(QFile::link(f + QStringLiteral("/sub"), f + QStringLiteral("/sublink")));
        const QByteArray gbkName = QByteArray("\xd6\xd0\xce\xc4.txt"); // "中文.txt" in GBK
        const QByteArray gbkPath = QFile::encodeName(f) + "/" + gbkName;
        FILE* file = std::fopen(gbkPath.constData(), "w");
        QVERIFY(file);
        std::fputs("12345", file);
        std::fclose(file);
        // QTemporaryDir cannot remove a name that is not UTF-8.
        const auto removeGbk = qScopeGuard([&] { std::remove(gbkPath.constData()); });
        const QDateTime stamp(QDate(2021, 6, 1), QTime(8, 30, 15));
        QFile pdf(f + QStringLiteral("/a.pdf"));
        QVERIFY(pdf.open(QIODevice::ReadWrite));
        QVERIFY(pdf.setFileTime(stamp, QFileDevice::FileModificationTime));
        pdf.close();

        FileDatabase db(m_db);
        TypeDescriber types;
        FaultyFileSystem fs;
        for (int run = 0; run < 2; ++run) {
            const RecordReport report = recordFolder(fs, db, QFile::encodeName(f), types);
            QVERIFY(report.recorded);
            QCOMPARE(report.files, 5);
            QCOMPARE(report.stored, 5);
        }
        const auto rows = query(
            m_db,
            QStringLiteral("SELECT FileName, filetype, filesize, filedate, shortname FROM fileInf ORDER BY rowid"));
        QCOMPARE(rows.size(), 10); // a second run doubles every row
        QStringList listed, storedOrder;
        const auto listing = korvane::platform::LocalFileSystem().list(QFile::encodeName(f));
        QVERIFY(listing);
        for (const auto& entry : *listing) {
            if (entry.kind == korvane::platform::EntryKind::File)
                listed << korvane::platform::displayPath(entry.name);
        }
        for (int i = 0; i < 5; ++i)
            storedOrder << rows[i][0].toString();
        QCOMPARE(storedOrder, listed); // in the order the folder lists them
        QHash<QString, QVariantList> byName;
        for (int i = 0; i < 5; ++i) {
            byName.insert(rows[i][0].toString(), rows[i]);
            QCOMPARE(rows[i + 5], rows[i]);
        }
        QCOMPARE(byName.keys().size(), 5);
        for (const char* name : {"说明.txt", "a.pdf", "link.pdf", ".hidden", "中文.txt"})
            QVERIFY2(byName.contains(QString::fromUtf8(name)), qPrintable(QStringList(byName.keys()).join(u'|')));
        QVERIFY(!byName.contains(QStringLiteral("sub")) && !byName.contains(QStringLiteral("sublink")));
        QCOMPARE(byName[QStringLiteral("说明.txt")][1].toString(), QStringLiteral("纯文本文档"));
        QCOMPARE(byName[QStringLiteral("说明.txt")][2].toLongLong(), 3);
        QCOMPARE(byName[QStringLiteral("说明.txt")][4].toString(), QStringLiteral("说明.txt"));
        QCOMPARE(byName[QStringLiteral("a.pdf")][3].toString(), QStringLiteral("2021-06-01 08:30:15"));
        QCOMPARE(byName[QStringLiteral("link.pdf")][2].toLongLong(), 1 << 20);
        QCOMPARE(byName[QStringLiteral(".hidden")][2].toLongLong(), 0);
        QCOMPARE(byName[QStringLiteral("中文.txt")][2].toLongLong(), 5);
    }

    void typeDescriptionsMatchTheMimeDatabase()
    {
        // One describer for all names, so answers it reuses are checked against Qt's own.
        const QStringList names = {
            "a.txt", "README.txt", "readme.md", "b.txt", "Makefile", "Makefile.am", "x.am", "CMakeLists.txt",
            "c.tar.gz", "d.gz", "e.C", "f.c", "g.c", "notes.txt~", "n.txt~", "core", "x.core", "h.1", "i.1",
            "libz.so.1", "j.so", "k.PDF", "l.pdf", ".bashrc", "noext", "报告.docx", "总结.docx", "图.JPG", "m.tar.gz",
            "o.d.tar.gz", "p.d.tar.gz", "meson.build", "x.build", "q.7z.001", "r.001",
            // Known suffixes written in other cases, wildcard patterns, and endings nobody knows.
            "s.Tar.GZ", "t.TAR.gz", "u.C", "v.C", "w.c", "x.anim3", "y.anim", "123.vdr", "12.vdr", "libc.so.6",
            "libd.so", "README", "ReadMe.first", "makefile.in", "MAKEFILE", "a,v", "b%", "c~", "x.k3f9q", "y.k77zz",
            "无后缀", "z.tar.k3f9q", ".txt", "txt", "a.TXT"};
        TypeDescriber types;
        QMimeDatabase mime;
        for (int pass = 0; pass < 2; ++pass) {
            for (const QString& name : names) {
                const QString expected = mime.mimeTypeForFile(name, QMimeDatabase::MatchExtension).comment();
                QVERIFY(!expected.isEmpty());
                QCOMPARE(types.describe(name), expected);
            }
        }
        QCOMPARE(types.describe(QStringLiteral("说明.txt")), QStringLiteral("纯文本文档"));
    }

    void typeDescriptionDependsOnTheNameAlone()
    {
        // The orders that poisoned the cache, then every glob of the database and its mutations
        // in shuffled orders: each name must get the database's own answer.
        const QChar arabicThree(0x0663), wideOne(0xFF11), wideTwo(0xFF12), wideThree(0xFF13);
        const QList<QStringList> poisoning{
            {"x.anim" + QString(arabicThree), "data.xyz", "notes.final", "noext"},
            {"data.xyz", QString(wideOne) + wideTwo + wideThree + ".vdr", "x.anim" + QString(arabicThree)}};
        for (const QStringList& order : poisoning) {
            const std::optional<QString> differs = korvane::testsupport::firstDifference(order);
            QVERIFY2(!differs, qPrintable(differs.value_or(QString())));
        }
        QStringList names = korvane::testsupport::globNames(QMimeDatabase());
        QRandomGenerator random(26);
        const qsizetype globs = names.size();
        for (qsizetype i = 0; i < globs * 2; ++i)
            names << korvane::testsupport::mutated(names[random.bounded(globs)], random.generate());
        names << "data.xyz"
              << "notes.final"
              << "noext";
        for (int round = 0; round < 3; ++round) {
            std::shuffle(names.begin(), names.end(), random);
            const std::optional<QString> differs = korvane::testsupport::firstDifference(names);
            QVERIFY2(!differs, qPrintable(differs.value_or(QString())));
        }
    }

    void unreadablePropertiesLeaveColumnsEmpty()
    {
        // A file that vanishes between the listing and the reading of its properties.
        QTemporaryDir tree;
        QVERIFY(writeSized(tree.filePath(QStringLiteral("b.txt")), 6));
        VanishingFileSystem fs;
        fs.phantom = "a.txt";
        FileDatabase db(m_db);
        TypeDescriber types;
        QCOMPARE(recordFolder(fs, db, QFile::encodeName(tree.path()), types).stored, 2);
        const auto rows = query(m_db, QStringLiteral("SELECT FileName, filesize IS NULL, filedate IS NULL, filetype, "
                                                     "shortname FROM fileInf ORDER BY FileName"));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0], QVariantList({"a.txt", 1, 1, QStringLiteral("纯文本文档"), "a.txt"}));
        QCOMPARE(rows[1][1].toInt(), 0);

        // A look at a file that is there but fails, as on a faulty disk, does the same.
        QVERIFY(writeSized(tree.filePath(QStringLiteral("c.txt")), 3));
        fs.failOn(FaultyFileSystem::Op::InfoAt, QFile::encodeName(tree.filePath(QStringLiteral("c.txt"))));
        QCOMPARE(recordFolder(fs, db, QFile::encodeName(tree.path()), types).stored, 3);
        QCOMPARE(query(m_db, QStringLiteral(
                                 "SELECT DISTINCT FileName FROM fileInf WHERE filesize IS NULL AND filedate IS NULL "
                                 "ORDER BY FileName")),
                 QList<QVariantList>({{"a.txt"}, {"c.txt"}}));
    }

    void folderWithoutFiles_data()
    {
        QTest::addColumn<bool>("withSubfolder");
        QTest::addColumn<bool>("missing");
        QTest::addColumn<bool>("recorded");
        QTest::newRow("empty") << false << false << false;
        QTest::newRow("subfolders only") << true << false << false;
        QTest::newRow("does not exist") << false << true << true;
    }

    void folderWithoutFiles()
    {
        QFETCH(bool, withSubfolder);
        QFETCH(bool, missing);
        QFETCH(bool, recorded);
        QTemporaryDir tree;
        if (withSubfolder)
            QVERIFY(QDir(tree.path()).mkdir(QStringLiteral("sub")));
        const QString folder = missing ? tree.filePath(QStringLiteral("gone")) : tree.path();
        FaultyFileSystem fs;
        FileDatabase db(m_db);
        TypeDescriber types;
        const RecordReport report = recordFolder(fs, db, QFile::encodeName(folder), types);
        QCOMPARE(report.recorded, recorded);
        QCOMPARE(report.stored, 0);
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 0);
    }

    void storingAgainstAnotherWriterOrAFullDisk_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("reason"); // empty: the run is stored
        QTest::newRow("writer done after 2.5 s, within the wait") << "held"
                                                                  << "";
        QTest::newRow("writer past the wait") << "busy"
                                              << "数据库正被另一个程序使用";
        QTest::newRow("disk full") << "full"
                                   << "磁盘已满";
    }

    void storingAgainstAnotherWriterOrAFullDisk()
    {
        QFETCH(QString, cause);
        QFETCH(QString, reason);
        // More files than one batch of the run's reading threads, each with its own size and time.
        QTemporaryDir tree;
        constexpr int kFiles = 3000;
        const QDateTime base(QDate(2023, 10, 28), QTime(23, 0, 0));
        for (int i = 0; i < kFiles; ++i) {
            QFile file(tree.filePath(QStringLiteral("%1%2.txt").arg(i).arg(QString(60, u'名'))));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(i % 97));
            QVERIFY(file.setFileTime(base.addSecs(i * 61), QFileDevice::FileModificationTime));
        }
        FileDatabase db(m_db);
        FileDatabase other(m_db); // as another Korvane would hold the file
        std::promise<bool> held;
        std::thread holder;
        if (cause == QLatin1String("held")) {
            holder = std::thread([&] {
                FileDatabase own(m_db); // a connection of the thread's own
                held.set_value(own.beginRun().ok());
                std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                own.commitRun();
            });
            QVERIFY(held.get_future().get());
        } else if (cause == QLatin1String("busy")) {
            db.setWriteWait(100);
            QVERIFY(other.beginRun());
        } else {
            // A file that may not grow is as full as a full disk to SQLite.
            QSqlQuery pragma(QSqlDatabase::database(db.connectionName()));
            QVERIFY(pragma.exec(QStringLiteral("PRAGMA page_count")) && pragma.next());
            QVERIFY(pragma.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pragma.value(0).toInt() + 20)));
        }
        TypeDescriber types;
        FaultyFileSystem fs;
        const RecordReport report = recordFolder(fs, db, QFile::encodeName(tree.path()), types);
        other.rollbackRun();
        if (holder.joinable())
            holder.join();
        QVERIFY(report.recorded);
        QCOMPARE(!report.store.ok(), !reason.isEmpty());
        if (!reason.isEmpty()) {
            QCOMPARE(count(m_db, QStringLiteral("fileInf")), 0);
            const QString text = storeFailureText(db, report.store, m_db);
            QVERIFY2(text.startsWith(QStringLiteral("无法保存记录: ") + reason + u'('), qPrintable(text));
            return;
        }
        const auto listed = fs.list(QFile::encodeName(tree.path()));
        const auto rows =
            query(m_db, QStringLiteral("SELECT FileName, filesize, filedate FROM fileInf ORDER BY rowid"));
        QCOMPARE(rows.size(), kFiles);
        for (int i = 0; i < kFiles; ++i) {
            const QString name = QString::fromUtf8((*listed)[size_t(i)].name);
            const int number = name.left(name.indexOf(u'名')).toInt();
            QCOMPARE(rows[i][0].toString(), name);
            QCOMPARE(rows[i][1].toInt(), number % 97);
            QCOMPARE(rows[i][2].toString(), base.addSecs(number * 61).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        }
    }

    void killedRunLeavesValidDatabase()
    {
        // A helper records one run, then starts a second one and is killed in its middle.
        QProcess helper;
        helper.start(QStringLiteral(KORVANE_CRASH_HELPER), {m_db});
        QVERIFY(helper.waitForFinished(60000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        QCOMPARE(query(m_db, QStringLiteral("PRAGMA integrity_check")).value(0).value(0).toString(),
                 QStringLiteral("ok"));
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 1000);
        FileDatabase db(m_db);
        QVERIFY(db.appendLogRow(QStringLiteral("/after"), QDateTime::currentDateTime()));
    }

    void lookupByContentAndPlace()
    {
        // Recorded: a/one.txt (same bytes), b/one.txt (same), b/two.txt (same size, other bytes),
        // c/gone.txt (deleted since), GBK names in a GBK folder; a/other.txt has another size.
        korvane::testsupport::TestTree tree;
        const QByteArray gbkFolder("\xce\xc4"), gbkName("\xc4\xe3\xba\xc3.txt"); // 文, 你好.txt
        tree.file("a/one.txt", "hello world");
        tree.file("a/other.txt", "hello");
        tree.file("b/one.txt", "hello world");
        tree.file("b/two.txt", "hello WORLD");
        tree.file("c/gone.txt", "hello world");
        tree.file(gbkFolder + '/' + gbkName, "hello world");
        const QByteArray mine = tree.file("mine.bin", "hello world");
        FileDatabase db(m_db);
        TypeDescriber types;
        korvane::platform::LocalFileSystem local;
        for (const QByteArray& folder : {QByteArray("a"), QByteArray("b"), QByteArray("c"), gbkFolder})
            QVERIFY(recordFolder(local, db, tree.path(folder), types, nullptr,
                                 korvane::platform::displayPath(tree.path(folder)))
                        .logged);
        // "a" again, in other words: looked in once.
        QVERIFY(recordFolder(local, db, tree.path("a"), types, nullptr, tree.text("a") + u'/').logged);
        QVERIFY(QFile::remove(tree.text("c/gone.txt")));

        using Found = QList<std::pair<Content, QByteArray>>;
        const Found expected{{Content::Same, tree.path("a/one.txt")},
                             {Content::Same, tree.path("b/one.txt")},
                             {Content::Different, tree.path("b/two.txt")},
                             {Content::Missing, {}},
                             {Content::Same, tree.path(gbkFolder + '/' + gbkName)}};
        for (const int workers : {1, 3}) {
            FaultyFileSystem fs;
            const ContentLookup found = lookUpByContent(fs, db, mine, workers);
            QVERIFY(found.status);
            QVERIFY(found.anySame());
            Found got;
            for (const ContentMatch& match : found.matches)
                got.append({match.content, match.foundAt});
            QCOMPARE(got, expected);
            QCOMPARE(found.matches[3].name, QStringLiteral("gone.txt"));
            QCOMPARE(contentText(found.matches[3]), QStringLiteral("已不在记录的文件夹中"));
            QVERIFY(fs.pathsOf(FaultyFileSystem::Op::WriteFile).isEmpty());
        }

        // A file in hand that cannot be read fails with its reason; a stop finds nothing more.
        FaultyFileSystem faulty;
        faulty.failOn(FaultyFileSystem::Op::ReadFile, mine, korvane::platform::ErrorKind::ReadOnly);
        const ContentLookup unreadable = lookUpByContent(faulty, db, mine);
        QVERIFY(!unreadable.status && !unreadable.databaseFailed && unreadable.matches.empty());
        korvane::platform::RunControl control;
        control.requestStop();
        const ContentLookup stopped = lookUpByContent(local, db, mine, 1, &control);
        QVERIFY(stopped.stopped && stopped.matches.empty());
        // A different file of that size: nothing the same, and the copies are now "different".
        const ContentLookup other = lookUpByContent(local, db, tree.file("other.bin", "HELLO world"));
        QVERIFY(!other.anySame());
        QCOMPARE(other.matches[0].content, Content::Different);
    }

    void stoppedRunKeepsNothing()
    {
        // More files than the walk hands over at once, so that the stop meets a run in progress.
        QTemporaryDir tree;
        for (int i = 0; i < 5000; ++i)
            QVERIFY(writeSized(tree.filePath(QStringLiteral("%1.txt").arg(i)), 1));
        FileDatabase db(m_db);
        TypeDescriber types;
        FaultyFileSystem fs;
        const QByteArray folder = QFile::encodeName(tree.path());
        QVERIFY(recordFolder(fs, db, folder, types, nullptr, QStringLiteral("first")).logged);
        korvane::platform::RunControl control;
        control.requestStop();
        const RecordReport stopped = recordFolder(fs, db, folder, types, &control, QStringLiteral("stopped"));
        QVERIFY(stopped.stopped);
        QCOMPARE(stopped.files, 5000); // counted to the end, for "未处理 N 个"
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 5000);
        QCOMPARE(count(m_db, QStringLiteral("log")), 1);
        // The connection takes the next run whole; read in pieces, its rows keep the listing's order.
        korvane::platform::LocalFileSystem local;
        const RecordReport again = recordFolder(local, db, folder, types, nullptr, QStringLiteral("again"));
        QCOMPARE(again.stored, 5000);
        QStringList listed, stored;
        const auto listing = local.list(folder);
        QVERIFY(listing);
        for (const auto& entry : *listing)
            listed << QString::fromUtf8(entry.name);
        for (const QVariantList& row :
             query(m_db, QStringLiteral("SELECT FileName FROM fileInf WHERE rowid > 5000 ORDER BY rowid")))
            stored << row.value(0).toString();
        QCOMPARE(stored, listed);
    }

    void killAtFirstCommitKeepsTheLogRowWithTheRows()
    {
        // The helper dies as soon as its first transaction is committed: that one must hold
        // the log row too, or a kill between rows and log row keeps rows no log names.
        QTemporaryDir tree;
        for (int i = 0; i < 40; ++i)
            QVERIFY(writeSized(tree.filePath(QStringLiteral("文件%1.txt").arg(i)), i));
        QProcess helper;
        helper.start(QStringLiteral(KORVANE_CRASH_HELPER), {m_db, tree.path()});
        QVERIFY(helper.waitForFinished(60000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 40);
        QCOMPARE(query(m_db, QStringLiteral("SELECT folder FROM log")), (QList<QVariantList>{{tree.path()}}));
    }
};

KORVANE_TEST_GUILESS_MAIN(TestRecorderLogic)
#include "tst_recorder_logic.moc"
