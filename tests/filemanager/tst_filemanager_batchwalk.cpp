// Which files a batch run reaches: walk order, type lists, links, odd names and overlapping folders.

#include "filemanager/batchrun.h"
#include "platform/fakes/fakeservices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "batchfixtures.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane::filemanager;
using korvane::platform::ErrorKind;
using korvane::platform::FaultyFileSystem;
using korvane::platform::LocalFileSystem;

using namespace korvane::testsupport;

class TestBatchWalk : public QObject {
    Q_OBJECT
private slots:
    void walkOrderIsDepthFirstFilesFirst();
    void withoutSubfoldersStaysInTheTop();
    void emptyTypeListEndsTheFolderWalk_data();
    void emptyTypeListEndsTheFolderWalk();
    void typeListIsReadForEveryFile();
    void hiddenFilesAreIncluded();
    void symlinkLoopIsNotFollowed();
    void symlinkToFile_data();
    void symlinkToFile();
    void targetInsideSourceIsNotWalked_data();
    void targetInsideSourceIsNotWalked();
    void sourceEqualToTargetLosesNothing_data();
    void sourceEqualToTargetLosesNothing();
    void rawByteNamesSurvive();
};

void TestBatchWalk::walkOrderIsDepthFirstFilesFirst()
{
    TestTree tree;
    const QString src = tree.text("src");
    for (const char* p : {"a.txt", "b.txt", "s1/c.txt", "s1/deep/d.txt", "s1/deep/e.txt", "s1/f.txt", "s2/g.txt",
                          "s2/inner/h.txt", "s3/i.txt", "s1/skip.dat"})
        tree.file("src/" + QByteArray(p), p);
    tree.folder("dst");

    FaultyFileSystem fs;
    BatchFileManager manager(fs);
    const RunReport report = manager.run(request(src, tree.text("dst"), Operation::Copy));
    QCOMPARE(report.matched, 9);
    QCOMPARE(report.done, 9);
    QCOMPARE(filesIn(tree.text("dst")),
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

void TestBatchWalk::withoutSubfoldersStaysInTheTop()
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

void TestBatchWalk::emptyTypeListEndsTheFolderWalk_data()
{
    QTest::addColumn<QString>("list");
    QTest::newRow("empty") << "";
    QTest::newRow("spaces") << "   ";
    QTest::newRow("only separators") << " ; ;";
}

void TestBatchWalk::emptyTypeListEndsTheFolderWalk()
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

void TestBatchWalk::typeListIsReadForEveryFile()
{
    TestTree tree;
    tree.make({"src/a.txt", "src/b.txt", "src/c.txt", "src/sub/d.txt"});
    const QString src = tree.text("src");
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
    QCOMPARE(filesIn(src).size(), 2);
    QVERIFY(exists(raw(src + "/sub/d.txt")));
}

void TestBatchWalk::hiddenFilesAreIncluded()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/.hidden.txt"), "h");
    writeFile(raw(src + "/.config/notes.txt"), "n");
    QDir().mkpath(dst);
    LocalFileSystem fs;
    BatchFileManager manager(fs);
    manager.run(request(src, dst, Operation::Move));
    QCOMPARE(filesIn(dst), QStringList({".hidden.txt", "notes.txt"}));
}

void TestBatchWalk::symlinkLoopIsNotFollowed()
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
    QCOMPARE(filesIn(dst), QStringList({"a.txt", "b.txt"}));
    QCOMPARE(fs.pathsOf(FaultyFileSystem::Op::List).size(), 2);
}

void TestBatchWalk::symlinkToFile_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("move") << 1;
    QTest::newRow("copy") << 2;
    QTest::newRow("delete") << 3;
    QTest::newRow("force delete") << 4;
}

void TestBatchWalk::symlinkToFile()
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

void TestBatchWalk::targetInsideSourceIsNotWalked_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("targetSpelling"); // how the user wrote the target
    QTest::newRow("copy") << 2 << "@/out";
    QTest::newRow("move") << 1 << "@/out";
    QTest::newRow("copy, trailing slash") << 2 << "@/out/";
    QTest::newRow("copy, dotted alias") << 2 << "@/sub/../out";
    QTest::newRow("move, through a link") << 1 << "@link";
}

void TestBatchWalk::targetInsideSourceIsNotWalked()
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
    QCOMPARE(filesIn(src + "/out"), QStringList({"a.txt", "b.txt", "c.txt", "old.txt"}));
    for (const QByteArray& listed : fs.pathsOf(FaultyFileSystem::Op::List))
        QVERIFY2(!listed.contains("/out"), listed.constData());
}

void TestBatchWalk::sourceEqualToTargetLosesNothing_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("move") << 1;
    QTest::newRow("copy") << 2;
}

void TestBatchWalk::sourceEqualToTargetLosesNothing()
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

void TestBatchWalk::rawByteNamesSurvive()
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

KORVANE_TEST_GUILESS_MAIN(TestBatchWalk)
#include "tst_filemanager_batchwalk.moc"
