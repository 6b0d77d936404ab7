#include "platform/localfilesystem.h"
#include "platform/localfilesystemdetail.h"

#include "platform/runcontrol.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <vector>

// Copies, moves and replacements: the data goes into an unnamed or hidden file that gets its
// name only once complete.

namespace korvane::platform {

using namespace localfs;

namespace {

QString sourceChangedText()
{
    return QStringLiteral("源文件在复制时改变");
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

constexpr qint64 kChunk = 4 << 20;

/// Copies all of `in` to `out` in the kernel where it can (a file system that shares extents,
/// btrfs or xfs, then shares them), falling back to read/write. Returns the bytes copied, -1 on
/// failure with errno set.
qint64 copyContents(int in, int out, qint64 size)
{
    // Chunks small enough that a stopped run ends within a fraction of a second; the caller
    // drops the partial copy.
    const RunControl* run = RunControl::current();
    const auto stopped = [run] {
        if (!run || !run->stopRequested())
            return false;
        errno = ECANCELED;
        return true;
    };
    // A file of more than one chunk shows its bytes, so that a single large copy moves the bar.
    RunControl::PartOfItem part(size > kChunk ? RunControl::current() : nullptr, size);
    qint64 done = 0;
    while (done < size) {
        if (stopped())
            return -1;
        part.reach(done);
        const ssize_t n =
            ::copy_file_range(in, nullptr, out, nullptr, size_t(std::min<qint64>(size - done, kChunk)), 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0)
            return done; // the file shrank while copying; the caller's size check catches it
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
            return -1;
        // Fall back to a plain loop from the current offsets.
        char buffer[1 << 16];
        for (qint64 chunks = 0;; ++chunks) {
            if (chunks % 256 == 0) {
                if (stopped())
                    return -1;
                part.reach(done);
            }
            const ssize_t r = ::read(in, buffer, sizeof buffer);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return -1;
            if (r == 0)
                return done;
            if (!writeAll(out, buffer, size_t(r)))
                return -1;
            done += r;
        }
    }
    return done;
}

/// How a copy is made.
struct CopyMode {
    /// Flush the data to disk before the copy gets its name: only for a move, whose source
    /// is removed afterwards. A copy's source is still there after a crash, so a copy is never
    /// flushed, whether it replaces a file or not (as cp and rsync).
    bool durable = false;
    /// Keep the owner, the group and the exact permission bits (a move), rather than making
    /// the file this process's with the source's bits less the umask (as cp).
    bool keepOwnerAndMode = false;
    /// Put the copy in place of an existing file of the name, rather than never replacing.
    bool replace = false;
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

/// Links an unnamed file (O_TMPFILE) to `name` in `folderFd`; never replaces. AT_EMPTY_PATH
/// needs a capability most users lack (ENOENT without it); the descriptor's /proc entry works for all.
int linkUnnamed(int fd, int folderFd, const char* name)
{
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", folderFd, name, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT && errno != EPERM)
            return -1;
    }
    char proc[40];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, proc, folderFd, name, AT_SYMLINK_FOLLOW) != 0)
        return -1;
    emptyPathRefused.store(true, std::memory_order_relaxed);
    return 0;
}

/// A copy being written. Where the target's file system has unnamed files (O_TMPFILE: ext4,
/// xfs, btrfs, tmpfs) the data goes into one, which the kernel frees if the process dies, so
/// nothing is ever left behind. Elsewhere (FAT, exFAT, NFS, most FUSE systems) it goes to a
/// hidden temporary name beside the target, locked while it is written, and removed again when
/// the copy fails or stops. A temporary name records the mode the file is made with, which the
/// clean-up of dead copies' temporaries checks.
class PendingCopy {
public:
    PendingCopy() = default;
    PendingCopy(const PendingCopy&) = delete;
    PendingCopy& operator=(const PendingCopy&) = delete;
    ~PendingCopy()
    {
        m_fd.reset();
        if (!m_temporary.isEmpty())
            ::unlink(m_temporary.constData());
    }

    /// Creates the file in the target's folder, `folderFd`, with `mode` less the umask; errno on failure.
    bool open(int folderFd, const NativePath& target, mode_t mode)
    {
        m_mode = mode & ~processUmask();
        m_fd.reset(::openat(folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (m_fd.valid())
            return true;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return false;
        m_temporary = temporarySibling(target, m_mode);
        m_fd.reset(::open(m_temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!m_fd.valid()) {
            m_temporary.clear();
            return false;
        }
        // The clean-up on another machine sharing a network file system sees the lock, not our
        // open file; here the open file itself keeps it away.
        (void)::flock(m_fd.get(), LOCK_EX);
        return true;
    }

    int fd() const { return m_fd.get(); }

    /// Gives the complete file the name `target` (`name` in `folderFd`): never replacing an
    /// existing file unless `replace`, and then only in one step, the old file staying whole
    /// until then. -1 and errno on failure (EEXIST: the name is taken).
    int place(int folderFd, const QByteArray& name, const NativePath& target, bool replace)
    {
        if (!m_temporary.isEmpty()) {
            // Closed first: NFS reports a failed write on close.
            if (::close(m_fd.release()) != 0)
                return -1;
            const int placed = replace ? ::renameat(AT_FDCWD, m_temporary.constData(), AT_FDCWD, target.constData())
                                       : renameNoReplace(m_temporary.constData(), target.constData());
            if (placed == 0)
                m_temporary.clear();
            return placed;
        }
        if (!replace)
            return linkUnnamed(m_fd.get(), folderFd, name.constData());
        // A link never replaces: the file gets a hidden name first, then takes the target's. A
        // process killed in between leaves a temporary that the clean-up can prove dead: it has
        // the mode its name records, and no one has it open any more.
        const QByteArray hidden = temporaryName(name, m_mode);
        if (linkUnnamed(m_fd.get(), folderFd, hidden.constData()) != 0)
            return -1;
        if (::renameat(folderFd, hidden.constData(), folderFd, name.constData()) != 0) {
            const int e = errno;
            ::unlinkat(folderFd, hidden.constData(), 0);
            errno = e;
            return -1;
        }
        return 0;
    }

private:
    UniqueFd m_fd;
    mode_t m_mode = 0;      ///< the mode the file is made with, as far as the umask is known
    QByteArray m_temporary; ///< the hidden name, where the file system has no unnamed files
};

/// Which folder of a copy is held open: each thread holds its last source's and target's.
enum class Held { Source, Target };

/// The target (or source) folder of this thread's last copy, held open so that each file's
/// name is found there without walking the whole path again. It is used only while the path
/// leads to the same folder (device and inode). The path is looked at again when it changes, when `recheck`, and
/// otherwise at most every tenth of a second: a batch of small copies does not walk it for every
/// file, and a folder renamed or replaced meanwhile is noticed within that time (cp -t holds its
/// folder for the whole call). -1 and errno on failure, ENOTDIR when the path is no folder.
/// `looked` tells whether the path was looked at in this call.
int heldFolderFd(Held which, const NativePath& folder, bool recheck, bool* looked = nullptr)
{
    struct Folder {
        NativePath path;
        dev_t device = 0;
        ino_t inode = 0;
        UniqueFd fd;
        struct timespec checked {};
    };
    thread_local Folder folders[2];
    Folder& held = folders[int(which)];
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now); // from the vDSO: no system call
    const qint64 age = (qint64(now.tv_sec) - held.checked.tv_sec) * 1000000000 + (now.tv_nsec - held.checked.tv_nsec);
    if (looked)
        *looked = true;
    if (!recheck && held.fd.valid() && held.path == folder && age < 100000000) {
        if (looked)
            *looked = false;
        return held.fd.get();
    }
    struct stat st {};
    if (::stat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        held.fd.reset();
        errno = ENOTDIR;
        return -1;
    }
    if (!held.fd.valid() || held.device != st.st_dev || held.inode != st.st_ino || held.path != folder) {
        held.fd.reset(::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat opened {};
        if (held.fd.valid() &&
            (::fstat(held.fd.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino))
            held.fd.reset(); // the folder changed under us: let the caller fail on the path
        if (!held.fd.valid())
            return -1;
        held.path = folder;
        held.device = st.st_dev;
        held.inode = st.st_ino;
    }
    held.checked = now;
    return held.fd.get();
}

/// Whether the held folder `fd` is still the one `path` leads to and still exists.
bool heldFolderIsCurrent(int fd, const NativePath& path)
{
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && held.st_nlink > 0 && ::stat(path.constData(), &named) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

/// Opens a file to copy, following a link. With `held`, through its folder held open: a walk
/// that copies a folder's files does not walk the folder's path again for each; where the held
/// folder was not looked at in this call and has no such file, the path decides. A move opens
/// by the path it removes afterwards. Non-blocking, so a FIFO or device that took a file's
/// place is refused rather than waited on.
Status openSource(const NativePath& source, UniqueFd& in, struct stat& st, bool held)
{
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    bool looked = false;
    const int folderFd = held ? heldFolderFd(Held::Source, parentFolder(source), false, &looked) : -1;
    in.reset(folderFd >= 0 ? ::openat(folderFd, baseName(source).constData(), kFlags) : -1);
    if (!in.valid() && (folderFd < 0 || !looked))
        in.reset(::open(source.constData(), kFlags));
    if (!in.valid())
        return Status::fromErrno(errno);
    if (::fstat(in.get(), &st) != 0)
        return Status::fromErrno(errno);
    if (!S_ISREG(st.st_mode))
        return failed(ErrorKind::Io, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return {};
}

/// Copies the open file `in` (described by `st`) to `name` in `folderFd` (the path `target`),
/// which is replaced only with `how.replace`. Nothing is ever left under the target's name but
/// a complete copy; a copy that fails or is stopped (ECANCELED) leaves nothing behind.
Status copyToName(int in, const struct stat& st, int folderFd, const QByteArray& name, const NativePath& target,
                  CopyMode how)
{
    PendingCopy out;
    if (!out.open(folderFd, target, st.st_mode & 07777))
        return Status::fromErrno(errno);
    const qint64 copied = copyContents(in, out.fd(), st.st_size);
    if (copied < 0)
        return Status::fromErrno(errno ? errno : EIO);
    // A source written to meanwhile (grown, shrunk or changed in place) would give a copy that
    // is neither its old nor its new content.
    struct stat after {};
    if (copied != st.st_size || ::fstat(in, &after) != 0 || after.st_size != st.st_size ||
        after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec)
        return Status::failure(ErrorKind::Io, sourceChangedText(), EIO);
    bool ok = !how.durable || ::fsync(out.fd()) == 0;
    if (ok && how.keepOwnerAndMode)
        keepOwner(out.fd(), nullptr, st); // before the bits: a change of owner clears set-id bits
    ok = ok && (!how.keepOwnerAndMode || ::fchmod(out.fd(), st.st_mode & 07777) == 0);
    if (ok) {
        // Keep the modification time, as a copy in a file manager does.
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out.fd(), times);
        ok = out.place(folderFd, name, target, how.replace) == 0;
    }
    if (!ok)
        return Status::fromErrno(errno ? errno : EIO);
    return {};
}

/// Writes all of the open file `from` into `to` from their starts. Not copyContents(): putting a
/// document back from its backup must not end at a run's stop, nor move the run's bar.
bool copyOpenFile(int from, int to)
{
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!writeAll(to, buffer, size_t(n)))
            return false;
    }
}

/// Reads up to `size` bytes, fewer only at the end of the file; -1 on failure.
ssize_t readFully(int fd, char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return ssize_t(done);
}

} // namespace

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

    // Across file systems: place a verified copy, flushed to disk, under the final name
    // without replacing anything, and only then remove the source.
    removeStaleTemporaries(destFolder);
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
        UniqueFd in;
        struct stat st {};
        if (const Status opened = openSource(file, in, st, false); !opened.ok())
            return opened;
        const int folderFd = heldFolderFd(Held::Target, destFolder, true);
        if (folderFd < 0)
            return Status::fromErrno(errno);
        const Status copied =
            copyToName(in.get(), st, folderFd, baseName(file), target, {.durable = true, .keepOwnerAndMode = true});
        if (!copied.ok())
            return copied;
    }
    if (::unlink(file.constData()) != 0) {
        // The copy stays; losing neither is better than losing one.
        return Status::fromErrno(errno);
    }
    return {};
}

namespace {

/// LocalFileSystem::copyFile; `recheck` looks at the target folder's path even where the held
/// folder was checked a moment ago.
Status copyIntoFolder(const NativePath& file, const NativePath& destFolder, bool overwrite, bool* replaced,
                      bool recheck)
{
    if (replaced)
        *replaced = false;
    UniqueFd in;
    struct stat src {};
    if (const Status opened = openSource(file, in, src, true); !opened.ok())
        return opened;
    bool looked = false;
    const int folderFd = heldFolderFd(Held::Target, destFolder, recheck, &looked);
    if (folderFd < 0)
        return errno == ENOTDIR ? failed(ErrorKind::NotAFolder, ENOTDIR) : Status::fromErrno(errno);
    const QByteArray name = baseName(file);
    const NativePath target = joinPath(destFolder, name);
    struct stat dst {};
    bool replaces = false;
    if (::fstatat(folderFd, name.constData(), &dst, AT_SYMLINK_NOFOLLOW) == 0) {
        replaces = true;
        // A link is judged by the file it leads to; a dangling one holds the name all the same.
        const bool dangling = S_ISLNK(dst.st_mode) && ::fstatat(folderFd, name.constData(), &dst, 0) != 0;
        if (!dangling && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)
            return failed(ErrorKind::SameFile, 0);
        if (!overwrite)
            return failed(ErrorKind::AlreadyExists, EEXIST);
        if (!dangling && S_ISDIR(dst.st_mode))
            return failed(ErrorKind::Io, EISDIR);
    }
    removeStaleTemporaries(destFolder);
    if (replaced)
        *replaced = replaces;
    const Status copied = copyToName(in.get(), src, folderFd, name, target, {.replace = replaces});
    if (!looked && !copied.ok() && !heldFolderIsCurrent(folderFd, destFolder)) {
        // The held folder was removed or replaced since its path was looked at: once more, there.
        in.reset();
        return copyIntoFolder(file, destFolder, overwrite, replaced, true);
    }
    if (copied.kind() != ErrorKind::AlreadyExists || !overwrite)
        return copied;
    // The name was taken meanwhile: replace it, as asked, from the start of the file again.
    if (replaced)
        *replaced = true;
    if (::lseek(in.get(), 0, SEEK_SET) != 0)
        return Status::fromErrno(errno);
    return copyToName(in.get(), src, folderFd, name, target, {.replace = true});
}

} // namespace

Status LocalFileSystem::copyFile(const NativePath& file, const NativePath& destFolder, bool overwrite, bool* replaced)
{
    return copyIntoFolder(file, destFolder, overwrite, replaced, false);
}

Status LocalFileSystem::copyInto(const NativePath& from, const NativePath& to)
{
    const UniqueFd in(::open(from.constData(), O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        return Status::fromErrno(errno);
    UniqueFd out(::open(to.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!out.valid())
        return Status::fromErrno(errno);
    const bool copied = copyOpenFile(in.get(), out.get()) && ::fsync(out.get()) == 0;
    const int e = errno;
    // The close reports write-back failures the copy did not see.
    if (::close(out.release()) != 0)
        return Status::fromErrno(errno);
    return copied ? Status() : Status::fromErrno(e ? e : EIO);
}

Result<bool> LocalFileSystem::sameContents(const NativePath& a, const NativePath& b)
{
    const UniqueFd fa(::open(a.constData(), O_RDONLY | O_CLOEXEC));
    if (!fa.valid())
        return Status::fromErrno(errno);
    const UniqueFd fb(::open(b.constData(), O_RDONLY | O_CLOEXEC));
    if (!fb.valid())
        return Status::fromErrno(errno);
    static constexpr size_t kPiece = 65536;
    std::vector<char> x(kPiece), y(kPiece);
    // Two large equal files take long to compare: a stopped run must not wait for the end.
    const RunControl* run = RunControl::current();
    for (;;) {
        if (run && run->stopRequested())
            return Status::failure(ErrorKind::Cancelled, {});
        const ssize_t n = readFully(fa.get(), x.data(), kPiece);
        const ssize_t m = readFully(fb.get(), y.data(), kPiece);
        if (n < 0 || m < 0)
            return Status::fromErrno(errno);
        if (n != m || std::memcmp(x.data(), y.data(), size_t(n)) != 0)
            return false;
        if (size_t(n) < kPiece)
            return true;
    }
}

Status LocalFileSystem::renameOver(const NativePath& from, const NativePath& to)
{
    struct stat st {};
    if (::stat(to.constData(), &st) != 0)
        return Status::fromErrno(errno);
    if (st.st_nlink != 1 || (::geteuid() != 0 && st.st_uid != ::geteuid()) ||
        ::listxattr(to.constData(), nullptr, 0) != 0) // an ACL or other attributes would not follow a new inode
        return Status::failure(ErrorKind::Failed, QStringLiteral("文件有多个名称、属于其他用户或带有扩展属性"));
    const UniqueFd fd(::open(from.constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fchown(fd.get(), st.st_uid, st.st_gid) != 0 || ::fchmod(fd.get(), st.st_mode & 07777) != 0 ||
        ::fsync(fd.get()) != 0 || ::rename(from.constData(), to.constData()) != 0)
        return Status::fromErrno(errno);
    (void)sync(parentFolder(to)); // the rename is done; a later crash may only undo it
    return {};
}

} // namespace korvane::platform
