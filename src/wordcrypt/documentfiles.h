#pragma once

#include "platform/filesystem.h"
#include "platform/uniquefd.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

// File operations around a document being rewritten, on raw paths: the path's bytes reach the
// kernel unchanged, so names that are not UTF-8 work too.

namespace korvane::wordcrypt {

/// A private folder beside a document (`.korvane-XXXXXX`, mode 0700: same file system, nobody
/// else reads a copy that may be unencrypted) for the steps of its rewrite. Before it is made, a
/// record beside it (`.korvane-XXXXXX.work`, leftovers.h) names it and the files a rewrite writes
/// there (kFiles); the record is locked while the folder exists, so that recoverInterruptedWrite()
/// can tell a folder a killed run left from anyone else's and remove exactly those files.
/// Removed with everything in it, and its record, on destruction.
class WorkFolder {
public:
    static platform::Result<std::unique_ptr<WorkFolder>> create(platform::FileSystem& fs, const QByteArray& document);
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const QByteArray& path() const { return m_path; }

    /// The names a rewrite may give its files in the folder, and libgsf's temporaries (a name
    /// ending in '*' stands for every name starting so); a file under any other name is left
    /// with the folder when the run is killed.
    static inline const std::vector<QByteArray> kFiles = {"office.doc", "plain.doc", "reserved.doc", "final.doc",
                                                          ".gsf-save-*"};

private:
    WorkFolder(platform::FileSystem& fs, QByteArray path, std::unique_ptr<platform::HeldLock> lock,
               platform::UniqueFd record)
        : m_fs(fs), m_path(std::move(path)), m_lock(std::move(lock)), m_record(std::move(record))
    {}
    platform::FileSystem& m_fs;
    QByteArray m_path;
    std::unique_ptr<platform::HeldLock> m_lock;
    platform::UniqueFd m_record; ///< locked while the folder exists
};

/// How a document was replaced by its checked result.
struct Replacement {
    enum Kind {
        Renamed,  ///< atomically: a kill leaves the old or the new document, nothing between
        InPlace,  ///< written into the same inode, compared, the backup removed
        Restored, ///< the in-place write failed; the original was put back from the backup
        Kept      ///< the in-place write failed and so did putting the original back: `backup` holds it
    } kind = Renamed;
    QByteArray backup;
};

/// Replaces `document` by `result` (a file on the same file system, consumed). Where nothing but
/// the name ties the file to its users (one link, owned by us or we are root, no extended
/// attributes such as an ACL), the result gets the document's owner, group and mode and is
/// renamed over it. Otherwise it is written in place (hard links, a foreign owner and the
/// attributes stay), with the original kept beside it as `.<name>.korvane-<tag>.bak` and the
/// result as `.<name>.korvane-<tag>.new` until the written document has been compared. A journal
/// `.<name>.korvane-<tag>.journal` (leftovers.h) names the document and both files, with their
/// sizes and the backup's checksum, before the document is touched. A run killed in between
/// leaves them, and recoverInterruptedWrite() finishes the job. Fails, with why, only when
/// nothing was touched. The caller holds the document's lock (documentsteps.h).
platform::Status replaceDocument(platform::FileSystem& fs, const QByteArray& document, const QByteArray& result,
                                 Replacement* done);

/// What an earlier run's in-place write left beside `document`.
struct Recovery {
    enum Kind {
        Nothing,   ///< no backup beside it
        Finished,  ///< the write had completed: the leftovers were removed
        Restored,  ///< it had not: the original was put back from the backup
        Busy,      ///< another run is writing the document now
        BackupKept ///< a backup whose state cannot be told (or could not be put back): `backup`
    } kind = Nothing;
    QByteArray backup;
};

/// Looks for what an interrupted replaceDocument() left and repairs the document with it. Only
/// journals of ours about this very document count (leftovers.h); files of any other kind or
/// owner are left alone, whatever their names. When the write had begun, the document equal to
/// the recorded result means it had completed, else the backup, if its size and checksum are
/// the recorded ones, is copied back in place and compared; a backup kept after a failed repair
/// is only named (the user may have worked on the document since) until the document equals it.
/// Where the document belongs to another user, what our runs left is only named. Work folders
/// beside the document that are ours by proof and that no run holds any more are removed.
Recovery recoverInterruptedWrite(platform::FileSystem& fs, const QByteArray& document);

/// What a LibreOffice lock file beside a document says about who holds it.
enum class Lock { None, OursStale, Foreign };

/// The LibreOffice lock file of `document`: `.~lock.<name>#` beside it.
QByteArray lockPath(const QByteArray& document);

/// A lock whose profile is one of our private office profiles that no longer exists (or is
/// `currentProfile`) was left by an office of ours; any other lock belongs to someone's office.
Lock lockState(platform::FileSystem& fs, const QByteArray& document, const QString& currentProfile);

} // namespace korvane::wordcrypt
