#include "platform/localfilesystem.h"

#include "platform/runcontrol.h"
#include "platform/uniquefd.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>

namespace korvane::platform {

namespace {

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

/// In UTC: a local-time QDateTime re-reads the time zone (a stat of /etc/localtime) each time
/// it is made, which would double the system calls of a walk that looks at every file.
QDateTime toDateTime(const struct timespec& ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000, Qt::UTC);
}

/// A name in `folder` that does not exist yet, for writing before a rename into place.
QByteArray temporarySibling(const NativePath& target)
{
    const QByteArray suffix = ".korvane-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
    const QByteArray name = "." + baseName(target).left(200) + suffix;
    return joinPath(parentFolder(target), name);
}

Status failed(ErrorKind kind, int errnum)
{
    return Status::failure(kind, {}, errnum);
}

/// Copies all of `in` to `out` in the kernel where it can, falling back to read/write.
bool copyContents(int in, int out, qint64 size)
{
    // Chunks small enough that a stopped run ends within a fraction of a second; the caller
    // removes the partial copy.
    const RunControl* run = RunControl::current();
    const auto stopped = [run] {
        if (!run || !run->stopRequested())
            return false;
        errno = ECANCELED;
        return true;
    };
    qint64 left = size;
    while (left > 0) {
        if (stopped())
            return false;
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(std::min<qint64>(left, 4 << 20)), 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0)
            break; // file shrank while copying; the size check below catches it
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
            return false;
        // Fall back to a plain loop from the current offsets.
        char buffer[1 << 16];
        for (qint64 chunks = 0;; ++chunks) {
            if (chunks % 256 == 0 && stopped())
                return false;
            const ssize_t r = ::read(in, buffer, sizeof buffer);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return false;
            if (r == 0)
                return true;
            for (ssize_t done = 0; done < r;) {
                const ssize_t w = ::write(out, buffer + done, size_t(r - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    return false;
                done += w;
            }
        }
    }
    return true;
}

/// How a copy is made.
struct CopyMode {
    /// Flush the data to disk first: needed when the rename replaces a file, or when the
    /// source is removed afterwards. A copy under a new name loses nothing on a crash, and
    /// a flush per file would make copying many small files many times slower than cp.
    bool durable = false;
    /// Keep the owner, the group and the exact permission bits (a move), rather than making
    /// the file this process's with the source's bits less the umask (as cp).
    bool keepOwnerAndMode = false;
};

/// Gives a moved file its owner and group back where this process may set them: root sets
/// both, another user at least a group it belongs to, as mv does. What cannot be kept does
/// not fail the move.
void keepOwner(int fd, const char* link, const struct stat& st)
{
    const auto chown = [&](uid_t uid, gid_t gid) {
        return fd >= 0 ? ::fchown(fd, uid, gid) : ::lchown(link, uid, gid);
    };
    if (chown(st.st_uid, st.st_gid) != 0)
        (void)chown(uid_t(-1), st.st_gid);
}

/// Copies `source` (following a link) to `copy`, a name that must not exist yet. A failed
/// copy removes only the file it created.
Status copyToNewFile(const NativePath& source, const NativePath& copy, CopyMode how)
{
    // Non-blocking, so a FIFO or device that took a file's place is refused rather than waited on.
    UniqueFd in(::open(source.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0)
        return Status::fromErrno(errno);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        return Status::fromErrno(errno);
    if (!S_ISREG(st.st_mode))
        return failed(ErrorKind::Io, EINVAL);
    UniqueFd out(::open(copy.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
    if (out.get() < 0)
        return Status::fromErrno(errno);
    bool ok = copyContents(in.get(), out.get(), st.st_size);
    struct stat written {};
    ok = ok && (!how.durable || ::fsync(out.get()) == 0) && ::fstat(out.get(), &written) == 0 &&
         written.st_size == st.st_size;
    if (ok && how.keepOwnerAndMode)
        keepOwner(out.get(), nullptr, st); // before the bits: a change of owner clears set-id bits
    ok = ok && (!how.keepOwnerAndMode || ::fchmod(out.get(), st.st_mode & 07777) == 0);
    const int savedErrno = errno;
    if (ok) {
        // Keep the modification time, as a copy in a file manager does.
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out.get(), times);
    }
    if (::close(out.release()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(copy.constData());
        return failed(ErrorKind::Io, savedErrno ? savedErrno : EIO);
    }
    return {};
}

/// Copies `source` to a new temporary file beside `target`, for renaming into place.
Status copyToTemporary(const NativePath& source, const NativePath& target, QByteArray& temporary, CopyMode how)
{
    temporary = temporarySibling(target);
    return copyToNewFile(source, temporary, how);
}

/// Renames without ever replacing an existing name. File systems that do not take
/// RENAME_NOREPLACE (NFS, many FUSE ones) answer EINVAL; there a hard link, which never
/// replaces either, followed by removing the old name does the same.
int renameNoReplace(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
    if (::link(from, to) != 0)
        return -1;
    if (::unlink(from) != 0) {
        const int e = errno;
        ::unlink(to);
        errno = e;
        return -1;
    }
    return 0;
}

} // namespace

Result<std::vector<DirEntry>> LocalFileSystem::list(const NativePath& folder)
{
    UniqueFd folderFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.valid())
        return Status::fromErrno(errno);
    DIR* dir = ::fdopendir(folderFd.get());
    if (!dir)
        return Status::fromErrno(errno);
    const int fd = folderFd.release(); // closedir closes it
    std::vector<DirEntry> entries;
    errno = 0;
    while (struct dirent* d = ::readdir(dir)) {
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        DirEntry entry;
        entry.name = QByteArray(name);
        switch (d->d_type) {
        case DT_REG: entry.kind = EntryKind::File; break;
        case DT_DIR: entry.kind = EntryKind::Folder; break;
        case DT_LNK:
        case DT_UNKNOWN: {
            struct stat st {};
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                entry.isSymlink = true;
                entry.kind = ::fstatat(fd, name, &st, 0) == 0 ? kindOfMode(st.st_mode) : EntryKind::Other;
            } else {
                entry.kind = kindOfMode(st.st_mode);
            }
            break;
        }
        default: entry.kind = EntryKind::Other; break;
        }
        entries.push_back(std::move(entry));
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        return Status::fromErrno(readError);
    return entries;
}

Result<FileInfo> LocalFileSystem::info(const NativePath& path, Links links)
{
    struct stat st {};
    const bool own = links == Links::Own;
    if ((own ? ::lstat(path.constData(), &st) : ::stat(path.constData(), &st)) != 0)
        return Status::fromErrno(errno);
    FileInfo fi;
    fi.mode = st.st_mode;
    fi.isSymlink = S_ISLNK(st.st_mode);
    if (fi.isSymlink) {
        struct stat target {};
        fi.kind = ::stat(path.constData(), &target) == 0 ? kindOfMode(target.st_mode) : EntryKind::Other;
    } else {
        fi.kind = kindOfMode(st.st_mode);
    }
    fi.size = st.st_size;
    fi.modified = toDateTime(st.st_mtim);
    fi.device = st.st_dev;
    fi.inode = st.st_ino;
    return fi;
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

Status LocalFileSystem::moveFile(const NativePath& file, const NativePath& destFolder)
{
    struct stat src {};
    if (::lstat(file.constData(), &src) != 0)
        return Status::fromErrno(errno);
    if (S_ISDIR(src.st_mode))
        return failed(ErrorKind::Io, EISDIR);
    if (!folderExists(destFolder))
        return failed(ErrorKind::NotAFolder, ENOTDIR);
    const NativePath target = joinPath(destFolder, baseName(file));
    struct stat dst {};
    if (::lstat(target.constData(), &dst) == 0)
        return (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) ? failed(ErrorKind::SameFile, 0)
                                                                      : failed(ErrorKind::AlreadyExists, EEXIST);
    if (renameNoReplace(file.constData(), target.constData()) == 0)
        return {};
    if (errno == EEXIST)
        return failed(ErrorKind::AlreadyExists, EEXIST);
    if (errno != EXDEV)
        return Status::fromErrno(errno);

    // Across file systems: place a verified copy under the final name without replacing
    // anything, and only then remove the source. The copy is renamed into place rather than
    // linked: FAT and exFAT, the usual file systems of USB sticks, have no hard links.
    QByteArray temporary;
    if (S_ISLNK(src.st_mode)) {
        QByteArray linkTarget(PATH_MAX + 1, Qt::Uninitialized);
        const ssize_t n = ::readlink(file.constData(), linkTarget.data(), size_t(linkTarget.size()));
        if (n < 0 || n > PATH_MAX)
            return Status::fromErrno(n < 0 ? errno : ENAMETOOLONG);
        linkTarget.truncate(n);
        if (::symlink(linkTarget.constData(), target.constData()) != 0)
            return errno == EEXIST ? failed(ErrorKind::AlreadyExists, EEXIST) : Status::fromErrno(errno);
        keepOwner(-1, target.constData(), src);
    } else {
        if (const Status copied = copyToTemporary(file, target, temporary, {true, true}); !copied.ok())
            return copied;
        if (renameNoReplace(temporary.constData(), target.constData()) != 0) {
            const int e = errno;
            ::unlink(temporary.constData());
            return e == EEXIST ? failed(ErrorKind::AlreadyExists, EEXIST) : Status::fromErrno(e);
        }
    }
    if (::unlink(file.constData()) != 0) {
        // The copy stays; losing neither is better than losing one.
        return Status::fromErrno(errno);
    }
    return {};
}

Status LocalFileSystem::copyFile(const NativePath& file, const NativePath& destFolder, bool overwrite)
{
    struct stat src {};
    if (::stat(file.constData(), &src) != 0)
        return Status::fromErrno(errno);
    if (!S_ISREG(src.st_mode))
        return failed(ErrorKind::Io, S_ISDIR(src.st_mode) ? EISDIR : EINVAL);
    if (!folderExists(destFolder))
        return failed(ErrorKind::NotAFolder, ENOTDIR);
    const NativePath target = joinPath(destFolder, baseName(file));
    struct stat dst {};
    bool replaces = false;
    if (::stat(target.constData(), &dst) == 0) {
        replaces = true;
        if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)
            return failed(ErrorKind::SameFile, 0);
        if (!overwrite)
            return failed(ErrorKind::AlreadyExists, EEXIST);
        if (S_ISDIR(dst.st_mode))
            return failed(ErrorKind::Io, EISDIR);
    } else if (::lstat(target.constData(), &dst) == 0) {
        if (!overwrite)
            return failed(ErrorKind::AlreadyExists, EEXIST); // a dangling link holds the name
        replaces = true;
    }
    if (!replaces) {
        // Nothing to replace: the copy goes under a temporary name and is then put in place
        // without replacing, so a process killed mid-copy never leaves a short file under the
        // final name. A name that appeared meanwhile is never taken over.
        QByteArray temporary;
        if (const Status copied = copyToTemporary(file, target, temporary, {}); !copied.ok())
            return copied;
        if (renameNoReplace(temporary.constData(), target.constData()) == 0)
            return {};
        const int e = errno;
        ::unlink(temporary.constData());
        if (e != EEXIST)
            return Status::fromErrno(e);
        if (!overwrite)
            return failed(ErrorKind::AlreadyExists, EEXIST);
    }
    // Replacing: the new copy is complete and on disk before the old file goes.
    QByteArray temporary;
    if (const Status copied = copyToTemporary(file, target, temporary, {true, false}); !copied.ok())
        return copied;
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int e = errno;
        ::unlink(temporary.constData());
        return Status::fromErrno(e);
    }
    return {};
}

Status LocalFileSystem::deleteFile(const NativePath& file, bool force)
{
    struct stat st {};
    if (::lstat(file.constData(), &st) != 0)
        return Status::fromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return failed(ErrorKind::Io, EISDIR);
    // Read-only by mode bits, as rm judges it: root passes every access() test.
    if (!force && !S_ISLNK(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
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
    const QByteArray temporary = temporarySibling(path);
    mode_t mode = 0666;
    struct stat existing {};
    if (::stat(path.constData(), &existing) == 0)
        mode = existing.st_mode & 07777;
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
    if (::fsync(out.get()) != 0 || ::close(out.release()) != 0 ||
        ::rename(temporary.constData(), path.constData()) != 0) {
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

} // namespace korvane::platform
