// The file operations the in-place write of a document rests on: the copy must keep the
// document's inode, the comparison must see every byte, and only our own dead offices' locks
// may be taken over.

#include "wordcrypt/documentfiles.h"

#include "platform/localfilesystem.h"

#include "support/testmain.h"
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane::wordcrypt;

namespace {

QByteArray writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QByteArray path = QFile::encodeName(dir.filePath(name));
    QFile f(QFile::decodeName(path));
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    return path;
}

} // namespace

class TestDocumentFiles : public QObject {
    Q_OBJECT
private slots:
    void copyIntoExistingKeepsInode()
    {
        QTemporaryDir dir;
        const QByteArray source = writeFile(dir, QStringLiteral("new.doc"), QByteArray(200000, 'n'));
        const QByteArray target = writeFile(dir, QStringLiteral("old.doc"), QByteArray(300000, 'o'));
        const QByteArray link = QFile::encodeName(dir.filePath(QStringLiteral("link.doc")));
        QVERIFY(::chmod(target.constData(), 0640) == 0);
        QVERIFY(::link(target.constData(), link.constData()) == 0);
        struct stat before {};
        QVERIFY(::stat(target.constData(), &before) == 0);

        QVERIFY(copyFile(source, target));
        struct stat after {};
        QVERIFY(::stat(target.constData(), &after) == 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode & 07777, mode_t(0640));
        QCOMPARE(after.st_nlink, nlink_t(2));
        QVERIFY(sameFile(source, link)); // the longer old content is gone through every name
    }

    void copyToNewFileRefusesExisting()
    {
        QTemporaryDir dir;
        const QByteArray source = writeFile(dir, QStringLiteral("a.doc"), "abc");
        const QByteArray backup = QFile::encodeName(dir.filePath(QStringLiteral(".a.bak")));
        QVERIFY(copyFile(source, backup, 0600));
        struct stat st {};
        QVERIFY(::stat(backup.constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QVERIFY(!copyFile(source, backup, 0600)); // a backup never overwrites a file
        QVERIFY(!copyFile(QFile::encodeName(dir.filePath(QStringLiteral("none"))), backup));
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
        QTemporaryDir dir;
        QCOMPARE(sameFile(writeFile(dir, QStringLiteral("a"), a), writeFile(dir, QStringLiteral("b"), b)), same);
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
        QTemporaryDir dir;
        QTemporaryDir live(QStringLiteral("/tmp/korvane-office-XXXXXX"));
        const QString current = QStringLiteral("/tmp/korvane-office-current");
        lock.replace("CURRENT", current.toUtf8()).replace("LIVE", live.path().toUtf8());
        const QByteArray document = writeFile(dir, QStringLiteral("a b.doc"), "doc");
        QCOMPARE(lockPath(document), QFile::encodeName(dir.filePath(QStringLiteral(".~lock.a b.doc#"))));
        if (lock == "dir")
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral(".~lock.a b.doc#")));
        else if (lock != "-")
            writeFile(dir, QStringLiteral(".~lock.a b.doc#"), lock);
        korvane::platform::LocalFileSystem fs;
        QCOMPARE(int(lockState(fs, document, current)), expected);
    }

    void removesFolderWithRawNames()
    {
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.filePath(QStringLiteral("work"))) + "\xff";
        QVERIFY(::mkdir(folder.constData(), 0700) == 0);
        for (const char* name : {"/office.doc", "/final\xfe.doc"}) {
            const int fd = ::creat((folder + name).constData(), 0600);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        removeFlatFolder(folder);
        QVERIFY(::access(folder.constData(), F_OK) != 0);
    }
};

KORVANE_TEST_GUILESS_MAIN(TestDocumentFiles)
#include "tst_wordcrypt_documentfiles.moc"
