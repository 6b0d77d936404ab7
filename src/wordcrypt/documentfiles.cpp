#include "wordcrypt/documentfiles.h"

#include "wordcrypt/leftovers.h"

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

/// The result under the staging name `written`, mode 0600 as a later run recognises it: a
/// second name where the file system has them, else a copy in a new file. `made`: the name is ours.
Status stageResult(FileSystem& fs, const QByteArray& result, const QByteArray& written, bool* made)
{
    if (::chmod(result.constData(), 0600) == 0 && fs.link(result, written)) {
        *made = true;
        return {};
    }
    if (const platform::Result<std::unique_ptr<platform::HeldLock>> created = fs.createExclusive(written, 0600);
        !created)
        return created.status();
    *made = true;
    return fs.copyInto(result, written);
}

/// The files of one in-place write beside the document, each named in the journal before it
/// is made and recorded once complete.
struct InPlaceWrite {
    FileSystem& fs;
    const QByteArray& document;
    WriteJournal& journal;
    QByteArray backup, written;
    bool backupMade = false, writtenMade = false;

    Status stage(const QByteArray& result)
    {
        using Role = WriteJournal::Role;
        if (const Status s = journal.intend(Role::Backup, backup); !s.ok())
            return s;
        if (const platform::Result<std::unique_ptr<platform::HeldLock>> made = fs.createExclusive(backup, 0600); !made)
            return made.status();
        backupMade = true;
        Status s = fs.copyInto(document, backup);
        if (s.ok())
            s = journal.made(Role::Backup, backup);
        if (s.ok())
            s = journal.intend(Role::Result, written);
        if (s.ok())
            s = stageResult(fs, result, written, &writtenMade);
        if (s.ok()) {
            (void)fs.sync(folderOf(document));
            s = journal.made(Role::Result, written); // on disk before the document is touched
        }
        return s;
    }
    void removeFiles()
    {
        if (writtenMade)
            removeFile(fs, written);
        if (backupMade)
            removeFile(fs, backup);
    }
};

} // namespace

Status replaceDocument(FileSystem& fs, const QByteArray& document, const QByteArray& result, Replacement* done)
{
    *done = {};
    if (fs.renameOver(result, document))
        return {};
    const platform::Result<platform::FileInfo> info = fs.info(document, platform::Links::Follow);
    if (!info)
        return info.status();
    const QByteArray prefix =
        leftoverPrefix(document) + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
    const platform::Result<std::unique_ptr<WriteJournal>> made = WriteJournal::create(prefix + ".journal", *info);
    if (!made)
        return made.status();
    WriteJournal& journal = **made;
    InPlaceWrite write{fs, document, journal, prefix + ".bak", prefix + ".new"};
    if (const Status staged = write.stage(result); !staged.ok()) {
        write.removeFiles();
        journal.discard();
        return staged;
    }
    if (copiedAndSame(fs, write.written, document)) {
        done->kind = Replacement::InPlace;
    } else if (copiedAndSame(fs, write.backup, document)) {
        done->kind = Replacement::Restored;
    } else {
        removeFile(fs, write.written); // without its result, a later run only names the backup
        journal.kept();
        done->kind = Replacement::Kept;
        done->backup = write.backup;
        return {};
    }
    journal.settled();
    write.removeFiles();
    journal.discard();
    return {};
}

namespace {

constexpr char kWorkPrefix[] = ".korvane-";
constexpr qsizetype kWorkNameSize = sizeof kWorkPrefix - 1 + 6;

/// What one journal of ours says about the document (owned by `owner`), acted on: the files
/// it names go once the document is settled, and so does the journal.
Recovery settle(FileSystem& fs, const QByteArray& document, quint32 owner, const QByteArray& journal,
                const JournalRecord& record)
{
    const QByteArray named = record.backup.path.isEmpty() ? journal : record.backup.path;
    const bool pending = record.writeBegun() && !record.settled;
    if (!mayAdopt(owner))
        return pending ? Recovery{Recovery::BackupKept, named} : Recovery{};
    Recovery::Kind kind = Recovery::Finished;
    if (!pending) {
        // Never touched, or settled before the run ended: only the files go.
    } else if (record.kept) {
        // Kept after a failed repair: it goes only once the user has put the original back.
        if (!matchesRecord(record.backup) || !same(fs, record.backup.path, document))
            return {Recovery::BackupKept, named};
    } else if (matchesRecord(record.result) && same(fs, record.result.path, document)) {
        // The write had completed.
    } else if (matchesRecord(record.backup) && copiedAndSame(fs, record.backup.path, document)) {
        kind = Recovery::Restored;
    } else {
        return {Recovery::BackupKept, named};
    }
    removeRecorded(record.result);
    removeRecorded(record.backup);
    ::unlink(journal.constData());
    return {kind, {}};
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
    // A name taken meanwhile: then make another.
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray path = document.left(document.lastIndexOf('/') + 1) + randomWorkName();
        platform::Result<platform::UniqueFd> record = recordWorkFolder(path, kFiles);
        if (record) {
            platform::Result<std::unique_ptr<platform::HeldLock>> lock =
                fs.createExclusive(path, 0700, platform::EntryKind::Folder);
            if (lock)
                return std::unique_ptr<WorkFolder>(
                    new WorkFolder(fs, std::move(path), std::move(*lock), std::move(*record)));
            ::unlink((path + kRecordSuffix).constData());
            failure = lock.status();
        } else {
            failure = record.status();
        }
        if (failure.kind() != platform::ErrorKind::AlreadyExists && failure.errnum() != EAGAIN)
            return failure;
    }
    return failure;
}

WorkFolder::~WorkFolder()
{
    // Still locked: ours alone, no repair touches it meanwhile. The record goes last.
    if (m_fs.removeFlatFolder(m_path))
        ::unlink((m_path + kRecordSuffix).constData());
}

Recovery recoverInterruptedWrite(FileSystem& fs, const QByteArray& document)
{
    const platform::Result<platform::FileInfo> info = fs.info(document, platform::Links::Follow);
    const platform::Result<std::vector<platform::DirEntry>> entries = fs.list(folderOf(document));
    if (!info || !entries)
        return {};
    const QByteArray prefix = leftoverPrefix(document);
    const QByteArray journalPrefix = prefix.mid(prefix.lastIndexOf('/') + 1);
    std::vector<QByteArray> journals;
    // Names only say where to look; what is found there is ours by proof alone.
    for (const platform::DirEntry& entry : *entries) {
        const QByteArray path = platform::joinPath(folderOf(document), entry.name);
        if (entry.name.size() == kWorkNameSize + qsizetype(sizeof kRecordSuffix - 1) &&
            entry.name.startsWith(kWorkPrefix) && entry.name.endsWith(kRecordSuffix))
            removeAbandonedWorkFolder(path, info->owner);
        else if (entry.name.startsWith(journalPrefix) && entry.name.endsWith(".journal"))
            journals.push_back(path);
    }
    Recovery found;
    for (const QByteArray& journal : journals) {
        JournalRecord record;
        const Proof proof = readJournal(journal, *info, &record);
        if (proof == Proof::Busy)
            return {Recovery::Busy, journal};
        if (proof == Proof::NotOurs)
            continue; // someone else's, or about another file: left alone
        const Recovery settled = settle(fs, document, info->owner, journal, record);
        if (settled.kind == Recovery::BackupKept)
            return settled;
        found.kind = std::max(found.kind, settled.kind);
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
