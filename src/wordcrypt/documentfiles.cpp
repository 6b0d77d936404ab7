#include "wordcrypt/documentfiles.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvane::wordcrypt {

using platform::FileSystem;
using platform::Status;

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

/// Whether both files could be read and hold the same bytes.
bool same(FileSystem& fs, const QByteArray& a, const QByteArray& b)
{
    const platform::Result<bool> compared = fs.sameContents(a, b);
    return compared && *compared;
}

/// `from` copied into the existing `to` and read back equal.
bool copiedAndSame(FileSystem& fs, const QByteArray& from, const QByteArray& to)
{
    return fs.copyInto(from, to) && same(fs, from, to);
}

/// Removes a leftover file; one that is gone already is fine.
void removeFile(FileSystem& fs, const QByteArray& path)
{
    (void)fs.deleteFile(path, true);
}

/// The result under the staging name `written`: a second name where the file system has them,
/// else a copy in a new file only we may read.
Status stageResult(FileSystem& fs, const QByteArray& result, const QByteArray& written)
{
    if (fs.link(result, written))
        return {};
    const platform::Result<std::unique_ptr<platform::HeldLock>> made = fs.createExclusive(written, 0600);
    return made ? fs.copyInto(result, written) : made.status();
}

} // namespace

Status replaceDocument(FileSystem& fs, const QByteArray& document, const QByteArray& result, Replacement* done)
{
    *done = {};
    if (fs.renameOver(result, document))
        return {};
    const QByteArray prefix = leftoverPrefix(document) + QByteArray::number(QRandomGenerator::global()->generate(), 36);
    const QByteArray backup = prefix + ".bak";
    const QByteArray written = prefix + ".new";
    // Held from before it has content until the document is written, so a recovery by another
    // run neither repairs from it nor takes it for a stale one.
    const platform::Result<std::unique_ptr<platform::HeldLock>> held = fs.createExclusive(backup, 0600);
    if (!held)
        return held.status();
    Status staged = fs.copyInto(document, backup);
    if (staged)
        staged = stageResult(fs, result, written);
    if (!staged) {
        removeFile(fs, written);
        removeFile(fs, backup);
        return staged;
    }
    (void)fs.sync(folderOf(document));
    const auto removeLeftovers = [&] {
        removeFile(fs, written);
        removeFile(fs, backup);
    };
    if (copiedAndSame(fs, written, document)) {
        removeLeftovers();
        done->kind = Replacement::InPlace;
        return {};
    }
    if (copiedAndSame(fs, backup, document)) {
        removeLeftovers();
        done->kind = Replacement::Restored;
        return {};
    }
    removeFile(fs, written); // without its result, a later run only names the backup
    done->kind = Replacement::Kept;
    done->backup = backup;
    return {};
}

namespace {

constexpr char kWorkPrefix[] = ".korvane-";
constexpr qsizetype kWorkNameSize = sizeof kWorkPrefix - 1 + 6;

/// Names in the document's folder for which `wanted` is true, as paths; none when it cannot be listed.
template <class Wanted> std::vector<QByteArray> namesBeside(FileSystem& fs, const QByteArray& document, Wanted wanted)
{
    const QByteArray folder = folderOf(document);
    std::vector<QByteArray> found;
    if (const auto entries = fs.list(folder)) {
        for (const platform::DirEntry& entry : *entries) {
            if (wanted(entry))
                found.push_back(folder + '/' + entry.name);
        }
    }
    return found;
}

/// Our work folders beside `document` that no process holds: left by a run that was killed.
void removeAbandonedWorkFolders(FileSystem& fs, const QByteArray& document)
{
    const std::vector<QByteArray> found = namesBeside(fs, document, [](const platform::DirEntry& entry) {
        return entry.name.size() == kWorkNameSize && entry.name.startsWith(kWorkPrefix);
    });
    for (const QByteArray& path : found) {
        const platform::Result<std::unique_ptr<platform::HeldLock>> held = fs.lock(path, false);
        const platform::Result<platform::FileInfo> info = fs.info(path, platform::Links::Own);
        if (!held || !info || info->kind != platform::EntryKind::Folder || info->isSymlink ||
            info->owner != ::geteuid())
            continue; // not ours, or a run is working in it
        (void)fs.removeFlatFolder(path);
    }
}

/// A name like mkdtemp's: six letters or digits.
QByteArray randomWorkName()
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name = kWorkPrefix;
    for (int i = 0; i < 6; ++i)
        name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
    return name;
}

} // namespace

platform::Result<std::unique_ptr<WorkFolder>> WorkFolder::create(FileSystem& fs, const QByteArray& document)
{
    Status failure = Status::fromErrno(EAGAIN);
    // A name taken meanwhile, or a folder that another run's repair took before it was locked:
    // then make another.
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray path = document.left(document.lastIndexOf('/') + 1) + randomWorkName();
        platform::Result<std::unique_ptr<platform::HeldLock>> lock =
            fs.createExclusive(path, 0700, platform::EntryKind::Folder);
        if (lock)
            return std::unique_ptr<WorkFolder>(new WorkFolder(fs, std::move(path), std::move(*lock)));
        failure = lock.status();
        if (failure.kind() != platform::ErrorKind::AlreadyExists && failure.errnum() != EAGAIN)
            return failure;
    }
    return failure;
}

WorkFolder::~WorkFolder()
{
    (void)m_fs.removeFlatFolder(m_path); // still locked: no repair touches it meanwhile
}

Recovery recoverInterruptedWrite(FileSystem& fs, const QByteArray& document)
{
    removeAbandonedWorkFolders(fs, document);
    Recovery found;
    const QByteArray prefix = leftoverPrefix(document);
    const QByteArray namePrefix = prefix.mid(prefix.lastIndexOf('/') + 1);
    const std::vector<QByteArray> backups = namesBeside(fs, document, [&](const platform::DirEntry& entry) {
        return entry.name.startsWith(namePrefix) && entry.name.endsWith(".bak");
    });
    for (const QByteArray& backup : backups) {
        const QByteArray written = backup.left(backup.size() - 4) + ".new";
        const platform::Result<std::unique_ptr<platform::HeldLock>> held = fs.lock(backup, false);
        if (!held && held.status().errnum() == EWOULDBLOCK)
            return {Recovery::Busy, backup};
        if (!held)
            continue;
        if (!fs.info(written, platform::Links::Follow)) {
            // Killed before the result was placed: a backup equal to the document is stale.
            if (!same(fs, backup, document))
                return {Recovery::BackupKept, backup};
            found.kind = std::max(found.kind, Recovery::Finished);
        } else if (same(fs, written, document)) {
            found.kind = std::max(found.kind, Recovery::Finished);
        } else if (copiedAndSame(fs, backup, document)) {
            found.kind = Recovery::Restored;
        } else {
            return {Recovery::BackupKept, backup};
        }
        removeFile(fs, written);
        removeFile(fs, backup);
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
