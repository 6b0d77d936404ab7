#pragma once

#include "platform/filesystem.h"
#include "platform/status.h"
#include "wordcrypt/worddocfile.h"

#include <QByteArray>
#include <QString>
#include <memory>

// The steps around a document that every backend takes the same way: the checks before it is
// read, the checks before it is written, and its replacement by the checked result.

namespace korvane::wordcrypt {

/// A failure that left the document as it was: `reason` with "，文档未作改动" after it.
platform::Status untouched(platform::ErrorKind kind, const QString& reason);

struct CheckedDocument {
    QByteArray realPath; ///< a symbolic link resolved: the file that gets written
    bool encrypted = false;
    /// The document's inode locked (`flock`, so every name and process sees it): kept from the
    /// check until the document is replaced, so one run at a time reads and writes it. Null
    /// where the file system has no such locks.
    std::shared_ptr<platform::HeldLock> lock;
};

/// How long a run waits for another run's lock on a document before it gives the document up.
inline constexpr int kDocumentLockWaitMs = 1000;

/// What is checked before a document is read: it exists, no other run holds it (the lock is
/// taken here), what an interrupted write of an earlier run left is repaired, it is a Word 97
/// file of a size that can be handled, and nobody else's office holds it. `officeProfile` is
/// the profile of our own running office, if any.
platform::Result<CheckedDocument> checkDocumentFile(platform::FileSystem& fs, const QByteArray& rawName,
                                                    const QString& officeProfile);

/// Why `path` leads to no document, in the user's words: a loop of symbolic links is named.
QString unreachableText(platform::FileSystem& fs, const QByteArray& path);

/// Whether the document can be written: a regular file, write bits set, and the kernel lets us
/// open it for writing.
platform::Status checkWritable(platform::FileSystem& fs, const QByteArray& realPath);

/// Puts the checked result in the document's place (documentfiles.h says how); a failed
/// in-place write is undone from the backup.
platform::Status replaceWithResult(platform::FileSystem& fs, const QByteArray& realPath, const QByteArray& result);

/// The passwords a document was asked to take, as both backends keep them until the save. A
/// password longer than the format holds fails its setter and, from then on, the save.
struct RequestedPasswords {
    QString open;
    QString write;
    bool tooLong = false;

    platform::Status setOpen(const QString& password) { return take(open, password); }
    platform::Status setWrite(const QString& password) { return take(write, password); }

private:
    platform::Status take(QString& into, const QString& password)
    {
        into = password;
        tooLong = tooLong || !passwordFits(password);
        return tooLong ? platform::Status::failure(platform::ErrorKind::Failed, passwordTooLongText())
                       : platform::Status{};
    }
};

} // namespace korvane::wordcrypt
