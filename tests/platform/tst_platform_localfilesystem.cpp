#include "platform/localfilesystem.h"
#include "platform/runcontrol.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "support/testtree.h"

#include "support/testmain.h"
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace korvane::platform;

// The file system's fallbacks are for file systems this machine may not have (NFS and FUSE
// refuse RENAME_NOREPLACE; FAT and exFAT have no hard links). The test binary stands in
// for such a kernel by defining these calls itself: the platform library is linked
// statically, so its calls land here.
namespace simulated {
bool noRenameFlags = false;
bool noHardLinks = false;
bool failingCopies = false;  ///< the copy breaks off with an I/O error, as on a failing disk
QByteArray crossDeviceFrom;  ///< renames out of this folder answer EXDEV, as between file systems
bool noUnnamedFiles = false; ///< O_TMPFILE is refused, as on FAT, NFS and most FUSE systems
time_t clockAhead = 0;       ///< seconds added to time()
int fsyncs = 0;
QByteArray growing;                     ///< this file grows when a copy first moves data
std::vector<ProgressSnapshot> progress; ///< the run's progress each time a copy moves data
/// The process kills itself with SIGKILL at the `countdown`-th call of this function.
QByteArray killAt;
int countdown = 0;
void maybeKill(const char* call)
{
    if (killAt == call && --countdown == 0)
        ::kill(::getpid(), SIGKILL);
}
} // namespace simulated

extern "C" int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (simulated::noUnnamedFiles && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return int(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" ssize_t read(int fd, void* buffer, size_t size)
{
    simulated::maybeKill("data");
    return ::syscall(SYS_read, fd, buffer, size);
}

extern "C" time_t time(time_t* result) noexcept
{
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const time_t t = now.tv_sec + simulated::clockAhead;
    if (result)
        *result = t;
    return t;
}

extern "C" int futimens(int fd, const struct timespec times[2]) noexcept
{
    simulated::maybeKill("futimens");
    return int(::syscall(SYS_utimensat, fd, nullptr, times, 0));
}

extern "C" int linkat(int oldDir, const char* oldPath, int newDir, const char* newPath, int flags) noexcept
{
    simulated::maybeKill("linkat");
    return int(::syscall(SYS_linkat, oldDir, oldPath, newDir, newPath, flags));
}

extern "C" int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept
{
    simulated::maybeKill("renameat");
    return int(::syscall(SYS_renameat2, fromDir, from, toDir, to, 0));
}

extern "C" int renameat2(int oldDir, const char* oldPath, int newDir, const char* newPath, unsigned int flags) noexcept
{
    if (simulated::noRenameFlags && flags != 0) {
        errno = EINVAL;
        return -1;
    }
    if (!simulated::crossDeviceFrom.isEmpty() && QByteArray(oldPath).startsWith(simulated::crossDeviceFrom + '/')) {
        errno = EXDEV;
        return -1;
    }
    return int(::syscall(SYS_renameat2, oldDir, oldPath, newDir, newPath, flags));
}

extern "C" int link(const char* from, const char* to) noexcept
{
    if (simulated::noHardLinks) {
        errno = EPERM;
        return -1;
    }
    return int(::syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

extern "C" ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t length,
                                   unsigned int flags)
{
    if (simulated::failingCopies) {
        errno = EIO;
        return -1;
    }
    simulated::maybeKill("data");
    if (!simulated::growing.isEmpty()) {
        const int fd = int(::syscall(SYS_openat, AT_FDCWD, simulated::growing.constData(), O_WRONLY | O_APPEND, 0));
        (void)!::write(fd, " grown", 6); // the test looks at the source's bytes
        ::close(fd);
        simulated::growing.clear();
    }
    if (const RunControl* run = RunControl::current())
        simulated::progress.push_back(run->snapshot());
    return ::syscall(SYS_copy_file_range, in, inOffset, out, outOffset, length, flags);
}

extern "C" int fsync(int fd)
{
    ++simulated::fsyncs;
    return int(::syscall(SYS_fsync, fd));
}

using namespace korvane::testsupport;

namespace {

/// A folder on another file system than `near`, or null when the machine has none to offer.
std::unique_ptr<QTemporaryDir> otherFileSystemThan(const QString& near)
{
    struct stat a {};
    struct stat b {};
    if (::stat(raw(near).constData(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
        return nullptr;
    auto dir = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/korvane-test-XXXXXX"));
    return dir->isValid() ? std::move(dir) : nullptr;
}

/// A folder on another file system than `near` where the machine has one, else a folder
/// that files from `near` reach only as if it were on another.
std::unique_ptr<QTemporaryDir> otherOrSimulatedFileSystem(const QString& near)
{
    if (auto other = otherFileSystemThan(near))
        return other;
    simulated::crossDeviceFrom = raw(near);
    return std::make_unique<QTemporaryDir>();
}

/// Whether files in `folder` can be made unnamed (O_TMPFILE), so a killed copy leaves nothing.
bool hasUnnamedFiles(const QString& folder)
{
    const int fd = int(::syscall(SYS_openat, AT_FDCWD, raw(folder).constData(), O_TMPFILE | O_WRONLY, 0600));
    return fd >= 0 && ::close(fd) == 0;
}

/// A FAT file system on a loop device, as on a USB stick: no unnamed files, no hard links.
/// Not valid where mkfs.vfat, loop devices or the right to mount are missing.
class VfatImage {
public:
    VfatImage()
    {
        const auto run = [](const QString& program, const QStringList& arguments) {
            QProcess process;
            process.start(program, arguments);
            return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        };
        const QString mkfs = QStandardPaths::findExecutable(QStringLiteral("mkfs.vfat"), {"/usr/sbin", "/sbin"});
        const QString image = m_dir.filePath(QStringLiteral("fat.img"));
        m_mounted = !mkfs.isEmpty() && QDir(m_dir.path()).mkpath(QStringLiteral("mnt")) &&
                    ::truncate(raw(image).constData(), 64 << 20) == 0 && run(mkfs, {image}) &&
                    run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, path()});
    }
    ~VfatImage()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {path()});
    }
    bool valid() const { return m_mounted; }
    QString path() const { return m_dir.filePath(QStringLiteral("mnt")); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

} // namespace

class TestLocalFileSystem : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void moveNeverReplaces_data();
    void moveNeverReplaces();
    void moveAcrossFileSystemsKeepsModeAndTime();
    void moveOfAFifoAcrossFileSystemsDoesNotHang();
    void moveAcrossFileSystemsKeepsOwner_data();
    void moveAcrossFileSystemsKeepsOwner();
    void copyNeverOntoItself_data();
    void copyNeverOntoItself();
    void copyReplacesOnlyWhenAsked();
    void failedCopyLeavesTargetAsItWas_data();
    void failedCopyLeavesTargetAsItWas();
    void killedCopyLeavesNothingBehind_data();
    void killedCopyLeavesNothingBehind();
    void withoutUnnamedFilesATemporaryNameStandsIn();
    void onlyProvablyDeadTemporariesOfOursGo();
    void flushesOnlyWhereDataIsAtStake();
    void sourceChangedWhileCopiedIsRefused_data();
    void sourceChangedWhileCopiedIsRefused();
    void largeCopyShowsItsBytes();
    void copiesFollowATargetFolderMadeAnew();
    void readOnlyByModeBits_data();
    void readOnlyByModeBits();
    void listKeepsRawNamesAndFlagsLinks();
    void infoAndReadGiveTheReason_data();
    void infoAndReadGiveTheReason();
    void cleanupTestCase();

private:
    std::unique_ptr<VfatImage> m_vfat;
};

void TestLocalFileSystem::cleanupTestCase()
{
    m_vfat.reset();
}

void TestLocalFileSystem::cleanup()
{
    simulated::noRenameFlags = false;
    simulated::noHardLinks = false;
    simulated::failingCopies = false;
    simulated::crossDeviceFrom.clear();
    simulated::noUnnamedFiles = false;
    simulated::clockAhead = 0;
    simulated::growing.clear();
}

void TestLocalFileSystem::moveNeverReplaces_data()
{
    QTest::addColumn<bool>("crossFs");
    QTest::addColumn<bool>("noRenameFlags");
    QTest::addColumn<bool>("noHardLinks");
    QTest::newRow("same fs") << false << false << false;
    QTest::newRow("same fs, no RENAME_NOREPLACE (NFS)") << false << true << false;
    QTest::newRow("across fs") << true << false << false;
    QTest::newRow("across fs, no hard links (FAT)") << true << false << true;
    QTest::newRow("across fs, no RENAME_NOREPLACE") << true << true << false;
}

void TestLocalFileSystem::moveNeverReplaces()
{
    QFETCH(bool, crossFs);
    QFETCH(bool, noRenameFlags);
    QFETCH(bool, noHardLinks);
    QTemporaryDir here;
    std::unique_ptr<QTemporaryDir> there =
        crossFs ? otherFileSystemThan(here.path()) : std::make_unique<QTemporaryDir>();
    if (!there)
        QSKIP("no second file system (/dev/shm) to move across");
    writeFile(raw(here.filePath("new.txt")), "moving");
    writeFile(raw(here.filePath("taken.txt")), "source");
    writeFile(raw(there->filePath("taken.txt")), "already there");
    simulated::noRenameFlags = noRenameFlags;
    simulated::noHardLinks = noHardLinks;

    LocalFileSystem fs;
    const Status moved = fs.moveFile(raw(here.filePath("new.txt")), raw(there->path()));
    QVERIFY2(moved.ok(), qPrintable(moved.message()));
    QCOMPARE(readFile(raw(there->filePath("new.txt"))), QByteArray("moving"));
    QVERIFY(!exists(raw(here.filePath("new.txt"))));

    const Status refused = fs.moveFile(raw(here.filePath("taken.txt")), raw(there->path()));
    QCOMPARE(refused.kind(), ErrorKind::AlreadyExists);
    QCOMPARE(readFile(raw(here.filePath("taken.txt"))), QByteArray("source"));
    QCOMPARE(readFile(raw(there->filePath("taken.txt"))), QByteArray("already there"));
    // No temporary copy is left behind on either side.
    QCOMPARE(namesIn(there->path()), QStringList({"new.txt", "taken.txt"}));
    QCOMPARE(namesIn(here.path()), QStringList({"taken.txt"}));
}

void TestLocalFileSystem::moveAcrossFileSystemsKeepsModeAndTime()
{
    QTemporaryDir here;
    auto there = otherFileSystemThan(here.path());
    if (!there)
        QSKIP("no second file system (/dev/shm) to move across");
    const QByteArray file = raw(here.filePath("shared.dat"));
    writeFile(file, "data", 0644);
    QVERIFY(::chmod(file.constData(), 0754) == 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    QVERIFY(::utimensat(AT_FDCWD, file.constData(), times, 0) == 0);

    const mode_t oldMask = ::umask(077);
    LocalFileSystem fs;
    const Status moved = fs.moveFile(file, raw(there->path()));
    ::umask(oldMask);
    QVERIFY(moved.ok());
    struct stat st {};
    QVERIFY(::stat(raw(there->filePath("shared.dat")).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0754));
    QCOMPARE(qint64(st.st_mtim.tv_sec), qint64(1200000000));
}

void TestLocalFileSystem::moveOfAFifoAcrossFileSystemsDoesNotHang()
{
    QTemporaryDir here;
    auto there = otherFileSystemThan(here.path());
    if (!there)
        QSKIP("no second file system (/dev/shm) to move across");
    const QByteArray fifo = raw(there->filePath("pipe.dat"));
    QVERIFY(::mkfifo(fifo.constData(), 0644) == 0);
    LocalFileSystem fs;
    // Opening a FIFO for reading would wait for a writer that never comes.
    QVERIFY(!fs.moveFile(fifo, raw(here.path())).ok());
    QVERIFY(exists(fifo));
    QCOMPARE(namesIn(here.path()), QStringList());
}

void TestLocalFileSystem::moveAcrossFileSystemsKeepsOwner_data()
{
    QTest::addColumn<bool>("link");
    QTest::addColumn<bool>("byNobody"); // a mover who may not give files away
    QTest::newRow("file, by root") << false << false;
    QTest::newRow("symbolic link, by root") << true << false;
    QTest::newRow("root's file, by nobody") << false << true;
}

void TestLocalFileSystem::moveAcrossFileSystemsKeepsOwner()
{
    QFETCH(bool, link);
    QFETCH(bool, byNobody);
    const struct passwd* user = ::getpwnam("nobody");
    if (::geteuid() != 0 || !user || user->pw_uid == 0)
        QSKIP("needs root and a user nobody");
    QTemporaryDir here;
    auto there = otherOrSimulatedFileSystem(here.path());
    QVERIFY(::chmod(raw(here.path()).constData(), 0777) == 0 && ::chmod(raw(there->path()).constData(), 0777) == 0);
    const QByteArray file = raw(here.filePath("owned.dat"));
    if (link)
        QVERIFY(::symlink("elsewhere", file.constData()) == 0);
    else
        writeFile(file, "data", 0644);
    if (!byNobody) {
        QVERIFY(::lchown(file.constData(), user->pw_uid, user->pw_gid) == 0);
        QVERIFY(link || ::chmod(file.constData(), 02755) == 0); // a change of owner would clear it
    }
    // Root's moved file keeps nobody as its owner; nobody cannot give root's file back to root,
    // and the move goes through all the same.
    const pid_t child = ::fork();
    if (child == 0) {
        if (byNobody && (::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 || ::setuid(user->pw_uid) != 0))
            ::_exit(2);
        ::_exit(LocalFileSystem().moveFile(file, raw(there->path())).ok() ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!exists(file));
    struct stat st {};
    QVERIFY(::lstat(raw(there->filePath("owned.dat")).constData(), &st) == 0);
    QCOMPARE(st.st_uid, user->pw_uid);
    QCOMPARE(st.st_gid, user->pw_gid);
    if (!link)
        QCOMPARE(st.st_mode & 07777, mode_t(byNobody ? 0644 : 02755));
}

void TestLocalFileSystem::copyNeverOntoItself_data()
{
    QTest::addColumn<QString>("alias"); // how the same file is already in the target folder
    QTest::newRow("its own folder") << "self";
    QTest::newRow("its own folder, dotted") << "dotted";
    QTest::newRow("a hard link") << "hardlink";
    QTest::newRow("a symbolic link to it") << "symlink";
}

void TestLocalFileSystem::copyNeverOntoItself()
{
    QFETCH(QString, alias);
    TestTree dir;
    dir.folder("src");
    dir.folder("dst");
    const QByteArray file = dir.path("src/only.txt");
    writeFile(file, "the only copy");
    QByteArray destination = dir.path("dst");
    if (alias == "self")
        destination = dir.path("src");
    else if (alias == "dotted")
        destination = dir.path("dst/../src/.");
    else if (alias == "hardlink")
        QVERIFY(::link(file.constData(), dir.path("dst/only.txt").constData()) == 0);
    else
        QVERIFY(::symlink(file.constData(), dir.path("dst/only.txt").constData()) == 0);

    LocalFileSystem fs;
    QCOMPARE(fs.copyFile(file, destination, true).kind(), ErrorKind::SameFile);
    QCOMPARE(readFile(file), QByteArray("the only copy"));
    QCOMPARE(namesIn(dir.text("src")), QStringList{"only.txt"});
}

void TestLocalFileSystem::copyReplacesOnlyWhenAsked()
{
    TestTree dir;
    const QByteArray file = dir.path("a.txt");
    dir.folder("dst");
    writeFile(file, "new");
    dir.file("dst/a.txt", "old");
    LocalFileSystem fs;
    QCOMPARE(fs.copyFile(file, dir.path("dst"), false).kind(), ErrorKind::AlreadyExists);
    QCOMPARE(readFile(dir.path("dst/a.txt")), QByteArray("old"));
    bool replaced = false;
    QVERIFY(fs.copyFile(file, dir.path("dst"), true, &replaced).ok());
    QVERIFY(replaced);
    QCOMPARE(readFile(dir.path("dst/a.txt")), QByteArray("new"));

    // Without RENAME_NOREPLACE a copy that must not replace still neither replaces nor fails.
    simulated::noRenameFlags = true;
    dir.file("b.txt", "b");
    QVERIFY(fs.copyFile(dir.path("b.txt"), dir.path("dst"), false, &replaced).ok());
    QVERIFY(!replaced);
    QCOMPARE(fs.copyFile(dir.path("b.txt"), dir.path("dst"), false).kind(), ErrorKind::AlreadyExists);
    QCOMPARE(namesIn(dir.text("dst")), QStringList({"a.txt", "b.txt"}));
    QCOMPARE(readFile(dir.path("dst/b.txt")), QByteArray("b"));
}

void TestLocalFileSystem::failedCopyLeavesTargetAsItWas_data()
{
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("new name") << false;
    QTest::newRow("replacing") << true;
}

void TestLocalFileSystem::failedCopyLeavesTargetAsItWas()
{
    QFETCH(bool, targetExists);
    TestTree dir;
    dir.folder("dst");
    dir.file("a.txt", "new content");
    if (targetExists)
        dir.file("dst/a.txt", "old content");
    simulated::failingCopies = true;
    LocalFileSystem fs;
    QVERIFY(!fs.copyFile(dir.path("a.txt"), dir.path("dst"), true).ok());
    QCOMPARE(namesIn(dir.text("dst")), targetExists ? QStringList{"a.txt"} : QStringList{});
    if (targetExists)
        QCOMPARE(readFile(dir.path("dst/a.txt")), QByteArray("old content"));
    QCOMPARE(readFile(dir.path("a.txt")), QByteArray("new content"));
}

void TestLocalFileSystem::killedCopyLeavesNothingBehind_data()
{
    QTest::addColumn<bool>("onFat");
    QTest::addColumn<bool>("replacing");
    QTest::addColumn<QByteArray>("call"); // the process is killed on entering its `countdown`-th call
    QTest::addColumn<int>("countdown");
    for (const bool onFat : {false, true}) {
        for (const bool replacing : {false, true}) {
            const char* fs = onFat ? "vfat" : "test fs";
            const char* what = replacing ? "replacing" : "new name";
            QTest::addRow("%s, %s, amid the data", fs, what) << onFat << replacing << QByteArray("data") << 3;
            QTest::addRow("%s, %s, setting times", fs, what) << onFat << replacing << QByteArray("futimens") << 1;
            if (!onFat)
                QTest::addRow("%s, %s, linking", fs, what) << onFat << replacing << QByteArray("linkat") << 1;
            if (replacing)
                QTest::addRow("%s, %s, renaming over", fs, what) << onFat << replacing << QByteArray("renameat") << 1;
        }
    }
}

void TestLocalFileSystem::killedCopyLeavesNothingBehind()
{
    QFETCH(bool, onFat);
    QFETCH(bool, replacing);
    QFETCH(QByteArray, call);
    QFETCH(int, countdown);
    QTemporaryDir testFs;
    QString root = testFs.path();
    if (onFat) {
        if (!m_vfat)
            m_vfat = std::make_unique<VfatImage>();
        if (!m_vfat->valid())
            QSKIP("no vfat image: needs mkfs.vfat, a loop device and the right to mount");
        root = m_vfat->path() + "/" + QFileInfo(testFs.path()).fileName();
    }
    const QString dst = root + "/dst";
    QDir().mkpath(dst);
    writeFile(raw(root + "/big.bin"), QByteArray(12 << 20, 'n'));
    if (replacing)
        writeFile(raw(dst + "/big.bin"), "old content");

    const pid_t child = ::fork();
    if (child == 0) {
        simulated::killAt = call;
        simulated::countdown = countdown;
        LocalFileSystem().copyFile(raw(root + "/big.bin"), raw(dst), true);
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the copy never reached the point");

    QStringList left = namesIn(dst);
    if (replacing) {
        QVERIFY(left.removeOne("big.bin"));
        QCOMPARE(readFile(raw(dst + "/big.bin")), QByteArray("old content"));
    }
    // Unnamed files leave nothing, but for the instant between a replacing copy's link and its rename.
    if (hasUnnamedFiles(dst) && call != "renameat")
        QCOMPARE(left, QStringList{});
    for (const QString& name : left)
        QVERIFY2(name.startsWith(".big.bin.korvane-") && name.endsWith(".tmp"), qPrintable(name));
    if (!onFat && hasUnnamedFiles(dst)) {
        // Locked before it was linked, a hidden name left by the kill goes with the next copy
        // into the folder, however new it is.
        writeFile(raw(root + "/small.bin"), "s");
        QVERIFY(LocalFileSystem().copyFile(raw(root + "/small.bin"), raw(dst), true).ok());
        QCOMPARE(namesIn(dst), replacing ? QStringList({"big.bin", "small.bin"}) : QStringList{"small.bin"});
    }
    if (onFat)
        QVERIFY(QDir(root).removeRecursively());
}

void TestLocalFileSystem::withoutUnnamedFilesATemporaryNameStandsIn()
{
    simulated::noUnnamedFiles = true;
    TestTree dir;
    const QByteArray dst = dir.path("dst");
    dir.file("a.txt", "a");
    dir.file("b.txt", "new b");
    writeFile(dst + "/b.txt", "old b");
    LocalFileSystem fs;
    QVERIFY(fs.copyFile(dir.path("a.txt"), dst, true).ok());
    QVERIFY(fs.copyFile(dir.path("b.txt"), dst, true).ok());
    QCOMPARE(namesIn(dir.text("dst")), QStringList({"a.txt", "b.txt"}));
    QCOMPARE(readFile(dst + "/a.txt"), QByteArray("a"));
    QCOMPARE(readFile(dst + "/b.txt"), QByteArray("new b"));

    // A stopped copy and a failed one take their temporaries with them.
    dir.file("b.txt", "newer b");
    RunControl control;
    control.requestStop();
    {
        const RunControl::Scope scope(&control);
        QCOMPARE(fs.copyFile(dir.path("b.txt"), dst, true).errnum(), ECANCELED);
    }
    simulated::failingCopies = true;
    QVERIFY(!fs.copyFile(dir.path("b.txt"), dst, true).ok());
    QCOMPARE(namesIn(dir.text("dst")), QStringList({"a.txt", "b.txt"}));
    QCOMPARE(readFile(dst + "/b.txt"), QByteArray("new b"));
}

void TestLocalFileSystem::onlyProvablyDeadTemporariesOfOursGo()
{
    // All named like a copy's temporary, a day old; only the first is provably one left by a
    // copy of ours that died. Age decides nothing.
    simulated::clockAhead = 25 * 60 * 60;
    QTemporaryDir dir;
    writeFile(raw(dir.filePath("a.txt")), "a");
    const QString dst = dir.filePath("dst");
    const QString token = QStringLiteral(".korvane-0123456789abcdef-0600.tmp"); // token and the mode made with
    const auto plant = [&](const QString& name, mode_t mode) {
        const QByteArray path = raw(dst + '/' + name);
        writeFile(path, "x");
        return ::chmod(path.constData(), mode) == 0 ? path : QByteArray();
    };
    const QByteArray dead = plant(".dead.txt" + token, 0600);
    // Where the kernel grants no leases nothing proves a file unopened: then even that one stays.
    const int probe = ::open(dead.constData(), O_RDONLY | O_CLOEXEC);
    const bool leases = ::fcntl(probe, F_SETLEASE, F_WRLCK) == 0;
    ::close(probe);
    plant(".short.txt.korvane-1a.held.tmp", 0600); // no token
    plant(".mode.txt" + token, 0644);
    plant(".nomode.txt.korvane-0123456789abcdef.tmp", 0600);
    QVERIFY(::link(plant(".linked.txt" + token, 0600).constData(), raw(dst + "/linked.txt").constData()) == 0);
    const int locked = ::open(plant(".locked.txt" + token, 0600).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(locked >= 0 && ::flock(locked, LOCK_EX) == 0);
    QStringList kept = namesIn(dst);
    if (leases)
        kept.removeOne(".dead.txt" + token);

    // Held open by a program that takes no lock: `sleep 300 < FILE`.
    const QByteArray held = plant(".open.txt" + token, 0600);
    int ready[2];
    QVERIFY(::pipe2(ready, O_CLOEXEC) == 0);
    const pid_t reader = ::fork();
    if (reader == 0) {
        ::dup2(::open(held.constData(), O_RDONLY), 0); // the pipe closes at the exec, once this holds
        ::execlp("sleep", "sleep", "300", nullptr);
        ::_exit(127);
    }
    ::close(ready[1]);
    char ignored;
    QCOMPARE(::read(ready[0], &ignored, 1), ssize_t(0));
    ::close(ready[0]);
    kept << ".open.txt" + token;

    const struct passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 && nobody) {
        QVERIFY(::chown(plant(".nobody.txt" + token, 0600).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        kept << ".nobody.txt" + token;
    }
    QVERIFY(LocalFileSystem().copyFile(raw(dir.filePath("a.txt")), raw(dst), true).ok());
    ::kill(reader, SIGKILL);
    ::waitpid(reader, nullptr, 0);
    ::close(locked);
    kept << "a.txt";
    kept.sort();
    QCOMPARE(namesIn(dst), kept);
}

void TestLocalFileSystem::copiesFollowATargetFolderMadeAnew()
{
    // The target folder is held open between copies; one removed and made again under the same
    // path right away still gets the next copy.
    QTemporaryDir dir;
    writeFile(raw(dir.filePath("a.txt")), "a");
    writeFile(raw(dir.filePath("b.txt")), "b");
    const QByteArray dst = raw(dir.filePath("dst"));
    LocalFileSystem fs;
    for (const char* name : {"a.txt", "b.txt"}) {
        QVERIFY(QDir(dir.filePath("dst")).removeRecursively());
        QVERIFY(QDir(dir.path()).mkdir("dst"));
        const Status copied = fs.copyFile(raw(dir.filePath(name)), dst, true);
        QVERIFY2(copied.ok(), qPrintable(copied.message()));
        QCOMPARE(namesIn(dir.filePath("dst")), QStringList{name});
    }
}

void TestLocalFileSystem::flushesOnlyWhereDataIsAtStake()
{
    TestTree dir;
    dir.folder("dst");
    dir.file("a.txt", "a");
    LocalFileSystem fs;

    // A copy's source is still there after a crash, whether the copy replaces a file or not.
    simulated::fsyncs = 0;
    QVERIFY(fs.copyFile(dir.path("a.txt"), dir.path("dst"), true).ok());
    QVERIFY(fs.copyFile(dir.path("a.txt"), dir.path("dst"), true).ok());
    QCOMPARE(simulated::fsyncs, 0);

    auto there = otherFileSystemThan(dir.text());
    if (!there)
        QSKIP("no second file system (/dev/shm) to move across");
    simulated::fsyncs = 0;
    QVERIFY(fs.moveFile(dir.path("a.txt"), raw(there->path())).ok());
    QCOMPARE(simulated::fsyncs, 1); // the source goes only once the copy is on disk
}

void TestLocalFileSystem::sourceChangedWhileCopiedIsRefused_data()
{
    QTest::addColumn<bool>("move");
    QTest::newRow("copy") << false;
    QTest::newRow("move across file systems") << true;
}

void TestLocalFileSystem::sourceChangedWhileCopiedIsRefused()
{
    QFETCH(bool, move);
    TestTree dir;
    const QByteArray source = dir.path("a.txt");
    writeFile(source, "before");
    const auto there = move ? otherOrSimulatedFileSystem(dir.text()) : std::make_unique<QTemporaryDir>();
    simulated::growing = source;
    LocalFileSystem fs;
    const Status status =
        move ? fs.moveFile(source, raw(there->path())) : fs.copyFile(source, raw(there->path()), true);
    QCOMPARE(status.message(), QStringLiteral("源文件在复制时改变"));
    QCOMPARE(namesIn(there->path()), QStringList{});
    QCOMPARE(readFile(source), QByteArray("before grown"));
}

void TestLocalFileSystem::largeCopyShowsItsBytes()
{
    TestTree dir;
    dir.file("big.bin", QByteArray(10 << 20, 'b'));
    QDir(dir.text()).mkdir("dst");
    RunControl control;
    simulated::progress.clear();
    {
        const RunControl::Scope scope(&control);
        QVERIFY(LocalFileSystem().copyFile(dir.path("big.bin"), dir.path("dst"), true).ok());
    }
    // Before each 4 MB chunk: the bytes done so far, of the file's size.
    QCOMPARE(simulated::progress.size(), size_t(3));
    for (size_t i = 0; i < 3; ++i) {
        QCOMPARE(simulated::progress[i].partDone, qint64(i) * (4 << 20));
        QCOMPARE(simulated::progress[i].partTotal, qint64(10 << 20));
    }
    QCOMPARE(control.snapshot().partTotal, qint64(0));
    QCOMPARE(control.snapshot().partDone, qint64(0));
}

void TestLocalFileSystem::readOnlyByModeBits_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("force");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("0444 plain") << 0444 << false << false;
    QTest::newRow("0444 force") << 0444 << true << true;
    QTest::newRow("0000 plain") << 0000 << false << false;
    QTest::newRow("0200 plain") << 0200 << false << true;
    QTest::newRow("0464 plain") << 0464 << false << true;
}

void TestLocalFileSystem::readOnlyByModeBits()
{
    QFETCH(int, mode);
    QFETCH(bool, force);
    QFETCH(bool, deleted);
    TestTree dir;
    const QByteArray file = dir.path("f");
    writeFile(file, "x");
    QVERIFY(::chmod(file.constData(), mode_t(mode)) == 0);
    LocalFileSystem fs;
    const Status status = fs.deleteFile(file, force);
    QCOMPARE(status.ok(), deleted);
    QCOMPARE(exists(file), !deleted);
    if (!deleted)
        QCOMPARE(status.kind(), ErrorKind::ReadOnly);
}

void TestLocalFileSystem::listKeepsRawNamesAndFlagsLinks()
{
    TestTree dir;
    const QByteArray folder = dir.path();
    const QByteArray gbk = "\xce\xc4\xbc\xfe.txt"; // "文件.txt" in GBK
    writeFile(folder + "/" + gbk, "g");
    writeFile(folder + "/.hidden", "h");
    QVERIFY(::mkdir((folder + "/sub").constData(), 0777) == 0);
    QVERIFY(::symlink("sub", (folder + "/dirlink").constData()) == 0);
    QVERIFY(::symlink(gbk.constData(), (folder + "/filelink").constData()) == 0);
    QVERIFY(::symlink("nowhere", (folder + "/dangling").constData()) == 0);

    LocalFileSystem fs;
    const auto entries = fs.list(folder);
    QVERIFY(entries);
    QMap<QByteArray, DirEntry> byName;
    for (const DirEntry& e : *entries)
        byName.insert(e.name, e);
    QCOMPARE(byName.keys(), QList<QByteArray>({".hidden", "dangling", "dirlink", "filelink", "sub", gbk}));
    QCOMPARE(byName[gbk].kind, EntryKind::File);
    QCOMPARE(byName["dirlink"].kind, EntryKind::Folder);
    QVERIFY(byName["dirlink"].isSymlink);
    QCOMPARE(byName["filelink"].kind, EntryKind::File);
    QVERIFY(byName["filelink"].isSymlink);
    QCOMPARE(byName["dangling"].kind, EntryKind::Other);
    QVERIFY(!byName["sub"].isSymlink);
    ::unlink((folder + "/filelink").constData());
    ::unlink((folder + "/" + gbk).constData()); // QTemporaryDir cannot remove names that are not UTF-8
}

void TestLocalFileSystem::infoAndReadGiveTheReason_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<ErrorKind>("own");    // info() of the name itself
    QTest::addColumn<ErrorKind>("follow"); // info() of what it leads to
    QTest::addColumn<ErrorKind>("read");
    QTest::addColumn<int>("readErrno");
    QTest::newRow("file") << QByteArray("a.txt") << ErrorKind::None << ErrorKind::None << ErrorKind::None << 0;
    QTest::newRow("link to file") << QByteArray("link") << ErrorKind::None << ErrorKind::None << ErrorKind::None << 0;
    QTest::newRow("missing") << QByteArray("gone") << ErrorKind::NotFound << ErrorKind::NotFound << ErrorKind::NotFound
                             << ENOENT;
    QTest::newRow("dangling link") << QByteArray("dangling") << ErrorKind::None << ErrorKind::NotFound
                                   << ErrorKind::NotFound << ENOENT;
    QTest::newRow("folder") << QByteArray("sub") << ErrorKind::None << ErrorKind::None << ErrorKind::Io << EISDIR;
    QTest::newRow("below a file") << QByteArray("a.txt/x") << ErrorKind::NotAFolder << ErrorKind::NotAFolder
                                  << ErrorKind::NotAFolder << ENOTDIR;
}

void TestLocalFileSystem::infoAndReadGiveTheReason()
{
    QFETCH(QByteArray, name);
    QFETCH(ErrorKind, own);
    QFETCH(ErrorKind, follow);
    QFETCH(ErrorKind, read);
    QFETCH(int, readErrno);
    TestTree dir;
    const QByteArray folder = dir.path();
    writeFile(folder + "/a.txt", "content");
    QVERIFY(::mkdir((folder + "/sub").constData(), 0777) == 0);
    QVERIFY(::symlink("a.txt", (folder + "/link").constData()) == 0);
    QVERIFY(::symlink("nowhere", (folder + "/dangling").constData()) == 0);
    LocalFileSystem fs;
    const NativePath path = folder + "/" + name;

    const auto ownInfo = fs.info(path);
    const auto followInfo = fs.info(path, Links::Follow);
    QCOMPARE(ownInfo.status().kind(), own);
    QCOMPARE(followInfo.status().kind(), follow);
    if (ownInfo && followInfo) {
        const bool isLink = name == "link";
        QCOMPARE(ownInfo->isSymlink, isLink);
        QVERIFY(!followInfo->isSymlink);
        const auto file = fs.info(folder + "/a.txt");
        QCOMPARE(followInfo->inode == file->inode, isLink || name == "a.txt");
        QCOMPARE(ownInfo->inode == file->inode, !isLink && name == "a.txt");
    }

    const auto bytes = fs.readFile(path);
    QCOMPARE(bytes.status().kind(), read);
    QCOMPARE(bytes.status().errnum(), readErrno);
    if (bytes)
        QCOMPARE(*bytes, QByteArray("content"));
    else
        QVERIFY(!bytes.status().message().isEmpty());
}

KORVANE_TEST_GUILESS_MAIN(TestLocalFileSystem)
#include "tst_platform_localfilesystem.moc"
