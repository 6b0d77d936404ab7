#include "platform/datafolder.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include "support/testtree.h"
#include "support/unprivileged.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace korvane::platform;
using namespace korvane::testsupport;

// Stands in for a file system without hard links (FAT, some FUSE mounts): the platform
// library is linked statically, so its calls land here.
namespace simulated {
bool noHardLinks = false;
}

extern "C" int link(const char* from, const char* to) noexcept
{
    if (simulated::noHardLinks) {
        errno = EPERM;
        return -1;
    }
    return int(::syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

namespace {

const QByteArray kShipped = QByteArrayLiteral("SQLite format 3\0 shipped empty database");

/// A program tree in a temporary folder: bin/ (the executable's folder), share/korvane/,
/// libexec/korvane/ and a home with its data folder.
struct Tree {
    QTemporaryDir dir;
    ProgramLayout layout;
    Tree()
    {
        ::chmod(raw(dir.path()).constData(), 0755); // reachable by the unprivileged probe
        QDir(dir.path()).mkpath(QStringLiteral("bin"));
        layout.executableFolder = dir.filePath(QStringLiteral("bin"));
        layout.shippedDataFolder = dir.filePath(QStringLiteral("share/korvane"));
        layout.installedHelperFolder = dir.filePath(QStringLiteral("libexec/korvane"));
        layout.userDataFolder = dir.filePath(QStringLiteral("home/.local/share/korvane"));
    }
    QByteArray path(const QString& relative) const { return raw(dir.filePath(relative)); }
};

} // namespace

class TestDataFolder : public QObject {
    Q_OBJECT
private slots:
    void resolve_data();
    void resolve();
    void readOnlyExecutableFolder();
    void helpers();
};

void TestDataFolder::resolve_data()
{
    QTest::addColumn<QByteArray>("besideExecutable"); // db1.mdb in bin/, or "<missing>"
    QTest::addColumn<QByteArray>("shipped");          // share/korvane/db1.mdb, or "<missing>"
    QTest::addColumn<QByteArray>("userBefore");       // the user's db1.mdb before, or "<missing>"
    QTest::addColumn<bool>("portable");
    QTest::addColumn<QByteArray>("userAfter");
    QTest::addColumn<bool>("noHardLinks");

    const QByteArray none = QByteArrayLiteral("<missing>");
    QTest::newRow("build tree") << kShipped << kShipped << none << true << none << false;
    QTest::newRow("first start seeds") << none << kShipped << none << false << kShipped << false;
    QTest::newRow("seeds without hard links") << none << kShipped << none << false << kShipped << true;
    QTest::newRow("recordings kept") << none << kShipped << QByteArray("SQLite format 3\0 mine", 21) << false
                                     << QByteArray("SQLite format 3\0 mine", 21) << false;
    QTest::newRow("zero-length kept") << none << kShipped << QByteArray() << false << QByteArray() << false;
    QTest::newRow("zero-length kept without hard links")
        << none << kShipped << QByteArray() << false << QByteArray() << true;
    QTest::newRow("garbage kept") << none << kShipped << QByteArrayLiteral("not a database") << false
                                  << QByteArrayLiteral("not a database") << false;
    QTest::newRow("nothing shipped") << none << none << none << false << none << false;
}

void TestDataFolder::resolve()
{
    QFETCH(QByteArray, besideExecutable);
    QFETCH(QByteArray, shipped);
    QFETCH(QByteArray, userBefore);
    QFETCH(bool, portable);
    QFETCH(QByteArray, userAfter);
    QFETCH(bool, noHardLinks);
    const QByteArray none = QByteArrayLiteral("<missing>");
    simulated::noHardLinks = noHardLinks;
    const auto restore = qScopeGuard([] { simulated::noHardLinks = false; });

    Tree tree;
    if (besideExecutable != none)
        writeFile(tree.path(QStringLiteral("bin/db1.mdb")), besideExecutable);
    // Installed files are read-only; the user's copy must still be writable.
    if (shipped != none)
        writeFile(tree.path(QStringLiteral("share/korvane/db1.mdb")), shipped, 0444);
    const QString userDb = QDir(tree.layout.userDataFolder).filePath(QStringLiteral("db1.mdb"));
    if (userBefore != none)
        writeFile(raw(userDb), userBefore, 0600);

    QCOMPARE(isPortable(tree.layout), portable);
    const QString folder = korvaneFolder(tree.layout);
    QCOMPARE(folder, portable ? tree.layout.executableFolder : tree.layout.userDataFolder);
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(readFile(raw(userDb)), userAfter);
    if (userAfter != none)
        QVERIFY(QFileInfo(userDb).permissions() & QFile::WriteOwner);
    // Nothing else is left in the data folder (no partial copy).
    if (!portable)
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), userAfter != none ? 1 : 0);
    // The program's own files are never touched.
    QCOMPARE(readFile(tree.path(QStringLiteral("bin/db1.mdb"))), besideExecutable);
    QCOMPARE(korvaneFolder(tree.layout), folder);
    QCOMPARE(readFile(raw(userDb)), userAfter);
}

void TestDataFolder::readOnlyExecutableFolder()
{
    // A portable folder the user cannot write is no longer Korvane's folder: the per-user one
    // is, seeded from the shipped copy. Checked by a process that really lacks the right.
    Tree tree;
    writeFile(tree.path(QStringLiteral("bin/db1.mdb")), kShipped);
    writeFile(tree.path(QStringLiteral("share/korvane/db1.mdb")), kShipped, 0444);
    QDir(tree.dir.path()).mkpath(QStringLiteral("home"));
    giveToUnprivileged(tree.dir.filePath(QStringLiteral("home")));
    ::chmod(tree.path(QStringLiteral("bin")).constData(), 0555);

    QByteArray output;
    const int rc = runUnprivileged(QCoreApplication::applicationFilePath(),
                                   {QStringLiteral("--korvane-folder"), tree.layout.executableFolder,
                                    tree.layout.userDataFolder, tree.layout.shippedDataFolder},
                                   &output);
    ::chmod(tree.path(QStringLiteral("bin")).constData(), 0755);
    QCOMPARE(rc, 0);
    QCOMPARE(QString::fromLocal8Bit(output).trimmed(), tree.layout.userDataFolder);
    QCOMPARE(readFile(raw(QDir(tree.layout.userDataFolder).filePath(QStringLiteral("db1.mdb")))), kShipped);
}

void TestDataFolder::helpers()
{
    Tree tree;
    QCOMPARE(helperFolder(tree.layout), tree.layout.executableFolder);
    QDir(tree.dir.path()).mkpath(QStringLiteral("libexec/korvane"));
    QCOMPARE(helperFolder(tree.layout), tree.layout.installedHelperFolder);
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // Probe run by readOnlyExecutableFolder() as another user.
    if (argc == 5 && qstrcmp(argv[1], "--korvane-folder") == 0) {
        ProgramLayout layout;
        layout.executableFolder = QString::fromLocal8Bit(argv[2]);
        layout.userDataFolder = QString::fromLocal8Bit(argv[3]);
        layout.shippedDataFolder = QString::fromLocal8Bit(argv[4]);
        std::fputs(qPrintable(korvaneFolder(layout) + QLatin1Char('\n')), stdout);
        return 0;
    }
    TestDataFolder test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_platform_datafolder.moc"
