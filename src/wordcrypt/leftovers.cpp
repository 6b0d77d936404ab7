#include "wordcrypt/leftovers.h"

#include <QCryptographicHash>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::wordcrypt {

using platform::Status;
using platform::UniqueFd;

namespace {

constexpr char kJournalHeader[] = "korvane-journal 1";
constexpr char kWorkHeader[] = "korvane-work 1";
constexpr qint64 kRecordLimit = 4096; // a record of ours is a few lines

/// A file or folder this user made with `mode`, not a link (the descriptor was opened without
/// following one).
bool ours(const struct stat& st, mode_t mode)
{
    return st.st_uid == ::geteuid() && (st.st_mode & 07777) == mode;
}

/// A name of a file beside the record, as recorded; empty when it is anything else.
QByteArray recordedName(const QByteArray& field)
{
    const QByteArray name = QByteArray::fromPercentEncoding(field);
    return name.isEmpty() || name.contains('/') || name == "." || name == ".." ? QByteArray() : name;
}

QByteArray nameOf(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1).toPercentEncoding();
}

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : path.left(slash);
}

/// A record of ours, opened at `name` in `folder` (AT_FDCWD: a path): a regular file of this
/// user's, mode 0600, small enough to be one. Its lines, and its descriptor in `held`.
std::optional<QList<QByteArray>> readRecord(int folder, const QByteArray& name, UniqueFd* held, struct stat* st)
{
    UniqueFd fd(::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode) || !ours(*st, 0600) ||
        st->st_size > kRecordLimit)
        return std::nullopt;
    QByteArray bytes(kRecordLimit, '\0');
    const ssize_t n = ::pread(fd.get(), bytes.data(), size_t(bytes.size()), 0);
    if (n < 0)
        return std::nullopt;
    bytes.truncate(n);
    *held = std::move(fd);
    return bytes.split('\n');
}

/// Opens a recorded file of ours without following a link; invalid when it is not one.
UniqueFd openRecorded(const QByteArray& path, struct stat* st)
{
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.valid() && (::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode) || !ours(*st, 0600)))
        fd.reset();
    return fd;
}

/// SHA-256 of everything `fd` holds, as hex; empty when a read fails.
QByteArray checksumOf(int fd)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray piece(1 << 20, Qt::Uninitialized);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, piece.data(), size_t(piece.size()), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {};
        if (n == 0)
            return hash.result().toHex();
        hash.addData(QByteArrayView(piece.constData(), n));
        at += n;
    }
}

/// Adds the names in the folder that start with `prefix`.
void namesStarting(int folder, const QByteArray& prefix, std::vector<QByteArray>* names)
{
    if (DIR* dir = ::fdopendir(::dup(folder))) {
        while (const dirent* entry = ::readdir(dir)) {
            if (QByteArrayView(entry->d_name).startsWith(prefix))
                names->emplace_back(entry->d_name);
        }
        ::closedir(dir);
    }
}

QByteArray deviceAndInode(quint64 device, quint64 inode)
{
    return QByteArray::number(device) + ' ' + QByteArray::number(inode);
}

/// Writes all of `bytes` at the descriptor's offset.
bool writeAll(int fd, const QByteArray& bytes)
{
    return ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
}

/// A record at `path` that appears whole: written, mode 0600 and locked before it is linked into
/// place (`O_TMPFILE`), so a kill never leaves one half made. Where the file system or /proc
/// does not allow that, it is made with `O_EXCL` and written at once.
platform::Result<UniqueFd> createRecord(const QByteArray& path, const QByteArray& content)
{
    UniqueFd fd(::open(folderOf(path).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.valid() && ::fchmod(fd.get(), 0600) == 0 && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 &&
        writeAll(fd.get(), content)) {
        const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd.get());
        if (::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW) == 0)
            return fd;
        if (errno == EEXIST)
            return Status::fromErrno(errno);
    }
    fd.reset(::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return Status::fromErrno(errno);
    (void)::fchmod(fd.get(), 0600); // exact, whatever the umask; a file system without modes keeps its own
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !writeAll(fd.get(), content)) {
        const int e = errno ? errno : EIO;
        ::unlink(path.constData());
        return Status::fromErrno(e);
    }
    return fd;
}

} // namespace

bool mayAdopt(quint32 documentOwner)
{
    return documentOwner == ::geteuid();
}

platform::Result<std::unique_ptr<WriteJournal>> WriteJournal::create(const QByteArray& path,
                                                                     const platform::FileInfo& document)
{
    platform::Result<UniqueFd> made = createRecord(path, QByteArray(kJournalHeader) + "\ndocument " +
                                                             deviceAndInode(document.device, document.inode) + '\n');
    if (!made)
        return made.status();
    return std::unique_ptr<WriteJournal>(new WriteJournal(path, std::move(*made)));
}

Status WriteJournal::append(const QByteArray& line, bool flush)
{
    if (!writeAll(m_fd.get(), line + '\n'))
        return Status::fromErrno(errno ? errno : EIO);
    return flush && ::fsync(m_fd.get()) != 0 ? Status::fromErrno(errno) : Status();
}

Status WriteJournal::intend(Role role, const QByteArray& file)
{
    return append((role == Role::Backup ? "backup " : "result ") + nameOf(file));
}

Status WriteJournal::made(Role role, const QByteArray& file)
{
    // Not held to the checks of a later run: on a file system that keeps no modes (FAT, SMB)
    // the write still goes ahead; what a kill leaves there is only never taken for ours.
    struct stat st {};
    const UniqueFd fd(::open(file.constData(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return Status::fromErrno(errno);
    if (role == Role::Result)
        return append("result-made " + QByteArray::number(qint64(st.st_size)), true);
    const QByteArray checksum = checksumOf(fd.get());
    if (checksum.isEmpty())
        return Status::fromErrno(errno);
    return append("backup-made " + QByteArray::number(qint64(st.st_size)) + ' ' + checksum);
}

void WriteJournal::settled()
{
    (void)append("settled");
}

void WriteJournal::kept()
{
    (void)append("kept", true);
}

void WriteJournal::discard()
{
    ::unlink(m_path.constData());
}

Proof readJournal(const QByteArray& path, const platform::FileInfo& document, JournalRecord* record)
{
    *record = {};
    UniqueFd fd;
    struct stat st {};
    const std::optional<QList<QByteArray>> lines = readRecord(AT_FDCWD, path, &fd, &st);
    if (!lines || lines->value(0) != kJournalHeader ||
        lines->value(1) != "document " + deviceAndInode(document.device, document.inode))
        return Proof::NotOurs;
    const QByteArray folder = folderOf(path) + '/';
    for (const QByteArray& line : lines->mid(2)) {
        const QList<QByteArray> f = line.split(' ');
        const bool backup = f[0].startsWith("backup");
        JournalRecord::File& file = backup ? record->backup : record->result;
        if ((f[0] == "backup" || f[0] == "result") && f.size() == 2 && !recordedName(f[1]).isEmpty()) {
            file.path = folder + recordedName(f[1]);
        } else if ((f[0] == "backup-made" && f.size() == 3) || (f[0] == "result-made" && f.size() == 2)) {
            file.size = f[1].toLongLong();
            file.checksum = f.value(2);
        } else if (line == "kept" || line == "settled") {
            (line == "kept" ? record->kept : record->settled) = true;
        } else if (!line.isEmpty()) {
            return Proof::NotOurs;
        }
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? Proof::Busy : Proof::NotOurs;
    return Proof::Ours;
}

bool matchesRecord(const JournalRecord::File& file)
{
    struct stat st {};
    const UniqueFd fd = file.path.isEmpty() || file.size < 0 ? UniqueFd() : openRecorded(file.path, &st);
    return fd.valid() && st.st_size == file.size && (file.checksum.isEmpty() || checksumOf(fd.get()) == file.checksum);
}

void removeRecorded(const JournalRecord::File& file)
{
    struct stat st {};
    if (!file.path.isEmpty() && ::lstat(file.path.constData(), &st) == 0 && S_ISREG(st.st_mode) && ours(st, 0600) &&
        (file.size < 0 || st.st_size == file.size))
        ::unlink(file.path.constData());
}

platform::Result<UniqueFd> recordWorkFolder(const QByteArray& folder, const std::vector<QByteArray>& files)
{
    QByteArray text = QByteArray(kWorkHeader) + '\n';
    for (const QByteArray& name : files)
        text += "file " + name.toPercentEncoding() + '\n';
    return createRecord(folder + kRecordSuffix, text);
}

void removeAbandonedWorkFolder(const QByteArray& record, quint32 documentOwner)
{
    UniqueFd held;
    struct stat recordStat {};
    const std::optional<QList<QByteArray>> lines =
        mayAdopt(documentOwner) ? readRecord(AT_FDCWD, record, &held, &recordStat) : std::nullopt;
    if (!lines || lines->value(0) != kWorkHeader || !record.endsWith(kRecordSuffix) ||
        ::flock(held.get(), LOCK_EX | LOCK_NB) != 0)
        return; // not ours, or a run is working in it
    const QByteArray folder = record.chopped(sizeof kRecordSuffix - 1);
    const UniqueFd dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir.valid()) {
        if (errno == ENOENT) // killed before it made the folder
            ::unlink(record.constData());
        return;
    }
    if (::fstat(dir.get(), &st) != 0 || !ours(st, 0700) || ::flock(dir.get(), LOCK_EX | LOCK_NB) != 0)
        return;
    std::vector<QByteArray> names;
    for (const QByteArray& line : lines->mid(1)) {
        const QByteArray name = line.startsWith("file ") ? recordedName(line.mid(5)) : QByteArray();
        if (name.size() > 1 && name.endsWith('*')) // a library's temporaries: every name starting so
            namesStarting(dir.get(), name.chopped(1), &names);
        else if (!name.isEmpty())
            names.push_back(name);
    }
    for (const QByteArray& name : names) {
        struct stat file {};
        if (::fstatat(dir.get(), name.constData(), &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode) &&
            file.st_uid == ::geteuid())
            ::unlinkat(dir.get(), name.constData(), 0);
    }
    // Anything else in it keeps the folder, and the record, for a later look.
    if (::rmdir(folder.constData()) == 0)
        ::unlink(record.constData());
}

} // namespace korvane::wordcrypt
