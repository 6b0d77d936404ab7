// What a batch run does with each file: refusals, collisions, moves, deletes and failures.

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
using korvane::platform::RunControl;

using namespace korvane::testsupport;

class TestBatchRun : public QObject {
    Q_OBJECT
private slots:
    void refusals_data();
    void refusals();
    void copyCollisions_data();
    void copyCollisions();
    void copyIntoItsOwnSourceReplacesNoSource_data();
    void copyIntoItsOwnSourceReplacesNoSource();
    void moveNeverReplaces();
    void moveOfSameNamesFromSubfolders();
    void readOnlyUnderDeleteAndForceDelete();
    void failuresAreSkipped();
    void endOfRunNamesWhatWasLeft();
    void killedMoveAcrossFileSystemsIsFinished_data();
    void killedMoveAcrossFileSystemsIsFinished();
    void planIsWhatTheRunDoes_data();
    void planIsWhatTheRunDoes();
    void workersGiveTheSequentialResult_data();
    void workersGiveTheSequentialResult();
    void stoppedWorkersLeaveNothingHalfWritten();
    void stopSaysWhetherFoldersWereLeft_data();
    void stopSaysWhetherFoldersWereLeft();
};

void TestBatchRun::refusals_data()
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

void TestBatchRun::refusals()
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

void TestBatchRun::copyCollisions_data()
{
    QTest::addColumn<bool>("overwrite");
    QTest::newRow("覆盖 checked") << true;
    QTest::newRow("覆盖 unchecked") << false;
}

void TestBatchRun::copyCollisions()
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
    QCOMPARE(filesIn(dst), QStringList({"x.txt", "y.txt"}));
}

void TestBatchRun::copyIntoItsOwnSourceReplacesNoSource_data()
{
    QTest::addColumn<QString>("target"); // relative to the temporary folder
    QTest::newRow("the source itself") << "GS";
    QTest::newRow("a path alias") << "GS/sub/..";
    QTest::newRow("a link to it") << "link";
}

void TestBatchRun::copyIntoItsOwnSourceReplacesNoSource()
{
    QFETCH(QString, target);
    QTemporaryDir dir;
    const QString gs = dir.filePath("GS");
    writeFile(raw(gs + "/a.txt"), "root a");
    writeFile(raw(gs + "/sub/a.txt"), "sub a");
    writeFile(raw(gs + "/sub/b.txt"), "sub b");
    QVERIFY(::symlink("GS", QFile::encodeName(dir.filePath("link")).constData()) == 0);

    LocalFileSystem fs;
    BatchFileManager manager(fs);
    QStringList steps;
    manager.onFile = [&](const FileStep& step) { steps << stepText(step); };
    const RunRequest r = request(gs, dir.filePath(target), Operation::Copy);
    manager.planOnly = true;
    manager.run(r);
    const QStringList planned = std::exchange(steps, {});
    manager.planOnly = false;
    const RunReport report = manager.run(r);

    QCOMPARE(steps, planned);
    QCOMPARE(readFile(raw(gs + "/a.txt")), QByteArray("root a"));
    QCOMPARE(readFile(raw(gs + "/sub/a.txt")), QByteArray("sub a"));
    QCOMPARE(readFile(raw(gs + "/b.txt")), QByteArray("sub b")); // a free name is no source: copied
    QCOMPARE(report.failures.size(), 2);
    QCOMPARE(report.failures[0].status.kind(), ErrorKind::SameFile);
    QCOMPARE(report.failures[1].path, raw(gs + "/sub/a.txt"));
    QCOMPARE(report.failures[1].status.message(), sourceInTargetText());
    QVERIFY(steps.filter("sub/a.txt >").value(0).endsWith(" " + QString::number(int(FileAction::SkipSource))));
}

void TestBatchRun::moveNeverReplaces()
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

void TestBatchRun::moveOfSameNamesFromSubfolders()
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

void TestBatchRun::readOnlyUnderDeleteAndForceDelete()
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

void TestBatchRun::failuresAreSkipped()
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
    QCOMPARE(filesIn(dst), QStringList({"b.txt", "d.txt"}));
    QVERIFY(exists(raw(src + "/a.txt")));
    QVERIFY(exists(raw(src + "/locked/c.txt")));
    QCOMPARE(report.failures.size(), 1);
    QCOMPARE(report.unlistedFolders, QList<QByteArray>{raw(src + "/locked")});
}

// Files left undone are named (twelve at most), an unreadable folder is told, a file already in
// place is not; the progress counts the matching files apart from those checked.
void TestBatchRun::endOfRunNamesWhatWasLeft()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    for (int i = 0; i < 14; ++i) {
        writeFile(raw(src + QStringLiteral("/x%1.txt").arg(i)), "new");
        writeFile(raw(dst + QStringLiteral("/x%1.txt").arg(i)), "old");
    }
    writeFile(raw(src + "/keep.dat"), "k");
    writeFile(raw(src + "/locked/y.txt"), "y");
    FaultyFileSystem fs;
    fs.failOn(FaultyFileSystem::Op::List, raw(src + "/locked"));
    RunControl control;
    RunReport report = BatchFileManager(fs).run(request(src, dst, Operation::Move), &control);
    QCOMPARE(control.snapshot().actedOn, 14);
    QCOMPARE(control.snapshot().done, 15);
    report.failures.append({raw(dst + "/in-place.txt"), korvane::platform::Status::failure(ErrorKind::SameFile)});

    const QStringList lines = unfinishedText(report).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 17);
    QCOMPARE(lines[0], QStringLiteral("文件操作已结束,但以下 14 个文件未能处理:"));
    QCOMPARE(lines[14] + lines[16], QStringLiteral("……另有 2 个文件另有 1 个文件夹无法读取,其中的文件未处理。"));
    const QStringList details = unfinishedDetails(report).split(QLatin1Char('\n'));
    QCOMPARE(details.size(), 15);
    for (int i = 0; i < 14; ++i) // in walk order, the box's twelve first
        QVERIFY(details[i].startsWith(i < 12 ? lines[2 + i] + ':' : src + "/x") &&
                details[i].endsWith(QStringLiteral(".txt: 目标位置已有同名文件")));
    QCOMPARE(details[14], src + QStringLiteral("/locked: 无法读取目录"));

    report.failures = {report.failures.last()};
    report.unlistedFolders.clear();
    QCOMPARE(unfinishedText(report) + unfinishedDetails(report), QString()); // what is in place was not left
}

void TestBatchRun::killedMoveAcrossFileSystemsIsFinished_data()
{
    QTest::addColumn<QByteArray>("placed"); // the target's file, beside a source "same bytes"
    QTest::addColumn<bool>("otherDevice");
    QTest::addColumn<int>("minutesApart");
    QTest::addColumn<bool>("finished");
    QTest::newRow("another file system, identical") << QByteArray("same bytes") << true << 0 << true;
    QTest::newRow("one file system: two files") << QByteArray("same bytes") << false << 0 << false;
    QTest::newRow("other bytes of one size") << QByteArray("SAME BYTES") << true << 0 << false;
    QTest::newRow("another time") << QByteArray("same bytes") << true << 60 << false;
}

// Killed between placing its verified copy and removing the source, a move across file systems
// leaves both; the rerun (and its plan) removes the source when the target's file is that copy.
void TestBatchRun::killedMoveAcrossFileSystemsIsFinished()
{
    QFETCH(QByteArray, placed);
    QFETCH(bool, otherDevice);
    QFETCH(int, minutesApart);
    QFETCH(bool, finished);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(raw(src + "/a.txt"), "same bytes");
    writeFile(raw(dst + "/a.txt"), placed);
    QFile file(dst + "/a.txt");
    QVERIFY(file.open(QIODevice::ReadWrite) &&
            file.setFileTime(QFileInfo(src + "/a.txt").lastModified().addSecs(minutesApart * 60),
                             QFileDevice::FileModificationTime));
    FaultyFileSystem fs;
    auto info = fs.info(raw(dst + "/a.txt"));
    QVERIFY(info);
    info->device += otherDevice ? 1 : 0;
    fs.scriptInfo(raw(dst + "/a.txt"), *info);
    BatchFileManager manager(fs);
    for (const bool plan : {true, false}) {
        manager.planOnly = plan;
        manager.onFile = [&](const FileStep& step) {
            QCOMPARE(step.action, finished ? FileAction::Move : FileAction::SkipExists);
        };
        QCOMPARE(manager.run(request(src, dst, Operation::Move)).matched, 1);
    }
    QCOMPARE(exists(raw(src + "/a.txt")), !finished);
    QCOMPARE(readFile(raw(dst + "/a.txt")), placed);
}

void TestBatchRun::planIsWhatTheRunDoes_data()
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

void TestBatchRun::planIsWhatTheRunDoes()
{
    QFETCH(int, op);
    QFETCH(bool, overwrite);
    QFETCH(QList<int>, actions);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    writeFile(src + "/a.txt", "a");
    writeFile(src + "/b.txt", "b");
    writeFile(dst + "/b.txt", "old b");
    writeFile(src + "/same.txt", "same");
    QVERIFY(::link(QFile::encodeName(src + "/same.txt").constData(),
                   QFile::encodeName(dst + "/same.txt").constData()) == 0);
    writeFile(src + "/ro.txt", "ro");
    QVERIFY(::chmod(QFile::encodeName(src + "/ro.txt").constData(), 0444) == 0);
    writeFile(src + "/sub/a.txt", "sub a");

    LocalFileSystem fs;
    RunRequest r = request(src, dst, Operation(op));
    r.overwrite = overwrite;
    const auto before = treeListing(dir.path());

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

KORVANE_TEST_GUILESS_MAIN(TestBatchRun)
void TestBatchRun::workersGiveTheSequentialResult_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<bool>("overwrite");
    QTest::newRow("copy, 覆盖") << int(Operation::Copy) << true;
    QTest::newRow("copy, no 覆盖") << int(Operation::Copy) << false;
    QTest::newRow("move") << int(Operation::Move) << false;
}

void TestBatchRun::workersGiveTheSequentialResult()
{
    QFETCH(int, operation);
    QFETCH(bool, overwrite);
    // Lines, report and the files left, with the temporary folder as "@", for one worker and for three.
    QStringList results[2];
    for (const int workers : {1, 3}) {
        QTemporaryDir dir;
        const QString src = dir.filePath("src"), dst = dir.filePath("dst");
        for (int d = 0; d < 8; ++d) {
            // Ten names in every folder, the rest unique; a large file of one name in half of them.
            for (int i = 0; i < 30; ++i)
                writeFile(raw(src + QStringLiteral("/d%1/f%2.txt").arg(d).arg(i < 10 ? i : d * 100 + i)),
                          QByteArray::number(d * 100 + i));
            if (d % 2 == 0)
                writeFile(raw(src + QStringLiteral("/d%1/big.txt").arg(d)), QByteArray(6 << 20, char('a' + d)));
        }
        writeFile(raw(dst + "/f3.txt"), "old");
        LocalFileSystem fs;
        BatchFileManager manager(fs);
        RunRequest r = request(src, dst, Operation(operation));
        r.overwrite = overwrite;
        r.workers = workers;
        QStringList& out = results[workers > 1];
        manager.onFile = [&](const FileStep& step) { out << stepText(step) + ' ' + step.status.message(); };
        const RunReport report = manager.run(r);
        out << QStringLiteral("matched %1 done %2 visited %3").arg(report.matched).arg(report.done).arg(report.visited);
        for (const FileFailure& f : report.failures)
            out << QString::fromUtf8(f.path) + ' ' + f.status.message();
        const auto files = treeListing(dir.path());
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            out << QString::number(qHash(file.value()), 16) + QString::fromUtf8(file.key());
        out.replaceInStrings(dir.path(), QStringLiteral("@"));
    }
    QCOMPARE(results[1], results[0]);
}

void TestBatchRun::stoppedWorkersLeaveNothingHalfWritten()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    for (int i = 0; i < 12; ++i)
        writeFile(raw(src + QStringLiteral("/d%1/f%2.txt").arg(i % 3).arg(i)), QByteArray(9 << 20, char('a' + i)));
    QDir().mkpath(dst);
    LocalFileSystem fs;
    BatchFileManager manager(fs);
    RunRequest r = request(src, dst, Operation::Copy);
    r.workers = 3;
    QStringList reported;
    manager.onFile = [&](const FileStep& step) {
        QVERIFY(step.status.ok());
        reported << QFileInfo(QFile::decodeName(step.target)).fileName();
    };
    RunControl control;
    control.stopAfter(2); // while other workers are amid their files
    const RunReport report = manager.run(r, &control);
    QVERIFY(report.stopped);
    QCOMPARE(report.done, reported.size());
    QVERIFY(report.done < 12);
    reported.sort();
    // Only the copies reported are there, each whole; nothing hidden is left.
    QCOMPARE(filesIn(dst), reported);
    for (const QString& name : reported) {
        const int i = name.mid(1, name.indexOf('.') - 1).toInt();
        QCOMPARE(readFile(raw(dst + '/' + name)), QByteArray(9 << 20, char('a' + i)));
    }
}

void TestBatchRun::stopSaysWhetherFoldersWereLeft_data()
{
    QTest::addColumn<int>("stopAfter"); // 0: no stop
    QTest::addColumn<bool>("foldersLeft");
    QTest::newRow("among the root's files") << 1 << true;
    QTest::newRow("in the last folder") << 4 << false;
    QTest::newRow("walk ended") << 0 << false;
}

// The cancel summary must not hide folders never walked, and a total still growing is no total.
void TestBatchRun::stopSaysWhetherFoldersWereLeft()
{
    QFETCH(int, stopAfter);
    QFETCH(bool, foldersLeft);
    TestTree tree;
    tree.make({"src/a.txt", "src/b.txt", "src/sub/c.txt", "src/sub/d.txt", "src/sub/e.txt"});
    const QString src = tree.text("src");
    LocalFileSystem fs;
    BatchFileManager manager(fs);
    RunRequest r = request(src, QString(), Operation::Delete);
    r.includeSubfolders = true;
    r.workers = 1;
    RunControl control;
    bool provisional = false;
    manager.onFile = [&](const FileStep&) { provisional |= !control.snapshot().totalFinal; };
    if (stopAfter > 0)
        control.stopAfter(stopAfter);
    const RunReport report = manager.run(r, &control);
    QCOMPARE(report.stopped, stopAfter > 0);
    QCOMPARE(report.foldersLeft, foldersLeft);
    QVERIFY(provisional); // the root's files are handled before the subfolder is listed
    QCOMPARE(control.snapshot().totalFinal, stopAfter == 0);
}

#include "tst_filemanager_batchrun.moc"
