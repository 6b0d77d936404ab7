// The file operations the in-place write of a document rests on: the copy must keep the
// document's inode, the comparison must see every byte, and only our own dead offices' locks
// may be taken over.

#include "wordcrypt/documentfiles.h"

#include "wordcrypt/documentsteps.h"

#include "platform/fakes/fakeservices.h"
#include "support/testtree.h"
#include "support/unprivileged.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvane::wordcrypt;
using korvane::platform::FaultyFileSystem;

namespace {

using korvane::testsupport::kNobody;
using korvane::testsupport::TestTree;

korvane::platform::LocalFileSystem files;

bool sameFile(const QByteArray& a, const QByteArray& b)
{
    const korvane::platform::Result<bool> same = files.sameContents(a, b);
    return same && *same;
}

/// A copy in a new file of mode 0600, as a backup is made; never over an existing one.
bool copyToNewFile(const QByteArray& from, const QByteArray& to)
{
    return files.createExclusive(to, 0600) && files.copyInto(from, to);
}

QStringList leftovers(const TestTree& dir)
{
    return QDir(dir.text()).entryList({QStringLiteral(".*korvane-*")}, QDir::Files | QDir::Hidden);
}

} // namespace

class TestDocumentFiles : public QObject {
    Q_OBJECT
private slots:
    void copyIntoExistingKeepsInode()
    {
        TestTree dir;
        const QByteArray source = dir.file("new.doc", QByteArray(200000, 'n'));
        const QByteArray target = dir.file("old.doc", QByteArray(300000, 'o'));
        const QByteArray link = dir.path("link.doc");
        QVERIFY(::chmod(target.constData(), 0640) == 0);
        QVERIFY(::link(target.constData(), link.constData()) == 0);
        struct stat before {};
        QVERIFY(::stat(target.constData(), &before) == 0);

        QVERIFY(files.copyInto(source, target));
        struct stat after {};
        QVERIFY(::stat(target.constData(), &after) == 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode & 07777, mode_t(0640));
        QCOMPARE(after.st_nlink, nlink_t(2));
        QVERIFY(sameFile(source, link)); // the longer old content is gone through every name
    }

    void copyToNewFileRefusesExisting()
    {
        TestTree dir;
        const QByteArray source = dir.file("a.doc", "abc");
        const QByteArray backup = dir.path(".a.bak");
        QVERIFY(copyToNewFile(source, backup));
        struct stat st {};
        QVERIFY(::stat(backup.constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QVERIFY(!copyToNewFile(source, backup)); // a backup never overwrites a file
        QVERIFY(!files.copyInto(dir.path("none"), backup));
    }

    void sameFileSeesEveryByte_data()
    {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<bool>("same");
        const QByteArray big(150000, 'x');
        QTest::newRow("equal, several chunks") << big << big << true;
        QTest::newRow("both empty") << QByteArray() << QByteArray() << true;
        QTest::newRow("last byte differs") << big << QByteArray(big).replace(big.size() - 1, 1, "y") << false;
        QTest::newRow("second shorter") << big << big.left(big.size() - 1) << false;
        QTest::newRow("second longer") << big << big + 'x' << false;
    }
    void sameFileSeesEveryByte()
    {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(bool, same);
        TestTree dir;
        QCOMPARE(sameFile(dir.file("a", a), dir.file("b", b)), same);
    }

    void lockOwner_data()
    {
        QTest::addColumn<QByteArray>("lock"); ///< content; "-" for none, "dir" for a folder
        QTest::addColumn<int>("expected");
        QTest::newRow("no lock") << QByteArray("-") << int(Lock::None);
        QTest::newRow("someone's office")
            << QByteArray("Ann,host,ann,08.12.2026 10:00,file:///home/ann/.config/libreoffice/4;")
            << int(Lock::Foreign);
        QTest::newRow("our dead office") << QByteArray(",root,host,08.12.2026,file:///tmp/korvane-office-gone00;")
                                         << int(Lock::OursStale);
        QTest::newRow("our current office")
            << QByteArray(",root,host,08.12.2026,file://CURRENT;") << int(Lock::OursStale);
        QTest::newRow("another running Korvane")
            << QByteArray(",root,host,08.12.2026,file://LIVE;") << int(Lock::Foreign);
        QTest::newRow("too long to be a lock") << QByteArray(5000, 'x') << int(Lock::Foreign);
        QTest::newRow("not a file") << QByteArray("dir") << int(Lock::Foreign);
    }
    void lockOwner()
    {
        QFETCH(QByteArray, lock);
        QFETCH(int, expected);
        TestTree dir;
        QTemporaryDir live(QStringLiteral("/tmp/korvane-office-XXXXXX"));
        const QString current = QStringLiteral("/tmp/korvane-office-current");
        lock.replace("CURRENT", current.toUtf8()).replace("LIVE", live.path().toUtf8());
        const QByteArray document = dir.file("a b.doc", "doc");
        QCOMPARE(lockPath(document), dir.path(".~lock.a b.doc#"));
        if (lock == "dir")
            QVERIFY(QDir(dir.text()).mkdir(QStringLiteral(".~lock.a b.doc#")));
        else if (lock != "-")
            dir.file(".~lock.a b.doc#", lock);
        QCOMPARE(int(lockState(files, document, current)), expected);
    }

    void failedStepsOfTheInPlaceWrite_data();
    void failedStepsOfTheInPlaceWrite();
    void replacementSurvivesAKill_data();
    void replacementSurvivesAKill();
    void onlyProvenLeftoversCount_data();
    void onlyProvenLeftoversCount();
    void lookAlikeFoldersStay();
    void documentsThatCannotBeTaken();
    void abandonedWorkFolderGoes();
    void removesFolderWithRawNames()
    {
        TestTree dir;
        const QByteArray folder = dir.path("work") + "\xff";
        QVERIFY(::mkdir(folder.constData(), 0700) == 0);
        for (const char* name : {"/office.doc", "/final\xfe.doc"}) {
            const int fd = ::creat((folder + name).constData(), 0600);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        QVERIFY(files.removeFlatFolder(folder));
        QVERIFY(::access(folder.constData(), F_OK) != 0);
    }
};

void TestDocumentFiles::failedStepsOfTheInPlaceWrite_data()
{
    QTest::addColumn<QByteArrayList>("failingCopiesFrom"); // endings of the sources whose copy fails
    QTest::addColumn<bool>("backupMade");
    QTest::addColumn<int>("kind");
    QTest::newRow("no backup can be made") << QByteArrayList() << false << 0;
    QTest::newRow("backup cannot be written") << QByteArrayList{"a.doc"} << false << 0;
    QTest::newRow("write fails, original put back") << QByteArrayList{".new"} << true << int(Replacement::Restored);
    QTest::newRow("original cannot be put back") << QByteArrayList{".new", ".bak"} << true << int(Replacement::Kept);
}

void TestDocumentFiles::failedStepsOfTheInPlaceWrite()
{
    QFETCH(QByteArrayList, failingCopiesFrom);
    QFETCH(bool, backupMade);
    QFETCH(int, kind);
    TestTree dir;
    const QByteArray document = dir.file("a.doc", "original");
    const QByteArray result = dir.file("result", "new");
    FaultyFileSystem fs;
    fs.failOn(FaultyFileSystem::Op::RenameOver, result); // as for a document with several names
    if (!backupMade && failingCopiesFrom.isEmpty())
        fs.failOn(FaultyFileSystem::Op::CreateExclusive, [](const QByteArray& p) { return p.endsWith(".bak"); });
    fs.failOn(FaultyFileSystem::Op::CopyInto, [&](const QByteArray& p) {
        return std::any_of(failingCopiesFrom.begin(), failingCopiesFrom.end(),
                           [&](const QByteArray& ending) { return p.endsWith(ending); });
    });
    Replacement done;
    const korvane::platform::Status replaced = replaceDocument(fs, document, result, &done);
    QCOMPARE(replaced.ok(), backupMade);
    QVERIFY(replaced.ok() || replaced.kind() == korvane::platform::ErrorKind::Injected); // says why
    QVERIFY(sameFile(document, dir.file("expected", "original")));
    if (kind == int(Replacement::Kept)) {
        QCOMPARE(done.kind, Replacement::Kept);
        QCOMPARE(leftovers(dir).size(), 2); // the backup and its journal
        QVERIFY(sameFile(done.backup, document));
        // Only named while the document differs from it; once the user has put it back, it goes.
        korvane::testsupport::writeFile(document, "edited");
        QCOMPARE(recoverInterruptedWrite(files, document).backup, done.backup);
        korvane::testsupport::writeFile(document, "original");
        QCOMPARE(recoverInterruptedWrite(files, document).kind, Recovery::Finished);
        QCOMPARE(leftovers(dir), QStringList());
    } else {
        QVERIFY2(leftovers(dir).isEmpty(), qPrintable(leftovers(dir).join(u' ')));
        if (backupMade)
            QCOMPARE(int(done.kind), kind);
    }
}

void TestDocumentFiles::replacementSurvivesAKill_data()
{
    QTest::addColumn<bool>("hardLinked"); // forces the write in place
    QTest::newRow("renamed into place") << false;
    QTest::newRow("written in place, repaired by the next run") << true;
}

void TestDocumentFiles::replacementSurvivesAKill()
{
    QFETCH(bool, hardLinked);
    // A child replaces a 24 MB document and is killed at a different moment each round; the
    // document must then read as the old or the new one, once the next run has looked at it.
    const QByteArray oldBytes = QByteArray(24 << 20, 'o');
    const QByteArray newBytes = QByteArray(24 << 20, 'n');
    int sawOld = 0, sawNew = 0, restored = 0;
    for (int round = 0; round < 6; ++round) {
        TestTree dir;
        const QByteArray document = dir.file("文档.doc", oldBytes);
        const QByteArray result = dir.file("result", newBytes);
        const QByteArray link = dir.path("link.doc");
        QVERIFY(::chmod(document.constData(), 0604) == 0);
        QVERIFY(!hardLinked || ::link(document.constData(), link.constData()) == 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            Replacement done;
            ::_exit(replaceDocument(files, document, result, &done) ? 0 : 1);
        }
        // In place, wait for the write to start; then a little more, longer each round. The
        // last round lets the child finish.
        QDeadlineTimer started(5000);
        while (hardLinked && leftovers(dir).size() < 3 && !started.hasExpired()) // journal, backup, result
            ::usleep(200);
        if (round < 5) {
            ::usleep(useconds_t((1 << (2 * round)) * 500));
            ::kill(child, SIGKILL);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        QVERIFY(round < 5 || (WIFEXITED(status) && WEXITSTATUS(status) == 0));

        const Recovery recovery = recoverInterruptedWrite(files, document);
        QVERIFY(recovery.kind != Recovery::BackupKept && recovery.kind != Recovery::Busy);
        restored += recovery.kind == Recovery::Restored;
        QFile f(QFile::decodeName(document));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray now = f.readAll();
        QVERIFY2(now == oldBytes || now == newBytes, qPrintable(QString::number(now.size())));
        (now == oldBytes ? sawOld : sawNew)++;
        QVERIFY2(leftovers(dir).isEmpty(), qPrintable(leftovers(dir).join(u' ')));
        struct stat st {};
        QVERIFY(::stat(document.constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0604));
        QCOMPARE(st.st_nlink, nlink_t(hardLinked ? 2 : 1));
    }
    qInfo("old %d, new %d, repaired from the backup %d", sawOld, sawNew, restored);
    QVERIFY(sawNew >= 1);
    QVERIFY(!hardLinked || restored >= 1); // at least one kill fell into the write itself
}

void TestDocumentFiles::onlyProvenLeftoversCount_data()
{
    QTest::addColumn<bool>("real");       // left by a run killed before it wrote, else planted by name
    QTest::addColumn<QByteArray>("then"); // "nobody": they belong to another user; "document": the
                                          // document does; "alter": the backup changed, same size
    QTest::addColumn<int>("kind");
    QTest::newRow("a pair of ours without a journal") << false << QByteArray() << int(Recovery::Nothing);
    QTest::newRow("another user's pair") << false << QByteArray("nobody") << int(Recovery::Nothing);
    QTest::newRow("a write of ours, repaired") << true << QByteArray() << int(Recovery::Restored);
    QTest::newRow("a write of ours, backup altered") << true << QByteArray("alter") << int(Recovery::BackupKept);
    QTest::newRow("the same, another user's") << true << QByteArray("nobody") << int(Recovery::Nothing);
    QTest::newRow("another user's document") << true << QByteArray("document") << int(Recovery::BackupKept);
}

void TestDocumentFiles::onlyProvenLeftoversCount()
{
    QFETCH(bool, real);
    QFETCH(QByteArray, then);
    QFETCH(int, kind);
    if ((then == "nobody" || then == "document") && ::geteuid() != 0)
        QSKIP("needs root to give files to another user");
    TestTree dir;
    const QByteArray document = dir.file("a.doc", "original", 0600);
    if (real) {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) { // killed as it starts writing the document
            FaultyFileSystem fs;
            const QByteArray result = dir.file("result", "new");
            fs.failOn(FaultyFileSystem::Op::RenameOver, result);
            fs.failOn(FaultyFileSystem::Op::CopyInto,
                      [](const QByteArray& p) { return p.endsWith(".new") && ::raise(SIGKILL); });
            Replacement done;
            ::_exit(replaceDocument(fs, document, result, &done) ? 0 : 1);
        }
        QVERIFY(::waitpid(child, nullptr, 0) == child);
    } else {
        dir.file(".a.doc.korvane-evil.bak", QByteArray(25, 'e'), 0600);
        dir.file(".a.doc.korvane-evil.new", "n", 0600);
    }
    QVERIFY(leftovers(dir).size() >= 2);
    for (const QString& name : leftovers(dir)) {
        const QByteArray path = dir.path(QFile::encodeName(name));
        QVERIFY(then != "nobody" || ::chown(path.constData(), kNobody, kNobody) == 0);
        if (then == "alter" && name.endsWith(QLatin1String(".bak")))
            korvane::testsupport::writeFile(path, "0riginal", 0600);
    }
    QVERIFY(then != "document" || ::chown(document.constData(), kNobody, kNobody) == 0);
    korvane::testsupport::writeFile(document, "half"); // as a write cut short leaves it
    const auto before = dir.listing();
    const Recovery recovery = recoverInterruptedWrite(files, document);
    QCOMPARE(int(recovery.kind), kind);
    if (kind == int(Recovery::Restored)) {
        QCOMPARE(korvane::testsupport::readFile(document), QByteArray("original"));
        QCOMPARE(dir.listing().keys(), QList<QByteArray>({"a.doc", "result"}));
    } else {
        QCOMPARE(dir.listing(), before); // nothing adopted, nothing removed
        QVERIFY(kind != int(Recovery::BackupKept) || recovery.backup.endsWith(".bak"));
    }
}

void TestDocumentFiles::lookAlikeFoldersStay()
{
    TestTree dir;
    const QByteArray document = dir.file("a.doc", "doc");
    dir.file(".korvane-notes1/important.txt", "mine");
    dir.file(".korvane-subdir/top.txt", "top");
    dir.file(".korvane-subdir/deep/x.txt", "x");
    dir.file(".korvane-0700ab/plain.doc", "ours by owner and mode, but unmarked");
    QVERIFY(::chmod(dir.path(".korvane-0700ab").constData(), 0700) == 0);
    QProcess shell; // a folder that is a process's current folder
    shell.setWorkingDirectory(QFile::decodeName(dir.folder(".korvane-shcwd")));
    shell.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(shell.waitForStarted());
    const auto stop = qScopeGuard([&] {
        shell.kill();
        shell.waitForFinished();
    });
    const QStringList names = korvane::testsupport::namesIn(dir.text());
    const auto before = dir.listing();
    QCOMPARE(recoverInterruptedWrite(files, document).kind, Recovery::Nothing);
    QCOMPARE(dir.listing(), before);
    QCOMPARE(korvane::testsupport::namesIn(dir.text()), names);
}

void TestDocumentFiles::documentsThatCannotBeTaken()
{
    TestTree dir;
    const QByteArray document = dir.file("a.doc", "doc");
    const QByteArray other = dir.path("b.doc");
    QVERIFY(::link(document.constData(), other.constData()) == 0);
    // Another run holds the document, through its other name: this one waits, then gives up.
    const auto held = files.lock(document, false);
    QVERIFY(held);
    const auto busy = checkDocumentFile(files, other, {});
    QVERIFY(!busy);
    QCOMPARE(busy.status().message(), QStringLiteral("文档正被其他程序打开，文档未作改动"));
    QVERIFY(::symlink("loop.doc", dir.path("loop.doc").constData()) == 0);
    QCOMPARE(checkDocumentFile(files, dir.path("loop.doc"), {}).status().message(), QStringLiteral("符号链接循环"));
}

void TestDocumentFiles::abandonedWorkFolderGoes()
{
    TestTree dir;
    const QByteArray document = dir.file("文档.doc", "doc");
    const auto folders = [&] {
        return QDir(dir.text()).entryList({QStringLiteral(".korvane-*")}, QDir::Dirs | QDir::Hidden);
    };
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Killed while working, with a plain copy of the document in its folder.
        const auto work = WorkFolder::create(files, document);
        const bool made = work && copyToNewFile(document, work.value()->path() + "/plain.doc");
        const char c = made ? 'y' : 'n';
        if (::write(ready[1], &c, 1) == 1)
            ::pause();
        ::_exit(1);
    }
    char c = 0;
    QVERIFY(::read(ready[0], &c, 1) == 1);
    QCOMPARE(c, 'y');
    QCOMPARE(folders().size(), 1);
    recoverInterruptedWrite(files, document);
    QCOMPARE(folders().size(), 1); // a live run's folder stays
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    // Only the files the run wrote go: a file someone put in it keeps the folder.
    const QByteArray work = dir.path(QFile::encodeName(folders().value(0)));
    dir.file(work.mid(dir.path().size() + 1) + "/notes.txt", "mine");
    QCOMPARE(recoverInterruptedWrite(files, document).kind, Recovery::Nothing);
    QVERIFY(!korvane::testsupport::exists(work + "/plain.doc") && korvane::testsupport::exists(work + "/notes.txt"));
    QVERIFY(::unlink((work + "/notes.txt").constData()) == 0);
    recoverInterruptedWrite(files, document);
    QCOMPARE(folders(), QStringList());
    QVERIFY(sameFile(document, dir.file("expected", "doc")));
    ::close(ready[0]);
    ::close(ready[1]);
}

KORVANE_TEST_GUILESS_MAIN(TestDocumentFiles)
#include "tst_wordcrypt_documentfiles.moc"
