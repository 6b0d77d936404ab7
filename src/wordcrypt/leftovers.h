#pragma once

#include "platform/filesystem.h"
#include "platform/uniquefd.h"

#include <QByteArray>
#include <memory>
#include <vector>

// What a run leaves beside a document while it works, and how a later run tells it from anyone
// else's. Never by its name: a name is only where to look. A leftover is ours when it is owned
// by the effective user, who also owns the document; it is no link; it has the mode we create
// (0600, a folder 0700); and a record written when it was made names it: the journal of an
// in-place write, the record of a work folder. Root is held to the same rules.

namespace korvane::wordcrypt {

/// Whether leftovers beside a document owned by `documentOwner` may be used or removed at all: only
/// when it is ours. Another user may have worked on their document since a run of ours was
/// killed; what it left is then only named.
bool mayAdopt(quint32 documentOwner);

/// The journal of one in-place write, beside the document: it appears whole (linked into place
/// once written, or made with `O_EXCL`), mode 0600, and is locked while the run holds it. It names the document's
/// device and inode, then each file the run makes before making it, and the file's size (the backup's with its
/// checksum) once it is complete. The document is written only after the last of these is on disk.
class WriteJournal {
public:
    enum class Role { Backup, Result };

    static platform::Result<std::unique_ptr<WriteJournal>> create(const QByteArray& path,
                                                                  const platform::FileInfo& document);
    WriteJournal(const WriteJournal&) = delete;
    WriteJournal& operator=(const WriteJournal&) = delete;

    /// Names the file before it is made.
    platform::Status intend(Role role, const QByteArray& file);
    /// Records the complete file's size (and the backup's checksum). After the result, the
    /// journal is flushed to disk: the write of the document may begin.
    platform::Status made(Role role, const QByteArray& file);
    /// The document is settled (written or put back): the journal goes, the files it names
    /// are to go before it.
    void settled();
    /// The document could not be put back: later runs only name the backup.
    void kept();
    /// Removes the journal of a write that never began.
    void discard();

private:
    WriteJournal(QByteArray path, platform::UniqueFd fd) : m_path(std::move(path)), m_fd(std::move(fd)) {}
    platform::Status append(const QByteArray& line, bool flush = false);

    QByteArray m_path;
    platform::UniqueFd m_fd;
};

/// What a journal says, once it is known to be ours and about the document.
struct JournalRecord {
    struct File {
        QByteArray path;  ///< empty: none named
        qint64 size = -1; ///< -1: not complete
        QByteArray checksum;
    };
    File backup, result;
    bool kept = false;
    bool settled = false;

    /// The document may have been written: the result was complete.
    bool writeBegun() const { return result.size >= 0 || kept; }
};

enum class Proof {
    Ours,
    NotOurs, ///< someone else's, damaged, or about another file: left alone
    Busy,    ///< a live run holds it
};

/// Reads the journal at `path`: ours (owner, mode, no link, one name, unlocked, readable) and
/// about `document` (device and inode)?
Proof readJournal(const QByteArray& path, const platform::FileInfo& document, JournalRecord* record);

/// Whether the file at `file.path` is the one recorded: a regular file of ours, mode 0600, with
/// the recorded size and (where one was recorded) checksum.
bool matchesRecord(const JournalRecord::File& file);

/// Removes the file at `file.path` when it is ours (owner, mode 0600, no link; the size, when
/// recorded); anything else there stays.
void removeRecorded(const JournalRecord::File& file);

/// How the record of a work folder is named: the folder's name and this.
inline constexpr char kRecordSuffix[] = ".work";

/// The record of the work folder about to be made at `folder`, beside it as `<folder>.work`:
/// it appears whole, mode 0600, already naming the files a rewrite writes in the folder, and is
/// locked while the run holds it (the descriptor).
platform::Result<platform::UniqueFd> recordWorkFolder(const QByteArray& folder, const std::vector<QByteArray>& files);

/// What a killed run left: `record`, a work folder's record beside a document owned by
/// `documentOwner`. When the record is ours and no run holds it, and the folder it names is
/// ours (owner, mode 0700, no link) and unlocked, the files the record names go, then the folder
/// once that empties it, then the record; a folder never made only takes its record along.
void removeAbandonedWorkFolder(const QByteArray& record, quint32 documentOwner);

} // namespace korvane::wordcrypt
