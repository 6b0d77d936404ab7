#include "wordcrypt/documentfiles.h"

#include "platform/uniquefd.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace korvane::wordcrypt {

using platform::UniqueFd;

namespace {

UniqueFd openRead(const QByteArray& path)
{
    return UniqueFd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
}

bool writeAll(int fd, const char* data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

/// Copies the open file `from` into `to` from their starts, in chunks, and syncs `to`.
bool copyFd(int from, int to)
{
    if (::lseek(from, 0, SEEK_SET) != 0 || ::lseek(to, 0, SEEK_SET) != 0)
        return false;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!writeAll(to, buffer, n))
            return false;
    }
    return ::fsync(to) == 0;
}

} // namespace

bool copyFile(const QByteArray& from, const QByteArray& to, int createMode)
{
    const UniqueFd in = openRead(from);
    if (!in.valid())
        return false;
    const int flags = createMode >= 0 ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC : O_WRONLY | O_TRUNC | O_CLOEXEC;
    UniqueFd out(::open(to.constData(), flags, createMode >= 0 ? createMode : 0));
    if (!out.valid())
        return false;
    const bool ok = copyFd(in.get(), out.get());
    // The close of the target reports write-back failures the copy did not see.
    return ::close(out.release()) == 0 && ok;
}

bool sameFile(const QByteArray& a, const QByteArray& b)
{
    const UniqueFd fa = openRead(a);
    const UniqueFd fb = openRead(b);
    if (!fa.valid() || !fb.valid())
        return false;
    static constexpr size_t kChunk = 65536;
    std::vector<char> x(kChunk), y(kChunk);
    for (;;) {
        const ssize_t n = ::read(fa.get(), x.data(), kChunk);
        if (n < 0)
            return false;
        // Files and pipes of ours: a short read only happens at the end.
        ssize_t m = 0;
        while (m < n) {
            const ssize_t k = ::read(fb.get(), y.data() + m, size_t(n - m));
            if (k <= 0)
                return false;
            m += k;
        }
        if (n == 0) {
            char extra;
            return ::read(fb.get(), &extra, 1) == 0;
        }
        if (std::memcmp(x.data(), y.data(), size_t(n)) != 0)
            return false;
    }
}

void removeFlatFolder(const QByteArray& path)
{
    if (DIR* d = ::opendir(path.constData())) {
        while (const dirent* e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name != "." && name != "..")
                ::unlink((path + '/' + name).constData());
        }
        ::closedir(d);
    }
    ::rmdir(path.constData());
}

namespace {

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : path.left(slash);
}

/// `.<name>.korvane-` beside the document: the start of its backup's and result's names.
QByteArray leftoverPrefix(const QByteArray& document)
{
    const qsizetype slash = document.lastIndexOf('/');
    return document.left(slash + 1) + '.' + document.mid(slash + 1) + ".korvane-";
}

void syncFolder(const QByteArray& path)
{
    if (const UniqueFd folder(::open(folderOf(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folder.valid())
        ::fsync(folder.get());
}

/// The result renamed over the document, with its owner, group and mode; false with the
/// document untouched when the file is more than its name and bytes, or a step fails.
bool renameOver(const QByteArray& document, const QByteArray& result)
{
    struct stat st {};
    if (::stat(document.constData(), &st) != 0 || st.st_nlink != 1)
        return false;
    if (::geteuid() != 0 && st.st_uid != ::geteuid())
        return false;
    if (::listxattr(document.constData(), nullptr, 0) != 0)
        return false; // an ACL or other attributes would not follow a new inode
    const UniqueFd fd(::open(result.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fchown(fd.get(), st.st_uid, st.st_gid) != 0 || ::fchmod(fd.get(), st.st_mode & 07777) != 0 ||
        ::fsync(fd.get()) != 0)
        return false;
    if (::rename(result.constData(), document.constData()) != 0)
        return false;
    syncFolder(document);
    return true;
}

} // namespace

bool replaceDocument(const QByteArray& document, const QByteArray& result, Replacement* done)
{
    *done = {};
    if (renameOver(document, result))
        return true;
    const QByteArray prefix = leftoverPrefix(document) + QByteArray::number(QRandomGenerator::global()->generate(), 36);
    const QByteArray backup = prefix + ".bak";
    const QByteArray written = prefix + ".new";
    // Held from before it has content until the document is written, so a recovery by another
    // run neither repairs from it nor takes it for a stale one.
    const UniqueFd held(::open(backup.constData(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!held.valid())
        return false;
    if (::flock(held.get(), LOCK_EX) != 0 || !copyFile(document, backup) ||
        (::link(result.constData(), written.constData()) != 0 && !copyFile(result, written, 0600))) {
        ::unlink(written.constData());
        ::unlink(backup.constData());
        return false;
    }
    syncFolder(document);
    const auto removeLeftovers = [&] {
        ::unlink(written.constData());
        ::unlink(backup.constData());
    };
    if (copyFile(written, document) && sameFile(written, document)) {
        removeLeftovers();
        done->kind = Replacement::InPlace;
        return true;
    }
    if (copyFile(backup, document) && sameFile(backup, document)) {
        removeLeftovers();
        done->kind = Replacement::Restored;
        return true;
    }
    ::unlink(written.constData()); // without its result, a later run only names the backup
    done->kind = Replacement::Kept;
    done->backup = backup;
    return true;
}

namespace {

constexpr char kWorkPrefix[] = ".korvane-";
constexpr qsizetype kWorkNameSize = sizeof kWorkPrefix - 1 + 6; // mkdtemp's XXXXXX

/// Our work folders beside `document` that no process holds: left by a run that was killed.
void removeAbandonedWorkFolders(const QByteArray& document)
{
    const QByteArray folder = folderOf(document);
    std::vector<QByteArray> found;
    if (DIR* d = ::opendir(folder.constData())) {
        while (const dirent* e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name.size() == kWorkNameSize && name.startsWith(kWorkPrefix))
                found.push_back(folder + '/' + name);
        }
        ::closedir(d);
    }
    for (const QByteArray& path : found) {
        const UniqueFd fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() ||
            ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue; // not ours, or a run is working in it
        removeFlatFolder(path);
    }
}

} // namespace

platform::Result<std::unique_ptr<WorkFolder>> WorkFolder::create(const QByteArray& document)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        QByteArray path = document.left(document.lastIndexOf('/') + 1) + kWorkPrefix + "XXXXXX";
        if (!::mkdtemp(path.data()))
            return platform::Status::fromErrno(errno);
        UniqueFd lock(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // Another run's repair may take the folder before it is locked: then make another.
        struct stat held {
        }, named{};
        if (lock.valid() && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(lock.get(), &held) == 0 &&
            ::stat(path.constData(), &named) == 0 && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            return std::unique_ptr<WorkFolder>(new WorkFolder(std::move(path), std::move(lock)));
        ::rmdir(path.constData());
    }
    return platform::Status::fromErrno(EAGAIN);
}

WorkFolder::~WorkFolder()
{
    removeFlatFolder(m_path); // still locked: no repair touches it meanwhile
}

Recovery recoverInterruptedWrite(const QByteArray& document)
{
    removeAbandonedWorkFolders(document);
    Recovery found;
    const QByteArray prefix = leftoverPrefix(document);
    const QByteArray namePrefix = prefix.mid(prefix.lastIndexOf('/') + 1);
    std::vector<QByteArray> backups;
    if (DIR* d = ::opendir(folderOf(document).constData())) {
        while (const dirent* e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name.startsWith(namePrefix) && name.endsWith(".bak"))
                backups.push_back(prefix + name.mid(namePrefix.size()));
        }
        ::closedir(d);
    }
    for (const QByteArray& backup : backups) {
        const QByteArray written = backup.left(backup.size() - 4) + ".new";
        const UniqueFd held(::open(backup.constData(), O_RDONLY | O_CLOEXEC));
        if (!held.valid())
            continue;
        if (::flock(held.get(), LOCK_EX | LOCK_NB) != 0)
            return {Recovery::Busy, backup};
        struct stat st {};
        if (::stat(written.constData(), &st) != 0) {
            // Killed before the result was placed: a backup equal to the document is stale.
            if (!sameFile(backup, document))
                return {Recovery::BackupKept, backup};
            found.kind = std::max(found.kind, Recovery::Finished);
        } else if (sameFile(written, document)) {
            found.kind = std::max(found.kind, Recovery::Finished);
        } else if (copyFile(backup, document) && sameFile(backup, document)) {
            found.kind = Recovery::Restored;
        } else {
            return {Recovery::BackupKept, backup};
        }
        ::unlink(written.constData());
        ::unlink(backup.constData());
    }
    return found;
}

QByteArray lockPath(const QByteArray& document)
{
    const qsizetype slash = document.lastIndexOf('/');
    return document.left(slash + 1) + ".~lock." + document.mid(slash + 1) + '#';
}

Lock lockState(platform::FileSystem& fs, const QByteArray& document, const QString& currentProfile)
{
    const QByteArray lock = lockPath(document);
    const platform::Result<platform::FileInfo> info = fs.info(lock, platform::Links::Own);
    if (!info)
        return Lock::None;
    if (!S_ISREG(info->mode) || info->size > 4096)
        return Lock::Foreign;
    const QString text = QString::fromUtf8(fs.readFile(lock, info->size).valueOr({})).trimmed();
    const qsizetype at = text.indexOf(QLatin1String("file:///tmp/korvane-office-"));
    if (at < 0)
        return Lock::Foreign;
    QString profile = text.mid(at + 7);
    const qsizetype end = profile.indexOf(QLatin1Char(';'));
    profile = profile.left(end < 0 ? profile.size() : end);
    if (profile == currentProfile || !fs.info(QFile::encodeName(profile), platform::Links::Follow))
        return Lock::OursStale;
    return Lock::Foreign; // another Korvane's office, still running
}

} // namespace korvane::wordcrypt
