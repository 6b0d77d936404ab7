#include "platform/localfilesystem.h"
#include "platform/localfilesystemdetail.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Plain calls: looks at one path, whole-file reads and writes, folders made, locks, links.

namespace korvane::platform {

namespace localfs {

QByteArray baseName(const NativePath& path)
{
    QByteArray p = path;
    while (p.size() > 1 && p.endsWith('/'))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf('/');
    return slash < 0 ? p : p.mid(slash + 1);
}

QByteArray parentFolder(const NativePath& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return ".";
    if (slash == 0)
        return "/";
    return path.left(slash);
}

EntryKind kindOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    return EntryKind::Other;
}

namespace {

/// In UTC: a local-time QDateTime re-reads the time zone (a stat of /etc/localtime) each time
/// it is made, which would double the system calls of a walk that looks at every file.
QDateTime toDateTime(const struct timespec& ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000, Qt::UTC);
}

} // namespace

/// info() of `name` in the folder `folderFd` (AT_FDCWD: of the path `name`).
Result<FileInfo> infoAt(int folderFd, const char* name, Links links)
{
    struct stat st {};
    if (::fstatat(folderFd, name, &st, links == Links::Own ? AT_SYMLINK_NOFOLLOW : 0) != 0)
        return Status::fromErrno(errno);
    FileInfo fi;
    fi.mode = st.st_mode;
    fi.isSymlink = S_ISLNK(st.st_mode);
    if (fi.isSymlink) {
        struct stat target {};
        fi.kind = ::fstatat(folderFd, name, &target, 0) == 0 ? kindOfMode(target.st_mode) : EntryKind::Other;
    } else {
        fi.kind = kindOfMode(st.st_mode);
    }
    fi.size = st.st_size;
    fi.modified = toDateTime(st.st_mtim);
    fi.device = st.st_dev;
    fi.inode = st.st_ino;
    fi.owner = st.st_uid;
    return fi;
}

/// Writes all `size` bytes, going on after short writes and signals; false with errno set.
bool writeAll(int fd, const char* data, size_t size)
{
    for (size_t written = 0; written < size;) {
        const ssize_t w = ::write(fd, data + written, size - written);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        written += size_t(w);
    }
    return true;
}

} // namespace localfs

using namespace localfs;

Result<FileInfo> LocalFileSystem::info(const NativePath& path, Links links)
{
    return infoAt(AT_FDCWD, path.constData(), links);
}

bool LocalFileSystem::fileExists(const NativePath& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool LocalFileSystem::folderExists(const NativePath& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status LocalFileSystem::deleteFile(const NativePath& file, bool force)
{
    struct stat st {};
    if (::lstat(file.constData(), &st) != 0)
        return Status::fromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return failed(ErrorKind::Io, EISDIR);
    if (!force && isReadOnlyByMode(st.st_mode))
        return failed(ErrorKind::ReadOnly, EACCES);
    if (::unlink(file.constData()) != 0)
        return Status::fromErrno(errno);
    return {};
}

Status LocalFileSystem::createFolder(const NativePath& folder)
{
    if (folder.isEmpty())
        return failed(ErrorKind::NotFound, ENOENT);
    if (folderExists(folder))
        return {};
    const QByteArray parent = parentFolder(folder);
    if (parent != folder && !folderExists(parent)) {
        if (const Status made = createFolder(parent); !made.ok())
            return made;
    }
    if (::mkdir(folder.constData(), 0777) != 0 && !(errno == EEXIST && folderExists(folder)))
        return Status::fromErrno(errno);
    return {};
}

Status LocalFileSystem::writeFile(const NativePath& path, const QByteArray& bytes)
{
    mode_t mode = 0666;
    struct stat existing {};
    if (::stat(path.constData(), &existing) == 0)
        mode = existing.st_mode & 07777;
    const QByteArray temporary = temporarySibling(path, mode & ~processUmask());
    UniqueFd out(::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (out.get() < 0)
        return Status::fromErrno(errno);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(out.get(), bytes.constData() + done, size_t(bytes.size() - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            const int e = errno;
            ::unlink(temporary.constData());
            return Status::fromErrno(e);
        }
        done += w;
    }
    // Renamed while still open: the clean-up of dead copies' temporaries leaves an open file alone.
    if (::fsync(out.get()) != 0 || ::rename(temporary.constData(), path.constData()) != 0 ||
        ::close(out.release()) != 0) {
        const int e = errno;
        ::unlink(temporary.constData());
        return Status::fromErrno(e);
    }
    return {};
}

Result<QByteArray> LocalFileSystem::readFile(const NativePath& path, qint64 maxBytes)
{
    UniqueFd in(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return Status::fromErrno(errno);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        return Status::fromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return failed(ErrorKind::Io, EISDIR);
    QByteArray data;
    char buffer[1 << 16];
    for (;;) {
        qint64 want = sizeof buffer;
        if (maxBytes >= 0)
            want = std::min<qint64>(want, maxBytes - data.size());
        if (want <= 0)
            break;
        const ssize_t r = ::read(in.get(), buffer, size_t(want));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Status::fromErrno(errno);
        if (r == 0)
            break;
        data.append(buffer, r);
    }
    return data;
}

Result<std::unique_ptr<HeldLock>> LocalFileSystem::createExclusive(const NativePath& path, quint32 mode, EntryKind kind)
{
    if (kind != EntryKind::Folder) {
        UniqueFd fd(::open(path.constData(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode_t(mode)));
        if (!fd.valid())
            return Status::fromErrno(errno);
        if (::flock(fd.get(), LOCK_EX) != 0) {
            const int e = errno;
            ::unlink(path.constData());
            return Status::fromErrno(e);
        }
        return std::unique_ptr<HeldLock>(new LocalHeldLock(std::move(fd)));
    }
    if (::mkdir(path.constData(), mode_t(mode)) != 0)
        return Status::fromErrno(errno);
    // Unlocked for a moment, a folder may be taken by the repair of another run meanwhile
    // (and its name made again): then the lock is not on the folder the name leads to.
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat held {
    }, named{};
    if (fd.valid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &held) == 0 &&
        ::stat(path.constData(), &named) == 0 && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
        return std::unique_ptr<HeldLock>(new LocalHeldLock(std::move(fd)));
    ::rmdir(path.constData());
    return failed(ErrorKind::Io, EAGAIN);
}

Result<std::unique_ptr<HeldLock>> LocalFileSystem::lock(const NativePath& path, bool wait)
{
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || ::flock(fd.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0)
        return Status::fromErrno(errno);
    return std::unique_ptr<HeldLock>(new LocalHeldLock(std::move(fd)));
}

Status LocalFileSystem::probeWrite(const NativePath& file)
{
    // Non-blocking: a FIFO put in the file's place must not hang the caller.
    const UniqueFd fd(::open(file.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return fd.valid() ? Status() : Status::fromErrno(errno);
}

Status LocalFileSystem::link(const NativePath& from, const NativePath& to)
{
    return ::link(from.constData(), to.constData()) == 0 ? Status() : Status::fromErrno(errno);
}

Status LocalFileSystem::sync(const NativePath& path)
{
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0)
        return Status::fromErrno(errno);
    return {};
}

int LocalFileSystem::concurrentWriters(const NativePath& folder)
{
    cpu_set_t cores;
    CPU_ZERO(&cores);
    const int usable = ::sched_getaffinity(0, sizeof cores, &cores) == 0 ? CPU_COUNT(&cores) : 1;
    if (usable <= 1)
        return 1;
    struct stat st {};
    if (::stat(folder.constData(), &st) != 0)
        return 1;
    // The block device's own flag; a partition has none, its disk has. No entry (tmpfs, NFS,
    // btrfs's anonymous device numbers) means no head to seek.
    char flag = '0';
    for (const char* form : {"/sys/dev/block/%u:%u/queue/rotational", "/sys/dev/block/%u:%u/../queue/rotational"}) {
        char path[80];
        std::snprintf(path, sizeof path, form, ::major(st.st_dev), ::minor(st.st_dev));
        const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
        if (fd.valid() && ::read(fd.get(), &flag, 1) == 1)
            break;
    }
    return flag == '1' ? 1 : std::min(usable, 4);
}

} // namespace korvane::platform
