#include "filemanager/batchrun.h"
#include "filemanager/filtersettings.h"
#include "filemanager/typematch.h"
#include "platform/fakes/fakeservices.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "support/rawfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane::filemanager;
using korvane::platform::ErrorKind;
using korvane::platform::FaultyFileSystem;
using korvane::platform::LocalFileSystem;

using namespace korvane::testsupport;

namespace {

QStringList namesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

RunRequest request(const QString& source, const QString& target, Operation op,
                   const QString& type = QStringLiteral("*.txt"))
{
    RunRequest r;
    r.source = source;
    r.target = target;
    r.operation = op;
    r.singleType = type;
    return r;
}

RunRequest listRequest(const QString& source, const QString& target, Operation op, const QString& list)
{
    RunRequest r = request(source, target, op);
    r.typeListMode = true;
    r.typeList = [list] { return list; };
    return r;
}

QString folderOf(const QByteArray& path)
{
    return QFileInfo(QFile::decodeName(path)).path();
}

QString stepText(const FileStep& step)
{
    return QString::fromUtf8(step.source + " > " + step.target + " ") + QString::number(int(step.action));
}

QStringList treeListing(const QString& root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        out << path + QLatin1Char('=') + QString::fromUtf8(f.readAll());
    }
    out.sort();
    return out;
}

} // namespace

class TestFileManagerLogic : public QObject {
    Q_OBJECT
private slots:
    void matching_data();
    void matching();
    void typeListEntriesDropEmpty_data();
    void typeListEntriesDropEmpty();
    void newFilterItemsFromAnswer_data();
    void newFilterItemsFromAnswer();
    void settingFileBytes();

    void refusals_data();
    void refusals();
    void walkOrderIsDepthFirstFilesFirst();
    void withoutSubfoldersStaysInTheTop();
    void copyCollisions_data();
    void copyCollisions();
    void moveNeverReplaces();
    void moveOfSameNamesFromSubfolders();
    void emptyTypeListEndsTheFolderWalk_data();
    void emptyTypeListEndsTheFolderWalk();
    void typeListIsReadForEveryFile();
    void readOnlyUnderDeleteAndForceDelete();
    void hiddenFilesAreIncluded();
    void symlinkLoopIsNotFollowed();
    void symlinkToFile_data();
    void symlinkToFile();
    void targetInsideSourceIsNotWalked_data();
    void targetInsideSourceIsNotWalked();
    void sourceEqualToTargetLosesNothing_data();
    void sourceEqualToTargetLosesNothing();
    void failuresAreSkipped();
    void rawByteNamesSurvive();
    void planIsWhatTheRunDoes_data();
    void planIsWhatTheRunDoes();
};

void TestFileManagerLogic::matching_data()
{
    QTest::addColumn<bool>("typeList");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("expected");

    QTest::newRow("*.txt upper name") << false << "*.txt"
                                      << "a.TXT" << true;
    QTest::newRow("*.txt vs .text") << false << "*.txt"
                                    << "a.text" << false;
    QTest::newRow("*.rm") << false << "*.rm"
                          << "a.rm" << true;
    QTest::newRow("bare rm vs a.rm") << false << "rm"
                                     << "a.rm" << false;
    QTest::newRow("bare rm vs rm") << false << "rm"
                                   << "rm" << true;
    QTest::newRow("exe without dot") << false << "exe"
                                     << "setup.EXE" << true;
    QTest::newRow("*.exe vs xexe") << false << "*.exe"
                                   << "xexe" << true;
    QTest::newRow("*.html vs .html") << false << "*.html"
                                     << "index.html" << true;
    QTest::newRow("*.html vs .htm") << false << "*.html"
                                    << "index.htm" << false;
    QTest::newRow("empty drop-down") << false << ""
                                     << "a.txt" << false;
    QTest::newRow("chinese name") << false << "*.txt"
                                  << "说明文件.txt" << true;
    QTest::newRow("chinese type") << false << "*.文本档"
                                  << "笔记.文本档" << true;

    QTest::newRow("chm;doc a.CHM") << true << "chm;doc"
                                   << "a.CHM" << true;
    QTest::newRow("chm;doc b.doc") << true << "chm;doc"
                                   << "b.doc" << true;
    QTest::newRow("chm;doc xdoc") << true << "chm;doc"
                                  << "xdoc" << true;
    QTest::newRow("chm;doc c.docx") << true << "chm;doc"
                                    << "c.docx" << false;
    QTest::newRow("txt vs atxt") << true << "txt"
                                 << "atxt" << true;
    QTest::newRow(".txt vs atxt") << true << ".txt"
                                  << "atxt" << false;
    QTest::newRow(".txt vs a.txt") << true << ".txt"
                                   << "a.txt" << true;
    QTest::newRow("*.txt matches nothing") << true << "*.txt"
                                           << "a.txt" << false;
    QTest::newRow("entries trimmed") << true << " chm ; doc "
                                     << "a.doc" << true;
    QTest::newRow("entry longer than name") << true << "a.txt"
                                            << "txt" << false;
    QTest::newRow("trailing ; is no wildcard") << true << "chm;"
                                               << "a.jpg" << false;
    QTest::newRow("leading ; is no wildcard") << true << ";chm"
                                              << "a.jpg" << false;
    QTest::newRow(";; is no wildcard") << true << "chm;;doc"
                                       << "a.jpg" << false;
    QTest::newRow("chinese entry") << true << "文档"
                                   << "年度文档" << true;
}

void TestFileManagerLogic::matching()
{
    QFETCH(bool, typeList);
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, expected);
    const bool actual = typeList ? matchesTypeList(name, typeListEntries(pattern)) : matchesSingleType(name, pattern);
    QCOMPARE(actual, expected);
}

void TestFileManagerLogic::typeListEntriesDropEmpty_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("plain") << "chm;doc" << QStringList{"chm", "doc"};
    QTest::newRow("spaces") << "  chm ;  doc  " << QStringList{"chm", "doc"};
    QTest::newRow("empties") << ";chm;;doc;" << QStringList{"chm", "doc"};
    QTest::newRow("only separators") << " ; ;" << QStringList{};
    QTest::newRow("empty") << "" << QStringList{};
}

void TestFileManagerLogic::typeListEntriesDropEmpty()
{
    QFETCH(QString, list);
    QFETCH(QStringList, entries);
    QCOMPARE(typeListEntries(list), entries);
}

void TestFileManagerLogic::newFilterItemsFromAnswer_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("items");
    QTest::newRow("two with a space") << "chm; doc" << QStringList{"chm", "doc"};
    QTest::newRow("cancelled") << "" << QStringList{};
    QTest::newRow("blank") << "   " << QStringList{};
    QTest::newRow("trailing ;") << "chm;" << QStringList{"chm", ""};
    QTest::newRow("duplicates kept") << "*.txt;*.txt" << QStringList{"*.txt", "*.txt"};
}

void TestFileManagerLogic::newFilterItemsFromAnswer()
{
    QFETCH(QString, answer);
    QFETCH(QStringList, items);
    QCOMPARE(newFilterItems(answer), items);
}

void TestFileManagerLogic::settingFileBytes()
{
    QTemporaryDir dir;
    writeFile(raw(dir.filePath("setting.txt")), "an older, longer file\r\nsecond line\r\n");
    LocalFileSystem fs;
    QVERIFY(writeFilterSetting(fs, dir.path(), QStringLiteral("/data/下载")).ok());
    QCOMPARE(readFile(raw(dir.filePath("setting.txt"))), QByteArray("filter=/data/\xe4\xb8\x8b\xe8\xbd\xbd\r\n"));
    QVERIFY(writeFilterSetting(fs, dir.path(), QString()).ok());
    QCOMPARE(readFile(raw(dir.filePath("setting.txt"))), QByteArray("filter=\r\n"));
}

void TestFileManagerLogic::refusals_data()
{
    QTest::addColumn<QString>("source"); // "@" stands for the temporary source folder
    QTest::addColumn<QString>("target"); // "@" stands for the temporary target folder
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("refusal");

    QTest::newRow("empty source") << ""
                                  << "@" << 1 << int(Refusal::NoSource);
    QTest::newRow("missing source") << "/no/such/folder"
                                    << "@" << 2 << int(Refusal::SourceNotFolder);
    QTest::newRow("source is a file") << "@/a.txt"
                                      << "@" << 3 << int(Refusal::SourceNotFolder);
    QTest::newRow("source with trailing space") << "@ "
                                                << "@" << 4 << int(Refusal::SourceNotFolder);
    QTest::newRow("move, empty target") << "@"
                                        << "" << 1 << int(Refusal::NoTarget);
    QTest::newRow("copy, empty target") << "@"
                                        << "" << 2 << int(Refusal::NoTarget);
    QTest::newRow("copy, missing target") << "@"
                                          << "/no/such/folder" << 2 << int(Refusal::TargetNotFolder);
    QTest::newRow("move, target is a file") << "@"
                                            << "@/x" << 1 << int(Refusal::TargetNotFolder);
    QTest::newRow("delete ignores the target") << "@"
                                               << "" << 3 << int(Refusal::None);
}

void TestFileManagerLogic::refusals()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(int, operation);
    QFETCH(int, refusal);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/a.txt"), "a");
    writeFile(raw(dst + "/x"), "x");
    source.replace("@", src);
    target.replace("@", dst);

    LocalFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(source, target, Operation(operation)));
    QCOMPARE(int(report.refusal), refusal);
    QCOMPARE(exists(raw(src + "/a.txt")), refusal != int(Refusal::None));
    if (refusal != int(Refusal::None))
        QVERIFY(!refusalMessage(Refusal(refusal)).isEmpty());
}

void TestFileManagerLogic::walkOrderIsDepthFirstFilesFirst()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    for (const char* p : {"a.txt", "b.txt", "s1/c.txt", "s1/deep/d.txt", "s1/deep/e.txt", "s1/f.txt", "s2/g.txt",
                          "s2/inner/h.txt", "s3/i.txt", "s1/skip.dat"})
        writeFile(raw(src + "/" + p), p);
    QDir().mkpath(dir.filePath("dst"));

    FaultyFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, dir.filePath("dst"), Operation::Copy));
    QCOMPARE(report.matched, 9);
    QCOMPARE(report.done, 9);
    QCOMPARE(namesIn(dir.filePath("dst")),
             QStringList({"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt", "g.txt", "h.txt", "i.txt"}));

    const QList<QByteArray> copied = fs.pathsOf(FaultyFileSystem::Op::Copy);
    QStringList folders;
    for (const QByteArray& p : copied)
        folders << folderOf(p).mid(src.size());
    // Each folder's files come together, before anything below it, and a subtree once left
    // is never entered again.
    for (int i = 0; i < folders.size(); ++i) {
        for (int j = i + 1; j < folders.size(); ++j) {
            if (folders[i].startsWith(folders[j] + "/"))
                QFAIL(qPrintable("a file of " + folders[j] + " came after its subfolder " + folders[i]));
            if (folders[j] == folders[i] && j > i + 1 && folders[j - 1] != folders[i])
                QFAIL(qPrintable("the files of " + folders[i] + " are not together"));
            if (folders[i] != folders[j] && !folders[j].startsWith(folders[i] + "/")) {
                for (int k = j + 1; k < folders.size(); ++k)
                    if (folders[k] == folders[i] || folders[k].startsWith(folders[i] + "/"))
                        QFAIL(qPrintable("the walk came back into " + folders[i]));
            }
        }
    }
}

void TestFileManagerLogic::withoutSubfoldersStaysInTheTop()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    writeFile(raw(src + "/a.txt"), "a");
    writeFile(raw(src + "/sub/b.txt"), "b");
    LocalFileSystem fs;
    BatchFileManager manager(fs);
    RunRequest r = request(src, {}, Operation::Delete);
    r.includeSubfolders = false;
    const RunReport report = manager.run(r);
    QCOMPARE(report.done, 1);
    QVERIFY(!exists(raw(src + "/a.txt")));
    QVERIFY(exists(raw(src + "/sub/b.txt")));
}

void TestFileManagerLogic::copyCollisions_data()
{
    QTest::addColumn<bool>("overwrite");
    QTest::newRow("覆盖 checked") << true;
    QTest::newRow("覆盖 unchecked") << false;
}

void TestFileManagerLogic::copyCollisions()
{
    QFETCH(bool, overwrite);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/one/x.txt"), "one");
    writeFile(raw(src + "/two/x.txt"), "two");
    writeFile(raw(src + "/y.txt"), "new y");
    writeFile(raw(dst + "/y.txt"), "old y");

    FaultyFileSystem fs;
    BatchFileManager manager(fs);
    RunRequest r = request(src, dst, Operation::Copy);
    r.overwrite = overwrite;
    const RunReport report = manager.run(r);

    const QList<QByteArray> order = fs.pathsOf(FaultyFileSystem::Op::Copy);
    QCOMPARE(order.size(), 3);
    const QByteArray first = readFile(order[1]), last = readFile(order[2]);
    QCOMPARE(readFile(raw(dst + "/x.txt")), overwrite ? last : first);
    QCOMPARE(readFile(raw(dst + "/y.txt")), overwrite ? QByteArray("new y") : QByteArray("old y"));
    QCOMPARE(report.failures.size(), overwrite ? 0 : 2);
    for (const FileFailure& f : report.failures)
        QCOMPARE(f.status.kind(), ErrorKind::AlreadyExists);
    // Copying leaves every source in place, and no temporary file behind.
    QCOMPARE(readFile(raw(src + "/one/x.txt")), QByteArray("one"));
    QCOMPARE(readFile(raw(src + "/two/x.txt")), QByteArray("two"));
    QCOMPARE(namesIn(dst), QStringList({"x.txt", "y.txt"}));
}

void TestFileManagerLogic::moveNeverReplaces()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/x.txt"), "source");
    writeFile(raw(src + "/z.txt"), "z");
    writeFile(raw(dst + "/x.txt"), "already there");

    LocalFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, dst, Operation::Move));
    QCOMPARE(readFile(raw(src + "/x.txt")), QByteArray("source"));
    QCOMPARE(readFile(raw(dst + "/x.txt")), QByteArray("already there"));
    QCOMPARE(readFile(raw(dst + "/z.txt")), QByteArray("z"));
    QVERIFY(!exists(raw(src + "/z.txt")));
    QCOMPARE(report.done, 1);
    QCOMPARE(report.failures.size(), 1);
    QCOMPARE(report.failures[0].status.kind(), ErrorKind::AlreadyExists);
}

void TestFileManagerLogic::moveOfSameNamesFromSubfolders()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/one/x.txt"), "one");
    writeFile(raw(src + "/two/x.txt"), "two");
    QDir().mkpath(dst);

    FaultyFileSystem fs;
    BatchFileManager manager(fs);
    manager.run(request(src, dst, Operation::Move));
    const QList<QByteArray> order = fs.pathsOf(FaultyFileSystem::Op::Move);
    QCOMPARE(order.size(), 2);
    // Only the first one moved leaves its folder.
    QVERIFY(!exists(order[0]));
    QVERIFY(exists(order[1]));
    QCOMPARE(readFile(raw(dst + "/x.txt")), folderOf(order[0]).endsWith("one") ? QByteArray("one") : QByteArray("two"));
    QCOMPARE(readFile(order[1]), folderOf(order[1]).endsWith("one") ? QByteArray("one") : QByteArray("two"));
}

void TestFileManagerLogic::emptyTypeListEndsTheFolderWalk_data()
{
    QTest::addColumn<QString>("list");
    QTest::newRow("empty") << "";
    QTest::newRow("spaces") << "   ";
    QTest::newRow("only separators") << " ; ;";
}

void TestFileManagerLogic::emptyTypeListEndsTheFolderWalk()
{
    QFETCH(QString, list);
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    writeFile(raw(src + "/s1/a.txt"), "a");
    writeFile(raw(src + "/s2/b.txt"), "b");
    writeFile(raw(src + "/s2/inner/c.txt"), "c");
    writeFile(raw(src + "/s3/inner/d.txt"), "d");
    QDir().mkpath(src + "/empty");

    LocalFileSystem fs;
    BatchFileManager manager(fs);
    QStringList told;
    manager.onEmptyTypeList = [&told](const QByteArray& folder) { told << QFile::decodeName(folder); };
    const RunReport report = manager.run(listRequest(src, {}, Operation::ForceDelete, list));
    told.sort();
    // Once for each folder reached that holds files; never below such a folder.
    QCOMPARE(told, QStringList({src + "/s1", src + "/s2", src + "/s3/inner"}));
    QCOMPARE(report.matched, 0);
    for (const char* p : {"/s1/a.txt", "/s2/b.txt", "/s2/inner/c.txt", "/s3/inner/d.txt"})
        QVERIFY(exists(raw(src + p)));

    // A source that holds files itself: one message, and nothing below it is visited.
    writeFile(raw(src + "/top.txt"), "t");
    told.clear();
    manager.run(listRequest(src, {}, Operation::ForceDelete, list));
    QCOMPARE(told, QStringList({src}));
}

void TestFileManagerLogic::typeListIsReadForEveryFile()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    for (const char* p : {"a.txt", "b.txt", "c.txt", "sub/d.txt"})
        writeFile(raw(src + "/" + p), p);
    LocalFileSystem fs;
    BatchFileManager manager(fs);
    int reads = 0;
    RunRequest r = request(src, {}, Operation::Delete);
    r.typeListMode = true;
    r.typeList = [&reads] { return ++reads == 1 ? QStringLiteral("txt") : QString(); };
    int messages = 0;
    manager.onEmptyTypeList = [&messages](const QByteArray&) { ++messages; };
    const RunReport report = manager.run(r);
    QCOMPARE(reads, 2);
    QCOMPARE(report.done, 1);
    QCOMPARE(messages, 1);
    QCOMPARE(namesIn(src).size(), 2);
    QVERIFY(exists(raw(src + "/sub/d.txt")));
}

void TestFileManagerLogic::readOnlyUnderDeleteAndForceDelete()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    writeFile(raw(src + "/ro.txt"), "r");
    writeFile(raw(src + "/rw.txt"), "w");
    writeFile(raw(src + "/owner-writable.txt"), "o");
    QVERIFY(::chmod(raw(src + "/ro.txt").constData(), 0444) == 0);
    QVERIFY(::chmod(raw(src + "/owner-writable.txt").constData(), 0600) == 0);

    LocalFileSystem fs;
    BatchFileManager manager(fs);
    RunReport report = manager.run(request(src, {}, Operation::Delete));
    QVERIFY(exists(raw(src + "/ro.txt")));
    QVERIFY(!exists(raw(src + "/rw.txt")));
    QVERIFY(!exists(raw(src + "/owner-writable.txt")));
    QCOMPARE(report.failures.size(), 1);
    QCOMPARE(report.failures[0].status.kind(), ErrorKind::ReadOnly);

    report = manager.run(request(src, {}, Operation::ForceDelete));
    QVERIFY(!exists(raw(src + "/ro.txt")));
    QCOMPARE(report.done, 1);
}

void TestFileManagerLogic::hiddenFilesAreIncluded()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/.hidden.txt"), "h");
    writeFile(raw(src + "/.config/notes.txt"), "n");
    QDir().mkpath(dst);
    LocalFileSystem fs;
    BatchFileManager manager(fs);
    manager.run(request(src, dst, Operation::Move));
    QCOMPARE(namesIn(dst), QStringList({".hidden.txt", "notes.txt"}));
}

void TestFileManagerLogic::symlinkLoopIsNotFollowed()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/a.txt"), "a");
    writeFile(raw(src + "/sub/b.txt"), "b");
    writeFile(raw(dir.filePath("outside/o.txt")), "o");
    QDir().mkpath(dst);
    QVERIFY(::symlink("..", raw(src + "/sub/up").constData()) == 0);
    QVERIFY(::symlink(raw(src).constData(), raw(src + "/self").constData()) == 0);
    QVERIFY(::symlink("../outside", raw(src + "/out").constData()) == 0);

    FaultyFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, dst, Operation::Copy));
    QCOMPARE(report.matched, 2);
    QCOMPARE(namesIn(dst), QStringList({"a.txt", "b.txt"}));
    QCOMPARE(fs.pathsOf(FaultyFileSystem::Op::List).size(), 2);
}

void TestFileManagerLogic::symlinkToFile_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("move") << 1;
    QTest::newRow("copy") << 2;
    QTest::newRow("delete") << 3;
    QTest::newRow("force delete") << 4;
}

void TestFileManagerLogic::symlinkToFile()
{
    QFETCH(int, operation);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    const QByteArray real = raw(dir.filePath("keep/real.dat"));
    writeFile(real, "the only copy");
    QVERIFY(::chmod(real.constData(), 0444) == 0);
    QDir().mkpath(src);
    QDir().mkpath(dst);
    QVERIFY(::symlink(real.constData(), raw(src + "/link.txt").constData()) == 0);

    LocalFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, dst, Operation(operation)));
    QCOMPARE(report.done, 1);
    QCOMPARE(readFile(real), QByteArray("the only copy"));
    switch (Operation(operation)) {
    case Operation::Move:
        QVERIFY(!exists(raw(src + "/link.txt")));
        QVERIFY(isLink(raw(dst + "/link.txt")));
        break;
    case Operation::Copy:
        QVERIFY(isLink(raw(src + "/link.txt")));
        QVERIFY(!isLink(raw(dst + "/link.txt")));
        QCOMPARE(readFile(raw(dst + "/link.txt")), QByteArray("the only copy"));
        break;
    case Operation::Delete:
    case Operation::ForceDelete:
        // The link goes, even though its target is read-only; the target stays.
        QVERIFY(!exists(raw(src + "/link.txt")));
        break;
    }
}

void TestFileManagerLogic::targetInsideSourceIsNotWalked_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("targetSpelling"); // how the user wrote the target
    QTest::newRow("copy") << 2 << "@/out";
    QTest::newRow("move") << 1 << "@/out";
    QTest::newRow("copy, trailing slash") << 2 << "@/out/";
    QTest::newRow("copy, dotted alias") << 2 << "@/sub/../out";
    QTest::newRow("move, through a link") << 1 << "@link";
}

void TestFileManagerLogic::targetInsideSourceIsNotWalked()
{
    QFETCH(int, operation);
    QFETCH(QString, targetSpelling);
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    writeFile(raw(src + "/a.txt"), "a");
    writeFile(raw(src + "/sub/b.txt"), "b");
    writeFile(raw(src + "/out/old.txt"), "old");
    writeFile(raw(src + "/zz/c.txt"), "c");
    QVERIFY(::symlink(raw(src + "/out").constData(), raw(src + "link").constData()) == 0);
    targetSpelling.replace("@", src);

    FaultyFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, targetSpelling, Operation(operation)));
    QCOMPARE(report.refusal, Refusal::None);
    QCOMPARE(report.skippedTargetFolders, QList<QByteArray>{raw(src + "/out")});
    QCOMPARE(report.matched, 3);
    QCOMPARE(report.failures.size(), 0);
    QCOMPARE(namesIn(src + "/out"), QStringList({"a.txt", "b.txt", "c.txt", "old.txt"}));
    for (const QByteArray& listed : fs.pathsOf(FaultyFileSystem::Op::List))
        QVERIFY2(!listed.contains("/out"), listed.constData());
}

void TestFileManagerLogic::sourceEqualToTargetLosesNothing_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("move") << 1;
    QTest::newRow("copy") << 2;
}

void TestFileManagerLogic::sourceEqualToTargetLosesNothing()
{
    QFETCH(int, operation);
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    writeFile(raw(src + "/a.txt"), "top a");
    writeFile(raw(src + "/sub/b.txt"), "b");
    LocalFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, src + "/.", Operation(operation)));
    // The top file is never copied or moved onto itself; the subfolder's file joins it.
    QCOMPARE(readFile(raw(src + "/a.txt")), QByteArray("top a"));
    QCOMPARE(readFile(raw(src + "/b.txt")), QByteArray("b"));
    QCOMPARE(exists(raw(src + "/sub/b.txt")), Operation(operation) == Operation::Copy);
    QCOMPARE(report.failures.size(), 1);
    QCOMPARE(report.failures[0].status.kind(), ErrorKind::SameFile);
}

void TestFileManagerLogic::failuresAreSkipped()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/a.txt"), "a");
    writeFile(raw(src + "/b.txt"), "b");
    writeFile(raw(src + "/locked/c.txt"), "c");
    writeFile(raw(src + "/open/d.txt"), "d");
    QDir().mkpath(dst);

    FaultyFileSystem fs;
    fs.failOn(FaultyFileSystem::Op::Move, raw(src + "/a.txt"));
    fs.failOn(FaultyFileSystem::Op::List, raw(src + "/locked"));
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, dst, Operation::Move));
    QCOMPARE(namesIn(dst), QStringList({"b.txt", "d.txt"}));
    QVERIFY(exists(raw(src + "/a.txt")));
    QVERIFY(exists(raw(src + "/locked/c.txt")));
    QCOMPARE(report.failures.size(), 1);
    QCOMPARE(report.unlistedFolders, QList<QByteArray>{raw(src + "/locked")});
}

void TestFileManagerLogic::rawByteNamesSurvive()
{
    QTemporaryDir dir;
    const QByteArray src = raw(dir.filePath("src")), dst = raw(dir.filePath("dst"));
    // "文件.TXT" and a folder "资料" in GBK: not valid UTF-8.
    const QByteArray gbkFolder = src + "/\xd7\xca\xc1\xcf";
    const QByteArray gbkName = "\xce\xc4\xbc\xfe.TXT";
    QVERIFY(::mkdir(src.constData(), 0777) == 0);
    QVERIFY(::mkdir(gbkFolder.constData(), 0777) == 0);
    QVERIFY(::mkdir(dst.constData(), 0777) == 0);
    writeFile(gbkFolder + "/" + gbkName, "gbk");

    LocalFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(QFile::decodeName(src), QFile::decodeName(dst), Operation::Move));
    QCOMPARE(report.done, 1);
    QCOMPARE(readFile(dst + "/" + gbkName), QByteArray("gbk"));
    // QTemporaryDir cannot remove names that are not UTF-8.
    ::unlink((dst + "/" + gbkName).constData());
    ::rmdir(gbkFolder.constData());
}

void TestFileManagerLogic::planIsWhatTheRunDoes_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QList<int>>("actions"); // one per file, in walk order: a, b, same, ro, sub/a
    using A = FileAction;
    QTest::newRow("move") << int(Operation::Move) << true
                          << QList<int>{int(A::Move), int(A::SkipExists), int(A::SkipSameFile), int(A::Move),
                                        int(A::SkipExists)};
    QTest::newRow("copy") << int(Operation::Copy) << true
                          << QList<int>{int(A::Copy), int(A::Replace), int(A::SkipSameFile), int(A::Copy),
                                        int(A::Replace)};
    QTest::newRow("copy, no overwrite") << int(Operation::Copy) << false
                                        << QList<int>{int(A::Copy), int(A::SkipExists), int(A::SkipSameFile),
                                                      int(A::Copy), int(A::SkipExists)};
    QTest::newRow("delete") << int(Operation::Delete) << true
                            << QList<int>{int(A::Delete), int(A::Delete), int(A::Delete), int(A::SkipReadOnly),
                                          int(A::Delete)};
}

void TestFileManagerLogic::planIsWhatTheRunDoes()
{
    QFETCH(int, op);
    QFETCH(bool, overwrite);
    QFETCH(QList<int>, actions);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    QDir().mkpath(src + "/sub");
    QDir().mkpath(dst);
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write(src + "/a.txt", "a");
    write(src + "/b.txt", "b");
    write(dst + "/b.txt", "old b");
    write(src + "/same.txt", "same");
    QVERIFY(::link(QFile::encodeName(src + "/same.txt").constData(),
                   QFile::encodeName(dst + "/same.txt").constData()) == 0);
    write(src + "/ro.txt", "ro");
    QVERIFY(::chmod(QFile::encodeName(src + "/ro.txt").constData(), 0444) == 0);
    write(src + "/sub/a.txt", "sub a");

    LocalFileSystem fs;
    RunRequest r = request(src, dst, Operation(op));
    r.overwrite = overwrite;
    const QStringList before = treeListing(dir.path());

    BatchFileManager planner(fs);
    planner.planOnly = true;
    QStringList planned;
    QList<int> plannedActions;
    planner.onFile = [&](const FileStep& s) {
        planned << stepText(s);
        plannedActions << int(s.action);
    };
    planner.run(r);
    QCOMPARE(treeListing(dir.path()), before);

    // The walk order within a folder is the file system's: compare as sets, by name.
    QStringList expected;
    const QStringList order{"a.txt", "b.txt", "same.txt", "ro.txt", "sub/a.txt"};
    for (int i = 0; i < order.size(); ++i) {
        const QByteArray s = QFile::encodeName(src + "/" + order[i]);
        const QByteArray t =
            op >= int(Operation::Delete) ? QByteArray() : QFile::encodeName(dst + "/" + QFileInfo(order[i]).fileName());
        expected << stepText({s, t, FileAction(actions[i]), {}});
    }
    QStringList sortedPlan = planned;
    sortedPlan.sort();
    expected.sort();
    QCOMPARE(sortedPlan, expected);

    BatchFileManager runner(fs);
    QStringList done;
    runner.onFile = [&](const FileStep& s) { done << stepText(s); };
    runner.run(r);
    QCOMPARE(done, planned);
}

QTEST_GUILESS_MAIN(TestFileManagerLogic)
#include "tst_filemanager_logic.moc"
